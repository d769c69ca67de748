// Feeds arbitrary request lines to the MCP server over a small simulated desktop: whatever the
// agent sends, the server must answer with well-formed JSON (or nothing for a notification).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "McpServer.hpp"
#include "platformsim/SimDesktop.hpp"
#include "support/Clock.hpp"
#include "support/RunLoop.hpp"

namespace {

// Tiny windows keep screenshots cheap; launches and pauses run on a fake clock.
const char* kDesktop = R"({
  "answerDelay": 0.01, "displays": [{"width": 64, "height": 48}], "frontmost": "A",
  "applications": [
    {"pid": 10, "name": "A", "windows": [{"number": 1, "title": "W", "frame": [0, 0, 40, 30], "key": true,
      "children": [{"id": "b", "role": "AXButton", "title": "B", "frame": [2, 2, 10, 8], "actions": ["AXPress"]},
                   {"id": "t", "role": "AXTextField", "settable": true, "focused": true, "frame": [2, 12, 30, 8]}]}]},
    {"pid": 11, "name": "L", "running": false, "launchDelay": 0.1,
     "windows": [{"number": 2, "frame": [0, 0, 20, 20], "key": true}]}
  ]})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  support::FakeClock clock;
  support::RunLoop loop(clock);
  support::RunLoop::Scope scope(loop);
  platformsim::SimDesktop desktop(platformsim::Scenario::fromJson(nlohmann::json::parse(kDesktop)));
  computeruse::ComputerUseSession session({desktop, desktop, desktop, desktop, desktop, clock});
  computeruse::Permissions permissions(desktop, desktop);
  computeruse::mcp::McpServer server(session, permissions);

  std::string input(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  while (start <= input.size()) {
    auto end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    if (auto reply = server.handleLine(input.substr(start, end - start))) {
      auto parsed = nlohmann::json::parse(*reply, nullptr, false);
      if (parsed.is_discarded() || !parsed.is_object() || parsed["jsonrpc"] != "2.0") std::abort();
    }
    start = end + 1;
  }
  return 0;
}
