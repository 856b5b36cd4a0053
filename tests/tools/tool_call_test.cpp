#include "tools/tool_call.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/temp_vault.hpp"

namespace vestigor_mcp {
namespace {

TEST(JoinPath, JoinsWithOneSlash) {
  EXPECT_EQ(join_path("", "daily"), "daily");
  EXPECT_EQ(join_path("v", "daily"), "v/daily");
  EXPECT_EQ(join_path("v/", "daily"), "v/daily");
  EXPECT_EQ(join_path("/", "daily"), "/daily");
  EXPECT_EQ(join_path("v//", "a/b.md"), "v//a/b.md");
}

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
      {"v/bad\xFF.md", "v", "bad\xEF\xBF\xBD.md"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(display_path(c.path, c.vault), c.shown) << c.path << " in " << c.vault;
  }
}

TEST(StringArgument, TakesOnlyAStringMember) {
  const auto args = json::parse(
      "{\"s\":\"yes\",\"n\":1,\"z\":null,\"o\":{\"s\":\"no\"},\"a\":[\"no\"]}");
  ASSERT_TRUE(args);
  EXPECT_EQ(string_argument(*args, "s"), "yes");
  for (const char* key : {"n", "z", "o", "a", "missing", "S"}) {
    EXPECT_EQ(string_argument(*args, key), "") << key;
  }
  EXPECT_EQ(string_argument(json::Value("s"), "s"), "");
  EXPECT_EQ(string_argument(json::Value(), "s"), "");
}

TEST(VaultRoot, ReadsTheVariableAfreshEachCall) {
  ::unsetenv("VESTIGOR_VAULT");
  EXPECT_EQ(vault_root().error(), "VESTIGOR_VAULT env var is not set");
  ::setenv("VESTIGOR_VAULT", "", 1);
  EXPECT_EQ(vault_root().value(), "");
  ::setenv("VESTIGOR_VAULT", " ~/notes/ ", 1);
  EXPECT_EQ(vault_root().value(), " ~/notes/ ");
  ::setenv("VESTIGOR_VAULT", "/tmp/\xC3(", 1);
  EXPECT_FALSE(vault_root().has_value());
  ::unsetenv("VESTIGOR_VAULT");
}

TEST(NoteReader, ReadsWholeFilesAndRefusesEverythingElse) {
  testing::TempVault vault;
  const std::string big(300000, 'x');
  vault.write("big.md", big);
  vault.write("small.md", "small");
  vault.write("empty.md", "");
  vault.mkdir("dir.md");
  NoteReader reader;
  EXPECT_TRUE(reader.read(vault.at("big.md")));
  EXPECT_EQ(reader.text(), big);
  // The buffer is reused: a shorter note leaves nothing of the longer one.
  EXPECT_TRUE(reader.read(vault.at("small.md")));
  EXPECT_EQ(reader.text(), "small");
  EXPECT_TRUE(reader.read(vault.at("empty.md")));
  EXPECT_EQ(reader.text(), "");
  for (const std::string& refused :
       {vault.at("dir.md"), vault.at("missing.md"), std::string("/dev/null")}) {
    EXPECT_FALSE(reader.read(refused)) << refused;
    EXPECT_EQ(reader.text(), "") << refused;
  }
}

}  // namespace
}  // namespace vestigor_mcp
