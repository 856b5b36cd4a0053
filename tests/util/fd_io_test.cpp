// write_all on a descriptor whose open file description is non-blocking
// (set by the host, shared with the server): a reader that falls behind
// makes the writer wait, never cuts what it writes.
#include "util/fd_io.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace vestigor_mcp {
namespace {

TEST(WriteAll, NonBlockingPipeWithASlowReaderGetsEveryByte) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
  std::string data(std::size_t{1} << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<char>('a' + i % 26);
  }
  std::string got;
  std::thread reader([&] {
    char chunk[8192];
    // Bounded: 1 MiB in 8 KiB reads is 128 of them; a short read or the
    // end (the writer gave up and closed) stops it sooner.
    for (int i = 0; i < 100000; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
      if (n <= 0) {
        break;
      }
      got.append(chunk, static_cast<std::size_t>(n));
    }
  });
  std::size_t written = 0;
  const auto done = write_all(fds[1], data, written);
  ::close(fds[1]);
  reader.join();
  ::close(fds[0]);
  EXPECT_TRUE(done.has_value()) << os_error_text(done.error());
  EXPECT_EQ(written, data.size());
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
}

}  // namespace
}  // namespace vestigor_mcp
