// line_reader.hpp: splits the bytes of a descriptor into input lines of
// any length. A line ends at a LF; the LF, and one CR directly before it,
// are not part of it. Bytes after the last LF form a last line. The first
// read that brings nothing ends the input for good, as in every program
// that reads lines: on a terminal, Ctrl-D after a partial line hands that
// line over and a second Ctrl-D ends the run, without a third. A line too
// long for memory is dropped: reported once, then read on to its LF
// without being kept. Never checks the encoding; never throws.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string_view>

#include "util/buffer.hpp"
#include "util/os.hpp"

namespace vestigor_mcp {

class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  // The next line, valid until the next call; nothing at the end of the
  // input. The error is that of a failed read (interrupted reads are
  // retried, and a non-blocking descriptor is waited on), or out of memory
  // (OsError::out_of_memory()) when the line does not fit in memory: the
  // line is then dropped and the next call goes on after it.
  std::expected<std::optional<std::string_view>, os::OsError> next();

 private:
  int fd_;
  bool ended_ = false;     // a read brought nothing: no more reads
  bool dropping_ = false;  // reading on to the LF of a dropped line
  Buffer buffer_;
  std::size_t start_ = 0;  // first byte of the line not yet returned
  std::size_t scan_ = 0;   // bytes before this hold no LF past start_
};

}  // namespace vestigor_mcp
