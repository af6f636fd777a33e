#include "support/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/internal_failure.h"

namespace veltrix {
namespace {

// Every item is visited once, in chunks fixed by the size and grain alone.
TEST(ThreadPool, ParallelForVisitsEveryItemOnceInFixedChunks) {
  for (std::size_t count : {0u, 1u, 7u, 1000u, 100003u}) {
    std::vector<int> seen(count, 0);
    std::vector<std::pair<std::size_t, std::size_t>> chunks((count + 99) / 100);
    parallel_for(count, 100, [&](std::size_t begin, std::size_t end) {
      chunks[begin / 100] = {begin, end};
      for (std::size_t i = begin; i < end; ++i) ++seen[i];
    });
    for (int s : seen) ASSERT_EQ(s, 1);
    for (std::size_t c = 0; c < chunks.size(); ++c) {
      EXPECT_EQ(chunks[c].first, c * 100);
      EXPECT_EQ(chunks[c].second, std::min(count, c * 100 + 100));
    }
  }
}

// A failure in one chunk reaches the caller once every chunk has finished or been skipped.
TEST(ThreadPool, AFailureInAChunkReachesTheCaller) {
  std::atomic<int> ran{0};
  EXPECT_THROW(parallel_for(64, 1,
                            [&](std::size_t begin, std::size_t) {
                              ++ran;
                              if (begin == 10) internal_failure("chunk 10 failed");
                            }),
               InternalFailure);
  EXPECT_GE(ran.load(), 1);
  // The pool still works afterwards.
  std::atomic<std::size_t> sum{0};
  parallel_for(1000, 10, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) sum += i;
  });
  EXPECT_EQ(sum.load(), 999u * 1000u / 2);
}

// Many callers at once share the workers and each gets all of its own chunks done.
TEST(ThreadPool, ConcurrentCallersEachFinishTheirOwnSteps) {
  std::vector<std::thread> callers;
  std::vector<std::size_t> sums(6, 0);
  for (std::size_t t = 0; t < sums.size(); ++t) {
    callers.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        std::vector<std::size_t> parts(50, 0);
        parallel_for(5000, 100, [&](std::size_t begin, std::size_t end) {
          for (std::size_t i = begin; i < end; ++i) parts[begin / 100] += i * (t + 1);
        });
        std::size_t sum = 0;
        for (std::size_t p : parts) sum += p;
        sums[t] = sum;
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  for (std::size_t t = 0; t < sums.size(); ++t) EXPECT_EQ(sums[t], (t + 1) * 4999u * 5000u / 2);
}

}  // namespace
}  // namespace veltrix
