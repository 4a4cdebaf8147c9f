#include "varint.hpp"

#include <gtest/gtest.h>

namespace quorvale {
namespace {

std::vector<unsigned char> enc(std::uint64_t v) {
  std::vector<unsigned char> out;
  varint::put(out, v);
  return out;
}

TEST(Varint, KnownEncodings) {
  struct Case {
    std::uint64_t v;
    std::vector<unsigned char> bytes;
  };
  const Case cases[] = {
      {0, {0x00}},
      {1, {0x01}},
      {127, {0x7f}},
      {128, {0x80, 0x01}},
      {300, {0xac, 0x02}},
      {16383, {0xff, 0x7f}},
      {16384, {0x80, 0x80, 0x01}},
      {~0ULL, {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(enc(c.v), c.bytes) << c.v;
    EXPECT_EQ(varint::len(c.v), c.bytes.size()) << c.v;
    auto r = varint::get(c.bytes);
    ASSERT_TRUE(r) << c.v;
    EXPECT_EQ(r->value, c.v);
    EXPECT_EQ(r->size, c.bytes.size());
    unsigned char buf[10];
    EXPECT_EQ(varint::put(buf, c.v) - buf, static_cast<std::ptrdiff_t>(c.bytes.size()));
  }
}

TEST(Varint, TenthByteAndTruncation) {
  std::vector<unsigned char> ten(9, 0x80);
  ten.push_back(0x00);
  ASSERT_TRUE(varint::get(ten));
  EXPECT_EQ(varint::get(ten)->value, 0u);
  ten.back() = 0x01;
  EXPECT_EQ(varint::get(ten)->value, 1ULL << 63);
  ten.back() = 0x02;
  EXPECT_FALSE(varint::get(ten));
  std::vector<unsigned char> endless(11, 0x80);
  EXPECT_FALSE(varint::get(endless));
  std::vector<unsigned char> cut = {0x80, 0x80};
  EXPECT_FALSE(varint::get(cut));
  EXPECT_FALSE(varint::get(std::span<const unsigned char>()));
}

}  // namespace
}  // namespace quorvale
