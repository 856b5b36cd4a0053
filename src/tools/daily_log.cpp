#include "tools/daily_log.hpp"

namespace vestigor_mcp {

ToolOutcome append_daily_log(const json::Value&) {
  return std::unexpected("append_daily_log is not available yet");
}

}  // namespace vestigor_mcp
