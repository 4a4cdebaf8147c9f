#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mphf.hpp"
#include "mphf_fixtures.hpp"

using namespace quorvale;
using namespace mphf_fixtures;

namespace {

// Short batches, a batch shorter than either lookahead, block edges and
// block edges plus either lookahead.
const std::size_t LENGTHS[] = {0, 1, 10, 55, 56, 57, 63, 64, 65, 1023, 1024, 1025, 1024 + 55, 1024 + 56,
                               1024 + 57, 1024 + 64, 1024 + 65, 2048, 5000};

void expect_batch_equals_single(const Mphf& m, std::uint64_t seed) {
  auto pool = random_hashes(5000, seed);
  for (std::size_t len : LENGTHS) {
    std::span<const std::uint64_t> in(pool.data(), len);
    auto out = m.index_all(in);
    ASSERT_EQ(out.size(), len);
    for (std::size_t i = 0; i < len; ++i) ASSERT_EQ(out[i], m.index(in[i])) << "input " << i << " of " << len;
  }
}

}  // namespace

TEST(MphfBatch, EqualsSingleKeyEvaluationOnEveryPath) {
  struct Case {
    const char* name;
    Synthetic s;
  } cases[] = {
      {"per-key loop below the block threshold", {262143, 1024, true, true, 0.1, 1}},
      {"block method at the threshold", {262144, 1024, true, true, 0.1, 2}},
      {"block method, general formula, no tail", {262144, 512, false, true, 0.3, 3}},
      {"block method, no mode bits", {262144, 1024, true, false, 0.2, 4}},
      {"every key bumped by level 0", {262144, 1024, true, true, 1.0, 5}},
      {"every key bumped, no tail", {262144, 1024, false, true, 1.0, 6}},
      {"wide level 0, lookahead 56", {1 << 24, 1024, true, true, 0.1, 7}},
      {"wide level 0, general formula, no tail", {1 << 24, 256, false, true, 0.3, 8}},
      {"no level 0", {0, 1024, true, true, 0.1, 9}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mphf m(synthetic(c.s));
    expect_batch_equals_single(m, c.s.seed);
  }
}

TEST(MphfBatch, BumpedKeysWithoutATailGetZero) {
  Mphf m(synthetic({262144, 1024, false, true, 1.0, 11}));
  auto in = random_hashes(3000, 12);
  auto out = m.index_all(in);
  std::size_t none = 0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    ASSERT_EQ(out[i], m.v2()->index_bumped(in[i]));
    if (m.v2()->further_slot(in[i]) == V2::NONE) {
      ++none;
      ASSERT_EQ(out[i], 0u);
    }
  }
  // Two further levels with 10% of their buckets bumped: about 1% fall through.
  EXPECT_GT(none, 5u);
  EXPECT_LT(none, 300u);
}
