// The string index core: build, opens, the exact lookup and the key-by-rank
// walk, the ordered queries and streams, and dictionary matching, checked
// against a sorted key list and the examples of the definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>

#include <random>

#include "fst_test_util.hpp"
#include "string_index.hpp"
#include "temp_dir.hpp"

using namespace fsttest;
using quorvale::IndexError;
using quorvale::StringIndex;
namespace string_index = quorvale::string_index;
namespace blob = quorvale::blob;

namespace {

using Keys = std::vector<std::string>;
using Pairs = std::vector<std::pair<std::string, std::uint64_t>>;
using Occ = std::vector<string_index::Occurrence>;

Bytes blob_of_fst(const Bytes& fst) {
  // Sized first: GCC 12 warns falsely (-Warray-bounds) on an insert after
  // the four magic bytes.
  Bytes b(4 + fst.size());
  std::copy_n("BIX4", 4, b.begin());
  std::copy(fst.begin(), fst.end(), b.begin() + 4);
  return b;
}

Bytes blob_of(const StringIndex& index) {
  Bytes out;
  quorvale::VecWriter w(out);
  index.write_to(w);
  return out;
}

template <class A>
Pairs drain(string_index::EntryStream<A> s) {
  Pairs out;
  while (auto e = s.next()) out.emplace_back(std::move(e->key), e->id);
  return out;
}

// ---- brute force -----------------------------------------------------------

std::vector<std::uint32_t> code_points(const std::string& s) {
  std::vector<std::uint32_t> out;
  EXPECT_TRUE(utf8_chars(s, out)) << s;
  return out;
}

bool char_subsequence(const std::string& query, const std::string& key) {
  const auto q = code_points(query), k = code_points(key);
  std::size_t i = 0;
  for (std::size_t j = 0; j < k.size() && i < q.size(); ++j)
    if (k[j] == q[i]) ++i;
  return i == q.size();
}

// The keys (sorted, distinct) as the index should answer them.
struct Model {
  Keys keys;

  std::uint64_t lower_bound(const std::string& q) const {
    return std::lower_bound(keys.begin(), keys.end(), q) - keys.begin();
  }
  Pairs select(auto&& pred) const {
    Pairs out;
    for (std::size_t i = 0; i < keys.size(); ++i)
      if (pred(keys[i])) out.emplace_back(keys[i], i);
    return out;
  }
  std::optional<std::uint64_t> id(const std::string& k) const {
    auto it = std::lower_bound(keys.begin(), keys.end(), k);
    if (it == keys.end() || *it != k) return std::nullopt;
    return it - keys.begin();
  }
  Pairs common_prefix(const std::string& q) const {
    Pairs out;
    for (std::size_t len = 0; len <= q.size(); ++len)
      if (auto i = id(q.substr(0, len))) out.emplace_back(q.substr(0, len), *i);
    return out;
  }
  Occ occurrences(const std::string& text) const {
    std::vector<std::string> chars;
    for (std::size_t i = 0; i < text.size();) {
      std::size_t j = i + 1;
      while (j < text.size() && (static_cast<unsigned char>(text[j]) & 0xC0) == 0x80) ++j;
      chars.push_back(text.substr(i, j - i));
      i = j;
    }
    Occ out;
    for (std::size_t k = 0; k < chars.size(); ++k) {
      std::string s;
      for (std::size_t e = k + 1; e <= chars.size(); ++e) {
        s += chars[e - 1];
        if (auto i = id(s)) out.push_back({k, e, *i});
      }
    }
    return out;
  }
};

// Near misses of a key: a proper prefix, one byte more, something between
// it and the next key.
Keys probes_around(const Keys& keys, std::mt19937_64& rng, std::size_t count) {
  Keys out{"", "\x01", "~", "\xf4\x8f\xbf\xbf", "zzzz", "\xc3\xa9"};
  for (std::size_t i = 0; i < count && !keys.empty(); ++i) {
    const std::string& k = keys[rng() % keys.size()];
    out.push_back(k);
    if (!k.empty()) out.push_back(k.substr(0, k.size() - 1));
    out.push_back(k + "a");
    out.push_back(k + std::string(1, '\0'));
    if (!k.empty()) out.push_back(k.substr(0, rng() % k.size()));
  }
  return out;
}

void model_check(const Keys& sorted, std::uint64_t seed, bool thorough) {
  SCOPED_TRACE(sorted.size());
  std::mt19937_64 rng(seed);
  Keys input = sorted;
  for (std::size_t i = 0; i < sorted.size() / 10; ++i) input.push_back(sorted[rng() % sorted.size()]);  // repeats
  std::shuffle(input.begin(), input.end(), rng);
  const StringIndex index = StringIndex::build(input);
  const Model m{sorted};
  const std::uint64_t n = sorted.size();
  ASSERT_EQ(index.len(), n);

  for (std::uint64_t i = 0; i < n; ++i) {
    ASSERT_EQ(index.id(sorted[i]), i) << sorted[i];
    ASSERT_EQ(index.key(i), sorted[i]);
  }
  for (std::uint64_t r : {n, n + 1, ~std::uint64_t(0)}) EXPECT_FALSE(index.key(r));

  const Keys probes = probes_around(sorted, rng, thorough ? 300 : 60);
  for (const std::string& p : probes) {
    ASSERT_EQ(index.id(p), m.id(p)) << p;
    ASSERT_EQ(index.rank_of_first_ge(p), m.lower_bound(p)) << p;
  }

  // Prefixes of 1 to 3 characters, between keys, below and above all.
  Keys prefixes{"", "\x01", "\xf4\x8f\xbf\xbf", "zz", "\xef\xbd\x9a", "p"};
  for (std::size_t i = 0; i < (thorough ? 200u : 40u) && n > 0; ++i) {
    const std::string& k = sorted[rng() % n];
    const auto cps = code_points(k);
    std::size_t bytes = 0;
    for (std::size_t c = 0; c < std::min<std::size_t>(cps.size(), 1 + rng() % 3); ++c)
      bytes += cps[c] < 0x80 ? 1 : cps[c] < 0x800 ? 2 : cps[c] < 0x10000 ? 3 : 4;
    prefixes.push_back(k.substr(0, bytes));
    prefixes.push_back(k.substr(0, bytes) + "\x7f");
  }
  for (const std::string& p : prefixes) {
    const Pairs want = m.select([&](const std::string& k) { return k.starts_with(p); });
    const std::uint64_t start = m.lower_bound(p);
    ASSERT_EQ(index.prefix_id_range(p), std::make_pair(start, start + want.size())) << p;
    ASSERT_EQ(drain(index.prefix_iter(p)), want) << p;
  }

  if (!thorough) return;
  const Keys queries{"", "a", "ab", "é東", "\xf0\x9f\x98\x80", "cc", "pp/", "ba", "ssend"};
  for (const std::string& q : queries) {
    ASSERT_EQ(drain(index.subsequence_iter(q)), m.select([&](const std::string& k) { return char_subsequence(q, k); }))
        << q;
  }
  Keys fuzzy{"", "ab", "abc", "東京", "é", "x😀"};
  for (int i = 0; i < 6 && n > 0; ++i) fuzzy.push_back(sorted[rng() % n].substr(0, 12));
  for (const std::string& q : fuzzy) {
    const auto qc = code_points(q);
    for (std::uint32_t d : {0u, 1u, 2u}) {
      const Pairs want = m.select([&](const std::string& k) {
        const auto kc = code_points(k);
        return (kc.size() > qc.size() ? kc.size() - qc.size() : qc.size() - kc.size()) <= d &&
               distance(qc, kc) <= d;
      });
      ASSERT_EQ(drain(index.fuzzy_iter(string_index::levenshtein(q, d))), want) << q << " d=" << d;
    }
  }
  // Texts made of pieces of keys: dictionary matching at every character.
  for (int t = 0; t < 40 && n > 0; ++t) {
    std::string text;
    for (int j = 0; j < 3; ++j) text += sorted[rng() % n].substr(0, 40) + (j % 2 ? "é" : "");
    ASSERT_EQ(index.common_prefix(text), m.common_prefix(text)) << text;
    const Pairs all = m.common_prefix(text);
    auto longest = index.longest_prefix(text);
    ASSERT_EQ(longest.has_value(), !all.empty());
    if (longest) {
      ASSERT_EQ(*longest, all.back());
    }
    ASSERT_EQ(index.occurrences(text), m.occurrences(text)) << text;
  }
}

TEST(StringIndexPause, LongWalksPauseAndResumeExactly) {
  const Keys keys = random_keys(30000, 7, false);
  const StringIndex index = StringIndex::build(keys);
  int pauses = 0;
  auto counter = [&] { ++pauses; };
  const quorvale::Pause count(counter);
  string_index::Batch paced, plain;
  auto s1 = index.prefix_iter("");
  string_index::collect(s1, std::nullopt, paced, count);
  auto s2 = index.prefix_iter("");
  string_index::collect(s2, std::nullopt, plain);
  ASSERT_EQ(paced.size(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(paced.key(i), plain.key(i));
  EXPECT_GT(pauses, 0);
  pauses = 0;
  string_index::Batch batch;
  index.batch_after(std::nullopt, keys.size(), batch, count);
  ASSERT_EQ(batch.size(), keys.size());
  EXPECT_EQ(batch.key(keys.size() - 1), plain.key(keys.size() - 1));
  EXPECT_GT(pauses, 0);
  std::string text;
  for (std::size_t i = 0; i < 3000; ++i) text += keys[i * 7 % keys.size()];
  pauses = 0;
  EXPECT_EQ(index.occurrences(text, count), index.occurrences(text));
  EXPECT_GT(pauses, 0);
}

// 2^40 keys in 880 bytes pass the untrusted open; a walk that finds nothing
// among them still pauses, and a pause that throws ends it.
TEST(StringIndexPause, AWalkOverCraftedBytesEndsAtAPause) {
  const StringIndex index = StringIndex::from_untrusted_bytes(blob_of_fst(doubling_fst(40)));
  EXPECT_EQ(index.len(), std::uint64_t{1} << 40);
  struct Stop {};
  int pauses = 0;
  auto third = [&] {
    if (++pauses == 3) throw Stop{};
  };
  const quorvale::Pause stop_third(third);
  string_index::Batch out;
  auto none = index.subsequence_iter("c");
  EXPECT_THROW(string_index::collect(none, 1, out, stop_third), Stop);
  EXPECT_EQ(pauses, 3);
  EXPECT_EQ(out.size(), 0u);
  pauses = 0;
  auto all = index.prefix_iter("");
  EXPECT_THROW(string_index::collect(all, std::nullopt, out, stop_third), Stop);
  EXPECT_GT(out.size(), 0u);
  EXPECT_EQ(out.key(0), std::string(40, 'a'));
  EXPECT_EQ(out.id(out.size() - 1), out.size() - 1);
}

TEST(StringIndexModel, RandomKeySets) {
  model_check({}, 1, true);
  model_check({""}, 2, true);
  model_check(random_keys(40, 3, false), 3, true);
  model_check(random_keys(2000, 4, false), 4, true);
  model_check(random_keys(100000, 5, false), 5, false);
}

// Wide nodes: 256 two-byte characters under one lead byte range, so nodes
// of many transitions carry the transition index.
TEST(StringIndexModel, WideNodes) {
  Keys keys;
  for (unsigned a = 0xC2; a <= 0xDF; ++a)
    for (unsigned b = 0x80; b <= 0xBF; b += 3) keys.push_back(std::string{char(a), char(b)});
  for (unsigned c = 0x20; c < 0x7F; ++c) keys.push_back(std::string(1, char(c)) + "x");
  std::sort(keys.begin(), keys.end());
  model_check(keys, 6, true);
}

// ---- the exact lookup agrees with the FST engine on every node form -------

void expect_id_agrees(const Bytes& fst_bytes, const char* what) {
  SCOPED_TRACE(what);
  const StringIndex index = StringIndex::from_shared(blob::SharedBytes::from_owned(blob_of_fst(fst_bytes)), false);
  const fst::Fst f = open_copy(fst_bytes);
  Keys probes{"", "a", "t", "W", "zz"};
  fst::Stream<> s(f);
  while (auto item = s.next()) {
    std::string k(item->key.begin(), item->key.end());
    probes.push_back(k);
    probes.push_back(k + "q");
    if (!k.empty()) probes.push_back(k.substr(0, k.size() - 1));
    EXPECT_EQ(index.id(k), item->value);
  }
  for (const std::string& p : probes) EXPECT_EQ(index.id(p), f.get(p)) << p;
  for (unsigned b = 0; b < 256; ++b) {
    const std::string p(1, static_cast<char>(b));
    EXPECT_EQ(index.id(p), f.get(p)) << b;
  }
}

TEST(StringIndexId, AgreesWithTheLibraryOnEveryNodeForm) {
  {
    // Coded and stored inputs of both one-transition forms, a delta of 0.
    Bytes nodes;
    const std::uint64_t a = one(nodes, {'t', 5, 0}, 1, 1);      // coded, to address 0
    const std::uint64_t b = one(nodes, {'W', 0, a}, 1, 0);      // stored
    const std::uint64_t c = one_next(nodes, 'a');               // coded, to b
    const std::uint64_t d = one_next(nodes, 'X');               // stored, to c
    (void)b;
    (void)c;
    expect_id_agrees(wrap(3, nodes, 1, d), "one-transition forms");
  }
  struct Case {
    const char* what;
    std::uint64_t version;
    unsigned n;
    bool final;
  } cases[] = {
      {"32 transitions", 3, 32, false}, {"33, with index", 3, 33, true},   {"63 in the state byte", 2, 63, false},
      {"64, count byte", 3, 64, true},  {"256, count byte 1", 3, 256, false}, {"version 1 with 40", 1, 40, true},
      {"version 2 with 40", 2, 40, false},
  };
  for (const Case& c : cases) {
    Bytes nodes;
    const std::uint64_t leaf = multi(nodes, true, 0, {}, 0, 0, false);
    std::vector<T> ts;
    std::uint64_t out = c.final ? 1 : 0;
    for (unsigned i = 0; i < c.n; ++i) {
      ts.push_back({static_cast<unsigned char>(c.n == 256 ? i : 2 * i + 40), out, i % 3 ? leaf : 0});
      out += 1 + (i % 3 ? 1 : 0);
    }
    const bool index = c.version >= 2 && c.n > 32;
    const std::uint64_t root = multi(nodes, c.final, 0, ts, 1, 2, index);
    expect_id_agrees(wrap(c.version, nodes, out, root), c.what);
  }
  for (unsigned w = 1; w <= 8; ++w) {
    Bytes nodes;
    const std::uint64_t big = w == 8 ? ~std::uint64_t(0) - 5 : (std::uint64_t(1) << (8 * w)) - 3;
    const std::uint64_t leaf = multi(nodes, true, 0, {}, 0, 0, false);
    const std::uint64_t root = multi(nodes, true, 7, {{'a', big, leaf}, {'b', 1, 0}}, w, w, false);
    expect_id_agrees(wrap(3, nodes, 2, root), ("widths " + std::to_string(w)).c_str());
  }
  expect_id_agrees(build(random_keys(3000, 9, true), ranks(3000)), "built, raw bytes");
}

// 64-bit overflow of the accumulated output is absence.
TEST(StringIndexId, OverflowIsAbsence) {
  Bytes nodes;
  const std::uint64_t leaf = multi(nodes, true, 2, {}, 0, 8, false);
  const std::uint64_t root = multi(nodes, false, 0, {{'a', ~std::uint64_t(0), leaf}, {'b', ~std::uint64_t(0), 0}}, 1, 8, false);
  const StringIndex index = StringIndex::from_shared(blob::SharedBytes::from_owned(blob_of_fst(wrap(3, nodes, 2, root))), false);
  EXPECT_FALSE(index.id("a"));
  EXPECT_EQ(index.id("b"), ~std::uint64_t(0));
}

// A wrong byte in a transition index: the lookup confirms the input, so it
// can hide a member but never report a non-member.
TEST(StringIndexId, ConfirmsTheInputTheTransitionIndexNames) {
  Bytes nodes;
  std::vector<T> ts;
  for (unsigned i = 0; i < 40; ++i) ts.push_back({static_cast<unsigned char>('0' + i), i, 0});
  const std::uint64_t root = multi(nodes, false, 0, ts, 1, 1, true);
  const std::uint64_t index_at = root - 1 - 256;  // FST offset of index byte 0
  nodes[index_at - 16 + '!'] = 3;                  // '!' is no input; entry 3 is '3'
  nodes[index_at - 16 + '5'] = 255;                // hides '5'
  const StringIndex index = StringIndex::from_shared(blob::SharedBytes::from_owned(blob_of_fst(wrap(3, nodes, 40, root))), false);
  EXPECT_FALSE(index.id("!"));
  EXPECT_FALSE(index.id("5"));
  EXPECT_EQ(index.id("3"), 3u);
  EXPECT_TRUE(index.common_prefix("!").empty());
}

// ---- the definition's examples ----------------------------------------------

TEST(StringIndexExamples, BuildAndLookup) {
  const StringIndex none = StringIndex::build(Keys{});
  EXPECT_EQ(none.len(), 0u);
  EXPECT_TRUE(none.is_empty());
  const fst::Node root = none.fst().root();
  EXPECT_EQ(root.form(), fst::NodeForm::Multi);
  EXPECT_EQ(root.len(), 0u);
  EXPECT_FALSE(root.is_final());
  EXPECT_FALSE(none.id(""));
  EXPECT_FALSE(none.key(0));

  const StringIndex two = StringIndex::build(Keys{"a", ""});
  EXPECT_EQ(two.id(""), 0u);
  EXPECT_EQ(two.id("a"), 1u);

  const StringIndex empty_key = StringIndex::build(Keys{""});
  EXPECT_EQ(empty_key.fst_bytes().size(), 36u);
  EXPECT_EQ(empty_key.root(), 0u);
  EXPECT_EQ(empty_key.id(""), 0u);
  EXPECT_EQ(empty_key.key(0), "");
  EXPECT_FALSE(empty_key.id("a"));

  const StringIndex bab = StringIndex::build(Keys{"b", "a", "b"});
  EXPECT_EQ(bab.len(), 2u);
  EXPECT_EQ(bab.id("a"), 0u);
  EXPECT_EQ(bab.id("b"), 1u);

  const StringIndex words = StringIndex::build(Keys{"abc", "abd"});
  EXPECT_FALSE(words.id("ab"));    // a proper prefix
  EXPECT_FALSE(words.id("abcd"));  // one byte more
  EXPECT_FALSE(words.key(2));
  EXPECT_EQ(StringIndex::build(std::vector<std::string_view>{"x", "w"}).key(1), "x");
}

TEST(StringIndexExamples, OrderedQueries) {
  const StringIndex index = StringIndex::build(Keys{"a", "ab", "b"});
  EXPECT_EQ(index.prefix_id_range("a"), std::make_pair(std::uint64_t(0), std::uint64_t(2)));
  EXPECT_EQ(index.prefix_id_range("c"), std::make_pair(std::uint64_t(3), std::uint64_t(3)));
  EXPECT_EQ(index.prefix_id_range(""), std::make_pair(std::uint64_t(0), std::uint64_t(3)));
  EXPECT_EQ(index.prefix_id_range("aa"), std::make_pair(std::uint64_t(1), std::uint64_t(1)));
  EXPECT_EQ(index.prefix_id_range(std::string("\xff\xff")), std::make_pair(std::uint64_t(3), std::uint64_t(3)));
  EXPECT_EQ(index.rank_of_first_ge(""), 0u);
  EXPECT_EQ(index.rank_of_first_ge("ab"), 1u);
  EXPECT_EQ(index.rank_of_first_ge("zz"), 3u);

  const StringIndex sub = StringIndex::build(Keys{"abc", "acb", "ca"});
  EXPECT_EQ(drain(sub.subsequence_iter("ac")), (Pairs{{"abc", 0}, {"acb", 1}}));
  // U+00E9 does not match U+00C3 U+00A9, although its two bytes occur in order.
  const StringIndex accents = StringIndex::build(Keys{"\xc3\x83\xc2\xa9", "x\xc3\xa9"});
  EXPECT_EQ(drain(accents.subsequence_iter("\xc3\xa9")), (Pairs{{"x\xc3\xa9", 0}}));
  EXPECT_EQ(drain(accents.subsequence_iter("")).size(), 2u);

  const StringIndex with_empty = StringIndex::build(Keys{"b", "", "a"});
  EXPECT_EQ(drain(with_empty.prefix_iter("")), (Pairs{{"", 0}, {"a", 1}, {"b", 2}}));
  EXPECT_EQ(drain(with_empty.prefix_iter("a")), (Pairs{{"a", 1}}));
  EXPECT_EQ(drain(with_empty.fuzzy_iter(string_index::levenshtein("a", 0))), (Pairs{{"a", 1}}));
  EXPECT_TRUE(drain(with_empty.fuzzy_iter(string_index::levenshtein("c", 0))).empty());
  EXPECT_EQ(drain(with_empty.stream(fst::Range().gt("a"))), (Pairs{{"b", 2}}));
}

TEST(StringIndexExamples, LevenshteinLimitFailsBeforeAnyNodeIsRead) {
  try {
    (void)string_index::levenshtein(std::string(20000, 'x'), 0);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Automaton);
    EXPECT_STREQ(e.what(), "automaton error: Levenshtein automaton exceeds size limit of 10000 states");
  }
}

TEST(StringIndexExamples, DictionaryMatching) {
  const StringIndex abc = StringIndex::build(Keys{"", "a", "ab", "abc"});
  EXPECT_EQ(abc.common_prefix("abd"), (Pairs{{"", 0}, {"a", 1}, {"ab", 2}}));
  EXPECT_EQ(abc.longest_prefix("abd"), std::make_pair(std::string("ab"), std::uint64_t(2)));
  EXPECT_EQ(abc.longest_prefix("x"), std::make_pair(std::string(""), std::uint64_t(0)));
  EXPECT_EQ(abc.occurrences("ab"), (Occ{{0, 1, 1}, {0, 2, 2}}));
  EXPECT_EQ(abc.common_prefix(""), (Pairs{{"", 0}}));
  EXPECT_EQ(abc.common_prefix("x"), (Pairs{{"", 0}}));

  const StringIndex tokyo = StringIndex::build(Keys{"東京", "東京都"});
  EXPECT_EQ(tokyo.occurrences("東京都に"), (Occ{{0, 2, 0}, {0, 3, 1}}));
  EXPECT_EQ(tokyo.occurrences("に東京"), (Occ{{1, 3, 0}}));
  EXPECT_TRUE(tokyo.common_prefix("").empty());
  EXPECT_FALSE(tokyo.longest_prefix(""));

  // A first character above U+FFFF is walked from the root.
  const StringIndex astral = StringIndex::build(Keys{"😀", "😀a", "a", ""});
  EXPECT_EQ(astral.common_prefix("😀ab"), (Pairs{{"", 0}, {"😀", 2}, {"😀a", 3}}));
  EXPECT_EQ(astral.occurrences("x😀a"), (Occ{{1, 2, 2}, {1, 3, 3}, {2, 3, 1}}));

  const StringIndex none = StringIndex::build(Keys{});
  EXPECT_TRUE(none.common_prefix("abc").empty());
  EXPECT_FALSE(none.longest_prefix("abc"));
  EXPECT_TRUE(none.occurrences("abc").empty());
  EXPECT_EQ(none.first_chars()->bits().size(), 0u);

  const StringIndex only_empty = StringIndex::build(Keys{""});
  EXPECT_EQ(only_empty.common_prefix("abc"), (Pairs{{"", 0}}));
  EXPECT_EQ(only_empty.longest_prefix("abc"), std::make_pair(std::string(""), std::uint64_t(0)));
  EXPECT_TRUE(only_empty.occurrences("abc").empty());

  const StringIndex b = StringIndex::build(Keys{"", "b"});
  EXPECT_EQ(b.common_prefix("ab"), (Pairs{{"", 0}}));
  EXPECT_EQ(b.occurrences("ab"), (Occ{{1, 2, 1}}));
}

TEST(StringIndexExamples, FirstCharacterTable) {
  // "\xc0\x80" and "\xed\xa0\x80" are not characters: never in the table.
  const StringIndex index = StringIndex::build(Keys{"", "a", "é", "東京", "😀", "ｚ"});
  const quorvale::FirstChars* t = index.first_chars();
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(t->root_final());
  EXPECT_EQ(t->root_final_output(), 0u);
  EXPECT_EQ(t->targets().size(), 4u);  // a, é, 東, ｚ; not the four-byte 😀
  EXPECT_EQ(t->bits().size(), (0xFF5Au >> 6) + 1);
  ASSERT_NE(t->find(U'東'), nullptr);
  EXPECT_EQ(t->find(U'京'), nullptr);
  EXPECT_EQ(t->find(U'😀'), nullptr);
  EXPECT_EQ(t->ranks()[U'é' >> 6], 1u);
  EXPECT_EQ(t->targets()[0].output, 1u);  // "a" is id 1
  EXPECT_EQ(index.first_chars(), t);      // derived once
}

// ---- opens --------------------------------------------------------------------

std::string open_error(const Bytes& blob, int mode) {
  try {
    if (mode == 0) (void)StringIndex::from_shared(blob::SharedBytes::from_owned(blob), false);
    if (mode == 1) (void)StringIndex::from_bytes(blob);
    if (mode == 2) (void)StringIndex::from_untrusted_bytes(blob);
  } catch (const IndexError& e) {
    return e.what();
  }
  return "";
}

// Recomputes the CRC of a blob's FST (version 3) after a change.
void recrc(Bytes& blob) {
  const std::size_t L = blob.size();
  const std::uint32_t c = fst::mask_crc(fst::crc32c(std::span<const unsigned char>(blob.data() + 4, L - 8)));
  for (int i = 0; i < 4; ++i) blob[L - 4 + i] = static_cast<unsigned char>(c >> (8 * i));
}

void set_u64(Bytes& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

TEST(StringIndexOpen, Failures) {
  const Keys keys300 = random_keys(300, 11, false);
  const Bytes good = blob_of(StringIndex::build(keys300));
  EXPECT_EQ(open_error(good, 0), "");
  EXPECT_EQ(open_error(good, 1), "");
  EXPECT_EQ(open_error(good, 2), "");
  EXPECT_EQ(StringIndex::from_bytes(good).len(), keys300.size());

  for (int mode = 0; mode < 3; ++mode) {
    EXPECT_EQ(open_error({'B', 'I', 'X'}, mode), "format error: bad magic or truncated header");
    EXPECT_EQ(open_error({}, mode), "format error: bad magic or truncated header");
    Bytes magic = good;
    magic[3] = '3';
    EXPECT_EQ(open_error(magic, mode), "format error: bad magic or truncated header");
    EXPECT_EQ(open_error(Bytes(good.begin(), good.begin() + 39), mode), "fst error: FST error");
  }

  // Any changed FST byte fails the verifying open.
  for (std::size_t i = 4; i < good.size(); ++i) {
    Bytes bad = good;
    bad[i] ^= 0x04;
    const std::string e = open_error(bad, 1);
    ASSERT_TRUE(e == "fst error: FST error") << i << ": " << e;
  }

  // A root at or past the end, checksum recomputed.
  Bytes far = good;
  set_u64(far, far.size() - 12, far.size() - 4);
  recrc(far);
  EXPECT_EQ(open_error(far, 0), "format error: fst node address is outside the blob");
  EXPECT_EQ(open_error(far, 2), "format error: fst node address is outside the blob");

  // Version 2: opens unverified, fails verified and untrusted.
  Bytes nodes;
  const std::uint64_t leaf = multi(nodes, true, 0, {}, 0, 0, false);
  const std::uint64_t root = multi(nodes, false, 0, {{'a', 0, leaf}, {'b', 1, 0}}, 1, 1, false);
  const Bytes v2 = blob_of_fst(wrap(2, nodes, 2, root));
  EXPECT_EQ(open_error(v2, 0), "");
  EXPECT_EQ(StringIndex::from_shared(blob::SharedBytes::from_owned(v2), false).id("b"), 1u);
  EXPECT_EQ(open_error(v2, 1), "fst error: FST error");
  EXPECT_EQ(open_error(v2, 2), "fst error: FST error");

  // Values shifted by one, the builder's own checksum.
  const Keys keys{"a", "b", "c"};
  Bytes shifted = blob_of_fst(build(keys, {1, 2, 3}));
  EXPECT_EQ(open_error(shifted, 0), "");
  EXPECT_EQ(open_error(shifted, 1), "format error: string-index: FST values are not the sorted ranks");
  EXPECT_EQ(open_error(shifted, 2), "format error: fst value is not the key's rank");
  // The key count one too high: rank n - 1 has no key.
  Bytes more = blob_of(StringIndex::build(keys));
  set_u64(more, more.size() - 20, 4);
  recrc(more);
  EXPECT_EQ(open_error(more, 1), "format error: string-index: FST values are not the sorted ranks");
  EXPECT_EQ(open_error(more, 2), "format error: fst holds a different number of keys than its header says");
}

TEST(StringIndexOpen, AFailedOpenDropsItsReference) {
  const Bytes good = blob_of(StringIndex::build(Keys{"a", "b"}));
  Bytes bad = good;
  bad[10] ^= 1;
  for (bool verify : {false, true}) {
    blob::SharedBytes bytes = blob::SharedBytes::from_owned(verify ? bad : Bytes(good.begin(), good.begin() + 3));
    blob::SharedBytes keep = bytes.slice(0, 1);
    EXPECT_EQ(keep.use_count(), 2);
    EXPECT_THROW((void)StringIndex::from_shared(std::move(bytes), verify), IndexError);
    EXPECT_EQ(keep.use_count(), 1);
  }
  blob::SharedBytes bytes = blob::SharedBytes::from_owned(good);
  blob::SharedBytes keep = bytes.slice(0, 1);
  {
    const StringIndex index = StringIndex::from_shared(std::move(bytes), true);
    EXPECT_EQ(keep.use_count(), 2);
    auto s = index.stream();
    EXPECT_EQ(keep.use_count(), 2);  // the stream shares the index's reference
  }
  EXPECT_EQ(keep.use_count(), 1);
}

// ---- streamed insertion -------------------------------------------------------

// A sink that fails once it has taken `limit` bytes.
class FailingSink {
 public:
  explicit FailingSink(std::size_t limit) : limit_(limit) {}
  void write_all(std::span<const unsigned char> bytes) {
    if (taken_ + bytes.size() > limit_) throw IndexError::io(quorvale::IoKind::Other, "disk full");
    taken_ += bytes.size();
  }

 private:
  std::size_t limit_, taken_ = 0;
};

TEST(StringIndexInsertSorted, BothFormsWriteTheBuildsBytes) {
  namespace extsort = quorvale::extsort;
  const Keys keys = random_keys(5000, 21, false);
  const Bytes want = blob_of(StringIndex::build(keys));

  // One sorted run, written through a file as the file builds do.
  TempDir dir;
  {
    extsort::Run run(1 << 20);
    for (std::size_t i = keys.size(); i-- > 0;) run.push(keys[i]);
    quorvale::File file(::open((dir / "one").c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644));
    quorvale::BufWriter w(file);
    w.write_all(std::span<const unsigned char>(string_index::MAGIC, 4));
    fst::MapBuilder builder(w);
    EXPECT_EQ(StringIndex::insert_sorted(builder, run.sorted()), keys.size());
    StringIndex::finish(builder);
    w.flush();
    EXPECT_EQ(read_file(dir / "one"), std::string(want.begin(), want.end()));
  }
  // A merge of runs with keys repeated across them.
  {
    extsort::Runs runs(dir / "out");
    for (int r = 0; r < 3; ++r) {
      std::vector<std::string_view> part;
      for (std::size_t i = 0; i < keys.size(); ++i)
        if (i % 3 == static_cast<std::size_t>(r) || i % 7 == 0) part.emplace_back(keys[i]);
      runs.spill(part);
    }
    extsort::MergedStream merged = runs.merge();
    fst::MemorySink sink;
    sink.write_all(std::span<const unsigned char>(string_index::MAGIC, 4));
    fst::MapBuilder builder(sink);
    EXPECT_EQ(StringIndex::insert_sorted(builder, merged), keys.size());
    StringIndex::finish(builder);
    EXPECT_EQ(sink.bytes(), want);
  }
}

TEST(StringIndexInsertSorted, Failures) {
  namespace extsort = quorvale::extsort;
  // A descending pair in a view (the builder refuses it).
  const std::string bytes = "ba";
  const quorvale::KeySpan spans[] = {{0, 1}, {1, 1}};
  fst::MemorySink sink;
  fst::MapBuilder builder(sink);
  EXPECT_EQ(index_error_of([&] { StringIndex::insert_sorted(builder, extsort::KeyView(bytes.data(), spans, 2, true)); }),
            "fst error: FST error");

  // A failing sink: the builder's I/O error, while inserting or at the end.
  const Keys keys = random_keys(20000, 22, false);
  extsort::Run run(1 << 22);
  for (const auto& k : keys) run.push(k);
  for (std::size_t limit : {std::size_t(0), std::size_t(1) << 30}) {
    FailingSink failing(limit == 0 ? 100 : limit);
    fst::MapBuilder b(failing);
    const std::string e = index_error_of([&] {
      StringIndex::insert_sorted(b, run.sorted());
      StringIndex::finish(b);
    });
    EXPECT_EQ(e, limit == 0 ? "fst error: I/O error" : "");
  }
  FailingSink at_end(20);
  fst::MapBuilder b(at_end);
  EXPECT_EQ(index_error_of([&] {
              StringIndex::insert_sorted(b, extsort::KeyView(bytes.data(), spans, 1, true));
              StringIndex::finish(b);
            }),
            "fst error: I/O error");

  // A span that is not UTF-8 breaks the run's invariant.
  const std::string raw = "\xff";
  const quorvale::KeySpan one_span[] = {{0, 1}};
  fst::MemorySink s2;
  fst::MapBuilder b2(s2);
  try {
    StringIndex::insert_sorted(b2, extsort::KeyView(raw.data(), one_span, 1, false));
    FAIL();
  } catch (const quorvale::Panic& p) {
    EXPECT_STREQ(p.what(), "appended from a str");
  }
  EXPECT_EQ(StringIndex::insert_sorted(b2, extsort::KeyView(raw.data(), one_span, 1, true)), 1u);
}

}  // namespace
