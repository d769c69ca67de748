#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platformlinux/X11ComputerUse.hpp"

namespace platformlinux {

namespace fs = std::filesystem;

namespace {

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  const auto a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return {};
  return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

// Value escapes of the desktop-entry format (\s \n \t \r \\).
std::string unescapeValue(const std::string& v) {
  std::string out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\' || i + 1 == v.size()) {
      out += v[i];
      continue;
    }
    switch (v[++i]) {
      case 's': out += ' '; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case '\\': out += '\\'; break;
      default: out += '\\', out += v[i]; break;
    }
  }
  return out;
}

std::optional<std::string> readLink(const std::string& path) {
  std::error_code ec;
  auto target = fs::read_symlink(path, ec);
  if (ec) return std::nullopt;
  return target.string();
}

std::string baseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<std::string> findInPath(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    if (::access(program.c_str(), X_OK) == 0) return program;
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    const std::string candidate = dir + "/" + program;
    struct stat st{};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return std::nullopt;
}

bool processAlive(pid_t pid) {
  // A zombie has exited too: its state letter is Z.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

}  // namespace

std::optional<std::vector<std::string>> splitExecLine(const std::string& exec) {
  std::vector<std::string> args;
  std::string current;
  bool inQuotes = false, have = false;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (inQuotes) {
      if (c == '"') {
        inQuotes = false;
      } else if (c == '\\' && i + 1 < exec.size() && std::strchr("\"`$\\", exec[i + 1])) {
        current += exec[++i];
      } else {
        current += c;
      }
      continue;
    }
    if (c == '"') {
      inQuotes = true;
      have = true;
    } else if (c == ' ' || c == '\t') {
      if (have) args.push_back(std::move(current));
      current.clear();
      have = false;
    } else if (c == '%' && i + 1 < exec.size()) {
      const char code = exec[++i];
      if (code == '%') {
        current += '%';
        have = true;
      }
      // Field codes stand for files, URLs, icons and names that a plain launch does not pass.
    } else {
      current += c;
      have = true;
    }
  }
  if (inQuotes) return std::nullopt;
  if (have) args.push_back(std::move(current));
  if (args.empty()) return std::nullopt;
  return args;
}

std::optional<DesktopEntry> parseDesktopEntry(const std::string& path, const std::string& id) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  DesktopEntry e;
  e.id = id;
  e.path = path;
  std::string line, group, type;
  bool hidden = false;
  while (std::getline(in, line)) {
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    if (line.front() == '[') {
      group = line;
      continue;
    }
    if (group != "[Desktop Entry]") continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string k = trim(line.substr(0, eq)), v = unescapeValue(trim(line.substr(eq + 1)));
    if (k == "Type") type = v;
    else if (k == "Name") e.name = v;
    else if (k == "Exec") e.exec = v;
    else if (k == "StartupWMClass") e.startupWMClass = v;
    else if (k == "NoDisplay") e.noDisplay = v == "true";
    else if (k == "Hidden") hidden = v == "true";
  }
  if (type != "Application" || hidden || e.exec.empty() || e.name.empty()) return std::nullopt;
  return e;
}

std::vector<DesktopEntry> installedDesktopEntries() {
  std::vector<std::string> roots;
  const char* home = std::getenv("XDG_DATA_HOME");
  if (home && *home) roots.emplace_back(home);
  else if (const char* h = std::getenv("HOME"); h && *h) roots.push_back(std::string(h) + "/.local/share");
  const char* dirs = std::getenv("XDG_DATA_DIRS");
  std::stringstream list(dirs && *dirs ? dirs : "/usr/local/share:/usr/share");
  for (std::string d; std::getline(list, d, ':');)
    if (!d.empty()) roots.push_back(d);

  std::vector<DesktopEntry> out;
  std::set<std::string> seen;
  for (const auto& root : roots) {
    const fs::path apps = fs::path(root) / "applications";
    std::error_code ec;
    if (!fs::is_directory(apps, ec)) continue;
    std::vector<fs::path> files;
    for (fs::recursive_directory_iterator it(apps, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec))
      if (it->path().extension() == ".desktop") files.push_back(it->path());
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
      std::string id = fs::relative(f, apps, ec).string();
      if (ec) continue;
      std::replace(id.begin(), id.end(), '/', '-');
      id.resize(id.size() - std::string(".desktop").size());
      if (!seen.insert(id).second) continue;  // earlier directories take precedence
      if (auto e = parseDesktopEntry(f.string(), id)) out.push_back(std::move(*e));
    }
  }
  return out;
}

X11Applications::X11Applications(X11Desktop& desktop, AtspiAccessibility& accessibility)
    : desktop_(desktop), accessibility_(accessibility) {}

X11Applications::~X11Applications() {
  stopping_->store(true);
  for (auto& t : launches_) t.join();
}

const std::vector<DesktopEntry>& X11Applications::entries() {
  if (!entries_) entries_ = installedDesktopEntries();
  return *entries_;
}

platform::RunningApplication X11Applications::describe(std::int32_t pid, const std::optional<std::string>& accessibleName,
                                                       bool hasWindow) {
  platform::RunningApplication app;
  app.pid = pid;
  // The desktop entry whose program is this process's executable names it.
  const auto exe = readLink("/proc/" + std::to_string(pid) + "/exe");
  const std::string exeBase = exe ? baseName(*exe) : std::string();
  const DesktopEntry* entry = nullptr;
  if (!exeBase.empty()) {
    for (const auto& e : entries()) {
      auto args = splitExecLine(e.exec);
      if (!args) continue;
      std::size_t program = 0;
      if (baseName((*args)[0]) == "env") {  // env VAR=value program ...
        program = 1;
        while (program < args->size() && (*args)[program].find('=') != std::string::npos) ++program;
      }
      if (program < args->size() && baseName((*args)[program]) == exeBase) {
        entry = &e;
        break;
      }
    }
  }
  if (entry) {
    app.bundleIdentifier = entry->id;
    app.localizedName = entry->name;
  } else if (accessibleName && !accessibleName->empty()) {
    app.localizedName = accessibleName;
  } else {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    if (std::getline(comm, name) && !name.empty()) app.localizedName = name;
  }
  app.activationPolicy = hasWindow ? platform::ActivationPolicy::regular : platform::ActivationPolicy::accessory;
  return app;
}

std::vector<platform::RunningApplication> X11Applications::runningApplications() {
  const auto windows = desktop_.clientWindows();
  std::set<std::int32_t> windowPids;
  for (const auto& w : windows)
    if (w.pid) windowPids.insert(*w.pid);
  std::vector<platform::RunningApplication> out;
  std::set<std::int32_t> listed;
  for (const auto& a : accessibility_.applications()) {
    if (!listed.insert(a.pid).second) continue;
    // Without a window manager there is no client list to tell applications from services.
    const bool regular = windowPids.count(a.pid) > 0 || windows.empty();
    out.push_back(describe(a.pid, a.name, regular));
  }
  // Applications with windows that the accessibility registry does not know still count.
  for (const auto& w : windows)
    if (w.pid && listed.insert(*w.pid).second) out.push_back(describe(*w.pid, std::nullopt, true));
  return out;
}

std::optional<platform::RunningApplication> X11Applications::frontmostApplication() {
  const auto active = desktop_.activeWindow();
  if (!active) return std::nullopt;
  for (const auto& w : desktop_.clientWindows())
    if (w.id == *active && w.pid) return describe(*w.pid, std::nullopt, true);
  return std::nullopt;
}

bool X11Applications::activate(std::int32_t pid, std::uint32_t) {
  // The front-most window of the process; a minimised one only when it has no other.
  std::optional<std::uint32_t> target, hiddenTarget;
  for (const auto& w : desktop_.clientWindows()) {
    if (w.pid != pid) continue;
    if (w.viewable && !w.hidden && !target) target = w.id;
    if (!hiddenTarget) hiddenTarget = w.id;
  }
  if (!target) target = hiddenTarget;
  return target && desktop_.activateWindow(*target);
}

std::optional<std::string> X11Applications::applicationPathForBundleIdentifier(const std::string& bundleIdentifier) {
  for (const auto& e : entries())
    if (e.id == bundleIdentifier) return e.path;
  const auto q = lower(bundleIdentifier);
  for (const auto& e : entries())
    if (lower(e.id) == q) return e.path;
  return std::nullopt;
}

std::optional<std::string> X11Applications::applicationPathToOpen(const std::string& path) {
  // Asked for "<folder>/<name>.app": the entry whose name, id or program is <name>.
  std::string name = baseName(path);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".app") == 0) name.resize(name.size() - 4);
  const auto q = lower(name);
  if (q.empty()) return std::nullopt;
  for (const auto& e : entries())
    if (!e.noDisplay && lower(e.name) == q) return e.path;
  for (const auto& e : entries()) {
    if (lower(e.id) == q) return e.path;
    const auto dot = e.id.rfind('.');
    if (dot != std::string::npos && lower(e.id.substr(dot + 1)) == q) return e.path;
  }
  for (const auto& e : entries()) {
    auto args = splitExecLine(e.exec);
    if (args && lower(baseName((*args)[0])) == q) return e.path;
  }
  return std::nullopt;
}

void X11Applications::openApplication(const std::string& bundlePath, bool activates,
                                      std::function<void(platform::LaunchResult)> completion) {
  auto fail = [&](const std::string& why) {
    platform::LaunchResult r;
    r.errorDescription = why;
    completion(std::move(r));
  };
  std::vector<std::string> args;
  std::optional<std::string> id, name;
  if (bundlePath.size() > 8 && bundlePath.compare(bundlePath.size() - 8, 8, ".desktop") == 0) {
    auto entry = parseDesktopEntry(bundlePath, fs::path(bundlePath).stem().string());
    if (!entry) return fail("The file is not an application's desktop entry.");
    auto split = splitExecLine(entry->exec);
    if (!split) return fail("The desktop entry's Exec line is malformed.");
    args = std::move(*split);
    for (const auto& e : entries())
      if (e.path == bundlePath) id = e.id;
    name = entry->name;
  } else {
    args = {bundlePath};
  }
  const auto program = findInPath(args[0]);
  if (!program) return fail(std::string(std::strerror(ENOENT)) + ".");

  // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return fail(std::strerror(errno));
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return fail(std::strerror(errno));
  }
  if (child == 0) {
    // The middle process exits at once, so the application is reparented and never a zombie
    // of ours; the grandchild reports its pid, or the exec error, on the pipe.
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    const pid_t self = ::getpid();
    (void)!::write(report[1], &self, sizeof self);
    ::execv(program->c_str(), argv.data());
    const int error = errno;
    (void)!::write(report[1], &error, sizeof error);
    _exit(127);
  }
  ::close(report[1]);
  int status = 0;
  ::waitpid(child, &status, 0);
  pid_t pid = 0;
  int execError = 0;
  const bool gotPid = ::read(report[0], &pid, sizeof pid) == static_cast<ssize_t>(sizeof pid);
  const bool execFailed = gotPid && ::read(report[0], &execError, sizeof execError) == static_cast<ssize_t>(sizeof execError);
  ::close(report[0]);
  if (!gotPid) return fail("The application could not be started.");
  if (execFailed) return fail(std::string(std::strerror(execError)) + ".");

  // Answer once a window of the new process is listed (it has registered for accessibility by
  // then), or when the process has gone, or after 9 s.
  auto* desktop = &desktop_;
  launches_.emplace_back([desktop, pid, activates, id, name, stopping = stopping_, completion = std::move(completion)] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(9);
    std::optional<std::uint32_t> window;
    while (std::chrono::steady_clock::now() < deadline && !stopping->load()) {
      for (const auto& w : desktop->clientWindows())
        if (w.pid == pid && w.viewable) window = w.id;
      if (window || !processAlive(pid)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    platform::LaunchResult r;
    if (!window && !processAlive(pid)) {
      r.errorDescription = "The application exited before it opened a window.";
    } else {
      if (window && activates) desktop->activateWindow(*window);
      platform::RunningApplication app;
      app.pid = pid;
      app.bundleIdentifier = id;
      app.localizedName = name;
      r.application = app;
    }
    completion(std::move(r));
  });
}

}  // namespace platformlinux
