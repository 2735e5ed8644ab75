// The worker pool: thread-count rules, chunking, nesting and per-thread pools.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "core/vesk_pool.h"

namespace {

using vesk::pool::chunkOf;
using vesk::pool::partsFor;
using vesk::pool::threadCountFor;

TEST(PoolThreads, EnvironmentRules) {
  EXPECT_EQ(threadCountFor(nullptr, nullptr, 8), 4);
  EXPECT_EQ(threadCountFor(nullptr, nullptr, 2), 2);
  EXPECT_EQ(threadCountFor(nullptr, nullptr, 0), 4);  // unknown hardware count
  EXPECT_EQ(threadCountFor("6", nullptr, 8), 6);
  EXPECT_EQ(threadCountFor("12", nullptr, 8), 8);
  EXPECT_EQ(threadCountFor("0", nullptr, 8), 1);
  EXPECT_EQ(threadCountFor("-3", nullptr, 8), 1);
  EXPECT_EQ(threadCountFor("3 threads", nullptr, 8), 3);  // the leading integer
  EXPECT_EQ(threadCountFor("many", nullptr, 8), 1);
  EXPECT_EQ(threadCountFor("", "5", 8), 5);  // empty defers to VESK_PASTE_THREADS
  EXPECT_EQ(threadCountFor("", nullptr, 8), 4);
  EXPECT_EQ(threadCountFor("", "", 8), 4);
  EXPECT_EQ(threadCountFor("2", "7", 8), 2);  // VESK_CORE_THREADS wins
  EXPECT_EQ(threadCountFor(nullptr, "7", 8), 7);
  EXPECT_EQ(threadCountFor("99999999999999999999", nullptr, 0), 1 << 16);  // no overflow
}

TEST(PoolThreads, FixedForTheProcessAndWithinHardware) {
  const int t = vesk::pool::threads();
  EXPECT_GE(t, 1);
  const unsigned hw = std::thread::hardware_concurrency();
  if (hw > 0) {
    EXPECT_LE(static_cast<unsigned>(t), hw);
  }
  EXPECT_EQ(vesk::pool::threads(), t);
  EXPECT_TRUE(vesk::pool::available());
}

TEST(PoolParts, Rules) {
  EXPECT_EQ(partsFor(100, 30, 4), 3);
  EXPECT_EQ(partsFor(100, 60, 4), 1);
  EXPECT_EQ(partsFor(100, 0, 4), 4);
  EXPECT_EQ(partsFor(100, 1, 1), 1);
  EXPECT_EQ(partsFor(0, 1, 4), 1);
  EXPECT_EQ(partsFor(7, 2, 4), 3);
  EXPECT_EQ(vesk::pool::parts(100, 1), std::min(100, vesk::pool::threads()));
}

TEST(PoolParts, ChunksByCeilingDivision) {
  using P = std::pair<size_t, size_t>;
  auto chunks = [](size_t n, int parts) {
    std::vector<P> out;
    for (int i = 0; i < parts; ++i) {
      const auto c = chunkOf(n, parts, i);
      if (c.begin < c.end) out.emplace_back(c.begin, c.end);
    }
    return out;
  };
  EXPECT_EQ(chunks(10, 4), (std::vector<P>{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
  EXPECT_EQ(chunks(9, 4), (std::vector<P>{{0, 3}, {3, 6}, {6, 9}}));
  EXPECT_EQ(chunks(5, 4), (std::vector<P>{{0, 2}, {2, 4}, {4, 5}}));
  EXPECT_EQ(chunks(8, 2), (std::vector<P>{{0, 4}, {4, 8}}));
  // The chunks always tile [0, n) exactly.
  for (size_t n = 0; n < 50; ++n) {
    for (int parts = 1; parts <= 8; ++parts) {
      size_t next = 0;
      for (const auto& [b, e] : chunks(n, parts)) {
        ASSERT_EQ(b, next);
        next = e;
      }
      ASSERT_EQ(next, n);
    }
  }
}

// Records every fn call with the thread that made it.
struct Calls {
  std::mutex m;
  std::vector<std::pair<size_t, size_t>> ranges;
  std::set<std::thread::id> threads;
  void add(size_t b, size_t e) {
    std::lock_guard<std::mutex> lk(m);
    ranges.emplace_back(b, e);
    threads.insert(std::this_thread::get_id());
  }
};

TEST(PoolRun, CoversTheRangeInEqualChunks) {
  for (size_t n : {0u, 1u, 2u, 9u, 10u, 1000u, 1001u}) {
    for (size_t grain : {0u, 1u, 3u, 600u}) {
      Calls calls;
      vesk::pool::parallelRange(n, grain, [&](size_t b, size_t e) { calls.add(b, e); });
      std::sort(calls.ranges.begin(), calls.ranges.end());
      const int p = vesk::pool::parts(n, grain);
      std::vector<std::pair<size_t, size_t>> want;
      if (p < 2) {
        want.emplace_back(0, n);
      } else {
        for (int i = 0; i < p; ++i) {
          const auto c = chunkOf(n, p, i);
          if (c.begin < c.end) want.emplace_back(c.begin, c.end);
        }
      }
      EXPECT_EQ(calls.ranges, want) << "n=" << n << " grain=" << grain;
    }
  }
}

TEST(PoolRun, CallerRunsChunkZero) {
  if (vesk::pool::threads() < 2) GTEST_SKIP() << "one thread: nothing is split";
  std::thread::id first;
  vesk::pool::parallelRange(100, 1, [&](size_t b, size_t) {
    if (b == 0) first = std::this_thread::get_id();
  });
  EXPECT_EQ(first, std::this_thread::get_id());
}

TEST(PoolRun, NestedCallsRunSeriallyOnTheirThread) {
  std::atomic<int> inner{0};
  std::atomic<bool> sameThread{true};
  vesk::pool::parallelRange(64, 1, [&](size_t, size_t) {
    const auto me = std::this_thread::get_id();
    vesk::pool::parallelRange(1000, 1, [&](size_t b, size_t e) {
      if (b != 0 || e != 1000) sameThread = false;
      if (std::this_thread::get_id() != me) sameThread = false;
      ++inner;
    });
  });
  EXPECT_EQ(inner.load(), std::max(1, vesk::pool::parts(64, 1)));
  EXPECT_TRUE(sameThread.load());
}

TEST(PoolRun, ManyJobsInARow) {
  std::atomic<size_t> sum{0};
  for (int job = 0; job < 2000; ++job) {
    vesk::pool::parallelRange(17, 1, [&](size_t b, size_t e) {
      for (size_t i = b; i < e; ++i) sum += i;
    });
  }
  EXPECT_EQ(sum.load(), 2000u * (16u * 17u / 2u));
}

TEST(PoolRun, ExceptionsReachTheCallerAfterEveryChunkEnds) {
  std::atomic<int> finished{0};
  EXPECT_THROW(vesk::pool::parallelRange(100, 1,
                                         [&](size_t b, size_t) {
                                           if (b != 0) {
                                             ++finished;
                                             throw std::runtime_error("chunk failed");
                                           }
                                           ++finished;
                                         }),
               std::runtime_error);
  EXPECT_EQ(finished.load(), std::max(1, vesk::pool::parts(100, 1)));
  // The pool still works afterwards, and the thread is no longer inside a region.
  Calls calls;
  vesk::pool::parallelRange(100, 1, [&](size_t b, size_t e) { calls.add(b, e); });
  EXPECT_EQ(static_cast<int>(calls.ranges.size()), std::max(1, vesk::pool::parts(100, 1)));
}

TEST(PoolRun, TwoCallingThreadsUseTheirOwnWorkers) {
  Calls a, b;
  // Neither caller exits before both are done: a joined thread's id may be handed to a new thread,
  // which would make one pool's workers look like the other's.
  std::atomic<int> done{0};
  auto work = [&done](Calls& calls) {
    for (int i = 0; i < 200; ++i) vesk::pool::parallelRange(64, 1, [&](size_t s, size_t e) { calls.add(s, e); });
    ++done;
    while (done.load() < 2) std::this_thread::yield();
  };
  std::thread ta(work, std::ref(a));
  std::thread tb(work, std::ref(b));
  ta.join();
  tb.join();
  const size_t per = static_cast<size_t>(std::max(1, vesk::pool::parts(64, 1)));
  EXPECT_EQ(a.ranges.size(), 200 * per);
  EXPECT_EQ(b.ranges.size(), 200 * per);
  // No thread served both callers: each has its own pool (workers die with their caller).
  for (const auto& id : a.threads) EXPECT_EQ(b.threads.count(id), 0u);
  EXPECT_EQ(a.threads.size(), per);
  EXPECT_EQ(b.threads.size(), per);
}

}  // namespace
