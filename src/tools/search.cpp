#include "tools/search.hpp"

#include <cerrno>
#include <optional>
#include <string>

#include "tools/line_finder.hpp"
#include "tools/walk.hpp"
#include "util/buffer.hpp"
#include "util/fd_io.hpp"
#include "util/fs.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

ToolOutcome search(std::string_view query) {
  if (trim_white_space(query).empty()) {
    return std::unexpected("query is empty");
  }
  const auto vault = vault_root();
  if (!vault) {
    return std::unexpected(vault.error());
  }
  auto finder = LineFinder::make(query);
  if (!finder) {
    return std::unexpected(finder.error());
  }
  std::string lines;  // the match lines, each after a LF
  std::size_t matches = 0;
  std::string failure;
  if (finder->can_match()) {
    Buffer note;  // one note at a time
    const auto walked = collect_md(*vault, [&](const NoteWalk& walk) {
      const auto read = read_regular_file(walk.folder(), walk.name(), note);
      if (!read) {
        if (read.error() == ENOMEM) {
          failure = os_error_text(ENOMEM);
          return WalkStep::kStop;
        }
        return WalkStep::kContinue;
      }
      const auto match = finder->first_match(*read);
      if (!match) {
        failure = match.error();
        return WalkStep::kStop;
      }
      // A note that is not valid UTF-8 is skipped, matching or not, so
      // only a matching note needs the check.
      if (!*match || !is_valid_utf8(*read)) {
        return WalkStep::kContinue;
      }
      lines += '\n';
      lines += display_path(walk.path(), *vault);
      lines += ':';
      lines += std::to_string((*match)->number);
      lines += ": ";
      lines += trim_white_space((*match)->text);
      ++matches;
      return matches == kMaxSearchMatches ? WalkStep::kStop
                                          : WalkStep::kContinue;
    });
    if (!walked) {
      failure = os_error_text(walked.error());
    }
  }
  if (!failure.empty()) {
    return std::unexpected(failure);
  }
  if (matches == 0) {
    return "No matches for \"" + std::string(query) + "\".";
  }
  return std::to_string(matches) + " file match(es) for \"" +
         std::string(query) + "\":\n" + lines;
}

}  // namespace vestigor_mcp
