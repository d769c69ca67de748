#include "desktopshare/SpawnDisclaimedCommand.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "desktopshare/DisclaimedSpawn.hpp"
#include "desktopshare/RfbProtocol.hpp"
#include "support/Fd.hpp"

namespace desktopshare {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kGrace = std::chrono::milliseconds(700);

// Set once the child has been reaped; after that no signal may be sent to its pid.
struct ReapFlag {
  std::mutex lock;
  bool reaped = false;  // guarded by lock
};

std::atomic<int> gTermPipe{-1};

void onSigterm(int) {
  int saved = errno;
  int fd = gTermPipe.load();
  if (fd >= 0) {
    char t = 't';
    [[maybe_unused]] ssize_t n = ::write(fd, &t, 1);
  }
  errno = saved;
}

// Turns SIGTERMs into bytes on a pipe that a supervisor thread reads: the signal handler
// itself may do nothing but write.
class TermForwarder {
 public:
  TermForwarder(pid_t child, ReapFlag& flag) : child_(child), flag_(flag) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) throw RfbProtocolError("spawn_disclaimed_pipe_" + std::to_string(errno));
    readEnd_.reset(fds[0]);
    writeEnd_.reset(fds[1]);
    thread_ = std::thread([this] { loop(); });
    // Only once the thread runs (it may fail to start) is SIGTERM routed to the pipe.
    gTermPipe.store(writeEnd_.get());
    struct sigaction sa{};
    sa.sa_handler = onSigterm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, &saved_);
  }

  ~TermForwarder() {
    ::sigaction(SIGTERM, &saved_, nullptr);
    char s = 's';
    while (::write(writeEnd_.get(), &s, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    gTermPipe.store(-1);
  }

  TermForwarder(const TermForwarder&) = delete;
  TermForwarder& operator=(const TermForwarder&) = delete;

 private:
  void loop() {
    std::deque<Clock::time_point> killAt;  // one grace deadline per SIGTERM received, in order
    for (;;) {
      int timeout = -1;
      if (!killAt.empty()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(killAt.front() - Clock::now()).count();
        timeout = left > 0 ? static_cast<int>(left) : 0;
      }
      pollfd p{readEnd_.get(), POLLIN, 0};
      int rc = ::poll(&p, 1, timeout);
      if (rc > 0) {
        char buf[64];
        ssize_t n = ::read(readEnd_.get(), buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i) {
          if (buf[i] == 's') return;
          if (alive()) {
            ::kill(child_, SIGTERM);
            killAt.push_back(Clock::now() + kGrace);
          }
        }
      }
      while (!killAt.empty() && killAt.front() <= Clock::now()) {
        killAt.pop_front();
        std::lock_guard<std::mutex> g(flag_.lock);
        if (!flag_.reaped) ::kill(child_, SIGKILL);
      }
    }
  }

  bool alive() {
    std::lock_guard<std::mutex> g(flag_.lock);
    return !flag_.reaped;
  }

  pid_t child_;
  ReapFlag& flag_;
  support::UniqueFd readEnd_;
  support::UniqueFd writeEnd_;
  struct sigaction saved_{};
  std::thread thread_;
};

}  // namespace

std::int32_t runSpawnDisclaimedCommand(const std::vector<std::string>& arguments,
                                       const platform::ExecutableLocator& locator,
                                       platform::ResponsibilityDisclaim& disclaim) {
  const DisclaimedSpawnOptions options = DisclaimedSpawnOptions::parse(arguments);
  const auto executable = locator.executablePath();
  if (!executable || executable->empty()) throw RfbProtocolError("helper_executable_path_unresolved");

  const pid_t pid = spawnDisclaimed(*executable, options.childArguments, disclaim);
  ReapFlag flag;
  std::unique_ptr<TermForwarder> forwarder;
  try {
    forwarder = std::make_unique<TermForwarder>(pid, flag);
  } catch (...) {
    // Without a supervisor the child must not run on unattended.
    ::kill(pid, SIGKILL);
    int ignored = 0;
    while (::waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
    throw;
  }

  int status = 0;
  for (;;) {
    if (::waitpid(pid, &status, 0) == pid) {
      std::lock_guard<std::mutex> g(flag.lock);
      flag.reaped = true;
      break;
    }
    if (errno == EINTR) continue;
    ::kill(pid, SIGKILL);
    const int err = errno;
    // Reap what we just killed so that no zombie is left behind.
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    {
      std::lock_guard<std::mutex> g(flag.lock);
      flag.reaped = true;
    }
    throw RfbProtocolError("spawn_disclaimed_waitpid_" + std::to_string(err));
  }
  return mirroredExitCode(status);
}

}  // namespace desktopshare
