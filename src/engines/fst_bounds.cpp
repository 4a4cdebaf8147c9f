#include "fst_bounds.hpp"

namespace quorvale::fst_bounds {

bool deltas_fit(std::span<const unsigned char> bytes, std::uint64_t position, std::uint64_t count, unsigned width,
                std::uint64_t max) noexcept {
  if (width == 0) return position < bytes.size();
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t back = i * width;
    if (back > position) return false;
    const std::uint64_t at = position - back;
    if (at >= bytes.size() || bytes.size() - at < width) return false;
    if (fst::read_le(bytes.data() + at, width) > max) return false;
  }
  return true;
}

bool node_fits(std::span<const unsigned char> fst, std::uint64_t addr, std::uint64_t version) noexcept {
  const unsigned char* b = fst.data();
  const unsigned char s = b[addr];
  if (s >= 0xC0) return addr >= 1 + ((s & 0x3F) == 0 ? 1 : 0);
  if (s >= 0x80) {
    const std::uint64_t k = (s & 0x3F) == 0 ? 2 : 1;
    if (k > addr) return false;
    const unsigned t = b[addr - k] >> 4, o = b[addr - k] & 0x0F;
    if (t < 1 || t > 8 || o > 8 || k + t + o > addr) return false;
    return deltas_fit(fst, addr - k - t, 1, t, addr - k - t - o);
  }
  const std::uint64_t k = (s & 0x3F) != 0 ? 1 : 2;
  if (k > addr) return false;
  std::uint64_t n = s & 0x3F;
  if (n == 0) {
    n = b[addr - 1];
    if (n == 1) n = 256;
  }
  const unsigned t = b[addr - k] >> 4, o = b[addr - k] & 0x0F;
  if (o > 8 || (n > 0 && (t < 1 || t > 8))) return false;
  const std::uint64_t index = (n > 32 && version >= 2) ? 256 : 0;
  const std::uint64_t span = k + index + n + n * (t + o) + ((s & 0x40) != 0 ? o : 0);
  if (span > addr) return false;
  if (n == 0) return true;
  return deltas_fit(fst, addr - k - index - n - t, n, t, addr - span);
}

}  // namespace quorvale::fst_bounds
