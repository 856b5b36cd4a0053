// The search read in pieces of every size and every way this system has,
// and notes larger than the memory the process may have.
#include "tools/search.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "support/server_process.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp {
namespace {

using testing::TempVault;

// Drops the notes' pages from the page cache, so that the plain reads meet
// a cold cache and start their hints.
void evict(const TempVault& vault) {
  for (const char* name : {"a.md", "b.md", "c.md", "d.md", "e.md", "f.md",
                           "g.md", "h.md", "i.md", "j.md", "k.md"}) {
    const int fd = ::open(vault.at(name).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fdatasync(fd), 0);
    ASSERT_EQ(::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
    ::close(fd);
  }
}

// Pieces as small as one byte cut every line, CR LF pair and UTF-8
// sequence somewhere; the answers must not change.
TEST(Search, AnswersAlikeWhateverThePiecesAndTheWayOfReading) {
  TempVault vault;
  vault.write("a.md", "one\r\ntwo\r\nthree alpha\r\nfour alpha\n");
  vault.write("b.md", "é\nÉ\nx€ÀLPHA ALPHA\r");
  vault.write("c.md", "alpha\nthen a bad byte \xff\n");  // after the match
  vault.write("d.md", "\xc3\nalpha\n");                  // before it
  vault.write("e.md", "alpha, cut short \xe2\x82");      // at the very end
  vault.write("f.md", "");
  vault.write("g.md", "x\n\n\nthe long fourth line, alpha at last");
  vault.write("h.md", "no match\r\n");
  vault.write("i.md", "€ alpha ∑\ntail 😀 ok\n");
  vault.write("j.md", "😀\n\xf0\x9f\x98\n alphA\n");  // cut
  vault.write("k.md", "\r\r\n\ralpha\r\r\r\n");
  ::setenv("VESTIGOR_VAULT", vault.path().c_str(), 1);  // unset by ~TempVault
  const std::string alpha =
      "5 file match(es) for \"alpha\":\n\n"
      "a.md:3: three alpha\nb.md:3: x€ÀLPHA ALPHA\n"
      "g.md:4: the long fourth line, alpha at last\n"
      "i.md:1: € alpha ∑\nk.md:2: alpha";
  const std::string euro =
      "1 file match(es) for \"€àl\":\n\n"
      "b.md:3: x€ÀLPHA ALPHA";
  for (const TEST_ReadWay way : {TEST_ReadWay::kRing, TEST_ReadWay::kReadAhead,
                                 TEST_ReadWay::kOneByOne}) {
    for (const std::size_t piece : {1, 2, 3, 4, 5, 7, 16, 4096, 32768}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(way)) + " in pieces of " +
                   std::to_string(piece));
      evict(vault);
      EXPECT_EQ(TEST_search("alpha", way, piece), alpha);
      EXPECT_EQ(TEST_search("€àl", way, piece), euro);
      EXPECT_EQ(TEST_search("bad byte", way, piece),
                "No matches for \"bad byte\".");
    }
  }
}

// A matching line too long to hold while searching is read back and
// reported whole, whatever the way of reading and the pieces: one in the
// middle of its note with CR LF, one last without a LF.
TEST(Search, ReportsAMatchingLineTooLongToHoldWhole) {
  TempVault vault;
  const std::string middle =
      std::string(2u << 20, 'x') + "Alpha" + std::string(1u << 20, 'y');
  const std::string last = std::string(3u << 20, 'z') + " ALPHA";
  vault.write("l.md", "first\n" + middle + "\r\nalpha later\n");
  vault.write("m.md", "\n\n" + last);
  vault.write("n.md", std::string(3u << 20, 'n') + "\nalpha after\n");
  ::setenv("VESTIGOR_VAULT", vault.path().c_str(), 1);  // unset by ~TempVault
  const std::string want =
      "3 file match(es) for \"alpha\":\n\nl.md:2: " + middle +
      "\nm.md:3: " + last + "\nn.md:2: alpha after";
  for (const TEST_ReadWay way : {TEST_ReadWay::kRing, TEST_ReadWay::kReadAhead,
                                 TEST_ReadWay::kOneByOne}) {
    for (const std::size_t piece : {4096, 32768}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(way)) + " in pieces of " +
                   std::to_string(piece));
      const ToolOutcome outcome = TEST_search("alpha", way, piece);
      ASSERT_TRUE(outcome.has_value());
      EXPECT_TRUE(*outcome == want) << outcome->substr(0, 200);
    }
  }
}

// How much this process has held at most (VmHWM), in bytes.
long peak_bytes() {
  long kib = -1;
  if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
      if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) {
        break;
      }
    }
    std::fclose(status);
  }
  return kib * 1024;
}

// Memory follows the longest line reported, not the longest line met: a
// sparse 320 MiB line that does not match costs the search no more than
// a few MiB, and the note's later lines are still searched.
TEST(Search, MemoryFollowsTheLongestMatchingLine) {
  VESTIGOR_SKIP_UNDER_EMULATOR("qemu-user keeps its own memory in the count");
  TempVault vault;
  vault.write("a.md", "alpha\n");
  vault.write_after_hole("b.md", std::uint64_t{320} << 20,
                         "\nthe Alpha after the long line\n");
  ::setenv("VESTIGOR_VAULT", vault.path().c_str(), 1);  // unset by ~TempVault
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const long before = peak_bytes();
    const ToolOutcome outcome = search("alpha");
    const long grown = peak_bytes() - before;
    if (!outcome || *outcome !=
                        "2 file match(es) for \"alpha\":\n\n"
                        "a.md:1: alpha\n"
                        "b.md:2: the Alpha after the long line") {
      ::_exit(1);
    }
    ::_exit(before > 0 && grown < (long{16} << 20) ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1: a wrong answer; 2: the search held more than 16 MiB";
}

// Notes are read in pieces, holding one line at a time: a note far larger
// than the memory left is searched, and a line that memory cannot hold is
// looked through as it comes, so that the note's later lines are searched
// (a sparse 320 MiB line, then the match); a note whose only match is on
// such a line is passed over, as it cannot be read back (a sparse 320 MiB
// line ending in the query).
TEST(Search, HoldsOneLineOfANoteAtATime) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than the "
                  "limit below leaves";
#else
  VESTIGOR_SKIP_UNDER_EMULATOR(
      "an address-space limit binds qemu-user itself, not the search");
  TempVault vault;
  vault.write("a.md", "alpha\n");
  vault.write("c.md", "more alpha\n");
  // 400 MiB in 400 lines of NUL bytes (holes: quick to make), then the
  // match on line 401.
  int fd =
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
  const std::pair<const char*, std::string> long_lines[] = {
      {"b.md", "\nalpha after the long line\n"}, {"d.md", " alpha"}};
  for (const auto& [name, after] : long_lines) {
    vault.write_after_hole(name, 320 * kMiB, after);
  }
  ::setenv("VESTIGOR_VAULT", vault.path().c_str(), 1);  // unset by ~TempVault
  long pages = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    ASSERT_EQ(std::fscanf(statm, "%ld", &pages), 1);
    std::fclose(statm);
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Room for what the process holds and a little more, not for a note.
    const auto bytes = static_cast<rlim_t>(pages) *
                           static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) +
                       (rlim_t{256} << 20);
    const rlimit limit{bytes, bytes};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) {
      ::_exit(2);
    }
    const ToolOutcome outcome = search("alpha");
    ::_exit(outcome && *outcome ==
                           "4 file match(es) for \"alpha\":\n\n"
                           "a.md:1: alpha\n"
                           "b.md:2: alpha after the long line\n"
                           "big.md:401: the Alpha at the end\n"
                           "c.md:1: more alpha"
                ? 0
                : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1: the search did not answer with the other notes";
#endif
}

}  // namespace
}  // namespace vestigor_mcp
