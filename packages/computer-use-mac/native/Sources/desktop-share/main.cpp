// desktop-share: serves a desktop over RFB 3.8 on a Unix-domain socket until SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

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

using namespace desktopshare;

namespace {

constexpr double syntheticFramesPerSecond = 30;

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
    if (options.frameSource != RfbFrameSourceKind::synthetic)
      return fail("unsupported_frame_source_sck (screen capture is not available on this system; use "
                  "--frame-source synthetic)");
    switch (options.input) {
      case RfbInputKind::session:
        return fail("unsupported_input_session (posting input into the desktop session is not available on "
                    "this system; use --input none or --input record)");
      case RfbInputKind::record: inputSink = std::make_unique<RecordingInputSink>(*options.inputPath); break;
      case RfbInputKind::none: inputSink = std::make_unique<NullInputSink>(); break;
    }
    frameSource = std::make_unique<SyntheticFrameSource>(options.geometry, syntheticFramesPerSecond);
    server = std::make_unique<RfbServer>(
        RfbServerConfiguration{options.socketPath, options.maxClients, options.name, options.allowedPeerPid},
        *frameSource, *inputSink, RfbServer::ConnectionGuard{}, log);
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
