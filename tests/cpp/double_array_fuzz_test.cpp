// Seeded mutation loop over "BDA1" blobs: every mutated blob loads or is
// refused with one of the loader's messages, by each loader; on what loads,
// every query answers only ids below the key count, and the invariants that
// keep the walks inside the slots hold (checked here independently of the
// loader). Half of the blobs carry recomputed checksums, so the damage reaches
// the checks behind them. Runs under the sanitizers, which catch any read
// outside the (exactly sized) copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "double_array.hpp"
#include "harness/reseal.hpp"
#include "mutate.hpp"

using namespace quorvale;
using Bytes = std::vector<unsigned char>;

namespace {

const std::set<std::string> kMessages = {
    "format error: bad magic or truncated header",
    "format error: header checksum mismatch",
    "format error: double-array: reserved header bytes set",
    "format error: double-array: more keys than ids can name",
    "format error: double-array: the empty key's id is past the end",
    "format error: double-array: more slots than bases can name",
    "format error: double-array: code table length out of range",
    "format error: double-array: label range out of range",
    "format error: double-array: section lengths do not meet the blob's",
    "format error: payload checksum mismatch",
    "format error: double-array: a code-table label past the largest",
    "format error: double-array: supplementary characters out of range or order",
    "format error: double-array: a supplementary label out of range",
    "format error: double-array: a slot names a row past the array or an id past the end, or holds bits no build sets",
};

// Texts to query with: key material, strangers and ill-formed bytes.
const std::vector<std::string> kTexts = {
    "", "a", "ab", "abc", "ba", "abab", "zz", "\xc3\xa9", "\xe4\xb8\xad\xe6\x96\x87", "\xf0\x9f\x98\x80" "a",
    "a\xf0\x9f\x98\x80" "ab\xc3\xa9zz", "\xff\xfe", "a\xc3", "\xf0\x9f\x98", "xyzzy", std::string(300, 'a'),
};

std::vector<Bytes> seeds() {
  std::vector<std::vector<std::string>> sets = {
      {},
      {""},
      {"a", "b"},
      {"ab", "b"},
      {"", "a", "ab", "abc", "b", "ba", "zz"},
      {"a", "\xc3\xa9", "\xe4\xb8\xad", "\xe4\xb8\xad\xe6\x96\x87", "\xf0\x9f\x98\x80" "a", "\xf0\x90\x8d\x88"},
  };
  std::mt19937_64 rng(3);
  std::set<std::string> many;
  while (many.size() < 200) {
    std::string k;
    for (int j = 0, n = 1 + static_cast<int>(rng() % 6); j < n; ++j) k += "abcz"[rng() % 4];
    many.insert(k);
  }
  sets.emplace_back(many.begin(), many.end());
  std::vector<Bytes> out;
  for (auto& keys : sets) {
    std::sort(keys.begin(), keys.end());
    std::vector<std::string_view> v(keys.begin(), keys.end());
    const DoubleArrayIndex idx = DoubleArrayIndex::build_ranked(v);
    out.emplace_back(idx.blob().bytes().begin(), idx.blob().bytes().end());
  }
  return out;
}

// One field of a slot word: final, leaf, the row (often a well-formed one),
// the id (often a well-formed one) or the label.
void edit_slot(Bytes& b, mutation::Rng& rng) {
  if (b.size() < 72) return;
  const std::size_t s = 64 + 8 * (rng() % ((b.size() - 64) / 8));
  std::uint64_t w = load_le64(b.data() + s);
  switch (rng() % 5) {
    case 0: w ^= double_array::FINAL; break;
    case 1: w ^= double_array::LEAF; break;
    case 2:
      if (!(w & double_array::LEAF)) w = (w & ~(double_array::FIELD_BITS << 18)) | ((rng() % 300) << 18);
      break;
    case 3:
      if (w & double_array::FINAL) w = (w & ~(double_array::FIELD_BITS << 41)) | ((rng() % 300) << 41);
      break;
    default: w = (w & ~double_array::LABEL_BITS) | (rng() % 40); break;
  }
  store_le64(b.data() + s, w);
}

// One or two edits; besides the bytes, a header count (small, at a limit or
// wild), slot word fields (weighted: the walk is what the checks guard) and
// 16-bit values past the header (a label, or half a code point).
const mutation::Shape kShape{
    .head = 64,
    .edits = 2,
    .own = {[](Bytes& b, mutation::Rng& rng) {
              static const std::size_t at[] = {4, 12, 20, 28, 32, 36};
              static const std::uint64_t values[] = {0, 1, 2, 3, 5, 99, 65535, 65536, 1u << 20, 1u << 23, UINT64_MAX};
              const std::size_t a = at[rng() % std::size(at)];
              if (b.size() < 64) return;
              const std::uint64_t v = rng() % 4 ? values[rng() % std::size(values)] : rng();
              if (a >= 28)
                store_le32(b.data() + a, static_cast<std::uint32_t>(v));
              else
                store_le64(b.data() + a, v);
            },
            edit_slot, edit_slot, edit_slot,
            [](Bytes& b, mutation::Rng& rng) {
              if (b.size() < 66) return;
              store_le16(b.data() + 64 + rng() % (b.size() - 65), static_cast<std::uint16_t>(rng() % 70));
            }}};

// What the loader promises about a blob it accepted, read from the bytes.
void expect_invariants(const Bytes& b, const DoubleArrayIndex& idx) {
  const std::uint64_t K = load_le64(&b[4]), S = load_le64(&b[20]), C = load_le32(&b[28]), L = load_le32(&b[36]);
  ASSERT_EQ(idx.len(), K);
  ASSERT_EQ(idx.slot_count(), S);
  ASSERT_TRUE(S == 0 || L < S);
  for (std::uint64_t c = 0; c < C; ++c) ASSERT_LE(load_le16(&b[64 + 8 * S + 2 * c]), L);
  for (auto s : idx.supplementary()) ASSERT_TRUE(s.label >= 1 && s.label <= L);
  for (std::uint64_t i = 0; i < S; ++i) {
    const std::uint64_t w = load_le64(&b[64 + 8 * i]);
    if (w & double_array::FINAL) {
      ASSERT_LT(double_array::id_of(w), K);
    }
    if (!(w & double_array::LEAF)) {
      ASSERT_LT(double_array::base_of(w) + L, S);
    }
  }
}

void expect_queries_in_range(const DoubleArrayIndex& idx) {
  const std::uint64_t K = idx.len();
  std::vector<PrefixMatch> prefixes;
  std::vector<Occurrence> occ;
  for (const std::string& t : kTexts) {
    if (auto id = idx.id(t)) {
      ASSERT_LT(*id, K);
    }
    (void)idx.contains(t);
    prefixes.clear();
    idx.common_prefix(t, prefixes);
    for (auto& m : prefixes) {
      ASSERT_LT(m.id, K);
      ASSERT_LE(m.bytes, t.size());
    }
    if (auto m = idx.longest_prefix(t)) {
      ASSERT_LT(m->id, K);
    }
    occ.clear();
    idx.occurrences(t, occ);
    for (auto& o : occ) {
      ASSERT_LT(o.id, K);
      ASSERT_LT(o.start, o.end);
      ASSERT_LE(o.end, t.size());
    }
  }
}

}  // namespace

TEST(DoubleArrayFuzz, MutatedBlobsLoadOrAreRefusedAndQueryInRange) {
  const std::vector<Bytes> base = seeds();
  std::mt19937_64 rng(0xbda1);
  std::size_t loaded = 0, refused = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    Bytes b = base[rng() % base.size()];
    mutation::mutate(b, rng, kShape);
    if (iter % 2) qfuzz::reseal_bda1(b);
    for (bool verify : {true, false}) {
      try {
        DoubleArrayIndex idx = DoubleArrayIndex::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)), verify);
        ++loaded;
        expect_invariants(b, idx);
        expect_queries_in_range(idx);
      } catch (const IndexError& e) {
        ASSERT_TRUE(kMessages.count(e.what())) << e.what();
        ++refused;
      }
      if (HasFatalFailure()) return;
    }
  }
  // The loop is only useful if both outcomes are common.
  EXPECT_GT(loaded, 1500u);
  EXPECT_GT(refused, 10000u);
}
