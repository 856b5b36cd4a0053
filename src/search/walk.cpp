#include "search/walk.hpp"

#include <algorithm>

#include "util/path.hpp"

namespace vestigor_mcp {

namespace {

// Folders near the root keep their handles while the walk is below
// them, and so do the deepest few folders of the current path; the folders
// between are closed on the way down and opened again, from the nearest
// open one, should the walk come back to take more of their entries. The
// walk thus holds at most kHeldLevels + kWindowLevels handles, at any
// depth, and never opens anything by a path longer than one name.
constexpr std::size_t kHeldLevels = 32;
constexpr std::size_t kWindowLevels = 32;

// A name of a note: the text after its last full stop is exactly "md".
bool is_note_name(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && name.substr(dot + 1) == "md";
}

}  // namespace

// ---- Listing ----

void Listing::take(std::string_view name, os::EntryType type) {
  if (name.empty() || name.front() == '.' || type == os::EntryType::kOther ||
      (type == os::EntryType::kRegular && !is_note_name(name))) {
    return;
  }
  // Out of memory ends the search (it throws), so an entry left without
  // its name is never read.
  const std::size_t offset = names_.size();
  names_.append(name);
  names_.push_back('\0');
  entries_.push_back({offset, name.size(), type});
}

void Listing::clear() {
  names_.clear();
  entries_.clear();
}

void Listing::sort() {
  const char* names = names_.data();
  // string_view compares as unsigned bytes: path order within a folder.
  std::sort(entries_.begin(), entries_.end(),
            [names](const Entry& a, const Entry& b) {
              return std::string_view(names + a.offset, a.size) <
                     std::string_view(names + b.offset, b.size);
            });
}

// ---- NoteWalk ----

struct NoteWalk::Frame {
  os::Handle folder;  // closed while out of the window (see kWindowLevels)
  os::FolderInfo info;
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

const os::Handle& NoteWalk::folder() const {
  return frames_[depth_ - 1].folder;
}

bool NoteWalk::start() {
  started_ = true;
  if (root_.empty()) {
    return false;  // an empty path names no folder
  }
  auto root = os::open_folder(os::Folder::by_path(), root_.c_str());
  if (!root) {
    return false;
  }
  path_ = join_path(root_, "");
  enter(std::move(*root), os::EntryType::kDirectory);
  return true;
}

void NoteWalk::enter(os::Handle folder, os::EntryType listed) {
  const os::FolderInfo* parent =
      depth_ > 0 ? &frames_[depth_ - 1].info : nullptr;
  const auto info = os::folder_info(folder, parent, listed);
  if (!info || info->pseudo || on_path(info->id)) {
    return;
  }
  if (frames_.size() == depth_) {
    frames_.emplace_back();
  }
  Frame& frame = frames_[depth_];
  frame.listing.clear();
  (void)lister_.list(folder, frame.listing);  // what it gave, if it fails
  // Names in byte order make the depth-first walk meet the notes in path
  // order: a folder's notes come before those of any later name.
  frame.listing.sort();
  frame.folder = std::move(folder);
  frame.info = *info;
  frame.path_size = path_.size();
  frame.next = 0;
  ++depth_;
  close_beyond_window();
}

bool NoteWalk::on_path(const os::FileId& id) const {
  for (std::size_t i = 0; i < depth_; ++i) {
    if (frames_[i].info.id == id) {
      return true;
    }
  }
  return false;
}

void NoteWalk::pop() { frames_[--depth_].folder.close(); }

void NoteWalk::close_beyond_window() {
  if (depth_ > kHeldLevels + kWindowLevels) {
    frames_[depth_ - kWindowLevels - 1].folder.close();
  }
}

bool NoteWalk::reopen(std::size_t level) {
  if (frames_[level].folder.is_open()) {
    return true;
  }
  std::size_t open = level;
  while (!frames_[open].folder.is_open()) {
    --open;  // the root's frame is never closed
  }
  for (std::size_t k = open + 1; k <= level; ++k) {
    Frame& parent = frames_[k - 1];
    Frame& frame = frames_[k];
    auto folder =
        os::open_folder(parent.folder, parent.listing.c_name(parent.next - 1));
    if (!folder) {
      return false;  // gone since
    }
    const auto info = os::folder_info(*folder, &parent.info,
                                      parent.listing.type(parent.next - 1));
    if (!info || info->id != frame.info.id) {
      return false;  // moved since: seen as it is now
    }
    frame.folder = std::move(*folder);
    if (k - 1 >= kHeldLevels && k - 1 + kWindowLevels <= level) {
      parent.folder.close();
    }
  }
  return true;
}

void NoteWalk::pass() { passing_ = true; }

os::Result<bool> NoteWalk::next() {
  if (!started_ && !start()) {
    return false;
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
    os::EntryType type = types_ == TypeSource::TEST_kLookedUp
                             ? os::EntryType::kUnknown
                             : top.listing.type(i);
    if (type == os::EntryType::kUnknown) {
      const auto st = os::status(top.folder, name);
      if (!st) {
        continue;  // a broken link, or gone meanwhile
      }
      if (st->kind == os::Kind::kDirectory) {
        type = os::EntryType::kDirectory;  // enter() turns a cycle away
      } else if (st->kind == os::Kind::kRegular &&
                 is_note_name(top.listing.name(i))) {
        // Only a link can lead a note off its folder's device.
        if (st->id.device != top.info.id.device &&
            os::on_pseudo_file_system(top.folder, name)) {
          continue;
        }
        type = os::EntryType::kRegular;
      } else {
        continue;  // not a note, or a FIFO or device that could block
      }
    }
    if (type == os::EntryType::kDirectory) {
      auto folder = os::open_folder(top.folder, name);
      if (!folder) {
        if (folder.error().is(os::Errc::kTooManyFiles) && !passing_) {
          top.next = i;  // tried again on the next call
          return std::unexpected(folder.error());
        }
        passing_ = false;
        continue;
      }
      passing_ = false;
      path_.append(top.listing.name(i));
      path_ += '/';
      enter(std::move(*folder), top.listing.type(i));
      continue;
    }
    name_ = name;
    path_.append(top.listing.name(i));
    return true;
  }
  return false;
}

}  // namespace vestigor_mcp
