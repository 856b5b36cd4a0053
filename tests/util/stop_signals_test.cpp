// Stop signals end the process at once, except inside a StopDeferral,
// whose end does it instead. Each case runs in a child process, which
// reports through a pipe how far it got.
#include "util/stop_signals.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

namespace vestigor_mcp {
namespace {

enum class Shape { kPlain, kDeferred, kNested };

// In the child: steps written to `out` as they are passed.
[[noreturn]] void run(Shape shape, int signal, int out) {
  install_stop_signals();
  const auto step = [out](const char* name) {
    (void)::write(out, name, std::char_traits<char>::length(name));
  };
  step("a");
  if (shape == Shape::kPlain) {
    ::raise(signal);
    step("b");
  } else {
    {
      const StopDeferral outer;
      {
        const StopDeferral inner;
        ::raise(signal);
        step("b");
      }
      if (shape == Shape::kNested) {
        step("c");  // the outer deferral still holds the stop
      }
    }
    step("d");
  }
  ::_exit(3);  // not stopped at all
}

TEST(StopSignals, EndTheProcessAtOnceOrWhenTheDeferralEnds) {
  struct Row {
    const char* name;
    Shape shape;
    const char* steps;  // those passed before the process ended
  };
  const Row rows[] = {
      {"outside a deferral: at once", Shape::kPlain, "a"},
      {"inside one: when it ends", Shape::kDeferred, "ab"},
      {"nested: when the outer one ends", Shape::kNested, "abc"},
  };
  for (const Row& row : rows) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
      SCOPED_TRACE(std::string(row.name) + ", " + ::strsignal(signal));
      int fds[2];
      ASSERT_EQ(::pipe(fds), 0);
      const pid_t child = ::fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        ::close(fds[0]);
        run(row.shape, signal, fds[1]);
      }
      ::close(fds[1]);
      int status = 0;
      bool ended = false;
      for (int i = 0; i < 500 && !ended; ++i) {
        ended = ::waitpid(child, &status, WNOHANG) == child;
        if (!ended) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
      }
      if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        ADD_FAILURE() << "child still running after 5 s";
      }
      std::string steps(8, '\0');
      const ssize_t n = ::read(fds[0], steps.data(), steps.size());
      ::close(fds[0]);
      steps.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
      EXPECT_EQ(steps, row.steps);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
  }
}

}  // namespace
}  // namespace vestigor_mcp
