// Fixtures of the hashed-dictionary tests and fuzz target: dictionaries of
// a few shapes, the index over them, blob surgery (fields rewritten and the
// checksums resealed) and the exercise of every lookup on what loads.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "blob.hpp"
#include "dict_index/dict_index.hpp"
#include "hashed_dict.hpp"

namespace hdfix {

using Bytes = std::vector<unsigned char>;
using quorvale::DictIndex;

// `n` distinct keys: ASCII words, or Cyrillic ones (the dictionary then
// spells them in a character code).
inline std::vector<std::string> keys(std::size_t n, std::uint64_t seed, bool cyrillic = false) {
  std::mt19937_64 rng(seed);
  std::set<std::string> out;
  while (out.size() < n) {
    std::string k;
    const std::size_t len = 1 + rng() % 12;
    for (std::size_t i = 0; i < len; ++i) {
      const unsigned c = static_cast<unsigned>(rng() % 26);
      if (cyrillic) {
        const unsigned cp = 0x430 + c;
        k.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        k.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
      } else {
        k.push_back(static_cast<char>('a' + c));
      }
    }
    out.insert(k);
  }
  return {out.begin(), out.end()};
}

inline std::shared_ptr<const DictIndex> dict_of(const std::vector<std::string>& keys, std::uint64_t block = 32) {
  return std::make_shared<const DictIndex>(
      quorvale::DictIndex::build_with_block(std::span<const std::string>(keys), block));
}

inline Bytes dict_bytes(const DictIndex& d) {
  Bytes out;
  d.write_to([&](std::span<const unsigned char> s) { out.insert(out.end(), s.begin(), s.end()); });
  return out;
}

// Recomputes the payload checksum (bytes after the embedded dictionary, as
// the header's dictionary length says, when that lies inside) and the
// header checksum; does nothing where the blob is too short to say.
inline void reseal(Bytes& b) { quorvale::hashed_dict::FRAME.seal_blob(b); }

}  // namespace hdfix
