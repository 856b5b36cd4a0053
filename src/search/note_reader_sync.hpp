// note_reader_sync.hpp: the note reader's plain-read way, shared by every
// system. Notes are opened when added. With a depth above one and the
// system's hints (Linux), the notes ahead are opened early, and while reads
// find the pages missing the system is asked to read the first piece of
// every note ahead, so that their pages are on the way while the notes
// before them are searched; while reads find the pages cached, no hint is
// given (a hint costs a system call per note). A depth of one reads one
// note at a time, and so does any depth while the cache is warm: opening
// notes early helps only while the disk is waited for.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "search/note_reader.hpp"
#include "util/buffer.hpp"

namespace vestigor_mcp {

// What a system offers to read ahead of need.
struct ReadHints {
  // Reads what the page cache holds of the range without waiting for the
  // disk: the bytes read, or -1 with errno (EAGAIN when none are cached).
  ssize_t (*read_cached)(int fd, char* to, std::size_t size, off_t offset);
  // Asks for the first `bytes` of the file to be read into the cache.
  void (*read_ahead)(int fd, std::size_t bytes);
};

// The notes in a reader's window, in the order they were added: a ring
// of slots (each with the note's `path`) holding size() notes from the
// front one, and the count of notes dropped so far. Each way of reading
// keeps its notes in one.
template <typename Slot>
class SlotRing {
 public:
  explicit SlotRing(std::size_t depth = 0) : slots_(depth) {}

  std::size_t depth() const { return slots_.size(); }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  // Notes dropped so far.
  std::size_t taken() const { return taken_; }
  // The front note's path.
  std::string_view path() const { return slots_[head_].path; }

 protected:
  void resize(std::size_t depth) { slots_.resize(depth); }
  // Where the front slot, or the `i`-th one after it, is in the ring.
  std::size_t index(std::size_t i = 0) const {
    return (head_ + i) % slots_.size();
  }
  Slot& at(std::size_t index) { return slots_[index]; }
  Slot& front() { return slots_[head_]; }
  // Takes the slot after the last one: where it is in the ring.
  std::size_t push() { return index(count_++); }
  // Lets the front slot go.
  void pop() {
    head_ = index(1);
    --count_;
    ++taken_;
  }

 private:
  std::vector<Slot> slots_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::size_t taken_ = 0;
};

struct SyncSlot {
  std::string path;
  int fd = -1;
  int error = 0;  // why it could not be opened
  off_t size = 0;
  off_t offset = 0;  // of the next piece
};

class SyncNotes : public SlotRing<SyncSlot> {
 public:
  // `hints` may be null: no hints.
  SyncNotes(std::size_t depth, std::size_t piece_bytes, const ReadHints* hints);
  ~SyncNotes();
  SyncNotes(const SyncNotes&) = delete;
  SyncNotes& operator=(const SyncNotes&) = delete;

  bool has_room() const;
  std::expected<void, int> add(const NoteWalk& walk);
  std::expected<NotePiece, int> next_piece();
  void drop();

 private:
  std::size_t piece_bytes_;
  const ReadHints* hints_;
  // Whether the last reads found their pages missing; how many reads in a
  // row found them cached.
  bool cold_ = false;
  std::size_t cached_run_ = 0;
  bool no_cached_reads_ = false;
  Buffer piece_;
};

// The slow start shared by the ways that read ahead: how many notes may be
// in the window after `taken` notes were dropped, when reads have shown
// that `wanted` notes ahead are worth having.
inline std::size_t window_limit(std::size_t depth, std::size_t taken,
                                std::size_t wanted) {
  return std::min({depth, 8 + taken, wanted});
}

}  // namespace vestigor_mcp
