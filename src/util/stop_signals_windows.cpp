// Windows has no stop signals: hosts end a server by closing its input
// (which ends the run between two requests) or by ending the process,
// which no program can put off. Ctrl-C and Ctrl-Break on a console end
// it at once by the system's own handling. A change to a note is
// therefore not shielded here: it is left as a killed process leaves it.
#include "util/stop_signals.hpp"

namespace vestigor_mcp {

void install_stop_signals() {}

StopDeferral::StopDeferral() = default;

StopDeferral::~StopDeferral() = default;

}  // namespace vestigor_mcp
