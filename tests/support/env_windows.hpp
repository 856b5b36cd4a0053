// env_windows.hpp: setenv and unsetenv for the unit tests built for
// Windows, over the C runtime's _putenv_s (which the server's getenv
// reads). The C runtime cannot hold a variable set to "": that is unset.
#pragma once

#ifdef _WIN32
#include <cstdlib>

inline int setenv(const char* name, const char* value, int /*overwrite*/) {
  return ::_putenv_s(name, value);
}
inline int unsetenv(const char* name) { return ::_putenv_s(name, ""); }
#endif
