// The one mutator of the seeded mutation loops (tests/cpp/*_fuzz_test.cpp):
// byte-level damage, weighted toward where a format keeps its structure,
// plus the edits a loop adds for its own format. The loops reseal with the
// fuzz targets' resealers (fuzz/harness/reseal.hpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <span>
#include <vector>

#include "blob.hpp"

namespace mutation {

using Bytes = std::vector<unsigned char>;
using Rng = std::mt19937_64;
// An edit of a format's own, drawn as often as each byte-level one.
using Edit = std::function<void(Bytes&, Rng&)>;

// Little-endian words worth writing over lengths, counts and offsets.
inline constexpr std::uint64_t WORDS[] = {
    0, 1, 2, 7, 8, 17, 20, 63, 64, 68, 0xff, 0x100, 0xffff, 0x10000, 0xffffffff, 0x100000000ULL,
    std::uint64_t{1} << 61, std::uint64_t{1} << 62, UINT64_MAX / 20, UINT64_MAX / 4, UINT64_MAX - 20, UINT64_MAX};

struct Shape {
  std::size_t head = 0;  // leading bytes that take half the edits: a header, a table
  std::size_t tail = 0;  // trailing bytes that take a quarter: a side table, a footer
  unsigned edits = 4;    // edits per input, 1 to this many
  std::span<const std::uint64_t> words = WORDS;  // what a word edit writes; none: no word edits
  std::size_t insert = 8;                        // bytes an insertion adds, 1 to this many
  std::vector<Edit> own = {};
};

// A position of a byte of `b` (which is not empty), by the shape's weights.
inline std::size_t place(const Bytes& b, Rng& rng, const Shape& s) {
  const unsigned where = rng() % 4;
  if (where < 2 && s.head > 0) return rng() % std::min(b.size(), s.head);
  if (where == 2 && s.tail > 0) return b.size() - 1 - rng() % std::min(b.size(), s.tail);
  return rng() % b.size();
}

// 1 to s.edits edits of `b`, each a flipped bit, a byte set anywhere or to a
// small value (a count, a tag, a width), a word, a cut, an insertion, an
// erased byte, or one of the shape's own edits.
inline void mutate(Bytes& b, Rng& rng, const Shape& s) {
  constexpr unsigned GENERIC = 7;
  const unsigned edits = 1 + rng() % s.edits;
  for (unsigned e = 0; e < edits; ++e) {
    const std::size_t op = rng() % (GENERIC + s.own.size());
    if (op >= GENERIC) {
      s.own[op - GENERIC](b, rng);
      continue;
    }
    if (b.empty() && op != 5) continue;
    switch (op) {
      case 0:
        b[place(b, rng, s)] ^= static_cast<unsigned char>(1u << (rng() % 8));
        break;
      case 1:
        b[place(b, rng, s)] = static_cast<unsigned char>(rng());
        break;
      case 2:
        b[place(b, rng, s)] = static_cast<unsigned char>(rng() % (rng() % 2 ? 4 : 16));
        break;
      case 3:
        if (b.size() >= 8 && !s.words.empty())
          quorvale::store_le64(b.data() + std::min(place(b, rng, s), b.size() - 8), s.words[rng() % s.words.size()]);
        break;
      case 4:
        b.resize(rng() % b.size());
        break;
      case 5:
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(b.empty() ? 0 : rng() % (b.size() + 1)), 1 + rng() % s.insert,
                 static_cast<unsigned char>(rng()));
        break;
      default:
        b.erase(b.begin() + static_cast<std::ptrdiff_t>(place(b, rng, s)));
        break;
    }
  }
}

}  // namespace mutation
