// note_reader_sync.hpp: the note reader's plain-read way, shared by every
// system. Notes are opened when added; with a depth above one, the notes
// ahead are opened early and the system is asked to read their first
// piece ahead (posix_fadvise WILLNEED), so their pages are on the way while
// the notes before them are searched. A depth of one reads one note at a
// time.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "tools/note_reader.hpp"
#include "util/buffer.hpp"

namespace vestigor_mcp {

class SyncNotes {
 public:
  SyncNotes(std::size_t depth, std::size_t piece_bytes);
  ~SyncNotes();
  SyncNotes(const SyncNotes&) = delete;
  SyncNotes& operator=(const SyncNotes&) = delete;

  bool has_room() const;
  std::expected<void, int> add(const NoteWalk& walk);
  bool empty() const { return count_ == 0; }
  std::string_view path() const { return slots_[head_].path; }
  std::expected<NotePiece, int> next_piece();
  void drop();

 private:
  struct Slot {
    std::string path;
    int fd = -1;
    int error = 0;  // why it could not be opened
  };

  std::size_t piece_bytes_;
  std::vector<Slot> slots_;  // a ring: count_ slots from head_
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::size_t taken_ = 0;  // notes dropped so far
  Buffer piece_;
};

// The slow start shared by the ways that read ahead: how many notes may be
// in the window after `taken` notes were dropped.
inline std::size_t window_limit(std::size_t depth, std::size_t taken) {
  return depth < 8 + taken ? depth : 8 + taken;
}

}  // namespace vestigor_mcp
