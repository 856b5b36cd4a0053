// fs.hpp: the file operations the tools share, on top of the OS boundary
// (util/os.hpp): reading a file whole, and making folders. Failures are
// OsError values; nothing prints.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/buffer.hpp"
#include "util/os.hpp"

namespace vestigor_mcp {

// Reads the regular file `name` in `at` whole into `buffer`, replacing
// what it held; links are followed. A FIFO, device or folder is refused
// (kNotRegular) without being read, so a read never blocks. The view is
// valid until the buffer changes. Does not check the encoding. Out of
// memory is a value here: the caller looks for the file elsewhere. Reads
// go through `io`.
os::Result<std::string_view> read_regular_file(os::Folder at, const char* name,
                                               Buffer& buffer,
                                               os::Io& io = os::system_io());

// Creates the folder `path` and every missing folder above it, each with
// mode 0777 reduced by the umask. A folder that exists already (links
// followed) is no error; anything else in the way is kExists. The failure
// is that of the first step that failed; an empty path is kNotFound.
// On success, the folders this call made, outermost first (none when
// `path` was there already): each is a new name in the folder above it,
// which needs os::sync_folder before the new folder survives a crash.
os::Result<std::vector<std::string>> make_directories(const std::string& path);

}  // namespace vestigor_mcp
