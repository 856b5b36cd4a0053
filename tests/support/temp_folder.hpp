// temp_folder.hpp: a fresh folder under the system's temporary folder for
// one test, removed at its end. Header-only and standard C++ alone, so
// that the Windows unit tests, which link none of the POSIX test support,
// use it too. (A vault with the server's variable set: temp_vault.hpp.)
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <ios>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

namespace vestigor_mcp::testing {

class TempFolder {
 public:
  TempFolder() {
    const auto tag = std::chrono::steady_clock::now().time_since_epoch();
    path_ = std::filesystem::temp_directory_path() /
            ("vestigor-test-" + std::to_string(tag.count()));
    std::filesystem::create_directories(path_);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::string path() const { return path_.string(); }
  std::string at(const std::string& name) const {
    return (path_ / name).string();
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path_ / name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  // `mode` std::ios::app adds to the file instead.
  void write(const std::string& name, const std::string& text,
             std::ios::openmode mode = std::ios::trunc) const {
    std::ofstream(path_ / name, std::ios::binary | std::ios::out | mode)
        << text;
  }
  std::set<std::string> names() const {
    std::set<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_)) {
      out.insert(e.path().filename().string());
    }
    return out;
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(path_),
                      std::filesystem::directory_iterator{}));
  }

 private:
  std::filesystem::path path_;
};

}  // namespace vestigor_mcp::testing
