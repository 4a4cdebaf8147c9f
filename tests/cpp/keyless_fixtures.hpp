// Pair sets and helpers the keyless index tests share.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "compact_hash/compact_hash.hpp"
#include "mphf.hpp"

namespace keyless_fixtures {

using quorvale::hash_engine::Pair;

// The pairs of tests/reference/keyless_ref.py's case_pairs: random pairs,
// every seventh sharing its first word with the pair before, a group of three
// (second words 5, 9, 7) and a repeat of the first pair.
inline std::vector<Pair> case_pairs(std::size_t count, std::uint64_t seed) {
  using quorvale::splitmix64;
  std::vector<Pair> pairs;
  for (std::size_t i = 0; i < count; ++i) {
    Pair p{splitmix64(seed + 2 * i), splitmix64(seed + 2 * i + 1)};
    if (i % 7 == 3) p.first = pairs.back().first;
    pairs.push_back(p);
  }
  if (count >= 3) {
    const std::uint64_t f = splitmix64(seed ^ 0xF00D);
    pairs.push_back({f, 5});
    pairs.push_back({f, 9});
    pairs.push_back({f, 7});
    pairs.push_back(pairs[0]);
  }
  return pairs;
}

// Pairs handed to a streamed build one at a time.
class VectorPairs final : public quorvale::hash_engine::PairSource {
 public:
  explicit VectorPairs(const std::vector<Pair>& pairs) : pairs_(pairs) {}
  bool next(Pair& out) override {
    if (at_ == pairs_.size()) return false;
    out = pairs_[at_++];
    return true;
  }

 private:
  const std::vector<Pair>& pairs_;
  std::size_t at_ = 0;
};

// The display text of the IndexError f throws, or "no error".
inline std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const quorvale::IndexError& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace keyless_fixtures
