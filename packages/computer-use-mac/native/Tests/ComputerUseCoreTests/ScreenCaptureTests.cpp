#include "PngDecode.hpp"
#include "SimFixture.hpp"

using namespace computeruse;
using namespace cutest;

namespace {

class Capture : public SimFixture {
 protected:
  ScreenCapture& capture() {
    if (!capture_) capture_ = std::make_unique<ScreenCapture>(*desktop, *desktop);
    return *capture_;
  }
  std::unique_ptr<ScreenCapture> capture_;
};

json windowApp(int pid, json windows) { return {{"pid", pid}, {"name", "W" + std::to_string(pid)}, {"windows", windows}}; }

json window(int number, json frame, json extra = json::object()) {
  json w = {{"number", number}, {"title", "T"}, {"frame", frame}};
  for (auto it = extra.begin(); it != extra.end(); ++it) w[it.key()] = it.value();
  return w;
}

}  // namespace

TEST_F(Capture, ScaleAndPixelSize) {
  struct Case {
    double w, h;
    double scale;
    std::int64_t pw, ph;
  } cases[] = {
      {1200, 800, 1, 1200, 800}, {3200, 1000, 0.5, 1600, 500}, {3200, 0.6, 0.5, 1600, 1}, {0, 0, 1, 1, 1},
      {1000, 1601, 1600.0 / 1601, 999, 1600},
  };
  for (const auto& c : cases) {
    const double s = ScreenCapture::scaleFor(c.w, c.h, 1600);
    EXPECT_DOUBLE_EQ(s, c.scale);
    EXPECT_EQ(ScreenCapture::pixelExtent(c.w, s), c.pw);
    EXPECT_EQ(ScreenCapture::pixelExtent(c.h, s), c.ph);
  }
}

TEST_F(Capture, WindowCaptureIsAPngOfTheWindow) {
  json big = window(5, {50, 60, 3200, 1000});
  big["children"] = {{{"id", "red"}, {"role", "AXButton"}, {"color", "#FF0000"}, {"frame", {250, 260, 200, 100}}}};
  load({{"applications", {windowApp(100, {big})}}});
  auto r = capture().captureWindow(100, 5, 1600);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->isWindowCapture);
  EXPECT_EQ(r->scale, 0.5);
  EXPECT_EQ(r->sourceFrame, Rect(50, 60, 3200, 1000));
  EXPECT_EQ(r->screenshotWidth, 1600);
  EXPECT_EQ(r->screenshotHeight, 500);
  auto png = decodePng(r->png);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, 1600u);
  EXPECT_EQ(png->height, 500u);
  // The red element covers points (250..450, 260..360): pixels ((250-50)/2 .. , (260-60)/2 ..).
  EXPECT_EQ(png->rgb(100, 100), 0xFF0000u);
  EXPECT_EQ(png->rgb(199, 149), 0xFF0000u);
  EXPECT_NE(png->rgb(201, 151), 0xFF0000u);
  EXPECT_EQ(png->at(0, 0)[3], 0xFF);
}

TEST_F(Capture, WindowChoice) {
  load({{"applications",
         {windowApp(100, {window(1, {0, 0, 300, 300}, {{"minimized", true}}), window(2, {0, 0, 50, 50}, {{"title", ""}}),
                          window(3, {0, 0, 150, 80}, {{"title", ""}}), window(4, {0, 0, 80, 80})}),
          windowApp(200, {window(6, {0, 0, 100, 100}, {{"title", ""}})})}}});
  auto content = capture().shareableContent();
  ASSERT_TRUE(content);
  EXPECT_EQ(ScreenCapture::resolveCaptureWindowID(100, std::nullopt, *content), 3u);  // wider than 100
  EXPECT_EQ(ScreenCapture::resolveCaptureWindowID(100, 4, *content), 4u);
  EXPECT_FALSE(ScreenCapture::resolveCaptureWindowID(100, 1, *content));  // minimised: no fallback
  EXPECT_FALSE(ScreenCapture::resolveCaptureWindowID(200, std::nullopt, *content));
  EXPECT_EQ(ScreenCapture::resolveCaptureWindowID(200, 2, *content), 2u);  // preferred need not be the pid's
}

TEST_F(Capture, MinimisedOrUnsuitableWindowsGiveADisplayCapture) {
  load({{"displays", {{{"id", 3}, {"width", 2880}, {"height", 1800}, {"color", "#123456"}}}},
        {"applications",
         {windowApp(100, {window(1, {0, 0, 300, 300}, {{"minimized", true}})}),
          windowApp(200, {window(2, {10, 10, 90, 90}, {{"title", ""}})})}}});
  for (auto [pid, preferred] : {std::pair{100, std::optional<std::uint32_t>(1)}, {200, std::nullopt}}) {
    auto r = capture().captureWindow(pid, preferred, 1600);
    ASSERT_TRUE(r);
    EXPECT_FALSE(r->isWindowCapture);
    EXPECT_EQ(r->sourceFrame, Rect(0, 0, 2880, 1800));
    EXPECT_EQ(r->screenshotWidth, 1600);
    EXPECT_EQ(r->screenshotHeight, 1000);
    auto png = decodePng(r->png);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->rgb(1500, 900), 0x123456u);
  }
}

TEST_F(Capture, FailuresGiveNoResult) {
  json app = windowApp(100, {window(1, {0, 0, 300, 300})});
  struct Case {
    const char* name;
    json changes;
  } cases[] = {
      {"no permission", {{"permissions", {{"screenRecording", false}}}}},
      {"content error", {{"failures", {{"shareableContent", "error"}}}}},
      {"content timeout", {{"failures", {{"shareableContent", "timeout"}}}}},
      {"capture error", {{"failures", {{"capture", "error"}}}}},
      {"capture timeout", {{"failures", {{"capture", "timeout"}}}}},
  };
  for (const auto& c : cases) {
    json scenario = c.changes;
    scenario["applications"] = {app};
    load(scenario);
    capture_.reset();
    EXPECT_FALSE(capture().captureWindow(100, 1, 1600)) << c.name;
  }
  load({{"permissions", {{"screenRecording", false}}}, {"applications", {app}}});
  capture_.reset();
  EXPECT_EQ(capture().resolveCaptureWindowID(100, 77), 77u);
  EXPECT_FALSE(capture().resolveCaptureWindowID(100, std::nullopt));
}

TEST_F(Capture, LateAnswerAfterTimeoutIsHarmless) {
  load({{"answerDelay", 9.0}, {"applications", {windowApp(100, {window(1, {0, 0, 300, 300})})}}});
  EXPECT_FALSE(capture().shareableContent());  // 5 s limit passed first
  EXPECT_EQ(loop.pendingCount(), 1u);
  loop.runOnce(std::chrono::seconds(10));  // the late answer lands in a box nobody reads
  EXPECT_EQ(loop.pendingCount(), 0u);
}

TEST_F(Capture, PngRefusesMalformedImages) {
  EXPECT_FALSE(ScreenCapture::pngData({0, 5, {}}));
  EXPECT_FALSE(ScreenCapture::pngData({2, 2, std::vector<std::uint8_t>(15)}));
  auto png = ScreenCapture::pngData({1, 1, {1, 2, 3, 4}});
  ASSERT_TRUE(png);
  auto d = decodePng(*png);
  ASSERT_TRUE(d);
  EXPECT_EQ(std::vector<std::uint8_t>(d->rgba.begin(), d->rgba.end()), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}
