// fs.hpp: the file-system operations the tools share. Failures are errno
// values; nothing throws and nothing prints.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "util/buffer.hpp"

namespace vestigor_mcp {

// Reads the regular file `name` whole into `buffer`, replacing what it
// held; `name` is taken relative to the directory descriptor `dir`
// (AT_FDCWD for an ordinary path), and links are followed. A FIFO, device
// or directory is refused (ENODEV, EISDIR) without being read, so a read
// never blocks. The view is valid until the buffer changes. Does not
// check the encoding. ENOMEM when the buffer cannot grow.
std::expected<std::string_view, int> read_regular_file(int dir,
                                                       const char* name,
                                                       Buffer& buffer);

// Creates the folder `path` and every missing folder above it, each with
// mode 0777 reduced by the umask. A folder that exists already (links
// followed) is no error; anything else in the way is EEXIST. The failure
// is the errno of the first step that failed; an empty path is ENOENT.
std::expected<void, int> make_directories(const std::string& path);

}  // namespace vestigor_mcp
