// fs.hpp: the file-system operations the tools share. Failures are errno
// values; nothing throws and nothing prints.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "util/buffer.hpp"

namespace vestigor_mcp {

// A regular file open for reading, and its size when opened.
struct OpenFile {
  int fd = -1;
  std::uint64_t size = 0;
};

// Opens the regular file `name` for reading, relative to the directory
// descriptor `dir` (AT_FDCWD for an ordinary path), links followed. A
// FIFO, device or directory is refused (ENODEV, EISDIR) without waiting
// for a writer, so a read from the descriptor never blocks. The caller
// closes the descriptor.
std::expected<OpenFile, int> open_regular_file(int dir, const char* name);

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
// On success, the folders this call made, outermost first (none when
// `path` was there already): each is a new name in the folder above it,
// which needs sync_directory before the new folder survives a crash.
std::expected<std::vector<std::string>, int> make_directories(
    const std::string& path);

// Makes the names created in or removed from the folder `path` durable.
// A file system that cannot sync folders (EINVAL) is no error; otherwise
// the errno of the open or of fsync.
std::expected<void, int> sync_directory(const std::string& path);

// Makes the bytes written to `fd` durable (fdatasync: the data and the
// size, not the times; F_FULLFSYNC on macOS, FlushFileBuffers on Windows). A
// device, FIFO or socket (EINVAL) has nothing to sync and is no error. The
// errno of the failure; after one, what reached the file is unknown.
std::expected<void, int> sync_data(int fd);

// Appends `bytes`, one whole entry, to the file open on `fd` (O_APPEND),
// all or nothing as far as the file system allows. Appenders take turns
// (an exclusive flock held for the write alone, not for any sync), so a
// write that fails part way (disk full, file size limit) is undone by
// cutting the file back to its size before the write. Should the size
// show that someone who takes no lock wrote meanwhile, or the lock not be
// had (no locks on the file system, or another program holding it for
// over two seconds: the write then goes ahead without it), the part
// written is ended with a line feed instead, so
// the next entry starts a line of its own. ENOENT, with nothing written,
// when the file has lost its name (discard_new_file removed it): open the
// name again. Otherwise the errno of the failed write, or kNoProgress.
std::expected<void, int> append_entry(int fd, std::string_view bytes);

// Locks the file just created on `fd` for this writer alone (best effort),
// so that appenders wait until it holds what it was made with.
void lock_new_file(int fd);

// Undoes a file that this call created at `path`, open and locked on `fd`,
// after writing `written` bytes into it failed: removes it when it holds
// only those bytes, and otherwise treats them as a failed append_entry.
void discard_new_file(int fd, const std::string& path, std::size_t written);

}  // namespace vestigor_mcp
