// The hasher of the codec trainers' hash maps (the symbol table's gain map,
// the phrase trie's edge map, the phrase miners' candidate maps). No trainer's
// result depends on the order a map yields its entries in: every consumer
// sorts or sums, so the hasher only has to be fast and fixed.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace quorvale::phrase {

class Mix {
 public:
  // Folds one integer field in, widened to 64 bits.
  void write(std::uint64_t w) noexcept { h_ = (std::rotl(h_, 26) ^ w) * 0x517CC1B727220A95ULL; }
  std::uint64_t finish() const noexcept { return std::rotl(h_, 26); }

 private:
  std::uint64_t h_ = 0;
};

// The hash of a key of several fields, written in order.
template <class... Fields>
inline std::uint64_t mix(Fields... fields) noexcept {
  Mix m;
  (m.write(static_cast<std::uint64_t>(fields)), ...);
  return m.finish();
}

// A hasher for standard unordered containers keyed by one integer.
struct MixHash {
  std::size_t operator()(std::uint64_t key) const noexcept { return static_cast<std::size_t>(mix(key)); }
};

}  // namespace quorvale::phrase
