#include "support/temp_vault.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "support/files.hpp"

namespace vestigor_mcp::testing {

namespace fs = std::filesystem;

TempVault::TempVault() {
  std::string pattern =
      (fs::temp_directory_path() / "vestigor-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
  }
  path_ = pattern;
}

TempVault::~TempVault() {
  if (::testing::Test::HasFailure()) {
    std::cerr << "kept test vault: " << path_ << "\n";
  } else {
    std::error_code ec;
    // Folders a test made unreadable must become removable again.
    for (auto it = fs::recursive_directory_iterator(
             path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add,
                        ec);
      }
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  ::unsetenv("VESTIGOR_VAULT");
}

std::string TempVault::at(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

void TempVault::write(std::string_view relative,
                      std::string_view content) const {
  const fs::path p = at(relative);
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) {
    ADD_FAILURE() << "cannot write " << p;
  }
}

void TempVault::write_after_hole(std::string_view relative, std::uint64_t hole,
                                 std::string_view content) const {
  write(relative, "");
  std::ofstream out(at(relative), std::ios::binary | std::ios::in);
  out.seekp(static_cast<std::streamoff>(hole));
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) {
    ADD_FAILURE() << "cannot write " << at(relative);
  }
}

void TempVault::mkdir(std::string_view relative) const {
  std::error_code ec;
  fs::create_directories(at(relative), ec);
  if (ec) {
    ADD_FAILURE() << "cannot create " << at(relative) << ": " << ec.message();
  }
}

void TempVault::symlink(std::string_view target,
                        std::string_view relative) const {
  const fs::path p = at(relative);
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  if (::symlink(std::string(target).c_str(), p.c_str()) != 0) {
    ADD_FAILURE() << "cannot link " << p;
  }
}

std::string TempVault::read(std::string_view relative) const {
  return read_file(at(relative));
}

bool TempVault::exists(std::string_view relative) const {
  struct stat st {};
  return ::lstat(at(relative).c_str(), &st) == 0;
}

}  // namespace vestigor_mcp::testing
