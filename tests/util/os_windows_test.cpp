// The OS boundary on Windows (os_windows.cpp), in the Windows unit tests
// run under Wine: Windows codes and texts, names opened relative to a
// folder's handle, reads at an offset, folder identities, and vault paths
// in the verbatim form ("\\?\") through every tool.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "search/walk.hpp"
#include "tools/daily_log.hpp"
#include "tools/search.hpp"
#include "tools/snapshots.hpp"
#include "tools/vault.hpp"
#include "util/buffer.hpp"
#include "util/fs.hpp"
#include "util/os.hpp"
#include "util/path.hpp"

namespace vestigor_mcp {
namespace {

namespace fs = std::filesystem;
using os::Errc;
using os::Folder;
using os::OsError;

std::string utf8_of(const fs::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

// A fresh folder under the temporary folder, removed at the end.
class TempFolder {
 public:
  TempFolder() {
    path_ = fs::temp_directory_path() /
            ("vestigor-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
             std::to_string(::GetTickCount64()));
    fs::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // The path in UTF-8, with Windows' backslashes.
  std::string utf8() const { return utf8_of(path_); }
  void write(const std::wstring& relative, const std::string& bytes) const {
    const fs::path file = path_ / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string text_of(const OsError& error) { return os::os_error_text(error); }

// Reads the open file whole, in pieces of `piece` bytes at their offsets.
std::string read_whole(const os::Handle& file, std::size_t piece = 4096) {
  std::string out;
  std::vector<char> buffer(piece);
  for (;;) {
    const auto n = os::read_at(os::system_io(), file, buffer.data(),
                               buffer.size(), out.size());
    if (!n || *n == 0) {
      return out;
    }
    out.append(buffer.data(), *n);
  }
}

TEST(OsErrorText, SystemTextThenTheWindowsCode) {
  struct Case {
    DWORD code;
    const char* suffix;
  };
  const Case cases[] = {
      {ERROR_FILE_NOT_FOUND, " (os error 2)"},
      {ERROR_ACCESS_DENIED, " (os error 5)"},
      {ERROR_ALREADY_EXISTS, " (os error 183)"},
      {ERROR_SHARING_VIOLATION, " (os error 32)"},
      {ERROR_DISK_FULL, " (os error 112)"},
  };
  for (const Case& c : cases) {
    const std::string text = text_of(OsError::system(static_cast<int>(c.code)));
    ASSERT_TRUE(text.ends_with(c.suffix)) << text;
    const std::string description =
        text.substr(0, text.size() - std::string(c.suffix).size());
    EXPECT_FALSE(description.empty()) << text;
    EXPECT_EQ(description.find_first_of("\r\n"), std::string::npos) << text;
    EXPECT_NE(description.back(), '.') << text;
  }
  EXPECT_EQ(text_of(OsError::no_progress()), "failed to write whole buffer");
}

// The conditions the callers tell apart are Windows codes, each
// recognised again by is().
TEST(OsErrorText, ConditionsAreWindowsCodes) {
  struct Case {
    Errc condition;
    DWORD code;
  };
  const Case cases[] = {
      {Errc::kNotFound, ERROR_FILE_NOT_FOUND},
      {Errc::kExists, ERROR_ALREADY_EXISTS},
      {Errc::kTooManyFiles, ERROR_TOO_MANY_OPEN_FILES},
      {Errc::kNotRegular, ERROR_BAD_FILE_TYPE},
  };
  for (const Case& c : cases) {
    const OsError error = OsError::of(c.condition);
    EXPECT_EQ(static_cast<DWORD>(error.code()), c.code);
    EXPECT_TRUE(error.is(c.condition)) << c.code;
  }
  EXPECT_TRUE(OsError::system(ERROR_PATH_NOT_FOUND).is(Errc::kNotFound));
  EXPECT_TRUE(OsError::system(ERROR_FILE_EXISTS).is(Errc::kExists));
  EXPECT_FALSE(OsError::no_progress().is(Errc::kNotFound));
}

TEST(OsOnWindows, OpensReadsAndAppendsRelativeToAFolder) {
  const TempFolder folder;
  folder.write(L"n\u00f6tes\\\u00e9t\u00e9.md", "café\r\n");
  folder.write(L"n\u00f6tes\\sub\\x.md", "x");
  const auto dir =
      os::open_folder(Folder::by_path(), (folder.utf8() + "\\nötes").c_str());
  ASSERT_TRUE(dir.has_value()) << text_of(dir.error());
  const auto note = os::open_regular(*dir, "été.md");
  ASSERT_TRUE(note.has_value()) << text_of(note.error());
  EXPECT_EQ(note->size, 7U);
  EXPECT_EQ(read_whole(note->handle), "café\r\n");     // bytes as they are
  EXPECT_EQ(read_whole(note->handle, 3), "café\r\n");  // pieces at offsets
  Buffer buffer;
  EXPECT_EQ(read_regular_file(*dir, "été.md", buffer).value(), "café\r\n");

  const std::string path = folder.utf8() + "/nötes/été.md";
  for (const char* entry : {"one\n", "two\n"}) {
    const auto file = os::open_append(path.c_str(), os::Create::kNo);
    ASSERT_TRUE(file.has_value()) << text_of(file.error());
    std::size_t written = 0;
    ASSERT_TRUE(
        os::write_all(os::system_io(), *file, entry, written).has_value());
    EXPECT_EQ(written, 4U);
    EXPECT_TRUE(os::sync_data(os::system_io(), *file).has_value());
  }
  const auto again = os::open_regular(Folder::by_path(), path.c_str());
  ASSERT_TRUE(again.has_value()) << text_of(again.error());
  EXPECT_EQ(read_whole(again->handle), "café\r\none\ntwo\n");
  EXPECT_TRUE(os::sync_folder(folder.utf8().c_str()).has_value());
  EXPECT_FALSE(
      os::open_append((path + ".new").c_str(), os::Create::kNo).has_value());
  EXPECT_TRUE(os::open_append(path.c_str(), os::Create::kNew)
                  .error()
                  .is(Errc::kExists));

  // A missing name is not found; a folder is not a note, a note no folder.
  EXPECT_TRUE(os::open_regular(*dir, "missing.md").error().is(Errc::kNotFound));
  EXPECT_TRUE(os::open_regular(*dir, "sub").error().is(Errc::kNotRegular));
  EXPECT_FALSE(os::open_folder(*dir, "été.md").has_value());
  const auto sub = os::open_folder(*dir, "sub");
  ASSERT_TRUE(sub.has_value()) << text_of(sub.error());
  const auto x = os::open_regular(*sub, "x.md");
  ASSERT_TRUE(x.has_value());
  EXPECT_EQ(read_whole(x->handle), "x");
}

// An append handle takes the lock appenders share (one holder at a time),
// reads its last byte and cuts a torn entry back.
TEST(OsOnWindows, AppendHandleLocksReadsAndCuts) {
  const TempFolder folder;
  folder.write(L"n.md", "kept\ntorn");
  const std::string path = folder.utf8() + "\\n.md";
  const auto one = os::open_append(path.c_str(), os::Create::kNo);
  const auto two = os::open_append(path.c_str(), os::Create::kNo);
  ASSERT_TRUE(one && two);
  EXPECT_EQ(os::try_lock(*one), true);
  EXPECT_EQ(os::try_lock(*two), false);
  os::unlock(*one);
  EXPECT_EQ(os::try_lock(*two), true);
  os::unlock(*two);
  char last = 0;
  EXPECT_EQ(os::read_at(os::system_io(), *one, &last, 1, 8), 1U);
  EXPECT_EQ(last, 'n');
  ASSERT_TRUE(os::truncate(*one, 5).has_value());
  EXPECT_EQ(os::status(*one)->size, 5U);
  std::size_t written = 0;
  ASSERT_TRUE(os::write_all(os::system_io(), *one, "next\n", written));
  const auto file = os::open_regular(Folder::by_path(), path.c_str());
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(read_whole(file->handle), "kept\nnext\n");
}

TEST(OsOnWindows, HardLinkTakesAFreeNameOnly) {
  const TempFolder folder;
  folder.write(L"a", "x");
  folder.write(L"taken", "y");
  const std::string a = folder.utf8() + "\\a";
  EXPECT_TRUE(os::link(a.c_str(), (folder.utf8() + "\\taken").c_str())
                  .error()
                  .is(Errc::kExists));
  EXPECT_TRUE(os::link(a.c_str(), (folder.utf8() + "\\free").c_str()));
  const auto real = os::real_path((folder.utf8() + "\\free").c_str());
  ASSERT_TRUE(real.has_value()) << text_of(real.error());
  EXPECT_EQ(real->find('\\'), std::string::npos) << *real;
  EXPECT_TRUE(real->ends_with("/free")) << *real;
  EXPECT_EQ(os::status(Folder::by_path(), a.c_str())->links, 2U);
  // The rename refuses a taken name, and takes a free one.
  EXPECT_TRUE(
      os::rename_no_replace(a.c_str(), (folder.utf8() + "\\taken").c_str())
          .error()
          .is(Errc::kExists));
  EXPECT_TRUE(
      os::rename_no_replace(a.c_str(), (folder.utf8() + "\\b").c_str()));
  EXPECT_TRUE(os::remove((folder.utf8() + "\\b").c_str()));
  EXPECT_TRUE(os::status(Folder::by_path(), (folder.utf8() + "\\b").c_str())
                  .error()
                  .is(Errc::kNotFound));
}

TEST(OsOnWindows, MakesFoldersAndReportsWhatIsInTheWay) {
  const TempFolder folder;
  EXPECT_TRUE(os::make_folder((folder.utf8() + "\\a").c_str()));
  EXPECT_TRUE(os::make_folder((folder.utf8() + "\\a").c_str())
                  .error()
                  .is(Errc::kExists));
  EXPECT_TRUE(os::make_folder((folder.utf8() + "\\b\\c").c_str())
                  .error()
                  .is(Errc::kNotFound));
  folder.write(L"file", "x");
  EXPECT_FALSE(os::make_folder((folder.utf8() + "\\file\\sub").c_str()));
  // Every missing folder, separators of both kinds; a file in the way.
  const auto made = make_directories(folder.utf8() + "\\d/e\\f");
  ASSERT_TRUE(made.has_value()) << text_of(made.error());
  EXPECT_EQ(made->size(), 3U);
  EXPECT_FALSE(make_directories(folder.utf8() + "\\file\\sub").has_value());
}

// The walk takes a vault with backslashes, lists non-ASCII names in byte
// order, and shows paths below the root with "/".
TEST(WalkOnWindows, WalksABackslashVaultInPathOrder) {
  const TempFolder folder;
  folder.write(L"z.md", "z");
  folder.write(L"\u00e4\\b.md", "b");
  folder.write(L"a\\c.md", "c");
  folder.write(L".hidden\\d.md", "d");
  folder.write(L"a\\not-a-note.txt", "e");
  std::vector<std::string> seen;
  const std::string root = folder.utf8();
  NoteWalk walk(root);
  os::Result<bool> more;
  while ((more = walk.next()) && *more) {
    seen.emplace_back(walk.path().substr(root.size()));
  }
  ASSERT_TRUE(more.has_value());
  EXPECT_EQ(seen, (std::vector<std::string>{"/a/c.md", "/z.md", "/ä/b.md"}));
}

// A folder has one identity by every path, and a plain subfolder's, taken
// from its parent's volume and its own index, is the one its path gives.
TEST(WalkOnWindows, OneFolderHasOneIdentityByEveryPath) {
  const TempFolder folder;
  folder.write(L"sub\\x.md", "x");
  const std::string root = folder.utf8();
  const auto a = os::open_folder(Folder::by_path(), (root + "\\sub").c_str());
  const auto b =
      os::open_folder(Folder::by_path(), (root + "/sub/../sub").c_str());
  const auto top = os::open_folder(Folder::by_path(), root.c_str());
  ASSERT_TRUE(a && b && top);
  const auto in_top = os::open_folder(*top, "sub");
  ASSERT_TRUE(in_top.has_value());
  const auto ida = os::folder_info(*a, nullptr, os::EntryType::kUnknown);
  const auto idb = os::folder_info(*b, nullptr, os::EntryType::kUnknown);
  const auto idtop = os::folder_info(*top, nullptr, os::EntryType::kUnknown);
  ASSERT_TRUE(ida && idb && idtop);
  const auto idsub =
      os::folder_info(*in_top, &*idtop, os::EntryType::kDirectory);
  ASSERT_TRUE(idsub.has_value());
  EXPECT_EQ(ida->id, idb->id);
  EXPECT_EQ(idsub->id, ida->id);
  EXPECT_NE(ida->id, idtop->id);
  EXPECT_EQ(os::status(*a)->id, ida->id);
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
    const auto stamp = os::read_local_clock();
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

// "\\?\C:\vault" is taken as it stands, '/' included: every tool joins its
// names onto it with backslashes and names its notes below it.
TEST(VerbatimVault, EveryToolServesIt) {
  const TempFolder folder;
  folder.write(L"current-state.md", "state\n");
  folder.write(L"agents\\memory\\open-threads.md", "threads\n");
  folder.write(L"projects\\alpha.md", "# Alpha\nthe verbatim line\n");
  const std::string vault = "\\\\?\\" + folder.utf8();
  ASSERT_TRUE(::SetEnvironmentVariableW(
      L"VESTIGOR_VAULT", (L"\\\\?\\" + folder.path().wstring()).c_str()));
  EXPECT_EQ(get_current_state().value(), "state\n");
  EXPECT_EQ(list_open_threads().value(), "threads\n");
  EXPECT_EQ(search("VERBATIM").value(),
            "1 file match(es) for \"VERBATIM\":\n\n"
            "projects/alpha.md:2: the verbatim line");
  const ToolOutcome appended = append_daily_log("an entry");
  ASSERT_TRUE(appended.has_value()) << appended.error();
  EXPECT_TRUE(appended->starts_with("Appended to daily/")) << *appended;
  const std::string note = appended->substr(std::string("Appended to ").size());
  const auto file =
      os::open_regular(Folder::by_path(), join_path(vault, note).c_str());
  ASSERT_TRUE(file.has_value()) << text_of(file.error());
  EXPECT_NE(read_whole(file->handle).find("an entry"), std::string::npos);
  ::SetEnvironmentVariableW(L"VESTIGOR_VAULT", nullptr);
}

}  // namespace
}  // namespace vestigor_mcp
