// line_reader.hpp: splits the bytes of a descriptor into input lines of
// any length. A line ends at a LF; the LF, and one CR directly before it,
// are not part of it. Bytes after the last LF form a last line. Only a
// read that brings nothing while nothing is buffered ends the input: at
// the end of a terminal's input (Ctrl-D after a partial line) another read
// can still bring bytes, so the partial line is returned and reading goes
// on. A line too long for memory is dropped: reported once, then read on
// to its LF without being kept. Never checks the encoding; never throws.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string_view>

#include "util/buffer.hpp"

namespace vestigor_mcp {

// Called before every read; false means stop reading.
using InputWait = bool (*)(int fd);

class LineReader {
 public:
  explicit LineReader(int fd, InputWait wait = nullptr)
      : fd_(fd), wait_(wait) {}

  // The next line, valid until the next call; nothing at the end of the
  // input. The error is the errno of a failed read (interrupted reads are
  // retried); EINTR when `wait` said to stop; or ENOMEM when the line does
  // not fit in memory: the line is then dropped and the next call goes on
  // after it.
  std::expected<std::optional<std::string_view>, int> next();

 private:
  int fd_;
  InputWait wait_;
  bool dropping_ = false;  // reading on to the LF of a dropped line
  Buffer buffer_;
  std::size_t start_ = 0;  // first byte of the line not yet returned
  std::size_t scan_ = 0;   // bytes before this hold no LF past start_
};

}  // namespace vestigor_mcp
