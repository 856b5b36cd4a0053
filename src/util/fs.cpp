#include "util/fs.hpp"

#include "util/path.hpp"

namespace vestigor_mcp {

namespace {

bool is_directory(const std::string& path) {
  const auto st = os::status(os::Folder::by_path(), path.c_str());
  return st && st->kind == os::Kind::kDirectory;
}

// Reads `file` to its end into `buffer`, expecting about `expected` bytes.
os::Result<void> read_to_end(os::Io& io, const os::Handle& file,
                             std::size_t expected, Buffer& buffer) {
  // Room for one byte more than fstat saw, so that a file read whole takes
  // one read: a read that asked for more and brought the file to the size
  // fstat saw has met the end. A file that grew is read to wherever its
  // end is, and one that reports no size (as /proc does) until a read
  // returns nothing.
  if (!buffer.reserve(expected + 1)) {
    return std::unexpected(os::OsError::out_of_memory());
  }
  for (;;) {
    if (buffer.size() == buffer.capacity() &&
        !buffer.reserve(buffer.capacity() + 1)) {
      return std::unexpected(os::OsError::out_of_memory());
    }
    const auto n =
        os::read_at(io, file, buffer.data() + buffer.size(),
                    buffer.capacity() - buffer.size(), buffer.size());
    if (!n) {
      return std::unexpected(n.error());
    }
    if (*n == 0) {
      return {};
    }
    buffer.resize(buffer.size() + *n);
    if (buffer.size() == expected && expected > 0) {
      return {};
    }
  }
}

// make_directories, noting in `created` each folder it made.
os::Result<void> make_missing(const std::string& path,
                              std::vector<std::string>& created) {
  auto made = os::make_folder(path.c_str());
  if (made) {
    created.push_back(path);
    return {};
  }
  if (made.error().is(os::Errc::kNotFound)) {
    // Some folder above is missing: make the parents, then try again.
    const std::string parent = parent_path(path);
    if (parent.empty() || parent == path) {
      return made;
    }
    if (auto above = make_missing(parent, created); !above) {
      return above;
    }
    made = os::make_folder(path.c_str());
    if (made) {
      created.push_back(path);
      return {};
    }
  }
  // Made by someone else meanwhile, or there already (links followed).
  if (is_directory(path)) {
    return {};
  }
  return made;
}

}  // namespace

os::Result<std::string_view> read_regular_file(os::Folder at, const char* name,
                                               Buffer& buffer, os::Io& io) {
  buffer.clear();
  const auto file = os::open_regular(at, name);
  if (!file) {
    return std::unexpected(file.error());
  }
  if (const auto read = read_to_end(
          io, file->handle, static_cast<std::size_t>(file->size), buffer);
      !read) {
    buffer.clear();
    return std::unexpected(read.error());
  }
  return buffer.view();
}

os::Result<std::vector<std::string>> make_directories(const std::string& path) {
  if (path.empty()) {
    return std::unexpected(os::OsError::of(os::Errc::kNotFound));
  }
  std::vector<std::string> created;
  if (const auto made = make_missing(path, created); !made) {
    return std::unexpected(made.error());
  }
  return created;
}

}  // namespace vestigor_mcp
