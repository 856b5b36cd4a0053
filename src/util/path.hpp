// path.hpp: paths as text, the one place they are split and joined.
// Components are separated by '/'; where the folder above a path is
// sought, a backslash separates them too on Windows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vestigor_mcp {

// Ordinary path joining: "" + r = r; "v/" + r = "v/r"; "v" + r = "v/r".
std::string join_path(std::string_view base, std::string_view relative);

// The components between slashes, empty ones (repeated or trailing
// slashes) dropped: "/a//b/" gives "a", "b".
std::vector<std::string_view> split_path(std::string_view path);

// Path components as a path comparison sees them: split_path's, with "."
// kept only at the very start, and a leading "/" kept as a root component.
std::vector<std::string_view> path_components(std::string_view path);

// `path` without its last component (trailing separators ignored), or ""
// when it has only one: "a/b" for "a/b/c", "/" for "/c", "" for "c".
std::string parent_path(std::string_view path);

// The folder holding the last component of `path`, trailing separators
// ignored: parent_path, or "." for "c".
std::string parent_directory(std::string_view path);

}  // namespace vestigor_mcp
