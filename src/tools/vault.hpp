// vault.hpp: what every tool shares: where the vault is, and how vault
// paths are shown. Reads the environment afresh on every call and keeps
// nothing.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace vestigor_mcp {

inline constexpr std::string_view kVaultNotSet =
    "VESTIGOR_VAULT env var is not set";

// The value of VESTIGOR_VAULT, read afresh and returned unchanged (the
// empty value included); kVaultNotSet when unset or not valid UTF-8.
std::expected<std::string, std::string> vault_root();

// How a vault file is named in a reply: `path` with `vault` removed from
// its front component by component (the whole path when it is not under
// the vault), invalid UTF-8 replaced by U+FFFD, backslashes turned into
// slashes.
std::string display_path(std::string_view path, std::string_view vault);

}  // namespace vestigor_mcp
