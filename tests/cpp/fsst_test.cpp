#include "fsst.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "phrase_mix.hpp"

namespace quorvale {
namespace {

using fsst::Table;

std::uint64_t packed(std::string_view s) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < s.size(); ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(s[i])) << (8 * i);
  return v;
}

Table table_of(std::initializer_list<std::string_view> syms) {
  Table t;
  for (auto s : syms) {
    t.symbols.push_back(packed(s));
    t.lengths.push_back(static_cast<std::uint8_t>(s.size()));
  }
  return t;
}

std::vector<std::string> spelled(const Table& t) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < t.size(); ++i) {
    std::string s;
    for (unsigned k = 0; k < t.lengths[i]; ++k) s.push_back(static_cast<char>(t.symbols[i] >> (8 * k)));
    out.push_back(s);
  }
  return out;
}

Table train(const std::vector<std::string>& samples, std::size_t max = 255) {
  std::vector<fsst::Bytes> views;
  for (const auto& s : samples) views.emplace_back(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  return Table::train_to(views, max);
}

std::vector<unsigned char> encode(const fsst::Encoder& enc, std::string_view s) {
  std::vector<unsigned char> out;
  enc.encode(fsst::Bytes(reinterpret_cast<const unsigned char*>(s.data()), s.size()), out);
  return out;
}

std::vector<unsigned char> encode(const Table& t, std::string_view s) { return encode(t.encoder(), s); }

// Words with shared stems and tails, enough to fill a table.
std::vector<std::string> word_corpus(std::size_t n, unsigned seed) {
  static const char* stems[] = {"inter", "national", "ment", "tion", "pre", "un", "able", "ing", "con", "ly",
                                "/usr/share/", "doc/", ".html", "lib", "x86_64", "-linux-gnu", "0", "1", "2"};
  std::mt19937 rng(seed);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) {
    std::string w;
    const int parts = 1 + static_cast<int>(rng() % 4);
    for (int p = 0; p < parts; ++p) w += stems[rng() % std::size(stems)];
    if (rng() % 3 == 0) w.push_back(static_cast<char>('a' + rng() % 26));
    out.push_back(w);
  }
  return out;
}

TEST(PhraseMix, KnownHashes) {
  // h = (rotl(h, 26) ^ w) * 0x517CC1B727220A95, hash = rotl(h, 26), worked
  // out from the definition (tests/reference-style arithmetic in Python).
  EXPECT_EQ(phrase::mix(std::uint64_t{0}), 0u);
  EXPECT_EQ(phrase::mix(std::uint64_t{1}), 0xdc9c882a5545f306ULL);
  EXPECT_EQ(phrase::mix(std::uint64_t{0x6261}, std::uint8_t{2}), 0x8ad90632eec53ee0ULL);
  phrase::Mix m;
  m.write(0x6261);
  m.write(2);
  EXPECT_EQ(m.finish(), 0x8ad90632eec53ee0ULL);
}

TEST(Fsst, SlotHashUsesThreeBytes) {
  EXPECT_EQ(fsst::slot_of(0), 0u);
  EXPECT_EQ(fsst::slot_of(packed("abc")), 265u);
  EXPECT_EQ(fsst::slot_of(packed("abcd")), 265u);
  EXPECT_EQ(fsst::slot_of(packed("aaa")), 93u);
}

TEST(Fsst, TrainsAbabInRounds) {
  // Round 1: ab (gain 4), a, b, ba (gain 2, byte order); round 2: ab, abab,
  // a, b; round 3: abab, a, b, which round 4 reproduces.
  EXPECT_EQ(spelled(train({"abab"})), (std::vector<std::string>{"abab", "a", "b"}));
  // Limited to one symbol, the round-1 winner ab; round 2 then keeps ab.
  EXPECT_EQ(spelled(train({"abab"}, 1)), (std::vector<std::string>{"ab"}));
}

TEST(Fsst, EmptyTables) {
  for (const Table& t : {train({}), train({"", ""}), train({"abab", "hello"}, 0)}) {
    EXPECT_EQ(t.size(), 0u);
    std::vector<unsigned char> rec;
    t.write_to(rec);
    EXPECT_EQ(rec, std::vector<unsigned char>{0});
    EXPECT_EQ(t.record_len(), 1u);
    EXPECT_EQ(encode(t, "ab\xff"), (std::vector<unsigned char>{255, 'a', 255, 'b', 255, 0xff}));
  }
}

TEST(Fsst, GreedyStepFallsBackAndUsesOneByteTableAtTheEnd) {
  const Table t = table_of({"a", "ab"});
  // a b -> ab; a c -> the one-byte a; c -> escape; the last a -> one-byte table.
  EXPECT_EQ(encode(t, "abac"), (std::vector<unsigned char>{1, 0, 255, 'c'}));
  EXPECT_EQ(encode(t, "aba"), (std::vector<unsigned char>{1, 0}));
  // The two-byte symbol wins whatever the code order.
  EXPECT_EQ(encode(table_of({"ab", "a"}), "abac"), (std::vector<unsigned char>{0, 1, 255, 'c'}));
  // One byte left never reads the two-byte table, where a\0 would match.
  const Table z = table_of({std::string_view("a\0", 2)});
  EXPECT_EQ(encode(z, "a"), (std::vector<unsigned char>{255, 'a'}));
  EXPECT_EQ(encode(z, std::string_view("a\0", 2)), (std::vector<unsigned char>{0}));
}

TEST(Fsst, LongSymbolsNeedTheirBytesAndTheirSlot) {
  // Of two symbols sharing their first three bytes only the longer is found.
  const Table t = table_of({"abcd", "abcdef", "a"});
  EXPECT_EQ(encode(t, "abcdef"), (std::vector<unsigned char>{1}));
  EXPECT_EQ(encode(t, "abcdxy"), (std::vector<unsigned char>{2, 255, 'b', 255, 'c', 255, 'd', 255, 'x', 255, 'y'}));
  // Masked compare and the bytes left: ab\0 is not matched by "ab".
  const Table z = table_of({std::string_view("ab\0", 3), "abc"});
  EXPECT_EQ(encode(z, "ab"), (std::vector<unsigned char>{255, 'a', 255, 'b'}));
  EXPECT_EQ(encode(z, "abd"), (std::vector<unsigned char>{255, 'a', 255, 'b', 255, 'd'}));
  // aau and afd share slot 615: of equal lengths the lower code stays.
  ASSERT_EQ(fsst::slot_of(packed("aau")), fsst::slot_of(packed("afd")));
  const Table s = table_of({"aau", "afd"});
  EXPECT_EQ(encode(s, "aau"), (std::vector<unsigned char>{0}));
  EXPECT_EQ(encode(s, "afd"), (std::vector<unsigned char>{255, 'a', 255, 'f', 255, 'd'}));
  // A longer symbol displaces a shorter one in its slot.
  const Table l = table_of({"afd", "aauu"});
  EXPECT_EQ(encode(l, "aauu"), (std::vector<unsigned char>{1}));
  EXPECT_EQ(encode(l, "afd"), (std::vector<unsigned char>{255, 'a', 255, 'f', 255, 'd'}));
}

TEST(Fsst, TrainingIsOrderFreeAndKeepsOneLongSymbolASlot) {
  auto words = word_corpus(3000, 1);
  const Table t = train(words);
  EXPECT_EQ(t.size(), 255u);
  std::vector<bool> slot(fsst::SLOTS, false);
  for (std::size_t i = 0; i < t.size(); ++i) {
    ASSERT_GE(t.lengths[i], 1);
    ASSERT_LE(t.lengths[i], 8);
    if (t.lengths[i] < 3) continue;
    const unsigned s = fsst::slot_of(t.symbols[i]);
    EXPECT_FALSE(slot[s]) << "two long symbols in slot " << s;
    slot[s] = true;
  }
  std::mt19937 rng(5);
  std::shuffle(words.begin(), words.end(), rng);
  EXPECT_EQ(train(words), t);
  // The table compresses what it was trained on.
  std::size_t raw = 0, coded = 0;
  const auto enc = t.encoder();
  for (const auto& w : words) {
    raw += w.size();
    coded += encode(enc, w).size();
  }
  EXPECT_LT(coded * 2, raw);
}

// The corpora of tests/reference/fsst_train_reference.py, same generator.
struct Lcg {
  std::uint64_t x;
  std::uint64_t next() {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    return x >> 33;
  }
};

std::vector<std::string> reference_corpus(int kind, std::uint64_t seed, int n) {
  static const std::string syllables[] = {"ka", "to", "ri", "men", "str", "ation", "/usr/", "lib", "e", "s",
                                          std::string(1, '\0'), "ing"};
  Lcg g{seed};
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    std::string w;
    if (kind == 0) {
      const std::uint64_t parts = 1 + g.next() % 5;
      for (std::uint64_t k = 0; k < parts; ++k) w += syllables[g.next() % std::size(syllables)];
    } else if (kind == 1) {
      const std::uint64_t len = g.next() % 13;
      for (std::uint64_t k = 0; k < len; ++k) w.push_back(static_cast<char>(g.next() % 256));
    } else {
      const std::uint64_t v = g.next();
      std::uint64_t mod = 1;
      for (std::uint64_t k = 0, d = 1 + g.next() % 9; k < d; ++k) mod *= 10;
      w = std::to_string(v % mod);
    }
    out.push_back(w);
  }
  return out;
}

TEST(Fsst, TrainingMatchesTheReference) {
  struct Case {
    int kind;
    std::uint64_t seed;
    int n;
    std::size_t max;
    const char* hex;
  };
  const Case cases[] = {
#include "fsst_train_vectors.inc"
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> rec;
    train(reference_corpus(c.kind, c.seed, c.n), c.max).write_to(rec);
    std::string hex;
    for (unsigned char b : rec) {
      static const char digits[] = "0123456789abcdef";
      hex.push_back(digits[b >> 4]);
      hex.push_back(digits[b & 15]);
    }
    EXPECT_EQ(hex, c.hex) << c.kind << " " << c.seed;
  }
}

TEST(Fsst, RecordsRoundTripAndRefuse) {
  const Table t = train(word_corpus(500, 2), 40);
  std::vector<unsigned char> rec;
  t.write_to(rec);
  EXPECT_EQ(rec.size(), t.record_len());
  auto back = Table::from_bytes(rec);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, t);
  std::vector<unsigned char> again;
  back->write_to(again);
  EXPECT_EQ(again, rec);

  auto empty = Table::from_bytes(std::vector<unsigned char>{0});
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->size(), 0u);
  const std::vector<unsigned char> ok = {2, 1, 3, 'a', 'b', 'c', 'd'};
  ASSERT_TRUE(Table::from_bytes(ok));
  EXPECT_EQ(spelled(*Table::from_bytes(ok)), (std::vector<std::string>{"a", "bcd"}));
  const std::vector<std::vector<unsigned char>> refused = {
      {},                              // empty
      {0, 0},                          // a byte after the empty table
      {2, 1},                          // fewer lengths than the count
      {1, 0},                          // length 0
      {1, 9, 1, 2, 3, 4, 5, 6, 7, 8, 9},  // length 9
      {2, 1, 3, 'a', 'b', 'c'},        // truncated symbol
      {2, 1, 3, 'a', 'b', 'c', 'd', 'e'},  // one trailing byte
  };
  for (const auto& r : refused) EXPECT_FALSE(Table::from_bytes(r)) << r.size();
}

TEST(Fsst, HeadKeepsCodes) {
  const Table t = table_of({"ab", "c", "def"});
  EXPECT_EQ(t.head(2), table_of({"ab", "c"}));
  EXPECT_EQ(t.head(3), t);
  EXPECT_EQ(t.head(300), t);
  EXPECT_EQ(t.head(0).size(), 0u);
}

TEST(Fsst, DecodeRoundTripsAndStops) {
  const auto words = word_corpus(2000, 3);
  const Table t = train(words);
  std::mt19937 rng(9);
  const auto enc = t.encoder();
  for (int i = 0; i < 500; ++i) {
    std::string s = words[rng() % words.size()];
    if (i % 5 == 0) s += static_cast<char>(rng() % 256);
    const auto codes = encode(enc, s);
    std::vector<unsigned char> out = {'x'};
    ASSERT_TRUE(t.decode_into(codes, out, UINT64_MAX));
    EXPECT_EQ(std::string(out.begin(), out.end()), "x" + s);
    // count bounds the work: at least count bytes, never the whole when short.
    std::vector<unsigned char> part;
    ASSERT_TRUE(t.decode_into(codes, part, 3));
    EXPECT_GE(part.size(), std::min<std::size_t>(3, s.size()));
    EXPECT_EQ(std::string(part.begin(), part.end()), s.substr(0, part.size()));
  }
  std::vector<unsigned char> out;
  EXPECT_FALSE(table_of({"a"}).decode_into(std::vector<unsigned char>{1}, out, UINT64_MAX));
  EXPECT_FALSE(table_of({"a"}).decode_into(std::vector<unsigned char>{0, 255}, out, UINT64_MAX));
  out.clear();
  ASSERT_TRUE(table_of({"a"}).decode_into(std::vector<unsigned char>{0, 255, 0}, out, UINT64_MAX));
  EXPECT_EQ(out, (std::vector<unsigned char>{'a', 0}));
}

}  // namespace
}  // namespace quorvale
