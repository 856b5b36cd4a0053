#include <cstdlib>

#include "util/environment.hpp"

namespace vestigor_mcp {

std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) {
    return std::nullopt;
  }
  return std::string(value);
}

}  // namespace vestigor_mcp
