// The constant answers, byte for byte against the golden texts that the
// end-to-end and client suites check the running server with.
#include "protocol/catalog.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "protocol/tool_call.hpp"
#include "protocol/version.hpp"
#include "support/files.hpp"

namespace vestigor_mcp {
namespace {

using testing::golden;

TEST(Catalog, InitializeResultIsTheGoldenOneWithTheProjectVersion) {
  const std::string text = golden("initialize.json");
  const auto parsed = json::parse(text);
  ASSERT_TRUE(parsed.has_value()) << parsed.error();
  const json::Value* info = parsed->find("serverInfo");
  ASSERT_NE(info, nullptr);
  const json::Value* version = info->find("version");
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(*version->as_string(), kServerVersion)
      << "tests/golden/initialize.json must follow the project version";
  EXPECT_EQ(json::write(initialize_result()), text);
}

TEST(Catalog, ToolsListResultIsTheGoldenOne) {
  EXPECT_EQ(json::write(tools_list_result()), golden("tools_list.json"));
}

TEST(Catalog, EveryListedToolCanBeCalledByItsName) {
  ::unsetenv("VESTIGOR_VAULT");
  const auto listed = json::parse(golden("tools_list.json"));
  ASSERT_TRUE(listed.has_value());
  const json::Value* tools = listed->find("tools");
  ASSERT_TRUE(tools != nullptr && tools->as_array() != nullptr);
  for (const json::Value& tool : *tools->as_array()) {
    const std::string name = *tool.find("name")->as_string();
    const auto request = json::parse("{\"params\":{\"name\":\"" + name +
                                     "\",\"arguments\":{}}}");
    const json::Value result = tools_call(*request);
    const std::string text =
        *result.find("content")->as_array()->front().find("text")->as_string();
    EXPECT_FALSE(text.starts_with("Error: unknown tool")) << name;
  }
}

}  // namespace
}  // namespace vestigor_mcp
