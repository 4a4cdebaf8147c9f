// The hashed-dictionary index: the packed entries and the blob layout by
// hand, the build over dictionaries of several shapes, lookups in every
// form, the side table, and the loader's refusals in their order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "hashed_dict.hpp"
#include "hashed_dict_fixtures.hpp"
#include "keyless_fixtures.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using hashed_dict::Found;
using hdfix::Bytes;
using keyless_fixtures::error_of;

namespace {

using Dict = std::shared_ptr<const DictIndex>;

std::string load_error(const Bytes& b, bool verify = true) {
  return error_of([&] { HashedDictIndex::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)), verify); });
}

HashedDictIndex loaded(const Bytes& b, bool verify) {
  return HashedDictIndex::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)), verify);
}

// Bits [at, at + width) of a byte table, least significant bit first, read
// one bit at a time.
std::uint64_t bits_at(std::span<const unsigned char> t, std::uint64_t at, unsigned width) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < width; ++i) v |= std::uint64_t{(t[(at + i) / 8] >> ((at + i) % 8)) & 1u} << i;
  return v;
}

// Independent header checksum: FNV-1a 64 then the splitmix64 finaliser, low 32 bits.
std::uint32_t header_sum(const unsigned char* p, std::size_t len) {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (std::size_t i = 0; i < len; ++i) h = (h ^ p[i]) * 0x100000001b3ULL;
  h ^= h >> 30;
  h *= 0xbf58476d1ce4e5b9ULL;
  h ^= h >> 27;
  h *= 0x94d049bb133111ebULL;
  h ^= h >> 31;
  return static_cast<std::uint32_t>(h);
}

// Pairs for a dictionary of n keys: distinct first words, except that each
// rank in `repeats` takes the first word of rank `of`.
std::vector<hash::HashPair> synthetic(std::size_t n, std::vector<std::pair<std::size_t, std::size_t>> repeats = {}) {
  std::vector<hash::HashPair> p(n);
  for (std::size_t i = 0; i < n; ++i) p[i] = {fin(0x1000 + 2 * i), fin(0x1001 + 2 * i)};
  for (auto [r, of] : repeats) p[r].first = p[of].first;
  return p;
}

// A blob laid out by hand: header, dictionary, image, table, side records.
Bytes assemble(std::uint64_t n, std::uint32_t bits, const Bytes& dict, const Bytes& image, const Bytes& table,
               const std::vector<hashed_dict::SideRecord>& side) {
  Bytes b(48, 0);
  std::memcpy(b.data(), "BHD1", 4);
  store_le64(b.data() + 4, n);
  store_le32(b.data() + 12, bits);
  store_le64(b.data() + 16, dict.size());
  store_le64(b.data() + 24, image.size());
  store_le32(b.data() + 32, static_cast<std::uint32_t>(side.size()));
  // Through the writer: GCC 12 warns falsely (-Warray-bounds) on inserts
  // after the 48 header bytes.
  quorvale::VecWriter w(b);
  w.write_all(dict);
  w.write_all(image);
  w.write_all(table);
  for (const auto& s : side) {
    unsigned char r[24];
    store_le64(r, s.first);
    store_le64(r + 8, s.second);
    store_le64(r + 16, s.rank);
    w.write_all(r);
  }
  hdfix::reseal(b);
  return b;
}

// Every lookup form of h agrees with the dictionary on the keys given (its
// members); at zero bits on the strangers too.
void check_members(const HashedDictIndex& h, const DictIndex& d, const std::vector<std::string>& keys,
                   const std::vector<std::string>& strangers) {
  std::vector<std::string_view> views(keys.begin(), keys.end());
  const std::vector<Found> batch = h.ids_of(views);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const auto s = d.locate_query(keys[i]);
    ASSERT_TRUE(s.found);
    const Found want{true, s.rank};
    EXPECT_EQ(h.id(keys[i]), want) << keys[i];
    EXPECT_EQ(batch[i], want) << keys[i];
    EXPECT_TRUE(h.contains(keys[i]));
    EXPECT_EQ(h.unchecked_with_side(keys[i]), s.rank);
  }
  if (h.fingerprint_bits() != 0) return;
  std::vector<std::string_view> sv(strangers.begin(), strangers.end());
  const std::vector<Found> sb = h.ids_of(sv);
  for (std::size_t i = 0; i < strangers.size(); ++i) {
    const auto s = d.locate_query(strangers[i]);
    EXPECT_EQ(h.id(strangers[i]).found, s.found);
    EXPECT_EQ(sb[i].found, s.found);
  }
}

}  // namespace

TEST(HashedDictKnown, EntryBits) {
  EXPECT_EQ(hashed_dict::entry_bits_for(0, 0), 1u);
  EXPECT_EQ(hashed_dict::entry_bits_for(1, 0), 1u);
  EXPECT_EQ(hashed_dict::entry_bits_for(1, 32), 33u);
  EXPECT_EQ(hashed_dict::entry_bits_for(2, 0), 1u);
  EXPECT_EQ(hashed_dict::entry_bits_for(3, 0), 2u);
  EXPECT_EQ(hashed_dict::entry_bits_for(5, 3), 6u);
  EXPECT_EQ(hashed_dict::entry_bits_for(UINT32_MAX, 32), 64u);
}

TEST(HashedDictKnown, FiveKeysAtThreeBits) {
  const Dict d = hdfix::dict_of({"a", "b", "c", "d", "e"});
  std::vector<hash::HashPair> pairs = synthetic(5);
  pairs[2].second = (0xabcdULL << 3) | 0b101;
  const HashedDictIndex h = HashedDictIndex::from_pairs(d, pairs, 3, 1);
  EXPECT_EQ(h.entry_bits(), 6u);
  const auto table = h.rank_table().bytes();
  ASSERT_EQ(table.size(), 4u);  // ceil(5 * 6 / 8)
  for (std::uint64_t r = 0; r < 5; ++r) {
    const std::uint64_t slot = h.mphf()->index(pairs[r].first);
    const std::uint64_t want = (r << 3) | (pairs[r].second & 7);
    EXPECT_EQ(bits_at(table, 6 * slot, 6), want);
    EXPECT_EQ(h.entry(slot), want);
    EXPECT_EQ(h.value_at_the_end(slot), want);
  }
  EXPECT_EQ(bits_at(table, 6 * h.mphf()->index(pairs[2].first), 6), 21u);
  EXPECT_EQ(bits_at(table, 30, 2), 0u);  // the bits past the last entry
}

TEST(HashedDictKnown, OneKey) {
  const Dict d = hdfix::dict_of({"only"});
  const std::vector<hash::HashPair> pairs = synthetic(1);
  const HashedDictIndex h0 = HashedDictIndex::from_pairs(d, pairs, 0, 1);
  EXPECT_EQ(h0.entry_bits(), 1u);
  ASSERT_EQ(h0.rank_table().size(), 1u);
  EXPECT_EQ(h0.rank_table()[0], 0);
  const HashedDictIndex h32 = HashedDictIndex::from_pairs(d, pairs, 32, 1);
  EXPECT_EQ(h32.entry_bits(), 33u);
  ASSERT_EQ(h32.rank_table().size(), 5u);
  EXPECT_EQ(load_le32(h32.rank_table().data()), static_cast<std::uint32_t>(pairs[0].second));
  EXPECT_EQ(h32.rank_table()[4], 0);  // rank 0 at bit 32
  EXPECT_EQ(h32.entry(0), pairs[0].second & 0xffffffffULL);
}

TEST(HashedDictKnown, EntryReadsAgreeAtEveryWidth) {
  // Whole-byte entries (8, 16 and 32 bits at n = 2), odd widths, the last
  // entries of a table (where no 8 bytes are left) and 33-bit ones.
  for (std::size_t n : {std::size_t{2}, std::size_t{300}}) {
    std::vector<std::string> keys = hdfix::keys(n, n);
    const Dict d = hdfix::dict_of(keys);
    const std::vector<hash::HashPair> pairs = synthetic(n);
    for (std::uint32_t bits = 0; bits <= 32; ++bits) {
      const HashedDictIndex h = HashedDictIndex::from_pairs(d, pairs, bits, 1);
      const auto table = h.rank_table().bytes();
      for (std::uint64_t r = 0; r < n; ++r) {
        const std::uint64_t slot = h.mphf()->index(pairs[r].first);
        const std::uint64_t want = (r << bits) | (pairs[r].second & ((std::uint64_t{1} << bits) - 1));
        ASSERT_EQ(bits_at(table, slot * h.entry_bits(), h.entry_bits()), want) << bits;
        ASSERT_EQ(h.entry(slot), want) << bits;
        ASSERT_EQ(h.value_at_the_end(slot), want) << bits;
      }
      EXPECT_EQ(h.value_at_the_end(n), 0u);  // past the table
    }
  }
}

TEST(HashedDictKnown, Header) {
  const std::vector<std::string> keys = hdfix::keys(40, 7);
  const Dict d = hdfix::dict_of(keys);
  const HashedDictIndex h = HashedDictIndex::from_pairs(d, synthetic(40, {{9, 3}}), 11, 1);
  const Bytes b = h.to_bytes();
  const Bytes db = hdfix::dict_bytes(*d);
  ASSERT_EQ(b.size(), h.serialized_len());
  EXPECT_EQ(std::memcmp(b.data(), "BHD1", 4), 0);
  EXPECT_EQ(load_le64(b.data() + 4), 40u);
  EXPECT_EQ(load_le32(b.data() + 12), 11u);
  EXPECT_EQ(load_le64(b.data() + 16), db.size());
  const std::uint64_t J = load_le64(b.data() + 24);
  EXPECT_EQ(J, h.mphf()->byte_len());
  EXPECT_EQ(load_le32(b.data() + 32), 1u);
  EXPECT_EQ(load_le32(b.data() + 44), header_sum(b.data(), 44));
  EXPECT_EQ(load_le64(b.data() + 36), blob::hash_block(std::span<const unsigned char>(b).subspan(48 + db.size())));
  EXPECT_TRUE(std::equal(db.begin(), db.end(), b.begin() + 48));
  const std::uint64_t T = (39 * (11 + 6) + 7) / 8;
  ASSERT_EQ(b.size(), 48 + db.size() + J + T + 24);
  const unsigned char* side = b.data() + b.size() - 24;
  const auto p = synthetic(40, {{9, 3}});
  EXPECT_EQ(load_le64(side), p[9].first);
  EXPECT_EQ(load_le64(side + 8), p[9].second);
  EXPECT_EQ(load_le64(side + 16), 9u);
}

TEST(HashedDictKnown, EmptyAtEveryWidth) {
  const Dict d = hdfix::dict_of({});
  const Bytes db = hdfix::dict_bytes(*d);
  for (std::uint32_t bits = 0; bits <= 32; ++bits) {
    const HashedDictIndex h = HashedDictIndex::from_shared_dict(d, bits);
    EXPECT_TRUE(h.is_empty());
    EXPECT_EQ(h.mphf(), nullptr);
    EXPECT_FALSE(h.id("a").found);
    EXPECT_EQ(h.unchecked_with_side("a"), 0u);
    const Bytes b = h.to_bytes();
    ASSERT_EQ(b.size(), 48 + db.size());
    EXPECT_EQ(b.size(), h.serialized_len());
    EXPECT_EQ(load_le64(b.data() + 24), 0u);
    const HashedDictIndex back = loaded(b, true);
    EXPECT_TRUE(back.is_empty());
    EXPECT_EQ(back.fingerprint_bits(), bits);
    EXPECT_EQ(back.to_bytes(), b);
  }
}

TEST(HashedDict, MembersAtEveryWidth) {
  struct Case {
    std::vector<std::string> keys;
    std::uint64_t block;
  };
  const std::vector<Case> cases = {
      {hdfix::keys(3000, 1), 32}, {hdfix::keys(3000, 2), 256}, {hdfix::keys(2000, 3, true), 16},
      {hdfix::keys(1, 4), 1}, {{}, 256},
      // Byte keys that are not UTF-8 beside the text of U+FFFD itself.
      {{"a", "\xef\xbf\xbd", "\xff", "\xff\xfe", "b\xe2\x82"}, 32}};
  const std::vector<std::string> strangers = {"", "zzzzzzzzzzzzzz", "\xd0\xb0\xd0\xb0\xd0\xb0\xd0\xb0\xd0\xb0x",
                                              std::string("a\0b", 3), "\xff\xfe"};
  for (const Case& c : cases) {
    const Dict d = hdfix::dict_of(c.keys, c.block);
    for (std::uint32_t bits : {0u, 1u, 8u, 16u, 32u}) {
      SCOPED_TRACE(std::to_string(c.keys.size()) + " keys, width " + std::to_string(bits));
      const HashedDictIndex h = HashedDictIndex::from_shared_dict(d, bits);
      EXPECT_EQ(h.dict(), d);
      EXPECT_EQ(h.len(), c.keys.size());
      check_members(h, *d, c.keys, strangers);
      const Bytes b = h.to_bytes();
      EXPECT_EQ(b.size(), h.serialized_len());
      for (bool verify : {true, false}) {
        const HashedDictIndex back = loaded(b, verify);
        check_members(back, *back.dict(), c.keys, strangers);
        EXPECT_EQ(back.to_bytes(), b);
      }
    }
  }
}

TEST(HashedDict, StrangersPassAtTheFingerprintRate) {
  const std::vector<std::string> keys = hdfix::keys(4000, 5);
  const Dict d = hdfix::dict_of(keys);
  const HashedDictIndex h1 = HashedDictIndex::from_shared_dict(d, 1);
  const HashedDictIndex h32 = HashedDictIndex::from_shared_dict(d, 32);
  std::size_t passed1 = 0, passed32 = 0;
  const std::size_t trials = 20000;
  for (std::size_t i = 0; i < trials; ++i) {
    const std::string s = "stranger-" + std::to_string(i);
    passed1 += h1.contains(s);
    passed32 += h32.contains(s);
    const std::uint64_t u = h1.unchecked_with_side(s);
    EXPECT_LT(u, keys.size());
  }
  EXPECT_GT(passed1, trials * 45 / 100);
  EXPECT_LT(passed1, trials * 55 / 100);
  EXPECT_EQ(passed32, 0u);
}

TEST(HashedDict, RepeatedFirstWords) {
  // Ranks 4 and 7 share rank 1's first word; rank 9 repeats rank 1's pair.
  const std::vector<std::string> keys = hdfix::keys(12, 6);
  const Dict d = hdfix::dict_of(keys);
  std::vector<hash::HashPair> p = synthetic(12, {{4, 1}, {7, 1}, {9, 1}});
  p[9].second = p[1].second;
  for (std::uint32_t bits : {0u, 1u, 8u}) {
    const HashedDictIndex h = HashedDictIndex::from_pairs(d, p, bits, 1);
    ASSERT_EQ(h.side().size(), 3u);
    std::vector<hashed_dict::SideRecord> want = {{p[1].first, p[4].second, 4}, {p[1].first, p[7].second, 7},
                                                 {p[1].first, p[9].second, 9}};
    std::sort(want.begin(), want.end(), [](const auto& a, const auto& b) {
      return a.second != b.second ? a.second < b.second : a.rank < b.rank;
    });
    EXPECT_TRUE(std::equal(want.begin(), want.end(), h.side().begin()));
    EXPECT_EQ(h.mphf()->n(), 9u);
    // The representative is the lowest rank.
    EXPECT_EQ(h.entry(h.mphf()->index(p[1].first)) >> bits, 1u);
    EXPECT_EQ(h.side_lookup(p[1].first, p[4].second), (Found{true, 4}));
    EXPECT_EQ(h.side_lookup(p[1].first, p[7].second), (Found{true, 7}));
    // The equal pairs answer the first side record holding theirs.
    EXPECT_EQ(h.side_lookup(p[1].first, p[1].second), (Found{true, 9}));
    EXPECT_FALSE(h.side_lookup(p[1].first, 12345).found);
    // Side records stored out of order load and answer alike.
    Bytes b = h.to_bytes();
    const std::size_t side_at = b.size() - 72;
    std::swap_ranges(b.begin() + side_at, b.begin() + side_at + 24, b.begin() + side_at + 48);
    hdfix::reseal(b);
    const HashedDictIndex back = loaded(b, true);
    EXPECT_TRUE(std::equal(h.side().begin(), h.side().end(), back.side().begin()));
  }
}

TEST(HashedDict, Refusals) {
  const std::vector<std::string> keys = hdfix::keys(50, 8);
  const Dict d = hdfix::dict_of(keys);
  const Bytes db = hdfix::dict_bytes(*d);
  const HashedDictIndex with_side = HashedDictIndex::from_pairs(d, synthetic(50, {{5, 2}, {6, 2}}), 8, 1);
  const HashedDictIndex plain = HashedDictIndex::from_shared_dict(d, 8);
  const Bytes s = with_side.to_bytes(), p = plain.to_bytes();
  const std::uint64_t J = load_le64(s.data() + 24);
  const std::uint64_t table_at = 48 + db.size() + J;
  const std::uint64_t T = with_side.rank_table().size();
  ASSERT_EQ(load_error(s), "no error");

  auto edited = [](Bytes b, std::size_t at, std::uint64_t v, int width) {
    if (width == 8) store_le64(b.data() + at, v);
    else store_le32(b.data() + at, static_cast<std::uint32_t>(v));
    hdfix::reseal(b);
    return b;
  };
  auto cut = [](const Bytes& b, std::size_t len) {
    Bytes c(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(len));
    hdfix::reseal(c);
    return c;
  };
  const std::string F = "format error: ";
  EXPECT_EQ(load_error(Bytes(s.begin(), s.begin() + 47)), F + "bad magic or truncated header");
  Bytes magic = s;
  magic[3] = '2';
  hdfix::reseal(magic);
  EXPECT_EQ(load_error(magic), F + "bad magic or truncated header");
  Bytes flipped = s;
  flipped[20] ^= 1;
  EXPECT_EQ(load_error(flipped), F + "header checksum mismatch");
  EXPECT_EQ(load_error(edited(s, 4, std::uint64_t{1} << 32, 8)), F + "hashed-dict: header claims more than u32::MAX keys");
  EXPECT_EQ(load_error(edited(s, 12, 33, 4)), F + "hashed-dict: fingerprint_bits must be in 0..=32");
  EXPECT_EQ(load_error(edited(s, 32, 50, 4)), F + "side table length out of range");
  EXPECT_EQ(load_error(edited(p, 4, 0, 8)), F + "hashed-dict: mph length out of range");
  EXPECT_EQ(load_error(edited(p, 24, 0, 8)), F + "hashed-dict: mph length out of range");
  EXPECT_EQ(load_error(cut(s, 48 + db.size() - 1)), F + "hashed-dict: dictionary length out of range");
  EXPECT_EQ(load_error(cut(s, table_at - 1)), F + "hashed-dict: mph length out of range");
  EXPECT_EQ(load_error(cut(s, table_at + T - 1)), F + "hashed-dict: rank table length mismatch");
  EXPECT_EQ(load_error(cut(p, p.size() - 1)), F + "hashed-dict: rank table length mismatch");
  EXPECT_EQ(load_error(cut(s, s.size() - 1)), F + "side table length out of range");
  Bytes longer = s;
  longer.push_back(0);
  hdfix::reseal(longer);
  EXPECT_EQ(load_error(longer), F + "side table length out of range");
  // A payload byte changed without resealing: only the verifying loader sees it.
  Bytes rank_flip = s;
  rank_flip[table_at] ^= 0x10;
  EXPECT_EQ(load_error(rank_flip), F + "payload checksum mismatch");
  EXPECT_EQ(load_error(rank_flip, false), "no error");
  Bytes side_flip = s;
  side_flip[s.size() - 40] ^= 1;  // a second hash word
  EXPECT_EQ(load_error(side_flip), F + "payload checksum mismatch");
  EXPECT_EQ(load_error(side_flip, false), "no error");
  Bytes past = edited(s, s.size() - 8, 50, 8);
  EXPECT_EQ(load_error(past, false), F + "hashed-dict: a side-table rank is past the last key");
  // A byte of the dictionary's payload fails the dictionary's own checksum.
  Bytes in_dict = s;
  in_dict[48 + db.size() - 1] ^= 1;
  hdfix::reseal(in_dict);
  EXPECT_EQ(load_error(in_dict), F + "payload checksum mismatch");
  // n = 0 over a non-empty dictionary.
  EXPECT_EQ(load_error(assemble(0, 8, db, {}, {}, {})),
            F + "hashed-dict: the dictionary and the header disagree on the key count");
  // An image of another key count.
  std::vector<std::uint64_t> four = {1, 2, 3, 4};
  const Bytes image = Mphf::build_with_threads(four, 1).to_bytes();
  const Dict d5 = hdfix::dict_of({"a", "b", "c", "d", "e"});
  EXPECT_EQ(load_error(assemble(5, 3, hdfix::dict_bytes(*d5), image, Bytes(4, 0), {})),
            F + "mph / header length mismatch");
  // A damaged image is refused by its own reader.
  Bytes bad_image = s;
  bad_image[48 + db.size()] ^= 1;
  hdfix::reseal(bad_image);
  EXPECT_EQ(load_error(bad_image).rfind(F + "mphf: ", 0), 0u) << load_error(bad_image);
}

TEST(HashedDict, BuildArguments) {
  const Dict d = hdfix::dict_of({"a"});
  EXPECT_EQ(error_of([&] { HashedDictIndex::from_shared_dict(d, 33); }),
            "format error: hashed-dict: fingerprint_bits must be in 0..=32");
  EXPECT_EQ(error_of([&] { HashedDictIndex::from_pairs(d, synthetic(2), 8, 1); }),
            "format error: hashed-dict: the dictionary's walk ended before its last key");
}

TEST(HashedDict, DamagedRanksUnderTheUnverifiedLoader) {
  const std::vector<std::string> keys = hdfix::keys(100, 9);
  const Dict d = hdfix::dict_of(keys);
  const HashedDictIndex h = HashedDictIndex::from_shared_dict(d, 8);
  ASSERT_TRUE(h.side().empty());
  ASSERT_EQ(h.entry_bits(), 15u);
  Bytes b = h.to_bytes();
  const std::size_t table_at = b.size() - h.rank_table().size();
  const std::uint64_t slot = h.mphf()->index(hash::hash_pair(keys[17]).first);
  for (unsigned i = 8; i < 15; ++i) b[table_at + (slot * 15 + i) / 8] |= static_cast<unsigned char>(1u << ((slot * 15 + i) % 8));
  const HashedDictIndex damaged = loaded(b, false);
  EXPECT_FALSE(damaged.id(keys[17]).found);
  EXPECT_FALSE(damaged.contains(keys[17]));
  std::string_view one[] = {keys[17]};
  EXPECT_FALSE(damaged.ids_of(one)[0].found);
  EXPECT_EQ(damaged.unchecked_with_side(keys[17]), 99u);
  EXPECT_EQ(damaged.id(keys[18]), (Found{true, 18}));
}

TEST(HashedDict, ByteFlipsNeverCrashALookup) {
  const std::vector<std::string> keys = hdfix::keys(24, 10);
  const Dict d = hdfix::dict_of(keys, 8);
  const Bytes b = HashedDictIndex::from_pairs(d, synthetic(24, {{3, 1}}), 5, 1).to_bytes();
  std::vector<std::string_view> views(keys.begin(), keys.end());
  views.push_back("stranger");
  for (std::size_t at = 0; at < b.size(); ++at) {
    for (unsigned char mask : {0x01, 0x80}) {
      Bytes m = b;
      m[at] ^= mask;
      for (int mode = 0; mode < 3; ++mode) {
        Bytes x = m;
        if (mode > 0) hdfix::reseal(x);
        try {
          const HashedDictIndex h = loaded(x, mode != 2);
          for (std::string_view k : views) {
            (void)h.id(k);
            (void)h.unchecked_with_side(k);
          }
          (void)h.ids_of(views);
          EXPECT_EQ(h.to_bytes().size(), h.serialized_len());
        } catch (const IndexError&) {
        }
      }
    }
  }
}

TEST(HashedDict, FilesRoundTrip) {
  TempDir dir;
  const std::vector<std::string> keys = hdfix::keys(500, 11, true);
  const Dict d = hdfix::dict_of(keys, 64);
  const HashedDictIndex h = HashedDictIndex::from_shared_dict(d, 16);
  const std::string path = dir / "h.bhd";
  h.save(path);
  const Bytes b = h.to_bytes();
  for (const HashedDictIndex& back : {HashedDictIndex::load(path), HashedDictIndex::load_mmap(path),
                                      HashedDictIndex::load_mmap_verified(path)}) {
    EXPECT_EQ(back.to_bytes(), b);
    check_members(back, *back.dict(), keys, {});
  }
  // The dictionary handed out lives on after the index.
  std::shared_ptr<const DictIndex> inner;
  {
    const HashedDictIndex m = HashedDictIndex::load_mmap(path);
    inner = m.dict();
  }
  EXPECT_EQ(inner->locate_query(keys[3]).rank, 3u);
  EXPECT_EQ(dir.names(), std::set<std::string>{"h.bhd"});
}
