// Hand-assembled minimal perfect hash tables, their images and expected ids,
// as laid out by tests/reference/mphf_reference.py (which shares no code
// with the library), plus helpers that assemble the same tables in memory.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "mphf.hpp"

namespace mphf_fixtures {

struct LevelSpec {
  std::uint64_t slots, buckets, window;
  const unsigned char* seeds;
};

struct TableSpec {
  std::uint64_t n;
  bool has_level0;
  LevelSpec levels[16];  // level 0 first when present
  std::uint64_t level_count;
  std::uint64_t tail_keys, tail_slots, tail_seed;
  const std::uint64_t* pilots;
  const std::uint64_t* entries;
  std::uint64_t pilot_count;
  bool geometry;
};

struct RemapSpec {
  std::uint64_t n, count, width;
  const std::uint64_t* values;
  const std::uint64_t* low;
  std::uint64_t low_len;
  const std::uint64_t* high;
  std::uint64_t high_len;
  const std::uint64_t* s32;
  std::uint64_t s32_len;
  const std::uint64_t* s16;
  std::uint64_t s16_len;
};

#include "mphf_fixtures.inc"

inline quorvale::Level make_level(const LevelSpec& s, bool geometry) {
  quorvale::Level l;
  l.slots = s.slots;
  l.buckets = s.buckets;
  l.window = s.window;
  l.mode_bits = geometry ? 2 : 0;
  l.shift = quorvale::Level::shift_for(s.window, l.mode_bits);
  l.seeds = quorvale::Pages<std::uint8_t>::allocate(s.buckets);
  for (std::uint64_t i = 0; i < s.buckets; ++i) l.seeds[i] = s.seeds[i];
  return l;
}

// The table in memory, its remap encoded by the library.
inline quorvale::V2 assemble(const TableSpec& t) {
  quorvale::V2 v;
  v.n = t.n;
  v.geometry = t.geometry;
  std::uint64_t T = t.tail_slots;
  for (std::uint64_t i = 0; i < t.level_count; ++i) {
    if (i == 0 && t.has_level0) {
      v.level0 = make_level(t.levels[i], t.geometry);
    } else {
      v.levels.push_back(make_level(t.levels[i], t.geometry));
      T += t.levels[i].slots;
    }
  }
  v.tail_keys = t.tail_keys;
  v.tail_buckets = t.pilot_count;
  v.tail_slots = t.tail_slots;
  v.tail_seed = t.tail_seed;
  v.pilots = quorvale::Pages<std::uint16_t>::allocate(t.pilot_count);
  for (std::uint64_t i = 0; i < t.pilot_count; ++i) v.pilots[i] = static_cast<std::uint16_t>(t.pilots[i]);
  v.remap = quorvale::Remap::encode(std::span<const std::uint64_t>(t.entries, T), t.n);
  return v;
}

// Probe i is splitmix64(i).
inline std::vector<std::uint64_t> probe_hashes(std::size_t count) {
  std::vector<std::uint64_t> h(count);
  for (std::size_t i = 0; i < count; ++i) h[i] = quorvale::splitmix64(i);
  return h;
}

template <std::size_t N>
std::span<const unsigned char> image(const unsigned char (&a)[N]) {
  return {a, N};
}

}  // namespace mphf_fixtures

namespace mphf_fixtures {

// A table of the built shape with random seed bytes (a share of them 0) and
// random non-decreasing remap entries: not a perfect hash of anything, but
// every evaluation path is exercised on it.
struct Synthetic {
  std::uint64_t buckets0 = 1000;  // 0: no level 0
  std::uint64_t window0 = 1024;
  bool tail = true;
  bool geometry = true;
  double zero_share = 0.1;  // of level 0's buckets
  std::uint64_t seed = 1;
  double further_zero_share = 0.1;
};

inline quorvale::V2 synthetic(const Synthetic& s) {
  std::mt19937_64 r(s.seed);
  const std::uint32_t d = s.geometry ? 2 : 0;
  auto level = [&](std::uint64_t slots, std::uint64_t buckets, std::uint64_t window, double zero_share) {
    quorvale::Level l;
    l.slots = slots;
    l.buckets = buckets;
    l.window = window;
    l.mode_bits = d;
    l.shift = quorvale::Level::shift_for(window, d);
    l.seeds = quorvale::Pages<std::uint8_t>::allocate(buckets);
    const std::uint64_t zero_below = static_cast<std::uint64_t>(zero_share * 4096);
    for (std::uint64_t i = 0; i < buckets; ++i) {
      std::uint64_t x = r();
      l.seeds[i] = (x >> 52) < zero_below ? 0 : static_cast<std::uint8_t>(1 + x % 255);
    }
    return l;
  };
  quorvale::V2 v;
  v.geometry = s.geometry;
  v.n = s.buckets0 ? s.buckets0 * 9 / 2 : 200;
  if (s.buckets0) v.level0 = level(v.n, s.buckets0, s.window0, s.zero_share);
  if (s.buckets0) {  // without level 0 a table has no further level either
    v.levels.push_back(level(5000, 1111, 256, s.further_zero_share));
    v.levels.push_back(level(1200, 267, 1024, s.further_zero_share));
  }
  if (s.tail) {
    v.tail_keys = 100;
    v.tail_buckets = 16;
    v.tail_slots = 105;
    v.tail_seed = quorvale::splitmix64(0x7a115eed00000000ULL);
    v.pilots = quorvale::Pages<std::uint16_t>::allocate(16);
    for (auto& p : v.pilots) p = static_cast<std::uint16_t>(r());
  }
  std::vector<std::uint64_t> entries(v.further_slots());
  for (auto& e : entries) e = r() % v.n;
  std::sort(entries.begin(), entries.end());
  v.remap = quorvale::Remap::encode(entries, v.n);
  return v;
}

// An "MPH2" image over one key (header checksum left 0: reseal it) whose
// level 0 (one slot, one bucket, seed byte 0) bumps every hash to one
// further level of `slots` slots (one bucket, seed byte 1); slot 0, the only
// occupied one, takes the only hole, 0, so every id is 0. Its bitmap is a
// bit a slot, which the conversion to the current remap must not spread
// into a word a slot.
inline std::vector<unsigned char> mph2_wide(std::uint64_t slots) {
  std::vector<unsigned char> b(64 + 2 * 24 + 4, 0);
  std::copy_n("MPH2", 4, b.begin());
  b[4] = 2;  // version; geometry and the reserved byte 0
  // n, L, k, P, m, tail seed, hole count, then slots, buckets, window of each level
  const std::uint64_t fields[] = {1, 2, 0, 0, 0, 0, 1, 1, 1, 1, slots, 1, 1};
  for (std::size_t i = 0; i < std::size(fields); ++i) quorvale::store_le64(b.data() + 8 + 8 * i, fields[i]);
  b.push_back(0);  // the seed bytes
  b.push_back(1);
  const std::size_t bitmap_at = b.size();
  b.resize(b.size() + 8 * ((slots + 63) / 64) + 4 * ((slots + 511) / 512));  // the bitmap, then skipped words
  b[bitmap_at] = 1;
  const std::size_t holes_at = b.size();  // width 0: no low words, one high word
  b.resize(b.size() + 8 + 4);
  b[holes_at] = 1;
  return b;
}

inline std::vector<std::uint64_t> random_hashes(std::size_t count, std::uint64_t seed) {
  std::mt19937_64 r(seed);
  std::vector<std::uint64_t> h(count);
  for (auto& x : h) x = r();
  return h;
}

}  // namespace mphf_fixtures
