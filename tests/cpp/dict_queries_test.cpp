// The dictionary's face: the queries made of searches and decodes (the
// prefixes of a query that are keys, the keys of many ids) against answers
// worked out from the sorted keys, with and without a character code.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dict_fixtures.hpp"
#include "dict_search_util.hpp"
#include "dict_index/dict_index.hpp"
#include "dict_index/layout.hpp"

using namespace quorvale;
using dict_index::PrefixMatch;

namespace {

struct Built {
  std::vector<std::string> sorted;
  DictIndex index;
};

Built build(std::vector<std::string> keys, std::uint64_t block) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  DictIndex index = DictIndex::build_with_block(std::span<const std::string>(keys), block);
  return {std::move(keys), std::move(index)};
}

// Latin keys, and Cyrillic ones that the build spells in a character code.
std::vector<Built> corpora() {
  std::vector<Built> out;
  std::vector<std::string> latin = {"", "a", "ab", "abc", "abcd", "abd", "b", "ba", "caf\xc3\xa9", "caf"};
  for (const auto& k : dictfix::random_keys(600, 7, "abc", 7)) latin.push_back(k);
  out.push_back(build(latin, 32));
  std::vector<std::string> cyrillic = {"\xd1\x85", "\xd1\x85\xd0\xbb", "\xd1\x85\xd0\xbb\xd0\xb5\xd0\xb1"};
  for (const auto& k : dictfix::random_keys(600, 8, "abcdef", 6)) {
    std::string s;
    for (char c : k) s += dictsearch::utf8_of(0x430 + static_cast<std::uint32_t>(c - 'a'));
    cyrillic.push_back(s);
  }
  out.push_back(build(cyrillic, 16));
  return out;
}

}  // namespace

TEST(DictQueries, PrefixesOfAQueryThatAreKeys) {
  const std::vector<Built> built = corpora();
  ASSERT_EQ(dict_index::layout_of(built[0].index).chars, nullptr);
  ASSERT_NE(dict_index::layout_of(built[1].index).chars, nullptr);
  for (const Built& b : built) {
    std::vector<std::string> queries = {"", "abcde", "ab", "zzz", "caf\xc3\xa9s", "caf\xc3", "\xd1\x85\xd0\xbb\xd0\xb5\xd0\xb1\xd0\xb0",
                                        "\xd1\x85\xd0", "\xff\xfe"};
    for (std::size_t i = 0; i < b.sorted.size(); i += 37) queries.push_back(b.sorted[i] + "\xd0\xb0" + "x");
    for (const std::string& q : queries) {
      SCOPED_TRACE(q);
      const std::vector<PrefixMatch> want = dictsearch::brute_prefixes(b.sorted, q, dict_index::layout_of(b.index).chars != nullptr);
      EXPECT_EQ(b.index.common_prefix(q), want);
      const std::optional<PrefixMatch> longest = b.index.longest_prefix(q);
      if (want.empty()) {
        EXPECT_FALSE(longest);
      } else {
        EXPECT_EQ(longest, want.back());
      }
    }
  }
}

TEST(DictQueries, PrefixesAlongChainsOfKeys) {
  // Keys each a prefix of the next in long chains (so that one query has
  // many prefixes that are keys, spread over blocks and microblocks), with
  // side branches, with and without the empty key; Latin keys and Cyrillic
  // ones spelled in a character code; every block size from 1 to 1024,
  // before and after the route words.
  const std::string zh = "\xd0\xb6", shch = "\xd1\x89";  // two-byte letters
  std::vector<std::string> latin, cyrillic;
  for (std::size_t i = 1; i <= 120; ++i) {
    latin.push_back(std::string(i, 'a'));
    if (i % 7 == 0) latin.push_back(std::string(i, 'a') + "b");
    if (i % 11 == 0) latin.push_back(std::string(i, 'a') + "c" + std::string(i % 5, 'a'));
  }
  for (const auto& k : dictfix::random_keys(400, 9, "abc", 9)) latin.push_back(k);
  std::string chain;
  for (std::size_t i = 1; i <= 60; ++i) {
    chain += zh;
    cyrillic.push_back(chain);
    if (i % 5 == 0) cyrillic.push_back(chain + shch);
  }
  for (const auto& k : dictfix::random_keys(600, 8, "abcdef", 6)) {
    std::string s;
    for (char c : k) s += dictsearch::utf8_of(0x430 + static_cast<std::uint32_t>(c - 'a'));
    cyrillic.push_back(s);
  }
  for (const bool coded : {false, true}) {
    for (const bool with_empty : {false, true}) {
      std::vector<std::string> keys = coded ? cyrillic : latin;
      if (with_empty) keys.push_back("");
      keys = dictfix::sorted_unique(keys);
      std::string longest_key;
      for (const auto& k : keys) longest_key = std::max(longest_key, k, [](auto& a, auto& b) { return a.size() < b.size(); });
      std::vector<std::string> queries = {"", "\x80", "\xff", longest_key + longest_key, "a\xc3", zh + "\xd0",
                                          zh + zh + "\xd1", zh + "\xb6", "\xc3\xa9"};
      for (std::size_t i = 0; i < keys.size(); i += 3) {
        queries.push_back(keys[i] + "z");                  // past a key by a character no key has there
        queries.push_back(keys[i] + "\xd0");               // a character cut short
        queries.push_back(keys[i] + zh + zh + zh + "a");  // on along a chain and off it
      }
      for (const std::uint64_t block : {1u, 32u, 256u, 1024u}) {
        const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(keys), block);
        ASSERT_EQ(d.chars != nullptr, coded);
        for (const char* when : {"unrouted", "routed"}) {
          if (std::string(when) == "routed") d.route_microblocks();
          for (const std::string& q : queries) {
            const std::vector<PrefixMatch> want = dictsearch::brute_prefixes(keys, q, coded);
            const dictsearch::Exact e(q);  // a read past the query's end shows under AddressSanitizer
            const std::string_view view(reinterpret_cast<const char*>(e.span().data()), q.size());
            ASSERT_EQ(d.prefixes(view, false), want)
                << when << ", block " << block << ", empty key " << with_empty << ": '" << q << "'";
            const std::vector<PrefixMatch> longest = d.prefixes(view, true);
            ASSERT_EQ(longest, want.empty() ? want : std::vector<PrefixMatch>{want.back()})
                << when << ", block " << block << ", empty key " << with_empty << ": '" << q << "'";
          }
        }
      }
    }
  }
}

TEST(DictQueries, ShortPrefixesKeptAcrossQueries) {
  // The answers for prefixes of one to three bytes are kept from the first
  // query that searches them: later queries, in any order, must get what a
  // fresh search gives. Many distinct prefixes of two and three bytes, so
  // that some share a word of the table; keys of one and two bytes among
  // longer ones, with and without the empty key; every query asked twice,
  // in opposite orders.
  std::string alphabet;
  for (char c = '!'; c <= '~'; ++c) alphabet += c;
  std::vector<std::string> base;
  for (const auto& k : dictfix::random_keys(12000, 37, alphabet, 5)) base.push_back(k);
  for (std::size_t i = 0; i < alphabet.size(); i += 3) base.push_back(alphabet.substr(i, 1));
  for (std::size_t i = 0; i + 1 < alphabet.size(); i += 5) base.push_back(alphabet.substr(i, 2));
  for (const bool with_empty : {false, true}) {
    std::vector<std::string> keys = base;
    if (with_empty) keys.push_back("");
    keys = dictfix::sorted_unique(keys);
    std::vector<std::string> queries;
    for (std::size_t i = 0; i < alphabet.size(); ++i)
      for (std::size_t j = 0; j < alphabet.size(); j += 2)
        for (const char c : {'q', alphabet[(i * 7 + j) % alphabet.size()]}) queries.push_back(std::string{alphabet[i], alphabet[j], c, '~'});
    for (std::size_t i = 0; i < keys.size(); i += 5) queries.push_back(keys[i] + "~~");
    for (const std::uint64_t block : {32u, 256u}) {
      const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(keys), block);
      for (const bool reversed : {false, true}) {
        for (std::size_t k = 0; k < queries.size(); ++k) {
          const std::string& q = queries[reversed ? queries.size() - 1 - k : k];
          const std::vector<PrefixMatch> want = dictsearch::brute_prefixes(keys, q, false);
          ASSERT_EQ(d.prefixes(q, false), want) << "block " << block << ", empty key " << with_empty << ": '" << q << "'";
          ASSERT_EQ(d.prefixes(q, true), want.empty() ? want : std::vector<PrefixMatch>{want.back()}) << q;
        }
      }
    }
  }
}

TEST(DictQueries, KeysOfIdsInAnyOrder) {
  for (const Built& b : corpora()) {
    const std::uint64_t n = b.sorted.size();
    ASSERT_EQ(b.index.len(), n);
    std::vector<std::vector<std::uint64_t>> lists = {
        {},
        {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17},  // steps inside microblocks and across them
        {5, 5, 5, 4, 3, 3},                                               // repeats and descents
        {n - 1, n, n + 1, UINT64_MAX, 0},                                 // past the end: nothing
        {1, 3, 200, 201, 203, 7, 8},                                      // jumps between microblocks
    };
    std::vector<std::uint64_t> all;
    for (std::uint64_t i = 0; i < n; ++i) all.push_back(i);
    lists.push_back(all);
    for (const auto& ids : lists) {
      const std::vector<std::optional<std::string>> got = b.index.keys_of(ids);
      ASSERT_EQ(got.size(), ids.size());
      for (std::size_t k = 0; k < ids.size(); ++k) {
        if (ids[k] < n) {
          EXPECT_EQ(got[k], b.sorted[ids[k]]) << ids[k];
        } else {
          EXPECT_FALSE(got[k]) << ids[k];
        }
      }
    }
  }
}

TEST(DictQueries, FaceAnswersAsTheKeys) {
  Built b = build({"apple", "apricot", "banana", "cherry", "date"}, 2);
  const DictIndex moved = std::move(b.index);  // the layout goes with it
  EXPECT_EQ(moved.len(), 5u);
  EXPECT_EQ(moved.block(), 2u);
  EXPECT_EQ(moved.id("banana"), 2u);
  EXPECT_FALSE(moved.id("bananas"));
  EXPECT_EQ(moved.key(4), "date");
  EXPECT_FALSE(moved.key(5));
  EXPECT_EQ(moved.locate_query("b"), (dict_index::Search{2, false}));
  EXPECT_EQ(moved.prefix_id_range("ap"), (std::pair<std::uint64_t, std::uint64_t>{0, 2}));
  std::string key;
  std::uint64_t id;
  std::vector<std::string> walked;
  for (auto it = moved.range_iter("apricot", "cherry"); it.next(key, id);) walked.push_back(key);
  EXPECT_EQ(walked, (std::vector<std::string>{"apricot", "banana"}));
  auto it = moved.iter_from(3);
  ASSERT_TRUE(it.next(key, id));
  EXPECT_EQ(key, "cherry");
  EXPECT_EQ(id, 3u);
  const std::vector<unsigned char> bytes = moved.to_bytes();
  EXPECT_EQ(bytes.size(), moved.serialized_len());
  EXPECT_EQ(DictIndex::from_bytes(bytes).keys_of(std::vector<std::uint64_t>{0, 1, 2, 3, 4}),
            (std::vector<std::optional<std::string>>{"apple", "apricot", "banana", "cherry", "date"}));
}
