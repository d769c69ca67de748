#include "support/RunLoop.hpp"

#include <memory>

namespace support {

namespace {
thread_local RunLoop* installed = nullptr;
thread_local std::unique_ptr<RunLoop> ownLoop;
}  // namespace

RunLoop::RunLoop(Clock& clock) : clock_(clock) {}

RunLoop& RunLoop::current() {
  if (installed) return *installed;
  if (!ownLoop) ownLoop = std::make_unique<RunLoop>();
  return *ownLoop;
}

RunLoop::Scope::Scope(RunLoop& loop) : previous_(installed) { installed = &loop; }
RunLoop::Scope::~Scope() { installed = previous_; }

void RunLoop::post(std::function<void()> task, Clock::Duration delay) {
  if (delay < Clock::Duration::zero()) delay = Clock::Duration::zero();
  {
    std::lock_guard<std::mutex> g(mutex_);
    tasks_.emplace(std::make_pair(clock_.now() + delay, nextSequence_++), std::move(task));
  }
  wake_.notify_all();
}

bool RunLoop::runOnce(Clock::Duration maxWait) {
  const auto deadline = clock_.now() + maxWait;
  std::function<void()> task;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      const auto now = clock_.now();
      if (!tasks_.empty() && tasks_.begin()->first.first <= now) {
        auto it = tasks_.begin();
        task = std::move(it->second);
        tasks_.erase(it);
        break;
      }
      if (now >= deadline) return false;
      auto wakeAt = deadline;
      if (!tasks_.empty() && tasks_.begin()->first.first < wakeAt) wakeAt = tasks_.begin()->first.first;
      clock_.waitUntil(lock, wake_, wakeAt);
    }
  }
  // Run outside the lock: a task may post further tasks.
  task();
  return true;
}

std::size_t RunLoop::pendingCount() const {
  std::lock_guard<std::mutex> g(mutex_);
  return tasks_.size();
}

void pumpRunLoopUntil(RunLoop& loop, Clock::Duration timeout, Clock::Duration slice,
                      const std::function<bool()>& done) {
  Clock& clock = loop.clock();
  const auto deadline = clock.now() + timeout;
  if (clock.now() >= deadline) return;
  for (;;) {
    if (done()) return;
    loop.runOnce(slice);
    if (clock.now() >= deadline) return;
  }
}

}  // namespace support
