// eintr.hpp: system calls interrupted by a signal, made again. The only
// signals the server handles end it (stop_signals.hpp), so an
// interruption is never a reason to give up: it is retried, never
// reported.
#pragma once

#include <cerrno>

namespace vestigor_mcp {

// Calls `call` until it returns anything but a failure (a negative value)
// with errno EINTR, and returns that; errno is left as the call set it.
template <typename Call>
auto retry_on_eintr(Call&& call) {
  for (;;) {
    const auto result = call();
    if (!(result < 0 && errno == EINTR)) {
      return result;
    }
  }
}

}  // namespace vestigor_mcp
