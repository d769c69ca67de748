#include "McpServer.hpp"
#include "PngDecode.hpp"
#include "SimFixture.hpp"

using namespace computeruse;
using namespace cutest;
using Json = nlohmann::ordered_json;

namespace {

std::vector<std::uint8_t> base64Decode(const std::string& s) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
  };
  std::vector<std::uint8_t> out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : s) {
    int v = value(c);
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>(acc >> bits));
    }
  }
  return out;
}

class Mcp : public SimFixture {
 protected:
  void SetUp() override { use(json::parse(platformsim::demoDesktopJson())); }

  void use(const json& scenario) {
    load(scenario);
    permissions = std::make_unique<Permissions>(*desktop, *desktop);
    server = std::make_unique<mcp::McpServer>(*session, *permissions);
  }

  Json send(const std::string& line) {
    auto reply = server->handleLine(line);
    if (!reply) return nullptr;
    return Json::parse(*reply);
  }
  Json call(const std::string& tool, const Json& arguments) {
    static int id = 100;
    Json req = {{"jsonrpc", "2.0"}, {"id", ++id}, {"method", "tools/call"}, {"params", {{"name", tool}, {"arguments", arguments}}}};
    return send(req.dump());
  }
  static std::string text(const Json& r) { return r["result"]["content"][0]["text"].get<std::string>(); }

  std::unique_ptr<Permissions> permissions;
  std::unique_ptr<mcp::McpServer> server;
};

}  // namespace

TEST_F(Mcp, ProtocolErrors) {
  struct Case {
    std::string line;
    int code;
    Json id;
  } cases[] = {
      {"{not json", -32700, nullptr},
      {"[1,2]", -32600, nullptr},
      {"42", -32600, nullptr},
      {R"({"id":1,"method":"ping"})", -32600, 1},
      {R"({"jsonrpc":"1.0","id":"a","method":"ping"})", -32600, "a"},
      {R"({"jsonrpc":"2.0","id":2,"method":7})", -32600, 2},
      {R"({"jsonrpc":"2.0","id":{"x":1},"method":"ping"})", -32600, nullptr},
      {R"({"jsonrpc":"2.0","id":3,"method":"resources/list"})", -32601, 3},
      {R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":[]})", -32602, 4},
      {R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"fly"}})", -32602, 5},
      {R"({"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"click","arguments":"x"}})", -32602, 6},
      {R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"click","arguments":{}}})", -32602, 7},
      {R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"name":"click","arguments":{"app":"Editor","element_index":3}}})", -32602, 8},
      {R"({"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"click","arguments":{"app":"Editor","elementIndex":"3"}}})", -32602, 9},
      {R"({"jsonrpc":"2.0","id":10,"method":"tools/call","params":{"name":"click","arguments":{"app":"Editor","x":1,"y":1,"button":"Left"}}})", -32602, 10},
      {R"({"jsonrpc":"2.0","id":11,"method":"tools/call","params":{"name":"click","arguments":{"app":"Editor","x":1,"y":1,"click_count":1.5}}})", -32602, 11},
      {R"({"jsonrpc":"2.0","id":12,"method":"tools/call","params":{"name":"drag","arguments":{"app":"Editor","from_x":1,"from_y":1,"to_x":2}}})", -32602, 12},
      {"\"\xFF\"", -32700, nullptr},
  };
  for (const auto& c : cases) {
    auto r = send(c.line);
    ASSERT_TRUE(r.is_object()) << c.line;
    EXPECT_EQ(r["jsonrpc"], "2.0");
    EXPECT_EQ(r["error"]["code"], c.code) << c.line;
    EXPECT_EQ(r["id"], c.id) << c.line;
    EXPECT_TRUE(r["error"]["message"].is_string());
  }
  EXPECT_TRUE(desktop->records().empty());  // no bad request did anything
}

TEST_F(Mcp, NotificationsAndBlankLinesGetNoReply) {
  EXPECT_FALSE(server->handleLine(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"));
  EXPECT_FALSE(server->handleLine(R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"list_apps"}})"));
  EXPECT_FALSE(server->handleLine(R"({"jsonrpc":"2.0","method":"nothing"})"));
  EXPECT_FALSE(server->handleLine("  \r"));
}

TEST_F(Mcp, InitializePingAndToolList) {
  auto init = send(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2024-11-05"}})");
  EXPECT_EQ(init["result"]["protocolVersion"], "2024-11-05");
  EXPECT_EQ(init["result"]["serverInfo"]["name"], "computer-use-mcp");
  EXPECT_TRUE(init["result"]["capabilities"].contains("tools"));
  EXPECT_EQ(send(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"1999-01-01"}})")["result"]["protocolVersion"],
            "2025-06-18");
  EXPECT_EQ(send(R"({"jsonrpc":"2.0","id":"p","method":"ping"})")["result"], Json::object());

  auto list = send(R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})");
  std::vector<std::string> names;
  for (const auto& t : list["result"]["tools"]) {
    names.push_back(t["name"]);
    EXPECT_EQ(t["inputSchema"]["type"], "object");
    EXPECT_TRUE(t["description"].is_string());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"list_apps", "get_app_state", "click", "drag", "scroll", "type_text",
                                             "press_key", "set_value", "perform_secondary_action"}));
  EXPECT_EQ(list["result"]["tools"][2]["inputSchema"]["properties"]["element_index"]["type"], "string");
}

TEST_F(Mcp, GetAppStateCarriesTreeScaleAndPng) {
  auto r = call("get_app_state", {{"app", "editor"}});
  EXPECT_EQ(r["result"]["isError"], false);
  auto content = r["result"]["content"];
  ASSERT_EQ(content.size(), 2u);
  auto state = Json::parse(content[0]["text"].get<std::string>());
  EXPECT_EQ(state["app"]["name"], "Editor");
  EXPECT_EQ(state["window"]["index"], "0");
  EXPECT_EQ(state["screenshotScale"], 1.0);
  std::vector<std::string> keys;
  for (auto it = state.begin(); it != state.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"app", "window", "screenshotScale"}));
  EXPECT_EQ(content[1]["type"], "image");
  EXPECT_EQ(content[1]["mimeType"], "image/png");
  auto png = decodePng(base64Decode(content[1]["data"]));
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, 800u);
  EXPECT_EQ(png->height, 560u);
}

TEST_F(Mcp, ToolsActAndErrorsBecomeToolResults) {
  call("get_app_state", {{"app", "Editor"}});
  EXPECT_EQ(text(call("set_value", {{"app", "Editor"}, {"element_index", "2"}, {"value", "Ada"}})), "Value set.");
  EXPECT_EQ(text(call("click", {{"app", "Editor"}, {"element_index", "4"}})), "Clicked.");
  EXPECT_EQ(text(call("scroll", {{"app", "Editor"}, {"element_index", "7"}, {"direction", "down"}, {"pages", 0.5}})), "Scrolled.");
  EXPECT_EQ(text(call("press_key", {{"app", "Editor"}, {"key", "cmd+s"}})), "Pressed.");
  EXPECT_EQ(text(call("drag", {{"app", "Editor"}, {"from_x", 10}, {"from_y", 10}, {"to_x", 20}, {"to_y", 20}})), "Dragged.");
  EXPECT_EQ(text(call("perform_secondary_action", {{"app", "Editor"}, {"element_index", "4"}, {"action", "AXPress"}})),
            "Action performed.");
  auto state = Json::parse(text(call("get_app_state", {{"app", "Editor"}})));
  EXPECT_EQ(state["window"]["children"][1]["value"], "Ada");
  EXPECT_EQ(state["window"]["children"][5]["value"], "2");
  EXPECT_EQ(state["window"]["children"][6]["value"], "5");

  auto err = call("click", {{"app", "Calculator"}, {"x", 1}, {"y", 1}});
  EXPECT_EQ(err["result"]["isError"], true);
  EXPECT_EQ(text(err), messages::kNotFrontmost);
  EXPECT_EQ(text(call("press_key", {{"app", "Editor"}, {"key", "hyper+a"}})), "Unknown modifier 'hyper'.");
  EXPECT_EQ(text(call("get_app_state", {{"app", "Nope"}})), "Could not find an app matching 'Nope'.");
}

TEST_F(Mcp, PendingPermissionsAreReportedToTheAgent) {
  use({{"permissions", {{"accessibility", false}, {"screenRecording", true}, {"promptGrants", false}}},
       {"applications", {app(100, "A")}}});
  auto r = call("get_app_state", {{"app", "A"}});
  EXPECT_EQ(r["result"]["isError"], true);
  EXPECT_EQ(text(r), Permissions::pendingMessage);
  EXPECT_EQ(records("prompt").size(), 1u);
  EXPECT_EQ(call("list_apps", Json::object())["result"]["isError"], false);

  use({{"permissions", {{"accessibility", false}, {"screenRecording", false}, {"promptGrants", true}}},
       {"applications", {app(100, "A")}}});
  EXPECT_EQ(call("get_app_state", {{"app", "A"}})["result"]["isError"], false);
}
