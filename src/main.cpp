// The server's entry and its message loop: one JSON-RPC request per line
// on stdin, one response per line on stdout, diagnostics on stderr. Runs
// until stdin ends or fails, then exits 0; SIGINT, SIGTERM and SIGHUP end
// it at once with 0 too, whatever it is doing, once a change to a note in
// progress is finished or undone (util/stop_signals.hpp).
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <optional>
#include <string>
#include <string_view>

#include "protocol/command_line.hpp"
#include "protocol/diagnostic.hpp"
#include "protocol/line_reader.hpp"
#include "protocol/request.hpp"
#include "util/fd_io.hpp"
#include "util/std_streams.hpp"
#include "util/stop_signals.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {
namespace {

// A search reads notes in 32 KiB pieces, but a snapshot tool reads its
// note whole, and answers and input lines are as big as they come. glibc by
// default raises its mmap threshold to the largest block freed so far, and from
// then on keeps that much heap resident between requests: a server running for
// days would grow with the largest block it ever needed. A fixed threshold
// hands big blocks back to the system as soon as they are freed.
void give_big_blocks_back() {
#ifdef __GLIBC__
  constexpr int kMmapThreshold = 128 * 1024;  // glibc's own starting value
  (void)::mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
#endif
}

void serve() {
  LineReader reader(STDIN_FILENO);
  for (;;) {
    const auto next = reader.next();
    if (!next) {
      if (next.error() == os::OsError::out_of_memory()) {
        report_os_error(diagnostic, "line dropped: ",
                        next.error());  // too long to hold; read past
        continue;
      }
      report_os_error(diagnostic, "stdin error: ", next.error());
      return;
    }
    const std::optional<std::string_view> line = *next;
    if (!line) {
      return;  // end of input
    }
    if (!is_valid_utf8(*line)) {
      diagnostic("stdin error: stream did not contain valid UTF-8");
      return;
    }
    if (auto response = handle_line(*line, diagnostic)) {
      response->push_back('\n');  // handle_line left room: cannot throw
      (void)write_all(STDOUT_FILENO, *response);  // a closed reader is ignored
    }
  }
}

}  // namespace
}  // namespace vestigor_mcp

int main(int argc, char** argv) {
  if (const auto answer = vestigor_mcp::command_line_answer(argc, argv)) {
    (void)vestigor_mcp::write_all(STDOUT_FILENO, *answer);  // stdin unread
    return 0;
  }
  vestigor_mcp::install_stop_signals();
  vestigor_mcp::prepare_standard_streams();
  vestigor_mcp::give_big_blocks_back();
  vestigor_mcp::diagnostic("starting on stdio");
  vestigor_mcp::serve();
  return 0;
}
