// path.hpp: paths as text, the one place they are split and joined.
// Components are separated by '/', and on Windows by a backslash too.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vestigor_mcp {

// Ordinary path joining: "" + r = r; "v/" + r = "v/r"; "v" + r = "v/r".
// On Windows, a verbatim base ("\\?\C:\v", "\\?\UNC\host\share") is
// joined with a backslash, and the slashes of `relative` become
// backslashes: the system reads '/' there as part of a name.
std::string join_path(std::string_view base, std::string_view relative);

// The components between separators, empty ones (repeated or trailing
// separators) dropped: "/a//b/" gives "a", "b".
std::vector<std::string_view> split_path(std::string_view path);

// Path components as a path comparison sees them: split_path's, with "."
// kept only at the very start, and a leading separator kept as a root
// component.
std::vector<std::string_view> path_components(std::string_view path);

// `path` without its last component (trailing separators ignored), or ""
// when it has only one: "a/b" for "a/b/c", "/" for "/c", "" for "c".
std::string parent_path(std::string_view path);

// The folder holding the last component of `path`, trailing separators
// ignored: parent_path, or "." for "c".
std::string parent_directory(std::string_view path);

}  // namespace vestigor_mcp
