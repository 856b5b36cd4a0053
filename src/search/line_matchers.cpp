#include "search/line_matchers.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "util/char_facts.hpp"
#include "util/fd_io.hpp"
#include "util/unicode.hpp"
#include "util/utf8.hpp"

namespace vestigor_mcp {

namespace {

constexpr std::size_t kNone = std::string_view::npos;

std::string out_of_memory() { return os_error_text(ENOMEM); }

char lower_ascii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
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

LineMatch match_at(std::string_view content, const Line& line) {
  const auto number =
      static_cast<std::size_t>(std::count(
          content.begin(),
          content.begin() + static_cast<std::ptrdiff_t>(line.begin), '\n')) +
      1;
  return {number, line.text};
}

// ---- Probes ----

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

ByteTest exact(std::size_t offset, char byte) {
  return {offset, 0, static_cast<unsigned char>(byte)};
}

// An ASCII letter in either case: or-ing 0x20 maps both to the lower one,
// and no other byte.
ByteTest folded(std::size_t offset, char byte) {
  if (byte >= 'a' && byte <= 'z') {
    return {offset, 0x20, static_cast<unsigned char>(byte)};
  }
  return exact(offset, byte);
}

// For an ASCII query only: `line` rewritten so that the query occurs in it
// exactly when it occurs in the line's lower-case form. ASCII is lowered;
// the Kelvin sign becomes "k" and the capital I with dot "i" followed by a
// byte of 0x80, as their lower-case forms begin with those letters; every
// other character stays as it is, since its lower-case form, like itself,
// is a run of bytes of 0x80 or above, which an ASCII query cannot enter.
// Never longer than the line.
std::size_t map_for_ascii_query(std::string_view line, char* out) {
  const char* s = line.data();
  const std::size_t size = line.size();
  std::size_t n = 0;
  std::size_t i = 0;
  while (i < size) {
    const char c = s[i];
    if (c == '\xE2' && size - i >= 3 && s[i + 1] == '\x84' &&
        s[i + 2] == '\xAA') {
      out[n++] = 'k';
      i += 3;
    } else if (c == '\xC4' && size - i >= 2 && s[i + 1] == '\xB0') {
      out[n++] = 'i';
      out[n++] = '\x80';
      i += 2;
    } else {
      out[n++] = lower_ascii(c);
      ++i;
    }
  }
  return n;
}

// Work on candidates: a small allowance, then so many steps per byte the
// scan has passed. Ordinary queries spend well under a step per byte.
constexpr std::size_t kWorkAllowance = 4096;
constexpr std::size_t kWorkPerByte = 4;

}  // namespace

// ---- Linear search ----

LinearFind::LinearFind(std::string_view pattern)
    : border_(pattern.size() + 1, 0) {
  std::size_t b = 0;
  for (std::size_t k = 1; k < pattern.size(); ++k) {
    while (b > 0 && pattern[k] != pattern[b]) {
      b = border_[b];
    }
    if (pattern[k] == pattern[b]) {
      ++b;
    }
    border_[k + 1] = b;
  }
}

bool LinearFind::in(std::string_view pattern, std::string_view text) const {
  if (pattern.empty()) {
    return true;
  }
  // k: how much of the pattern the bytes before i end with. With none of
  // it, memchr finds the next place it can begin.
  std::size_t k = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (k == 0) {
      const void* hit =
          std::memchr(text.data() + i, pattern[0], text.size() - i);
      if (hit == nullptr) {
        return false;
      }
      i = static_cast<std::size_t>(static_cast<const char*>(hit) -
                                   text.data()) +
          1;
      k = 1;
    } else {
      const char c = text[i++];
      while (k > 0 && c != pattern[k]) {
        k = border_[k];
      }
      if (c == pattern[k]) {
        ++k;
      }
    }
    if (k == pattern.size()) {
      return true;
    }
  }
  return false;
}

WorkBudget WorkBudget::from(LinearFrom linear) {
  if (linear == LinearFrom::kWhenCostly) {
    return {kWorkAllowance, kWorkPerByte};
  }
  return {0, 0};
}

// ---- ASCII queries ----

AsciiMatcher::AsciiMatcher(std::string query, bool widest_vectors,
                           LinearFrom linear)
    : query_(std::move(query)),
      linear_(query_),
      budget_(WorkBudget::from(linear)),
      linear_from_start_(linear == LinearFrom::kStart),
      scan_(widest_vectors) {
  const std::string_view q = query_;
  if (q.empty()) {
    return;
  }
  // The two rarest bytes of the query's start, at their distance: few
  // positions hold both unless the query is there.
  const std::size_t span = std::min(q.size(), ByteScan::kMaxReach + 1);
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
  scan_.add({folded(rarest, q[rarest]), folded(second, q[second])});
  // The Kelvin sign lowers to "k"; the capital I with dot to "i" and a
  // combining dot, which an ASCII query cannot hold, so it matters only as
  // the query's last letter.
  kelvin_ = q.find('k') != std::string_view::npos;
  dotted_i_ = q.back() == 'i';
  if (dotted_i_) {
    scan_.add({exact(0, '\xC4'), exact(1, '\xB0')});
  }
  if (kelvin_) {
    // The Kelvin sign's last byte alone, 0xAA, which is rare: candidates
    // that are not the whole sign cost a quick look each, and one test
    // costs less than two on every byte.
    scan_.add({exact(2, '\xAA'), exact(2, '\xAA')});
  }
}

bool AsciiMatcher::matches_at(std::string_view content, std::size_t at,
                              std::size_t& work) const {
  const std::string_view q = query_;
  if (content.size() - at < q.size()) {
    return false;
  }
  std::size_t i = 0;
  while (i < q.size() && lower_ascii(content[at + i]) == q[i]) {
    ++i;
  }
  work += i;
  if (i < q.size()) {
    return false;
  }
  // A CR right before a LF ends the line and is not part of it.
  const std::size_t end = at + q.size();
  return !(q.back() == '\r' && end < content.size() && content[end] == '\n');
}

bool AsciiMatcher::special_at(std::string_view content, std::size_t at) const {
  const std::string_view rest = content.substr(at);
  return (kelvin_ && rest.starts_with("\xE2\x84\xAA")) ||
         (dotted_i_ && rest.starts_with("\xC4\xB0"));
}

// Whether the ASCII bytes around the Kelvin sign or dotted I at `at`
// agree with the query, the letter it lowers to taken at each place where
// the query has it: a quick test before the exact one. A non-ASCII byte
// on the way could be another such character, so it ends the comparison.
// Once `work` passes `limit`, says it could: the exact test decides.
bool AsciiMatcher::could_match_near_special(std::string_view content,
                                            std::size_t at, std::size_t& work,
                                            std::size_t limit) const {
  const std::string_view q = query_;
  const bool kelvin = content[at] == '\xE2';
  const std::size_t width = kelvin ? 3 : 2;
  // The dotted I lowers to "i" and a combining dot: only a query ending in
  // "i" can take it in.
  const std::size_t first = kelvin ? 0 : q.size() - 1;
  for (std::size_t j = q.find(kelvin ? 'k' : 'i', first); j != kNone;
       j = q.find(kelvin ? 'k' : 'i', j + 1)) {
    if (work > limit) {
      return true;
    }
    bool agrees = true;
    std::size_t r = at + width;
    for (std::size_t m = j + 1; agrees && m < q.size(); ++m, ++r) {
      ++work;
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
      ++work;
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

std::expected<bool, std::string> AsciiMatcher::matches_near_special(
    std::string_view content, std::size_t at, std::size_t& work,
    std::size_t limit) {
  if (!could_match_near_special(content, at, work, limit)) {
    return false;
  }
  // A match that takes in the character at `at` lies within as many
  // characters either side as the query has, each at most three bytes
  // long; and within the line, whose closing CR is left out.
  const std::size_t reach = 3 * query_.size();
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
  work += window.size();
  const std::size_t size = map_for_ascii_query(window, scratch_.data());
  return linear_.in(query_, std::string_view(scratch_.data(), size));
}

// From `from`, the start of a line, on: each line mapped and looked
// through whole.
MatchResult AsciiMatcher::linear_match(std::string_view content,
                                       std::size_t from) {
  while (from < content.size()) {
    const Line line = line_around(content, from);
    if (!scratch_.reserve(line.text.size())) {
      return std::unexpected(out_of_memory());
    }
    const std::size_t size = map_for_ascii_query(line.text, scratch_.data());
    if (linear_.in(query_, std::string_view(scratch_.data(), size))) {
      return match_at(content, line);
    }
    from = line.end + 1;
  }
  return std::nullopt;
}

MatchResult AsciiMatcher::first_match(std::string_view content) {
  if (query_.empty()) {
    if (content.empty()) {
      return std::nullopt;
    }
    return match_at(content, line_around(content, 0));
  }
  if (linear_from_start_) {
    return linear_match(content, 0);
  }
  // Every match either lies in ASCII bytes, and is found at a candidate
  // from the query's bytes, or takes in a Kelvin sign or dotted I, and is
  // found near it. Candidates come in order, so the first match found is
  // in the first matching line, and once candidates cost too much, every
  // line before the next candidate's is known to hold no match.
  Candidates candidates(scan_, content);
  std::size_t work = 0;
  for (;;) {
    const std::size_t at = candidates.next();
    if (at == kNone) {
      return std::nullopt;
    }
    if (budget_.exceeded(work, at)) {
      return linear_match(content, line_begin(content, at, 0));
    }
    ++work;
    bool found = false;
    if (special_at(content, at)) {
      const auto near = matches_near_special(
          content, at, work, budget_.allowance + budget_.per_byte * at);
      if (!near) {
        return std::unexpected(near.error());
      }
      found = *near;
    } else {
      found = matches_at(content, at, work);
    }
    if (found) {
      return match_at(content, line_around(content, at));
    }
  }
}

// ---- Other queries ----

TextMatcher::TextMatcher(std::string query, bool sources_prefilter,
                         bool widest_vectors, LinearFrom linear)
    : query_(std::move(query)),
      linear_(query_),
      budget_(WorkBudget::from(linear)),
      linear_from_start_(linear == LinearFrom::kStart),
      scan_(widest_vectors) {
  // Each distinct character's sources are looked up once: a query may be
  // megabytes long.
  const auto* s = reinterpret_cast<const unsigned char*>(query_.data());
  std::unordered_map<char32_t, std::uint32_t> index_of;
  chars_.reserve(query_.size());
  for (std::size_t i = 0; i < query_.size();) {
    const Utf8Char ch = decode_utf8(s, query_.size(), i);
    i += ch.length;
    const auto [at, added] = index_of.try_emplace(
        ch.c, static_cast<std::uint32_t>(distinct_.size()));
    if (added) {
      // A CR could be the one that ends a line, which is not part of it.
      QueryChar q{ch.c, ch.c == '\r', {}};
      const LowerCaseSources sources = lower_case_sources(ch.c);
      for (std::size_t k = 0; k < sources.size; ++k) {
        q.uncertain = q.uncertain || !sources.items[k].alone;
        q.sources.push_back(sources.items[k].source);
      }
      distinct_.push_back(std::move(q));
    }
    chars_.push_back(at->second);
  }
  if (sources_prefilter) {
    // The non-ASCII character with the fewest sources, the first on a
    // tie, as long as one probe per source fits.
    std::size_t fewest = ByteScan::kMaxProbes + 1;
    const QueryChar* chosen = nullptr;
    for (std::size_t m = 0; m < chars_.size(); ++m) {
      const QueryChar& q = char_at(m);
      if (q.c >= 0x80 && q.sources.size() < fewest) {
        fewest = q.sources.size();
        chosen = &q;
      }
    }
    if (chosen != nullptr) {
      for (const char32_t source : chosen->sources) {
        std::string bytes(4, '\0');
        bytes.resize(encode_utf8(source, bytes.data()));
        scan_.add(
            {exact(0, bytes.front()), exact(bytes.size() - 1, bytes.back())});
        sources_.push_back(std::move(bytes));
      }
      for (std::size_t j = 0; j < chars_.size(); ++j) {
        if (char_at(j).c == chosen->c) {
          chosen_at_.push_back(j);
        }
      }
    }
  }
  if (sources_.empty()) {
    // No character qualified (or none was asked for): every line holding
    // a non-ASCII character is lowered. Lead bytes are 0xC0 and above.
    scan_.add({{0, 0x3F, 0xFF}, {0, 0x3F, 0xFF}});
  }
}

std::size_t TextMatcher::source_at(std::string_view content,
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

// From character `index` of the query on (forwards), or from the
// character before it (backwards), and from `at` in the text: each
// character of the query must be met by one of its sources, one text
// character each, up to the end or to a character that is not compared
// (a source of it may lower to more than it). ASCII lowers to ASCII only.
// Adds the characters compared to `work`.
bool TextMatcher::aligns_side(std::string_view content, std::size_t at,
                              std::size_t index, bool forward,
                              std::size_t& work) const {
  const auto* s = reinterpret_cast<const unsigned char*>(content.data());
  std::size_t i = at;
  const std::size_t count = forward ? chars_.size() - index : index;
  for (std::size_t k = 0; k < count; ++k, ++work) {
    const QueryChar& q = char_at(forward ? index + k : index - 1 - k);
    if (q.uncertain) {
      return true;
    }
    if (forward ? i >= content.size() : i == 0) {
      return false;
    }
    const unsigned char byte = forward ? s[i] : s[i - 1];
    Utf8Char ch{byte, 1};
    if (byte >= 0x80) {
      ch = forward ? decode_utf8(s, content.size(), i)
                   : decode_utf8_before(s, 0, i);
      if (ch.c == kNotUtf8) {
        return true;  // not UTF-8: lowering may judge; never shown
      }
    }
    const bool met =
        byte < 0x80
            ? static_cast<char32_t>(lower_ascii(static_cast<char>(byte))) == q.c
            : std::find(q.sources.begin(), q.sources.end(), ch.c) !=
                  q.sources.end();
    if (!met) {
      return false;
    }
    i = forward ? i + ch.length : i - ch.length;
  }
  return true;
}

bool TextMatcher::aligns(std::string_view content, std::size_t at,
                         std::size_t length, std::size_t& work,
                         std::size_t limit) const {
  // The source at `at` lowers to the chosen character alone (or that
  // character is not compared): the query's other characters are compared
  // from either side of it, for each place the chosen character has. Once
  // `work` passes `limit`, the line is lowered to decide.
  for (const std::size_t j : chosen_at_) {
    if (work > limit || char_at(j).uncertain ||
        (aligns_side(content, at + length, j + 1, true, work) &&
         aligns_side(content, at, j, false, work))) {
      return true;
    }
  }
  return false;
}

// From `from`, the start of a line, on: each line lowered and looked
// through whole.
MatchResult TextMatcher::linear_match(std::string_view content,
                                      std::size_t from) {
  while (from < content.size()) {
    const Line line = line_around(content, from);
    scratch_.clear();
    if (!append_lower_case(line.text, scratch_)) {
      return std::unexpected(out_of_memory());
    }
    if (linear_.in(query_, scratch_.view())) {
      return match_at(content, line);
    }
    from = line.end + 1;
  }
  return std::nullopt;
}

MatchResult TextMatcher::first_match(std::string_view content) {
  if (linear_from_start_) {
    return linear_match(content, 0);
  }
  // Every match holds a source of the chosen character (or, without one,
  // a non-ASCII character), at a candidate; candidates come in order, so
  // once they cost too much, every line before the next candidate's is
  // known to hold no match. A line lowered is lowered once.
  Candidates candidates(scan_, content);
  std::size_t work = 0;
  for (;;) {
    const std::size_t at = candidates.next();
    if (at == kNone) {
      return std::nullopt;
    }
    if (budget_.exceeded(work, at)) {
      return linear_match(content, line_begin(content, at, 0));
    }
    ++work;
    // A source of the chosen character, with the query's other characters
    // met by their sources around it: only then is the line lowered.
    if (!sources_.empty()) {
      const std::size_t length = source_at(content, at);
      if (length == 0 || !aligns(content, at, length, work,
                                 budget_.allowance + budget_.per_byte * at)) {
        continue;
      }
    }
    const Line line = line_around(content, at);
    scratch_.clear();
    if (!append_lower_case(line.text, scratch_)) {
      return std::unexpected(out_of_memory());
    }
    if (linear_.in(query_, scratch_.view())) {
      return match_at(content, line);
    }
    candidates.skip_to(line.end + 1);
  }
}

}  // namespace vestigor_mcp
