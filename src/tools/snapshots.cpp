#include "tools/snapshots.hpp"

#include <fcntl.h>

#include "util/buffer.hpp"
#include "util/fs.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

// The note's text from the first readable candidate, if any.
std::expected<std::string, std::string> find_note(std::string_view vault,
                                                  std::string_view name) {
  const std::string candidates[] = {
      join_path(vault, name),
      join_path(vault, "agents/memory/" + std::string(name)),
  };
  Buffer buffer;
  for (const std::string& path : candidates) {
    const auto text = read_regular_file(AT_FDCWD, path.c_str(), buffer);
    if (text && is_valid_utf8(*text)) {
      return std::string(*text);
    }
  }
  return std::unexpected(std::string());
}

}  // namespace

ToolOutcome get_current_state() {
  auto vault = vault_root();
  if (!vault) {
    return std::unexpected(vault.error());
  }
  auto note = find_note(*vault, "current-state.md");
  if (!note) {
    return std::unexpected("no current-state.md found in vault");
  }
  return *note;
}

ToolOutcome list_open_threads() {
  auto vault = vault_root();
  if (!vault) {
    return std::unexpected(vault.error());
  }
  auto note = find_note(*vault, "open-threads.md");
  if (!note) {
    return "(no open-threads.md yet)";
  }
  return *note;
}

}  // namespace vestigor_mcp
