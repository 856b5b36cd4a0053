// stop_signals.hpp: SIGINT, SIGTERM and SIGHUP, with which hosts end a
// server while its input is still open, end the process at once with
// status 0, whatever it is doing: waiting for input, searching, or stuck
// writing to a stream nobody reads. Only a change to a note is let
// finish (or undo itself) first: inside a StopDeferral the signals are
// blocked, and one that arrives meanwhile ends the process as the
// deferral ends. A signal that was ignored when the process started stays
// ignored. No state is kept outside the kernel's signal mask.
#pragma once

#ifndef _WIN32
#include <signal.h>
#endif

namespace vestigor_mcp {

// Gives the stop signals a handler that ends the process (_exit(0)) and
// lets them in. Call once, first thing.
void install_stop_signals();

// Holds the stop signals from construction to destruction (nesting is
// fine); a stop that came meanwhile ends the process in the destructor.
// For a short change to the vault that must be finished or undone whole;
// it adds two system calls. Nothing bounds its length but the work it
// guards, so guard only work whose waits are bounded.
class StopDeferral {
 public:
  StopDeferral();
  ~StopDeferral();
  StopDeferral(const StopDeferral&) = delete;
  StopDeferral& operator=(const StopDeferral&) = delete;

 private:
#ifndef _WIN32
  sigset_t before_{};  // the mask to go back to
#endif
};

}  // namespace vestigor_mcp
