// The daily note's write protocol against a disk that fails: an Io double
// fails the n-th write, interrupts calls, shortens writes and reads, makes
// no progress or fails a sync, over real files. Runs in every build.
#include "util/note_append.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "support/temp_folder.hpp"
#include "util/buffer.hpp"
#include "util/fs.hpp"
#include "util/os.hpp"

namespace vestigor_mcp {
namespace {

namespace fs = std::filesystem;

// The system's I/O, with the faults a row asks for.
struct FaultyIo final : os::Io {
  int fail_write = 0;  // the n-th write (from 1) fails with `write_error`
  os::OsError write_error = os::OsError::system(EIO);
  std::size_t write_at_most = SIZE_MAX;  // bytes a write takes
  bool no_progress = false;              // writes take nothing
  std::size_t read_at_most = SIZE_MAX;
  bool interrupt = false;  // every other call is interrupted first
  bool fail_sync = false;
  os::OsError sync_error = os::OsError::system(ENOSPC);
  int writes = 0;
  int interrupted = 0;

  bool interrupted_now() { return interrupt && ++interrupted % 2 == 1; }
  os::Result<std::size_t> write(const os::Handle& file,
                                std::string_view bytes) override {
    if (interrupted_now()) {
      return std::unexpected(os::OsError::of(os::Errc::kInterrupted));
    }
    if (++writes == fail_write) {
      return std::unexpected(write_error);
    }
    if (no_progress) {
      return 0;
    }
    return os::system_io().write(
        file, bytes.substr(0, std::min(bytes.size(), write_at_most)));
  }
  os::Result<std::size_t> read_at(const os::Handle& file, char* to,
                                  std::size_t size,
                                  std::uint64_t offset) override {
    if (interrupted_now()) {
      return std::unexpected(os::OsError::of(os::Errc::kInterrupted));
    }
    return os::system_io().read_at(file, to, std::min(size, read_at_most),
                                   offset);
  }
  os::Result<void> sync_data(const os::Handle& file) override {
    if (interrupted_now()) {
      return std::unexpected(os::OsError::of(os::Errc::kInterrupted));
    }
    if (fail_sync) {
      return std::unexpected(sync_error);
    }
    return os::system_io().sync_data(file);
  }
};

using Folder = testing::TempFolder;

constexpr std::string_view kFirst = "# 2026-01-02\n\n- 10:00 hello\n";
constexpr std::string_view kEntry = "- 10:00 hello\n";

NoteEntry entry_in(const Folder& folder) {
  return {folder.path(), "2026-01-02.md", kFirst, kEntry, {}};
}

TEST(NoteAppend, FinishesWhatInterruptedAndShortCallsLeave) {
  struct Row {
    const char* what;
    bool interrupt;
    std::size_t write_at_most;
  };
  const Row rows[] = {
      {"every call interrupted once", true, SIZE_MAX},
      {"one byte per write", false, 1},
      {"both", true, 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const bool exists : {false, true}) {
      Folder folder;
      if (exists) {
        folder.write("2026-01-02.md", "# 2026-01-02\n\n- 09:00 before\n");
      }
      FaultyIo io;
      io.interrupt = row.interrupt;
      io.write_at_most = row.write_at_most;
      ASSERT_TRUE(append_note_entry(io, entry_in(folder)).has_value());
      EXPECT_EQ(folder.read("2026-01-02.md"),
                exists
                    ? "# 2026-01-02\n\n- 09:00 before\n" + std::string(kEntry)
                    : std::string(kFirst));
      EXPECT_EQ(folder.entries(), 1U) << "no hidden file is left";
    }
  }
}

TEST(NoteAppend, AFailedWriteLeavesTheNoteAsItWasAndSaysWhy) {
  const std::string before = "# 2026-01-02\n\n- 09:00 before\n";
  struct Row {
    const char* what;
    int fail_write;
    std::size_t write_at_most;
    bool no_progress;
    os::OsError error;
  };
  const Row rows[] = {
      {"EIO at the first write", 1, SIZE_MAX, false, os::OsError::system(EIO)},
      {"EIO after 3 bytes went out", 2, 3, false, os::OsError::system(EIO)},
      {"disk full after 1 byte", 2, 1, false, os::OsError::system(ENOSPC)},
      {"a write that takes nothing", 0, SIZE_MAX, true,
       os::OsError::no_progress()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    for (const bool exists : {false, true}) {
      Folder folder;
      if (exists) {
        folder.write("2026-01-02.md", before);
      }
      FaultyIo io;
      io.fail_write = row.fail_write;
      io.write_error = row.error;
      io.write_at_most = row.write_at_most;
      io.no_progress = row.no_progress;
      const auto kept = append_note_entry(io, entry_in(folder));
      ASSERT_FALSE(kept.has_value());
      EXPECT_EQ(kept.error(), row.error);
      if (exists) {
        EXPECT_EQ(folder.read("2026-01-02.md"), before);
      } else {
        EXPECT_EQ(folder.entries(), 0U) << "no note and no hidden file";
      }
    }
  }
#ifndef _WIN32
  EXPECT_EQ(os::os_error_text(os::OsError::system(ENOSPC)),
            "No space left on device (os error 28)");
#endif
  EXPECT_EQ(os::os_error_text(os::OsError::no_progress()),
            "failed to write whole buffer");
}

TEST(NoteAppend, AFailedSyncIsReportedWithTheEntryMaybeKept) {
  for (const bool exists : {false, true}) {
    Folder folder;
    if (exists) {
      folder.write("2026-01-02.md", "# 2026-01-02\n\n");
    }
    FaultyIo io;
    io.fail_sync = true;
    const auto kept = append_note_entry(io, entry_in(folder));
    ASSERT_FALSE(kept.has_value());
    EXPECT_EQ(kept.error(), os::OsError::system(ENOSPC));
    // An existing note keeps the entry (it was written); a new one is
    // never made from a hidden file whose sync failed.
    EXPECT_EQ(exists ? folder.read("2026-01-02.md") : "",
              exists ? "# 2026-01-02\n\n" + std::string(kEntry) : "");
    EXPECT_EQ(folder.entries(), exists ? 1U : 0U);
  }
}

TEST(ReadRegularFile, ReadsWholeThroughShortAndInterruptedReads) {
  Folder folder;
  const std::string text(70000, 'x');
  folder.write("big.md", text + "end");
  for (const std::size_t at_most : {std::size_t{1000}, std::size_t{7}}) {
    FaultyIo io;
    io.interrupt = true;
    io.read_at_most = at_most;
    Buffer buffer;
    const std::string path = folder.path() + "/big.md";
    const auto read =
        read_regular_file(os::Folder::by_path(), path.c_str(), buffer, io);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(*read, text + "end");
  }
}

}  // namespace
}  // namespace vestigor_mcp
