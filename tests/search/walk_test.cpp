// The walk: which notes it meets, in which order, through links, cycles,
// trees deeper than the descriptors it holds and paths longer than the
// system takes, and folders that change while it runs.
#include "search/walk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/files.hpp"
#include "support/path_order.hpp"
#include "support/server_process.hpp"
#include "support/temp_vault.hpp"
#include "util/buffer.hpp"
#include "util/fs.hpp"

namespace vestigor_mcp {
namespace {

using testing::make_chain;
using testing::TempVault;
namespace fs = std::filesystem;

// ---- Path order, the order the walk must produce ----

using testing::path_less;

TEST(PathLess, ComparesComponentByComponentAsUnsignedBytes) {
  // Each first path sorts strictly before its second.
  const std::pair<const char*, const char*> ordered[] = {
      {"v/B.md", "v/a.md"},
      {"v/a/b.md", "v/a.md"},
      {"v/a/z.md", "v/a-b.md"},
      {"v/a/z.md", "v/a.b/a.md"},
      {"v/a", "v/a/b"},
      {"v/z.md", "v/é.md"},
      {"/v/x/y/z.md", "/v/x/y0.md"},
      {"v/a b.md", "v/a.md"},
  };
  for (const auto& [a, b] : ordered) {
    EXPECT_TRUE(path_less(a, b)) << a << " < " << b;
    EXPECT_FALSE(path_less(b, a)) << b << " < " << a;
  }
  EXPECT_FALSE(path_less("v/a.md", "v/a.md"));
}

// ---- Helpers ----

// The notes below `root`, as paths relative to the vault.
std::vector<std::string> walk(const TempVault& vault, const std::string& root,
                              TypeSource types = TypeSource::kAsListed) {
  std::vector<std::string> relative;
  NoteWalk w(root, types);
  os::Result<bool> more;
  while ((more = w.next()) && *more) {
    const std::string path(w.path());
    EXPECT_TRUE(path.starts_with(vault.path() + "/")) << path;
    relative.push_back(path.substr(vault.path().size() + 1));
  }
  EXPECT_TRUE(more.has_value());
  return relative;
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) {
      ++n;
    }
    ::closedir(dir);
  }
  return n;
}

void remove_tree(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    testing::remove_inside(fd);
    ::close(fd);
  }
}

// ---- The walk ----

TEST(NoteWalk, ListsVisibleNotesInPathOrder) {
  TempVault vault;
  for (const char* name :
       {"a.md", "a/b.md", "B.md", "a-b.md", "a/z.md", "x.md/in.md", "NOTE.MD",
        "a.Md", "trail.", "plain", ".hidden.md", ".cache/x.md", "d/.git/y.md",
        "d/e/f.md", "md", ".md"}) {
    vault.write(name, "text");
  }
  vault.symlink("d", "link-to-d");
  vault.symlink("a.md", "link.md");
  vault.symlink("missing.md", "broken.md");
  vault.symlink(".cache", "shown");  // a visible name for a hidden folder
  vault.symlink("self.md", "self.md");
  vault.symlink("pipe.md", "link-to-pipe.md");
  ASSERT_EQ(::mkfifo(vault.at("pipe.md").c_str(), 0600), 0);
  // A link to a folder is walked as the folder would be; pipes, links to
  // them, and broken or looping links are no notes. Entry types looked up one
  // by one, as on a file system whose listings give none, change nothing.
  const std::vector<std::string> want = {
      "B.md",     "a/b.md",           "a/z.md",  "a-b.md",     "a.md",
      "d/e/f.md", "link-to-d/e/f.md", "link.md", "shown/x.md", "x.md/in.md"};
  EXPECT_EQ(walk(vault, vault.path()), want);
  EXPECT_EQ(walk(vault, vault.path(), TypeSource::TEST_kLookedUp), want);
  // With a trailing slash the paths get no doubled separator.
  EXPECT_EQ(walk(vault, vault.path() + "/").size(), want.size());
}

TEST(NoteWalk, CutsLinkCyclesAtAFolderAlreadyOnThePath) {
  TempVault vault;
  vault.write("n/top.md", "x");
  vault.write("n/sub/deep.md", "x");
  vault.symlink("..", "n/sub/up");                // cycle back to n
  vault.symlink("../..", "n/sub/root");           // cycle back to the vault
  vault.symlink(vault.path(), "n/sub/absolute");  // and again, by its path
  vault.symlink(".", "n/self");
  vault.symlink("n/sub", "z");  // a second way into n/sub
  // Below z, n is not yet on the path, so z/up is walked, down to where
  // it would come back to z.
  for (const TypeSource types :
       {TypeSource::kAsListed, TypeSource::TEST_kLookedUp}) {
    EXPECT_EQ(walk(vault, vault.path(), types),
              (std::vector<std::string>{"n/sub/deep.md", "n/top.md",
                                        "z/deep.md", "z/up/top.md"}));
  }
}

TEST(NoteWalk, ReportsEveryPathToASharedFolder) {
  TempVault vault;
  vault.write("shared/n.md", "x");
  vault.symlink("shared", "a");
  vault.symlink("../shared", "b/link");
  EXPECT_EQ(walk(vault, vault.path()),
            (std::vector<std::string>{"a/n.md", "b/link/n.md", "shared/n.md"}));
}

TEST(NoteWalk, EndsInManyLinksToOneFolderInsideACycle) {
  // Every path that does not repeat a folder is walked: with three links
  // from each of two folders to the other, and a note in each, that is
  // each folder once at the top and once below each link of the other.
  TempVault vault;
  vault.write("p/n.md", "x");
  vault.write("q/n.md", "x");
  for (const char* name : {"1", "2", "3"}) {
    vault.symlink("../q", std::string("p/") + name);
    vault.symlink("../p", std::string("q/") + name);
  }
  const std::vector<std::string> found = walk(vault, vault.path());
  EXPECT_EQ(found.size(), 8U);
  EXPECT_TRUE(std::is_sorted(found.begin(), found.end(), path_less));
  EXPECT_EQ(found.front(), "p/1/n.md");
  EXPECT_EQ(found.back(), "q/n.md");
}

TEST(NoteWalk, WalksTreesDeeperThanTheDescriptorsItHolds) {
  // Deep folders are closed and opened again relative to a held ancestor;
  // links are followed there as well.
  TempVault vault;
  std::string deep;
  for (int i = 0; i < 80; ++i) {
    deep += "d/";
    if (i == 70) {
      vault.write(deep + "mid.md", "x");
      vault.symlink("../../../../..", deep + "up");
      vault.symlink("mid.md", deep + "same.md");
    }
  }
  vault.write(deep + "bottom.md", "x");
  const std::vector<std::string> found = walk(vault, vault.path());
  ASSERT_EQ(found.size(), 3U);
  EXPECT_TRUE(found[0].ends_with("/d/bottom.md")) << found[0];
  EXPECT_EQ(found[0].size(), deep.size() + 9);
  EXPECT_TRUE(found[1].ends_with("/d/mid.md")) << found[1];
  EXPECT_TRUE(found[2].ends_with("/d/same.md")) << found[2];
}

TEST(NoteWalk, ReadsNotesBelowPathsLongerThanTheSystemTakes) {
  TempVault vault;
  const std::string name = "folder-with-a-long-name";
  constexpr int kLevels = 250;  // about 6,000 bytes of path
  make_chain(vault.path(), kLevels, name);
  const std::size_t before = open_descriptors();
  std::vector<std::string> paths;
  std::vector<std::string> texts;
  std::size_t most_open = 0;
  Buffer note;
  NoteWalk w(vault.path());
  os::Result<bool> more;
  while ((more = w.next()) && *more) {
    paths.emplace_back(w.path());
    const auto text = read_regular_file(w.folder(), w.name(), note);
    texts.push_back(text ? std::string(*text) : "unreadable");
    most_open = std::max(most_open, open_descriptors());
  }
  ASSERT_TRUE(more.has_value());
  ASSERT_EQ(paths.size(), 2U * kLevels);
  EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end(), path_less));
  // Down the a.md notes, then back up the z.md ones.
  for (int i = 0; i < kLevels; ++i) {
    const auto level = static_cast<std::size_t>(i);
    EXPECT_EQ(texts[level], std::to_string(i));
    EXPECT_EQ(texts[2 * kLevels - 1 - level], std::to_string(i));
    EXPECT_EQ(paths[level].size(),
              vault.path().size() + 1 + level * (name.size() + 1) + 4);
  }
  EXPECT_GT(paths[kLevels - 1].size(), 4096U);
  EXPECT_GT(paths[kLevels].size(), 4096U);
  // Descriptors stay bounded at any depth, and none is left open.
  EXPECT_LT(most_open, before + 80);
  EXPECT_EQ(open_descriptors(), before);

  // A root whose own path is too long is opened a component at a time.
  VESTIGOR_SKIP_UNDER_EMULATOR(
      "qemu-user fails a path longer than PATH_MAX itself, not with the "
      "kernel's ENAMETOOLONG that makes the walk go a component at a time");
  std::string root = vault.path();
  for (int i = 0; i < kLevels - 2; ++i) {
    root += "/" + name;
  }
  ASSERT_GT(root.size(), 4096U);
  std::vector<std::string> below;
  NoteWalk from_root(root);
  while ((more = from_root.next()) && *more) {
    below.emplace_back(from_root.path().substr(root.size()));
  }
  ASSERT_TRUE(more.has_value());
  EXPECT_EQ(below, (std::vector<std::string>{"/a.md", "/" + name + "/a.md",
                                             "/" + name + "/z.md", "/z.md"}));
  remove_tree(vault.path());
}

TEST(NoteWalk, SeesAFolderMovedAwayMidWalkAsGone) {
  // While the walk is deep down, a closed folder on its path is renamed:
  // coming back, the walk cannot open it again under its old name and
  // takes nothing more from it or below it, but goes on above.
  TempVault vault;
  constexpr int kLevels = 120;
  make_chain(vault.path(), kLevels, "d");
  std::string moved = vault.path();
  for (int i = 0; i < 40; ++i) {
    moved += "/d";
  }
  std::vector<std::string> z_levels;
  bool renamed = false;
  NoteWalk w(vault.path());
  os::Result<bool> more;
  while ((more = w.next()) && *more) {
    if (!renamed &&
        w.path().size() > vault.path().size() + std::size_t{2} * kLevels) {
      EXPECT_EQ(::rename(moved.c_str(), (moved + "-moved").c_str()), 0);
      renamed = true;
    }
    if (w.path().ends_with("z.md")) {
      z_levels.push_back(
          std::to_string((w.path().size() - vault.path().size() - 5) / 2));
    }
  }
  ASSERT_TRUE(more.has_value());
  ASSERT_TRUE(renamed);
  // The deepest levels were still open; everything above the move is
  // walked to the end; nothing is reported twice.
  ASSERT_FALSE(z_levels.empty());
  EXPECT_EQ(z_levels.front(), std::to_string(kLevels - 1));
  EXPECT_EQ(z_levels.back(), "0");
  EXPECT_EQ(std::count(z_levels.begin(), z_levels.end(), "39"), 1);
  EXPECT_EQ(std::count(z_levels.begin(), z_levels.end(), "40"), 0);
  std::vector<std::string> sorted = z_levels;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());
  remove_tree(vault.path());
}

TEST(NoteWalk, ListsEachFolderWhenItReachesIt) {
  // Folders after the current note are listed only when the walk gets
  // there, so notes made meanwhile are found; a visitor can stop the walk.
  TempVault vault;
  vault.write("a/1.md", "x");
  vault.mkdir("b");
  vault.write("c/3.md", "x");
  const std::size_t before = open_descriptors();
  std::vector<std::string> seen;
  os::Result<bool> more;
  for (NoteWalk w(vault.path()); (more = w.next()) && *more;) {
    seen.emplace_back(w.path().substr(vault.path().size() + 1));
    if (seen.size() == 1) {
      vault.write("b/2.md", "x");
      vault.write("c/4.md", "x");
    }
  }
  ASSERT_TRUE(more.has_value());
  EXPECT_EQ(seen,
            (std::vector<std::string>{"a/1.md", "b/2.md", "c/3.md", "c/4.md"}));

  seen.clear();
  for (NoteWalk w(vault.path());
       seen.size() < 2 && (more = w.next()) && *more;) {
    seen.emplace_back(w.path().substr(vault.path().size() + 1));
  }
  ASSERT_TRUE(more.has_value());
  EXPECT_EQ(seen, (std::vector<std::string>{"a/1.md", "b/2.md"}));
  EXPECT_EQ(open_descriptors(), before);
}

TEST(NoteWalk, AbsorbsWhatCannotBeListed) {
  TempVault vault;
  vault.write("file.md", "x");
  std::vector<std::string> files;
  for (const std::string& root :
       {std::string(), vault.at("missing"), vault.at("file.md")}) {
    NoteWalk w(root);
    os::Result<bool> more;
    while ((more = w.next()) && *more) {
      files.emplace_back(w.path());
    }
    ASSERT_TRUE(more.has_value());
  }
  EXPECT_TRUE(files.empty());
}

#ifdef __linux__
// A link into /proc is not followed: the kernel's files are no notes, and
// through /proc/self/cwd and /proc/self/root the walk would leave the
// vault for folders all over the system.
TEST(NoteWalk, DoesNotEnterPseudoFileSystems) {
  TempVault vault;
  TempVault elsewhere;
  vault.write("a.md", "x");
  vault.write("z.md", "x");
  elsewhere.write("outside.md", "x");
  vault.symlink("/proc/self", "p");
  // A note that a link takes onto one: pagemap reads on for gigabytes.
  vault.symlink("/proc/self/pagemap", "pagemap.md");
  vault.symlink(elsewhere.path() + "/outside.md", "m.md");
  const fs::path previous = fs::current_path();
  fs::current_path(elsewhere.path());  // what /proc/self/cwd leads to
  std::vector<std::string> seen;
  NoteWalk w(vault.path());
  while (seen.size() < 10 && w.next().value_or(false)) {
    seen.emplace_back(std::string(w.path()).substr(vault.path().size() + 1));
  }
  fs::current_path(previous);
  EXPECT_EQ(seen, (std::vector<std::string>{"a.md", "m.md", "z.md"}));
}
#endif

}  // namespace
}  // namespace vestigor_mcp
