#include "hash.hpp"

#include <algorithm>
#include <utility>

#include "error.hpp"

namespace quorvale {
namespace hash {

Collisions split_collisions(std::span<const std::uint64_t> hashes) {
  if (hashes.size() > UINT32_MAX) panic("key positions fit in 32 bits");
  Collisions out;
  std::size_t n = hashes.size();
  if (n == 0) return out;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> pairs(n);
  for (std::size_t i = 0; i < n; ++i) pairs[i] = {hashes[i], static_cast<std::uint32_t>(i)};
  if (n >= 2) std::sort(pairs.begin(), pairs.end());
  out.distinct.reserve(n);
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i + 1;
    while (j < n && pairs[j].first == pairs[i].first) {
      out.repeats.push_back({pairs[j].first, pairs[j].second});
      ++j;
    }
    out.distinct.push_back(pairs[i].first);
    i = j;
  }
  std::vector<std::pair<std::uint64_t, std::uint32_t>>().swap(pairs);
  out.distinct.shrink_to_fit();
  std::sort(out.repeats.begin(), out.repeats.end(),
            [](const Repeat& x, const Repeat& y) { return x.position < y.position; });
  return out;
}

}  // namespace hash
}  // namespace quorvale
