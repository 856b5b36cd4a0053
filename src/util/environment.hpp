// environment.hpp: reading an environment variable as text:
// environment_posix.cpp (getenv: the bytes as they are) |
// environment_windows.cpp (the UTF-16 value, converted to UTF-8).
#pragma once

#include <optional>
#include <string>

namespace vestigor_mcp {

// The value of `name`; nullopt when it is unset, or (on Windows) when its
// UTF-16 is broken, so that no value ever stands for another one.
std::optional<std::string> environment_variable(const char* name);

}  // namespace vestigor_mcp
