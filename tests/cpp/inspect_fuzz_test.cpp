// Seeded mutation loop over blobs of every kind: each mutated input is
// named (with sizes that fit the input) or refused with one of the
// inspector's messages, never anything else. Runs under the sanitizers,
// which catch any read outside the exactly sized input.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "blob_fixtures.hpp"
#include "hash.hpp"
#include "inspect.hpp"
#include "mphf.hpp"
#include "mutate.hpp"
#include "perfect_hash.hpp"

using namespace quorvale;
using namespace blob_fixtures;

namespace {

const std::set<std::string> kMessages = {
    inspect::MSG_TRUNCATED, inspect::MSG_NO_MAGIC,    inspect::MSG_UNKNOWN, kinds::MSG_OLD_PERFECT,
    kinds::MSG_OLD_COMPACT, kinds::MSG_OLD_CLOSED, inspect::MSG_NESTED,  inspect::MSG_COUNTS,
    inspect::MSG_TOMBSTONES,
};

std::vector<Bytes> seeds() {
  std::vector<Bytes> out;
  std::vector<std::string> keys = numbered(300);
  out.push_back(PerfectHashIndex::build(std::span<const std::string>(keys)).to_bytes());
  std::vector<std::uint64_t> hashes;
  for (const std::string& k : keys) hashes.push_back(hash::hash_pair(k).first);
  std::sort(hashes.begin(), hashes.end());
  out.push_back(Mphf::build_with_threads(hashes, 1).to_bytes());
  const Bytes fst = string_index(numbered(40));
  out.push_back(fst);
  out.push_back(overlay_v2(1, fst, {"a", "bb"}, {5, 0}));
  out.push_back(overlay_v1(1, fst, {"a", "bb", ""}, {3}));
  out.push_back(overlay_v2(2, out[0], {"zz"}, {1}));
  for (const char* magic : {"BDX1", "BDX2", "BDX3", "BDX4"}) {
    std::size_t len = 0;
    out.push_back(dictionary(magic, len));
  }
  Bytes b = made("BCH8", 40 + 16 + 20 + 30);
  put64(b, 4, 30);
  put32(b, 12, 8);
  put64(b, 16, 16);
  put32(b, 24, 1);
  out.push_back(b);
  b = made("BCL2", 36 + 16 + 40);
  put64(b, 12, 16);
  put32(b, 20, 2);
  out.push_back(b);
  b = made("BHD1", 48 + 100 + 16 + 80 + 24);
  put64(b, 16, 100);
  put64(b, 24, 16);
  put32(b, 32, 1);
  out.push_back(b);
  b = made("BDA1", 64 + 80 + 20 + 16);
  put64(b, 20, 10);
  put32(b, 28, 10);
  put32(b, 32, 2);
  out.push_back(b);
  return out;
}

const std::uint64_t kExtremes[] = {0, 1, 2, 7, 8, 0xff, 0xffff, 0xffffffffULL, std::uint64_t{1} << 61,
                                   std::uint64_t{1} << 62, ~std::uint64_t{0}, ~std::uint64_t{0} - 20};

// Damage mostly in the headers, fields set to extremes, long growths, and
// the inspector's own edit: another generation digit.
const mutation::Shape kShape{.head = 80,
                             .edits = 3,
                             .words = kExtremes,
                             .insert = 64,
                             .own = {[](Bytes& b, mutation::Rng& rng) {
                               if (b.size() >= 4) b[3] = static_cast<unsigned char>('0' + rng() % 10);
                             }}};

void check_fits(const inspect::BlobInfo& info, std::uint64_t len) {
  ASSERT_EQ(info.bytes, len);
  if (info.mph_bytes) {
    ASSERT_LE(*info.mph_bytes, len);
  }
  if (info.arena_bytes) {
    ASSERT_LE(*info.arena_bytes, len);
  }
  if (info.overlay && info.overlay->base) {
    ASSERT_LE(info.overlay->base->bytes, len);
    ASSERT_NE(info.overlay->base->kind, kinds::Kind::Overlay);
  }
}

}  // namespace

TEST(InspectFuzz, MutatedBlobsAreNamedOrRefused) {
  std::mt19937_64 rng(24);
  const std::vector<Bytes> base = seeds();
  for (const Bytes& s : base) ASSERT_NO_THROW(inspect::inspect_bytes(s));
  std::size_t named = 0;
  for (int round = 0; round < 200000; ++round) {
    Bytes b = base[static_cast<std::size_t>(round) % base.size()];
    mutation::mutate(b, rng, kShape);
    b.shrink_to_fit();  // so that the sanitizer sees a read one byte past the end
    try {
      check_fits(inspect::inspect_bytes(b), b.size());
      ++named;
    } catch (const IndexError& e) {
      ASSERT_EQ(e.kind(), IndexError::Kind::Format) << e.display();
      ASSERT_TRUE(kMessages.count(e.message())) << e.display();
    }
  }
  EXPECT_GT(named, 1000u);
}
