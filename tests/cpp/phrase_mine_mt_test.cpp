// Phrase mining on worker threads: the phrases do not depend on how many.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "phrase_build.hpp"
#include "phrase_fixtures.hpp"

namespace quorvale {
namespace {

TEST(PhraseMineThreads, SamePhrasesAtEveryThreadCount) {
  // 17 shards: 16 pools of 1 or 2 pairs, so 1 to 16 partitions and workers
  // taking one or several pools.
  const auto all = testing::urls(17 * 500, 8);
  testing::ShardSamples s;
  for (std::size_t i = 0; i < all.size(); i += 500) s.strings.emplace_back(all.begin() + i, all.begin() + i + 500);
  const auto pieces = s.pieces();
  std::vector<fsst::Table> tables;
  for (const auto& p : pieces) tables.push_back(fsst::Table::train_to(p, 255));
  phrase::MineStats st;
  const auto one = phrase::mine(pieces, tables, 1'000'000, 4'096, 1, &st);
  ASSERT_FALSE(one.empty());
  EXPECT_TRUE(st.pilot);
  EXPECT_EQ(st.rounds, 3u);
  for (const std::size_t threads : {2, 3, 4, 7, 16, 21}) EXPECT_EQ(phrase::mine(pieces, tables, 1'000'000, 4'096, threads), one) << threads;
}

TEST(PhraseMineThreads, LargeShardsCountedInWaves) {
  // Two shards of 20,000 strings: two pools, each parsed and counted over
  // several waves of slices, with one wave parsed while the last is counted.
  const auto all = testing::urls(40'000, 5);
  testing::ShardSamples s;
  s.strings.emplace_back(all.begin(), all.begin() + 20'000);
  s.strings.emplace_back(all.begin() + 20'000, all.end());
  const auto pieces = s.pieces();
  std::vector<fsst::Table> tables;
  for (const auto& p : pieces) tables.push_back(fsst::Table::train_to(p, 255));
  const auto one = phrase::mine(pieces, tables, 1'000'000, 4'096, 1);
  ASSERT_FALSE(one.empty());
  for (const std::size_t threads : {2, 8}) EXPECT_EQ(phrase::mine(pieces, tables, 1'000'000, 4'096, threads), one) << threads;
}

}  // namespace
}  // namespace quorvale
