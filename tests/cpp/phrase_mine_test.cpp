// Phrase mining: the counting round, merging and ranking, the held-out test,
// the packed-alphabet check and the whole miner on crafted samples.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "phrase_build.hpp"
#include "phrase_fixtures.hpp"

namespace quorvale {
namespace {

using fsst::Table;
using phrase::CandidateMap;
using phrase::ShardPair;
using phrase::Trie;
using testing::ShardSamples;
using testing::table_of;
using testing::view;

std::string str(const unsigned char* b, std::size_t n) { return std::string(reinterpret_cast<const char*>(b), n); }


// Every byte from..to-1 as a one-byte symbol, in byte order.
Table bytes_table(int from, int to) {
  std::vector<std::string> syms;
  for (int b = from; b < to; ++b) syms.push_back(std::string(1, static_cast<char>(b)));
  return table_of(syms);
}

ShardPair pair_of(const std::vector<std::string>& strings, const Table& t) {
  ShardPair p{{}, &t};
  for (const auto& s : strings) p.strings.push_back(view(s));
  return p;
}

// The entries of a round over one pair, as bytes to saving, across W maps.
std::map<std::string, std::uint64_t> counted(const std::vector<std::string>& strings, const Table& t,
                                             const std::vector<std::string>& phrases = {}, std::size_t w = 3,
                                             std::size_t cap = phrase::kMapCap) {
  const ShardPair pair = pair_of(strings, t);
  const Trie trie = Trie::of(phrases);
  std::vector<CandidateMap> maps(w);
  phrase::round(std::span<const ShardPair>(&pair, 1), trie.cells(), phrases.size(), cap, maps);
  std::map<std::string, std::uint64_t> out;
  for (std::size_t j = 0; j < w; ++j)
    for (const auto& e : maps[j].entries()) {
      EXPECT_EQ(phrase::partition_of(e.key, w), j);
      EXPECT_EQ(e.key, phrase::run_key(e.bytes, e.len));
      out[str(e.bytes, e.len)] += e.saving;
    }
  return out;
}

using Counts = std::map<std::string, std::uint64_t>;

TEST(PhraseMine, RunKeys) {
  // Worked out independently of this code (FNV-1a, the rotating hash, the
  // final mix), with the partitions for W = 1, 2, 3, 7 and 21.
  struct Case {
    std::string bytes;
    std::uint64_t key;
    std::size_t parts[5];
  };
  const Case cases[] = {{"abc", 0xb5fcb2119885a5f7ULL, {0, 1, 2, 4, 14}},
                        {"/usr/share/", 0xf8e21b8ebe73bffaULL, {0, 1, 2, 6, 20}},
                        {std::string(32, 'x'), 0x7ae6901e638e5fb5ULL, {0, 0, 1, 3, 10}}};
  for (const Case& c : cases) {
    const std::uint64_t k = phrase::run_key(view(c.bytes).data(), c.bytes.size());
    EXPECT_EQ(k, c.key) << c.bytes;
    const std::size_t ws[] = {1, 2, 3, 7, 21};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(phrase::partition_of(k, ws[i]), c.parts[i]) << c.bytes << " W " << ws[i];
  }
}

TEST(PhraseMine, RoundCountsRuns) {
  // One symbol token; two 1-byte symbols (2 bytes); two 2-byte symbols
  // (4 bytes at cost 2, saving 0): never counted.
  EXPECT_TRUE(counted({"abcdefgh"}, table_of({"abcdefgh"})).empty());
  EXPECT_TRUE(counted({"ab"}, table_of({"a", "b"})).empty());
  EXPECT_TRUE(counted({"abcd"}, table_of({"ab", "cd"})).empty());
  // Three 1-byte symbols save 1; three escapes (6 bytes) save 4, twice.
  EXPECT_EQ(counted({"abc"}, table_of({"a", "b", "c"})), (Counts{{"abc", 1}}));
  EXPECT_EQ(counted({"xyz", "xyz"}, Table{}), (Counts{{"xyz", 8}}));
  // Four escapes: the two three-token runs; the two-token runs are 2 bytes.
  EXPECT_EQ(counted({"wxyz"}, Table{}), (Counts{{"wxy", 4}, {"xyz", 4}}));
  // A lone phrase saves its plain cost (16 escaped bytes) less 2.
  EXPECT_EQ(counted({"abcdefgh"}, Table{}, {"abcdefgh"}), (Counts{{"abcdefgh", 14}}));
  // Runs stop past 32 bytes: two 20-byte phrases are counted alone only.
  const std::string x(20, 'x'), y(20, 'y');
  EXPECT_EQ(counted({x + y}, Table{}, {x, y}), (Counts{{x, 38}, {y, 38}}));
  // Phrase, escape, phrase (3 + 1 + 20 bytes, cost 2 + 2 + 2): every run
  // of them is within 32 bytes.
  EXPECT_EQ(counted({"abcq" + y}, Table{}, {"abc", y}),
            (Counts{{"abc", 4}, {"abcq", 2}, {"abcq" + y, 4}, {"q" + y, 2}, {y, 38}}));
  // With a 30-byte phrase the three-token run (34 bytes) stops.
  const std::string z(30, 'z');
  EXPECT_EQ(counted({"abcq" + z}, Table{}, {"abc", z}),
            (Counts{{"abc", 4}, {"abcq", 2}, {"q" + z, 2}, {z, 58}}));
}

TEST(PhraseMine, RoundPrunesAtTheMedian) {
  // Cap 3: the fourth distinct run makes four entries; savings 4, 4, 4, 12
  // have 4 at position 2, so every entry at or below 4 goes.
  EXPECT_EQ(counted({"abc", "abc", "abc", "def", "ghi", "jkl"}, Table{}, {}, 2, 3), (Counts{{"abc", 12}}));
  // Without the cap all stay.
  EXPECT_EQ(counted({"abc", "abc", "abc", "def", "ghi", "jkl"}, Table{}, {}, 2).size(), 4u);
}

TEST(PhraseMine, RankMergeCut) {
  const std::string s = std::string("abcdefghX") + "abcdefghA" + "a" + std::string("a\0", 2) + "z";
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  auto cand = [&](std::uint64_t gain, std::size_t at, std::uint32_t len) {
    std::uint64_t prefix = 0;
    for (std::uint32_t i = 0; i < len && i < 8; ++i) prefix |= std::uint64_t{b[at + i]} << (56 - 8 * i);
    return phrase::Candidate{gain, prefix, b + at, len};
  };
  // Gain first; then prefix ("a" and "a\0" tie there, the proper prefix
  // first); then bytes beyond the eighth.
  std::vector<phrase::Candidate> cs{cand(5, 0, 9), cand(5, 9, 9), cand(5, 18, 1), cand(5, 19, 2), cand(9, 21, 1),
                                    cand(5, 0, 8)};
  std::sort(cs.begin(), cs.end(), phrase::rank);
  std::vector<std::string> order;
  for (const auto& c : cs) order.push_back(str(c.bytes, c.len));
  EXPECT_EQ(order, (std::vector<std::string>{"z", "a", std::string("a\0", 2), "abcdefgh", "abcdefghA", "abcdefghX"}));

  // Merging: savings add up; the bytes of a key come from the largest map,
  // the first of equal ones.
  const std::string one = "abc", two = "abc", other = "xyz";
  auto key = [](const std::string& t) { return phrase::run_key(view(t).data(), t.size()); };
  for (const bool second_larger : {true, false}) {
    CandidateMap a, c;
    a.add(key(one), 5, view(one).data(), 3);
    c.add(key(two), 3, view(two).data(), 3);
    if (second_larger) c.add(key(other), 7, view(other).data(), 3);
    CandidateMap* maps[] = {&a, &c};
    std::vector<phrase::Candidate> got = phrase::merge(maps, 10);
    std::sort(got.begin(), got.end(), phrase::rank);
    ASSERT_EQ(got.size(), second_larger ? 2u : 1u);
    EXPECT_EQ(got[0].gain, 8u);
    EXPECT_EQ(got[0].bytes, second_larger ? view(two).data() : view(one).data());
  }
  // The limit keeps the best by rank.
  CandidateMap a;
  for (const std::string* t : {&one, &other}) a.add(key(*t), t == &one ? 1 : 2, view(*t).data(), 3);
  CandidateMap* maps[] = {&a};
  const auto best = phrase::merge(maps, 1);
  ASSERT_EQ(best.size(), 1u);
  EXPECT_EQ(str(best[0].bytes, best[0].len), "xyz");
  std::vector<phrase::Candidate> few{cand(1, 0, 1)};
  phrase::cut(few, 5);
  EXPECT_EQ(few.size(), 1u);
}

TEST(PhraseMine, KeepRule) {
  // A 10-byte candidate needs gain x scale above 6 * 10 + 18 = 78.
  EXPECT_FALSE(phrase::keeps(10, 78, 1));
  EXPECT_TRUE(phrase::keeps(10, 79, 1));
  EXPECT_TRUE(phrase::keeps(10, 40, 2));
  EXPECT_FALSE(phrase::keeps(10, 0, UINT64_MAX));
  EXPECT_TRUE(phrase::keeps(32, UINT64_MAX, UINT64_MAX));  // no overflow
}

// The held-out test. The table codes letters and digits one byte each; the
// phrases "abcdef" and "vwxyz" save 4 and 3 bytes. The training half (even
// positions) is the phrase itself, so the split (127, 0) is chosen and the
// table kept (the gaps are empty); the test half is 100 plain bytes.
TEST(PhraseMine, Worth) {
  const Table t = bytes_table('0', 'z' + 1);
  const std::vector<std::string> phrases{"abcdef", "vwxyz"};
  auto passes = [&](const std::vector<std::vector<std::string>>& lists) {
    std::vector<ShardPair> pairs;
    for (const auto& l : lists) pairs.push_back(pair_of(l, t));
    return phrase::worth(pairs, phrases);
  };
  const std::vector<std::string> p96{"abcdef", "abcdef" + std::string(94, 'g')};  // 96 against 100
  const std::vector<std::string> p97{"abcdef", "vwxyz" + std::string(95, 'g')};   // 97 against 100
  EXPECT_TRUE(passes({p96}));
  EXPECT_FALSE(passes({p97}));
  EXPECT_FALSE(passes({{"abcdef"}}));  // an empty test half
  EXPECT_FALSE(passes({}));
  // Of four pairs the ones at 0 and 2 are checked (every ceil(4 / 3)-th).
  EXPECT_FALSE(passes({p97, p96, p97, p96}));
  EXPECT_TRUE(passes({p97, p97, p96, p97}));
  // Held-out strings: every ceil(4,100 / 2,048) = 3rd: positions 0, 3, 6, ...
  // train on 0, 6, ... and test on 3, 9, ...
  std::vector<std::string> spaced(4'100, std::string(100, 'g'));
  for (std::size_t i = 0; i < spaced.size(); i += 6) spaced[i] = "abcdef";
  EXPECT_FALSE(passes({spaced}));
  for (std::size_t i = 3; i < spaced.size(); i += 6) spaced[i] = "abcdef" + std::string(94, 'g');
  EXPECT_TRUE(passes({spaced}));
}

TEST(PhraseMine, PackedOnly) {
  const std::vector<std::string> binary{"0110101001", "111000"};           // 2 bytes a byte, 1 bit packed
  std::string all(200, ' ');
  for (int b = 0; b < 200; ++b) all[b] = static_cast<char>(b);
  const std::vector<std::string> equal{all};                               // 200 bytes either way
  const std::vector<std::string> symbols{"abcdefgh", "abcdefgh"};          // 1 byte against 3
  const Table empty, by_byte = bytes_table(0, 200), abc = table_of({"abcdefgh"});
  auto check = [](const std::vector<std::vector<std::string>>& lists, const std::vector<Table>& tables) {
    ShardSamples s{lists};
    return phrase::packed_only(s.pieces(), tables);
  };
  EXPECT_TRUE(check({binary, binary, binary}, {empty, empty, empty}));
  EXPECT_FALSE(check({binary, binary, equal}, {empty, empty, by_byte}));
  EXPECT_FALSE(check({symbols, binary, binary}, {abc, empty, empty}));
  // Four shards: 0 and 2 are checked; an empty one is skipped, not replaced.
  EXPECT_TRUE(check({binary, symbols, binary, symbols}, {empty, abc, empty, abc}));
  EXPECT_TRUE(check({{}, symbols, binary, symbols}, {empty, abc, empty, abc}));
  EXPECT_FALSE(check({{}, binary, {}, binary}, {empty, empty, empty, empty}));
  EXPECT_FALSE(check({}, {}));
}

TEST(PhraseMine, NothingToMine) {
  const std::vector<Table> tables(2);
  phrase::MineStats st;
  // No shard with samples (the thinning step would be 0 without its floor),
  // no list at all, no table for the samples.
  EXPECT_TRUE(phrase::mine(ShardSamples{{{}, {}}}.pieces(), tables, 1'000'000, 4'096, 4, &st).empty());
  EXPECT_EQ(st.rounds, 0u);
  EXPECT_FALSE(phrase::packed_only(ShardSamples{{{}, {}}}.pieces(), tables));
  EXPECT_TRUE(phrase::mine({}, tables, 1'000'000, 4'096, 4).empty());
  EXPECT_TRUE(phrase::mine(ShardSamples{{{"abcabc"}}}.pieces(), {}, 1'000'000, 4'096, 4).empty());
}

// "abcdefghij" under {abcd, efg, hij} is three symbols: one candidate, the
// whole string, saving 1 each time; as a phrase it saves 3 - 2 = 1 again.
TEST(PhraseMine, KeepRuleDecidesAtScaleOne) {
  const std::vector<Table> tables{table_of({"abcd", "efg", "hij"})};
  for (const std::size_t copies : {78, 79}) {
    const ShardSamples s{{std::vector<std::string>(copies, "abcdefghij")}};
    phrase::MineStats st;
    // n = Y: scale 1.
    const auto got = phrase::mine(s.pieces(), tables, copies, 4'096, 2, &st);
    EXPECT_FALSE(st.pilot);
    EXPECT_EQ(st.strings, copies);
    if (copies == 78) {
      EXPECT_TRUE(got.empty());
      EXPECT_EQ(st.rounds, 1u);
    } else {
      EXPECT_EQ(got, std::vector<std::string>{"abcdefghij"});
      EXPECT_EQ(st.rounds, 3u);
    }
  }
  // At scale 2, 78 is plenty.
  const ShardSamples s{{std::vector<std::string>(78, "abcdefghij")}};
  EXPECT_EQ(phrase::mine(s.pieces(), tables, 2 * 78, 4'096, 2), std::vector<std::string>{"abcdefghij"});
}

TEST(PhraseMine, PilotAboveBound) {
  const std::vector<Table> tables{table_of({"abcd", "efg", "hij"}), table_of({"abcd", "efg", "hij"})};
  for (const std::size_t m : {6'250, 6'251}) {
    // Split over two shards; n large enough for any scale.
    const ShardSamples s{{std::vector<std::string>(m / 2, "abcdefghij"), std::vector<std::string>(m - m / 2, "abcdefghij")}};
    phrase::MineStats st;
    EXPECT_EQ(phrase::mine(s.pieces(), tables, 100 * m, 4'096, 3, &st), std::vector<std::string>{"abcdefghij"});
    EXPECT_EQ(st.pilot, m > 6'250) << m;
    EXPECT_EQ(st.pilot_phrases, m > 6'250 ? 1u : 0u);
  }
  // A pilot whose candidates all fail the keep rule ends mining: 6,300
  // distinct escaped 3-byte strings save 4 each; 6 * 3 + 18 = 36 needs a
  // scale of 10, the pilot has n / R = 2.
  std::vector<std::string> distinct;
  for (int i = 0; i < 6'300; ++i) distinct.push_back({static_cast<char>(i >> 8), static_cast<char>(i), '#'});
  const ShardSamples s{{distinct}};
  phrase::MineStats st;
  const std::vector<Table> none(1);
  EXPECT_TRUE(phrase::mine(s.pieces(), none, 6'300, 4'096, 2, &st).empty());
  EXPECT_TRUE(st.pilot);
  EXPECT_EQ(st.pilot_phrases, 0u);
  EXPECT_EQ(st.rounds, 0u);
}

// Rounds 1 and 2 keep at most 32,768 phrases, round 3 the budget, each at
// most a quarter of the sampled strings. Shard 0 repeats one string (so the
// held-out test passes); ten more shards hold 131,000 distinct escaped
// 3-byte strings, each a candidate saving 4.
TEST(PhraseMine, RoundLimits) {
  ShardSamples s;
  s.strings.emplace_back(2'000, "xyz");
  for (int shard = 0; shard < 10; ++shard) {
    s.strings.emplace_back();
    for (int i = 0; i < 13'100; ++i) {
      const int v = shard * 13'100 + i;
      s.strings.back().push_back({static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)});
    }
  }
  const std::size_t y = s.total();  // 133,000: a quarter is 33,250
  const std::vector<Table> tables(s.strings.size());
  const auto pieces = s.pieces();
  phrase::MineStats st;
  const auto got = phrase::mine(pieces, tables, 100 * y, 40'000, 4, &st);
  EXPECT_TRUE(st.pilot);
  EXPECT_EQ(st.rounds, 3u);
  EXPECT_EQ(st.kept[0], 32'768u);
  EXPECT_EQ(st.kept[1], 32'768u);
  EXPECT_EQ(st.kept[2], y / 4);
  ASSERT_EQ(got.size(), y / 4);
  EXPECT_EQ(got[0], "xyz");
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), got.size());
  // A small budget bounds round 3 alone.
  EXPECT_EQ(phrase::mine(pieces, tables, 100 * y, 100, 4, &st).size(), 100u);
  EXPECT_EQ(st.kept[1], 32'768u);
}

TEST(PhraseMine, UrlsGetPhrasesThatPay) {
  const auto all = testing::urls(12'000, 4);
  ShardSamples s;
  for (std::size_t i = 0; i < all.size(); i += 3'000) s.strings.emplace_back(all.begin() + i, all.begin() + i + 3'000);
  const auto pieces = s.pieces();
  std::vector<Table> tables;
  for (const auto& p : pieces) tables.push_back(Table::train_to(p, 255));
  EXPECT_FALSE(phrase::packed_only(pieces, tables));
  phrase::MineStats st;
  const auto got = phrase::mine(pieces, tables, 200'000, 4'096, 4, &st);
  ASSERT_FALSE(got.empty());
  EXPECT_LE(got.size(), st.strings / 4);
  for (const auto& p : got) {
    EXPECT_GE(p.size(), 1u);
    EXPECT_LE(p.size(), 32u);
  }
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), got.size());
  std::vector<ShardPair> pairs;
  for (std::size_t i = 0; i < pieces.size(); ++i) pairs.push_back(ShardPair{pieces[i], &tables[i]});
  EXPECT_TRUE(phrase::worth(pairs, got));
}

}  // namespace
}  // namespace quorvale
