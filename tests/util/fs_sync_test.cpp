// What the daily log needs to make a new entry durable: which folders
// make_directories made (their parents gained a name), and the folder and
// data syncs with their errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_vault.hpp"
#include "util/fs.hpp"
#include "util/path.hpp"

namespace vestigor_mcp {
namespace {

using testing::TempVault;
using Paths = std::vector<std::string>;

// Eight servers starting at once all make the same folders: losing the race
// to another creator is no error, and each reports only what it made.
TEST(MakeDirectories, ConcurrentCreatorsEachReportOnlyTheirOwnFolders) {
  for (int round = 0; round < 20; ++round) {
    TempVault v;
    const std::string path = v.at("a/b/c/d/daily");
    std::vector<Paths> made(8);
    {
      std::latch ready(8);
      std::vector<std::thread> threads;
      threads.reserve(made.size());
      for (Paths& mine : made) {
        threads.emplace_back([&] {
          ready.arrive_and_wait();
          const auto result = make_directories(path);
          ASSERT_TRUE(result.has_value()) << result.error();
          mine = *result;
        });
      }
      for (std::thread& thread : threads) {
        thread.join();
      }
    }
    Paths all;
    for (const Paths& mine : made) {
      all.insert(all.end(), mine.begin(), mine.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (Paths{v.at("a"), v.at("a/b"), v.at("a/b/c"),
                          v.at("a/b/c/d"), v.at("a/b/c/d/daily")}));
  }
}

TEST(ParentDirectory, DropsTheLastComponent) {
  const std::pair<const char*, const char*> rows[] = {
      {"a/b/c", "a/b"}, {"a/b/c/", "a/b"}, {"a//b", "a"},
      {"/c", "/"},      {"c", "."},        {"x/..", "x"},
  };
  for (const auto& [path, parent] : rows) {
    EXPECT_EQ(parent_directory(path), parent) << path;
  }
}

TEST(Sync, SyncsFoldersAndDataAndReportsWhatCannotBe) {
  TempVault v;
  v.write("note.md", "x");
  EXPECT_TRUE(sync_directory(v.path()).has_value());
  EXPECT_EQ(sync_directory(v.at("missing")).error(), ENOENT);
  EXPECT_EQ(sync_directory(v.at("note.md")).error(), ENOTDIR);

  const int fd = ::open(v.at("note.md").c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(sync_data(fd).has_value());
  ::close(fd);
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  // A pipe (like a device a note may link to) keeps nothing to sync.
  EXPECT_TRUE(sync_data(pipe_fds[1]).has_value());
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  EXPECT_EQ(sync_data(-1).error(), EBADF);
}

}  // namespace
}  // namespace vestigor_mcp
