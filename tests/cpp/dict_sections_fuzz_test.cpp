// Seeded mutation loop over the phrase-dictionary and character-code sections:
// every mutated section is refused or loads; a loaded phrase dictionary writes
// back byte for byte and every phrase reads inside its bytes; a loaded
// character code writes a section that reads back to itself and codes, probes
// and spells without reading outside its buffers. Runs under the sanitizers,
// which catch any read outside the (exactly sized) buffers.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "charcode.hpp"
#include "mutate.hpp"
#include "phrase.hpp"
#include "utf8.hpp"

using namespace quorvale;
using Bytes = std::vector<unsigned char>;

namespace {

// Sections of small fields: bytes, small values, cuts, single insertions
// and erasures.
Bytes mutate(const Bytes& seed, std::mt19937_64& rng) {
  static const mutation::Shape shape{.words = {}, .insert = 1};
  Bytes b = seed;
  mutation::mutate(b, rng, shape);
  return b;
}

TEST(DictSectionsFuzz, PhraseDictionary) {
  std::mt19937_64 rng(31);
  std::vector<Bytes> seeds;
  for (std::size_t n : {0, 1, 3, 256, 300}) {
    std::vector<std::string> list;
    for (std::size_t i = 0; i < n; ++i) list.push_back(std::string(1 + rng() % 32, static_cast<char>('a' + rng() % 26)));
    Bytes s;
    phrase::Dict::of(list).write_to(s);
    seeds.push_back(s);
  }
  int loaded = 0;
  for (int iter = 0; iter < 20'000; ++iter) {
    const Bytes input = mutate(seeds[rng() % seeds.size()], rng);
    const auto d = phrase::Dict::read(input);
    if (!d) continue;
    ++loaded;
    Bytes back;
    d->write_to(back);
    ASSERT_EQ(back, input);
    for (std::uint32_t i = 0; i < d->count(); ++i) {
      const auto s = d->locate(i);
      ASSERT_GE(s.len, 1u);
      ASSERT_LE(s.len, phrase::kMaxLen);
      ASSERT_LE(s.start + 32, d->bytes().size());
    }
  }
  EXPECT_GT(loaded, 100);
}

std::string random_text(std::mt19937_64& rng, const std::vector<std::uint32_t>& chars) {
  std::string s;
  for (int n = static_cast<int>(rng() % 6); n > 0; --n) {
    unsigned char b[4];
    const std::uint32_t c = rng() % 4 == 0 ? static_cast<std::uint32_t>(rng() % 0x800) : chars[rng() % chars.size()];
    if (!utf8::scalar(c)) continue;
    s.append(reinterpret_cast<const char*>(b), utf8::encode(c, b));
  }
  return s;
}

TEST(DictSectionsFuzz, CharacterCode) {
  std::mt19937_64 rng(32);
  std::vector<Bytes> seeds;
  std::vector<std::uint32_t> all;
  for (bool ascii : {false, true}) {
    for (std::size_t n : {1, 5, 300}) {
      std::vector<std::uint32_t> chars;
      std::uint32_t c = ascii ? 0x80 : 0x20;
      for (std::size_t i = 0; i < n; ++i) {
        c += 1 + static_cast<std::uint32_t>(rng() % (i % 7 == 0 ? 5000 : 30));
        if (c >= 0xD800 && c < 0xE000) c = 0xE000;
        chars.push_back(c);
      }
      std::vector<std::uint16_t> groups = {0};
      while (groups.back() < n) {
        const std::size_t want = groups.size() > 100 ? 128 : 1 + rng() % 4 * (rng() % 40);
        const std::size_t size = std::min<std::size_t>(n - groups.back(), want);
        groups.push_back(static_cast<std::uint16_t>(groups.back() + size));
      }
      Bytes s;
      charcode::CharCode(ascii, chars, groups).write_to(s);
      seeds.push_back(s);
      all.insert(all.end(), chars.begin(), chars.end());
    }
  }
  int loaded = 0;
  for (int iter = 0; iter < 20'000; ++iter) {
    const Bytes input = mutate(seeds[rng() % seeds.size()], rng);
    const auto code = charcode::CharCode::read(input);
    if (!code) continue;
    ++loaded;
    Bytes back;
    code->write_to(back);
    ASSERT_EQ(back.size(), code->section_len());
    const auto again = charcode::CharCode::read(back);
    ASSERT_TRUE(again);
    Bytes twice;
    again->write_to(twice);
    ASSERT_EQ(twice, back);
    for (int k = 0; k < 20; ++k) {
      const std::string s = random_text(rng, all);
      Bytes coded;
      const bool ok = code->encode_key(s, coded);
      Bytes buf(2 * s.size());
      const auto probe = code->probe_into({reinterpret_cast<const unsigned char*>(s.data()), s.size()}, buf.data());
      ASSERT_EQ(probe.kind == 0, ok);
      ASSERT_LE(probe.len, buf.size());
      std::string out(4 * coded.size(), '\0');
      const auto n = code->spell(coded.data(), coded.size(), reinterpret_cast<unsigned char*>(out.data()));
      if (ok) {
        ASSERT_TRUE(n);
        ASSERT_EQ(out.substr(0, *n), s);
      }
      // Arbitrary code bytes spell or fail inside their buffer.
      Bytes junk(rng() % 8);
      for (auto& b : junk) b = static_cast<unsigned char>(rng());
      std::string junk_out(4 * junk.size(), '\0');
      code->spell(junk.data(), junk.size(), reinterpret_cast<unsigned char*>(junk_out.data()));
    }
  }
  EXPECT_GT(loaded, 100);
}

}  // namespace
