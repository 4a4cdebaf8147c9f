#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "arrow_chunk.hpp"

using namespace quorvale::arrow;

namespace {

OwnedBytes bytes_of(const std::vector<unsigned char>& v) {
  OwnedBytes b(v.size());
  if (!v.empty()) std::memcpy(b.data(), v.data(), v.size());
  return b;
}

OwnedBytes offsets_of(const std::vector<std::int64_t>& offs, bool large) {
  std::vector<unsigned char> out;
  for (std::int64_t o : offs) {
    std::uint64_t u = static_cast<std::uint64_t>(o);
    for (int b = 0; b < (large ? 8 : 4); ++b) out.push_back(static_cast<unsigned char>(u >> (8 * b)));
  }
  return bytes_of(out);
}

Utf8Chunk chunk(const std::vector<std::int64_t>& offs, const std::string& data, bool large = false) {
  Utf8Chunk c;
  c.large = large;
  c.offsets = offsets_of(offs, large);
  c.data = bytes_of(std::vector<unsigned char>(data.begin(), data.end()));
  c.base = offs.empty() ? 0 : offs[0];
  c.len = offs.empty() ? 0 : offs.size() - 1;
  return c;
}

}  // namespace

TEST(ArrowChunk, KeysAreReadRelativeToTheFirstOffset) {
  for (bool large : {false, true}) {
    // A slice whose offsets start at 10: data holds only the referenced bytes.
    Utf8Chunk c = chunk({10, 11, 11, 14}, "abcd", large);
    ASSERT_FALSE(c.check().has_value());
    EXPECT_EQ(c.key(0), "a");
    EXPECT_EQ(c.key(1), "");
    EXPECT_EQ(c.key(2), "bcd");
    EXPECT_FALSE(c.is_null(2));
  }
}

TEST(ArrowChunk, NullsAtShiftedBitPositions) {
  // Elements 0..9 with bit offset 5: element i is bit 5 + i, LSB first.
  Utf8Chunk c = chunk({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "abcdefghij");
  c.has_validity = true;
  c.bit_offset = 5;
  // Nulls at elements 1, 3 and 9: bits 6, 8 and 14 are clear.
  std::uint32_t bits = 0xFFFF & ~((1u << 6) | (1u << 8) | (1u << 14));
  c.validity = bytes_of({static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8)});
  ASSERT_FALSE(c.check().has_value());
  std::vector<int> nulls;
  for (std::size_t i = 0; i < c.size(); ++i)
    if (c.is_null(i)) nulls.push_back(static_cast<int>(i));
  EXPECT_EQ(nulls, (std::vector<int>{1, 3, 9}));
}

TEST(ArrowChunk, RawOffsetsSignExtend) {
  OwnedBytes small = offsets_of({-1, 5}, false);
  EXPECT_EQ(raw_offset_at(small.data(), 0, false), -1);
  EXPECT_EQ(raw_offset_at(small.data(), 1, false), 5);
  OwnedBytes big = offsets_of({std::int64_t{1} << 40, -2}, true);
  EXPECT_EQ(raw_offset_at(big.data(), 0, true), std::int64_t{1} << 40);
  EXPECT_EQ(raw_offset_at(big.data(), 1, true), -2);
}

TEST(ArrowChunk, CheckFailures) {
  struct Case {
    const char* name;
    Utf8Chunk c;
    Fault expected;
  };
  std::vector<Case> cases;
  cases.push_back({"descending", chunk({0, 3, 2}, "abc"), Fault::NotAscending});
  cases.push_back({"past the data", chunk({0, 2, 5}, "abcd"), Fault::NotAscending});
  cases.push_back({"past the data, large", chunk({0, 2, 5}, "abcd", true), Fault::NotAscending});
  Utf8Chunk negative = chunk({-1, 0}, "");
  cases.push_back({"negative base", std::move(negative), Fault::NotAscending});
  Utf8Chunk short_offsets = chunk({0, 1}, "a");
  short_offsets.len = 2;
  cases.push_back({"short offsets", std::move(short_offsets), Fault::OffsetsShort});
  Utf8Chunk short_validity = chunk({0, 1, 2, 3, 4}, "abcd");
  short_validity.has_validity = true;
  short_validity.bit_offset = 5;  // needs 9 bits
  short_validity.validity = bytes_of({0xFF});
  cases.push_back({"short validity", std::move(short_validity), Fault::ValidityShort});
  for (const Case& k : cases) {
    auto f = k.c.check();
    ASSERT_TRUE(f.has_value()) << k.name;
    EXPECT_EQ(*f, k.expected) << k.name;
  }
  Utf8Chunk exact = chunk({0, 1, 2, 3}, "abc");
  exact.has_validity = true;
  exact.bit_offset = 5;  // exactly 8 bits
  exact.validity = bytes_of({0xFF});
  EXPECT_FALSE(exact.check().has_value());
}

TEST(ArrowChunk, RangeArithmeticRefusesOverflow) {
  auto r = offsets_range(3, 4, false);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->start, 12u);
  EXPECT_EQ(r->length, 20u);
  r = offsets_range(3, 4, true);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->start, 24u);
  EXPECT_EQ(r->length, 40u);
  EXPECT_FALSE(offsets_range(std::uint64_t{1} << 62, 1, false));
  EXPECT_FALSE(offsets_range(0, UINT64_MAX, false));
  EXPECT_FALSE(offsets_range(0, UINT64_MAX / 8, true));
  EXPECT_FALSE(offsets_range(UINT64_MAX / 8, UINT64_MAX / 16, true));  // start + length wraps

  auto v = validity_range(3, 10);  // bits 3..12: bytes 0 and 1
  ASSERT_TRUE(v);
  EXPECT_EQ(v->start, 0u);
  EXPECT_EQ(v->length, 2u);
  v = validity_range(8, 8);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->start, 1u);
  EXPECT_EQ(v->length, 1u);
  EXPECT_FALSE(validity_range(UINT64_MAX, 2));

  EXPECT_TRUE(range_within(10, 10, 0));
  EXPECT_FALSE(range_within(10, 11, 0));
  EXPECT_FALSE(range_within(10, 2, UINT64_MAX));

  EXPECT_FALSE(data_range(-1, 3));
  EXPECT_FALSE(data_range(4, 3));
  ASSERT_TRUE(data_range(4, 9));
  EXPECT_EQ(data_range(4, 9)->length, 5u);
}

TEST(ArrowChunk, FaultMessages) {
  EXPECT_STREQ(fault_message(Fault::NoOffsets), "the column has no offsets buffer");
  EXPECT_STREQ(fault_message(Fault::OffsetsShort), "the column's offsets buffer is shorter than the column");
  EXPECT_STREQ(fault_message(Fault::NotAscending), "the column's offsets do not ascend within its data buffer");
  EXPECT_STREQ(fault_message(Fault::NullsWithoutValidity), "the column reports nulls but has no validity buffer");
  EXPECT_STREQ(fault_message(Fault::ValidityShort), "the column's validity buffer is shorter than the column");
}
