#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "dict_build_util.hpp"
#include "dict_fixtures.hpp"

using namespace quorvale;
using namespace buildfix;
using dict_index::Key;

namespace {

struct Corpus {
  const char* name;
  std::vector<std::string> keys;  // sorted, distinct
};

std::vector<Corpus> corpora() {
  return {
      {"sample keys", sorted_distinct(sample_keys())},
      {"paths", paths(3000, 1)},
      {"urls", urls(2500, 2)},
      {"decimal ids", decimal_ids(0, 3000)},
      {"cyrillic", cyrillic(2500, 3)},
      {"prefixes", prefixes()},
      {"empty", {}},
      {"one key", {"only"}},
  };
}

TEST(DictBuild, RoundTripsEveryCorpusAtEveryBlock) {
  for (const Corpus& c : corpora()) {
    for (std::uint64_t block : {1, 2, 32, 256, 257, 1024}) {
      SCOPED_TRACE(std::string(c.name) + " at block " + std::to_string(block));
      const DictIndex d = DictIndex::build_with_block(std::span<const std::string>(c.keys), block);
      EXPECT_EQ(d.block, block);
      EXPECT_EQ(d.micro, dict_index::micro_for(block));
      EXPECT_EQ(d.chars != nullptr, std::string(c.name) == "cyrillic");
      check_round_trip(d, c.keys);
    }
  }
}

TEST(DictBuild, KnownBlobsOfNoKeyAndOneKey) {
  const std::vector<std::string> none, a = {"a"};
  EXPECT_EQ(blob_of(DictIndex::build_with_block(std::span<const std::string>(none), 256)), dictfix::empty_index());
  EXPECT_EQ(blob_of(DictIndex::build_with_block(std::span<const std::string>(a), 256)), dictfix::key_a_index());
}

}  // namespace
