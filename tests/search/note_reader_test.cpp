// The note readers against what is not a note when it is opened (a FIFO
// with a writer, a link to an endless device), and against a process out
// of descriptors: every way skips the first, and read-ahead never costs a
// note for the second.
#include "search/note_reader.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "search/find_notes.hpp"
#include "support/temp_vault.hpp"

namespace vestigor_mcp {
namespace {

using testing::TempVault;

constexpr TEST_ReadWay kWays[] = {TEST_ReadWay::kRing, TEST_ReadWay::kReadAhead,
                                  TEST_ReadWay::kOneByOne};

// Reads the note `name` in `folder` whole with a fresh reader of `way`:
// its bytes, or nullopt when the reader gives an error.
std::optional<std::string> read_note(TEST_ReadWay way, const os::Handle& folder,
                                     const char* name) {
  const auto reader = make_note_reader({way, 4096, 0});
  EXPECT_TRUE(reader->add(folder, name, name));
  std::string bytes;
  for (int piece = 0; piece < 64; ++piece) {  // bounded: 256 KiB at most
    const auto got = reader->next_piece();
    if (!got) {
      return std::nullopt;
    }
    bytes += got->bytes;
    if (got->last) {
      return bytes;
    }
  }
  return "endless";
}

TEST(NoteReader, EveryWaySkipsWhatIsNotARegularFileWhenOpened) {
  TempVault vault;
  vault.write("note.md", "needle\n");
  ASSERT_EQ(::mkfifo(vault.at("fifo.md").c_str(), 0600), 0);
  // A writer holds the FIFO open with a line in it, so a read would get it.
  const int writer = ::open(vault.at("fifo.md").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(::write(writer, "needle\n", 7), 7);
  vault.symlink("/dev/zero", "zero.md");
  const auto folder =
      os::open_folder(os::Folder::by_path(), vault.path().c_str());
  ASSERT_TRUE(folder.has_value());
  for (const TEST_ReadWay way : kWays) {
    SCOPED_TRACE(static_cast<int>(way));
    EXPECT_EQ(read_note(way, *folder, "note.md"), "needle\n");
    EXPECT_EQ(read_note(way, *folder, "fifo.md"), std::nullopt);
    EXPECT_EQ(read_note(way, *folder, "zero.md"), std::nullopt);
  }
  ::close(writer);
}

// In a child with only a few descriptors free: how many notes the search
// found, as its exit status.
int matches_with_few_descriptors(const std::string& vault, TEST_ReadWay way,
                                 int free_descriptors) {
  const pid_t child = ::fork();
  if (child == 0) {
    const rlimit limit{256, 256};  // enough for a ring of 64 notes
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      ::_exit(255);
    }
    std::vector<int> held;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
      held.push_back(fd);
    }
    for (int i = 0; i < free_descriptors && !held.empty(); ++i) {
      ::close(held.back());
      held.pop_back();
    }
    struct Count final : MatchSink {
      void take(std::string_view, std::size_t, std::string_view) override {
        ++notes;
      }
      int notes = 0;
    } count;
    const auto found =
        TEST_find_notes(vault, "needle", 200, count, {way, 4096, 0});
    ::_exit(found ? count.notes : 254);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(NoteReader, ReadingAheadNeverCostsANoteWhenDescriptorsRunOut) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' own checks need descriptors (a pipe to "
                  "probe memory) that the few left here cannot give";
#endif
  TempVault vault;
  // Each note in its own folder: the ring holds a folder's descriptor for
  // every note in flight, and the walk one for every folder it is in.
  for (int i = 0; i < 40; ++i) {
    std::string path = std::to_string(100 + i);
    path += "/sub/n.md";
    vault.write(path, "a needle\n");
  }
  for (const TEST_ReadWay way : kWays) {
    SCOPED_TRACE(static_cast<int>(way));
    for (const int free : {5, 6, 8}) {
      EXPECT_EQ(matches_with_few_descriptors(vault.path(), way, free), 40)
          << free << " descriptors free";
    }
  }
}

}  // namespace
}  // namespace vestigor_mcp
