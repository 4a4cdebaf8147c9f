// Streams over built maps: every bounded stream equals the sorted key list
// filtered by its bounds; starts-with equals a prefix filter; exact lookup.
#include <gtest/gtest.h>

#include "fst/automaton.hpp"
#include "fst/stream.hpp"
#include "fst_test_util.hpp"

using namespace fsttest;

namespace {

using Items = std::vector<std::pair<std::string, std::uint64_t>>;

// Every stream is also walked in budgets of 1 to 7 steps, each pause
// resumed by the next call: the same items come out.
template <class A>
Items drain(const fst::Fst& f, fst::Range range, A aut) {
  fst::Stream<A> s(f, range, aut);
  Items out;
  while (auto item = s.next()) out.emplace_back(std::string(item->key.begin(), item->key.end()), item->value);
  fst::Stream<A> paced(f, std::move(range), std::move(aut));
  Items again;
  for (std::uint64_t step = 1;; step = step % 7 + 1) {
    std::uint64_t budget = step;
    if (auto item = paced.next(budget)) again.emplace_back(std::string(item->key.begin(), item->key.end()), item->value);
    else if (budget != 0) break;
  }
  EXPECT_EQ(again, out);
  return out;
}
Items drain(const fst::Fst& f, fst::Range range = {}) { return drain(f, std::move(range), fst::AlwaysMatch{}); }

struct Bounds {
  int lower;  // 0 none, 1 inclusive, 2 exclusive
  std::string lo;
  bool upper;
  std::string hi;
};

Items expected(const std::vector<std::string>& keys, const std::vector<std::uint64_t>& values, const Bounds& b) {
  Items out;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::string& k = keys[i];
    if (b.lower == 1 && k < b.lo) continue;
    if (b.lower == 2 && k <= b.lo) continue;
    if (b.upper && k >= b.hi) continue;
    out.emplace_back(k, values[i]);
  }
  return out;
}

fst::Range range_of(const Bounds& b) {
  fst::Range r;
  if (b.lower == 1) r.ge(b.lo);
  if (b.lower == 2) r.gt(b.lo);
  if (b.upper) r.lt(b.hi);
  return r;
}

TEST(FstStream, RoundTripsOfRandomKeySets) {
  struct Case {
    std::size_t n;
    std::uint64_t seed;
    bool rank_values;
  } cases[] = {{1, 1, true}, {2, 2, true}, {50, 3, true}, {2000, 4, false}, {20000, 5, true}, {100000, 6, false}};
  for (const Case& c : cases) {
#if defined(__SANITIZE_ADDRESS__)
    if (c.n > 20000) continue;  // the largest set runs in the plain build only
#endif
    const auto keys = random_keys(c.n, c.seed, true);
    std::vector<std::uint64_t> values = ranks(keys.size());
    std::mt19937_64 rng(c.seed);
    if (!c.rank_values) {
      for (auto& v : values) v = rng() >> (rng() % 64);
    }
    const Bytes bytes = build(keys, values);
    fst::Fst f = open_copy(bytes);
    f.verify();
    ASSERT_EQ(f.len(), keys.size());

    // Exact lookup of every key, and of near misses.
    for (std::size_t i = 0; i < keys.size(); ++i) {
      ASSERT_EQ(f.get(keys[i]), values[i]) << i;
      std::string miss = keys[i] + '\x01';
      if (!std::binary_search(keys.begin(), keys.end(), miss)) {
        ASSERT_FALSE(f.get(miss));
      }
    }

    // A sink holding leading bytes gives the same FST bytes.
    struct Prefixed {
      Bytes out{1, 2, 3};
      void write_all(std::span<const unsigned char> b) { out.insert(out.end(), b.begin(), b.end()); }
    } w;
    fst::MapBuilder b(w);
    for (std::size_t i = 0; i < keys.size(); ++i) b.insert(keys[i], values[i]);
    b.finish();
    ASSERT_EQ(Bytes(w.out.begin() + 3, w.out.end()), bytes);

    // Bounds drawn from keys, key neighbours and the extremes.
    ASSERT_EQ(drain(f), expected(keys, values, {0, "", false, ""}));
    std::vector<std::string> probes{"", std::string(1, '\0'), "\xff", "\xff\xff\xff", "b", "c\xff"};
    for (int i = 0; i < 12; ++i) {
      const std::string& k = keys[rng() % keys.size()];
      probes.push_back(k);
      probes.push_back(k + '\0');
      if (!k.empty()) probes.push_back(k.substr(0, k.size() - 1));
    }
    for (int trial = 0; trial < 60; ++trial) {
      Bounds bd{static_cast<int>(rng() % 3), probes[rng() % probes.size()], rng() % 2 == 0,
                probes[rng() % probes.size()]};
      ASSERT_EQ(drain(f, range_of(bd)), expected(keys, values, bd))
          << bd.lower << " [" << bd.lo << "] " << bd.upper << " [" << bd.hi << "]";
    }

    // Starts-with equals a prefix filter, also inside bounds.
    for (int trial = 0; trial < 30; ++trial) {
      std::string p = probes[rng() % probes.size()];
      p = p.substr(0, rng() % (p.size() + 1));
      Items want;
      for (std::size_t i = 0; i < keys.size(); ++i)
        if (keys[i].compare(0, p.size(), p) == 0) want.emplace_back(keys[i], values[i]);
      ASSERT_EQ(drain(f, {}, fst::StartsWith(p)), want) << p;
      Bounds bd{1, p + "c", false, ""};
      Items bounded;
      for (auto& it : want)
        if (it.first >= bd.lo) bounded.push_back(it);
      ASSERT_EQ(drain(f, range_of(bd), fst::StartsWith(p)), bounded) << p;
    }
  }
}

TEST(FstStream, SmallMapsAndEdgeBounds) {
  const std::vector<std::string> keys{"", "a", "ab", "b"};
  fst::Fst f = open_copy(build(keys, ranks(4)));
  EXPECT_EQ(drain(f), (Items{{"", 0}, {"a", 1}, {"ab", 2}, {"b", 3}}));
  EXPECT_EQ(drain(f, fst::Range().ge("")), drain(f));
  EXPECT_EQ(drain(f, fst::Range().gt("")), (Items{{"a", 1}, {"ab", 2}, {"b", 3}}));
  EXPECT_EQ(drain(f, fst::Range().gt("a")), (Items{{"ab", 2}, {"b", 3}}));
  EXPECT_EQ(drain(f, fst::Range().ge("aa")), (Items{{"ab", 2}, {"b", 3}}));
  EXPECT_EQ(drain(f, fst::Range().lt("")), Items{});
  EXPECT_EQ(drain(f, fst::Range().lt("a")), (Items{{"", 0}}));
  EXPECT_EQ(drain(f, fst::Range().ge("a").lt("b")), (Items{{"a", 1}, {"ab", 2}}));
  EXPECT_EQ(drain(f, fst::Range().gt("b")), Items{});
  EXPECT_EQ(drain(f, fst::Range().ge("b").lt("a")), Items{});
  EXPECT_EQ(drain(f, {}, fst::StartsWith("a")), (Items{{"a", 1}, {"ab", 2}}));

  fst::Fst none = open_copy(build({}, {}));
  EXPECT_EQ(drain(none), Items{});
  EXPECT_FALSE(none.get(""));
  fst::Fst empty_key = open_copy(build({""}, {0}));
  EXPECT_EQ(empty_key.root_addr(), 0u);
  EXPECT_EQ(drain(empty_key), (Items{{"", 0}}));
  EXPECT_EQ(drain(empty_key, fst::Range().gt("")), Items{});
  EXPECT_EQ(empty_key.get(""), 0u);
  EXPECT_FALSE(empty_key.get("a"));
}

// A key of 300 KB: streams and lookups use no recursion per byte.
TEST(FstStream, VeryLongKeys) {
  const std::vector<std::string> keys{std::string(300'000, 'x'), std::string(300'000, 'x') + "y", "z"};
  fst::Fst f = open_copy(build(keys, ranks(3)));
  EXPECT_EQ(f.get(keys[1]), 1u);
  Items all = drain(f);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].first, keys[1]);
  EXPECT_EQ(drain(f, fst::Range().gt(keys[0])).size(), 2u);
}

}  // namespace
