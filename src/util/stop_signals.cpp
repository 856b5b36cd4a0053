#include "util/stop_signals.hpp"

#include <sys/select.h>

#include <array>
#include <cerrno>
#include <csignal>

namespace vestigor_mcp {

namespace {

constexpr std::array<int, 3> kStopSignals = {SIGINT, SIGTERM, SIGHUP};

// Its only effect is that pselect returns EINTR: these are the only
// signals this process handles, so EINTR there means a stop.
extern "C" void interrupt_wait(int) {}

}  // namespace

void hold_stop_signals() {
  // Blocked before the handler goes in, so no stop can slip through.
  sigset_t all;
  sigset_t inherited;
  sigemptyset(&all);
  for (const int signal : kStopSignals) {
    sigaddset(&all, signal);
  }
  (void)::sigprocmask(SIG_BLOCK, &all, &inherited);
  // A signal ignored from the start stays ignored, and unblocked as it
  // came: Linux keeps a blocked signal pending even when it is ignored.
  sigset_t ignored;
  sigemptyset(&ignored);
  struct sigaction action {};
  action.sa_handler = interrupt_wait;
  sigemptyset(&action.sa_mask);
  for (const int signal : kStopSignals) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) {
      if (sigismember(&inherited, signal) == 0) {
        sigaddset(&ignored, signal);
      }
      continue;
    }
    (void)::sigaction(signal, &action, nullptr);
  }
  (void)::sigprocmask(SIG_UNBLOCK, &ignored, nullptr);
}

bool wait_for_input(int fd) {
  if (fd < 0 || fd >= FD_SETSIZE) {
    return true;  // let read report it
  }
  sigset_t during;
  (void)::sigprocmask(SIG_BLOCK, nullptr, &during);
  for (const int signal : kStopSignals) {
    sigdelset(&during, signal);
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(fd, &readable);
  const int ready =
      ::pselect(fd + 1, &readable, nullptr, nullptr, nullptr, &during);
  return !(ready < 0 && errno == EINTR);
}

bool stop_requested() {
  sigset_t pending;
  if (::sigpending(&pending) != 0) {
    return false;
  }
  for (const int signal : kStopSignals) {
    if (sigismember(&pending, signal) == 1) {
      return true;
    }
  }
  return false;
}

}  // namespace vestigor_mcp
