// desktop-share: serves a desktop over RFB 3.8 on a Unix-domain socket until SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "desktopshare/FrameSource.hpp"
#include "desktopshare/InputSink.hpp"
#include "desktopshare/RfbCommandOptions.hpp"
#include "desktopshare/RfbProtocol.hpp"
#include "desktopshare/RfbServer.hpp"
#include "desktopshare/ScreenCaptureKitFrameSource.hpp"
#include "desktopshare/SessionGuard.hpp"
#include "desktopshare/SessionInputArbiter.hpp"
#include "platformlinux/X11Desktop.hpp"

using namespace desktopshare;

namespace {

constexpr double syntheticFramesPerSecond = 30;
constexpr int captureFramesPerSecond = 60;
constexpr double shareableContentTimeout = 5;  // seconds
// Viewers' clicks: a press this soon and this near (pixels per axis) after the last one repeats it.
constexpr double doubleClickInterval = 0.5;
constexpr double doubleClickSlop = 4;

double steadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int fail(const std::string& reason) {
  std::fprintf(stderr, "desktop-share: %s\n", reason.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);

  // Blocked before any thread exists, so only the waiting thread below ever takes them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGUSR1);  // the main thread's "server ended" nudge
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);  // e.g. a closed stderr pipe must not kill the server

  // Held until the "listening" line is out, so no viewer's line can come before it.
  std::mutex logOrder;
  std::unique_lock startLines(logOrder);
  // The X display named by DISPLAY, behind screen capture, session input and the session
  // guard; declared first so that they outlive the source, the sink and the server.
  std::unique_ptr<platformlinux::X11ScreenCaptureService> captureService;
  std::unique_ptr<platformlinux::X11SessionEventPoster> eventPoster;
  std::unique_ptr<platformlinux::X11SessionStateReader> sessionReader;
  std::unique_ptr<SessionGuard> sessionGuard;
  std::unique_ptr<FrameSource> frameSource;
  std::unique_ptr<InputSink> inputSink;
  std::unique_ptr<RfbServer> server;
  auto log = [&logOrder](const std::string& line) {
    std::lock_guard guard(logOrder);
    const std::string whole = line + "\n";
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, whole.data(), whole.size());
  };
  try {
    const RfbCommandOptions options = RfbCommandOptions::parse(arguments);
    if (options.frameSource == RfbFrameSourceKind::sck) {
      captureService = std::make_unique<platformlinux::X11ScreenCaptureService>();
      frameSource =
          ScreenCaptureKitFrameSource::mainDisplay(*captureService, captureFramesPerSecond, shareableContentTimeout);
    } else {
      frameSource = std::make_unique<SyntheticFrameSource>(options.geometry, syntheticFramesPerSecond);
    }
    switch (options.input) {
      case RfbInputKind::session:
        eventPoster = std::make_unique<platformlinux::X11SessionEventPoster>();
        inputSink = std::make_unique<SessionInputArbiter>(
            *eventPoster, SessionInputArbiter::Configuration{{0, 0}, doubleClickInterval, doubleClickSlop},
            steadySeconds);
        break;
      case RfbInputKind::record: inputSink = std::make_unique<RecordingInputSink>(*options.inputPath); break;
      case RfbInputKind::none: inputSink = std::make_unique<NullInputSink>(); break;
    }
    // Sharing the real session's screen or input is allowed only while it is this user's,
    // on the console and unlocked.
    RfbServer::ConnectionGuard guard;
    if (options.frameSource == RfbFrameSourceKind::sck || options.input == RfbInputKind::session) {
      sessionReader = std::make_unique<platformlinux::X11SessionStateReader>();
      sessionGuard = std::make_unique<SessionGuard>(*sessionReader);
      guard = [g = sessionGuard.get(), uid = static_cast<std::uint32_t>(::getuid())] { return g->check(uid); };
    }
    server = std::make_unique<RfbServer>(
        RfbServerConfiguration{options.socketPath, options.maxClients, options.name, options.allowedPeerPid},
        *frameSource, *inputSink, guard, log);
    server->start();
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  const std::string listening = "[desktop-share] listening on " + server->configuration().socketPath + "\n";
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, listening.data(), listening.size());
  startLines.unlock();

  bool stoppedBySignal = false;
  std::thread waiter([&] {
    for (;;) {
      int signal = 0;
      if (sigwait(&signals, &signal) != 0 || signal == SIGUSR1) return;
      stoppedBySignal = true;
      server->stop();
    }
  });
  server->waitUntilStopped();
  pthread_kill(waiter.native_handle(), SIGUSR1);
  waiter.join();
  // Viewers' input sessions are closed by now; the sink and source go with their owners.
  server.reset();
  return stoppedBySignal ? 0 : 1;
}
