#include "support/Clock.hpp"

#include <cmath>
#include <thread>

namespace support {

namespace {

class SystemClock final : public Clock {
 public:
  TimePoint now() const override {
    return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now());
  }
  void sleepFor(Duration d) override {
    if (d > Duration::zero()) std::this_thread::sleep_for(d);
  }
  void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint deadline) override {
    cv.wait_until(lock, deadline);
  }
};

}  // namespace

Clock& Clock::system() {
  static SystemClock clock;
  return clock;
}

Clock::Duration seconds(double s) {
  if (!(s > 0)) return Clock::Duration::zero();
  // Clamp absurd values instead of overflowing the 64-bit nanosecond count.
  if (s > 1e9) s = 1e9;
  return Clock::Duration(static_cast<Clock::Duration::rep>(std::llround(s * 1e9)));
}

Clock::TimePoint FakeClock::now() const {
  std::lock_guard<std::mutex> g(mutex_);
  return now_;
}

void FakeClock::sleepFor(Duration d) { advance(d); }

void FakeClock::waitUntil(std::unique_lock<std::mutex>&, std::condition_variable&, TimePoint deadline) {
  std::lock_guard<std::mutex> g(mutex_);
  if (deadline > now_) now_ = deadline;
}

void FakeClock::advance(Duration d) {
  std::lock_guard<std::mutex> g(mutex_);
  if (d > Duration::zero()) now_ += d;
}

}  // namespace support
