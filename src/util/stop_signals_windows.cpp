// Windows has no stop signals to hold: hosts end a server by closing its
// input (which ends the run between two requests) or by ending the
// process. Waiting for input is the read itself.
#include "util/stop_signals.hpp"

namespace vestigor_mcp {

void hold_stop_signals() {}

bool wait_for_input(int /*fd*/) { return true; }

bool stop_requested() { return false; }

}  // namespace vestigor_mcp
