// The two snapshot tools against real vaults. The tools read
// VESTIGOR_VAULT; each test points it at its own vault, and the vault's
// end unsets it again. What is not a readable note, in a candidate's
// place, is tested through the binary (tests/e2e/faults_test.cpp).
#include "tools/snapshots.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/temp_vault.hpp"

namespace vestigor_mcp {
namespace {

using testing::TempVault;

void use_vault(const std::string& path) {
  ::setenv("VESTIGOR_VAULT", path.c_str(), 1);
}

// "text: ..." for a success outcome, "error: ..." for a failure.
std::string shown(const ToolOutcome& outcome) {
  return outcome ? "text: " + *outcome : "error: " + outcome.error();
}

const std::string kNoState = "error: no current-state.md found in vault";
const std::string kNoThreads = "text: (no open-threads.md yet)";

TEST(Snapshots, PreferTheVaultCopyOverAgentsMemoryAndFollowLinks) {
  TempVault vault;
  vault.write("current-state.md", "top");
  vault.write("agents/memory/current-state.md", "nested");
  vault.write("elsewhere/threads.md", "threads\n");
  vault.symlink(vault.at("elsewhere/threads.md"),
                "agents/memory/open-threads.md");
  use_vault(vault.path());
  EXPECT_EQ(shown(get_current_state()), "text: top");
  EXPECT_EQ(shown(list_open_threads()), "text: threads\n");
}

TEST(Snapshots, FallBackWhenNeitherNoteIsReadable) {
  TempVault vault;
  vault.mkdir("empty");
  vault.write("plain", "x");
  // An empty vault, a missing one, and a vault path naming a file.
  for (const std::string& path :
       {vault.at("empty"), vault.at("missing"), vault.at("plain")}) {
    SCOPED_TRACE(path);
    use_vault(path);
    EXPECT_EQ(shown(get_current_state()), kNoState);
    EXPECT_EQ(shown(list_open_threads()), kNoThreads);
  }
}

TEST(Snapshots, SeeEditsBetweenCallsAndAcceptATrailingSlash) {
  TempVault vault;
  use_vault(vault.path() + "/");
  vault.write("current-state.md", "v1");
  EXPECT_EQ(shown(get_current_state()), "text: v1");
  vault.write("current-state.md", "v2");
  EXPECT_EQ(shown(get_current_state()), "text: v2");
  // A note that appears or goes is seen at once too.
  EXPECT_EQ(shown(list_open_threads()), kNoThreads);
  vault.write("agents/memory/open-threads.md", "new");
  EXPECT_EQ(shown(list_open_threads()), "text: new");
}

}  // namespace
}  // namespace vestigor_mcp
