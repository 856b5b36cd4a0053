#include "tools/vault.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "util/environment.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

// Path components as a path comparison sees them: empty ones (repeated or
// trailing separators) dropped, "." kept only at the very start, a leading
// "/" kept as a root component.
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out;
  if (!path.empty() && path.front() == '/') {
    out.push_back(path.substr(0, 1));
  }
  std::size_t i = 0;
  while (i < path.size()) {
    const std::size_t slash = std::min(path.find('/', i), path.size());
    const std::string_view part = path.substr(i, slash - i);
    if (!part.empty() && (part != "." || (i == 0 && out.empty()))) {
      out.push_back(part);
    }
    i = slash + 1;
  }
  return out;
}

}  // namespace

std::expected<std::string, std::string> vault_root() {
  auto value = environment_variable("VESTIGOR_VAULT");
  if (!value || !is_valid_utf8(*value)) {
    return std::unexpected(std::string(kVaultNotSet));
  }
  return std::move(*value);
}

std::string join_path(std::string_view base, std::string_view relative) {
  std::string out(base);
  if (!out.empty() && out.back() != '/') {
    out += '/';
  }
  out += relative;
  return out;
}

std::string display_path(std::string_view path, std::string_view vault) {
  const std::vector<std::string_view> prefix = components(vault);
  const std::vector<std::string_view> parts = components(path);
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
