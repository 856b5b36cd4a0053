// line_reader.hpp: splits the bytes of a descriptor into input lines of
// any length. A line ends at a LF; the LF, and one CR directly before it,
// are not part of it. Bytes after the last LF form a last line. Only a
// read that brings nothing while nothing is buffered ends the input: at
// the end of a terminal's input (Ctrl-D after a partial line) another read
// can still bring bytes, so the partial line is returned and reading goes
// on. Never checks the encoding; never throws.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string_view>

#include "util/buffer.hpp"

namespace vestigor_mcp {

class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  // The next line, valid until the next call; nothing at the end of the
  // input. The error is the errno of a failed read (interrupted reads are
  // retried), or ENOMEM when the line does not fit in memory.
  std::expected<std::optional<std::string_view>, int> next();

 private:
  int fd_;
  Buffer buffer_;
  std::size_t start_ = 0;  // first byte of the line not yet returned
  std::size_t scan_ = 0;   // bytes before this hold no LF past start_
};

}  // namespace vestigor_mcp
