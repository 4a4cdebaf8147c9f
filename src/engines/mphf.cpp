#include "mphf.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace quorvale {

namespace {

// Entry (k, x): index of the k-th set bit of byte x, 0 when x has fewer.
constexpr std::array<std::array<std::uint8_t, 256>, 8> make_select_table() {
  std::array<std::array<std::uint8_t, 256>, 8> t{};
  for (unsigned x = 0; x < 256; ++x) {
    unsigned k = 0;
    for (unsigned i = 0; i < 8; ++i) {
      if (x & (1u << i)) t[k++][x] = static_cast<std::uint8_t>(i);
    }
  }
  return t;
}
constexpr auto SELECT_IN_BYTE = make_select_table();

}  // namespace

unsigned select64(std::uint64_t x, unsigned k) noexcept {
  constexpr std::uint64_t ONES = 0x0101010101010101ULL;
  constexpr std::uint64_t HIGHS = 0x8080808080808080ULL;
  // Per-byte set-bit counts, then their running totals byte by byte.
  std::uint64_t s = x - ((x >> 1) & 0x5555555555555555ULL);
  s = (s & 0x3333333333333333ULL) + ((s >> 2) & 0x3333333333333333ULL);
  s = (s + (s >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
  std::uint64_t cum = s * ONES;
  // Bytes whose running total is at most k lie wholly before the wanted bit;
  // totals are at most 64, so the subtraction never borrows across bytes.
  std::uint64_t le = ((k * ONES) | HIGHS) - cum;
  unsigned byte = static_cast<unsigned>(std::popcount(le & HIGHS));
  unsigned before = static_cast<unsigned>(((cum << 8) >> (8 * byte)) & 0xff);
  return 8 * byte + SELECT_IN_BYTE[(k - before) & 7][(x >> (8 * byte)) & 0xff];
}

__attribute__((noinline)) std::uint64_t wrapped(std::uint64_t a, std::uint64_t b) noexcept { return a - b; }

std::uint64_t V2::further_slots() const noexcept {
  std::uint64_t t = tail_slots;
  for (const Level& l : levels) t += l.slots;
  return t;
}

std::uint64_t V2::further_slot(std::uint64_t h) const noexcept {
  std::uint64_t base = 0;
  std::uint64_t k_phi = 0;
  for (const Level& l : levels) {
    k_phi += PHI;
    std::uint64_t x = splitmix64(h ^ k_phi);
    std::uint8_t c = l.seeds[range(x, l.buckets)];
    if (c != 0) return base + l.slot(x, c);
    base += l.slots;
  }
  if (tail_buckets == 0) return NONE;
  std::uint64_t x = splitmix64(h ^ tail_seed);
  std::uint64_t p = pilots[range(x, tail_buckets)];
  return base + range(splitmix64(x + p * PHI), tail_slots);
}

__attribute__((noinline)) std::uint64_t V2::index_bumped(std::uint64_t h) const noexcept {
  std::uint64_t b = further_slot(h);
  if (b == NONE) return 0;
  return remap.get(b);
}

std::uint64_t Mphf::n() const noexcept {
  if (const V2* v = v2()) return v->n;
  return v1()->n;
}

}  // namespace quorvale

// ---------------------------------------------------------------------------
// Images.

namespace quorvale {

namespace {

constexpr std::uint64_t MPH3_FIXED = mphf::FRAME_V3.header_len;  // an image without levels
constexpr std::uint64_t MPH1_HEADER = mphf::FRAME_V1.header_len;

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) noexcept { return a / b + (a % b != 0); }

// ceil(count · bits / 64) without overflow for bits < 64.
std::uint64_t packed_words(std::uint64_t count, std::uint64_t bits) noexcept {
  return (count >> 6) * bits + (((count & 63) * bits + 63) >> 6);
}

[[noreturn]] void fail(const char* message) { throw IndexError::format(message); }

// Overflow-checked sums and products of section sizes.
struct Sizes {
  std::uint64_t total = 0;
  void add(std::uint64_t v) {
    if (__builtin_add_overflow(total, v, &total)) fail("mphf: blob sections do not fit in memory");
  }
  void add_items(std::uint64_t count, std::uint64_t item) {
    std::uint64_t bytes;
    if (__builtin_mul_overflow(count, item, &bytes)) fail("mphf: blob sections do not fit in memory");
    add(bytes);
  }
};

// Copies count little-endian items into out: one block copy where the stored
// order is the host's (opening a mapped index copies its tables here).
template <class T>
void copy_items(T* out, const unsigned char* p, std::size_t count) noexcept {
  if constexpr (sizeof(T) == 1 || std::endian::native == std::endian::little) {
    if (count) std::memcpy(out, p, count * sizeof(T));
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      if constexpr (sizeof(T) == 8) out[i] = load_le64(p + 8 * i);
      else if constexpr (sizeof(T) == 4) out[i] = load_le32(p + 4 * i);
      else out[i] = load_le16(p + 2 * i);
    }
  }
}

template <class T>
Pages<T> read_array(const unsigned char* p, std::size_t count) {
  Pages<T> out = Pages<T>::allocate_resident(count);
  copy_items(out.data(), p, count);
  return out;
}

bool power_of_two(std::uint64_t v) noexcept { return v != 0 && (v & (v - 1)) == 0; }

Mphf load_v1(std::span<const unsigned char> b) {
  const unsigned char* p = b.data();
  if (b.size() < MPH1_HEADER) fail(mphf::FRAME_V1.bad_magic);
  mphf::FRAME_V1.check_header(b.first(MPH1_HEADER));
  if (load_le16(p + 4) != 1) fail("mphf: unsupported format version");
  if (load_le16(p + 6) != 0) fail("mphf: reserved header field is not zero");
  V1 v;
  v.n = load_le64(p + 8);
  v.total_slots = load_le64(p + 16);
  v.parts = load_le64(p + 24);
  v.buckets_per_part = load_le64(p + 32);
  v.slots_per_part = load_le64(p + 40);
  v.stride = load_le64(p + 48);
  v.skew = load_le64(p + 56);
  v.seed = load_le64(p + 64);
  if (v.n == 0) {
    if (b.size() != MPH1_HEADER || v.total_slots || v.parts || v.buckets_per_part || v.slots_per_part || v.stride ||
        v.skew)
      fail("mphf: empty table with a non-empty shape");
    return Mphf(std::move(v));
  }
  if (v.parts == 0 || v.buckets_per_part == 0 || v.slots_per_part == 0) fail("mphf: a table dimension is zero");
  if (v.skew >= v.buckets_per_part) fail("mphf: skew boundary outside the bucket range");
  std::uint64_t window;
  if (__builtin_add_overflow(v.slots_per_part, std::uint64_t{63}, &window)) fail("mphf: slots per part out of range");
  if (v.stride < window || v.stride % 64 != 0) fail("mphf: stride too small for a key's window");
  std::uint64_t total;
  if (v.total_slots < v.n || __builtin_mul_overflow(v.stride, v.parts, &total) || total != v.total_slots)
    fail("mphf: slot count disagrees with the parts");
  std::uint64_t buckets;
  if (__builtin_mul_overflow(v.parts, v.buckets_per_part, &buckets)) fail("mphf: bucket count out of range");
  std::uint64_t r = v.total_slots - v.n;
  Sizes s;
  s.add(MPH1_HEADER);
  s.add_items(v.parts, 8);
  s.add(buckets);
  s.add_items(ceil_div(r, 256), 4);
  s.add_items(r, 2);
  if (s.total != b.size()) fail("mphf: blob length disagrees with the header");
  std::size_t at = MPH1_HEADER;
  v.part_seeds = read_array<std::uint64_t>(p + at, v.parts);
  at += 8 * v.parts;
  v.seed_bytes = read_array<std::uint8_t>(p + at, buckets);
  at += buckets;
  v.remap_bases = read_array<std::uint32_t>(p + at, ceil_div(r, 256));
  at += 4 * ceil_div(r, 256);
  v.remap_entries = read_array<std::uint16_t>(p + at, r);
  for (std::uint64_t i = 0; i < r; ++i)
    if (std::uint64_t{v.remap_bases[i >> 8]} + v.remap_entries[i] >= v.n)
      fail("mphf: a remap entry points outside the image");
  return Mphf(std::move(v));
}

Mphf load_v2(std::span<const unsigned char> b, bool current) {
  const unsigned char* p = b.data();
  if (b.size() < MPH3_FIXED) fail("mphf: truncated header");
  std::uint64_t L = load_le64(p + 16);
  if (L > mphf::MAX_LEVELS) fail("mphf: too many levels");
  const std::uint64_t head = mphf::v2_header_len(L);
  if (b.size() < head) fail("mphf: truncated header");
  mphf::FRAME_V3.check_header(b.first(head));
  if (load_le16(p + 4) != (current ? 3 : 2)) fail("mphf: unsupported format version");
  unsigned geometry = p[6];
  if (!(geometry == 0 || (current && geometry == 2))) fail("mphf: unsupported seed geometry");
  if (p[7] != 0) fail("mphf: reserved header field is not zero");
  std::uint64_t n = load_le64(p + 8);
  std::uint64_t k = load_le64(p + 24);
  std::uint64_t P = load_le64(p + 32);
  std::uint64_t m = load_le64(p + 40);
  std::uint64_t tail_seed = load_le64(p + 48);
  std::uint64_t word56 = load_le64(p + 56);
  V2 v;
  v.n = n;
  v.geometry = geometry == 2;
  if (n == 0) {
    if (L != 0 || b.size() != MPH3_FIXED || k || P || m || tail_seed || word56)
      fail("mphf: empty table with a non-empty shape");
    return Mphf(std::move(v));
  }
  struct Shape {
    std::uint64_t slots, buckets, window;
  };
  Shape shapes[16];
  std::uint64_t further = 0;
  for (std::uint64_t i = 0; i < L; ++i) {
    const unsigned char* q = p + 64 + 24 * i;
    Shape s{load_le64(q), load_le64(q + 8), load_le64(q + 16)};
    if (s.window > s.slots || s.slots == 0 || s.buckets == 0 || !power_of_two(s.window))
      fail("mphf: a level's shape is inconsistent");
    if (geometry == 2 && s.window < 64) fail("mphf: a level's slice is too narrow for its mode bits");
    if (i == 0) {
      if (s.slots != n) fail("mphf: the first level does not cover the table");
    } else if (__builtin_add_overflow(further, s.slots, &further)) {
      fail("mphf: blob sections do not fit in memory");
    }
    shapes[i] = s;
  }
  if (!((k == 0 && P == 0 && m == 0) || (k != 0 && P != 0 && m != 0))) fail("mphf: the tail's shape is inconsistent");
  std::uint64_t T;
  if (__builtin_add_overflow(further, m, &T)) fail("mphf: blob sections do not fit in memory");
  Sizes s;
  s.add(head);
  for (std::uint64_t i = 0; i < L; ++i) s.add(shapes[i].buckets);
  s.add_items(P, 2);

  std::uint64_t w = word56, x = word56, hole_width = 0;
  std::uint64_t low_words = 0, high_words = 0, bitmap_words = 0, hole_low_words = 0, hole_high_words = 0;
  if (current) {
    if (w >= 64) fail("mphf: remap low bits out of range");
    low_words = packed_words(T, w);
    if (T > 0) {
      std::uint64_t B;
      if (__builtin_add_overflow(T, (n - 1) >> w, &B)) fail("mphf: blob sections do not fit in memory");
      high_words = ceil_div(B, 64);
    }
    s.add_items(low_words, 8);
    s.add_items(high_words, 8);
    s.add_items(ceil_div(T, 2048), 4);
    s.add_items(ceil_div(T, 64), 2);
  } else {
    if (x > n || (x != 0 && L == 0)) fail("mphf: hole count out of range");
    if (x != 0) {
      std::uint64_t q = n / x;
      hole_width = 63 - static_cast<unsigned>(std::countl_zero(q < 1 ? 1 : q));
      hole_low_words = packed_words(x, hole_width);
      std::uint64_t bits;
      if (__builtin_add_overflow(n >> hole_width, x, &bits) || __builtin_add_overflow(bits, std::uint64_t{1}, &bits))
        fail("mphf: blob sections do not fit in memory");
      hole_high_words = ceil_div(bits, 64);
    }
    bitmap_words = ceil_div(T, 64);
    s.add_items(bitmap_words, 8);
    s.add_items(ceil_div(T, 512), 4);
    s.add_items(hole_low_words, 8);
    s.add_items(hole_high_words, 8);
    s.add_items(ceil_div(x, 128), 4);
  }
  if (s.total != b.size()) fail("mphf: blob length disagrees with the header");

  // Every size below is now bounded by the image length, and every byte
  // past the header is copied.
  blob::prefault(b.subspan(head));
  std::size_t at = head;
  for (std::uint64_t i = 0; i < L; ++i) {
    Level l;
    l.slots = shapes[i].slots;
    l.buckets = shapes[i].buckets;
    l.window = shapes[i].window;
    l.mode_bits = geometry;
    l.shift = Level::shift_for(l.window, geometry);
    l.seeds = read_array<std::uint8_t>(p + at, l.buckets);
    at += l.buckets;
    if (i == 0) v.level0 = std::move(l);
    else v.levels.push_back(std::move(l));
  }
  v.pilots = read_array<std::uint16_t>(p + at, P);
  at += 2 * P;
  v.tail_keys = k;
  v.tail_buckets = P;
  v.tail_slots = m;
  v.tail_seed = tail_seed;
  if (current) {
    Remap& r = v.remap;
    r.len = T;
    r.width = static_cast<std::uint32_t>(w);
    r.low = read_array<std::uint64_t>(p + at, low_words);
    at += 8 * low_words;
    if (T > 0) {
      r.high = Pages<std::uint64_t>::allocate_resident(high_words + 4);
      copy_items(r.high.data(), p + at, high_words);
      for (std::uint64_t i = 0; i < 4; ++i) r.high[high_words + i] = 0;
    }
    at += 8 * high_words;
    r.samples32 = read_array<std::uint32_t>(p + at, ceil_div(T, 2048));
    at += 4 * ceil_div(T, 2048);
    r.samples16 = read_array<std::uint16_t>(p + at, ceil_div(T, 64));
  } else {
    Pages<std::uint64_t> bitmap = read_array<std::uint64_t>(p + at, bitmap_words);
    at += 8 * bitmap_words + 4 * ceil_div(T, 512);
    Pages<std::uint64_t> hole_low = read_array<std::uint64_t>(p + at, hole_low_words);
    at += 8 * hole_low_words;
    Pages<std::uint64_t> hole_high = read_array<std::uint64_t>(p + at, hole_high_words);
    v.remap = Remap::from_v2(bitmap.span(), hole_low.span(), hole_high.span(), x,
                             static_cast<std::uint32_t>(hole_width), T, n);
  }
  if (!Remap::validate(v.remap, n)) fail("mphf: a remap entry points outside the image");
  return Mphf(std::move(v));
}

}  // namespace

std::vector<unsigned char> Mphf::v2_header() const {
  const V2& v = *v2();
  std::uint64_t L = v.levels.size() + (v.level0 ? 1 : 0);
  std::vector<unsigned char> h(mphf::v2_header_len(L));
  unsigned char* p = h.data();
  std::memcpy(p, mphf::FRAME_V3.magic.data(), 4);
  store_le16(p + 4, 3);
  p[6] = static_cast<unsigned char>(v.geometry ? 2 : 0);
  p[7] = 0;
  store_le64(p + 8, v.n);
  store_le64(p + 16, L);
  store_le64(p + 24, v.tail_keys);
  store_le64(p + 32, v.tail_buckets);
  store_le64(p + 40, v.tail_slots);
  store_le64(p + 48, v.tail_seed);
  store_le64(p + 56, v.remap.width);
  std::size_t at = 64;
  auto level = [&](const Level& l) {
    store_le64(p + at, l.slots);
    store_le64(p + at + 8, l.buckets);
    store_le64(p + at + 16, l.window);
    at += 24;
  };
  if (v.level0) level(*v.level0);
  for (const Level& l : v.levels) level(l);
  mphf::FRAME_V3.seal(h);
  return h;
}

std::uint64_t V1::byte_len() const noexcept {
  return MPH1_HEADER + 8 * part_seeds.size() + seed_bytes.size() + 4 * remap_bases.size() + 2 * remap_entries.size();
}

std::vector<unsigned char> V1::to_bytes() const {
  std::vector<unsigned char> out(byte_len());
  unsigned char* p = out.data();
  std::memcpy(p, mphf::FRAME_V1.magic.data(), 4);
  store_le16(p + 4, 1);
  store_le16(p + 6, 0);
  const std::uint64_t fields[8] = {n, total_slots, parts, buckets_per_part, slots_per_part, stride, skew, seed};
  for (int i = 0; i < 8; ++i) store_le64(p + 8 + 8 * i, fields[i]);
  mphf::FRAME_V1.seal(std::span<unsigned char>(p, MPH1_HEADER));
  std::size_t at = MPH1_HEADER;
  for (std::uint64_t s : part_seeds) store_le64(p + at, s), at += 8;
  if (!seed_bytes.empty()) std::memcpy(p + at, seed_bytes.data(), seed_bytes.size());
  at += seed_bytes.size();
  for (std::uint32_t s : remap_bases) store_le32(p + at, s), at += 4;
  for (std::uint16_t s : remap_entries) store_le16(p + at, s), at += 2;
  return out;
}

std::uint64_t Mphf::byte_len() const noexcept {
  if (const V1* v = v1()) return v->byte_len();
  const V2& v = *v2();
  std::uint64_t L = v.levels.size() + (v.level0 ? 1 : 0);
  std::uint64_t len = mphf::v2_header_len(L);
  if (v.level0) len += v.level0->buckets;
  for (const Level& l : v.levels) len += l.buckets;
  std::uint64_t high = v.remap.high.size() > 4 ? v.remap.high.size() - 4 : 0;
  len += 2 * v.pilots.size() + 8 * (v.remap.low.size() + high) + 4 * v.remap.samples32.size() +
         2 * v.remap.samples16.size();
  return len;
}

std::vector<unsigned char> Mphf::to_bytes() const {
  if (const V1* v = v1()) return v->to_bytes();
  const V2& v = *v2();
  std::vector<unsigned char> out = v2_header();
  std::size_t at = out.size();
  out.resize(byte_len());
  unsigned char* p = out.data();
  auto seeds = [&](const Level& l) {
    if (!l.seeds.empty()) std::memcpy(p + at, l.seeds.data(), l.seeds.size());
    at += l.seeds.size();
  };
  if (v.level0) seeds(*v.level0);
  for (const Level& l : v.levels) seeds(l);
  for (std::uint16_t x : v.pilots) store_le16(p + at, x), at += 2;
  for (std::uint64_t x : v.remap.low) store_le64(p + at, x), at += 8;
  std::size_t high = v.remap.high.size() > 4 ? v.remap.high.size() - 4 : 0;
  for (std::size_t i = 0; i < high; ++i) store_le64(p + at, v.remap.high[i]), at += 8;
  for (std::uint32_t x : v.remap.samples32) store_le32(p + at, x), at += 4;
  for (std::uint16_t x : v.remap.samples16) store_le16(p + at, x), at += 2;
  if (at != out.size()) panic("an image fills the length it announces");
  return out;
}

Mphf Mphf::from_bytes(std::span<const unsigned char> bytes) {
  // The generation decides the header's shape and its checks.
  if (mphf::FRAME_V1.has_magic(bytes)) return load_v1(bytes);
  if (!mphf::FRAME_V3.has_magic(bytes)) fail(mphf::FRAME_V3.bad_magic);
  const bool current = std::memcmp(bytes.data(), mphf::FRAME_V3.magic.data(), 4) == 0;  // not "MPH2"
  return load_v2(bytes, current);
}

}  // namespace quorvale

// ---------------------------------------------------------------------------
// Batched evaluation.

namespace quorvale {

namespace {

constexpr std::size_t BLOCK = 1024;
constexpr std::uint64_t BLOCK_METHOD_BUCKETS = 0x40000;
constexpr std::uint64_t WIDE_LEVEL0_BUCKETS = std::uint64_t{1} << 24;

// Level 0 of a batch in blocks: each input's bucket is computed `Ahead`
// inputs before its seed byte is read, and the keys level 0 bumps are
// resolved after their block with their steps interleaved.
template <bool Fast, std::size_t Ahead>
void answer_blocks(const V2& v, std::span<const std::uint64_t> in, std::uint64_t* out) {
  const Level& l0 = *v.level0;
  const std::uint8_t* seeds = l0.seeds.data();
  const std::uint64_t B0 = l0.buckets;
  const std::size_t len = in.size();
  std::uint64_t ring[64] = {};
  // The bucket is known `Ahead` inputs early; asking for its seed byte then
  // lets the reads of a block overlap instead of queueing one by one.
  auto bucket = [&](std::size_t i) {
    std::uint64_t q = range(in[i], B0);
    __builtin_prefetch(seeds + q);
    return q;
  };
  for (std::size_t i = 0; i < std::min(len, Ahead); ++i) ring[i & 63] = bucket(i);

  std::uint16_t bumped[BLOCK];
  std::uint64_t slot[BLOCK];
  auto answer = [&](std::size_t at, std::uint64_t q, std::size_t pos, std::size_t& count) {
    std::uint64_t x = in[at];
    std::uint8_t c = seeds[q];
    if (c != 0) {
      if constexpr (Fast) {
        std::uint64_t s = range(x, l0.slots) + (((x >> (8u * (c >> 6))) + 16u * std::uint64_t{c}) & 0x3ff);
        out[at] = s >= l0.slots ? wrapped(s, l0.slots) : s;
      } else {
        out[at] = l0.slot(x, c);
      }
    } else {
      bumped[count++] = static_cast<std::uint16_t>(pos);
    }
  };

  for (std::size_t s = 0; s < len; s += BLOCK) {
    const std::size_t P = std::min(BLOCK, len - s);
    const std::size_t A = len >= s + Ahead ? std::min(P, len - s - Ahead) : 0;
    std::size_t count = 0;
    std::size_t i = 0;
    for (; i < A; ++i) {
      std::uint64_t q = ring[(s + i) & 63];
      ring[(s + i + Ahead) & 63] = bucket(s + i + Ahead);
      answer(s + i, q, i, count);
    }
    for (; i < P; ++i) answer(s + i, ring[(s + i) & 63], i, count);

    // Three stages eight list positions apart: the first asks for the key's
    // seed byte on the first further level, the second finds its further
    // slot and asks for that slot's remap samples and low bits, the third
    // reads the remap. The reads of one key overlap the work on others.
    const Level* l1 = v.levels.empty() ? nullptr : &v.levels[0];
    const Remap& rm = v.remap;
    for (std::size_t j = 0; j < count + 16; ++j) {
      if (j < count && l1) __builtin_prefetch(l1->seeds.data() + range(splitmix64(in[s + bumped[j]] ^ PHI), l1->buckets));
      if (j >= 8 && j - 8 < count) {
        std::uint64_t b = v.further_slot(in[s + bumped[j - 8]]);
        slot[j - 8] = b;
        if (b < rm.len) {
          __builtin_prefetch(rm.samples16.data() + (b >> 6));
          __builtin_prefetch(rm.samples32.data() + (b >> 11));
          if (!rm.low.empty()) __builtin_prefetch(rm.low.data() + ((b * rm.width) >> 6));
        }
      }
      if (j >= 16 && j - 16 < count) {
        std::uint64_t b = slot[j - 16];
        out[s + bumped[j - 16]] = b == V2::NONE ? 0 : rm.get(b);
      }
    }
  }
}

}  // namespace

std::vector<std::uint64_t> Mphf::index_all(std::span<const std::uint64_t> hashes) const {
  std::vector<std::uint64_t> out(hashes.size());
  if (const V1* v = v1()) {
    for (std::size_t i = 0; i < hashes.size(); ++i) out[i] = v->index(hashes[i]);
    return out;
  }
  const V2& v = *v2();
  if (!v.level0 || v.level0->buckets < BLOCK_METHOD_BUCKETS) {
    for (std::size_t i = 0; i < hashes.size(); ++i) out[i] = v.index(hashes[i]);
    return out;
  }
  const Level& l0 = *v.level0;
  bool fast = l0.mode_bits == 2 && l0.window == 1024;
  bool wide = l0.buckets >= WIDE_LEVEL0_BUCKETS;
  if (fast) {
    if (wide) answer_blocks<true, 56>(v, hashes, out.data());
    else answer_blocks<true, 64>(v, hashes, out.data());
  } else {
    if (wide) answer_blocks<false, 56>(v, hashes, out.data());
    else answer_blocks<false, 64>(v, hashes, out.data());
  }
  return out;
}

}  // namespace quorvale
