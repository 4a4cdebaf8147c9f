// The planner's arithmetic: candidates, shape and samples, rates, the
// latency model and ranking, the plan text and the reading of keys files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "dict_index/dict_index.hpp"
#include "error.hpp"
#include "estimate.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using namespace quorvale::estimate;

namespace {

using K = kinds::Kind;
using Tag = Objective::Tag;

Objective workload(Workload w) {
  Objective o;
  o.tag = Tag::Workload;
  o.workload = w;
  return o;
}
Objective tagged(Tag tag) {
  Objective o;
  o.tag = tag;
  return o;
}

std::vector<std::string_view> views(const std::vector<std::string>& keys) { return {keys.begin(), keys.end()}; }

// ---- candidates ----------------------------------------------------------------

TEST(Candidates, FollowTheNeeds) {
  const Candidate compact{K::CompactHashIndex, {}}, closed{K::ClosedHashIndex, {}}, perfect{K::PerfectHashIndex, {}},
      string{K::StringIndex, {}}, d32{K::DictIndex, 32}, d256{K::DictIndex, 256}, d1024{K::DictIndex, 1024};
  const std::vector<Candidate> all{compact, closed, perfect, string, d32, d256, d1024};
  const std::vector<Candidate> exact{perfect, string, d32, d256, d1024};
  const std::vector<Candidate> ordered{string, d32, d256, d1024};
  const std::vector<Candidate> fuzzy{string};
  struct Case {
    Needs needs;
    const std::vector<Candidate>& want;
  };
  const Case cases[] = {
      {{}, all},
      {{.exact = true}, exact},
      {{.reverse = true}, exact},
      {{.reverse = true, .exact = true}, exact},
      {{.ordered = true}, ordered},
      {{.prefix = true}, ordered},
      {{.reverse = true, .ordered = true}, ordered},
      {{.fuzzy = true}, fuzzy},
      {{.reverse = true, .ordered = true, .prefix = true, .fuzzy = true, .exact = true}, fuzzy},
      {{.fuzzy = true, .exact = true}, fuzzy},
  };
  for (const Case& c : cases) EXPECT_EQ(candidates(c.needs), c.want);
}

TEST(Candidates, AWorkloadAddsTheNeedsOfItsOperations) {
  const Needs none;
  EXPECT_EQ(effective_needs(none, workload({.hits = 9, .misses = 1, .batch = 64})), none);
  EXPECT_EQ(effective_needs(none, workload({.reverse = 0})), none);
  EXPECT_EQ(effective_needs(none, workload({.reverse = 2})), (Needs{.reverse = true}));
  EXPECT_EQ(effective_needs(none, workload({.prefix = 1})), (Needs{.prefix = true}));
  EXPECT_EQ(effective_needs(none, workload({.common_prefix = 1})), (Needs{.prefix = true}));
  EXPECT_EQ(effective_needs(none, workload({.longest_prefix = 1})), (Needs{.prefix = true}));
  EXPECT_EQ(effective_needs({.fuzzy = true}, workload({.reverse = 1, .prefix = 1})),
            (Needs{.reverse = true, .prefix = true, .fuzzy = true}));
  for (Tag t : {Tag::Memory, Tag::Latency, Tag::Balanced}) {
    Objective o = tagged(t);
    o.workload.reverse = 5;  // ignored outside a workload
    EXPECT_EQ(effective_needs(none, o), none);
  }
}

// ---- shape and samples ---------------------------------------------------------------

TEST(Shape, CountsByHand) {
  ShapeWalk w;
  for (const char* k : {"ab", "abc", "abd", "b\xc3\xa9"}) w.push(k);
  EXPECT_EQ(w.shape(), (Shape{.count = 4, .bytes = 11, .non_ascii = 2, .lcp_prev = 2 + 2 + 0}));
}

TEST(Shape, ComparesWithTheKey32Back) {
  std::vector<std::string> keys;
  for (int i = 0; i < 40; ++i) keys.push_back(std::string("k").append(1, static_cast<char>('A' + i)) + "xyz");
  ShapeWalk w;
  for (int i = 0; i < 32; ++i) w.push(keys[i]);
  EXPECT_EQ(w.shape().lcp_back32, 0u);
  EXPECT_EQ(w.shape().back32_count, 0u);
  w.push(keys[32]);  // 32 back: keys[0], sharing "k"
  EXPECT_EQ(w.shape().lcp_back32, 1u);
  EXPECT_EQ(w.shape().back32_count, 1u);
  EXPECT_EQ(w.shape().lcp_prev, 32u);
}

TEST(Samples, TheHashIsFnv1aThroughTheFinaliser) {
  // fin(FNV-1a 64), computed apart from the library.
  EXPECT_EQ(sample_hash(""), 0xf52a15e9a9b5e89bULL);
  EXPECT_EQ(sample_hash("a"), 0x02c0bdbf481420f8ULL);
  EXPECT_EQ(sample_hash("quorvale"), 0x6ac6a37726086943ULL);
  EXPECT_EQ(sample_hash("\xc3\xa9t\xc3\xa9"), 0xd85b56784b41d016ULL);
  // The header checksum is the same hash cut to 32 bits.
  const unsigned char q[] = {'q', 'u', 'o', 'r', 'v', 'a', 'l', 'e'};
  EXPECT_EQ(blob::header_checksum(q), 0x26086943u);
}

std::vector<std::string> numbered(std::size_t n, const char* prefix = "key") {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < n; ++i) keys.push_back(std::string(prefix).append(std::to_string(1000000 + i)));
  return keys;  // ascending: same length, increasing digits
}

TEST(Samples, TheHashDrawKeepsTheSmallestHashes) {
  const std::vector<std::string> keys = numbered(1000);
  HashSample<std::string> s(10);
  for (const auto& k : keys) s.push(k);
  EXPECT_LT(s.size(), 20u);  // trimmed on reaching twice the capacity
  std::vector<std::pair<std::uint64_t, std::string>> all;
  for (const auto& k : keys) all.emplace_back(sample_hash(k), k);
  std::sort(all.begin(), all.end());
  std::vector<std::string> want;
  for (std::size_t i = 0; i < 10; ++i) want.push_back(all[i].second);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(std::move(s).draw(), want);
}

TEST(Samples, AFewThousandKeysAreOneRun) {
  const std::vector<std::string> keys = numbered(RUN_LEN);
  const std::vector<std::string_view> v = views(keys);
  const Draws d = draws(v);
  EXPECT_EQ(d.run, v);
  EXPECT_EQ(d.hash, v);
  const Draws again = draws(v);
  EXPECT_EQ(again.hash, d.hash);
  EXPECT_EQ(again.run, d.run);
  // One more key opens a second run, which is drawn too (two runs fit).
  const std::vector<std::string> more = numbered(RUN_LEN + 1);
  const std::vector<std::string_view> mv = views(more);
  EXPECT_EQ(draws(mv).run, mv);
}

TEST(Samples, TheRunDrawKeepsTheRunsOfSmallestHeads) {
  const std::vector<std::string> keys = numbered(400);
  RunSample<std::string> s(8, 5);
  for (const auto& k : keys) s.push(k);
  std::vector<std::pair<std::uint64_t, std::size_t>> heads;
  for (std::size_t i = 0; i < keys.size(); i += 8) heads.emplace_back(sample_hash(keys[i]), i);
  std::sort(heads.begin(), heads.end());
  std::vector<std::string> want;
  for (std::size_t r = 0; r < 5; ++r)
    for (std::size_t i = heads[r].second; i < heads[r].second + 8; ++i) want.push_back(keys[i]);
  std::sort(want.begin(), want.end());
  EXPECT_EQ(std::move(s).draw(), want);
}

TEST(Samples, ATrimReopensTheOpenRunOnlyIfItsHeadSurvived) {
  // Runs of two keys, one run kept: the second head is pushed with a smaller
  // or a larger hash than the first, and trimmed at once (two runs held).
  std::vector<std::string> heads = numbered(200, "h");
  std::sort(heads.begin(), heads.end(), [](const auto& a, const auto& b) { return sample_hash(a) < sample_hash(b); });
  const std::string& small = heads.front();
  const std::string& large = heads.back();
  for (bool survives : {true, false}) {
    RunSample<std::string> s(2, 1);
    s.push(survives ? large : small);
    s.push("x1");
    s.push(survives ? small : large);  // trimmed here
    EXPECT_EQ(s.runs(), 1u);
    EXPECT_EQ(s.is_open(), survives);
    s.push("x2");
    const std::vector<std::string> got = std::move(s).draw();
    if (survives)
      EXPECT_EQ(got, (std::vector<std::string>{small, "x2"}));
    else
      EXPECT_EQ(got, (std::vector<std::string>{small, "x1"}));
  }
}

TEST(Samples, AScanOnSeveralThreadsIsTheSequentialPass) {
  // Past the hash draw's capacity and over several slices, so that slices
  // trim their candidates and share a threshold.
  std::vector<std::string> keys = numbered(3 * HASH_SAMPLE, "k/");
  keys.insert(keys.begin(), "");
  for (std::size_t i = 1; i < keys.size(); i += 97) keys[i] += "\xc3\xa9";  // still ascending
  const std::vector<std::string_view> v = views(keys);
  Pass<std::string_view> pass;
  for (std::string_view k : v) pass.push(k);
  const Shape shape = pass.walk.shape();
  const Draws<std::string_view> want = std::move(pass).draws();
  ASSERT_EQ(want.hash.size(), HASH_SAMPLE);
  ASSERT_EQ(want.run.size(), RUN_SAMPLE * RUN_LEN);
  for (std::size_t threads : {1, 3, 8}) {
    const Scan got = scan(v, true, threads);
    EXPECT_EQ(got.shape, shape);
    EXPECT_EQ(got.draws.hash, want.hash);
    EXPECT_EQ(got.draws.run, want.run);
    EXPECT_EQ(scan(v, false, threads).shape, shape);
  }
  // Handed over one at a time, past a block, the repeats a merge yields
  // skipped: the same shape and draws, the keys copied out.
  StreamScan stream;
  for (std::string_view k : v) {
    ASSERT_FALSE(stream.repeats(k));
    stream.push(k);
    ASSERT_TRUE(stream.repeats(k));
  }
  EXPECT_EQ(stream.shape(), shape);
  const Draws<std::string> copied = std::move(stream).draws();
  EXPECT_EQ(std::vector<std::string_view>(copied.hash.begin(), copied.hash.end()), want.hash);
  EXPECT_EQ(std::vector<std::string_view>(copied.run.begin(), copied.run.end()), want.run);
}

// ---- rates and the dictionary model ---------------------------------------------------

using S = dict_index::Sections;

S split_of(std::initializer_list<std::pair<S::Index, std::uint64_t>> values) {
  S s{};
  for (auto [i, v] : values) s.values[i] = v;
  return s;
}

TEST(Rates, ReadByHand) {
  // 100 keys of 10 bytes, 300 shared with the key before, 136 with the key
  // 32 back over 68 keys: mean 10, sp = 10 - 300/99, s32 = 10 - 2 = 8.
  const Shape w{.count = 100, .bytes = 1000, .lcp_prev = 300, .lcp_back32 = 136, .back32_count = 68};
  const S split = split_of({{S::TABLES, 50},
                                   {S::HEADER_CODES, 14},
                                   {S::PHRASES, 640},
                                   {S::HEAD_ENDS, 8},
                                   {S::BLOCK_OFFSETS, 9},
                                   {S::MICRO_OFFSETS, 11},
                                   {S::RESTART_HEADERS, 3},
                                   {S::RESTART_WIDE, 1},
                                   {S::RESTART_CODES, 20},
                                   {S::ENTRY_HEADERS, 90},
                                   {S::ENTRY_WIDE, 2},
                                   {S::ENTRY_CODES, 400},
                                   {S::RESTARTS, 4},
                                   {S::ENTRIES, 92}});
  const Rates r = Rates::read(split, 32, w, 6400);
  const double sp = 10.0 - 300.0 / 99.0;
  EXPECT_EQ(r.block, 0u);
  EXPECT_DOUBLE_EQ(r.ratio, 420.0 / (92 * sp + 4 * 8.0));
  EXPECT_DOUBLE_EQ(r.pair, 96.0 / 96.0);
  EXPECT_DOUBLE_EQ(r.per_block, 28.0 / 4.0);  // ceil(100 / 32) blocks
  EXPECT_DOUBLE_EQ(r.per_shard, 64.0);        // one shard spans 2,048 blocks
  EXPECT_DOUBLE_EQ(r.per_key, 0.1);

  // Without a key 32 back s32 is sp; with no coded entries nothing is raw.
  const Shape few{.count = 3, .bytes = 12, .lcp_prev = 4};
  const Rates f = Rates::read(split_of({{S::RESTARTS, 1}, {S::RESTART_CODES, 5}}), 1024, few, 0);
  EXPECT_DOUBLE_EQ(f.ratio, 5.0 / (4.0 - 2.0));
  EXPECT_EQ(f.pair, 0.0);
  EXPECT_EQ(f.per_key, 0.0);
  EXPECT_EQ(Rates::read(split_of({{S::RESTARTS, 1}}), 32, few, 1).ratio, 0.0);  // no codes over raw suffixes
  EXPECT_EQ(Rates::read(S{}, 32, few, 1).ratio, 1.0);                   // no raw suffixes
}

TEST(Rates, ShardsSpanAtMost65535Blocks) {
  const Shape w{.count = 200000, .bytes = 200000};
  const S split = split_of({{S::TABLES, 300}});
  EXPECT_DOUBLE_EQ(Rates::read(split, 1, w, 1).per_shard, 75.0);   // 200,000 blocks, 65,535 a shard: 4 shards
  EXPECT_DOUBLE_EQ(Rates::read(split, 32, w, 1).per_shard, 75.0);  // 6,250 blocks, 2,048 a shard: 4 shards
  EXPECT_DOUBLE_EQ(Rates::read(split, 100000, w, 1).per_shard, 300.0 / 2);  // a block a shard
}

TEST(Model, TheNearestRatesWinTheSmallerOnATie) {
  std::array<Rates, 3> r{};
  r[0].block = 32;
  r[1].block = 256;
  r[2].block = 1024;
  EXPECT_EQ(nearest_rates(r, 128).block, 32u);  // 96 against 128
  EXPECT_EQ(nearest_rates(r, 144).block, 32u);  // 112 against 112
  EXPECT_EQ(nearest_rates(r, 145).block, 256u);
  EXPECT_EQ(nearest_rates(r, 640).block, 256u);
  EXPECT_EQ(nearest_rates(r, 641).block, 1024u);
  EXPECT_EQ(nearest_rates(r, 5000).block, 1024u);
}

TEST(Model, ADictionaryByHand) {
  // 1,000 keys at block 32 and microblocks of 16: 32 blocks, one microblock
  // head a block, one shard; mean 12, sp 12 - 7 = 5, s32 12 - 4 = 8.
  const Shape shape{.count = 1000, .bytes = 12000, .lcp_prev = 6993, .lcp_back32 = 3872, .back32_count = 968};
  Rates r;
  r.ratio = 0.5;
  r.pair = 1.25;
  r.per_block = 3;
  r.per_shard = 100;
  r.per_key = 0.25;
  const double got = dict_model(1000, 32, 16, r, shape, 40);
  const double want = 40 + (100 + 72 + 250 + 12 * 32 + 1.25 * 968 + 0.5 * (936 * 5 + 32 * 8) + 3 * 32);
  EXPECT_DOUBLE_EQ(got, want);
  // Past the last full block a microblock head is still charged.
  EXPECT_DOUBLE_EQ(dict_model(1, 32, 16, r, Shape{.count = 1, .bytes = 4}, 0),
                   100 + 72 + 0.25 + 4 + 0 + 0.5 * (-1.0 * 4 + 1 * 4) + 3);
}

TEST(Model, SizesBecomeBytesByTruncation) {
  EXPECT_EQ(to_bytes(12.99), 12u);
  EXPECT_EQ(to_bytes(-3), 0u);
  EXPECT_EQ(to_bytes(std::nan("")), 0u);
  EXPECT_EQ(to_bytes(1e30), ~std::uint64_t{0});
  EXPECT_EQ(to_bytes(18446744073709549568.0), 18446744073709549568ULL);
}

// ---- latency model ----------------------------------------------------------------

Estimate est(K kind, std::uint64_t bytes, std::optional<std::uint64_t> block = {}, bool measured = true) {
  return Estimate{block, bytes, measured, kind};
}

TEST(Latency, ASmallPerfectHashTakesTheFloor) {
  const Objective memory;
  for (std::uint64_t bytes : {0ull, 1ull, 100ull, 500ull}) {
    EXPECT_EQ(nanos_of(memory, est(K::PerfectHashIndex, bytes), 100, 7.5), -7.7 + 22.55 * 3.3);
  }
  EXPECT_NEAR(nanos_of(memory, est(K::PerfectHashIndex, 0), 0, 0), 66.7, 0.05);
}

// The line of the single lookup at (X, L), as the model evaluates it.
double single_line(double c0, double c1, double c2, double c3, double x, double l) {
  return ((c0 + c1 * x) + c2 * l) + l * (c3 * x);
}

TEST(Latency, DictionaryBlocksInterpolateInLog2) {
  const Objective latency = tagged(Tag::Latency);
  const std::uint64_t n = 1000000, bytes = 4000000;
  const double x = std::log2(static_cast<double>(bytes) * 1.0 / 65536.0);  // above every floor
  const double l = 20;
  // Block 64: half-way between the records of blocks 32 and 128.
  auto half = [](double lo, double hi) { return lo + 0.5 * (hi - lo); };
  EXPECT_EQ(nanos_of(latency, est(K::DictIndex, bytes, 64), n, l),
            single_line(half(147.3, 191.1), half(34.02, 27.69), half(0, 0), half(0.358, 0.395), x, l));
  // Blocks 256 and 1,024: the upper record through lo + 1 * (hi - lo).
  auto one = [](double lo, double hi) { return lo + 1.0 * (hi - lo); };
  EXPECT_EQ(nanos_of(latency, est(K::DictIndex, bytes, 256), n, l),
            single_line(one(191.1, 222), one(27.69, 22.85), 0, one(0.395, 0.419), x, l));
  EXPECT_EQ(nanos_of(latency, est(K::DictIndex, bytes, 1024), n, l),
            single_line(one(222, 289.2), one(22.85, 18.6), 0, one(0.419, 0.428), x, l));
  // No block is block 256; below 32 and above 1,024 the end records.
  EXPECT_EQ(nanos_of(latency, est(K::DictIndex, bytes), n, l), nanos_of(latency, est(K::DictIndex, bytes, 256), n, l));
  EXPECT_EQ(nanos_of(latency, est(K::DictIndex, bytes, 8), n, l), single_line(147.3, 34.02, 0, 0.358, x, l));
  EXPECT_EQ(nanos_of(latency, est(K::DictIndex, bytes, 4096), n, l), single_line(289.2, 18.6, 0, 0.428, x, l));
  // A short mean length counts as 4.89; a small set is scaled to 100,000 keys.
  EXPECT_EQ(nanos_of(latency, est(K::StringIndex, 65536), 1000, 2),
            single_line(152.2, 15.3, 0, 1.209, std::log2(100.0), 4.89));
}

TEST(Latency, Workloads) {
  const std::uint64_t n = 1000000, bytes = 8000000;
  const double l = 16;
  const Estimate kinds[] = {est(K::CompactHashIndex, bytes), est(K::ClosedHashIndex, bytes),
                            est(K::PerfectHashIndex, bytes), est(K::StringIndex, bytes),
                            est(K::DictIndex, bytes, 32)};
  const Objective latency = tagged(Tag::Latency);
  for (const Estimate& e : kinds) {
    const double single = nanos_of(latency, e, n, l);
    EXPECT_EQ(nanos_of(workload({}), e, n, l), single);
    EXPECT_EQ(nanos_of(workload({.batch = 1}), e, n, l), single);
    EXPECT_NE(nanos_of(workload({.batch = 64}), e, n, l), single);
    EXPECT_EQ(nanos_of(workload({.batch = 5000}), e, n, l), nanos_of(workload({.batch = 1024}), e, n, l));
    // Hits alone at batch 1: the hit line, scaled by a factor of exactly 1.
    const double hits = nanos_of(workload({.hits = 3}), e, n, l);
    EXPECT_GT(hits, 0);
    EXPECT_NEAR(nanos_of(workload({.hits = 3, .misses = 3}), e, n, l),
                (hits + nanos_of(workload({.misses = 1}), e, n, l)) / 2, 1e-9);
  }
  const double inf = std::numeric_limits<double>::infinity();
  for (int i = 0; i < 2; ++i) EXPECT_EQ(nanos_of(workload({.hits = 1, .reverse = 1}), kinds[i], n, l), inf);
  EXPECT_LT(nanos_of(workload({.hits = 1, .reverse = 1}), kinds[2], n, l), inf);
  for (Workload w : {Workload{.prefix = 1}, Workload{.common_prefix = 1}, Workload{.longest_prefix = 1}}) {
    EXPECT_EQ(nanos_of(workload(w), kinds[2], n, l), inf);
    EXPECT_LT(nanos_of(workload(w), kinds[3], n, l), inf);
    EXPECT_LT(nanos_of(workload(w), kinds[4], n, l), inf);
  }
}

TEST(Latency, BatchesInterpolateBetween1And16And1024) {
  const Estimate e = est(K::ClosedHashIndex, 1 << 20);
  const std::uint64_t n = 100000;
  const double l = 10, x = 4;  // 1 MiB over 64 KiB
  const double single = single_line(47.4, 8.87, 0.06, 0, x, l);
  const double b16 = single_line(34.1, 1.98, 0.073, 0, x, l);
  const double b1024 = single_line(31.9, 0.78, 0.063, 0, x, l);
  EXPECT_EQ(nanos_of(workload({.batch = 4}), e, n, l), single + (b16 - single) * 2.0 * 0.25);
  EXPECT_EQ(nanos_of(workload({.batch = 16}), e, n, l), single + (b16 - single) * 4.0 * 0.25);
  EXPECT_EQ(nanos_of(workload({.batch = 128}), e, n, l), b16 + (b1024 - b16) * 3.0 / 6);
  const double per = b16 + (b1024 - b16) * 3.0 / 6;
  const double hit = single_line(47.5, 8.47, 0.062, 0, x, l);
  EXPECT_EQ(nanos_of(workload({.hits = 2, .batch = 128}), e, n, l), 2.0 * hit * (per / single) / 2.0);
}

// ---- ranking -------------------------------------------------------------------------

std::vector<K> kinds_of(const std::vector<Estimate>& es) {
  std::vector<K> out;
  for (const Estimate& e : es) out.push_back(e.kind);
  return out;
}

TEST(Rank, MemoryIsStableOnEqualBytes) {
  std::vector<Estimate> es{est(K::StringIndex, 500), est(K::DictIndex, 300, 32), est(K::PerfectHashIndex, 500),
                           est(K::DictIndex, 300, 256)};
  rank(es, Objective{}, 1000, 8);
  EXPECT_EQ(es[0], est(K::DictIndex, 300, 32));
  EXPECT_EQ(es[1], est(K::DictIndex, 300, 256));
  EXPECT_EQ(kinds_of(es), (std::vector<K>{K::DictIndex, K::DictIndex, K::StringIndex, K::PerfectHashIndex}));
}

TEST(Rank, LatencyPutsTheSmallerFirstOnEqualNanos) {
  // Two perfect-hash indexes under their floor take the same nanoseconds.
  std::vector<Estimate> es{est(K::StringIndex, 10), est(K::PerfectHashIndex, 90), est(K::PerfectHashIndex, 40)};
  rank(es, tagged(Tag::Latency), 100000, 8);
  EXPECT_EQ(es[0].bytes, 40u);
  EXPECT_EQ(es[1].bytes, 90u);
  EXPECT_EQ(es[2].kind, K::StringIndex);
  // A kind that cannot serve a workload goes last.
  std::vector<Estimate> w{est(K::CompactHashIndex, 10), est(K::StringIndex, 10000)};
  rank(w, workload({.hits = 1, .reverse = 1}), 100000, 8);
  EXPECT_EQ(w[0].kind, K::StringIndex);
}

TEST(Rank, BalancedWeighsSizeAgainstSpeed) {
  const std::uint64_t n = 1000000;
  const Objective balanced = tagged(Tag::Balanced);
  std::vector<Estimate> es{est(K::DictIndex, 4000000, 1024), est(K::ClosedHashIndex, 6000000),
                           est(K::StringIndex, 3000000)};
  std::vector<double> score;
  const double least = 3000000;
  double fastest = 1e300;
  for (const Estimate& e : es) fastest = std::min(fastest, nanos_of(balanced, e, n, 12));
  for (const Estimate& e : es) score.push_back(std::max(e.bytes / least, nanos_of(balanced, e, n, 12) / fastest));
  std::vector<std::size_t> order{0, 1, 2};
  std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return score[a] < score[b]; });
  std::vector<Estimate> want;
  for (auto i : order) want.push_back(es[i]);
  rank(es, balanced, n, 12);
  EXPECT_EQ(es, want);
}

TEST(Rank, CloseMeansWithin1Point3) {
  const std::vector<Estimate> close_pair{est(K::DictIndex, 1000, 32), est(K::DictIndex, 1100, 256),
                                         est(K::StringIndex, 1300)};
  EXPECT_TRUE(close(close_pair));
  const std::vector<Estimate> apart{est(K::DictIndex, 1000, 32), est(K::DictIndex, 1100, 256),
                                    est(K::StringIndex, 1301)};
  EXPECT_FALSE(close(apart));  // the other dictionary block is the same kind
  EXPECT_FALSE(close(std::vector<Estimate>{est(K::StringIndex, 5)}));
}

// ---- the plan text ---------------------------------------------------------------------

TEST(PlanText, NamesTheObjective) {
  EXPECT_EQ(objective_name(Objective{}), "size");
  EXPECT_EQ(objective_name(tagged(Tag::Latency)), "latency");
  EXPECT_EQ(objective_name(tagged(Tag::Balanced)), "balance");
  EXPECT_EQ(objective_name(workload({.hits = 9, .misses = 1})), "workload (hits 9, misses 1)");
  EXPECT_EQ(objective_name(workload({.batch = 64})), "latency (batch 64)");
  EXPECT_EQ(objective_name(workload({})), "latency");
  EXPECT_EQ(objective_name(workload({.batch = 1})), "latency");
  EXPECT_EQ(objective_name(workload({.hits = 1,
                                     .misses = 2,
                                     .reverse = 3,
                                     .prefix = 4,
                                     .common_prefix = 5,
                                     .longest_prefix = 18446744073709551615ull,
                                     .batch = 16})),
            "workload (hits 1, misses 2, reverse 3, prefix 4, common_prefix 5, longest_prefix 18446744073709551615, "
            "batch 16)");
}

TEST(PlanText, LaysOutTheLines) {
  Plan p;
  p.keys = 1000;
  p.mean_length = 12.25;
  p.mean_lcp = 10.75;
  p.estimates = {est(K::DictIndex, 4000, 1024, false), est(K::StringIndex, 5000, {}, false),
                 est(K::PerfectHashIndex, 123456789012000, {}, false)};
  const std::string text = p.text();
  char ns[3][16];
  for (int i = 0; i < 3; ++i) std::snprintf(ns[i], sizeof ns[i], "%5.0f", p.nanos(p.estimates[i]));
  const std::string want =
      std::string("1000 keys, mean length 12.2, mean shared prefix 10.8, ranked by size\n") +
      "* DictIndex                 4000 bytes   4.00 B/key  " + ns[0] + " ns  estimated at block 1024\n" +
      "  StringIndex               5000 bytes   5.00 B/key  " + ns[1] + " ns  estimated\n" +
      "  PerfectHashIndex  123456789012000 bytes  123456789012.00 B/key  " + ns[2] + " ns  estimated\n" +
      "the nanoseconds are a model of this crate's own machine, not a measurement of yours\n"
      "the two cheapest are within 1.3x, which is inside what an estimate can separate: build both\n"
      "the mean suffix is 1.5 bytes, too short for a sampled compression ratio to carry: build rather than quote\n";
  EXPECT_EQ(text, want);
}

TEST(PlanText, MarksEveryLineOfTheBestKindAndBlockAndPrintsInf) {
  Plan p;
  p.objective = workload({.reverse = 1});
  p.estimates = {est(K::DictIndex, 0, 32), est(K::DictIndex, 0, 32), est(K::DictIndex, 0, 256),
                 est(K::CompactHashIndex, 0)};
  char ns[2][16];
  for (int i = 0; i < 2; ++i) std::snprintf(ns[i], sizeof ns[i], "%5.0f", p.nanos(p.estimates[2 * i]));
  EXPECT_EQ(p.text(),
            std::string("0 keys, mean length 0.0, mean shared prefix 0.0, ranked by workload (reverse 1)\n") +
                "* DictIndex                    0 bytes   0.00 B/key  " + ns[0] + " ns  built at block 32\n" +
                "* DictIndex                    0 bytes   0.00 B/key  " + ns[0] + " ns  built at block 32\n" +
                "  DictIndex                    0 bytes   0.00 B/key  " + ns[1] + " ns  built at block 256\n" +
                "  CompactHashIndex             0 bytes   0.00 B/key    inf ns  built\n"
                "the nanoseconds are a model of this crate's own machine, not a measurement of yours\n"
                "the two cheapest are within 1.3x, which is inside what an estimate can separate: build both\n");
  EXPECT_FALSE(p.thin());  // the best is built
}

// ---- a keys file ---------------------------------------------------------------------

std::vector<std::string> file_keys(const std::string& path, std::size_t budget = 1 << 20,
                                   std::uint64_t max_key = MAX_KEY) {
  std::vector<std::string> out;
  each_file_key(path, budget, max_key, [&](std::string_view k) { out.emplace_back(k); });
  return out;
}

TEST(KeysFile, LinesBecomeKeys) {
  TempDir dir;
  const std::string path = dir / "keys.txt";
  write_file(path, "b\r\na\n\n\r\nc\rd\nlast");
  EXPECT_EQ(file_keys(path), (std::vector<std::string>{"a", "b", "c\rd", "last"}));
  write_file(path, "a\r");
  EXPECT_EQ(file_keys(path), (std::vector<std::string>{"a"}));
  write_file(path, "\r\n\n\r");
  EXPECT_EQ(file_keys(path), (std::vector<std::string>{}));
  write_file(path, "");
  EXPECT_EQ(file_keys(path), (std::vector<std::string>{}));
  EXPECT_EQ(dir.names(), (std::set<std::string>{"keys.txt"}));
}

TEST(KeysFile, Failures) {
  TempDir dir;
  const std::string path = dir / "keys.txt";
  write_file(path, "fine\nbad \xff here\n");
  try {
    file_keys(path);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
    EXPECT_EQ(e.io_kind_value(), IoKind::InvalidData);
    EXPECT_EQ(e.message(), path + ":2: not UTF-8");
  }
  const std::string missing = dir / "missing.txt";
  try {
    file_keys(missing);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
    EXPECT_EQ(e.io_kind_value(), IoKind::NotFound);
    EXPECT_EQ(e.display(), "io error: " + missing + ": No such file or directory (os error 2)");
  }
  EXPECT_EQ(dir.names(), (std::set<std::string>{"keys.txt"}));
}

TEST(KeysFile, RunsSpillAndMergeWithRepeatsOnce) {
  TempDir dir;
  const std::string path = dir / "keys.txt";
  std::string text;
  std::set<std::string> want;
  for (int round = 0; round < 3; ++round)
    for (int i = 0; i < 500; ++i) {
      const std::string k = "key" + std::to_string((i * 7919 + round) % 900);
      text += k + "\n";
      want.insert(k);
    }
  write_file(path, text);
  bool spilled = false;
  std::vector<std::string> got;
  each_file_key(path, 2048, MAX_KEY, [&](std::string_view k) {
    got.emplace_back(k);
    // The spill directory lies beside the keys file while the runs replay.
    spilled = spilled || dir.names().size() > 1;
  });
  EXPECT_TRUE(spilled);
  EXPECT_EQ(got, std::vector<std::string>(want.begin(), want.end()));
  EXPECT_EQ(dir.names(), (std::set<std::string>{"keys.txt"}));
}

TEST(KeysFile, LinesAcrossReadBlocks) {
  // Lines that run over the reader's blocks of a mebibyte: one longer than
  // a block, a CR LF cut between two blocks, a character cut between two.
  TempDir dir;
  const std::string path = dir / "keys.txt";
  const std::string longest(1536 * 1024, 'q');
  std::string text;
  std::set<std::string> want;
  auto line = [&](const std::string& key, const char* end) {
    text += key + end;
    want.insert(key);
  };
  for (int i = 0; text.size() < (1 << 20) - 16; ++i)
    line(std::string("key").append(std::to_string(i)), i % 3 ? "\n" : "\r\n");
  line(std::string((1 << 20) - 1 - text.size(), 'a'), "\r\n");
  line("after", "\n");
  line(longest, "\n");
  while (text.size() < 3 * (1 << 20) - 64) line(std::string("x").append(std::to_string(text.size())), "\n");
  line(std::string(3 * (1 << 20) - 2 - text.size(), 'b'), "\n");
  text += "\xc3\xa9\n";  // cut after its first byte
  want.insert("\xc3\xa9");
  line("last", "");
  write_file(path, text);
  EXPECT_EQ(file_keys(path, RUN_BUDGET), std::vector<std::string>(want.begin(), want.end()));
  // A line longer than the longest key is refused, by its number.
  const std::uint64_t longest_line =
      static_cast<std::uint64_t>(std::count(text.begin(), text.begin() + text.find(longest), '\n')) + 1;
  try {
    file_keys(path, RUN_BUDGET, 1 << 20);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.display(),
              "format error: " + path + ":" + std::to_string(longest_line) + ": plan: a key longer than the run budget");
  }
  // A bad byte past the first block is named by its line.
  const std::size_t at = text.find("after");
  const std::uint64_t number = static_cast<std::uint64_t>(std::count(text.begin(), text.begin() + at, '\n')) + 1;
  text[at + 2] = '\xff';
  write_file(path, text);
  try {
    file_keys(path, RUN_BUDGET);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.message(), path + ":" + std::to_string(number) + ": not UTF-8");
  }
}

TEST(KeysFile, KeysLongerThanTheBudget) {
  // Refused wherever they stand, by their line, before the reader takes the
  // rest of them; the spill directory goes too. A key of the whole budget
  // is planned.
  TempDir dir;
  const std::string path = dir / "keys.txt";
  const std::string full(2048, 'z');
  auto refused = [&](const std::string& text, std::size_t budget, std::uint64_t max_key, int line) {
    write_file(path, text);
    try {
      file_keys(path, budget, max_key);
      ADD_FAILURE() << line;
    } catch (const IndexError& e) {
      EXPECT_EQ(e.kind(), IndexError::Kind::Format);
      EXPECT_EQ(e.display(),
                "format error: " + path + ":" + std::to_string(line) + ": plan: a key longer than the run budget");
    }
    EXPECT_EQ(dir.names(), (std::set<std::string>{"keys.txt"}));
  };
  refused(full + "z\na\n", 2048, MAX_KEY, 1);
  std::string spilled;
  for (int i = 0; i < 300; ++i) spilled += "key" + std::to_string(i) + "\n";
  refused(spilled + "\n" + full + "z\r\nc\n", 2048, MAX_KEY, 302);
  refused("b\n" + full + full, 2048, MAX_KEY, 2);
  // Past the longest key a run file can hold, under any budget.
  refused("a\n" + full + "\nb\n", RUN_BUDGET, 2047, 2);
  write_file(path, "b\n" + full + "\r\na\n" + full + "\r");
  EXPECT_EQ(file_keys(path, 2048), (std::vector<std::string>{"a", "b", full}));
  EXPECT_EQ(file_keys(path, RUN_BUDGET, 2048), (std::vector<std::string>{"a", "b", full}));
  EXPECT_EQ(dir.names(), (std::set<std::string>{"keys.txt"}));
}

}  // namespace
