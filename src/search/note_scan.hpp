// note_scan.hpp: one note's search, fed in pieces. Only the line that runs
// over a piece's end is kept between pieces, so memory is bounded by a
// piece plus the longest line met, never by the note's size. Line numbers
// count the lines of every piece before the match. A matching note is
// reported only when the whole of it is valid UTF-8: the rest of it is
// still fed and checked, a sequence split between pieces included.
// A line that memory cannot hold is looked through as it comes instead,
// keeping only as much of its end as a match can span (when the query's
// matches depend on nothing else: LineFinder::spans_decide): when it holds
// no match the note's later lines are searched as usual; when it does, or
// when the query's matches depend on more, the note is one that is
// skipped, like one that cannot be read.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "search/line_finder.hpp"
#include "util/buffer.hpp"

namespace vestigor_mcp {

// Whether a piece is the note's last.
enum class PieceEnd { kMore, kLast };

class NoteScan {
 public:
  explicit NoteScan(LineFinder& finder) : finder_(&finder) {}
  // For tests: a line longer than `line_bytes` cannot be held, as if
  // memory had run out.
  static NoteScan TEST_with_line_limit(LineFinder& finder,
                                       std::size_t line_bytes) {
    NoteScan scan(finder);
    scan.line_limit_ = line_bytes;
    return scan;
  }

  // Forgets the last note.
  void start();

  // Takes the next piece of the note: true when more pieces are wanted,
  // false when the note's answer is known. The failure is the finder's.
  std::expected<bool, std::string> take(std::string_view piece, PieceEnd end);

  // Once take() said false: whether the note is to be reported, and its
  // first matching line.
  bool matched() const { return phase_ == Phase::kMatched; }
  std::size_t line_number() const { return number_; }
  std::string_view line() const { return text_; }

 private:
  enum class Phase { kSearching, kChecking, kMatched, kSkipped };

  std::expected<bool, std::string> search(std::string_view piece, PieceEnd end);
  std::expected<bool, std::string> finish(std::string_view region);
  std::expected<bool, std::string> pass(std::string_view region,
                                        std::string_view after);
  bool hold(std::string_view bytes);
  std::expected<bool, std::string> spilled(std::size_t from);
  std::expected<bool, std::string> look_through(std::string_view bytes,
                                                bool line_ends);
  std::size_t segment_bytes() const;
  std::size_t kept_bytes() const;
  std::expected<std::size_t, std::string> stream(std::string_view piece,
                                                 PieceEnd end);
  bool check(std::string_view bytes);
  bool check_end();

  LineFinder* finder_;
  std::size_t line_limit_ = std::string_view::npos;
  Phase phase_ = Phase::kSearching;
  std::size_t lines_before_ = 0;  // lines of the pieces passed
  Buffer line_;                   // the line running over a piece's end
  // The line is too long to hold: chunk_ holds the end of the bytes
  // looked through, as many as a match can span, then fresh_ bytes not
  // yet looked through.
  bool streaming_ = false;
  Buffer chunk_;
  std::size_t fresh_ = 0;
  static constexpr std::size_t kSegmentBytes = std::size_t{64} << 10;
  static constexpr std::size_t kNotSpilled = std::string_view::npos;
  std::size_t spilled_from_ = kNotSpilled;
  std::size_t number_ = 0;
  std::string text_;
  // A UTF-8 sequence split by a piece's end, while checking the rest.
  unsigned char held_[4] = {};
  std::size_t held_size_ = 0;
};

}  // namespace vestigor_mcp
