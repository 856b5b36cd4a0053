#include "protocol/command_line.hpp"

#include <span>

#include "protocol/version.hpp"

namespace vestigor_mcp {
namespace {

// Built from kServerVersion at compile time, so the two never disagree.
template <std::size_t N>
struct Text {
  char bytes[N]{};
  constexpr std::string_view view() const { return {bytes, N}; }
};

constexpr std::string_view kName = "vestigor-mcp ";
constexpr Text<kName.size() + kServerVersion.size() + 1> version_line() {
  Text<kName.size() + kServerVersion.size() + 1> text;
  std::size_t at = 0;
  for (const char c : kName) {
    text.bytes[at++] = c;
  }
  for (const char c : kServerVersion) {
    text.bytes[at++] = c;
  }
  text.bytes[at] = '\n';
  return text;
}
constexpr auto kVersionLine = version_line();

constexpr std::string_view kUsage =
    "usage: vestigor-mcp [--version | --help]\n"
    "An MCP server on stdio: one JSON-RPC request per line on stdin, one\n"
    "response per line on stdout. It serves the Markdown notes of the\n"
    "folder named by the environment variable VESTIGOR_VAULT. An MCP host\n"
    "starts it with no arguments; README.md (installed with it, or on the\n"
    "project page) shows each host's setup.\n";

}  // namespace

std::optional<std::string_view> command_line_answer(int argc,
                                                    const char* const* argv) {
  if (argc <= 1 || argv == nullptr) {
    return std::nullopt;
  }
  for (const char* arg :
       std::span(argv + 1, static_cast<std::size_t>(argc - 1))) {
    if (arg == nullptr) {
      break;
    }
    const std::string_view word(arg);
    if (word == "--version") {
      return kVersionLine.view();
    }
    if (word == "--help" || word == "-h") {
      return kUsage;
    }
  }
  return std::nullopt;
}

}  // namespace vestigor_mcp
