// The built desktop-share program against viewers nobody here wrote: libvncclient (its own
// Raw, ZRLE and Tight decoders) and TigerVNC's vncviewer on an Xvfb screen.
#include <gtest/gtest.h>
#include <rfb/rfbclient.h>
#include <signal.h>
#include <sys/stat.h>
#include <turbojpeg.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "RfbTestPeers.hpp"
#include "desktopshare/FrameSource.hpp"
#include "testsupport/ProcessRunner.hpp"
#include "testsupport/TempDir.hpp"

using namespace desktopshare;
using namespace rfbtest;
using testsupport::ProcessResult;
using testsupport::ProcessSpec;
using testsupport::RunningProcess;

namespace {

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(text.substr(start, nl - start));
  if (start < text.size()) out.push_back(text.substr(start));
  return out;
}

// The socket file appears at bind(2), a moment before listen(2): the kernel's table of Unix
// sockets tells when it accepts connections (flag __SO_ACCEPTCON), without connecting.
bool listening(const std::string& path) {
  std::ifstream table("/proc/net/unix");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, inode, name;
    if (fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> name && name == path &&
        (std::stoul(flags, nullptr, 16) & 0x10000))
      return true;
  }
  return false;
}

// desktop-share on the synthetic desktop, stopped with SIGTERM by the test.
class Program {
 public:
  Program(const std::string& socketPath, std::vector<std::string> extra, std::int64_t width = 640,
          std::int64_t height = 480)
      : socketPath_(socketPath) {
    ProcessSpec spec;
    spec.argv = {testsupport::binPath("desktop-share"), "--socket", socketPath, "--frame-source", "synthetic",
                 "--geometry", std::to_string(width) + "x" + std::to_string(height)};
    spec.argv.insert(spec.argv.end(), extra.begin(), extra.end());
    spec.timeout = 60s;
    process_ = std::make_unique<RunningProcess>(spec);
    EXPECT_TRUE(eventually([&] { return listening(socketPath_); })) << "nobody listens at " << socketPath_;
  }
  pid_t pid() const { return process_->pid(); }
  ProcessResult terminate(int signal = SIGTERM) {
    process_->signal(signal);
    return process_->wait();
  }

 private:
  std::string socketPath_;
  std::unique_ptr<RunningProcess> process_;
};

// The synthetic desktop's counter strip: cell i (8 pixels wide from x = 8i, rows 8 to 23)
// is light when bit i of the frame's sequence is set.
template <typename RedAt>
std::uint64_t decodeCounter(RedAt redAt, std::int64_t width) {
  std::uint64_t sequence = 0;
  for (std::int64_t i = 0; i < 64 && 8 * i + 4 < std::min<std::int64_t>(width, 512); ++i)
    if (redAt(8 * i + 4, 16) > 0x80) sequence |= std::uint64_t{1} << i;
  return sequence;
}

struct Decoded {
  std::vector<std::vector<Rect>> updates;  // rectangles of each update, in order
  int width = 0, height = 0;
  Bytes framebuffer;  // R, G, B, X per pixel
  std::uint8_t red(std::int64_t x, std::int64_t y) const { return framebuffer[(y * width + x) * 4]; }
  std::uint64_t counter() const {
    return decodeCounter([this](std::int64_t x, std::int64_t y) { return red(x, y); }, width);
  }
};

// Mean absolute channel difference between a client framebuffer (R, G, B, X) and the
// synthetic frame of `sequence`, over rows [fromRow, height).
double meanError(const Decoded& d, std::uint64_t sequence, std::int64_t fromRow = 0) {
  const Frame expected = SyntheticFrameSource::frame(FrameSize(d.width, d.height), sequence);
  double total = 0;
  std::int64_t count = 0;
  for (std::int64_t y = fromRow; y < d.height; ++y)
    for (std::int64_t x = 0; x < d.width; ++x) {
      const BGRAPixel p = expected.pixels().pixel(x, y);
      const std::uint8_t* got = &d.framebuffer[static_cast<std::size_t>((y * d.width + x) * 4)];
      total += std::abs(got[0] - p.red) + std::abs(got[1] - p.green) + std::abs(got[2] - p.blue);
      count += 3;
    }
  return total / static_cast<double>(count);
}

void quiet(const char*, ...) {}

// The program draws 30 frames a second; sanitizer builds of it draw far more slowly.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double minimumFrameRate = 3;
#else
constexpr double minimumFrameRate = 15;
#endif

struct ClientState {
  std::vector<Rect> current;
  Decoded* decoded;
};

void onRect(rfbClient* client, int x, int y, int w, int h) {
  auto* state = static_cast<ClientState*>(rfbClientGetClientData(client, nullptr));
  state->current.push_back(Rect{static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y),
                                static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h), 0});
}

void onUpdateDone(rfbClient* client) {
  auto* state = static_cast<ClientState*>(rfbClientGetClientData(client, nullptr));
  state->decoded->updates.push_back(std::move(state->current));
  state->current.clear();
}

// A libvncclient viewer: connects, lets libvncclient request updates (a full one first, then
// incremental ones) for `duration`, and keeps its framebuffer. Input can be sent meanwhile.
class VncClient {
 public:
  VncClient(const std::string& socketPath, const char* encodings) {
    if (!std::getenv("DESKTOP_SHARE_VNC_LOG")) {
      rfbClientLog = quiet;
      rfbClientErr = quiet;
    }
    client_ = rfbGetClient(8, 3, 4);
    client_->appData.encodingsString = encodings;
    client_->appData.enableJPEG = TRUE;
    client_->appData.qualityLevel = 6;
    std::free(client_->serverHost);  // the default rfbGetClient put there
    client_->serverHost = strdup(socketPath.c_str());
    client_->GotFrameBufferUpdate = onRect;
    client_->FinishedFrameBufferUpdate = onUpdateDone;
    state_.decoded = &decoded_;
    rfbClientSetClientData(client_, nullptr, &state_);
    if (!rfbInitClient(client_, nullptr, nullptr)) {  // frees the client on failure
      client_ = nullptr;
      throw std::runtime_error("libvncclient could not connect");
    }
  }
  ~VncClient() {
    if (!client_) return;
    // The cleanup leaves the framebuffer and the JPEG decoder to the application.
    std::free(client_->frameBuffer);
    client_->frameBuffer = nullptr;
#if defined(LIBVNCSERVER_HAVE_LIBZ) && defined(LIBVNCSERVER_HAVE_LIBJPEG)
    if (client_->tjhnd) tjDestroy(client_->tjhnd);
    client_->tjhnd = nullptr;
#endif
    rfbClientCleanup(client_);
  }
  rfbClient* client() { return client_; }

  // Handles server messages until `updates` updates have arrived or `duration` has passed.
  const Decoded& run(std::chrono::milliseconds duration, std::size_t updates = SIZE_MAX) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline && decoded_.updates.size() < updates) {
      const int ready = WaitForMessage(client_, 20000);
      if (ready < 0) throw std::runtime_error("connection lost");
      if (ready > 0 && !HandleRFBServerMessage(client_)) throw std::runtime_error("connection lost");
    }
    decoded_.width = client_->width;
    decoded_.height = client_->height;
    decoded_.framebuffer.assign(client_->frameBuffer, client_->frameBuffer + client_->width * client_->height * 4);
    return decoded_;
  }

 private:
  rfbClient* client_ = nullptr;
  ClientState state_;
  Decoded decoded_;
};

class ProgramTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir_;
  const std::string socket_ = dir_ / "desk.sock";
};

TEST_F(ProgramTest, OptionAndStartErrorsExitWithStatus2) {
  testsupport::writeFile(dir_ / "taken", "");
  struct Case {
    std::vector<std::string> arguments;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{}, "desktop-share: socket_path_required\n"},
      {{"--socket", socket_, "--verbose", "1"}, "desktop-share: unknown_rfb_flag_--verbose\n"},
      {{"--socket", socket_, "--frame-source", "synthetic", "--geometry", "0x5", "--input", "none"},
       "desktop-share: geometry_must_be_WxH\n"},
      // Screen capture and session input need an X display (DISPLAY is unset below).
      {{"--socket", socket_, "--input", "none"},
       "desktop-share: shareable_content_cannot open display (DISPLAY is not set)\n"},
      {{"--socket", socket_, "--frame-source", "synthetic"}, "desktop-share: cannot open X display (DISPLAY is not set)\n"},
      {{"--socket", dir_ / "taken", "--frame-source", "synthetic", "--input", "none"},
       "desktop-share: socket_path_exists\n"},
  };
  for (const auto& c : cases) {
    ProcessSpec spec;
    spec.argv = {testsupport::binPath("desktop-share")};
    spec.argv.insert(spec.argv.end(), c.arguments.begin(), c.arguments.end());
    spec.env["DISPLAY"] = std::nullopt;
    const ProcessResult r = testsupport::runProcess(spec);
    EXPECT_EQ(r.exitCode, 2) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_FALSE(std::filesystem::exists(socket_));
}

struct EncodingCase {
  const char* encodings;
  double allowedError;  // mean absolute channel error against the pattern (JPEG at quality level 6 for Tight)
};

class EncodingTest : public ProgramTest, public ::testing::WithParamInterface<EncodingCase> {};

// libvncclient decodes the synthetic desktop, first whole, then from incremental updates that
// carry only the moving block and the counter strip; the counter advances about 30 times a
// second.
TEST_P(EncodingTest, ViewerSeesTheSyntheticDesktopAndItsDamageOnly) {
  Program program(socket_, {"--input", "none"}, 640, 480);
  auto viewer = std::make_unique<VncClient>(socket_, GetParam().encodings);
  const Decoded& first = viewer->run(10s, 1);
  ASSERT_EQ(first.updates.size(), 1u);
  ASSERT_EQ(first.width, 640);
  ASSERT_EQ(first.height, 480);
  const std::uint64_t startSequence = first.counter();
  EXPECT_LE(meanError(first, startSequence), GetParam().allowedError);

  const auto began = std::chrono::steady_clock::now();
  const Decoded& later = viewer->run(2s);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const std::uint64_t endSequence = later.counter();
  const double rate = static_cast<double>(endSequence - startSequence) / seconds;
  EXPECT_GT(rate, minimumFrameRate) << "sequence " << startSequence << " to " << endSequence << " in " << seconds
                                    << " s";
  EXPECT_LT(rate, 40);
  EXPECT_GT(later.updates.size(), static_cast<std::size_t>(minimumFrameRate));
  EXPECT_LE(meanError(later, endSequence), GetParam().allowedError);
  // After the first update only the strip and the block change: tile rows 0 and 1.
  for (std::size_t i = 1; i < later.updates.size(); ++i)
    for (const Rect& r : later.updates[i]) EXPECT_LE(r.y + r.h, 128u) << "update " << i;

  viewer.reset();  // a viewer leaving between updates is not logged...
  const ProcessResult result = program.terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  // ...but one that leaves while an update is being written makes that write fail (EPIPE),
  // which the server logs; on a slow machine that race is often lost.
  auto logged = lines(result.err);
  if (logged.size() == 2 && logged[1] == "[desktop-share] connection closed: socket_write_32") logged.pop_back();
  EXPECT_EQ(logged, (std::vector<std::string>{"[desktop-share] listening on " + socket_}));
}

INSTANTIATE_TEST_SUITE_P(Encodings, EncodingTest,
                         ::testing::Values(EncodingCase{"raw", 0}, EncodingCase{"zrle raw", 0},
                                           EncodingCase{"tight raw", 8}),
                         [](const auto& info) { return std::string(info.param.encodings).substr(0, 4); });

TEST_F(ProgramTest, ViewerInputIsRecordedInOrderAndEndsWithClose) {
  const std::string recording = dir_ / "input/events.jsonl";
  Program program(socket_, {"--input", "record", "--input-path", recording, "--name", "Agent Desktop"});
  {
    VncClient viewer(socket_, "raw");
    EXPECT_STREQ(viewer.client()->desktopName, "Agent Desktop");
    viewer.run(5s, 1);
    SendKeyEvent(viewer.client(), 97, TRUE);
    SendPointerEvent(viewer.client(), 10, 20, 1);
    SendPointerEvent(viewer.client(), 11, 21, 0);
    SendKeyEvent(viewer.client(), 97, FALSE);
    viewer.run(300ms);
  }
  const std::vector<std::string> expected = {
      R"({"type":"key","keysym":97,"down":true})",        R"({"type":"pointer","x":10,"y":20,"buttonMask":1})",
      R"({"type":"pointer","x":11,"y":21,"buttonMask":0})", R"({"type":"key","keysym":97,"down":false})",
      R"({"type":"close"})"};
  EXPECT_TRUE(eventually([&] { return lines(testsupport::readFile(recording)).size() >= expected.size(); }));
  EXPECT_EQ(lines(testsupport::readFile(recording)), expected);

  // Stopping with a viewer connected closes its session too.
  VncClient second(socket_, "raw");
  second.run(5s, 1);
  const ProcessResult result = program.terminate(SIGINT);
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_FALSE(std::filesystem::exists(socket_));
  const auto recorded = lines(testsupport::readFile(recording));
  EXPECT_EQ(recorded.size(), expected.size() + 1);
  EXPECT_EQ(recorded.back(), R"({"type":"close"})");
}

TEST_F(ProgramTest, AdmissionFlags) {
  {
    Program program(socket_, {"--input", "none", "--allowed-peer-pid", std::to_string(::getpid() + 1)});
    RawClient client = RawClient::connectTo(socket_);
    Bytes received;
    EXPECT_TRUE(client.readToEnd(received));
    EXPECT_TRUE(received.empty());
    const ProcessResult result = program.terminate();
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(lines(result.err), (std::vector<std::string>{"[desktop-share] listening on " + socket_,
                                                           "[desktop-share] connection not admitted: peer_pid_mismatch"}));
  }
  Program program(socket_, {"--input", "none", "--max-clients", "1", "--allowed-peer-pid", std::to_string(::getpid())});
  RawClient admitted = RawClient::connectTo(socket_);
  admitted.handshake();
  RawClient extra = RawClient::connectTo(socket_);
  Bytes received;
  EXPECT_TRUE(extra.readToEnd(received));
  EXPECT_TRUE(received.empty());
  const ProcessResult result = program.terminate();
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(lines(result.err), (std::vector<std::string>{"[desktop-share] listening on " + socket_,
                                                         "[desktop-share] connection not admitted: max_clients_reached"}));
}

// An X display of our own for vncviewer, on a display number nobody uses.
class Xvfb {
 public:
  Xvfb(int width, int height) {
    for (int n = 100 + ::getpid() % 300; n < 1000; ++n) {
      if (std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock") ||
          std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)))
        continue;
      // Built by appending: GCC 12 misreads ":" + std::string as an overlapping copy (-Wrestrict).
      std::string name(1, ':');
      name += std::to_string(n);
      ProcessSpec spec;
      spec.argv = {"/usr/bin/Xvfb", name, "-screen", "0",
                   std::to_string(width) + "x" + std::to_string(height) + "x24", "-nolisten", "tcp"};
      spec.timeout = 120s;
      auto process = std::make_unique<RunningProcess>(spec);
      if (eventually([&] { return std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)); }, 5s)) {
        display_ = name;
        process_ = std::move(process);
        return;
      }
    }
    throw std::runtime_error("no free X display");
  }
  ~Xvfb() {
    if (process_) {
      process_->signal(SIGTERM);
      process_->wait();
    }
  }
  const std::string& display() const { return display_; }

  // The root window as R, G, B, X rows, via xwd.
  Decoded screenshot() const {
    ProcessSpec spec;
    spec.argv = {"/usr/bin/xwd", "-root", "-silent", "-display", display_};
    const ProcessResult r = testsupport::runProcess(spec);
    Decoded d;
    const auto* b = reinterpret_cast<const std::uint8_t*>(r.out.data());
    if (r.exitCode != 0 || r.out.size() < 100) return d;
    auto field = [&](int i) { return getU32(b + 4 * i); };
    const std::uint32_t headerSize = field(0), width = field(4), height = field(5), byteOrder = field(7),
                        bitsPerPixel = field(11), bytesPerLine = field(12), redMask = field(14),
                        greenMask = field(15), blueMask = field(16), colours = field(19);
    const std::size_t offset = headerSize + 12 * std::size_t{colours};
    if (bitsPerPixel != 32 || r.out.size() < offset + std::size_t{bytesPerLine} * height) return d;
    d.width = static_cast<int>(width);
    d.height = static_cast<int>(height);
    d.framebuffer.resize(std::size_t{width} * height * 4);
    auto channel = [](std::uint32_t v, std::uint32_t mask) { return static_cast<std::uint8_t>((v & mask) >> std::countr_zero(mask)); };
    for (std::uint32_t y = 0; y < height; ++y)
      for (std::uint32_t x = 0; x < width; ++x) {
        const std::uint8_t* p = b + offset + std::size_t{y} * bytesPerLine + 4 * x;
        const std::uint32_t v = byteOrder == 0 ? (std::uint32_t{p[3]} << 24 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0])
                                               : getU32(p);
        std::uint8_t* out = &d.framebuffer[(std::size_t{y} * width + x) * 4];
        out[0] = channel(v, redMask);
        out[1] = channel(v, greenMask);
        out[2] = channel(v, blueMask);
      }
    return d;
  }

 private:
  std::string display_;
  std::unique_ptr<RunningProcess> process_;
};

TEST_F(ProgramTest, TigerVncViewerShowsTheSyntheticDesktop) {
  Xvfb x(640, 480);
  Program program(socket_, {"--input", "none"}, 640, 480);
  ProcessSpec spec;
  spec.argv = {"/usr/bin/vncviewer", "-SecurityTypes",  "None", "-Shared", "-ViewOnly", "-FullScreen", "-MenuKey=",
               "-ReconnectOnError=0", "-AlertOnFatalError=0", socket_};
  spec.env = {{"DISPLAY", x.display()}, {"HOME", dir_.path()}};
  spec.timeout = 60s;
  RunningProcess viewer(spec);

  // The static background below the block (rows 128 and down) must match the pattern; the
  // counter strip must show the sequence moving on.
  std::optional<std::uint64_t> firstCounter;
  Decoded shot;
  const bool matched = eventually(
      [&] {
        shot = x.screenshot();
        if (shot.width != 640 || meanError(shot, 0, 128) > 4) return false;
        firstCounter = shot.counter();
        return true;
      },
      20s);
  ASSERT_TRUE(matched) << "the Xvfb screen never showed the pattern; last error "
                       << (shot.width == 640 ? meanError(shot, 0, 128) : -1.0);
  EXPECT_TRUE(eventually([&] { return x.screenshot().counter() != *firstCounter; }, 5s));

  viewer.signal(SIGTERM);
  viewer.wait();
  const ProcessResult result = program.terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
}

}  // namespace
