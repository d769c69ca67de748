// Side-by-side figures for our RFB server and libvncserver serving the same 1920 × 1080 scene
// to the same libvncclient client: full-frame updates per second, bytes and server CPU time
// per update for Raw, ZRLE and Tight, and request-to-update latency for a small change.
#include <fcntl.h>
#include <rfb/rfbclient.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BenchScene.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int qualityLevel = 6;
constexpr int compressLevel = 6;

struct Peer {
  std::string name;
  std::string socket;
  pid_t pid = -1;
};

Peer spawnPeer(const std::string& name, const std::string& program, const std::string& socket) {
  Peer peer{name, socket};
  std::vector<std::string> args = {program, socket};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The peers' diagnostics (viewers leaving mid-update) would only clutter the table.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!std::getenv("DESKTOP_SHARE_BENCH_LOG"))
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const int spawned = posix_spawn(&peer.pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + program);
  const auto deadline = Clock::now() + 10s;
  while (!std::filesystem::exists(socket)) {
    if (Clock::now() > deadline) throw std::runtime_error(name + " did not listen");
    std::this_thread::sleep_for(10ms);
  }
  return peer;
}

void stopPeer(const Peer& peer) {
  kill(peer.pid, SIGTERM);
  int status;
  waitpid(peer.pid, &status, 0);
}

// User plus system CPU time of a process.
double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  long utime = 0, stime = 0;
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Bytes this process has read through read(2) (libvncclient reads its socket that way).
long long bytesRead() {
  std::ifstream in("/proc/self/io");
  std::string key;
  long long value = 0;
  while (in >> key >> value)
    if (key == "rchar:") return value;
  return 0;
}

void quiet(const char*, ...) {}

int finished = 0;
long long updateArea = 0;    // pixels painted by the update being received
long long finishedArea = 0;  // pixels painted by the last complete update
void onRect(rfbClient*, int, int, int w, int h) { updateArea += static_cast<long long>(w) * h; }
void onFinished(rfbClient*) {
  finishedArea = updateArea;
  updateArea = 0;
  ++finished;
}

class Viewer {
 public:
  Viewer(const std::string& socket, const char* encodings) {
    client_ = rfbGetClient(8, 3, 4);
    // The servers' own BGRX layout, so no pixel translation on either side.
    client_->format.redShift = 16;
    client_->format.greenShift = 8;
    client_->format.blueShift = 0;
    client_->appData.encodingsString = encodings;
    client_->appData.enableJPEG = TRUE;
    client_->appData.qualityLevel = qualityLevel;
    client_->appData.compressLevel = compressLevel;
    std::free(client_->serverHost);
    client_->serverHost = strdup(socket.c_str());
    client_->FinishedFrameBufferUpdate = onFinished;
    client_->GotFrameBufferUpdate = onRect;
    if (!rfbInitClient(client_, nullptr, nullptr)) throw std::runtime_error("cannot connect to " + socket);
  }
  ~Viewer() { rfbClientCleanup(client_); }
  rfbClient* client() { return client_; }

  // Handles messages until an update painting at least `area` pixels is complete (empty
  // updates answering the viewer's own incremental requests do not count).
  void awaitArea(long long area) {
    for (;;) {
      const int before = finished;
      const int ready = WaitForMessage(client_, 10000000);
      if (ready < 0 || (ready > 0 && !HandleRFBServerMessage(client_))) throw std::runtime_error("connection lost");
      if (ready == 0) throw std::runtime_error("no update within 10 seconds");
      if (finished != before && finishedArea >= area) return;
    }
  }
  void fullUpdate() {
    SendFramebufferUpdateRequest(client_, 0, 0, benchscene::width, benchscene::height, FALSE);
    awaitArea(static_cast<long long>(benchscene::width) * benchscene::height);
  }

 private:
  rfbClient* client_;
};

struct Figures {
  double updatesPerSecond = 0, bytesPerUpdate = 0, cpuMsPerUpdate = 0;
};

Figures fullFrames(const Peer& peer, const char* encodings) {
  Viewer viewer(peer.socket, encodings);
  for (int i = 0; i < 3; ++i) viewer.fullUpdate();
  const double cpu0 = cpuSeconds(peer.pid);
  const long long bytes0 = bytesRead();
  const auto t0 = Clock::now();
  int updates = 0;
  while (Clock::now() - t0 < 2s && updates < 1000) {
    viewer.fullUpdate();
    ++updates;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  Figures f;
  f.updatesPerSecond = updates / seconds;
  f.bytesPerUpdate = static_cast<double>(bytesRead() - bytes0) / updates;
  f.cpuMsPerUpdate = 1000 * (cpuSeconds(peer.pid) - cpu0) / updates;
  return f;
}

struct Latency {
  double p50 = 0, p99 = 0;
};

Latency percentiles(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return Latency{samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// A non-incremental request for the 64 × 64 block region: from the request to the complete
// update, whatever else is happening.
Latency smallRequests(const Peer& peer) {
  Viewer viewer(peer.socket, "raw");
  viewer.fullUpdate();
  std::vector<double> samples;
  for (int i = 0; i < 1020; ++i) {
    const auto t0 = Clock::now();
    SendFramebufferUpdateRequest(viewer.client(), benchscene::blockX, benchscene::blockY, benchscene::blockSize,
                                 benchscene::blockSize, FALSE);
    viewer.awaitArea(benchscene::blockSize * benchscene::blockSize);
    if (i >= 20) samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    std::this_thread::sleep_for(1ms);
  }
  return percentiles(std::move(samples));
}

// A pointer event toggles a 64 × 64 block while the viewer has its incremental request
// outstanding (libvncclient always keeps one): measured from the event to the complete update.
Latency smallChanges(const Peer& peer) {
  Viewer viewer(peer.socket, "raw");
  viewer.fullUpdate();
  std::vector<double> samples;
  for (int i = 0; i < 1020; ++i) {
    const auto t0 = Clock::now();
    SendPointerEvent(viewer.client(), i % 100, 0, 0);
    viewer.awaitArea(benchscene::blockSize * benchscene::blockSize);
    if (i >= 20) samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    std::this_thread::sleep_for(1ms);  // let the idle servers settle, as between real frames
  }
  return percentiles(std::move(samples));
}

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// ZRLE's floor: packing the frame into 64 × 64 raw tiles of 3-byte pixels and deflating it
// at the same level through one persistent stream, in this process, no I/O. CPU time, like
// the servers' figures, so other load on the machine does not count.
double zrleFloorMs() {
  const std::vector<std::uint8_t> frame = benchscene::pixels(false);
  z_stream stream{};
  deflateInit(&stream, compressLevel);
  const int tilesAcross = (benchscene::width + 63) / 64, tilesDown = (benchscene::height + 63) / 64;
  std::vector<std::uint8_t> tiles(static_cast<std::size_t>(tilesAcross) * tilesDown + 3 * benchscene::width * benchscene::height);
  std::vector<std::uint8_t> out(1 << 16);
  const auto t0 = Clock::now();
  const double cpu0 = threadCpuSeconds();
  int rounds = 0;
  while (Clock::now() - t0 < 2s || rounds < 3) {
    std::uint8_t* w = tiles.data();
    for (int ty = 0; ty < benchscene::height; ty += 64)
      for (int tx = 0; tx < benchscene::width; tx += 64) {
        *w++ = 0;
        const int th = std::min(64, benchscene::height - ty), tw = std::min(64, benchscene::width - tx);
        for (int y = ty; y < ty + th; ++y) {
          const std::uint8_t* p = &frame[(static_cast<std::size_t>(y) * benchscene::width + tx) * 4];
          for (int x = 0; x < tw; ++x, p += 4, w += 3) std::memcpy(w, p, 3);
        }
      }
    stream.next_in = tiles.data();
    stream.avail_in = static_cast<uInt>(w - tiles.data());
    do {
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      deflate(&stream, Z_SYNC_FLUSH);
    } while (stream.avail_in > 0 || stream.avail_out == 0);
    ++rounds;
  }
  deflateEnd(&stream);
  return 1000 * (threadCpuSeconds() - cpu0) / rounds;
}

std::string siblingProgram(const char* self, const char* name) {
  return (std::filesystem::path(self).parent_path() / name).string();
}

}  // namespace

int main(int, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  if (!std::getenv("DESKTOP_SHARE_BENCH_LOG")) {
    rfbClientLog = quiet;
    rfbClientErr = quiet;
  }
  char pattern[] = "/tmp/desktop-share-bench-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  struct PeerProgram {
    const char* name;
    std::string program;
  };
  std::vector<PeerProgram> programs = {{"ours", siblingProgram(argv[0], "desktop-share-bench-ours")},
                                       {"libvncserver", siblingProgram(argv[0], "desktop-share-bench-libvncserver")}};
  // neatvnc is built only where its package is installed.
  if (std::filesystem::exists(siblingProgram(argv[0], "desktop-share-bench-neatvnc")))
    programs.push_back({"neatvnc", siblingProgram(argv[0], "desktop-share-bench-neatvnc")});
  // One peer at a time, so an idle one never competes for the CPU.
  std::optional<Peer> running;
  auto withPeer = [&](const PeerProgram& p, auto&& measure) {
    running = spawnPeer(p.name, p.program, dir + "/" + p.name + ".sock");
    measure(*running);
    stopPeer(*running);
    running.reset();
  };
  try {
    std::printf("desktop-share benchmark: %dx%d synthetic desktop, libvncclient viewer, JPEG quality level %d, "
                "zlib level %d\n\n",
                benchscene::width, benchscene::height, qualityLevel, compressLevel);
    std::printf("%-6s %-13s %12s %14s %14s\n", "enc", "server", "updates/s", "bytes/update", "cpu ms/update");
    struct Encoding {
      const char* label;
      const char* list;
    };
    for (const Encoding e : {Encoding{"raw", "raw"}, Encoding{"zrle", "zrle raw"}, Encoding{"tight", "tight raw"}}) {
      std::vector<Figures> figures;
      for (const PeerProgram& p : programs) {
        withPeer(p, [&](const Peer& peer) { figures.push_back(fullFrames(peer, e.list)); });
        std::printf("%-6s %-13s %12.1f %14.0f %14.2f\n", e.label, p.name, figures.back().updatesPerSecond,
                    figures.back().bytesPerUpdate, figures.back().cpuMsPerUpdate);
      }
      // Ours ahead by: updates per second ours ÷ theirs, CPU per update theirs ÷ ours.
      for (std::size_t i = 1; i < figures.size(); ++i)
        std::printf("%-6s %-13s %11.2fx %29.2fx\n", e.label, ("ours/" + std::string(programs[i].name).substr(0, 8)).c_str(),
                    figures[0].updatesPerSecond / figures[i].updatesPerSecond,
                    figures[i].cpuMsPerUpdate / figures[0].cpuMsPerUpdate);
      if (std::string(e.label) == "zrle") {
        const double floor = zrleFloorMs();
        std::printf("%-6s %-13s %12.1f %14s %14.2f   (ours: %.2fx the floor's time)\n", "zrle", "floor", 1000 / floor,
                    "-", floor, figures[0].cpuMsPerUpdate / floor);
      }
    }
    std::printf("\nsmall change, in ms: a 64x64 request answered (request to complete update), and a 64x64\n"
                "block toggled by a pointer event while the viewer's incremental request waits (event to update)\n");
    std::printf("%-13s %10s %10s %10s %10s\n", "server", "req p50", "req p99", "change p50", "change p99");
    for (const PeerProgram& p : programs)
      withPeer(p, [&](const Peer& peer) {
        const Latency request = smallRequests(peer);
        const Latency change = smallChanges(peer);
        std::printf("%-13s %10.3f %10.3f %10.3f %10.3f\n", p.name, request.p50, request.p99, change.p50, change.p99);
      });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "desktop-share-bench: %s\n", e.what());
    if (running) stopPeer(*running);
    std::filesystem::remove_all(dir);
    return 1;
  }
  std::filesystem::remove_all(dir);
  return 0;
}
