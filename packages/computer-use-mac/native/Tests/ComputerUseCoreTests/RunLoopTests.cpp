#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "computeruse/RunLoopAwait.hpp"
#include "support/RunLoop.hpp"

using namespace std::chrono_literals;

namespace {

// Counts slices by watching how far the fake clock moves per runOnce.
struct Fake {
  support::FakeClock clock;
  support::RunLoop loop{clock};
  support::RunLoop::Scope scope{loop};
};

}  // namespace

TEST(RunLoopAwait, NonPositiveTimeoutNeverAsksDone) {
  Fake f;
  int asked = 0;
  computeruse::RunLoopAwait::pumpUntil(0, [&] { return ++asked, false; });
  computeruse::RunLoopAwait::pumpUntil(-3, [&] { return ++asked, false; });
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(f.clock.now().time_since_epoch(), 0ns);
}

TEST(RunLoopAwait, DoneAtOnceDoesNotRunTheLoop) {
  Fake f;
  bool ran = false;
  f.loop.post([&] { ran = true; });
  int asked = 0;
  computeruse::RunLoopAwait::pumpUntil(1, [&] { return ++asked, true; });
  EXPECT_EQ(asked, 1);
  EXPECT_FALSE(ran);
}

TEST(RunLoopAwait, NeverDoneReturnsAfterTimeoutInShortSlices) {
  Fake f;
  int asked = 0;
  computeruse::RunLoopAwait::pumpUntil(1, [&] { return ++asked, false; });
  EXPECT_EQ(f.clock.now().time_since_epoch(), 1s);
  EXPECT_EQ(asked, 20);  // one question per 0.05 s slice
}

TEST(RunLoopAwait, AnswerPostedWithDelayEndsTheWaitWhenItArrives) {
  Fake f;
  bool answered = false;
  f.loop.post([&] { answered = true; }, 320ms);
  computeruse::RunLoopAwait::pumpUntil(10, [&] { return answered; });
  EXPECT_TRUE(answered);
  // The task ran at its due time inside a slice; the wait ended at the next check.
  EXPECT_EQ(f.clock.now().time_since_epoch(), 320ms);
}

TEST(RunLoop, TasksRunInDueOrderThenPostingOrder) {
  Fake f;
  std::string order;
  f.loop.post([&] { order += "c"; }, 20ms);
  f.loop.post([&] { order += "a"; });
  f.loop.post([&] { order += "b"; });
  while (f.loop.runOnce(50ms)) {
  }
  EXPECT_EQ(order, "abc");
  EXPECT_EQ(f.loop.pendingCount(), 0u);
}

TEST(RunLoop, SlowerSliceForOtherWaitersUsesTheSameLoop) {
  Fake f;
  int asked = 0;
  support::pumpRunLoopUntil(f.loop, 5s, 200ms, [&] { return ++asked, false; });
  EXPECT_EQ(asked, 25);
}

TEST(RunLoop, AnswerFromAnotherThreadWakesTheWaiter) {
  // Real clock: a worker answers through the waiting thread's run loop and through a box.
  support::RunLoop& loop = support::RunLoop::current();
  auto box = std::make_shared<computeruse::AnswerBox<int>>();
  std::atomic<bool> ranOnCaller{false};
  const auto caller = std::this_thread::get_id();
  std::thread worker([&loop, box, &ranOnCaller, caller] {
    std::this_thread::sleep_for(20ms);
    loop.post([box, &ranOnCaller, caller] {
      ranOnCaller = std::this_thread::get_id() == caller;
      box->deliver(7);
    });
  });
  const auto start = std::chrono::steady_clock::now();
  computeruse::RunLoopAwait::pumpUntil(5, [&] { return box->isDone(); });
  worker.join();
  EXPECT_TRUE(box->isDone());
  EXPECT_TRUE(ranOnCaller);
  EXPECT_EQ(box->take(), 7);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(RunLoop, BoxKeepsFirstAnswerAndIgnoresLateOnes) {
  computeruse::AnswerBox<int> box;
  std::thread a([&] { box.deliver(1); });
  a.join();
  box.deliver(2);
  EXPECT_EQ(box.take(), 1);
}
