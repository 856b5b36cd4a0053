// note_reader.hpp: reads the notes a search meets, in the order they are
// added, a piece at a time, reading ahead of the note being searched.
// Three ways, one answer:
//   - kRing (Linux): one io_uring opens each note ahead into a direct
//     descriptor and reads its first piece; later pieces are read through
//     the ring too. note_reader_linux.cpp. Setting up and tearing down a
//     ring costs several hundred microseconds, as much as a whole search
//     that stops early, so the first notes are read the kReadAhead way and
//     the ring is set up only once the search has taken kRingAfterNotes
//     notes.
//   - kReadAhead (Linux, when io_uring is refused, as container seccomp
//     profiles often do): notes ahead are opened and readahead(2) is asked
//     for their first piece; pieces are read with read(2).
//   - kOneByOne (every other system, and the portable build): each note is
//     opened when it is added and read before the next is added.
// The window of notes ahead starts small and widens only while the reads
// lag behind the search (a cold cache), and never beyond 8 plus the notes
// taken, so a search that stops early has read little past its stop. A note
// that cannot be opened or read gives its errno instead of a piece. A read that
// returns less than it asked for ends the note. Whatever is in flight is
// cancelled or waited for before the reader is gone.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <string_view>

#include "search/walk.hpp"

namespace vestigor_mcp {

enum class ReadWay { kRing, kReadAhead, kOneByOne };

// The bytes read at a time.
inline constexpr std::size_t kNotePieceBytes = std::size_t{32} << 10;
// Notes taken before a search sets up its ring.
inline constexpr std::size_t kRingAfterNotes = 64;

struct NotePiece {
  std::string_view bytes;  // valid until the next call
  bool last = false;
};

class NoteReader {
 public:
  // The first way of `preferred` and those after it that this system
  // gives; `piece_bytes` and `ring_after` other than the defaults are for
  // tests.
  explicit NoteReader(ReadWay preferred = ReadWay::kRing,
                      std::size_t piece_bytes = kNotePieceBytes,
                      std::size_t ring_after = kRingAfterNotes);
  ~NoteReader();
  NoteReader(const NoteReader&) = delete;
  NoteReader& operator=(const NoteReader&) = delete;

  // Whether another note may be added now.
  bool has_room();
  // Adds the walk's current note. ENOMEM when out of memory.
  std::expected<void, int> add(const NoteWalk& walk);

  bool empty() const;
  // The oldest note added and not yet dropped: its path, and its next piece
  // (or why it cannot be read).
  std::string_view path() const;
  std::expected<NotePiece, int> next_piece();
  void drop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vestigor_mcp
