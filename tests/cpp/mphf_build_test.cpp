// Pieces of the minimal perfect hash build: geometry and chunk plans, the
// occupancy map, bucket runs, the seed search against brute force, and the
// build's errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "mphf_build.hpp"

using namespace quorvale;
using namespace quorvale::mphf_build;

namespace {

std::uint64_t rng_range(std::uint64_t x, std::uint64_t n) {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(x) * n) >> 64);
}

void expect_build_error(const char* message, auto&& fn) {
  try {
    fn();
    FAIL() << "no error, expected " << message;
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Build);
    EXPECT_EQ(e.message(), message);
  }
}

// An ascending stream over a vector, counting what it hands out.
class VecStream : public KeyStream {
 public:
  explicit VecStream(std::vector<std::uint64_t> v) : v_(std::move(v)) {}
  bool next(std::uint64_t& out) override {
    if (i_ >= v_.size()) return false;
    out = v_[i_++];
    return true;
  }
  std::size_t taken() const { return i_; }

 private:
  std::vector<std::uint64_t> v_;
  std::size_t i_ = 0;
};

// A stream that never ends.
class EndlessStream : public KeyStream {
 public:
  bool next(std::uint64_t& out) override {
    out = (count_++) << 20;
    return true;
  }
  std::uint64_t count_ = 0;
};

std::vector<std::uint64_t> sorted_keys(std::size_t n, std::uint64_t seed) {
  std::vector<std::uint64_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = splitmix64(seed + i);
  std::sort(v.begin(), v.end());
  return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Geometry, plan, constants.

TEST(MphfBuildPlan, GeometryAndChunkPlans) {
  struct Case {
    std::uint64_t n;
    bool level0;
    std::uint64_t buckets, window, shift, chunks, first_chunk, last_chunk, gap;
  };
  const Case cases[] = {
      {257, true, 58, 256, 2, 1, 58, 58, 29},
      {4095, true, 910, 256, 2, 1, 910, 910, 0},
      {4096, true, 911, 512, 3, 1, 911, 911, 0},
      {32767, true, 7282, 512, 3, 1, 7282, 7282, 0},
      {32768, true, 7282, 1024, 4, 1, 7282, 7282, 0},
      {147451, true, 32767, 1024, 4, 1, 32767, 32767, 0},
      {147452, true, 32768, 1024, 4, 2, 16384, 16384, 0},
      {1000000, true, 222223, 1024, 4, 8, 27777, 27784, 230},
      {1179648, true, 262144, 1024, 4, 10, 65536, 16384, 0},
      {100000, false, 22223, 1024, 4, 5, 4096, 5839, 0},
      {36864, false, 8192, 1024, 4, 2, 4096, 4096, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    Geometry g = level_geometry(c.n);
    EXPECT_EQ(g.slots, c.n);
    EXPECT_EQ(g.buckets, c.buckets);
    EXPECT_EQ(g.window, c.window);
    EXPECT_EQ(g.shift, c.shift);
    ChunkPlan p = chunk_plan(g, c.level0);
    EXPECT_EQ(p.chunks(), c.chunks);
    EXPECT_EQ(p.end(0) - p.boundaries[0], c.first_chunk);
    EXPECT_EQ(p.end(p.chunks() - 1) - p.boundaries.back(), c.last_chunk);
    if (c.gap) {
      EXPECT_EQ(p.gap, c.gap);
    }
    std::uint64_t largest = 0;
    for (std::size_t i = 0; i < p.chunks(); ++i) largest = std::max(largest, p.end(i) - p.boundaries[i]);
    EXPECT_EQ(p.largest, largest);
  }
  // The special plan: two wide chunks, then eight of 16384.
  ChunkPlan p = chunk_plan(level_geometry(1179648), true);
  std::vector<std::uint64_t> want = {0, 65536, 131072};
  for (std::uint64_t j = 1; j <= 7; ++j) want.push_back(131072 + 16384 * j);
  EXPECT_EQ(p.boundaries, want);
  // One bucket less takes the ordinary rule: chunk 32767, eight chunks.
  Geometry g{};
  g = level_geometry(1179648);
  g.buckets = 262143;
  ChunkPlan q = chunk_plan(g, true);
  EXPECT_EQ(q.chunks(), 8u);
  EXPECT_EQ(q.boundaries[1], 32767u);
}

TEST(MphfBuildPlan, CostsLeadsAndTailSeeds) {
  const std::uint32_t* log2 = log2_table();
  EXPECT_EQ(log2[0], 0u);
  EXPECT_EQ(log2[1], 0u);
  EXPECT_EQ(log2[2], 65536u);
  EXPECT_EQ(log2[1024], 655360u);
  EXPECT_EQ(log2[4094], 786386u);
  EXPECT_EQ(log2[4095], 786409u);
  for (unsigned p = 1; p < 1024; ++p) EXPECT_LT(log2[p - 1 + 95], log2[p + 95]);
  EXPECT_EQ(lead(1, 1024), -50137);
  EXPECT_EQ(lead(1, 512), -25068);
  EXPECT_EQ(lead(1, 256), -12534);
  EXPECT_EQ(lead(16, 1024), 286652);
  EXPECT_EQ(splitmix64(TAIL_SEED_BASE + 0), 0xb0852a2a83b80083ULL);
  EXPECT_EQ(splitmix64(TAIL_SEED_BASE + 1), 0xcc0161302a52d247ULL);
}

// ---------------------------------------------------------------------------
// Map and bucket runs.

TEST(MphfBuildMap, LayoutMergeAndHoles) {
  Map m(1000, 2);
  EXPECT_EQ(m.stride, ((1000u >> 2) >> 6) + 3);
  EXPECT_EQ(m.words.size(), m.stride * 4);
  m.set(5);  // row 1, position 1
  EXPECT_EQ(m.words[1 * m.stride + 0], 2u);
  EXPECT_TRUE(m.test(5));
  m.clear(5);
  EXPECT_FALSE(m.test(5));

  // A negative offset keeps only the part of other from self's word 0 on.
  Map self(64 * 4 * 4, 2), other(64 * 4 * 4, 2);
  for (std::size_t r = 0; r < 4; ++r)
    for (std::size_t w = 0; w < other.stride; ++w) other.words[r * other.stride + w] = (r + 1) * 100 + w;
  self.merge(other, -2);
  for (std::size_t r = 0; r < 4; ++r) {
    for (std::size_t w = 0; w < self.stride; ++w) {
      std::uint64_t want = w + 2 < other.stride ? (r + 1) * 100 + w + 2 : 0;
      EXPECT_EQ(self.words[r * self.stride + w], want);
    }
  }
  Map right(64 * 4 * 4, 2);
  right.merge(other, 3);  // lands on words 3.., the rest dropped past the stride
  EXPECT_EQ(right.words[0], 0u);
  EXPECT_EQ(right.words[3], 100u);

  // Holes: every free slot below n, increasing, for each shift.
  for (std::uint32_t shift : {0u, 2u, 4u}) {
    for (std::uint64_t n : {1ull, 63ull, 700ull, 5000ull}) {
      Map h(n, shift);
      std::mt19937_64 gen(n * 7 + shift);
      std::vector<std::uint64_t> want;
      for (std::uint64_t k = 0; k < n; ++k) {
        if (gen() % 3 != 0) h.set(k);
        else want.push_back(k);
      }
      Holes holes(h, n);
      std::vector<std::uint64_t> got;
      std::uint64_t x;
      while (holes.next(x)) got.push_back(x);
      EXPECT_EQ(got, want) << "n " << n << " shift " << shift;
    }
  }
  Map empty(0, 4);
  Holes none(empty, 0);
  std::uint64_t x;
  EXPECT_FALSE(none.next(x));
}

TEST(MphfBuildMap, BucketEndsAndBumpedKeys) {
  // Keys of buckets 0, 0, 2 over three buckets.
  const std::uint64_t B = 3;
  std::uint64_t step = ~std::uint64_t{0} / 3;
  std::vector<std::uint64_t> keys = {1, 2, 2 * step + 5};
  std::vector<std::uint32_t> ends(4, 0);
  bucket_ends(keys, B, 0, std::span<std::uint32_t>(ends.data() + 1, 3));
  EXPECT_EQ(ends, (std::vector<std::uint32_t>{0, 2, 2, 3}));
  // A key outside the run is an internal fault.
  std::vector<std::uint32_t> short_ends(2, 0);
  EXPECT_THROW(bucket_ends(keys, B, 0, std::span<std::uint32_t>(short_ends.data() + 1, 1)), Panic);

  BucketRun run{level_geometry(1000), keys, ends};
  std::uint8_t seeds[3] = {0, 7, 0};
  std::vector<std::uint64_t> out;
  bumped_keys(run, seeds, 3, out);
  EXPECT_EQ(out, (std::vector<std::uint64_t>{1, 2, 2 * step + 5}));
  out.clear();
  std::uint8_t seeds2[3] = {9, 0, 0};
  bumped_keys(run, seeds2, 2, out);  // stops at count
  EXPECT_TRUE(out.empty());
}

// ---------------------------------------------------------------------------
// Seed search against brute force.

namespace {

// The selection rule, literally: every candidate (r, c) but (0, 0).
std::uint8_t brute_seed(const Geometry& g, std::span<const std::uint64_t> keys, const Map& map, std::uint64_t base,
                        std::vector<std::uint64_t>* slots_out) {
  if (keys.size() > 64) return 0;
  const std::uint64_t N = g.slots, W = g.window, end = N - base;
  bool found = false;
  std::uint64_t best_cost = 0;
  unsigned best = 0;
  const std::uint32_t* log2 = log2_table();
  std::vector<std::uint64_t> us, slots;
  for (unsigned r = 0; r < 4; ++r) {
    us.clear();
    for (std::uint64_t h : keys) us.push_back((rng_range(h, N) - base + ((h >> (8 * r)) & (W - 1))) % end);
    std::sort(us.begin(), us.end());
    if (std::adjacent_find(us.begin(), us.end()) != us.end()) continue;
    for (unsigned c = 0; c < 64; ++c) {
      if (r == 0 && c == 0) continue;
      slots.clear();
      std::uint64_t cost = 0;
      bool ok = true;
      for (std::uint64_t h : keys) {
        std::uint64_t p = (((h >> (8 * r)) & (W - 1)) + (std::uint64_t{c} << g.shift)) & (W - 1);
        std::uint64_t s = (rng_range(h, N) - base + p) % end;
        cost += log2[p + 95];
        if (map.test(s)) {
          ok = false;
          break;
        }
        slots.push_back(s);
      }
      if (!ok) continue;
      std::sort(slots.begin(), slots.end());
      if (std::adjacent_find(slots.begin(), slots.end()) != slots.end()) continue;
      if (!found || cost < best_cost || (cost == best_cost && 64 * r + c < best)) {
        found = true;
        best_cost = cost;
        best = 64 * r + c;
        if (slots_out) *slots_out = slots;
      }
    }
  }
  return found ? static_cast<std::uint8_t>(best) : 0;
}

// Keys whose range-reduced slot lies in [lo, hi) of a level of N slots.
std::uint64_t key_near(std::mt19937_64& gen, std::uint64_t N, std::uint64_t lo, std::uint64_t hi) {
  std::uint64_t e = lo + gen() % (hi - lo);
  unsigned __int128 first = ((static_cast<unsigned __int128>(e) << 64) + N - 1) / N;
  std::uint64_t width = static_cast<std::uint64_t>((static_cast<unsigned __int128>(1) << 64) / N) - 1;
  std::uint64_t h = static_cast<std::uint64_t>(first) + gen() % width;
  EXPECT_EQ(rng_range(h, N), e);
  return h;
}

}  // namespace

TEST(MphfBuildSeed, SearchesAgreeWithBruteForce) {
  struct Case {
    std::uint64_t N, base;
    bool wrap;
  };
  const Case cases[] = {{3000, 0, false}, {3000, 1024, false}, {20000, 4096, false},
                        {50000, 0, false}, {300, 0, true},     {50000, 0, true}};
  std::mt19937_64 gen(42);
  int lane_runs = 0, general_runs = 0, placed = 0, bumped = 0;
  for (const Case& cs : cases) {
    Geometry g = level_geometry(cs.N);
    for (int trial = 0; trial < 300; ++trial) {
      // Densities of about 6%, 25%, 50%, 75% and 94% taken slots.
      Map map(cs.N - cs.base, g.shift);
      for (std::uint64_t& w : map.words) {
        std::uint64_t a = gen(), b = gen(), c = gen(), d = gen();
        const std::uint64_t by_density[5] = {a & b & c & d, a & b, a, a | b, a | b | c | d};
        w = by_density[trial % 5];
      }
      std::size_t L = 1 + gen() % (trial % 7 == 0 ? 40 : 16);
      std::uint64_t lo = cs.base, hi = cs.N - g.window;
      if (cs.wrap) lo = cs.N - g.window + 1, hi = cs.N;
      // A few keys of a bucket near one another, some sharing a base slot.
      std::vector<std::uint64_t> keys;
      std::uint64_t centre = lo + gen() % (hi - lo);
      for (std::size_t i = 0; i < L; ++i) {
        std::uint64_t a = centre > lo + 40 ? centre - 40 : lo, b = std::min(hi, centre + 40);
        keys.push_back(key_near(gen, cs.N, a, b));
      }
      if (cs.wrap && !keys.empty()) keys[0] = key_near(gen, cs.N, cs.N - 20, cs.N);
      std::vector<std::uint64_t> want_slots;
      std::uint8_t want = brute_seed(g, keys, map, cs.base, &want_slots);
      if (L <= 16) {
        Map m2 = map;
        LaneResult lr = seed_bucket_lanes(g, keys, m2, cs.base);
        EXPECT_EQ(lr.applied, !cs.wrap);
        if (lr.applied) {
          ++lane_runs;
          ASSERT_EQ(lr.byte, want) << "lanes N " << cs.N << " trial " << trial;
          Map m3 = map;
          for (std::uint64_t s : want_slots) m3.set(s);
          if (want == 0) m3 = map;
          EXPECT_EQ(m2.words, m3.words);
        }
      }
      Map m4 = map;
      std::uint8_t got = seed_bucket(g, keys, m4, cs.base);
      ++general_runs;
      ASSERT_EQ(got, want) << "general N " << cs.N << " trial " << trial;
      Map m5 = map;
      if (want != 0)
        for (std::uint64_t s : want_slots) m5.set(s);
      EXPECT_EQ(m4.words, m5.words);
      (want ? placed : bumped)++;
    }
  }
  EXPECT_GT(lane_runs, 1000);
  EXPECT_GT(placed, 500);
  EXPECT_GT(bumped, 50);
}

TEST(MphfBuildSeed, OneKeyBucketsAndLimits) {
  Geometry g = level_geometry(50000);  // W = 1024, shift 4
  std::mt19937_64 gen(7);
  for (int i = 0; i < 200; ++i) {
    std::uint64_t h = key_near(gen, g.slots, 0, g.slots - g.window);
    Map map(g.slots, g.shift);
    LaneResult lr = seed_bucket_lanes(g, std::span<const std::uint64_t>(&h, 1), map, 0);
    ASSERT_TRUE(lr.applied);
    ASSERT_NE(lr.byte, 0);
    // The smallest position any rotation reaches.
    std::uint64_t want_pos = ~std::uint64_t{0};
    for (unsigned r = 0; r < 4; ++r) {
      std::uint64_t t = (h >> (8 * r)) & 1023;
      std::uint64_t p = t & 15;
      if (r == 0 && t < 16) p = t + 16;
      want_pos = std::min(want_pos, p);
    }
    unsigned r = lr.byte >> 6, c = lr.byte & 63;
    EXPECT_EQ((((h >> (8 * r)) & 1023) + 16 * c) & 1023, want_pos);
  }
  // 65 keys: bumped, map untouched; every slot taken: bumped.
  std::vector<std::uint64_t> many;
  for (int i = 0; i < 65; ++i) many.push_back(key_near(gen, g.slots, 100, 200));
  Map map(g.slots, g.shift);
  EXPECT_EQ(seed_bucket(g, many, map, 0), 0);
  EXPECT_TRUE(std::all_of(map.words.begin(), map.words.end(), [](std::uint64_t w) { return w == 0; }));
  Map full(g.slots, g.shift);
  std::fill(full.words.begin(), full.words.end(), ~std::uint64_t{0});
  std::uint64_t one = many[0];
  LaneResult lr = seed_bucket_lanes(g, std::span<const std::uint64_t>(&one, 1), full, 0);
  EXPECT_TRUE(lr.applied);
  EXPECT_EQ(lr.byte, 0);
}

TEST(MphfBuildSeed, RunFollowsPriorityOrder) {
  // seed_run against a plain model: buckets sorted by (1024 j - lead, lead),
  // each seeded by brute force on the same map.
  for (std::uint64_t N : {2000ull, 20000ull, 100000ull}) {
    Geometry g = level_geometry(N);
    std::mt19937_64 gen(N);
    const std::uint64_t count = std::min<std::uint64_t>(g.buckets, 900);
    // Bucket sizes drawn wide so that big buckets jump ahead of small ones.
    std::vector<std::uint64_t> keys;
    std::vector<std::uint32_t> ends = {0};
    for (std::uint64_t j = 0; j < count; ++j) {
      unsigned size = gen() % 10 == 0 ? 10 + gen() % 60 : gen() % 6;
      std::uint64_t lo = first_slot(N, j, g.buckets), hi = first_slot(N, j + 1, g.buckets);
      for (unsigned i = 0; i < size && hi > lo; ++i) keys.push_back(key_near(gen, N, lo, hi));
      ends.push_back(static_cast<std::uint32_t>(keys.size()));
    }
    Map map(N, g.shift), model(N, g.shift);
    for (std::uint64_t k = 0; k < N; k += 1 + gen() % 4) {
      map.set(k);
      model.set(k);
    }
    std::vector<std::uint8_t> seeds(count, 0), want(count, 0);
    BucketRun run{g, keys, ends};
    seed_run(run, seeds.data(), static_cast<std::uint32_t>(count), map, 0);
    std::vector<std::tuple<std::int64_t, std::int64_t, std::uint64_t>> order;
    for (std::uint64_t j = 0; j < count; ++j) {
      std::uint32_t size = ends[j + 1] - ends[j];
      if (!size) continue;
      std::int64_t ld = lead(std::min(size, 16u), g.window);
      order.emplace_back(1024 * static_cast<std::int64_t>(j) - ld, ld, j);
    }
    std::sort(order.begin(), order.end());
    for (auto& [p, l, j] : order) {
      std::vector<std::uint64_t> slots;
      std::span<const std::uint64_t> bk(keys.data() + ends[j], ends[j + 1] - ends[j]);
      want[j] = brute_seed(g, bk, model, 0, &slots);
      if (want[j])
        for (std::uint64_t s : slots) model.set(s);
    }
    EXPECT_EQ(seeds, want) << "N " << N;
    EXPECT_EQ(map.words, model.words);
  }
}

// ---------------------------------------------------------------------------
// Order helpers.

TEST(MphfBuildOrder, SortednessAndBucketOrder) {
  EXPECT_TRUE(is_sorted({}, 4));
  std::uint64_t one = 5;
  EXPECT_TRUE(is_sorted(std::span<const std::uint64_t>(&one, 1), 1));
  std::vector<std::uint64_t> v = {1, 2, 2, 3};
  EXPECT_TRUE(is_sorted(v, 1));
  v = {1, 3, 2};
  EXPECT_FALSE(is_sorted(v, 1));

  // group_by_bucket equals a stable counting sort, for one range and many.
  for (std::uint64_t c : {300ull, 50000ull}) {
    std::vector<std::uint64_t> keys(c);
    for (std::uint64_t i = 0; i < c; ++i) keys[i] = splitmix64(i * 31 + c);
    const std::uint64_t k = 3, B = (2 * c + 8) / 9;
    std::vector<std::uint64_t> pos(B + 1, 0);
    for (std::uint64_t key : keys) ++pos[rng_range(level_hash(key, k), B) + 1];
    for (std::uint64_t b = 1; b <= B; ++b) pos[b] += pos[b - 1];
    std::vector<std::uint64_t> want(c), cursor(pos.begin(), pos.end() - 1);
    for (std::uint64_t key : keys) {
      std::uint64_t x = level_hash(key, k);
      want[cursor[rng_range(x, B)]++] = x;
    }
    for (std::uint64_t t : {1ull, 3ull}) {
      std::vector<std::uint64_t> got(c, 0);
      group_by_bucket(keys, k, B, pos, got, t);
      EXPECT_EQ(got, want) << c << " keys, " << t << " threads";
    }
  }
}

// ---------------------------------------------------------------------------
// Errors.

TEST(MphfBuildErrors, CountMismatchDuplicatesAndLimits) {
  for (std::size_t n : {5u, 256u, 2000u}) {
    SCOPED_TRACE(n);
    std::vector<std::uint64_t> keys = sorted_keys(n + 1, n);
    std::vector<std::uint64_t> fewer(keys.begin(), keys.end() - 2);
    VecStream short_stream(fewer);  // n - 1 values
    expect_build_error(MSG_COUNT, [&] { V2::build_from(n, KeyInput::from_stream(short_stream), 1); });
    VecStream long_stream(keys);  // n + 1 values
    expect_build_error(MSG_COUNT, [&] { V2::build_from(n, KeyInput::from_stream(long_stream), 2); });
    EndlessStream endless;  // read no further than one past the promised count
    expect_build_error(MSG_COUNT, [&] { V2::build_from(n, KeyInput::from_stream(endless), 2); });
    EXPECT_LE(endless.count_, n + 1);
    std::vector<std::uint64_t> exact(keys.begin(), keys.end() - 1);
    expect_build_error(MSG_COUNT, [&] { V2::build_from(n + 1, KeyInput::sorted(exact), 1); });

    // Two equal hashes: no seed places their bucket, in bounded time.
    if (n == 256) continue;  // the same tail search as n = 5
    std::vector<std::uint64_t> dup = exact;
    dup[n / 2] = dup[n / 2 + 1];
    expect_build_error(MSG_NO_SEED, [&] { Mphf::build_with_threads(dup, 2); });
  }
  // More than u32::MAX keys, refused before any work (the slice is not read).
  std::uint64_t dummy = 0;
  std::span<const std::uint64_t> huge(&dummy, std::size_t{0x100000000ULL});
  expect_build_error(MSG_TOO_MANY, [&] { Mphf::build_with_threads(huge, 1); });
  EndlessStream never;
  expect_build_error(MSG_TOO_MANY, [&] { V2::build_from(0x100000000ULL, KeyInput::from_stream(never), 1); });
  EXPECT_EQ(never.count_, 0u);
}

TEST(MphfBuildErrors, KeysOutOfOrderStopTheBuild) {
  // A stream or a slice promised sorted that is not: an internal error rather
  // than a table that gives some keys wrong ids. Both a descent inside one
  // chunk and one across chunks.
  for (std::size_t n : {1000u, 200000u}) {
    std::vector<std::uint64_t> keys = sorted_keys(n, 3);
    for (auto [a, b] : {std::pair<std::size_t, std::size_t>{10, 60}, {n / 4, 3 * n / 4}}) {
      std::vector<std::uint64_t> bad = keys;
      std::swap(bad[a], bad[b]);
      VecStream s(bad);
      EXPECT_THROW(V2::build_from(n, KeyInput::from_stream(s), 2), Panic) << n << " " << a;
      EXPECT_THROW(V2::build_from(n, KeyInput::sorted(bad), 2), Panic) << n << " " << a;
      Mphf m = Mphf::build_with_threads(bad, 2);  // checked, so grouped instead
      EXPECT_NE(m.index(bad[a]), m.index(bad[b]));
    }
  }
}

// ---------------------------------------------------------------------------
// Known answers of the slow sequential model.

namespace {
struct Known {
  std::uint64_t n, seed, length, fnv;
};
const Known KNOWN[] = {
#include "mphf_build_known.inc"
};
std::uint64_t fnv64(const std::vector<unsigned char>& b) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : b) {
    h ^= c;
    h *= 0x100000001b3ULL;
  }
  return h;
}
}  // namespace

TEST(MphfBuildKnown, ImagesMatchTheSequentialModel) {
  for (const Known& k : KNOWN) {
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    if (k.n > 200000) continue;  // the largest case runs in the plain build only
#endif
    SCOPED_TRACE(k.n);
    std::vector<std::uint64_t> keys(k.n);
    for (std::uint64_t i = 0; i < k.n; ++i) keys[i] = splitmix64(k.seed + i);
    std::vector<unsigned char> image = Mphf::build_with_threads(keys, 2).to_bytes();
    EXPECT_EQ(image.size(), k.length);
    EXPECT_EQ(fnv64(image), k.fnv);
  }
}
