// append_daily_log with fixed stamps, against real vaults: what it writes
// where, and how it fails. The real clock and zones, the wire and other
// users: tests/e2e/daily_log_test.cpp.
#include "tools/daily_log.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "support/files.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp {
namespace {

namespace fs = std::filesystem;
using testing::FolderFiles;
using testing::TempVault;

const os::LocalStamp kStamp{"2026-12-06", "14:05"};
const std::string kAppended = "text: Appended to daily/2026-12-06.md";

// The tool's outcome for `text` stamped `stamp` ("text: ..." or
// "error: ..."), called in the folder of `v` (so that what goes to the
// working directory is seen there) with VESTIGOR_VAULT set to `vault`
// (nullopt: unset); the vault's end unsets it again.
std::string append(const TempVault& v, const std::optional<std::string>& vault,
                   std::string_view text,
                   const os::LocalStamp& stamp = kStamp) {
  const fs::path previous = fs::current_path();
  fs::current_path(v.path());
  if (vault) {
    ::setenv("VESTIGOR_VAULT", vault->c_str(), 1);
  } else {
    ::unsetenv("VESTIGOR_VAULT");
  }
  const ToolOutcome outcome = TEST_append_daily_log(text, stamp);
  fs::current_path(previous);
  return outcome ? "text: " + *outcome : "error: " + outcome.error();
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(DailyLog, WritesTheTextTrimmedButOtherwiseUnchanged) {
  struct Row {
    std::string text;
    std::string written;
  };
  const Row rows[] = {
      {"  Shipped ", "Shipped"},
      {"\u00a0\u3000line one\nline two\t\r\n", "line one\nline two"},
      {"one\r\ntwo", "one\r\ntwo"},
      {"a \"quote\", a \\ and  two  blanks",
       "a \"quote\", a \\ and  two  blanks"},
      {"Grüße, 日本語 – ✓ 🙂", "Grüße, 日本語 – ✓ 🙂"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    TempVault v;
    EXPECT_EQ(append(v, v.path(), row.text), kAppended);
    EXPECT_EQ(v.read("daily/2026-12-06.md"),
              "# 2026-12-06\n\n- 14:05 " + row.written + "\n");
  }
}

TEST(DailyLog, FirstEntryOfADayMakesFoldersAndNoteWithHeadingThenAppends) {
  TempVault v;
  const std::string vault = v.at("new/vault");  // neither folder exists
  EXPECT_EQ(append(v, vault, "first"), kAppended);
  EXPECT_EQ(append(v, vault, "second", {"2026-12-06", "23:59"}), kAppended);
  EXPECT_EQ(append(v, vault, "next", {"2026-12-07", "00:00"}),
            "text: Appended to daily/2026-12-07.md");
  EXPECT_EQ(
      testing::read_folder(vault + "/daily"),
      (FolderFiles{
          {"2026-12-06.md", "# 2026-12-06\n\n- 14:05 first\n- 23:59 second\n"},
          {"2026-12-07.md", "# 2026-12-07\n\n- 00:00 next\n"},
      }));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(mode_of(v.at("new")), 0777 & ~mask);
  EXPECT_EQ(mode_of(vault), 0777 & ~mask);
  EXPECT_EQ(mode_of(vault + "/daily"), 0777 & ~mask);
  EXPECT_EQ(mode_of(vault + "/daily/2026-12-06.md"), 0666 & ~mask);
}

TEST(DailyLog, AppendsToANoteThatIsThereWithoutAHeading) {
  // The last row's entry is glued to a last line without its line feed.
  for (const std::string before :
       {"", "# x\n\n- 08:00 a\n", "# x\r\n\r\n- 08:00 a\r\n",
        "# old\n\n- 09:00 earlier"}) {
    SCOPED_TRACE(before);
    TempVault v;
    v.write("daily/2026-12-06.md", before);
    EXPECT_EQ(append(v, v.path(), "more"), kAppended);
    EXPECT_EQ(v.read("daily/2026-12-06.md"), before + "- 14:05 more\n");
  }
}

TEST(DailyLog, EmptyVaultPathWritesUnderTheWorkingDirectory) {
  TempVault v;
  EXPECT_EQ(append(v, "", "here"), kAppended);
  EXPECT_EQ(v.read("daily/2026-12-06.md"), "# 2026-12-06\n\n- 14:05 here\n");
}

// A device in the note's place takes the entry; with nothing there to
// sync, the append still succeeds.
TEST(DailyLog, AppendsToADeviceThatKeepsNothingToSync) {
  TempVault v;
  v.symlink("/dev/null", "daily/2026-12-06.md");
  EXPECT_EQ(append(v, v.path(), "gone"), kAppended);
}

// Every path in `root` (links not followed), with the bytes of the
// regular files among them.
FolderFiles tree_of(const std::string& root) {
  FolderFiles tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    tree[entry.path().string()] =
        entry.is_regular_file() && !entry.is_symlink()
            ? testing::read_file(entry.path().string())
            : "";
  }
  return tree;
}

TEST(DailyLog, FailsWithTheMessageAndWritesNothing) {
  const auto none = [](const TempVault&) {};
  struct Row {
    const char* name;
    std::function<void(const TempVault&)> setup;
    std::optional<std::string> vault;  // in the test vault; nullopt: unset
    std::string text;
    std::string message;
  };
  const Row rows[] = {
      // The text is tested before the vault is looked at.
      {"blank text, missing vault", none, "missing", " \t\n\u3000\u00a0",
       "text is empty"},
      {"empty text, vault unset", none, std::nullopt, "", "text is empty"},
      {"vault unset", none, std::nullopt, "entry",
       "VESTIGOR_VAULT env var is not set"},
      {"plain file named daily", [](auto& v) { v.write("daily", "keep"); }, ".",
       "entry", "File exists (os error 17)"},
      {"link named daily to a file",
       [](auto& v) {
         v.write("other", "keep");
         v.symlink("other", "daily");
       },
       ".", "entry", "File exists (os error 17)"},
      {"folder with the note's name",
       [](auto& v) { v.mkdir("daily/2026-12-06.md"); }, ".", "entry",
       "Is a directory (os error 21)"},
      {"note links to /dev/full",
       [](auto& v) { v.symlink("/dev/full", "daily/2026-12-06.md"); }, ".",
       "entry", "No space left on device (os error 28)"},
      // Opening a FIFO for writing would wait for a reader; it fails at once.
      {"FIFO with the note's name",
       [](auto& v) {
         v.mkdir("daily");
         ASSERT_EQ(::mkfifo(v.at("daily/2026-12-06.md").c_str(), 0666), 0);
       },
       ".", "entry", "No such device or address (os error 6)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempVault v;
    row.setup(v);
    const FolderFiles before = tree_of(v.path());
    EXPECT_EQ(append(v, row.vault ? v.at(*row.vault) : row.vault, row.text),
              "error: " + row.message);
    EXPECT_EQ(tree_of(v.path()), before);
  }
}

}  // namespace
}  // namespace vestigor_mcp
