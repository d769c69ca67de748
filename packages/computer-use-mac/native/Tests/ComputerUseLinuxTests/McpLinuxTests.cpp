// computer-use-mcp --platform linux, spoken to over pipes as an agent would, operating zenity's
// entry dialog on a private X11 desktop.
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <nlohmann/json.hpp>

#include "testsupport/LinuxDesktop.hpp"
#include "testsupport/ProcessRunner.hpp"
#include "testsupport/TempDir.hpp"

using Json = nlohmann::json;
using testsupport::LinuxDesktop;
using namespace std::chrono_literals;

namespace {

const Json* findNode(const Json& node, const std::function<bool(const Json&)>& match) {
  if (match(node)) return &node;
  if (node.contains("children"))
    for (const auto& c : node["children"])
      if (auto* f = findNode(c, match)) return f;
  return nullptr;
}

std::string text(const Json& reply) { return reply["result"]["content"][0]["text"].get<std::string>(); }

TEST(McpLinux, AgentOperatesARealGtkDialog) {
  if (auto missing = LinuxDesktop::missingProgram()) GTEST_SKIP() << "missing " << *missing;
  if (::access("/usr/bin/zenity", X_OK) != 0) GTEST_SKIP() << "missing /usr/bin/zenity";
  LinuxDesktop desktop;
  desktop.exportToThisProcess();
  testsupport::TempDir out;
  const pid_t zenity = desktop.launch({"zenity", "--entry", "--title=Agent", "--text=Name:"}, out / "out.txt");

  // One server run per exchange, fed its whole conversation on standard input; element indices
  // live in the server's session, so the calls that use them share a run.
  int id = 0;
  auto converse = [&](const std::vector<Json>& calls) {
    std::string input = Json({{"jsonrpc", "2.0"}, {"id", ++id}, {"method", "initialize"},
                              {"params", {{"protocolVersion", "2025-06-18"}, {"capabilities", Json::object()},
                                          {"clientInfo", {{"name", "test"}, {"version", "1"}}}}}})
                            .dump() +
                        "\n";
    for (const auto& c : calls)
      input += Json({{"jsonrpc", "2.0"}, {"id", ++id}, {"method", "tools/call"}, {"params", c}}).dump() + "\n";
    testsupport::ProcessSpec spec;
    spec.argv = {testsupport::binPath("computer-use-mcp"), "--platform", "linux"};
    spec.stdinText = input;
    spec.timeout = 40s;
    auto result = testsupport::runProcess(spec);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::vector<Json> replies;
    std::stringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) replies.push_back(Json::parse(line));
    return replies;
  };

  // The dialog is up once get_app_state shows its text field.
  Json tree;
  const bool ready = LinuxDesktop::waitFor(
      [&] {
        // Not before the registry lists it: get_app_state of an application not running launches one.
        auto apps = converse({{{"name", "list_apps"}, {"arguments", Json::object()}}});
        if (apps.size() != 2 || apps[1]["result"]["isError"] == true) return false;
        bool listed = false;
        for (const auto& app : Json::parse(text(apps[1]))) listed |= app.value("pid", 0) == zenity;
        if (!listed) return false;
        auto replies = converse({{{"name", "get_app_state"}, {"arguments", {{"app", "zenity"}}}}});
        if (replies.size() != 2 || replies[1]["result"]["isError"] == true) return false;
        tree = Json::parse(text(replies[1]))["window"];
        return replies[1]["result"]["content"].size() == 2 &&
               findNode(tree, [](const Json& n) { return n["role"] == "AXTextField"; }) != nullptr;
      },
      30s);
  ASSERT_TRUE(ready) << tree.dump();
  EXPECT_EQ(tree["index"], "0");
  EXPECT_EQ(tree["role"], "AXWindow");
  const Json* field = findNode(tree, [](const Json& n) { return n["role"] == "AXTextField"; });
  const Json* ok = findNode(tree, [](const Json& n) { return n["role"] == "AXButton" && n.value("title", "") == "OK"; });
  ASSERT_TRUE(field && ok);

  // Indices stay valid within one server run: get the tree, set the value, read it back, press OK.
  auto replies = converse({
      {{"name", "get_app_state"}, {"arguments", {{"app", "zenity"}}}},
      {{"name", "set_value"}, {"arguments", {{"app", "zenity"}, {"element_index", (*field)["index"]}, {"value", "Ada"}}}},
      {{"name", "get_app_state"}, {"arguments", {{"app", "zenity"}}}},
      {{"name", "click"}, {"arguments", {{"app", "zenity"}, {"element_index", (*ok)["index"]}}}},
  });
  ASSERT_EQ(replies.size(), 5u);
  for (std::size_t i = 1; i < replies.size(); ++i) EXPECT_EQ(replies[i]["result"]["isError"], false) << replies[i].dump();
  auto after = Json::parse(text(replies[3]))["window"];
  const Json* changed = findNode(after, [](const Json& n) { return n["role"] == "AXTextField"; });
  ASSERT_TRUE(changed);
  EXPECT_EQ((*changed)["value"], "Ada");

  int status = -1;
  ASSERT_TRUE(LinuxDesktop::waitFor([&] { return ::waitpid(zenity, &status, WNOHANG) == zenity; }, 10s));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(testsupport::readFile(out / "out.txt"), "Ada\n");
}

}  // namespace
