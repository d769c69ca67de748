#include "helper/Driver.hpp"

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <optional>

#include "desktopshare/SpawnDisclaimedCommand.hpp"
#include "messages/Messages.hpp"
#include "messages/MessagesPermissions.hpp"
#include "messages/MessagesSend.hpp"
#include "messages/MessagesSnapshot.hpp"
#include "platformlinux/HelperBackends.hpp"
#include "platformlinux/MessagesBackends.hpp"
#include "support/RunLoop.hpp"

namespace helper {

const char* const kUsageText =
    "jexo-bot-helper - Jexo Bot Helper for macOS\n"
    "\n"
    "USAGE:\n"
    "  jexo-bot-helper <subcommand>\n"
    "\n"
    "SUBCOMMANDS:\n"
    "  spawn-disclaimed       Relaunch this helper as its own TCC subject: spawn-disclaimed -- <subcommand ...>\n"
    "  snapshot-messages-db   Copy ~/Library/Messages/chat.db* into a private temp dir as JSON\n"
    "  copy-attachment        Copy --from <path> into a private temp dir as JSON\n"
    "  send-message           Send --text-file <path> to --to <handle> --service iMessage|SMS\n"
    "                         or to --chat-id <guid>\n"
    "  check-messages-permissions\n"
    "                         Print Full Disk Access / Messages Automation status as JSON,\n"
    "                         with --prompt to let macOS ask for Automation consent\n"
    "                         (opens the Automation pane when macOS already holds a denial),\n"
    "                         or --prompt-full-disk-access to guide the user through granting it\n"
    "  help                   Show this help";

namespace {

void writeAllStderr(const std::string& line) {
  std::size_t off = 0;
  while (off < line.size()) {
    ssize_t n = ::write(STDERR_FILENO, line.data() + off, line.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    off += static_cast<std::size_t>(n);
  }
}

void printLine(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::optional<std::string> buildTimeVersion() {
#ifdef JEXO_HELPER_VERSION
  return std::string(JEXO_HELPER_VERSION);
#else
  return std::nullopt;
#endif
}

// Runs one Messages operation: its JSON on success, or "<subcommand>: <reason>" and 2.
template <typename Operation>
int printResult(const std::string& subcommand, Operation&& operation) {
  std::string text;
  try {
    text = operation();
  } catch (const std::exception& e) {
    writeAllStderr(subcommand + ": " + e.what() + "\n");
    return 2;
  }
  printLine(text);
  return 0;
}

}  // namespace

int runHelper(int argc, char** argv, const DriverOptions& options) {
  platformlinux::LinuxApplicationSetup application;
  application.setAccessoryActivationPolicy();
  const platformlinux::LinuxBundleInfo bundle(buildTimeVersion());
  messages::Messages::useBundleInfo(&bundle);
  const platformlinux::LinuxUserPaths paths;

  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::string subcommand = arguments.empty() ? "help" : arguments[0];
  const std::vector<std::string> rest(arguments.empty() ? arguments.end() : arguments.begin() + 1, arguments.end());

  using namespace messages;
  if (subcommand == "spawn-disclaimed") {
    platformlinux::LinuxExecutableLocator locator;
    platformlinux::LinuxResponsibilityDisclaim disclaim;
    try {
      std::fflush(stdout);
      return desktopshare::runSpawnDisclaimedCommand(rest, locator, disclaim);
    } catch (const std::exception& e) {
      writeAllStderr("spawn-disclaimed: " + std::string(e.what()) + "\n");
      return 2;
    }
  }
  if (subcommand == "snapshot-messages-db") {
    return printResult(subcommand, [&] { return Messages::json(MessagesSnapshot(paths).snapshot()); });
  }
  if (subcommand == "copy-attachment") {
    return printResult(subcommand, [&] {
      MessagesSnapshot snapshot(paths);
      return Messages::json(snapshot.copyAttachment(MessagesSnapshot::parseCopyAttachment(rest)));
    });
  }
  if (subcommand == "send-message") {
    return printResult(subcommand, [&] {
      auto [address, textFile] = MessagesSend::parse(rest);
      return Messages::json(MessagesSend(options.osascriptPath).run(address, textFile));
    });
  }
  if (subcommand == "check-messages-permissions") {
    return printResult(subcommand, [&] {
      platformlinux::LinuxAppleEventConsent consent;
      platformlinux::LinuxMessagesWorkspace workspace;
      platformlinux::LinuxOverlayWindows windows;
      const auto executable = platformlinux::LinuxExecutableLocator().executablePath();
      GuidePlatform guide{workspace, windows, windows, support::RunLoop::current(), executable.value_or(argv[0])};
      MessagesPermissionsCheck check({consent, guide, paths, writeAllStderr});
      // The consent flags may stand anywhere, the subcommand word included.
      return Messages::json(check.check(parseConsentRequest(arguments)));
    });
  }
  if (subcommand == "help" || subcommand == "--help" || subcommand == "-h") {
    printLine(kUsageText);
    return 0;
  }
  writeAllStderr("Unknown subcommand: " + subcommand + "\n");
  printLine(kUsageText);
  return 2;
}

}  // namespace helper
