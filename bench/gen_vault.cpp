// gen_vault: writes a deterministic benchmark vault.
//
//   gen_vault DIR [NOTES]
//
// DIR must not exist yet. Writes 10,000 notes (or NOTES, the hidden ones
// and the sizes in the same proportions) (about 135 MB) in nested
// folders, 400 of them hidden (in .trash/, .obsidian/, or named .draft-*),
// about a third holding non-ASCII text (accented Latin, Greek with final
// sigma, Cyrillic, CJK, emoji, the Kelvin sign, I with dot), one in twenty
// with CR LF line ends, a few large ones. The rare word "QuasarWick" stands
// in exactly three visible notes late in path order, and once in a hidden
// note; the common word "project" is in nearly every note, seldom on its
// first line. No note holds the Greek word "ωκεανός" or the German
// "Straßenbahn" (whose letters all occur), so searching for them reads
// every note. The same DIR content comes out on every run and machine.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bench_support.hpp"
#include "support/path_order.hpp"

namespace {

using vestigor_bench::Random;
using vestigor_mcp::testing::path_less;

constexpr int kNotes = 10000;
constexpr int kHidden = 400;
constexpr std::string_view kRare = "QuasarWick";

const std::vector<std::string_view> kWords = {
    "the",      "of",        "and",     "to",        "in",        "is",
    "that",     "for",       "it",      "as",        "with",      "was",
    "on",       "be",        "at",      "by",        "this",      "had",
    "not",      "are",       "but",     "from",      "or",        "have",
    "an",       "they",      "which",   "one",       "you",       "were",
    "all",      "we",        "when",    "there",     "can",       "been",
    "has",      "more",      "if",      "will",      "would",     "about",
    "into",     "then",      "them",    "some",      "could",     "these",
    "two",      "may",       "first",   "time",      "other",     "only",
    "new",      "work",      "note",    "notes",     "agent",     "context",
    "decision", "design",    "review",  "meeting",   "release",   "deploy",
    "server",   "client",    "request", "response",  "cache",     "index",
    "search",   "query",     "vault",   "folder",    "markdown",  "thread",
    "state",    "open",      "closed",  "todo",      "done",      "blocked",
    "follow",   "up",        "team",    "owner",     "deadline",  "budget",
    "risk",     "issue",     "bug",     "fix",       "test",      "tests",
    "build",    "pipeline",  "latency", "memory",    "storage",   "backup",
    "restore",  "migration", "schema",  "database",  "table",     "column",
    "config",   "option",    "default", "value",     "error",     "warning",
    "log",      "trace",     "metric",  "alert",     "customer",  "feedback",
    "roadmap",  "quarter",   "weekly",  "daily",     "summary",   "idea",
    "draft",    "outline",   "chapter", "reference", "source",    "link",
    "Alice",    "Bob",       "Carol",   "Dave",      "Eve",       "Mallory",
    "Trent",    "Peggy",     "Monday",  "Tuesday",   "Wednesday", "Thursday",
    "Friday",   "API",       "HTTP",    "JSON",      "SQL",       "TLS",
    "DNS",      "CPU",       "RAM",     "SSD",       "v2",        "2026",
    "42",
};

const std::vector<std::string_view> kForeign = {
    "café",  "naïve",    "Grüße",      "Straße",   "München", "Ångström",
    "señor", "façade",   "Łódź",       "İstanbul", "ΛΌΓΟΣ",   "λόγος",
    "ΟΔΟΣ",  "Память",   "заметка",    "記憶",     "メモ",    "한국어",
    "📝",     "🚀",        "300\u212A",  // Kelvin sign
    "—",     "“quoted”", "\u00A0nbsp", "→",
};

const std::vector<std::string_view> kTop = {
    "areas",    "archive",   "daily", "meetings",     "people",
    "projects", "resources", "Inbox", "Zettelkasten",
};

std::string pseudo_word(Random& random) {
  static const char* const kSyllables[] = {
      "ka", "lo", "mi", "ne", "ru", "ta", "ve", "zo", "pa", "di", "go", "he",
      "bo", "fi", "ju", "le", "mo", "ni", "po", "re", "si", "tu", "ya", "xe"};
  std::string w;
  const std::size_t n = 2 + random.below(3);
  for (std::size_t i = 0; i < n; ++i) {
    w += kSyllables[random.below(std::size(kSyllables))];
  }
  return w;
}

// Up to two levels below a top folder: eight names to choose from at the
// first, four at the second, so about 400 folders hold the notes.
std::string folder(Random& random, const std::vector<std::string>& names) {
  std::string path(kTop[random.below(kTop.size())]);
  const std::size_t roll = random.below(10);
  if (roll >= 2) {
    path += "/" + names[random.below(8)];
  }
  if (roll >= 6) {
    path += "/" + names[8 + random.below(4)];
  }
  return path;
}

std::string line(Random& random, bool foreign, std::size_t index) {
  std::string text;
  const std::size_t kind = random.below(10);
  if (kind == 0) {
    return text;  // blank
  }
  if (kind == 1) {
    text = "## ";
  } else if (kind < 5) {
    text = random.chance(4) ? "- [ ] " : "- ";
  }
  const std::size_t words = 4 + random.below(kind >= 5 ? 30 : 10);
  for (std::size_t w = 0; w < words; ++w) {
    if (w > 0) {
      text += ' ';
    }
    if (foreign && random.chance(6)) {
      text += kForeign[random.below(kForeign.size())];
    } else if (random.chance(9)) {
      text += pseudo_word(random);
    } else if (random.chance(40)) {
      text += "[[note-" + std::to_string(random.below(kNotes)) + "]]";
    } else {
      text += kWords[random.below(kWords.size())];
    }
  }
  // "project" shows up in nearly every note, though rarely on line one.
  if (index > 0 && random.chance(25)) {
    text += random.chance(2) ? " Project" : " project";
  }
  return text;
}

struct Note {
  std::string path;  // relative to the vault
  std::uint64_t seed = 0;
  std::size_t size = 0;
  bool hidden = false;
  bool rare = false;
};

std::string body(const Note& note) {
  Random random(note.seed);
  const bool foreign = random.chance(3);
  const bool crlf = random.chance(20);
  std::vector<std::string> lines;
  lines.push_back("# " + pseudo_word(random) + " " +
                  std::string(kWords[random.below(kWords.size())]));
  std::size_t size = lines.back().size();
  while (size < note.size) {
    lines.push_back(line(random, foreign, lines.size()));
    size += lines.back().size() + 1;
  }
  if (note.rare) {
    // Late in the note, so the whole note is read before it is found.
    std::string& target = lines[lines.size() * 4 / 5];
    target += " see " + std::string(kRare) + " for details";
  }
  std::string text;
  for (const std::string& l : lines) {
    text += l;
    text += crlf ? "\r\n" : "\n";
  }
  return text;
}

bool write_file(const std::string& path, const std::string& text) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0755);
  }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    return false;
  }
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc == 3 ? std::atoi(argv[2]) : kNotes;
  if ((argc != 2 && argc != 3) || count < 100) {
    std::fprintf(stderr, "usage: gen_vault DIR [NOTES, 100 or more]\n");
    return 2;
  }
  const int hidden = count / (kNotes / kHidden);
  const std::string root = argv[1];
  if (::mkdir(root.c_str(), 0755) != 0) {
    std::fprintf(stderr, "gen_vault: cannot create %s (must not exist)\n",
                 root.c_str());
    return 1;
  }
  Random random(20261207);
  std::vector<std::string> folder_names = {"topic-1", "topic-2", "topic-10"};
  while (folder_names.size() < 12) {
    folder_names.push_back(pseudo_word(random));
  }
  std::vector<Note> notes;
  for (int i = 0; i < count; ++i) {
    Note note;
    note.seed = random.next();
    note.hidden = i < hidden;
    std::string dir = folder(random, folder_names);
    std::string name = "note-" + std::to_string(i) + ".md";
    if (note.hidden) {
      const std::size_t where = random.below(3);
      if (where == 0) {
        dir = ".trash/" + dir;
      } else if (where == 1) {
        dir += "/.obsidian";
      } else {
        name = ".draft-" + name;
      }
    }
    note.path = dir + "/" + name;
    // Mostly 2 to 19 KB; one in 200 between 64 KB and 1 MB.
    note.size = random.chance(200) ? 65536 + random.below(983040)
                                   : 2000 + random.below(17000);
    notes.push_back(std::move(note));
  }
  std::sort(notes.begin(), notes.end(), [](const Note& a, const Note& b) {
    return path_less(a.path, b.path);
  });
  // The rare word: three visible notes at 90%, 95% and 99% of path order,
  // and one hidden note that no search may report.
  std::vector<std::size_t> visible;
  for (std::size_t i = 0; i < notes.size(); ++i) {
    if (!notes[i].hidden) {
      visible.push_back(i);
    }
  }
  for (std::size_t percent : {90U, 95U, 99U}) {
    notes[visible[visible.size() * percent / 100]].rare = true;
  }
  for (Note& note : notes) {
    if (note.hidden) {
      note.rare = true;
      break;
    }
  }
  std::size_t total = 0;
  std::size_t largest = 0;
  for (const Note& note : notes) {
    const std::string text = body(note);
    total += text.size();
    largest = std::max(largest, text.size());
    if (!write_file(root + "/" + note.path, text)) {
      std::fprintf(stderr, "gen_vault: cannot write %s\n", note.path.c_str());
      return 1;
    }
  }
  std::printf("%d notes (%d hidden), %zu bytes, largest %zu bytes\n", count,
              hidden, total, largest);
  for (const Note& note : notes) {
    if (note.rare) {
      std::printf("rare word in %s\n", note.path.c_str());
    }
  }
  return 0;
}
