#include "charcode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "error.hpp"
#include "utf8.hpp"

namespace quorvale {
namespace {

using Bytes = std::vector<unsigned char>;
using charcode::CharCode;
using charcode::Tally;

std::string u8(std::initializer_list<std::uint32_t> cps) {
  std::string s;
  for (std::uint32_t c : cps) {
    unsigned char b[4];
    s.append(reinterpret_cast<const char*>(b), utf8::encode(c, b));
  }
  return s;
}

std::vector<std::uint16_t> prefix_sums(const std::vector<std::uint32_t>& sizes) {
  std::vector<std::uint16_t> p(1, 0);
  for (auto s : sizes) p.push_back(static_cast<std::uint16_t>(p.back() + s));
  return p;
}

CharCode make(bool ascii, std::vector<std::uint32_t> chars, std::vector<std::uint32_t> sizes) {
  return CharCode(ascii, chars, prefix_sums(sizes));
}

Bytes encoded(const CharCode& c, std::string_view key) {
  Bytes out;
  EXPECT_TRUE(c.encode_key(key, out)) << key;
  return out;
}

// probe_into with a buffer of exactly two bytes per query byte.
std::pair<unsigned, Bytes> probe(const CharCode& c, std::string_view q) {
  Bytes buf(2 * q.size());
  const auto r = c.probe_into({reinterpret_cast<const unsigned char*>(q.data()), q.size()}, buf.data());
  buf.resize(r.len);
  return {r.kind, buf};
}

std::optional<std::string> spelled(const CharCode& c, const Bytes& code) {
  std::string out(4 * code.size(), '\0');
  const auto n = c.spell(code.data(), code.size(), reinterpret_cast<unsigned char*>(out.data()));
  if (!n) return std::nullopt;
  out.resize(*n);
  return out;
}

Bytes section(const CharCode& c) {
  Bytes out;
  c.write_to(out);
  EXPECT_EQ(out.size(), c.section_len());
  return out;
}

TEST(CharCode, ProbeAgainstAandC) {
  // One group of two (a = 00 00, c = 00 01) and two groups of one (a = 00, c = 01).
  const CharCode two = make(false, {'a', 'c'}, {2});
  const CharCode ones = make(false, {'a', 'c'}, {1, 1});
  EXPECT_EQ(encoded(two, "ac"), (Bytes{0, 0, 0, 1}));
  EXPECT_EQ(encoded(ones, "ac"), (Bytes{0, 1}));

  EXPECT_EQ(probe(two, "b"), std::make_pair(1u, Bytes{0, 1}));
  EXPECT_EQ(probe(ones, "b"), std::make_pair(1u, Bytes{1}));
  EXPECT_EQ(probe(two, "d").first, 2u);
  EXPECT_EQ(probe(ones, "d").first, 2u);
  // a, then nothing listed above d: code(a) with its last byte + 1.
  EXPECT_EQ(probe(two, "ad"), std::make_pair(1u, Bytes{0, 1}));
  EXPECT_EQ(probe(ones, "ad"), std::make_pair(1u, Bytes{1}));
  EXPECT_EQ(probe(two, "ca"), std::make_pair(0u, Bytes{0, 1, 0, 0}));
  EXPECT_EQ(probe(two, ""), std::make_pair(0u, Bytes{}));
  // Everything after the first foreign character is ignored.
  EXPECT_EQ(probe(two, "abzzz"), std::make_pair(1u, Bytes{0, 0, 0, 1}));
}

TEST(CharCode, ProbeDropsTrailingFF) {
  // ASCII-keeping, 128 groups of one: U+0100..U+017F get leads 0x80..0xFF.
  std::vector<std::uint32_t> chars;
  for (std::uint32_t c = 0x100; c < 0x180; ++c) chars.push_back(c);
  const CharCode c = make(true, chars, std::vector<std::uint32_t>(128, 1));
  EXPECT_EQ(encoded(c, u8({0x17E, 0x17F})), (Bytes{0xFE, 0xFF}));
  EXPECT_EQ(probe(c, u8({0x17E, 0x17F, 0x10FFFF})), std::make_pair(1u, Bytes{0xFF}));
  EXPECT_EQ(probe(c, u8({0x17F, 0x17F, 0x5000})).first, 2u);
  EXPECT_EQ(probe(c, u8({0x5000})).first, 2u);
  // A two-byte code ending in 0xFF: the 256th character of a group of 256.
  std::vector<std::uint32_t> wide;
  for (std::uint32_t k = 0x400; k < 0x500; ++k) wide.push_back(k);
  const CharCode w = make(true, wide, {256});
  EXPECT_EQ(encoded(w, u8({0x4FF})), (Bytes{0x80, 0xFF}));
  EXPECT_EQ(probe(w, u8({0x4FF, 0x600})), std::make_pair(1u, Bytes{0x81}));
}

TEST(CharCode, AsciiKeepingSpellsAsciiAsItself) {
  const CharCode c = make(true, {0x416, 0x4E2D}, {1, 1});
  const std::string text = "plain ascii ~\x7f";
  EXPECT_EQ(probe(c, text), std::make_pair(0u, Bytes(text.begin(), text.end())));
  EXPECT_EQ(encoded(c, "a" + u8({0x416, 0x4E2D})), (Bytes{'a', 0x80, 0x81}));
  EXPECT_EQ(spelled(c, Bytes{'a', 0x80, 0x81}), "a" + u8({0x416, 0x4E2D}));
  EXPECT_FALSE(spelled(c, Bytes{0x82}));  // a lead no group has
}

TEST(CharCode, KnownSections) {
  // tag 7, C 2, G 1, size 2 - 1, 'a', delta 2.
  const CharCode plain = make(false, {'a', 'c'}, {2});
  EXPECT_EQ(section(plain), (Bytes{7, 2, 1, 1, 0x61, 2}));
  // tag 8, C 2, G 2, sizes 0 0, 1046 = 96 08, 20013 - 1046 = 18967 = 97 94 01.
  const CharCode ascii = make(true, {0x416, 0x4E2D}, {1, 1});
  EXPECT_EQ(section(ascii), (Bytes{8, 2, 2, 0, 0, 0x96, 0x08, 0x97, 0x94, 0x01}));
  for (const Bytes& s : {section(plain), section(ascii)}) {
    const auto back = CharCode::read(s);
    ASSERT_TRUE(back);
    EXPECT_EQ(section(*back), s);
  }
}

TEST(CharCode, ReadRefuses) {
  Bytes wide_group = {7, 0x81, 0x01, 1, 0x80, 0};  // 129 characters in one group (size byte 128)
  for (int i = 0; i < 128; ++i) wide_group.push_back(1);
  Bytes wide_ok = wide_group;
  wide_ok[0] = 8;
  wide_ok[5] = 0x80;  // tag 8 needs characters above 127: first = 128
  wide_ok.insert(wide_ok.begin() + 6, 1);
  ASSERT_TRUE(CharCode::read(wide_ok));
  const struct {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"empty", {}},
      {"tag 6", {6, 1, 1, 0, 0x61}},
      {"tag 9", {9, 1, 1, 0, 0xC4, 0x01}},
      {"no characters", {7, 0, 1, 0}},
      {"16,385 plain characters", {7, 0x81, 0x80, 0x01, 1, 0}},
      {"32,769 characters", {8, 0x81, 0x80, 0x02, 1, 0}},
      {"no groups", {7, 1, 0, 0x61}},
      {"129 groups", {7, 1, 129, 0}},
      {"sizes short of C", {7, 2, 1, 0, 0x61, 1}},
      {"size byte missing", {7, 2, 2, 0}},
      {"a delta of 0", {7, 2, 1, 1, 0x61, 0}},
      {"a surrogate", {7, 1, 1, 0, 0x80, 0xB0, 0x03}},
      {"above 0x10FFFF", {7, 1, 1, 0, 0x80, 0x80, 0x44}},
      {"first above u32", {7, 1, 1, 0, 0x80, 0x80, 0x80, 0x80, 0x10}},
      {"a delta wrapping u32", {7, 2, 1, 1, 0x61, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
      {"tag 8 character below 128", {8, 1, 1, 0, 0x61}},
      {"tag 7 size byte of 128", wide_group},
      {"varint cut short", {7, 2, 1, 1, 0x61, 0x80}},
      {"one trailing byte", {7, 2, 1, 1, 0x61, 2, 0}},
  };
  for (const auto& c : cases) EXPECT_FALSE(CharCode::read(c.bytes)) << c.what;
}

TEST(CharCode, PrefixesStopAtForeignCharacter) {
  const CharCode c = make(false, {'a', 'b', 0x416}, {2, 1});
  Bytes out = {9, 9};
  std::vector<std::pair<std::size_t, std::size_t>> pairs = {{7, 7}};
  c.prefixes("ab" + u8({0x416}) + "zb", out, pairs);
  EXPECT_EQ(out, (Bytes{0, 0, 0, 1, 1}));
  const std::vector<std::pair<std::size_t, std::size_t>> expect = {{0, 0}, {1, 2}, {2, 4}, {4, 5}};
  EXPECT_EQ(pairs, expect);
  Bytes partial;
  EXPECT_FALSE(c.encode_key("az", partial));
}

TEST(CharCode, MalformedBytesAreNeverReadPast) {
  const CharCode c = make(false, {'a', 0x416, 0x4E2D, 0x1F600}, {1, 1, 1, 1});
  Bytes out;
  // Keys cut inside a sequence, lone continuation bytes, overlong forms.
  for (std::string bad : {std::string("a\xE4\xB8"), std::string("\xD0"), std::string("\x80"), std::string("\xC0\x80"),
                          std::string("\xF0\x9F\x98"), std::string("\xED\xA0\x80")}) {
    out.clear();
    EXPECT_FALSE(c.encode_key(bad, out));
    EXPECT_NE(probe(c, bad).first, 0u);
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    c.prefixes(bad, out, pairs);
    Tally t;
    t.add(bad);
    EXPECT_EQ(t.bytes, bad.size());
  }
  // A truncated sequence sorts right before the characters it starts.
  EXPECT_EQ(probe(c, "\xE4\xB8"), std::make_pair(1u, Bytes{2}));
  EXPECT_EQ(probe(c, "\xF0\x9F\x98"), std::make_pair(1u, Bytes{3}));
}

// A tally over keys made of the characters, each with its count.
Tally tally_of(const std::vector<std::pair<std::uint32_t, std::uint64_t>>& counts) {
  Tally t;
  for (const auto& [cp, k] : counts) {
    const std::string one = u8({cp});
    std::string key;
    for (std::uint64_t i = 0; i < k; ++i) key += one;
    t.add(key);
  }
  return t;
}

TEST(CharCodeChoice, SmallAlphabetGetsOneByteCodes) {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> counts;
  for (std::uint32_t c = 0; c < 128; ++c) counts.emplace_back(0x410 + c, 50 + c);
  const auto code = tally_of(counts).choose_for(0);
  EXPECT_FALSE(code);  // a corpus of 0 bytes never pays
  const Tally t = tally_of(counts);
  const auto chosen = t.choose_for(t.bytes);
  ASSERT_TRUE(chosen);
  EXPECT_FALSE(chosen->ascii_keeping());
  EXPECT_EQ(chosen->groups().size(), 129u);
  for (const auto& [cp, k] : counts) EXPECT_EQ(encoded(*chosen, u8({cp})).size(), 1u);
}

TEST(CharCodeChoice, RareFlagsFlagNothing) {
  // 4,993 characters counted once: flagging stops at 89 (89 + 39 groups), whose
  // counts are under a tenth, so none is flagged: groups of 128 in code-point
  // order, and only the last group, of one, has a one-byte code.
  std::vector<std::pair<std::uint32_t, std::uint64_t>> counts;
  for (std::uint32_t c = 0; c < 4993; ++c) counts.emplace_back(0x4E00 + c, 1);
  const auto code = tally_of(counts).choose_for(1'000'000'000);
  ASSERT_TRUE(code);
  ASSERT_EQ(code->groups().size(), 41u);
  for (std::size_t g = 0; g < 39; ++g) EXPECT_EQ(code->groups()[g + 1] - code->groups()[g], 128) << g;
  EXPECT_EQ(code->groups()[40] - code->groups()[39], 1);
  EXPECT_EQ(encoded(*code, u8({0x4E00})), (Bytes{0, 0}));
  EXPECT_EQ(encoded(*code, u8({0x4E00 + 4992})), (Bytes{39}));
}

TEST(CharCodeChoice, FrequentCharactersGetOneByte) {
  // Two frequent characters among 1,000 rare ones keep one-byte codes.
  std::vector<std::pair<std::uint32_t, std::uint64_t>> counts;
  for (std::uint32_t c = 0; c < 1000; ++c) counts.emplace_back(0x4E00 + c, c == 10 || c == 500 ? 100'000 : 1);
  const Tally t = tally_of(counts);
  const auto code = t.choose_for(t.bytes);
  ASSERT_TRUE(code);
  EXPECT_EQ(encoded(*code, u8({0x4E00 + 10})).size(), 1u);
  EXPECT_EQ(encoded(*code, u8({0x4E00 + 500})).size(), 1u);
  EXPECT_LE(code->groups().size(), 129u);
}

TEST(CharCodeChoice, KindAndLimits) {
  // 16,385 distinct characters, all of ASCII among them: ASCII-keeping.
  std::vector<std::pair<std::uint32_t, std::uint64_t>> counts;
  for (std::uint32_t c = 0; c < 128; ++c) counts.emplace_back(c, 1);
  for (std::uint32_t c = 0; c < 16'385 - 128; ++c) counts.emplace_back(0x4E00 + c, 1);
  const auto code = tally_of(counts).choose_for(1'000'000'000);
  ASSERT_TRUE(code);
  EXPECT_TRUE(code->ascii_keeping());
  EXPECT_EQ(code->listed(), 16'385u - 128);
  // More than 32,768 non-ASCII characters: no code.
  counts.clear();
  for (std::uint32_t c = 0; c < 32'769; ++c) counts.emplace_back(0x4E00 + c, 1);
  EXPECT_FALSE(tally_of(counts).choose_for(1'000'000'000));
  EXPECT_FALSE(Tally().choose_for(100));
}

TEST(CharCodeChoice, PaysOnlyAboveTheSection) {
  // Cyrillic words: one byte a character instead of two, against a section of
  // 16 bytes; a tiny corpus does not pay for it, nor does ASCII.
  const std::string word = u8({0x43F, 0x440, 0x438, 0x432, 0x435, 0x442});
  Tally t;
  t.add(word);
  EXPECT_FALSE(t.choose_for(t.bytes));
  for (int i = 0; i < 1000; ++i) t.add(word);
  EXPECT_TRUE(t.choose_for(t.bytes));
  Tally ascii;
  for (int i = 0; i < 1000; ++i) ascii.add("hello world");
  EXPECT_FALSE(ascii.choose_for(ascii.bytes));
}

TEST(CharCodeChoice, MergedTalliesChooseAlike) {
  std::mt19937 rng(5);
  Tally whole, a, b;
  for (int i = 0; i < 20'000; ++i) {
    auto pick = [&](std::uint32_t base, std::uint32_t n) { return base + static_cast<std::uint32_t>(rng() % n); };
    const std::string key = u8({pick(0x430, 32), pick(0x430, 32), pick(0x4E00, 300)});
    whole.add(key);
    (i % 3 ? a : b).add(key);
  }
  a.merge(std::move(b));
  EXPECT_EQ(a.bytes, whole.bytes);
  const auto x = whole.choose_for(whole.bytes), y = a.choose_for(a.bytes);
  ASSERT_TRUE(x && y);
  EXPECT_EQ(section(*x), section(*y));
}

TEST(CharCodeWidths, Cuts) {
  const bool flags[] = {false, false, false, false, false, true, false, true, true, false};
  EXPECT_EQ(charcode::widths(flags, 2), (std::vector<std::uint32_t>{2, 2, 1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(charcode::widths(flags, 128), (std::vector<std::uint32_t>{5, 1, 1, 1, 1, 1}));
  EXPECT_TRUE(charcode::widths({}, 128).empty());
}

TEST(CharCodePacked, Forms) {
  EXPECT_EQ(charcode::packed('a'), 0x61u);
  EXPECT_EQ(charcode::packed(0x416), 0x96D0u);  // D0 96
  EXPECT_EQ(charcode::packed(0x1F600), 0x80989FF0u);
  for (std::uint32_t cp : {0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu})
    EXPECT_EQ(charcode::unpacked(charcode::packed(cp)), cp);
  EXPECT_THROW(charcode::unpacked(0x4161), Panic);      // a byte after a one-byte form
  EXPECT_THROW(charcode::unpacked(0x80), Panic);        // a lone continuation byte
  EXPECT_THROW(charcode::unpacked(0x80A0ED), Panic);    // a surrogate
}

// Alphabets drawn from all four UTF-8 lengths.
std::vector<std::uint32_t> alphabet(std::mt19937& rng, std::size_t n, bool with_ascii) {
  std::set<std::uint32_t> s;
  while (s.size() < n) {
    std::uint32_t c;
    switch (rng() % 4) {
      case 0: c = with_ascii ? rng() % 128 : 0x80 + rng() % 0x780; break;
      case 1: c = 0x80 + rng() % 0x780; break;
      case 2: c = 0x800 + rng() % 0xF800; break;
      default: c = 0x10000 + rng() % 0x100000; break;
    }
    if (utf8::scalar(c)) s.insert(c);
  }
  return {s.begin(), s.end()};
}

// Random group sizes within the kind's limits (at most 128 groups), some of
// them groups of one.
std::vector<std::uint32_t> random_groups(std::mt19937& rng, std::size_t n, bool ascii) {
  const std::size_t limit = ascii ? 256 : 128;
  const std::size_t lo = (n + limit - 1) / limit, hi = std::min<std::size_t>(128, n);
  const std::size_t groups = lo + rng() % (hi - lo + 1);
  std::vector<std::uint32_t> sizes(groups, 1);
  std::size_t left = n - groups;
  std::vector<std::size_t> open;
  for (std::size_t g = 0; g < groups; ++g)
    if (rng() % 4 != 0) open.push_back(g);
  if (open.size() * (limit - 1) < left) {
    open.resize(groups);
    for (std::size_t g = 0; g < groups; ++g) open[g] = g;
  }
  while (left > 0) {
    const std::size_t g = open[rng() % open.size()];
    const std::size_t add = std::min({left, limit - sizes[g], std::size_t{1} + rng() % 8});
    sizes[g] += static_cast<std::uint32_t>(add);
    left -= add;
  }
  return sizes;
}

std::string random_string(std::mt19937& rng, const std::vector<std::uint32_t>& chars, std::size_t max_len) {
  std::string s;
  const std::size_t len = rng() % (max_len + 1);
  for (std::size_t i = 0; i < len; ++i) s += u8({chars[rng() % chars.size()]});
  return s;
}

int sign(int v) { return (v > 0) - (v < 0); }
int compare(std::string_view a, std::string_view b) { return sign(a.compare(b)); }
int compare(const Bytes& a, const Bytes& b) {
  return sign(std::string_view(reinterpret_cast<const char*>(a.data()), a.size())
                  .compare(std::string_view(reinterpret_cast<const char*>(b.data()), b.size())));
}
bool starts(const Bytes& a, const Bytes& p) { return a.size() >= p.size() && std::equal(p.begin(), p.end(), a.begin()); }

TEST(CharCodeProperty, CodesOrderPrefixAndSpellBack) {
  std::mt19937 rng(11);
  for (int round = 0; round < 24; ++round) {
    const bool ascii = round % 2;
    const std::size_t n = round < 8 ? 1 + rng() % 10 : 100 + rng() % 3000;
    const auto listed = alphabet(rng, n, !ascii);
    const auto sizes = random_groups(rng, listed.size(), ascii);
    const CharCode code = make(ascii, listed, sizes);
    auto used = listed;
    if (ascii) used.insert(used.end(), {'a', 'z', 0});
    const auto back = CharCode::read(section(code));
    ASSERT_TRUE(back);
    EXPECT_EQ(section(*back), section(code));
    for (int i = 0; i < 300; ++i) {
      const std::string a = random_string(rng, used, 8);
      // Every third b shares a prefix with a, cut at a character boundary.
      std::size_t cut = a.size() / 2;
      while (cut > 0 && (static_cast<unsigned char>(a[cut]) & 0xC0) == 0x80) --cut;
      const std::string b = i % 3 ? random_string(rng, used, 8) : a.substr(0, cut) + random_string(rng, used, 3);
      const Bytes ca = encoded(code, a), cb = encoded(code, b);
      ASSERT_EQ(compare(ca, cb), compare(a, b)) << round;
      ASSERT_EQ(starts(ca, cb), b.size() <= a.size() && a.compare(0, b.size(), b) == 0);
      ASSERT_EQ(spelled(code, ca), a);
      ASSERT_EQ(spelled(*back, ca), a);
      ASSERT_EQ(probe(code, a), std::make_pair(0u, ca));
      // Spelled in place from the end of its own buffer.
      std::string buf(4 * ca.size(), '\0');
      std::copy(ca.begin(), ca.end(), buf.end() - static_cast<std::ptrdiff_t>(ca.size()));
      const auto m = code.spell(reinterpret_cast<const unsigned char*>(buf.data()) + 3 * ca.size(), ca.size(),
                                reinterpret_cast<unsigned char*>(buf.data()));
      ASSERT_TRUE(m);
      ASSERT_EQ(buf.substr(0, *m), a);
    }
  }
}

TEST(CharCodeProperty, BoundRanksLikeTheRawQuery) {
  std::mt19937 rng(12);
  for (int round = 0; round < 24; ++round) {
    const bool ascii = round % 2;
    const auto listed = alphabet(rng, round < 8 ? 2 + rng() % 6 : 50 + rng() % 500, !ascii);
    const CharCode code = make(ascii, listed, random_groups(rng, listed.size(), ascii));
    auto used = listed;
    if (ascii) used.insert(used.end(), {'a', 'q'});
    // Foreign characters, some below, between and above the listed ones.
    auto foreign = alphabet(rng, 20, !ascii);
    foreign.push_back(0x10FFFF);
    if (!ascii) foreign.push_back(0);
    foreign.erase(std::remove_if(foreign.begin(), foreign.end(),
                                 [&](std::uint32_t c) { return std::binary_search(listed.begin(), listed.end(), c) || (ascii && c < 128); }),
                  foreign.end());
    std::vector<std::string> keys;
    for (int i = 0; i < 400; ++i) keys.push_back(random_string(rng, used, 6));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::vector<Bytes> coded;
    for (const auto& k : keys) coded.push_back(encoded(code, k));
    ASSERT_TRUE(std::is_sorted(coded.begin(), coded.end()));
    auto with_foreign = used;
    with_foreign.insert(with_foreign.end(), foreign.begin(), foreign.end());
    for (int i = 0; i < 600; ++i) {
      std::string q;
      if (i % 2) {
        q = keys[rng() % keys.size()];
        q = q.substr(0, q.size() - (q.empty() ? 0 : rng() % 2)) + u8({foreign[rng() % foreign.size()]}) + random_string(rng, used, 2);
      } else {
        q = random_string(rng, with_foreign, 6);
      }
      // Now and then cut the query inside a sequence or add a stray byte.
      if (i % 7 == 0 && !q.empty() && static_cast<unsigned char>(q.back()) >= 0x80) q.pop_back();
      if (i % 11 == 0) q += static_cast<char>(0x80 + rng() % 0x80);
      const auto raw_rank = std::lower_bound(keys.begin(), keys.end(), q) - keys.begin();
      const auto [kind, bound] = probe(code, q);
      if (kind == 2) {
        ASSERT_EQ(raw_rank, static_cast<std::ptrdiff_t>(keys.size())) << round << " " << i;
        continue;
      }
      const auto coded_rank = std::lower_bound(coded.begin(), coded.end(), bound) - coded.begin();
      ASSERT_EQ(coded_rank, raw_rank) << round << " " << i;
      if (kind == 1) {
        ASSERT_FALSE(std::binary_search(keys.begin(), keys.end(), q));
      }
    }
  }
}

}  // namespace
}  // namespace quorvale
