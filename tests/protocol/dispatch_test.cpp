#include "protocol/dispatch.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "protocol/catalog.hpp"
#include "support/env_windows.hpp"

namespace vestigor_mcp {
namespace {

json::Value parsed(std::string_view text) {
  auto value = json::parse(text);
  EXPECT_TRUE(value.has_value()) << text;
  return value ? *value : json::Value();
}

// The result as JSON text, or "error <code>: <message>".
std::string outcome(std::string_view method, std::string_view request) {
  const DispatchResult result = dispatch(method, parsed(request));
  if (!result) {
    return "error " + std::to_string(result.error().code) + ": " +
           result.error().message;
  }
  return json::write(*result);
}

TEST(Dispatch, AnswersTheProtocolMethodsWhateverTheParams) {
  const std::string initialize = json::write(initialize_result());
  const std::string tools = json::write(tools_list_result());
  for (const char* request :
       {"{}", "{\"params\":null}", "{\"params\":[1,2]}",
        "{\"params\":{\"cursor\":\"x\",\"protocolVersion\":\"2099-01-01\"}}",
        "\"not even an object\""}) {
    SCOPED_TRACE(request);
    EXPECT_EQ(outcome("ping", request), "{}");  // an object, never null
    EXPECT_EQ(outcome("initialize", request), initialize);
    EXPECT_EQ(outcome("tools/list", request), tools);
  }
  // The method argument decides, not the request's own "method".
  EXPECT_EQ(outcome("ping", "{\"method\":\"tools/list\"}"), "{}");
}

TEST(Dispatch, MatchesMethodNamesExactly) {
  for (const char* name :
       {"Ping", " ping", "ping ", "PING", "pin", "pingg", "Initialize",
        "tools/List", "tools", "tools/", "tools/call ", "resources/list",
        "notifications/initialized", "say \"hi\" \\ é\n", ""}) {
    EXPECT_EQ(outcome(name, "{}"),
              "error -32601: method not found: " + std::string(name))
        << name;
  }
}

TEST(Dispatch, HandsTheWholeRequestToToolsCall) {
  ::unsetenv("VESTIGOR_VAULT");
  // Handing over only "params" would make the name "" here.
  EXPECT_EQ(outcome("tools/call", "{\"params\":{\"name\":\"nope\"}}"),
            "{\"content\":[{\"text\":\"Error: unknown tool: nope\","
            "\"type\":\"text\"}],\"isError\":true}");
  // Whatever the request, tools/call never yields a method error.
  for (const char* request : {"null", "[]", "{\"params\":7}"}) {
    EXPECT_EQ(outcome("tools/call", request),
              "{\"content\":[{\"text\":\"Error: unknown tool: \","
              "\"type\":\"text\"}],\"isError\":true}")
        << request;
  }
}

}  // namespace
}  // namespace vestigor_mcp
