// computer-use-mcp: serves one computer-use session to an agent over standard input/output.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "McpServer.hpp"
#include "computeruse/ComputerUseSession.hpp"
#include "computeruse/Permissions.hpp"
#include "platformlinux/AtspiAccessibility.hpp"
#include "platformlinux/X11ComputerUse.hpp"
#include "platformsim/Scenario.hpp"
#include "platformsim/SimDesktop.hpp"
#include "support/Clock.hpp"

namespace {

constexpr const char* kUsage =
    "usage: computer-use-mcp [--platform sim|linux] [--desktop FILE] [--event-log FILE]\n"
    "\n"
    "Model Context Protocol server (JSON-RPC 2.0, one message per line on standard input and output)\n"
    "offering computer-use tools: list_apps, get_app_state, click, drag, scroll, type_text, press_key,\n"
    "set_value, perform_secondary_action.\n"
    "\n"
    "  --platform sim    the simulated desktop\n"
    "  --platform linux  this X11 desktop ($DISPLAY): AT-SPI accessibility, XTEST input, X11 capture\n"
    "                    (the default when DISPLAY is set, the accessibility bus answers and neither\n"
    "                    --desktop nor --event-log is given; else sim)\n"
    "  --desktop FILE    scenario file describing the simulated desktop (default: built-in demo)\n"
    "  --event-log FILE  write every posted event and performed action as a JSON line to FILE (sim)\n";

int usageError(const std::string& reason) {
  std::fprintf(stderr, "computer-use-mcp: %s\n%s", reason.c_str(), kUsage);
  return 2;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

int main(int argc, char** argv) {
  std::string platformName;
  std::string desktopFile;
  std::string eventLogFile;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--platform") {
      if (!value(platformName)) return usageError("--platform needs a value");
    } else if (arg == "--desktop") {
      if (!value(desktopFile)) return usageError("--desktop needs a file");
    } else if (arg == "--event-log") {
      if (!value(eventLogFile)) return usageError("--event-log needs a file");
    } else {
      return usageError("unknown argument '" + arg + "'");
    }
  }
  if (platformName.empty()) {
    // A real desktop when there is one to act on (an X display and an accessibility bus),
    // unless the options describe a simulated one.
    const char* display = std::getenv("DISPLAY");
    const bool real = desktopFile.empty() && eventLogFile.empty() && display && *display &&
                      platformlinux::AtspiAccessibility().isProcessTrusted(false);
    platformName = real ? "linux" : "sim";
  }
  if (platformName != "sim" && platformName != "linux")
    return usageError("unsupported platform '" + platformName + "' (available: sim, linux)");
  if (platformName == "linux") {
    if (!desktopFile.empty() || !eventLogFile.empty())
      return usageError("--desktop and --event-log need --platform sim");
    std::unique_ptr<platformlinux::LinuxComputerUsePlatform> x11;
    try {
      x11 = std::make_unique<platformlinux::LinuxComputerUsePlatform>();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "computer-use-mcp: %s\n", e.what());
      return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::ios::sync_with_stdio(false);
    computeruse::PlatformServices services{*x11->accessibility, *x11->applications, *x11->desktop,
                                           *x11->desktop,       *x11->events,       support::Clock::system()};
    computeruse::ComputerUseSession session(services);
    computeruse::Permissions permissions(*x11->accessibility, *x11->desktop);
    computeruse::mcp::McpServer server(session, permissions);
    server.run(std::cin, std::cout);
    return 0;
  }

  std::unique_ptr<platformsim::SimDesktop> desktop;
  try {
    auto scenario = desktopFile.empty()
                        ? platformsim::Scenario::fromJson(nlohmann::json::parse(platformsim::demoDesktopJson()))
                        : platformsim::Scenario::fromFile(desktopFile);
    desktop = std::make_unique<platformsim::SimDesktop>(std::move(scenario));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "computer-use-mcp: %s\n", e.what());
    return 2;
  }

  std::unique_ptr<std::FILE, FileCloser> eventLog;
  if (!eventLogFile.empty()) {
    eventLog.reset(std::fopen(eventLogFile.c_str(), "w"));
    if (!eventLog) {
      std::fprintf(stderr, "computer-use-mcp: cannot write '%s': %s\n", eventLogFile.c_str(), std::strerror(errno));
      return 2;
    }
    desktop->setRecordObserver([log = eventLog.get()](const nlohmann::ordered_json& record) {
      const auto line = record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
      std::fputs(line.c_str(), log);
      std::fflush(log);
    });
  }

  // A client that goes away must end the loop through a failed write, not kill the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::ios::sync_with_stdio(false);

  computeruse::PlatformServices services{*desktop, *desktop, *desktop, *desktop, *desktop, support::Clock::system()};
  computeruse::ComputerUseSession session(services);
  computeruse::Permissions permissions(*desktop, *desktop);
  computeruse::mcp::McpServer server(session, permissions);
  server.run(std::cin, std::cout);
  return 0;
}
