// Hosts that do not keep up with the server's output, and hosts that stop
// it in the middle of a request: a diagnostic never holds up an answer, a
// non-blocking stdout never cuts one, and SIGTERM ends the server within
// moments whatever it is doing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "support/live_server.hpp"
#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Run in the server's process before exec. A pipe whose read end the
// server itself holds and never reads: it fills and stays full.
bool stream_nobody_reads(int fd) {
  int fds[2];
  return ::pipe(fds) == 0 && ::dup2(fds[1], fd) == fd && ::close(fds[1]) == 0;
}
bool set_nonblocking(int fd) {
  return ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

TEST(Streams, StderrNobodyReadsNeverHoldsUpAnAnswer) {
  VESTIGOR_SKIP_UNDER_WINE("a full stderr pipe: hosts there read stderr");
  struct Row {
    const char* name;
    bool (*before_exec)();
  };
  const Row rows[] = {
      {"blocking", [] { return stream_nobody_reads(2); }},
      {"non-blocking",
       [] { return stream_nobody_reads(2) && set_nonblocking(2); }},
  };
  // 5,000 "-> ping" lines are more than twice what a 64 KiB pipe holds.
  constexpr int kRequests = 5000;
  std::string input;
  for (int id = 1; id <= kRequests; ++id) {
    input += ping_line(std::to_string(id)) + "\n";
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RunOptions options;
    options.before_exec = row.before_exec;
    LiveServer server(options);
    ASSERT_TRUE(server.started()) << server.start_error();
    ASSERT_TRUE(server.send(input, seconds(60)));
    for (int id = 1; id <= kRequests; ++id) {
      const auto answer = server.read_line(seconds(10));
      ASSERT_EQ(answer, ping_result_line(std::to_string(id)));
    }
    server.close_input();
    EXPECT_EQ(server.wait_exit(seconds(10)), 0);
  }
}

TEST(Streams, NonBlockingStdoutWithASlowReaderGetsEveryAnswerWhole) {
  VESTIGOR_SKIP_UNDER_WINE("O_NONBLOCK: Windows pipes have no such mode");
  TempVault v;
  const std::string note(300 * 1024 - 1, 'n');
  v.write("current-state.md", note + "\n");
  RunOptions options = in_vault(v.path());
  options.before_exec = [] { return set_nonblocking(1); };
  LiveServer server(options);
  ASSERT_TRUE(server.started()) << server.start_error();
  constexpr int kRequests = 4;
  std::string input;
  for (int id = 1; id <= kRequests; ++id) {
    input += tool_call_input(id, "get_current_state", "{}");
  }
  ASSERT_TRUE(server.send(input));
  // Not read for a while: the pipe fills and the server meets EAGAIN.
  std::this_thread::sleep_for(milliseconds(300));
  for (int id = 1; id <= kRequests; ++id) {
    const auto answer = server.read_line(seconds(10));
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(*answer == tool_result_line(id, note + "\n", false))
        << "answer " << id << " is " << answer->size() << " bytes";
  }
  server.close_input();
  EXPECT_EQ(server.wait_exit(seconds(10)), 0);
  EXPECT_EQ(server.take_out(), "");
}

// A vault whose folders fan out through links: 2^24 ways down, so the
// search walks for hours.
// "<prefix><i><suffix>", built step by step (GCC 12 warns wrongly about
// a chain of + on strings).
std::string numbered(const char* prefix, int i, const char* suffix = "") {
  std::string name = prefix;
  name += std::to_string(i);
  name += suffix;
  return name;
}

void fan_out(const TempVault& v) {
  constexpr int kLevels = 24;
  for (int i = 0; i <= kLevels; ++i) {
    v.mkdir(numbered("f", i));
  }
  for (int i = 0; i < kLevels; ++i) {
    v.symlink(numbered("../f", i + 1), numbered("f", i, "/a"));
    v.symlink(numbered("../f", i + 1), numbered("f", i, "/b"));
  }
}

void big_snapshot(const TempVault& v) {
  v.write("current-state.md", std::string(1 << 20, 's') + "\n");
}

TEST(Stop, SigtermEndsTheServerWhateverItIsDoing) {
  VESTIGOR_SKIP_UNDER_WINE(
      "stop signals: Windows has none, hosts close the input");
  struct Row {
    const char* name;
    void (*prepare)(const TempVault&);
    bool (*before_exec)();
    std::string request;
  };
  const Row rows[] = {
      {"searching a walk that does not end", fan_out, nullptr,
       tool_call_input(1, "search", string_arguments("query", "absent"))},
      {"writing an answer to a stdout nobody reads", big_snapshot,
       [] { return stream_nobody_reads(1); },
       tool_call_input(1, "get_current_state", "{}")},
  };
  for (const Row& row : rows) {
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
      std::string trace = row.name;
      trace += ", ";
      trace += ::strsignal(signal);
      SCOPED_TRACE(trace);
      TempVault v;
      row.prepare(v);
      RunOptions options = in_vault(v.path());
      options.before_exec = row.before_exec;
      LiveServer server(options);
      ASSERT_TRUE(server.started()) << server.start_error();
      ASSERT_TRUE(server.send(row.request));
      ASSERT_TRUE(server.wait_for_stderr("-> tools/call", seconds(10)));
      std::this_thread::sleep_for(milliseconds(300));  // well into it
      ASSERT_EQ(::kill(server.pid(), signal), 0);
      // Within a second; the bound leaves room for a loaded machine.
      EXPECT_EQ(server.wait_exit(seconds(5)), 0) << server.err();
    }
  }
}

}  // namespace
}  // namespace vestigor_mcp::testing
