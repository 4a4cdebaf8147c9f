// The phrase trie, the cheapest parse, its memoised pricing and the choice of
// a shard's split.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dict_index/layout.hpp"
#include "phrase_build.hpp"
#include "phrase_fixtures.hpp"

namespace quorvale {
namespace {

using fsst::Table;
using phrase::Cell;
using phrase::Limits;
using phrase::Split;
using phrase::Trie;
using Code = std::vector<unsigned char>;
using testing::table_of;
using testing::view;



std::string random_string(std::mt19937& rng, std::size_t max_len, const std::string& alphabet) {
  std::string s(rng() % (max_len + 1), ' ');
  for (char& c : s) c = alphabet[rng() % alphabet.size()];
  return s;
}

// Every phrase a walk of the trie reports at the front of s, as (index, length).
std::vector<std::pair<std::uint32_t, std::uint32_t>> walked(const Trie& t, const std::string& s) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  phrase::walk(t.cells().data(), reinterpret_cast<const unsigned char*>(s.data()), s.size(),
               [&](std::uint32_t d, std::uint32_t len) { out.emplace_back(d, len); });
  return out;
}

TEST(PhraseTrie, EmptyListIsEmptyTrie) {
  const Trie e = Trie::empty();
  ASSERT_EQ(e.cells().size(), 256u);
  for (const Cell& c : e.cells()) EXPECT_EQ(c, (Cell{0, phrase::kNoCell, 0}));
  EXPECT_EQ(Trie::of(std::vector<std::string>{}), e);
  EXPECT_TRUE(walked(e, "anything").empty());
}

void expect_cells(const Trie& t, std::size_t size, const std::map<std::size_t, Cell>& expect) {
  ASSERT_EQ(t.cells().size(), size);
  for (std::size_t i = 0; i < t.cells().size(); ++i) {
    const auto it = expect.find(i);
    const Cell want = it == expect.end() ? Cell{0, phrase::kNoCell, 0} : it->second;
    EXPECT_EQ(t.cells()[i], want) << i;
  }
}

TEST(PhraseTrie, KnownCells) {
  // Root children a, b at the cursor 256: base 256 - 'a' = 159. The node
  // "a" then places its child b at the next free position, 258: base 160.
  const Trie t = Trie::of(std::vector<std::string>{"ab", "a", "b"});
  expect_cells(t, 160 + 256, {{0, {159, phrase::kNoCell, 0}}, {256, {160, 0, 2}}, {257, {0, 0, 3}}, {258, {0, 256, 1}}});
  // A phrase that prefixes another is reported on the same walk, shorter first.
  EXPECT_EQ(walked(t, "abz"), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 1}, {0, 2}}));

  // Breadth first: root (a, b at 256, 257); "a" (a, c at 258, 260 from base
  // 161); "b" (a, b): base 162 would need 260, taken, so the next free
  // position after 259, 261, gives base 164; "aa" (a) then fills the hole at
  // 259, where the cursor stayed: base 162.
  const Trie u = Trie::of(std::vector<std::string>{"aa", "ac", "ba", "bb", "aaa"});
  expect_cells(u, 164 + 256,
               {{0, {159, phrase::kNoCell, 0}},
                {256, {161, 0, 0}},
                {257, {164, 0, 0}},
                {258, {162, 256, 1}},
                {259, {0, 258, 5}},
                {260, {0, 256, 2}},
                {261, {0, 257, 3}},
                {262, {0, 257, 4}}});
}

TEST(PhraseTrie, WalksFindWhatABruteForceFinds) {
  std::mt19937 rng(11);
  for (int round = 0; round < 60; ++round) {
    // Small alphabets make prefixes and repeats common; a few long phrases
    // reach the 32-byte bound.
    const std::string alphabet = round % 3 == 0 ? std::string("ab") : std::string("abc\0\xff", 5);
    std::vector<std::string> phrases;
    const std::size_t count = rng() % 40;
    for (std::size_t i = 0; i < count; ++i) {
      std::string p = random_string(rng, rng() % 4 == 0 ? 40 : 6, alphabet);
      if (p.size() > 32) p.resize(32);
      if (p.empty()) p = "a";
      phrases.push_back(rng() % 5 == 0 && !phrases.empty() ? phrases[rng() % phrases.size()] : p);
    }
    const Trie t = Trie::of(phrases);
    EXPECT_EQ(Trie::of(phrases), t);
    std::uint32_t max_base = 0;
    std::vector<bool> has_child(t.cells().size(), false);
    for (std::size_t i = 0; i < t.cells().size(); ++i) {
      max_base = std::max(max_base, t.cells()[i].base);
      if (t.cells()[i].check != phrase::kNoCell) {
        has_child[t.cells()[i].check] = true;
        EXPECT_GE(i, 256u);
      }
    }
    EXPECT_GE(t.cells().size(), std::size_t{max_base} + 256);
    for (std::size_t i = 0; i < t.cells().size(); ++i)
      if (!has_child[i]) {
        EXPECT_EQ(t.cells()[i].base, 0u) << i;
      }

    // The later index of equal phrases wins.
    std::map<std::string, std::uint32_t> last;
    for (std::size_t i = 0; i < phrases.size(); ++i) last[phrases[i]] = static_cast<std::uint32_t>(i);
    for (int k = 0; k < 20; ++k) {
      const std::string s = random_string(rng, 45, alphabet);
      for (std::size_t p = 0; p <= s.size(); ++p) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> expect;
        for (std::size_t len = 1; len <= std::min<std::size_t>(32, s.size() - p); ++len) {
          const auto it = last.find(s.substr(p, len));
          if (it != last.end()) expect.emplace_back(it->second, static_cast<std::uint32_t>(len));
        }
        // Walking a cut string never reads past its end.
        const std::string rest = s.substr(p);
        ASSERT_EQ(walked(t, rest), expect) << "round " << round << " at " << p;
      }
    }
  }
}

// ---------------------------------------------------------------------------

struct Problem {
  Table table;
  std::vector<std::string> phrases;  // distinct
  std::optional<Limits> limits;
};

// The fewest bits over every coding of s[p..]: at each position the greedy
// step's token or any usable phrase, found by comparing bytes.
std::uint32_t brute(const Problem& pr, const fsst::Encoder& enc, const std::string& s, std::size_t p) {
  if (p == s.size()) return 0;
  const fsst::Step st = enc.step(reinterpret_cast<const unsigned char*>(s.data()) + p, s.size() - p);
  std::uint32_t best = st.code == fsst::ESCAPE ? 16 + brute(pr, enc, s, p + 1) : 8 + brute(pr, enc, s, p + st.len);
  if (pr.limits) {
    for (std::uint32_t d = 0; d < pr.phrases.size(); ++d) {
      const std::string& ph = pr.phrases[d];
      if (d >= pr.limits->codable || s.compare(p, ph.size(), ph) != 0) continue;
      best = std::min(best, (d < pr.limits->two ? 16u : 24u) + brute(pr, enc, s, p + ph.size()));
    }
  }
  return best;
}

Problem random_problem(std::mt19937& rng, const std::string& alphabet) {
  Problem pr;
  std::set<std::string> syms, phrases;
  const std::size_t ns = rng() % 6;
  while (syms.size() < ns) syms.insert(random_string(rng, 3, alphabet) + alphabet[rng() % alphabet.size()]);
  pr.table = table_of(std::vector<std::string>(syms.begin(), syms.end()));
  const std::size_t np = rng() % 7;
  while (phrases.size() < np) {
    std::string p = random_string(rng, 5, alphabet);
    if (!p.empty()) phrases.insert(p);
  }
  pr.phrases.assign(phrases.begin(), phrases.end());
  std::shuffle(pr.phrases.begin(), pr.phrases.end(), rng);
  if (rng() % 4 != 0) {
    const std::uint32_t codable = static_cast<std::uint32_t>(rng() % (np + 2));
    pr.limits = Limits{static_cast<std::uint32_t>(rng() % (codable + 1)), codable};
  }
  return pr;
}

TEST(PhraseParse, EqualsExhaustiveMinimum) {
  std::mt19937 rng(5);
  phrase::Scratch scratch;
  for (int round = 0; round < 400; ++round) {
    const std::string alphabet = round % 2 ? "ab" : "abc";
    const Problem pr = random_problem(rng, alphabet);
    const fsst::Encoder enc = pr.table.encoder();
    const Trie trie = Trie::of(pr.phrases);
    for (int k = 0; k < 10; ++k) {
      const std::string s = random_string(rng, 12, alphabet + "z");
      const std::uint32_t bits = phrase::parse(view(s), enc, trie.cells(), pr.limits, scratch);
      ASSERT_EQ(bits, brute(pr, enc, s, 0)) << "round " << round << " '" << s << "'";
      // The choices read back are a coding of that cost.
      std::uint32_t sum = 0;
      std::size_t end = 0;
      for (const phrase::Token& t : scratch.read(s.size())) {
        ASSERT_EQ(t.pos, end);
        end += t.len;
        if (t.kind == phrase::kPhrase) {
          ASSERT_LT(t.code, pr.limits->codable);
          ASSERT_EQ(s.substr(t.pos, t.len), pr.phrases[t.code]);
          sum += t.code < pr.limits->two ? 16 : 24;
        } else {
          const fsst::Step st = enc.step(reinterpret_cast<const unsigned char*>(s.data()) + t.pos, s.size() - t.pos);
          ASSERT_EQ(t.kind == phrase::kEscape, st.code == fsst::ESCAPE);
          ASSERT_EQ(t.len, st.len);
          sum += t.kind == phrase::kEscape ? 16 : 8;
        }
      }
      ASSERT_EQ(end, s.size());
      ASSERT_EQ(sum, bits);
      // Without limits it is the greedy coding.
      std::vector<unsigned char> greedy;
      enc.encode(view(s), greedy);
      ASSERT_EQ(phrase::parse(view(s), enc, trie.cells(), std::nullopt, scratch), 8 * greedy.size());
      ASSERT_EQ(phrase::plain_bits(view(s), enc), 8 * greedy.size());
    }
  }
}

TEST(PhraseParse, TiesAndLimits) {
  phrase::Scratch scratch;
  auto first_word = [&](const std::string& s, const Table& t, const std::vector<std::string>& phrases,
                        std::optional<Limits> limits) {
    const Trie trie = Trie::of(phrases);
    const std::uint32_t bits = phrase::parse(view(s), t.encoder(), trie.cells(), limits, scratch);
    return std::pair{bits, scratch.choices[0]};
  };
  const std::uint32_t sym_a = 0 << 8 | 1 << 2;  // symbol 0 of one byte
  // "ab" under {a}: a (8) + escaped b (16) = 24, as a three-byte phrase: the
  // symbol route wins; at two bytes the phrase does.
  EXPECT_EQ(first_word("ab", table_of({"a"}), {"ab"}, Limits{0, 1}), (std::pair{24u, sym_a}));
  EXPECT_EQ(first_word("ab", table_of({"a"}), {"ab"}, Limits{1, 1}), (std::pair{16u, 0u << 8 | 2u << 2 | 2u}));
  // "abc" under {c}: "ab" (16) + c (8) ties with "abc" as a three-byte
  // phrase (24): the shorter phrase wins; "abc" at two bytes wins outright.
  EXPECT_EQ(first_word("abc", table_of({"c"}), {"ab", "abc"}, Limits{1, 2}), (std::pair{24u, 0u << 8 | 2u << 2 | 2u}));
  EXPECT_EQ(first_word("abc", table_of({"c"}), {"ab", "abc"}, Limits{2, 2}), (std::pair{16u, 1u << 8 | 3u << 2 | 2u}));
  // A phrase at or above codable is never used; below two 16 bits, else 24.
  const Table none;
  EXPECT_EQ(first_word("abcd", none, {"abcd"}, Limits{0, 0}), (std::pair{64u, phrase::kEscapeWord}));
  EXPECT_EQ(first_word("abcd", none, {"abcd"}, Limits{0, 1}).first, 24u);
  EXPECT_EQ(first_word("abcd", none, {"abcd"}, Limits{1, 1}).first, 16u);
  EXPECT_EQ(first_word("abcd", none, {"abcd"}, std::nullopt).first, 64u);
  EXPECT_EQ(first_word("", none, {"abcd"}, Limits{1, 1}).first, 0u);
}

TEST(PhraseMemo, PriceEqualsParse) {
  std::mt19937 rng(9);
  phrase::Scratch a, b;
  phrase::Memo memo;
  for (int round = 0; round < 150; ++round) {
    const std::string alphabet = "abcd";
    std::vector<fsst::Encoder> variants;
    for (int v = 0; v < 3; ++v) variants.push_back(random_problem(rng, alphabet).table.encoder());
    const Problem pr = random_problem(rng, alphabet);
    const Trie trie = Trie::of(pr.phrases);
    for (int k = 0; k < 8; ++k) {
      const std::string s = random_string(rng, 40, alphabet);
      memo.prepare(view(s), variants, trie.cells());
      for (std::size_t v = 0; v < variants.size(); ++v)
        for (const std::optional<Limits> lim : {std::optional<Limits>{}, pr.limits, std::optional<Limits>{Limits{1, 3}},
                                                std::optional<Limits>{phrase::kAllTwo}})
          ASSERT_EQ(memo.price(v, lim, a), phrase::parse(view(s), variants[v], trie.cells(), lim, b))
              << "round " << round << " variant " << v;
    }
  }
}

// ---------------------------------------------------------------------------

TEST(PhraseSettle, CandidateSplits) {
  auto pairs = [](std::uint64_t p) {
    std::vector<std::pair<int, int>> out;
    for (const Split s : phrase::splits(p)) out.emplace_back(s.g, s.h);
    return out;
  };
  using V = std::vector<std::pair<int, int>>;
  EXPECT_EQ(pairs(300), (V{{127, 0}, {191, 0}, {223, 0}, {239, 0}, {254, 0}, {254, 1}}));
  // (254, 2) would leave no code byte (254 + 2 = 256): hmin is capped at 1.
  EXPECT_EQ(pairs(100'000), (V{{127, 0}, {127, 2}, {191, 0}, {191, 2}, {223, 0}, {223, 2}, {239, 0}, {239, 2},
                               {254, 0}, {254, 1}}));
  EXPECT_EQ(pairs(256), (V{{127, 0}, {191, 0}, {223, 0}, {239, 0}, {254, 0}}));
  // Every phrase is codable under (g, hmin) when some h can code them all.
  for (const Split s : phrase::splits(524'288))
    if (s.h != 0 && s.g != 254) {
      EXPECT_GE(s.limits().codable, 524'288u) << int(s.g);
    }
}

TEST(PhraseSettle, NoSplit) {
  phrase::Scratch scratch;
  const Table t = table_of({"ab", "c"});
  const std::vector<std::string> phrases{"zzzz"};
  const Trie trie = Trie::of(phrases);
  const std::vector<std::string> strings{"abcab", "cab"};
  std::vector<fsst::Bytes> samples;
  for (const auto& s : strings) samples.push_back(view(s));
  // No phrases; no samples; phrases that never occur.
  const phrase::Settled a = phrase::settle(samples, t, Trie::empty().cells(), 0, scratch);
  const phrase::Settled b = phrase::settle({}, t, trie.cells(), 1, scratch);
  const phrase::Settled c = phrase::settle(samples, t, trie.cells(), 1, scratch);
  for (const phrase::Settled* s : {&a, &b, &c}) {
    EXPECT_FALSE(s->split);
    EXPECT_EQ(s->table, t);
  }
}

TEST(PhraseSettle, HeadKeptWhenRetrainingDoesNotPay) {
  // 200 one-byte symbols; every sample is the phrase, so the gaps are empty
  // and the retrained (empty) table costs the same: the first 127 symbols stay.
  std::vector<std::string> syms;
  for (int b = 0; b < 200; ++b) syms.push_back(std::string(1, static_cast<char>(b)));
  const Table t = table_of(syms);
  const std::vector<std::string> phrases{"hello world"};
  const Trie trie = Trie::of(phrases);
  const std::string s = "hello world";
  const std::vector<fsst::Bytes> samples(5, view(s));
  phrase::Scratch scratch;
  const phrase::Settled r = phrase::settle(samples, t, trie.cells(), 1, scratch);
  ASSERT_TRUE(r.split);
  EXPECT_EQ(r.split->g, 127);
  EXPECT_EQ(r.split->h, 0);
  EXPECT_EQ(r.table, t.head(127));
}

// 254 one-byte symbols (symbol i is byte i) and 300 phrases; the sample is
// phrase 299 (bytes 250..253 twice) followed by bytes 245, 246. Costs in
// bytes: the full table 10; (127, 0) to (239, 0) escape 245 and 246: 2 + 4 =
// 6; (254, 0) cannot name phrase 299: 10; (254, 1) names it in three bytes:
// 3 + 2 = 5, the cheapest. The gap 245, 246 retrains to {245 246, 245, 246},
// which codes it in one byte: 4 < 5, so the retrained table is kept.
TEST(PhraseSettle, KnownSplitAndTieredBytes) {
  std::vector<std::string> syms;
  for (int b = 0; b < 254; ++b) syms.push_back(std::string(1, static_cast<char>(b)));
  const Table t = table_of(syms);
  std::vector<std::string> phrases;
  for (int i = 0; i < 299; ++i) phrases.push_back(std::string("\xff") + static_cast<char>(i >> 8) + static_cast<char>(i));
  phrases.push_back("\xfa\xfb\xfc\xfd\xfa\xfb\xfc\xfd");
  const Trie trie = Trie::of(phrases);
  const std::string s = phrases[299] + "\xf5\xf6";
  const fsst::Bytes samples[] = {view(s)};
  phrase::Scratch scratch;
  const phrase::Settled r = phrase::settle(samples, t, trie.cells(), phrases.size(), scratch);
  ASSERT_TRUE(r.split);
  EXPECT_EQ(r.split->g, 254);
  EXPECT_EQ(r.split->h, 1);
  EXPECT_EQ(r.table, table_of({"\xf5\xf6", "\xf5", "\xf6"}));
  // Phrase 299 under (254, 1): K = 0, so 254, 299 >> 8, 299 & 255; then
  // symbol 0.
  Code out{0x77};
  EXPECT_EQ(phrase::encode(view(s), r.table.encoder(), trie.cells(), *r.split, scratch, out), 4u);
  EXPECT_EQ(out, (Code{0x77, 254, 1, 43, 0}));
}

// The shard encoder's bytes for one string. Table {ab, c, /}, phrases
// {/usr/, share, lib}. From the end: q escapes (16), c is symbol 1, b
// escapes, "ab" is symbol 0, "/" symbol 2, "share" beats five escapes and
// "/usr/" beats "/" plus three escapes and "/".
TEST(PhraseEncode, KnownTieredBytes) {
  const Table t = table_of({"ab", "c", "/"});
  const std::vector<std::string> phrases{"/usr/", "share", "lib"};
  const Trie trie = Trie::of(phrases);
  const std::string s = "/usr/share/abcq";
  phrase::Scratch scratch;
  Code out;
  // (254, 0): one two-byte lead, 254.
  EXPECT_EQ(phrase::encode(view(s), t.encoder(), trie.cells(), Split{254, 0}, scratch, out), 9u);
  EXPECT_EQ(out, (Code{254, 0, 254, 1, 2, 0, 1, 255, 'q'}));
  EXPECT_EQ(phrase::parse(view(s), t.encoder(), trie.cells(), Split{254, 0}.limits(), scratch), 72u);
  // (254, 1): three-byte codes only, still cheaper than the symbols.
  out.clear();
  EXPECT_EQ(phrase::encode(view(s), t.encoder(), trie.cells(), Split{254, 1}, scratch, out), 11u);
  EXPECT_EQ(out, (Code{254, 0, 0, 254, 0, 1, 2, 0, 1, 255, 'q'}));
  // (127, 1): 127 two-byte leads from 127 on.
  out.clear();
  EXPECT_EQ(phrase::encode(view(s), t.encoder(), trie.cells(), Split{127, 1}, scratch, out), 9u);
  EXPECT_EQ(out, (Code{127, 0, 127, 1, 2, 0, 1, 255, 'q'}));
}

// What the shard encoder emits, the dictionary's Tiered decoder reads back:
// random tables (at most g symbols), phrase lists and splits, with phrase
// indexes past the two-byte range.
TEST(PhraseEncode, TieredDecoderReadsItBack) {
  std::mt19937 rng(21);
  phrase::Scratch scratch;
  const Split splits[] = {{127, 0}, {254, 0}, {254, 1}, {191, 2}, {8, 246}, {239, 16}};
  for (int round = 0; round < 200; ++round) {
    const std::string alphabet = round % 2 ? "ab/" : std::string("xyz\0\xff", 5);
    const Split split = splits[round % 6];
    Table table;
    {
      std::set<std::string> syms;
      const std::size_t ns = rng() % 7;
      while (syms.size() < ns) syms.insert(random_string(rng, 3, alphabet) + alphabet[rng() % alphabet.size()]);
      table = table_of(std::vector<std::string>(syms.begin(), syms.end()));
    }
    // Enough phrases that some need three-byte codes under splits with few
    // two-byte leads; only the last few can occur in the strings.
    std::vector<std::string> phrases;
    const std::size_t filler = split.k() <= 1 ? 300 : 0;
    for (std::size_t i = 0; i < filler; ++i) phrases.push_back(std::string("#").append(std::to_string(i)));
    std::set<std::string> distinct;
    while (distinct.size() < 1 + rng() % 8) {
      const std::string ph = random_string(rng, 6, alphabet);
      if (!ph.empty() && distinct.insert(ph).second) phrases.push_back(ph);
    }
    const Trie trie = Trie::of(phrases);
    const phrase::Dict dict = phrase::Dict::of(phrases);
    const dict_index::Codec codec{dict_index::Codec::Tiered{table, split}};
    const fsst::Encoder enc = table.encoder();
    for (int k = 0; k < 20; ++k) {
      const std::string s = random_string(rng, 30, alphabet);
      Code coded;
      phrase::encode(view(s), enc, trie.cells(), split, scratch, coded);
      ASSERT_EQ(8 * coded.size(), phrase::parse(view(s), enc, trie.cells(), split.limits(), scratch));
      std::vector<unsigned char> back;
      ASSERT_TRUE(codec.decode_into(dict, dict_index::Codec::Source{coded, 0, coded.size()}, back, UINT64_MAX));
      ASSERT_EQ(std::string(back.begin(), back.end()), s) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace quorvale
