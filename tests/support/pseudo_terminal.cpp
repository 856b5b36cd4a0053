#include "support/pseudo_terminal.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace vestigor_mcp::testing {

PseudoTerminal::PseudoTerminal() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
      ::ptsname_r(master_, name, sizeof name) != 0) {
    return;
  }
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios mode{};
  if (slave_ < 0 || ::tcgetattr(slave_, &mode) != 0) {
    return;
  }
  mode.c_lflag |= ICANON;
  mode.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL);
  mode.c_cc[VEOF] = 0x04;
  if (::tcsetattr(slave_, TCSANOW, &mode) != 0) {
    ::close(slave_);
    slave_ = -1;
  }
}

PseudoTerminal::~PseudoTerminal() {
  close_slave();
  if (master_ >= 0) {
    ::close(master_);
  }
}

void PseudoTerminal::close_slave() {
  if (slave_ >= 0) {
    ::close(slave_);
    slave_ = -1;
  }
}

bool PseudoTerminal::type(std::string_view bytes) const {
  while (!bytes.empty()) {
    const ssize_t n = ::write(master_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace vestigor_mcp::testing
