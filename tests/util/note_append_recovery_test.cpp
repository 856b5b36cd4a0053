// What a dead or locked-out appender leaves in a daily note, and how the
// next one repairs it: an appender "killed" by an Io double (it throws
// out of the protocol in the middle of a write or a sync, closing its
// files as a dying process does), a failed append without the lock, and
// the hidden files of makers that died. Over real files; POSIX only (the
// tests hold locks and make processes the POSIX way).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "support/temp_folder.hpp"
#include "util/append_undo.hpp"
#include "util/note_append.hpp"
#include "util/os.hpp"

namespace vestigor_mcp {
namespace {

namespace fs = std::filesystem;

struct Killed {};  // what the double throws: the appender is gone

// The system's I/O, until the appender dies, or with a full disk.
struct DyingIo final : os::Io {
  // Where the appender dies: in a write to the note (after `take` bytes),
  // in a write to any other file (the same), or in the note's sync.
  enum class Death { kNever, kNoteWrite, kOtherWrite, kNoteSync };
  Death death = Death::kNever;
  os::FileId note;     // the note's identity
  int fail_write = 0;  // from the n-th write on, ENOSPC once `take` bytes
                       // went out; before it fails, `meanwhile` is
                       // appended to `other` by someone else
  std::size_t take = 0;
  std::string other;
  std::string meanwhile;
  bool line_feed_fits = false;  // a one-byte write after the failure works
  int writes = 0;

  bool is_note(const os::Handle& file) const {
    const auto st = os::status(file);
    return st && st->id == note;
  }
  os::Result<std::size_t> write(const os::Handle& file,
                                std::string_view bytes) override {
    ++writes;
    if (death == (is_note(file) ? Death::kNoteWrite : Death::kOtherWrite)) {
      (void)os::system_io().write(file, bytes.substr(0, take));
      throw Killed{};
    }
    if (fail_write != 0 && writes >= fail_write) {
      if (writes == fail_write) {
        const auto n = os::system_io().write(file, bytes.substr(0, take));
        if (!meanwhile.empty()) {
          std::ofstream(other, std::ios::app | std::ios::binary) << meanwhile;
        }
        return n;
      }
      if (!(line_feed_fits && bytes == "\n")) {
        return std::unexpected(os::OsError::system(ENOSPC));
      }
    }
    return os::system_io().write(file, bytes);
  }
  os::Result<std::size_t> read_at(const os::Handle& file, char* to,
                                  std::size_t size,
                                  std::uint64_t offset) override {
    return os::system_io().read_at(file, to, size, offset);
  }
  os::Result<void> sync_data(const os::Handle& file) override {
    if (death == Death::kNoteSync && is_note(file)) {
      throw Killed{};
    }
    return os::system_io().sync_data(file);
  }
};

using Folder = testing::TempFolder;

const std::string kNote = "2026-01-02.md";
const std::string kBefore = "# 2026-01-02\n\n- 09:00 before\n";
const std::string kBig = "- 10:00 " + std::string(6000, 'B') + "\n";
const std::string kNext = "- 10:01 next\n";

NoteEntry entry_of(const Folder& folder, const std::string& entry) {
  static std::string first;
  first = "# 2026-01-02\n\n" + entry;
  return {folder.path(), kNote, first, entry, {}};
}

TEST(AppendUndo, OnlyWritesThatLeaveTheirPageMayTear) {
  struct Row {
    std::uint64_t offset;
    std::size_t size;
    bool may_tear;
  };
  const Row rows[] = {{0, 4096, false},        {0, 4097, true},
                      {4095, 1, false},        {4095, 2, true},
                      {8192 + 100, 50, false}, {8192 + 4000, 200, true}};
  for (const Row& row : rows) {
    EXPECT_EQ(append_may_tear(row.offset, row.size), row.may_tear)
        << row.offset << " + " << row.size;
  }
}

// An appender dies at some point of a 6 KB entry; what someone else does
// to the note next; what the next appender finds and leaves.
TEST(AppendUndo, NextAppenderRepairsWhatAKilledOneLeft) {
  using Death = DyingIo::Death;
  enum class Then { kNothing, kHandEdit, kReplaced, kOwnerLives };
  struct Row {
    const char* what;
    Death death;
    std::size_t take;
    Then then;
    std::string expected;
    bool record_stays;
  };
  const std::string torn = kBefore + kBig.substr(0, 1000);
  const Row rows[] = {
      {"torn after 1000 bytes", Death::kNoteWrite, 1000, Then::kNothing,
       kBefore + kNext, false},
      {"killed as the entry began", Death::kNoteWrite, 0, Then::kNothing,
       kBefore + kNext, false},
      {"killed writing its record", Death::kOtherWrite, 100, Then::kNothing,
       kBefore + kNext, false},
      {"whole, not yet synced", Death::kNoteSync, 0, Then::kNothing,
       kBefore + kBig + kNext, false},
      {"torn, then a hand edit", Death::kNoteWrite, 1000, Then::kHandEdit,
       torn + "by hand\n" + kNext, false},
      {"torn, then the note replaced", Death::kNoteWrite, 1000, Then::kReplaced,
       "# new\n" + kNext, false},
      {"torn, its record's owner alive", Death::kNoteWrite, 1000,
       Then::kOwnerLives, torn + kNext, true},
  };
  const std::string undo = "." + kNote + ".undo";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Folder folder;
    folder.write(kNote, kBefore);
    DyingIo dying;
    dying.death = row.death;
    dying.take = row.take;
    dying.note =
        os::status(os::Folder::by_path(), folder.at(kNote).c_str())->id;
    EXPECT_THROW((void)append_note_entry(dying, entry_of(folder, kBig)),
                 Killed);
    int owner = -1;
    switch (row.then) {
      case Then::kNothing:
        break;
      case Then::kHandEdit:
        folder.write(kNote, "by hand\n", std::ios::app);
        break;
      case Then::kReplaced:
        folder.write("new.md", "# new\n");
        fs::rename(folder.at("new.md"), folder.at(kNote));
        break;
      case Then::kOwnerLives:
        owner = ::open(folder.at(undo).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(::flock(owner, LOCK_EX), 0);
        break;
    }
    ASSERT_TRUE(append_note_entry(os::system_io(), entry_of(folder, kNext))
                    .has_value());
    EXPECT_EQ(folder.read(kNote), row.expected);
    EXPECT_EQ(folder.names().contains(undo), row.record_stays);
    EXPECT_EQ(folder.names().size(), row.record_stays ? 2U : 1U);
    if (owner >= 0) {
      ::close(owner);
    }
  }
}

// Another program holds the note's lock, so the append goes without it
// (after the two seconds appenders wait), and the disk fills during it.
TEST(AppendUndo, FailedAppendWithoutTheLockIsCutOrEndedWithALineFeed) {
  const std::string entry = "- 10:00 " + std::string(3000, 'E') + "\n";
  struct Row {
    const char* what;
    std::string meanwhile;  // the lock holder's own append
    bool line_feed_fits;
    std::string expected;
  };
  const Row rows[] = {
      {"only our bytes past the size: cut, even with no room for a line feed",
       "", false, kBefore},
      {"the holder appended as well: ended with a line feed", "x", true,
       kBefore + entry.substr(0, 1000) + "x\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Folder folder;
    folder.write(kNote, kBefore);
    const int holder = ::open(folder.at(kNote).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    DyingIo full;
    full.fail_write = 1;
    full.take = 1000;
    full.other = folder.at(kNote);
    full.meanwhile = row.meanwhile;
    full.line_feed_fits = row.line_feed_fits;
    const auto kept = append_note_entry(full, entry_of(folder, entry));
    ::close(holder);
    ASSERT_FALSE(kept.has_value());
    EXPECT_EQ(kept.error(), os::OsError::system(ENOSPC));
    EXPECT_EQ(folder.read(kNote), row.expected);
    EXPECT_EQ(folder.names().size(), 1U);
  }
}

// The id of a process that has ended.
pid_t ended_process() {
  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

TEST(NoteAppend, FirstEntryRemovesTheHiddenFilesOfDeadMakers) {
  const std::string dead = std::to_string(ended_process());
  const std::string alive = std::to_string(::getpid());
  ASSERT_FALSE(os::process_alive(static_cast<std::uint32_t>(std::stoul(dead))));
  ASSERT_TRUE(os::process_alive(static_cast<std::uint32_t>(::getpid())));
  const std::set<std::string> removed = {
      ".2026-01-02.md." + dead + ".123",
      ".2025-12-31.md." + dead + ".9",  // another day's
  };
  const std::set<std::string> kept = {
      ".2026-01-02.md." + alive + ".5",   // its maker lives
      ".2026-01-02.md." + dead,           // not a maker's name
      ".2026-01-02.md." + dead + ".12x",  //
      ".2026-01-02.md.0.7",               //
      "." + dead + ".2026-01-02.md.1",    //
      ".notes.md." + dead + ".1",         // another kind of note
      ".2026-01-02.txt." + dead + ".1",   //
      "2026-01-02.md." + dead + ".1",     // not hidden
      ".2026-01-02.md.undo",              // a rollback record
  };
  Folder folder;
  for (const std::string& name : removed) {
    folder.write(name, "# 2026-01-02\n\n- 09:00 lost\n");
  }
  for (const std::string& name : kept) {
    folder.write(name, "# 2026-01-02\n\n- 09:00 lost\n");
  }
  fs::create_directory(folder.at(".2026-01-03.md." + dead + ".4"));
  ASSERT_TRUE(
      append_note_entry(os::system_io(), entry_of(folder, kNext)).has_value());
  std::set<std::string> expected = kept;
  expected.insert(kNote);
  expected.insert(".2026-01-03.md." + dead + ".4");  // a folder
  EXPECT_EQ(folder.names(), expected);
  EXPECT_EQ(folder.read(kNote), "# 2026-01-02\n\n" + kNext);
}

}  // namespace
}  // namespace vestigor_mcp
