// The search read in pieces of every size and every way this system has,
// and a note too long to hold, which the binary cannot be driven into
// portably from outside.
#include "tools/search.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

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
  vault.write("b.md", "\xc3\xa9\n\xc3\x89\nx\xe2\x82\xac\xc3\x80LPHA ALPHA\r");
  vault.write("c.md", "alpha\nthen a bad byte \xff\n");  // after the match
  vault.write("d.md", "\xc3\nalpha\n");                  // before it
  vault.write("e.md", "alpha, cut short \xe2\x82");      // at the very end
  vault.write("f.md", "");
  vault.write("g.md", "x\n\n\nthe long fourth line, alpha at last");
  vault.write("h.md", "no match\r\n");
  vault.write("i.md",
              "\xe2\x82\xac alpha \xe2\x88\x91\ntail \xf0\x9f\x98\x80 ok\n");
  vault.write("j.md", "\xf0\x9f\x98\x80\n\xf0\x9f\x98\n alphA\n");  // cut
  vault.write("k.md", "\r\r\n\ralpha\r\r\r\n");
  ::setenv("VESTIGOR_VAULT", vault.path().c_str(), 1);  // unset by ~TempVault
  const std::string alpha =
      "5 file match(es) for \"alpha\":\n\n"
      "a.md:3: three alpha\nb.md:3: x\xe2\x82\xac\xc3\x80LPHA ALPHA\n"
      "g.md:4: the long fourth line, alpha at last\n"
      "i.md:1: \xe2\x82\xac alpha \xe2\x88\x91\nk.md:2: alpha";
  const std::string euro =
      "1 file match(es) for \"\xe2\x82\xac\xc3\xa0l\":\n\n"
      "b.md:3: x\xe2\x82\xac\xc3\x80LPHA ALPHA";
  for (const ReadWay way :
       {ReadWay::kRing, ReadWay::kReadAhead, ReadWay::kOneByOne}) {
    for (const std::size_t piece : {1, 2, 3, 4, 5, 7, 16, 4096, 32768}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(way)) + " in pieces of " +
                   std::to_string(piece));
      evict(vault);
      EXPECT_EQ(TEST_search("alpha", way, piece), alpha);
      EXPECT_EQ(TEST_search("\xe2\x82\xac\xc3\xa0l", way, piece), euro);
      EXPECT_EQ(TEST_search("bad byte", way, piece),
                "No matches for \"bad byte\".");
    }
  }
}

TEST(Search, SkipsANoteWhoseLineCannotBeHeld) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than the "
                  "limit below leaves";
#else
  TempVault vault;
  vault.write("a.md", "alpha\n");
  vault.write("c.md", "more alpha\n");
  // A sparse note of 1 GiB and not one line feed: its one line cannot be
  // held within the limit below.
  const int fd =
      ::open(vault.at("b.md").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, off_t{1} << 30), 0);
  ::close(fd);
  ::setenv("VESTIGOR_VAULT", vault.path().c_str(), 1);  // unset by ~TempVault
  long pages = 0;
  if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
    ASSERT_EQ(std::fscanf(statm, "%ld", &pages), 1);
    std::fclose(statm);
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Room for what the process holds and a little more, not for the note.
    const auto bytes = static_cast<rlim_t>(pages) *
                           static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) +
                       (rlim_t{256} << 20);
    const rlimit limit{bytes, bytes};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) {
      ::_exit(2);
    }
    const ToolOutcome outcome = search("alpha");
    ::_exit(outcome && *outcome ==
                           "2 file match(es) for \"alpha\":\n\n"
                           "a.md:1: alpha\nc.md:1: more alpha"
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
