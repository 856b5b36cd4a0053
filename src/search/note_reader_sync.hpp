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

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "search/note_reader.hpp"
#include "search/slot_ring.hpp"
#include "util/buffer.hpp"
#include "util/os.hpp"

namespace vestigor_mcp {

// What a system offers to read ahead of need.
struct ReadHints {
  // Reads what the page cache holds of the range without waiting for the
  // disk: the bytes read, or a failure (kWouldBlock-like: none cached).
  os::Result<std::size_t> (*read_cached)(const os::Handle& file, char* to,
                                         std::size_t size,
                                         std::uint64_t offset);
  // Whether a read_cached failure says that nothing is cached.
  bool (*nothing_cached)(const os::OsError& error);
  // Asks for the first `bytes` of the file to be read into the cache.
  void (*read_ahead)(const os::Handle& file, std::size_t bytes);
};

struct SyncSlot {
  std::string path;
  os::Handle file;
  os::OsError error = os::OsError::system(0);  // why it could not be opened
  std::uint64_t size = 0;
  std::uint64_t offset = 0;  // of the next piece
};

class SyncNotes final : public NoteReader {
 public:
  // `hints` may be null: no hints. Reads go through `io`.
  SyncNotes(std::size_t depth, std::size_t piece_bytes, const ReadHints* hints,
            os::Io& io = os::system_io());
  ~SyncNotes() override;
  SyncNotes(const SyncNotes&) = delete;
  SyncNotes& operator=(const SyncNotes&) = delete;

  bool has_room() const override;
  bool add(const os::Handle& folder, const char* name,
           std::string_view path) override;
  bool empty() const override { return notes_.ring_empty(); }
  std::string_view path() const override { return notes_.front_path(); }
  os::Result<NotePiece> next_piece() override;
  os::Result<std::size_t> read_back(std::uint64_t offset, char* to,
                                    std::size_t size) override;
  void drop() override;

  std::size_t taken() const { return notes_.taken(); }

 private:
  // SlotRing with its slots open to this reader.
  struct Notes : SlotRing<SyncSlot> {
    using SlotRing::at;
    using SlotRing::front;
    using SlotRing::index;
    using SlotRing::pop;
    using SlotRing::push;
    using SlotRing::SlotRing;
  };

  Notes notes_;
  std::size_t piece_bytes_;
  const ReadHints* hints_;
  os::Io* io_;
  // Whether the last reads found their pages missing; how many reads in a
  // row found them cached.
  bool cold_ = false;
  std::size_t cached_run_ = 0;
  bool no_cached_reads_ = false;
  bool one_by_one_ = false;  // descriptors ran out: no more reading ahead
  Buffer piece_;
};

}  // namespace vestigor_mcp
