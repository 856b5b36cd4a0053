#include "tools/search.hpp"

namespace vestigor_mcp {

void collect_md(const std::string&, std::vector<std::string>&) {}

ToolOutcome search(const json::Value&) {
  return std::unexpected("search is not available yet");
}

}  // namespace vestigor_mcp
