// SPDX-License-Identifier: Apache-2.0
#pragma once
// A second thread that runs the jobs handed to it one after the other, in the order handed,
// so that a loop can leave part of each block's work (a checksum, a write, the next read) to
// another core. Without a thread to be had, Post runs each job at once on the caller's
// thread: slower, never different.
//
// A job owns nothing of the caller's buffers; the caller keeps a buffer untouched from Post
// until Wait on that job's ticket has returned.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qv {

class THelperThread {
 public:
  using TJob = std::function<void()>;

  // ACapacity: jobs that may wait at once; Post blocks while that many wait.
  explicit THelperThread(size_t ACapacity = 8);
  // Ends the thread like Abort.
  ~THelperThread();
  THelperThread(const THelperThread&) = delete;
  THelperThread& operator=(const THelperThread&) = delete;

  // False when no thread could be started; the jobs then run inline.
  bool Start();
  bool Running() const { return FThread.joinable(); }

  // Hands a job over; returns its ticket (1, 2, ...).
  uint64_t Post(TJob AJob);
  // Waits until the job of ATicket and every one before it has run (0: returns at once).
  // After Abort, returns at once.
  void Wait(uint64_t ATicket);
  // Runs every job handed over, then ends the thread. Posting afterwards runs inline.
  void Finish();
  // Ends the thread after the job that runs now; jobs not yet begun are dropped.
  void Abort();

 private:
  void Run();
  void Stop(bool ADrain);

  std::vector<TJob> FQueue;  // a ring: job n sits at n % size
  std::mutex FLock;
  std::condition_variable FChanged;
  uint64_t FPosted = 0;
  uint64_t FDone = 0;
  bool FClosing = false;   // no more jobs come
  bool FDropping = false;  // end without running the rest
  std::thread FThread;     // last: it starts after everything it uses
};

}  // namespace qv
