#include "util/fs.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "util/eintr.hpp"
#include "util/fd_io.hpp"
#include "util/path.hpp"

namespace vestigor_mcp {

namespace {

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads `fd` to its end into `buffer`, expecting about `expected` bytes.
std::expected<void, int> read_to_end(int fd, std::size_t expected,
                                     Buffer& buffer) {
  // Room for one byte more than fstat saw, so that a file read whole takes
  // one read: a read that asked for more and brought the file to the size
  // fstat saw has met the end. A file that grew is read to wherever its
  // end is, and one that reports no size (as /proc does) until a read
  // returns nothing.
  if (!buffer.reserve(expected + 1)) {
    return std::unexpected(ENOMEM);
  }
  for (;;) {
    if (buffer.size() == buffer.capacity() &&
        !buffer.reserve(buffer.capacity() + 1)) {
      return std::unexpected(ENOMEM);
    }
    const ssize_t n = retry_on_eintr([&] {
      return ::read(fd, buffer.data() + buffer.size(),
                    buffer.capacity() - buffer.size());
    });
    if (n == 0) {
      return {};
    }
    if (n < 0) {
      return std::unexpected(errno);
    }
    buffer.resize(buffer.size() + static_cast<std::size_t>(n));
    if (buffer.size() == expected && expected > 0) {
      return {};
    }
  }
}

// make_directories, noting in `created` each folder it made.
std::expected<void, int> make_missing(const std::string& path,
                                      std::vector<std::string>& created) {
  if (::mkdir(path.c_str(), 0777) == 0) {
    created.push_back(path);
    return {};
  }
  int error = errno;
  if (error == ENOENT) {
    // Some folder above is missing: make the parents, then try again.
    const std::string parent = parent_path(path);
    if (parent.empty() || parent == path) {
      return std::unexpected(error);
    }
    if (const auto made = make_missing(parent, created); !made) {
      return made;
    }
    if (::mkdir(path.c_str(), 0777) == 0) {
      created.push_back(path);
      return {};
    }
    error = errno;
  }
  // Made by someone else meanwhile, or there already (links followed).
  if (is_directory(path)) {
    return {};
  }
  return std::unexpected(error);
}

// Appenders hold the lock for one write, microseconds; a lock held much
// longer belongs to another program (a sync tool, a script running
// flock), and the server must not wait on it forever.
constexpr std::chrono::milliseconds kLockPatience{2000};

bool try_lock(int fd, int how) {
  return retry_on_eintr([&] { return ::flock(fd, how | LOCK_NB); }) == 0;
}

// Takes the exclusive lock on `fd`, waiting for it at most kLockPatience;
// false when it is not had (then the caller goes on without it).
bool lock_exclusive(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + kLockPatience;
  auto pause = std::chrono::microseconds(50);
  while (!try_lock(fd, LOCK_EX)) {
    if (errno != EWOULDBLOCK ||
        std::chrono::steady_clock::now() + pause > deadline) {
      return false;
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(10000));
  }
  return true;
}

void unlock(int fd) { (void)try_lock(fd, LOCK_UN); }

// Ends what the file on `fd` holds with a line feed, unless it ends so.
void end_with_line_feed(int fd) {
  struct stat st {};
  char last = '\n';
  if (::fstat(fd, &st) == 0 && st.st_size > 0 &&
      ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n' &&
      write_all(fd, "\n")) {
    (void)sync_data(fd);
  }
}

// Undoes `written` bytes appended at `before` (see append_entry).
void undo_append(int fd, off_t before, std::size_t written) {
  if (written == 0) {
    return;  // nothing of this entry reached the file
  }
  struct stat st {};
  if (before >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      st.st_size == before + static_cast<off_t>(written) &&
      ::ftruncate(fd, before) == 0) {
    (void)sync_data(fd);
    return;
  }
  end_with_line_feed(fd);
}

}  // namespace

std::expected<void, int> append_entry(int fd, std::string_view bytes) {
  // Held only for the write (and its undo), not for the sync: appenders
  // queue for microseconds, and the size read here is the size the write
  // starts from unless someone who takes no lock writes too.
  const bool locked = lock_exclusive(fd);
  off_t before = -1;
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    if (st.st_nlink == 0) {
      if (locked) {
        unlock(fd);
      }
      return std::unexpected(ENOENT);
    }
    before = locked ? st.st_size : -1;
  }
  std::size_t written = 0;
  auto done = write_all(fd, bytes, written);
  if (!done) {
    undo_append(fd, before, written);
  }
  if (locked) {
    unlock(fd);
  }
  return done;
}

void lock_new_file(int fd) { (void)lock_exclusive(fd); }

void discard_new_file(int fd, const std::string& path, std::size_t written) {
  struct stat held {};
  struct stat named {};
  if (::fstat(fd, &held) == 0 && held.st_size == static_cast<off_t>(written) &&
      ::stat(path.c_str(), &named) == 0 && named.st_ino == held.st_ino &&
      named.st_dev == held.st_dev) {
    (void)::unlink(path.c_str());
    return;
  }
  undo_append(fd, -1, written);
}

std::expected<OpenFile, int> open_regular_file(int dir, const char* name) {
  // O_NONBLOCK: should the name lead to a FIFO after all, opening it must
  // not wait for a writer; fstat then turns it away.
  const int fd = retry_on_eintr(
      [&] { return ::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK); });
  if (fd < 0) {
    return std::unexpected(errno);
  }
  struct stat st {};
  int error = 0;
  if (::fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
  }
  if (error != 0) {
    ::close(fd);
    return std::unexpected(error);
  }
  return OpenFile{fd, static_cast<std::uint64_t>(st.st_size)};
}

std::expected<std::string_view, int> read_regular_file(int dir,
                                                       const char* name,
                                                       Buffer& buffer) {
  buffer.clear();
  const auto file = open_regular_file(dir, name);
  if (!file) {
    return std::unexpected(file.error());
  }
  const auto read =
      read_to_end(file->fd, static_cast<std::size_t>(file->size), buffer);
  ::close(file->fd);
  if (!read) {
    buffer.clear();
    return std::unexpected(read.error());
  }
  return buffer.view();
}

std::expected<std::vector<std::string>, int> make_directories(
    const std::string& path) {
  if (path.empty()) {
    return std::unexpected(ENOENT);
  }
  std::vector<std::string> created;
  if (const auto made = make_missing(path, created); !made) {
    return std::unexpected(made.error());
  }
  return created;
}

std::expected<void, int> sync_directory(const std::string& path) {
  const int fd = retry_on_eintr([&] {
    return ::openat(AT_FDCWD, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
  if (fd < 0) {
    return std::unexpected(errno);
  }
  const int result = retry_on_eintr([&] { return ::fsync(fd); });
  const int error = errno;
  ::close(fd);
  // EINVAL: the file system keeps no folder to sync (some network and
  // pseudo file systems); there is nothing more that could be done.
  if (result != 0 && error != EINVAL) {
    return std::unexpected(error);
  }
  return {};
}

std::expected<void, int> sync_data(int fd) {
  const int result = retry_on_eintr([&] {
#ifdef __APPLE__
    // macOS's fsync leaves the bytes in the drive's cache; F_FULLFSYNC
    // asks the drive to write them. File systems without it get fsync.
    const int full = ::fcntl(fd, F_FULLFSYNC);
    if (full != 0 && (errno == ENOTSUP || errno == ENOTTY)) {
      return ::fsync(fd);
    }
    return full;
#else
    return ::fdatasync(fd);
#endif
  });
  // EINVAL: a device, FIFO or socket, which keeps nothing to sync; what
  // was written has gone wherever it goes.
  if (result != 0 && errno != EINVAL) {
    return std::unexpected(errno);
  }
  return {};
}

}  // namespace vestigor_mcp
