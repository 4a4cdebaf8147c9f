#include "offsets.hpp"

#include <string>

#include "error.hpp"

namespace quorvale {
namespace offsets {

namespace {

// Writes values[i] - base(i) into a zeroed stream.
template <class Value>
std::vector<unsigned char> pack_with(std::size_t n, unsigned w, Value value) {
  if (w > MAX_WIDTH) panic("packed widths are at most 56 bits");
  std::uint64_t len;
  if (!packed_len(n, w, &len) || len > PTRDIFF_MAX) panic("a packed array's bytes fit an address");
  std::vector<unsigned char> out(static_cast<std::size_t>(len), 0);
  if (n == 0 || w == 0) {
    for (std::size_t i = 0; i < n; ++i)
      if (value(i) != 0) panic("a packed value fits its width");
    return out;
  }
  const std::uint64_t limit = std::uint64_t{1} << w;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t v = value(i);
    if (v >= limit) panic("a packed value fits its width");
    std::uint64_t p = static_cast<std::uint64_t>(i) * w;
    unsigned char* at = out.data() + p / 8;
    store_le64(at, load_le64(at) | (v << (p % 8)));
  }
  return out;
}

}  // namespace

std::vector<unsigned char> packed_pack(std::span<const std::uint64_t> values, unsigned w) {
  return pack_with(values.size(), w, [&](std::size_t i) { return values[i]; });
}

Sampled pack(std::span<const std::uint64_t> values, unsigned w) {
  Sampled out;
  const std::size_t n = values.size();
  out.samples.resize((n + 63) / 64 * 8);
  for (std::size_t b = 0; b * 64 < n; ++b) store_le64(out.samples.data() + b * 8, values[b * 64]);
  out.packed = pack_with(n, w, [&](std::size_t i) {
    std::uint64_t first = values[i & ~std::size_t{63}];
    if (values[i] < first) panic("sampled values ascend within their block");
    return values[i] - first;
  });
  return out;
}

}  // namespace offsets
}  // namespace quorvale
