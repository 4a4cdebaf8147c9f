// The key hash: two 64-bit words per key, a function of the key's bytes alone.
// Its values are stored in blobs (slot layouts, side tables, fingerprints,
// tag bytes), so every bit of it is part of the file formats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "blob.hpp"

namespace quorvale {
namespace hash {

struct HashPair {
  std::uint64_t first;   // mapped by the minimal perfect hash; side tables sort by it
  std::uint64_t second;  // tells apart equal first words; fingerprints and tag bytes
  bool operator==(const HashPair&) const = default;
};

namespace detail {

inline constexpr std::uint64_t P0 = 0x243f6a8885a308d3ULL;
inline constexpr std::uint64_t P1 = 0x082efa98ec4e6c89ULL;
inline constexpr std::uint64_t P2 = 0x452821e638d01377ULL;
inline constexpr std::uint64_t P3 = 0xc0ac29b7c97c50ddULL;
inline constexpr std::uint64_t P4 = 0x3f84d5b5b5470917ULL;
inline constexpr std::uint64_t P5 = 0x9216d5d98979fb1bULL;
inline constexpr std::uint64_t P6 = 0xd71577c1bd314b27ULL;
inline constexpr std::uint64_t P7 = 0xa15486af7c72e993ULL;
inline constexpr std::uint64_t S0 = 0xba7c9045f12c7f99ULL;
inline constexpr std::uint64_t S1 = 0x24a19947b3916cf7ULL;

// Low XOR high of the full 128-bit product.
inline std::uint64_t fold(std::uint64_t x, std::uint64_t y) noexcept {
  unsigned __int128 p = static_cast<unsigned __int128>(x) * y;
  return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
}

// Keys of 33 bytes or more: two lanes over 32-byte blocks, then the last 32
// bytes (which may overlap bytes already taken).
[[gnu::noinline]] inline HashPair hash_long(const unsigned char* p, std::size_t len) noexcept {
  std::uint64_t lane0 = S0, lane1 = S1;
  const unsigned char* q = p;
  std::size_t remaining = len;
  do {
    lane0 = fold(load_le64(q) ^ lane0, load_le64(q + 8) ^ P0);
    lane1 = fold(load_le64(q + 16) ^ lane1, load_le64(q + 24) ^ P1);
    q += 32;
    remaining -= 32;
  } while (remaining > 32);
  const unsigned char* t = p + len - 32;
  std::uint64_t a = load_le64(t) ^ lane0;
  std::uint64_t b = load_le64(t + 8);
  std::uint64_t c = load_le64(t + 16) ^ lane1;
  std::uint64_t d = load_le64(t + 24);
  std::uint64_t n = len;
  std::uint64_t m1 = fold(a ^ P0, b ^ P1);
  std::uint64_t m2 = fold(c ^ P2, d ^ P3);
  return {fold(n ^ P4 ^ m1, m2 ^ P5), fold(m1 ^ ((n << 32) | (n >> 32)) ^ P6, m2 ^ P7)};
}

}  // namespace detail

// The hash of one key. Pure, no allocation; inline because it sits on every
// lookup path.
inline HashPair hash_pair(const unsigned char* p, std::size_t len) noexcept {
  using namespace detail;
  std::uint64_t a = 0, b = 0, c = 0, d = 0;
  if (len <= 16) {
    if (len >= 4) {
      std::size_t k = (len >> 1) & 0xc;
      a = load_le32(p) | (std::uint64_t{load_le32(p + k)} << 32);
      b = load_le32(p + len - 4) | (std::uint64_t{load_le32(p + len - 4 - k)} << 32);
    } else if (len > 0) {
      a = std::uint64_t{p[0]} | (std::uint64_t{p[len >> 1]} << 16) | (std::uint64_t{p[len - 1]} << 32);
    }
  } else if (len <= 32) {
    a = load_le64(p);
    b = load_le64(p + 8);
    c = load_le64(p + len - 16);
    d = load_le64(p + len - 8);
  } else {
    return hash_long(p, len);
  }
  std::uint64_t n = len;
  std::uint64_t m1 = fold(a ^ P0, b ^ P1);
  std::uint64_t m2 = fold(c ^ P2, d ^ P3);
  return {fold(n ^ P4 ^ m1, m2 ^ P5), fold(m1 ^ ((n << 32) | (n >> 32)) ^ P6, m2 ^ P7)};
}

inline HashPair hash_pair(std::span<const unsigned char> key) noexcept { return hash_pair(key.data(), key.size()); }
inline HashPair hash_pair(std::string_view key) noexcept {
  return hash_pair(reinterpret_cast<const unsigned char*>(key.data()), key.size());
}

// A first hash that repeats an earlier one, with the position of its key.
struct Repeat {
  std::uint64_t hash;
  std::uint32_t position;
  bool operator==(const Repeat&) const = default;
};

struct Collisions {
  std::vector<std::uint64_t> distinct;  // every hash once, strictly ascending
  std::vector<Repeat> repeats;          // all but the first key of each equal run, by position
};

// Separates the distinct first hashes from the repeats. Positions are the
// indices into `hashes`, whose length the callers keep below 2^32.
Collisions split_collisions(std::span<const std::uint64_t> hashes);

}  // namespace hash
}  // namespace quorvale
