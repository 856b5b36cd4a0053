#include "util/stop_signals.hpp"

#include <unistd.h>

#include <array>
#include <csignal>

namespace vestigor_mcp {

namespace {

constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kStopSignals) {
    sigaddset(&set, signal);
  }
  return set;
}

// Nothing is buffered in the process (responses and diagnostics go out
// with write), so there is nothing to flush: _exit is all it takes, and
// it is async-signal-safe.
extern "C" void stop_now(int /*signal*/) { ::_exit(0); }

}  // namespace

void install_stop_signals() {
  struct sigaction action {};
  action.sa_handler = stop_now;
  sigfillset(&action.sa_mask);
  sigset_t handled;
  sigemptyset(&handled);
  for (const int signal : kStopSignals) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
      continue;  // ignored from the start: the host wants it so
    }
    (void)::sigaction(signal, &action, nullptr);
    sigaddset(&handled, signal);
  }
  // Blocked by whoever started the process, they would never arrive.
  (void)::sigprocmask(SIG_UNBLOCK, &handled, nullptr);
}

StopDeferral::StopDeferral() {
  const sigset_t stops = stop_set();
  (void)::sigprocmask(SIG_BLOCK, &stops, &before_);
}

// Restoring the mask delivers a stop that came meanwhile, and its handler
// ends the process before this returns.
StopDeferral::~StopDeferral() {
  (void)::sigprocmask(SIG_SETMASK, &before_, nullptr);
}

}  // namespace vestigor_mcp
