// snapshots.hpp: the two memory snapshot tools. Each returns one whole
// note, looked for as NAME.md in the vault and then as
// agents/memory/NAME.md; a candidate that cannot be read whole as UTF-8 is
// skipped silently. Never writes.
#pragma once

#include "tools/tool_outcome.hpp"

namespace vestigor_mcp {

// current-state.md; failure "no current-state.md found in vault" if neither
// candidate is readable.
ToolOutcome get_current_state();

// open-threads.md; the success text "(no open-threads.md yet)" if neither
// candidate is readable.
ToolOutcome list_open_threads();

}  // namespace vestigor_mcp
