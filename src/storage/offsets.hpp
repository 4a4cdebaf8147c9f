// Bit-packed arrays of unsigned integers, read in place from blob sections:
// value i at bits i*w .. i*w+w-1 (least significant bit first), followed by 8
// zero slack bytes so that any value is one unaligned 64-bit load. Sampled
// arrays store each block of 64 values as a whole first value plus packed
// differences.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "blob.hpp"

namespace quorvale {
namespace offsets {

inline constexpr unsigned MAX_WIDTH = 56;
inline constexpr unsigned SAMPLE_SHIFT = 6;  // 64 values a block

// Bytes of a packed stream of n values at width w: ceil(n*w/8) + 8, or 0 for
// n = 0. Nothing when that does not fit in 64 bits.
inline bool packed_len(std::uint64_t n, unsigned w, std::uint64_t* out) noexcept {
  if (n == 0) {
    *out = 0;
    return true;
  }
  unsigned __int128 bits = static_cast<unsigned __int128>(n) * w;
  unsigned __int128 bytes = (bits + 7) / 8 + 8;
  if (bytes > UINT64_MAX) return false;
  *out = static_cast<std::uint64_t>(bytes);
  return true;
}

// The w-bit field (w <= 56) that starts at `bit` of `stream`; the stream must
// hold 8 bytes from byte bit/8 on, as the slack bytes guarantee.
inline std::uint64_t read_field(const unsigned char* stream, std::uint64_t bit, unsigned w) noexcept {
  std::uint64_t word = load_le64(stream + bit / 8) >> (bit % 8);
  return word & ((std::uint64_t{1} << w) - 1);
}

// Value i of a packed stream at width w.
inline std::uint64_t packed_get(const unsigned char* stream, std::uint64_t i, unsigned w) noexcept {
  return read_field(stream, i * w, w);
}

// Value i of a sampled array: its block's sample plus its packed difference.
inline std::uint64_t sampled_get(const unsigned char* samples, const unsigned char* packed, std::uint64_t i,
                                 unsigned w, unsigned shift = SAMPLE_SHIFT) noexcept {
  return load_le64(samples + (i >> shift) * 8) + packed_get(packed, i, w);
}

// Packs the values at width w (at most 56; every value below 2^w). A wider
// width or value is a broken invariant, never silently spilled into a
// neighbour.
std::vector<unsigned char> packed_pack(std::span<const std::uint64_t> values, unsigned w);

struct Sampled {
  std::vector<unsigned char> samples;  // one u64 per block of 64: its first value
  std::vector<unsigned char> packed;   // differences from the block's first value
};

// Packs an ascending array; every difference from its block's first value
// must be below 2^w.
Sampled pack(std::span<const std::uint64_t> values, unsigned w);

}  // namespace offsets
}  // namespace quorvale
