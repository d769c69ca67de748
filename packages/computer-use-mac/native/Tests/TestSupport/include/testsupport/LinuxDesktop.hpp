#pragma once
// A private X11 desktop for one test suite: Xvfb, a D-Bus session bus (minimal configuration,
// empty service folder, so no desktop portals start), the AT-SPI bus launcher, and openbox,
// started in that order (applications started before the accessibility bus stay inaccessible).
// Every process runs in one process group of ours, which is terminated and reaped at the end.
// Header-only; users link Xlib (x11).
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/TempDir.hpp"

extern char** environ;

namespace testsupport {

class LinuxDesktop {
 public:
  // Programs the desktop needs; tests skip when one is missing.
  static std::optional<std::string> missingProgram() {
    for (const char* p : {"/usr/bin/Xvfb", "/usr/bin/dbus-daemon", "/usr/libexec/at-spi-bus-launcher", "/usr/bin/openbox"})
      if (::access(p, X_OK) != 0) return std::string(p);
    return std::nullopt;
  }

  explicit LinuxDesktop(int width = 1280, int height = 800) {
    try {
      start(width, height);
    } catch (...) {
      stop();
      throw;
    }
  }
  ~LinuxDesktop() { stop(); }
  LinuxDesktop(const LinuxDesktop&) = delete;
  LinuxDesktop& operator=(const LinuxDesktop&) = delete;

  const std::string& display() const { return display_; }
  const std::string& sessionBus() const { return sessionBus_; }
  const std::string& home() const { return home_.path(); }

  // The variables that place a program on this desktop.
  std::map<std::string, std::string> environment() const {
    return {{"DISPLAY", display_},
            {"DBUS_SESSION_BUS_ADDRESS", sessionBus_},
            {"XDG_RUNTIME_DIR", home_ / "runtime"},
            {"XDG_CONFIG_HOME", home_ / "config"},
            {"XDG_CACHE_HOME", home_ / "cache"},
            {"XDG_DATA_HOME", home_ / "data"},
            {"HOME", home_.path()},
            {"NO_AT_BRIDGE", "0"},
            {"GTK_A11Y", "atspi"},
            {"GDK_BACKEND", "x11"},
            {"LANG", "C.UTF-8"}};
  }
  // Puts this process on the desktop too (for in-process clients of the desktop).
  void exportToThisProcess() const {
    for (const auto& [k, v] : environment()) ::setenv(k.c_str(), v.c_str(), 1);
    ::unsetenv("AT_SPI_BUS_ADDRESS");
  }

  // Starts a program on the desktop (output discarded unless `outputFile`); it ends with the desktop.
  pid_t launch(const std::vector<std::string>& argv, const std::string& outputFile = "/dev/null") {
    return spawn(argv, outputFile, -1);
  }

  // Polls `done` every 20 ms until it holds or `timeout` passes.
  static bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      if (done()) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

 private:
  void start(int width, int height) {
    for (const char* d : {"runtime", "config", "cache", "data", "services"}) ::mkdir((home_ / d).c_str(), 0700);

    // 1. Xvfb; it writes its display number on descriptor 3 once it accepts connections.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    group_ = spawn({"/usr/bin/Xvfb", "-displayfd", "3", "-screen", "0",
                    std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp", "-noreset"},
                   "/dev/null", fds[1]);
    ::close(fds[1]);
    display_ = readLine(fds[0], std::chrono::seconds(20));
    display_.insert(display_.begin(), ':');  // (GCC 12 misreads ":" + string as overlapping copies)
    ::close(fds[0]);

    // 2. The session bus, told to print its address on descriptor 3.
    const std::string config = home_ / "session.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig><type>session</type><listen>unix:dir="
                          << home_.path() << "</listen><servicedir>" << (home_ / "services")
                          << "</servicedir><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                             "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    spawn({"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + config, "--print-address=3"}, "/dev/null", fds[1]);
    ::close(fds[1]);
    sessionBus_ = readLine(fds[0], std::chrono::seconds(20));
    ::close(fds[0]);

    // 3. The accessibility bus; ready once it owns org.a11y.Bus on the session bus.
    spawn({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"}, "/dev/null", -1);
    if (!waitFor([&] { return nameHasOwner("org.a11y.Bus"); }, std::chrono::seconds(20)))
      throw std::runtime_error("the accessibility bus did not start");

    // 4. The window manager; ready once it announces itself on the root window.
    spawn({"/usr/bin/openbox", "--sm-disable"}, "/dev/null", -1);
    Display* d = XOpenDisplay(display_.c_str());
    if (!d) throw std::runtime_error("cannot open " + display_);
    const Atom check = XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False);
    const bool wm = waitFor(
        [&] {
          Atom type;
          int format;
          unsigned long n = 0, after = 0;
          unsigned char* data = nullptr;
          const bool found = XGetWindowProperty(d, DefaultRootWindow(d), check, 0, 1, False, AnyPropertyType, &type,
                                                &format, &n, &after, &data) == Success &&
                             n > 0;
          if (data) XFree(data);
          return found;
        },
        std::chrono::seconds(20));
    XCloseDisplay(d);
    if (!wm) throw std::runtime_error("openbox did not start");
  }

  bool nameHasOwner(const std::string& name) {
    const pid_t p = spawn({"/usr/bin/dbus-send", "--bus=" + sessionBus_, "--print-reply", "--dest=org.freedesktop.DBus",
                           "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", "string:" + name},
                          home_ / "nameowner.txt", -1);
    int status = 0;
    ::waitpid(p, &status, 0);
    std::ifstream in(home_ / "nameowner.txt");
    const std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return out.find("boolean true") != std::string::npos;
  }

  static std::string readLine(int fd, std::chrono::seconds timeout) {
    std::string text;
    pollfd p{fd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (text.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      if (::poll(&p, 1, 200) <= 0) continue;
      char buffer[256];
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    if (text.find('\n') == std::string::npos) throw std::runtime_error("a desktop program did not answer");
    text.resize(text.find('\n'));
    return text;
  }

  // `passFd` (if not -1) becomes descriptor 3 of the child.
  pid_t spawn(const std::vector<std::string>& args, const std::string& output, int passFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (passFd >= 0) posix_spawn_file_actions_adddup2(&actions, passFd, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attributes, group_ > 0 ? group_ : 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);

    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const auto eq = entry.find('=');
      if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    env.erase("AT_SPI_BUS_ADDRESS");
    if (!display_.empty())
      for (const auto& [k, v] : environment()) env[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : env) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp, argv;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> copy = args;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
    children_.push_back(pid);
    return pid;
  }

  void stop() {
    if (group_ <= 0) return;
    // The whole group: the bus launcher's own bus and registry, and every application, too.
    ::killpg(group_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    auto reapOurs = [&] {
      std::erase_if(children_, [](pid_t p) {
        int status = 0;
        const pid_t r = ::waitpid(p, &status, WNOHANG);
        return r == p || (r < 0 && errno == ECHILD);
      });
      return children_.empty();
    };
    while (!reapOurs() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::killpg(group_, SIGKILL);
    for (pid_t p : children_) {
      int status = 0;
      ::waitpid(p, &status, 0);
    }
    children_.clear();
    group_ = -1;
  }

  TempDir home_;
  pid_t group_ = -1;
  std::vector<pid_t> children_;
  std::string display_;
  std::string sessionBus_;
};

}  // namespace testsupport
