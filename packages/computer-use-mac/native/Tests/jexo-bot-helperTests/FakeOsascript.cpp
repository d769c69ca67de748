// Test stand-in for /usr/bin/osascript. Environment:
//   FAKE_OSASCRIPT_RECORD  folder to write "script", "argv", "env" and "fds" into
//   FAKE_OSASCRIPT_SLEEP   seconds to wait (after recording) before exiting
//   FAKE_OSASCRIPT_EXIT    exit status (default 0)
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

extern char** environ;

int main(int argc, char** argv) {
  // Do not outlive the helper that started us.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  std::string script((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  if (const char* dir = std::getenv("FAKE_OSASCRIPT_RECORD")) {
    const std::string d = dir;
    std::string fds;
    if (DIR* dp = ::opendir("/proc/self/fd")) {
      while (dirent* e = ::readdir(dp)) {
        std::string name = e->d_name;
        if (name != "." && name != ".." && std::stoi(name) != ::dirfd(dp)) fds += name + "\n";
      }
      ::closedir(dp);
    }
    std::ofstream(d + "/fds") << fds;
    std::ofstream(d + "/argv") << argc << (argc > 1 ? std::string(" ") + argv[1] : "");
    std::ofstream env(d + "/env");
    for (char** e = environ; *e; ++e) env << *e << "\n";
    std::ofstream(d + "/script") << script;  // written last: its presence means "started"
  }
  if (const char* s = std::getenv("FAKE_OSASCRIPT_SLEEP")) ::sleep(static_cast<unsigned>(std::atoi(s)));
  const char* code = std::getenv("FAKE_OSASCRIPT_EXIT");
  return code ? std::atoi(code) : 0;
}
