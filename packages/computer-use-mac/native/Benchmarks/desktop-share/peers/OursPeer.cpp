// Our RFB server serving the benchmark scene on a Unix socket until SIGTERM.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "../BenchScene.hpp"
#include "desktopshare/RfbServer.hpp"

using namespace desktopshare;

namespace {

// Delivers the scene once at start and a toggled block on every viewer pointer event; both
// images are built once and shared, so a change costs no pixel copy.
class SceneSource final : public FrameSource {
 public:
  SceneSource()
      : size_(benchscene::width, benchscene::height),
        images_{FramePixels(benchscene::pixels(false), size_), FramePixels(benchscene::pixels(true), size_)} {}
  FrameSize size() const override { return size_; }
  void start(FrameCallback onFrame, ResizeCallback) override {
    std::lock_guard guard(lock_);
    onFrame_ = std::move(onFrame);
    onFrame_(Frame(images_[toggled_], size_, {size_.bounds()}, sequence_++));
  }
  void stop() override {
    std::lock_guard guard(lock_);
    onFrame_ = nullptr;
  }
  void toggle() {
    std::lock_guard guard(lock_);
    if (!onFrame_) return;
    toggled_ = !toggled_;
    const FrameRect block(benchscene::blockX, benchscene::blockY, benchscene::blockSize, benchscene::blockSize);
    onFrame_(Frame(images_[toggled_], size_, {block}, sequence_++));
  }

 private:
  const FrameSize size_;
  const FramePixels images_[2];
  std::mutex lock_;
  FrameCallback onFrame_;
  int toggled_ = 0;
  std::uint64_t sequence_ = 0;
};

class ToggleSink final : public InputSink {
 public:
  explicit ToggleSink(SceneSource& source) : source_(source) {}
  std::unique_ptr<InputSession> open() override { return std::make_unique<Session>(source_); }

 private:
  class Session final : public InputSession {
   public:
    explicit Session(SceneSource& source) : source_(source) {}
    void pointer(const PointerInput&) override { source_.toggle(); }
    void key(const KeyInput&) override {}
    void close() noexcept override {}

   private:
    SceneSource& source_;
  };
  SceneSource& source_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <socket path>\n", argv[0]);
    return 2;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  SceneSource source;
  ToggleSink sink(source);
  RfbServer server(RfbServerConfiguration{argv[1], 4, "bench", {}}, source, sink);
  server.start();
  int signal = 0;
  sigwait(&signals, &signal);
  server.stop();
  return 0;
}
