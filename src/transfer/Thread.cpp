// SPDX-License-Identifier: Apache-2.0
#include "transfer/Thread.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <utility>

namespace qv {

// One queued call; a Synchronize call lives on the waiting worker's stack, a posted one in
// the thread object.
struct TSyncCall {
  const std::function<void()>* Method = nullptr;
  std::atomic<bool> Done{false};
  std::exception_ptr Error;
};

namespace {

// Shared by all threads: the queue of calls for the main thread and the count of ended
// threads, so that a waiting CheckSynchronize wakes for either.
struct TSyncState {
  std::mutex Mutex;
  std::condition_variable MainWake;
  std::condition_variable CallDone;
  std::deque<TSyncCall*> Queue;
  std::atomic<uint64_t> Queued{0};  // calls ever queued, readable without the mutex
  std::atomic<uint64_t> EndedThreads{0};
  std::function<void()> Wake;
  std::thread::id MainThread = std::this_thread::get_id();
  // Waits of the main thread whose spin saw nothing arrive, in a row. A worker that reports
  // once per large block leaves every spin empty; the main thread then sleeps at once and
  // spins again only now and then, to notice when calls come close together again.
  std::atomic<uint32_t> SpinMisses{0};
};

TSyncState& SyncState() {
  static TSyncState state;
  return state;
}

// Captures the main thread while the program is being loaded.
[[maybe_unused]] const bool gSyncStateReady = (SyncState(), true);

void WakeMainThread() {
  std::function<void()> wake;
  {
    std::lock_guard lock(SyncState().Mutex);
    wake = SyncState().Wake;
  }
  if (wake) wake();
}

// A progress report is a round trip to the main thread once per block; when both sides have a
// core, the answer comes within microseconds, so each side spins that long before sleeping.
constexpr auto kSpinTime = std::chrono::microseconds(50);

template <typename Ready>
bool SpinUntil(Ready ready) {
  const auto until = std::chrono::steady_clock::now() + kSpinTime;
  do {
    for (int i = 0; i < 64; ++i) {
      if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
  } while (std::chrono::steady_clock::now() < until);
  return ready();
}

}  // namespace

TThread::TThread(bool ACreateSuspended) : FCreateSuspended(ACreateSuspended) {}

TThread::~TThread() { WaitFor(); }

void TThread::Start() {
  if (FStarted) return;
  FStarted = true;
  FThread = std::thread([this] { ThreadProc(); });
}

void TThread::RunInline() {
  if (FStarted) return;
  FStarted = true;
  FInline = true;
  try {
    Execute();
  } catch (...) {
    HandleException();
  }
  FFinished.store(true, std::memory_order_release);
}

void TThread::EndUnrun() {
  if (FStarted) return;
  FStarted = true;
  FInline = true;
  FUnrun = true;
  FFinished.store(true, std::memory_order_release);
}

void TThread::Resume() {
  Start();
  {
    std::lock_guard lock(FGateMutex);
    FPaused.store(false, std::memory_order_release);
  }
  FGate.notify_all();
}

void TThread::Suspend() {
  std::lock_guard lock(FGateMutex);
  FPaused.store(true, std::memory_order_release);
}

void TThread::Terminate() {
  {
    std::lock_guard lock(FGateMutex);
    FTerminated.store(true, std::memory_order_release);
  }
  FGate.notify_all();
}

void TThread::ReleasePause() {
  {
    std::lock_guard lock(FGateMutex);
    FPauseReleased.store(true, std::memory_order_release);
  }
  FGate.notify_all();
}

void TThread::WaitIfPaused() {
  if (FInline) return;  // the only thread that could continue it is running the job
  std::unique_lock lock(FGateMutex);
  FGate.wait(lock, [this] {
    return !FPaused.load(std::memory_order_acquire) ||
           FPauseReleased.load(std::memory_order_acquire) ||
           FTerminated.load(std::memory_order_acquire);
  });
}

void TThread::WaitFor() {
  if (!FStarted || !FThread.joinable()) return;
  if (FThread.get_id() == std::this_thread::get_id()) return;  // a thread cannot wait for itself
  if (IsMainThread()) {
    // The worker may be blocked in Synchronize; serve it until it has ended.
    while (!Finished()) CheckSynchronize(20);
  }
  FThread.join();
}

void TThread::HandleException() noexcept {
  FReturnValue.store(1, std::memory_order_release);
  Terminate();
}

void TThread::ThreadProc() {
  try {
    Execute();
  } catch (...) {
    HandleException();
  }
  // A posted call refers to this object: it must have run before the thread ends.
  try {
    WaitPosted();
  } catch (...) {
  }
  FFinished.store(true, std::memory_order_release);
  {
    std::lock_guard lock(SyncState().Mutex);
    SyncState().EndedThreads.fetch_add(1, std::memory_order_release);
  }
  SyncState().MainWake.notify_all();
  WakeMainThread();
}

void TThread::Enqueue(TSyncCall& ACall) {
  auto& state = SyncState();
  {
    std::lock_guard lock(state.Mutex);
    state.Queue.push_back(&ACall);
    state.Queued.fetch_add(1, std::memory_order_release);
  }
  state.MainWake.notify_all();
  WakeMainThread();
}

void TThread::AwaitCall(TSyncCall& ACall) {
  const auto done = [&ACall] { return ACall.Done.load(std::memory_order_acquire); };
  if (!SpinUntil(done)) {
    std::unique_lock lock(SyncState().Mutex);
    SyncState().CallDone.wait(lock, done);
  }
}

void TThread::Synchronize(const std::function<void()>& AMethod) {
  if (!AMethod) return;
  if (FInline || IsMainThread()) {
    AMethod();
    return;
  }
  TSyncCall call;
  call.Method = &AMethod;
  Enqueue(call);
  AwaitCall(call);
  if (call.Error) std::rethrow_exception(call.Error);
}

void TThread::Post(std::function<void()> AMethod) {
  if (!AMethod) return;
  if (FInline || IsMainThread()) {
    AMethod();
    return;
  }
  WaitPosted();
  FPostedMethod = std::move(AMethod);
  if (!FPosted) FPosted = std::make_unique<TSyncCall>();
  FPosted->Method = &FPostedMethod;
  FPosted->Done.store(false, std::memory_order_relaxed);
  FPosted->Error = nullptr;
  FPostPending = true;
  Enqueue(*FPosted);
}

void TThread::WaitPosted() {
  if (!FPostPending) return;
  AwaitCall(*FPosted);
  FPostPending = false;
  if (FPosted->Error) std::rethrow_exception(std::exchange(FPosted->Error, nullptr));
}

bool TThread::CheckSynchronize(int timeoutMs) {
  auto& state = SyncState();
  std::unique_lock lock(state.Mutex);
  if (state.Queue.empty() && timeoutMs > 0) {
    const uint64_t queued = state.Queued.load(std::memory_order_acquire);
    const uint64_t ended = state.EndedThreads.load(std::memory_order_acquire);
    const auto arrived = [&] {
      return state.Queued.load(std::memory_order_acquire) != queued ||
             state.EndedThreads.load(std::memory_order_acquire) != ended;
    };
    lock.unlock();
    const uint32_t misses = state.SpinMisses.load(std::memory_order_relaxed);
    if (misses < 2 || misses % 16 == 0) {
      const bool hit = SpinUntil(arrived);
      state.SpinMisses.store(hit ? 0 : misses + 1, std::memory_order_relaxed);
    } else {
      state.SpinMisses.store(misses + 1, std::memory_order_relaxed);
    }
    lock.lock();
    state.MainWake.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      return !state.Queue.empty() || arrived();
    });
  }
  bool ran = false;
  while (!state.Queue.empty()) {
    TSyncCall* call = state.Queue.front();
    state.Queue.pop_front();
    lock.unlock();
    try {
      (*call->Method)();
    } catch (...) {
      call->Error = std::current_exception();
    }
    lock.lock();
    call->Done.store(true, std::memory_order_release);  // the worker may free the call now
    state.CallDone.notify_all();
    ran = true;
  }
  return ran;
}

void TThread::SetWakeMainThread(std::function<void()> AWake) {
  std::lock_guard lock(SyncState().Mutex);
  SyncState().Wake = std::move(AWake);
}

void TThread::SetMainThreadId(std::thread::id AId) {
  std::lock_guard lock(SyncState().Mutex);
  SyncState().MainThread = AId;
}

bool TThread::IsMainThread() {
  std::lock_guard lock(SyncState().Mutex);
  return SyncState().MainThread == std::this_thread::get_id();
}

}  // namespace qv
