// request.hpp: what the server does with one input line: the blank test,
// parsing, the "-> method" and "invalid json" diagnostics, dispatch, and
// the JSON-RPC envelope of the answer. The caller owns reading and writing
// the streams.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "protocol/diagnostic.hpp"

namespace vestigor_mcp {

// `line` is one input line without its terminator, already known to be
// valid UTF-8. Returns the response text (no line feed, but room for one)
// when the request carries an id; nothing for blank lines, unparsable
// lines and notifications. Requests are carried out either way. Out of
// memory never escapes: a line that cannot be parsed or dispatched for
// want of memory is dropped with the diagnostic "line dropped: <OS error
// text>", and an answer that cannot be built with "answer dropped: ...".
// A sink may throw std::bad_alloc too; it is caught here the same way.
std::optional<std::string> handle_line(std::string_view line,
                                       DiagnosticSink diagnose);

}  // namespace vestigor_mcp
