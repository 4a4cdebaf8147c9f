#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "dict_index/layout.hpp"
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
      const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(c.keys), block);
      EXPECT_EQ(d.block, block);
      EXPECT_EQ(d.micro, dict_index::micro_for(block));
      EXPECT_EQ(d.chars != nullptr, std::string(c.name) == "cyrillic");
      check_round_trip(d, c.keys);
    }
  }
}

TEST(DictBuild, KnownBlobsOfNoKeyAndOneKey) {
  const std::vector<std::string> none, a = {"a"};
  EXPECT_EQ(blob_of(dict_index::Layout::build_with_block(std::span<const std::string>(none), 256)), dictfix::empty_index());
  EXPECT_EQ(blob_of(dict_index::Layout::build_with_block(std::span<const std::string>(a), 256)), dictfix::key_a_index());
}


TEST(DictBuild, ShuffledKeysWithRepeatsBuildTheSortedBlob) {
  const std::vector<std::string> sorted = paths(4000, 7);
  std::vector<std::string> mixed = sorted;
  mixed.insert(mixed.end(), sorted.begin(), sorted.begin() + 500);
  std::shuffle(mixed.begin(), mixed.end(), std::mt19937_64(9));
  for (std::uint64_t block : {2, 256}) {
    const Blob want = blob_of(dict_index::Layout::build_with_block(std::span<const std::string>(sorted), block));
    EXPECT_EQ(blob_of(dict_index::Layout::build_with_block(std::span<const std::string>(mixed), block)), want);
  }
}

TEST(DictBuild, BlockOutOfRangeFailsBeforeTheKeysAreRead) {
  // Views no build may read: touching them would fault.
  const std::vector<Key> poison = {Key(reinterpret_cast<const char*>(16), 1u << 30),
                                   Key(reinterpret_cast<const char*>(32), 7)};
  for (std::uint64_t block : {std::uint64_t{0}, std::uint64_t{1025}, ~std::uint64_t{0}}) {
    try {
      dict_index::Layout::build_with_block(poison, block);
      ADD_FAILURE() << "block " << block << " built";
    } catch (const IndexError& e) {
      EXPECT_EQ(e.kind(), IndexError::Kind::Format);
      EXPECT_STREQ(e.what(), "format error: dict: block must be in 1..=1024");
    }
  }
}

TEST(DictBuild, DedupAscending) {
  std::vector<Key> none;
  EXPECT_TRUE(dict_index::dedup_ascending(none));
  std::vector<Key> repeats = {"a", "a", "ab", "ab", "ab", "b"};
  EXPECT_TRUE(dict_index::dedup_ascending(repeats));
  EXPECT_EQ(repeats, (std::vector<Key>{"a", "ab", "b"}));
  std::vector<Key> descent = {"a", "a", "c", "b", "d"};
  EXPECT_FALSE(dict_index::dedup_ascending(descent));
  EXPECT_EQ(descent.size(), 5u);
}

TEST(DictBuild, WorkedValues) {
  const std::vector<std::pair<std::uint64_t, std::uint64_t>> micro = {
      {1, 1},   {2, 2},     {8, 8},    {16, 16},   {31, 31},   {32, 16},    {33, 11},    {50, 25},   {64, 16},
      {100, 20}, {128, 16}, {255, 17}, {256, 16}, {257, 257}, {512, 32}, {1000, 25}, {1023, 31}, {1024, 32}};
  for (auto [block, m] : micro) EXPECT_EQ(dict_index::micro_for(block), m) << block;
  for (std::uint64_t block = 1; block <= 1024; ++block) EXPECT_EQ(block % dict_index::micro_for(block), 0u);

  EXPECT_EQ(dict_index::Shape::of(10'000'000, 256, 16, 256).blocks, 39'063u);
  EXPECT_EQ(dict_index::threads_for(10'000'000, 256, 8), 8u);
  auto cut = dict_index::cut_parts(10'000'000, 256, 8);
  EXPECT_EQ(cut.kpp, 1'310'720u);
  EXPECT_EQ(cut.parts, 8u);

  EXPECT_EQ(dict_index::threads_for(100'000, 32, 4), 4u);
  EXPECT_EQ(dict_index::shard_blocks(32), 2'048u);
  cut = dict_index::cut_parts(100'000, 32, 4);
  EXPECT_EQ(cut.kpp, 65'536u);
  EXPECT_EQ(cut.parts, 2u);

  for (std::size_t processors : {2, 3, 8}) {
    EXPECT_EQ(dict_index::threads_for(32'768, 256, processors), 2u);
    EXPECT_EQ(dict_index::cut_parts(32'768, 256, 2).parts, 1u);
  }
  // Fewer than 128 blocks: one worker.
  EXPECT_EQ(dict_index::threads_for(127 * 256, 256, 8), 1u);
  EXPECT_EQ(dict_index::threads_for(0, 256, 8), 1u);
  EXPECT_EQ(dict_index::shard_blocks(1), 65'535u);
  EXPECT_EQ(dict_index::shard_blocks(1024), 64u);
}

// Keys that sort as they are numbered.
std::vector<std::string> padded_ids(std::uint64_t count) {
  std::vector<std::string> out;
  out.reserve(count);
  char buf[24];
  for (std::uint64_t i = 0; i < count; ++i) {
    std::snprintf(buf, sizeof buf, "%07llu", static_cast<unsigned long long>(i));
    out.emplace_back(buf);
  }
  return out;
}

TEST(DictBuildTraining, ShardStrides) {
  // 1,000,000 keys at block 256: 15 full shards sample every sixth 256-key
  // chunk (one block each, its head not sampled); the last of 16,960 keys
  // samples every key but its 67 heads.
  const auto keys = padded_ids(1'000'000);
  const auto views = views_of(keys);
  const auto pieces = dict_index::build_pieces(views, 256, 16, false);
  ASSERT_EQ(pieces.size(), 16u);
  for (std::size_t s = 0; s < 15; ++s) EXPECT_EQ(pieces[s].size(), 43u * 255) << s;
  EXPECT_EQ(pieces[15].size(), 16'960u - 67);
  // Exact mode samples every key but the heads.
  const auto exact = dict_index::build_pieces(std::span<const Key>(views).first(70'000), 256, 16, true);
  ASSERT_EQ(exact.size(), 2u);
  EXPECT_EQ(exact[0].size(), 65'536u - 256);
  EXPECT_EQ(exact[1].size(), 4'464u - 18);
}

TEST(DictBuildTraining, Material) {
  // No keys: one empty piece list, one empty table.
  const auto none = dict_index::build_pieces({}, 256, 16, false);
  ASSERT_EQ(none.size(), 1u);
  EXPECT_TRUE(none[0].empty());
  const auto tables = dict_index::train_shards(none, 4);
  ASSERT_EQ(tables.size(), 1u);
  EXPECT_EQ(tables[0].size(), 0u);

  // Block 1: every key a head, nothing sampled, every table empty.
  const auto keys = paths(2000, 4);
  const auto views = views_of(keys);
  const auto heads_only = dict_index::build_pieces(views, 1, 1, false);
  ASSERT_EQ(heads_only.size(), 1u);
  EXPECT_TRUE(heads_only[0].empty());

  // The samples are the suffixes the front coding codes: a restart against
  // the restart before it, any other key against its predecessor; with
  // micro = block that is always the predecessor.
  auto expect = [&](std::uint64_t block, std::uint64_t micro) {
    std::vector<std::string> out;
    for (std::size_t i = 1; i < keys.size(); ++i) {
      if (i % block == 0) continue;
      const std::string& ref = i % block % micro == 0 ? keys[i - micro] : keys[i - 1];
      std::size_t x = 0;
      while (x < ref.size() && x < keys[i].size() && ref[x] == keys[i][x]) ++x;
      out.push_back(keys[i].substr(x));
    }
    return out;
  };
  for (auto [block, micro] : {std::pair<std::uint64_t, std::uint64_t>{8, 8}, {8, 2}, {32, 16}}) {
    const auto pieces = dict_index::build_pieces(views, block, micro, false);
    ASSERT_EQ(pieces.size(), 1u);
    std::vector<std::string> got;
    for (auto p : pieces[0]) got.emplace_back(reinterpret_cast<const char*>(p.data()), p.size());
    EXPECT_EQ(got, expect(block, micro)) << block << "/" << micro;
  }

  // Tables in shard order, whatever the thread count.
  const auto many = dict_index::build_pieces(views, 4, 2, true);
  dict_index::Pieces split(5);
  for (std::size_t i = 0; i < many[0].size(); ++i) split[i % 5].push_back(many[0][i]);
  const auto one = dict_index::train_shards(split, 1);
  for (std::size_t t : {2, 3, 8}) EXPECT_EQ(dict_index::train_shards(split, t), one) << t;
  EXPECT_EQ(one[2], fsst::Table::train_to(split[2], 255));
}

dict_index::Collected collect(const std::vector<std::string>& keys, std::uint64_t block, std::uint64_t micro,
                              const fsst::Table& table) {
  dict_index::Collected c;
  const auto views = views_of(keys);
  const auto enc = table.encoder();
  for (std::size_t b = 0; b < views.size(); b += block)
    dict_index::collect_block(c, std::span<const Key>(views).subspan(b, std::min<std::size_t>(block, views.size() - b)),
                              micro, enc);
  return c;
}

TEST(DictBuildCodecs, ChoiceBetweenSymbolsAndPacked) {
  // Consecutive decimal ids: a handful of digits, packed.
  const auto ids = decimal_ids(1'000'000, 5000);
  const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(ids), 256);
  ASSERT_EQ(d.codecs.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<dict_index::Codec::Packed>(d.codecs[0].v));

  // Every entry one distinct byte of 0..254, and a table holding each as a
  // symbol: one byte a suffix either way, equal pair codes, equal costs.
  std::vector<std::string> keys = {""};
  for (int b = 0; b < 255; ++b) keys.emplace_back(1, static_cast<char>(b));
  fsst::Table table;
  for (int b = 0; b < 255; ++b) {
    table.symbols.push_back(static_cast<std::uint64_t>(b));
    table.lengths.push_back(1);
  }
  auto c = collect(keys, 256, 16, table);
  std::vector<paircode::Pair> pairs;
  const auto symbols = c.price(dict_index::Codec{dict_index::Codec::Symbols{table}}, pairs);
  auto alphabet = packed::Alphabet::of(c.histogram);
  ASSERT_TRUE(alphabet.has_value());
  EXPECT_EQ(alphabet->first.width, 8u);
  const auto packed = c.price(dict_index::Codec{dict_index::Codec::Packed{alphabet->first}}, pairs);
  EXPECT_EQ(packed.cost, symbols.cost);
  const auto settled = c.settle(table, dict_index::Phrases::none(), pairs);
  EXPECT_TRUE(std::holds_alternative<dict_index::Codec::Symbols>(settled.codec.v));
  std::vector<paircode::Pair> want;
  c.pairs(settled.codec, want);
  EXPECT_EQ(pairs, want);  // the chosen codec's pairs are left for the writer
}

std::vector<unsigned char> record(const dict_index::Codec& c) {
  std::vector<unsigned char> out;
  c.write_to(out);
  return out;
}

void expect_same_part(const dict_index::Part& a, const dict_index::Part& b) {
  EXPECT_EQ(a.heads, b.heads);
  EXPECT_EQ(a.head_ends, b.head_ends);
  EXPECT_EQ(a.block_starts, b.block_starts);
  EXPECT_EQ(a.run_starts, b.run_starts);
  EXPECT_EQ(a.block_data, b.block_data);
  ASSERT_EQ(a.codecs.size(), b.codecs.size());
  for (std::size_t i = 0; i < a.codecs.size(); ++i) {
    EXPECT_EQ(record(a.codecs[i]), record(b.codecs[i]));
    EXPECT_EQ(a.codes[i].entry, b.codes[i].entry);
    EXPECT_EQ(a.codes[i].restart, b.codes[i].restart);
  }
}

TEST(DictBuildCodecs, ShardsPastTheTablesUseTheLast) {
  const auto keys = paths(800, 5);
  ASSERT_GT(keys.size(), 4u * 128);
  const auto views = views_of(keys);
  // Shards of 8 blocks of 16 keys: 5 shards.
  const auto pieces = dict_index::build_pieces(views, 16, 4, true);
  const auto t = dict_index::train_shards(pieces, 1);
  ASSERT_EQ(t.size(), 1u);
  const fsst::Table t0 = t[0], t1 = fsst::Table::train_to(pieces[0], 20);
  const std::vector<fsst::Table> two = {t0, t1}, five = {t0, t1, t1, t1, t1};
  const auto phrases = dict_index::Phrases::none();
  const auto got = dict_index::encode_range(views, 16, 4, two, phrases, 8, 0);
  ASSERT_EQ(got.codecs.size(), 5u);
  ASSERT_NE(t0, t1);
  for (const auto& c : got.codecs) ASSERT_TRUE(std::holds_alternative<dict_index::Codec::Symbols>(c.v));
  EXPECT_EQ(std::get<dict_index::Codec::Symbols>(got.codecs[0].v).table, t0);
  for (std::size_t s = 1; s < 5; ++s) EXPECT_EQ(std::get<dict_index::Codec::Symbols>(got.codecs[s].v).table, t1);
  expect_same_part(got, dict_index::encode_range(views, 16, 4, five, phrases, 8, 0));
  // A range starting at shard 1 codes its first shard with table 1.
  const auto tail = std::span<const Key>(views).subspan(128);
  expect_same_part(dict_index::encode_range(tail, 16, 4, two, phrases, 8, 8),
                   dict_index::encode_range(tail, 16, 4, std::vector<fsst::Table>{t1}, phrases, 8, 0));
}

// The run writer, byte for byte.
struct RunFixture {
  dict_index::Collected c;
  dict_index::Scratch s;

  // Entries with these raw suffixes; their symbol-coded suffixes are the
  // same bytes, which the writer copies as they stand.
  explicit RunFixture(const std::vector<std::string>& suffixes) {
    for (const auto& x : suffixes) {
      c.raw.insert(c.raw.end(), x.begin(), x.end());
      c.raw_ends.push_back(c.raw.size());
    }
    c.symbols = c.raw;
    c.symbol_ends = c.raw_ends;
  }
  std::vector<unsigned char> write(const paircode::Code& code, const dict_index::Codec& codec,
                                   const std::vector<paircode::Pair>& pairs, std::uint64_t first = 0) {
    s.output.clear();
    const auto map = code.is_table() ? code.table().reverse_map() : std::vector<std::uint16_t>{};
    dict_index::write_run(code, map.data(), codec, c, pairs, first, s);
    EXPECT_TRUE(s.data.empty());
    EXPECT_EQ(s.pending, 0u);
    return s.output;
  }
};

using V = std::vector<unsigned char>;
const dict_index::Codec kSymbols{dict_index::Codec::Symbols{}};

paircode::Code table_code(std::uint32_t e, std::vector<std::uint16_t> entries) {
  paircode::TableCode t;
  t.e = e;
  t.table = std::move(entries);
  return paircode::Code(t);
}

TEST(DictBuildRunWriter, EmptyRunsWriteNothing) {
  RunFixture f({});
  EXPECT_EQ(f.write(paircode::Code(paircode::FieldCode::make(5, 5, 1, 1, 3, 3, 1, 1)), kSymbols, {}), V{});
  EXPECT_EQ(f.write(table_code(3, {0x0101}), kSymbols, {}), V{});
}

TEST(DictBuildRunWriter, FieldMode) {
  // Both widths 0: no run header, every entry escaped.
  RunFixture zero({"A", "BC"});
  EXPECT_EQ(zero.write(paircode::Code(paircode::FieldCode::make(0, 0, 0, 0, 0, 0, 0, 0)), kSymbols, {{3, 1}, {200, 2}}),
            (V{0x03, 0x01, 'A', 0xC8, 0x01, 0x02, 'B', 'C'}));

  // base (2, 1), least widths (0, 0), N 2, M 1, P 2, Q 1: R = 6 bits. The
  // run fits at minima (3, 1), widths (1, 2); Q = 1 caps the y width at 1,
  // so the fields are 1, 0, 1, 1 (0b101001) and the entry codes 2 bits:
  // 00, then (1, 1), all ones, escaped, then 00: 29 03.
  RunFixture f({"x", "yz", "x"});
  EXPECT_EQ(f.write(paircode::Code(paircode::FieldCode::make(2, 1, 0, 0, 2, 1, 2, 1)), kSymbols,
                    {{3, 1}, {4, 2}, {3, 1}}),
            (V{0x29, 0x03, 'x', 0x04, 0x02, 'y', 'z', 'x'}));
}

TEST(DictBuildRunWriter, TableMode) {
  // e = 2, one pair (1, 1). x or y above 255 and pairs not in the table are
  // escaped with code 3; x = 127 takes one varint byte, 128 two.
  RunFixture f({"a", "b", "c", "d", "e", "f"});
  EXPECT_EQ(f.write(table_code(2, {0x0101}), kSymbols, {{1, 1}, {300, 1}, {1, 256}, {2, 2}}),
            (V{0xFC, 'a', 0xAC, 0x02, 0x01, 'b', 0x01, 0x80, 0x02, 'c', 0x02, 0x02, 'd'}));
  EXPECT_EQ(f.write(table_code(1, {}), kSymbols, {{127, 1}, {128, 1}}, 4),
            (V{0x03, 0x7F, 0x01, 'e', 0x80, 0x01, 0x01, 'f'}));
}

TEST(DictBuildRunWriter, TieredRunsCopyTheTieredCodes) {
  RunFixture f({"raw", "raw"});
  f.c.tiered = {'T', 0xF0, 0x01};
  f.c.tiered_ends = {1, 3};
  const dict_index::Codec tiered{dict_index::Codec::Tiered{fsst::Table{}, phrase::Split{200, 10}}};
  std::vector<paircode::Pair> pairs;
  f.c.prefixes = {0, 0};
  f.c.pairs(tiered, pairs);
  EXPECT_EQ(pairs, (std::vector<paircode::Pair>{{0, 1}, {0, 2}}));
  EXPECT_EQ(f.write(table_code(2, {0x0001, 0x0002}), tiered, pairs), (V{0x04, 'T', 0xF0, 0x01}));
}

TEST(DictBuildRunWriter, PackedCodesAroundAnEscape) {
  // Width 3: 'a'..'g' primary (codes 0..6), 'h' secondary. 'z' (0x7A) is in
  // neither: 7, 7, then its bits 010, 111, 01 (and a zero bit).
  const unsigned char rec[] = {1, 3, 6, 1, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  auto alphabet = packed::Alphabet::from_bytes(rec);
  ASSERT_TRUE(alphabet.has_value());
  const dict_index::Codec codec{dict_index::Codec::Packed{*alphabet}};
  RunFixture f({"b", "c", "z", "h"});
  // Codes 0, escape 3, 1, 2 at e = 2: 0x9C. Data: 'b' (001) padded to 01
  // before the escape's varints C8 01 01; then 'c' 010, 'z' 111 111 010 111
  // 001, 'h' 111 000 continue on the byte after them: FA F5 1C.
  EXPECT_EQ(f.write(table_code(2, {0x0001, 0x0005, 0x0002}), codec, {{0, 1}, {200, 1}, {0, 5}, {0, 2}}),
            (V{0x9C, 0x01, 0xC8, 0x01, 0x01, 0xFA, 0xF5, 0x1C}));
}

TEST(DictBuildHeadPrefix, FromTheFirstAndLastHeads) {
  auto prefix_of = [](std::vector<std::string> keys) {
    return dict_index::Layout::build_with_block(std::span<const std::string>(keys), 1).head_prefix;
  };
  EXPECT_EQ(prefix_of({"abc", "abd", "abxyz"}), 2u);
  EXPECT_EQ(prefix_of({"ab", "abc", "abcd"}), 2u);
  EXPECT_EQ(prefix_of({"only"}), 4u);
  const std::string stem(70'000, 's');
  const std::vector<std::string> long_keys = {stem + "a", stem + "b", stem + "c"};
  const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(long_keys), 1);
  EXPECT_EQ(d.head_prefix, 65'535u);
  check_round_trip(d, long_keys);
}


std::vector<unsigned char> section(const std::optional<charcode::CharCode>& c) {
  std::vector<unsigned char> out;
  if (c) c->write_to(out);
  return out;
}

// Keys of `ascii` ASCII letters and one two-byte Cyrillic letter each.
std::vector<std::string> mixed_keys(std::size_t n, unsigned ascii) {
  std::mt19937_64 rng(11);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) {
    std::string s;
    for (unsigned k = 0; k < ascii; ++k) s += static_cast<char>('a' + rng() % 26);
    s.insert(rng() % (s.size() + 1), "\xd0\xb6");
    out.push_back(s);
  }
  return sorted_distinct(std::move(out));
}

TEST(DictBuildCharCode, Choice) {
  const auto ascii = paths(1000, 6);
  EXPECT_FALSE(dict_index::choose_code(views_of(ascii), 4).has_value());
  const std::vector<Key> empty_key = {""};
  EXPECT_FALSE(dict_index::choose_code(empty_key, 1).has_value());
  EXPECT_FALSE(dict_index::choose_code({}, 1).has_value());

  // The byte test: counted a word at a time, with the last one to seven
  // bytes of a key gathered; exactly two fifteenths outside ASCII pass.
  std::vector<std::string> odd;
  std::mt19937_64 rng(5);
  for (int i = 0; i < 200; ++i) {
    std::string k;
    for (std::size_t n = rng() % 21; k.size() < n;) k += rng() % 3 ? static_cast<char>('a' + rng() % 26) : "\xd0\xb6"[rng() % 2];
    odd.push_back(k);
  }
  std::uint64_t total = 0, high = 0;
  for (const auto& k : odd)
    for (unsigned char b : k) total += 1, high += b >= 0x80;
  const auto counted = dict_index::count_bytes(views_of(odd));
  EXPECT_EQ(counted.total, total);
  EXPECT_EQ(counted.high, high);
  EXPECT_TRUE((dict_index::ByteCount{15, 2}.may_pay()));
  EXPECT_TRUE((dict_index::ByteCount{1'500'000'000'000, 200'000'000'000}.may_pay()));
  EXPECT_FALSE((dict_index::ByteCount{16, 2}.may_pay()));
  EXPECT_TRUE((dict_index::ByteCount{0, 0}.may_pay()));
  // Two fifteenths of two-byte letters save less than a tenth: no code.
  EXPECT_FALSE(dict_index::choose_code(views_of(mixed_keys(3000, 13)), 4).has_value());

  // Ranged on any number of workers or in one pass: the same code.
  const auto words = cyrillic(5000, 8);
  const auto views = views_of(words);
  const auto one = section(dict_index::choose_code(views, 1));
  ASSERT_FALSE(one.empty());
  for (std::size_t t : {2, 3, 8}) EXPECT_EQ(section(dict_index::choose_code(views, t)), one) << t;
  const std::vector<Key> single = {views[17]};
  EXPECT_EQ(section(dict_index::choose_code(single, 1)), section(dict_index::choose_code(single, 8)));
}

// Spells a key back and forth in the raw routing's terms: its UTF-8 bytes
// from offset p, 8 of them zero padded, big-endian.
std::uint64_t word_of(const std::string& s, std::size_t p) {
  std::uint64_t w = 0;
  for (std::size_t i = 0; i < 8; ++i) w = w << 8 | (p + i < s.size() ? static_cast<unsigned char>(s[p + i]) : 0);
  return w;
}

TEST(DictBuildCharCode, CodedBuildsKeepTheRawRouteWhenItTiesNoMore) {
  // Block 1 over three heads: the raw samples of the first two agree on
  // their first 8 UTF-8 bytes (4 letters) where the coded ones differ.
  const std::vector<std::string> tied = {"\xd0\xb1\xd0\xb2\xd0\xb3\xd0\xb4\xd0\xb5\xd0\xb6\xd0\xb7\xd0\xb8",
                                         "\xd0\xb1\xd0\xb2\xd0\xb3\xd0\xb4\xd0\xb5\xd0\xb6\xd0\xb7\xd0\xba",
                                         "\xd0\xb2"};
  std::vector<Corpus> cases = {{"tied", tied}, {"words", cyrillic(3000, 12)}, {"mixed", mixed_keys(2000, 3)}};
  for (const Corpus& c : cases) {
    for (std::uint64_t block : {1, 2, 4, 32}) {
      SCOPED_TRACE(std::string(c.name) + " at block " + std::to_string(block));
      // Three keys do not pay for a section: their code is given.
      const std::vector<std::uint32_t> letters = {0x431, 0x432, 0x433, 0x434, 0x435, 0x436, 0x437, 0x438, 0x43A};
      const std::vector<std::uint16_t> groups = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
      auto code = c.keys.size() == 3 ? std::optional<charcode::CharCode>(charcode::CharCode(false, letters, groups))
                                     : dict_index::choose_code(views_of(c.keys), 1);
      ASSERT_TRUE(code.has_value());
      const dict_index::Layout d = dict_index::Layout::from_coded(views_of(c.keys), block, dict_index::micro_for(block), *code);
      ASSERT_NE(d.chars, nullptr);
      check_round_trip(d, c.keys);
      // Ties of the raw heads against ties of the stored samples.
      std::vector<std::string> heads;
      for (std::size_t i = 0; i < c.keys.size(); i += block) heads.push_back(c.keys[i]);
      std::size_t p = 0;
      while (p < heads.front().size() && p < heads.back().size() && heads.front()[p] == heads.back()[p]) ++p;
      std::uint64_t raw_ties = 0, coded_ties = 0;
      for (std::size_t i = 1; i < heads.size(); ++i) {
        raw_ties += word_of(heads[i], p) == word_of(heads[i - 1], p);
        coded_ties += d.samples()[i] == d.samples()[i - 1];
      }
      EXPECT_EQ(d.raw() != nullptr, raw_ties <= coded_ties) << raw_ties << " raw ties, " << coded_ties << " coded";
      if (c.name == std::string("tied") && block == 1) {
        EXPECT_EQ(d.raw(), nullptr);
      }
    }
  }
}

}  // namespace
