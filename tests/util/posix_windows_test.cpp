// The Windows platform layer (posix_windows.*, walk_windows.cpp,
// os_error_windows.cpp), in the Windows unit tests run under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tools/vault.hpp"
#include "search/walk.hpp"
#include "util/buffer.hpp"
#include "util/fd_io.hpp"
#include "util/fs.hpp"
#include "util/local_clock.hpp"

namespace vestigor_mcp {
namespace {

namespace fs = std::filesystem;

// A fresh folder under the temporary folder, removed at the end.
class Folder {
 public:
  Folder() {
    path_ = fs::temp_directory_path() /
            ("vestigor-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
             std::to_string(::GetTickCount64()));
    fs::create_directories(path_);
  }
  ~Folder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  // The path in UTF-8, with Windows' backslashes.
  std::string utf8() const { return windows::narrow(path_.wstring()); }
  void write(const std::wstring& relative, const std::string& bytes) const {
    const fs::path file = path_ / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string text_of(int error) { return os_error_text(error); }

TEST(OsErrorText, SystemTextThenTheWindowsCode) {
  struct Case {
    int error;
    const char* suffix;
  };
  const Case cases[] = {
      {ENOENT, " (os error 2)"},
      {EACCES, " (os error 5)"},
      {EEXIST, " (os error 183)"},
      {-static_cast<int>(ERROR_SHARING_VIOLATION), " (os error 32)"},
      {-static_cast<int>(ERROR_DISK_FULL), " (os error 112)"},
  };
  for (const Case& c : cases) {
    const std::string text = text_of(c.error);
    ASSERT_TRUE(text.ends_with(c.suffix)) << text;
    const std::string description =
        text.substr(0, text.size() - std::string(c.suffix).size());
    EXPECT_FALSE(description.empty()) << text;
    EXPECT_EQ(description.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(description.back(), '.') << text;
  }
}

TEST(PosixOnWindows, OpensReadsAndAppendsRelativeToAFolder) {
  const Folder folder;
  folder.write(L"n\u00f6tes\\\u00e9t\u00e9.md", "café\r\n");
  const int dir = ::openat(AT_FDCWD, (folder.utf8() + "\\nötes").c_str(),
                           O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dir, 0) << text_of(errno);
  Buffer buffer;
  const auto read = read_regular_file(dir, "été.md", buffer);
  ASSERT_TRUE(read.has_value()) << text_of(read.error());
  EXPECT_EQ(*read, "café\r\n");  // bytes as they are: binary mode

  const std::string note = folder.utf8() + "/nötes/été.md";
  for (const char* entry : {"one\n", "two\n"}) {
    const int fd = ::openat(AT_FDCWD, note.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0) << text_of(errno);
    ASSERT_TRUE(write_all(fd, entry).has_value());
    EXPECT_TRUE(sync_data(fd).has_value());
    ::close(fd);
  }
  EXPECT_EQ(read_regular_file(AT_FDCWD, note.c_str(), buffer).value(),
            "café\r\none\ntwo\n");
  EXPECT_TRUE(sync_directory(folder.utf8()).has_value());
  // A folder is not a note; a missing name is ENOENT.
  EXPECT_EQ(::openat(dir, "missing.md", O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  ::close(dir);
}

TEST(PosixOnWindows, HardLinkTakesAFreeNameOnly) {
  const Folder folder;
  folder.write(L"a", "x");
  folder.write(L"taken", "y");
  const std::string a = folder.utf8() + "\\a";
  EXPECT_EQ(::link(a.c_str(), (folder.utf8() + "\\taken").c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(::link(a.c_str(), (folder.utf8() + "\\free").c_str()), 0);
  char* real = ::realpath((folder.utf8() + "\\free").c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(std::string(real).find('\\'), std::string::npos) << real;
  EXPECT_TRUE(std::string(real).ends_with("/free")) << real;
  std::free(real);
}

TEST(PosixOnWindows, MakesFoldersAndReportsWhatIsInTheWay) {
  const Folder folder;
  const auto made = make_directories(folder.utf8() + "\\a/b\\c");
  ASSERT_TRUE(made.has_value()) << text_of(made.error());
  EXPECT_EQ(made->size(), 3u);
  folder.write(L"file", "x");
  const auto blocked = make_directories(folder.utf8() + "\\file\\sub");
  ASSERT_FALSE(blocked.has_value());
}

// The walk takes a vault with backslashes, lists non-ASCII names in byte
// order, and shows paths below the root with "/".
TEST(WalkOnWindows, WalksABackslashVaultInPathOrder) {
  const Folder folder;
  folder.write(L"z.md", "z");
  folder.write(L"\u00e4\\b.md", "b");
  folder.write(L"a\\c.md", "c");
  folder.write(L".hidden\\d.md", "d");
  folder.write(L"a\\not-a-note.txt", "e");
  std::vector<std::string> seen;
  const std::string root = folder.utf8();
  NoteWalk walk(root);
  std::expected<bool, int> more;
  while ((more = walk.next()) && *more) {
    seen.emplace_back(walk.path().substr(root.size()));
  }
  ASSERT_TRUE(more.has_value());
  EXPECT_EQ(seen, (std::vector<std::string>{"/a/c.md", "/z.md", "/ä/b.md"}));
}

TEST(WalkOnWindows, OneFolderHasOneIdentityByEveryPath) {
  const Folder folder;
  folder.write(L"sub\\x.md", "x");
  const int a = ::openat(AT_FDCWD, (folder.utf8() + "\\sub").c_str(),
                         O_RDONLY | O_DIRECTORY);
  const int b = ::openat(AT_FDCWD, (folder.utf8() + "/sub/../sub").c_str(),
                         O_RDONLY | O_DIRECTORY);
  const int other =
      ::openat(AT_FDCWD, folder.utf8().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_GE(other, 0);
  FolderId ida;
  FolderId idb;
  FolderId idother;
  ASSERT_TRUE(folder_id(a, ida) && folder_id(b, idb) &&
              folder_id(other, idother));
  EXPECT_EQ(ida, idb);
  EXPECT_NE(ida, idother);
  ::close(a);
  ::close(b);
  ::close(other);
}

// The C runtime would read TZ=Asia/Kolkata as a zone "Asi" at UTC: the
// server's local time comes from the system's zone whatever TZ says.
TEST(LocalTimeOnWindows, FollowsTheSystemZoneNotTz) {
  ASSERT_EQ(::_putenv_s("TZ", "Asia/Kolkata"), 0);
  std::string expected;
  std::string seen;
  for (int attempt = 0; attempt < 3 && seen != expected; ++attempt) {
    SYSTEMTIME system{};
    ::GetLocalTime(&system);
    const auto stamp = read_local_clock();
    ASSERT_TRUE(stamp.has_value());
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d",
                  int{system.wYear}, int{system.wMonth}, int{system.wDay},
                  int{system.wHour}, int{system.wMinute});
    expected = text;
    seen = stamp->date + " " + stamp->time;  // unequal only at a minute's turn
  }
  EXPECT_EQ(seen, expected);
  ::_putenv_s("TZ", "");
}

// The vault's path is read as UTF-16 and converted exactly: non-ASCII
// comes through whole, and a broken value is no path at all.
TEST(EnvironmentOnWindows, VaultPathIsExactOrNotSet) {
  ASSERT_TRUE(::SetEnvironmentVariableW(L"VESTIGOR_VAULT", L"C:\\n\u00f6tes"));
  EXPECT_EQ(vault_root().value(), "C:\\nötes");
  const wchar_t broken[] = {L'C', L':', L'\\', 0xD800, L'x', 0};
  ASSERT_TRUE(::SetEnvironmentVariableW(L"VESTIGOR_VAULT", broken));
  EXPECT_EQ(vault_root().error(), "VESTIGOR_VAULT env var is not set");
  ASSERT_TRUE(::SetEnvironmentVariableW(L"VESTIGOR_VAULT", nullptr));
  EXPECT_FALSE(vault_root().has_value());
}

}  // namespace
}  // namespace vestigor_mcp
