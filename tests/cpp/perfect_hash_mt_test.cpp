#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "colliding_keys.hpp"
#include "perfect_hash.hpp"

using namespace quorvale;

// One index read from eight threads at once: every thread sees the same
// answers, the same blob and the same loaded copies.
TEST(PerfectHashThreads, ConcurrentReadersAgree) {
  std::vector<std::string> keys;
  for (int i = 0; i < 20000; ++i) keys.push_back("key-" + std::to_string(i * 7919));
  auto coll = colliding::keys(3, 7);
  keys.insert(keys.end(), coll.begin(), coll.end());
  PerfectHashIndex idx = PerfectHashIndex::build_with(std::vector<std::string_view>(keys.begin(), keys.end()), true);
  std::vector<std::string_view> batch(keys.begin(), keys.end());
  batch.push_back("stranger");
  const auto want = idx.ids_of(batch);
  const auto blob = idx.to_bytes();
  std::vector<int> ok(8, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        bool good = idx.ids_of(batch) == want && idx.to_bytes() == blob;
        for (std::size_t i = t; i < batch.size(); i += 8) {
          auto id = idx.id_with_side(batch[i]);
          good &= id == want[i];
          if (id) good &= idx.key(*id) == std::optional<std::string_view>(batch[i]);
        }
        PerfectHashIndex copy = PerfectHashIndex::from_bytes(blob);
        good &= copy.ids_of(batch) == want;
        ok[t] = good;
      });
    }
  }
  for (int t = 0; t < 8; ++t) EXPECT_TRUE(ok[t]) << t;
}
