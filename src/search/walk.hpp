// walk.hpp: the search's walk over the vault, NoteWalk. Meets every note
// (a regular file, links followed, whose name ends in exactly ".md") in
// path order, lazily: a folder is listed when the walk reaches it, so a
// walk stopped early has listed only the folders before that point. Hidden
// names are never entered or taken; FIFOs, sockets and devices are passed
// over, and so are folders on pseudo file systems (proc, sysfs...). Links
// to folders are followed, except to a folder that is already on the path
// from the root down (so link cycles end, and every other path is walked
// as if the links were copies). Notes are reached relative to their
// folder's handle, so depth and path length have no limit. What cannot be
// listed, opened or examined contributes nothing. Out of memory throws.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "util/os.hpp"

namespace vestigor_mcp {

// Whether entry types are taken from the listing or, for tests, looked up
// for every entry, as on a file system that gives none.
enum class TypeSource { kAsListed, TEST_kLookedUp };

// One folder's entries as the walk wants them: visible names only, and
// regular files only when they are notes, each kept NUL-terminated so
// that it can be opened in the folder.
class Listing final : public os::EntrySink {
 public:
  void take(std::string_view name, os::EntryType type) override;
  void clear();
  // Puts the entries in byte order of their names.
  void sort();

  std::size_t size() const { return entries_.size(); }
  std::string_view name(std::size_t i) const {
    return {names_.data() + entries_[i].offset, entries_[i].size};
  }
  const char* c_name(std::size_t i) const {
    return names_.data() + entries_[i].offset;
  }
  os::EntryType type(std::size_t i) const { return entries_[i].type; }

 private:
  struct Entry {
    std::size_t offset;  // of the name in names_
    std::size_t size;
    os::EntryType type;
  };
  std::string names_;
  std::vector<Entry> entries_;
};

// The walk as an iterator: next() moves from note to note, so a caller
// loops while it gives true and may stop wherever it likes. An empty
// `root` names no folder.
class NoteWalk {
 public:
  explicit NoteWalk(std::string_view root,
                    TypeSource types = TypeSource::kAsListed);
  ~NoteWalk();
  NoteWalk(const NoteWalk&) = delete;
  NoteWalk& operator=(const NoteWalk&) = delete;

  // Moves to the next note: true when there is one, false at the end. The
  // one failure is kTooManyFiles, a folder that could not be opened for
  // want of descriptors: next() tries it again (once the caller has let
  // some go), pass() gives it up.
  os::Result<bool> next();
  void pass();

  // The current note: its folder, its name there, and its path (the root
  // joined with its path below the root).
  const os::Handle& folder() const;
  const char* name() const { return name_; }
  std::string_view path() const { return path_; }

 private:
  struct Frame;

  bool start();
  void enter(os::Handle folder, os::EntryType listed);
  bool on_path(const os::FileId& id) const;
  bool reopen(std::size_t level);
  void pop();
  void close_beyond_window();

  std::string root_;
  TypeSource types_;
  bool started_ = false;
  bool passing_ = false;  // pass() was called: skip the entry next() failed
  std::vector<Frame> frames_;  // frames_[0, depth_) are the folders walked
  std::size_t depth_ = 0;
  std::string path_;  // the deepest folder's path, then the note's name
  const char* name_ = nullptr;
  os::Lister lister_;
};

}  // namespace vestigor_mcp
