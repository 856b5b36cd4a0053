// File-system helpers. make_directories is the folder creation behind the
// daily log, whose errno becomes the reply's text, so the exact error
// matters.
#include "util/fs.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_vault.hpp"

namespace vestigor_mcp {
namespace {

using testing::TempVault;

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Each row also says which folders the call reports as made, outermost
// first (their parents gained a name and need syncing), where the spelling
// of the path makes that list plain.
TEST(MakeDirectories, CreatesMissingFoldersAndAcceptsExistingOnes) {
  using Paths = std::vector<std::string>;
  struct Row {
    const char* name;
    void (*setup)(const TempVault&);
    const char* path;
    std::optional<Paths> made;  // relative to the vault
  };
  const Row rows[] = {
      {"all missing", [](const TempVault&) {}, "a/b/c/daily",
       Paths{"a", "a/b", "a/b/c", "a/b/c/daily"}},
      {"only the last missing", [](const TempVault& v) { v.mkdir("a/b"); },
       "a/b/daily", Paths{"a/b/daily"}},
      {"trailing and doubled slashes", [](const TempVault&) {},
       "a//b///daily//", std::nullopt},
      // "x/.." exists once x does: it is no folder of this call's making.
      {"dot-dot through a missing folder", [](const TempVault&) {},
       "x/../daily", Paths{"x", "x/../daily"}},
      {"already there", [](const TempVault& v) { v.mkdir("daily"); }, "daily",
       Paths{}},
      {"link to a folder",
       [](const TempVault& v) {
         v.mkdir("real");
         v.symlink("real", "daily");
       },
       "daily", Paths{}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempVault v;
    row.setup(v);
    const auto made = make_directories(v.at(row.path));
    ASSERT_TRUE(made.has_value()) << made.error().code();
    EXPECT_TRUE(is_directory(v.at(row.path)));
    if (row.made) {
      Paths expected;
      for (const std::string& relative : *row.made) {
        expected.push_back(v.at(relative));
      }
      EXPECT_EQ(*made, expected);
    }
  }
}

TEST(MakeDirectories, ReportsWhatIsInTheWay) {
  struct Row {
    const char* name;
    void (*setup)(const TempVault&);
    const char* path;
    int error;
  };
  const Row rows[] = {
      {"file", [](const TempVault& v) { v.write("daily", "x"); }, "daily",
       EEXIST},
      {"dangling link", [](const TempVault& v) { v.symlink("gone", "daily"); },
       "daily", EEXIST},
      {"file above", [](const TempVault& v) { v.write("vault", "x"); },
       "vault/daily", ENOTDIR},
      {"file two levels above", [](const TempVault& v) { v.write("a", "x"); },
       "a/b/daily", ENOTDIR},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempVault v;
    row.setup(v);
    const auto made = make_directories(v.at(row.path));
    ASSERT_FALSE(made.has_value());
    EXPECT_EQ(made.error().code(), row.error);
  }
}

TEST(ReadRegularFile, ReadsWholeFilesAndRefusesEverythingElse) {
  TempVault vault;
  const std::string big(300000, 'x');
  vault.write("big.md", big);
  vault.write("small.md", "small");
  vault.write("empty.md", "");
  vault.mkdir("dir.md");
  Buffer buffer;
  const auto read = [&buffer](const std::string& path) {
    return read_regular_file(os::Folder::by_path(), path.c_str(), buffer);
  };
  EXPECT_EQ(read(vault.at("big.md")).value(), big);
  // The buffer is reused: a shorter note leaves nothing of the longer one.
  EXPECT_EQ(read(vault.at("small.md")).value(), "small");
  EXPECT_EQ(read(vault.at("empty.md")).value(), "");
  for (const std::string& refused :
       {vault.at("dir.md"), vault.at("missing.md"), std::string("/dev/null")}) {
    EXPECT_FALSE(read(refused).has_value()) << refused;
    EXPECT_EQ(buffer.view(), "") << refused;
  }
  // Relative to a folder's descriptor, as the walk opens notes.
  const int dir = ::open(vault.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0);
  EXPECT_EQ(read_regular_file(os::Folder(dir), "small.md", buffer).value(),
            "small");
  ::close(dir);
}

TEST(ReadRegularFile, ReadsPastTheSizeAFileReported) {
  // /proc reports a size of 0 for files that hold text: the read goes on
  // until the end, not to the reported size.
  Buffer buffer;
  const auto status =
      read_regular_file(os::Folder::by_path(), "/proc/self/status", buffer);
  if (!status) {
    GTEST_SKIP() << "no /proc here";
  }
  EXPECT_TRUE(status->starts_with("Name:")) << *status;
  EXPECT_TRUE(status->ends_with("\n"));
}

}  // namespace
}  // namespace vestigor_mcp
