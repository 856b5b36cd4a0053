// The search tool's failure when memory runs out, which the binary cannot
// be driven into from outside: the answer is an error, not an abort.
#include "tools/search.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "support/temp_vault.hpp"
#include "util/fd_io.hpp"

namespace vestigor_mcp {
namespace {

using testing::TempVault;

TEST(Search, AnswersRunningOutOfMemoryWithAFailure) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than the "
                  "limit below leaves";
#else
  TempVault vault;
  vault.write("a.md", "alpha\n");
  // A sparse note of 1 GiB: reading it needs a buffer of that size.
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
    ::_exit(!outcome && outcome.error() == os_error_text(ENOMEM) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1: the search did not answer with the out-of-memory failure";
#endif
}

}  // namespace
}  // namespace vestigor_mcp
