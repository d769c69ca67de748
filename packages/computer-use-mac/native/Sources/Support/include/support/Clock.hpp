#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace support {

// Monotonic time as seen by waits and pauses. The system clock really sleeps; a fake clock
// lets tests run time-driven code (run-loop slices, pauses, time-outs) instantly.
class Clock {
 public:
  using Duration = std::chrono::nanoseconds;
  using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;

  virtual ~Clock() = default;
  virtual TimePoint now() const = 0;
  virtual void sleepFor(Duration d) = 0;
  // Blocks on `cv` (with `lock` held on entry and exit) until notified or `deadline`.
  virtual void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint deadline) = 0;

  // The process-wide steady clock.
  static Clock& system();
};

// Fractional seconds as a clock duration (negative and NaN become zero).
Clock::Duration seconds(double s);

// Time stands still until someone sleeps or waits: then it jumps to the end of that wait.
class FakeClock final : public Clock {
 public:
  TimePoint now() const override;
  void sleepFor(Duration d) override;
  void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint deadline) override;
  void advance(Duration d);

 private:
  mutable std::mutex mutex_;
  TimePoint now_{};  // guarded by mutex_
};

}  // namespace support
