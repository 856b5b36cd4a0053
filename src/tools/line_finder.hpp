// line_finder.hpp: finds a note's first line whose Unicode lower-case form
// (full mappings, Final_Sigma within the line, root locale) holds the
// query's lower-case form as bytes. Lines end at LF; a CR before the LF
// is not part of the line. Nothing is lowered that need not be:
//   - a query whose lower-case form is ASCII is looked for in the raw
//     bytes, letter case ignored, from a rare pair of its bytes; only a
//     few bytes around a Kelvin sign or a capital I with dot above (the
//     only characters whose lower-case forms hold ASCII letters) are
//     mapped, when the query could take them in;
//   - any other query is looked for where a source of one chosen
//     character of the lowered query stands (a character whose lower-case
//     form holds it; the sources are derived from ICU), and ICU lowers a
//     line only when the text around that source is made of sources of
//     the query's other characters.
// Failure is a short message: ICU refusing to lower, or out of memory.
#pragma once

#include <unicode/umachine.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/buffer.hpp"

struct UCaseMap;

namespace vestigor_mcp {

// The scan's answer: candidate positions, a run of them at a time; bit i
// of `bits` stands for position at + i.
struct CandidateBlock {
  std::size_t at;
  std::uint64_t bits;
};

// A note's first matching line.
struct LineMatch {
  std::size_t number = 0;  // counted from 1
  std::string_view text;   // as written, without its LF and a CR before it
};

struct CaseMapDeleter {
  void operator()(UCaseMap* map) const;
};

// For tests: which lines a non-ASCII query sends to ICU, how long a piece
// of one line ICU is given at a time, and whether the scan may use the
// widest vectors the processor has or only 16-byte ones.
enum class Prefilter { kSources, kAnyNonAscii };
enum class Vectors { kWidest, kNarrow };
struct LineFinderOptions {
  Prefilter prefilter = Prefilter::kSources;
  std::size_t icu_piece_bytes = std::size_t{1} << 28;
  Vectors vectors = Vectors::kWidest;
};

class LineFinder {
 public:
  static std::expected<LineFinder, std::string> make(
      std::string_view query, const LineFinderOptions& options = {});

  // False when no line can hold the query (its lower-case form holds a LF).
  bool can_match() const { return mode_ != Mode::kNever; }

  // The first matching line of `content`, or none. When `content` is not
  // valid UTF-8 the answer is some line or none, never a failure.
  std::expected<std::optional<LineMatch>, std::string> first_match(
      std::string_view content);

  // (offset, or-mask, value): the byte at `offset` from a candidate
  // position, or-ed with the mask, equals the value.
  struct ByteTest {
    std::size_t offset = 0;
    unsigned char mask = 0;
    unsigned char value = 0;
  };
  // A position is a candidate when both tests of some probe hold there.
  struct Probe {
    ByteTest first;
    ByteTest second;
  };
  static constexpr std::size_t kMaxProbes = 4;
  static constexpr std::size_t kMaxReach = 31;  // the largest test offset

 private:
  enum class Mode { kNever, kAscii, kNonAscii };

  LineFinder() = default;
  std::expected<void, std::string> prepare_ascii();
  std::expected<void, std::string> prepare_non_ascii(Prefilter prefilter);
  bool add_probe(const Probe& probe);
  class Candidates;
  CandidateBlock scan(std::string_view text, std::size_t from) const;

  std::expected<std::optional<LineMatch>, std::string> ascii_match(
      std::string_view content);
  std::expected<std::optional<LineMatch>, std::string> non_ascii_match(
      std::string_view content);
  bool matches_ascii_at(std::string_view content, std::size_t at) const;
  bool special_at(std::string_view content, std::size_t at) const;
  bool could_match_near_special(std::string_view content, std::size_t at) const;
  std::expected<bool, std::string> matches_near_special(
      std::string_view content, std::size_t at);
  std::size_t source_at(std::string_view content, std::size_t at) const;
  bool aligns(std::string_view content, std::size_t at,
              std::size_t length) const;
  bool aligns_forward(std::string_view content, std::size_t at,
                      std::size_t index) const;
  bool aligns_backward(std::string_view content, std::size_t at,
                       std::size_t index) const;
  // Lowers `line` with ICU into scratch_.
  std::expected<std::string_view, std::string> lower_line(
      std::string_view line);

  Mode mode_ = Mode::kNever;
  std::string lowered_query_;
  std::unique_ptr<UCaseMap, CaseMapDeleter> case_map_;
  std::size_t icu_piece_bytes_ = 0;
  std::array<Probe, kMaxProbes> probes_{};
  std::size_t probe_count_ = 0;
  bool wide_ = false;  // scan 32 bytes at a time (AVX2)
  // ASCII queries: whether the Kelvin sign or the capital I with dot can
  // take part in a match.
  bool kelvin_ = false;
  bool dotted_i_ = false;
  // Other queries: the lowered query's characters, each with its sources;
  // where the chosen character stands in the query, and its sources as
  // UTF-8 (none when every non-ASCII character sends a line to ICU).
  struct QueryChar {
    UChar32 c;
    bool uncertain;  // a source may lower to more than c: not compared
    std::vector<UChar32> sources;
  };
  std::vector<QueryChar> query_chars_;
  std::vector<std::size_t> chosen_at_;
  std::vector<std::string> sources_;
  Buffer scratch_;  // a lowered or mapped line; never zeroed
};

// For each character in `targets` (ascending, no repeats), the characters
// whose full lower-case mapping, in any context, holds it: (target,
// source) pairs in ascending order. Derived from ICU's case data.
std::expected<std::vector<std::pair<UChar32, UChar32>>, std::string>
lower_case_sources(std::span<const UChar32> targets);

}  // namespace vestigor_mcp
