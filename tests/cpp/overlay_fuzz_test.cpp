// Seeded mutation of valid overlay blobs of both formats and every base kind,
// the checksums recomputed in one mode: each is loaded with every base kind's
// loader, trusted and untrusted. A load fails with IndexError or
// LimitExceeded, never otherwise (and never reads outside the bytes, run
// under AddressSanitizer); what loads answers every method, saves again to a
// blob that loads alike, and takes edits. A longer run by hand:
// OVERLAY_FUZZ_ITERATIONS and OVERLAY_FUZZ_SEED.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "overlay_fixtures.hpp"

using namespace overlay_fixtures;
using quorvale::IndexError;
using quorvale::LimitExceeded;

namespace {

const std::vector<std::string> kProbes{"", "a", "b", "k1", "k7", "\xc3\xa9", "zz", "new"};

template <class Kind>
Bytes seed_blob(unsigned option, int additions, int removals) {
  std::vector<std::string> base;
  for (int i = 0; i < 12; ++i) base.push_back(std::string(1, static_cast<char>('a' + i)) + "x");
  auto o = over<Kind>(base, option);
  for (int i = 0; i < additions; ++i) o.add("k" + std::to_string(i));
  for (int i = 0; i < removals; ++i) o.retire_id(static_cast<std::uint64_t>(i * 5) % o.id_space());
  return o.to_bytes();
}

// Answers, a second save and edits, over whatever loaded. Queries over a
// crafted base behind the trusted loader may fail with IndexError.
template <class Kind>
void exercise(Shared<Kind> o, bool untrusted) {
  if constexpr (overlay::StoresKeys<Kind>) {
    std::vector<std::string> keys;
    try {
      keys = o.keys();
    } catch (const IndexError&) {
      ASSERT_FALSE((untrusted && std::is_same_v<Kind, StringIndex>));
      return;
    }
    ASSERT_EQ(keys.size(), o.len());
    for (const std::string& k : keys) ASSERT_TRUE(o.contains(k));
    for (std::uint64_t id = 0; id < std::min<std::uint64_t>(o.id_space(), 64); ++id) (void)o.key(id);
  }
  const Bytes again = o.to_bytes();
  ASSERT_EQ(again.size(), o.serialized_len());
  auto back = Shared<Kind>::load(again, untrusted);
  ASSERT_EQ(back.id_space(), o.id_space());
  ASSERT_EQ(back.len(), o.len());
  ASSERT_EQ(back.to_bytes(), again);
  for (const std::string& p : kProbes) ASSERT_EQ(back.id(p), o.id(p));
  for (const std::string& p : kProbes) {
    const auto before = o.id(p);
    const std::uint64_t id = o.add(p);
    ASSERT_TRUE(!before || *before == id);
    ASSERT_EQ(o.id(p), id);
    ASSERT_TRUE(o.remove(p));
    ASSERT_FALSE(o.contains(p));
  }
  (void)o.retire_id(o.id_space() - 1);
}

std::size_t loaded = 0;

template <class Kind>
void try_load(const Bytes& b, bool untrusted) {
  std::optional<Shared<Kind>> o;
  try {
    o.emplace(Shared<Kind>::load(b, untrusted));
  } catch (const IndexError&) {
    return;
  } catch (const LimitExceeded&) {
    return;
  }
  ++loaded;
  exercise<Kind>(std::move(*o), untrusted);
}

TEST(OverlayFuzz, MutatedBlobs) {
  std::vector<Bytes> seeds;
  for (const Bytes& b : {seed_blob<StringIndex>(0, 0, 0), seed_blob<StringIndex>(0, 9, 4),
                         seed_blob<PerfectHashIndex>(0, 9, 4), seed_blob<PerfectHashIndex>(1, 3, 1),
                         seed_blob<CompactHashIndex>(0, 9, 4), seed_blob<CompactHashIndex>(13, 2, 1)}) {
    seeds.push_back(b);
    seeds.push_back(as_v1(b));
  }
  for (const Bytes& s : seeds) {
    try_load<StringIndex>(s, false);
    try_load<PerfectHashIndex>(s, false);
    try_load<CompactHashIndex>(s, false);
  }
  const char* iterations = std::getenv("OVERLAY_FUZZ_ITERATIONS");
  const char* seed = std::getenv("OVERLAY_FUZZ_SEED");
  const long n = iterations ? std::atol(iterations) : 3000;
  std::mt19937_64 rng(seed ? std::strtoull(seed, nullptr, 10) : 20260426);
  for (long it = 0; it < n; ++it) {
    Bytes b = seeds[rng() % seeds.size()];
    const bool v2 = b[3] == '2';
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !b.empty(); ++e) {
      const std::size_t at = rng() % b.size();
      switch (rng() % 6) {
        case 0: b.resize(at); break;
        case 1: b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), static_cast<unsigned char>(rng())); break;
        case 2: b[at] = static_cast<unsigned char>(rng()); break;
        case 3:  // a header field of either format
          if (b.size() >= 29) b[4 + rng() % 25] = static_cast<unsigned char>(rng() % 4);
          break;
        default: b[at] ^= static_cast<unsigned char>(1u << (rng() % 8));
      }
    }
    if (v2 && b.size() >= overlay::HEADER_V2 && rng() % 2) reseal(b);
    SCOPED_TRACE("iteration " + std::to_string(it));
    for (bool untrusted : {false, true}) {
      try_load<StringIndex>(b, untrusted);
      try_load<PerfectHashIndex>(b, untrusted);
    }
    try_load<CompactHashIndex>(b, false);
    if (HasFatalFailure()) return;
  }
  std::printf("%zu of %ld mutated blobs loaded under some loader\n", loaded, n);
}

}  // namespace
