// Threads matching queries against one fresh dictionary: the answers for
// short prefixes are kept by whichever thread finds them first, the table
// that holds them made by one of many at once, and every thread's matches
// are the keys'.
#include <gtest/gtest.h>

#include <atomic>

#include "dict_index/layout.hpp"
#include "dict_fixtures.hpp"
#include "dict_search_util.hpp"
#include "threads.hpp"

using namespace quorvale;
using dict_index::PrefixMatch;

TEST(DictQueriesMt, MatchesAgreeWhileShortPrefixesAreKept) {
  std::vector<std::string> keys = dictfix::random_keys(3000, 47, "abcdefghij", 6);
  for (const char* k : {"", "a", "b", "ab", "bc", "abc"}) keys.push_back(k);
  keys = dictfix::sorted_unique(keys);
  std::vector<std::string> queries;
  for (char a = 'a'; a <= 'k'; ++a)
    for (char b = 'a'; b <= 'k'; ++b)
      for (char c = 'a'; c <= 'k'; c += 2) queries.push_back(std::string{a, b, c, 'j', 'a'});
  for (std::size_t i = 0; i < keys.size(); i += 7) queries.push_back(keys[i] + "ja");
  std::vector<std::vector<PrefixMatch>> want;
  for (const auto& q : queries) want.push_back(dictsearch::brute_prefixes(keys, q));
  for (int round = 0; round < 3; ++round) {
    const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(keys), 32);
    std::atomic<std::uint64_t> wrong{0};
    run_workers(8, [&](std::size_t worker) {
      // Each thread its own order, so that first searches meet.
      for (std::size_t k = 0; k < queries.size(); ++k) {
        const std::size_t i = (k * (2 * worker + 1) + worker * 13) % queries.size();
        if (d.prefixes(queries[i], false) != want[i]) wrong.fetch_add(1);
      }
    });
    EXPECT_EQ(wrong.load(), 0u);
  }
}
