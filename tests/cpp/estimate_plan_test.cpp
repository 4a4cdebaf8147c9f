// Pricing and the planner's entry points: the model over a hand-made sample,
// exact builds, the sample of a large set, and plan_for against plan_file.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "dict_index/dict_index.hpp"
#include "error.hpp"
#include "estimate.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using namespace quorvale::estimate;

namespace {

using K = kinds::Kind;

std::vector<std::string_view> views(const std::vector<std::string>& keys) { return {keys.begin(), keys.end()}; }

Sample hand_sample() {
  Sample s;
  const double ratios[3] = {0.5, 0.25, 0.125};
  const std::uint64_t blocks[3] = {32, 256, 1024};
  for (int i = 0; i < 3; ++i) {
    s.rates[i].block = blocks[i];
    s.rates[i].ratio = ratios[i];
    s.rates[i].pair = 1.5 + i;
    s.rates[i].per_block = 4 + i;
    s.rates[i].per_shard = 1000 * (i + 1);
    s.rates[i].per_key = 0.5;
  }
  // 10,000 keys of 20 bytes, 12 shared with the key before, 6 with the key
  // 32 back: sp = 20 - 119,988 / 9,999 = 8, s32 = 20 - 14 = 6.
  s.shape = Shape{.count = 10000, .bytes = 200000, .lcp_prev = 119988, .lcp_back32 = 139552, .back32_count = 9968};
  s.compact = Fit{100, 1.25};
  s.closed = Fit{80, 3.5};
  s.perfect = Fit{-50, 6.0};
  s.chars = 0;
  s.fst_per_key = 9.5;
  return s;
}

TEST(Model, AHandMadeSample) {
  const Sample s = hand_sample();
  const std::vector<Candidate> cands = candidates({});
  const std::vector<Estimate> got = model(10000, 200000, s, cands);
  ASSERT_EQ(got.size(), 7u);
  for (const Estimate& e : got) EXPECT_FALSE(e.measured);
  EXPECT_EQ(got[0].bytes, 100u + 12500u);
  EXPECT_EQ(got[1].bytes, 80u + 35000u);
  EXPECT_EQ(got[2].bytes, 60000u - 50u + 200000u);
  EXPECT_EQ(got[3].bytes, 95000u);
  // Block 32: 313 blocks (the last of 16 keys), one microblock head each,
  // one shard. acc: 1,000 + 72, + 5,000, + 20 x 313, + 1.5 x 9,687,
  // + 0.5 x ((9,687 - 313) x 8 + 313 x 6), + 4 x 313.
  const double b32 = 1000 + 72 + 5000 + 20.0 * 313 + 1.5 * 9687 + 0.5 * (9374 * 8.0 + 313 * 6.0) + 4.0 * 313;
  EXPECT_EQ(got[4].bytes, static_cast<std::uint64_t>(b32));
  EXPECT_EQ(got[4].block, 32u);
  // Block 256: 40 blocks, 15 microblock heads each.
  const double b256 = 2000 + 72 + 5000 + 20.0 * 40 + 2.5 * 9960 + 0.25 * ((9960 - 600) * 8.0 + 600 * 6.0) + 5.0 * 40;
  EXPECT_EQ(got[5].bytes, static_cast<std::uint64_t>(b256));
  // Block 1,024: 10 blocks, microblocks of 32, 31 heads each.
  const double b1024 = 3000 + 72 + 5000 + 20.0 * 10 + 3.5 * 9990 + 0.125 * ((9990 - 310) * 8.0 + 310 * 6.0) + 6.0 * 10;
  EXPECT_EQ(got[6].bytes, static_cast<std::uint64_t>(b1024));
}

TEST(Model, Block128TakesTheRatesOfBlock32) {
  Sample s = hand_sample();
  const Candidate at128[] = {{K::DictIndex, 128}};
  const std::uint64_t with32 = model(10000, 200000, s, at128)[0].bytes;
  s.rates[1].ratio = 99;  // block 256 is farther
  EXPECT_EQ(model(10000, 200000, s, at128)[0].bytes, with32);
  s.rates[0].ratio = 99;
  EXPECT_NE(model(10000, 200000, s, at128)[0].bytes, with32);
  EXPECT_EQ(model(10000, 200000, s, at128)[0].block, 128u);
}

TEST(Model, ThePerfectHashGrowsByTheKeyBytes) {
  const Sample s = hand_sample();
  const Candidate perfect[] = {{K::PerfectHashIndex, {}}};
  const std::uint64_t base = model(10000, 200000, s, perfect)[0].bytes;
  EXPECT_EQ(model(10000, 400000, s, perfect)[0].bytes, base + 200000);
  // Far below the intercept a size is 0, never negative.
  EXPECT_EQ(model(0, 0, s, perfect)[0].bytes, 0u);
}

// ---- exact pricing ------------------------------------------------------------------

std::vector<std::string> corpus(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::set<std::string> keys;
  const char* syllables[] = {"ka", "ro", "mi", "ten", "su", "vel", "é", "日", "x", "ql"};
  while (keys.size() < n) {
    std::string k;
    const int parts = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < parts; ++i) k += syllables[rng() % 10];
    keys.insert(k);
  }
  return {keys.begin(), keys.end()};
}

TEST(Weigh, SizesAreTheKindsOwnBlobs) {
  for (std::size_t n : {0, 1, 2000}) {
    const std::vector<std::string> keys = corpus(n, 5);
    const std::vector<std::string_view> v = views(keys);
    const std::vector<Candidate> cands = candidates({});
    const std::vector<Estimate> got = weigh(v, cands);
    ASSERT_EQ(got.size(), 7u);
    for (const Estimate& e : got) EXPECT_TRUE(e.measured);
    EXPECT_EQ(got[0].bytes, CompactHashIndex::build(v).serialized_len());
    EXPECT_EQ(got[1].bytes, ClosedHashIndex::build(v).to_bytes().size());
    EXPECT_EQ(got[2].bytes, PerfectHashIndex::build(v).serialized_len());
    EXPECT_EQ(got[3].bytes, StringIndex::build(v).serialized_len());
    for (int i = 0; i < 3; ++i) {
      const std::uint64_t block = *got[4 + i].block;
      EXPECT_EQ(got[4 + i].bytes, DictIndex::build_with_block(keys, block).serialized_len()) << block;
    }
  }
}

TEST(Weigh, ABlockOutOfRangeIsRefused) {
  const std::vector<std::string> keys = corpus(10, 1);
  const Candidate bad[] = {{K::DictIndex, 2048}};
  try {
    weigh(views(keys), bad);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.display(), "format error: dict: block must be in 1..=1024");
  }
}

// ---- the entry points -----------------------------------------------------------------

std::string lines_of(const std::vector<std::string>& keys) {
  std::string text;
  for (const auto& k : keys) text += k + "\n";
  return text;
}

TEST(Plan, InMemoryAndFromAFileAgree) {
  TempDir dir;
  const std::string path = dir / "keys.txt";
  for (std::size_t n : {0, 3, 500}) {
    std::vector<std::string> keys = corpus(n, 9);
    std::vector<std::string> shuffled = keys;
    shuffled.insert(shuffled.end(), keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(n / 3));
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(4));
    write_file(path, lines_of(shuffled));
    const Objective objective;
    const Plan a = plan_for(std::span<const std::string>(shuffled), {}, objective);
    const Plan b = plan_file(path, {}, objective, 1024);  // spilled in many runs
    EXPECT_EQ(a.keys, n);
    EXPECT_EQ(b.keys, n);
    EXPECT_EQ(a.estimates, b.estimates);
    EXPECT_EQ(a.text(), b.text());
    EXPECT_EQ(dir.names(), (std::set<std::string>{"keys.txt"}));
  }
}

TEST(Plan, RecordsTheEffectiveNeeds) {
  const std::vector<std::string> keys = corpus(50, 2);
  Objective o;
  o.tag = Objective::Tag::Workload;
  o.workload.reverse = 1;
  const Plan p = plan_for(std::span<const std::string>(keys), {.exact = true}, o);
  EXPECT_EQ(p.needs, (Needs{.reverse = true, .exact = true}));
  EXPECT_EQ(p.estimates.size(), 5u);
  EXPECT_EQ(p.objective, o);
}

TEST(Plan, AFileFailureLeavesNothingBehind) {
  TempDir dir;
  const std::string path = dir / "keys.txt";
  std::string text = lines_of(corpus(400, 3));
  text += "\xc3(\n";
  write_file(path, text);
  try {
    plan_file(path, {}, Objective{}, 512);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.message(), path + ":401: not UTF-8");
  }
  EXPECT_EQ(dir.names(), (std::set<std::string>{"keys.txt"}));
}

TEST(Plan, AStopProbeAbandonsAFilesPlan) {
  // Asked as the keys are scanned where they lie, or replayed from spilled
  // runs: a yes ends the plan as interrupted, with nothing left behind.
  TempDir dir;
  const std::string path = dir / "keys.txt";
  write_file(path, lines_of(corpus(300, 5)));
  for (std::size_t budget : {RUN_BUDGET, std::size_t{1024}}) {
    try {
      plan_file(path, {}, Objective{}, budget, MAX_KEY, [] { return true; });
      FAIL();
    } catch (const IndexError& e) {
      EXPECT_EQ(e.io_kind_value(), IoKind::Interrupted);
    }
    EXPECT_EQ(dir.names(), (std::set<std::string>{"keys.txt"}));
  }
  EXPECT_EQ(plan_file(path, {}, Objective{}, RUN_BUDGET, MAX_KEY, [] { return false; }).keys, 300u);
}

TEST(Plan, PastTheExactLimitEverythingIsModelled) {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i <= EXACT_LIMIT; ++i) keys.push_back("key:" + std::to_string(i * 7919) + "/x");
  const Plan p = plan_for(std::span<const std::string>(keys), {}, Objective{});
  EXPECT_EQ(p.keys, EXACT_LIMIT + 1);
  ASSERT_EQ(p.estimates.size(), 7u);
  for (const Estimate& e : p.estimates) {
    EXPECT_FALSE(e.measured);
    EXPECT_GT(e.bytes, 0u) << kinds::of(e.kind).name;
  }
  // A file whose keys fit one run is scanned where they lie, on several
  // threads; one spilled in runs is replayed key by key: the same plan.
  TempDir dir;
  const std::string path = dir / "keys.txt";
  write_file(path, lines_of(keys));
  EXPECT_EQ(plan_file(path, {}, Objective{}).text(), p.text());
  EXPECT_EQ(plan_file(path, {}, Objective{}, 1 << 20).text(), p.text());
  EXPECT_EQ(dir.names(), (std::set<std::string>{"keys.txt"}));
}

}  // namespace
