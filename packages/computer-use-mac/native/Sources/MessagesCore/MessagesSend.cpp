#include "messages/MessagesSend.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "platform/PlatformError.hpp"
#include "support/Fd.hpp"

extern char** environ;

namespace messages {

namespace {

using platform::PlatformError;
using support::UniqueFd;

bool safeInQuotes(const std::string& s) { return s.find_first_of("\"\\") == std::string::npos; }

// Restores SIGPIPE's disposition when the script has been handed over.
class IgnoreSigpipe {
 public:
  IgnoreSigpipe() {
    struct sigaction ign{};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    ::sigaction(SIGPIPE, &ign, &saved_);
  }
  ~IgnoreSigpipe() { ::sigaction(SIGPIPE, &saved_, nullptr); }
  IgnoreSigpipe(const IgnoreSigpipe&) = delete;
  IgnoreSigpipe& operator=(const IgnoreSigpipe&) = delete;

 private:
  struct sigaction saved_{};
};

class SpawnFileActions {
 public:
  SpawnFileActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnFileActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

}  // namespace

std::pair<SendAddress, std::string> MessagesSend::parse(const std::vector<std::string>& arguments) {
  std::optional<std::string> to, service, chatId, textFile;
  for (std::size_t i = 0; i < arguments.size(); i += 2) {
    const std::string& flag = arguments[i];
    if (i + 1 >= arguments.size()) throw MessagesError(flag + "_requires_a_value");
    const std::string& value = arguments[i + 1];
    if (flag == "--to") {
      to = value;
    } else if (flag == "--service") {
      service = value;
    } else if (flag == "--chat-id") {
      chatId = value;
    } else if (flag == "--text-file") {
      textFile = value;
    } else {
      throw MessagesError("unknown_flag_" + flag);
    }
  }
  if (!textFile || !safeInQuotes(*textFile)) throw MessagesError("text_file_required");
  if (to) {
    if (!service || chatId || (*service != "iMessage" && *service != "SMS") || !safeInQuotes(*to)) {
      throw MessagesError("address_required");
    }
    return {ParticipantAddress{*to, *service}, *textFile};
  }
  if (service || !chatId || !safeInQuotes(*chatId)) throw MessagesError("address_required");
  return {ChatAddress{*chatId}, *textFile};
}

std::string MessagesSend::sendScript(const SendAddress& address, const std::string& textFile) {
  std::string s = "set targetText to (read POSIX file \"";
  s += textFile;
  s += "\" as \u00ABclass utf8\u00BB)\ntell application \"Messages\"\n";
  if (const auto* p = std::get_if<ParticipantAddress>(&address)) {
    s += "\tset targetService to 1st service whose service type is ";
    s += p->service;
    s += "\n\tsend targetText to participant \"";
    s += p->handle;
    s += "\" of targetService";
  } else {
    s += "\tsend targetText to chat id \"";
    s += std::get<ChatAddress>(address).id;
    s += "\"";
  }
  s += "\nend tell";
  return s;
}

MessagesSendResult MessagesSend::run(const SendAddress& address, const std::string& textFile) const {
  const std::string script = sendScript(address, textFile);

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw PlatformError::fromErrno("pipe", runnerPath_, errno);
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);

  SpawnFileActions actions;
  if (!actions.ok()) throw PlatformError::fromErrno("launch", runnerPath_, ENOMEM);
  // dup2 onto another number clears close-on-exec for the child's copy only.
  if (posix_spawn_file_actions_adddup2(actions.get(), readEnd.get(), 0) != 0 ||
      posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0) != 0) {
    throw PlatformError::fromErrno("launch", runnerPath_, ENOMEM);
  }
  std::string arg0 = runnerPath_;
  std::string arg1 = "-";
  char* argv[] = {arg0.data(), arg1.data(), nullptr};
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, runnerPath_.c_str(), actions.get(), nullptr, argv, environ);
  if (rc != 0) throw PlatformError::fromErrno("launch", runnerPath_, rc);
  readEnd.reset();

  int writeError = 0;
  {
    // A runner that quits without reading must not take the helper down with SIGPIPE.
    IgnoreSigpipe guard;
    std::size_t off = 0;
    while (off < script.size()) {
      ssize_t n = ::write(writeEnd.get(), script.data() + off, script.size() - off);
      if (n < 0) {
        if (errno == EINTR) continue;
        writeError = errno;
        break;
      }
      off += static_cast<std::size_t>(n);
    }
  }
  if (::close(writeEnd.release()) != 0) throw PlatformError::fromErrno("close", "script pipe", errno);

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw PlatformError::fromErrno("wait", runnerPath_, errno);
  }
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? WTERMSIG(status) : 1;
  if (code != 0) throw MessagesError("osascript_exit_" + std::to_string(code));
  // The runner succeeded without the whole script: do not report a message as sent.
  if (writeError != 0) throw PlatformError::fromErrno("write", "script pipe", writeError);

  const bool participant = std::holds_alternative<ParticipantAddress>(address);
  return MessagesSendResult{Messages::version(), Messages::verbs(), participant ? "participant" : "chat_id"};
}

}  // namespace messages
