// files.hpp: reading back what a run left on disk, and the golden texts
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

// tests/golden/<name> without its final line feed.
std::string golden(std::string_view name);

}  // namespace vestigor_mcp::testing
