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
          ASSERT_TRUE(result.has_value()) << result.error().code();
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
  EXPECT_TRUE(os::sync_folder(v.path().c_str()).has_value());
  EXPECT_EQ(os::sync_folder(v.at("missing").c_str()).error().code(), ENOENT);
  EXPECT_EQ(os::sync_folder(v.at("note.md").c_str()).error().code(), ENOTDIR);

  const os::Handle file(::open(v.at("note.md").c_str(), O_WRONLY | O_APPEND));
  ASSERT_TRUE(file.is_open());
  EXPECT_TRUE(os::sync_data(os::system_io(), file).has_value());
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  // A pipe (like a device a note may link to) keeps nothing to sync.
  const os::Handle reader(pipe_fds[0]);
  const os::Handle writer(pipe_fds[1]);
  EXPECT_TRUE(os::sync_data(os::system_io(), writer).has_value());
  EXPECT_EQ(os::sync_data(os::system_io(), os::Handle()).error().code(), EBADF);
}

}  // namespace
}  // namespace vestigor_mcp
