// Runs the computer-use-mcp program as an agent would: a subprocess spoken to over pipes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/Fd.hpp"

extern char** environ;

namespace {

using Json = nlohmann::ordered_json;

std::string binary() {
  const char* dir = std::getenv("JEXO_BIN_DIR");
  return std::string(dir ? dir : "bin") + "/computer-use-mcp";
}

class Server {
 public:
  explicit Server(std::vector<std::string> args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    toChild_.reset(in[1]);
    fromChild_.reset(out[0]);
    support::UniqueFd childIn(in[0]), childOut(out[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childIn.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, childOut.get(), 1);
    args.insert(args.begin(), binary());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("spawn failed");
  }
  ~Server() {
    toChild_.reset();
    if (pid_ > 0) {
      if (waitFor(std::chrono::seconds(5)) < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
  }

  void send(const std::string& line) {
    std::string data = line + "\n";
    ASSERT_EQ(write(toChild_.get(), data.data(), data.size()), static_cast<ssize_t>(data.size()));
  }

  // One line of output, or empty after the time-out.
  std::string readLine(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        auto line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      pollfd p{fromChild_.get(), POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[65536];
      ssize_t n = read(fromChild_.get(), chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  Json request(const Json& r) {
    send(r.dump());
    auto line = readLine();
    EXPECT_FALSE(line.empty()) << "no reply to " << r.dump();
    return line.empty() ? Json() : Json::parse(line);
  }

  Json call(int id, const std::string& tool, const Json& arguments) {
    return request({{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", {{"name", tool}, {"arguments", arguments}}}});
  }

  // Exit status, or -1 if still running after the time-out.
  int waitFor(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    } while (std::chrono::steady_clock::now() < deadline);
    return -1;
  }
  void closeInput() { toChild_.reset(); }

 private:
  pid_t pid_ = -1;
  support::UniqueFd toChild_, fromChild_;
  std::string buffer_;
};

std::vector<Json> readLog(const std::string& path) {
  std::vector<Json> out;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) out.push_back(Json::parse(line));
  return out;
}

std::string text(const Json& r) { return r["result"]["content"][0]["text"].get<std::string>(); }

std::string tempPath(const char* name) {
  return (std::filesystem::temp_directory_path() / (std::string(name) + "-" + std::to_string(getpid()))).string();
}

}  // namespace

TEST(McpEndToEnd, AgentDrivesTheDemoDesktop) {
  const auto log = tempPath("cu-mcp-events");
  {
    Server s({"--event-log", log});
    auto init = s.request({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "initialize"},
                           {"params", {{"protocolVersion", "2025-06-18"}, {"capabilities", Json::object()},
                                       {"clientInfo", {{"name", "test"}, {"version", "1"}}}}}});
    EXPECT_EQ(init["result"]["serverInfo"]["name"], "computer-use-mcp");
    s.send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
    EXPECT_EQ(s.request({{"jsonrpc", "2.0"}, {"id", 2}, {"method", "tools/list"}})["result"]["tools"].size(), 9u);

    auto apps = Json::parse(text(s.call(3, "list_apps", Json::object())));
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[1]["name"], "Editor");

    auto state = s.call(4, "get_app_state", {{"app", "Editor"}});
    auto tree = Json::parse(text(state))["window"];
    EXPECT_EQ(tree["children"][2]["title"], "Save");
    EXPECT_EQ(state["result"]["content"][1]["type"], "image");

    EXPECT_EQ(text(s.call(5, "click", {{"app", "Editor"}, {"element_index", "3"}})), "Clicked.");
    // The text field spans points (190..520, 130..158); the window starts at (100, 80), scale 1.
    EXPECT_EQ(text(s.call(6, "click", {{"app", "Editor"}, {"x", 200}, {"y", 65}})), "Clicked.");
    EXPECT_EQ(text(s.call(7, "type_text", {{"app", "Editor"}, {"text", "Grace"}})), "Typed.");
    EXPECT_EQ(text(s.call(8, "press_key", {{"app", "Editor"}, {"key", "backspace"}})), "Pressed.");

    s.send("this is not json");
    EXPECT_EQ(Json::parse(s.readLine())["error"]["code"], -32700);
    EXPECT_EQ(s.request({{"jsonrpc", "2.0"}, {"id", 9}, {"method", "no/such"}})["error"]["code"], -32601);

    auto after = Json::parse(text(s.call(10, "get_app_state", {{"app", "Editor"}})))["window"]["children"];
    EXPECT_EQ(after[1]["value"], "Grac");
    EXPECT_EQ(after[4]["value"], "Saved");
    EXPECT_EQ(s.call(11, "click", {{"app", "Editor"}, {"x", 5000}, {"y", 1}})["result"]["isError"], true);

    s.closeInput();
    EXPECT_EQ(s.waitFor(std::chrono::seconds(5)), 0);
  }
  auto events = readLog(log);
  std::remove(log.c_str());
  ASSERT_GE(events.size(), 8u);
  EXPECT_EQ(events[0]["kind"], "action");
  EXPECT_EQ(events[0]["action"], "AXPress");
  EXPECT_EQ(events[0]["element"], "save-button");
  EXPECT_EQ(events[1]["event"], "mouseMoved");
  EXPECT_EQ(events[1]["x"], 300.0);
  EXPECT_EQ(events[1]["y"], 145.0);
  EXPECT_EQ(events[3]["event"], "leftMouseUp");
  EXPECT_EQ(events[4]["text"], "Grace");
  EXPECT_EQ(events[6]["keyCode"], 51);
  for (const auto& e : events) EXPECT_EQ(e["pid"], 501) << e.dump();
}

TEST(McpEndToEnd, ScenarioFileFailuresReachTheAgent) {
  Server s({"--desktop", MCP_FIXTURES_DIR "/launch-and-fail.json"});
  // Screen recording is missing, but the prompt grants it, so the first call goes through.
  auto state = s.call(1, "get_app_state", {{"app", "org.example.viewer"}});
  EXPECT_EQ(state["result"]["isError"], false);
  EXPECT_EQ(state["result"]["content"].size(), 2u);
  auto pressed = s.call(2, "click", {{"app", "Viewer"}, {"element_index", "1"}});
  EXPECT_EQ(pressed["result"]["isError"], true);
  EXPECT_EQ(text(pressed), "Accessibility action 'AXPress' failed (-25204).");
  EXPECT_EQ(text(s.call(3, "get_app_state", {{"app", "Sleeper"}})), "Failed to launch 'Sleeper': Sleeper is damaged.");
  EXPECT_EQ(text(s.call(4, "click", {{"app", "Viewer"}, {"element_index", "01"}})),
            "Unknown element_index '01'. Call get_app_state again to refresh the tree.");
}

TEST(McpEndToEnd, CommandLineErrors) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--platform", "macos"}, {"--desktop", "/nonexistent.json"},
                                        {"--bogus"}, {"--event-log"}}) {
    Server s(args);
    EXPECT_EQ(s.waitFor(std::chrono::seconds(5)), 2) << args[0];
  }
  Server help({"--help"});
  EXPECT_NE(help.readLine().find("usage: computer-use-mcp"), std::string::npos);
  EXPECT_EQ(help.waitFor(std::chrono::seconds(5)), 0);
}
