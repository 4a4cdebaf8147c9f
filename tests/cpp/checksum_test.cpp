#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blob.hpp"

using namespace quorvale;

namespace {
std::vector<unsigned char> seq(std::size_t n) {
  std::vector<unsigned char> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i);
  return v;
}
std::span<const unsigned char> bytes(std::string_view s) {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}
}  // namespace

TEST(PayloadChecksum, KnownAnswers) {
  EXPECT_EQ(blob::hash_block({}), 0xe220a8397b1dcdafULL);
  EXPECT_EQ(blob::hash_block(bytes("abc")), 0xd548a05aab54937fULL);
  EXPECT_EQ(blob::hash_block(seq(11)), 0xd40d65eb3a5e3029ULL);
  EXPECT_EQ(blob::hash_block(seq(16)), 0x4a1f93dac23bd69fULL);
  // The empty input is the finaliser of the start value alone.
  EXPECT_EQ(blob::hash_block({}), fin(0x9e3779b97f4a7c15ULL));
}

TEST(PayloadChecksum, TrailingZerosChangeTheValue) {
  std::vector<unsigned char> one(1, 0), two(2, 0);
  EXPECT_NE(blob::hash_block(one), blob::hash_block(two));
}

TEST(PayloadChecksum, AnySplitGivesTheSameValue) {
  auto data = seq(61);
  std::uint64_t whole = blob::hash_block(data);
  for (std::size_t a = 0; a <= data.size(); ++a) {
    for (std::size_t b = a; b <= data.size(); b += 5) {
      BlockHasher h;
      h.update(std::span(data).subspan(0, a));
      h.update(std::span(data).subspan(a, b - a));
      EXPECT_EQ(h.finish(), blob::hash_block(std::span(data).subspan(0, b)));
      h.update(std::span(data).subspan(b));
      ASSERT_EQ(h.finish(), whole) << a << " " << b;
    }
  }
  // Empty pieces, also with bytes pending, change nothing.
  BlockHasher with_empty;
  with_empty.update(std::span<const unsigned char>());
  with_empty.update(bytes("ab"));
  with_empty.update(std::span<const unsigned char>());
  with_empty.update(bytes("c"));
  EXPECT_EQ(with_empty.finish(), 0xd548a05aab54937fULL);
  BlockHasher bytewise;
  for (unsigned char c : std::string_view("abc")) bytewise.update(std::span<const unsigned char>(&c, 1));
  EXPECT_EQ(bytewise.finish(), 0xd548a05aab54937fULL);
}

TEST(HeaderChecksum, KnownAnswer) {
  std::vector<unsigned char> header(32, 0);
  header[0] = 'B';
  header[1] = 'M';
  header[2] = 'P';
  header[3] = '8';
  EXPECT_EQ(blob::header_checksum(header), 0x3ebb43c8u);
}
