// Occupancy maps, bucket runs and the seed search of a level build.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#include "mphf_build.hpp"

namespace quorvale::mphf_build {

// ---------------------------------------------------------------------------
// Geometry and plan.

Geometry level_geometry(std::uint64_t n) {
  Geometry g;
  g.slots = n;
  g.buckets = std::max<std::uint64_t>((2 * n + 8) / 9, 1);
  g.window = n < 4096 ? 256 : n < 32768 ? 512 : 1024;
  g.shift = static_cast<std::uint32_t>(std::countr_zero(g.window >> 6));
  g.mode_bits = 2;
  return g;
}

ChunkPlan chunk_plan(const Geometry& g, bool level0) {
  ChunkPlan plan;
  const std::uint64_t B = g.buckets;
  plan.buckets = B;
  plan.boundaries.push_back(0);
  if (level0 && B >= 262144) {
    // Wide 65536-bucket chunks, then a run of 16384-bucket chunks at the end
    // so that the last chunks (and the closing gap) finish close together.
    std::uint64_t q = (B - 196608) >> 16;
    std::uint64_t r = (B - 196608) & 0xffff;
    for (std::uint64_t k = 1; k <= q + 1; ++k) plan.boundaries.push_back(65536 * k);
    std::uint64_t L = (q + 1) * 65536;
    std::uint64_t tail = ((r + 98304) >> 14) + 1;
    for (std::uint64_t j = 1; j <= tail; ++j) plan.boundaries.push_back(L + 16384 * j);
  } else {
    std::uint64_t base = level0 ? 16384 : 4096;
    std::uint64_t chunk = std::clamp<std::uint64_t>(B >> 3, base, 65536);
    if (B >= 2 * chunk) {
      for (std::uint64_t k = 1; k + 1 <= B / chunk; ++k) plan.boundaries.push_back(chunk * k);
    }
  }
  const std::uint64_t n = g.slots;
  std::uint64_t wide = (g.window + 2) * B;
  plan.gap = std::min(B / 2, (wide + n - 1) / n + 1);
  for (std::size_t i = 0; i < plan.chunks(); ++i) plan.largest = std::max(plan.largest, plan.end(i) - plan.boundaries[i]);
  return plan;
}

bool ramp_reserves(std::uint64_t x, std::uint64_t start, std::uint64_t window) noexcept {
  constexpr std::uint64_t C = 0xf74bc6a7ef9dbULL;  // 0.966 · 2^52
  std::uint64_t r = splitmix64(x ^ PHI ^ (start << 20)) >> 12;
  return r < (window - x) * C / window;
}

// ---------------------------------------------------------------------------
// Map.

Map::Map(std::uint64_t span, std::uint32_t shift_)
    : words(static_cast<std::size_t>((((span >> shift_) >> 6) + 3) << shift_), 0),
      stride(((span >> shift_) >> 6) + 3),
      shift(shift_) {}

void Map::merge(const Map& other, std::int64_t a) {
  const std::int64_t ss = static_cast<std::int64_t>(stride);
  const std::int64_t os = static_cast<std::int64_t>(other.stride);
  std::int64_t lo = std::max<std::int64_t>(a, 0);
  if (lo > ss) panic("a merged map starts inside its target");
  std::int64_t hi = std::clamp<std::int64_t>(a + os, lo, ss);
  if (hi <= lo) return;
  const std::uint64_t rows = std::uint64_t{1} << shift;
  for (std::uint64_t r = 0; r < rows; ++r) {
    std::uint64_t* dst = words.data() + r * stride + lo;
    const std::uint64_t* src = other.words.data() + r * other.stride + (lo - a);
    for (std::int64_t i = 0; i < hi - lo; ++i) dst[i] |= src[i];
  }
}

Holes::Holes(const Map& map, std::uint64_t n) noexcept
    : map_(&map), n_(n), columns_(n == 0 ? 0 : ((n - 1) >> map.shift >> 6) + 1), rows_(std::uint64_t{1} << map.shift) {}

bool Holes::next(std::uint64_t& out) noexcept {
  for (;;) {
    if (in_bit_) {
      const std::uint64_t c = column_ - 1;
      while (row_ < rows_) {
        std::uint64_t r = row_++;
        std::uint64_t k = ((c * 64 + bit_) << map_->shift) | r;
        if (k < n_ && !((map_->words[r * map_->stride + c] >> bit_) & 1)) {
          out = k;
          return true;
        }
      }
      in_bit_ = false;
    }
    if (mask_ != 0) {
      bit_ = static_cast<std::uint64_t>(std::countr_zero(mask_));
      mask_ &= mask_ - 1;
      row_ = 0;
      in_bit_ = true;
      continue;
    }
    if (column_ >= columns_) return false;
    std::uint64_t m = 0;
    for (std::uint64_t r = 0; r < rows_; ++r) m |= ~map_->words[r * map_->stride + column_];
    mask_ = m;
    ++column_;
  }
}

// ---------------------------------------------------------------------------
// Bucket runs.

void bucket_ends(std::span<const std::uint64_t> keys, std::uint64_t buckets, std::uint64_t first,
                 std::span<std::uint32_t> out) {
  // Keys out of bucket order would silently give a bucket another's keys:
  // a broken promise of the caller stops the build instead.
  std::uint64_t last = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::uint64_t j = range(keys[i], buckets) - first;  // wraps for a bucket before first
    if (j >= out.size()) panic("a key's bucket lies inside its run");
    if (j < last) panic("a run's keys come in bucket order");
    last = j;
    out[j] = static_cast<std::uint32_t>(i + 1);
  }
  std::uint32_t m = 0;
  for (auto& e : out) {
    m = std::max(m, e);
    e = m;
  }
}

void bumped_keys(const BucketRun& run, const std::uint8_t* seeds, std::uint32_t count, std::vector<std::uint64_t>& out) {
  for (std::uint32_t j = 0; j < count; ++j) {
    if (seeds[j] != 0) continue;
    std::uint32_t a = run.ends[j], b = run.ends[j + 1];
    out.insert(out.end(), run.keys.begin() + a, run.keys.begin() + b);
  }
}

// ---------------------------------------------------------------------------
// Costs and leads.

namespace {

std::array<std::uint32_t, 4096> make_log2() {
  std::array<std::uint32_t, 4096> t{};
  for (unsigned i = 2; i < 4096; ++i) {
    // log2 of an integer that is no power of two is irrational, so no value
    // sits on a half and double precision rounds every entry exactly.
    t[i] = static_cast<std::uint32_t>(std::lround(65536.0 * std::log2(static_cast<double>(i))));
  }
  return t;
}

constexpr std::int64_t LEAD[17] = {0,      -50137, 65904,  111782, 139890, 159029, 175922, 186995, 198068,
                                   209141, 220214, 231287, 242360, 253433, 264506, 275579, 286652};

inline std::uint64_t cost_of(const std::uint32_t* log2, std::uint64_t p) noexcept { return log2[p + 95]; }

}  // namespace

const std::uint32_t* log2_table() noexcept {
  static const std::array<std::uint32_t, 4096> table = make_log2();
  return table.data();
}

std::int64_t lead(unsigned k, std::uint64_t window) noexcept {
  return LEAD[k] * static_cast<std::int64_t>(window) / 1024;
}

// ---------------------------------------------------------------------------
// Searches.

namespace {

inline std::uint64_t range_mask(unsigned lo, unsigned hi) noexcept {  // bits lo..hi-1, 0 <= lo <= hi <= 64
  if (lo >= hi) return 0;
  std::uint64_t upto = hi >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << hi) - 1;
  return upto & ~((std::uint64_t{1} << lo) - 1);
}

}  // namespace

namespace {

// One instance per bucket size: the per-key loops unroll.
template <std::size_t L>
LaneResult lanes(const Geometry& g, const std::uint64_t* keys, Map& map, std::uint64_t base, const std::uint32_t* log2) {
  const std::uint64_t N = g.slots, W = g.window, span_end = N - base;
  const unsigned s = g.shift;
  const std::uint64_t rowmask = (std::uint64_t{1} << s) - 1;
  std::uint64_t e[L], t[L], u[L];
  unsigned D[L];
  for (std::size_t i = 0; i < L; ++i) {
    e[i] = range(keys[i], N) - base;
    if (e[i] + W > span_end) return {false, 0};
  }
  std::uint64_t best = ~std::uint64_t{0};
  for (unsigned r = 0; r < 4; ++r) {
    std::uint64_t F = r == 0 ? 1 : 0;
    std::uint64_t K = 1;
    for (std::size_t i = 0; i < L; ++i) {
      t[i] = (keys[i] >> (8 * r)) & (W - 1);
      u[i] = e[i] + t[i];
      D[i] = static_cast<unsigned>((W - 1 + (std::uint64_t{1} << s) - t[i]) >> s);
      std::uint64_t win = map.bits64(u[i] & rowmask, (u[i] >> s) + D[i] - 64);
      F |= std::rotl(win, static_cast<int>(D[i] & 63));
      K |= std::uint64_t{1} << (D[i] & 63);
    }
    // Keys of the bucket that meet on one slot: same base slot excludes the
    // rotation; base slots one window apart meet between their wrap points.
    bool excluded = false;
    for (std::size_t a = 0; a < L && !excluded; ++a) {
      for (std::size_t b = a + 1; b < L; ++b) {
        if (u[a] == u[b]) {
          excluded = true;
          break;
        }
        if (u[a] == u[b] + W) F |= range_mask(D[a], D[b]);
        else if (u[b] == u[a] + W) F |= range_mask(D[b], D[a]);
      }
    }
    if (excluded) continue;
    std::uint64_t E = (K | (F + (F & K))) & ~F;
    while (E) {
      unsigned c = static_cast<unsigned>(std::countr_zero(E));
      E &= E - 1;
      std::uint64_t cost = 0;
      for (std::size_t i = 0; i < L; ++i) cost += cost_of(log2, (t[i] + (std::uint64_t{c} << s)) & (W - 1));
      std::uint64_t score = 256 * cost + 64 * r + c;
      if (score < best) best = score;
    }
  }
  if (best == ~std::uint64_t{0}) return {true, 0};
  std::uint8_t byte = static_cast<std::uint8_t>(best & 255);
  unsigned r = byte >> 6, c = byte & 63;
  for (std::size_t i = 0; i < L; ++i) {
    std::uint64_t p = (((keys[i] >> (8 * r)) & (W - 1)) + (std::uint64_t{c} << s)) & (W - 1);
    map.set(e[i] + p);
  }
  return {true, byte};
}

}  // namespace

LaneResult seed_bucket_lanes(const Geometry& g, std::span<const std::uint64_t> keys, Map& map, std::uint64_t base) {
  const std::uint32_t* log2 = log2_table();
  const std::uint64_t* k = keys.data();
  switch (keys.size()) {
    case 1: return lanes<1>(g, k, map, base, log2);
    case 2: return lanes<2>(g, k, map, base, log2);
    case 3: return lanes<3>(g, k, map, base, log2);
    case 4: return lanes<4>(g, k, map, base, log2);
    case 5: return lanes<5>(g, k, map, base, log2);
    case 6: return lanes<6>(g, k, map, base, log2);
    case 7: return lanes<7>(g, k, map, base, log2);
    case 8: return lanes<8>(g, k, map, base, log2);
    case 9: return lanes<9>(g, k, map, base, log2);
    case 10: return lanes<10>(g, k, map, base, log2);
    case 11: return lanes<11>(g, k, map, base, log2);
    case 12: return lanes<12>(g, k, map, base, log2);
    case 13: return lanes<13>(g, k, map, base, log2);
    case 14: return lanes<14>(g, k, map, base, log2);
    case 15: return lanes<15>(g, k, map, base, log2);
    case 16: return lanes<16>(g, k, map, base, log2);
    default: return {false, 0};
  }
}

std::uint8_t seed_bucket(const Geometry& g, std::span<const std::uint64_t> keys, Map& map, std::uint64_t base) {
  const std::size_t L = keys.size();
  if (L > 64) return 0;
  const std::uint64_t N = g.slots, W = g.window, span_end = N - base;
  const unsigned s = g.shift;
  const std::uint64_t rowmask = (std::uint64_t{1} << s) - 1;
  const std::uint32_t* log2 = log2_table();
  std::uint64_t e[64], t[64], u[64], slot[64], sorted[64];
  unsigned D[64];
  bool wraps[64];
  for (std::size_t i = 0; i < L; ++i) {
    e[i] = range(keys[i], N) - base;
    wraps[i] = e[i] + W > span_end;
  }
  auto slot_at = [&](std::size_t i, unsigned c) {
    std::uint64_t k = e[i] + ((t[i] + (std::uint64_t{c} << s)) & (W - 1));
    if (k >= span_end) k -= span_end;
    return k;
  };
  auto has_repeat = [&](std::uint64_t* v) {
    if (L <= 16) {
      for (std::size_t a = 0; a < L; ++a)
        for (std::size_t b = a + 1; b < L; ++b)
          if (v[a] == v[b]) return true;
      return false;
    }
    std::copy(v, v + L, sorted);
    std::sort(sorted, sorted + L);
    for (std::size_t a = 1; a < L; ++a)
      if (sorted[a] == sorted[a - 1]) return true;
    return false;
  };
  bool found = false;
  unsigned best_r = 0, best_c = 0;
  std::uint64_t best_cost = 0;
  for (unsigned r = 0; r < 4; ++r) {
    for (std::size_t i = 0; i < L; ++i) {
      t[i] = (keys[i] >> (8 * r)) & (W - 1);
      u[i] = e[i] + t[i];
      if (u[i] >= span_end) u[i] -= span_end;
      D[i] = static_cast<unsigned>((W - 1 + (std::uint64_t{1} << s) - t[i]) >> s);
    }
    if (has_repeat(u)) continue;
    std::uint64_t P = r == 0 ? 1 : 0;
    for (std::size_t i = 0; i < L && P != ~std::uint64_t{0}; ++i) {
      if (wraps[i]) {
        for (unsigned c = 0; c < 64; ++c)
          if (map.test(slot_at(i, c))) P |= std::uint64_t{1} << c;
      } else {
        std::uint64_t win = map.bits64(u[i] & rowmask, (u[i] >> s) + D[i] - 64);
        P |= std::rotl(win, static_cast<int>(D[i] & 63));
      }
    }
    std::uint64_t O = 1;
    for (std::size_t i = 0; i < L; ++i)
      if (D[i] < 64) O |= std::uint64_t{1} << D[i];
    while (O) {
      unsigned b = static_cast<unsigned>(std::countr_zero(O));
      std::uint64_t free_from = ~P & ~((std::uint64_t{1} << b) - 1);
      if (free_from == 0) break;
      unsigned c = static_cast<unsigned>(std::countr_zero(free_from));
      O &= O - 1;
      std::uint64_t cost = 0;
      for (std::size_t i = 0; i < L; ++i) cost += cost_of(log2, (t[i] + (std::uint64_t{c} << s)) & (W - 1));
      if (found && cost >= best_cost) continue;
      for (std::size_t i = 0; i < L; ++i) slot[i] = slot_at(i, c);
      if (has_repeat(slot)) {
        P |= std::uint64_t{1} << c;
        O |= std::uint64_t{1} << b;
        continue;
      }
      found = true;
      best_r = r;
      best_c = c;
      best_cost = cost;
    }
  }
  if (!found) return 0;
  for (std::size_t i = 0; i < L; ++i) {
    t[i] = (keys[i] >> (8 * best_r)) & (W - 1);
    map.set(slot_at(i, best_c));
  }
  return static_cast<std::uint8_t>(64 * best_r + best_c);
}

// ---------------------------------------------------------------------------
// A run of buckets in priority order.

void seed_run(const BucketRun& run, std::uint8_t* seeds, std::uint32_t count, Map& map, std::uint64_t base) {
  if (count == 0) return;
  const Geometry& g = run.level;
  const bool lanes = g.mode_bits == 2 && g.window <= 1024 && g.window == (std::uint64_t{64} << g.shift);

  // Priority 1024·j − lead(k) as a bit position 16·(j + off_k) + rank_k.
  std::int64_t hi[17], lo[17];
  std::int64_t min_hi = INT64_MAX;
  for (unsigned k = 1; k <= 16; ++k) {
    std::int64_t v = -lead(k, g.window);
    hi[k] = v >= 0 ? v / 1024 : -((-v + 1023) / 1024);
    lo[k] = v - 1024 * hi[k];
    min_hi = std::min(min_hi, hi[k]);
  }
  std::uint64_t off[17];
  std::uint64_t max_off = 0;
  for (unsigned k = 1; k <= 16; ++k) {
    off[k] = static_cast<std::uint64_t>(hi[k] - min_hi);
    max_off = std::max(max_off, off[k]);
  }
  std::array<unsigned, 16> order{};
  for (unsigned i = 0; i < 16; ++i) order[i] = i + 1;
  std::sort(order.begin(), order.end(), [&](unsigned a, unsigned b) {
    if (lo[a] != lo[b]) return lo[a] < lo[b];
    std::int64_t la = lead(a, g.window), lb = lead(b, g.window);
    if (la != lb) return la < lb;
    return a < b;
  });
  unsigned rank[17] = {};
  unsigned class_of_rank[16] = {};
  for (unsigned i = 0; i < 16; ++i) {
    rank[order[i]] = i;
    class_of_rank[i] = order[i];
  }

  std::vector<std::uint64_t> pending((count / 64) + 1, 0);
  std::vector<std::uint64_t> queue((count + max_off + 3) / 4, 0);
  auto size_of = [&](std::uint64_t j) { return run.ends[j + 1] - run.ends[j]; };

  std::uint64_t limit = 0;        // buckets below it were admitted
  std::uint64_t pend_cursor = 0;  // no pending bucket below it
  std::uint64_t queue_cursor = 0; // no queued bit below word queue_cursor
  for (;;) {
    std::uint64_t C = count;
    while (pend_cursor < pending.size() && pending[pend_cursor] == 0) ++pend_cursor;
    if (pend_cursor < pending.size()) {
      C = pend_cursor * 64 + static_cast<std::uint64_t>(std::countr_zero(pending[pend_cursor]));
    } else {
      std::uint64_t j = limit;
      while (j < count && size_of(j) == 0) ++j;
      if (j >= count) break;
      C = j;
    }
    std::uint64_t upto = std::min<std::uint64_t>(std::min<std::uint64_t>(C + 512, 0xffffffffULL), count);
    for (std::uint64_t j = std::max(limit, C); j < upto; ++j) {
      std::uint32_t sz = size_of(j);
      if (sz == 0) continue;
      unsigned k = sz < 16 ? sz : 16;
      pending[j >> 6] |= std::uint64_t{1} << (j & 63);
      std::uint64_t bit = 16 * (j + off[k]) + rank[k];
      queue[bit >> 6] |= std::uint64_t{1} << (bit & 63);
      queue_cursor = std::min(queue_cursor, bit >> 6);
      pend_cursor = std::min(pend_cursor, j >> 6);
    }
    limit = std::max(limit, upto);
    while (queue[queue_cursor] == 0) ++queue_cursor;
    std::uint64_t q = queue_cursor * 64 + static_cast<std::uint64_t>(std::countr_zero(queue[queue_cursor]));
    queue[queue_cursor] &= queue[queue_cursor] - 1;
    unsigned k = class_of_rank[q & 15];
    std::uint64_t j = q / 16 - off[k];
    pending[j >> 6] &= ~(std::uint64_t{1} << (j & 63));

    std::span<const std::uint64_t> keys = run.keys.subspan(run.ends[j], size_of(j));
    std::uint8_t byte = 0;
    bool done = false;
    if (lanes && keys.size() <= 16) {
      LaneResult lr = seed_bucket_lanes(g, keys, map, base);
      if (lr.applied) {
        byte = lr.byte;
        done = true;
      }
    }
    if (!done) byte = seed_bucket(g, keys, map, base);
    seeds[j] = byte;
  }
}

}  // namespace quorvale::mphf_build
