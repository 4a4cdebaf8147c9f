// The string index "BIX4": StringIndex::from_shared unverified and verified
// (the trusted opens) and from_shared_untrusted, then every query.
//
// After a trusted open, every query answers or throws IndexError, and never
// reads outside the bytes; streams run under a step budget (fst_steps.hpp).
// A verified open implies the unverified one, and the untrusted open implies
// the verified one. Whatever the untrusted open accepts has UTF-8 keys whose
// ids are their ranks, with `id` and `key` (the rank walk) agreeing with its
// full stream, prefix ranges and prefix streams agreeing with it too, and
// streams that end: when the whole stream fits the budget it runs unbounded
// and must give exactly len() items. Every index writes back the bytes it
// was read from.
#include <algorithm>
#include <memory>

#include "fst/automaton.hpp"
#include "fst/levenshtein.hpp"
#include "fst_steps.hpp"
#include "fst_test_util.hpp"
#include "fuzz.hpp"
#include "reseal.hpp"
#include "string_index.hpp"
#include "utf8.hpp"

using namespace quorvale;
using namespace qfuzz;
namespace fst = quorvale::fst;

namespace {

constexpr std::uint64_t kStepLimit = 10000;

const std::vector<std::string> kProbes{"", "a", "b\xc3\xa9", "ab", "\x01\x61", "pppp", "\xe6\x9d\xb1\xe4\xba\xac",
                                       "\xf0\x9f\x98\x80", "zz", "\xff"};

const fst::Levenshtein& levenshtein() {
  static const fst::Levenshtein lev = string_index::levenshtein("ab\xc3\xa9", 1);
  return lev;
}

// The text a refusal is counted under: an FST error's detail, else the message.
std::string why(const IndexError& e) { return e.kind() == IndexError::Kind::Fst ? e.debug() : e.message(); }

// Runs `fn`, counting an IndexError as a refusal of `what`.
template <class F>
bool guarded(const char* what, F&& fn) {
  try {
    fn();
    return true;
  } catch (const IndexError& e) {
    refused(what, why(e));
    return false;
  }
}

// The items of a stream under the step budget: (key bytes, id), and whether
// it ended by itself.
template <class A>
std::vector<std::pair<std::string, std::uint64_t>> drain(const StringIndex& index, fst::Range range, const A& a) {
  std::uint64_t budget = kStepLimit;
  auto s = index.stream(std::move(range), Bounded<A>(a, &budget));
  std::vector<std::pair<std::string, std::uint64_t>> items;
  while (auto item = s.next_raw()) items.emplace_back(std::string(item->key.begin(), item->key.end()), item->value);
  return items;
}

void check_write_back(const StringIndex& index, std::span<const unsigned char> blob) {
  Bytes out;
  VecWriter w(out);
  index.write_to(w);
  QFUZZ_CHECK(out.size() == index.serialized_len());
  QFUZZ_CHECK(std::equal(out.begin(), out.end(), blob.begin(), blob.end()));
}

// Every query over an index from a trusted open: answers or IndexError.
void query_trusted(const StringIndex& index, std::span<const unsigned char> blob) {
  check_write_back(index, blob);
  const std::uint64_t n = index.len();
  for (const std::string& p : kProbes) {
    (void)index.id(p);
    (void)index.rank_of_first_ge(p);
    (void)index.prefix_id_range(p);
    guarded("common_prefix", [&] { (void)index.common_prefix(p + p); });
    guarded("longest_prefix", [&] { (void)index.longest_prefix(p); });
    guarded("occurrences", [&] { (void)index.occurrences(p + "x" + p); });
  }
  for (std::uint64_t r : {std::uint64_t{0}, std::uint64_t{1}, n / 3, n / 2, n - 1, n, n + 1, UINT64_MAX})
    guarded("key", [&] { (void)index.key(r); });
  std::vector<std::pair<std::string, std::uint64_t>> all;
  guarded("stream", [&] { all = drain(index, {}, fst::AlwaysMatch{}); });
  for (std::size_t i = 0; i < all.size(); i += 1 + all.size() / 8) {
    (void)index.id(all[i].first);
    (void)index.prefix_id_range(all[i].first);
    guarded("common_prefix", [&] { (void)index.common_prefix(all[i].first + "z"); });
  }
  guarded("stream", [&] { drain(index, fst::Range().ge(kProbes[1]).lt(kProbes[5]), fst::AlwaysMatch{}); });
  guarded("stream", [&] { drain(index, fst::Range().ge("a"), fst::StartsWith("a")); });
  guarded("stream", [&] { drain(index, {}, levenshtein()); });
  guarded("stream", [&] { drain(index, {}, CharSubsequence("ab")); });
  guarded("first_chars", [&] { (void)index.first_chars(); });
}

// What the untrusted open accepted.
void check_accepted(const StringIndex& index, std::span<const unsigned char> blob) {
  check_write_back(index, blob);
  const std::uint64_t n = index.len();
  const bool fits = stream_steps(index.fst(), kStepLimit) <= kStepLimit;
  note(fits ? "accepted, streams within the step budget" : "accepted, streams beyond the step budget");
  std::vector<std::pair<std::string, std::uint64_t>> all;
  if (fits) {
    auto s = index.stream();
    while (auto item = s.next_raw()) {
      QFUZZ_CHECK(all.size() < n);
      all.emplace_back(std::string(item->key.begin(), item->key.end()), item->value);
    }
    QFUZZ_CHECK(all.size() == n);
  } else {
    all = drain(index, {}, fst::AlwaysMatch{});
  }
  for (std::size_t i = 0; i < all.size(); ++i) {
    const auto& [key, value] = all[i];
    QFUZZ_CHECK(value == i);
    QFUZZ_CHECK(utf8::valid(key));
    QFUZZ_CHECK(i == 0 || all[i - 1].first < key);
    QFUZZ_CHECK(index.id(key) == i);
    QFUZZ_CHECK(index.key(i) == key);
    QFUZZ_CHECK(index.rank_of_first_ge(key) == i);
  }
  for (std::uint64_t r : {n, n + 1, UINT64_MAX}) QFUZZ_CHECK(!index.key(r));
  if (n > 0) QFUZZ_CHECK(index.key(n - 1).has_value());
  for (const std::string& p : kProbes) {
    const auto [lo, hi] = index.prefix_id_range(p);
    QFUZZ_CHECK(lo <= hi && hi <= n);
    QFUZZ_CHECK(index.rank_of_first_ge(p) <= n);
    const auto id = index.id(p);
    if (id) QFUZZ_CHECK(*id < n && index.key(*id) == p);
    if (fits) {
      // The prefix range is the stream's keys starting with the prefix.
      std::uint64_t first = n, count = 0;
      for (std::size_t i = 0; i < all.size(); ++i)
        if (all[i].first.compare(0, p.size(), p) == 0) {
          first = std::min<std::uint64_t>(first, i);
          ++count;
        }
      QFUZZ_CHECK(hi - lo == count);
      if (count > 0) QFUZZ_CHECK(lo == first);
      auto in_prefix = index.prefix_iter(p);
      std::uint64_t next = lo;
      while (auto e = in_prefix.next()) QFUZZ_CHECK(next < hi && e->id == next && e->key == all[next++].first);
      QFUZZ_CHECK(next == hi);
      const auto at = std::lower_bound(all.begin(), all.end(), p, [](const auto& item, const std::string& k) { return item.first < k; });
      const bool present = at != all.end() && at->first == p;
      QFUZZ_CHECK(id.has_value() == present);
      if (present) QFUZZ_CHECK(*id == at->second);
    }
    (void)index.common_prefix(p + p);
    (void)index.longest_prefix(p);
    (void)index.occurrences(p + "x" + p);
  }
  // Filtered streams give keys of the full stream, in order.
  auto subset = [&](const std::vector<std::pair<std::string, std::uint64_t>>& items) {
    for (std::size_t i = 0; i < items.size(); ++i) {
      QFUZZ_CHECK(items[i].second < n && (i == 0 || items[i - 1].second < items[i].second));
      if (fits) QFUZZ_CHECK(all[items[i].second] == items[i]);
    }
  };
  subset(drain(index, fst::Range().ge(kProbes[1]).lt(kProbes[5]), fst::AlwaysMatch{}));
  subset(drain(index, fst::Range().ge("a"), fst::StartsWith("a")));
  subset(drain(index, {}, levenshtein()));
  subset(drain(index, {}, CharSubsequence("ab")));
}

}  // namespace

void qfuzz::run(Input& in) {
  if (in.reseal()) reseal_bix4(in.bytes);
  const std::span<const unsigned char> b = in.view();
  bool opened[2] = {false, false};
  for (bool verify : {false, true}) {
    try {
      const StringIndex index = StringIndex::from_shared(blob::SharedBytes::from_owned(b), verify);
      opened[verify] = true;
      note(verify ? "opened, verified" : "opened, unverified");
      query_trusted(index, b);
    } catch (const IndexError& e) {
      QFUZZ_CHECK(!opened[verify]);  // queries catch their own errors
      refused(verify ? "verified" : "unverified", why(e));
    }
  }
  if (opened[1]) QFUZZ_CHECK(opened[0]);
  try {
    const StringIndex index = StringIndex::from_shared_untrusted(blob::SharedBytes::from_owned(b));
    QFUZZ_CHECK(opened[1]);
    note("accepted untrusted");
    check_accepted(index, b);
  } catch (const IndexError& e) {
    refused("untrusted", why(e));
  }
}

namespace {

Bytes blob_of(const std::vector<std::string>& keys) {
  Bytes out;
  VecWriter w(out);
  StringIndex::build(keys).write_to(w);
  return out;
}

}  // namespace

void qfuzz::seeds(Seeds& out) {
  out.add("empty", blob_of({}));
  out.add("empty-key", blob_of({""}));
  out.add("few", blob_of({"a", "ab", "abc", "b\xc3\xa9", "\xe6\x9d\xb1", "zz"}));
  out.add("random-40", blob_of(fsttest::random_keys(40, 1, false)));
  out.add("random-200", blob_of(fsttest::random_keys(200, 2, false)));
  // Nodes of many transitions (two-byte characters, then ASCII).
  std::vector<std::string> wide;
  for (unsigned a = 0xC2; a <= 0xDF; a += 1)
    for (unsigned c = 0x80; c <= 0xBF; c += 5) wide.push_back(std::string{char(a), char(c)});
  for (unsigned c = 0x21; c < 0x7F; ++c) wide.push_back(std::string(1, char(c)));
  out.add("wide", blob_of(wide));
  // Every 14-letter word over {a, b}: 16,384 keys in a few hundred bytes,
  // more than a stream's step budget.
  std::vector<std::string> counter;
  for (unsigned v = 0; v < (1u << 14); ++v) {
    std::string k;
    for (int bit = 13; bit >= 0; --bit) k += (v >> bit & 1) ? 'b' : 'a';
    counter.push_back(std::move(k));
  }
  out.add("binary-words", blob_of(counter));
  // A key 6,000 bytes deep, with keys branching off at its top and at its
  // bottom: a walk comes back up a long chain, past the step budget.
  const std::string deep(6000, 'p');
  out.add("deep", blob_of({deep, deep + "q", deep.substr(1) + "r", "s"}));
  // Every 40-letter word over {a, b}, 2^40 keys in 880 bytes of nodes,
  // laid by hand: it passes the untrusted open, and only a bounded walk
  // of it ends.
  {
    const Bytes fst = fsttest::doubling_fst(40);
    Bytes b(4 + fst.size());
    std::copy_n("BIX4", 4, b.begin());
    std::copy(fst.begin(), fst.end(), b.begin() + 4);
    out.add("doubling-40", b);
  }
  // Left unsealed: a damaged checksum.
  Bytes raw = blob_of({"x", "y"});
  raw.back() ^= 1;
  out.add("raw-bad-checksum", raw, 0);
}
