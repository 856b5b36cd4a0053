// diagnostic.hpp: the server's lines on standard error, each written
// through "[vestigor-mcp] <content>\n". A diagnostic never holds up an
// answer: a line that standard error has no room for is dropped whole.
#pragma once

#include <string_view>

#include "util/os.hpp"

namespace vestigor_mcp {

// Writes "[vestigor-mcp] <content>\n" to standard error in one piece, or
// drops it (stderr closed, full, or its reader gone); never waits for a
// reader and never writes part of a line.
void diagnostic(std::string_view content);

// Receives the content of each diagnostic line, in order.
using DiagnosticSink = void (*)(std::string_view content);

// Passes "<prefix><OS error text>" to `diagnose`; dropped when even that
// line cannot get memory.
void report_os_error(DiagnosticSink diagnose, std::string_view prefix,
                     const os::OsError& error);

}  // namespace vestigor_mcp
