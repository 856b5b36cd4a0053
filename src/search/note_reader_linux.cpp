// The note reader on Linux: one io_uring when the system gives one, the
// plain reads with their hints ahead when it refuses.
#include <fcntl.h>
#include <liburing.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "search/note_reader.hpp"
#include "search/note_reader_sync.hpp"
#include "util/buffer.hpp"
#include "util/eintr.hpp"

namespace vestigor_mcp {

namespace {

// Notes in flight at most: 256 was slower than 64 both cold and warm in
// full scans of the generated vaults, and 64 notes of 32 KiB keep the
// buffers within 2 MiB.
constexpr std::size_t kRingDepth = 64;
// The plain reads' window: enough notes ahead to keep the disk busy (a
// study on this machine found 128 notes ahead worth it, cold).
constexpr std::size_t kReadAheadDepth = 128;
constexpr std::size_t kStartWindow = 8;

// The plain reads' hints: preadv2 with RWF_NOWAIT reads only what is
// cached, and readahead(2) starts reading the rest.
ssize_t read_cached(int fd, char* to, std::size_t size, off_t offset) {
  const iovec vec{to, size};
  return retry_on_eintr(
      [&] { return ::preadv2(fd, &vec, 1, offset, RWF_NOWAIT); });
}

void read_ahead(int fd, std::size_t bytes) { ::readahead(fd, 0, bytes); }

constexpr ReadHints kHints{read_cached, read_ahead};

constexpr std::uint64_t kOpen = 0;
constexpr std::uint64_t kRead = 1;
constexpr std::uint64_t kCancel = ~std::uint64_t{0};

struct RingSlot {
  std::string path;
  std::string name;
  std::size_t folder = 0;  // in folders_
  Buffer buffer;
  int error = 0;  // why it could not be opened or read
  bool open_done = false;
  bool read_done = false;
  int read_result = 0;
  std::size_t offset = 0;  // of the next piece
};

// One ring: each note is opened into the direct descriptor of its slot, and
// its first piece read into the slot's buffer by a linked read.
class RingNotes : public SlotRing<RingSlot> {
 public:
  RingNotes(std::size_t piece_bytes) : piece_bytes_(piece_bytes) {}
  ~RingNotes();
  RingNotes(const RingNotes&) = delete;
  RingNotes& operator=(const RingNotes&) = delete;

  // False when the system refuses the ring or what it needs.
  bool start();

  bool has_room() const {
    return size() < window_limit(depth(), taken(), wanted_);
  }
  std::expected<void, int> add(const NoteWalk& walk);
  std::expected<NotePiece, int> next_piece();
  void drop();

 private:
  // A duplicate of a folder's descriptor, held while notes of the folder
  // are waiting to be opened: the walk may have closed its own by then.
  struct Folder {
    int fd = -1;
    std::size_t users = 0;
  };

  io_uring_sqe* get_sqe();
  std::expected<std::size_t, int> folder_of(const NoteWalk& walk);
  void release(std::size_t folder);
  void wait(const RingSlot& slot);
  void reap(const io_uring_cqe* cqe);
  // Reaps every completion that is ready, without waiting.
  void reap_ready();

  std::size_t piece_bytes_;
  io_uring ring_{};
  bool ring_ready_ = false;
  std::size_t in_flight_ = 0;  // operations whose completion is to come
  // The window that reads have shown to be worth having: it starts small
  // and doubles each time the note searched next is not read yet, so a
  // warm cache, where reads end as they are submitted, reads little ahead.
  std::size_t wanted_ = kStartWindow;
  std::vector<Folder> folders_;
  std::size_t current_folder_ = SIZE_MAX;  // the walk's folder, if held
  int current_walk_fd_ = -1;
  std::string current_folder_path_;
};

bool RingNotes::start() {
  io_uring_params params{};
  params.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
  const auto entries = static_cast<unsigned>(2 * kRingDepth + 2);
  if (io_uring_queue_init_params(entries, &ring_, &params) < 0) {
    params = {};
    if (io_uring_queue_init_params(entries, &ring_, &params) < 0) {
      return false;
    }
  }
  ring_ready_ = true;
  if (io_uring_register_files_sparse(&ring_,
                                     static_cast<unsigned>(kRingDepth)) < 0) {
    return false;
  }
  resize(kRingDepth);
  folders_.resize(kRingDepth + 1);
  return true;
}

RingNotes::~RingNotes() {
  if (!ring_ready_) {
    return;
  }
  // The buffers must outlive every read that may still write to them.
  if (in_flight_ > 0) {
    if (io_uring_sqe* sqe = get_sqe()) {
      io_uring_prep_cancel64(sqe, 0, IORING_ASYNC_CANCEL_ANY);
      io_uring_sqe_set_data64(sqe, kCancel);
      ++in_flight_;
    }
  }
  while (in_flight_ > 0) {
    const int waited = io_uring_submit_and_wait(&ring_, 1);
    if (waited < 0 && waited != -EINTR) {
      break;  // cannot happen with a sound ring; exiting waits instead
    }
    reap_ready();
  }
  for (const Folder& folder : folders_) {
    if (folder.fd >= 0) {
      ::close(folder.fd);
    }
  }
  io_uring_queue_exit(&ring_);
}

io_uring_sqe* RingNotes::get_sqe() {
  io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
  if (sqe == nullptr) {
    io_uring_submit(&ring_);
    sqe = io_uring_get_sqe(&ring_);
  }
  return sqe;
}

std::expected<std::size_t, int> RingNotes::folder_of(const NoteWalk& walk) {
  const std::string_view path = walk.path();
  const std::string_view folder_path =
      path.substr(0, path.size() - std::char_traits<char>::length(walk.name()));
  if (current_folder_ != SIZE_MAX && current_walk_fd_ == walk.folder() &&
      folder_path == current_folder_path_) {
    ++folders_[current_folder_].users;
    return current_folder_;
  }
  std::size_t free = 0;
  while (folders_[free].fd >= 0) {
    ++free;  // one more entry than slots: one is free
  }
  const int fd = ::fcntl(walk.folder(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    return std::unexpected(errno);
  }
  const std::size_t old = current_folder_;
  folders_[free] = {fd, 1};
  current_folder_ = free;
  current_walk_fd_ = walk.folder();
  current_folder_path_.assign(folder_path);
  if (old != SIZE_MAX && folders_[old].users == 0) {
    ::close(folders_[old].fd);
    folders_[old].fd = -1;
  }
  return free;
}

void RingNotes::release(std::size_t folder) {
  Folder& held = folders_[folder];
  if (--held.users == 0 && folder != current_folder_) {
    ::close(held.fd);
    held.fd = -1;
  }
}

std::expected<void, int> RingNotes::add(const NoteWalk& walk) {
  const std::size_t index = push();
  RingSlot& slot = at(index);
  slot.path.assign(walk.path());
  slot.name.assign(walk.name());
  slot.error = 0;
  slot.open_done = false;
  slot.read_done = false;
  slot.offset = 0;
  slot.folder = SIZE_MAX;
  if (!slot.buffer.reserve(piece_bytes_)) {
    return std::unexpected(ENOMEM);
  }
  const auto folder = folder_of(walk);
  // Both entries or neither: an entry taken is submitted, set or not.
  if (folder && io_uring_sq_space_left(&ring_) < 2) {
    io_uring_submit(&ring_);
  }
  const bool queued = folder && io_uring_sq_space_left(&ring_) >= 2;
  io_uring_sqe* open = queued ? io_uring_get_sqe(&ring_) : nullptr;
  io_uring_sqe* read = queued ? io_uring_get_sqe(&ring_) : nullptr;
  if (open == nullptr || read == nullptr) {
    // No descriptor left for the folder, or no room in the ring: the note
    // cannot be opened.
    slot.error = folder ? EAGAIN : folder.error();
    slot.open_done = slot.read_done = true;
    slot.read_result = -slot.error;
    if (folder) {
      release(*folder);
    }
    return {};
  }
  slot.folder = *folder;
  // O_NONBLOCK: a FIFO put in a note's place must not make a read wait.
  // (A direct descriptor is never inherited: O_CLOEXEC is refused there.)
  io_uring_prep_openat_direct(open, folders_[*folder].fd, slot.name.c_str(),
                              O_RDONLY | O_NONBLOCK, 0,
                              static_cast<unsigned>(index));
  io_uring_sqe_set_data64(open, (index << 1) | kOpen);
  io_uring_sqe_set_flags(open, IOSQE_IO_LINK);
  io_uring_prep_read(read, static_cast<int>(index), slot.buffer.data(),
                     static_cast<unsigned>(piece_bytes_), 0);
  io_uring_sqe_set_data64(read, (index << 1) | kRead);
  io_uring_sqe_set_flags(read, IOSQE_FIXED_FILE);
  in_flight_ += 2;
  return {};
}

void RingNotes::reap(const io_uring_cqe* cqe) {
  --in_flight_;
  const std::uint64_t data = io_uring_cqe_get_data64(cqe);
  if (data == kCancel) {
    return;
  }
  RingSlot& slot = at(data >> 1);
  if ((data & 1) == kOpen) {
    slot.open_done = true;
    if (cqe->res < 0) {
      slot.error = -cqe->res;
    }
  } else {
    slot.read_done = true;
    slot.read_result = cqe->res;
  }
}

void RingNotes::reap_ready() {
  io_uring_cqe* cqe = nullptr;
  while (io_uring_peek_cqe(&ring_, &cqe) == 0) {
    reap(cqe);
    io_uring_cqe_seen(&ring_, cqe);
  }
}

void RingNotes::wait(const RingSlot& slot) {
  if (!slot.open_done || !slot.read_done) {
    // Submits, and runs what was left to this thread (a read linked to its
    // open), without waiting: what is still not done waits for the disk.
    io_uring_submit_and_get_events(&ring_);
    reap_ready();
    if ((!slot.open_done || !slot.read_done) && wanted_ < depth()) {
      wanted_ *= 2;  // the reads lag behind the search: read further ahead
    }
  }
  while (!slot.open_done || !slot.read_done) {
    const int waited = io_uring_submit_and_wait(&ring_, 1);
    if (waited < 0 && waited != -EINTR && waited != -EAGAIN &&
        waited != -EBUSY) {
      return;  // the caller sees the slot unfinished
    }
    reap_ready();
  }
}

std::expected<NotePiece, int> RingNotes::next_piece() {
  const std::size_t head = index();
  RingSlot& slot = at(head);
  if (slot.offset > 0 && slot.error == 0) {
    // A later piece, through the ring like the first.
    io_uring_sqe* read = get_sqe();
    if (read == nullptr) {
      return std::unexpected(EAGAIN);
    }
    io_uring_prep_read(read, static_cast<int>(head), slot.buffer.data(),
                       static_cast<unsigned>(piece_bytes_), slot.offset);
    io_uring_sqe_set_data64(read, (head << 1) | kRead);
    io_uring_sqe_set_flags(read, IOSQE_FIXED_FILE);
    ++in_flight_;
    slot.read_done = false;
  }
  wait(slot);
  if (!slot.open_done || !slot.read_done) {
    slot.error = EIO;
  }
  if (slot.error == 0 && slot.read_result < 0) {
    slot.error = -slot.read_result;
  }
  if (slot.error != 0) {
    return std::unexpected(slot.error);
  }
  const auto size = static_cast<std::size_t>(slot.read_result);
  slot.offset += size;
  return NotePiece{{slot.buffer.data(), size}, size < piece_bytes_};
}

void RingNotes::drop() {
  const RingSlot& slot = front();
  if (slot.folder != SIZE_MAX) {
    release(slot.folder);
  }
  pop();
}

}  // namespace

struct NoteReader::Impl {
  std::unique_ptr<RingNotes> ring;
  std::unique_ptr<SyncNotes> sync;
  std::size_t piece_bytes = 0;
  std::size_t ring_after = 0;
  bool ring_planned = false;

  bool ring_due() const { return ring_planned && sync->taken() >= ring_after; }
  // Moves to the ring once the plain reads have nothing in flight.
  void start_ring() {
    ring_planned = false;
    auto started = std::make_unique<RingNotes>(piece_bytes);
    if (started->start()) {
      ring = std::move(started);
      sync.reset();
    }
  }
};

NoteReader::NoteReader(ReadWay preferred, std::size_t piece_bytes,
                       std::size_t ring_after)
    : impl_(std::make_unique<Impl>()) {
  impl_->piece_bytes = piece_bytes;
  impl_->ring_after = ring_after;
  impl_->ring_planned = preferred == ReadWay::kRing;
  impl_->sync = std::make_unique<SyncNotes>(
      preferred == ReadWay::kOneByOne ? 1 : kReadAheadDepth, piece_bytes,
      &kHints);
}

NoteReader::~NoteReader() = default;

bool NoteReader::has_room() {
  if (!impl_->ring && impl_->ring_due()) {
    if (!impl_->sync->empty()) {
      return false;  // the notes the plain reads hold come first
    }
    impl_->start_ring();
  }
  return impl_->ring ? impl_->ring->has_room() : impl_->sync->has_room();
}

std::expected<void, int> NoteReader::add(const NoteWalk& walk) {
  return impl_->ring ? impl_->ring->add(walk) : impl_->sync->add(walk);
}

bool NoteReader::empty() const {
  return impl_->ring ? impl_->ring->empty() : impl_->sync->empty();
}

std::string_view NoteReader::path() const {
  return impl_->ring ? impl_->ring->path() : impl_->sync->path();
}

std::expected<NotePiece, int> NoteReader::next_piece() {
  return impl_->ring ? impl_->ring->next_piece() : impl_->sync->next_piece();
}

void NoteReader::drop() {
  if (impl_->ring) {
    impl_->ring->drop();
  } else {
    impl_->sync->drop();
  }
}

}  // namespace vestigor_mcp
