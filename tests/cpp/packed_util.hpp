// Coding bytes with a packed alphabet as a run writer does, for the tests and
// the fuzz target of the codec records.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "packed.hpp"

namespace packedtest {

struct Packed {
  std::vector<unsigned char> bytes;  // the bit stream, padded to a byte
  std::uint64_t codes = 0;           // codes in it
};

inline Packed pack(const quorvale::packed::Alphabet& a, std::span<const unsigned char> s) {
  Packed p;
  std::uint64_t bits = 0;
  std::uint32_t pending = 0;
  for (unsigned char c : s) {
    a.put(c, bits, pending, p.bytes);
    p.codes += a.units(c);
  }
  if (pending) p.bytes.push_back(static_cast<unsigned char>(bits));
  return p;
}

}  // namespace packedtest
