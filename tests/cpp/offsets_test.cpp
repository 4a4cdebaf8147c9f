#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <random>
#include <vector>

#include "offsets.hpp"

using namespace quorvale;
using Bytes = std::vector<unsigned char>;

TEST(Offsets, WorkedExamples) {
  EXPECT_TRUE(offsets::packed_pack({}, 7).empty());
  std::vector<std::uint64_t> zeros{0, 0, 0};
  EXPECT_EQ(offsets::packed_pack(zeros, 0), Bytes(8, 0));

  std::vector<std::uint64_t> small{1, 2, 3};
  Bytes want(9, 0);
  want[0] = 0x39;
  EXPECT_EQ(offsets::packed_pack(small, 2), want);

  std::vector<std::uint64_t> three{0, 10, 25};
  auto s = offsets::pack(three, 5);
  EXPECT_EQ(s.samples, Bytes(8, 0));
  Bytes packed(10, 0);
  packed[0] = 0x40;
  packed[1] = 0x65;
  EXPECT_EQ(s.packed, packed);

  std::vector<std::uint64_t> ramp;
  for (std::uint64_t v = 0; v <= 64; ++v) ramp.push_back(v);
  auto r = offsets::pack(ramp, 6);
  ASSERT_EQ(r.samples.size(), 16u);
  EXPECT_EQ(load_le64(r.samples.data()), 0u);
  EXPECT_EQ(load_le64(r.samples.data() + 8), 64u);
  EXPECT_EQ(r.packed.size(), 57u);
  for (std::uint64_t i = 0; i <= 64; ++i) {
    EXPECT_EQ(offsets::packed_get(r.packed.data(), i, 6), i % 64);
    EXPECT_EQ(offsets::sampled_get(r.samples.data(), r.packed.data(), i, 6), i);
  }

  EXPECT_TRUE(offsets::pack({}, 3).samples.empty());
  EXPECT_TRUE(offsets::pack({}, 3).packed.empty());
}

TEST(Offsets, FullWidthFieldAtBitSeven) {
  // The widest field starting at the last bit of a byte still lies in the
  // one word read at that byte.
  Bytes stream(16, 0);
  const std::uint64_t v = (std::uint64_t{1} << 56) - 1;
  store_le64(stream.data(), v << 7);
  EXPECT_EQ(offsets::read_field(stream.data(), 7, 56), v);
  EXPECT_EQ(stream[0], 0x80);
  // In a packed array: width 55, value 1 starts at bit 55 = bit 7 of byte 6.
  std::vector<std::uint64_t> values{0, (std::uint64_t{1} << 55) - 1, 0};
  Bytes p = offsets::packed_pack(values, 55);
  EXPECT_EQ(offsets::packed_get(p.data(), 1, 55), values[1]);
  EXPECT_EQ(offsets::packed_get(p.data(), 2, 55), 0u);
}

TEST(Offsets, RoundTripsAtEveryWidth) {
  std::mt19937_64 rng(56);
  for (unsigned w = 0; w <= 56; ++w) {
    const std::uint64_t mask = w == 0 ? 0 : (std::uint64_t{1} << w) - 1;
    for (std::size_t n : {1, 7, 64, 65, 200}) {
      std::vector<std::uint64_t> values(n);
      for (auto& v : values) v = rng() & mask;
      values[n / 2] = mask;  // the largest value of the width somewhere
      Bytes p = offsets::packed_pack(values, w);
      ASSERT_EQ(p.size(), (n * w + 7) / 8 + 8);
      for (std::size_t k = p.size() - 8; k < p.size(); ++k) ASSERT_EQ(p[k], 0) << "slack must stay zero";
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(offsets::packed_get(p.data(), i, w), values[i]) << w;

      std::vector<std::uint64_t> ascending(n);
      std::uint64_t base = rng() >> 8;
      for (std::size_t i = 0; i < n; ++i) {
        if (i % 64 == 0) base += rng() >> 20;
        ascending[i] = base + (i % 64 == 0 ? 0 : std::min<std::uint64_t>(mask, (rng() & mask) | (i % 64)));
      }
      // Keep each block ascending: sort its differences.
      for (std::size_t b = 0; b < n; b += 64) std::sort(ascending.begin() + b, ascending.begin() + std::min(n, b + 64));
      auto s = offsets::pack(ascending, w);
      for (std::size_t i = 0; i < n; ++i)
        ASSERT_EQ(offsets::sampled_get(s.samples.data(), s.packed.data(), i, w), ascending[i]) << w;
    }
  }
}

TEST(Offsets, RefusesWhatWouldCorruptNeighbours) {
  std::vector<std::uint64_t> v{4};
  EXPECT_THROW(offsets::packed_pack(v, 2), Panic);
  EXPECT_THROW(offsets::packed_pack(v, 57), Panic);
  std::vector<std::uint64_t> one{1};
  EXPECT_THROW(offsets::packed_pack(one, 0), Panic);
  std::vector<std::uint64_t> descending{5, 3};
  EXPECT_THROW(offsets::pack(descending, 8), Panic);
  std::vector<std::uint64_t> wide{0, 300};
  EXPECT_THROW(offsets::pack(wide, 8), Panic);
}
