#include "testsupport/ProcessRunner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::optional<std::string>>& changes) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string kv(*e);
    auto eq = kv.find('=');
    if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : changes) {
    if (v) env[k] = *v; else env.erase(k);
  }
  std::vector<std::string> out;
  for (const auto& [k, v] : env) out.push_back(k + "=" + v);
  return out;
}

std::string envDir(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v ? v : fallback;
}

}  // namespace

RunningProcess::RunningProcess(const ProcessSpec& spec) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  // Whatever the test runner left open is not the program's to inherit.
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  // Children start with default SIGPIPE/SIGTERM whatever the test process does.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> args = spec.argv;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envs = mergedEnvironment(spec.env);
  std::vector<char*> envp;
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);

  int rc = posix_spawn(&pid_, args[0].c_str(), &fa, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
  }
  // Feed standard input from a thread so that large inputs cannot deadlock against output.
  std::thread([fd = in[1], text = spec.stdinText] {
    ::signal(SIGPIPE, SIG_IGN);
    std::size_t off = 0;
    while (off < text.size()) {
      ssize_t n = ::write(fd, text.data() + off, text.size() - off);
      if (n <= 0) break;
      off += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }).detach();
  outFd_ = out[0];
  errFd_ = err[0];
  deadline_ = std::chrono::steady_clock::now() + spec.timeout;
}

RunningProcess::~RunningProcess() {
  if (!waited_) {
    ::kill(pid_, SIGKILL);
    wait();
  }
}

void RunningProcess::signal(int sig) const { ::kill(pid_, sig); }

ProcessResult RunningProcess::wait() {
  ProcessResult r;
  bool timedOut = false;
  while (outFd_ >= 0 || errFd_ >= 0) {
    pollfd p[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      ::kill(pid_, SIGKILL);
      break;
    }
    int rc = ::poll(p, 2, static_cast<int>(left.count()));
    if (rc < 0 && errno == EINTR) continue;
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? outFd_ : errFd_;
      if (fd < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fd);
        fd = -1;
      }
    }
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
  outFd_ = errFd_ = -1;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  waited_ = true;
  if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.termSignal = WTERMSIG(status);
  if (timedOut) r.err += "\n[test harness: process timed out and was killed]";
  return r;
}

ProcessResult runProcess(const ProcessSpec& spec) {
  RunningProcess p(spec);
  return p.wait();
}

std::string binPath(const std::string& name) { return envDir("JEXO_BIN_DIR", "build/bin") + "/" + name; }
std::string testBinPath(const std::string& name) { return envDir("JEXO_TEST_BIN_DIR", "build/tests") + "/" + name; }

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary);
  f << content;
}

}  // namespace testsupport
