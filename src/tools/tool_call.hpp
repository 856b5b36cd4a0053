// tool_call.hpp: carries out "tools/call". Picks one of the four tools by
// exact name, runs it, and wraps its outcome into the tool result
// {"content":[{"text":...,"type":"text"}],"isError":...}. Every failure,
// an unknown tool included, comes back inside that result; tools_call
// never yields a method error and writes nothing to the standard streams.
//
// Also the helpers every tool shares: locating the vault, reading a string
// argument, joining and displaying vault paths, reading a note whole.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/dispatch.hpp"
#include "protocol/json.hpp"

namespace vestigor_mcp {

// A tool's answer: the success text, or the failure message.
using ToolOutcome = std::expected<std::string, std::string>;

inline constexpr std::string_view kVaultNotSet =
    "VESTIGOR_VAULT env var is not set";

// `request` is the whole request message.
DispatchResult tools_call(const json::Value& request);

// The value of VESTIGOR_VAULT, read afresh and returned unchanged (the
// empty value included); kVaultNotSet when unset or not valid UTF-8.
std::expected<std::string, std::string> vault_root();

// The string value of `key` in `arguments`, or "" when `arguments` is no
// object, lacks the key, or holds something other than a string there.
std::string string_argument(const json::Value& arguments, std::string_view key);

// Ordinary path joining: "" + r = r; "v/" + r = "v/r"; "v" + r = "v/r".
std::string join_path(std::string_view base, std::string_view relative);

// How a vault file is named in a reply: `path` with `vault` removed from its
// front component by component (the whole path when it is not under the
// vault), invalid UTF-8 replaced by U+FFFD, backslashes turned into slashes.
std::string display_path(std::string_view path, std::string_view vault);

// Reads notes whole into one buffer that grows to the largest of them and
// is reused, never zeroed: reading is most of what the read-only tools do.
class NoteReader {
 public:
  // Reads the regular file at `path` (links followed) whole. False when it
  // cannot be opened or read, or is not a regular file: a FIFO or device is
  // never read, so it cannot block. Does not check the encoding.
  bool read(const std::string& path);

  // The last note read; valid until the next read.
  std::string_view text() const { return {data_.get(), size_}; }

 private:
  void reserve(std::size_t capacity);

  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

}  // namespace vestigor_mcp
