#include "tools/vault.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/env_windows.hpp"
#include "util/path.hpp"

namespace vestigor_mcp {
namespace {

TEST(JoinPath, JoinsWithOneSlash) {
  EXPECT_EQ(join_path("", "daily"), "daily");
  EXPECT_EQ(join_path("v", "daily"), "v/daily");
  EXPECT_EQ(join_path("v/", "daily"), "v/daily");
  EXPECT_EQ(join_path("/", "daily"), "/daily");
  EXPECT_EQ(join_path("v//", "a/b.md"), "v//a/b.md");
}

#ifdef _WIN32
// After "\\?\" Windows reads '/' as part of a name: a verbatim vault is
// joined with backslashes only, and its display paths still start below it.
TEST(JoinPath, VerbatimWindowsPathsTakeBackslashesOnly) {
  struct Case {
    const char* base;
    const char* relative;
    const char* joined;
    const char* shown;
  };
  const Case cases[] = {
      {R"(\\?\C:\v)", "agents/memory/x.md", R"(\\?\C:\v\agents\memory\x.md)",
       "agents/memory/x.md"},
      {R"(\\?\C:\v\)", "daily", R"(\\?\C:\v\daily)", "daily"},
      {R"(\\?\UNC\host\share\v)", "daily/d.md",
       R"(\\?\UNC\host\share\v\daily\d.md)", "daily/d.md"},
      // Not verbatim: Windows takes '/' as a separator, joined as anywhere.
      {R"(C:\v)", "daily/d.md", R"(C:\v/daily/d.md)", "daily/d.md"},
      {R"(C:\v\)", "d.md", R"(C:\v\/d.md)", "d.md"},
  };
  for (const Case& c : cases) {
    const std::string joined = join_path(c.base, c.relative);
    EXPECT_EQ(joined, c.joined) << c.base;
    EXPECT_EQ(display_path(joined, c.base), c.shown) << c.base;
  }
}
#endif

TEST(DisplayPath, StripsTheVaultComponentByComponent) {
  struct Case {
    const char* path;
    const char* vault;
    const char* shown;
  };
  const Case cases[] = {
      {"v/projects/alpha.md", "v", "projects/alpha.md"},
      {"v/daily/2026-12-06.md", "v/", "daily/2026-12-06.md"},
      {"/a/b//c/x.md", "/a/b/", "c/x.md"},
      {"/a/./b/x.md", "/a/b", "x.md"},
      {"./v/x.md", "./v", "x.md"},
      {"daily/x.md", "", "daily/x.md"},
      {"vault2/x.md", "vault", "vault2/x.md"},  // not under the vault
      {"v/back\\slash.md", "v", "back/slash.md"},
      {"v/bad\xFF.md", "v", "bad\uFFFD.md"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(display_path(c.path, c.vault), c.shown)
        << c.path << " in " << c.vault;
  }
}

TEST(VaultRoot, ReadsTheVariableAfreshEachCall) {
  ::unsetenv("VESTIGOR_VAULT");
  EXPECT_EQ(vault_root().error(), "VESTIGOR_VAULT env var is not set");
  ::setenv("VESTIGOR_VAULT", " ~/notes/ ", 1);
  EXPECT_EQ(vault_root().value(), " ~/notes/ ");
#ifndef _WIN32  // Windows' environment is UTF-16 (os_windows_test.cpp)
  ::setenv("VESTIGOR_VAULT", "", 1);
  EXPECT_EQ(vault_root().value(), "");
  ::setenv("VESTIGOR_VAULT", "/tmp/\xC3(", 1);
  EXPECT_FALSE(vault_root().has_value());
#endif
  ::unsetenv("VESTIGOR_VAULT");
}

}  // namespace
}  // namespace vestigor_mcp
