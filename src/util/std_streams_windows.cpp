#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "util/fd_io.hpp"
#include "util/std_streams.hpp"

namespace vestigor_mcp {

void prepare_standard_streams() {
  // No "program has stopped working" or "insert a disk" box: the server
  // runs without anyone to click it away.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX |
                 SEM_NOOPENFILEERRORBOX);
  for (int fd = 0; fd <= 2; ++fd) {
    if (::_get_osfhandle(fd) == -1) {
      // Missing: the null device takes the number (the C runtime gives
      // the lowest free one).
      (void)::_open("NUL", _O_RDWR | _O_BINARY);
    }
    (void)::_setmode(fd, _O_BINARY);
  }
  // A write to a closed pipe fails (ERROR_NO_DATA) without ending the
  // process: there is no SIGPIPE to ignore.
}

bool waited_for(int /*fd*/, Readiness /*readiness*/) { return false; }

bool write_line_if_room(int fd, std::string_view line) {
  return write_all(fd, line).has_value();
}

}  // namespace vestigor_mcp
