#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <condition_variable>

#include "support/Clock.hpp"

namespace support {

// A per-thread run loop: other parts (and other threads) post tasks to it, each due after a
// delay; the owning thread runs them while it waits for something (see pumpRunLoopUntil).
// This is how asynchronous platform answers reach a caller that blocks on them.
class RunLoop {
 public:
  explicit RunLoop(Clock& clock = Clock::system());
  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

  // The calling thread's run loop: the one installed by a Scope, else one created on first use.
  static RunLoop& current();

  // Makes `loop` the current run loop of the calling thread for the lifetime of the scope.
  class Scope {
   public:
    explicit Scope(RunLoop& loop);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    RunLoop* previous_;
  };

  // Thread-safe. Tasks due at the same moment run in posting order.
  void post(std::function<void()> task, Clock::Duration delay = Clock::Duration::zero());

  // Waits up to `maxWait` for a task to become due, runs at most one, and reports whether it
  // ran one. Call only from the thread that runs this loop.
  bool runOnce(Clock::Duration maxWait);

  std::size_t pendingCount() const;
  Clock& clock() const { return clock_; }

 private:
  Clock& clock_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  // Keyed by (due time, sequence) so equal due times keep posting order.  Guarded by mutex_.
  std::map<std::pair<Clock::TimePoint, std::uint64_t>, std::function<void()>> tasks_;
  std::uint64_t nextSequence_ = 0;  // guarded by mutex_
};

// Runs `loop` in slices of at most `slice` until `done()` or until `timeout` has passed.
// A non-positive timeout returns at once without asking `done`.
void pumpRunLoopUntil(RunLoop& loop, Clock::Duration timeout, Clock::Duration slice,
                      const std::function<bool()>& done);

}  // namespace support
