#include "tools/snapshots.hpp"

#include "tools/vault.hpp"
#include "util/buffer.hpp"
#include "util/fs.hpp"
#include "util/path.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

// The text of NAME.md from the first readable candidate; `missing` when
// neither can be read.
ToolOutcome snapshot(std::string_view name, const ToolOutcome& missing) {
  auto vault = vault_root();
  if (!vault) {
    return std::unexpected(vault.error());
  }
  const std::string candidates[] = {
      join_path(*vault, name),
      join_path(*vault, "agents/memory/" + std::string(name)),
  };
  Buffer buffer;
  for (const std::string& path : candidates) {
    const auto text =
        read_regular_file(os::Folder::by_path(), path.c_str(), buffer);
    if (text && is_valid_utf8(*text)) {
      return std::string(*text);
    }
  }
  return missing;
}

}  // namespace

ToolOutcome get_current_state() {
  return snapshot("current-state.md",
                  std::unexpected("no current-state.md found in vault"));
}

ToolOutcome list_open_threads() {
  return snapshot("open-threads.md", "(no open-threads.md yet)");
}

}  // namespace vestigor_mcp
