// note_reader.hpp: reads the notes a search meets, in the order they are
// added, a piece at a time, reading ahead of the note being searched. One
// interface, three ways, one answer; make_note_reader picks the way:
//   - the ring (Linux): one io_uring opens each note ahead into a direct
//     descriptor and reads its first piece; later pieces are read through
//     the ring too (note_reader_linux.cpp). Setting up and tearing down a
//     ring costs several hundred microseconds, as much as a whole search
//     that stops early, so the first notes are read the plain way and the
//     ring is set up only once the search has taken kRingAfterNotes notes.
//   - plain reads with read-ahead (Linux, when io_uring is refused, as
//     container seccomp profiles often do): notes ahead are opened and
//     readahead(2) is asked for their first piece (note_reader_sync.cpp).
//   - one by one (every other system, and the portable build): each note
//     is opened when it is added and read before the next is added.
// The window of notes ahead starts small and widens only while the reads
// lag behind the search (a cold cache), and never beyond 8 plus the notes
// taken, so a search that stops early has read little past its stop.
// Read-ahead never costs a note: a note that cannot be opened for want of
// descriptors while others are held is refused (add gives false), to be
// added again once those are searched, and from then on notes are read
// one at a time. Only regular files are read: what is not one when it is
// opened gives an error instead of a piece, like a note that cannot be
// opened or read. A read that returns less than it asked for ends the
// note. Whatever is in flight is cancelled or waited for before the
// reader is gone. Out of memory throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "util/os.hpp"

namespace vestigor_mcp {

// The bytes read at a time.
inline constexpr std::size_t kNotePieceBytes = std::size_t{32} << 10;
// Notes taken before a search sets up its ring.
inline constexpr std::size_t kRingAfterNotes = 64;

struct NotePiece {
  std::string_view bytes;  // valid until the next call
  // Whether no piece follows. A whole word, not a bool: no tail padding
  // in what a Result carries (os::OsError's no_progress_ says why).
  std::size_t last = 0;
};
static_assert(os::kNoTailPadding<NotePiece>);

class NoteReader {
 public:
  virtual ~NoteReader() = default;

  // Whether another note may be added now.
  virtual bool has_room() const = 0;
  // Adds the note `name` in `folder`, known as `path`; false, with nothing
  // added, when it cannot be opened for want of descriptors while other
  // notes are held: search and drop those, then add it again.
  virtual bool add(const os::Handle& folder, const char* name,
                   std::string_view path) = 0;

  virtual bool empty() const = 0;
  // The oldest note added and not yet dropped: its path, and its next
  // piece (or why it cannot be read).
  virtual std::string_view path() const = 0;
  virtual os::Result<NotePiece> next_piece() = 0;
  // Reads the oldest note's bytes from `offset` into `to`, up to `size` of
  // them or the note's end: how many were read. For a line too long to
  // have been held, read again once it is known to be reported.
  virtual os::Result<std::size_t> read_back(std::uint64_t offset, char* to,
                                            std::size_t size) = 0;
  virtual void drop() = 0;
};

// For tests: a way to start from (or the next this system has).
enum class TEST_ReadWay { kRing, kReadAhead, kOneByOne };

struct ReaderKnobs {
  TEST_ReadWay way = TEST_ReadWay::kRing;
  std::size_t piece_bytes = kNotePieceBytes;
  std::size_t ring_after = kRingAfterNotes;
};

// The reader this system reads with; knobs other than the defaults are
// for tests.
std::unique_ptr<NoteReader> make_note_reader(const ReaderKnobs& knobs = {});

}  // namespace vestigor_mcp
