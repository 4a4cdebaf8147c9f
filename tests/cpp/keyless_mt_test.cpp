// The hash engine's workers: the parallel key hashing, pair sort and slot
// pass against their one-thread forms, and readers sharing one index. Also run under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "hash_engine.hpp"

using namespace quorvale;
using hash_engine::Pair;

namespace {

std::vector<Pair> random_pairs(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Pair> out(n);
  for (auto& p : out) p = {rng(), rng()};
  return out;
}

bool same(const std::vector<Pair>& a, const std::vector<Pair>& b) { return a == b; }

}  // namespace

TEST(KeylessThreads, SortRunEqualsAPlainSort) {
  for (std::size_t threads : {1u, 2u, 300u}) {
    const std::size_t k = std::min<std::size_t>(threads, 256);
    for (std::size_t n : {k * 4096 - 1, k * 4096, k * 4096 + 7}) {
      SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(n) + " pairs");
      std::vector<Pair> pairs = random_pairs(n, n + threads);
      // Repeats, equal first words and a crowd in one bucket.
      for (std::size_t i = 0; i + 1 < n; i += 97) pairs[i + 1] = pairs[i];
      for (std::size_t i = 5; i + 1 < n; i += 101) pairs[i + 1].first = pairs[i].first;
      for (std::size_t i = 0; i < n; i += 3) pairs[i].first = (pairs[i].first & 0xffffffffULL) | (0x7fULL << 56);
      std::vector<Pair> want = pairs;
      std::sort(want.begin(), want.end(), hash_engine::pair_less);
      hash_engine::sort_run(pairs, threads);
      EXPECT_TRUE(same(pairs, want));
    }
  }
  // Pairs all in the first and last buckets leave the others empty.
  std::vector<Pair> edges = random_pairs(2 * 256 * 4096, 9);
  for (std::size_t i = 0; i < edges.size(); ++i) edges[i].first = i % 2 ? ~edges[i].first >> 40 : ~(edges[i].first >> 40);
  std::vector<Pair> want = edges;
  std::sort(want.begin(), want.end(), hash_engine::pair_less);
  hash_engine::sort_run(edges, 300);
  EXPECT_TRUE(same(edges, want));
}

TEST(KeylessThreads, KeysHashedOnWorkersInKeyOrder) {
  // Three whole chunks and a short one, so that every worker's stretch ends
  // where the next begins.
  const std::size_t n = 3 * hash_engine::HASH_CHUNK + 5;
  std::vector<std::string> keys(n);
  for (std::size_t i = 0; i < n; ++i) keys[i] = "key " + std::to_string(i * 7919);
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  for (std::size_t threads : {1u, 8u, 33u}) {
    const std::vector<Pair> pairs = hash_engine::hash_keys(views, threads);
    ASSERT_EQ(pairs.size(), n);
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(pairs[i], hash::hash_pair(views[i])) << threads << " threads, key " << i;
  }
}

TEST(KeylessThreads, SlotPassEqualsTheSequentialPass) {
  for (std::size_t threads : {1u, 2u, 3u, 300u}) {
    const std::size_t n = std::max<std::size_t>(threads, 2) * 4096 + 11;
    std::vector<Pair> pairs = random_pairs(n, threads);
    std::sort(pairs.begin(), pairs.end(), hash_engine::pair_less);
    // A group of five straddling the first chunk boundary, one of two at the
    // next, and groups elsewhere.
    const std::size_t size = (n + threads - 1) / threads;
    for (std::size_t i = size - 2; i < std::min(n, size + 3); ++i) pairs[i].first = pairs[size - 2].first;
    if (2 * size < n) pairs[2 * size].first = pairs[2 * size - 1].first;
    for (std::size_t i = 100; i + 1 < n; i += 333) pairs[i + 1].first = pairs[i].first;
    std::sort(pairs.begin(), pairs.end(), hash_engine::pair_less);
    std::vector<std::uint64_t> distinct;
    for (const Pair& p : pairs)
      if (distinct.empty() || distinct.back() != p.first) distinct.push_back(p.first);
    const Mphf mph = Mphf::build_with_threads(distinct, 2);
    std::vector<Pair> one = pairs, many = pairs;
    hash_engine::slots_in_place(one, mph, 1);
    hash_engine::slots_in_place(many, mph, threads);
    EXPECT_TRUE(same(one, many)) << threads;
    // The later pairs of every group are marked, in both chunks of the straddler.
    for (std::size_t i = 0; i < n; ++i) {
      const bool repeat = i > 0 && pairs[i].first == pairs[i - 1].first;
      EXPECT_EQ(one[i].first == hash_engine::NOT_REPRESENTATIVE, repeat) << i;
      if (!repeat) {
        EXPECT_EQ(one[i].first, mph.index(pairs[i].first));
      }
      EXPECT_EQ(one[i].second, pairs[i].second);
    }
  }
}

// Builds large enough for the parallel sort and slot pass on every worker
// the machine has: the bytes depend on the pairs alone.
TEST(KeylessThreads, BuildsDependOnThePairsAlone) {
  std::vector<Pair> pairs = random_pairs(300000, 4);
  for (std::size_t i = 0; i + 1 < pairs.size(); i += 50) pairs[i + 1].first = pairs[i].first;
  const auto closed = ClosedHashIndex::build_from_pairs(pairs).to_bytes();
  const auto compact = CompactHashIndex::build_from_pairs(pairs, 11).to_bytes();
  std::reverse(pairs.begin(), pairs.end());
  EXPECT_TRUE(ClosedHashIndex::build_from_pairs(pairs).to_bytes() == closed);
  EXPECT_TRUE(CompactHashIndex::build_from_pairs(pairs, 11).to_bytes() == compact);
}

TEST(KeylessThreads, ReadersShareOneIndex) {
  std::vector<std::string> keys;
  for (int i = 0; i < 20000; ++i) keys.push_back("key-" + std::to_string(i * 7919));
  std::vector<std::string_view> views(keys.begin(), keys.end());
  const ClosedHashIndex closed = ClosedHashIndex::build(views);
  const CompactHashIndex compact = CompactHashIndex::build(views);
  const std::vector<std::uint32_t> want = closed.ids_of(views);
  const auto want_found = compact.ids_of(views);
  std::vector<int> ok(8, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        bool good = closed.ids_of(views) == want && compact.ids_of(views) == want_found;
        for (std::size_t i = static_cast<std::size_t>(t); i < keys.size(); i += 8)
          good = good && closed.id(keys[i]) == want[i] && compact.id_with_side(keys[i]) == want_found[i];
        ok[static_cast<std::size_t>(t)] = good;
      });
    }
  }
  EXPECT_EQ(ok, std::vector<int>(8, 1));
}
