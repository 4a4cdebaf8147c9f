// Phrases in whole dictionaries: what a build mines, which shards take the
// tiered codec, and that every key reads back through it.
#include <gtest/gtest.h>

#include "dict_index/layout.hpp"
#include "dict_build_util.hpp"
#include "dict_index/format.hpp"

using namespace quorvale;
using namespace buildfix;
using dict_index::Key;

namespace {

std::vector<std::string> url_keys(std::size_t n) { return web_urls(n, 7); }

// The first n of a corpus (sorted, distinct, at least n keys).
std::vector<std::string> first(std::vector<std::string> keys, std::size_t n) {
  EXPECT_GE(keys.size(), n);
  keys.resize(std::min(keys.size(), n));
  return keys;
}

std::size_t tiered_records(const dict_index::Layout& d) {
  std::size_t n = 0;
  for (const dict_index::Codec& c : d.codecs) {
    std::vector<unsigned char> rec;
    c.write_to(rec);
    n += rec.at(0) == 2;
  }
  return n;
}

std::uint32_t phrases_len(const Blob& b) { return dict_index::Header::parse(b.data()).phrases_len; }

TEST(DictPhrases, UrlAndPathCorporaCarryPhrasesAndTieredShards) {
  struct Case {
    const char* name;
    std::vector<std::string> keys;
    std::vector<std::uint64_t> blocks;
  };
  const std::vector<Case> cases = {{"urls", url_keys(40'000), {16, 256}},
                                   {"paths", package_paths(60'000, 5), {256}}};
  for (const Case& c : cases) {
    ASSERT_GE(c.keys.size(), 16'384u) << c.name;
    for (std::uint64_t block : c.blocks) {
      SCOPED_TRACE(std::string(c.name) + " at block " + std::to_string(block));
      const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(c.keys), block);
      EXPECT_GT(d.phrases.count(), 0u);
      const Blob b = blob_of(d);
      EXPECT_GT(phrases_len(b), 4u);
      const dict_index::Layout r = reload(b);
      EXPECT_GE(tiered_records(r), 1u);
      EXPECT_EQ(r.phrases.count(), d.phrases.count());
      check_round_trip(d, c.keys);
      for (std::uint64_t i = 0; i < c.keys.size(); ++i) {
        const auto k = r.key(i);
        ASSERT_TRUE(k.has_value()) << i;
        ASSERT_EQ(*k, c.keys[i]) << i;
      }
    }
  }
}

TEST(DictPhrases, SmallBuildsAndBlockOneStoreNoPhrases) {
  const auto keys = url_keys(20'000);
  // 16,383 keys never mine; one more key does.
  const auto below = first(keys, 16'383), at = first(keys, 16'384);
  const dict_index::Layout none = dict_index::Layout::build_with_block(std::span<const std::string>(below), 256);
  EXPECT_EQ(none.phrases.count(), 0u);
  EXPECT_EQ(tiered_records(none), 0u);
  EXPECT_EQ(phrases_len(blob_of(none)), 4u);
  const dict_index::Layout some = dict_index::Layout::build_with_block(std::span<const std::string>(at), 256);
  EXPECT_GT(some.phrases.count(), 0u);
  EXPECT_GT(phrases_len(blob_of(some)), 4u);
  // Block 1: every key a head, nothing sampled, nothing mined.
  const dict_index::Layout heads = dict_index::Layout::build_with_block(std::span<const std::string>(keys), 1);
  EXPECT_EQ(heads.phrases.count(), 0u);
  EXPECT_EQ(phrases_len(blob_of(heads)), 4u);
  check_round_trip(heads, keys);
}

// Samples where every 3-byte word of a vocabulary pays as a phrase, under a
// table of every byte but 255 as a one-byte symbol (so the packed alphabet
// does not win): more phrases than a small index's budget.
struct ManyWords {
  std::vector<std::string> strings;
  dict_index::Pieces pieces;
  std::vector<fsst::Table> tables;

  ManyWords() {
    std::mt19937_64 rng(5);
    std::vector<std::string> vocab(5'000);
    for (auto& w : vocab)
      for (int i = 0; i < 3; ++i) w += static_cast<char>(rng() % 255);
    // Enough strings that a quarter of them exceeds the budget, each long
    // enough that the pilot's sample sees every word about 20 times.
    strings.resize(16'400);
    for (auto& s : strings)
      for (int i = 0; i < 16; ++i) s += vocab[rng() % vocab.size()];
    pieces.emplace_back();
    for (const auto& s : strings) pieces[0].emplace_back(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    fsst::Table t;
    for (std::uint64_t b = 0; b < 255; ++b) {
      t.symbols.push_back(b);
      t.lengths.push_back(1);
    }
    tables.push_back(t);
  }
};

std::vector<unsigned char> section(const phrase::Dict& d) {
  std::vector<unsigned char> out;
  d.write_to(out);
  return out;
}

TEST(DictPhrases, MiningBoundsAndRefusals) {
  // The phrases are the miner's list under the budget of n keys, as a
  // dictionary and a trie in list order.
  const ManyWords words;
  ASSERT_FALSE(phrase::packed_only(words.pieces, words.tables));
  const auto list = phrase::mine(words.pieces, words.tables, 16'384, 4'096, 3);
  EXPECT_EQ(list.size(), 4'096u);
  const dict_index::Phrases got = dict_index::mine_phrases(words.pieces, words.tables, 16'384, 3);
  EXPECT_EQ(got.trie, phrase::Trie::of(list));
  EXPECT_EQ(section(got.dict), section(phrase::Dict::of(list)));
  // n = 40,000 allows 5,000.
  const auto more = dict_index::mine_phrases(words.pieces, words.tables, 40'000, 3).dict.count();
  EXPECT_GT(more, 4'096u);
  EXPECT_LE(more, 5'000u);
  // Below 16,384 keys nothing is mined.
  const dict_index::Phrases none = dict_index::mine_phrases(words.pieces, words.tables, 16'383, 3);
  EXPECT_EQ(none.dict.count(), 0u);
  EXPECT_EQ(none.trie, phrase::Trie::empty());

  // Consecutive ids code cheaper packed: nothing is mined.
  const auto ids = decimal_ids(1'000'000, 30'000);
  const auto id_views = views_of(ids);
  const auto id_pieces = dict_index::build_pieces(id_views, 256, 16, false);
  const auto id_tables = dict_index::train_shards(id_pieces, 1);
  ASSERT_TRUE(phrase::packed_only(id_pieces, id_tables));
  EXPECT_EQ(dict_index::mine_phrases(id_pieces, id_tables, ids.size(), 4).dict.count(), 0u);
  const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(ids), 256);
  EXPECT_EQ(d.phrases.count(), 0u);
}

dict_index::Collected collect(std::span<const Key> keys, std::uint64_t block, const fsst::Encoder& enc) {
  dict_index::Collected c;
  for (std::size_t b = 0; b < keys.size(); b += block)
    dict_index::collect_block(c, keys.subspan(b, std::min<std::size_t>(block, keys.size() - b)),
                              dict_index::micro_for(block), enc);
  return c;
}

TEST(DictPhrases, TieredTrialOfAShard) {
  // One shard of about 40,000 entries: the split is settled on every fourth.
  const auto keys = url_keys(40'000);
  const auto views = views_of(keys);
  const auto pieces = dict_index::build_pieces(views, 256, 16, false);
  const auto tables = dict_index::train_shards(pieces, 1);
  const dict_index::Phrases phrases = dict_index::mine_phrases(pieces, tables, keys.size(), 2);
  ASSERT_GT(phrases.dict.count(), 0u);

  dict_index::Collected c = collect(views, 256, tables[0].encoder());
  const std::size_t n = c.entries();
  ASSERT_GE(n, 32'768u);
  std::vector<paircode::Pair> pairs;
  const auto symbols = c.price(dict_index::Codec{dict_index::Codec::Symbols{tables[0]}}, pairs).cost;
  const auto settled = c.settle(tables[0], phrases, pairs);
  const auto* tiered = std::get_if<dict_index::Codec::Tiered>(&settled.codec.v);
  ASSERT_NE(tiered, nullptr);

  // The split and table are those settled on entries 0, 4, 8, ...
  std::vector<fsst::Bytes> samples;
  auto suffix = [&](std::size_t i) {
    const std::uint64_t from = i == 0 ? 0 : c.raw_ends[i - 1];
    return fsst::Bytes(c.raw.data() + from, c.raw_ends[i] - from);
  };
  for (std::size_t i = 0; i < n; i += n >> 13) samples.push_back(suffix(i));
  EXPECT_EQ(n >> 13, 4u);
  phrase::Scratch scratch;
  const phrase::Settled want =
      phrase::settle(samples, tables[0], phrases.trie.cells(), phrases.dict.count(), scratch);
  ASSERT_TRUE(want.split.has_value());
  EXPECT_EQ(tiered->split.g, want.split->g);
  EXPECT_EQ(tiered->split.h, want.split->h);
  EXPECT_EQ(tiered->table, want.table);

  // Every entry's tiered codes read back as its suffix, and the writer gets
  // the tiered pairs. The shard saves more than 3 % over its symbols.
  ASSERT_EQ(c.tiered_ends.size(), n);
  std::vector<paircode::Pair> want_pairs;
  c.pairs(settled.codec, want_pairs);
  EXPECT_EQ(pairs, want_pairs);
  EXPECT_TRUE(dict_index::tiered_pays(c.price(settled.codec, want_pairs).cost, symbols));
  std::vector<unsigned char> out;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t from = i == 0 ? 0 : c.tiered_ends[i - 1];
    const dict_index::Codec::Source src{dict_index::ByteSpan(c.tiered).subspan(from, c.tiered_ends[i] - from), 0,
                                        c.tiered_ends[i] - from};
    out.clear();
    ASSERT_TRUE(settled.codec.decode_into(phrases.dict, src, out, UINT64_MAX)) << i;
    const fsst::Bytes s = suffix(i);
    ASSERT_TRUE(std::equal(out.begin(), out.end(), s.begin(), s.end())) << i;
  }

  // Phrases of URLs do not help a shard of ids: it stays packed, with its
  // pairs left for the writer.
  const auto ids = decimal_ids(1'000'000, 5'000);
  const auto id_views = views_of(ids);
  dict_index::Collected d = collect(id_views, 256, tables[0].encoder());
  const auto ids_settled = d.settle(tables[0], phrases, pairs);
  EXPECT_TRUE(std::holds_alternative<dict_index::Codec::Packed>(ids_settled.codec.v));
  d.pairs(ids_settled.codec, want_pairs);
  EXPECT_EQ(pairs, want_pairs);
}

TEST(DictPhrases, TheTieredCodecMustSaveMoreThanThreePercent) {
  EXPECT_FALSE(dict_index::tiered_pays(97, 100));
  EXPECT_TRUE(dict_index::tiered_pays(96, 100));
  EXPECT_FALSE(dict_index::tiered_pays(0, 0));
  EXPECT_TRUE(dict_index::tiered_pays(0, 1));
  // Products past 2^64.
  EXPECT_FALSE(dict_index::tiered_pays(970'000'000'000'000'000, 1'000'000'000'000'000'000));
  EXPECT_TRUE(dict_index::tiered_pays(969'999'999'999'999'999, 1'000'000'000'000'000'000));
}

TEST(DictPhrases, TheIndexKeepsThePhrasesOnlyWhenAShardIsTiered) {
  const std::vector<std::string> list = {"alpha", "beta/", "gamma.html"};
  const dict_index::Phrases mined{phrase::Dict::of(list), phrase::Trie::of(list)};
  const dict_index::Codec symbols{dict_index::Codec::Symbols{}};
  const dict_index::Codec tiered{dict_index::Codec::Tiered{fsst::Table{}, phrase::Split{254, 0}}};
  EXPECT_EQ(dict_index::kept_phrases(std::vector<dict_index::Codec>{symbols, symbols}, mined).count(), 0u);
  EXPECT_EQ(section(dict_index::kept_phrases(std::vector<dict_index::Codec>{symbols, tiered}, mined)),
            section(mined.dict));
  EXPECT_EQ(section(dict_index::kept_phrases(std::vector<dict_index::Codec>{tiered}, dict_index::Phrases::none())),
            (std::vector<unsigned char>{0, 0, 0, 0}));
}

}  // namespace
