#include "phrase.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quorvale {
namespace {

using Bytes = std::vector<unsigned char>;
using phrase::Dict;
using phrase::Split;

Bytes section(const Dict& d) {
  Bytes out;
  d.write_to(out);
  EXPECT_EQ(out.size(), d.section_len());
  return out;
}

void le16(Bytes& b, unsigned v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
void le32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// A one-group section written field by field: count, one base, 257 offsets
// (the given ones, zero after), the phrase bytes.
Bytes one_group(std::uint32_t count, std::uint32_t base, std::vector<unsigned> offsets, std::size_t bytes) {
  Bytes b;
  le32(b, count);
  le32(b, base);
  offsets.resize(257, 0);
  for (unsigned o : offsets) le16(b, o);
  for (std::size_t i = 0; i < bytes; ++i) b.push_back(static_cast<unsigned char>('a' + i % 26));
  return b;
}

std::vector<std::string> numbered(std::size_t n) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) out.push_back(std::string("p").append(std::to_string(i)));
  return out;
}

TEST(PhraseDict, EmptyIsFourBytes) {
  const Dict empty;
  EXPECT_EQ(section(empty), (Bytes{0, 0, 0, 0}));
  const auto back = Dict::read(Bytes{0, 0, 0, 0});
  ASSERT_TRUE(back);
  EXPECT_EQ(back->count(), 0u);
  EXPECT_EQ(back->len(), 0u);
  EXPECT_TRUE(back->bases().empty());
  EXPECT_TRUE(back->offsets().empty());
  EXPECT_EQ(Bytes(back->bytes().begin(), back->bytes().end()), Bytes(32, 0));
  EXPECT_EQ(section(Dict::of(std::vector<std::string>{})), (Bytes{0, 0, 0, 0}));
}

TEST(PhraseDict, KnownSection) {
  const Dict d = Dict::of(std::vector<std::string>{"ab", "c", "def"});
  const Bytes expect = one_group(3, 0, {0, 2, 3, 6}, 0);
  Bytes with_bytes = expect;
  for (char c : std::string("abcdef")) with_bytes.push_back(static_cast<unsigned char>(c));
  EXPECT_EQ(section(d), with_bytes);
  EXPECT_EQ(d.section_len(), 4u + 518u + 6u);
  EXPECT_EQ(d.len(), 6u);
  ASSERT_EQ(d.bytes().size(), 6u + 32u);
  for (std::size_t i = 6; i < 38; ++i) EXPECT_EQ(d.bytes()[i], 0);
  const std::string p2(reinterpret_cast<const char*>(d.phrase(2).data()), d.phrase(2).size());
  EXPECT_EQ(p2, "def");
}

TEST(PhraseDict, GroupsOf256) {
  const auto list256 = numbered(256);
  const Dict one = Dict::of(list256);
  ASSERT_EQ(one.bases().size(), 1u);
  ASSERT_EQ(one.offsets().size(), 257u);
  EXPECT_EQ(one.offsets()[0], 0);
  EXPECT_EQ(one.offsets()[256], one.len());

  const auto list257 = numbered(257);
  const Dict two = Dict::of(list257);
  ASSERT_EQ(two.bases().size(), 2u);
  ASSERT_EQ(two.offsets().size(), 514u);
  EXPECT_EQ(two.bases()[1], one.len());
  EXPECT_EQ(two.offsets()[257], 0);
  EXPECT_EQ(two.offsets()[258], 4);  // "p256"
  for (std::size_t k = 259; k < 514; ++k) EXPECT_EQ(two.offsets()[k], 0) << k;
  // Phrase i's start offset has index i + i / 256.
  EXPECT_EQ(two.locate(256).start, one.len());
  EXPECT_EQ(two.locate(256).len, 4u);

  for (const Dict* d : {&one, &two}) {
    const Bytes s = section(*d);
    const auto back = Dict::read(s);
    ASSERT_TRUE(back);
    EXPECT_EQ(section(*back), s);
    const auto& list = d == &one ? list256 : list257;
    for (std::uint32_t i = 0; i < back->count(); ++i) {
      const auto p = back->phrase(i);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data()), p.size()), list[i]);
    }
  }
}

TEST(PhraseDict, ReadRefuses) {
  Bytes cut = section(Dict::of(numbered(257)));
  const std::size_t groups_end = 4 + 518 * 2;
  struct Case {
    const char* what;
    Bytes bytes;
  };
  const Case cases[] = {
      {"under four bytes", {0, 0, 0}},
      {"33-byte phrase", one_group(1, 0, {0, 33}, 33)},
      {"empty phrase", one_group(2, 0, {0, 1, 1}, 1)},
      {"reversed phrase", one_group(2, 0, {0, 3, 1}, 3)},
      {"ends past the bytes", one_group(1, 0, {0, 4}, 3)},
      // In u32 the base and end would wrap to 0 and pass.
      {"base near u32::MAX", one_group(1, 0xFFFFFFFF, {0, 1}, 1)},
      {"bases missing", Bytes{1, 0, 0, 0, 0, 0}},
      {"offsets cut short", Bytes(cut.begin(), cut.begin() + groups_end - 1)},
      {"count of 257, one group", one_group(257, 0, {0, 1}, 300)},
  };
  for (const auto& c : cases) EXPECT_FALSE(Dict::read(c.bytes)) << c.what;
}

TEST(PhraseDict, ReadAcceptsWhatItDoesNotCheck) {
  // Unused phrase bytes and descending bases load, and write back unchanged.
  Bytes spare = one_group(1, 2, {0, 1}, 5);
  Bytes two_groups;
  le32(two_groups, 257);
  le32(two_groups, 10);
  le32(two_groups, 0);
  for (unsigned k = 0; k < 257; ++k) le16(two_groups, k);  // 256 one-byte phrases from base 10
  le16(two_groups, 0);
  le16(two_groups, 2);
  for (unsigned k = 2; k < 257; ++k) le16(two_groups, 0);
  for (int i = 0; i < 300; ++i) two_groups.push_back('x');
  for (const Bytes& s : {spare, two_groups}) {
    const auto d = Dict::read(s);
    ASSERT_TRUE(d);
    EXPECT_EQ(section(*d), s);
  }
}

TEST(PhraseDict, CloneIsDeep) {
  const Dict d = Dict::of(std::vector<std::string>{"one", "two"});
  Dict c = d.clone();
  EXPECT_EQ(section(c), section(d));
  EXPECT_NE(c.bytes().data(), d.bytes().data());
  const Dict moved = std::move(c);
  EXPECT_EQ(section(moved), section(d));
}

TEST(PhraseSplit, KnownCodes) {
  unsigned char b[3];
  // (254, 0): one two-byte lead, 254, for phrases 0..255.
  const Split a{254, 0};
  EXPECT_EQ(a.k(), 1u);
  EXPECT_EQ(a.limits().two, 256u);
  EXPECT_EQ(a.limits().codable, 256u);
  ASSERT_EQ(a.put(7, b), 2u);
  EXPECT_EQ(b[0], 254);
  EXPECT_EQ(b[1], 7);
  // (254, 1): no two-byte lead; 254 is the one three-byte lead.
  const Split c{254, 1};
  EXPECT_EQ(c.k(), 0u);
  EXPECT_EQ(c.limits().two, 0u);
  EXPECT_EQ(c.limits().codable, 65'536u);
  ASSERT_EQ(c.put(0x1234, b), 3u);
  EXPECT_EQ(b[0], 254);
  EXPECT_EQ(b[1], 0x12);
  EXPECT_EQ(b[2], 0x34);
  // (127, 2): 126 two-byte leads 127..252, then 253 and 254.
  const Split d{127, 2};
  EXPECT_EQ(d.limits().two, 126u * 256);
  EXPECT_EQ(d.limits().codable, 126u * 256 + 2 * 65'536);
  ASSERT_EQ(d.put(126 * 256 - 1, b), 2u);
  EXPECT_EQ(b[0], 252);
  EXPECT_EQ(b[1], 255);
  ASSERT_EQ(d.put(126 * 256 + 65'536 + 0x0102, b), 3u);
  EXPECT_EQ(b[0], 254);
  EXPECT_EQ(b[1], 1);
  EXPECT_EQ(b[2], 2);
  EXPECT_FALSE(d.codable(d.limits().codable));
  EXPECT_TRUE(d.codable(d.limits().codable - 1));
}

TEST(PhraseSplit, EveryCodableIndexReadsBack) {
  std::mt19937 rng(3);
  const Split splits[] = {{127, 0}, {127, 128}, {191, 0}, {191, 2}, {223, 1}, {239, 16}, {254, 0}, {254, 1}, {1, 254}, {0, 0}};
  for (const Split s : splits) {
    const std::uint32_t codable = s.limits().codable;
    auto check = [&](std::uint32_t u) {
      unsigned char b[3];
      const unsigned n = s.put(u, b);
      ASSERT_EQ(n, u < s.limits().two ? 2u : 3u);
      ASSERT_GE(b[0], s.g);
      ASSERT_LT(b[0], 255);
      ASSERT_EQ(b[0] < s.g + s.k(), n == 2);
      const auto back = s.get(b, n);
      ASSERT_TRUE(back);
      ASSERT_EQ(back->phrase, u) << int(s.g) << "," << int(s.h);
      ASSERT_EQ(back->size, n);
      ASSERT_FALSE(s.get(b, n - 1));
    };
    if (codable <= 70'000) {
      for (std::uint32_t u = 0; u < codable; ++u) check(u);
    } else {
      for (std::uint32_t u = 0; u < 70'000; ++u) check(u);
      for (std::uint32_t u : {s.limits().two, s.limits().two + 65'535, s.limits().two + 65'536, codable - 1}) {
        if (u < codable) check(u);
      }
      for (int i = 0; i < 100'000; ++i) check(rng() % codable);
    }
  }
}

}  // namespace
}  // namespace quorvale
