#include "search/note_scan.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

// A line held above this is given back after its note, so that one long
// line does not keep its memory for the rest of the search.
constexpr std::size_t kKeptLineBytes = std::size_t{1} << 20;

// Empties a buffer, giving its memory back when it holds more than a line
// that is usually met.
void empty(Buffer& buffer) {
  buffer.clear();
  if (buffer.capacity() > kKeptLineBytes) {
    buffer.shrink_to(0);
  }
}

// How many bytes the UTF-8 sequence that `lead` starts has; 1 for a byte
// that starts none (the check then finds it ill-formed).
std::size_t sequence_size(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) {
    return 2;
  }
  if (lead >= 0xE0 && lead <= 0xEF) {
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    return 4;
  }
  return 1;
}

// The last `keep` bytes of `bytes` or fewer, from the start of a character
// (the bytes are valid UTF-8, checked before).
std::string_view tail_of(std::string_view bytes, std::size_t keep) {
  std::size_t from = bytes.size() - std::min(keep, bytes.size());
  while (from < bytes.size() &&
         (static_cast<unsigned char>(bytes[from]) & 0xC0) == 0x80) {
    ++from;
  }
  return bytes.substr(from);
}

}  // namespace

void NoteScan::start() {
  phase_ = Phase::kSearching;
  lines_before_ = 0;
  empty(line_);
  streaming_ = false;
  empty(chunk_);
  fresh_ = 0;
  at_ = 0;
  long_line_.reset();
  line_taken_ = false;
  empty(read_back_);
  number_ = 0;
  text_.clear();
  held_size_ = 0;
}

std::expected<bool, std::string> NoteScan::take(std::string_view piece,
                                                PieceEnd end) {
  // Each round takes some of the piece, or turns to looking through a
  // line not held, or ends: twice as many rounds as the piece has bytes
  // are more than enough.
  const std::size_t rounds = 2 * (piece.size() + 2);
  for (std::size_t round = 0; round < rounds; ++round) {
    if (phase_ == Phase::kLineEnd) {
      advance(piece, to_line_end(piece, end));
      if (phase_ == Phase::kLineEnd) {
        return true;  // the line goes on in the next piece
      }
    }
    if (phase_ == Phase::kChecking) {
      return check_rest(piece, end);
    }
    if (phase_ != Phase::kSearching) {
      return false;
    }
    if (streaming_) {
      const auto used = stream(piece, end);
      if (!used) {
        return std::unexpected(used.error());
      }
      advance(piece, *used);
      if (phase_ != Phase::kSearching) {
        continue;
      }
      if (streaming_) {
        return true;  // the whole piece was the line's, more to come
      }
      if (piece.empty()) {
        if (end == PieceEnd::kLast) {
          phase_ = Phase::kSkipped;  // no line of the note matched
        }
        return end == PieceEnd::kMore;
      }
    }
    const std::size_t before = spilled_from_;
    const auto searched = search(piece, end);
    if (!searched || spilled_from_ == before) {
      at_ += piece.size();
      return searched;
    }
    advance(piece, spilled_from_);
    spilled_from_ = kNotSpilled;
  }
  return phase_ == Phase::kSearching || phase_ == Phase::kLineEnd;
}

// Moves past the first `bytes` of the piece.
void NoteScan::advance(std::string_view& piece, std::size_t bytes) {
  piece.remove_prefix(bytes);
  at_ += bytes;
}

// The note after its match: checked to its end. Whether more is wanted.
bool NoteScan::check_rest(std::string_view piece, PieceEnd end) {
  at_ += piece.size();
  if (!check(piece) || (end == PieceEnd::kLast && !check_end())) {
    phase_ = Phase::kSkipped;
    return false;
  }
  if (end == PieceEnd::kLast) {
    phase_ = Phase::kMatched;
    return false;
  }
  return true;
}

// The rest of a matching line that was not held, checked up to its LF:
// how many bytes of the piece were the line's.
std::size_t NoteScan::to_line_end(std::string_view piece, PieceEnd end) {
  const void* lf = std::memchr(piece.data(), '\n', piece.size());
  const std::size_t lf_at =
      lf == nullptr ? piece.size()
                    : static_cast<std::size_t>(static_cast<const char*>(lf) -
                                               piece.data());
  if (!check(piece.substr(0, lf_at))) {
    phase_ = Phase::kSkipped;
    return piece.size();
  }
  if (lf != nullptr) {
    line_ended(at_ + lf_at, true);
    return lf_at + 1;
  }
  if (end == PieceEnd::kLast) {
    if (!check_end()) {
      phase_ = Phase::kSkipped;
    } else {
      line_ended(at_ + lf_at, false);
    }
  }
  return piece.size();
}

// A matching line that was not held ends at `end` in the note, at a LF
// when `by_lf`: the rest of the note is checked next, or, at its end, it
// matched.
void NoteScan::line_ended(std::uint64_t end, bool by_lf) {
  // The LF before and the LF after, or the byte that must not follow.
  line_from_ = line_start_ > 0 ? 1 : 0;
  const std::uint64_t from = line_start_ - line_from_;
  long_line_ = LineSpan{from, static_cast<std::size_t>(end + 1 - from)};
  long_line_by_lf_ = by_lf;
  phase_ = by_lf ? Phase::kChecking : Phase::kMatched;
}

char* NoteScan::line_room() {
  if (!long_line_ || !read_back_.reserve(long_line_->size)) {
    return nullptr;
  }
  return read_back_.data();
}

bool NoteScan::take_line(std::size_t size) {
  phase_ = Phase::kSkipped;
  line_taken_ = false;
  if (!long_line_ || read_back_.capacity() < long_line_->size) {
    return false;
  }
  // A LF before the line, unless it is the note's first; a LF after it,
  // or, for the note's last line, nothing.
  const std::size_t lead = line_from_;
  read_back_.resize(size);
  const std::string_view bytes = read_back_.view();
  if (lead > 0 && !bytes.starts_with('\n')) {
    return false;
  }
  std::string_view line = bytes.substr(std::min(lead, bytes.size()));
  if (long_line_by_lf_) {
    if (size != long_line_->size || !line.ends_with('\n')) {
      return false;
    }
    line.remove_suffix(1);
    if (line.ends_with('\r')) {
      line.remove_suffix(1);  // not part of the line
    }
  } else if (size != long_line_->size - 1) {
    return false;
  }
  // Still one line, and still holding the query where it was found: the
  // bytes looked through when it was (a part of the line shows a match
  // exactly when the line has it there, spans_decide), so that the line
  // is not searched twice.
  const std::uint64_t line_at = long_line_->offset + lead;
  if (line.find('\n') != std::string_view::npos || !is_valid_utf8(line) ||
      found_in_.offset < line_at || found_in_.offset - line_at > line.size()) {
    return false;
  }
  const std::string_view found_in = line.substr(
      static_cast<std::size_t>(found_in_.offset - line_at), found_in_.size);
  const auto match = finder_->first_match(found_in);
  if (!match || !match->has_value()) {
    return false;
  }
  line_size_ = line.size();
  line_taken_ = true;
  phase_ = Phase::kMatched;
  return true;
}

// The usual search of a piece, the line that ran over from the last
// included. When a line cannot be held, sets spilled_from_ to where in the
// piece its bytes not held begin (after spill()).
std::expected<bool, std::string> NoteScan::search(std::string_view piece,
                                                  PieceEnd end) {
  if (end == PieceEnd::kLast) {
    // The usual note: read whole in one piece, searched in one call.
    if (line_.size() == 0) {
      return finish(piece);
    }
    if (!hold(piece)) {
      return spilled(0);
    }
    return finish(line_.view());
  }
  std::size_t from = 0;  // where in the piece the lines not passed begin
  if (line_.size() > 0) {
    const void* lf = std::memchr(piece.data(), '\n', piece.size());
    if (lf == nullptr) {
      return hold(piece) ? true : spilled(0);
    }
    const std::size_t line_end =
        static_cast<std::size_t>(static_cast<const char*>(lf) - piece.data()) +
        1;
    if (!hold(piece.substr(0, line_end))) {
      return spilled(0);
    }
    const auto passed = pass(line_.view(), piece.substr(line_end));
    if (!passed || phase_ != Phase::kSearching) {
      return passed;
    }
    line_.clear();
    from = line_end;
  }
  // rfind, not memrchr: the same search without a GNU extension.
  const std::size_t last_lf = piece.rfind('\n');
  if (last_lf != std::string_view::npos && last_lf >= from) {
    const std::size_t lines_end = last_lf + 1;
    const auto passed =
        pass(piece.substr(from, lines_end - from), piece.substr(lines_end));
    if (!passed || phase_ != Phase::kSearching) {
      return passed;
    }
    from = lines_end;
  }
  return hold(piece.substr(from)) ? true : spilled(from);
}

// A line could not be held, from `from` in the piece on: it is looked
// through as it comes, when the query allows, else the note is skipped.
std::expected<bool, std::string> NoteScan::spilled(std::size_t from) {
  if (!finder_->spans_decide()) {
    phase_ = Phase::kSkipped;
    return false;
  }
  // The line's start held so far: checked, looked through, and dropped.
  chunk_.clear();
  fresh_ = 0;
  line_start_ = at_ + from - line_.size();
  chunk_from_ = line_start_;
  if (!check(line_.view())) {
    phase_ = Phase::kSkipped;
    return false;
  }
  const auto found = look_through(line_.view(), false);
  line_.clear();
  line_.shrink_to(0);
  if (!found || phase_ == Phase::kSkipped) {
    return found;
  }
  // Looked through on, or (a match in it) checked to its end.
  streaming_ = phase_ == Phase::kSearching;
  spilled_from_ = from;
  return true;
}

// The bytes looked through at a time, with the end kept of those before:
// at least as many as are kept, so that each byte is looked at twice at
// most.
std::size_t NoteScan::segment_bytes() const {
  return std::max(kSegmentBytes, kept_bytes());
}

std::size_t NoteScan::kept_bytes() const { return finder_->match_reach() + 3; }

// The next bytes of a line not held, its LF last when `line_ends`: added
// to chunk_ and looked through a segment at a time. A match makes the line
// the note's matching line, to be followed to its end (kLineEnd); running
// out of memory skips the note. The answer is false but for a failure.
std::expected<bool, std::string> NoteScan::look_through(std::string_view bytes,
                                                        bool line_ends) {
  // Each round takes a segment's bytes, or is the last.
  const std::size_t rounds = bytes.size() / segment_bytes() + 2;
  for (std::size_t round = 0; round < rounds; ++round) {
    const std::string_view taken =
        bytes.substr(0, segment_bytes() - std::min(fresh_, segment_bytes()));
    if (!chunk_.append(taken)) {
      phase_ = Phase::kSkipped;
      return false;
    }
    fresh_ += taken.size();
    bytes.remove_prefix(taken.size());
    const bool last = bytes.empty();
    if (last && !line_ends && fresh_ < segment_bytes()) {
      return false;  // looked through with what comes next
    }
    // Before the line's end, a CR last could be the one that ends it,
    // which is not part of it: it is looked at with what follows it.
    std::string_view view = chunk_.view();
    if (!line_ends || !last) {
      if (view.ends_with('\r')) {
        view.remove_suffix(1);
      }
    }
    const auto match = finder_->first_match(view);
    if (!match) {
      return std::unexpected(match.error());
    }
    if (match->has_value()) {
      phase_ = Phase::kLineEnd;
      number_ = lines_before_ + 1;
      found_in_ = LineSpan{chunk_from_, view.size()};
      streaming_ = false;
      chunk_.clear();
      return false;
    }
    const std::string_view tail = tail_of(chunk_.view(), kept_bytes());
    chunk_from_ += chunk_.size() - tail.size();
    std::memmove(chunk_.data(), tail.data(), tail.size());
    chunk_.resize(tail.size());
    fresh_ = 0;
    if (last) {
      return false;
    }
  }
  return false;
}

// The next bytes of a line not held, up to its LF: checked and looked
// through. Says how many bytes of the piece were the line's.
std::expected<std::size_t, std::string> NoteScan::stream(std::string_view piece,
                                                         PieceEnd end) {
  const void* lf = std::memchr(piece.data(), '\n', piece.size());
  const std::size_t used =
      lf == nullptr ? piece.size()
                    : static_cast<std::size_t>(static_cast<const char*>(lf) -
                                               piece.data()) +
                          1;
  const std::string_view part = piece.substr(0, used);
  const bool line_ends = lf != nullptr || end == PieceEnd::kLast;
  if (!check(part) ||
      (lf == nullptr && end == PieceEnd::kLast && !check_end())) {
    phase_ = Phase::kSkipped;
    return used;
  }
  const auto found = look_through(part, line_ends);
  if (!found) {
    return std::unexpected(found.error());
  }
  if (phase_ == Phase::kLineEnd) {
    if (lf != nullptr) {
      line_ended(at_ + used - 1, true);
    } else if (end == PieceEnd::kLast) {
      line_ended(at_ + used, false);
    }
    return used;
  }
  if (phase_ != Phase::kSearching) {
    return used;
  }
  if (lf != nullptr) {
    streaming_ = false;
    chunk_.clear();
    ++lines_before_;
  } else if (end == PieceEnd::kLast) {
    phase_ = Phase::kSkipped;  // the note ends with no match
  }
  return used;
}

// The note's last lines, after which nothing follows.
std::expected<bool, std::string> NoteScan::finish(std::string_view region) {
  const auto match = finder_->first_match(region);
  if (!match) {
    return std::unexpected(match.error());
  }
  const std::optional<LineMatch> found = *match;
  if (found.has_value() && is_valid_utf8(region)) {
    number_ = lines_before_ + found->number;
    text_.assign(found->text);
    phase_ = Phase::kMatched;
  } else {
    phase_ = Phase::kSkipped;
  }
  return false;
}

// Whole lines that more of the note follows: `after` is the rest of the
// piece they came in.
std::expected<bool, std::string> NoteScan::pass(std::string_view region,
                                                std::string_view after) {
  const auto match = finder_->first_match(region);
  if (!match) {
    return std::unexpected(match.error());
  }
  // These lines are about to be dropped: a note that is not valid UTF-8
  // cannot be reported, so it need not be read further.
  if (!is_valid_utf8(region)) {
    phase_ = Phase::kSkipped;
    return false;
  }
  const std::optional<LineMatch> found = *match;
  if (!found.has_value()) {
    lines_before_ += static_cast<std::size_t>(
        std::count(region.begin(), region.end(), '\n'));
    return true;
  }
  number_ = lines_before_ + found->number;
  text_.assign(found->text);
  phase_ = Phase::kChecking;
  held_size_ = 0;
  if (!check(after)) {
    phase_ = Phase::kSkipped;
    return false;
  }
  return true;
}

// Keeps `bytes` as part of the line running over the piece's end.
bool NoteScan::hold(std::string_view bytes) {
  return bytes.size() <= line_limit_ - std::min(line_limit_, line_.size()) &&
         line_.append(bytes);
}

// Checks the next bytes of the note, keeping a sequence that the end of
// `bytes` cuts short for the next call.
bool NoteScan::check(std::string_view bytes) {
  if (held_size_ > 0) {
    const std::size_t wanted = sequence_size(held_[0]) - held_size_;
    const std::size_t taken = std::min(wanted, bytes.size());
    std::memcpy(held_ + held_size_, bytes.data(), taken);
    held_size_ += taken;
    bytes.remove_prefix(taken);
    if (taken < wanted) {
      return true;
    }
    if (!is_valid_utf8({reinterpret_cast<const char*>(held_), held_size_})) {
      return false;
    }
    held_size_ = 0;
  }
  // A lead byte among the last three whose sequence runs past the end.
  const std::size_t back = std::min<std::size_t>(3, bytes.size());
  for (std::size_t k = 1; k <= back; ++k) {
    const auto byte = static_cast<unsigned char>(bytes[bytes.size() - k]);
    if ((byte & 0xC0) == 0x80) {
      continue;
    }
    if (sequence_size(byte) > k) {
      std::memcpy(held_, bytes.data() + bytes.size() - k, k);
      held_size_ = k;
      bytes.remove_suffix(k);
    }
    break;
  }
  return is_valid_utf8(bytes);
}

bool NoteScan::check_end() { return held_size_ == 0; }

}  // namespace vestigor_mcp
