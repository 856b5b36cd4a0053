// note_scan.hpp: one note's search, fed in pieces. Only the line that runs
// over a piece's end is kept between pieces, so memory is bounded by a
// piece plus the longest line held, never by the note's size. Line numbers
// count the lines of every piece before the match. A matching note is
// reported only when the whole of it is valid UTF-8: the rest of it is
// still fed and checked, a sequence split between pieces included.
// A line longer than kHeldLineBytes (or than memory can hold) is looked
// through as it comes instead, keeping only as much of its end as a match
// can span, when the query's matches depend on nothing else
// (LineFinder::spans_decide): when it holds no match the note's later
// lines are searched as usual; when it does, the note is read on to check
// it, and the line is then read back from the note by the caller
// (line_to_read, take_line), so that memory follows the longest line that
// is reported, not the longest line met. When the query's matches depend
// on more, a line is held however long, and one that memory cannot hold
// makes the note one that is skipped, like one that cannot be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "search/line_finder.hpp"
#include "util/buffer.hpp"

namespace vestigor_mcp {

// Whether a piece is the note's last.
enum class PieceEnd { kMore, kLast };

// Lines longer than this are looked through as they come, not held.
inline constexpr std::size_t kHeldLineBytes = std::size_t{1} << 20;

// The bytes of a note to read back for a line: the LF before it (none for
// the note's first line), the line, and the LF after it, or, for a last
// line without one, one byte more, which must not be there.
struct LineSpan {
  std::uint64_t offset = 0;
  std::size_t size = 0;
  bool operator==(const LineSpan&) const = default;
};

class NoteScan {
 public:
  explicit NoteScan(LineFinder& finder)
      : finder_(&finder),
        line_limit_(finder.spans_decide() ? kHeldLineBytes
                                          : std::string_view::npos) {}
  // For tests: a line longer than `line_bytes` is not held, whatever the
  // query.
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
  std::string_view line() const {
    if (!long_line_) {
      return text_;
    }
    return line_taken_ ? read_back_.view().substr(line_from_, line_size_)
                       : std::string_view();
  }

  // Once matched(): what to read back of the note when the matching line
  // was too long to hold; line() is then empty until take_line() has it.
  std::optional<LineSpan> line_to_read() const { return long_line_; }
  // Room for the bytes read back: line_to_read()->size of them, or null
  // when memory cannot hold them.
  char* line_room();
  // Takes the `size` bytes read back into line_room(). False, and the
  // note is one that is skipped, when they are no longer a line holding
  // the query where it was found (the note changed meanwhile).
  bool take_line(std::size_t size);

 private:
  enum class Phase { kSearching, kChecking, kLineEnd, kMatched, kSkipped };

  void advance(std::string_view& piece, std::size_t bytes);
  bool check_rest(std::string_view piece, PieceEnd end);
  std::size_t to_line_end(std::string_view piece, PieceEnd end);
  void line_ended(std::uint64_t end, bool by_lf);
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
  std::size_t line_limit_;
  Phase phase_ = Phase::kSearching;
  std::size_t lines_before_ = 0;  // lines of the pieces passed
  std::uint64_t at_ = 0;          // where in the note the piece taken begins
  Buffer line_;                   // the line running over a piece's end
  // The line is too long to hold: chunk_ holds the end of the bytes
  // looked through, as many as a match can span, then fresh_ bytes not
  // yet looked through.
  bool streaming_ = false;
  Buffer chunk_;
  std::size_t fresh_ = 0;
  std::uint64_t line_start_ = 0;  // of the line not held
  std::uint64_t chunk_from_ = 0;  // where chunk_'s bytes lie in the note
  LineSpan found_in_;  // the bytes looked through when the match was found
  // The matching line when it was not held: its span, and whether a LF
  // ended it (a CR before that LF is then not part of the line).
  std::optional<LineSpan> long_line_;
  bool long_line_by_lf_ = false;
  Buffer read_back_;
  std::size_t line_from_ = 0;  // where the line begins in the bytes read back
  std::size_t line_size_ = 0;
  bool line_taken_ = false;  // take_line() has it
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
