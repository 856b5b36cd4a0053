// The search tool through the binary, against real temporary vaults.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "support/files.hpp"
#include "support/refuse_io_uring.hpp"
#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp::testing {
namespace {

// The reply lines for the given queries, one search each.
Lines search(const std::vector<std::string>& queries,
             const RunOptions& options) {
  std::string input;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    input += tool_call_input(static_cast<int>(i + 1), "search",
                             string_arguments("query", queries[i]));
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
  // The query is used untrimmed, for matching and in the reply.
  EXPECT_EQ(
      search({"ALPHA", " alpha", "alpha\t", "say \"hi\"\nbye"},
             in_vault(vault.path())),
      (Lines{found(1, "ALPHA",
                   {"B.md:1: - Alpha", "a/b.md:3: ALPHA on three",
                    "a/z.md:2: the end aLpHa", "a.md:1: alpha in a",
                    "c.md:1: a\rAlpha"}),
             found(2, " alpha", {"B.md:1: - Alpha", "a/z.md:2: the end aLpHa"}),
             none(3, "alpha\t"), none(4, "say \"hi\"\nbye")}));
}

TEST(Search, ShowsEveryNameAsUtf8) {
  VESTIGOR_SKIP_UNDER_WINE(
      "a Linux name holding a backslash has no Windows name");
  // Which names the walk passes over: tests/search/walk_test.cpp; which
  // notes are no UTF-8: tests/tools/search_test.cpp.
  TempVault vault;
  vault.write("back\\slash.md", "alpha with a backslash\n");
  vault.write("café.md", "Alpha café\n");
  vault.write("odd\xFF.md", "alpha odd\n");
  EXPECT_EQ(
      search({"alpha"}, in_vault(vault.path())),
      (Lines{found(1, "alpha",
                   {"back/slash.md:1: alpha with a backslash",
                    "café.md:1: Alpha café", "odd\uFFFD.md:1: alpha odd"})}));
}

TEST(Search, StopsAtFiftyMatchingNotes) {
  TempVault vault;
  Lines matches;
  for (int i = 10; i < 70; ++i) {
    const std::string n = std::to_string(i);
    vault.write("n" + n + ".md", "title\nline " + n + " with alpha\n");
    if (i < 60) {
      matches.push_back("n" + n + ".md:2: line " + n + " with alpha");
    }
  }
  EXPECT_EQ(search({"ALPHA"}, in_vault(vault.path())),
            (Lines{found(1, "ALPHA", matches)}));
}

// A line longer than the memory the server may have is looked through as
// it comes: the note's later matching line is still found. The line is a
// hole of 320 MiB (quick to make) under a 256 MiB address-space limit.
TEST(Search, FindsTheLineAfterALineTooLongForMemory) {
  VESTIGOR_SKIP_UNDER_WINE(
      "address-space limits: Wine cannot start within them");
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than the "
                  "limit leaves";
#else
  TempVault vault;
  vault.write("a.md", "alpha first\n");
  vault.write_after_hole("long.md", std::uint64_t{320} << 20,
                         "\nthe Alpha after it\n");
  RunOptions options = in_vault(vault.path());
  options.address_space = 256ul << 20;
  EXPECT_EQ(
      search({"alpha"}, options),
      (Lines{found(1, "alpha",
                   {"a.md:1: alpha first", "long.md:2: the Alpha after it"})}));
#endif
}

TEST(Search, TakesTheVaultPathAsGiven) {
  // A vault that is missing or no folder: tests/search/walk_test.cpp.
  TempVault vault;
  vault.write("here.md", "alpha\n");
  RunOptions empty = in_vault("");
  empty.cwd = vault.path();  // the working directory is not searched instead
  EXPECT_EQ(search({"alpha"}, empty), (Lines{none(1, "alpha")}));
  // A trailing slash and a relative path name the same vault.
  RunOptions relative = in_vault(".//");
  relative.cwd = vault.path();
  EXPECT_EQ(search({"alpha"}, relative),
            (Lines{found(1, "alpha", {"here.md:1: alpha"})}));
}

TEST(Search, LowersWithFullUnicodeMappings) {
  // Every case against ICU: tests/search/line_finder_test.cpp. Here, text
  // that is not ASCII both ways over the wire.
  TempVault vault;
  vault.write("city.md", "İstanbul\n");
  vault.write("greek.md", "ΟΔΟΣ\n");
  vault.write("ohm.md", "R = 5 \u2126\r\n");  // the Ohm sign
  vault.write("street.md", "Straße\n");
  EXPECT_EQ(
      search({"i", "istanbul", "οδος", "Σ", "ω", "STRASSE", "STRAẞE"},
             in_vault(vault.path())),
      (Lines{found(1, "i", {"city.md:1: İstanbul"}),
             none(2, "istanbul"),  // İ lowers to i + U+0307
             found(3, "οδος", {"greek.md:1: ΟΔΟΣ"}),
             none(4, "Σ"),  // a lone Σ lowers to σ, the note's to ς
             found(5, "ω", {"ohm.md:1: R = 5 \u2126"}), none(6, "STRASSE"),
             found(7, "STRAẞE", {"street.md:1: Straße"})}));
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
  write_at(fd, "deep.md", "top\r\n  found ALPHA at the bottom\r\n");
  ::close(fd);
  vault.write("z.md", "alpha\n");
  ASSERT_GT(vault.path().size() + shown.size(), 4096U);
  EXPECT_EQ(search({"alpha", "α"}, in_vault(vault.path())),
            (Lines{found(1, "alpha",
                         {shown + "deep.md:2: found ALPHA at the bottom",
                          "z.md:1: alpha"}),
                   none(2, "α")}));
  const int top =
      ::open(vault.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(top, 0);
  remove_inside(top);
  ::close(top);
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

// The filter under which the suite runs a second time (with
// VESTIGOR_TEST_REFUSE_IO_URING set) does refuse io_uring.
TEST(Search, FilterForTheSecondRunRefusesIoUring) {
  VESTIGOR_SKIP_UNDER_EMULATOR(
      "the filter is written for the kernel's view of this CPU and qemu "
      "refuses io_uring itself; the second run is the native builds'");
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
