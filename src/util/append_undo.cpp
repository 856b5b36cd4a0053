#include "util/append_undo.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

namespace vestigor_mcp {

namespace {

constexpr std::uint64_t kPage = 4096;

// A record: this line, then "<device> <index> <before> <size>\n" in
// decimal, then the entry's `size` bytes.
constexpr std::string_view kMagic = "vestigor-mcp undo 1\n";

struct Recorded {
  os::FileId note;
  std::uint64_t before = 0;
  std::uint64_t size = 0;
  std::uint64_t entry_at = 0;  // where the entry's bytes start
};

std::string header_of(const os::FileId& note, std::uint64_t before,
                      std::size_t size) {
  return std::string(kMagic) + std::to_string(note.device) + " " +
         std::to_string(note.index) + " " + std::to_string(before) + " " +
         std::to_string(size) + "\n";
}

// The record's header, when it has a whole one.
std::optional<Recorded> read_header(os::Io& io, const os::Handle& record) {
  std::array<char, 128> head{};
  const auto got = os::read_at(io, record, head.data(), head.size(), 0);
  if (!got) {
    return std::nullopt;
  }
  const std::string_view text(head.data(), *got);
  if (!text.starts_with(kMagic)) {
    return std::nullopt;
  }
  const char* at = text.data() + kMagic.size();
  const char* const end = text.data() + text.size();
  std::array<std::uint64_t, 4> numbers{};
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    const auto [next, error] = std::from_chars(at, end, numbers[i]);
    const char separator = i + 1 < numbers.size() ? ' ' : '\n';
    if (error != std::errc() || next == end || *next != separator) {
      return std::nullopt;
    }
    at = next + 1;
  }
  return Recorded{{numbers[0], numbers[1]},
                  numbers[2],
                  numbers[3],
                  static_cast<std::uint64_t>(at - text.data())};
}

// How many bytes from `recorded.before` on the note holds as the recorded
// entry has them, looking at no more than `limit`.
std::uint64_t matching_bytes(os::Io& io, const os::Handle& note,
                             const os::Handle& record, const Recorded& recorded,
                             std::uint64_t limit) {
  constexpr std::size_t kChunk = std::size_t{64} * 1024;
  std::vector<char> ours(kChunk);
  std::vector<char> theirs(kChunk);
  std::uint64_t same = 0;
  while (same < limit) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, limit - same));
    const auto in_note =
        os::read_at(io, note, theirs.data(), want, recorded.before + same);
    const auto in_record =
        os::read_at(io, record, ours.data(), want, recorded.entry_at + same);
    if (!in_note || !in_record) {
      return same;  // unreadable: counts as different
    }
    const std::size_t both = std::min(*in_note, *in_record);
    const auto [mismatch, _] = std::mismatch(
        theirs.begin(), theirs.begin() + static_cast<long>(both), ours.begin());
    const auto equal = static_cast<std::size_t>(mismatch - theirs.begin());
    same += equal;
    if (equal < both || both == 0) {
      return same;
    }
  }
  return same;
}

// Cuts the note back to the size the record `record` (`record_size`
// bytes) gives, when only part of its entry is past that size. True when
// cut.
bool cut_torn_entry(os::Io& io, const os::Handle& note, const os::Status& now,
                    const std::string& note_path, const os::Handle& record,
                    std::uint64_t record_size) {
  const auto recorded = read_header(io, record);
  // A record shorter than it says was cut short itself: its owner never
  // began the entry. One for another file concerns no note any more.
  if (!recorded || recorded->note != now.id ||
      record_size != recorded->entry_at + recorded->size ||
      now.size <= recorded->before) {
    return false;
  }
  const auto reader = open_to_read(note_path, now.id);
  if (!reader) {
    return false;
  }
  const std::uint64_t past = now.size - recorded->before;
  const std::uint64_t same = matching_bytes(io, *reader, record, *recorded,
                                            std::min(past, recorded->size));
  // Part of the entry and nothing after it: torn, and the owner's own.
  // The whole entry stays (it only missed its sync); bytes that are not
  // the entry's are someone else's, and stay with what precedes them.
  if (same != past || past >= recorded->size ||
      !os::truncate(note, recorded->before)) {
    return false;
  }
  (void)os::sync_data(io, note);
  return true;
}

}  // namespace

bool append_may_tear(std::uint64_t offset, std::size_t size) {
  return offset % kPage + size > kPage;
}

std::optional<UndoRecord> UndoRecord::begin(os::Io& io, std::string path,
                                            const os::FileId& note,
                                            std::uint64_t before,
                                            std::string_view entry) {
  auto file = os::open_append(path.c_str(), os::Create::kNew);
  if (!file) {
    return std::nullopt;
  }
  UndoRecord record(std::move(path), std::move(*file));
  // Held until the record goes: whoever finds the record and can take
  // this lock knows that its owner is gone.
  const bool owned = os::try_lock(record.file_).value_or(false);
  std::size_t written = 0;
  if (!owned ||
      !os::write_all(io, record.file_, header_of(note, before, entry.size()),
                     written) ||
      !os::write_all(io, record.file_, entry, written) ||
      !os::sync_data(io, record.file_)) {
    record.clear();
    return std::nullopt;
  }
  return record;
}

void UndoRecord::clear() {
  const auto held = os::status(file_);
  const auto named =
      os::status(os::Folder::by_path(), path_.c_str(), os::Links::kNoFollow);
  if (held && named && held->id == named->id) {
    (void)os::remove(path_.c_str());
  }
  file_.close();
}

std::optional<os::Handle> open_to_read(const std::string& path,
                                       const os::FileId& id) {
  auto file = os::open_regular(os::Folder::by_path(), path.c_str());
  if (!file) {
    return std::nullopt;
  }
  const auto st = os::status(file->handle);
  if (!st || st->id != id) {
    return std::nullopt;
  }
  return std::move(file->handle);
}

bool roll_back_dead_append(os::Io& io, const os::Handle& note,
                           const os::Status& now, const std::string& note_path,
                           const std::string& undo_path) {
  auto record = os::open_regular(os::Folder::by_path(), undo_path.c_str());
  if (!record) {
    return false;  // none, as nearly always
  }
  if (!os::try_lock(record->handle).value_or(false)) {
    return false;  // its owner lives (appending to a file that has lost
                   // the note's name, or the lock is not had here)
  }
  const auto held = os::status(record->handle);
  if (!held || held->links == 0) {
    return false;  // cleared since it was opened
  }
  const bool cut =
      cut_torn_entry(io, note, now, note_path, record->handle, held->size);
  (void)os::remove(undo_path.c_str());
  return cut;
}

}  // namespace vestigor_mcp
