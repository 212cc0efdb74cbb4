// SPDX-License-Identifier: Apache-2.0
#pragma once
// A few threads that run small transfers of the session side by side. A small job costs a
// handful of system calls that wait on the kernel; several of them at once keep it busy.
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qv {

class TTransferPool {
 public:
  explicit TTransferPool(int threads);
  // Runs the jobs still queued, then joins the threads.
  ~TTransferPool();
  TTransferPool(const TTransferPool&) = delete;
  TTransferPool& operator=(const TTransferPool&) = delete;

  void Submit(std::function<void()> job);
  // Waits until a job ends or the timeout passes, whichever comes first.
  void WaitForJob(std::chrono::milliseconds timeout);
  // Waits until every job submitted so far has ended.
  void WaitIdle();

 private:
  void Work();

  std::mutex FMutex;
  std::condition_variable FWork, FDone;
  std::deque<std::function<void()>> FJobs;
  int FBusy = 0;
  unsigned FEnded = 0;  // jobs ended, counted so that a waiter sees an end it did not miss
  bool FQuit = false;
  std::vector<std::thread> FThreads;
};

// Transfers at once: the number asked for, or (0) one per core; 1 to 4.
int TransferJobs(int asked);

}  // namespace qv
