// append_undo.hpp: the rollback record of an append that one write may
// not finish. A writer killed in the middle of a write leaves part of its
// entry at the note's end, and cannot take it back; the next appender
// can, if it knows what was in flight. So before such a write the writer,
// holding the note's lock, writes and syncs a record beside the note (a
// hidden file, which no search reads): which file the note is, its size
// before the entry, and the entry's bytes. It holds the record's own lock
// while it lives, and removes the record once the entry is whole and
// synced, or undone. An appender that holds the note's lock and finds a
// record whose lock it can take knows its owner is gone, and cuts the
// note back to the recorded size when the bytes past it are a part of the
// recorded entry and nothing else; anything else it leaves as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/os.hpp"

namespace vestigor_mcp {

// Whether a writer killed while appending `size` bytes at `offset` may
// leave only part of them. The kernel copies a write into the file a page
// at a time and stops between pages once the writer is killed, so a write
// that stays inside one page lands whole or not at all. 4 KiB is the
// smallest page of the systems the server runs on; bigger pages only make
// more writes whole.
bool append_may_tear(std::uint64_t offset, std::size_t size);

// The record of one append in flight, made by UndoRecord::begin and
// removed by clear(). A record that is never cleared (its owner died) is
// left for the next appender.
class UndoRecord {
 public:
  // Writes and syncs the record at `path` for `entry`, about to be
  // appended to the note `note` (the file's identity) that holds `before`
  // bytes. nullopt when the record cannot be made (no room, or another
  // appender's record is there); nothing is then left behind, and the
  // entry goes without one.
  static std::optional<UndoRecord> begin(os::Io& io, std::string path,
                                         const os::FileId& note,
                                         std::uint64_t before,
                                         std::string_view entry);
  // Removes the record, unless it has been taken for a dead owner's and
  // another made since; the entry is whole and synced, or undone.
  void clear();

 private:
  UndoRecord(std::string path, os::Handle file)
      : path_(std::move(path)), file_(std::move(file)) {}
  std::string path_;
  os::Handle file_;
};

// Repairs what the owner of the record at `undo_path`, now dead, left in
// the note `note_path`, open for appending as `note` with the status
// `now`: with the note's lock held, cuts the note back when only part of
// the recorded entry is past the recorded size, and removes the record.
// A record whose owner lives is left alone. True when the note was cut.
bool roll_back_dead_append(os::Io& io, const os::Handle& note,
                           const os::Status& now, const std::string& note_path,
                           const std::string& undo_path);

// The file at `path` open for reading, when it is the file `id` (a handle
// open for appending cannot read).
std::optional<os::Handle> open_to_read(const std::string& path,
                                       const os::FileId& id);

}  // namespace vestigor_mcp
