#pragma once
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
  int exitCode = -1;    // exit status, or -1 when killed by a signal
  int termSignal = 0;   // the signal that ended it, else 0
  std::string out;
  std::string err;
};

struct ProcessSpec {
  std::vector<std::string> argv;                          // argv[0] is the program path
  std::map<std::string, std::optional<std::string>> env;  // set (value) or unset (nullopt) on top of ours
  std::string stdinText;
  std::chrono::milliseconds timeout{20000};                // then SIGKILL, and the test fails loudly
};

// A program started in the background with its output collected; wait() ends it.
class RunningProcess {
 public:
  explicit RunningProcess(const ProcessSpec& spec);
  ~RunningProcess();
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int sig) const;
  ProcessResult wait();

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  int errFd_ = -1;
  std::chrono::steady_clock::time_point deadline_;
  bool waited_ = false;
};

ProcessResult runProcess(const ProcessSpec& spec);

// Path of a program built into build/bin (JEXO_BIN_DIR) or build/tests (JEXO_TEST_BIN_DIR).
std::string binPath(const std::string& name);
std::string testBinPath(const std::string& name);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

}  // namespace testsupport
