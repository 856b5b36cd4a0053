#include "support/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace vestigor_mcp::testing {

std::string read_file(const std::string& path) {
  std::string content;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ADD_FAILURE() << "cannot open " << path << ": " << std::strerror(errno);
    return content;
  }
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      content.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ADD_FAILURE() << "cannot read " << path << ": " << std::strerror(errno);
      content.clear();
      break;
    }
  }
  ::close(fd);
  return content;
}

FolderFiles read_folder(const std::string& folder) {
  FolderFiles files;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    files[entry.path().filename().string()] = read_file(entry.path());
  }
  return files;
}

std::string golden(std::string_view name) {
  std::string text = read_file(VESTIGOR_GOLDEN_DIR "/" + std::string(name));
  if (text.ends_with('\n')) {
    text.pop_back();
  }
  return text;
}

void remove_inside(int dir) {
  std::vector<std::string> names;
  if (DIR* listing = ::fdopendir(::dup(dir))) {
    while (const dirent* e = ::readdir(listing)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    }
    ::closedir(listing);
  }
  for (const std::string& name : names) {
    if (::unlinkat(dir, name.c_str(), 0) == 0) {
      continue;
    }
    const int sub = ::openat(dir, name.c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (sub >= 0) {
      remove_inside(sub);
      ::close(sub);
    }
    ::unlinkat(dir, name.c_str(), AT_REMOVEDIR);
  }
}

void write_at(int dir, std::string_view name, std::string_view text) {
  const int fd = ::openat(dir, std::string(name).c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << name;
  EXPECT_EQ(::write(fd, text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
  ::close(fd);
}

void make_chain(const std::string& top, int levels, const std::string& name) {
  int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; fd >= 0 && i < levels; ++i) {
    write_at(fd, "a.md", std::to_string(i));
    write_at(fd, "z.md", std::to_string(i));
    const bool made = ::mkdirat(fd, name.c_str(), 0755) == 0;
    const int next =
        made ? ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
             : -1;
    ::close(fd);
    fd = next;
  }
  ASSERT_GE(fd, 0) << "cannot make the chain of " << name << " below " << top;
  ::close(fd);
}

}  // namespace vestigor_mcp::testing
