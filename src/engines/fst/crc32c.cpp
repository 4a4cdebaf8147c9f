#include "fst/crc32c.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <nmmintrin.h>
#define QUORVALE_FST_X86 1
#endif

namespace quorvale::fst {
namespace {

constexpr std::uint32_t kPoly = 0x82F63B78u;  // reflected Castagnoli polynomial

// Slicing-by-8 tables: tables[k][b] is the CRC of byte b followed by k zero bytes.
struct Tables {
  std::array<std::array<std::uint32_t, 256>, 8> t{};
  constexpr Tables() {
    for (std::uint32_t b = 0; b < 256; ++b) {
      std::uint32_t c = b;
      for (int i = 0; i < 8; ++i) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
      t[0][b] = c;
    }
    for (std::uint32_t b = 0; b < 256; ++b)
      for (int k = 1; k < 8; ++k) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  }
};
constexpr Tables kTables{};

#ifdef QUORVALE_FST_X86
__attribute__((target("sse4.2"))) std::uint32_t update_sse42(std::uint32_t state, const unsigned char* p,
                                                             std::size_t n) noexcept {
  std::uint64_t c = state;
  while (n > 0 && (reinterpret_cast<std::uintptr_t>(p) & 7) != 0) {
    c = _mm_crc32_u8(static_cast<std::uint32_t>(c), *p++);
    --n;
  }
  while (n >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    c = _mm_crc32_u64(c, w);
    p += 8;
    n -= 8;
  }
  std::uint32_t c32 = static_cast<std::uint32_t>(c);
  while (n > 0) {
    c32 = _mm_crc32_u8(c32, *p++);
    --n;
  }
  return c32;
}

bool has_hw() noexcept {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2") != 0;
  }();
  return has;
}
#else
bool has_hw() noexcept { return false; }
#endif

}  // namespace

std::uint32_t crc32c_update_portable(std::uint32_t c, std::span<const unsigned char> bytes) noexcept {
  const unsigned char* p = bytes.data();
  std::size_t n = bytes.size();
  const auto& t = kTables.t;
  while (n >= 8) {
    std::uint32_t lo = c ^ (std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                            std::uint32_t(p[3]) << 24);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][p[4]] ^
        t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n > 0) {
    c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
    --n;
  }
  return c;
}

std::uint32_t crc32c_update_hw(std::uint32_t state, std::span<const unsigned char> bytes) noexcept {
#ifdef QUORVALE_FST_X86
  if (has_hw()) return update_sse42(state, bytes.data(), bytes.size());
#endif
  return crc32c_update_portable(state, bytes);
}

bool crc32c_has_hw() noexcept { return has_hw(); }

void Crc32c::update(std::span<const unsigned char> bytes) noexcept { state_ = crc32c_update_hw(state_, bytes); }

std::uint32_t crc32c(std::span<const unsigned char> bytes) noexcept {
  return ~crc32c_update_hw(0xFFFFFFFFu, bytes);
}

}  // namespace quorvale::fst
