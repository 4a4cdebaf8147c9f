#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <span>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "mphf.hpp"
#include "mphf_fixtures.hpp"

using namespace quorvale;
using namespace mphf_fixtures;

namespace {

std::vector<std::uint64_t> words(const Pages<std::uint64_t>& p) { return {p.begin(), p.end()}; }
template <class T>
std::vector<std::uint64_t> widen(const Pages<T>& p) {
  return {p.begin(), p.end()};
}

void expect_round_trip(const std::vector<std::uint64_t>& values, std::uint64_t n) {
  Remap r = Remap::encode(values, n);
  ASSERT_EQ(r.len, values.size());
  ASSERT_TRUE(Remap::validate(r, n));
  for (std::size_t j = 0; j < values.size(); ++j) ASSERT_EQ(r.get(j), values[j]) << "entry " << j << " of " << values.size();
  // Past the last entry, and far past the samples, the lookup answers 0.
  EXPECT_EQ(r.get(values.size()), 0u);
  EXPECT_EQ(r.get(values.size() + 64), 0u);
  EXPECT_EQ(r.get(~std::uint64_t{0}), 0u);
}

std::string format_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Format);
    return e.message();
  }
  return "(no error)";
}

// An Elias-Fano hole list as the older images store it: low words of width
// w, then the unary high parts.
struct HoleList {
  std::vector<std::uint64_t> low, high;
  std::uint32_t width;
};
HoleList hole_list(const std::vector<std::uint64_t>& holes, std::uint64_t n, std::uint32_t w) {
  HoleList l;
  l.width = w;
  std::uint64_t x = holes.size();
  l.low.assign((x * w + 63) / 64, 0);
  l.high.assign(x ? ((n >> w) + x + 1 + 63) / 64 : 0, 0);
  for (std::uint64_t i = 0; i < x; ++i) {
    for (std::uint32_t b = 0; b < w; ++b)
      if (holes[i] >> b & 1) l.low[(i * w + b) / 64] |= 1ULL << ((i * w + b) % 64);
    std::uint64_t p = (holes[i] >> w) + i;
    l.high[p / 64] |= 1ULL << (p % 64);
  }
  return l;
}

}  // namespace

TEST(Remap, WorkedVector) {
  Remap r = Remap::encode(std::vector<std::uint64_t>{1, 5, 7}, 8);
  EXPECT_EQ(r.width, 1u);
  EXPECT_EQ(r.len, 3u);
  EXPECT_EQ(words(r.high), (std::vector<std::uint64_t>{0x29, 0, 0, 0, 0}));  // bits 0, 3, 5
  EXPECT_EQ(words(r.low), (std::vector<std::uint64_t>{0x7}));
  EXPECT_EQ(widen(r.samples32), (std::vector<std::uint64_t>{0}));
  EXPECT_EQ(widen(r.samples16), (std::vector<std::uint64_t>{0}));
  EXPECT_EQ(r.get(0), 1u);
  EXPECT_EQ(r.get(1), 5u);
  EXPECT_EQ(r.get(2), 7u);
}

TEST(Remap, ReferenceLayouts) {
  for (const RemapSpec& s : REMAPS) {
    SCOPED_TRACE(s.count);
    std::vector<std::uint64_t> values(s.values, s.values + s.count);
    Remap r = Remap::encode(values, s.n);
    EXPECT_EQ(r.width, s.width);
    EXPECT_EQ(words(r.low), std::vector<std::uint64_t>(s.low, s.low + s.low_len));
    EXPECT_EQ(words(r.high), std::vector<std::uint64_t>(s.high, s.high + s.high_len));
    EXPECT_EQ(widen(r.samples32), std::vector<std::uint64_t>(s.s32, s.s32 + s.s32_len));
    EXPECT_EQ(widen(r.samples16), std::vector<std::uint64_t>(s.s16, s.s16 + s.s16_len));
    expect_round_trip(values, s.n);
  }
}

TEST(Remap, RoundTripsAtSamplingBoundaries) {
  std::mt19937_64 rng(9);
  for (std::uint64_t T : {0ULL, 1ULL, 63ULL, 64ULL, 65ULL, 2047ULL, 2048ULL, 2049ULL, 4097ULL}) {
    for (std::uint64_t ratio : {1ULL, 2ULL, 5ULL, 1000ULL}) {
      std::uint64_t n = std::max<std::uint64_t>(T * ratio, 1);
      SCOPED_TRACE("T=" + std::to_string(T) + " n=" + std::to_string(n));
      std::vector<std::uint64_t> v(T);
      for (auto& x : v) x = rng() % n;
      std::sort(v.begin(), v.end());
      expect_round_trip(v, n);
      // Runs of equal entries, as free slots repeat the hole taken before them.
      for (std::size_t j = 0; j < T; ++j) v[j] = v[j - j % 37];
      expect_round_trip(v, n);
      expect_round_trip(std::vector<std::uint64_t>(T, n - 1), n);
      expect_round_trip(std::vector<std::uint64_t>(T, 0), n);
    }
  }
}

TEST(Remap, EmptyRemap) {
  Remap r = Remap::encode({}, 0);
  EXPECT_EQ(r.width, 0u);
  EXPECT_TRUE(r.low.empty() && r.high.empty() && r.samples32.empty() && r.samples16.empty());
  for (std::uint64_t n : {0ULL, 1ULL, 1000ULL}) EXPECT_TRUE(Remap::validate(r, n));
  EXPECT_EQ(r.get(0), 0u);
  EXPECT_EQ(r.get(12345), 0u);
}

TEST(Remap, LookupPastTheFourScannedWords) {
  // 63 zeros, then a jump: the high parts of entries 63.. lie more than four
  // words past their group's sample.
  std::vector<std::uint64_t> v(128, 0);
  for (std::size_t j = 63; j < 128; ++j) v[j] = 254;
  Remap r = Remap::encode(v, 255);
  ASSERT_EQ(r.width, 0u);
  ASSERT_GE(63 + 254, 4 * 64);
  expect_round_trip(v, 255);

  // If the words run out (only a malformed table), the lookup answers 0
  // rather than an id outside the table.
  for (std::size_t i = 4; i < r.high.size(); ++i) r.high[i] = 0;
  EXPECT_EQ(r.get(63), 0u);
  EXPECT_EQ(r.get(127), 0u);
  EXPECT_FALSE(Remap::validate(r, 255));
  std::uint64_t none[2] = {0, 0};
  EXPECT_EQ(Remap::beyond(none, 2, 0, 0), 0u);
  std::uint64_t some[3] = {0xff, 0, 0x10};
  EXPECT_EQ(Remap::beyond(some, 3, 0, 8), 2 * 64 + 4u);
  EXPECT_EQ(Remap::beyond(some, 3, 1, 0), 2 * 64 + 4u);
  EXPECT_EQ(Remap::beyond(some, 3, 0, 9), 0u);
}

TEST(Remap, BlockOutrunningItsSuperSample) {
  // Width 0 and a jump of 70,000 inside the first 64 entries: the 64-entry
  // offset no longer fits 16 bits.
  std::vector<std::uint64_t> v(40000, 70000);
  for (std::size_t j = 0; j < 64; ++j) v[j] = 0;
  EXPECT_EQ(format_message([&] { Remap::encode(v, 79999); }), "mphf: a remap block outruns its super-sample");
  // The same jump where a 2048-entry sample starts is no trouble.
  for (std::size_t j = 0; j < 2048; ++j) v[j] = 0;
  expect_round_trip(v, 79999);
}

TEST(Remap, ValidateRejectsMalformedRemaps) {
  std::vector<std::uint64_t> v(300);
  std::mt19937_64 rng(4);
  for (auto& x : v) x = rng() % 1000;
  std::sort(v.begin(), v.end());
  v.back() = 999;
  const std::uint64_t n = 1000;  // width 1
  auto fresh = [&] { return Remap::encode(v, n); };
  ASSERT_TRUE(Remap::validate(fresh(), n));

  struct Case {
    const char* what;
    std::function<void(Remap&)> spoil;
    std::uint64_t n;
  } cases[] = {
      {"width 64", [](Remap& r) { r.width = 64; }, n},
      {"low one word short", [](Remap& r) { r.low = Pages<std::uint64_t>::zeroed(r.low.size() - 1); }, n},
      {"high one word short", [](Remap& r) { r.high = Pages<std::uint64_t>::zeroed(r.high.size() - 1); }, n},
      {"missing 2048-sample", [](Remap& r) { r.samples32 = Pages<std::uint32_t>(); }, n},
      {"missing 64-sample", [](Remap& r) { r.samples16 = Pages<std::uint16_t>::zeroed(r.samples16.size() - 1); }, n},
      {"last pad word set", [](Remap& r) { r.high[r.high.size() - 1] = 1; }, n},
      {"first pad word set", [](Remap& r) { r.high[r.high.size() - 4] = 0x8000000000000000ULL; }, n},
      {"one set bit more", [](Remap& r) { r.high[0] |= r.high[0] + 1; }, n},  // its lowest clear bit
      {"one set bit fewer", [](Remap& r) {
         std::size_t last = r.high.size() - 5;
         r.high[last] &= ~(1ULL << (63 - std::countl_zero(r.high[last])));
       }, n},
      {"64-sample off by one", [](Remap& r) { r.samples16[2] += 1; }, n},
      {"2048-sample off by one", [](Remap& r) { r.samples32[0] += 1; }, n},
      // Same word counts over a smaller universe: only the last entry is out.
      {"entry at or above n", [](Remap&) {}, 997},
  };
  for (const Case& c : cases) {
    Remap r = fresh();
    c.spoil(r);
    EXPECT_FALSE(Remap::validate(r, c.n)) << c.what;
  }
  // Validation does not ask for non-decreasing entries: a table whose bits
  // say 5 then 4 over width 1 is accepted as long as both are below n.
  Remap r = Remap::encode(std::vector<std::uint64_t>{4, 5}, 8);  // width 2
  r.low[0] = 1 | (0 << 2);  // entries 5, 4
  EXPECT_EQ(r.get(0), 5u);
  EXPECT_EQ(r.get(1), 4u);
  EXPECT_TRUE(Remap::validate(r, 8));
}

TEST(Remap, ConvertsTheOlderHoleList) {
  // 10 further slots, slots 2, 3 and 7 occupied, holes 4, 9, 9 (repeats allowed).
  const std::uint64_t n = 20, T = 10;
  std::vector<std::uint64_t> holes{4, 9, 9};
  std::uint32_t w = 2;  // floor(log2(20 / 3))
  HoleList l = hole_list(holes, n, w);
  std::vector<std::uint64_t> bitmap{(1u << 2) | (1u << 3) | (1u << 7)};
  Remap r = Remap::from_v2(bitmap, l.low, l.high, 3, w, T, n);
  std::vector<std::uint64_t> expect{0, 0, 4, 9, 9, 9, 9, 9, 9, 9};
  for (std::uint64_t j = 0; j < T; ++j) EXPECT_EQ(r.get(j), expect[j]) << j;
  EXPECT_TRUE(Remap::validate(r, n));

  auto msg = [&](std::vector<std::uint64_t> bm, std::vector<std::uint64_t> hs, std::uint64_t x, std::uint64_t nn) {
    HoleList hl = hole_list(hs, nn, w);
    return format_message([&] { Remap::from_v2(bm, hl.low, hl.high, x, w, T, nn); });
  };
  const std::string outside = "mphf: a remap entry points outside the image";
  const std::string disagree = "mphf: occupied values disagree with the hole count";
  EXPECT_EQ(msg({0b1100}, {4, 9, 9}, 3, n), disagree);          // fewer occupied slots than holes
  EXPECT_EQ(msg({0b1110}, {4, 9}, 2, n), disagree);             // more occupied slots than holes
  EXPECT_EQ(msg(bitmap, {4, 9, 9}, 2, n), outside);             // a hole bit beyond the count
  EXPECT_EQ(msg(bitmap, {4, 9}, 3, n), outside);                // fewer holes than the count
  EXPECT_EQ(msg(bitmap, {4, 9, 9}, 3, 9), outside);             // a hole at or above n
  // 11 then 9: equal high parts, falling low bits.
  EXPECT_EQ(msg(bitmap, {11, 9, 12}, 3, n), "mphf: a remap's entries run backwards");
  // The converted entries are encoded, and the encoder's failures pass through.
  const std::uint64_t bigT = 40000, bign = 79999;
  std::vector<std::uint64_t> bm((bigT + 63) / 64, 0);
  bm[1] = 1;  // slot 64 takes hole 70000; slots 0..63 get 0
  HoleList hl = hole_list({70000}, bign, 1);
  EXPECT_EQ(format_message([&] { Remap::from_v2(bm, hl.low, hl.high, 1, 1, bigT, bign); }),
            "mphf: a remap block outruns its super-sample");
}

namespace {

// The older images' conversion as it stood before it streamed: every hole in
// one vector, every slot's entry in another, then encoded. The oracle of the
// test below.
Remap dense_from_v2(std::span<const std::uint64_t> bitmap, std::span<const std::uint64_t> hole_low,
                    std::span<const std::uint64_t> hole_high, std::uint64_t x, std::uint32_t hole_width,
                    std::uint64_t T, std::uint64_t n) {
  const auto outside = [] { return IndexError::format("mphf: a remap entry points outside the image"); };
  const auto packed = [&](std::uint64_t i) {
    std::uint64_t v = 0;
    for (std::uint32_t b = 0; b < hole_width; ++b) v |= (hole_low[(i * hole_width + b) / 64] >> ((i * hole_width + b) % 64) & 1) << b;
    return v;
  };
  if ((n == 0 && T > 0) || hole_width >= 64 || hole_low.size() < (x * hole_width + 63) / 64) throw outside();
  if (bitmap.size() < (T + 63) / 64) throw IndexError::format("mphf: occupied values disagree with the hole count");
  std::vector<std::uint64_t> holes;
  for (std::size_t wi = 0; wi < hole_high.size(); ++wi) {
    for (std::uint64_t word = hole_high[wi]; word != 0; word &= word - 1) {
      const std::uint64_t p = wi * 64 + static_cast<unsigned>(std::countr_zero(word));
      const std::uint64_t i = holes.size();
      if (i >= x || p < i) throw outside();
      const std::uint64_t h = packed(i) | ((p - i) << hole_width);
      if (h >= n) throw outside();
      if (i > 0 && h < holes.back()) throw IndexError::format("mphf: a remap's entries run backwards");
      holes.push_back(h);
    }
  }
  if (holes.size() != x) throw outside();
  std::vector<std::uint64_t> entries(T);
  std::uint64_t g = 0, taken = 0;
  for (std::uint64_t j = 0; j < T; ++j) {
    if (bitmap[j >> 6] >> (j & 63) & 1) {
      if (taken == x) throw IndexError::format("mphf: occupied values disagree with the hole count");
      g = holes[taken++];
    }
    entries[j] = g;
  }
  if (taken != x) throw IndexError::format("mphf: occupied values disagree with the hole count");
  return Remap::encode(entries, n);
}

// A conversion's outcome: the remap's arrays, or the refusal's message.
std::string converted(const std::function<Remap()>& convert) {
  std::string out;
  try {
    const Remap r = convert();
    out = "len " + std::to_string(r.len) + " width " + std::to_string(r.width) + ":";
    for (std::uint64_t v : r.low) (out += ' ') += std::to_string(v);
    out += " |";
    for (std::uint64_t v : r.high) (out += ' ') += std::to_string(v);
    out += " |";
    for (std::uint64_t v : r.samples32) (out += ' ') += std::to_string(v);
    out += " |";
    for (std::uint64_t v : r.samples16) (out += ' ') += std::to_string(v);
  } catch (const IndexError& e) {
    out = e.message();
  }
  return out;
}

}  // namespace

TEST(Remap, OlderHoleListsConvertAsTheDenseConverterDid) {
  // Generated tables of every density, across the 64- and 2048-entry
  // samples, with universes from T up to 2^32 - 1, each also spoiled in one
  // of the ways a converter refuses: both converters give the same remap or
  // the same message.
  std::size_t refused = 0, converted_ok = 0;
  // `holes` laid out over a universe that still holds the last of them, so
  // that a hole at or above a smaller claimed n keeps its bit.
  const auto compare = [&](const std::vector<std::uint64_t>& bitmap, const std::vector<std::uint64_t>& holes,
                           std::uint64_t claimed, std::uint64_t T, std::uint64_t n, std::uint64_t universe) {
    const std::uint64_t count = holes.size();
    const std::uint32_t w = count == 0 ? 0 : 63 - std::countl_zero(std::max<std::uint64_t>(n / count, 1));
    const HoleList l = hole_list(holes, std::max(n, holes.empty() ? 0 : holes.back() + 1), w);
    const std::string want = converted([&] { return dense_from_v2(bitmap, l.low, l.high, claimed, w, T, universe); });
    const std::string got = converted([&] { return Remap::from_v2(bitmap, l.low, l.high, claimed, w, T, universe); });
    EXPECT_EQ(got, want) << "T " << T << ", x " << claimed << ", n " << universe;
    (want.rfind("len ", 0) == 0 ? converted_ok : refused) += 1;
  };
  std::mt19937_64 rng(43);
  for (int round = 0; round < 600; ++round) {
    const std::uint64_t T = round % 50 == 0 ? 0 : rng() % (round % 7 == 0 ? 70000 : 3000) + 1;
    const std::uint64_t per_mille = std::array<std::uint64_t, 5>{0, 2, 100, 700, 1000}[rng() % 5];
    std::vector<std::uint64_t> bitmap((T + 63) / 64, 0);
    std::uint64_t x = 0;
    for (std::uint64_t j = 0; j < T; ++j)
      if (rng() % 1000 < per_mille) bitmap[j / 64] |= 1ULL << (j % 64), ++x;
    if (T % 64 != 0 && rng() % 4 == 0) bitmap.back() |= ~0ULL << (T % 64);  // bits past T are not slots
    const std::uint64_t n = std::array<std::uint64_t, 4>{x + 1 + rng() % 4, T + 1, T * 37 + 5,
                                                         (1ULL << 32) - 1 - rng() % 1000}[rng() % 4];
    std::vector<std::uint64_t> holes(x);
    for (std::uint64_t& h : holes) h = rng() % n;
    std::sort(holes.begin(), holes.end());
    std::uint64_t claimed = x, universe = n;
    switch (rng() % 8) {
      case 0: if (x > 0) holes.pop_back(); break;                   // fewer holes than occupied slots
      case 1: holes.insert(holes.begin(), 0), ++claimed; break;     // more holes than occupied slots
      case 2: claimed += 1; break;                                  // a count the list does not hold
      case 3: if (x > 1) std::swap(holes[0], holes[x - 1]); break;  // running backwards (when they differ)
      case 4: if (x > 0) universe = holes.back(); break;            // the last hole at n
      default: break;
    }
    compare(bitmap, holes, claimed, T, n, universe);
  }
  // Holes so far apart that a 64-entry block outruns its sample, and a
  // bitmap shorter than its slots.
  std::vector<std::uint64_t> sparse((40000 + 63) / 64, 0);
  sparse[1] = 1;
  compare(sparse, {70000}, 1, 40000, 79999, 79999);
  sparse[600] = 1;
  compare(sparse, {7, 70000}, 2, 40000, 79999, 79999);
  compare({1}, {3}, 1, 65, 100, 100);
  // Both outcomes are well represented.
  EXPECT_GT(converted_ok, 150u);
  EXPECT_GT(refused, 150u);
}

TEST(Remap, OlderHoleListOverMoreKeysThanATableHolds) {
  // A universe past 2^32 - 1 is no build's; converting its bitmap would cost
  // up to 40 bits a slot. Without further slots nothing is converted.
  const std::vector<std::uint64_t> bitmap{1};
  const HoleList l = hole_list({5}, 1ULL << 40, 39);
  EXPECT_EQ(format_message([&] { Remap::from_v2(bitmap, l.low, l.high, 1, 39, 10, 1ULL << 40); }),
            "mphf: blob sections do not fit in memory");
  const Remap empty = Remap::from_v2({}, {}, {}, 0, 0, 0, 1ULL << 40);
  EXPECT_EQ(empty.len, 0u);
  const HoleList fits = hole_list({5}, UINT32_MAX, 31);
  EXPECT_EQ(Remap::from_v2(bitmap, fits.low, fits.high, 1, 31, 10, UINT32_MAX).get(3), 5u);
}

namespace {

// Validation by its definition, entry by entry: the set bits of `high` in
// order, the samples at their bits, and every entry read through get().
bool validate_by_definition(const Remap& r, std::uint64_t n) {
  const std::uint64_t T = r.len;
  const std::uint32_t w = r.width;
  if (w >= 64 || r.low.size() != (T * w + 63) / 64) return false;
  if (T == 0 ? !r.high.empty() : r.high.size() != (T + ((n - 1) >> w) + 63) / 64 + 4) return false;
  if (r.samples32.size() != (T + 2047) / 2048 || r.samples16.size() != (T + 63) / 64) return false;
  const std::size_t body = r.high.size() > 4 ? r.high.size() - 4 : 0;
  for (std::size_t i = body; i < r.high.size(); ++i)
    if (r.high[i] != 0) return false;
  std::uint64_t i = 0;
  for (std::uint64_t p = 0; p < 64 * body; ++p) {
    if (!(r.high[p / 64] >> (p % 64) & 1)) continue;
    if (i >= T) return false;
    if (i % 64 == 0 && std::uint64_t{r.samples32[i / 2048]} + r.samples16[i / 64] != p) return false;
    if (i % 2048 == 0 && r.samples32[i / 2048] != p) return false;
    ++i;
  }
  if (i != T) return false;
  for (std::uint64_t j = 0; j < T; ++j)
    if (r.get(j) >= n) return false;
  return true;
}

}  // namespace

TEST(Remap, ValidateAgreesWithItsDefinitionOnDamagedTables) {
  // Remaps over universes just above their last entry (so that a low bit or
  // a moved high bit decides), damaged by single bit flips anywhere, and
  // checked over universes around the largest entry.
  std::mt19937_64 rng(11);
  int accepted = 0, refused = 0;
  for (std::uint64_t T : {1, 63, 64, 65, 300, 2049, 5000}) {
    for (std::uint64_t span : {T / 2 + 1, 4 * T, 1000 * T}) {
      std::vector<std::uint64_t> v(T);
      for (auto& x : v) x = rng() % span;
      std::sort(v.begin(), v.end());
      const std::uint64_t n = v.back() + 1 + rng() % 3;
      for (int trial = 0; trial < 40; ++trial) {
        Remap r = Remap::encode(v, n);
        if (trial > 0) {
          // One flipped bit in one of the four arrays (or none left to flip).
          auto flip = [&](auto& pages, unsigned bits) {
            if (pages.empty()) return;
            const std::size_t at = rng() % pages.size();
            pages[at] ^= static_cast<std::remove_reference_t<decltype(pages[at])>>(1ULL << (rng() % bits));
          };
          switch (rng() % 4) {
            case 0: flip(r.low, 64); break;
            case 1: if (r.high.size() > 4) r.high[rng() % (r.high.size() - 4)] ^= 1ULL << (rng() % 64); break;
            case 2: flip(r.samples16, 16); break;
            default: flip(r.samples32, 32); break;
          }
        }
        for (std::uint64_t u : {n - 1, n, n + 1, v.back(), v.back() + 1}) {
          if (u == 0) continue;
          const bool want = validate_by_definition(r, u);
          ASSERT_EQ(Remap::validate(r, u), want) << "T " << T << " span " << span << " trial " << trial << " n " << u;
          (want ? accepted : refused)++;
        }
      }
    }
  }
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 100);
}
