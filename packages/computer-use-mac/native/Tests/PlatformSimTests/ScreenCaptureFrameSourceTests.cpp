#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "desktopshare/RfbProtocol.hpp"
#include "desktopshare/ScreenCaptureKitFrameSource.hpp"
#include "platform/PlatformError.hpp"
#include "platformsim/SimDesktopShare.hpp"

using namespace desktopshare;
using platform::CaptureRect;
using platformsim::ScriptedCaptureService;
using platformsim::SimPixelBuffer;

namespace {

std::string reasonOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

struct Received {
  std::mutex mutex;
  std::vector<Frame> frames;
  std::vector<FrameSize> resizes;
};

class CaptureSourceTest : public ::testing::Test {
 protected:
  ScriptedCaptureService service;
  Received received;

  void startSource(ScreenCaptureKitFrameSource& source) {
    source.start(
        [this](const Frame& f) {
          std::lock_guard<std::mutex> g(received.mutex);
          received.frames.push_back(f);
        },
        [this](FrameSize s) {
          std::lock_guard<std::mutex> g(received.mutex);
          received.resizes.push_back(s);
        });
  }
  bool deliver(std::int64_t w, std::int64_t h, std::optional<std::vector<CaptureRect>> dirty, std::uint8_t shade = 7) {
    return service.deliver(ScriptedCaptureService::completeSample(SimPixelBuffer::filled(w, h, shade, 1, 2), dirty));
  }
};

TEST_F(CaptureSourceTest, MainDisplayPicksTheMainOrTheFirstListed) {
  service.displays = std::vector<platform::CaptureDisplay>{{7, 800, 600}, {1, 1920, 1080}};
  auto source = ScreenCaptureKitFrameSource::mainDisplay(service, 0, 1.0);
  EXPECT_EQ(source->size(), FrameSize(1920, 1080));
  EXPECT_EQ(source->framesPerSecond(), 1);  // raised to 1

  service.mainDisplay = 99;
  service.answerContentLater = true;  // answered from another thread while the caller pumps
  EXPECT_EQ(ScreenCaptureKitFrameSource::mainDisplay(service, 30, 5.0)->display().displayId, 7u);
}

TEST_F(CaptureSourceTest, MainDisplayFailures) {
  service.contentError = "The operation couldn't be completed.";
  EXPECT_EQ(reasonOf([&] { ScreenCaptureKitFrameSource::mainDisplay(service, 30, 1.0); }),
            "shareable_content_The operation couldn't be completed.");
  service.contentError.reset();
  service.displays = std::vector<platform::CaptureDisplay>{};
  EXPECT_EQ(reasonOf([&] { ScreenCaptureKitFrameSource::mainDisplay(service, 30, 1.0); }), "no_shareable_display");
  service.displays = std::vector<platform::CaptureDisplay>{{1, 10, 10}};
  service.answerContent = false;
  EXPECT_EQ(reasonOf([&] { ScreenCaptureKitFrameSource::mainDisplay(service, 30, 0.2); }), "no_shareable_display");
}

TEST_F(CaptureSourceTest, StartConfiguresTheStreamAndRefusesASecondStart) {
  ScreenCaptureKitFrameSource source(service, {1, 64, 32}, 24);
  startSource(source);
  ASSERT_EQ(service.configurations().size(), 1u);
  const auto c = service.configurations()[0];
  EXPECT_EQ(c.width, 64);
  EXPECT_EQ(c.height, 32);
  EXPECT_EQ(c.pixelFormat, 0x42475241u);
  EXPECT_TRUE(c.showsCursor);
  EXPECT_EQ(c.minimumFrameIntervalValue, 1);
  EXPECT_EQ(c.minimumFrameIntervalTimescale, 24);
  EXPECT_EQ(c.queueDepth, 3);
  EXPECT_THROW(startSource(source), FrameSourceError);
  EXPECT_EQ(service.configurations().size(), 1u);
  EXPECT_TRUE(service.capturing());
  source.stop();
  EXPECT_FALSE(service.capturing());
  EXPECT_EQ(service.stopCount(), 1);
  source.stop();
  EXPECT_EQ(service.stopCount(), 1);
}

TEST_F(CaptureSourceTest, FailedStartsCleanUpAndLeaveTheSourceStartable) {
  ScreenCaptureKitFrameSource source(service, {1, 64, 32}, 30, std::chrono::milliseconds(100));
  service.startOutcome = ScriptedCaptureService::StartOutcome::fail;
  EXPECT_EQ(reasonOf([&] { startSource(source); }),
            "capture_start_The user declined TCCs for application, window, display capture");
  service.startOutcome = ScriptedCaptureService::StartOutcome::neverAnswer;
  EXPECT_EQ(reasonOf([&] { startSource(source); }), "capture_start_timeout");
  service.startOutcome = ScriptedCaptureService::StartOutcome::succeed;
  service.addOutputError = "output refused";
  EXPECT_THROW(startSource(source), platform::PlatformError);
  EXPECT_EQ(service.stopCount(), 3);
  service.addOutputError.reset();
  startSource(source);
  EXPECT_TRUE(deliver(64, 32, std::nullopt));
  EXPECT_EQ(received.frames.size(), 1u);
}

TEST_F(CaptureSourceTest, DeliversChangesOnlyAndNumbersThem) {
  ScreenCaptureKitFrameSource source(service, {1, 128, 64}, 30);
  startSource(source);
  deliver(128, 64, std::vector<CaptureRect>{});                      // first: full even if empty
  deliver(128, 64, std::vector<CaptureRect>{});                      // unchanged: dropped
  deliver(128, 64, std::vector<CaptureRect>{{10.2, 20.7, 5.5, 1.1}});
  deliver(128, 64, std::nullopt);                                     // unknown damage: full
  ASSERT_EQ(received.frames.size(), 3u);
  EXPECT_EQ(received.frames[0].sequence(), 0u);
  EXPECT_EQ(received.frames[0].dirtyRects(), std::vector<FrameRect>{FrameRect(0, 0, 128, 64)});
  EXPECT_EQ(received.frames[1].sequence(), 1u);
  EXPECT_EQ(received.frames[1].dirtyRects(), std::vector<FrameRect>{FrameRect(10, 20, 6, 2)});
  EXPECT_EQ(received.frames[2].sequence(), 2u);
  EXPECT_EQ(received.frames[2].dirtyRects(), std::vector<FrameRect>{FrameRect(0, 0, 128, 64)});
  EXPECT_EQ(received.frames[1].pixels().pixel(127, 63), (BGRAPixel{7, 1, 2, 255}));

  // A restart numbers from 0 again.
  source.stop();
  received.frames.clear();
  startSource(source);
  deliver(128, 64, std::vector<CaptureRect>{{0, 0, 1, 1}});
  ASSERT_EQ(received.frames.size(), 1u);
  EXPECT_EQ(received.frames[0].sequence(), 0u);
  EXPECT_EQ(received.frames[0].dirtyRects(), std::vector<FrameRect>{FrameRect(0, 0, 128, 64)});
}

TEST_F(CaptureSourceTest, DropsSamplesWithoutACompleteBgraImage) {
  ScreenCaptureKitFrameSource source(service, {1, 16, 16}, 30);
  EXPECT_FALSE(deliver(16, 16, std::nullopt));  // not started: no stream
  startSource(source);
  auto sample = [](auto&& edit) {
    auto s = ScriptedCaptureService::completeSample(SimPixelBuffer::filled(16, 16, 0, 0, 0), std::nullopt);
    edit(s);
    return s;
  };
  service.deliver(sample([](platform::CaptureSample& s) { s.outputType = platform::CaptureOutputType::audio; }));
  service.deliver(sample([](platform::CaptureSample& s) { s.isValid = false; }));
  service.deliver(sample([](platform::CaptureSample& s) { s.attachments.reset(); }));
  service.deliver(sample([](platform::CaptureSample& s) { s.attachments->clear(); }));
  service.deliver(sample([](platform::CaptureSample& s) { s.attachments->front().status = 1; }));
  service.deliver(sample([](platform::CaptureSample& s) { s.attachments->front().status.reset(); }));
  service.deliver(sample([](platform::CaptureSample& s) { s.imageBuffer.reset(); }));
  service.deliver(sample([](platform::CaptureSample& s) {
    s.imageBuffer = std::make_shared<SimPixelBuffer>(16, 16, 64, std::vector<std::uint8_t>(1024), 0x34323076);
  }));
  auto locked = SimPixelBuffer::filled(16, 16, 0, 0, 0);
  locked->failLock = true;
  service.deliver(sample([&](platform::CaptureSample& s) { s.imageBuffer = locked; }));
  auto narrow = std::make_shared<SimPixelBuffer>(16, 16, 60, std::vector<std::uint8_t>(960));  // pitch < 4 × width
  service.deliver(sample([&](platform::CaptureSample& s) { s.imageBuffer = narrow; }));
  EXPECT_TRUE(received.frames.empty());
  EXPECT_EQ(narrow->unlockCount, narrow->lockCount);
  // The two failed copies used up sequences 0 and 1.
  deliver(16, 16, std::nullopt);
  ASSERT_EQ(received.frames.size(), 1u);
  EXPECT_EQ(received.frames[0].sequence(), 2u);
}

TEST_F(CaptureSourceTest, ReportsEachNewSizeOnceAndWithholdsFrames) {
  ScreenCaptureKitFrameSource source(service, {1, 256, 144}, 30);
  startSource(source);
  deliver(128, 72, std::nullopt);
  deliver(128, 72, std::nullopt);
  deliver(64, 36, std::nullopt);
  deliver(128, 72, std::nullopt);
  EXPECT_TRUE(received.frames.empty());
  EXPECT_EQ(received.resizes, (std::vector<FrameSize>{FrameSize(128, 72), FrameSize(64, 36), FrameSize(128, 72)}));
  deliver(256, 144, std::vector<CaptureRect>{{0, 0, 1, 1}});
  ASSERT_EQ(received.frames.size(), 1u);
  EXPECT_EQ(received.frames[0].sequence(), 0u);
}

TEST(ScreenCaptureDamage, ParsesDirtyRectangles) {
  using platform::DirtyRectDictionary;
  using platform::DirtyRectsAttachment;
  using platform::DirtyRectValue;
  using platform::OtherAttachmentValue;
  const double inf = std::numeric_limits<double>::infinity();
  auto parse = [](DirtyRectsAttachment a) { return ScreenCaptureKitFrameSource::parseDirtyRects(a); };
  EXPECT_EQ(ScreenCaptureKitFrameSource::parseDirtyRects(std::nullopt), std::nullopt);
  EXPECT_EQ(parse({false, {}}), std::nullopt);
  EXPECT_EQ(parse({true, {}}), std::vector<FrameRect>{});
  EXPECT_EQ(parse({true, {DirtyRectDictionary{CaptureRect{1, 2, 3, 4}}, DirtyRectValue{{10.2, 20.7, 5.5, 1.1}}}}),
            (std::vector<FrameRect>{FrameRect(1, 2, 3, 4), FrameRect(10, 20, 6, 2)}));
  EXPECT_EQ(parse({true, {DirtyRectValue{{10, 10, -4, -2}}}}), std::vector<FrameRect>{FrameRect(6, 8, 4, 2)});
  // One bad element makes the whole list unknown.
  for (platform::DirtyRectElement bad : std::vector<platform::DirtyRectElement>{
           OtherAttachmentValue{}, DirtyRectDictionary{std::nullopt}, DirtyRectValue{{inf, inf, 0, 0}},
           DirtyRectValue{{-8.98e307, -8.98e307, 1.79e308, 1.79e308}}, DirtyRectValue{{std::nan(""), 0, 1, 1}},
           DirtyRectValue{{1048577, 0, 1, 1}}, DirtyRectValue{{0, 0, 1, -1048577}}})
    EXPECT_EQ(parse({true, {DirtyRectValue{{0, 0, 1, 1}}, bad}}), std::nullopt);
  EXPECT_EQ(parse({true, {DirtyRectValue{{1048576, -1048576, 1, 1}}}}),
            std::vector<FrameRect>{FrameRect(1048576, -1048576, 1, 1)});
}

TEST(ScreenCaptureDamage, NormalisesToFullWhenFragmentedOrLarge) {
  const FrameSize size(100, 100);
  const std::vector<FrameRect> full{FrameRect(0, 0, 100, 100)};
  auto normalize = [&](std::optional<std::vector<FrameRect>> r) {
    return ScreenCaptureKitFrameSource::normalizedDamage(r, size);
  };
  EXPECT_EQ(normalize(std::nullopt), full);
  std::vector<FrameRect> many(32, FrameRect(98, 98, 5, 5));
  EXPECT_EQ(normalize(many), std::vector<FrameRect>(32, FrameRect(98, 98, 2, 2)));
  many.push_back(FrameRect(0, 0, 1, 1));
  EXPECT_EQ(normalize(many), full);
  EXPECT_EQ(normalize(std::vector<FrameRect>{FrameRect(0, 0, 100, 60)}), std::vector<FrameRect>{FrameRect(0, 0, 100, 60)});
  EXPECT_EQ(normalize(std::vector<FrameRect>{FrameRect(0, 0, 100, 61)}), full);
  // Overlaps count twice: 2 × 31 percent.
  EXPECT_EQ(normalize(std::vector<FrameRect>{FrameRect(0, 0, 100, 31), FrameRect(0, 0, 100, 31)}), full);
  EXPECT_EQ(normalize(std::vector<FrameRect>{FrameRect(200, 0, 5, 5), FrameRect(-5, -5, 5, 5)}), std::vector<FrameRect>{});
}

TEST_F(CaptureSourceTest, StopWhileTheStreamDeliversFromItsThread) {
  ScreenCaptureKitFrameSource source(service, {1, 32, 32}, 60);
  for (int round = 0; round < 20; ++round) {
    startSource(source);
    std::atomic<bool> go{true};
    std::thread feeder([&] {
      for (int i = 0; go && i < 200; ++i) deliver(32, 32, std::vector<CaptureRect>{{0, 0, 4, 4}});
    });
    std::this_thread::yield();
    source.stop();
    go = false;
    feeder.join();
  }
  std::lock_guard<std::mutex> g(received.mutex);
  // Within each run sequences rise from 0; a run restarts at 0.
  for (std::size_t i = 1; i < received.frames.size(); ++i) {
    if (received.frames[i].sequence() != 0) {
      EXPECT_EQ(received.frames[i].sequence(), received.frames[i - 1].sequence() + 1);
    }
  }
}

}  // namespace
