#include "mphf.hpp"

namespace quorvale {

std::uint64_t Remap::beyond(const std::uint64_t* words, std::size_t count, std::size_t start, std::uint64_t r) noexcept {
  for (std::size_t i = start; i < count; ++i) {
    std::uint64_t c = static_cast<std::uint64_t>(std::popcount(words[i]));
    if (c > r) return static_cast<std::uint64_t>(i) * 64 + select64(words[i], static_cast<unsigned>(r));
    r -= c;
  }
  return 0;
}

}  // namespace quorvale
