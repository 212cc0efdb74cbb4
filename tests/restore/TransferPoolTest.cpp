// SPDX-License-Identifier: Apache-2.0
// The pool that runs small transfers beside the walk: jobs run on its own threads, side by
// side, every submitted job runs (also when the pool goes), and its waits end when they should.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>

#include "restore/TransferPool.h"

namespace qv::test {
namespace {

using namespace std::chrono_literals;

TEST(TransferPool, JobsRunSideBySideOnThePoolsThreads) {
  TTransferPool pool(3);
  std::mutex mutex;
  std::set<std::thread::id> threads;
  std::atomic<int> running{0}, mostAtOnce{0};
  for (int i = 0; i < 30; ++i)
    pool.Submit([&] {
      const int now = ++running;
      for (int seen = mostAtOnce; now > seen && !mostAtOnce.compare_exchange_weak(seen, now);) {
      }
      std::this_thread::sleep_for(2ms);
      {
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
      }
      --running;
    });
  pool.WaitIdle();
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  EXPECT_GT(threads.size(), 1u);
  EXPECT_LE(threads.size(), 3u);
  EXPECT_GT(mostAtOnce.load(), 1);
}

TEST(TransferPool, EverySubmittedJobRunsBeforeThePoolGoes) {
  std::atomic<int> ran{0};
  {
    TTransferPool pool(1);
    for (int i = 0; i < 50; ++i)
      pool.Submit([&] {
        std::this_thread::sleep_for(100us);
        ++ran;
      });
  }  // their owners wait for their results: none is dropped
  EXPECT_EQ(ran.load(), 50);
}

TEST(TransferPool, WaitForJobReturnsWhenAJobEndsOrTheTimeIsUp) {
  TTransferPool pool(1);
  std::atomic<bool> release{false}, ended{false};
  pool.Submit([&] {
    while (!release) std::this_thread::sleep_for(1ms);
    ended = true;
  });
  // Nothing ends: the wait gives up after its timeout.
  pool.WaitForJob(20ms);
  EXPECT_FALSE(ended.load());
  release = true;
  // The job's end wakes the waiter long before this timeout.
  const auto start = std::chrono::steady_clock::now();
  pool.WaitForJob(10s);
  EXPECT_TRUE(ended.load());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(TransferPool, JobsAskedForAreOneToFour) {
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  const struct {
    int Asked, Expected;
  } rows[] = {{1, 1}, {3, 3}, {4, 4}, {9, 4}, {-2, std::clamp(cores, 1, 4)}, {0, std::clamp(cores, 1, 4)}};
  for (const auto& row : rows) EXPECT_EQ(TransferJobs(row.Asked), row.Expected) << row.Asked;
}

}  // namespace
}  // namespace qv::test
