#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "mphf.hpp"
#include "mphf_fixtures.hpp"

using namespace quorvale;
using namespace mphf_fixtures;

namespace {

// The slot formula written out in full, for comparison with the library's.
std::uint64_t general_slot(std::uint64_t S, std::uint64_t W, unsigned s, unsigned d, std::uint64_t x, unsigned c) {
  std::uint64_t off = c & ((1u << (8 - d)) - 1);
  unsigned rot = 8 * (c >> (8 - d));
  std::uint64_t pos = ((x >> rot) + (off << s)) & (W - 1);
  std::uint64_t slot = static_cast<std::uint64_t>((static_cast<unsigned __int128>(x) * S) >> 64) + pos;
  return slot >= S ? slot - S : slot;
}

struct Fixture {
  const char* name;
  const TableSpec* table;
  std::span<const unsigned char> mph3;
  const std::uint32_t* ids;
  const char* paths;
  const char* must_take;  // the evaluation paths the probes are known to cover
};

const Fixture FIXTURES[] = {
    {"full", &FULL_SPEC, image(FULL_MPH3), FULL_IDS, FULL_PATHS, "0W12abt"},
    {"notail", &NOTAIL_SPEC, image(NOTAIL_MPH3), NOTAIL_IDS, NOTAIL_PATHS, "0W12abn"},
    {"fast", &FAST_SPEC, image(FAST_MPH3), FAST_IDS, FAST_PATHS, "0W1at"},
    {"tailonly", &TAILONLY_SPEC, image(TAILONLY_MPH3), TAILONLY_IDS, TAILONLY_PATHS, "t"},
    {"geom0", &GEOM0_SPEC, image(GEOM0_MPH3), GEOM0_IDS, GEOM0_PATHS, "0W12abt"},
};

constexpr std::size_t PROBES = 3000;

}  // namespace

TEST(MphfArithmetic, KnownAnswers) {
  EXPECT_EQ(splitmix64(0), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(splitmix64(1), 0x910a2dec89025cc1ULL);
  const std::uint64_t MAX = ~std::uint64_t{0};
  EXPECT_EQ(range(MAX, MAX), MAX - 1);
  EXPECT_EQ(range(MAX, 1000), 999u);
  EXPECT_EQ(range(0, MAX), 0u);
  EXPECT_EQ(range(MAX, 0), 0u);
  EXPECT_EQ(range(std::uint64_t{1} << 63, 1001), 500u);
  EXPECT_EQ(range(MAX, 1), 0u);
  EXPECT_EQ(rotl(0x8000000000000001ULL, 1), 3u);
  EXPECT_EQ(rotl(0x0123456789abcdefULL, 17), 0x8acf13579bde0246ULL);
  EXPECT_EQ(rotl(0x0123456789abcdefULL, 0), 0x0123456789abcdefULL);
}

TEST(MphfArithmetic, SelectInWord) {
  std::mt19937_64 r(5);
  for (int t = 0; t < 20000; ++t) {
    std::uint64_t x = r() & r() & (t % 3 ? r() : ~0ULL);
    unsigned k = 0;
    for (unsigned i = 0; i < 64; ++i)
      if (x >> i & 1) {
        ASSERT_EQ(select64(x, k++), i) << std::hex << x;
      }
  }
}

TEST(MphfEvaluation, ShortSlotFormulaEqualsGeneral) {
  std::mt19937_64 r(1);
  for (std::uint64_t S : {1024ULL, 1500ULL, 1ULL << 40, ~0ULL}) {
    Level l;
    l.slots = S;
    l.buckets = 1;
    l.window = 1024;
    l.mode_bits = 2;
    l.shift = Level::shift_for(1024, 2);
    ASSERT_EQ(l.shift, 4u);
    for (int t = 0; t < 400; ++t) {
      std::uint64_t x = r();
      for (unsigned c = 1; c < 256; ++c) ASSERT_EQ(l.slot(x, static_cast<std::uint8_t>(c)), general_slot(S, 1024, 4, 2, x, c));
    }
  }
}

TEST(MphfEvaluation, ShiftsFollowTheWindow) {
  EXPECT_EQ(Level::shift_for(64, 2), 0u);
  EXPECT_EQ(Level::shift_for(256, 2), 2u);
  EXPECT_EQ(Level::shift_for(512, 2), 3u);
  EXPECT_EQ(Level::shift_for(1024, 2), 4u);
  EXPECT_EQ(Level::shift_for(1, 0), 0u);
  EXPECT_EQ(Level::shift_for(256, 0), 0u);
  EXPECT_EQ(Level::shift_for(511, 0), 0u);
  EXPECT_EQ(Level::shift_for(512, 0), 1u);
  EXPECT_EQ(Level::shift_for(1 << 20, 0), 1u);
}

// Hand-assembled tables: each probe gets the id the reference computed, and
// the probes cover level-0 hits, windows wrapping past a level's end, further
// levels, the tail and (without a tail) the answer 0.
TEST(MphfEvaluation, HandAssembledTablesAnswerTheReferenceIds) {
  auto hashes = probe_hashes(PROBES);
  for (const Fixture& f : FIXTURES) {
    SCOPED_TRACE(f.name);
    Mphf m(assemble(*f.table));
    ASSERT_EQ(m.n(), f.table->n);
    std::string paths(f.paths);
    for (const char* c = f.must_take; *c; ++c) EXPECT_NE(paths.find(*c), std::string::npos) << "path " << *c;
    for (std::size_t i = 0; i < PROBES; ++i) ASSERT_EQ(m.index(hashes[i]), f.ids[i]) << "probe " << i << " path " << paths[i];
    // The whole batch, in both the per-key loop and the block method
    // (forced below by the batch tests); here the small table takes the loop.
    auto all = m.index_all(hashes);
    for (std::size_t i = 0; i < PROBES; ++i) ASSERT_EQ(all[i], f.ids[i]);
  }
}

TEST(MphfEvaluation, EmptyTableAnswersZero) {
  Mphf m{V2{}};
  std::mt19937_64 r(3);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(m.index(r()), 0u);
  std::vector<std::uint64_t> in(100);
  for (auto& h : in) h = r();
  for (std::uint64_t id : m.index_all(in)) EXPECT_EQ(id, 0u);
  EXPECT_TRUE(m.index_all({}).empty());
}

TEST(MphfEvaluation, LegacyTablesAnswerTheReferenceIds) {
  struct Case {
    const char* name;
    std::span<const unsigned char> img;
    const std::uint32_t* ids;
    const char* paths;
    const char* must_take;
  } cases[] = {
      {"skew", image(MPH1_IMAGE), MPH1_IDS, MPH1_PATHS, "lLhH"},
      {"noskew", image(MPH1_NOSKEW_IMAGE), MPH1_NOSKEW_IDS, MPH1_NOSKEW_PATHS, "DR"},
  };
  auto hashes = probe_hashes(PROBES);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mphf m = Mphf::from_bytes(c.img);
    ASSERT_NE(m.v1(), nullptr);
    std::string paths(c.paths);
    for (const char* p = c.must_take; *p; ++p) EXPECT_NE(paths.find(*p), std::string::npos) << "path " << *p;
    for (std::size_t i = 0; i < PROBES; ++i) ASSERT_EQ(m.index(hashes[i]), c.ids[i]) << "probe " << i;
    auto all = m.index_all(hashes);
    for (std::size_t i = 0; i < PROBES; ++i) ASSERT_EQ(all[i], c.ids[i]);
  }
  // The rotated product exactly at the 60% boundary takes the upper range.
  Mphf m = Mphf::from_bytes(image(MPH1_IMAGE));
  EXPECT_EQ(m.index(MPH1_BOUNDARY_HASH), MPH1_BOUNDARY_ID);
}

TEST(MphfEvaluation, EmptyLegacyTableAnswersZero) {
  Mphf m = Mphf::from_bytes(image(EMPTY_MPH1));
  ASSERT_NE(m.v1(), nullptr);
  EXPECT_EQ(m.n(), 0u);
  std::vector<std::uint64_t> in = probe_hashes(200);
  for (std::uint64_t h : in) EXPECT_EQ(m.index(h), 0u);
  for (std::uint64_t id : m.index_all(in)) EXPECT_EQ(id, 0u);
}
