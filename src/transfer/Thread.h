// SPDX-License-Identifier: Apache-2.0
#pragma once
// Worker threads with the classic desktop-runtime contract: created suspended or running,
// a cooperative pause gate, and Synchronize, which runs a call on the main thread while the
// worker waits. The main thread's waiting loops drive queued calls with CheckSynchronize.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace qv {

enum class TThreadPriority : uint8_t {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical,
};
using enum TThreadPriority;

struct TSyncCall;  // a call queued for the main thread (Thread.cpp)

class TThread {
 public:
  // A thread is never started by a constructor: Execute is not ready before the most derived
  // constructor has finished. ACreateSuspended false only records the wish; the owner (or a
  // most derived constructor) calls Start() once construction is complete.
  explicit TThread(bool ACreateSuspended);
  // Waits for a started thread to end. Queued Synchronize calls of this thread are run meanwhile
  // when destruction happens on the main thread, so a worker blocked in one cannot deadlock.
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts the thread if it has not been started yet; otherwise does nothing.
  void Start();
  // Runs the job on the calling thread instead of starting the thread, for jobs so small that
  // a thread of their own costs more than the job. Synchronize then runs its call directly,
  // the pause gate never holds (nobody else could open it), an escaping exception goes to
  // HandleException as on a thread, and Finished is true afterwards. Does nothing for a job
  // already started or run.
  void RunInline();
  bool RanInline() const { return FInline; }
  // Ends a job that was never started without running it (cancelled before its turn):
  // Finished is true afterwards and Execute never runs. Does nothing for a job started or run.
  void EndUnrun();
  bool EndedUnrun() const { return FUnrun; }
  // Starts a thread that was never started, and opens the pause gate.
  void Resume();
  // Closes the pause gate: the worker stops at its next WaitIfPaused.
  void Suspend();
  void Pause() { Suspend(); }
  void Continue() { Resume(); }
  bool Paused() const { return FPaused.load(std::memory_order_acquire); }

  // Sets the Terminated flag; Execute is expected to poll it.
  void Terminate();
  bool Terminated() const { return FTerminated.load(std::memory_order_acquire); }
  // True once the thread function has returned (Execute ended, exceptions included).
  bool Finished() const { return FFinished.load(std::memory_order_acquire); }
  bool Started() const { return FStarted; }
  bool CreatedSuspended() const { return FCreateSuspended; }
  // Blocks until a started thread has ended; returns at once for a thread never started.
  // On the main thread, queued Synchronize calls are run while waiting.
  void WaitFor();

  // Accepted and remembered; threads run at the normal scheduling priority.
  TThreadPriority Priority() const { return FPriority; }
  void SetPriority(TThreadPriority APriority) { FPriority = APriority; }

  // Non-zero when Execute ended with an exception.
  int ReturnValue() const { return FReturnValue.load(std::memory_order_acquire); }

  // Main thread: runs every queued Synchronize call. With timeoutMs > 0 and nothing queued,
  // waits up to that long for a queued call or for any thread's end, whichever comes first,
  // and runs what was queued. Returns true when at least one call ran.
  static bool CheckSynchronize(int timeoutMs = 0);
  // Called (from the worker thread) whenever a call is queued or a thread ends, so that a GUI
  // event loop can schedule CheckSynchronize. Set it before workers run; empty clears it.
  static void SetWakeMainThread(std::function<void()> AWake);
  // The thread that CheckSynchronize is meant for; the thread that loaded the program unless
  // changed. Synchronize from this thread runs the call directly.
  static void SetMainThreadId(std::thread::id AId);
  static bool IsMainThread();

 protected:
  // The job. Exceptions are caught by the base and passed to HandleException.
  virtual void Execute() = 0;
  // Runs on the worker thread when Execute let an exception escape. The default stores a
  // non-zero ReturnValue and sets Terminated; workers override it to finish with a code.
  virtual void HandleException() noexcept;

  // Runs AMethod on the main thread and waits until it has run. An exception raised by
  // AMethod is rethrown here on the worker thread.
  void Synchronize(const std::function<void()>& AMethod);
  // Queues AMethod for the main thread like Synchronize, but returns at once, so the worker
  // goes on while the main thread runs it. One such call is outstanding at a time: the next
  // Post, and WaitPosted, first wait for it (and rethrow its exception). The thread waits for
  // an outstanding call before it ends.
  void Post(std::function<void()> AMethod);
  void WaitPosted();
  // The worker's pause gate, passed between blocks: blocks while paused, unless the gate
  // was released by ReleasePause (a cancel request) or the thread is terminated.
  void WaitIfPaused();
  // Releases a held worker for good (a cancel request must never wait behind a pause).
  void ReleasePause();

 private:
  void ThreadProc();
  static void Enqueue(TSyncCall& ACall);
  static void AwaitCall(TSyncCall& ACall);

  std::thread FThread;
  bool FCreateSuspended;
  bool FStarted = false;
  bool FInline = false;
  bool FUnrun = false;
  TThreadPriority FPriority = tpNormal;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FPaused{false};
  std::atomic<bool> FPauseReleased{false};
  std::atomic<int> FReturnValue{0};
  std::mutex FGateMutex;
  std::condition_variable FGate;
  std::function<void()> FPostedMethod;
  std::unique_ptr<TSyncCall> FPosted;  // the outstanding Post, if FPostPending
  bool FPostPending = false;
};

}  // namespace qv
