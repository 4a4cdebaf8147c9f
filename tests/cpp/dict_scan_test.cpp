// The run scans over hand-made runs: every header mode and codec (six
// instances), escapes, literals, phrases of every length class, packed
// widths 1 to 8 with and without escapes, and unreadable runs. Each run is
// scanned for every entry and its neighbours, and the answer is checked
// against the run's keys.
#include <gtest/gtest.h>

#include <map>

#include "dict_index/layout.hpp"
#include "dict_build_util.hpp"
#include "dict_fixtures.hpp"
#include "dict_search_util.hpp"

using namespace quorvale;
using dictsearch::Exact;
using dictsearch::lcp;

namespace {

// A run laid out by the test-side writer: its keys (the first key first),
// its codec and header code, and the phrases a Tiered codec names.
struct HandRun {
  std::string name;
  std::vector<std::string> keys;
  dictfix::Codec codec;
  dictfix::Code code;
  std::vector<std::string> phrases;
};

// A table code over the run's own pairs: the first `size` distinct ones,
// the rest escaped.
dictfix::Table table_of(const std::vector<dictfix::detail::Entry>& entries, unsigned e, std::size_t size) {
  dictfix::Table t{e, {}};
  for (const auto& en : entries) {
    const std::pair<unsigned, unsigned> p{static_cast<unsigned>(en.x), static_cast<unsigned>(en.suffix.units.size())};
    if (p.first > 255 || p.second > 255) continue;
    if (std::find(t.pairs.begin(), t.pairs.end(), p) == t.pairs.end() && t.pairs.size() < size) t.pairs.push_back(p);
  }
  return t;
}

struct Opened {
  dict_index::Layout index;  // holds the phrases
  dict_index::Codec codec;
  paircode::Code code;
  dictfix::Bytes bytes;
};

Opened open(const HandRun& r) {
  dictfix::Layout layout;
  layout.phrases = r.phrases;
  std::vector<dictfix::detail::Entry> entries;
  for (std::size_t i = 1; i < r.keys.size(); ++i) {
    const std::size_t x = lcp(r.keys[i - 1], r.keys[i]);
    entries.push_back({x, dictfix::detail::code_suffix(r.codec, layout, r.keys[i].substr(x))});
  }
  dictfix::Code code = r.code;
  if (auto* f = std::get_if<dictfix::Fields>(&code)) code = dictfix::detail::fit_code(*f, {entries});
  if (auto* t = std::get_if<dictfix::Table>(&code); t && t->pairs.empty()) code = table_of(entries, t->e, (1u << t->e) - 2);
  Opened o{dict_index::Layout{}, *dict_index::Codec::read(dictfix::detail::codec_record(r.codec)), paircode::Code{},
           dictfix::detail::write_run(entries, code, r.codec).bytes};
  const auto record = dictfix::detail::code_record(code);
  o.code = paircode::Code::read(record)->code;
  const auto section = dictfix::detail::phrase_section(r.phrases);
  o.index.phrases = *phrase::Dict::read(section);
  return o;
}

std::size_t total_checked = 0;

// Scans a run (keys: its keys, the first key first) for every key and its
// neighbours above the first key; open() gives a fresh cursor over it.
template <class Open>
void check_scans(const dict_index::Layout& index, const std::vector<std::string>& keys, Open&& open_cursor) {
  const std::uint64_t k = keys.size();
  std::set<std::string> queries;
  for (const std::string& key : keys) {
    for (std::size_t cut = 0; cut <= key.size(); ++cut) queries.insert(key.substr(0, cut));
    queries.insert(key + std::string(1, '\0'));
    queries.insert(key + "\xff");
    if (!key.empty()) {
      std::string a = key, b = key;
      if (static_cast<unsigned char>(a.back()) < 0xff) ++a.back(), queries.insert(a);
      if (static_cast<unsigned char>(b.back()) > 0) --b.back(), queries.insert(b);
    }
  }
  for (const std::string& q : queries) {
    if (q <= keys[0]) continue;  // the first key is below every scanned query
    std::uint64_t below = 0;
    bool found = false;
    for (std::uint64_t i = 1; i < k; ++i) {
      if (keys[i] < q) ++below;
      found |= keys[i] == q;
    }
    const dict_index::Scan want{found ? below + 1 : below, found ? q.size() : lcp(q, keys[below]), found};
    const dict_index::RunCursor c = open_cursor();
    ASSERT_EQ(c.entries + 1, k) << "the run opens";
    const Exact query(q);
    const dict_index::Scan got = index.scan_run(c, k, query.span(), lcp(q, keys[0]));
    ASSERT_EQ(got, want) << "query '" << q << "' (" << q.size() << " bytes): got (" << got.position << ", "
                         << got.depth << ", " << got.found << ")";
    ++total_checked;
  }
}

void check_run(const HandRun& r) {
  SCOPED_TRACE(r.name);
  Opened o = open(r);
  // An exact-size copy of the run, so that a read past it is caught.
  const Exact run(std::string(o.bytes.begin(), o.bytes.end()));
  check_scans(o.index, r.keys,
              [&] { return dict_index::RunCursor::open(run.span(), o.code, r.keys.size(), o.codec); });
}

std::vector<std::string> slice(std::vector<std::string> keys, std::size_t n) {
  if (keys.size() > n) keys.resize(n);
  return keys;
}

// Both header modes of one codec over one key list.
void both_modes(std::vector<HandRun>& runs, const std::string& name, const std::vector<std::string>& keys,
                const dictfix::Codec& codec, const std::vector<std::string>& phrases = {}) {
  runs.push_back({name + ", table mode", keys, codec, dictfix::Table{3, {}}, phrases});
  runs.push_back({name + ", field mode", keys, codec, dictfix::Fields{}, phrases});
}

std::vector<HandRun> hand_runs() {
  std::vector<HandRun> runs;
  const auto words = dictfix::sorted_unique(
      {"", "a", "ab", "abc", "abcd", "abcdefghijk", "abd", "b", "ba", "bab", "babe", "c", "ca", "cab", "cabin", "d"});
  both_modes(runs, "symbols", words, dictfix::Symbols{{"ab", "c", "in", "e", "abcd", "defghijk"}});
  both_modes(runs, "literals only", words, dictfix::Symbols{});
  both_modes(runs, "symbols, random", slice(dictfix::random_keys(40, 11, "abcdefgh", 20), 40),
             dictfix::Symbols{{"ab", "cd", "efgh", "abcdefgh", "h"}});
  // Escaped entries in table mode: a tiny table, most pairs escaped.
  runs.push_back({"symbols, escapes", words, dictfix::Symbols{{"a", "b"}}, dictfix::Table{1, {{1, 1}}}, {}});
  // Tiered: phrases of 8, 9, 16, 17, 24, 25 and 32 bytes; over 256 phrases,
  // so that three-byte codes occur.
  std::vector<std::string> phrases;
  for (std::size_t len : {8u, 9u, 16u, 17u, 24u, 25u, 32u, 1u, 3u})
    for (char c = 'A'; c < 'A' + 3; ++c) phrases.push_back(std::string(len - 1, c) + static_cast<char>('0' + len % 10));
  while (phrases.size() < 300) phrases.push_back(std::string("<").append(std::to_string(phrases.size() * 7919)) + ">");
  std::vector<std::string> tkeys{"k"};
  for (std::size_t i : {0u, 3u, 5u, 9u, 12u, 15u, 18u, 20u, 26u, 257u, 290u})
    for (const char* tail : {"", "x", "yz"}) tkeys.push_back("k" + phrases[i] + tail);
  tkeys.push_back("k" + phrases[3] + phrases[290]);
  tkeys.push_back("k" + phrases[257] + phrases[18]);
  tkeys = dictfix::sorted_unique(tkeys);
  both_modes(runs, "tiered", tkeys, dictfix::Tiered{253, 1, {"k", "x", "y", "z"}}, phrases);
  // Packed at every width, without escapes (the all-ones code a primary
  // byte when the primary is full) and with secondary and raw bytes.
  std::string order = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.~!$&'()*+,;=:@%/?#[]";
  for (int c = 0; c < 256; ++c)
    if (order.find(static_cast<char>(c)) == std::string::npos) order.push_back(static_cast<char>(c));
  for (unsigned w = 1; w <= 8; ++w) {
    const std::size_t full = std::size_t{1} << w;
    const std::string primary = order.substr(0, full);
    both_modes(runs, "packed w=" + std::to_string(w) + " full primary",
               slice(dictfix::random_keys(30, 20 + w, primary.substr(0, std::min<std::size_t>(full, 12)), 10), 30),
               dictfix::Packed{w, primary, ""});
    // With a secondary alphabet: primary 2^w - 1 bytes, one secondary byte,
    // and (below w = 8) bytes in neither, spelled raw.
    const std::string p2 = order.substr(0, full - 1), sec = order.substr(full - 1, 1);
    std::string used = p2.substr(0, std::min<std::size_t>(p2.size(), 4)) + sec;
    if (w < 8) used += order.substr(254, 2);
    both_modes(runs, "packed w=" + std::to_string(w) + " escapes", slice(dictfix::random_keys(30, 40 + w, used, 8), 30),
               dictfix::Packed{w, p2, sec});
  }
  // One-key runs: no entries.
  both_modes(runs, "one key", {"solo"}, dictfix::Symbols{{"so"}});
  // Field mode with both widths 0: every entry escaped.
  runs.push_back({"field widths 0", words, dictfix::Symbols{{"ab"}}, dictfix::Fields{false}, {}});
  return runs;
}

}  // namespace

TEST(DictScan, HandMadeRunsAgreeWithTheirKeys) {
  for (const HandRun& r : hand_runs()) check_run(r);
  EXPECT_GT(total_checked, 5000u);
}

TEST(DictScan, CountOtherThanEntriesPlusOneScansNothing) {
  // Table mode at 3 bits: 3 entries take two header bytes.
  const HandRun r{"symbols", {"a", "ab", "abc", "b"}, dictfix::Symbols{{"a", "b", "c"}}, dictfix::Table{3, {}}, {}};
  Opened o = open(r);
  const auto c = dict_index::RunCursor::open(o.bytes, o.code, 4, o.codec);
  ASSERT_EQ(c.entries, 3u);
  const Exact q(std::string("b"));
  EXPECT_EQ(o.index.scan_run(c, 4, q.span(), 0), (dict_index::Scan{3, 1, true}));
  for (std::uint64_t count : {0u, 1u, 3u, 5u}) EXPECT_EQ(o.index.scan_run(c, count, q.span(), 0), (dict_index::Scan{0, 0, false}));
  // A run too short for its headers opens empty: it scans as empty only
  // when its key count says it has no entries.
  const auto cut = dict_index::RunCursor::open(std::span<const unsigned char>(o.bytes).first(1), o.code, 4, o.codec);
  EXPECT_EQ(cut.entries, 0u);
  EXPECT_EQ(o.index.scan_run(cut, 4, q.span(), 0), (dict_index::Scan{0, 0, false}));
}

TEST(DictScan, FieldWidthOver15OpensEmpty) {
  // Least x width 15 and one bit of x-width offset: a run whose field is 1
  // declares width 16 and cannot be read; with field 0 it can.
  dictfix::Fields f{false};
  f.min_wx = 15;
  f.P = 1;
  const auto record = dictfix::detail::code_record(f);
  const paircode::Code code = paircode::Code::read(record)->code;
  const auto codec = *dict_index::Codec::read(dictfix::detail::codec_record(dictfix::Symbols{}));
  dict_index::Layout index;
  const std::vector<unsigned char> wide(16, 0xff), narrow{0x00, 0, 0, 0, 0, 0, 0, 0};
  const Exact q(std::string("zz"));
  const auto c16 = dict_index::RunCursor::open(std::span<const unsigned char>(wide), code, 3, codec);
  EXPECT_FALSE(c16.readable);
  EXPECT_EQ(index.scan_run(c16, 3, q.span(), 1), (dict_index::Scan{0, 1, false}));
  const auto c15 = dict_index::RunCursor::open(std::span<const unsigned char>(narrow), code, 3, codec);
  EXPECT_TRUE(c15.readable);
  EXPECT_EQ(c15.width, 15u);
}

TEST(DictScan, RunsOfBuiltDictionaries) {
  // Every restart run and microblock run of built dictionaries, over the
  // codecs and header modes the build chooses for these corpora.
  const std::vector<std::vector<std::string>> corpora{
      buildfix::paths(3000, 61), buildfix::urls(3000, 62), buildfix::decimal_ids(1000000, 3000),
      buildfix::cyrillic(3000, 63), buildfix::prefixes(), dictfix::random_keys(3000, 64, "ab", 20)};
  std::set<std::size_t> codecs;
  std::set<bool> modes;
  for (const auto& keys : corpora) {
    for (std::uint64_t block : {32u, 256u}) {
      const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(keys), block);
      std::vector<unsigned char> stored;
      auto key_at = [&](std::uint64_t id) {
        EXPECT_TRUE(d.key_bytes_into(id, stored));
        return std::string(stored.begin(), stored.end());
      };
      for (std::uint64_t b = 0; b < d.block_count(); b += 3) {
        const std::uint64_t first = b * d.block, kb = d.block_keys(b), m = d.microblocks(b);
        codecs.insert(d.codecs[d.shard_of(b)].v.index());
        if (m >= 2) {
          std::vector<std::string> restarts;
          for (std::uint64_t j = 0; j < m; ++j) restarts.push_back(key_at(first + j * d.micro));
          modes.insert(d.open_restart(b).fields);
          check_scans(d, restarts, [&] { return d.open_restart(b); });
        }
        for (std::uint64_t j = 0; j < m; ++j) {
          std::vector<std::string> run;
          for (std::uint64_t i = j * d.micro; i < std::min(kb, (j + 1) * d.micro); ++i) run.push_back(key_at(first + i));
          modes.insert(d.open_micro(b, j).fields);
          check_scans(d, run, [&] { return d.open_micro(b, j); });
        }
        if (HasFatalFailure()) return;
      }
    }
  }
  EXPECT_GE(codecs.size(), 2u) << "symbol and packed shards";
  EXPECT_EQ(modes.size(), 2u) << "table and field mode";
}
