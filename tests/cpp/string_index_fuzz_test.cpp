// Seeded mutation of valid "BIX4" blobs, checksum recomputed in one mode:
// opened unverified, verified and untrusted, then every query with bounded
// steps. After a trusted open queries answer or throw IndexError, never
// reading outside the bytes (run under AddressSanitizer); whatever the
// untrusted open accepts has UTF-8 keys, lookups that agree with its full
// stream, and streams that end.
#include <gtest/gtest.h>

#include <memory>

#include "fst_test_util.hpp"
#include "harness/reseal.hpp"
#include "mutate.hpp"
#include "string_index.hpp"

using namespace fsttest;
using quorvale::IndexError;
using quorvale::StringIndex;
namespace string_index = quorvale::string_index;

namespace {

// Bounds the work of a stream over crafted bytes, which can spell a number
// of paths exponential in their length: past the budget every subtree is
// cut off.
template <class A>
struct Budgeted {
  using State = typename A::State;
  A inner;
  std::shared_ptr<std::size_t> steps = std::make_shared<std::size_t>(0);
  std::size_t limit = 20000;
  State start() const { return inner.start(); }
  bool is_match(const State& s) const { return inner.is_match(s); }
  bool can_match(const State& s) const { return ++*steps <= limit && inner.can_match(s); }
  State accept(const State& s, unsigned char b) const { return inner.accept(s, b); }
};

template <class A>
void drain(string_index::EntryStream<A> s, std::size_t max_items = 500) {
  for (std::size_t i = 0; i < max_items && s.next(); ++i) {
  }
}

const std::vector<std::string> kProbes{"", "a", "b\xc3\xa9", "ab", "\x01\x61", "pppp", "\xe6\x9d\xb1\xe4\xba\xac",
                                       "\xf0\x9f\x98\x80", "zz"};

// Every query over an index from a trusted open: answers or IndexError.
void query_trusted(const StringIndex& index, const fst::Levenshtein& lev) {
  auto guarded = [](auto&& fn) {
    try {
      fn();
    } catch (const IndexError&) {
    }
  };
  for (const std::string& p : kProbes) {
    (void)index.id(p);
    (void)index.rank_of_first_ge(p);
    (void)index.prefix_id_range(p);
    guarded([&] { (void)index.common_prefix(p + p); });
    guarded([&] { (void)index.longest_prefix(p); });
    guarded([&] { (void)index.occurrences(p + "x" + p); });
  }
  for (std::uint64_t r : {std::uint64_t(0), std::uint64_t(1), index.len() / 2, index.len() - 1, index.len()})
    guarded([&] { (void)index.key(r); });
  guarded([&] { drain(index.stream(fst::Range{}, Budgeted<fst::AlwaysMatch>{})); });
  guarded([&] { drain(index.stream(fst::Range().ge(kProbes[1]).lt(kProbes[5]), Budgeted<fst::AlwaysMatch>{})); });
  guarded([&] { drain(index.stream(fst::Range().ge("a"), Budgeted<fst::StartsWith>{fst::StartsWith("a")})); });
  guarded([&] { drain(index.stream(fst::Range{}, Budgeted<fst::Levenshtein>{lev})); });
  guarded([&] { drain(index.stream(fst::Range{}, Budgeted<quorvale::CharSubsequence>{quorvale::CharSubsequence("ab")})); });
}

// What an untrusted open accepted: every key UTF-8, its id and its rank
// walk agree with the full stream, and the queries' streams end.
void check_accepted(const StringIndex& index, const fst::Levenshtein& lev) {
  auto all = index.stream();
  std::uint64_t i = 0;
  while (auto item = all.next_raw()) {
    ASSERT_LT(i, index.len());
    const std::string key(item->key.begin(), item->key.end());
    ASSERT_TRUE(quorvale::utf8::valid(key));
    ASSERT_EQ(item->value, i);
    ASSERT_EQ(index.id(key), i);
    ASSERT_EQ(index.key(i), key);
    ++i;
  }
  ASSERT_EQ(i, index.len());
  for (const std::string& p : kProbes) {
    drain(index.prefix_iter(p), SIZE_MAX);
    (void)index.common_prefix(p);
    (void)index.occurrences(p);
  }
  drain(index.fuzzy_iter(lev), SIZE_MAX);
  drain(index.subsequence_iter("a"), SIZE_MAX);
}

Bytes blob_of(const std::vector<std::string>& keys) {
  Bytes out;
  quorvale::VecWriter w(out);
  StringIndex::build(keys).write_to(w);
  return out;
}

TEST(StringIndexFuzz, MutatedBlobs) {
  std::vector<Bytes> seeds{blob_of({}), blob_of({""}), blob_of(random_keys(40, 1, false)),
                           blob_of(random_keys(400, 2, false))};
  {
    std::vector<std::string> wide;
    for (unsigned a = 0xC2; a <= 0xDF; a += 1)
      for (unsigned b = 0x80; b <= 0xBF; b += 5) wide.push_back(std::string{char(a), char(b)});
    for (unsigned c = 0x21; c < 0x7F; ++c) wide.push_back(std::string(1, char(c)));
    seeds.push_back(blob_of(wide));
  }
  const fst::Levenshtein lev("ab\xc3\xa9", 1);
  // Besides the bytes (nearly all of them nodes), the footer's own edits:
  // the root anywhere, the key count off.
  const mutation::Shape shape{
      .edits = 3,
      .own = {[](Bytes& b, mutation::Rng& rng) {
                if (b.size() < 16) return;
                const std::uint64_t root = rng() % (b.size() - 2);
                for (int i = 0; i < 8; ++i) b[b.size() - 12 + i] = static_cast<unsigned char>(root >> (8 * i));
              },
              [](Bytes& b, mutation::Rng& rng) {
                if (b.size() >= 24) b[b.size() - 20] = static_cast<unsigned char>(b[b.size() - 20] + 1 + rng() % 3);
              }}};
  std::mt19937_64 rng(20261211);
  std::size_t accepted = 0, mutated_accepted = 0;
  for (int iter = 0; iter < 3000; ++iter) {
    const Bytes& seed = seeds[rng() % seeds.size()];
    Bytes b = seed;
    mutation::mutate(b, rng, shape);
    if (rng() % 2) qfuzz::reseal_bix4(b);  // the checksum recomputed
    // Exact-size owned copies, so that any read past the end is caught.
    for (bool verify : {false, true}) {
      try {
        const StringIndex index = StringIndex::from_shared(quorvale::blob::SharedBytes::from_owned(b), verify);
        query_trusted(index, lev);
      } catch (const IndexError&) {
      }
    }
    try {
      const StringIndex index = StringIndex::from_untrusted_bytes(b);
      ++accepted;
      if (b != seed) ++mutated_accepted;
      check_accepted(index, lev);
      if (HasFatalFailure()) return;
    } catch (const IndexError&) {
    }
  }
  EXPECT_GT(accepted, 0u);
  RecordProperty("mutated_accepted", static_cast<int>(mutated_accepted));
}

}  // namespace
