// daily_log.hpp: appends "- HH:MM text" to daily/YYYY-MM-DD.md in the vault
// for the current local day (TZ when set, else the system zone), creating
// the folder and the note (with its "# YYYY-MM-DD" heading) when missing.
// One append-mode write per call, so concurrent writers never interleave
// partial lines. A new note appears at once with its heading and first
// entry, made by exactly one writer however many race for it; the others
// append their entries below. Success means the entry is on disk: the
// note is synced, and so is every folder that gained a name for it.
// Failures carry the OS error text ("<strerror> (os error N)", never a
// path); after a failed sync the entry may still be in the note. A write
// that fails part way (disk full, file size limit) is undone: the note is
// cut back to what it held, or, where another writer appended meanwhile,
// the part is ended with a line feed; a note this call made goes again.
// Nothing else is ever truncated or rewritten. An empty TZ counts as
// unset.
#pragma once

#include <string_view>

#include "tools/tool_outcome.hpp"
#include "util/os.hpp"

namespace vestigor_mcp {

// `text` is the call's "text" argument, untrimmed.
ToolOutcome append_daily_log(std::string_view text);

// For tests only: the same append, stamped `stamp` instead of the local
// clock's reading.
ToolOutcome TEST_append_daily_log(std::string_view text,
                                  const os::LocalStamp& stamp);

}  // namespace vestigor_mcp
