#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "pages.hpp"

using quorvale::Pages;

// Threads making and releasing resident tables of sizes that let kept
// blocks pass between them: no block is ever held by two tables at once
// (each table's words stay as its owner wrote them), and what is kept stays
// within the bound.
TEST(PagesMt, KeptBlocksPassBetweenThreadsOneHolderAtATime) {
  constexpr int THREADS = 6;
  constexpr int ROUNDS = 300;
  std::vector<std::thread> workers;
  std::vector<int> bad(THREADS, 0);
  for (int t = 0; t < THREADS; ++t) {
    workers.emplace_back([t, &bad] {
      std::mt19937_64 rng(static_cast<std::uint64_t>(t) + 1);
      for (int r = 0; r < ROUNDS; ++r) {
        const std::size_t words = (std::size_t{1} << 13) + rng() % (std::size_t{3} << 15);
        Pages<std::uint64_t> p = Pages<std::uint64_t>::allocate_resident(words);
        const std::uint64_t mark = (static_cast<std::uint64_t>(t) << 32) | static_cast<std::uint64_t>(r);
        for (std::size_t i = 0; i < words; i += 512) p[i] = mark;
        p[words - 1] = mark;
        std::this_thread::yield();
        for (std::size_t i = 0; i < words; i += 512) bad[t] += p[i] != mark;
        bad[t] += p[words - 1] != mark;
      }
    });
  }
  for (std::thread& w : workers) w.join();
  for (int t = 0; t < THREADS; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
  EXPECT_LE(quorvale::detail::kept_bytes(), std::size_t{16} << 20);
}
