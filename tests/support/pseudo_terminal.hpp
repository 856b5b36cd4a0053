// pseudo_terminal.hpp: a pseudo-terminal in canonical mode without echo,
// standing in for a person at a keyboard: bytes written to the master side
// arrive at the slave side as a terminal's line discipline delivers them
// (a line at a time; Ctrl-D hands over what was typed so far, or makes a
// read return nothing when nothing was typed).
#pragma once

#include <string_view>

namespace vestigor_mcp::testing {

class PseudoTerminal {
 public:
  PseudoTerminal();  // check ok() before use
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool ok() const { return master_ >= 0 && slave_ >= 0; }
  int master() const { return master_; }
  int slave() const { return slave_; }
  // Closes this process's slave side, once a child holds its own copy.
  void close_slave();
  // Types `bytes` (all of them, or false).
  bool type(std::string_view bytes) const;

 private:
  int master_ = -1;
  int slave_ = -1;
};

inline constexpr char kCtrlD = '\x04';

}  // namespace vestigor_mcp::testing
