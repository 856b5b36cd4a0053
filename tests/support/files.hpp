// files.hpp: reading back what a run left on disk, making trees deeper
// than a path may be long, and the golden texts
// that the unit, end-to-end and client suites all compare against. A file
// that cannot be read fails the test.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace vestigor_mcp::testing {

// The whole content of `path`; empty, and the test failed, when unreadable.
std::string read_file(const std::string& path);

// Every entry of `folder` (links followed), file name -> content; empty
// when the folder does not exist.
using FolderFiles = std::map<std::string, std::string>;
FolderFiles read_folder(const std::string& folder);

// Removes everything inside the folder `dir`, by descriptors only (a
// plain recursive removal goes by full paths, which may be too long).
void remove_inside(int dir);

// Writes `text` as the file `name` in the folder `dir`.
void write_at(int dir, std::string_view name, std::string_view text);

// `levels` folders named `name`, each inside the one before, below `top`;
// each holds a.md and z.md (before and after the next folder in path
// order) with its level number as their text. Made one level at a time,
// so the depth may pass any path length limit.
void make_chain(const std::string& top, int levels, const std::string& name);

// tests/golden/<name> without its final line feed.
std::string golden(std::string_view name);

}  // namespace vestigor_mcp::testing
