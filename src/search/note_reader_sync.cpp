#include "search/note_reader_sync.hpp"

#include <new>

namespace vestigor_mcp {

namespace {

// Reads in a row that must find their pages cached before the hints stop.
constexpr std::size_t kCachedRunToStopHints = 64;
constexpr std::size_t kTakenPerNoteAhead = 4;

}  // namespace

SyncNotes::SyncNotes(std::size_t depth, std::size_t piece_bytes,
                     const ReadHints* hints, os::Io& io)
    : notes_(depth),
      piece_bytes_(piece_bytes),
      hints_(depth > 1 ? hints : nullptr),
      io_(&io) {}

SyncNotes::~SyncNotes() {
  while (!empty()) {
    drop();
  }
}

bool SyncNotes::has_room() const {
  // Opening a note ahead waits for its inode when the cache is cold, and a
  // note opened past the search's stop is wasted: the window grows by one
  // note for every four taken.
  return notes_.size() < (cold_ && !one_by_one_
                              ? window_limit(notes_.depth(), taken(),
                                             1 + taken() / kTakenPerNoteAhead)
                              : 1);
}

bool SyncNotes::add(const os::Handle& folder, const char* name,
                    std::string_view path) {
  // The one piece buffer, made before any note needs it: running out of
  // memory fails the search instead of skipping notes.
  if (!piece_.reserve(piece_bytes_)) {
    throw std::bad_alloc();
  }
  auto file = os::open_regular(folder, name);
  if (!file && file.error().is(os::Errc::kTooManyFiles) && !empty()) {
    one_by_one_ = true;  // the notes held ahead go first
    return false;
  }
  SyncSlot& slot = notes_.at(notes_.push());
  slot.path.assign(path);
  slot.offset = 0;
  if (!file) {
    slot.file.close();
    slot.error = file.error();
    return true;
  }
  slot.file = std::move(file->handle);
  slot.size = file->size;
  if (cold_) {
    hints_->read_ahead(slot.file, piece_bytes_);
  }
  return true;
}

os::Result<NotePiece> SyncNotes::next_piece() {
  SyncSlot& slot = notes_.front();
  if (!slot.file.is_open()) {
    return std::unexpected(slot.error);
  }
  os::Result<std::size_t> n = std::unexpected(slot.error);
  bool read = false;
  bool partial = false;  // a cached part only: more may follow
  if (hints_ != nullptr && !no_cached_reads_) {
    n = hints_->read_cached(slot.file, piece_.data(), piece_bytes_,
                            slot.offset);
    read = n.has_value();
    partial = n && *n > 0 && *n < piece_bytes_ && slot.offset + *n < slot.size;
    if (n && !partial) {
      if (cold_ && ++cached_run_ == kCachedRunToStopHints) {
        cold_ = false;
      }
    } else if (n || hints_->nothing_cached(n.error())) {
      cached_run_ = 0;
      if (!cold_) {
        // The disk is being waited for: hint every note ahead from now on.
        cold_ = true;
        for (std::size_t i = 1; i < notes_.size(); ++i) {
          const SyncSlot& ahead = notes_.at(notes_.index(i));
          if (ahead.file.is_open()) {
            hints_->read_ahead(ahead.file, piece_bytes_);
          }
        }
      }
    } else {
      no_cached_reads_ = true;  // a file system that cannot tell
    }
  }
  if (!read) {
    n = os::read_at(*io_, slot.file, piece_.data(), piece_bytes_, slot.offset);
  }
  if (!n) {
    return std::unexpected(n.error());
  }
  slot.offset += *n;
  return NotePiece{{piece_.data(), *n}, !partial && *n < piece_bytes_};
}

os::Result<std::size_t> SyncNotes::read_back(std::uint64_t offset, char* to,
                                             std::size_t size) {
  const SyncSlot& slot = notes_.front();
  if (!slot.file.is_open()) {
    return std::unexpected(slot.error);
  }
  return os::read_span(*io_, slot.file, to, size, offset);
}

void SyncNotes::drop() {
  notes_.front().file.close();
  notes_.pop();
}

}  // namespace vestigor_mcp
