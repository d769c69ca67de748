#include "desktopshare/FrameSource.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/Check.hpp"

namespace desktopshare {

namespace {

std::chrono::nanoseconds intervalFor(double framesPerSecond) {
  JEXO_CHECK(framesPerSecond > 0, "frames per second must be positive");
  const double nanos = std::trunc(1e9 / framesPerSecond);
  JEXO_CHECK(nanos < 9.2e18, "frame interval does not fit 64 bits");
  return std::chrono::nanoseconds(static_cast<std::int64_t>(nanos));
}

void fillRect(std::vector<std::uint8_t>& buffer, FrameSize size, const FrameRect& rect, BGRAPixel colour) {
  const auto clipped = rect.intersection(size.bounds());
  if (!clipped) return;
  const std::uint8_t bytes[4] = {colour.blue, colour.green, colour.red, colour.alpha};
  for (std::int64_t y = clipped->y(); y < clipped->maxY(); ++y) {
    std::uint8_t* p = buffer.data() + (y * size.width() + clipped->x()) * 4;
    for (std::int64_t x = 0; x < clipped->width(); ++x, p += 4) std::copy(bytes, bytes + 4, p);
  }
}

FrameRect blockRect(FrameSize size, std::uint64_t sequence) {
  const std::int64_t bw = std::min<std::int64_t>(size.width(), 64);
  const std::int64_t bh = std::min<std::int64_t>(size.height(), 64);
  const auto span = static_cast<std::uint64_t>(size.width() - bw + 1);
  // (17 × s) mod span, computed without overflowing for huge sequences.
  const auto x = static_cast<std::int64_t>((17 * (sequence % span)) % span);
  const std::int64_t y = std::max<std::int64_t>(std::min<std::int64_t>(size.height() - bh, 32), 0);
  return FrameRect(x, y, bw, bh);
}

FrameRect counterStrip(FrameSize size) {
  return FrameRect(0, 8, std::min<std::int64_t>(size.width(), 512),
                   std::max<std::int64_t>(std::min<std::int64_t>(size.height(), 24) - 8, 0));
}

}  // namespace

Frame SyntheticFrameSource::frame(FrameSize size, std::uint64_t sequence) {
  const std::int64_t w = size.width(), h = size.height();
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(w * h * 4));
  std::uint8_t* p = buffer.data();
  for (std::int64_t y = 0; y < h; ++y) {
    for (std::int64_t x = 0; x < w; ++x, p += 4) {
      p[0] = static_cast<std::uint8_t>(3 * x + y);
      p[1] = static_cast<std::uint8_t>(2 * y + x / 4);
      p[2] = static_cast<std::uint8_t>(x ^ y);
      p[3] = 255;
    }
  }
  const FrameRect block = blockRect(size, sequence);
  fillRect(buffer, size, block, BGRAPixel{0x20, 0xDC, 0xFA, 0xFF});
  const FrameRect strip = counterStrip(size);
  if (!strip.isEmpty()) {
    for (std::int64_t i = 0; i < 64 && 8 * i < strip.width(); ++i) {
      const bool set = (sequence >> i) & 1U;
      const FrameRect cell(8 * i, 8, std::min<std::int64_t>(strip.width() - 8 * i, 8), strip.height());
      fillRect(buffer, size, cell, set ? BGRAPixel{0xF5, 0xF5, 0xF5, 0xFF} : BGRAPixel{0x18, 0x18, 0x18, 0xFF});
    }
  }
  std::vector<FrameRect> dirty;
  if (sequence == 0) {
    dirty = {size.bounds()};
  } else {
    dirty = {strip, blockRect(size, sequence - 1), block};
  }
  return Frame(FramePixels(std::move(buffer), 4 * w, size), size, dirty, sequence);
}

struct SyntheticFrameSource::State {
  State(FrameSize size, std::chrono::nanoseconds interval) : size(size), interval(interval) {}

  void run();

  const FrameSize size;
  const std::chrono::nanoseconds interval;
  std::mutex lock;
  std::condition_variable wake;
  bool timer = false;       // guarded by lock; present from start until stop
  bool scheduled = false;   // guarded by lock; the timer runs (after the first frame)
  std::uint64_t generation = 0;  // guarded by lock; bumped by start and stop
  std::chrono::steady_clock::time_point deadline;  // guarded by lock
  FrameCallback onFrame;         // guarded by lock
  std::uint64_t nextSequence = 0;  // guarded by lock; never reset
  bool shutdown = false;           // guarded by lock
  std::thread thread;              // started by the first start, joined by the source's destructor
};

// The serial timer queue: one frame at a time, built and delivered outside the lock so that
// a callback may call stop().
void SyntheticFrameSource::State::run() {
  std::unique_lock guard(lock);
  while (!shutdown) {
    if (!timer || !scheduled) {
      wake.wait(guard);
      continue;
    }
    const std::uint64_t armed = generation;
    if (wake.wait_until(guard, deadline, [&] { return shutdown || generation != armed; })) continue;
    const auto now = std::chrono::steady_clock::now();
    deadline += interval;
    if (deadline < now) deadline = now + interval;  // fell behind: skip, do not burst
    if (!onFrame) continue;
    const std::uint64_t s = nextSequence++;
    FrameCallback callback = onFrame;
    guard.unlock();
    callback(SyntheticFrameSource::frame(size, s));
    guard.lock();
  }
}

SyntheticFrameSource::SyntheticFrameSource(FrameSize size, double framesPerSecond)
    : size_(size), interval_(intervalFor(framesPerSecond)), state_(std::make_shared<State>(size, interval_)) {}

SyntheticFrameSource::~SyntheticFrameSource() {
  {
    std::lock_guard guard(state_->lock);
    state_->shutdown = true;
    state_->timer = false;
    state_->onFrame = nullptr;
  }
  state_->wake.notify_all();
  if (!state_->thread.joinable()) return;
  if (state_->thread.get_id() == std::this_thread::get_id()) {
    // Released from inside its own callback: the thread holds the state and ends by itself.
    state_->thread.detach();
  } else {
    state_->thread.join();
  }
}

void SyntheticFrameSource::start(FrameCallback onFrame, ResizeCallback /*onResize: the size never changes*/) {
  std::unique_lock guard(state_->lock);
  if (state_->timer) throw FrameSourceError(FrameSourceError::Kind::alreadyStarted);
  if (!state_->thread.joinable()) {
    std::shared_ptr<State> state = state_;
    state_->thread = std::thread([state] { state->run(); });
  }
  state_->timer = true;
  state_->scheduled = false;
  const std::uint64_t armed = ++state_->generation;
  state_->onFrame = onFrame;
  const std::uint64_t s = state_->nextSequence++;
  guard.unlock();

  onFrame(frame(s));

  guard.lock();
  if (state_->generation != armed) return;  // stopped (or restarted) from inside the callback
  state_->deadline = std::chrono::steady_clock::now() + interval_;
  state_->scheduled = true;
  guard.unlock();
  state_->wake.notify_all();
}

void SyntheticFrameSource::stop() {
  {
    std::lock_guard guard(state_->lock);
    if (!state_->timer) return;
    state_->timer = false;
    state_->scheduled = false;
    state_->onFrame = nullptr;
    ++state_->generation;
  }
  state_->wake.notify_all();
}

}  // namespace desktopshare
