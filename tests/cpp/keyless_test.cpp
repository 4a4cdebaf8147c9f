// The closed- and compact-hash indexes: builds against the independent
// reference, the side table, the packed fingerprints, lookups in every form,
// and the blobs' round trips and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "keyless_fixtures.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using hash_engine::Pair;
using keyless_fixtures::case_pairs;
using keyless_fixtures::error_of;

namespace {

using Bytes = std::vector<unsigned char>;

struct Known {
  std::size_t count;
  std::uint64_t seed;
  std::uint32_t bits;
  std::uint64_t len;
  std::uint64_t fnv;
  std::vector<unsigned char> head;
};

const Known KNOWN[] = {
#include "keyless_known.inc"
};

std::uint64_t fnv64(const Bytes& b) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : b) h = (h ^ c) * 0x100000001b3ULL;
  return h;
}

Bytes blob_of(const std::vector<Pair>& pairs, std::uint32_t bits) {
  if (bits == 0) return ClosedHashIndex::build_from_pairs(pairs).to_bytes();
  return CompactHashIndex::build_from_pairs(pairs, bits).to_bytes();
}

std::vector<std::string> random_keys(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::set<std::string> seen;
  std::vector<std::string> out;
  while (out.size() < n) {
    std::string k(rng() % 25, '\0');
    for (auto& c : k) c = static_cast<char>('a' + rng() % 26);
    if (seen.insert(k).second) out.push_back(k);
  }
  return out;
}

std::vector<std::string_view> views(const std::vector<std::string>& keys) { return {keys.begin(), keys.end()}; }

// The fingerprint stored at slot i of a table, read bit by bit.
std::uint64_t slot_bits(const Bytes& table, std::uint64_t i, std::uint32_t b) {
  std::uint64_t v = 0;
  for (std::uint32_t j = 0; j < b; ++j) {
    const std::uint64_t t = i * b + j;
    v |= std::uint64_t{(table[t / 8] >> (t % 8)) & 1u} << j;
  }
  return v;
}

}  // namespace

// ---- builds against the reference ----

TEST(KeylessBuild, BlobsEqualTheReference) {
  for (const Known& k : KNOWN) {
    SCOPED_TRACE("count " + std::to_string(k.count) + " bits " + std::to_string(k.bits));
    std::vector<Pair> pairs = case_pairs(k.count, k.seed);
    Bytes b = blob_of(pairs, k.bits);
    ASSERT_EQ(b.size(), k.len);
    EXPECT_EQ(fnv64(b), k.fnv);
    EXPECT_TRUE(std::equal(k.head.begin(), k.head.end(), b.begin()));
    // Input order and repeats change nothing.
    std::shuffle(pairs.begin(), pairs.end(), std::mt19937_64(k.seed));
    if (!pairs.empty()) pairs.push_back(pairs.back());
    EXPECT_TRUE(blob_of(pairs, k.bits) == b);
  }
}

TEST(KeylessBuild, EmptyAndOneKeyHeadersByHand) {
  // n = 0: the bare header; the payload checksum of nothing is fin(PHI ^ 0).
  const Bytes closed = ClosedHashIndex::build_from_pairs({}).to_bytes();
  ASSERT_EQ(closed.size(), 36u);
  EXPECT_EQ(std::string(closed.begin(), closed.begin() + 4), "BCL2");
  for (int i = 4; i < 24; ++i) EXPECT_EQ(closed[i], 0) << i;
  EXPECT_EQ(load_le64(closed.data() + 24), fin(0x9e3779b97f4a7c15ULL));
  std::uint64_t f = 0xcbf29ce484222325ULL;
  for (int i = 0; i < 32; ++i) f = (f ^ closed[i]) * 0x100000001b3ULL;
  EXPECT_EQ(load_le32(closed.data() + 32), static_cast<std::uint32_t>(fin(f)));

  const Bytes compact = CompactHashIndex::build_from_pairs({}, 13).to_bytes();
  ASSERT_EQ(compact.size(), 40u);
  EXPECT_EQ(std::string(compact.begin(), compact.begin() + 4), "BCH8");
  EXPECT_EQ(load_le64(compact.data() + 4), 0u);
  EXPECT_EQ(load_le32(compact.data() + 12), 13u);
  EXPECT_EQ(load_le64(compact.data() + 16), 0u);
  EXPECT_EQ(load_le32(compact.data() + 24), 0u);
  EXPECT_EQ(load_le64(compact.data() + 28), fin(0x9e3779b97f4a7c15ULL));

  // One key: n 1, the image, a one-byte table holding the low byte of the
  // key's second word.
  const hash::HashPair h = hash::hash_pair(std::string_view("only"));
  const CompactHashIndex one = CompactHashIndex::build_from_pairs({h}, 8);
  const Bytes b = one.to_bytes();
  const std::uint64_t J = load_le64(b.data() + 16);
  EXPECT_EQ(load_le64(b.data() + 4), 1u);
  EXPECT_EQ(std::string(b.begin() + 40, b.begin() + 44), "MPH3");
  ASSERT_EQ(b.size(), 40 + J + 1);
  EXPECT_EQ(b.back(), static_cast<unsigned char>(h.second));
  EXPECT_EQ(load_le64(b.data() + 28), blob::hash_block(std::span<const unsigned char>(b.data() + 40, J + 1)));
}

TEST(KeylessBuild, KeysBuildFromTheirPairs) {
  const std::vector<std::string> keys = random_keys(5000, 1);
  std::vector<Pair> pairs;
  for (auto& k : keys) pairs.push_back(hash::hash_pair(std::string_view(k)));
  EXPECT_TRUE(ClosedHashIndex::build(views(keys)).to_bytes() == ClosedHashIndex::build_from_pairs(pairs).to_bytes());
  EXPECT_TRUE(CompactHashIndex::build(views(keys)).to_bytes() == CompactHashIndex::build_from_pairs(pairs, 8).to_bytes());
}

TEST(KeylessBuild, WidthIsCheckedFirst) {
  for (std::uint32_t bits : {0u, 65u, 1000u})
    EXPECT_EQ(error_of([&] { CompactHashIndex::build_from_pairs({{1, 2}}, bits); }),
              "format error: compact-hash: fingerprint_bits must be in 1..=64");
}

// ---- side table ----

TEST(KeylessSide, SmallestSecondWordRepresentsItsGroup) {
  const std::uint64_t F = 0x5555aaaa12345678ULL;
  std::vector<Pair> pairs = case_pairs(40, 9);
  pairs.resize(40);  // without the reference's own group
  for (std::vector<std::uint64_t> order : {std::vector<std::uint64_t>{5, 9, 7}, {9, 7, 5}, {7, 5, 9, 7}}) {
    std::vector<Pair> p = pairs;
    for (std::uint64_t s : order) p.push_back({F, s});
    const ClosedHashIndex closed = ClosedHashIndex::build_from_pairs(p);
    const CompactHashIndex compact = CompactHashIndex::build_from_pairs(p, 8);
    const std::uint64_t n = closed.len(), m = n - closed.side().size();
    ASSERT_EQ(compact.len(), n);
    for (auto side : {closed.side(), compact.side()}) {
      auto it = std::find_if(side.begin(), side.end(), [&](const auto& e) { return e.first == F; });
      ASSERT_NE(it, side.end());
      EXPECT_EQ(*it, (hash_engine::SideEntry{F, 7, static_cast<std::uint32_t>(m + (it - side.begin()))}));
      EXPECT_EQ(*(it + 1), (hash_engine::SideEntry{F, 9, it->id + 1}));
    }
    const std::size_t at = static_cast<std::size_t>(
        std::find_if(closed.side().begin(), closed.side().end(), [&](const auto& e) { return e.first == F; }) -
        closed.side().begin());
    EXPECT_EQ(compact.side_lookup(F, 5), std::nullopt);
    EXPECT_EQ(compact.side_lookup(F, 7), std::optional<std::uint32_t>(static_cast<std::uint32_t>(m + at)));
    EXPECT_EQ(compact.side_lookup(F, 9), std::optional<std::uint32_t>(static_cast<std::uint32_t>(m + at + 1)));
  }
}

TEST(KeylessSide, MadeUpPairOnARealKeysFirstWord) {
  const std::vector<std::string> keys = random_keys(600, 2);
  std::vector<Pair> pairs;
  for (auto& k : keys) pairs.push_back(hash::hash_pair(std::string_view(k)));
  const std::string& key = keys[17];
  const hash::HashPair h = hash::hash_pair(std::string_view(key));
  std::vector<std::string_view> batch = views(keys);
  batch.push_back("a stranger");
  // Once the key represents its word (the made-up pair is a side entry and
  // the key's lookup passes it by), once the key is the side entry.
  for (bool key_represents : {true, false}) {
    SCOPED_TRACE(key_represents ? "key represents" : "key is a side entry");
    std::vector<Pair> p = pairs;
    p.push_back({h.first, key_represents ? h.second + 1 : h.second - 1});
    const ClosedHashIndex closed = ClosedHashIndex::build_from_pairs(p);
    const CompactHashIndex compact = CompactHashIndex::build_from_pairs(p, 8);
    ASSERT_EQ(closed.side().size(), 1u);
    const std::uint64_t m = closed.len() - 1;
    const std::uint32_t id = closed.id(key);
    EXPECT_EQ(id < m, key_represents);
    EXPECT_EQ(id, closed.id_with_side(key));
    EXPECT_EQ(compact.id(key), std::optional<std::uint32_t>(id));
    EXPECT_EQ(compact.id_with_side(key), (CompactHashIndex::Found{true, id}));
    EXPECT_TRUE(compact.contains(key));
    EXPECT_EQ(compact.id_unchecked(key), id);
    // Every key keeps a distinct id, in every form.
    std::vector<std::uint32_t> cids = closed.ids_of(batch);
    auto found = compact.ids_of(batch);
    std::set<std::uint32_t> distinct;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(cids[i], closed.id(keys[i]));
      EXPECT_EQ(found[i], compact.id_with_side(keys[i]));
      EXPECT_TRUE(found[i].found);
      EXPECT_EQ(found[i].id, cids[i]);
      distinct.insert(cids[i]);
    }
    EXPECT_EQ(distinct.size(), keys.size());
    if (!key_represents) {
      EXPECT_EQ(*distinct.rbegin(), m);
    }
    // A stranger never gets the side id.
    EXPECT_LT(cids.back(), m);
    EXPECT_EQ(found.back(), compact.id_with_side("a stranger"));
  }
}

// ---- fingerprint tables ----

TEST(KeylessFingerprints, WriteByHand) {
  {
    Bytes t(4, 0);
    hash_engine::write_fp(t, 1, 12, 0xabc);  // bits 12..23: the high half of byte 1, all of byte 2
    EXPECT_EQ(t, (Bytes{0x00, 0xc0, 0xab, 0x00}));
  }
  {
    Bytes t(16, 0);
    const std::uint64_t v = (std::uint64_t{0xf} << 58) | 1;  // slot 1 of 62 bits starts at byte 7, bit 6
    hash_engine::write_fp(t, 1, 62, v);
    Bytes want(16, 0);
    want[7] = 0x40;   // bit 0 of the value
    want[15] = 0x0f;  // its top four bits
    EXPECT_EQ(t, want);
    Bytes u(16, 0);
    hash_engine::write_fp(u, 1, 62, ~std::uint64_t{0} >> 2);
    want = Bytes{0, 0, 0, 0, 0, 0, 0, 0xc0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x0f};
    EXPECT_EQ(u, want);
  }
  {
    // b = 12, m = 3: a 5-byte table; slot 2 (bits 24..35) is bytes 3 and 4,
    // read byte by byte at the end of the table.
    Bytes t(5, 0);
    hash_engine::write_fp(t, 2, 12, 0x987);
    EXPECT_EQ(t, (Bytes{0, 0, 0, 0x87, 0x09}));
    EXPECT_TRUE(hash_engine::fp_matches(t, 2, 12, 0xfff987));
    EXPECT_FALSE(hash_engine::fp_matches(t, 2, 12, 0x986));
    EXPECT_TRUE(hash_engine::fp_matches(t, 0, 12, 0x1000));
    EXPECT_FALSE(hash_engine::fp_matches(t, 3, 12, 0));  // past the table
  }
}

TEST(KeylessFingerprints, EveryWidthWritesAndReadsItsOwnBits) {
  std::mt19937_64 rng(3);
  for (std::uint32_t b = 1; b <= 64; ++b) {
    SCOPED_TRACE("bits " + std::to_string(b));
    const std::uint64_t m = 37;
    const std::size_t len = static_cast<std::size_t>((m * b + 7) / 8);
    std::vector<std::uint64_t> values(m);
    Bytes table(len, 0);
    std::vector<std::uint64_t> order(m);
    for (std::uint64_t i = 0; i < m; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    for (std::uint64_t i : order) {
      values[i] = hash_engine::low_bits(rng(), b);
      hash_engine::write_fp(table, i, b, values[i]);
    }
    for (std::uint64_t i = 0; i < m; ++i) {
      EXPECT_EQ(slot_bits(table, i, b), values[i]) << i;
      EXPECT_TRUE(hash_engine::fp_matches(table, i, b, values[i] | (b < 64 ? rng() << b : 0)));
      EXPECT_FALSE(hash_engine::fp_matches(table, i, b, values[i] ^ 1));
    }
    // The bits past the last slot stay zero.
    for (std::uint64_t t = m * b; t < len * 8; ++t) EXPECT_EQ((table[t / 8] >> (t % 8)) & 1, 0);
    // One slot alone leaves its neighbours untouched, high bits of the value
    // ignored.
    for (std::uint64_t i : {std::uint64_t{0}, m / 2, m - 1}) {
      Bytes one(len, 0);
      hash_engine::write_fp(one, i, b, ~std::uint64_t{0});
      for (std::uint64_t j = 0; j < m; ++j) EXPECT_EQ(slot_bits(one, j, b), j == i ? hash_engine::low_bits(~0ULL, b) : 0);
      for (std::uint64_t t = m * b; t < len * 8; ++t) EXPECT_EQ((one[t / 8] >> (t % 8)) & 1, 0);
    }
  }
}

TEST(KeylessFingerprints, TableHoldsEachRepresentativesLowBits) {
  const std::vector<std::string> keys = random_keys(2000, 4);
  std::vector<Pair> pairs;
  for (auto& k : keys) pairs.push_back(hash::hash_pair(std::string_view(k)));
  const CompactHashIndex idx = CompactHashIndex::build(views(keys));
  for (std::uint32_t b : {1u, 7u, 8u, 12u, 16u, 24u, 32u, 40u, 62u, 64u}) {
    const CompactHashIndex w = CompactHashIndex::build_from_pairs(pairs, b);
    ASSERT_EQ(w.fingerprints().size(), (keys.size() * b + 7) / 8);
    EXPECT_EQ(w.fingerprint_bits(), b);
    Bytes table(w.fingerprints().data(), w.fingerprints().data() + w.fingerprints().size());
    for (auto& k : keys) {
      const hash::HashPair h = hash::hash_pair(std::string_view(k));
      const std::uint32_t id = w.id_unchecked(k);
      EXPECT_EQ(slot_bits(table, id, b), hash_engine::low_bits(h.second, b));
      EXPECT_EQ(idx.id_unchecked(k), id);  // the slots do not depend on the width
    }
  }
}

// ---- lookups ----

TEST(KeylessLookups, EmptyIndexes) {
  const ClosedHashIndex closed = ClosedHashIndex::build_from_pairs({});
  const CompactHashIndex compact = CompactHashIndex::build_from_pairs({}, 12);
  std::vector<std::string_view> batch = {"a", "", "b"};
  EXPECT_TRUE(closed.is_empty() && compact.is_empty());
  EXPECT_EQ(closed.mphf(), nullptr);
  EXPECT_EQ(closed.id("x"), 0u);
  EXPECT_EQ(closed.id_with_side("x"), 0u);
  EXPECT_EQ(closed.ids_of(batch), (std::vector<std::uint32_t>{0, 0, 0}));
  EXPECT_EQ(compact.fingerprint_bits(), 12u);
  EXPECT_TRUE(compact.fingerprints().empty());
  EXPECT_EQ(compact.id("a"), std::nullopt);
  EXPECT_FALSE(compact.contains("a"));
  EXPECT_EQ(compact.id_unchecked("a"), 0u);
  for (auto f : compact.ids_of(batch)) EXPECT_EQ(f, (CompactHashIndex::Found{false, 0}));
}

TEST(KeylessLookups, BatchesEqualSingleLookups) {
  std::vector<std::string> keys = random_keys(6000, 5);
  std::vector<std::string> strangers = random_keys(300, 6);
  for (auto& s : strangers) s += "!";
  std::vector<std::string_view> batch = views(keys);
  batch.insert(batch.end(), strangers.begin(), strangers.end());
  std::vector<Pair> pairs;
  for (auto& k : keys) pairs.push_back(hash::hash_pair(std::string_view(k)));
  std::vector<Pair> with_side = pairs;
  with_side.push_back({pairs[3].first, pairs[3].second ^ 1});
  for (const auto* p : {&pairs, &with_side}) {
    const ClosedHashIndex closed = ClosedHashIndex::build_from_pairs(*p);
    std::vector<std::uint32_t> got = closed.ids_of(batch);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      EXPECT_EQ(got[i], closed.id_with_side(batch[i]));
      EXPECT_EQ(got[i], closed.id(batch[i]));
      EXPECT_LT(got[i], closed.len() - closed.side().size());
    }
    for (std::uint32_t b : {1u, 8u, 13u, 64u}) {
      const CompactHashIndex compact = CompactHashIndex::build_from_pairs(*p, b);
      auto found = compact.ids_of(batch);
      std::vector<std::uint32_t> packed(batch.size());
      compact.ids_into_with(batch.size(), [&](std::size_t i) { return batch[i]; }, packed.data());
      std::size_t accepted = 0;
      for (std::size_t i = 0; i < batch.size(); ++i) {
        const auto one = compact.id_with_side(batch[i]);
        EXPECT_EQ(found[i], one);
        EXPECT_EQ(compact.contains(batch[i]), one.found);
        EXPECT_EQ(compact.id(batch[i]), one.found ? std::optional<std::uint32_t>(one.id) : std::nullopt);
        EXPECT_EQ(packed[i], one.found ? one.id : compact_hash::MISSING);
        if (i < keys.size()) {
          EXPECT_TRUE(one.found);
          EXPECT_EQ(one.id, got[i]);
          EXPECT_EQ(compact.id_unchecked(batch[i]), one.id);
        } else {
          accepted += one.found;
        }
      }
      if (b == 64) {
        EXPECT_EQ(accepted, 0u);
      } else if (b == 1) {
        EXPECT_GT(accepted, 100u);  // about half of 300
      }
    }
  }
}

// ---- blobs ----

TEST(KeylessBlob, RoundTripsAgree) {
  TempDir dir;
  const std::vector<std::string> keys = random_keys(3000, 7);
  std::vector<Pair> pairs;
  for (auto& k : keys) pairs.push_back(hash::hash_pair(std::string_view(k)));
  pairs.push_back({pairs[0].first, pairs[0].second + 1});
  for (const auto& p : {std::vector<Pair>{}, pairs}) {
    const ClosedHashIndex closed = ClosedHashIndex::build_from_pairs(p);
    const Bytes cb = closed.to_bytes();
    EXPECT_EQ(cb.size(), closed.serialized_len());
    closed.save(dir / "c");
    EXPECT_EQ(read_file(dir / "c"), std::string(cb.begin(), cb.end()));
    for (const ClosedHashIndex& l : {ClosedHashIndex::from_bytes(cb), ClosedHashIndex::load(dir / "c")}) {
      EXPECT_TRUE(l.to_bytes() == cb);
      for (auto& k : keys) EXPECT_EQ(l.id(k), closed.id(k));
    }
    for (std::uint32_t b : {8u, 21u}) {
      const CompactHashIndex compact = CompactHashIndex::build_from_pairs(p, b);
      const Bytes hb = compact.to_bytes();
      EXPECT_EQ(hb.size(), compact.serialized_len());
      compact.save(dir / "h");
      EXPECT_EQ(read_file(dir / "h"), std::string(hb.begin(), hb.end()));
      std::vector<CompactHashIndex> loaded;
      loaded.push_back(CompactHashIndex::from_bytes(hb));
      loaded.push_back(CompactHashIndex::load(dir / "h"));
      loaded.push_back(CompactHashIndex::load_mmap(dir / "h"));
      loaded.push_back(CompactHashIndex::load_mmap_verified(dir / "h"));
      EXPECT_TRUE(loaded[2].fingerprints().is_mapped() || p.empty());
      EXPECT_FALSE(loaded[1].fingerprints().is_mapped());
      for (const CompactHashIndex& l : loaded) {
        EXPECT_TRUE(l.to_bytes() == hb);
        for (auto& k : keys) EXPECT_EQ(l.id_with_side(k), compact.id_with_side(k));
      }
    }
  }
  EXPECT_EQ(dir.names(), (std::set<std::string>{"c", "h"}));
}

namespace {

// The header fields of a blob rewritten, both checksums made right again.
Bytes closed_with(Bytes b, std::uint64_t n, std::uint64_t j, std::uint32_t h) {
  const auto head = closed_hash::header_bytes(n, j, h, 0);
  std::copy(head.begin(), head.end(), b.begin());
  closed_hash::FRAME.seal_blob(b);
  return b;
}
Bytes compact_with(Bytes b, std::uint64_t n, std::uint32_t bits, std::uint64_t j, std::uint32_t h) {
  const auto head = compact_hash::header_v7(n, bits, j, h, 0);
  std::copy(head.begin(), head.end(), b.begin());
  compact_hash::FRAME.seal_blob(b);
  return b;
}
Bytes compact_resealed(const Bytes& b) {
  return compact_with(b, load_le64(b.data() + 4), load_le32(b.data() + 12), load_le64(b.data() + 16),
                      load_le32(b.data() + 24));
}

std::string closed_error(const Bytes& b) {
  return error_of([&] { ClosedHashIndex::from_bytes(b); });
}
std::string compact_error(const Bytes& b, bool verify) {
  return error_of([&] { CompactHashIndex::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)), verify); });
}

}  // namespace

TEST(KeylessBlob, ClosedRefusalsInCheckOrder) {
  std::vector<Pair> pairs = case_pairs(300, 11);
  const Bytes good = ClosedHashIndex::build_from_pairs(pairs).to_bytes();
  const std::uint64_t n = load_le64(good.data() + 4), J = load_le64(good.data() + 12);
  const std::uint32_t H = load_le32(good.data() + 20);
  ASSERT_GT(H, 1u);
  const std::string pre = "format error: ";
  auto with_magic = [&](const char* m) {
    Bytes b = good;
    std::copy(m, m + 4, b.begin());
    return b;
  };
  Bytes head_flip = good;
  head_flip[9] ^= 1;
  Bytes body_flip = good;
  body_flip[60] ^= 0x10;
  Bytes side_ids = good;
  store_le32(side_ids.data() + side_ids.size() - 4, static_cast<std::uint32_t>(n));  // one id past the tail
  Bytes doubled = good;
  store_le32(doubled.data() + doubled.size() - 4, load_le32(doubled.data() + doubled.size() - 24));
  struct Case {
    Bytes blob;
    std::string message;
  };
  const std::string old =
      "closed-hash: blob written by quorvale < 4.0, keyed on a hash this version no longer computes; the keys are "
      "not stored, so it cannot be converted - rebuild the index from its keys";
  std::vector<Case> cases = {
      {Bytes(good.begin(), good.begin() + 3), "bad magic or truncated header"},
      {Bytes{'B', 'C', 'L', '1'}, old},
      {with_magic("BCL1"), old},
      {Bytes(good.begin(), good.begin() + 35), "bad magic or truncated header"},
      {with_magic("BDX4"), "bad magic or truncated header"},
      {with_magic("BCH8"), "bad magic or truncated header"},
      {head_flip, "header checksum mismatch"},
      {body_flip, "payload checksum mismatch"},
      {closed_with(good, std::uint64_t{1} << 32, J, H), "closed-hash: header claims more than u32::MAX keys"},
      {closed_with(good, 5, J, 5), "side table length out of range"},
      {closed_with(good, 0, J, 1), "side table length out of range"},
      {closed_with(Bytes(good.begin(), good.begin() + 60), n, J, 4), "side table length out of range"},
      {closed_with(good, n, J + 1, H), "mph length out of range"},
      {closed_with(good, n, ~std::uint64_t{0}, H), "mph length out of range"},
      {closed_with(side_ids, n, J, H), "closed-hash: side-table ids are not the tail id range"},
      {closed_with(doubled, n, J, H), "closed-hash: side-table ids are not the tail id range"},
      {closed_with(good, n + 1, J, H), "closed-hash: side-table ids are not the tail id range"},
  };
  // The image cut short by one side record's worth of bytes claimed as side.
  Bytes more_side = good;
  for (int i = 0; i < 20; ++i) more_side.push_back(0);
  cases.push_back({closed_with(more_side, n, J, H + 1), "closed-hash: side-table ids are not the tail id range"});
  for (const Case& c : cases) EXPECT_EQ(closed_error(c.blob), pre + c.message) << c.message;
  // A key count the image does not have.
  Bytes fewer = good;
  fewer.resize(36 + J);
  EXPECT_EQ(closed_error(closed_with(fewer, n - H + 1, J, 0)), pre + "mph / header length mismatch");
  // n = 0 ignores whatever image bytes stand there.
  EXPECT_EQ(closed_error(closed_with(fewer, 0, J, 0)), "no error");
  // Side records out of order load sorted.
  Bytes swapped = good;
  std::swap_ranges(swapped.end() - 20, swapped.end(), swapped.end() - 40);
  const ClosedHashIndex s = ClosedHashIndex::from_bytes(closed_with(swapped, n, J, H));
  EXPECT_TRUE(s.to_bytes() == good);
}

TEST(KeylessBlob, CompactRefusalsInCheckOrder) {
  std::vector<Pair> pairs = case_pairs(300, 12);
  const CompactHashIndex idx = CompactHashIndex::build_from_pairs(pairs, 8);
  const Bytes good = idx.to_bytes();
  const std::uint64_t n = idx.len(), J = load_le64(good.data() + 16);
  const std::uint32_t H = static_cast<std::uint32_t>(idx.side().size());
  ASSERT_GT(H, 1u);
  const std::string pre = "format error: ";
  const std::string old =
      "compact-hash: blob written by quorvale < 4.0, keyed on a hash this version no longer computes; the keys are "
      "not stored, so it cannot be converted - rebuild the index from its keys";
  for (char d = '0'; d <= '9'; ++d) {
    Bytes b{'B', 'C', 'H', static_cast<unsigned char>(d)};
    const std::string want = d >= '1' && d <= '7' ? old : "bad magic or truncated header";
    EXPECT_EQ(compact_error(b, false), pre + want) << d;
  }
  // Only the top byte marks a retired magic.
  EXPECT_EQ(compact_error(Bytes{'B', 'C', 'I', '1'}, false), pre + "bad magic or truncated header");
  EXPECT_EQ(compact_error(Bytes{'C', 'C', 'H', '1'}, false), pre + "bad magic or truncated header");

  Bytes head_flip = good;
  head_flip[13] ^= 1;
  Bytes side_hash = good;
  side_hash[good.size() - 30] ^= 1;  // a second word of the last record
  Bytes side_id = good;
  side_id[good.size() - 3] ^= 1;  // an id of the last record
  struct Case {
    Bytes blob;
    std::string verified, mapped;  // "" = loads
  };
  std::vector<Case> cases = {
      {Bytes(good.begin(), good.begin() + 39), "bad magic or truncated header", "bad magic or truncated header"},
      {head_flip, "header checksum mismatch", "header checksum mismatch"},
      {side_hash, "payload checksum mismatch", ""},
      {side_id, "payload checksum mismatch", "compact-hash: side-table ids are not the tail id range"},
      {compact_with(good, std::uint64_t{1} << 32, 8, J, H), "compact-hash: header claims more than u32::MAX keys",
       "compact-hash: header claims more than u32::MAX keys"},
      {compact_with(good, n, 0, J, H), "compact-hash: bad fingerprint width", "compact-hash: bad fingerprint width"},
      {compact_with(good, n, 65, J, H), "compact-hash: bad fingerprint width", "compact-hash: bad fingerprint width"},
      {compact_with(good, 5, 8, J, 5), "side table length out of range", "side table length out of range"},
      {compact_with(good, n, 8, good.size(), H), "mph length out of range", "mph length out of range"},
      {compact_with(good, n, 16, J, H), "compact-hash: fingerprint length mismatch",
       "compact-hash: fingerprint length mismatch"},
      {compact_with(good, n, 8, J + 1, H), "compact-hash: fingerprint length mismatch",
       "compact-hash: fingerprint length mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.verified);
    EXPECT_EQ(compact_error(c.blob, true), pre + c.verified);
    EXPECT_EQ(compact_error(c.blob, false), c.mapped.empty() ? "no error" : pre + c.mapped);
  }
  // The image's own refusal, at both levels.
  Bytes short_image = good;
  short_image.erase(short_image.begin() + 40 + static_cast<std::ptrdiff_t>(J) - 1);
  short_image = compact_with(short_image, n, 8, J - 1, H);
  for (bool verify : {true, false}) EXPECT_EQ(compact_error(short_image, verify).rfind(pre + "mphf: ", 0), 0u);
  // Side records out of order load sorted; n = 0 with no side entries is valid.
  Bytes swapped = good;
  std::swap_ranges(swapped.end() - 20, swapped.end(), swapped.end() - 40);
  EXPECT_TRUE(CompactHashIndex::from_bytes(compact_resealed(swapped)).to_bytes() == good);
  EXPECT_EQ(compact_error(CompactHashIndex::build_from_pairs({}, 3).to_bytes(), true), "no error");
}
