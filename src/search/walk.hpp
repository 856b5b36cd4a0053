// walk.hpp: the search's walk over the vault, NoteWalk. Meets every note
// (a regular file, links followed, whose name ends in exactly ".md") in
// path order, lazily: a folder is listed when the walk reaches it, so a
// walk stopped early has listed only the folders before that point. Hidden
// names are never entered or taken; FIFOs, sockets and devices are passed
// over. Links to folders are followed, except to a folder that is already
// on the path from the root down (so link cycles end, and every other path
// is walked as if the links were copies). Notes are reached relative to
// their folder's descriptor, so depth and path length have no limit.
// What cannot be listed, opened or examined contributes nothing; the only
// failure is running out of memory (ENOMEM).
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "search/walk_directory.hpp"

namespace vestigor_mcp {

// Whether entry types are taken from the listing or looked up for every
// entry, as on a file system that gives none.
enum class TypeSource { kAsListed, kLookedUp };

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

  // Moves to the next note: true when there is one, false at the end;
  // ENOMEM when out of memory.
  std::expected<bool, int> next();

  // The current note: an open descriptor of its folder, its name there,
  // and its path (the root joined with its path below the root).
  int folder() const;
  const char* name() const { return name_; }
  std::string_view path() const { return path_; }

 private:
  struct Frame;

  std::expected<bool, int> start();
  std::expected<void, int> enter(int fd);
  bool on_path(const FolderId& id) const;
  bool reopen(std::size_t level);
  void pop();
  void close_beyond_window();

  std::string root_;
  TypeSource types_;
  bool started_ = false;
  std::vector<Frame> frames_;  // frames_[0, depth_) are the folders walked
  std::size_t depth_ = 0;
  std::string path_;  // the deepest folder's path, then the note's name
  const char* name_ = nullptr;
  DirectoryReader reader_;
};

}  // namespace vestigor_mcp
