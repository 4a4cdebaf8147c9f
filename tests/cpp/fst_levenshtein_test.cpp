// The Levenshtein automaton against a brute-force character edit distance.
#include <gtest/gtest.h>

#include "fst/levenshtein.hpp"
#include "fst/stream.hpp"
#include "fst_test_util.hpp"

using namespace fsttest;

namespace {

TEST(FstLevenshtein, MatchesBruteForceOverMixedWidthCharacters) {
  auto keys = random_keys(3000, 11, true);
  // Keys that are not UTF-8 but sit close to queries.
  for (const char* bad : {"a\xc3", "\xc3", "ab\xed\xa0\x80", "\xe0\x80\x80", "\xc0\x81", "ab\xff", "\xf4\x90\x80\x80"})
    keys.push_back(bad);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  fst::Fst f = open_copy(build(keys, ranks(keys.size())));

  std::mt19937_64 rng(99);
  std::vector<std::string> queries{"", "a", "ab", "é", "東京", "😀a", "aé東😀", "ｚｚ"};
  for (int i = 0; i < 12; ++i) {
    std::string q;
    const std::size_t len = rng() % 6;
    for (std::size_t k = 0; k < len; ++k) push_char(q, rng, false);
    queries.push_back(q);
  }
  std::vector<std::uint32_t> qc, kc;
  for (const std::string& q : queries) {
    ASSERT_TRUE(utf8_chars(q, qc));
    for (std::uint32_t d : {0u, 1u, 2u}) {
      const fst::Levenshtein lev(q, d);
      std::vector<std::string> want;
      for (const std::string& k : keys)
        if (utf8_chars(k, kc) && distance(qc, kc) <= d) want.push_back(k);
      fst::Stream<fst::Levenshtein> s(f, {}, lev);
      std::vector<std::string> got;
      while (auto it = s.next()) got.emplace_back(it->key.begin(), it->key.end());
      ASSERT_EQ(got, want) << "query [" << q << "] distance " << d;
      // Direct runs over every key agree too (no pruning involved).
      for (const std::string& k : keys) {
        auto st = lev.start();
        for (unsigned char b : k) st = lev.accept(st, b);
        const bool want_match = utf8_chars(k, kc) && distance(qc, kc) <= d;
        ASSERT_EQ(lev.is_match(st), want_match) << q << " / " << k << " " << d;
      }
    }
  }
}

TEST(FstLevenshtein, SizeLimit) {
  const std::string q64 = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ!?";
  ASSERT_EQ(q64.size(), 64u);
  std::string distinct;  // 2000 different three-byte characters
  for (unsigned c = 0x4E00; c < 0x4E00 + 2000; ++c) {
    distinct += static_cast<char>(0xE0 | c >> 12);
    distinct += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    distinct += static_cast<char>(0x80 | (c & 0x3F));
  }
  struct Case {
    std::string query;
    std::uint32_t d;
  } cases[] = {{q64, 4},
               {"a", 0xFFFFFFFFu},
               {std::string(20000, 'x'), 0},
               {std::string(3000, 'x') + "東", 3},
               {distinct, 0xFFFFFFFFu}};
  for (const Case& c : cases) {
    try {
      fst::Levenshtein lev(c.query, c.d);
      ADD_FAILURE() << c.query.size() << " " << c.d << ": " << lev.state_count() << " states";
    } catch (const fst::AutomatonError& e) {
      EXPECT_STREQ(e.what(), "Levenshtein automaton exceeds size limit of 10000 states");
    }
  }
  // Ordinary queries stay far below the limit.
  EXPECT_LT(fst::Levenshtein("levenshtein", 2).state_count(), 2000u);
  EXPECT_THROW(fst::Levenshtein("\xff", 1), fst::AutomatonError);
}

TEST(FstLevenshtein, DistanceZeroIsExactMatch) {
  const std::vector<std::string> keys{"ab", "abc", "b", "東京"};
  fst::Fst f = open_copy(build(keys, ranks(keys.size())));
  for (const std::string& q : {std::string("abc"), std::string("東京"), std::string("zz")}) {
    fst::Stream<fst::Levenshtein> s(f, {}, fst::Levenshtein(q, 0));
    std::vector<std::string> got;
    while (auto it = s.next()) got.emplace_back(it->key.begin(), it->key.end());
    std::vector<std::string> want;
    if (q != "zz") want.push_back(q);
    EXPECT_EQ(got, want);
  }
}

}  // namespace
