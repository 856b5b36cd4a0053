// The line finder against plain per-line ICU lowering: every fast path
// (the raw-byte scan for ASCII queries, the exact path near the Kelvin
// sign and the capital I with dot, the sources prefilter and its fallback,
// both vector widths) must give the reference's answer; the lowering it
// uses must be ICU's, Final_Sigma contexts included; and the premises
// those paths rest on, checked against ICU over every code point.
#include "search/line_finder.hpp"

#include <gtest/gtest.h>
#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/icu_oracle.hpp"
#include "util/char_facts.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {
namespace {

// ---- The plain reference: every line lowered by ICU on its own ----

using testing::icu_first_match;
using testing::icu_lower;
using Found = testing::OracleMatch;
using Knobs = LineFinder::TestKnobs;

std::optional<Found> finder_match(std::string_view content,
                                  std::string_view query,
                                  const Knobs& knobs = {}) {
  auto finder = LineFinder::TEST_make(query, knobs);
  EXPECT_TRUE(finder.has_value()) << finder.error();
  if (!finder) {
    return std::nullopt;
  }
  const auto m = finder->first_match(content);
  EXPECT_TRUE(m.has_value()) << m.error();
  if (!m || !*m) {
    return std::nullopt;
  }
  return Found{(*m)->number, std::string((*m)->text)};
}

std::string describe(const std::optional<Found>& f) {
  return f ? std::to_string(f->number) + ": [" + f->text + "]" : "none";
}

std::string utf8(UChar32 c) {
  char buf[4];
  int32_t n = 0;
  UBool error = false;
  U8_APPEND(buf, n, 4, c, error);
  EXPECT_FALSE(error) << c;
  return std::string(buf, static_cast<std::size_t>(n));
}

std::vector<UChar32> code_points(std::string_view text) {
  std::vector<UChar32> out;
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto n = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < n;) {
    UChar32 c = 0;
    U8_NEXT(s, i, n, c);
    out.push_back(c);
  }
  return out;
}

bool is_scalar_value(UChar32 c) { return !U_IS_SURROGATE(c); }

// Every code point's lower-case form in four contexts, by lowering each
// context once for all code points: X, aX, Xa and aXa, one per line (a
// line feed ends every context; a premise checked below).
struct Forms {
  std::vector<UChar32> chars;
  std::vector<std::string> alone, after, before, between;
};

Forms all_forms() {
  Forms forms;
  std::string texts[4];
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    if (!is_scalar_value(c) || c == '\n') {
      continue;
    }
    forms.chars.push_back(c);
    const std::string x = utf8(c);
    texts[0].append(x).append("\n");
    texts[1].append("a").append(x).append("\n");
    texts[2].append(x).append("a\n");
    texts[3].append("a").append(x).append("a\n");
  }
  std::vector<std::string>* outs[4] = {&forms.alone, &forms.after,
                                       &forms.before, &forms.between};
  for (int k = 0; k < 4; ++k) {
    const std::string lowered = icu_lower(texts[k]);
    std::size_t start = 0;
    while (start < lowered.size()) {
      const std::size_t end = lowered.find('\n', start);
      std::string form = lowered.substr(start, end - start);
      if (k == 1 || k == 3) {
        form.erase(0, 1);
      }
      if (k == 2 || k == 3) {
        form.pop_back();
      }
      outs[k]->push_back(form);
      start = end + 1;
    }
    EXPECT_EQ(outs[k]->size(), forms.chars.size());
  }
  return forms;
}

const Forms& forms() {
  static const Forms kForms = all_forms();
  return kForms;
}

// ---- Premises of the fast paths, checked against ICU itself ----

TEST(Lowering, OnlyCapitalDottedIAndKelvinSignLowerToAscii) {
  // The byte map for ASCII queries and the ASCII table rest on this: every
  // other non-ASCII character lowers to a non-empty run of non-ASCII bytes.
  std::vector<UChar32> to_ascii;
  std::vector<UChar32> to_empty;
  for (UChar32 c = 0x80; c <= 0x10FFFF; ++c) {
    if (U_IS_SURROGATE(c)) {
      continue;
    }
    const std::string lowered = icu_lower(utf8(c));
    if (lowered.empty()) {
      to_empty.push_back(c);
    }
    if (std::any_of(lowered.begin(), lowered.end(), [](char b) {
          return static_cast<unsigned char>(b) < 0x80;
        })) {
      to_ascii.push_back(c);
    }
  }
  EXPECT_EQ(to_ascii, (std::vector<UChar32>{0x130, 0x212A}));
  EXPECT_TRUE(to_empty.empty());
  EXPECT_EQ(icu_lower("İ"), "i\u0307");
  EXPECT_EQ(icu_lower("\u212A"), "k");
}

TEST(Lowering, AsciiLowersByTheTableAndLineEndsStopContext) {
  for (int c = 0; c < 0x80; ++c) {
    const std::string in(1, static_cast<char>(c));
    const char want = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : in[0];
    EXPECT_EQ(icu_lower(in), std::string(1, want)) << c;
  }
  // LF and CR are neither cased nor case-ignorable, so no Final_Sigma
  // context reaches across them: lines may be lowered apart or together.
  for (UChar32 c : {0x0A, 0x0D}) {
    EXPECT_FALSE(u_hasBinaryProperty(c, UCHAR_CASED)) << c;
    EXPECT_FALSE(u_hasBinaryProperty(c, UCHAR_CASE_IGNORABLE)) << c;
  }
  EXPECT_EQ(icu_lower("ΑΣ\nΑ"), icu_lower("ΑΣ") + "\n" + icu_lower("Α"));
}

TEST(Lowering, OnlyTheCapitalSigmaDependsOnItsNeighbours) {
  // The sources are derived from each character alone and after a cased
  // letter, and long lines are split between characters that are not the
  // capital sigma: both rest on this.
  const Forms& f = forms();
  std::vector<UChar32> contextual;
  for (std::size_t i = 0; i < f.chars.size(); ++i) {
    if (f.after[i] != f.alone[i] || f.before[i] != f.alone[i] ||
        f.between[i] != f.alone[i]) {
      contextual.push_back(f.chars[i]);
    }
  }
  EXPECT_EQ(contextual, (std::vector<UChar32>{0x03A3}));
}

TEST(LowerCaseSources, MatchTheLowerCaseFormsOfEveryCodePoint) {
  // The reference: for every code point, each character its lower-case
  // form holds, in any of the four contexts, has it as a source. (Sorted
  // vectors rather than sets and maps: the sweep must stay quick under the
  // sanitizers.)
  const Forms& f = forms();
  std::vector<std::pair<UChar32, UChar32>> want;
  want.reserve(f.chars.size() + 4096);
  for (std::size_t i = 0; i < f.chars.size(); ++i) {
    const std::size_t first = want.size();
    for (const std::string* form :
         {&f.alone[i], &f.after[i], &f.before[i], &f.between[i]}) {
      const auto* s = reinterpret_cast<const uint8_t*>(form->data());
      const auto n = static_cast<int32_t>(form->size());
      for (int32_t k = 0; k < n;) {
        UChar32 c = 0;
        U8_NEXT(s, k, n, c);
        const std::pair<UChar32, UChar32> pair(c, f.chars[i]);
        if (std::find(want.begin() + static_cast<std::ptrdiff_t>(first),
                      want.end(), pair) == want.end()) {
          want.push_back(pair);
        }
      }
    }
  }
  std::vector<UChar32> targets = f.chars;
  targets.insert(std::lower_bound(targets.begin(), targets.end(), '\n'), '\n');
  std::vector<std::pair<UChar32, UChar32>> pairs;
  pairs.reserve(targets.size() + 4096);
  std::size_t most = 0;
  for (const UChar32 target : targets) {
    const LowerCaseSources sources =
        lower_case_sources(static_cast<char32_t>(target));
    most = std::max(most, sources.size);
    for (std::size_t k = 0; k < sources.size; ++k) {
      pairs.emplace_back(target, static_cast<UChar32>(sources.items[k].source));
    }
  }
  ASSERT_LT(most, kMaxLowerCaseSources);  // none was left out
  const auto* got = &pairs;
  want.emplace_back('\n', '\n');
  std::sort(want.begin(), want.end());
  want.erase(std::unique(want.begin(), want.end()), want.end());
  EXPECT_EQ(got->size(), want.size());
  EXPECT_TRUE(std::equal(got->begin(), got->end(), want.begin(), want.end()));
  // At most three sources each, so one probe per source always fits.
  const auto omega = std::equal_range(
      got->begin(), got->end(), std::pair<UChar32, UChar32>(0x03C9, 0),
      [](const auto& x, const auto& y) { return x.first < y.first; });
  EXPECT_LE(most, ByteScan::kMaxProbes);
  EXPECT_EQ(omega.second - omega.first, 3);  // ω: ω, Ω and the ohm sign
}

// ---- The line finder against the reference ----

// Variants that take every path: the sources prefilter or every line with
// a non-ASCII character lowered, the widest vectors this processor has or
// 16-byte ones.
// Every path, the line-by-line search included: from the start, and taking
// over after the first candidate, as it does once candidates cost too much.
const Knobs kVariants[] = {
    {false, false, LinearFrom::kWhenCostly},
    {true, false, LinearFrom::kWhenCostly},
    {false, true, LinearFrom::kWhenCostly},
    {true, true, LinearFrom::kWhenCostly},
    {false, false, LinearFrom::kSecondCandidate},
    {true, false, LinearFrom::kSecondCandidate},
    {false, true, LinearFrom::kSecondCandidate},
    {false, false, LinearFrom::kStart},
};

std::string describe(const Knobs& knobs) {
  const char* const linear[] = {"", ", linear after one candidate", ", linear"};
  return std::string(knobs.lower_every_non_ascii_line ? "every line"
                                                      : "sources") +
         (knobs.narrow_vectors ? ", narrow" : ", widest") +
         linear[static_cast<int>(knobs.linear)];
}

// Lines chosen to trip the fast paths: letters whose lower-case forms
// differ in length or reach ASCII, sigma in every position, CRs, bytes
// that look like the start or end of the Kelvin sign or the dotted I.
const char* const kLines[] = {
    "",
    "plain ascii line with Kelvin",
    "\u212Aelvin sign",        // Kelvin sign + elvin
    "temperature 300 \u212A",  // ... 300 K-sign
    "İstanbul",
    "I\u0307 already decomposed",  // I + U+0307
    "ΟΔΟΣ",                        // a final sigma
    "ΣΑΣ Σ",
    "ΑΣ'",  // ignorable after
    "ΑΣΑ",  // no final sigma
    "σς mixed Σ.",
    "straße STRASSE",
    "Grüße aus München",
    "\u2126 ohm and \u2160 numeral",  // Ohm sign, Roman numeral one
    "ǅ titlecase dz",
    "a\rb inner cr",
    "\r",
    "ends in cr\r",
    "\tindented ALPHA line ",
    "ﬀ ligature",
    "𐐀 deseret",                   // lowers to 𐐨
    "ᄪ jamo, not a Kelvin sign",  // bytes E1 84 AA
    "⊪ and ı near misses",         // ⊪: bytes E2 8A AA
    "Kİ kI\u212A",                 // ends in the Kelvin sign
    "ΩκεανόΣ big sea",
    "ω small omega, ẞ capital sharp s",
    "Α'Σ'' ΣΣΣΣ",
    "''''\u0307\u0307''",  // case-ignorables only
    "記憶のメモ memo",
    "quasarwick QUASARWICK Quasar\u212Aick",
};

const char* const kQueries[] = {
    // The Kelvin sign and the capital I with dot, which lower to ASCII.
    "k",
    "K",
    "kelvin",
    "300 k",
    "\u212A",
    "ELVIN",
    "QUASAR\u212A",
    "ki",
    "i",
    "istanbul",
    "İ",
    "i\u0307",
    "I\u0307",
    "\u0307",
    "\u0307'",
    "mi",
    // Sigma in its forms and contexts.
    "σ",
    "ς",
    "Σ",
    "ος",
    "ΑΣ",
    "σα",
    "mixed σ.",
    "ωκεανός",
    "σσ",
    "'σ'",
    // Lower-case forms of other lengths, and letters with look-alikes.
    "ss",
    "ß",
    "SS",
    "straß",
    "ω",
    "\u2170",
    "ǆ",
    "𐐨",
    "ﬀ",
    "dz",
    "\u2126",
    "ẞ",
    "記憶",
    // ASCII, spaces and CRs.
    "alpha",
    " alpha",
    "ALPHA ",
    "a\rb",
    "\r",
    "cr\r",
    "in cr",
    "x\ny",
    "line",
    "e\r",
    "quasarwick",
    "ck qu",
};

std::vector<std::string> corpus() {
  std::vector<std::string> files = {
      "",
      "\n",
      "\r\n",
      "\r",
      "x\r",
      "\n\n\nalpha",
      "ALPHA\r\n\r\n",
      "ΑΣ\r\nΑ",
      "ΑΣ\r\r\n",
      "no\nmatch\nhere\n",
  };
  std::mt19937 random(20261207);
  const std::size_t line_count = std::size(kLines);
  for (int f = 0; f < 300; ++f) {
    std::string text;
    const int lines = 1 + static_cast<int>(random() % 12);
    for (int l = 0; l < lines; ++l) {
      text += kLines[random() % line_count];
      if (l + 1 < lines || random() % 2 == 0) {
        text += random() % 3 == 0 ? "\r\n" : "\n";
      }
    }
    files.push_back(text);
  }
  return files;
}

TEST(Lowering, EqualsIcuOnTrickyTextAndRandomFinalSigmaContexts) {
  // The finder's own lowering (util/char_facts) against ICU's: the whole
  // corpus below, and random strings of characters that decide or pass
  // over a Final_Sigma context (cased, case-ignorable, both, neither).
  const char* const pieces[] = {
      "Σ",  "σ",      "A", "a",      "'",      ":",         ".",      " ",
      "\n", "\r",     "1", "\u0307", "\u00AD", "ʰ",         "\u0345", "ǅ",
      "İ",  "\u200D", "ẞ", "𐐀",      "\u212A", "\U0001D400"};
  std::vector<std::string> texts = corpus();
  std::mt19937 random(16);
  for (int i = 0; i < 100000; ++i) {
    std::string text;
    const int length = 1 + static_cast<int>(random() % 10);
    for (int k = 0; k < length; ++k) {
      text += pieces[random() % std::size(pieces)];
    }
    texts.push_back(std::move(text));
  }
  int finals = 0;
  for (const std::string& text : texts) {
    Buffer ours;
    ASSERT_TRUE(append_lower_case(text, ours));
    const std::string want = icu_lower(text);
    ASSERT_EQ(ours.view(), want) << "[" << text << "]";
    finals += want.find("ς") != std::string::npos ? 1 : 0;
  }
  EXPECT_GT(finals, 5000);  // the final form was decided often enough
}

TEST(LineFinder, AgreesWithPerLineIcuLoweringOnTrickyText) {
  const std::vector<std::string> files = corpus();
  int compared = 0;
  int matched = 0;
  for (const char* query : kQueries) {
    for (const Knobs& knobs : kVariants) {
      auto finder = LineFinder::TEST_make(query, knobs);
      ASSERT_TRUE(finder.has_value()) << finder.error();
      for (const std::string& file : files) {
        ASSERT_TRUE(is_valid_utf8(file));
        const auto want = icu_first_match(file, query);
        matched += want ? 1 : 0;
        const auto m = finder->first_match(file);
        ASSERT_TRUE(m.has_value()) << m.error();
        std::optional<Found> got;
        if (*m) {
          got = Found{(*m)->number, std::string((*m)->text)};
        }
        ++compared;
        ASSERT_EQ(got, want) << "query [" << query << "] " << describe(knobs)
                             << " file [" << file << "]: got " << describe(got)
                             << ", want " << describe(want);
      }
    }
  }
  // The corpus must exercise both outcomes.
  EXPECT_GT(matched, compared / 20);
  EXPECT_LT(matched, compared / 3);
}

TEST(LineFinder, FindsMatchesDeepInLongNotes) {
  std::string note;
  for (int i = 0; i < 20000; ++i) {
    note += i % 7 == 0 ? "ΟΔΟΣ line\r\n" : "an ordinary line of text\n";
  }
  note += "the \u212Aey line\n";
  note += "δρόμΟΣ end";
  struct Case {
    const char* query;
    std::size_t number;
  };
  const Case cases[] = {
      {"KEY", 20001}, {"ος end", 20002}, {"ος line", 1}, {"text\n", 0}};
  for (const Case& c : cases) {
    for (const Knobs& knobs : kVariants) {
      const auto got = finder_match(note, c.query, knobs);
      EXPECT_EQ(got ? got->number : 0, c.number) << c.query;
      EXPECT_EQ(got, icu_first_match(note, c.query)) << c.query;
    }
  }
}

TEST(LineFinder, FindsTheQueryAtEveryOffsetAndNearTheEnd) {
  // The scan looks at 32 or 64 positions a step, and copies the last
  // steps' bytes out padded: a match must be found wherever it lies, and a
  // partial one at the very end must not be taken.
  const char* const queries[] = {
      "quasarwick", "k",  "ωκ",
      "ße",         "ki", "a query longer than thirty-two kilobytes"};
  const char* const spelled[] = {
      "QuasarWick", "\u212A", "ΩΚ",
      "ẞE",         "Kİ",     "A Query Longer Than Thirty-Two \u212AiloBytes"};
  for (std::size_t q = 0; q < std::size(queries); ++q) {
    const std::string word = spelled[q];
    for (std::size_t before = 0; before < 40; ++before) {
      for (const std::size_t after : {0U, 1U, 2U, 15U, 16U, 17U}) {
        const std::string text =
            std::string(before, 'x') + word + std::string(after, 'y');
        for (const Knobs& knobs : kVariants) {
          EXPECT_EQ(finder_match("a\n" + text, queries[q], knobs),
                    (Found{2, text}))
              << queries[q] << " " << before << " " << after;
        }
        const std::string cut =
            "a\n" + text.substr(0, before + word.size() - 1);
        for (const Knobs& knobs : kVariants) {
          EXPECT_EQ(finder_match(cut, queries[q], knobs),
                    icu_first_match(cut, queries[q]))
              << queries[q] << " " << before;
        }
      }
    }
  }
}

TEST(LineFinder, FindsEverySourceOfEveryLowerCaseCharacter) {
  // For each character that some other character lowers into, and each
  // of its sources: a note whose only match is that source, in the middle
  // of a line, after a cased letter and alone (Final_Sigma).
  const Forms& f = forms();
  std::map<UChar32, std::set<UChar32>> sources;
  for (std::size_t i = 0; i < f.chars.size(); ++i) {
    if (f.alone[i] == utf8(f.chars[i]) && f.after[i] == f.alone[i]) {
      continue;  // lowers to itself: found by the same bytes
    }
    for (const std::string* form : {&f.alone[i], &f.after[i]}) {
      for (const UChar32 c : code_points(*form)) {
        sources[c].insert(f.chars[i]);
      }
    }
  }
  ASSERT_GT(sources.size(), 1000U);
  int checked = 0;
  for (const auto& [target, from] : sources) {
    const std::string query = utf8(target);
    auto finder = LineFinder::make(query);
    ASSERT_TRUE(finder.has_value()) << finder.error();
    for (const UChar32 source : from) {
      const std::string x = utf8(source);
      std::string dash = "— ";  // — X
      dash += x;
      dash += ' ';
      std::string after_b = "b";
      after_b += x;
      for (const std::string& line : {dash, after_b, x}) {
        const std::string note = "nothing here\r\n" + line + "\r\nlast";
        const auto want = icu_first_match(note, query);
        const auto m = finder->first_match(note);
        ASSERT_TRUE(m.has_value()) << m.error();
        std::optional<Found> got;
        if (*m) {
          got = Found{(*m)->number, std::string((*m)->text)};
        }
        ASSERT_EQ(got, want) << "U+" << std::hex << target << " from U+"
                             << source << " in [" << line << "]";
        checked += want ? 1 : 0;
      }
    }
  }
  EXPECT_GT(checked, 3000);
}

TEST(LineFinder, StaysWithinInvalidUtf8) {
  // The search checks the encoding only of notes that match; the finder
  // must cope with any bytes, truncated sequences at the end included.
  for (const char* tail :
       {"\xE2\x84", "\xC4", "\xFF\xFE", "\xCE", "\xED\xA0\x80"}) {
    for (const char* query : {"alpha", "σ", "a\rb"}) {
      for (const Knobs& knobs : kVariants) {
        const std::string note = std::string("alpha σ a\rb\n") + tail;
        EXPECT_EQ(finder_match(note, query, knobs), (Found{1, "alpha σ a\rb"}))
            << query;
        EXPECT_EQ(finder_match(std::string("x\n") + tail, query, knobs),
                  std::nullopt);
      }
    }
  }
}

std::string times(std::string_view unit, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out += unit;
  }
  return out;
}

TEST(LineFinder, LinearSearchAgreesWithTheFastPathOnCraftedInputs) {
  // Texts and queries that make candidates costly, so that the usual
  // search turns to the line-by-line one part way: periodic runs, queries
  // that agree with a line for thousands of bytes and then differ, matches
  // that would run over a LF or take in the CR before it, and the
  // characters that lower to ASCII, lengthen, or depend on what follows.
  const std::string dashes = times("-", 5000);
  const std::string e_acute = times("é", 3000);
  struct Case {
    const char* name;
    std::string note;
    std::string query;
    std::size_t number;  // 0: none
  };
  const Case cases[] = {
      {"near miss, then a match", dashes + "\n" + dashes + "X\n",
       times("-", 3000) + "x", 2},
      {"no match at all", dashes + "\n" + dashes + "y", times("-", 3000) + "x",
       0},
      {"periodic, not across a LF",
       times("ab", 3000) + "\nx\n" + times("AB", 100) + "X",
       times("ab", 100) + "x", 3},
      {"a CR that ends the line is not in it",
       dashes + "\r\n" + dashes + "\r-\n", times("-", 2000) + "\r", 2},
      {"a CR at the very end stays", dashes + "\n" + dashes + "\r",
       times("-", 100) + "\r", 2},
      {"query longer than every line", dashes + "\n" + dashes, times("-", 5001),
       0},
      {"non-ASCII, periodic", e_acute + "\n" + times("É", 400) + "X",
       times("é", 300) + "x", 2},
      {"non-ASCII, two-character period",
       times(times("éa", 399) + "éb", 8) + "\n" + times("ÉA", 500) + "É",
       times("éa", 400) + "é", 2},
      {"final sigma only where no letter follows",
       times("ΑΣ", 3000) + "Β\n" + times("ΑΣ", 3000), times("ασ", 1000) + "ας",
       2},
      {"small sigma only where a letter follows",
       times("ΑΣ", 3000) + "\n" + times("ΑΣ", 3000) + "Β",
       times("ασ", 1000) + "β", 2},
      {"Kelvin signs",
       times("\u212A", 3000) + "\n" + times("\u212A", 3000) + "x",
       times("k", 2000) + "x", 2},
      {"capital I with dot, lengthened",
       times("İ", 3000) + "\n" + times("İ", 1000) + "X",
       times("i\u0307", 900) + "x", 2},
      {"capital I with dot after an ASCII run", dashes + "J\n" + dashes + "İ",
       times("-", 3000) + "i", 2},
      {"match on the first line, far in", dashes + "x\n" + dashes + "x",
       times("-", 4000) + "x", 1},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(is_valid_utf8(c.note)) << c.name;
    const auto want = icu_first_match(c.note, c.query);
    ASSERT_EQ(want ? want->number : 0, c.number) << c.name;
    for (const Knobs& knobs : kVariants) {
      EXPECT_EQ(finder_match(c.note, c.query, knobs), want)
          << c.name << ", " << describe(knobs);
    }
  }
}

TEST(LineFinder, NeverMatchesAQueryHoldingALineFeed) {
  for (const char* query : {"a\nb", "\n", "Σ\n"}) {
    auto finder = LineFinder::make(query);
    ASSERT_TRUE(finder.has_value());
    EXPECT_FALSE(finder->can_match()) << query;
    EXPECT_EQ(finder_match("a\nb\n", query), std::nullopt);
  }
  for (const char* query : {"a\rb", "a", "Σ"}) {
    auto finder = LineFinder::make(query);
    ASSERT_TRUE(finder.has_value());
    EXPECT_TRUE(finder->can_match()) << query;
  }
}

}  // namespace
}  // namespace vestigor_mcp
