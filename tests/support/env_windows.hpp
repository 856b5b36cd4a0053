// env_windows.hpp: setenv and unsetenv for the unit tests built for
// Windows that set variables (included by each; nothing is force-included),
// over the C runtime's _putenv_s, which sets the process's environment
// block that the server reads too. The C runtime cannot hold a variable
// set to "": that is unset.
#pragma once

#ifdef _WIN32
#include <cstdlib>

inline int setenv(const char* name, const char* value, int /*overwrite*/) {
  return ::_putenv_s(name, value);
}
inline int unsetenv(const char* name) { return ::_putenv_s(name, ""); }
#endif
