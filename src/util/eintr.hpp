// eintr.hpp: system calls interrupted by a signal, made again. The server
// takes signals only while it waits for input (stop_signals.hpp), so an
// interruption anywhere else is retried, never reported.
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
