// The search tool through the binary, against real temporary vaults.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "support/files.hpp"
#include "support/refuse_io_uring.hpp"
#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

std::string search_line(int id, std::string_view query) {
  return tool_call_input(id, "search", string_arguments("query", query));
}

// The reply lines for the given queries, one search each.
Lines search(const std::vector<std::string>& queries,
             const RunOptions& options) {
  std::string input;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    input += search_line(static_cast<int>(i + 1), queries[i]);
  }
  const RunResult r = run_server(input, options);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0);
  return r.out_lines();
}

std::string found(int id, std::string_view query, const Lines& matches) {
  std::string text = std::to_string(matches.size()) + " file match(es) for \"" +
                     std::string(query) + "\":\n\n";
  for (std::size_t i = 0; i < matches.size(); ++i) {
    text += (i > 0 ? "\n" : "") + matches[i];
  }
  return tool_result_line(id, text, false);
}

std::string none(int id, std::string_view query) {
  return tool_result_line(id, "No matches for \"" + std::string(query) + "\".",
                          false);
}

TEST(Search, ReportsTheFirstMatchingLineOfEachNoteInPathOrder) {
  TempVault vault;
  vault.write("a.md", "alpha in a\n");
  vault.write("a/b.md",
              "\n\nALPHA on three\nline\nfive\nsix\nalpha on seven\n");
  vault.write("B.md", "\t- Alpha \r\nmore alpha\n");
  vault.write("a/z.md", "x\r\nthe end aLpHa\r");  // CR at the end, no LF
  vault.write("a-b.md", "no match here\n");
  vault.write("c.md", "a\rAlpha\r\r\n");  // inner CR kept, one CR dropped
  EXPECT_EQ(search({"ALPHA", "beta"}, in_vault(vault.path())),
            (Lines{found(1, "ALPHA",
                         {"B.md:1: - Alpha", "a/b.md:3: ALPHA on three",
                          "a/z.md:2: the end aLpHa", "a.md:1: alpha in a",
                          "c.md:1: a\rAlpha"}),
                   none(2, "beta")}));
}

TEST(Search, UsesTheQueryUntrimmedForMatchingAndInTheReply) {
  TempVault vault;
  vault.write("one.md", "alpha at the start\n");
  vault.write("two.md", "first\nsee alpha here\n");
  EXPECT_EQ(
      search({" alpha", "say \"hi\"\nbye", "alpha\t"}, in_vault(vault.path())),
      (Lines{found(1, " alpha", {"two.md:2: see alpha here"}),
             none(2, "say \"hi\"\nbye"), none(3, "alpha\t")}));
}

TEST(Search, TestsTheQueryBeforeLookingForTheVault) {
  const std::string input =
      tool_call_line(1, "search", "{}") + "\n" +
      tool_call_line(2, "search", "{\"query\":7}") + "\n" +
      tool_call_line(3, "search", "{\"query\":\"\"}") + "\n" +
      tool_call_line(4, "search", "{\"query\":\"   \"}") + "\n" +
      tool_call_line(5, "search", "{\"query\":\"\\u3000\\u00a0\\r\\n\"}") +
      "\n" + search_line(6, "alpha");
  const RunResult r = run_server(input);  // VESTIGOR_VAULT unset
  const std::string empty = "Error: query is empty";
  EXPECT_EQ(
      r.out_lines(),
      (Lines{tool_result_line(1, empty, true), tool_result_line(2, empty, true),
             tool_result_line(3, empty, true), tool_result_line(4, empty, true),
             tool_result_line(5, empty, true),
             tool_result_line(6, "Error: VESTIGOR_VAULT env var is not set",
                              true)}));
}

TEST(Search, SkipsHiddenNamesOtherExtensionsAndInvalidUtf8) {
  VESTIGOR_SKIP_UNDER_WINE(
      "a Linux name holding a backslash has no Windows name");
  TempVault vault;
  vault.write(".cache/x.md", "alpha\n");
  vault.write(".hidden.md", "alpha\n");
  vault.write("sub/.git/y.md", "alpha\n");
  vault.write("Notes.MD", "alpha\n");
  vault.write("note.txt", "alpha\n");
  vault.write("md", "alpha\n");
  vault.write("bad.md", "alpha\n\xFF\n");
  vault.write("surrogate.md", "alpha \xED\xA0\x80\n");
  vault.write("x.md/inner.md", "an alpha inside\n");
  vault.write("back\\slash.md", "alpha with a backslash\n");
  vault.write("caf\xC3\xA9.md", "Alpha caf\xC3\xA9\n");
  vault.write("odd\xFF.md", "alpha odd\n");
  EXPECT_EQ(search({"alpha"}, in_vault(vault.path())),
            (Lines{found(1, "alpha",
                         {"back/slash.md:1: alpha with a backslash",
                          "caf\xC3\xA9.md:1: Alpha caf\xC3\xA9",
                          "odd\xEF\xBF\xBD.md:1: alpha odd",
                          "x.md/inner.md:1: an alpha inside"})}));
}

std::string two_digits(int i) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", i);
  return buf;
}

TEST(Search, StopsAtFiftyMatchingNotes) {
  TempVault vault;
  for (int i = 0; i < 60; ++i) {
    const std::string n = two_digits(i);
    vault.write("n" + n + ".md", "title\nline " + n + " with alpha\n");
  }
  const Lines out = search({"ALPHA"}, in_vault(vault.path()));
  Lines matches;
  for (int i = 0; i < 50; ++i) {
    const std::string n = two_digits(i);
    matches.push_back("n" + n + ".md:2: line " + n + " with alpha");
  }
  EXPECT_EQ(out, (Lines{found(1, "ALPHA", matches)}));
}

TEST(Search, FindsNothingInAnEmptyMissingOrNonDirectoryVault) {
  TempVault vault;
  vault.write("here.md", "alpha\n");
  RunOptions empty = in_vault("");
  empty.cwd = vault.path();  // the working directory is not searched instead
  EXPECT_EQ(search({"alpha"}, empty), (Lines{none(1, "alpha")}));
  EXPECT_EQ(search({"alpha"}, in_vault(vault.at("missing"))),
            (Lines{none(1, "alpha")}));
  EXPECT_EQ(search({"alpha"}, in_vault(vault.at("here.md"))),
            (Lines{none(1, "alpha")}));
  // A trailing slash and a relative path name the same vault.
  RunOptions relative = in_vault(".//");
  relative.cwd = vault.path();
  EXPECT_EQ(search({"alpha"}, relative),
            (Lines{found(1, "alpha", {"here.md:1: alpha"})}));
}

TEST(Search, LowersWithFullUnicodeMappings) {
  TempVault vault;
  vault.write("city.md", "\xC4\xB0stanbul\n");                    // İstanbul
  vault.write("greek.md", "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3\n");  // ΟΔΟΣ
  vault.write("kelvin.md", "300 \xE2\x84\xAA\n");                 // 300 K-sign
  vault.write("street.md",
              "Stra\xC3\x9F"
              "e\n");  // Straße
  EXPECT_EQ(
      search(
          {"i", "istanbul", "300 k", "STRASSE", "STRAẞE",
           "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82", "\xCE\xA3", "\xCE\x9F\xCE\xA3"},
          in_vault(vault.path())),
      (Lines{found(1, "i", {"city.md:1: \xC4\xB0stanbul"}),
             none(2, "istanbul"),  // İ lowers to i + U+0307
             found(3, "300 k", {"kelvin.md:1: 300 \xE2\x84\xAA"}),
             none(4, "STRASSE"),
             found(5, "STRAẞE",
                   {"street.md:1: Stra\xC3\x9F"
                    "e"}),
             found(6, "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82",
                   {"greek.md:1: \xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"}),
             none(7, "\xCE\xA3"),  // a lone Σ lowers to σ, the note's to ς
             found(8, "\xCE\x9F\xCE\xA3",
                   {"greek.md:1: \xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3"})}));
}

TEST(Search, CountsLinesThroughLongNotes) {
  TempVault vault;
  std::string note;
  for (int i = 0; i < 30000; ++i) {
    note += i % 3 == 0 ? "\xCE\xB1\xCE\xB2\xCE\xB3 gamma\r\n" : "plain words\n";
  }
  note += "  the Needle line\r\n";
  vault.write("long.md", note);
  EXPECT_EQ(search({"needle", "\xCE\xB3 GAMMA"}, in_vault(vault.path())),
            (Lines{found(1, "needle", {"long.md:30001: the Needle line"}),
                   found(2, "\xCE\xB3 GAMMA",
                         {"long.md:1: \xCE\xB1\xCE\xB2\xCE\xB3 gamma"})}));
}

TEST(Search, PassesOverPipesAndEndsInLinkCycles) {
  TempVault vault;
  vault.write("a/note.md", "alpha\n");
  vault.write("z.md", "alpha\n");
  ASSERT_EQ(::mkfifo(vault.at("fifo.md").c_str(), 0600), 0);
  vault.symlink("fifo.md", "link-to-fifo.md");
  for (const char* name : {"a/up1", "a/up2", "a/up3", "a/root"}) {
    vault.symlink(std::string(name) == "a/root" ? vault.path() : "..", name);
  }
  vault.symlink("a", "b");  // a second name for a, walked as a copy would be
  EXPECT_EQ(search({"alpha"}, in_vault(vault.path())),
            (Lines{found(1, "alpha",
                         {"a/note.md:1: alpha", "b/note.md:1: alpha",
                          "z.md:1: alpha"})}));
}

TEST(Search, ReportsEveryPathToASharedFolder) {
  TempVault vault;
  vault.write("shared/n.md", "one\nthe Alpha note\n");
  vault.symlink("shared", "a");
  vault.symlink("../shared", "b/link");
  EXPECT_EQ(
      search({"alpha"}, in_vault(vault.path())),
      (Lines{found(1, "alpha",
                   {"a/n.md:2: the Alpha note", "b/link/n.md:2: the Alpha note",
                    "shared/n.md:2: the Alpha note"})}));
}

TEST(Search, ReadsNotesBelowPathsLongerThanTheSystemTakes) {
  VESTIGOR_SKIP_UNDER_WINE(
      "Wine opens every path as one Linux path, which Linux limits to 4096 "
      "bytes");
  // 200 nested folders of 24-byte names: the deepest note's path is some
  // 5,000 bytes long, past what one system call accepts.
  TempVault vault;
  const std::string name = "a-folder-with-long-name";
  int fd = ::open(vault.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::string shown;
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
    const int next =
        ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    ASSERT_GE(next, 0);
    fd = next;
    shown += name + "/";
  }
  const int note =
      ::openat(fd, "deep.md", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(note, 0);
  const std::string text = "top\r\n  found ALPHA at the bottom\r\n";
  ASSERT_EQ(::write(note, text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
  ::close(note);
  ::close(fd);
  vault.write("z.md", "alpha\n");
  ASSERT_GT(vault.path().size() + shown.size(), 4096U);
  EXPECT_EQ(search({"alpha", "\xCE\xB1"}, in_vault(vault.path())),
            (Lines{found(1, "alpha",
                         {shown + "deep.md:2: found ALPHA at the bottom",
                          "z.md:1: alpha"}),
                   none(2, "\xCE\xB1")}));
  const int top =
      ::open(vault.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(top, 0);
  remove_inside(top);
  ::close(top);
}

TEST(Search, MatchesNonAsciiQueriesAsFullLoweringDoes) {
  TempVault vault;
  vault.write("ohm.md", "R = 5 \xE2\x84\xA6\r\n");  // Ohm sign
  vault.write(
      "sea.md",
      "x\n\xCE\xA9\xCE\xBA\xCE\xB5\xCE\xB1\xCE\xBD\xCF\x8C\xCE\xA3\r\n");
  vault.write("sharp.md",
              "\xE1\xBA\x9E"
              "E\n");  // ẞE
  vault.write("cjk.md", "\xE8\xA8\x98\xE6\x86\xB6 \xE3\x83\xA1\xE3\x83\xA2\n");
  vault.write("kelvin.md",
              "a\n5 \xE2\x84\xAA"
              "ELVIN\n");
  EXPECT_EQ(
      search(
          {"\xCF\x89",                                                  // ω
           "\xCF\x89\xCE\xBA\xCE\xB5\xCE\xB1\xCE\xBD\xCF\x8C\xCF\x82",  // ωκεανός
           "\xCF\x89\xCE\xBA\xCE\xB5\xCE\xB1\xCE\xBD\xCF\x8C\xCF\x83",  // ...σ
           "\xC3\x9F"
           "e",
           "\xE3\x83\xA1\xE3\x83\xA2", "5 kelvin",
           "\xE2\x84\xAA"
           "ELVIN"},
          in_vault(vault.path())),
      (Lines{
          found(1, "\xCF\x89",
                {"ohm.md:1: R = 5 \xE2\x84\xA6",
                 "sea.md:2: \xCE\xA9\xCE\xBA\xCE\xB5\xCE\xB1"
                 "\xCE\xBD\xCF\x8C\xCE\xA3"}),
          found(2, "\xCF\x89\xCE\xBA\xCE\xB5\xCE\xB1\xCE\xBD\xCF\x8C\xCF\x82",
                {"sea.md:2: \xCE\xA9\xCE\xBA\xCE\xB5\xCE\xB1\xCE\xBD\xCF\x8C"
                 "\xCE\xA3"}),
          none(3, "\xCF\x89\xCE\xBA\xCE\xB5\xCE\xB1\xCE\xBD\xCF\x8C\xCF\x83"),
          found(4,
                "\xC3\x9F"
                "e",
                {"sharp.md:1: \xE1\xBA\x9E"
                 "E"}),
          found(
              5, "\xE3\x83\xA1\xE3\x83\xA2",
              {"cjk.md:1: \xE8\xA8\x98\xE6\x86\xB6 \xE3\x83\xA1\xE3\x83\xA2"}),
          found(6, "5 kelvin",
                {"kelvin.md:2: 5 \xE2\x84\xAA"
                 "ELVIN"}),
          found(7,
                "\xE2\x84\xAA"
                "ELVIN",
                {"kelvin.md:2: 5 \xE2\x84\xAA"
                 "ELVIN"})}));
}

TEST(Search, SkipsWhatItMayNotRead) {
  VESTIGOR_SKIP_UNDER_WINE(
      "uid switching: Wine serves only the user who owns its prefix");
  TempVault vault;
  vault.write("open/a.md", "alpha\n");
  vault.write("shut/b.md", "alpha\n");
  vault.write("secret.md", "alpha\n");
  vault.write("z.md", "alpha\n");
  for (const char* dir : {"", "/open", "/shut"}) {
    ASSERT_EQ(::chmod((vault.path() + dir).c_str(), 0755), 0);
  }
  for (const char* file : {"open/a.md", "shut/b.md", "z.md"}) {
    ASSERT_EQ(::chmod(vault.at(file).c_str(), 0644), 0);
  }
  ASSERT_EQ(::chmod(vault.at("secret.md").c_str(), 0), 0);
  ASSERT_EQ(::chmod(vault.at("shut").c_str(), 0311),
            0);  // enterable, not listable
  RunOptions options = in_vault(vault.path());
  if (::geteuid() == 0) {
    options.run_as = kUnprivilegedUid;  // root would read everything
  }
  EXPECT_EQ(
      search({"alpha"}, options),
      (Lines{found(1, "alpha", {"open/a.md:1: alpha", "z.md:1: alpha"})}));
}

// A walk long enough for the server to read through its ring (set up
// after the first 64 notes), with notes of several pieces; the suite's
// second run reads the same notes with io_uring refused.
TEST(Search, AnswersAlikeThroughALongWalk) {
  TempVault vault;
  Lines expected;
  const std::string filler(39, 'f');
  for (int i = 0; i < 240; ++i) {
    const bool big = i % 10 == 3;  // 40 KB before the match: two pieces
    std::string content;
    for (int k = 0; big && k < 1000; ++k) {
      content += filler + "\n";
    }
    content += std::string(static_cast<std::size_t>(i % 7), '\n');
    std::string needle = "Needle ";
    needle += std::to_string(i);
    content += i % 5 == 3 ? needle : std::string("hay");
    content += "\r\n";
    std::string name = "d";
    name += std::to_string(i / 60);
    name += "/n";
    name += std::to_string(100 + i);
    name += ".md";
    vault.write(name, content);
    if (i % 5 == 3) {
      const int line = (big ? 1000 : 0) + i % 7 + 1;
      expected.push_back(name + ":" + std::to_string(line) + ": " + needle);
    }
  }
  EXPECT_EQ(search({"needle"}, in_vault(vault.path())),
            (Lines{found(1, "needle", expected)}));
}

// Notes are read in pieces: a note far larger than the memory the server
// may have is searched, and an endless one with no line end is skipped.
TEST(Search, HoldsOneLineOfANoteAtATime) {
  VESTIGOR_SKIP_UNDER_WINE(
      "address-space limits: Wine cannot start within them");
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than the "
                  "limit below leaves";
#else
  TempVault vault;
  vault.write("a.md", "alpha\n");
  vault.symlink("/proc/self/pagemap", "q.md");
  vault.write("z.md", "alpha\n");
  // 400 MiB in 400 lines of NUL bytes (holes: quick to make), then the
  // match on line 401.
  const int fd =
      ::open(vault.at("big.md").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  constexpr off_t kMiB = off_t{1} << 20;
  for (off_t line = 1; line <= 400; ++line) {
    ASSERT_EQ(::pwrite(fd, "\n", 1, line * kMiB - 1), 1);
  }
  const std::string last = "the Alpha at the end\n";
  ASSERT_EQ(::pwrite(fd, last.data(), last.size(), 400 * kMiB),
            static_cast<ssize_t>(last.size()));
  ::close(fd);
  RunOptions options = in_vault(vault.path());
  options.address_space = 262144UL << 10;  // ulimit -v 262144
  EXPECT_EQ(search({"alpha"}, options),
            (Lines{found(1, "alpha",
                         {"a.md:1: alpha", "big.md:401: the Alpha at the end",
                          "z.md:1: alpha"})}));
#endif
}

// The filter under which the suite runs a second time (with
// VESTIGOR_TEST_REFUSE_IO_URING set) does refuse io_uring.
TEST(Search, FilterForTheSecondRunRefusesIoUring) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!refuse_io_uring()) {
      ::_exit(2);
    }
    const long ring = ::syscall(__NR_io_uring_setup, 8, nullptr);
    ::_exit(ring == -1 && errno == ENOSYS ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vestigor_mcp::testing
