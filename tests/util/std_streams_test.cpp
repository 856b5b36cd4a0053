// Diagnostics on a pipe whose reader is behind or gone for good: a line
// goes out whole or is dropped whole, and the writer never waits. Each
// call runs in a child process so that one that blocks fails the test
// instead of hanging it.
#include "util/std_streams.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <thread>

namespace vestigor_mcp {
namespace {

// Fills the pipe until not one more byte fits, then reads `room` bytes
// back out of it, as a reader would; returns what the pipe then holds.
std::string fill(const int (&fds)[2], std::size_t room) {
  const int fd = fds[1];
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  std::string written;
  const std::string page(4096, 'f');
  for (int i = 0; i < 4096; ++i) {  // 16 MiB at most
    const ssize_t n = ::write(fd, page.data(), page.size());
    if (n <= 0) {
      break;
    }
    written.append(page, 0, static_cast<std::size_t>(n));
  }
  ::fcntl(fd, F_SETFL, flags);
  std::string taken(room, '\0');
  std::size_t got = 0;
  while (got < room) {
    const ssize_t n = ::read(fds[0], taken.data() + got, room - got);
    if (n <= 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  return written.substr(got);
}

// write_line_if_room in a child; its answer, or nullopt when it had not
// returned after five seconds (it blocked).
std::optional<bool> bounded_write(int fd, const std::string& line) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit(write_line_if_room(fd, line) ? 1 : 0);
  }
  for (int i = 0; i < 500; ++i) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      return WIFEXITED(status) && WEXITSTATUS(status) == 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return std::nullopt;
}

std::string drain(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string out;
  char chunk[65536];
  for (int i = 0; i < 4096; ++i) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) {
      break;
    }
    out.append(chunk, static_cast<std::size_t>(n));
  }
  return out;
}

TEST(WriteLineIfRoom, GoesOutWholeOrIsDroppedWholeWithoutWaiting) {
  struct Row {
    const char* name;
    bool nonblocking;  // O_NONBLOCK on the writer's open file description
    bool filled;       // the pipe filled first
    std::size_t room;  // bytes then read back out of the filled pipe
    std::size_t size;  // of the line, its LF included
    bool written;
  };
  const Row rows[] = {
      {"room for a short line", false, false, 0, 40, true},
      {"room for a long line", false, false, 0, 30000, true},
      {"a full pipe drops a short line", false, true, 0, 40, false},
      {"full and non-blocking", true, true, 0, 40, false},
      {"a long line the pipe cannot hold", false, true, 20000, 30000, false},
      {"a long line, non-blocking", true, true, 20000, 30000, false},
      {"a short line into a pipe with a page free", false, true, 4096, 40,
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string before;
    if (row.filled) {
      before = fill(fds, row.room);
    }
    if (row.nonblocking) {
      ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    }
    const std::string line = std::string(row.size - 1, 'x') + "\n";
    EXPECT_EQ(bounded_write(fds[1], line), row.written);
    ::close(fds[1]);
    const std::string after = drain(fds[0]);
    ::close(fds[0]);
    // What the pipe holds: what was in it, and the line whole or not at all.
    EXPECT_EQ(after.size(), before.size() + (row.written ? line.size() : 0));
    EXPECT_EQ(after, before + (row.written ? line : std::string()));
  }
}

TEST(WriteLineIfRoom, AClosedReaderDropsTheLine) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ::close(fds[0]);
  ::signal(SIGPIPE, SIG_IGN);
  EXPECT_EQ(bounded_write(fds[1], "gone\n"), false);
  ::close(fds[1]);
}

}  // namespace
}  // namespace vestigor_mcp
