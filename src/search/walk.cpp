#include "search/walk.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/eintr.hpp"
#include "util/path.hpp"

namespace vestigor_mcp {

namespace {

// Folders near the root keep their descriptors while the walk is below
// them, and so do the deepest few folders of the current path; the folders
// between are closed on the way down and opened again, from the nearest
// open one, should the walk come back to take more of their entries. The
// walk thus holds at most kHeldLevels + kWindowLevels descriptors, at any
// depth, and never opens anything by a path longer than one name.
constexpr std::size_t kHeldLevels = 32;
constexpr std::size_t kWindowLevels = 32;

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;

int open_directory(int dir, const char* name) {
  return retry_on_eintr([&] { return ::openat(dir, name, kDirectoryFlags); });
}

// The root by its path; a path longer than the system takes in one call
// is opened one component at a time.
int open_root(const std::string& path) {
  int fd = open_directory(AT_FDCWD, path.c_str());
  if (fd >= 0 || errno != ENAMETOOLONG) {
    return fd;
  }
  fd = path.front() == '/' ? open_directory(AT_FDCWD, "/") : AT_FDCWD;
  for (const std::string_view part : split_path(path)) {
    if (fd == -1) {
      break;
    }
    const std::string component(part);
    const int next = open_directory(fd, component.c_str());
    if (fd != AT_FDCWD) {
      ::close(fd);
    }
    fd = next;
  }
  return fd == AT_FDCWD ? -1 : fd;
}

// A name of a note: the text after its last full stop is exactly "md".
bool is_note_name(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && name.substr(dot + 1) == "md";
}

}  // namespace

// ---- Listing ----

bool Listing::add(std::string_view name, EntryType type) {
  if (name.empty() || name.front() == '.' || type == EntryType::kOther ||
      (type == EntryType::kRegular && !is_note_name(name))) {
    return true;
  }
  const Entry entry{names_.size(), name.size(), type};
  if (!names_.reserve(names_.size() + name.size() + 1) ||
      !entries_.reserve(entries_.size() + sizeof entry)) {
    return false;
  }
  // Room for both first, so that a name is never kept without its entry.
  return names_.append(name) && names_.append(std::string_view("\0", 1)) &&
         entries_.append(std::string_view(reinterpret_cast<const char*>(&entry),
                                          sizeof entry));
}

void Listing::clear() {
  names_.clear();
  entries_.clear();
}

const Listing::Entry& Listing::at(std::size_t i) const {
  return reinterpret_cast<const Entry*>(entries_.data())[i];
}

std::string_view Listing::name(std::size_t i) const {
  const Entry& entry = at(i);
  return {names_.data() + entry.offset, entry.size};
}

void Listing::sort() {
  if (size() < 2) {
    return;
  }
  auto* first = reinterpret_cast<Entry*>(entries_.data());
  const char* names = names_.data();
  // string_view compares as unsigned bytes: path order within a folder.
  std::sort(first, first + size(), [names](const Entry& a, const Entry& b) {
    return std::string_view(names + a.offset, a.size) <
           std::string_view(names + b.offset, b.size);
  });
}

// ---- NoteWalk ----

struct NoteWalk::Frame {
  int fd = -1;  // -1 while closed (see kWindowLevels)
  FolderId id;
  std::size_t path_size = 0;  // path_ up to and including this folder's '/'
  std::size_t next = 0;       // the next entry of `listing` to take
  Listing listing;
};

NoteWalk::NoteWalk(std::string_view root, TypeSource types)
    : root_(root), types_(types) {}

NoteWalk::~NoteWalk() {
  while (depth_ > 0) {
    pop();
  }
}

int NoteWalk::folder() const { return frames_[depth_ - 1].fd; }

std::expected<bool, int> NoteWalk::start() {
  started_ = true;
  if (root_.empty()) {
    return false;  // an empty path names no folder
  }
  const int fd = open_root(root_);
  if (fd < 0) {
    return false;
  }
  path_ = join_path(root_, "");
  if (const auto entered = enter(fd); !entered) {
    return std::unexpected(entered.error());
  }
  return true;
}

std::expected<void, int> NoteWalk::enter(int fd) {
  FolderId id;
  if (!folder_id(fd, id) || on_path(id)) {
    ::close(fd);
    return {};
  }
  if (frames_.size() == depth_) {
    frames_.emplace_back();
  }
  Frame& frame = frames_[depth_];
  frame.listing.clear();
  if (!reader_.list(fd, frame.listing)) {
    ::close(fd);
    return std::unexpected(ENOMEM);
  }
  // Names in byte order make the depth-first walk meet the notes in path
  // order: a folder's notes come before those of any later name.
  frame.listing.sort();
  frame.fd = fd;
  frame.id = id;
  frame.path_size = path_.size();
  frame.next = 0;
  ++depth_;
  close_beyond_window();
  return {};
}

bool NoteWalk::on_path(const FolderId& id) const {
  for (std::size_t i = 0; i < depth_; ++i) {
    if (frames_[i].id == id) {
      return true;
    }
  }
  return false;
}

void NoteWalk::pop() {
  Frame& top = frames_[--depth_];
  if (top.fd >= 0) {
    ::close(top.fd);
    top.fd = -1;
  }
}

void NoteWalk::close_beyond_window() {
  if (depth_ > kHeldLevels + kWindowLevels) {
    Frame& left = frames_[depth_ - kWindowLevels - 1];
    if (left.fd >= 0) {
      ::close(left.fd);
      left.fd = -1;
    }
  }
}

bool NoteWalk::reopen(std::size_t level) {
  if (frames_[level].fd >= 0) {
    return true;
  }
  std::size_t open = level;
  while (frames_[open].fd < 0) {
    --open;  // the root's frame is never closed
  }
  for (std::size_t k = open + 1; k <= level; ++k) {
    Frame& parent = frames_[k - 1];
    Frame& frame = frames_[k];
    const int fd =
        open_directory(parent.fd, parent.listing.c_name(parent.next - 1));
    FolderId id;
    if (fd < 0 || !folder_id(fd, id) || id != frame.id) {
      if (fd >= 0) {
        ::close(fd);
      }
      return false;  // moved or gone since: seen as it is now
    }
    frame.fd = fd;
    if (k - 1 >= kHeldLevels && k - 1 + kWindowLevels <= level) {
      ::close(parent.fd);
      parent.fd = -1;
    }
  }
  return true;
}

std::expected<bool, int> NoteWalk::next() {
  if (!started_) {
    const std::expected<bool, int> begun = start();
    if (!begun || !*begun) {
      return begun;
    }
  }
  while (depth_ > 0) {
    Frame& top = frames_[depth_ - 1];
    path_.resize(top.path_size);
    if (top.next == top.listing.size()) {
      pop();
      continue;
    }
    const std::size_t i = top.next++;
    if (!reopen(depth_ - 1)) {
      top.next = top.listing.size();
      continue;
    }
    const char* name = top.listing.c_name(i);
    EntryType type = types_ == TypeSource::kLookedUp ? EntryType::kUnknown
                                                     : top.listing.type(i);
    if (type == EntryType::kUnknown) {
      struct stat st {};
      if (::fstatat(top.fd, name, &st, 0) != 0) {
        continue;  // a broken link, or gone meanwhile
      }
      if (S_ISDIR(st.st_mode)) {
        type = EntryType::kDirectory;  // enter() turns a cycle away
      } else if (S_ISREG(st.st_mode) && is_note_name(top.listing.name(i))) {
        type = EntryType::kRegular;
      } else {
        continue;  // not a note, or a FIFO or device that could block
      }
    }
    if (type == EntryType::kDirectory) {
      const int fd = open_directory(top.fd, name);
      if (fd < 0) {
        continue;
      }
      path_.append(top.listing.name(i));
      path_ += '/';
      if (const auto entered = enter(fd); !entered) {
        return std::unexpected(entered.error());
      }
      continue;
    }
    name_ = name;
    path_.append(top.listing.name(i));
    return true;
  }
  return false;
}

}  // namespace vestigor_mcp
