#include "ties.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace quorvale {
namespace {

using ties::Bytes;
using ties::Ties;

// Block heads over a vector, with the dictionary's comparators stubbed on it:
// samples are the 8 bytes after the head prefix, the head search a binary
// search over whole heads.
struct Heads {
  std::vector<std::string> h;
  std::uint64_t prefix = 0;
  mutable int searches = 0;

  explicit Heads(std::vector<std::string> heads) : h(std::move(heads)) {
    prefix = ties::common_prefix(at(0), at(h.size() - 1));
  }
  Bytes at(std::uint64_t i) const { return {reinterpret_cast<const unsigned char*>(h[i].data()), h[i].size()}; }
  std::vector<std::uint64_t> samples() const {
    std::vector<std::uint64_t> s;
    for (std::size_t i = 0; i < h.size(); ++i) s.push_back(ties::word_at(at(i), prefix));
    return s;
  }
  std::optional<Ties> derive() const {
    return Ties::derive(samples(), [this](std::uint64_t i) { return at(i); });
  }
  // Blocks in [lo, hi) whose head is not above q, counted from lo.
  std::uint64_t head_boundary(Bytes q, std::uint64_t lo, std::uint64_t hi) const {
    ++searches;
    const std::string qs(reinterpret_cast<const char*>(q.data()), q.size());
    return static_cast<std::uint64_t>(std::upper_bound(h.begin() + static_cast<std::ptrdiff_t>(lo), h.begin() + static_cast<std::ptrdiff_t>(hi), qs) - h.begin());
  }
  ties::Boundary walk(const Ties& t, std::uint32_t node, const std::string& q) const {
    return t.boundary(
        node, Bytes(reinterpret_cast<const unsigned char*>(q.data()), q.size()), [this](std::uint64_t i) { return at(i); },
        [this](Bytes query, std::uint64_t lo, std::uint64_t hi) { return head_boundary(query, lo, hi); });
  }
  std::uint64_t rank(const std::string& q) const {
    return static_cast<std::uint64_t>(std::upper_bound(h.begin(), h.end(), q) - h.begin());
  }
};

std::uint64_t be(const std::string& s) {
  return ties::word_at(Bytes(reinterpret_cast<const unsigned char*>(s.data()), s.size()), 0);
}

TEST(Ties, DistinctSamplesDeriveNothing) {
  EXPECT_FALSE(Heads({"apple", "banana", "cherry"}).derive());
  EXPECT_FALSE(Heads({"only"}).derive());
}

TEST(Ties, TwoBlockTie) {
  const Heads heads({"a", "abcdefgh1", "abcdefgh2", "b"});
  const auto t = heads.derive();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->roots, (std::vector<std::uint32_t>{1}));
  ASSERT_EQ(t->nodes.size(), 1u);
  EXPECT_EQ(t->nodes[0].offset, 8u);
  EXPECT_EQ(t->nodes[0].first, 0u);
  EXPECT_EQ(t->nodes[0].count, 2u);
  EXPECT_EQ(t->nodes[0].end, 3u);
  EXPECT_EQ(t->words, (std::vector<std::uint64_t>{be("1"), be("2")}));
  EXPECT_EQ(t->values, (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(t->children, (std::vector<std::uint32_t>{ties::kLeaf, ties::kLeaf}));

  // The second block's head: boundary after it, that head compared whole.
  auto r = heads.walk(*t, 0, "abcdefgh2");
  EXPECT_EQ(r.boundary, 3u);
  EXPECT_TRUE(r.at_block);
  EXPECT_EQ(r.common, 9u);
  EXPECT_EQ(r.head_len, 9u);
  // Between the two heads: the first block's head was compared.
  r = heads.walk(*t, 0, "abcdefgh1x");
  EXPECT_EQ(r.boundary, 2u);
  EXPECT_TRUE(r.at_block);
  EXPECT_EQ(r.common, 9u);
  EXPECT_EQ(r.head_len, 9u);
  // Below both, and above both.
  r = heads.walk(*t, 0, "abcdefgh0");
  EXPECT_EQ(r.boundary, 1u);
  EXPECT_FALSE(r.at_block);
  r = heads.walk(*t, 0, "abcdefgh3");
  EXPECT_EQ(r.boundary, 3u);
  EXPECT_TRUE(r.at_block);
  EXPECT_EQ(heads.searches, 0);
}

TEST(Ties, TrailingZeroBytesGetNoRoot) {
  using namespace std::string_literals;
  EXPECT_FALSE(Heads({"abcdefgh", "abcdefgh\0"s}).derive());
  // Beside a tie that does get a root.
  const auto t = Heads({"abcdefgh", "abcdefgh\0"s, "abcdefgi", "abcdefgzzzzzzzz1", "abcdefgzzzzzzzz2"}).derive();
  ASSERT_TRUE(t);
  EXPECT_EQ(t->roots, (std::vector<std::uint32_t>{3}));
  EXPECT_EQ(t->nodes[0].offset, 15u);
}

TEST(Ties, RangeAtDepth32) {
  // Block 1 + b: the stem, b words of B, one word of A. Every node splits one
  // block off the rest one word deeper, until depth 32 keeps blocks [33, 36)
  // as a range.
  std::vector<std::string> h = {"a"};
  for (int b = 0; b < 35; ++b) h.push_back("ssssssss" + std::string(8 * b, 'B') + "AAAAAAAA");
  h.push_back("z");
  const Heads heads(h);
  const auto t = heads.derive();
  ASSERT_TRUE(t);
  ASSERT_EQ(t->nodes.size(), 32u);
  EXPECT_EQ(t->nodes[31].offset, 8u + 8 * 31);
  EXPECT_EQ(t->children.back(), ties::kRange);
  EXPECT_EQ(t->values.back(), 33u);
  for (std::size_t b = 1; b < 36; ++b) {
    for (const std::string& q : {h[b], h[b] + "x", h[b].substr(0, h[b].size() - 1)}) {
      heads.searches = 0;
      const auto r = heads.walk(*t, 0, q);
      EXPECT_EQ(r.boundary, heads.rank(q)) << b << " " << q;
      EXPECT_EQ(heads.searches, b >= 33 ? 1 : 0) << b;
    }
  }
}

TEST(Ties, QueryLeavingTheHeadsBeforeANodeIsCorrected) {
  // Root at 8 (X or Y), child at 24 (1 or 2); bytes 16..24 agree in the heads.
  const Heads heads({"a", "abcdefghXXXXXXXXZZZZZZZZ1", "abcdefghXXXXXXXXZZZZZZZZ2", "abcdefghYYYYYYYY", "b"});
  const auto t = heads.derive();
  ASSERT_TRUE(t);
  ASSERT_EQ(t->nodes.size(), 2u);
  EXPECT_EQ(t->nodes[1].offset, 24u);
  // Matches the words at 8 and 24 but parts from the heads at 16.
  auto r = heads.walk(*t, 0, "abcdefghXXXXXXXXAAAAAAAA2");
  EXPECT_EQ(r.boundary, 1u);
  EXPECT_EQ(r.common, 16u);
  r = heads.walk(*t, 0, "abcdefghXXXXXXXXzzzzzzzz2");
  EXPECT_EQ(r.boundary, 3u);
  EXPECT_TRUE(r.at_block);
  EXPECT_EQ(r.common, 16u);
  // A limit before the root's offset: below every block of the tie, or above.
  EXPECT_EQ(t->correct(0, Bytes(), 3, true), 1u);
  EXPECT_EQ(t->correct(0, Bytes(), 3, false), 4u);
}

TEST(Ties, Root) {
  const std::vector<std::uint32_t> roots = {3, 10};
  const struct {
    std::uint64_t block;
    bool found;
    std::uint64_t position;
  } cases[] = {{0, false, 0}, {3, true, 0}, {5, false, 1}, {10, true, 1}, {11, false, 2},
               {(1ULL << 32) + 3, false, 2}, {UINT64_MAX, false, 2}};
  for (const auto& c : cases) {
    const auto r = Ties::root(roots, c.block);
    EXPECT_EQ(r.found, c.found) << c.block;
    EXPECT_EQ(r.position, c.position) << c.block;
  }
  EXPECT_FALSE(Ties::root({}, 0).found);
}

TEST(Ties, WordsAndPrefixes) {
  using namespace std::string_literals;
  const std::string s = "0123456789abcdef";
  const Bytes b(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  EXPECT_EQ(ties::word_at(b, 0), 0x3031323334353637ULL);
  EXPECT_EQ(ties::word_at(b, 12), 0x6364656600000000ULL);
  EXPECT_EQ(ties::word_at(b, 16), 0u);
  EXPECT_EQ(ties::word_at(b, 1ULL << 40), 0u);
  const std::string t = "0123456789abcdeX";
  for (std::size_t n = 0; n <= s.size(); ++n) {
    const Bytes x(reinterpret_cast<const unsigned char*>(t.data()), n);
    EXPECT_EQ(ties::common_prefix(b, x), std::min<std::size_t>(n, 15));
  }
}

// The walk to the node where a query stops, to count the queries that take
// the corrected path.
std::uint32_t stop_offset(const Ties& t, std::uint32_t node, Bytes q) {
  for (;;) {
    const auto& nd = t.nodes[node];
    const std::uint64_t w = ties::word_at(q, nd.offset);
    const auto* ws = t.words.data() + nd.first;
    const auto i = std::lower_bound(ws, ws + nd.count, w) - ws;
    if (i == nd.count || ws[i] != w || t.children[nd.first + i] >= ties::kRange) return nd.offset;
    node = t.children[nd.first + i];
  }
}

TEST(TiesProperty, BoundaryMatchesHeadSearch) {
  std::mt19937 rng(21);
  std::uniform_int_distribution<int> coin(0, 1);
  int tie_queries = 0, corrected = 0, ranges = 0;
  for (int round = 0; round < 30; ++round) {
    // Keys on a few long shared stems, branching at every depth.
    std::vector<std::string> stems, templates;
    for (int i = 0; i < 3; ++i) stems.push_back("stem" + std::string(4 + rng() % 30, "ab"[coin(rng)]) + char('a' + i));
    for (int i = 0; i < 4; ++i) {
      std::string tpl;
      for (int j = 0; j < 160; ++j) tpl += "ab\0"[rng() % (j % 9 == 0 ? 3 : 2)];
      templates.push_back(tpl);
    }
    auto make_key = [&] {
      std::string k = stems[rng() % stems.size()] + templates[rng() % templates.size()].substr(0, rng() % 160);
      for (int j = rng() % 3; j > 0; --j) k += "ab\0z"[rng() % 4];
      return k;
    };
    std::vector<std::string> keys;
    for (int i = 0; i < 600; ++i) keys.push_back(make_key());
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    const Heads heads(keys);
    const auto samples = heads.samples();
    const auto t = heads.derive();
    if (!t) continue;

    // Shape: roots first, each node's words ascending from its first block,
    // its offset the common prefix of its first and last heads.
    ASSERT_LE(t->roots.size(), t->nodes.size());
    for (std::size_t n = 0; n < t->nodes.size(); ++n) {
      const auto& nd = t->nodes[n];
      ASSERT_GE(nd.count, 2u);
      const std::uint64_t lo = t->values[nd.first];
      ASSERT_EQ(nd.offset, ties::common_prefix(heads.at(lo), heads.at(nd.end - 1)));
      for (std::uint32_t i = 1; i < nd.count; ++i) ASSERT_LT(t->words[nd.first + i - 1], t->words[nd.first + i]);
      if (n < t->roots.size()) {
        ASSERT_EQ(lo, t->roots[n]);
      }
    }
    for (std::uint32_t c : t->children) ranges += c == ties::kRange;

    std::vector<std::string> queries;
    for (int i = 0; i < 1500; ++i) {
      std::string q = i % 2 ? keys[rng() % keys.size()] : make_key();
      switch (rng() % 5) {
        case 0: break;
        case 1: q += "ab\0z"[rng() % 4]; break;
        case 2: if (!q.empty()) q.pop_back(); break;
        default:
          if (!q.empty()) q[rng() % q.size()] = "ab\0z"[rng() % 4];
      }
      queries.push_back(q);
    }
    const std::string head_prefix = keys[0].substr(0, heads.prefix);
    for (const auto& q : queries) {
      if (q.compare(0, head_prefix.size(), head_prefix) != 0) continue;
      const Bytes qb(reinterpret_cast<const unsigned char*>(q.data()), q.size());
      const std::uint64_t s = ties::word_at(qb, heads.prefix);
      const std::uint64_t e = static_cast<std::uint64_t>(std::lower_bound(samples.begin(), samples.end(), s) - samples.begin());
      if (e + 1 >= samples.size() || samples[e] != s || samples[e + 1] != s) continue;
      const auto root = Ties::root(t->roots, e);
      if (!root.found) continue;
      ++tie_queries;
      const auto node = static_cast<std::uint32_t>(root.position);
      const auto r = heads.walk(*t, node, q);
      ASSERT_EQ(r.boundary, heads.rank(q)) << round << " " << q;
      if (r.at_block) {
        ASSERT_EQ(r.common, ties::common_prefix(qb, heads.at(r.boundary - 1)));
        ASSERT_EQ(r.head_len, keys[r.boundary - 1].size());
      }
      corrected += r.common < stop_offset(*t, node, qb);
    }
  }
  EXPECT_GT(tie_queries, 5000);
  EXPECT_GT(corrected, 100);
  EXPECT_GT(ranges, 0);
  RecordProperty("tie_queries", tie_queries);
  RecordProperty("corrected", corrected);
}

}  // namespace
}  // namespace quorvale
