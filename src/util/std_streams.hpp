// std_streams.hpp: readies the standard streams before the server reads
// or writes anything: std_streams_posix.cpp | std_streams_windows.cpp.
#pragma once

#include <string_view>

namespace vestigor_mcp {

// A missing stream (0, 1 or 2 not open) gets the null device, so that no
// note is ever opened on its number; a write to a reader that went away,
// or beyond the file size limit, fails instead of ending the process; and
// on Windows the streams carry
// bytes unchanged (binary mode: no CR LF translation, no end at 0x1A) and
// no error dialog ever waits for a click.
void prepare_standard_streams();

// Writes `line` to `fd` (standard error) whole, or drops it whole when
// the descriptor has no room for it at this moment: a reader that never
// reads must not hold up the server, and a reader never sees a torn line.
// Room is asked for with a zero-timeout poll; on a pipe, a line longer
// than one atomic write (PIPE_BUF) also needs the pipe's free space to
// hold it (Linux says how much; elsewhere poll alone decides). A line cut
// short by a non-blocking descriptor all the same is finished, waiting.
// True when the line went out. Windows writes it as is (hosts there read
// standard error).
bool write_line_if_room(int fd, std::string_view line);

enum class Readiness : unsigned char { kInput, kRoom };
// After a read or write on a standard stream failed: whether it may be
// made again because the descriptor is non-blocking (the host's choice,
// on an open file description it shares) and had no input or no room
// (EAGAIN); then this waits until it has, as a blocking call would.
// POLLHUP or POLLERR end the wait too: the call made again then says what
// is wrong. Windows descriptors never say EAGAIN: always false there.
bool waited_for(int fd, Readiness readiness);

}  // namespace vestigor_mcp
