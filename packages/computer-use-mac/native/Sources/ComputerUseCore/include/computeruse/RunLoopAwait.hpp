#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>

namespace computeruse {

// Waits for an asynchronous platform answer by running the calling thread's run loop in
// 0.05-second slices, so answers delivered through that run loop arrive meanwhile.
struct RunLoopAwait {
  static constexpr double kSliceSeconds = 0.05;
  // Returns when done() is true or `timeout` seconds have passed (at once when timeout <= 0,
  // without asking done). The caller learns the outcome from its own state.
  static void pumpUntil(double timeout, const std::function<bool()>& done);
};

// Hands one answer from whichever thread produces it to the waiting thread: the answer is
// stored before the flag is raised, and read only after the flag was seen.
template <typename T>
class AnswerBox {
 public:
  void deliver(T value) {
    {
      std::lock_guard<std::mutex> g(mutex_);
      if (done_.load(std::memory_order_relaxed)) return;  // the first answer wins
      value_ = std::move(value);
    }
    done_.store(true, std::memory_order_release);
  }
  bool isDone() const { return done_.load(std::memory_order_acquire); }
  std::optional<T> take() {
    std::lock_guard<std::mutex> g(mutex_);
    return std::move(value_);
  }

 private:
  std::mutex mutex_;
  std::optional<T> value_;  // guarded by mutex_
  std::atomic<bool> done_{false};
};

}  // namespace computeruse
