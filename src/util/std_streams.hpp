// std_streams.hpp: readies the standard streams before the server reads
// or writes anything: std_streams_posix.cpp | std_streams_windows.cpp.
#pragma once

namespace vestigor_mcp {

// A missing stream (0, 1 or 2 not open) gets the null device, so that no
// note is ever opened on its number; a write to a reader that went away,
// or beyond the file size limit, fails instead of ending the process; and
// on Windows the streams carry
// bytes unchanged (binary mode: no CR LF translation, no end at 0x1A) and
// no error dialog ever waits for a click.
void prepare_standard_streams();

}  // namespace vestigor_mcp
