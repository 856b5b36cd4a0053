#include "protocol/tool_call.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/temp_vault.hpp"
#include "tools/tool_table.hpp"

namespace vestigor_mcp {
namespace {

// The text and flag of the tool result for `params` (raw JSON).
std::pair<std::string, bool> call(const std::string& params) {
  const auto request = json::parse("{\"params\":" + params + "}");
  EXPECT_TRUE(request.has_value()) << params;
  const json::Value result = tools_call(*request);
  const json::Value& item = result.find("content")->as_array()->front();
  return {*item.find("text")->as_string(), *result.find("isError")->as_bool()};
}

TEST(ToolTable, NamesAreUniqueAndArgumentsDescribed) {
  const auto tools = tool_table();
  ASSERT_EQ(tools.size(), 4U);
  for (std::size_t i = 0; i < tools.size(); ++i) {
    EXPECT_EQ(tools[i].argument.empty(), tools[i].argument_description.empty());
    for (std::size_t j = i + 1; j < tools.size(); ++j) {
      EXPECT_NE(tools[i].name, tools[j].name);
    }
  }
}

TEST(ToolsCall, TakesOnlyAStringArgument) {
  ::unsetenv("VESTIGOR_VAULT");
  // A string argument gets past the argument test to the vault lookup.
  EXPECT_EQ(call(R"({"name":"search","arguments":{"query":"yes","n":1}})"),
            std::make_pair(
                std::string("Error: VESTIGOR_VAULT env var is not set"), true));
  for (const char* arguments :
       {R"({"query":1})", R"({"query":null})", R"({"query":{"query":"no"}})",
        R"({"query":["no"]})", R"({"missing":"no"})", R"({"Query":"no"})",
        R"("query")", "null", "[]"}) {
    EXPECT_EQ(
        call(std::string(R"({"name":"search","arguments":)") + arguments + "}"),
        std::make_pair(std::string("Error: query is empty"), true))
        << arguments;
  }
  EXPECT_EQ(call(R"({"name":"search"})"),
            std::make_pair(std::string("Error: query is empty"), true));
}

TEST(ToolsCall, SelectsByExactName) {
  ::unsetenv("VESTIGOR_VAULT");
  for (const char* name : {"Search", " search", "search ", "", "searc"}) {
    EXPECT_EQ(call(std::string(R"({"name":")") + name + "\"}"),
              std::make_pair("Error: unknown tool: " + std::string(name), true))
        << name;
  }
  EXPECT_EQ(call(R"({"name":7})"),
            std::make_pair(std::string("Error: unknown tool: "), true));
  EXPECT_EQ(call(R"({"name":"list_open_threads"})"),
            std::make_pair(
                std::string("Error: VESTIGOR_VAULT env var is not set"), true));
}

TEST(ToolsCall, SnapshotToolsIgnoreTheirArguments) {
  testing::TempVault vault;
  vault.write("current-state.md", "top");
  vault.write("agents/memory/open-threads.md", "threads\n");
  ::setenv("VESTIGOR_VAULT", vault.path().c_str(), 1);
  EXPECT_EQ(call(R"({"name":"get_current_state",)"
                 R"("arguments":{"path":"elsewhere"}})"),
            std::make_pair(std::string("top"), false));
  EXPECT_EQ(call(R"({"name":"list_open_threads","arguments":"x"})"),
            std::make_pair(std::string("threads\n"), false));
}

}  // namespace
}  // namespace vestigor_mcp
