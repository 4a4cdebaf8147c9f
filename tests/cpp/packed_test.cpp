#include "packed.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace quorvale {
namespace {

using packed::Alphabet;
using Histogram = std::array<std::uint64_t, 256>;

std::vector<unsigned char> record(const Alphabet& a) {
  std::vector<unsigned char> out;
  a.write_to(out);
  return out;
}

struct Coded {
  std::vector<unsigned char> bytes;
  std::uint64_t codes = 0;
};

Coded code(const Alphabet& a, const std::vector<unsigned char>& s) {
  Coded c;
  std::uint64_t bits = 0;
  std::uint32_t pending = 0;
  for (unsigned char b : s) {
    a.put(b, bits, pending, c.bytes);
    c.codes += a.units(b);
  }
  if (pending > 0) c.bytes.push_back(static_cast<unsigned char>(bits));
  EXPECT_EQ(c.bytes.size(), (c.codes * a.width + 7) / 8);
  return c;
}

TEST(Packed, ChoosesWidthAndAlphabets) {
  Histogram h{};
  EXPECT_FALSE(Alphabet::of(h));

  h['x'] = 9;
  auto r = Alphabet::of(h);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->first.width, 1u);
  EXPECT_EQ(r->first.primary, std::vector<std::uint8_t>{'x'});
  EXPECT_TRUE(r->first.secondary.empty());
  EXPECT_EQ(r->second, 9u);

  // Two values: both primary, code 1 is a primary code, not an escape.
  h['a'] = 2;
  r = Alphabet::of(h);
  EXPECT_EQ(r->first.width, 1u);
  EXPECT_EQ(r->first.primary, (std::vector<std::uint8_t>{'x', 'a'}));
  EXPECT_TRUE(r->first.secondary.empty());
  EXPECT_EQ(r->second, 11u);
  std::vector<unsigned char> out;
  const unsigned char ones = 0xFF;
  ASSERT_TRUE(r->first.decode_into(&ones, 1, 0, 3, out, UINT64_MAX));
  EXPECT_EQ(out, (std::vector<unsigned char>{'a', 'a', 'a'}));

  // Three values of count c: 13c bits at width 1, 6c at width 2.
  Histogram three{};
  three['q'] = three['r'] = three['s'] = 5;
  r = Alphabet::of(three);
  EXPECT_EQ(r->first.width, 2u);
  EXPECT_EQ(r->first.primary, (std::vector<std::uint8_t>{'q', 'r', 's'}));
  EXPECT_EQ(r->second, 30u);

  // Equal counts: the smaller byte gets the smaller code; 256 of them: width 8.
  Histogram all{};
  all.fill(3);
  r = Alphabet::of(all);
  EXPECT_EQ(r->first.width, 8u);
  EXPECT_EQ(r->first.primary.size(), 256u);
  EXPECT_TRUE(r->first.secondary.empty());
  for (unsigned i = 0; i < 256; ++i) EXPECT_EQ(r->first.primary[i], i);
  EXPECT_EQ(r->second, 8u * 256 * 3);

  // One frequent byte, one rare and one rarer: width 1 with a one-byte
  // secondary (1000 + 2 * 10 + 10 * 1 bits), the rarest spelled raw.
  Histogram skew{};
  skew['a'] = 1000;
  skew['b'] = 10;
  skew['c'] = 1;
  r = Alphabet::of(skew);
  EXPECT_EQ(r->first.width, 1u);
  EXPECT_EQ(r->first.primary, std::vector<std::uint8_t>{'a'});
  EXPECT_EQ(r->first.secondary, std::vector<std::uint8_t>{'b'});
  EXPECT_EQ(r->second, 1030u);
  EXPECT_EQ(r->first.reverse['a'], 0);
  EXPECT_EQ(r->first.reverse['b'], 0x8000);
  EXPECT_EQ(r->first.reverse['c'], 0xFFFF);
  EXPECT_EQ(r->first.units('c'), 10u);
}

TEST(Packed, SecondaryHoldsUpToTwiceTheEscapes) {
  // 40 distinct bytes, counts falling steeply: width 3 keeps 7 primary and
  // 7 secondary bytes (when it wins) and spells the rest raw in 5 codes.
  Histogram h{};
  for (unsigned i = 0; i < 40; ++i) h[100 + i] = i < 7 ? 100000 : (i < 14 ? 30 : 1);
  auto r = Alphabet::of(h);
  ASSERT_TRUE(r);
  const Alphabet& a = r->first;
  const std::size_t p = std::size_t{1} << a.width;
  ASSERT_LT(p, 40u);
  EXPECT_EQ(a.primary.size(), p - 1);
  EXPECT_EQ(a.secondary.size(), std::min<std::size_t>(40, 2 * (p - 1)) - (p - 1));
}

TEST(Packed, CodingRoundTripsAtEveryWidth) {
  std::mt19937 rng(3);
  for (std::uint32_t w = 1; w <= 8; ++w) {
    for (bool with_secondary : {false, true}) {
      const std::size_t p = std::size_t{1} << w;
      const std::size_t prim = with_secondary ? p - 1 : std::min<std::size_t>(p, 256);
      const std::size_t sec = with_secondary ? std::min<std::size_t>(p - 1, 256 - prim) : 0;
      std::vector<unsigned char> rec = {1, static_cast<unsigned char>(w), static_cast<unsigned char>(prim - 1),
                                        static_cast<unsigned char>(sec)};
      std::vector<unsigned char> perm(256);
      for (unsigned i = 0; i < 256; ++i) perm[i] = static_cast<unsigned char>(i);
      std::shuffle(perm.begin(), perm.end(), rng);
      rec.insert(rec.end(), perm.begin(), perm.begin() + static_cast<std::ptrdiff_t>(prim + sec));
      auto a = Alphabet::from_bytes(rec);
      ASSERT_TRUE(a) << w;
      EXPECT_EQ(record(*a), rec);
      EXPECT_EQ(a->record_len(), rec.size());
      // Bytes from both alphabets and, with escapes, from neither.
      std::vector<unsigned char> s;
      const std::size_t pool = with_secondary ? 256 : prim;
      for (int i = 0; i < 300; ++i) s.push_back(perm[rng() % pool]);
      const Coded c = code(*a, s);
      std::vector<unsigned char> out = {'#'};
      ASSERT_TRUE(a->decode_into(c.bytes.data(), c.bytes.size(), 0, c.codes, out, UINT64_MAX)) << w;
      EXPECT_EQ(std::vector<unsigned char>(out.begin() + 1, out.end()), s) << w;
      // count stops the decoding early.
      out.clear();
      ASSERT_TRUE(a->decode_into(c.bytes.data(), c.bytes.size(), 0, c.codes, out, 7));
      EXPECT_EQ(out, std::vector<unsigned char>(s.begin(), s.begin() + 7));
      if (with_secondary && w < 8) {
        const unsigned char raw = perm[255];
        EXPECT_EQ(a->units(raw), 2 + (8 + w - 1) / w);
      }
    }
  }
}

TEST(Packed, RawBytesAndStreamsEndingInsideAnEscape) {
  // Width 3, primary 0..6, secondary 7: 'z' is raw, E E then 5 codes of its
  // low bits first.
  std::vector<unsigned char> rec = {1, 3, 6, 1, 0, 1, 2, 3, 4, 5, 6, 7};
  auto a = Alphabet::from_bytes(rec);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->units('z'), 5u);
  const Coded raw = code(*a, {'z'});
  // 'z' = 0x7A = 01 111 010: codes 7, 7, then 010, 111, 01(0).
  std::uint64_t bits = 7 | 7 << 3 | 2 << 6 | 7 << 9 | 1 << 12;
  EXPECT_EQ(raw.bytes, (std::vector<unsigned char>{static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8)}));
  std::vector<unsigned char> out;
  EXPECT_FALSE(a->decode_into(raw.bytes.data(), raw.bytes.size(), 0, 4, out, UINT64_MAX));
  out.clear();
  ASSERT_TRUE(a->decode_into(raw.bytes.data(), raw.bytes.size(), 0, 5, out, UINT64_MAX));
  EXPECT_EQ(out, std::vector<unsigned char>{'z'});
  // A secondary byte cut after its escape.
  const Coded sec = code(*a, {7});
  EXPECT_EQ(sec.codes, 2u);
  out.clear();
  EXPECT_FALSE(a->decode_into(sec.bytes.data(), sec.bytes.size(), 0, 1, out, UINT64_MAX));
  // Codes that would pass the data's end.
  out.clear();
  EXPECT_FALSE(a->decode_into(raw.bytes.data(), 1, 0, 5, out, UINT64_MAX));
  // A code outside its alphabet: secondary code 1 of a one-byte secondary.
  const unsigned char bad = 7 | 1 << 3;
  out.clear();
  EXPECT_FALSE(a->decode_into(&bad, 1, 0, 2, out, UINT64_MAX));
  // Ten codes for a raw byte at width 1.
  auto one = Alphabet::from_bytes(std::vector<unsigned char>{1, 1, 0, 1, 'a', 'b'});
  ASSERT_TRUE(one);
  EXPECT_EQ(one->units('q'), 10u);
  EXPECT_EQ(code(*one, {'q', 'a', 'b'}).codes, 13u);
  // A primary code past a primary alphabet without escapes.
  auto small = Alphabet::from_bytes(std::vector<unsigned char>{1, 2, 1, 0, 'a', 'b'});
  ASSERT_TRUE(small);
  const unsigned char three = 3;
  out.clear();
  EXPECT_FALSE(small->decode_into(&three, 1, 0, 1, out, UINT64_MAX));
}

TEST(Packed, RecordsRefused) {
  EXPECT_TRUE(Alphabet::from_bytes(std::vector<unsigned char>{1, 2, 2, 1, 'a', 'b', 'c', 'd'}));
  const std::vector<std::vector<unsigned char>> refused = {
      {},
      {1, 1, 0},                            // shorter than 4
      {2, 1, 0, 0, 'a'},                    // not a Packed record
      {1, 0, 0, 0, 'a'},                    // width 0
      {1, 9, 0, 0, 'a'},                    // width 9
      {1, 1, 2, 0, 'a', 'b', 'c'},          // 3 primaries at width 1
      {1, 2, 2, 4, 'a', 'b', 'c', 'd', 'e', 'f', 'g'},  // 4 secondaries at width 2
      {1, 2, 3, 1, 'a', 'b', 'c', 'd', 'e'},  // a secondary with 4 primaries
      {1, 2, 1, 1, 'a', 'b', 'c'},          // a secondary with 2 primaries
      {1, 2, 2, 1, 'a', 'b', 'c'},          // one byte short
      {1, 2, 2, 1, 'a', 'b', 'c', 'd', 'e'},  // one byte over
      {1, 2, 1, 0, 'a', 'a'},               // a byte twice in the primary
      {1, 2, 2, 1, 'a', 'b', 'c', 'b'},     // across the alphabets
  };
  for (const auto& r : refused) EXPECT_FALSE(Alphabet::from_bytes(r)) << r.size();
}

}  // namespace
}  // namespace quorvale
