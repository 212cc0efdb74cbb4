// SPDX-License-Identifier: Apache-2.0
// The worker thread base: start rules, Synchronize and its main-thread loop, the pause gate,
// and that nothing escapes a worker.
#include "transfer/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace qv {
namespace {

using namespace std::chrono_literals;

// Runs a given body as its job.
class TLambdaThread : public TThread {
 public:
  TLambdaThread(bool ASuspended, std::function<void(TLambdaThread&)> ABody)
      : TThread(ASuspended), FBody(std::move(ABody)) {}
  ~TLambdaThread() override { WaitFor(); }
  using TThread::Synchronize;
  using TThread::Post;
  using TThread::WaitPosted;
  using TThread::WaitIfPaused;
  using TThread::ReleasePause;

 protected:
  void Execute() override { FBody(*this); }

 private:
  std::function<void(TLambdaThread&)> FBody;
};

// Serves Synchronize calls until the thread has ended; false after a generous limit.
bool ServeUntilFinished(TThread& thread) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!thread.Finished()) {
    TThread::CheckSynchronize(10);
    if (std::chrono::steady_clock::now() > deadline) return false;
  }
  TThread::CheckSynchronize();
  return true;
}

TEST(ThreadStart, SuspendedThreadRunsOnlyWhenResumed) {
  std::atomic<int> runs{0};
  {
    TLambdaThread never(true, [&](TLambdaThread&) { ++runs; });
    EXPECT_FALSE(never.Started());
    never.WaitFor();  // returns at once for a thread never started
  }
  EXPECT_EQ(runs.load(), 0);

  TLambdaThread once(true, [&](TLambdaThread&) { ++runs; });
  once.Resume();
  once.Resume();  // a second start request must not start a second job
  once.Start();
  once.WaitFor();
  EXPECT_TRUE(once.Finished());
  EXPECT_EQ(runs.load(), 1);
  EXPECT_EQ(once.ReturnValue(), 0);
}

TEST(ThreadStart, PriorityIsAcceptedAndKept) {
  TLambdaThread thread(true, [](TLambdaThread&) {});
  for (auto p : {tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical}) {
    thread.SetPriority(p);
    EXPECT_EQ(thread.Priority(), p);
  }
}

TEST(ThreadExceptions, EscapingExceptionStillEndsTheThreadWithANonZeroValue) {
  TLambdaThread badAlloc(true, [](TLambdaThread&) { throw std::bad_alloc(); });
  badAlloc.Start();
  badAlloc.WaitFor();
  EXPECT_TRUE(badAlloc.Finished());
  EXPECT_TRUE(badAlloc.Terminated());
  EXPECT_NE(badAlloc.ReturnValue(), 0);

  TLambdaThread other(true, [](TLambdaThread&) { throw 42; });
  other.Start();
  other.WaitFor();
  EXPECT_NE(other.ReturnValue(), 0);
}

TEST(ThreadExceptions, ExceptionOfASynchronizedCallReachesTheWorker) {
  std::atomic<bool> caught{false};
  TLambdaThread thread(true, [&](TLambdaThread& self) {
    try {
      self.Synchronize([] { throw std::runtime_error("handler failed"); });
    } catch (const std::runtime_error&) {
      caught = true;
    }
  });
  thread.Start();
  ASSERT_TRUE(ServeUntilFinished(thread));
  EXPECT_TRUE(caught.load());
  EXPECT_EQ(thread.ReturnValue(), 0);
}

TEST(Synchronize, CallsRunOnTheMainThreadInOrderWhileTheWorkerWaits) {
  std::vector<int> order;  // written only on the main thread
  std::vector<int> seenByWorker;
  bool offMain = false;
  TLambdaThread thread(true, [&](TLambdaThread& self) {
    for (int i = 1; i <= 5; ++i) {
      self.Synchronize([&, i] {
        if (!TThread::IsMainThread()) offMain = true;
        order.push_back(i);
      });
      // The call has run completely before Synchronize returns.
      seenByWorker.push_back(static_cast<int>(order.size()));
    }
  });
  thread.Start();
  ASSERT_TRUE(ServeUntilFinished(thread));
  EXPECT_FALSE(offMain);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(seenByWorker, (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST(Post, CallsRunOnTheMainThreadInOrderOneAtATime) {
  std::vector<int> order;  // written only on the main thread
  std::atomic<int> ran{0};  // what the worker may read of it while a call runs
  std::vector<int> seenBeforeNext;
  std::atomic<bool> offMain{false};
  TLambdaThread thread(true, [&](TLambdaThread& self) {
    for (int i = 1; i <= 5; ++i) {
      self.Post([&, i] {
        if (!TThread::IsMainThread()) offMain = true;
        order.push_back(i);
        ++ran;
      });
      // Only one call is outstanding: the one before has run when the next is posted.
      seenBeforeNext.push_back(ran.load() >= i - 1 ? 1 : 0);
    }
    self.WaitPosted();
    seenBeforeNext.push_back(ran.load());
  });
  thread.Start();
  ASSERT_TRUE(ServeUntilFinished(thread));
  EXPECT_FALSE(offMain.load());
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(seenBeforeNext, (std::vector<int>{1, 1, 1, 1, 1, 5}));
}

TEST(Post, WorkerGoesOnWhileTheCallWaitsAndTheThreadEndsOnlyAfterIt) {
  std::atomic<bool> ran{false};
  std::atomic<bool> returned{false};
  TLambdaThread thread(true, [&](TLambdaThread& self) {
    self.Post([&] { ran = true; });
    returned = true;  // not waiting for the main thread
  });
  thread.Start();
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!returned && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_TRUE(returned.load());
  std::this_thread::sleep_for(20ms);
  // The job has returned, but the thread still owes its posted call.
  EXPECT_FALSE(ran.load());
  EXPECT_FALSE(thread.Finished());
  ASSERT_TRUE(ServeUntilFinished(thread));
  EXPECT_TRUE(ran.load());
}

TEST(Post, ExceptionOfAPostedCallReachesTheWorkerAtItsWait) {
  std::atomic<bool> caught{false};
  TLambdaThread thread(true, [&](TLambdaThread& self) {
    self.Post([] { throw std::runtime_error("handler failed"); });
    try {
      self.WaitPosted();
    } catch (const std::runtime_error&) {
      caught = true;
    }
  });
  thread.Start();
  ASSERT_TRUE(ServeUntilFinished(thread));
  EXPECT_TRUE(caught.load());
  EXPECT_EQ(thread.ReturnValue(), 0);
}

TEST(Synchronize, WorkerIsHeldUntilTheMainThreadServesTheCall) {
  std::atomic<bool> queued{false};
  std::atomic<bool> passed{false};
  TThread::SetWakeMainThread([&] { queued = true; });
  TLambdaThread thread(true, [&](TLambdaThread& self) {
    self.Synchronize([] {});
    passed = true;
  });
  thread.Start();
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!queued && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_TRUE(queued.load()) << "the wake-up hook was not called";
  EXPECT_FALSE(passed.load());
  EXPECT_FALSE(thread.Finished());
  EXPECT_TRUE(TThread::CheckSynchronize());
  thread.WaitFor();
  EXPECT_TRUE(passed.load());
  TThread::SetWakeMainThread(nullptr);
}

TEST(Synchronize, CallFromTheMainThreadRunsDirectly) {
  TLambdaThread thread(true, [](TLambdaThread&) {});
  bool ran = false;
  thread.Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);
  EXPECT_FALSE(TThread::CheckSynchronize());  // nothing was queued
}

TEST(CheckSynchronize, WaitingReturnsWhenAThreadEndsLongBeforeTheTimeout) {
  std::atomic<bool> go{false};
  TLambdaThread thread(true, [&](TLambdaThread&) {
    while (!go) std::this_thread::yield();
  });
  thread.Start();
  go = true;
  const auto start = std::chrono::steady_clock::now();
  while (!thread.Finished()) TThread::CheckSynchronize(60'000);
  // A wait that ignored the thread's end would take the full minute.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}

TEST(CheckSynchronize, DestroyingAWorkerBlockedInSynchronizeServesTheCall) {
  std::atomic<int> served{0};
  {
    TLambdaThread thread(true, [&](TLambdaThread& self) { self.Synchronize([&] { ++served; }); });
    thread.Start();
  }  // would deadlock if destruction only joined
  EXPECT_EQ(served.load(), 1);
}

TEST(PauseGate, HeldWorkerWaitsUntilContinued) {
  std::atomic<int> steps{0};
  std::atomic<bool> atGate{false};
  TLambdaThread thread(true, [&](TLambdaThread& self) {
    atGate = true;
    self.WaitIfPaused();
    ++steps;
  });
  thread.Suspend();
  thread.Resume();  // starts it and opens the gate...
  thread.WaitFor();
  EXPECT_EQ(steps.load(), 1);

  std::atomic<int> held{0};
  TLambdaThread paused(true, [&](TLambdaThread& self) {
    self.WaitIfPaused();
    ++held;
  });
  paused.Start();
  paused.Pause();  // may close the gate before or after the worker arrives
  paused.Continue();
  paused.WaitFor();
  EXPECT_EQ(held.load(), 1);
  EXPECT_FALSE(paused.Paused());
}

TEST(PauseGate, ReleaseAndTerminateOpenAClosedGate) {
  for (int variant = 0; variant < 2; ++variant) {
    std::atomic<bool> passed{false};
    TLambdaThread thread(true, [&](TLambdaThread& self) {
      self.WaitIfPaused();
      passed = true;
    });
    thread.Suspend();
    thread.Start();  // starts with the gate closed
    EXPECT_TRUE(thread.Paused());
    EXPECT_FALSE(passed.load());
    if (variant == 0)
      thread.ReleasePause();
    else
      thread.Terminate();
    thread.WaitFor();
    EXPECT_TRUE(passed.load()) << "variant " << variant;
  }
}

TEST(RunInline, JobRunsOnceOnTheCallingThreadAndTheThreadCountsAsEnded) {
  int runs = 0;
  std::thread::id ranOn;
  TLambdaThread thread(true, [&](TLambdaThread&) {
    ++runs;
    ranOn = std::this_thread::get_id();
  });
  thread.RunInline();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_TRUE(thread.Finished());
  EXPECT_TRUE(thread.Started());
  EXPECT_TRUE(thread.RanInline());
  // Neither a later start nor a second inline run repeats the job; waiting returns at once.
  thread.Start();
  thread.Resume();
  thread.RunInline();
  thread.WaitFor();
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(thread.ReturnValue(), 0);

  // A job already running on its own thread is not run a second time inline.
  std::atomic<int> started{0};
  TLambdaThread threaded(true, [&](TLambdaThread&) { ++started; });
  threaded.Start();
  threaded.RunInline();
  threaded.WaitFor();
  EXPECT_EQ(started.load(), 1);
  EXPECT_FALSE(threaded.RanInline());
}

TEST(RunInline, SynchronizeRunsDirectlyEvenAwayFromTheMainThread) {
  // Run inline on a helper thread: nobody serves the queue there, so a queued call would hang.
  std::vector<int> order;
  bool queuedSomething = true;
  std::thread helper([&] {
    TLambdaThread thread(true, [&](TLambdaThread& self) {
      self.Synchronize([&] { order.push_back(1); });
      order.push_back(2);  // the call has run before Synchronize returned
      self.Synchronize([&] { order.push_back(3); });
    });
    thread.RunInline();
    queuedSomething = TThread::CheckSynchronize();
  });
  helper.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(queuedSomething);
}

TEST(RunInline, ExceptionsEndTheJobAsOnAThread) {
  TLambdaThread escaping(true, [](TLambdaThread&) { throw std::runtime_error("job failed"); });
  escaping.RunInline();  // must not propagate to the caller
  EXPECT_TRUE(escaping.Finished());
  EXPECT_TRUE(escaping.Terminated());
  EXPECT_NE(escaping.ReturnValue(), 0);

  bool caught = false;
  TLambdaThread handled(true, [&](TLambdaThread& self) {
    try {
      self.Synchronize([] { throw std::runtime_error("handler failed"); });
    } catch (const std::runtime_error&) {
      caught = true;
    }
  });
  handled.RunInline();
  EXPECT_TRUE(caught);
  EXPECT_EQ(handled.ReturnValue(), 0);
}

TEST(RunInline, PauseGateNeverHoldsTheCallingThread) {
  // Pressed before the run or from a progress handler during it: the caller is the only one
  // who could continue, so the gate must let the job through.
  int passed = 0;
  TLambdaThread thread(true, [&](TLambdaThread& self) {
    self.WaitIfPaused();
    ++passed;
    self.Synchronize([&] { self.Pause(); });
    self.WaitIfPaused();
    ++passed;
  });
  thread.Suspend();
  thread.RunInline();
  EXPECT_EQ(passed, 2);
  EXPECT_TRUE(thread.Finished());
}

}  // namespace
}  // namespace qv
