#include "mphf.hpp"

#include <array>

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
