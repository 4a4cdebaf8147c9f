#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "error.hpp"
#include "threads.hpp"

using namespace quorvale;

TEST(Workers, AllRunAndJoin) {
  std::atomic<int> sum{0};
  run_workers(8, [&](std::size_t w) { sum.fetch_add(static_cast<int>(w) + 1); });
  EXPECT_EQ(sum.load(), 36);
}

TEST(Workers, FirstFailureReachesTheCallerAfterAllJoin) {
  std::atomic<int> finished{0};
  try {
    run_workers(6, [&](std::size_t w, const FirstError&) {
      if (w == 3) throw IndexError::build("worker failed");
      finished.fetch_add(1);
    });
    FAIL() << "no exception";
  } catch (const IndexError& e) {
    EXPECT_STREQ(e.what(), "build error: worker failed");
  }
  EXPECT_EQ(finished.load(), 5);
}

TEST(Workers, OthersSeeTheFailure) {
  std::atomic<bool> seen{false};
  EXPECT_THROW(run_workers(2,
                           [&](std::size_t w, const FirstError& first) {
                             if (w == 0) throw std::runtime_error("x");
                             while (!first.failed()) std::this_thread::yield();
                             seen = true;
                           }),
               std::runtime_error);
  EXPECT_TRUE(seen.load());
}

TEST(Workers, ProcessorCountIsPositive) { EXPECT_GE(online_processors(), 1u); }
