// The search's building blocks: path order, the walk, and the line finder,
// whose fast paths are checked against plain per-line ICU lowering.
#include "tools/search.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/ucasemap.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "util/unicode.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp {
namespace {

using testing::TempVault;

// ---- The plain reference: every line lowered by ICU on its own ----

std::string icu_lower(std::string_view text) {
  UErrorCode error = U_ZERO_ERROR;
  UCaseMap* map = ucasemap_open("", 0, &error);
  std::string out(text.size() * 3 + 16, '\0');
  const int32_t n = ucasemap_utf8ToLower(
      map, out.data(), static_cast<int32_t>(out.size()), text.data(),
      static_cast<int32_t>(text.size()), &error);
  ucasemap_close(map);
  EXPECT_TRUE(U_SUCCESS(error)) << u_errorName(error);
  out.resize(U_SUCCESS(error) ? static_cast<std::size_t>(n) : 0);
  return out;
}

struct Found {
  std::size_t number;
  std::string text;
  friend bool operator==(const Found&, const Found&) = default;
};

std::optional<Found> reference_match(std::string_view content,
                                     std::string_view query) {
  const std::string lowered_query = icu_lower(query);
  std::size_t number = 0;
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    const bool has_lf = end != std::string_view::npos;
    if (!has_lf) {
      end = content.size();
    }
    std::string_view line = content.substr(start, end - start);
    if (has_lf && line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    ++number;
    if (icu_lower(line).find(lowered_query) != std::string::npos) {
      return Found{number, std::string(line)};
    }
    start = end + 1;
  }
  return std::nullopt;
}

std::optional<Found> finder_match(std::string_view content,
                                  std::string_view query, std::size_t chunk) {
  LineFinder finder(query, chunk);
  const auto m = finder.first_match(content);
  if (!m) {
    return std::nullopt;
  }
  return Found{m->number, std::string(m->text)};
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
    if (std::any_of(lowered.begin(), lowered.end(),
                    [](char b) { return static_cast<unsigned char>(b) < 0x80; })) {
      to_ascii.push_back(c);
    }
  }
  EXPECT_EQ(to_ascii, (std::vector<UChar32>{0x130, 0x212A}));
  EXPECT_TRUE(to_empty.empty());
  EXPECT_EQ(icu_lower("\xC4\xB0"), "i\xCC\x87");
  EXPECT_EQ(icu_lower("\xE2\x84\xAA"), "k");
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
  EXPECT_EQ(icu_lower("\xCE\x91\xCE\xA3\n\xCE\x91"),  // ΑΣ LF Α
            icu_lower("\xCE\x91\xCE\xA3") + "\n" + icu_lower("\xCE\x91"));
}

// ---- The line finder against the reference ----

// Lines chosen to trip the fast paths: letters whose lower-case forms
// differ in length or reach ASCII, sigma in every position, CRs.
const char* const kLines[] = {
    "",
    "plain ascii line with Kelvin",
    "\xE2\x84\xAA" "elvin sign",                     // Kelvin sign + elvin
    "temperature 300 \xE2\x84\xAA",                  // ... 300 K-sign
    "\xC4\xB0stanbul",                               // İstanbul
    "I\xCC\x87 already decomposed",                  // I + U+0307
    "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3",              // ΟΔΟΣ (final)
    "\xCE\xA3\xCE\x91\xCE\xA3 \xCE\xA3",             // ΣΑΣ Σ
    "\xCE\x91\xCE\xA3'",                             // ΑΣ' (ignorable after)
    "\xCE\x91\xCE\xA3\xCE\x91",                      // ΑΣΑ (not final)
    "\xCF\x83\xCF\x82 mixed \xCE\xA3.",              // σς mixed Σ.
    "stra\xC3\x9F" "e STRASSE",                      // straße STRASSE
    "Gr\xC3\xBC\xC3\x9F" "e aus M\xC3\xBC" "nchen",  // Grüße aus München
    "\xE2\x84\xA6 ohm and \xE2\x85\xA0 numeral",     // Ω-sign, Roman one
    "\xC7\x85 titlecase dz",                         // ǅ
    "a\rb inner cr",
    "\r",
    "ends in cr\r",
    "\tindented ALPHA line ",
    "\xEF\xAC\x80 ligature",                         // ﬀ
    "\xF0\x90\x90\x80 deseret",                      // 𐐀 (lowers to 𐐨)
    "\xE1\x84\xAA jamo, not a Kelvin sign",          // ᄪ: bytes 84 AA
};

const char* const kQueries[] = {
    "k",    "K",      "kelvin",  "300 k", "\xE2\x84\xAA",     "ELVIN",
    "i",    "istanbul", "\xC4\xB0", "i\xCC\x87", "I\xCC\x87", "\xCC\x87",
    "\xCF\x83", "\xCF\x82", "\xCE\xA3", "\xCE\xBF\xCF\x82", "\xCE\x91\xCE\xA3",
    "\xCF\x83\xCE\xB1", "ss",  "\xC3\x9F", "SS", "stra\xC3\x9F",
    "\xCF\x89", "\xE2\x85\xB0", "\xC7\x86", "alpha", " alpha", "ALPHA ",
    "a\rb", "\r", "cr\r", "in cr", "x\ny", "line", "e\r", "\xF0\x90\x90\xA8",
    "\xEF\xAC\x80", "dz", "mixed \xCF\x83.",
};

std::vector<std::string> corpus() {
  std::vector<std::string> files = {
      "", "\n", "\r\n", "\r", "x\r", "\n\n\nalpha", "ALPHA\r\n\r\n",
      "\xCE\x91\xCE\xA3\r\n\xCE\x91", "\xCE\x91\xCE\xA3\r\r\n",
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

TEST(LineFinder, AgreesWithPerLineIcuLoweringOnTrickyText) {
  const std::vector<std::string> files = corpus();
  int compared = 0;
  int matched = 0;
  for (const std::string& file : files) {
    ASSERT_TRUE(is_valid_utf8(file));
    for (const char* query : kQueries) {
      const auto want = reference_match(file, query);
      matched += want ? 1 : 0;
      // Small chunks put run boundaries on every line.
      for (std::size_t chunk : {std::size_t{1}, std::size_t{5}, kSearchChunkBytes}) {
        const auto got = finder_match(file, query, chunk);
        ++compared;
        ASSERT_EQ(got, want) << "query [" << query << "] chunk " << chunk
                             << " file [" << file << "]: got " << describe(got)
                             << ", want " << describe(want);
      }
    }
  }
  // The corpus must exercise both outcomes.
  EXPECT_GT(matched, compared / 20);
  EXPECT_LT(matched, compared / 3);
}

TEST(LineFinder, FindsMatchesAcrossChunkBoundariesOfLongNotes) {
  std::string note;
  for (int i = 0; i < 20000; ++i) {
    note += i % 7 == 0 ? "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3 line\r\n"
                       : "an ordinary line of text\n";
  }
  note += "the \xE2\x84\xAA" "ey line\n";
  note += "\xCE\xB4\xCF\x81\xCF\x8C\xCE\xBC\xCE\x9F\xCE\xA3 end";  // δρόμΟΣ
  struct Case {
    const char* query;
    std::size_t number;
  };
  const Case cases[] = {{"KEY", 20001}, {"\xCE\xBF\xCF\x82 end", 20002},
                        {"\xCE\xBF\xCF\x82 line", 1}, {"text\n", 0}};
  for (const Case& c : cases) {
    for (std::size_t chunk : {std::size_t{100}, kSearchChunkBytes}) {
      const auto got = finder_match(note, c.query, chunk);
      EXPECT_EQ(got ? got->number : 0, c.number) << c.query << " " << chunk;
      EXPECT_EQ(got, reference_match(note, c.query)) << c.query;
    }
  }
}

TEST(LineFinder, StaysWithinInvalidUtf8) {
  // The search checks the encoding only of notes that match; the finder
  // must cope with any bytes, truncated sequences at the end included.
  for (const char* tail : {"\xE2\x84", "\xC4", "\xFF\xFE", "\xCE", "\xED\xA0\x80"}) {
    for (const char* query : {"alpha", "\xCF\x83", "a\rb"}) {
      const std::string note = std::string("alpha \xCF\x83 a\rb\n") + tail;
      EXPECT_EQ(finder_match(note, query, 4), (Found{1, "alpha \xCF\x83 a\rb"}))
          << query;
      EXPECT_EQ(finder_match(std::string("x\n") + tail, query, 4), std::nullopt);
    }
  }
}

TEST(LineFinder, NeverMatchesAQueryHoldingALineFeed) {
  EXPECT_FALSE(LineFinder("a\nb").can_match());
  EXPECT_TRUE(LineFinder("a\rb").can_match());
  EXPECT_TRUE(LineFinder("a").can_match());
}

// ---- Path order ----

TEST(PathLess, ComparesComponentByComponentAsUnsignedBytes) {
  struct Case {
    const char* a;
    const char* b;
  };
  // Each a sorts strictly before its b.
  const Case cases[] = {
      {"v/B.md", "v/a.md"},          {"v/a/b.md", "v/a.md"},
      {"v/a/z.md", "v/a-b.md"},      {"v/a/z.md", "v/a.b/a.md"},
      {"v/a", "v/a/b"},              {"v/z.md", "v/\xC3\xA9.md"},
      {"/v/x/y/z.md", "/v/x/y0.md"}, {"v/a b.md", "v/a.md"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(path_less(c.a, c.b)) << c.a << " < " << c.b;
    EXPECT_FALSE(path_less(c.b, c.a)) << c.b << " < " << c.a;
  }
  EXPECT_FALSE(path_less("v/a.md", "v/a.md"));
}

// ---- The walk ----

std::vector<std::string> walk(const TempVault& vault, const std::string& root) {
  std::vector<std::string> files;
  collect_md(root, files);
  std::vector<std::string> relative;
  for (const std::string& f : files) {
    EXPECT_TRUE(f.starts_with(vault.path() + "/")) << f;
    relative.push_back(f.substr(vault.path().size() + 1));
  }
  return relative;
}

TEST(CollectMd, ListsVisibleNotesInPathOrder) {
  TempVault vault;
  for (const char* name : {"a.md", "a/b.md", "B.md", "a-b.md", "a/z.md", "x.md/in.md",
                           "NOTE.MD", "a.Md", "trail.", "plain", ".hidden.md",
                           ".cache/x.md", "d/.git/y.md", "d/e/f.md", "md", ".md"}) {
    vault.write(name, "text");
  }
  vault.symlink("d", "link-to-d");
  vault.symlink("a.md", "link.md");
  vault.symlink("missing.md", "broken.md");
  ASSERT_EQ(::mkfifo(vault.at("pipe.md").c_str(), 0600), 0);
  // d is walked once, as d (before link-to-d); pipes and broken links are
  // no notes.
  EXPECT_EQ(walk(vault, vault.path()),
            (std::vector<std::string>{"B.md", "a/b.md", "a/z.md", "a-b.md",
                                      "a.md", "d/e/f.md", "link.md",
                                      "x.md/in.md"}));
  // With a trailing slash the paths get no doubled separator.
  EXPECT_EQ(walk(vault, vault.path() + "/").size(), 8U);
}

TEST(CollectMd, EntersEachRealDirectoryOnceSoLinkCyclesEnd) {
  TempVault vault;
  vault.write("n/top.md", "x");
  vault.write("n/sub/deep.md", "x");
  vault.symlink("..", "n/sub/up");      // cycle back to n
  vault.symlink("../..", "n/sub/root");  // cycle back to the vault
  vault.symlink(".", "n/self");
  vault.symlink("n/sub", "z");          // a second way into n/sub
  EXPECT_EQ(walk(vault, vault.path()),
            (std::vector<std::string>{"n/sub/deep.md", "n/top.md"}));
}

TEST(CollectMd, WalksTreesDeeperThanTheDescriptorsItHolds) {
  // Past 64 levels folders are opened by full path instead of relative
  // to their parent; links are followed there as well.
  TempVault vault;
  std::string deep;
  for (int i = 0; i < 80; ++i) {
    deep += "d/";
    if (i == 70) {
      vault.write(deep + "mid.md", "x");
      vault.symlink("../../../../..", deep + "up");
      vault.symlink("mid.md", deep + "same.md");
    }
  }
  vault.write(deep + "bottom.md", "x");
  const std::vector<std::string> found = walk(vault, vault.path());
  ASSERT_EQ(found.size(), 3U);
  EXPECT_TRUE(found[0].ends_with("/d/bottom.md")) << found[0];
  EXPECT_EQ(found[0].size(), deep.size() + 9);
  EXPECT_TRUE(found[1].ends_with("/d/mid.md")) << found[1];
  EXPECT_TRUE(found[2].ends_with("/d/same.md")) << found[2];
}

TEST(CollectMd, AbsorbsWhatCannotBeListed) {
  TempVault vault;
  vault.write("file.md", "x");
  std::vector<std::string> files;
  collect_md("", files);
  collect_md(vault.at("missing"), files);
  collect_md(vault.at("file.md"), files);
  EXPECT_TRUE(files.empty());
}

}  // namespace
}  // namespace vestigor_mcp
