// Model checks of the dictionary's searches: locate_query against the
// lower bound of the query in the sorted keys, before and after the route
// words, over corpora that reach every routing path (plain samples, ties
// with and without a tie resolver, the head prefix, character codes with and
// without raw routing, every block shape); the route words against the
// restarts; prefix id ranges and key ranges against filters; the batched
// lookups against single ones, over key lists and Arrow chunks; the prefixes
// of queries that are keys against the keys.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "dict_index/layout.hpp"
#include "arrow_chunk.hpp"
#include "dict_build_util.hpp"
#include "dict_fixtures.hpp"
#include "dict_search_util.hpp"
#include "utf8.hpp"

using namespace quorvale;
using dict_index::Search;
using dictsearch::brute;
using dictsearch::Exact;

namespace {

struct Corpus {
  std::string name;
  dictfix::Layout layout;  // keys: raw, ascending
  bool text = true;    // the keys are UTF-8 (queries then vary characters)
};

std::string describe(const Corpus& c) {
  return c.name + " (n=" + std::to_string(c.layout.keys.size()) + ", block " + std::to_string(c.layout.block) +
         ", micro " + std::to_string(c.layout.micro) + ")";
}

// The brute-force prefix range: the keys that start with p.
std::pair<std::uint64_t, std::uint64_t> brute_prefix(const std::vector<std::string>& keys, const std::string& p) {
  const auto lo = std::lower_bound(keys.begin(), keys.end(), p);
  auto hi = lo;
  while (hi != keys.end() && hi->compare(0, p.size(), p) == 0) ++hi;
  return {static_cast<std::uint64_t>(lo - keys.begin()), static_cast<std::uint64_t>(hi - keys.begin())};
}

// The route words a block's restarts give, from the index's stored keys.
std::vector<std::uint64_t> expected_words(const dict_index::Layout& d) {
  const std::uint64_t n = d.n, block = d.block, micro = d.micro, y = d.block_count(), J = d.J;
  std::vector<std::uint64_t> w;
  if (J == 1) return w;
  w.assign(y * J, UINT64_MAX);
  std::vector<unsigned char> a, b;
  auto stored = [&](std::uint64_t id, std::vector<unsigned char>& out) { EXPECT_TRUE(d.key_bytes_into(id, out)); };
  for (std::uint64_t blk = 0; blk < y; ++blk) {
    const std::uint64_t first = blk * block, k = std::min(block, n - first), m = (k + micro - 1) / micro;
    if (m < 2) continue;
    stored(first, a);
    std::uint64_t o = a.size();
    std::vector<std::vector<unsigned char>> restarts{a};
    for (std::uint64_t j = 1; j < m; ++j) {
      stored(first + j * micro, b);
      o = std::min<std::uint64_t>(o, dict_index::common_prefix(restarts.back(), b));
      restarts.push_back(b);
    }
    w[blk * J] = o;
    for (std::uint64_t j = 1; j < m; ++j) w[blk * J + j] = dict_index::word_at(restarts[j], o);
  }
  return w;
}

// Every search of one index against its keys (raw, ascending): locate_query
// (unrouted, then routed), the route words, ids_of, prefix_id_range and
// range_iter (over pairs of queries every range_stride-th; 0: none).
void check_searches(const std::string& name, const dict_index::Layout& d, const std::vector<std::string>& keys,
                    const std::vector<std::string>& queries, std::size_t range_stride = 97) {
  SCOPED_TRACE(name);
  const std::uint64_t n = keys.size();
  ASSERT_EQ(d.n, n);
  std::vector<Exact> exact;
  exact.reserve(queries.size());
  for (const std::string& q : queries) exact.emplace_back(q);
  std::vector<Search> want(queries.size());
  for (std::size_t i = 0; i < queries.size(); ++i) want[i] = brute(keys, queries[i]);
  auto check_all = [&](const char* when) {
    for (std::size_t i = 0; i < queries.size(); ++i) {
      const Search got = d.locate_query(exact[i].span());
      ASSERT_EQ(got, want[i]) << when << ": query '" << queries[i] << "' (" << queries[i].size()
                              << " bytes) got (" << got.rank << ", " << got.found << ")";
    }
  };
  // ids_of over the same queries (twice over: repeats), in groups of every
  // size around 32; and every batch shape over them all: chunks of one key
  // and more, in the batch's order or by block, each block searched key by
  // key, through its decoded restarts or decoded whole.
  std::vector<std::string_view> views(queries.begin(), queries.end());
  views.insert(views.end(), queries.begin(), queries.end());
  auto check_batches = [&](const char* when) {
    for (std::size_t len : {std::size_t{0}, std::size_t{1}, std::size_t{31}, std::size_t{32}, std::size_t{33},
                            std::size_t{65}, views.size()}) {
      const std::size_t m = std::min(len, views.size());
      const auto ids = d.ids_of(std::span<const std::string_view>(views).first(m));
      ASSERT_EQ(ids.size(), m);
      for (std::size_t i = 0; i < m; ++i) {
        const Search& w = want[i % queries.size()];
        ASSERT_EQ(ids[i], w.found ? std::optional<std::uint64_t>(w.rank) : std::nullopt)
            << when << " ids_of, query '" << views[i] << "'";
      }
    }
    // (At most about 2,000 queries, twice, under each shape.)
    const std::size_t stride = 1 + queries.size() / 2000;
    std::vector<std::size_t> picked;
    for (int twice = 0; twice < 2; ++twice)
      for (std::size_t i = 0; i < queries.size(); i += stride) picked.push_back(i);
    std::vector<std::string_view> some;
    for (std::size_t i : picked) some.push_back(queries[i]);
    for (const auto& [what, shape] : dictsearch::batch_shapes()) {
      std::vector<std::uint64_t> ids(some.size(), 7);
      dict_index::ids_into_shaped(d, some, ids.data(), shape);
      for (std::size_t i = 0; i < some.size(); ++i) {
        const Search& w = want[picked[i]];
        ASSERT_EQ(ids[i], w.found ? w.rank : dict_index::MISSING_ID)
            << when << " batch " << what << ", query '" << some[i] << "'";
      }
    }
  };
  // The prefixes of a spread of queries that are keys (queries of up to 300
  // bytes: the model searches every prefix).
  auto check_prefixes = [&](const char* when) {
    for (std::size_t i = 0; i < queries.size(); i += 1 + queries.size() / 1500) {
      if (queries[i].size() > 300) continue;
      const std::string_view q(reinterpret_cast<const char*>(exact[i].span().data()), queries[i].size());
      const auto want_all = dictsearch::brute_prefixes(keys, queries[i], d.chars != nullptr);
      ASSERT_EQ(d.prefixes(q, false), want_all) << when << ": prefixes of '" << queries[i] << "'";
      const auto longest = d.prefixes(q, true);
      ASSERT_EQ(longest, want_all.empty() ? want_all : std::vector<dict_index::PrefixMatch>{want_all.back()})
          << when << ": longest prefix of '" << queries[i] << "'";
    }
  };
  check_all("unrouted");
  check_batches("unrouted");
  check_prefixes("unrouted");
  // The route words: as the restarts give them, derived once.
  const auto words = d.route_microblocks();
  EXPECT_EQ(std::vector<std::uint64_t>(words.begin(), words.end()), expected_words(d));
  EXPECT_EQ(d.route_microblocks().data(), words.data());
  check_all("routed");
  check_batches("routed");
  check_prefixes("routed");
  // Prefix ranges over a spread of queries.
  for (std::size_t i = 0; i < queries.size(); i += 1 + queries.size() / 400) {
    const auto got = d.prefix_id_range(exact[i].span());
    ASSERT_EQ(got, brute_prefix(keys, queries[i])) << "prefix '" << queries[i] << "'";
  }
  EXPECT_EQ(d.prefix_id_range(std::string_view()), std::make_pair(std::uint64_t{0}, n));
  // Key ranges between pairs of queries (text keys only: iteration yields text).
  for (std::size_t i = 0; range_stride != 0 && i + 1 < queries.size(); i += range_stride) {
    const std::string& lo = queries[i];
    const std::string& hi = queries[(i * 7919 + 13) % queries.size()];
    auto it = d.range_iter(lo, hi);
    std::string text;
    std::uint64_t id;
    std::uint64_t expect = brute(keys, lo).rank;
    while (it.next(text, id)) {
      ASSERT_LT(id, n);
      ASSERT_EQ(id, expect);
      ASSERT_EQ(text, keys[id]);
      ASSERT_LT(text, hi);
      ++expect;
    }
    EXPECT_TRUE(expect >= n || keys[expect] >= hi) << lo << " .. " << hi;
    EXPECT_FALSE(it.next(text, id));
  }
}

// The same over a blob the test writer lays out.
void check_index(const Corpus& c, const std::vector<std::string>& queries, std::size_t range_stride = 97) {
  const dict_index::Layout d = dictsearch::load(dictfix::write(c.layout).blob);
  check_searches(describe(c), d, c.layout.keys, queries, range_stride);
}

dictfix::Layout layout_of(std::vector<std::string> keys, unsigned block, unsigned micro,
                      dictfix::Codec codec = dictfix::Symbols{{"a", "ab", "cd", "efg", "h", "abcdefgh"}}) {
  dictfix::Layout s;
  s.keys = std::move(keys);
  s.block = block;
  s.micro = micro;
  s.codecs = {codec};
  return s;
}

std::vector<std::string> read_words(const char* path) {
  std::ifstream in(path);
  std::vector<std::string> words;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) words.push_back(line);
  return dictfix::sorted_unique(words);
}

}  // namespace

// The 8 bytes from an offset, big-endian and zero padded, against the bytes
// placed one at a time: every length short of a word and past it, bytes with
// the high bit set, inside a larger buffer whose other bytes are not zero.
TEST(DictSearch, WordAtMatchesBytewiseModel) {
  std::vector<unsigned char> buf(40);
  for (std::size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<unsigned char>(0x81 + 37 * i);
  for (std::size_t start = 0; start < 4; ++start)
    for (std::size_t len = 0; len <= 20; ++len)
      for (std::uint64_t at = 0; at <= len + 1; ++at) {
        const dict_index::ByteSpan s(buf.data() + start, len);
        std::uint64_t model = 0;
        for (std::size_t i = 0; i < 8 && at + i < len; ++i) model |= std::uint64_t{s[at + i]} << (56 - 8 * i);
        EXPECT_EQ(dict_index::word_at(s, at), model) << "start " << start << " len " << len << " at " << at;
      }
}

TEST(DictSearch, EmptyIndex) {
  const dict_index::Layout d = dictsearch::load(dictfix::empty_index());
  for (const char* q : {"", "a", "\xff\xff"}) {
    EXPECT_EQ(d.locate_query(std::string_view(q)), (Search{0, false}));
    EXPECT_EQ(d.prefix_id_range(std::string_view(q)), std::make_pair(std::uint64_t{0}, std::uint64_t{0}));
  }
  EXPECT_TRUE(d.route_microblocks().empty());
  const std::vector<std::string_view> keys{"", "a"};
  EXPECT_EQ(d.ids_of(keys), (std::vector<std::optional<std::uint64_t>>{std::nullopt, std::nullopt}));
  std::string text;
  std::uint64_t id;
  EXPECT_FALSE(d.range_iter("", "z").next(text, id));
}

TEST(DictSearch, BlockShapesAndSizes) {
  // Every block size of the list, each at n = 1, block, block + 1 and a
  // larger n: J = 1 and J > 1, full, short and single-key last blocks.
  const auto pool = dictfix::random_keys(1500, 31, "abcdefgh", 14);
  for (unsigned block : {1u, 2u, 31u, 32u, 256u, 257u, 1024u}) {
    std::vector<unsigned> micros{block};
    for (unsigned m : {1u, 4u, 5u, 16u, 32u})
      if (m < block) micros.push_back(m);
    for (unsigned micro : micros) {
      for (std::size_t n : {std::size_t{1}, std::size_t{block}, std::size_t{block} + 1, std::size_t{1400}}) {
        if (n > pool.size()) continue;
        std::vector<std::string> keys;
        for (std::size_t i = 0; i < n; ++i) keys.push_back(pool[i * pool.size() / n]);
        keys = dictfix::sorted_unique(keys);
        const Corpus c{"random", layout_of(keys, block, micro), true};
        check_index(c, dictsearch::queries_around(keys, false, 1 + n / 500), 211);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(DictSearch, EveryCodecAndHeaderMode) {
  const auto keys = dictfix::random_keys(1500, 32, "abcdefgh", 16);
  const dictfix::Codec codecs[] = {dictfix::Symbols{{"ab", "cd", "efgh", "a", "h"}}, dictfix::Symbols{},
                                   dictfix::Packed{3, "abcdefg", "h"}, dictfix::Packed{3, "abcdefgh", ""},
                                   dictfix::Tiered{250, 1, {"a", "b", "c"}}};
  for (const auto& codec : codecs) {
    for (bool table : {false, true}) {
      dictfix::Layout s = layout_of(keys, 64, 8, codec);
      s.phrases = {"abcdefgh", "efgh", "habcdefgabcdefgh"};
      if (table) s.codes = {{dictfix::Table{3, {{0, 1}, {1, 1}, {2, 2}}}, dictfix::Table{2, {{0, 2}}}}};
      check_index({"codec", s, true}, dictsearch::queries_around(keys, false));
      if (HasFatalFailure()) return;
    }
  }
}

TEST(DictSearch, BatchesOnDamagedRunsAnswerAsSingleLookups) {
  // Runs damaged under an unverified load: a batch that decodes a block
  // takes it only where every entry is well formed, so whatever the damage
  // its answers stay those of single lookups, under every batch shape.
  const auto keys = dictfix::random_keys(1500, 33, "abcdefgh", 16);
  const dictfix::Codec codecs[] = {dictfix::Symbols{{"ab", "cd", "efgh", "a", "h"}}, dictfix::Packed{3, "abcdefg", "h"},
                                   dictfix::Tiered{250, 1, {"a", "b", "c"}}};
  auto queries = dictsearch::queries_around(keys, false);
  queries.insert(queries.end(), keys.begin(), keys.end());
  const std::vector<std::string_view> views(queries.begin(), queries.end());
  std::mt19937_64 rng(34);
  for (const auto& codec : codecs) {
    dictfix::Layout s = layout_of(keys, 64, 8, codec);
    s.phrases = {"abcdefgh", "efgh", "habcdefgabcdefgh"};
    const dictfix::Written w = dictfix::write(s);
    for (int round = 0; round < 12; ++round) {
      dictfix::Bytes b = w.blob;
      for (int edits = 1 + static_cast<int>(rng() % 4); edits > 0; --edits)
        b[w.block_data_at + rng() % (w.tables_at - w.block_data_at)] = static_cast<unsigned char>(rng());
      const dict_index::Layout d = dictsearch::load(b, false);
      std::vector<std::uint64_t> want(views.size());
      for (std::size_t i = 0; i < views.size(); ++i) {
        const Search r = d.locate_query(views[i]);
        want[i] = r.found ? r.rank : dict_index::MISSING_ID;
      }
      for (const auto& [what, shape] : dictsearch::batch_shapes()) {
        std::vector<std::uint64_t> ids(views.size());
        dict_index::ids_into_shaped(d, views, ids.data(), shape);
        for (std::size_t i = 0; i < views.size(); ++i)
          ASSERT_EQ(ids[i], want[i]) << "round " << round << ", batch " << what << ", query '" << views[i] << "'";
      }
    }
  }
}

TEST(DictSearch, TiedHeads) {
  // URLs and paths whose heads agree for far more than 8 bytes past the head
  // prefix: ties of two blocks and of many, resolved by the tie resolver.
  std::vector<std::string> keys;
  std::mt19937_64 rng(5);
  for (const char* stem : {"https://example.com/", "https://example.com/static/assets/images/thumbnails/",
                           "https://example.com/static/assets/images/thumbnails/large/",
                           "https://example.com/user/profile/settings/"})
    for (int i = 0; i < 150; ++i) keys.push_back(std::string(stem) + std::to_string(rng() % 100000) + ".png");
  for (int i = 0; i < 3; ++i) keys.push_back("https://example.com/two-block-tie/abcdefgh/" + std::to_string(i));
  // A tie the resolver keeps no root for: heads that differ by trailing zeros.
  for (std::size_t z = 0; z < 6; ++z) keys.push_back("https://example.com/zz/padded/" + std::string(z, '\0'));
  keys = dictfix::sorted_unique(keys);
  for (unsigned block : {1u, 2u, 4u, 16u}) {
    const Corpus c{"tied urls", layout_of(keys, block, block > 2 ? 2 : 1), true};
    {
      const dict_index::Layout d = dictsearch::load(dictfix::write(c.layout).blob);
      ASSERT_TRUE(d.ties()) << "the corpus has ties the resolver takes";
    }
    check_index(c, dictsearch::queries_around(keys, true));
    if (HasFatalFailure()) return;
  }
}

TEST(DictSearch, TiesWithoutResolver) {
  // Heads that differ only by trailing zero bytes tie with no root: every
  // tie is settled over whole heads.
  std::vector<std::string> keys;
  const std::string stem = "/usr/share/doc/package/";
  for (int z = 0; z < 12; ++z) keys.push_back(stem + std::string(static_cast<std::size_t>(z), '\0'));
  keys = dictfix::sorted_unique(keys);
  for (unsigned block : {1u, 2u}) {
    const Corpus c{"zero-padded heads", layout_of(keys, block, 1), false};
    {
      const dict_index::Layout d = dictsearch::load(dictfix::write(c.layout).blob);
      ASSERT_FALSE(d.ties());
    }
    auto q = dictsearch::queries_around(keys, false);
    q.push_back(stem + std::string(3, '\0') + "x");
    check_index(c, q);
    if (HasFatalFailure()) return;
  }
}

TEST(DictSearch, FreshIndexAnswersAsOneWithEverySampleDerived) {
  // A loaded index derives its samples a chunk of 512 blocks at a time as
  // searches reach them, and its tie resolver once a search meets a tie: the
  // first search of a fresh index, and a run of searches that fills one
  // chunk by chunk, answer as an index whose samples and resolver were all
  // derived first. Heads out of order (a damaged blob loaded unverified)
  // would part the two if their searches probed different samples.
  std::mt19937_64 rng(17);
  std::vector<std::string> tied;
  for (const char* stem : {"alpha/a/long/shared/stem/", "beta/a/long/shared/stem/", "gamma/stem/"})
    for (int i = 0; i < 700; ++i) tied.push_back(stem + std::to_string(rng() % 1000000));
  tied = dictfix::sorted_unique(tied);
  std::vector<std::string> shuffled = dictfix::random_keys(1500, 23, "abcdef", 10);
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  struct Case {
    const char* name;
    std::vector<std::string> keys;
    unsigned block;
    bool verify;
  };
  const Case cases[] = {
      {"random keys", dictfix::random_keys(3000, 19, "abcdefgh"), 2, true},
      {"tied stems", tied, 1, true},
      {"heads out of order", shuffled, 1, false},
  };
  for (const Case& c : cases) {
    const auto blob = dictfix::write(layout_of(c.keys, c.block, 1)).blob;
    const dict_index::Layout whole = dictsearch::load(blob, c.verify);
    ASSERT_GT(whole.block_count(), 512u) << c.name;
    const bool resolved = whole.ties() != nullptr;  // derives every sample first
    if (c.keys.size() == tied.size()) {
      ASSERT_TRUE(resolved) << "the stems tie";
    }
    const auto queries = dictsearch::queries_around(dictfix::sorted_unique(c.keys), true);
    const dict_index::Layout filling = dictsearch::load(blob, c.verify);
    for (std::size_t i = 0; i < queries.size(); ++i) {
      const Search want = whole.locate_query(queries[i]);
      ASSERT_EQ(filling.locate_query(queries[i]), want) << c.name << ": " << queries[i];
      if (i % 7 == 0) {
        ASSERT_EQ(dictsearch::load(blob, c.verify).locate_query(queries[i]), want) << c.name << ", fresh: " << queries[i];
      }
    }
    EXPECT_TRUE(std::ranges::equal(filling.samples(), whole.samples())) << c.name;
  }
}

TEST(DictSearch, LongSharedPrefix) {
  // P > 0, and P capped at 65,535 when the heads share more.
  for (std::size_t shared : {std::size_t{20}, std::size_t{70000}}) {
    const std::string stem(shared, 'p');
    std::vector<std::string> keys;
    for (const auto& k : dictfix::random_keys(60, 33, "abc", 6)) keys.push_back(stem + k);
    keys = dictfix::sorted_unique(keys);
    const Corpus c{"shared prefix", layout_of(keys, 4, 2), true};
    const dict_index::Layout d = dictsearch::load(dictfix::write(c.layout).blob);
    EXPECT_EQ(d.head_prefix, std::min<std::size_t>(shared, 65535));
    auto q = dictsearch::queries_around(keys, false);
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, shared / 2, shared - 1}) {
      q.push_back(stem.substr(0, cut));        // a proper prefix of the head prefix
      q.push_back(stem.substr(0, cut) + "a");  // below it
      q.push_back(stem.substr(0, cut) + "q");  // above it
    }
    check_index(c, q, 7);
    if (HasFatalFailure()) return;
  }
}

TEST(DictSearch, RestartsThatRouteWordsCannotTell) {
  // Restarts agreeing for more than 8 bytes past the route depth, and
  // restarts ending inside their 8 bytes (zero padding).
  std::vector<std::string> keys{"a"};
  for (int i = 0; i < 120; ++i) keys.push_back("bbbbbbbbbbbbbbbb/" + std::to_string(i * 37 % 1000));
  for (int i = 0; i < 60; ++i)
    keys.push_back(std::string("c").append(static_cast<std::size_t>(i % 7), 'd') + std::to_string(i));
  keys = dictfix::sorted_unique(keys);
  auto q = dictsearch::queries_around(keys, false);
  for (const auto& k : keys) {
    q.push_back(k + std::string("\0\x01", 2));
    q.push_back(k + std::string("\0\0", 2));
  }
  for (unsigned micro : {2u, 4u, 8u}) check_index({"restarts", layout_of(keys, 32, micro), false}, q);
}

TEST(DictSearch, ByteKeysAndPrefixesOfFF) {
  // Keys of arbitrary bytes: prefixes ending in 0xFF bytes, or made of them.
  std::vector<std::string> keys;
  for (const auto& k : dictfix::random_keys(400, 34, std::string("\x00\x01\x7f\xfe\xff", 5), 6)) keys.push_back(k);
  keys = dictfix::sorted_unique(keys);
  const Corpus c{"byte keys", layout_of(keys, 16, 4, dictfix::Symbols{}), false};
  const dict_index::Layout d = dictsearch::load(dictfix::write(c.layout).blob);
  for (const std::string& p : {std::string("\xff"), std::string("\xff\xff"), std::string("\x7f\xff"),
                              std::string("\x01\xff\xff"), std::string("\xfe"), std::string(1, '\0')})
    EXPECT_EQ(d.prefix_id_range(p), brute_prefix(keys, p)) << "prefix of " << p.size() << " bytes";
  EXPECT_EQ(d.prefix_id_range(std::string("\xff\xff\xff\xff\xff\xff\xff")).second, keys.size());
  check_index(c, dictsearch::queries_around(keys, false), 0);
}

namespace {

// Cyrillic words (raw two bytes a character) with some ASCII.
std::vector<std::string> cyrillic_keys(std::size_t n, std::uint64_t seed) {
  std::vector<std::string> out;
  for (const auto& k : dictfix::random_keys(n, seed, "abcdefgh", 8)) {
    std::string s;
    for (char ch : k) s += ch == 'h' ? std::string("-") : dictsearch::utf8_of(0x430 + static_cast<std::uint32_t>(ch - 'a'));
    out.push_back(s);
  }
  return dictfix::sorted_unique(out);
}

}  // namespace

TEST(DictSearch, CharacterCodes) {
  // Plain codes with one- and two-byte codes, and the ASCII-keeping kind.
  const auto keys = cyrillic_keys(800, 35);
  struct Case {
    const char* name;
    dictfix::CharCode code;
  };
  const Case cases[] = {
      {"one-byte codes", {false, {'-', 0x430, 0x431, 0x432, 0x433, 0x434, 0x435, 0x436}, {1, 1, 1, 1, 1, 1, 1, 1}}},
      {"two-byte codes", {false, {'-', 0x430, 0x431, 0x432, 0x433, 0x434, 0x435, 0x436}, {1, 3, 4}}},
      {"ascii-keeping", {true, {0x430, 0x431, 0x432, 0x433, 0x434, 0x435, 0x436}, {2, 5}}},
  };
  int routed = 0, unrouted = 0;  // with and without raw routing
  for (const Case& k : cases) {
    for (unsigned block : {8u, 64u}) {
      dictfix::Layout s = layout_of(keys, block, 4, dictfix::Symbols{{std::string("\x01\x02", 2), "\x03"}});
      s.chars = k.code;
      const Corpus c{k.name, s, true};
      {
        const dict_index::Layout d = dictsearch::load(dictfix::write(s).blob);
        ASSERT_TRUE(d.chars);
        ++(d.raw() ? routed : unrouted);
      }
      auto q = dictsearch::queries_around(keys, true);
      // Characters outside the code (kind 1) and past all of them (kind 2).
      for (const char* extra : {"\xd0\xb0z", "\xd1\x8f", "\xd0\xb0\xd0\xb1\xf0\x9f\x98\x80", "\xe2\x82\xac", "!", "~"})
        q.push_back(extra);
      check_index(c, q);
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GT(routed, 0);
  EXPECT_GT(unrouted, 0);
}

TEST(DictSearch, CharacterCodeWithoutRawRoute) {
  // Heads that agree on four characters after the raw head prefix (8 raw
  // bytes) but not on eight (8 coded bytes): the raw samples tie more, so
  // no raw routing is kept.
  std::vector<std::string> keys;
  const std::string a = dictsearch::utf8_of(0x430), b = dictsearch::utf8_of(0x431);
  for (int i = 0; i < 64; ++i) {
    std::string k = "x" + a + b + a + b;
    for (int bit = 5; bit >= 0; --bit) k += (i >> bit & 1) ? b : a;
    keys.push_back(k);
  }
  keys.push_back("y");
  keys = dictfix::sorted_unique(keys);
  dictfix::Layout s = layout_of(keys, 2, 1, dictfix::Symbols{});
  s.chars = dictfix::CharCode{false, {'x', 'y', 0x430, 0x431}, {1, 1, 1, 1}};
  {
    const dict_index::Layout d = dictsearch::load(dictfix::write(s).blob);
    ASSERT_TRUE(d.chars);
    ASSERT_FALSE(d.raw());
  }
  auto q = dictsearch::queries_around(keys, true);
  q.push_back(std::string("x").append(dictsearch::utf8_of(0x432)));
  q.push_back("z");
  check_index({"no raw route", s, true}, q);
}

TEST(DictSearch, InvalidUtf8QueriesOnACodedIndex) {
  // Arbitrary bytes: never decoded past their end, never found, a rank in
  // 0..=n, with and without raw routing.
  const auto keys = cyrillic_keys(300, 36);
  for (const auto& groups : {std::vector<unsigned>{1, 3, 4}, std::vector<unsigned>{1, 1, 1, 1, 1, 1, 1, 1}}) {
  dictfix::Layout s = layout_of(keys, 8, 2, dictfix::Symbols{});
  s.chars = dictfix::CharCode{false, {'-', 0x430, 0x431, 0x432, 0x433, 0x434, 0x435, 0x436}, groups};
  const auto blob = dictfix::write(s).blob;
  const dict_index::Layout d = dictsearch::load(blob);
  EXPECT_EQ(d.raw() != nullptr, groups.size() == 3) << "raw routing with two-byte codes only";
  std::vector<std::string> bad{"\xd0", "\xd0\xb0\xd0", "\x80", "\xff", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                               "\xe0\x80", "\xd0\xb0\xf0\x9f\x98", std::string("\xd0\xb1\0\xd1", 4)};
  std::mt19937_64 rng(9);
  for (int i = 0; i < 2000; ++i) {
    std::string q = keys[rng() % keys.size()].substr(0, rng() % 6);
    for (int k = rng() % 3; k >= 0; --k) q.push_back(static_cast<char>(rng()));
    bad.push_back(q);
  }
  std::vector<std::string_view> views;
  for (const auto& q : bad) {
    const Exact e(q);
    const Search r = d.locate_query(e.span());
    const bool valid = utf8::valid(q);
    if (!valid) {
      EXPECT_FALSE(r.found) << q;
      EXPECT_LE(r.rank, keys.size());
    } else {
      EXPECT_EQ(r, brute(keys, q));
    }
    const auto p = d.prefix_id_range(e.span());
    EXPECT_LE(p.first, p.second);
    EXPECT_LE(p.second, keys.size());
    views.push_back(q);
  }
  const auto ids = d.ids_of(views);
  for (std::size_t i = 0; i < bad.size(); ++i) EXPECT_EQ(ids[i].has_value(), d.locate_query(bad[i]).found);
  }
}

TEST(DictSearch, RangeIterEdges) {
  const std::vector<std::string> keys{"apple", "banana", "cherry", "date"};
  const dict_index::Layout d = dictsearch::load(dictfix::write(layout_of(keys, 2, 1)).blob);
  auto collect = [&](const char* lo, const char* hi) {
    std::vector<std::string> out;
    auto it = d.range_iter(lo, hi);
    std::string t;
    std::uint64_t id;
    while (it.next(t, id)) out.push_back(t);
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(collect("banana", "banana"), V{});
  EXPECT_EQ(collect("zzz", "zzzz"), V{});
  EXPECT_EQ(collect("", "a"), V{});
  EXPECT_EQ(collect("b", "date"), (V{"banana", "cherry"}));
  EXPECT_EQ(collect("", "\xff"), keys);
  EXPECT_EQ(collect("banana", "b"), V{});
}

namespace {

arrow::OwnedBytes owned(const std::string& s) {
  arrow::OwnedBytes b(s.size());
  if (!s.empty()) std::memcpy(b.data(), s.data(), s.size());
  return b;
}

// A chunk over the elements, with offsets starting at `base`; `nulls` marks
// elements whose validity bit is clear.
arrow::Utf8Chunk chunk_of(const std::vector<std::string>& elems, bool large, std::int64_t base = 0,
                          const std::vector<bool>& nulls = {}, unsigned bit_offset = 0) {
  arrow::Utf8Chunk c;
  c.large = large;
  std::string offs, data;
  std::int64_t at = base;
  auto put = [&](std::int64_t v) {
    for (int i = 0; i < (large ? 8 : 4); ++i) offs.push_back(static_cast<char>(static_cast<std::uint64_t>(v) >> (8 * i)));
  };
  put(at);
  for (const auto& e : elems) {
    data += e;
    at += static_cast<std::int64_t>(e.size());
    put(at);
  }
  c.offsets = owned(offs);
  c.data = owned(data);
  c.base = base;
  c.len = elems.size();
  if (!nulls.empty()) {
    c.has_validity = true;
    c.bit_offset = bit_offset;
    std::string v((bit_offset + elems.size() + 7) / 8, '\xff');
    for (std::size_t i = 0; i < nulls.size(); ++i)
      if (nulls[i]) v[(bit_offset + i) / 8] &= static_cast<char>(~(1u << ((bit_offset + i) % 8)));
    c.validity = owned(v);
  }
  EXPECT_FALSE(c.check().has_value());
  return c;
}

}  // namespace

TEST(DictSearch, ArrowChunks) {
  auto keys = dictfix::random_keys(500, 37, "abcdef", 8);
  keys.insert(keys.begin(), "");
  const dict_index::Layout d = dictsearch::load(dictfix::write(layout_of(keys, 16, 4)).blob);
  const auto queries = dictsearch::queries_around(keys, true, 3);
  const std::size_t half = queries.size() / 2;
  const std::vector<std::string> first(queries.begin(), queries.begin() + static_cast<std::ptrdiff_t>(half));
  const std::vector<std::string> second(queries.begin() + static_cast<std::ptrdiff_t>(half), queries.end());
  std::vector<bool> nulls(second.size());
  for (std::size_t i = 0; i < nulls.size(); i += 5) nulls[i] = true;
  std::vector<arrow::Utf8Chunk> chunks;
  chunks.push_back(chunk_of(first, false, 7));
  chunks.push_back(chunk_of(second, true, 1000, nulls, 3));
  chunks.push_back(chunk_of({"", "", keys[3]}, false, 0, {true, false, false}));  // a null "" and a present one
  chunks.push_back(chunk_of({}, true));
  const auto ids = d.arrow_ids(chunks);
  std::vector<std::uint64_t> want;
  for (const auto& q : first) {
    const Search r = brute(keys, q);
    want.push_back(r.found ? r.rank : dict_index::MISSING_ID);
  }
  for (std::size_t i = 0; i < second.size(); ++i) {
    const Search r = brute(keys, second[i]);
    want.push_back(r.found && !nulls[i] ? r.rank : dict_index::MISSING_ID);
  }
  want.push_back(dict_index::MISSING_ID);
  want.push_back(0);
  want.push_back(3);
  EXPECT_EQ(ids, want);

  // On an empty index every element is missing.
  const dict_index::Layout empty = dictsearch::load(dictfix::empty_index());
  EXPECT_EQ(empty.arrow_ids(chunks), std::vector<std::uint64_t>(want.size(), dict_index::MISSING_ID));
}

TEST(DictSearch, ArrowChunksOnACodedIndex) {
  const auto keys = cyrillic_keys(200, 38);
  dictfix::Layout s = layout_of(keys, 8, 2, dictfix::Symbols{});
  s.chars = dictfix::CharCode{false, {'-', 0x430, 0x431, 0x432, 0x433, 0x434, 0x435, 0x436}, {1, 1, 1, 1, 1, 1, 1, 1}};
  const dict_index::Layout d = dictsearch::load(dictfix::write(s).blob);
  // Valid keys, a key with its last byte cut (not UTF-8), a character
  // outside the code, bytes that are no UTF-8 at all.
  std::vector<std::string> elems{keys[0], keys[5], keys[5].substr(0, keys[5].size() - 1), "\xd1\x8f", "\xff\xfe",
                                 keys[keys.size() - 1]};
  std::vector<arrow::Utf8Chunk> chunks;
  chunks.push_back(chunk_of(elems, false));
  const auto ids = d.arrow_ids(chunks);
  const std::uint64_t M = dict_index::MISSING_ID;
  EXPECT_EQ(ids, (std::vector<std::uint64_t>{0, 5, M, M, M, keys.size() - 1}));
}

// The same model checks over dictionaries the build makes.
TEST(DictSearch, BuiltDictionaries) {
  struct Case {
    std::string name;
    std::vector<std::string> keys;
    bool text;
  };
  std::vector<Case> cases{
      {"paths", buildfix::paths(8000, 3), true},
      {"urls", buildfix::urls(8000, 4), true},
      {"decimal ids", buildfix::decimal_ids(995000, 8000), true},
      {"cyrillic", buildfix::cyrillic(8000, 5), true},
      {"prefixes", buildfix::prefixes(), true},
      {"sample keys", buildfix::sorted_distinct(buildfix::sample_keys()), true},
  };
  // Real words: every fifth of Debian's wamerican-huge (all of it with
  // DICT_SEARCH_FULL set).
  const auto words = read_words("/usr/share/dict/american-english-huge");
  if (words.empty()) ADD_FAILURE() << "Debian's wamerican-huge is missing (scripts/setup.sh installs it)";
  const std::size_t every = std::getenv("DICT_SEARCH_FULL") ? 1 : 5;
  std::vector<std::string> some;
  for (std::size_t i = 0; i < words.size(); i += every) some.push_back(words[i]);
  cases.push_back({"wamerican-huge", some, true});
  for (const Case& c : cases) {
    for (std::uint64_t block : {std::uint64_t{256}, std::uint64_t{32}, std::uint64_t{1024}}) {
      if (c.keys.size() > 100000 && block != 256) continue;  // the word list once
      const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(c.keys), block);
      EXPECT_EQ(d.chars != nullptr, c.name == "cyrillic") << "a character code for the Cyrillic keys only";
      const std::size_t stride = 1 + c.keys.size() / 4000;
      check_searches(c.name + " built at block " + std::to_string(block), d, c.keys,
                     dictsearch::queries_around(c.keys, c.text, stride), 997);
      if (HasFatalFailure()) return;
    }
  }
}

TEST(DictSearch, BuiltBlockShapes) {
  // Every block size of the list at n = 0, 1, block, block + 1 and more;
  // and keys sharing a prefix longer than 65,535 bytes.
  const auto pool = dictfix::random_keys(3000, 51, "abcdefgh", 14);
  for (std::uint64_t block : {1u, 2u, 31u, 32u, 256u, 257u, 1024u}) {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{block}, std::size_t{block} + 1, std::size_t{2900}}) {
      if (n > pool.size()) continue;
      std::vector<std::string> keys;
      for (std::size_t i = 0; i < n; ++i) keys.push_back(pool[i * pool.size() / n]);
      keys = dictfix::sorted_unique(keys);
      const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(keys), block);
      check_searches("random built at block " + std::to_string(block) + ", n " + std::to_string(n), d, keys,
                     dictsearch::queries_around(keys, false, 1 + n / 400), 211);
      if (HasFatalFailure()) return;
    }
  }
  const std::string stem(70000, 's');
  std::vector<std::string> keys;
  for (const auto& k : dictfix::random_keys(40, 52, "abc", 5)) keys.push_back(stem + k);
  keys = dictfix::sorted_unique(keys);
  const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(keys), 4);
  EXPECT_EQ(d.head_prefix, 65535u);
  check_searches("a long shared prefix, built", d, keys, dictsearch::queries_around(keys, false), 5);
}

TEST(DictSearch, BuiltOverByteKeys) {
  // from_sorted_as over keys that are no text: prefixes ending in 0xFF bytes.
  std::vector<std::string> keys;
  for (const auto& k : dictfix::random_keys(3000, 53, std::string("\x00\x01\x7f\xfe\xff", 5), 7)) keys.push_back(k);
  keys = dictfix::sorted_unique(keys);
  const std::vector<dict_index::Key> views(keys.begin(), keys.end());
  const dict_index::Layout d = dict_index::Layout::from_sorted_as(views, 64, 8, 2, views.size());
  for (const std::string& p : {std::string("\xff"), std::string("\xff\xff"), std::string("\x7f\xff"),
                               std::string("\x01\xff\xff"), std::string(1, '\0'), std::string("\xff\xff\xff\xff\xff\xff\xff\xff")})
    EXPECT_EQ(d.prefix_id_range(p), brute_prefix(keys, p)) << "prefix of " << p.size() << " bytes";
  check_searches("byte keys, built", d, keys, dictsearch::queries_around(keys, false), 0);
}

TEST(DictSearch, BuiltWithPhrases) {
  // Dictionaries of 16,384 keys or more over URLs and paths carry phrases
  // and tiered shards: every search walks phrase codes.
  struct Case {
    std::string name;
    std::vector<std::string> keys;
    std::vector<std::uint64_t> blocks;
  };
  const std::vector<Case> cases{{"urls", buildfix::web_urls(40'000, 7), {16, 256}},
                                {"paths", buildfix::package_paths(60'000, 5), {256}}};
  for (const Case& c : cases) {
    for (std::uint64_t block : c.blocks) {
      const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(c.keys), block);
      ASSERT_GT(d.phrases.count(), 0u) << c.name;
      ASSERT_TRUE(std::any_of(d.codecs.begin(), d.codecs.end(), [](const dict_index::Codec& x) {
        return std::holds_alternative<dict_index::Codec::Tiered>(x.v);
      })) << c.name;
      check_searches(c.name + " with phrases, built at block " + std::to_string(block), d, c.keys,
                     dictsearch::queries_around(c.keys, true, 1 + c.keys.size() / 4000), 997);
      if (HasFatalFailure()) return;
    }
  }
}
