// Builds on worker threads: the bytes do not depend on the thread count, and
// a worker's failure reaches the caller as the build's broken invariant.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "dict_index/layout.hpp"
#include "dict_build_util.hpp"

using namespace quorvale;
using namespace buildfix;
using dict_index::Key;

namespace {

// Words over a small alphabet: several shards whatever the block.
std::vector<std::string> words(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::string s;
    const unsigned len = 4 + rng() % 10;
    for (unsigned k = 0; k < len; ++k) s += "etaoinshrdlcumwfgyp"[rng() % 19];
    out.push_back(std::move(s));
  }
  return sorted_distinct(std::move(out));
}

TEST(DictBuildThreads, TheThreadCountChangesNoByte) {
  const auto keys = words(220'000, 1);
  ASSERT_GT(keys.size(), 3u * 65'536);
  const auto views = views_of(keys);
  // Block 32: shards of 2,048 blocks, 4 parts on 8 workers, 2 on 2.
  const std::uint64_t block = 32, micro = dict_index::micro_for(block);
  const dict_index::Layout one = dict_index::Layout::from_sorted_as(views, block, micro, 1, keys.size());
  ASSERT_GE(one.codecs.size(), 4u);
  const Blob want = blob_of(one);
  for (std::size_t threads : {2, 8}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    EXPECT_EQ(blob_of(dict_index::Layout::from_sorted_as(views, block, micro, threads, keys.size())), want);
  }
  EXPECT_EQ(blob_of(reload(want)), want);
}

TEST(DictBuildThreads, PhrasesAndTieredShardsDoNotDependOnTheThreadCount) {
  // Two shards: mining counts them in two pools and two partitions on two
  // workers or more, and the shards are encoded in up to two parts.
  const auto keys = web_urls(70'000, 7);
  const auto views = views_of(keys);
  const std::uint64_t block = 256, micro = dict_index::micro_for(block);
  const dict_index::Layout one = dict_index::Layout::from_sorted_as(views, block, micro, 1, keys.size());
  ASSERT_EQ(one.codecs.size(), 2u);
  ASSERT_GT(one.phrases.count(), 0u);
  ASSERT_TRUE(std::any_of(one.codecs.begin(), one.codecs.end(), [](const dict_index::Codec& c) {
    return std::holds_alternative<dict_index::Codec::Tiered>(c.v);
  }));
  const Blob want = blob_of(one);
  for (std::size_t threads : {2, 4, 21}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    EXPECT_EQ(blob_of(dict_index::Layout::from_sorted_as(views, block, micro, threads, keys.size())), want);
  }
}

TEST(DictBuildThreads, CodedKeysOnWorkers) {
  const auto keys = cyrillic(60'000, 2);
  const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(keys), 32);
  ASSERT_NE(d.chars, nullptr);
  check_round_trip(d, keys);
}

TEST(DictBuildThreads, WorkerFailuresBecomeTheBuildsSentence) {
  auto failing = [](std::size_t threads, auto fail) {
    dict_index::claim_on_workers(6, threads, "encoding a range of blocks cannot panic", [&](std::size_t i) {
      if (i == 4) fail();
    });
  };
  try {
    failing(3, [] { panic("a run is open"); });
    ADD_FAILURE();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "encoding a range of blocks cannot panic");
  }
  EXPECT_THROW(failing(3, [] { throw std::bad_alloc(); }), std::bad_alloc);
  // On the calling thread a failure passes unchanged.
  try {
    failing(1, [] { panic("a run is open"); });
    ADD_FAILURE();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "a run is open");
  }
  // Every task is claimed once.
  std::vector<std::atomic<int>> seen(100);
  dict_index::claim_on_workers(seen.size(), 8, "x", [&](std::size_t i) { seen[i].fetch_add(1); });
  for (const auto& s : seen) EXPECT_EQ(s.load(), 1);
}

// Shards finishing in any order are committed in shard order, one at a
// time, each from the slot its encoder filled, with no more than the window
// encoded ahead; a commit's error stops the claims and reaches the caller.
TEST(DictBuildThreads, ShardsAreCommittedInOrderWhateverTheirSpeed) {
  for (std::size_t threads : {1, 3, 8}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    const std::size_t count = 60, window = dict_index::ordered_window(threads);
    std::vector<std::size_t> slots(window, SIZE_MAX), committed;
    std::atomic<std::size_t> encoded{0};
    std::size_t most_ahead = 0;
    dict_index::encode_in_order(
        count, threads,
        [&](std::size_t s, std::size_t worker, std::size_t slot) {
          EXPECT_LT(worker, threads);
          std::this_thread::sleep_for(std::chrono::microseconds((s * 7919) % 13 * 100));
          slots[slot] = s;
          encoded.fetch_add(1);
        },
        [&](std::size_t s, std::size_t slot) {
          EXPECT_EQ(slots[slot], s);
          most_ahead = std::max(most_ahead, encoded.load() - committed.size());
          committed.push_back(s);
        });
    ASSERT_EQ(committed.size(), count);
    for (std::size_t s = 0; s < count; ++s) EXPECT_EQ(committed[s], s);
    EXPECT_LE(most_ahead, window);
  }
  std::atomic<std::size_t> after{0};
  try {
    dict_index::encode_in_order(
        200, 4, [&](std::size_t s, std::size_t, std::size_t) { if (s > 30) after.fetch_add(1); },
        [&](std::size_t s, std::size_t) {
          if (s == 20) throw IndexError::io_kind(IoKind::Interrupted);
        });
    ADD_FAILURE();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
  }
  EXPECT_EQ(after.load(), 0u);  // the claims stopped within the window of the failed commit
  try {
    dict_index::encode_in_order(
        10, 4, [](std::size_t s, std::size_t, std::size_t) { if (s == 5) panic("a run is open"); },
        [](std::size_t, std::size_t) {});
    ADD_FAILURE();
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "encoding a range of blocks cannot panic");
  }
}

}  // namespace
