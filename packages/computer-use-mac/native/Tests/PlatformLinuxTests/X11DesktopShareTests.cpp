// The whole desktop share on a real X display: the RFB server with the screen-capture source on
// the X11 capture stream, the session input arbiter on the XTEST poster and the session guard,
// used by viewers nobody here wrote (libvncclient, TigerVNC's vncviewer).
#include <gtest/gtest.h>
#include <rfb/rfbclient.h>
#include <turbojpeg.h>
#include <signal.h>
#include <unistd.h>

#include <X11/keysym.h>

#include <bit>
#include <cstring>

#include "X11TestClient.hpp"
#include "XvfbServer.hpp"
#include "desktopshare/RfbServer.hpp"
#include "desktopshare/ScreenCaptureKitFrameSource.hpp"
#include "desktopshare/SessionGuard.hpp"
#include "desktopshare/SessionInputArbiter.hpp"
#include "platformlinux/X11Desktop.hpp"
#include "testsupport/ProcessRunner.hpp"
#include "testsupport/TempDir.hpp"

using namespace desktopshare;
using namespace std::chrono_literals;
using x11test::eventually;
using x11test::InputRecord;

namespace {

void quiet(const char*, ...) {}

struct Rect {
  int x, y, w, h;
};

void onRect(rfbClient* client, int x, int y, int w, int h) {
  auto* rects = static_cast<std::vector<Rect>*>(rfbClientGetClientData(client, nullptr));
  rects->push_back({x, y, w, h});
}

// A libvncclient viewer on the server's socket; its framebuffer is R, G, B, X per pixel.
class Viewer {
 public:
  Viewer(const std::string& socketPath, const char* encodings) {
    rfbClientLog = quiet;
    rfbClientErr = quiet;
    client_ = rfbGetClient(8, 3, 4);
    client_->appData.encodingsString = encodings;
    std::free(client_->serverHost);  // the default rfbGetClient put there
    client_->serverHost = strdup(socketPath.c_str());
    client_->GotFrameBufferUpdate = onRect;
    rfbClientSetClientData(client_, nullptr, &rects_);
    if (!rfbInitClient(client_, nullptr, nullptr)) {  // frees the client on failure
      client_ = nullptr;
      throw std::runtime_error("libvncclient could not connect");
    }
  }
  ~Viewer() { disconnect(); }
  void disconnect() {
    if (!client_) return;
    // The cleanup leaves the framebuffer and the JPEG decoder to the application.
    std::free(client_->frameBuffer);
    client_->frameBuffer = nullptr;
#if defined(LIBVNCSERVER_HAVE_LIBZ) && defined(LIBVNCSERVER_HAVE_LIBJPEG)
    if (client_->tjhnd) tjDestroy(client_->tjhnd);
    client_->tjhnd = nullptr;
#endif
    rfbClientCleanup(client_);
    client_ = nullptr;
  }
  rfbClient* client() { return client_; }

  // Handles server messages for `duration`, or until `done` says so.
  bool run(std::chrono::milliseconds duration, const std::function<bool()>& done = [] { return false; }) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) {
      if (done()) return true;
      const int ready = WaitForMessage(client_, 20000);
      if (ready < 0 || (ready > 0 && !HandleRFBServerMessage(client_))) throw std::runtime_error("connection lost");
    }
    return done();
  }
  bool matches(const std::vector<std::uint8_t>& bgrx, int width, int height) const {
    if (client_->width != width || client_->height != height) return false;
    for (std::size_t i = 0; i < static_cast<std::size_t>(width) * height; ++i) {
      const std::uint8_t* f = client_->frameBuffer + 4 * i;
      const std::uint8_t* e = &bgrx[4 * i];
      if (f[0] != e[2] || f[1] != e[1] || f[2] != e[0]) return false;
    }
    return true;
  }
  std::vector<Rect> takeRects() { return std::exchange(rects_, {}); }

 private:
  rfbClient* client_ = nullptr;
  std::vector<Rect> rects_;
};

class X11DesktopShareTest : public ::testing::Test {
 protected:
  x11test::XvfbServer display{320, 240};
  x11test::TestClient observer{display.display()};
  testsupport::TempDir dir;
  const std::string socket = dir / "desk.sock";

  platformlinux::X11ScreenCaptureService capture{display.display()};
  platformlinux::X11SessionEventPoster poster{display.display()};
  platformlinux::X11SessionStateReader sessionReader{display.display()};
  SessionGuard guard{sessionReader};
  std::unique_ptr<ScreenCaptureKitFrameSource> source = ScreenCaptureKitFrameSource::mainDisplay(capture, 60, 5.0);
  SessionInputArbiter arbiter{poster, {{0, 0}, 0.5, 4}, [] {
                                return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                                    .count();
                              }};
  std::unique_ptr<RfbServer> server;
  Window window = 0;

  void SetUp() override {
    observer.hideCursor();
    observer.fill(observer.root(), 0, 0, 320, 240, 0x336699);
    window = observer.openInputWindow(10, 10, 120, 80);
    observer.fill(window, 0, 0, 120, 80, 0xEEDD00);
    server = std::make_unique<RfbServer>(RfbServerConfiguration{socket, 4, "x11 test", std::nullopt}, *source, arbiter,
                                         [this] { return guard.check(getuid()); });
    server->start();
  }
  void TearDown() override { server->stop(); }

  bool viewerShowsTheRoot(Viewer& v, std::chrono::milliseconds timeout = 10s) {
    int width = 0, height = 0;
    const auto root = observer.rootPixels(width, height);
    return v.run(timeout, [&] { return v.matches(root, width, height); });
  }
};

TEST_F(X11DesktopShareTest, ViewerSeesTheDisplayAndOnlyWhatChanges) {
  Viewer viewer(socket, "zrle");  // lossless, so pixels compare exactly
  ASSERT_TRUE(viewerShowsTheRoot(viewer));
  viewer.takeRects();
  XMoveWindow(observer.get(), window, 180, 140);
  XSync(observer.get(), False);
  ASSERT_TRUE(viewerShowsTheRoot(viewer));
  const auto rects = viewer.takeRects();
  ASSERT_FALSE(rects.empty());
  // Damage is tracked in 64-pixel tiles: every rectangle sent touches the window's old or new
  // place, and together they stay well short of the screen.
  long area = 0;
  for (const Rect& r : rects) {
    const FrameRect fr(r.x, r.y, r.w, r.h);
    EXPECT_TRUE(fr.intersection(FrameRect(10, 10, 120, 80)) || fr.intersection(FrameRect(180, 140, 120, 80)))
        << r.x << "," << r.y << " " << r.w << "x" << r.h;
    area += long{r.w} * r.h;
  }
  EXPECT_LT(area, 320 * 240);
}

TEST_F(X11DesktopShareTest, ViewersKeysAndPointerReachTheClient) {
  Viewer a(socket, "zrle"), b(socket, "tight");
  ASSERT_TRUE(viewerShowsTheRoot(a));
  SendKeyEvent(a.client(), XK_h, TRUE);
  SendKeyEvent(a.client(), XK_h, FALSE);
  SendKeyEvent(a.client(), XK_i, TRUE);
  SendKeyEvent(a.client(), XK_i, FALSE);
  // Both hold q: one press, one release. Each viewer has its own connection thread, so every
  // step waits until the server has surely handled the one before.
  const auto settle = [&] { a.run(150ms); };
  settle();
  SendKeyEvent(a.client(), XK_q, TRUE);
  settle();
  SendKeyEvent(b.client(), XK_q, TRUE);
  settle();
  SendKeyEvent(a.client(), XK_q, FALSE);
  settle();
  SendKeyEvent(b.client(), XK_q, FALSE);
  settle();
  // Click and drag inside the window (at 10, 10).
  SendPointerEvent(a.client(), 50, 40, 1);
  SendPointerEvent(a.client(), 70, 60, 1);
  SendPointerEvent(a.client(), 70, 60, 0);
  // b goes away holding a key: it is released.
  SendKeyEvent(b.client(), XK_z, TRUE);
  b.run(200ms);
  b.disconnect();
  a.run(300ms);
  const auto records = observer.collect();
  std::string typed;
  int q = 0, zPress = 0, zRelease = 0;
  std::vector<std::tuple<int, unsigned, int, int>> buttons;
  bool dragged = false;
  for (const InputRecord& r : records) {
    if (r.type == KeyPress) typed += r.text;
    if (r.keysym == XK_q) q += r.type == KeyPress ? 1 : 10;
    if (r.keysym == XK_z) (r.type == KeyPress ? zPress : zRelease)++;
    if (r.type == ButtonPress || r.type == ButtonRelease) buttons.emplace_back(r.type, r.button, r.x, r.y);
    if (r.type == MotionNotify && r.x == 60 && r.y == 50) dragged = (r.state & Button1Mask) != 0;
  }
  EXPECT_EQ(typed, "hiqz");
  EXPECT_EQ(q, 11) << "one press and one release of the shared key";
  EXPECT_EQ(zPress, 1);
  EXPECT_EQ(zRelease, 1);
  EXPECT_EQ(buttons, (std::vector<std::tuple<int, unsigned, int, int>>{{ButtonPress, 1, 40, 30},
                                                                        {ButtonRelease, 1, 60, 50}}));
  EXPECT_TRUE(dragged);
}

TEST_F(X11DesktopShareTest, LockedScreenRefusesViewers) {
  XForceScreenSaver(observer.get(), ScreenSaverActive);
  XSync(observer.get(), False);
  EXPECT_THROW(Viewer(socket, "raw"), std::runtime_error);
  XForceScreenSaver(observer.get(), ScreenSaverReset);
  XSync(observer.get(), False);
  Viewer viewer(socket, "raw");
  EXPECT_TRUE(viewerShowsTheRoot(viewer));
}

TEST_F(X11DesktopShareTest, TigerVncViewerShowsTheSharedDisplay) {
  x11test::XvfbServer viewerDisplay(320, 240);
  testsupport::ProcessSpec spec;
  spec.argv = {"/usr/bin/vncviewer", "-SecurityTypes", "None", "-Shared", "-ViewOnly", "-FullScreen", "-MenuKey=",
               "-ReconnectOnError=0", "-AlertOnFatalError=0", socket};
  spec.env = {{"DISPLAY", viewerDisplay.display()}, {"HOME", dir.path()}};
  spec.timeout = 60s;
  testsupport::RunningProcess viewer(spec);
  x11test::TestClient screen(viewerDisplay.display());
  int width = 0, height = 0, viewerWidth = 0, viewerHeight = 0;
  const auto source = observer.rootPixels(width, height);
  // vncviewer asks for Tight, which this server sends as JPEG: compare with a JPEG's tolerance.
  double meanError = -1;
  const bool same = eventually([&] {
    const auto shown = screen.rootPixels(viewerWidth, viewerHeight);
    if (viewerWidth != width || viewerHeight != height) return false;
    double total = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) total += std::abs(int{shown[i]} - int{source[i]});
    meanError = total / (static_cast<double>(width) * height * 3);
    return meanError < 2.0;
  }, 20s);
  EXPECT_TRUE(same) << "mean error per channel " << meanError;
  viewer.signal(SIGTERM);
  viewer.wait();
}

}  // namespace
