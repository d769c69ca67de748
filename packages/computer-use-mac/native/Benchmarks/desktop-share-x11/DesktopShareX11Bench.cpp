// Shares one Xvfb display, in which a box keeps moving, with each server in turn and measures
// what one libvncclient viewer receives: updates per second, bytes per update and the server's
// CPU time, for ZRLE and Tight. Our server is the desktop-share program built beside this
// driver (--input none); where that program cannot share an X display, the same composition
// runs in a child process of this driver instead.
//
//   desktop-share-x11-bench [--seconds N] [--geometry WxH] [--servers ours,x11vnc,x0vncserver]
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <rfb/rfbclient.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "desktopshare/InputSink.hpp"
#include "desktopshare/RfbServer.hpp"
#include "desktopshare/ScreenCaptureKitFrameSource.hpp"
#include "platformlinux/X11Desktop.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {}, int displayFd = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (displayFd >= 0) posix_spawn_file_actions_adddup2(&actions, displayFd, 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (!std::getenv("BENCH_VERBOSE")) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> argv, envp;
  for (auto& a : const_cast<std::vector<std::string>&>(args)) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void terminate(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 150; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(20ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// CPU seconds (user + system) a process has used so far.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoull(f);
    if (i == 15) stime = std::stoull(f);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool waitForPath(const std::string& path, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!std::filesystem::exists(path)) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

int connectUnix(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Forwards one viewer connection to the server, counting the bytes the server sends.
class CountingProxy {
 public:
  CountingProxy(const std::string& listenPath, std::string serverPath) : path_(listenPath), server_(std::move(serverPath)) {
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, listenPath.c_str(), sizeof a.sun_path - 1);
    unlink(listenPath.c_str());
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 1);
    thread_ = std::thread([this] { run(); });
  }
  ~CountingProxy() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
    unlink(path_.c_str());
  }
  std::uint64_t bytesFromServer() const { return bytes_.load(); }

 private:
  void run() {
    pollfd lp{listener_, POLLIN, 0};
    while (!stop_ && poll(&lp, 1, 100) == 0) {}
    if (stop_) return;
    const int viewer = accept(listener_, nullptr, nullptr);
    const int server = connectUnix(server_);
    if (viewer < 0 || server < 0) return;
    char buffer[1 << 16];
    pollfd fds[2] = {{viewer, POLLIN, 0}, {server, POLLIN, 0}};
    while (!stop_) {
      if (poll(fds, 2, 100) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0) {
          stop_ = true;
          break;
        }
        if (i == 1) bytes_ += static_cast<std::uint64_t>(n);
        for (ssize_t done = 0; done < n;) {
          const ssize_t w = write(fds[1 - i].fd, buffer + done, static_cast<std::size_t>(n - done));
          if (w <= 0) {
            stop_ = true;
            break;
          }
          done += w;
        }
      }
    }
    close(viewer);
    close(server);
  }

  std::string path_, server_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> bytes_{0};
  std::thread thread_;
};

// Moves a box across a region of the display at about 60 steps per second.
class Animator {
 public:
  Animator(const std::string& display, int width, int height) {
    thread_ = std::thread([this, display, width, height] {
      Display* d = XOpenDisplay(display.c_str());
      if (!d) return;
      const Window root = DefaultRootWindow(d);
      GC gc = XCreateGC(d, root, 0, nullptr);
      const int region = std::min(width, height) / 2, box = region / 4;
      int step = 0, lastX = 0, lastY = 0;
      auto next = Clock::now();
      while (!stop_) {
        const int x = 40 + (step * 7) % (region - box), y = 40 + (step * 3) % (region - box);
        XSetForeground(d, gc, 0x204060);
        XFillRectangle(d, root, gc, lastX, lastY, static_cast<unsigned>(box), static_cast<unsigned>(box));
        XSetForeground(d, gc, 0xF0C020 ^ static_cast<unsigned long>(step * 0x010203));
        XFillRectangle(d, root, gc, x, y, static_cast<unsigned>(box), static_cast<unsigned>(box));
        XSync(d, False);
        lastX = x, lastY = y, ++step;
        next += 16667us;
        std::this_thread::sleep_until(next);
      }
      XFreeGC(d, gc);
      XCloseDisplay(d);
    });
  }
  ~Animator() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void quiet(const char*, ...) {}
void countUpdate(rfbClient* c) { ++*static_cast<std::uint64_t*>(rfbClientGetClientData(c, nullptr)); }

struct Figures {
  double updatesPerSecond = 0, bytesPerUpdate = 0, cpuPerSecond = 0, cpuMicrosPerUpdate = 0;
  bool ok = false;
};

Figures measure(const std::string& serverSocket, pid_t serverPid, const char* encoding, double seconds,
                const std::string& workDir) {
  Figures f;
  CountingProxy proxy(workDir + "/proxy.sock", serverSocket);
  rfbClientLog = quiet;
  rfbClientErr = quiet;
  rfbClient* client = rfbGetClient(8, 3, 4);
  client->appData.encodingsString = encoding;
  client->appData.compressLevel = 1;
  client->appData.qualityLevel = 6;
  std::free(client->serverHost);
  client->serverHost = strdup((workDir + "/proxy.sock").c_str());
  std::uint64_t updates = 0;
  rfbClientSetClientData(client, nullptr, &updates);
  client->FinishedFrameBufferUpdate = countUpdate;
  if (!rfbInitClient(client, nullptr, nullptr)) return f;
  const auto pump = [&](Clock::time_point until) {
    while (Clock::now() < until) {
      const int ready = WaitForMessage(client, 50000);
      if (ready < 0 || (ready > 0 && !HandleRFBServerMessage(client))) return false;
    }
    return true;
  };
  bool ok = pump(Clock::now() + 1s);  // the first full update and a steady state
  const std::uint64_t updates0 = updates, bytes0 = proxy.bytesFromServer();
  const double cpu0 = cpuSeconds(serverPid);
  const auto start = Clock::now();
  ok = ok && pump(start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = cpuSeconds(serverPid) - cpu0;
  const double n = static_cast<double>(updates - updates0);
  std::free(client->frameBuffer);  // the cleanup leaves it to the application
  client->frameBuffer = nullptr;
  rfbClientCleanup(client);
  if (!ok || n == 0) return f;
  f.updatesPerSecond = n / elapsed;
  f.bytesPerUpdate = static_cast<double>(proxy.bytesFromServer() - bytes0) / n;
  f.cpuPerSecond = cpu / elapsed;
  f.cpuMicrosPerUpdate = cpu / n * 1e6;
  f.ok = true;
  return f;
}

// Our server in this process: the composition desktop-share uses for an X display.
int serve(const std::string& socketPath) {
  platformlinux::X11ScreenCaptureService capture;
  auto source = desktopshare::ScreenCaptureKitFrameSource::mainDisplay(capture, 60, 5.0);
  desktopshare::NullInputSink input;
  desktopshare::RfbServer server({socketPath, 4, "bench", std::nullopt}, *source, input);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  server.start();
  int signal = 0;
  sigwait(&signals, &signal);
  server.stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--serve") return serve(argv[2]);
  double seconds = 5;
  int width = 1280, height = 800;
  std::string only = "ours,x11vnc,x0vncserver";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--seconds") seconds = std::stod(argv[i + 1]);
    else if (flag == "--geometry") std::sscanf(argv[i + 1], "%dx%d", &width, &height);
    else if (flag == "--servers") only = argv[i + 1];
  }
  const std::string workDir = std::filesystem::temp_directory_path() / ("ds-x11-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(workDir);

  int fds[2];
  if (pipe(fds) != 0) return 1;
  const pid_t xvfb = spawn({"Xvfb", "-displayfd", "3", "-screen", "0",
                            std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp"},
                           {}, fds[1]);
  close(fds[1]);
  // Xvfb writes the number and its line feed separately; keep reading until the line feed.
  std::string number;
  pollfd p{fds[0], POLLIN, 0};
  while (number.find('\n') == std::string::npos && poll(&p, 1, 20000) > 0) {
    char buffer[16];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    number.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  if (number.find('\n') == std::string::npos) {
    std::fprintf(stderr, "Xvfb did not start\n");
    terminate(xvfb);
    return 1;
  }
  number.resize(number.find('\n'));
  std::string display = ":";
  display += number;
  setenv("DISPLAY", display.c_str(), 1);
  std::printf("display %s %dx%d, a %dx%d box moving at 60 steps/s, %.0f s per run, one libvncclient viewer\n",
              display.c_str(), width, height, std::min(width, height) / 8, std::min(width, height) / 8, seconds);
  auto animator = std::make_unique<Animator>(display, width, height);

  struct Server {
    std::string name;
    std::function<std::vector<std::string>(const std::string& socket)> command;
  };
  const std::string self = std::filesystem::canonical("/proc/self/exe");
  const std::string program = std::filesystem::path(self).parent_path() / "desktop-share";
  bool useProgram = false;
  if (std::filesystem::exists(program)) {
    const std::string probe = workDir + "/probe.sock";
    const pid_t pid = spawn({program, "--socket", probe, "--input", "none"});
    useProgram = pid > 0 && waitForPath(probe, 5s);
    terminate(pid);
    std::filesystem::remove(probe);
  }
  std::printf("ours: %s\n", useProgram ? program.c_str() : "the same composition inside this driver");
  const std::vector<Server> servers = {
      {"ours",
       [&](const std::string& s) {
         return useProgram ? std::vector<std::string>{program, "--socket", s, "--input", "none"}
                           : std::vector<std::string>{self, "--serve", s};
       }},
      {"x11vnc",
       [&](const std::string& s) {
         return std::vector<std::string>{"x11vnc", "-display", display, "-unixsock", s, "-rfbport", "0",
                                         "-shared", "-forever", "-nopw", "-quiet"};
       }},
      {"x0vncserver",
       [&](const std::string& s) {
         // The server itself, not the x0vncserver wrapper script, so that its CPU time is measured.
         return std::vector<std::string>{"X0tigervnc", "-display", display, "-rfbunixpath", s, "-rfbport", "-1",
                                         "-SecurityTypes", "None"};
       }},
  };
  std::printf("%-12s %-5s %12s %14s %14s %16s\n", "server", "enc", "updates/s", "bytes/update", "cpu ms/s",
              "cpu us/update");
  for (const char* encoding : {"zrle", "tight"}) {
    for (const Server& s : servers) {
      if (("," + only + ",").find("," + s.name + ",") == std::string::npos) continue;
      const std::string socketPath = workDir + "/" + s.name + ".sock";
      std::filesystem::remove(socketPath);
      const pid_t pid = spawn(s.command(socketPath));
      if (pid <= 0 || !waitForPath(socketPath, 10s)) {
        std::printf("%-12s %-5s %12s\n", s.name.c_str(), encoding, "not started");
        terminate(pid);
        continue;
      }
      std::this_thread::sleep_for(300ms);
      const Figures f = measure(socketPath, pid, encoding, seconds, workDir);
      terminate(pid);
      std::filesystem::remove(socketPath);
      if (!f.ok) {
        std::printf("%-12s %-5s %12s\n", s.name.c_str(), encoding, "failed");
        continue;
      }
      std::printf("%-12s %-5s %12.1f %14.0f %14.1f %16.0f\n", s.name.c_str(), encoding, f.updatesPerSecond,
                  f.bytesPerUpdate, f.cpuPerSecond * 1000, f.cpuMicrosPerUpdate);
      std::fflush(stdout);
    }
  }
  animator.reset();  // before its display goes away
  terminate(xvfb);
  std::filesystem::remove_all(workDir);
  return 0;
}
