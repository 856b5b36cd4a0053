#include "protocol/diagnostic.hpp"

#include <unistd.h>

#include <new>
#include <string>

#include "util/fd_io.hpp"
#include "util/std_streams.hpp"

namespace vestigor_mcp {

void diagnostic(std::string_view content) {
  std::string line = "[vestigor-mcp] ";
  line += content;
  line += '\n';
  (void)write_line_if_room(STDERR_FILENO, line);
}

void report_os_error(DiagnosticSink diagnose, std::string_view prefix,
                     const os::OsError& error) {
  try {
    diagnose(std::string(prefix) + os_error_text(error));
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace vestigor_mcp
