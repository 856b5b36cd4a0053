#include "search/note_reader_sync.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "util/eintr.hpp"
#include "util/fs.hpp"

namespace vestigor_mcp {

namespace {

// Reads in a row that must find their pages cached before the hints stop.
constexpr std::size_t kCachedRunToStopHints = 64;
constexpr std::size_t kTakenPerNoteAhead = 4;

}  // namespace

SyncNotes::SyncNotes(std::size_t depth, std::size_t piece_bytes,
                     const ReadHints* hints)
    : SlotRing(depth),
      piece_bytes_(piece_bytes),
      hints_(depth > 1 ? hints : nullptr) {}

SyncNotes::~SyncNotes() {
  while (!empty()) {
    drop();
  }
}

bool SyncNotes::has_room() const {
  // Opening a note ahead waits for its inode when the cache is cold, and a
  // note opened past the search's stop is wasted: the window grows by one
  // note for every four taken.
  return size() < (cold_ ? window_limit(depth(), taken(),
                                        1 + taken() / kTakenPerNoteAhead)
                         : 1);
}

std::expected<void, int> SyncNotes::add(const NoteWalk& walk) {
  // The one piece buffer, made before any note needs it: running out of
  // memory fails the search instead of skipping notes.
  if (!piece_.reserve(piece_bytes_)) {
    return std::unexpected(ENOMEM);
  }
  SyncSlot& slot = at(push());
  slot.path.assign(walk.path());
  slot.offset = 0;
  const auto file = open_regular_file(walk.folder(), walk.name());
  if (!file) {
    slot.fd = -1;
    slot.error = file.error();
    return {};
  }
  slot.fd = file->fd;
  slot.error = 0;
  slot.size = static_cast<off_t>(file->size);
  if (cold_) {
    hints_->read_ahead(slot.fd, piece_bytes_);
  }
  return {};
}

std::expected<NotePiece, int> SyncNotes::next_piece() {
  SyncSlot& slot = front();
  if (slot.fd < 0) {
    return std::unexpected(slot.error);
  }
  ssize_t n = -1;
  bool partial = false;  // a cached part only: more may follow
  if (hints_ != nullptr && !no_cached_reads_) {
    n = hints_->read_cached(slot.fd, piece_.data(), piece_bytes_, slot.offset);
    partial = n > 0 && static_cast<std::size_t>(n) < piece_bytes_ &&
              slot.offset + n < slot.size;
    if (n >= 0 && !partial) {
      if (cold_ && ++cached_run_ == kCachedRunToStopHints) {
        cold_ = false;
      }
    } else if (n >= 0 || errno == EAGAIN) {
      cached_run_ = 0;
      if (!cold_) {
        // The disk is being waited for: hint every note ahead from now on.
        cold_ = true;
        for (std::size_t i = 1; i < size(); ++i) {
          const SyncSlot& ahead = at(index(i));
          if (ahead.fd >= 0) {
            hints_->read_ahead(ahead.fd, piece_bytes_);
          }
        }
      }
    } else {
      no_cached_reads_ = true;  // a file system that cannot tell
    }
  }
  if (n < 0) {
    n = retry_on_eintr([&] {
      return ::pread(slot.fd, piece_.data(), piece_bytes_, slot.offset);
    });
  }
  if (n < 0) {
    return std::unexpected(errno);
  }
  const auto size = static_cast<std::size_t>(n);
  slot.offset += n;
  return NotePiece{{piece_.data(), size}, !partial && size < piece_bytes_};
}

void SyncNotes::drop() {
  SyncSlot& slot = front();
  if (slot.fd >= 0) {
    ::close(slot.fd);
    slot.fd = -1;
  }
  pop();
}

}  // namespace vestigor_mcp
