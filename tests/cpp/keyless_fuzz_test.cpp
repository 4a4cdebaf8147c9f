// Seeded mutation loop over "BCL2" and "BCH8" blobs: every mutated blob
// loads or is refused with a format error, and every query on what loads
// (at either verification level) stays inside the blob. Runs under the
// sanitizers, which catch any read outside the exactly sized buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "harness/reseal.hpp"
#include "mutate.hpp"

using namespace quorvale;
using hash_engine::Pair;

namespace {

using Bytes = std::vector<unsigned char>;

// Pairs with side entries: every fifth pair repeats the first word before it.
std::vector<Pair> pairs_with_side(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Pair> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = {rng(), rng()};
    if (i % 5 == 4) out[i].first = out[i - 1].first;
  }
  return out;
}

struct Seed {
  Bytes blob;
  bool compact;
};

std::vector<Seed> seeds() {
  std::vector<Seed> out;
  for (std::size_t n : {0u, 1u, 9u, 300u, 2000u}) {
    std::vector<Pair> pairs = pairs_with_side(n, n + 1);
    out.push_back({ClosedHashIndex::build_from_pairs(pairs).to_bytes(), false});
    for (std::uint32_t b : {1u, 8u, 12u, 16u, 24u, 61u, 64u})
      out.push_back({CompactHashIndex::build_from_pairs(pairs, b).to_bytes(), true});
  }
  return out;
}

// Most damage goes to the header and the side records, where the structure is.
const std::uint64_t kWords[] = {0,  1,  2,    5,          8,              20,         63,
                                64, 65, 0xff, 0xffffffff, 0x100000000ULL, UINT64_MAX, UINT64_MAX / 20};
const mutation::Shape kShape{.head = 40, .tail = 60, .edits = 3, .words = kWords, .insert = 20};

const std::vector<std::string> PROBES = {"", "a", "key", "another key", std::string(40, 'x'), "\xc3\xa9t\xc3\xa9"};

void exercise(const ClosedHashIndex& idx) {
  std::vector<std::string_view> batch(PROBES.begin(), PROBES.end());
  std::vector<std::uint32_t> ids = idx.ids_of(batch);
  const std::uint64_t m = idx.len() - idx.side().size();
  for (std::size_t i = 0; i < PROBES.size(); ++i) {
    ASSERT_EQ(ids[i], idx.id(PROBES[i]));
    ASSERT_EQ(idx.id_with_side(PROBES[i]), ids[i]);
    ASSERT_TRUE(ids[i] < m || m == 0);
  }
  ASSERT_EQ(idx.to_bytes().size(), idx.serialized_len());
}

void exercise(const CompactHashIndex& idx) {
  std::vector<std::string_view> batch(PROBES.begin(), PROBES.end());
  auto found = idx.ids_of(batch);
  for (std::size_t i = 0; i < PROBES.size(); ++i) {
    ASSERT_EQ(found[i], idx.id_with_side(PROBES[i]));
    ASSERT_EQ(idx.contains(PROBES[i]), found[i].found);
    (void)idx.id(PROBES[i]);
    (void)idx.id_unchecked(PROBES[i]);
  }
  for (std::uint64_t slot : {std::uint64_t{0}, idx.len(), idx.len() + 100, UINT64_MAX / 3, UINT64_MAX})
    (void)idx.fp_matches_wide(slot, 0x1234);
  for (const auto& e : idx.side()) ASSERT_TRUE(idx.side_lookup(e.first, e.second).has_value());
  ASSERT_EQ(idx.to_bytes().size(), idx.serialized_len());
}

}  // namespace

TEST(KeylessFuzz, MutatedBlobsLoadOrAreRefusedAndQueryInBounds) {
  const std::vector<Seed> base = seeds();
  std::mt19937_64 rng(0xb1c8);
  std::size_t loaded = 0, refused = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    const Seed& seed = base[rng() % base.size()];
    Bytes b = seed.blob;
    mutation::mutate(b, rng, kShape);
    // Both checksums (and the image's) made right again, so that damage
    // reaches the structural checks.
    if (rng() % 4 != 0) {
      if (seed.compact) qfuzz::reseal_bch8(b);
      else qfuzz::reseal_bcl2(b);
    }
    // Exactly sized copies: a read past the end is a sanitizer error.
    for (int level = 0; level < (seed.compact ? 2 : 1); ++level) {
      try {
        if (seed.compact) {
          CompactHashIndex idx =
              CompactHashIndex::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)), level == 1);
          ++loaded;
          exercise(idx);
        } else {
          ClosedHashIndex idx = ClosedHashIndex::from_bytes(Bytes(b));
          ++loaded;
          exercise(idx);
        }
      } catch (const IndexError& e) {
        ASSERT_EQ(e.kind(), IndexError::Kind::Format) << e.what();
        ++refused;
      }
    }
  }
  EXPECT_GT(loaded, 2000u);
  EXPECT_GT(refused, 2000u);
}
