// The line reader over the two kinds of input the server meets: a regular
// file, where every read fills the buffer, and a pipe, where reads bring
// whatever the writer has sent so far, so lines and even CR LF pairs
// arrive split across reads; also a pipe whose reading end a host made
// non-blocking, where a read before the next piece fails with EAGAIN.
#include "protocol/line_reader.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

enum class Source { kRegularFile, kPipe, kNonBlockingPipe };
constexpr Source kSources[] = {Source::kRegularFile, Source::kPipe,
                               Source::kNonBlockingPipe};
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;

// Every line read from `fd`; also checks that the end, once reached, stays.
Lines drain(int fd, std::size_t max_lines) {
  LineReader reader(fd);
  Lines lines;
  for (;;) {
    const auto line = reader.next();
    if (!line) {
      ADD_FAILURE() << "read failed: " << os::os_error_text(line.error());
      return lines;
    }
    if (!*line) {
      break;
    }
    lines.emplace_back(**line);
    if (lines.size() > max_lines) {
      ADD_FAILURE() << "more lines than the input holds";
      return lines;
    }
  }
  const auto again = reader.next();
  EXPECT_TRUE(again.has_value() && !again->has_value()) << "end did not stay";
  return lines;
}

// A pipe receives each piece only once the reader has taken everything
// before it, so no read brings bytes of two pieces.
void feed(int fd, const std::vector<std::string>& pieces) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (const std::string& piece : pieces) {
    int unread = 0;
    while (::ioctl(fd, FIONREAD, &unread) == 0 && unread > 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::size_t done = 0;
    while (done < piece.size()) {
      const ssize_t n = ::write(fd, piece.data() + done, piece.size() - done);
      if (n <= 0) {
        return;  // the reader gave up; the test has failed already
      }
      done += static_cast<std::size_t>(n);
    }
  }
}

Lines read_lines(Source source, const std::vector<std::string>& pieces) {
  std::string all;
  for (const std::string& piece : pieces) {
    all += piece;
  }
  if (source == Source::kRegularFile) {
    TempVault dir;
    dir.write("input", all);
    const int fd = ::open(dir.at("input").c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    Lines lines = drain(fd, all.size() + 1);
    ::close(fd);
    return lines;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  if (source == Source::kNonBlockingPipe) {
    EXPECT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  }
  std::signal(SIGPIPE, SIG_IGN);  // a reader that stops early must not kill
  std::thread writer([&] {
    feed(fds[1], pieces);
    ::close(fds[1]);
  });
  Lines lines = drain(fds[0], all.size() + 1);
  ::close(fds[0]);  // unblocks a writer still waiting for room
  writer.join();
  return lines;
}

void expect_lines(const std::vector<std::string>& pieces,
                  const Lines& expected) {
  for (const Source source : kSources) {
    SCOPED_TRACE(source == Source::kPipe              ? "pipe"
                 : source == Source::kNonBlockingPipe ? "non-blocking pipe"
                                                      : "regular file");
    EXPECT_EQ(read_lines(source, pieces), expected);
  }
}

TEST(LineReader, EndsLinesAtLfDroppingOneCrBeforeIt) {
  expect_lines({"a\r\nb\r\r\nc\rd\n\n \r \n"},
               {"a", "b\r", "c\rd", "", " \r "});
}

TEST(LineReader, ReturnsTheLastLineWithoutLfAndNothingForEmptyInput) {
  expect_lines({"x\ny"}, {"x", "y"});
  expect_lines({"x\ny\r"}, {"x", "y\r"});  // no LF: the CR stays
  expect_lines({"\n"}, {""});
  expect_lines({""}, {});
}

TEST(LineReader, JoinsLinesThatArriveInPieces) {
  expect_lines({"ab", "c\nd", "e", "\r", "\nf\n", "g"},
               {"abc", "de", "f", "g"});
}

TEST(LineReader, TakesCrLfSplitAtTheReadChunkAsOneTerminator) {
  const std::string head(kReadChunk - 1, 'x');
  expect_lines({head + "\r", "\nnext\r\n"}, {head, "next"});
}

TEST(LineReader, ReadsLinesLongerThanTheReadChunkWhole) {
  std::string long_line;
  for (std::size_t i = 0; long_line.size() < 3 * kReadChunk + 7; ++i) {
    long_line += static_cast<char>('a' + i % 26);
  }
  std::string megabyte(1 << 20, 'm');
  megabyte[0] = '{';
  megabyte.back() = '}';
  // Short lines after the long ones come out whole too, after the buffer
  // has given back the memory the long line took.
  expect_lines({long_line + "\r\n" + megabyte + "\nshort\n", "tail"},
               {long_line, megabyte, "short", "tail"});
}

TEST(LineReader, ReportsAFailedReadAsItsErrno) {
  TempVault dir;
  const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  LineReader from_directory(fd);
  const auto line = from_directory.next();
  ::close(fd);
  ASSERT_FALSE(line.has_value());
  EXPECT_EQ(line.error().code(), EISDIR);

  LineReader from_nothing(-1);
  EXPECT_EQ(from_nothing.next().error().code(), EBADF);
}

}  // namespace
}  // namespace vestigor_mcp::testing
