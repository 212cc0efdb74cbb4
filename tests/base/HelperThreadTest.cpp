// SPDX-License-Identifier: Apache-2.0
#include "base/HelperThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace qv {
namespace {

struct THelperCase {
  const char* Name;
  bool Started;     // false: the jobs run inline
  size_t Capacity;
  int Jobs;
};

const THelperCase kHelperCases[] = {
    {"inline", false, 4, 50},
    {"one waiting job", true, 1, 200},
    {"a few waiting jobs", true, 3, 200},
    {"more room than jobs", true, 64, 20},
};

TEST(HelperThread, RunsEveryJobInTheOrderHandedAndWaitSeesItsResult) {
  for (const auto& c : kHelperCases) {
    SCOPED_TRACE(c.Name);
    THelperThread helper(c.Capacity);
    if (c.Started) {
      ASSERT_TRUE(helper.Start());
    }
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    for (int i = 0; i < c.Jobs; ++i) {
      const uint64_t ticket = helper.Post([&, i] {
        if (running.fetch_add(1) != 0) overlapped = true;
        order.push_back(i);
        running.fetch_sub(1);
      });
      EXPECT_EQ(ticket, static_cast<uint64_t>(i + 1));
      if (i % 7 == 0) {
        helper.Wait(ticket);
        EXPECT_EQ(order.size(), static_cast<size_t>(i + 1));
      }
    }
    helper.Finish();
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), static_cast<size_t>(c.Jobs));
    for (int i = 0; i < c.Jobs; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
    // Finished: further jobs run inline.
    bool ran = false;
    helper.Wait(helper.Post([&] { ran = true; }));
    EXPECT_TRUE(ran);
  }
}

TEST(HelperThread, AbortDropsWaitingJobsAndWaitingForThemReturns) {
  THelperThread helper(8);
  ASSERT_TRUE(helper.Start());
  std::atomic<bool> release{false};
  std::atomic<int> ran{0};
  std::atomic<bool> begun{false};
  helper.Post([&] {
    begun.store(true);
    while (!release.load()) std::this_thread::yield();
    ran.fetch_add(1);
  });
  uint64_t last = 0;
  for (int i = 0; i < 5; ++i) last = helper.Post([&] { ran.fetch_add(1); });
  while (!begun.load()) std::this_thread::yield();
  std::thread releaser([&] { release.store(true); });
  helper.Abort();
  releaser.join();
  helper.Wait(last);  // dropped jobs count as done
  EXPECT_GE(ran.load(), 1);
  helper.Abort();  // twice is harmless
  const int before = ran.load();
  helper.Post([&] { ran.fetch_add(1); });  // stopped: runs at once
  EXPECT_EQ(ran.load(), before + 1);
}

TEST(HelperThread, DestructionWithJobsWaitingDoesNotHang) {
  std::atomic<int> ran{0};
  {
    THelperThread helper(2);
    ASSERT_TRUE(helper.Start());
    for (int i = 0; i < 10; ++i) helper.Post([&] { ran.fetch_add(1); });
  }
  THelperThread neverStarted;
  neverStarted.Finish();
  neverStarted.Wait(0);
}

}  // namespace
}  // namespace qv
