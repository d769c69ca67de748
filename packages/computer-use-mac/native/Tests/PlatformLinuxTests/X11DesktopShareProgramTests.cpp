// The desktop-share program with its defaults (screen capture, session input) on an Xvfb display.
#include <gtest/gtest.h>
#include <rfb/rfbclient.h>
#include <signal.h>
#include <turbojpeg.h>

#include <X11/keysym.h>

#include <filesystem>

#include "X11TestClient.hpp"
#include "XvfbServer.hpp"
#include "testsupport/ProcessRunner.hpp"
#include "testsupport/TempDir.hpp"

using namespace std::chrono_literals;
using testsupport::ProcessResult;
using testsupport::ProcessSpec;
using testsupport::RunningProcess;

namespace {

void quiet(const char*, ...) {}

TEST(DesktopShareProgramOnX11, SharesTheDisplayAndTakesInput) {
  x11test::XvfbServer display(320, 240);
  x11test::TestClient observer(display.display());
  observer.hideCursor();
  observer.fill(observer.root(), 0, 0, 320, 240, 0x446688);
  observer.openInputWindow(20, 20, 100, 60);
  testsupport::TempDir dir;
  const std::string socket = dir / "desk.sock";
  ProcessSpec spec;
  spec.argv = {testsupport::binPath("desktop-share"), "--socket", socket};
  spec.env = {{"DISPLAY", display.display()}};
  spec.timeout = 60s;
  RunningProcess program(spec);
  ASSERT_TRUE(x11test::eventually([&] { return std::filesystem::exists(socket); }));

  rfbClientLog = quiet;
  rfbClientErr = quiet;
  rfbClient* client = rfbGetClient(8, 3, 4);
  client->appData.encodingsString = "zrle";
  std::free(client->serverHost);
  client->serverHost = strdup(socket.c_str());
  ASSERT_TRUE(rfbInitClient(client, nullptr, nullptr));
  int width = 0, height = 0;
  const auto root = observer.rootPixels(width, height);
  const auto matches = [&] {
    if (client->width != width || client->height != height) return false;
    for (std::size_t i = 0; i < static_cast<std::size_t>(width) * height; ++i)
      if (client->frameBuffer[4 * i] != root[4 * i + 2] || client->frameBuffer[4 * i + 2] != root[4 * i]) return false;
    return true;
  };
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!matches() && std::chrono::steady_clock::now() < deadline) {
    const int ready = WaitForMessage(client, 20000);
    if (ready < 0 || (ready > 0 && !HandleRFBServerMessage(client))) break;
  }
  EXPECT_TRUE(matches());
  SendKeyEvent(client, XK_k, TRUE);
  SendKeyEvent(client, XK_k, FALSE);
  SendPointerEvent(client, 30, 30, 1);
  SendPointerEvent(client, 30, 30, 0);
  const auto records = observer.collect(500ms);
  std::string typed;
  int clicks = 0;
  for (const auto& r : records) {
    if (r.type == KeyPress) typed += r.text;
    if (r.type == ButtonPress && r.x == 10 && r.y == 10) ++clicks;
  }
  EXPECT_EQ(typed, "k");
  EXPECT_EQ(clicks, 1);
  std::free(client->frameBuffer);
  client->frameBuffer = nullptr;
  if (client->tjhnd) tjDestroy(client->tjhnd);
  client->tjhnd = nullptr;
  rfbClientCleanup(client);

  program.signal(SIGTERM);
  const ProcessResult result = program.wait();
  EXPECT_EQ(result.exitCode, 0) << result.err;
}

TEST(DesktopShareProgramOnX11, WithoutADisplayItSaysSo) {
  testsupport::TempDir dir;
  ProcessSpec spec;
  spec.argv = {testsupport::binPath("desktop-share"), "--socket", dir / "desk.sock"};
  spec.env = {{"DISPLAY", std::nullopt}};
  const ProcessResult result = testsupport::runProcess(spec);
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.err, "desktop-share: shareable_content_cannot open display (DISPLAY is not set)\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "desk.sock"));
}

}  // namespace
