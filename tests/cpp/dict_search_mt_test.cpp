// Threads searching one dictionary while others derive its route words:
// every search agrees with the keys whether it met the words or not, and
// every caller of route_microblocks gets the one table derived.
#include <gtest/gtest.h>

#include <atomic>
#include <random>

#include "dict_index/layout.hpp"
#include "dict_fixtures.hpp"
#include "dict_search_util.hpp"
#include "threads.hpp"

using namespace quorvale;

TEST(DictSearchMt, SearchesAgreeWhileRouteWordsAreDerived) {
  dictfix::Layout layout;
  layout.keys = dictfix::random_keys(4000, 41, "abcdefgh", 14);
  layout.block = 64;
  layout.micro = 8;
  layout.codecs = {dictfix::Symbols{{"ab", "cd", "efgh", "a"}}};
  const auto blob = dictfix::write(layout).blob;
  const auto& keys = layout.keys;
  const auto queries = dictsearch::queries_around(keys, false, 3);
  for (int round = 0; round < 3; ++round) {
    const dict_index::Layout d = dictsearch::load(blob);
    std::atomic<std::uint64_t> wrong{0};
    std::vector<const std::uint64_t*> tables(8, nullptr);
    run_workers(8, [&](std::size_t worker) {
      if (worker % 2 == 1) tables[worker] = d.route_microblocks().data();
      std::vector<std::string_view> batch;
      for (std::size_t i = worker; i < queries.size(); i += 3) {
        const auto want = dictsearch::brute(keys, queries[i]);
        if (d.locate_query(queries[i]) != want) wrong.fetch_add(1);
        batch.push_back(queries[i]);
      }
      const auto ids = d.ids_of(batch);
      for (std::size_t k = 0; k < batch.size(); ++k) {
        const auto want = dictsearch::brute(keys, std::string(batch[k]));
        if (ids[k] != (want.found ? std::optional<std::uint64_t>(want.rank) : std::nullopt)) wrong.fetch_add(1);
      }
      if (worker % 2 == 0) tables[worker] = d.route_microblocks().data();
    });
    EXPECT_EQ(wrong.load(), 0u);
    for (const auto* t : tables) EXPECT_EQ(t, tables[0]) << "one table for every caller";
  }
}

TEST(DictSearchMt, FreshIndexSearchedFromManyThreads) {
  // Threads whose first searches meet on a fresh index: the chunks of
  // samples a search reaches, all of them (a batch, a tie) and the tie
  // resolver are each derived once while other threads search, and every
  // answer is the keys'.
  std::vector<std::string> keys;
  std::mt19937_64 rng(43);
  for (const char* stem : {"one/long/shared/stem/", "two/long/shared/stem/"})
    for (int i = 0; i < 1500; ++i) keys.push_back(stem + std::to_string(rng() % 10000000));
  keys = dictfix::sorted_unique(keys);
  dictfix::Layout layout;
  layout.keys = keys;
  layout.block = 1;
  layout.micro = 1;
  const auto blob = dictfix::write(layout).blob;
  const auto queries = dictsearch::queries_around(keys, false, 2);
  for (int round = 0; round < 3; ++round) {
    const dict_index::Layout d = dictsearch::load(blob);
    std::atomic<std::uint64_t> wrong{0};
    run_workers(8, [&](std::size_t worker) {
      std::vector<std::string_view> batch;
      for (std::size_t i = worker; i < queries.size(); i += 8) batch.push_back(queries[i]);
      if (worker == static_cast<std::size_t>(round)) {
        const auto ids = d.ids_of(batch);
        for (std::size_t k = 0; k < batch.size(); ++k) {
          const auto want = dictsearch::brute(keys, std::string(batch[k]));
          if (ids[k] != (want.found ? std::optional<std::uint64_t>(want.rank) : std::nullopt)) wrong.fetch_add(1);
        }
      }
      for (const std::string_view q : batch)
        if (d.locate_query(q) != dictsearch::brute(keys, std::string(q))) wrong.fetch_add(1);
    });
    EXPECT_EQ(wrong.load(), 0u);
  }
}
