// search.hpp: case-insensitive substring search over the vault's notes.
// Reports, for at most 50 notes in path order, the first line whose
// Unicode lower-case form holds the lower-cased query. An empty query or
// an unset vault is a failure outcome; unreadable or non-UTF-8 notes are
// skipped. Never writes, keeps nothing between calls, builds no index.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/vault.hpp"

struct UCaseMap;

namespace vestigor_mcp {

inline constexpr std::size_t kMaxSearchMatches = 50;
// How much note text is lowered at a time (rounded up to whole lines).
inline constexpr std::size_t kSearchChunkBytes = 64 * 1024;

// Appends the path of every note (a regular file, links followed, whose
// extension is exactly "md") below `directory`, skipping every name that
// begins with "." and whatever is neither a directory nor a regular file.
// Links to directories are followed, but each real directory (device and
// inode) is entered once at most, so link cycles end. Appends in path
// order as `path_less` defines it. Never fails: what cannot be listed or
// examined contributes nothing.
void collect_md(const std::string& directory, std::vector<std::string>& files);

// Path order for paths that share the vault prefix and have single
// separators: component by component, names as unsigned bytes, a path
// before the paths below it.
bool path_less(std::string_view a, std::string_view b);

// `query` is the call's "query" argument, used exactly as received.
ToolOutcome search(std::string_view query);

// A note's first matching line.
struct LineMatch {
  std::size_t number = 0;  // counted from 1
  std::string_view text;   // as written, without its LF and a CR before it
};

// Finds, in a note's text, the first line whose Unicode lower-case form
// (full mappings, Final_Sigma, root locale) holds the lower-cased query as
// bytes. Keeps the lowered query and reusable buffers; memory beyond the
// note stays near `chunk_bytes` (one line longer than that is lowered whole).
class LineFinder {
 public:
  explicit LineFinder(std::string_view query,
                      std::size_t chunk_bytes = kSearchChunkBytes);
  ~LineFinder();
  LineFinder(const LineFinder&) = delete;
  LineFinder& operator=(const LineFinder&) = delete;

  // False when no line can hold the query (its lower-case form holds a LF).
  bool can_match() const { return mode_ != Mode::kNever; }

  // The answer is the one per-line lowering gives when `content` is valid
  // UTF-8; for other bytes it is some answer or none, and nothing worse.
  std::optional<LineMatch> first_match(std::string_view content);

 private:
  enum class Mode {
    kNever,    // the lowered query holds a LF
    kPerLine,  // it holds a CR: lines are lowered and searched one by one
    kChunked,  // runs of whole lines are lowered and searched at once
  };

  std::optional<LineMatch> per_line(std::string_view content);
  // Lowers `piece` (whole lines) into scratch_; returns the lowered length,
  // or nothing when ICU refuses the text.
  std::optional<std::size_t> lower_piece(std::string_view piece);
  bool icu_lower(std::string_view text, std::size_t at, std::size_t& length);
  void reserve_scratch(std::size_t size);

  UCaseMap* case_map_ = nullptr;
  std::size_t chunk_bytes_;
  std::string lowered_query_;
  bool query_ascii_ = true;
  Mode mode_ = Mode::kNever;
  // Lowered text; not zeroed, so a fresh process touches only what it uses.
  std::unique_ptr<char[]> scratch_;
  std::size_t scratch_size_ = 0;
};

}  // namespace vestigor_mcp
