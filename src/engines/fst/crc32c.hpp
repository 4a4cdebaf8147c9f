// CRC-32C (Castagnoli, reflected, initial value all ones, final complement)
// and the mask stored in FST footers.
#pragma once

#include <cstdint>
#include <span>

namespace quorvale::fst {

class Crc32c {
 public:
  void update(std::span<const unsigned char> bytes) noexcept;
  std::uint32_t value() const noexcept { return ~state_; }

 private:
  std::uint32_t state_ = 0xFFFFFFFFu;
};

// The CRC of a whole buffer, on the fastest path this processor has.
std::uint32_t crc32c(std::span<const unsigned char> bytes) noexcept;

// Both paths, for tests and benchmarks. They take and return the raw running
// state (before the final complement).
std::uint32_t crc32c_update_portable(std::uint32_t state, std::span<const unsigned char> bytes) noexcept;
// Falls back to the portable path where SSE4.2 is missing.
std::uint32_t crc32c_update_hw(std::uint32_t state, std::span<const unsigned char> bytes) noexcept;
bool crc32c_has_hw() noexcept;

// Rotate right by 15 and add a constant, in 32-bit arithmetic.
constexpr std::uint32_t mask_crc(std::uint32_t c) noexcept {
  return ((c >> 15) | (c << 17)) + 0xA282EAD8u;
}

}  // namespace quorvale::fst
