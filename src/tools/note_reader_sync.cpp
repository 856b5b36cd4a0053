#include "tools/note_reader_sync.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace vestigor_mcp {

SyncNotes::SyncNotes(std::size_t depth, std::size_t piece_bytes)
    : piece_bytes_(piece_bytes), slots_(depth) {}

SyncNotes::~SyncNotes() {
  while (!empty()) {
    drop();
  }
}

bool SyncNotes::has_room() const {
  return count_ < window_limit(slots_.size(), taken_);
}

std::expected<void, int> SyncNotes::add(const NoteWalk& walk) {
  Slot& slot = slots_[(head_ + count_) % slots_.size()];
  slot.path.assign(walk.path());
  slot.error = 0;
  // O_NONBLOCK: should the name lead to a FIFO after all, opening it must
  // not wait for a writer; fstat then turns it away.
  do {
    slot.fd =
        ::openat(walk.folder(), walk.name(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (slot.fd < 0 && errno == EINTR);
  if (slot.fd < 0) {
    slot.error = errno;
  } else {
    struct stat st {};
    if (::fstat(slot.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      slot.error = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
      ::close(slot.fd);
      slot.fd = -1;
    } else if (slots_.size() > 1) {
      ::posix_fadvise(slot.fd, 0, static_cast<off_t>(piece_bytes_),
                      POSIX_FADV_WILLNEED);
    }
  }
  ++count_;
  return {};
}

std::expected<NotePiece, int> SyncNotes::next_piece() {
  const Slot& slot = slots_[head_];
  if (slot.fd < 0) {
    return std::unexpected(slot.error);
  }
  if (!piece_.reserve(piece_bytes_)) {
    return std::unexpected(ENOMEM);
  }
  ssize_t n = 0;
  do {
    n = ::read(slot.fd, piece_.data(), piece_bytes_);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return std::unexpected(errno);
  }
  const auto size = static_cast<std::size_t>(n);
  return NotePiece{{piece_.data(), size}, size < piece_bytes_};
}

void SyncNotes::drop() {
  Slot& slot = slots_[head_];
  if (slot.fd >= 0) {
    ::close(slot.fd);
    slot.fd = -1;
  }
  head_ = (head_ + 1) % slots_.size();
  --count_;
  ++taken_;
}

}  // namespace vestigor_mcp
