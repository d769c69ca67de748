#pragma once
#include <istream>
#include <optional>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "computeruse/ComputerUseSession.hpp"
#include "computeruse/Permissions.hpp"

namespace computeruse::mcp {

// A Model Context Protocol server (JSON-RPC 2.0, one message per line) whose tools are the
// operations of one ComputerUseSession. Single-threaded: requests are handled in arrival order.
class McpServer {
 public:
  static constexpr const char* kName = "computer-use-mcp";
  static constexpr const char* kVersion = "0.1.0";
  static constexpr std::size_t kMaxLineBytes = 16 * 1024 * 1024;

  McpServer(ComputerUseSession& session, Permissions& permissions);

  // The response line for one request line, or nothing for a notification.
  std::optional<std::string> handleLine(const std::string& line);
  // Serves until the input ends or the output fails.
  void run(std::istream& in, std::ostream& out);

  static const nlohmann::ordered_json& toolDefinitions();

 private:
  nlohmann::ordered_json callTool(const nlohmann::ordered_json& params);
  nlohmann::ordered_json initialize(const nlohmann::ordered_json& params);

  ComputerUseSession& session_;
  Permissions& permissions_;
};

}  // namespace computeruse::mcp
