// Unsigned LEB128, the one varint of the dictionary's sections and records:
// seven bits a byte, low group first, the high bit set on every byte but the
// last; at most ten bytes, and a tenth byte above 1 is malformed (it would
// carry bits past 64).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvale::varint {

// Bytes the varint of v takes: 1 below 128, 2 below 16,384, ... 10 at most.
inline constexpr std::size_t len(std::uint64_t v) noexcept {
  std::size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Appends v's varint.
inline void put(std::vector<unsigned char>& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<unsigned char>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<unsigned char>(v));
}

// Writes v's varint at p (room for len(v) bytes); returns the end.
inline unsigned char* put(unsigned char* p, std::uint64_t v) noexcept {
  while (v >= 0x80) {
    *p++ = static_cast<unsigned char>(v | 0x80);
    v >>= 7;
  }
  *p++ = static_cast<unsigned char>(v);
  return p;
}

struct Read {
  std::uint64_t value;
  std::size_t size;  // bytes the varint took
};

// Reads one varint from the front of the bytes; nothing when they end inside
// it or it is malformed.
inline std::optional<Read> get(const unsigned char* p, std::size_t avail) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 10; ++i) {
    if (i == avail) return std::nullopt;
    const unsigned char b = p[i];
    if (i == 9 && b > 1) return std::nullopt;
    v |= static_cast<std::uint64_t>(b & 0x7f) << (7 * i);
    if ((b & 0x80) == 0) return Read{v, i + 1};
  }
  return std::nullopt;
}

inline std::optional<Read> get(std::span<const unsigned char> bytes) noexcept {
  return get(bytes.data(), bytes.size());
}

}  // namespace quorvale::varint
