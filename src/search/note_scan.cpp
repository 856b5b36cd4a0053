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

}  // namespace

void NoteScan::start() {
  phase_ = Phase::kSearching;
  lines_before_ = 0;
  if (line_.capacity() > kKeptLineBytes) {
    line_.clear();
    line_.shrink_to(0);
  }
  line_.clear();
  number_ = 0;
  text_.clear();
  held_size_ = 0;
}

std::expected<bool, std::string> NoteScan::take(std::string_view piece,
                                                PieceEnd end) {
  if (phase_ == Phase::kChecking) {
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
  if (phase_ != Phase::kSearching) {
    return false;
  }
  if (end == PieceEnd::kLast) {
    // The usual note: read whole in one piece, searched in one call.
    if (line_.size() == 0) {
      return finish(piece);
    }
    if (!hold(piece)) {
      return false;
    }
    return finish(line_.view());
  }
  if (line_.size() > 0) {
    const void* lf = std::memchr(piece.data(), '\n', piece.size());
    if (lf == nullptr) {
      return hold(piece);
    }
    const std::size_t line_end =
        static_cast<std::size_t>(static_cast<const char*>(lf) - piece.data()) +
        1;
    if (!hold(piece.substr(0, line_end))) {
      return false;
    }
    piece.remove_prefix(line_end);
    const auto passed = pass(line_.view(), piece);
    if (!passed || phase_ != Phase::kSearching) {
      return passed;
    }
    line_.clear();
  }
  // rfind, not memrchr: the same search without a GNU extension.
  const std::size_t last_lf = piece.rfind('\n');
  if (last_lf != std::string_view::npos) {
    const std::size_t lines_end = last_lf + 1;
    const auto passed =
        pass(piece.substr(0, lines_end), piece.substr(lines_end));
    if (!passed || phase_ != Phase::kSearching) {
      return passed;
    }
    piece.remove_prefix(lines_end);
  }
  return hold(piece);
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
  if (!line_.append(bytes)) {
    phase_ = Phase::kSkipped;
    return false;
  }
  return true;
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
