// Hand-assembled minimal perfect hash tables, their images and expected ids,
// as laid out by tests/reference/mphf_reference.py (which shares no code
// with the library), plus helpers that assemble the same tables in memory.
#pragma once

#include <cstdint>
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
