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

sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kStopSignals) {
    sigaddset(&set, signal);
  }
  return set;
}

}  // namespace

void hold_stop_signals() {
  const sigset_t set = stop_set();
  (void)::sigprocmask(SIG_BLOCK, &set, nullptr);
  struct sigaction action {};
  action.sa_handler = interrupt_wait;
  sigemptyset(&action.sa_mask);
  for (const int signal : kStopSignals) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
      (void)::sigaction(signal, &action, nullptr);
    }
  }
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
