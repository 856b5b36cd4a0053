// command_line.hpp: the two arguments the server answers itself. Hosts
// start it with none; a person who runs the installed command may ask
// what it is.
#pragma once

#include <optional>
#include <string_view>

namespace vestigor_mcp {

// The text to print instead of serving when the arguments ask for it:
// the version line for --version, a short usage for --help or -h (the
// first of them wins). Nothing for any other arguments, which are ignored.
std::optional<std::string_view> command_line_answer(int argc,
                                                    const char* const* argv);

}  // namespace vestigor_mcp
