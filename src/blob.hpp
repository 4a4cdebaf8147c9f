// Blob framing shared by every index kind: checksums (and, later, owned or
// mapped bytes and the atomic file writer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <bit>
#include <cstring>
#include <span>
#include <string_view>

namespace quorvale {

// Little-endian loads and stores; memcpy keeps them free of alignment faults.
inline std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}
inline std::uint32_t load_le32(const unsigned char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}
inline std::uint16_t load_le16(const unsigned char* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline void store_le64(unsigned char* p, std::uint64_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}
inline void store_le32(unsigned char* p, std::uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}
inline void store_le16(unsigned char* p, std::uint16_t v) noexcept {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

inline constexpr std::uint64_t PHI = 0x9e3779b97f4a7c15ULL;

// The 64-bit finaliser that closes both checksums (and seeds splitmix64).
inline constexpr std::uint64_t fin(std::uint64_t z) noexcept {
  z ^= z >> 30;
  z *= 0xbf58476d1ce4e5b9ULL;
  z ^= z >> 27;
  z *= 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return z;
}

// Streaming payload checksum: any split of the input gives the same value.
class BlockHasher {
 public:
  void update(std::span<const unsigned char> bytes) noexcept;
  void update(std::string_view bytes) noexcept {
    update(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
  }
  // The checksum of everything fed so far; feeding may go on afterwards.
  std::uint64_t finish() const noexcept;

 private:
  static std::uint64_t step(std::uint64_t state, std::uint64_t word) noexcept {
    state = (state ^ word) * 0xbf58476d1ce4e5b9ULL;
    return state ^ (state >> 29);
  }

  std::uint64_t state_ = PHI;
  unsigned char pending_[8] = {};
  std::uint64_t pending_len_ = 0;
  std::uint64_t total_ = 0;
};

namespace blob {

// Payload checksum of one byte sequence.
std::uint64_t hash_block(std::span<const unsigned char> bytes) noexcept;

// Header checksum: low 32 bits of fin(FNV-1a 64 of the header bytes).
std::uint32_t header_checksum(std::span<const unsigned char> header) noexcept;

}  // namespace blob
}  // namespace quorvale
