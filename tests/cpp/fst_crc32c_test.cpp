// CRC-32C and its footer mask, against vectors from tests/reference/fst_crc32c.py.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include "fst/crc32c.hpp"

namespace fst = quorvale::fst;

namespace {

std::span<const unsigned char> bytes_of(std::string_view s) {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

std::uint32_t portable(std::span<const unsigned char> b) { return ~fst::crc32c_update_portable(0xFFFFFFFFu, b); }
std::uint32_t hw(std::span<const unsigned char> b) { return ~fst::crc32c_update_hw(0xFFFFFFFFu, b); }

TEST(FstCrc32c, KnownAnswersOnBothPaths) {
  std::vector<unsigned char> zeros(32, 0), ramp(256);
  for (int i = 0; i < 256; ++i) ramp[i] = static_cast<unsigned char>(i);
  struct Case {
    std::span<const unsigned char> data;
    std::uint32_t crc, masked;
  } cases[] = {
      {bytes_of("123456789"), 0xE3069283u, 0xC78AB0E5u},
      {{}, 0x00000000u, 0xA282EAD8u},
      {zeros, 0x8A9136AAu, 0x0FD7FFFAu},
      {ramp, 0x9C44184Bu, 0xD31A2360u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fst::crc32c(c.data), c.crc);
    EXPECT_EQ(portable(c.data), c.crc);
    EXPECT_EQ(hw(c.data), c.crc);
    EXPECT_EQ(fst::mask_crc(c.crc), c.masked);
  }
}

TEST(FstCrc32c, PathsAgreeAtEveryLengthAlignmentAndSplit) {
  std::mt19937_64 rng(7);
  std::vector<unsigned char> buf(300);
  for (auto& b : buf) b = static_cast<unsigned char>(rng());
  for (std::size_t off = 0; off < 9; ++off) {
    for (std::size_t len = 0; off + len <= buf.size(); len += 1 + len / 8) {
      std::span<const unsigned char> s(buf.data() + off, len);
      const std::uint32_t want = portable(s);
      ASSERT_EQ(hw(s), want) << off << " " << len;
      // Streaming in two pieces gives the same value.
      fst::Crc32c c;
      c.update(s.first(len / 3));
      c.update(s.subspan(len / 3));
      ASSERT_EQ(c.value(), want);
    }
  }
}

}  // namespace
