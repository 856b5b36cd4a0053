#include "tools/line_finder.hpp"

#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/uset.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// GCC compiles the wide scan for AVX2 alone and picks it at run time.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#define VESTIGOR_SCAN_AVX2 1
#else
#define VESTIGOR_SCAN_AVX2 0
#endif

#include "util/fd_io.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

constexpr std::size_t kNone = std::string_view::npos;
constexpr UChar32 kCapitalSigma = 0x03A3;
// ICU takes lengths as int32_t and a lowered text may be three times as
// long as the original: pieces of lines stay well below that.
constexpr std::size_t kIcuPieceLimit = std::size_t{1} << 28;

std::string icu_failure(UErrorCode error) {
  std::string name = u_errorName(error);
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c + ('a' - 'A'));
    }
  }
  return "case mapping failed: " + name;
}

std::string out_of_memory() { return os_error_text(ENOMEM); }

char lower_ascii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

void append_utf8(std::string& out, UChar32 c) {
  std::uint8_t bytes[U8_MAX_LENGTH];
  std::int32_t n = 0;
  U8_APPEND_UNSAFE(bytes, n, static_cast<std::uint32_t>(c));
  out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(n));
}

// ---- Lowering by ICU ----

// Lowers `text` with `map`, appending to `out`; ICU's error otherwise.
// `text` must be shorter than kIcuPieceLimit.
std::expected<void, std::string> icu_lower_into(UCaseMap* map,
                                                std::string_view text,
                                                Buffer& out) {
  if (text.empty()) {
    return {};
  }
  if (!out.reserve(out.size() + text.size() + 16)) {
    return std::unexpected(out_of_memory());
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode error = U_ZERO_ERROR;
    const std::size_t room =
        std::min<std::size_t>(out.capacity() - out.size(), INT32_MAX);
    const std::int32_t n = ::ucasemap_utf8ToLower(
        map, out.data() + out.size(), static_cast<std::int32_t>(room),
        text.data(), static_cast<std::int32_t>(text.size()), &error);
    if (error == U_BUFFER_OVERFLOW_ERROR && n > 0) {
      if (!out.reserve(out.size() + static_cast<std::size_t>(n))) {
        return std::unexpected(out_of_memory());
      }
      continue;
    }
    if (U_FAILURE(error) || n < 0) {
      return std::unexpected(icu_failure(error));
    }
    out.resize(out.size() + static_cast<std::size_t>(n));
    return {};
  }
  return std::unexpected(icu_failure(U_BUFFER_OVERFLOW_ERROR));
}

using CaseMap = std::unique_ptr<UCaseMap, CaseMapDeleter>;

std::expected<CaseMap, std::string> open_case_map() {
  UErrorCode error = U_ZERO_ERROR;
  CaseMap map(::ucasemap_open("", 0, &error));  // "": the root locale
  if (U_FAILURE(error) || map == nullptr) {
    return std::unexpected(
        icu_failure(U_FAILURE(error) ? error : U_MEMORY_ALLOCATION_ERROR));
  }
  return map;
}

// A split of a long line is safe where neither neighbouring character is
// case-ignorable or the capital sigma: no Final_Sigma context reaches
// across it, so the two parts lower as the whole would. The end of the
// first part, at most `limit`; 0 when there is no such place.
std::size_t safe_split(std::string_view text, std::size_t limit) {
  // limit < kIcuPieceLimit < text.size(): what is looked at fits int32_t.
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto size =
      static_cast<std::int32_t>(std::min(text.size(), limit + U8_MAX_LENGTH));
  for (auto at = static_cast<std::int32_t>(limit); at > 0; --at) {
    if (U8_IS_TRAIL(s[at])) {
      continue;
    }
    std::int32_t before_at = at;
    UChar32 before = 0;
    U8_PREV(s, 0, before_at, before);
    std::int32_t after_at = at;
    UChar32 after = 0;
    U8_NEXT(s, after_at, size, after);
    const auto neutral = [](UChar32 c) {
      return c >= 0 && c != kCapitalSigma &&
             !u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE);
    };
    if (neutral(before) && neutral(after)) {
      return static_cast<std::size_t>(at);
    }
  }
  return 0;
}

// A character whose full lower-case mapping holds `target`; `single` when
// the mapping is that character alone.
struct Source {
  UChar32 target;
  UChar32 source;
  bool single;
};

std::expected<std::vector<Source>, std::string> sources_with(
    UCaseMap* map, std::span<const UChar32> targets) {
  // Only a character that changes when lowered can produce another; each
  // is lowered alone and after a cased letter (so that the capital sigma
  // shows its final form too). Line feeds between them end every context.
  UErrorCode error = U_ZERO_ERROR;
  const USet* changing =
      ::u_getBinaryPropertySet(UCHAR_CHANGES_WHEN_LOWERCASED, &error);
  if (U_FAILURE(error)) {
    return std::unexpected(icu_failure(error));
  }
  std::vector<UChar32> changers;
  std::string alone;
  std::string after_letter;
  const std::int32_t ranges = ::uset_getItemCount(changing);
  for (std::int32_t i = 0; i < ranges; ++i) {
    UChar32 first = 0;
    UChar32 last = 0;
    if (::uset_getItem(changing, i, &first, &last, nullptr, 0, &error) != 0 ||
        U_FAILURE(error)) {
      continue;  // a string, not a range of characters
    }
    for (UChar32 c = first; c <= last; ++c) {
      changers.push_back(c);
      append_utf8(alone, c);
      alone += '\n';
      after_letter += 'a';
      append_utf8(after_letter, c);
      after_letter += '\n';
    }
  }
  Buffer lowered_alone;
  Buffer lowered_after;
  if (const auto done = icu_lower_into(map, alone, lowered_alone); !done) {
    return std::unexpected(done.error());
  }
  if (const auto done = icu_lower_into(map, after_letter, lowered_after);
      !done) {
    return std::unexpected(done.error());
  }
  std::vector<Source> found;
  std::vector<UChar32> form_chars;
  const auto collect = [&](std::string_view forms, std::size_t skip) {
    std::size_t start = 0;
    for (const UChar32 source : changers) {
      const std::size_t end = std::min(forms.find('\n', start), forms.size());
      const std::string_view form =
          forms.substr(start + skip, end - start - skip);
      start = end + 1;
      form_chars.clear();
      const auto* s = reinterpret_cast<const std::uint8_t*>(form.data());
      const auto n = static_cast<std::int64_t>(form.size());
      for (std::int64_t i = 0; i < n;) {
        UChar32 c = 0;
        U8_NEXT(s, i, n, c);
        form_chars.push_back(c);
      }
      for (const UChar32 c : form_chars) {
        if (std::binary_search(targets.begin(), targets.end(), c)) {
          found.push_back({c, source, form_chars.size() == 1});
        }
      }
    }
  };
  collect(lowered_alone.view(), 0);
  collect(lowered_after.view(), 1);  // past the "a"
  for (const UChar32 target : targets) {
    if (!::uset_contains(changing, target)) {
      found.push_back({target, target, true});  // it lowers to itself
    }
  }
  const auto key = [](const Source& x) {
    return std::pair(x.target, x.source);
  };
  std::sort(found.begin(), found.end(),
            [&](const Source& x, const Source& y) { return key(x) < key(y); });
  // One entry per pair; single only when single in every context.
  std::vector<Source> merged;
  for (const Source& x : found) {
    if (!merged.empty() && key(merged.back()) == key(x)) {
      merged.back().single = merged.back().single && x.single;
    } else {
      merged.push_back(x);
    }
  }
  return merged;
}

// ---- The candidate scan ----

// How common a byte is in notes, roughly (English text, Markdown): only
// steers which bytes of an ASCII query the scan looks for.
int commonness(unsigned char c) {
  constexpr std::string_view kByFrequency = "etaoinsrhldcumfpgwybvkxjqz";
  const char lower = lower_ascii(static_cast<char>(c));
  if (const std::size_t rank = kByFrequency.find(lower); rank != kNone) {
    return 100 - 3 * static_cast<int>(rank);
  }
  if (c == ' ') {
    return 120;
  }
  if (c == '\r' || c == '\t') {
    return 40;
  }
  if (c >= '0' && c <= '9') {
    return 30;
  }
  return c >= 0x20 ? 50 : 5;
}

LineFinder::ByteTest exact(std::size_t offset, char byte) {
  return {offset, 0, static_cast<unsigned char>(byte)};
}

// An ASCII letter in either case: or-ing 0x20 maps both to the lower one,
// and no other byte.
LineFinder::ByteTest folded(std::size_t offset, char byte) {
  if (byte >= 'a' && byte <= 'z') {
    return {offset, 0x20, static_cast<unsigned char>(byte)};
  }
  return exact(offset, byte);
}

// The scan, 16 positions at a time: SSE2 on x86-64, whatever the compiler
// makes of the vector operations elsewhere.
namespace narrow {

using Vector = unsigned char __attribute__((vector_size(16)));
constexpr std::size_t kWidth = 16;

// A bit for each byte of `hits` that is not zero.
std::uint64_t hit_bits(Vector hits) {
#if defined(__SSE2__)
  return static_cast<std::uint32_t>(
      _mm_movemask_epi8(reinterpret_cast<__m128i>(hits)));
#else
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < kWidth; ++i) {
    bits |= static_cast<std::uint64_t>(hits[i] != 0) << i;
  }
  return bits;
#endif
}

#include "tools/line_finder_scan.inc"

}  // namespace narrow

#if VESTIGOR_SCAN_AVX2
// The same 32 positions at a time, on processors that have AVX2.
#pragma GCC push_options
#pragma GCC target("avx2")
namespace wide {

using Vector = unsigned char __attribute__((vector_size(32)));
constexpr std::size_t kWidth = 32;

std::uint64_t hit_bits(Vector hits) {
  return static_cast<std::uint32_t>(
      _mm256_movemask_epi8(reinterpret_cast<__m256i>(hits)));
}

#include "tools/line_finder_scan.inc"

}  // namespace wide
#pragma GCC pop_options
#endif

bool has_avx2() {
#if VESTIGOR_SCAN_AVX2
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

// ---- Lines ----

struct Line {
  std::size_t begin;
  std::size_t end;  // at its LF, or the end of the text
  std::string_view text;
};

// Where the line holding `at` begins, looking back no further than
// `floor`.
std::size_t line_begin(std::string_view content, std::size_t at,
                       std::size_t floor) {
  while (at > floor && content[at - 1] != '\n') {
    --at;
  }
  return at;
}

Line line_around(std::string_view content, std::size_t at) {
  const std::size_t begin = line_begin(content, at, 0);
  const std::size_t end = std::min(content.find('\n', at), content.size());
  std::string_view text = content.substr(begin, end - begin);
  if (end < content.size() && text.ends_with('\r')) {
    text.remove_suffix(1);
  }
  return {begin, end, text};
}

std::size_t line_number(std::string_view content, std::size_t begin) {
  return static_cast<std::size_t>(std::count(
             content.begin(),
             content.begin() + static_cast<std::ptrdiff_t>(begin), '\n')) +
         1;
}

// For an ASCII query only: `line` rewritten so that the query occurs in it
// exactly when it occurs in the line's lower-case form. ASCII is lowered;
// the Kelvin sign becomes "k" and the capital I with dot "i" followed by a
// byte of 0x80, as their lower-case forms begin with those letters; every
// other character stays as it is, since its lower-case form, like itself,
// is a run of bytes of 0x80 or above, which an ASCII query cannot enter.
// Never longer than the line.
std::size_t map_for_ascii_query(std::string_view line, char* out) {
  std::size_t n = 0;
  std::size_t i = 0;
  while (i < line.size()) {
    if (line.substr(i, 3) == "\xE2\x84\xAA") {
      out[n++] = 'k';
      i += 3;
    } else if (line.substr(i, 2) == "\xC4\xB0") {
      out[n++] = 'i';
      out[n++] = '\x80';
      i += 2;
    } else {
      out[n++] = lower_ascii(line[i++]);
    }
  }
  return n;
}

}  // namespace

void CaseMapDeleter::operator()(UCaseMap* map) const { ::ucasemap_close(map); }

// ---- LineFinder ----

std::expected<LineFinder, std::string> LineFinder::make(
    std::string_view query, const LineFinderOptions& options) {
  LineFinder finder;
  finder.wide_ = options.vectors == Vectors::kWidest && has_avx2();
  finder.icu_piece_bytes_ =
      std::clamp<std::size_t>(options.icu_piece_bytes, 1, kIcuPieceLimit);
  if (is_ascii(query)) {
    // ASCII lowers by the table (a premise the tests check against ICU).
    finder.lowered_query_.resize(query.size());
    std::transform(query.begin(), query.end(), finder.lowered_query_.begin(),
                   lower_ascii);
  } else {
    auto map = open_case_map();
    if (!map) {
      return std::unexpected(map.error());
    }
    finder.case_map_ = std::move(*map);
    if (query.size() >= kIcuPieceLimit) {
      return std::unexpected(icu_failure(U_INDEX_OUTOFBOUNDS_ERROR));
    }
    Buffer lowered;
    if (const auto done =
            icu_lower_into(finder.case_map_.get(), query, lowered);
        !done) {
      return std::unexpected(done.error());
    }
    finder.lowered_query_.assign(lowered.view());
  }
  // Lines hold no LF, and lowering makes none.
  if (finder.lowered_query_.find('\n') != std::string::npos) {
    finder.mode_ = Mode::kNever;
    return finder;
  }
  const auto prepared = is_ascii(finder.lowered_query_)
                            ? finder.prepare_ascii()
                            : finder.prepare_non_ascii(options.prefilter);
  if (!prepared) {
    return std::unexpected(prepared.error());
  }
  return finder;
}

bool LineFinder::add_probe(const Probe& probe) {
  if (probe_count_ == kMaxProbes) {
    return false;
  }
  probes_[probe_count_++] = probe;
  return true;
}

std::expected<void, std::string> LineFinder::prepare_ascii() {
  mode_ = Mode::kAscii;
  const std::string_view q = lowered_query_;
  if (q.empty()) {
    return {};
  }
  // The two rarest bytes of the query's start, at their distance: few
  // positions hold both unless the query is there.
  const std::size_t span = std::min(q.size(), kMaxReach + 1);
  std::size_t rarest = 0;
  for (std::size_t i = 1; i < span; ++i) {
    if (commonness(static_cast<unsigned char>(q[i])) <
        commonness(static_cast<unsigned char>(q[rarest]))) {
      rarest = i;
    }
  }
  std::size_t second = rarest;
  for (std::size_t i = 0; i < span; ++i) {
    if (i != rarest &&
        (second == rarest ||
         commonness(static_cast<unsigned char>(q[i])) <
             commonness(static_cast<unsigned char>(q[second])))) {
      second = i;
    }
  }
  add_probe({folded(rarest, q[rarest]), folded(second, q[second])});
  // The Kelvin sign lowers to "k"; the capital I with dot to "i" and a
  // combining dot, which an ASCII query cannot hold, so it matters only as
  // the query's last letter.
  kelvin_ = q.find('k') != std::string_view::npos;
  dotted_i_ = q.back() == 'i';
  if (dotted_i_) {
    add_probe({exact(0, '\xC4'), exact(1, '\xB0')});
  }
  if (kelvin_) {
    // The Kelvin sign's last byte alone, 0xAA, which is rare: candidates
    // that are not the whole sign cost a quick look each, and one test
    // costs less than two on every byte.
    add_probe({exact(2, '\xAA'), exact(2, '\xAA')});
  }
  return {};
}

std::expected<void, std::string> LineFinder::prepare_non_ascii(
    Prefilter prefilter) {
  mode_ = Mode::kNonAscii;
  const auto* s = reinterpret_cast<const std::uint8_t*>(lowered_query_.data());
  const auto n = static_cast<std::int64_t>(lowered_query_.size());
  for (std::int64_t i = 0; i < n;) {
    UChar32 c = 0;
    U8_NEXT(s, i, n, c);
    query_chars_.push_back({c, false, {}});
  }
  std::vector<UChar32> targets;
  targets.reserve(query_chars_.size());
  for (const QueryChar& q : query_chars_) {
    targets.push_back(q.c);
  }
  std::sort(targets.begin(), targets.end());
  targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
  const auto sources = sources_with(case_map_.get(), targets);
  if (!sources) {
    return std::unexpected(sources.error());
  }
  for (QueryChar& q : query_chars_) {
    // A CR could be the one that ends a line, which is not part of it.
    q.uncertain = q.c == '\r';
    for (const Source& x : *sources) {
      if (x.target == q.c) {
        q.uncertain = q.uncertain || !x.single;
        q.sources.push_back(x.source);
      }
    }
  }
  if (prefilter == Prefilter::kSources) {
    // The non-ASCII character with the fewest sources, the first on a
    // tie, as long as one probe per source fits.
    std::size_t fewest = kMaxProbes + 1;
    UChar32 chosen = -1;
    for (const QueryChar& q : query_chars_) {
      if (q.c >= 0x80 && q.sources.size() < fewest) {
        fewest = q.sources.size();
        chosen = q.c;
      }
    }
    for (const Source& x : *sources) {
      if (x.target == chosen) {
        std::string bytes;
        append_utf8(bytes, x.source);
        add_probe(
            {exact(0, bytes.front()), exact(bytes.size() - 1, bytes.back())});
        sources_.push_back(std::move(bytes));
      }
    }
    for (std::size_t j = 0; j < query_chars_.size() && !sources_.empty(); ++j) {
      if (query_chars_[j].c == chosen) {
        chosen_at_.push_back(j);
      }
    }
  }
  if (sources_.empty()) {
    // No character qualified (or none was asked for): every line holding
    // a non-ASCII character goes to ICU. Lead bytes are 0xC0 and above.
    add_probe({{0, 0x3F, 0xFF}, {0, 0x3F, 0xFF}});
  }
  return {};
}

// The candidates in a text, in order, from the scan.
class LineFinder::Candidates {
 public:
  Candidates(const LineFinder& finder, std::string_view text)
      : finder_(finder), text_(text) {}

  // The next candidate position; kNone when there is none.
  std::size_t next() {
    if (block_.bits == 0) {
      if (from_ >= text_.size()) {
        return kNone;
      }
      block_ = finder_.scan(text_, from_);
      if (block_.bits == 0) {
        from_ = text_.size();
        return kNone;
      }
    }
    const std::size_t at =
        block_.at + static_cast<std::size_t>(std::countr_zero(block_.bits));
    block_.bits &= block_.bits - 1;
    from_ = at + 1;
    return at;
  }

  // Passes over every candidate before `position`.
  void skip_to(std::size_t position) {
    from_ = std::max(from_, position);
    const std::size_t past = from_ - block_.at;
    block_.bits = past >= 64 ? 0 : block_.bits & (~std::uint64_t{0} << past);
  }

 private:
  const LineFinder& finder_;
  std::string_view text_;
  std::size_t from_ = 0;
  CandidateBlock block_{0, 0};
};

CandidateBlock LineFinder::scan(std::string_view text, std::size_t from) const {
#if VESTIGOR_SCAN_AVX2
  if (wide_) {
    return wide::scan_any(probes_.data(), probe_count_, text, from);
  }
#endif
  return narrow::scan_any(probes_.data(), probe_count_, text, from);
}

std::expected<std::optional<LineMatch>, std::string> LineFinder::first_match(
    std::string_view content) {
  switch (mode_) {
    case Mode::kNever:
      return std::nullopt;
    case Mode::kAscii:
      return ascii_match(content);
    case Mode::kNonAscii:
      return non_ascii_match(content);
  }
  return std::nullopt;
}

bool LineFinder::matches_ascii_at(std::string_view content,
                                  std::size_t at) const {
  const std::string_view q = lowered_query_;
  if (content.size() - at < q.size()) {
    return false;
  }
  for (std::size_t i = 0; i < q.size(); ++i) {
    if (lower_ascii(content[at + i]) != q[i]) {
      return false;
    }
  }
  // A CR right before a LF ends the line and is not part of it.
  const std::size_t end = at + q.size();
  return !(q.back() == '\r' && end < content.size() && content[end] == '\n');
}

bool LineFinder::special_at(std::string_view content, std::size_t at) const {
  const std::string_view rest = content.substr(at);
  return (kelvin_ && rest.starts_with("\xE2\x84\xAA")) ||
         (dotted_i_ && rest.starts_with("\xC4\xB0"));
}

// Whether the ASCII bytes around the Kelvin sign or dotted I at `at`
// agree with the query, the letter it lowers to taken at each place where
// the query has it: a quick test before the exact one. A non-ASCII byte
// on the way could be another such character, so it ends the comparison.
bool LineFinder::could_match_near_special(std::string_view content,
                                          std::size_t at) const {
  const std::string_view q = lowered_query_;
  const bool kelvin = content[at] == '\xE2';
  const std::size_t width = kelvin ? 3 : 2;
  // The dotted I lowers to "i" and a combining dot: only a query ending in
  // "i" can take it in.
  const std::size_t first = kelvin ? 0 : q.size() - 1;
  for (std::size_t j = q.find(kelvin ? 'k' : 'i', first); j != kNone;
       j = q.find(kelvin ? 'k' : 'i', j + 1)) {
    bool agrees = true;
    std::size_t r = at + width;
    for (std::size_t m = j + 1; agrees && m < q.size(); ++m, ++r) {
      if (r == content.size()) {
        agrees = false;  // the text ends before the query does
      } else if (static_cast<unsigned char>(content[r]) >= 0x80) {
        break;
      } else {
        agrees = lower_ascii(content[r]) == q[m];
      }
    }
    r = at;
    for (std::size_t m = j; agrees && m-- > 0;) {
      if (r == 0) {
        agrees = false;
      } else if (static_cast<unsigned char>(content[r - 1]) >= 0x80) {
        break;
      } else {
        agrees = lower_ascii(content[--r]) == q[m];
      }
    }
    if (agrees) {
      return true;
    }
  }
  return false;
}

std::expected<bool, std::string> LineFinder::matches_near_special(
    std::string_view content, std::size_t at) {
  if (!could_match_near_special(content, at)) {
    return false;
  }
  // A match that takes in the character at `at` lies within as many
  // characters either side as the query has, each at most three bytes
  // long; and within the line, whose closing CR is left out.
  const std::size_t reach = 3 * lowered_query_.size();
  std::size_t begin = at > reach ? at - reach : 0;
  std::size_t end = std::min(content.size(), at + reach + 1);
  begin = line_begin(content, at, begin);
  const std::size_t lf = content.find('\n', at);
  if (lf <= end) {
    end = lf > begin && content[lf - 1] == '\r' ? lf - 1 : lf;
  }
  const std::string_view window = content.substr(begin, end - begin);
  if (!scratch_.reserve(window.size())) {
    return std::unexpected(out_of_memory());
  }
  const std::size_t size = map_for_ascii_query(window, scratch_.data());
  return std::string_view(scratch_.data(), size).find(lowered_query_) !=
         std::string_view::npos;
}

std::expected<std::optional<LineMatch>, std::string> LineFinder::ascii_match(
    std::string_view content) {
  if (lowered_query_.empty()) {
    if (content.empty()) {
      return std::nullopt;
    }
    return LineMatch{1, line_around(content, 0).text};
  }
  // Every match either lies in ASCII bytes, and is found at a candidate
  // from the query's bytes, or takes in a Kelvin sign or dotted I, and is
  // found near it. Candidates come in order, so the first match found is
  // in the first matching line.
  Candidates candidates(*this, content);
  for (;;) {
    const std::size_t at = candidates.next();
    if (at == kNone) {
      return std::nullopt;
    }
    bool found = false;
    if (special_at(content, at)) {
      const auto near = matches_near_special(content, at);
      if (!near) {
        return std::unexpected(near.error());
      }
      found = *near;
    } else {
      found = matches_ascii_at(content, at);
    }
    if (found) {
      const Line line = line_around(content, at);
      return LineMatch{line_number(content, line.begin), line.text};
    }
  }
}

std::size_t LineFinder::source_at(std::string_view content,
                                  std::size_t at) const {
  // Sources are one to four bytes long; a plain loop beats calling memcmp.
  const std::size_t room = content.size() - at;
  for (const std::string& source : sources_) {
    std::size_t i = 0;
    while (i < source.size() && i < room && content[at + i] == source[i]) {
      ++i;
    }
    if (i == source.size()) {
      return i;
    }
  }
  return 0;
}

// From character `index` of the query on, and from `at` in the text: each
// character of the query must be met by one of its sources, one text
// character each, up to the end or to a character that is not compared
// (a source of it may lower to more than it). ASCII lowers to ASCII only.
bool LineFinder::aligns_forward(std::string_view content, std::size_t at,
                                std::size_t index) const {
  const auto* s = reinterpret_cast<const std::uint8_t*>(content.data());
  const auto size = static_cast<std::int64_t>(content.size());
  auto i = static_cast<std::int64_t>(at);
  for (std::size_t m = index; m < query_chars_.size(); ++m) {
    const QueryChar& q = query_chars_[m];
    if (q.uncertain) {
      return true;
    }
    if (i >= size) {
      return false;
    }
    if (s[i] < 0x80) {
      if (lower_ascii(static_cast<char>(s[i])) != q.c) {
        return false;
      }
      ++i;
      continue;
    }
    UChar32 c = 0;
    U8_NEXT(s, i, size, c);
    if (c < 0) {
      return true;  // not UTF-8: ICU may judge, the note is never shown
    }
    if (std::find(q.sources.begin(), q.sources.end(), c) == q.sources.end()) {
      return false;
    }
  }
  return true;
}

// The same backwards, from the character before `index` and the text
// before `at`.
bool LineFinder::aligns_backward(std::string_view content, std::size_t at,
                                 std::size_t index) const {
  const auto* s = reinterpret_cast<const std::uint8_t*>(content.data());
  std::size_t i = at;
  for (std::size_t m = index; m-- > 0;) {
    const QueryChar& q = query_chars_[m];
    if (q.uncertain) {
      return true;
    }
    if (i == 0) {
      return false;
    }
    if (s[i - 1] < 0x80) {
      if (lower_ascii(static_cast<char>(s[--i])) != q.c) {
        return false;
      }
      continue;
    }
    // U8_PREV counts in int32_t: step back within the last few bytes.
    const std::size_t base = i > U8_MAX_LENGTH ? i - U8_MAX_LENGTH : 0;
    auto back = static_cast<std::int32_t>(i - base);
    UChar32 c = 0;
    U8_PREV(s + base, 0, back, c);
    i = base + static_cast<std::size_t>(back);
    if (c < 0) {
      return true;
    }
    if (std::find(q.sources.begin(), q.sources.end(), c) == q.sources.end()) {
      return false;
    }
  }
  return true;
}

bool LineFinder::aligns(std::string_view content, std::size_t at,
                        std::size_t length) const {
  // The source at `at` lowers to the chosen character alone (or that
  // character is not compared): the query's other characters are compared
  // from either side of it, for each place the chosen character has.
  for (const std::size_t j : chosen_at_) {
    if (query_chars_[j].uncertain ||
        (aligns_forward(content, at + length, j + 1) &&
         aligns_backward(content, at, j))) {
      return true;
    }
  }
  return false;
}

std::expected<std::optional<LineMatch>, std::string>
LineFinder::non_ascii_match(std::string_view content) {
  Candidates candidates(*this, content);
  for (;;) {
    const std::size_t at = candidates.next();
    if (at == kNone) {
      return std::nullopt;
    }
    // A source of the chosen character, with the query's other characters
    // met by their sources around it: only then is the line lowered.
    if (!sources_.empty()) {
      const std::size_t length = source_at(content, at);
      if (length == 0 || !aligns(content, at, length)) {
        continue;
      }
    }
    const Line line = line_around(content, at);
    const auto lowered = lower_line(line.text);
    if (!lowered) {
      // ICU refuses only what is not UTF-8 (such a note is never
      // reported) or when out of memory.
      if (!is_valid_utf8(content)) {
        return std::nullopt;
      }
      return std::unexpected(lowered.error());
    }
    if (lowered->find(lowered_query_) != std::string_view::npos) {
      return LineMatch{line_number(content, line.begin), line.text};
    }
    candidates.skip_to(line.end + 1);
  }
}

std::expected<std::string_view, std::string> LineFinder::lower_line(
    std::string_view line) {
  scratch_.clear();
  while (!line.empty()) {
    std::size_t piece = line.size();
    if (piece > icu_piece_bytes_) {
      piece = safe_split(line, icu_piece_bytes_);
      if (piece == 0) {
        // No safe place to split: the whole rest, if ICU can take it.
        if (line.size() >= kIcuPieceLimit) {
          return std::unexpected(icu_failure(U_INDEX_OUTOFBOUNDS_ERROR));
        }
        piece = line.size();
      }
    }
    if (const auto done =
            icu_lower_into(case_map_.get(), line.substr(0, piece), scratch_);
        !done) {
      return std::unexpected(done.error());
    }
    line.remove_prefix(piece);
  }
  return scratch_.view();
}

std::expected<std::vector<std::pair<UChar32, UChar32>>, std::string>
lower_case_sources(std::span<const UChar32> targets) {
  auto map = open_case_map();
  if (!map) {
    return std::unexpected(map.error());
  }
  const auto sources = sources_with(map->get(), targets);
  if (!sources) {
    return std::unexpected(sources.error());
  }
  std::vector<std::pair<UChar32, UChar32>> pairs;
  pairs.reserve(sources->size());
  for (const Source& x : *sources) {
    pairs.emplace_back(x.target, x.source);
  }
  return pairs;
}

}  // namespace vestigor_mcp
