#include "tools/vault.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "util/os.hpp"
#include "util/path.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

std::expected<std::string, std::string> vault_root() {
  auto value = os::environment_variable("VESTIGOR_VAULT");
  if (!value || !is_valid_utf8(*value)) {
    return std::unexpected(std::string(kVaultNotSet));
  }
  return std::move(*value);
}

std::string display_path(std::string_view path, std::string_view vault) {
  const std::vector<std::string_view> prefix = path_components(vault);
  const std::vector<std::string_view> parts = path_components(path);
  std::string shown;
  if (parts.size() >= prefix.size() &&
      std::equal(prefix.begin(), prefix.end(), parts.begin())) {
    for (std::size_t i = prefix.size(); i < parts.size(); ++i) {
      if (i > prefix.size()) {
        shown += '/';
      }
      shown += parts[i];
    }
  } else {
    shown = path;
  }
  shown = to_valid_utf8(shown);
  std::replace(shown.begin(), shown.end(), '\\', '/');
  return shown;
}

}  // namespace vestigor_mcp
