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

std::expected<std::vector<std::pair<UChar32, UChar32>>, std::string>
sources_with(UCaseMap* map, std::span<const UChar32> targets) {
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
  std::vector<std::pair<UChar32, UChar32>> pairs;
  const auto collect = [&](std::string_view forms, std::size_t skip) {
    std::size_t start = 0;
    for (const UChar32 source : changers) {
      const std::size_t end = std::min(forms.find('\n', start), forms.size());
      const std::string_view form =
          forms.substr(start + skip, end - start - skip);
      start = end + 1;
      const auto* s = reinterpret_cast<const std::uint8_t*>(form.data());
      const auto n = static_cast<std::int64_t>(form.size());
      for (std::int64_t i = 0; i < n;) {
        UChar32 c = 0;
        U8_NEXT(s, i, n, c);
        if (std::binary_search(targets.begin(), targets.end(), c)) {
          pairs.emplace_back(c, source);
        }
      }
    }
  };
  collect(lowered_alone.view(), 0);
  collect(lowered_after.view(), 1);  // past the "a"
  for (const UChar32 target : targets) {
    if (!::uset_contains(changing, target)) {
      pairs.emplace_back(target, target);  // it lowers to itself
    }
  }
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  return pairs;
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

bool holds(const LineFinder::ByteTest& test, const char* data, std::size_t size,
           std::size_t at) {
  return at + test.offset < size &&
         (static_cast<unsigned char>(data[at + test.offset]) | test.mask) ==
             test.value;
}

using Bytes16 = unsigned char __attribute__((vector_size(16)));

Bytes16 load16(const char* p) {
  Bytes16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

Bytes16 splat(unsigned char b) {
  Bytes16 v;
  for (std::size_t i = 0; i < sizeof v; ++i) {
    v[i] = b;
  }
  return v;
}

// The index of the first byte of `hits` that is not zero; 16 when none.
std::size_t first_hit(Bytes16 hits) {
#if defined(__SSE2__)
  const auto bits =
      static_cast<unsigned>(_mm_movemask_epi8(reinterpret_cast<__m128i>(hits)));
  return bits == 0 ? 16 : static_cast<std::size_t>(std::countr_zero(bits));
#else
  std::uint64_t half[2];
  std::memcpy(half, &hits, sizeof half);
  for (std::size_t h = 0; h < 2; ++h) {
    if (half[h] != 0) {
      const int zeros = std::endian::native == std::endian::little
                            ? std::countr_zero(half[h])
                            : std::countl_zero(half[h]);
      return h * 8 + static_cast<std::size_t>(zeros) / 8;
    }
  }
  return 16;
#endif
}

// The first position from `from` on where some probe holds, 16 positions
// at a time (SSE2 on x86-64, whatever the compiler makes of the vector
// operations elsewhere).
template <std::size_t N>
std::size_t scan(const LineFinder::Probe* probes, std::size_t reach,
                 const char* data, std::size_t size, std::size_t from) {
  std::size_t at = from;
  if (size >= reach + 16) {
    const std::size_t last = size - reach - 16;
    Bytes16 mask1[N];
    Bytes16 value1[N];
    Bytes16 mask2[N];
    Bytes16 value2[N];
    for (std::size_t i = 0; i < N; ++i) {
      mask1[i] = splat(probes[i].first.mask);
      value1[i] = splat(probes[i].first.value);
      mask2[i] = splat(probes[i].second.mask);
      value2[i] = splat(probes[i].second.value);
    }
    for (; at <= last; at += 16) {
      Bytes16 hits{};
      for (std::size_t i = 0; i < N; ++i) {
        const Bytes16 a = load16(data + at + probes[i].first.offset);
        const Bytes16 b = load16(data + at + probes[i].second.offset);
        hits |= reinterpret_cast<Bytes16>((a | mask1[i]) == value1[i]) &
                reinterpret_cast<Bytes16>((b | mask2[i]) == value2[i]);
      }
      const std::size_t hit = first_hit(hits);
      if (hit < 16) {
        return at + hit;
      }
    }
  }
  for (; at < size; ++at) {
    for (std::size_t i = 0; i < N; ++i) {
      if (holds(probes[i].first, data, size, at) &&
          holds(probes[i].second, data, size, at)) {
        return at;
      }
    }
  }
  return kNone;
}

// ---- Lines ----

struct Line {
  std::size_t begin;
  std::size_t end;  // at its LF, or the end of the text
  std::string_view text;
};

Line line_around(std::string_view content, std::size_t at) {
  const void* lf = at == 0 ? nullptr : ::memrchr(content.data(), '\n', at);
  const std::size_t begin =
      lf == nullptr ? 0
                    : static_cast<std::size_t>(static_cast<const char*>(lf) -
                                               content.data()) +
                          1;
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
  probe_reach_ =
      std::max({probe_reach_, probe.first.offset, probe.second.offset});
  return true;
}

std::expected<void, std::string> LineFinder::prepare_ascii() {
  mode_ = Mode::kAscii;
  const std::string_view q = lowered_query_;
  if (q.empty()) {
    return {};
  }
  // The two rarest bytes of the query, at their distance: few positions
  // hold both unless the query is there.
  std::size_t rarest = 0;
  for (std::size_t i = 1; i < q.size(); ++i) {
    if (commonness(static_cast<unsigned char>(q[i])) <
        commonness(static_cast<unsigned char>(q[rarest]))) {
      rarest = i;
    }
  }
  std::size_t second = rarest;
  for (std::size_t i = 0; i < q.size(); ++i) {
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
  if (kelvin_) {
    add_probe({exact(0, '\xE2'), exact(2, '\xAA')});
  }
  if (dotted_i_) {
    add_probe({exact(0, '\xC4'), exact(1, '\xB0')});
  }
  return {};
}

std::expected<void, std::string> LineFinder::prepare_non_ascii(
    Prefilter prefilter) {
  mode_ = Mode::kNonAscii;
  // The query's non-ASCII characters, in order of first appearance.
  std::vector<UChar32> in_order;
  const auto* s = reinterpret_cast<const std::uint8_t*>(lowered_query_.data());
  const auto n = static_cast<std::int64_t>(lowered_query_.size());
  for (std::int64_t i = 0; i < n;) {
    UChar32 c = 0;
    U8_NEXT(s, i, n, c);
    if (c >= 0x80 &&
        std::find(in_order.begin(), in_order.end(), c) == in_order.end()) {
      in_order.push_back(c);
    }
  }
  if (prefilter == Prefilter::kSources) {
    std::vector<UChar32> targets = in_order;
    std::sort(targets.begin(), targets.end());
    const auto pairs = sources_with(case_map_.get(), targets);
    if (!pairs) {
      return std::unexpected(pairs.error());
    }
    // The character with the fewest sources, the earliest on a tie, as
    // long as one probe per source fits.
    std::size_t fewest = kMaxProbes + 1;
    UChar32 chosen = -1;
    for (const UChar32 c : in_order) {
      const auto range = std::equal_range(
          pairs->begin(), pairs->end(), std::pair<UChar32, UChar32>(c, 0),
          [](const auto& a, const auto& b) { return a.first < b.first; });
      const auto count = static_cast<std::size_t>(range.second - range.first);
      if (count < fewest) {
        fewest = count;
        chosen = c;
      }
    }
    for (const auto& [target, source] : *pairs) {
      if (target == chosen) {
        std::string bytes;
        append_utf8(bytes, source);
        add_probe(
            {exact(0, bytes.front()), exact(bytes.size() - 1, bytes.back())});
        sources_.push_back(std::move(bytes));
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

std::size_t LineFinder::next_candidate(std::string_view text,
                                       std::size_t from) const {
  const char* data = text.data();
  const std::size_t size = text.size();
  switch (probe_count_) {
    case 1:
      return scan<1>(probes_.data(), probe_reach_, data, size, from);
    case 2:
      return scan<2>(probes_.data(), probe_reach_, data, size, from);
    case 3:
      return scan<3>(probes_.data(), probe_reach_, data, size, from);
    default:
      return scan<kMaxProbes>(probes_.data(), probe_reach_, data, size, from);
  }
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

std::expected<std::optional<LineMatch>, std::string> LineFinder::ascii_match(
    std::string_view content) {
  if (lowered_query_.empty()) {
    if (content.empty()) {
      return std::nullopt;
    }
    return LineMatch{1, line_around(content, 0).text};
  }
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = next_candidate(content, from);
    if (at == kNone) {
      return std::nullopt;
    }
    if (special_at(content, at)) {
      // Candidates before this character in its line have been looked at;
      // the whole line is now mapped and searched, then passed.
      const Line line = line_around(content, at);
      if (!scratch_.reserve(line.text.size())) {
        return std::unexpected(out_of_memory());
      }
      const std::size_t size = map_for_ascii_query(line.text, scratch_.data());
      if (std::string_view(scratch_.data(), size).find(lowered_query_) !=
          std::string_view::npos) {
        return LineMatch{line_number(content, line.begin), line.text};
      }
      from = line.end + 1;
      continue;
    }
    if (matches_ascii_at(content, at)) {
      const Line line = line_around(content, at);
      return LineMatch{line_number(content, line.begin), line.text};
    }
    from = at + 1;
  }
}

bool LineFinder::source_at(std::string_view content, std::size_t at) const {
  if (sources_.empty()) {
    return true;  // any non-ASCII character will do
  }
  const std::string_view rest = content.substr(at);
  return std::any_of(
      sources_.begin(), sources_.end(),
      [rest](const std::string& s) { return rest.starts_with(s); });
}

std::expected<std::optional<LineMatch>, std::string>
LineFinder::non_ascii_match(std::string_view content) {
  std::size_t from = 0;
  for (;;) {
    const std::size_t at = next_candidate(content, from);
    if (at == kNone) {
      return std::nullopt;
    }
    if (!source_at(content, at)) {
      from = at + 1;
      continue;
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
    from = line.end + 1;
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
  return sources_with(map->get(), targets);
}

}  // namespace vestigor_mcp
