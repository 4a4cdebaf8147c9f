// Keys whose key hashes are equal, made by the construction the hash allows:
// a key of 96 bytes is hashed as two 32-byte blocks and then its last 32
// bytes; when the second block's words 0 and 2 equal the lanes the first
// block left, both lanes become zero and every byte of the first two blocks
// but those words drops out. The first block is searched for lanes whose
// bytes are printable ASCII, so the keys are valid UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "blob.hpp"
#include "hash.hpp"

namespace colliding {

inline std::uint64_t fold(std::uint64_t x, std::uint64_t y) {
  unsigned __int128 p = static_cast<unsigned __int128>(x) * y;
  return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
}

inline bool printable(std::uint64_t v) {
  for (int i = 0; i < 8; ++i) {
    unsigned c = (v >> (8 * i)) & 0xff;
    if (c < 0x20 || c > 0x7e) return false;
  }
  return true;
}

inline std::string le(std::uint64_t v) {
  std::string s(8, '\0');
  for (int i = 0; i < 8; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

// 16 printable bytes a, b (words w0, w1) with fold(w0 ^ s, w1 ^ p) printable.
inline std::string half_block(std::uint64_t s, std::uint64_t p, std::uint64_t& lane, unsigned salt) {
  for (std::uint64_t i = 0;; ++i) {
    std::string h = std::string("k").append(std::to_string(salt)) + "-";
    std::string num = std::to_string(i);
    h += std::string(16 - h.size() - num.size(), '.') + num;
    lane = fold(quorvale::load_le64(reinterpret_cast<const unsigned char*>(h.data())) ^ s,
                quorvale::load_le64(reinterpret_cast<const unsigned char*>(h.data()) + 8) ^ p);
    if (printable(lane)) return h;
  }
}

// `count` distinct keys sharing one key hash; `family` picks another hash.
inline std::vector<std::string> keys(std::size_t count, unsigned family = 0) {
  using namespace quorvale::hash::detail;
  std::uint64_t l0, l1;
  std::string a = half_block(S0, P0, l0, family);
  std::string b = half_block(S1, P1, l1, family);
  std::string tail = "tail of family " + std::to_string(family);
  tail += std::string(32 - tail.size(), '~');
  std::vector<std::string> out;
  for (std::size_t i = 0; i < count; ++i) {
    char v[9];
    std::snprintf(v, sizeof v, "%08u", static_cast<unsigned>(i % 100000000));
    out.push_back(a + b + le(l0) + v + le(l1) + "variant:" + tail);
  }
  return out;
}

}  // namespace colliding
