// The screen-capture frame source on the X11 capture stream, against the pixels and damage of
// a real X server.
#include <gtest/gtest.h>

#include <X11/cursorfont.h>
#include <X11/extensions/Xrandr.h>

#include <mutex>

#include "X11TestClient.hpp"
#include "XvfbServer.hpp"
#include "desktopshare/RfbProtocol.hpp"
#include "desktopshare/ScreenCaptureKitFrameSource.hpp"
#include "platformlinux/X11Desktop.hpp"

using namespace desktopshare;
using namespace std::chrono_literals;

namespace {

class Collector {
 public:
  void frame(const Frame& f) {
    std::lock_guard<std::mutex> g(mutex_);
    frames_.push_back(f);
  }
  void resize(FrameSize s) {
    std::lock_guard<std::mutex> g(mutex_);
    resizes_.push_back(s);
  }
  std::vector<Frame> frames() const {
    std::lock_guard<std::mutex> g(mutex_);
    return frames_;
  }
  std::vector<FrameSize> resizes() const {
    std::lock_guard<std::mutex> g(mutex_);
    return resizes_;
  }
  std::size_t count() const { return frames().size(); }

 private:
  mutable std::mutex mutex_;
  std::vector<Frame> frames_;
  std::vector<FrameSize> resizes_;
};

void expectSamePixels(const Frame& frame, const std::vector<std::uint8_t>& expected, int width, int height) {
  ASSERT_EQ(frame.size(), FrameSize(width, height));
  int mismatches = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const BGRAPixel p = frame.pixels().pixel(x, y);
      const std::uint8_t* e = &expected[(static_cast<std::size_t>(y) * width + x) * 4];
      if (p.blue != e[0] || p.green != e[1] || p.red != e[2]) ++mismatches;
    }
  EXPECT_EQ(mismatches, 0);
}

class X11CaptureTest : public ::testing::Test {
 protected:
  x11test::XvfbServer server{320, 240};
  x11test::TestClient client{server.display()};
  platformlinux::X11ScreenCaptureService service{server.display()};
  Collector collector;

  void SetUp() override { client.hideCursor(); }

  std::unique_ptr<ScreenCaptureKitFrameSource> started(int fps = 60) {
    auto source = ScreenCaptureKitFrameSource::mainDisplay(service, fps, 5.0);
    source->start([this](const Frame& f) { collector.frame(f); }, [this](FrameSize s) { collector.resize(s); });
    return source;
  }
};

TEST_F(X11CaptureTest, FramesMatchTheRootAndCarryOnlyTheDamage) {
  client.fill(client.root(), 0, 0, 320, 240, 0x203040);
  auto source = started();
  EXPECT_EQ(source->size(), FrameSize(320, 240));
  ASSERT_TRUE(x11test::eventually([&] { return collector.count() >= 1; }));
  int width = 0, height = 0;
  auto root = client.rootPixels(width, height);
  expectSamePixels(collector.frames()[0], root, width, height);
  EXPECT_EQ(collector.frames()[0].sequence(), 0u);
  EXPECT_EQ(collector.frames()[0].dirtyRects(), std::vector<FrameRect>{FrameRect(0, 0, 320, 240)});

  // Nothing changes: nothing is delivered.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(collector.count(), 1u);

  client.fill(client.root(), 100, 50, 30, 20, 0xFF8000);
  ASSERT_TRUE(x11test::eventually([&] { return collector.count() >= 2; }));
  const Frame second = collector.frames()[1];
  EXPECT_EQ(second.sequence(), 1u);
  EXPECT_EQ(second.dirtyRects(), std::vector<FrameRect>{FrameRect(100, 50, 30, 20)});
  EXPECT_EQ(second.pixels().pixel(110, 60), (BGRAPixel{0x00, 0x80, 0xFF, second.pixels().pixel(110, 60).alpha}));
  root = client.rootPixels(width, height);
  expectSamePixels(second, root, width, height);

  // A window moving over the desktop damages where it was and where it is.
  Window w = client.openInputWindow(10, 10, 40, 40);
  client.fill(w, 0, 0, 40, 40, 0x00FF00);
  ASSERT_TRUE(x11test::eventually([&] {
    const auto frames = collector.frames();
    return frames.back().pixels().pixel(20, 20) == BGRAPixel{0, 0xFF, 0, frames.back().pixels().pixel(20, 20).alpha};
  }));
  const std::size_t before = collector.count();
  XMoveWindow(client.get(), w, 200, 150);
  XSync(client.get(), False);
  ASSERT_TRUE(x11test::eventually([&] { return collector.count() > before; }));
  std::this_thread::sleep_for(100ms);
  const auto frames = collector.frames();
  std::int64_t area = 0;
  for (std::size_t i = before; i < frames.size(); ++i)
    for (const FrameRect& r : frames[i].dirtyRects()) {
      EXPECT_TRUE(FrameRect(10, 10, 40, 40).intersection(r) || FrameRect(200, 150, 40, 40).intersection(r))
          << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
      area += r.width() * r.height();
    }
  EXPECT_LE(area, 2 * 40 * 40 * 2);
  root = client.rootPixels(width, height);
  expectSamePixels(frames.back(), root, width, height);
  source->stop();
}

// Switches the server's only output to a mode of the given size and resizes the screen to
// match, as a display settings change would. False when the server refuses.
bool setScreenSize(Display* d, int width, int height) {
  const Window root = DefaultRootWindow(d);
  XRRScreenResources* resources = XRRGetScreenResources(d, root);
  if (!resources || resources->noutput < 1 || resources->ncrtc < 1) return false;
  RRMode mode = None;
  for (int i = 0; i < resources->nmode; ++i)
    if (static_cast<int>(resources->modes[i].width) == width && static_cast<int>(resources->modes[i].height) == height)
      mode = resources->modes[i].id;
  if (mode == None) {
    std::string name = std::to_string(width) + "x" + std::to_string(height);
    XRRModeInfo info{};
    info.width = static_cast<unsigned>(width);
    info.height = static_cast<unsigned>(height);
    info.dotClock = static_cast<unsigned long>(width) * height * 60;
    info.hTotal = static_cast<unsigned>(width);
    info.vTotal = static_cast<unsigned>(height);
    info.name = name.data();
    info.nameLength = static_cast<unsigned>(name.size());
    mode = XRRCreateMode(d, root, &info);
    XRRAddOutputMode(d, resources->outputs[0], mode);
  }
  XWindowAttributes before{};
  XGetWindowAttributes(d, root, &before);
  // The screen must always contain the output: grow it first, shrink it last.
  if (width > before.width || height > before.height) XRRSetScreenSize(d, root, width, height, width / 4, height / 4);
  const Status s = XRRSetCrtcConfig(d, resources, resources->crtcs[0], CurrentTime, 0, 0, mode, RR_Rotate_0,
                                    resources->outputs, 1);
  if (width < before.width || height < before.height) XRRSetScreenSize(d, root, width, height, width / 4, height / 4);
  XRRFreeScreenResources(resources);
  XSync(d, False);
  XWindowAttributes after{};
  XGetWindowAttributes(d, root, &after);
  return s == RRSetConfigSuccess && after.width == width && after.height == height;
}

TEST_F(X11CaptureTest, ASizeChangeIsReportedAndFramesWaitForTheSizeToReturn) {
  auto source = started();
  ASSERT_TRUE(x11test::eventually([&] { return collector.count() >= 1; }));
  Display* d = client.get();
  ASSERT_TRUE(setScreenSize(d, 160, 120));
  ASSERT_TRUE(x11test::eventually([&] { return !collector.resizes().empty(); }, 5s));
  const std::size_t framesWhileSmall = collector.count();
  client.fill(client.root(), 0, 0, 50, 50, 0x123456);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(collector.count(), framesWhileSmall);
  EXPECT_EQ(collector.resizes(), std::vector<FrameSize>{FrameSize(160, 120)});
  ASSERT_TRUE(setScreenSize(d, 320, 240));
  ASSERT_TRUE(x11test::eventually([&] { return collector.count() > framesWhileSmall; }, 5s));
  EXPECT_EQ(collector.frames().back().dirtyRects(), std::vector<FrameRect>{FrameRect(0, 0, 320, 240)});
  int width = 0, height = 0;
  const auto root = client.rootPixels(width, height);
  expectSamePixels(collector.frames().back(), root, width, height);
  source->stop();
}

TEST_F(X11CaptureTest, ThePointerIsDrawnAndFollowed) {
  Display* d = client.get();
  client.fill(client.root(), 0, 0, 320, 240, 0x000000);
  const Cursor arrow = XCreateFontCursor(d, XC_left_ptr);
  XDefineCursor(d, client.root(), arrow);
  XWarpPointer(d, None, client.root(), 0, 0, 0, 0, 100, 100);
  XSync(d, False);
  auto source = started();
  const auto drawnNear = [](const Frame& f, int x, int y) {
    for (int dy = 0; dy < 16; ++dy)
      for (int dx = 0; dx < 16; ++dx)
        if (f.pixels().pixel(x + dx, y + dy).red > 0x80) return true;
    return false;
  };
  ASSERT_TRUE(x11test::eventually([&] { return collector.count() >= 1 && drawnNear(collector.frames().back(), 100, 100); }));
  const std::size_t before = collector.count();
  XWarpPointer(d, None, client.root(), 0, 0, 0, 0, 200, 150);
  XSync(d, False);
  ASSERT_TRUE(x11test::eventually([&] { return collector.count() > before; }));
  const Frame moved = collector.frames().back();
  EXPECT_TRUE(drawnNear(moved, 200, 150));
  EXPECT_FALSE(drawnNear(moved, 100, 100)) << "the old place shows the screen again";
  bool coversOld = false, coversNew = false;
  for (const FrameRect& r : moved.dirtyRects()) {
    coversOld = coversOld || r.contains(FrameRect(100, 100, 1, 1));
    coversNew = coversNew || r.contains(FrameRect(200, 150, 1, 1));
  }
  EXPECT_TRUE(coversOld);
  EXPECT_TRUE(coversNew);
  XFreeCursor(d, arrow);
  source->stop();
}

TEST(X11Capture, MissingDisplayAndAServerThatGoesAway) {
  platformlinux::X11ScreenCaptureService nowhere(":9998");
  try {
    ScreenCaptureKitFrameSource::mainDisplay(nowhere, 30, 1.0);
    ADD_FAILURE() << "no error";
  } catch (const RfbProtocolError& e) {
    EXPECT_EQ(e.reason(), "shareable_content_cannot open display on display \":9998\"");
  }

  x11test::XvfbServer server(64, 48);
  platformlinux::X11ScreenCaptureService service(server.display());
  auto source = ScreenCaptureKitFrameSource::mainDisplay(service, 120, 5.0);
  Collector collector;
  source->start([&](const Frame& f) { collector.frame(f); }, [&](FrameSize s) { collector.resize(s); });
  ASSERT_TRUE(x11test::eventually([&] { return collector.count() >= 1; }));
  server.stop();
  std::this_thread::sleep_for(100ms);
  source->stop();  // neither the lost server nor the stop may take the process down
  EXPECT_THROW(source->start([](const Frame&) {}, [](FrameSize) {}), RfbProtocolError);
}

}  // namespace
