#include "protocol/tool_call.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/temp_vault.hpp"
#include "tools/tool_table.hpp"

namespace vestigor_mcp {
namespace {

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

// The whole leniency rule of tools/call, in one place: a tool is picked by
// its exact name, and an argument that is absent, or of another type,
// counts as "". Rows without the vault run with VESTIGOR_VAULT unset, so a
// tool that gets past its argument test answers that the vault is unset.
TEST(ToolsCall, ReadsNameAndArgumentsLeniently) {
  testing::TempVault vault;
  vault.write("current-state.md", "top");
  vault.write("agents/memory/open-threads.md", "threads\n");
  struct Case {
    std::string params;  // raw JSON; empty: the request has no params
    bool in_vault;
    const char* text;
  };
  const auto call = [](const char* tool, const char* arguments) {
    return std::string(R"({"name":")") + tool + R"(","arguments":)" +
           arguments + "}";
  };
  const char* const kUnset = "Error: VESTIGOR_VAULT env var is not set";
  const char* const kNoQuery = "Error: query is empty";
  const char* const kNoText = "Error: text is empty";
  const Case cases[] = {
      // The name: a string, matched exactly.
      {"", false, "Error: unknown tool: "},
      {R"(["search"])", false, "Error: unknown tool: "},
      {R"({"name":7})", false, "Error: unknown tool: "},
      {R"({"name":"Search"})", false, "Error: unknown tool: Search"},
      {R"({"name":" search"})", false, "Error: unknown tool:  search"},
      {R"({"name":"search "})", false, "Error: unknown tool: search "},
      {R"({"name":""})", false, "Error: unknown tool: "},
      {R"({"name":"searc"})", false, "Error: unknown tool: searc"},
      // A string argument gets past the argument test, other keys aside;
      // anything else is "", which the tool refuses before the vault.
      {call("search", R"({"query":"yes","n":1})"), false, kUnset},
      {R"({"name":"search"})", false, kNoQuery},
      {call("search", R"({"query":1})"), false, kNoQuery},
      {call("search", R"({"query":null})"), false, kNoQuery},
      {call("search", R"({"query":{"query":"no"}})"), false, kNoQuery},
      {call("search", R"({"query":["no"]})"), false, kNoQuery},
      {call("search", R"({"missing":"no"})"), false, kNoQuery},
      {call("search", R"({"Query":"no"})"), false, kNoQuery},
      {call("search", R"("query")"), false, kNoQuery},
      {call("search", "null"), false, kNoQuery},
      {call("search", "[]"), false, kNoQuery},
      // A blank query is as empty as none.
      {call("search", R"({"query":""})"), false, kNoQuery},
      {call("search", R"({"query":"   "})"), false, kNoQuery},
      {call("search", R"({"query":" \t\u3000\u00a0\r\n"})"), false, kNoQuery},
      {call("append_daily_log", R"({"text":"x"})"), false, kUnset},
      {R"({"name":"append_daily_log"})", false, kNoText},
      {call("append_daily_log", R"(["text"])"), false, kNoText},
      {call("append_daily_log", R"({"text":null})"), false, kNoText},
      {call("append_daily_log", R"({"text":42})"), false, kNoText},
      {call("append_daily_log", R"({"Text":"x"})"), false, kNoText},
      {call("append_daily_log", R"("text")"), false, kNoText},
      // The snapshot tools take no argument and ignore any given.
      {R"({"name":"list_open_threads"})", false, kUnset},
      {call("get_current_state", R"({"path":"elsewhere"})"), true, "top"},
      {call("list_open_threads", R"("x")"), true, "threads\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params.empty() ? "no params" : c.params);
    if (c.in_vault) {
      ::setenv("VESTIGOR_VAULT", vault.path().c_str(), 1);
    } else {
      ::unsetenv("VESTIGOR_VAULT");
    }
    const auto request =
        json::parse(c.params.empty() ? "{}" : "{\"params\":" + c.params + "}");
    ASSERT_TRUE(request.has_value());
    const json::Value result = tools_call(*request);
    const json::Value& item = result.find("content")->as_array()->front();
    EXPECT_EQ(*item.find("text")->as_string(), c.text);
    EXPECT_EQ(*result.find("isError")->as_bool(), !c.in_vault);
  }
}

}  // namespace
}  // namespace vestigor_mcp
