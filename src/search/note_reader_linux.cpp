// The note reader on Linux: one io_uring when the system gives one, the
// plain reads with their hints ahead when it refuses.
#include <fcntl.h>
#include <liburing.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "search/note_reader.hpp"
#include "search/note_reader_sync.hpp"
#include "search/slot_ring.hpp"
#include "util/buffer.hpp"

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
os::Result<std::size_t> read_cached(const os::Handle& file, char* to,
                                    std::size_t size, std::uint64_t offset) {
  const iovec vec{to, size};
  for (;;) {
    const ssize_t n = ::preadv2(file.native(), &vec, 1,
                                static_cast<off_t>(offset), RWF_NOWAIT);
    if (n >= 0) {
      return static_cast<std::size_t>(n);
    }
    if (errno != EINTR) {
      return std::unexpected(os::OsError::system(errno));
    }
  }
}

bool nothing_cached(const os::OsError& error) {
  return error == os::OsError::system(EAGAIN);
}

void read_ahead(const os::Handle& file, std::size_t bytes) {
  ::readahead(file.native(), 0, bytes);
}

constexpr ReadHints kHints{read_cached, nothing_cached, read_ahead};

// What a completion is for: the low two bits of its data, above them the
// slot.
constexpr std::uint64_t kOpen = 0;
constexpr std::uint64_t kRead = 1;
constexpr std::uint64_t kCheck = 2;
constexpr std::uint64_t kKinds = 2;  // bits
constexpr std::uint64_t kCancel = ~std::uint64_t{0};

struct RingSlot {
  std::string path;
  std::string name;
  std::size_t folder = 0;  // in folders_
  Buffer buffer;
  int error = 0;  // why it could not be opened or read (an errno value)
  // After the first piece, the note opened again the checked way
  // (os::open_regular), which turns away what is not a regular file: the
  // ring's direct descriptor cannot be examined, and a device put in a
  // note's place after the listing would give pieces without end.
  os::Handle checked;
  bool open_done = false;
  bool read_done = false;
  int read_result = 0;
  std::size_t offset = 0;  // of the next piece
};

// One ring: each note is opened into the direct descriptor of its slot, and
// its first piece read into the slot's buffer by a linked read.
class RingNotes : public SlotRing<RingSlot> {
 public:
  explicit RingNotes(std::size_t piece_bytes) : piece_bytes_(piece_bytes) {}
  ~RingNotes();
  RingNotes(const RingNotes&) = delete;
  RingNotes& operator=(const RingNotes&) = delete;

  // False when the system refuses the ring or what it needs.
  bool start();

  bool has_room() const {
    return size() < window_limit(depth(), taken(), wanted_);
  }
  // kNoDescriptor: out of descriptors, nothing added: with notes held, to
  // be added again once they are searched; with none, the ring cannot go
  // on and the plain reads take over.
  enum class Added { kAdded, kNoDescriptor };
  Added add(const os::Handle& folder, const char* name, std::string_view path);
  os::Result<NotePiece> next_piece();
  os::Result<std::size_t> read_back(std::uint64_t offset, char* to,
                                    std::size_t size);
  void drop();

 private:
  // A duplicate of a folder's descriptor, held while notes of the folder
  // are waiting to be opened: the walk may have closed its own by then.
  struct Folder {
    int fd = -1;
    std::size_t users = 0;
  };

  io_uring_sqe* get_sqe();
  std::expected<std::size_t, int> folder_of(const os::Handle& folder,
                                            std::string_view folder_path);
  void release(std::size_t folder);
  void wait(const RingSlot& slot);
  os::Result<void> open_checked(RingSlot& slot);
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
  const auto entries = static_cast<unsigned>(3 * kRingDepth + 2);
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

std::expected<std::size_t, int> RingNotes::folder_of(
    const os::Handle& walk_folder, std::string_view folder_path) {
  if (current_folder_ != SIZE_MAX && current_walk_fd_ == walk_folder.native() &&
      folder_path == current_folder_path_) {
    ++folders_[current_folder_].users;
    return current_folder_;
  }
  std::size_t free = 0;
  while (folders_[free].fd >= 0) {
    ++free;  // one more entry than slots: one is free
  }
  const int fd = ::fcntl(walk_folder.native(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    return std::unexpected(errno);
  }
  const std::size_t old = current_folder_;
  folders_[free] = {fd, 1};
  current_folder_ = free;
  current_walk_fd_ = walk_folder.native();
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

RingNotes::Added RingNotes::add(const os::Handle& walk_folder, const char* name,
                                std::string_view path) {
  const std::size_t name_size = std::char_traits<char>::length(name);
  const auto folder =
      folder_of(walk_folder, path.substr(0, path.size() - name_size));
  if (!folder && (folder.error() == EMFILE || folder.error() == ENFILE)) {
    wanted_ = 1;  // the notes held ahead go first, then one at a time
    return Added::kNoDescriptor;
  }
  const std::size_t index = push();
  RingSlot& slot = at(index);
  slot.path.assign(path);
  slot.name.assign(name, name_size);
  slot.error = 0;
  slot.open_done = false;
  slot.read_done = false;
  slot.offset = 0;
  slot.folder = SIZE_MAX;
  slot.checked.close();
  if (!slot.buffer.reserve(piece_bytes_)) {
    if (folder) {
      release(*folder);
    }
    throw std::bad_alloc();
  }
  // All three entries or none: an entry taken is submitted, set or not.
  if (folder && io_uring_sq_space_left(&ring_) < 3) {
    io_uring_submit(&ring_);
  }
  const bool queued = folder && io_uring_sq_space_left(&ring_) >= 3;
  io_uring_sqe* open = queued ? io_uring_get_sqe(&ring_) : nullptr;
  io_uring_sqe* check = queued ? io_uring_get_sqe(&ring_) : nullptr;
  io_uring_sqe* read = queued ? io_uring_get_sqe(&ring_) : nullptr;
  if (open == nullptr || check == nullptr || read == nullptr) {
    // No descriptor left for the folder, or no room in the ring: the note
    // cannot be opened.
    slot.error = folder ? EAGAIN : folder.error();
    slot.open_done = slot.read_done = true;
    slot.read_result = -slot.error;
    if (folder) {
      release(*folder);
    }
    return Added::kAdded;
  }
  slot.folder = *folder;
  // O_NONBLOCK: a FIFO put in a note's place must not make a read wait.
  // (A direct descriptor is never inherited: O_CLOEXEC is refused there.)
  io_uring_prep_openat_direct(open, folders_[*folder].fd, slot.name.c_str(),
                              O_RDONLY | O_NONBLOCK, 0,
                              static_cast<unsigned>(index));
  io_uring_sqe_set_data64(open, (index << kKinds) | kOpen);
  io_uring_sqe_set_flags(open, IOSQE_IO_LINK);
  // What was opened must be a regular file: the direct descriptor cannot
  // be examined, but advice on it is refused for a FIFO or socket
  // (ESPIPE), which then cancels the read. (POSIX_FADV_NORMAL is the
  // default, and is taken without leaving this thread.) A device that
  // gives pieces without end is turned away at its second piece.
  io_uring_prep_fadvise(check, static_cast<int>(index), 0, 0,
                        POSIX_FADV_NORMAL);
  io_uring_sqe_set_data64(check, (index << kKinds) | kCheck);
  io_uring_sqe_set_flags(check, IOSQE_FIXED_FILE | IOSQE_IO_LINK);
  io_uring_prep_read(read, static_cast<int>(index), slot.buffer.data(),
                     static_cast<unsigned>(piece_bytes_), 0);
  io_uring_sqe_set_data64(read, (index << kKinds) | kRead);
  io_uring_sqe_set_flags(read, IOSQE_FIXED_FILE);
  in_flight_ += 3;
  return Added::kAdded;
}

void RingNotes::reap(const io_uring_cqe* cqe) {
  --in_flight_;
  const std::uint64_t data = io_uring_cqe_get_data64(cqe);
  if (data == kCancel) {
    return;
  }
  RingSlot& slot = at(data >> kKinds);
  const std::uint64_t kind = data & ((1 << kKinds) - 1);
  if (kind == kOpen) {
    slot.open_done = true;
    if (cqe->res < 0) {
      slot.error = -cqe->res;
    }
  } else if (kind == kCheck) {
    if (cqe->res < 0 && slot.error == 0) {
      slot.error = ENODEV;  // not a regular file (or the open failed first)
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

os::Result<NotePiece> RingNotes::next_piece() {
  const std::size_t head = index();
  RingSlot& slot = at(head);
  if (slot.offset > 0 && slot.error == 0) {
    if (const auto opened = open_checked(slot); !opened) {
      return std::unexpected(opened.error());
    }
    const auto n = os::read_at(os::system_io(), slot.checked,
                               slot.buffer.data(), piece_bytes_, slot.offset);
    if (!n) {
      return std::unexpected(n.error());
    }
    slot.offset += *n;
    return NotePiece{{slot.buffer.data(), *n}, *n < piece_bytes_};
  }
  wait(slot);
  if (!slot.open_done || !slot.read_done) {
    slot.error = EIO;
  }
  if (slot.error == 0 && slot.read_result < 0) {
    slot.error = -slot.read_result;
  }
  if (slot.error != 0) {
    return std::unexpected(os::OsError::system(slot.error));
  }
  const auto size = static_cast<std::size_t>(slot.read_result);
  slot.offset += size;
  return NotePiece{{slot.buffer.data(), size}, size < piece_bytes_};
}

os::Result<void> RingNotes::open_checked(RingSlot& slot) {
  if (slot.checked.is_open()) {
    return {};
  }
  auto file =
      os::open_regular(os::Folder(folders_[slot.folder].fd), slot.name.c_str());
  if (!file) {
    slot.error = file.error().code();
    return std::unexpected(file.error());
  }
  slot.checked = std::move(file->handle);
  return {};
}

// Past the first piece, so the note is open the checked way.
os::Result<std::size_t> RingNotes::read_back(std::uint64_t offset, char* to,
                                             std::size_t size) {
  RingSlot& slot = front();
  if (slot.error != 0) {
    return std::unexpected(os::OsError::system(slot.error));
  }
  if (const auto opened = open_checked(slot); !opened) {
    return std::unexpected(opened.error());
  }
  return os::read_span(os::system_io(), slot.checked, to, size, offset);
}

void RingNotes::drop() {
  RingSlot& slot = front();
  slot.checked.close();
  if (slot.folder != SIZE_MAX) {
    release(slot.folder);
  }
  pop();
  if (ring_empty() && current_folder_ != SIZE_MAX &&
      folders_[current_folder_].users == 0) {
    // Nothing waits to be opened: the walk's folder is let go too, so a
    // search out of descriptors has every one it can get.
    ::close(folders_[current_folder_].fd);
    folders_[current_folder_].fd = -1;
    current_folder_ = SIZE_MAX;
  }
}

// The plain reads first, the ring once the search has taken `ring_after`
// notes and the plain reads hold none: the ring is set up when the note
// after that is added.
class StagedReader final : public NoteReader {
 public:
  StagedReader(const ReaderKnobs& knobs)
      : piece_bytes_(knobs.piece_bytes),
        ring_after_(knobs.ring_after),
        ring_planned_(knobs.way == TEST_ReadWay::kRing),
        sync_(std::make_unique<SyncNotes>(
            knobs.way == TEST_ReadWay::kOneByOne ? 1 : kReadAheadDepth,
            knobs.piece_bytes, &kHints)) {}

  bool has_room() const override {
    if (ring_) {
      return ring_->has_room();
    }
    if (ring_due()) {
      return sync_->empty();  // the notes the plain reads hold come first
    }
    return sync_->has_room();
  }

  bool add(const os::Handle& folder, const char* name,
           std::string_view path) override {
    if (!ring_ && ring_due() && sync_->empty()) {
      start_ring();
    }
    if (!ring_) {
      return sync_->add(folder, name, path);
    }
    if (ring_->add(folder, name, path) == RingNotes::Added::kAdded) {
      return true;
    }
    if (!ring_->ring_empty()) {
      return false;
    }
    // Too few descriptors for the ring: one note at a time, plainly.
    ring_.reset();
    sync_ = std::make_unique<SyncNotes>(1, piece_bytes_, nullptr);
    return sync_->add(folder, name, path);
  }

  bool empty() const override {
    return ring_ ? ring_->ring_empty() : sync_->empty();
  }
  std::string_view path() const override {
    return ring_ ? ring_->front_path() : sync_->path();
  }
  os::Result<NotePiece> next_piece() override {
    return ring_ ? ring_->next_piece() : sync_->next_piece();
  }
  os::Result<std::size_t> read_back(std::uint64_t offset, char* to,
                                    std::size_t size) override {
    return ring_ ? ring_->read_back(offset, to, size)
                 : sync_->read_back(offset, to, size);
  }
  void drop() override {
    if (ring_) {
      ring_->drop();
    } else {
      sync_->drop();
    }
  }

 private:
  bool ring_due() const {
    return ring_planned_ && sync_->taken() >= ring_after_;
  }

  void start_ring() {
    ring_planned_ = false;
    auto started = std::make_unique<RingNotes>(piece_bytes_);
    if (started->start()) {
      ring_ = std::move(started);
      sync_.reset();
    }
  }

  std::size_t piece_bytes_;
  std::size_t ring_after_;
  bool ring_planned_;
  std::unique_ptr<SyncNotes> sync_;
  std::unique_ptr<RingNotes> ring_;
};

}  // namespace

std::unique_ptr<NoteReader> make_note_reader(const ReaderKnobs& knobs) {
  return std::make_unique<StagedReader>(knobs);
}

}  // namespace vestigor_mcp
