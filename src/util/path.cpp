#include "util/path.hpp"

#include <algorithm>

namespace vestigor_mcp {

namespace {

// Windows takes a backslash as a separator too.
#ifdef _WIN32
constexpr std::string_view kSeparators = "/\\";
constexpr std::string_view kVerbatimPrefix = R"(\\?\)";
#else
constexpr std::string_view kSeparators = "/";
#endif

bool is_separator(char c) {
  return kSeparators.find(c) != std::string_view::npos;
}

}  // namespace

std::string join_path(std::string_view base, std::string_view relative) {
  std::string out(base);
#ifdef _WIN32
  // After "\\?\" (and "\\?\UNC\") Windows takes the path as it stands,
  // '/' included: only a backslash separates components there.
  if (base.starts_with(kVerbatimPrefix)) {
    if (out.back() != '\\') {
      out += '\\';
    }
    for (const char c : relative) {
      out += c == '/' ? '\\' : c;
    }
    return out;
  }
#endif
  if (!out.empty() && out.back() != '/') {
    out += '/';
  }
  out += relative;
  return out;
}

std::vector<std::string_view> split_path(std::string_view path) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < path.size()) {
    const std::size_t slash =
        std::min(path.find_first_of(kSeparators, i), path.size());
    if (slash > i) {
      out.push_back(path.substr(i, slash - i));
    }
    i = slash + 1;
  }
  return out;
}

std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> out;
  if (!path.empty() && is_separator(path.front())) {
    out.push_back(path.substr(0, 1));
  }
  for (const std::string_view part : split_path(path)) {
    if (part != "." || part.data() == path.data()) {
      out.push_back(part);
    }
  }
  return out;
}

std::string parent_path(std::string_view path) {
  while (path.size() > 1 && is_separator(path.back())) {
    path.remove_suffix(1);
  }
  const std::size_t slash = path.find_last_of(kSeparators);
  if (slash == std::string_view::npos) {
    return {};
  }
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && is_separator(parent.back())) {
    parent.remove_suffix(1);
  }
  return std::string(parent.empty() ? "/" : parent);
}

std::string parent_directory(std::string_view path) {
  const std::string parent = parent_path(path);
  return parent.empty() ? std::string(".") : parent;
}

}  // namespace vestigor_mcp
