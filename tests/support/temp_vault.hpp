// temp_vault.hpp: a fresh vault folder for one test. Removed at the end of
// a passing test; kept, with its path printed, when the test failed. The
// end also unsets VESTIGOR_VAULT, so a unit test that points this process
// at the vault leaves nothing behind for the next.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vestigor_mcp::testing {

class TempVault {
 public:
  TempVault();
  ~TempVault();
  TempVault(const TempVault&) = delete;
  TempVault& operator=(const TempVault&) = delete;

  const std::string& path() const { return path_; }
  // Absolute path of `relative` inside the vault.
  std::string at(std::string_view relative) const;

  // Writes `content` to `relative`, creating parent folders.
  void write(std::string_view relative, std::string_view content) const;
  // Writes `content` to `relative` after `hole` NUL bytes that are never
  // written (a hole: a note of hundreds of MiB made at once).
  void write_after_hole(std::string_view relative, std::uint64_t hole,
                        std::string_view content) const;
  void mkdir(std::string_view relative) const;
  void symlink(std::string_view target, std::string_view relative) const;
  // Whole content of `relative`; fails the test when unreadable.
  std::string read(std::string_view relative) const;
  bool exists(std::string_view relative) const;

 private:
  std::string path_;
};

}  // namespace vestigor_mcp::testing
