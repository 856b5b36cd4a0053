#include "tools/search.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unicode/ucasemap.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <set>
#include <utility>

#include "util/buffer.hpp"
#include "util/fs.hpp"
#include "util/unicode.hpp"

namespace vestigor_mcp {

namespace {

// ---- The walk ----

// Directory descriptors held open at once, one per level, so that entries
// are opened relative to their folder; deeper levels go by full path.
constexpr int kHeldLevels = 64;

// A growable array of trivially copyable values on malloc and realloc:
// large arrays grow by remapping their pages instead of copying them, so
// growing touches no more memory than the final array.
template <typename T>
class PodArray {
 public:
  PodArray() = default;
  ~PodArray() { std::free(data_); }
  PodArray(const PodArray&) = delete;
  PodArray& operator=(const PodArray&) = delete;

  std::size_t size() const { return size_; }
  const T* data() const { return data_; }
  const T& operator[](std::size_t i) const { return data_[i]; }

  void append(const T* values, std::size_t count) {
    if (size_ + count > capacity_) {
      std::size_t capacity = std::max<std::size_t>(capacity_ * 2, 1024 / sizeof(T));
      capacity = std::max(capacity, size_ + count);
      void* bigger = std::realloc(data_, capacity * sizeof(T));
      if (bigger == nullptr) {
        throw std::bad_alloc();  // as a standard container would
      }
      data_ = static_cast<T*>(bigger);
      capacity_ = capacity;
    }
    std::memcpy(data_ + size_, values, count * sizeof(T));
    size_ += count;
  }
  void push_back(const T& value) { append(&value, 1); }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The notes a walk finds, in the order found, held compactly: each folder's
// path once, and per note its folder and where its name ends in one run of
// names. A fresh process pays for every page it touches, and a string per
// note would touch several times as many.
class NoteList {
 public:
  std::size_t size() const { return notes_.size(); }

  // Registers a folder path (ending in '/'); returns its index.
  std::size_t add_folder(std::string_view path) {
    folders_.push_back(folder_bytes_.size());
    folder_bytes_ += path;
    return folders_.size() - 1;
  }
  void add_note(std::size_t folder, std::string_view name) {
    names_.append(name.data(), name.size());
    notes_.push_back(Note{folder, names_.size()});
  }

  // The full path of note `i`, into `out`.
  void path(std::size_t i, std::string& out) const {
    const Note& note = notes_[i];
    const std::size_t folder_end = note.folder + 1 < folders_.size()
                                       ? folders_[note.folder + 1]
                                       : folder_bytes_.size();
    out.assign(folder_bytes_, folders_[note.folder],
               folder_end - folders_[note.folder]);
    const std::size_t name_begin = i > 0 ? notes_[i - 1].name_end : 0;
    out.append(names_.data() + name_begin, note.name_end - name_begin);
  }

 private:
  struct Note {
    std::size_t folder;
    std::size_t name_end;
  };
  std::string folder_bytes_;
  std::vector<std::size_t> folders_;  // where each folder's path begins
  PodArray<char> names_;
  PodArray<Note> notes_;
};

class Walker {
 public:
  explicit Walker(NoteList& notes) : notes_(notes) {}

  // Walks the directory at path_ (opened relative to `parent`, by `name`,
  // when `parent` is a descriptor; by path_ otherwise).
  void walk(int parent, const char* name, int level) {
    const int fd = parent >= 0 ? ::openat(parent, name, kDirFlags)
                               : ::open(path_.c_str(), kDirFlags);
    if (fd < 0) {
      return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !entered_.emplace(st.st_dev, st.st_ino).second) {
      ::close(fd);
      return;
    }
    // One listing per level, kept for the next folder at that level.
    if (levels_.size() <= static_cast<std::size_t>(level)) {
      levels_.resize(static_cast<std::size_t>(level) + 1);
    }
    Listing& listing = levels_[static_cast<std::size_t>(level)];
    listing.names.clear();
    listing.entries.clear();
    list(fd, listing);
    // Taking each directory's names in byte order makes the depth-first
    // walk meet the notes in path order, so no later sort has work to do,
    // and a directory reached through several links is walked under the
    // first of its paths in that order.
    std::sort(listing.entries.begin(), listing.entries.end(),
              [&listing](const Entry& a, const Entry& b) {
                return listing.name(a) < listing.name(b);
              });
    int held = fd;
    if (level >= kHeldLevels) {
      ::close(fd);
      held = -1;
    }
    if (path_.back() != '/') {
      path_ += '/';
    }
    const std::size_t base = path_.size();
    std::size_t folder = SIZE_MAX;  // registered with its first note
    for (const Entry& entry : listing.entries) {
      const std::string_view entry_name = listing.name(entry);
      path_.resize(base);
      path_ += entry_name;
      const char* relative = listing.names.data() + entry.offset;
      unsigned char type = entry.type;
      if (type == DT_LNK || type == DT_UNKNOWN) {
        struct stat target {};
        const int r = held >= 0 ? ::fstatat(held, relative, &target, 0)
                                : ::stat(path_.c_str(), &target);
        if (r != 0) {
          continue;  // a broken link, or gone meanwhile
        }
        type = S_ISDIR(target.st_mode) ? DT_DIR
               : S_ISREG(target.st_mode) ? DT_REG
                                         : DT_UNKNOWN;
      }
      if (type == DT_DIR) {
        walk(held, relative, level + 1);
      } else if (type == DT_REG && (entry.type == DT_REG || is_note(entry_name))) {
        if (folder == SIZE_MAX) {
          folder = notes_.add_folder(std::string_view(path_).substr(0, base));
        }
        notes_.add_note(folder, entry_name);
      }
      // Pipes, devices and sockets are passed over: reading them could
      // block or never end.
    }
    path_.resize(base);
    if (held >= 0) {
      ::close(held);
    }
  }

  std::string path_;  // the path being walked; set by the caller

 private:
  static constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK;

  struct Entry {
    std::size_t offset;  // of the NUL-terminated name in Listing::names
    std::size_t size;
    unsigned char type;  // d_type
  };
  struct Listing {
    std::string names;
    std::vector<Entry> entries;
    std::string_view name(const Entry& e) const {
      return std::string_view(names.data() + e.offset, e.size);
    }
    void add(const char* name, unsigned char type) {
      const std::size_t size = std::strlen(name);
      entries.push_back(Entry{names.size(), size, type});
      names.append(name, size + 1);
    }
  };

  // Reads the visible names in the open directory `fd`. A listing that
  // fails part-way keeps what it gave so far.
  void list(int fd, Listing& listing) {
#if defined(__linux__)
    // getdents64 straight into one reused buffer: no DIR stream to set up.
    if (!buffer_) {
      buffer_ = std::make_unique_for_overwrite<char[]>(kBufferBytes);
    }
    for (;;) {
      const ssize_t n = ::getdents64(fd, buffer_.get(), kBufferBytes);
      if (n <= 0) {
        break;
      }
      for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
        dirent64 entry;
        const std::size_t header = offsetof(dirent64, d_name);
        std::memcpy(&entry, buffer_.get() + at, header);
        const char* entry_name = buffer_.get() + at + header;
        if (wanted(entry_name, entry.d_type)) {
          listing.add(entry_name, entry.d_type);
        }
        at += entry.d_reclen;
      }
    }
#else
    const int copy = ::dup(fd);
    DIR* dir = copy < 0 ? nullptr : ::fdopendir(copy);
    if (dir == nullptr) {
      if (copy >= 0) {
        ::close(copy);
      }
      return;
    }
    while (const dirent* entry = ::readdir(dir)) {
      if (wanted(entry->d_name, entry->d_type)) {
        listing.add(entry->d_name, entry->d_type);
      }
    }
    ::closedir(dir);
#endif
  }

  // Hidden names (and "." and "..") are never taken; regular files only
  // when they are notes.
  static bool wanted(const char* name, unsigned char type) {
    return name[0] != '.' && (type != DT_REG || is_note(name));
  }

  static bool is_note(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return dot != std::string_view::npos && name.substr(dot + 1) == "md";
  }

  NoteList& notes_;
  std::set<std::pair<dev_t, ino_t>> entered_;
  std::deque<Listing> levels_;  // a deque: growing it moves no listing
  static constexpr std::size_t kBufferBytes = 64 * 1024;
  std::unique_ptr<char[]> buffer_;  // for getdents64; never zeroed
};

// ---- Lowering ----

// Lowers ASCII letters; leaves every other byte as it is. For text that is
// pure ASCII this is exactly the Unicode lower-case mapping. Written as a
// branch-free loop so that the compiler vectorises it.
void lower_ascii(const char* src, std::size_t size, char* dst) {
  for (std::size_t i = 0; i < size; ++i) {
    const auto c = static_cast<unsigned char>(src[i]);
    const unsigned upper = static_cast<unsigned char>(c - 'A') < 26U ? 0x20U : 0U;
    dst[i] = static_cast<char>(c | upper);
  }
}

// lower_ascii, which also tells whether the text may hold the Kelvin sign
// (E2 84 AA) or the capital I with dot (C4 B0), the only characters besides
// ASCII whose lower-case forms hold ASCII bytes. It looks for the byte
// pairs 84 AA and C4 B0, so it may answer true for other text; never false
// for text holding either. One vectorised pass.
bool lower_ascii_flagging(const char* src, std::size_t size, char* dst) {
  unsigned flag = 0;
  for (std::size_t i = 0; i + 1 < size; ++i) {
    const auto c = static_cast<unsigned char>(src[i]);
    const auto next = static_cast<unsigned char>(src[i + 1]);
    const unsigned upper = static_cast<unsigned char>(c - 'A') < 26U ? 0x20U : 0U;
    dst[i] = static_cast<char>(c | upper);
    flag |= static_cast<unsigned>((c == 0x84) & (next == 0xAA)) |
            static_cast<unsigned>((c == 0xC4) & (next == 0xB0));
  }
  if (size > 0) {
    lower_ascii(src + size - 1, 1, dst + size - 1);
  }
  return flag != 0;
}

// For an ASCII query only: the bytes of text holding non-ASCII characters,
// rewritten so that the query occurs in them exactly when it occurs in the
// text's lower-case form. ASCII is lowered; the Kelvin sign K (U+212A)
// becomes "k" and the capital I with dot (U+0130) becomes "i" followed by
// one byte of 0x80 or above, as their lower-case forms begin with ASCII;
// every other non-ASCII character is kept as it is, since its lower-case
// form, like itself, is a non-empty run of bytes of 0x80 or above, which
// an ASCII query cannot straddle. Never longer than the text.
std::size_t map_for_ascii_query(const char* src, std::size_t size, char* dst) {
  std::size_t out = 0;
  std::size_t i = 0;
  while (i < size) {
    const auto c = static_cast<unsigned char>(src[i]);
    if (c < 0x80) {
      dst[out++] = static_cast<char>(static_cast<unsigned>(c - 'A') < 26U ? c | 0x20U : c);
      ++i;
    } else if (c == 0xE2 && i + 2 < size && src[i + 1] == '\x84' &&
               src[i + 2] == '\xAA') {
      dst[out++] = 'k';
      i += 3;
    } else if (c == 0xC4 && i + 1 < size && src[i + 1] == '\xB0') {
      dst[out++] = 'i';
      dst[out++] = '\x80';
      i += 2;
    } else {
      dst[out++] = src[i++];
    }
  }
  return out;
}

std::size_t count_lf(const char* begin, const char* end) {
  return static_cast<std::size_t>(std::count(begin, end, '\n'));
}

const char* find_byte(const char* begin, const char* end, char byte) {
  return static_cast<const char*>(
      std::memchr(begin, byte, static_cast<std::size_t>(end - begin)));
}

const char* find_bytes(const char* begin, std::size_t size,
                       std::string_view needle) {
  return static_cast<const char*>(
      ::memmem(begin, size, needle.data(), needle.size()));
}

void collect_notes(const std::string& directory, NoteList& notes) {
  if (directory.empty()) {
    return;  // an empty path names no directory
  }
  Walker walker(notes);
  walker.path_ = directory;
  walker.walk(-1, nullptr, 0);
}

}  // namespace

void collect_md(const std::string& directory, std::vector<std::string>& files) {
  NoteList notes;
  collect_notes(directory, notes);
  files.reserve(files.size() + notes.size());
  std::string path;
  for (std::size_t i = 0; i < notes.size(); ++i) {
    notes.path(i, path);
    files.push_back(path);
  }
}

bool path_less(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  // Paths share long prefixes: skip equal bytes eight at a time.
  while (i + 8 <= n) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) {
      break;
    }
    i += 8;
  }
  for (; i < n; ++i) {
    if (a[i] != b[i]) {
      // The separator ranks below every byte, so a name sorts before the
      // longer names it begins ("a/z.md" before "a-b.md").
      const unsigned x = a[i] == '/' ? 0U : static_cast<unsigned char>(a[i]) + 1U;
      const unsigned y = b[i] == '/' ? 0U : static_cast<unsigned char>(b[i]) + 1U;
      return x < y;
    }
  }
  return a.size() < b.size();
}

// ---- LineFinder ----

LineFinder::LineFinder(std::string_view query, std::size_t chunk_bytes)
    : chunk_bytes_(std::max<std::size_t>(chunk_bytes, 1)) {
  UErrorCode error = U_ZERO_ERROR;
  case_map_ = ::ucasemap_open("", 0, &error);  // "": the root locale
  if (U_FAILURE(error)) {
    case_map_ = nullptr;
    return;  // nothing can be lowered, so nothing can match
  }
  std::size_t length = 0;
  if (!icu_lower(query, 0, length)) {
    return;
  }
  lowered_query_.assign(scratch_.get(), length);
  query_ascii_ = is_ascii(lowered_query_);
  // Lines hold no LF and lowering never makes one. A lowered line that is
  // searched as part of a run of lines is followed by its CR, if any, and
  // its LF, so a query holding a CR must meet the lines one at a time.
  if (lowered_query_.find('\n') != std::string::npos) {
    mode_ = Mode::kNever;
  } else if (lowered_query_.find('\r') != std::string::npos) {
    mode_ = Mode::kPerLine;
  } else {
    mode_ = Mode::kChunked;
  }
}

LineFinder::~LineFinder() {
  if (case_map_ != nullptr) {
    ::ucasemap_close(case_map_);
  }
}

void LineFinder::reserve_scratch(std::size_t size) {
  if (scratch_size_ < size) {
    const std::size_t capacity = std::max(size, scratch_size_ * 2);
    std::unique_ptr<char[]> bigger(new char[capacity]);
    if (scratch_size_ > 0) {
      std::memcpy(bigger.get(), scratch_.get(), scratch_size_);
    }
    scratch_ = std::move(bigger);
    scratch_size_ = capacity;
  }
}

bool LineFinder::icu_lower(std::string_view text, std::size_t at,
                           std::size_t& length) {
  if (case_map_ == nullptr || text.size() > INT32_MAX / 4) {
    return false;
  }
  reserve_scratch(at + text.size() + 16);
  for (int attempt = 0; attempt < 2; ++attempt) {
    UErrorCode error = U_ZERO_ERROR;
    const std::size_t room = std::min<std::size_t>(scratch_size_ - at, INT32_MAX);
    const int32_t n = ::ucasemap_utf8ToLower(
        case_map_, scratch_.get() + at, static_cast<int32_t>(room),
        text.data(), static_cast<int32_t>(text.size()), &error);
    if (error == U_BUFFER_OVERFLOW_ERROR && n > 0) {
      reserve_scratch(at + static_cast<std::size_t>(n));
      continue;
    }
    if (U_FAILURE(error) || n < 0) {
      return false;
    }
    length = static_cast<std::size_t>(n);
    return true;
  }
  return false;
}

std::optional<std::size_t> LineFinder::lower_piece(std::string_view piece) {
  const char* src = piece.data();
  const std::size_t size = piece.size();
  reserve_scratch(size);
  if (query_ascii_) {
    // For an ASCII query every character but two may stay as it is once
    // ASCII letters are lowered (see map_for_ascii_query).
    if (!lower_ascii_flagging(src, size, scratch_.get())) {
      return size;
    }
    return map_for_ascii_query(src, size, scratch_.get());
  }
  // Lowering never looks across a LF (it is neither cased nor
  // case-ignorable, so it ends every Final_Sigma context), so lines may be
  // lowered apart or together: ASCII lines by the table, each line holding
  // other characters by ICU.
  std::size_t out = 0;
  std::size_t i = 0;
  while (i < size) {
    const std::size_t j = i + ascii_prefix(std::string_view(src + i, size - i));
    std::size_t line_begin = j;
    if (j < size) {
      while (line_begin > i && src[line_begin - 1] != '\n') {
        --line_begin;
      }
    }
    reserve_scratch(out + (line_begin - i));
    lower_ascii(src + i, line_begin - i, scratch_.get() + out);
    out += line_begin - i;
    if (j == size) {
      break;
    }
    const char* nl = find_byte(src + j, src + size, '\n');
    const std::size_t line_end =
        nl == nullptr ? size : static_cast<std::size_t>(nl - src) + 1;
    std::size_t length = 0;
    if (!icu_lower(piece.substr(line_begin, line_end - line_begin), out, length)) {
      return std::nullopt;
    }
    out += length;
    i = line_end;
  }
  return out;
}

std::optional<LineMatch> LineFinder::first_match(std::string_view content) {
  if (mode_ == Mode::kNever) {
    return std::nullopt;
  }
  if (mode_ == Mode::kPerLine) {
    return per_line(content);
  }
  const char* const text_end = content.data() + content.size();
  std::size_t pos = 0;
  while (pos < content.size()) {
    // A run of whole lines, at least chunk_bytes_ long unless the text ends.
    std::size_t end = content.size();
    if (content.size() - pos > chunk_bytes_) {
      const char* nl =
          find_byte(content.data() + pos + chunk_bytes_ - 1, text_end, '\n');
      if (nl != nullptr) {
        end = static_cast<std::size_t>(nl - content.data()) + 1;
      }
    }
    const std::string_view piece = content.substr(pos, end - pos);
    pos = end;
    if (!query_ascii_ && is_ascii(piece)) {
      continue;  // lowered ASCII holds no byte of 0x80 or above
    }
    const std::optional<std::size_t> lowered = lower_piece(piece);
    if (!lowered) {
      return std::nullopt;
    }
    // With neither LF nor CR in the query, its first occurrence in the
    // lowered run lies inside the lowered form of the first matching line.
    const char* hit = find_bytes(scratch_.get(), *lowered, lowered_query_);
    if (hit == nullptr) {
      continue;
    }
    std::size_t skip = count_lf(scratch_.get(), hit);
    const char* const piece_end = piece.data() + piece.size();
    const char* line = piece.data();
    for (; skip > 0; --skip) {
      line = find_byte(line, piece_end, '\n') + 1;
    }
    const char* nl = find_byte(line, piece_end, '\n');
    std::string_view text(
        line, static_cast<std::size_t>((nl == nullptr ? piece_end : nl) - line));
    if (nl != nullptr && text.ends_with('\r')) {
      text.remove_suffix(1);
    }
    return LineMatch{count_lf(content.data(), line) + 1, text};
  }
  return std::nullopt;
}

std::optional<LineMatch> LineFinder::per_line(std::string_view content) {
  std::size_t number = 0;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t nl = content.find('\n', start);
    const std::size_t end = nl == std::string_view::npos ? content.size() : nl;
    std::string_view line = content.substr(start, end - start);
    if (nl != std::string_view::npos && line.ends_with('\r')) {
      line.remove_suffix(1);
    }
    ++number;
    std::size_t length = line.size();
    if (is_ascii(line)) {
      reserve_scratch(line.size());
      lower_ascii(line.data(), line.size(), scratch_.get());
    } else if (!icu_lower(line, 0, length)) {
      return std::nullopt;
    }
    if (std::string_view(scratch_.get(), length).find(lowered_query_) !=
        std::string_view::npos) {
      return LineMatch{number, line};
    }
    start = end + 1;
  }
  return std::nullopt;
}

// ---- The tool ----

ToolOutcome search(std::string_view query) {
  if (trim_white_space(query).empty()) {
    return std::unexpected("query is empty");
  }
  const auto vault = vault_root();
  if (!vault) {
    return std::unexpected(vault.error());
  }
  LineFinder finder(query);
  std::vector<std::string> matches;
  if (finder.can_match()) {
    // The walk yields the notes already in path order (see collect_md).
    NoteList notes;
    collect_notes(*vault, notes);
    Buffer note;  // holds one note at a time
    std::string path;
    for (std::size_t i = 0; i < notes.size(); ++i) {
      notes.path(i, path);
      const auto read = read_regular_file(AT_FDCWD, path.c_str(), note);
      if (!read) {
        continue;
      }
      const std::string_view content = *read;
      // A note that is not valid UTF-8 is skipped, matching or not, so
      // only a matching note needs the check.
      const std::optional<LineMatch> match = finder.first_match(content);
      if (!match || !is_valid_utf8(content)) {
        continue;
      }
      matches.push_back(display_path(path, *vault) + ":" +
                        std::to_string(match->number) + ": " +
                        std::string(trim_white_space(match->text)));
      if (matches.size() == kMaxSearchMatches) {
        break;
      }
    }
  }
  if (matches.empty()) {
    return "No matches for \"" + std::string(query) + "\".";
  }
  std::string text = std::to_string(matches.size()) +
                     " file match(es) for \"" + std::string(query) + "\":\n\n";
  for (std::size_t i = 0; i < matches.size(); ++i) {
    if (i > 0) {
      text += '\n';
    }
    text += matches[i];
  }
  return text;
}

}  // namespace vestigor_mcp
