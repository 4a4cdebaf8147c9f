// Helpers shared by the FST engine's tests.
#pragma once

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fst/builder.hpp"
#include "fst/fst.hpp"

namespace fsttest {

namespace fst = quorvale::fst;
using Bytes = std::vector<unsigned char>;

inline std::span<const unsigned char> bytes_of(const std::string& s) {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// Builds in memory; keys must be sorted and distinct.
inline Bytes build(const std::vector<std::string>& keys, const std::vector<std::uint64_t>& values) {
  fst::MemorySink sink;
  fst::MapBuilder b(sink);
  for (std::size_t i = 0; i < keys.size(); ++i) b.insert(keys[i], values[i]);
  b.finish();
  return sink.take();
}

inline std::vector<std::uint64_t> ranks(std::size_t n) {
  std::vector<std::uint64_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = i;
  return v;
}

// An Fst owning a copy of the bytes.
inline fst::Fst open_copy(const Bytes& bytes) {
  auto owned = std::make_shared<Bytes>(bytes);
  return fst::Fst::open(owned, *owned);
}

// Random characters of 1 to 4 UTF-8 bytes, biased toward a small alphabet so
// that keys share prefixes and suffixes.
inline void push_char(std::string& s, std::mt19937_64& rng, bool raw_bytes) {
  static const char* const kPieces[] = {"a", "b", "c", "é", "ü", "東", "京", "😀", "ｚ", "\x7f", "Ω"};
  const unsigned r = rng() % 16;
  if (r < 11) {
    s += kPieces[r];
  } else if (r < 13) {
    s += static_cast<char>('a' + rng() % 26);
  } else if (raw_bytes && r == 13) {
    s += static_cast<char>(rng() % 2 ? 0x00 : 0xFF);
  } else if (raw_bytes && r == 14) {
    s += static_cast<char>(0x80 + rng() % 0x80);  // any byte, UTF-8 or not
  } else {
    s += "/";
  }
}

// A sorted, distinct key set with the empty key, long shared prefixes and
// suffixes, and (when raw_bytes) 0x00, 0xFF and stray bytes.
inline std::vector<std::string> random_keys(std::size_t n, std::uint64_t seed, bool raw_bytes) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> keys{""};
  const std::string long_prefix(300, 'p'), long_suffix = std::string(200, 's') + "end";
  while (keys.size() < n) {
    std::string k;
    const unsigned shape = rng() % 8;
    if (shape == 0) k = long_prefix;
    const std::size_t len = rng() % 8;
    for (std::size_t i = 0; i < len; ++i) push_char(k, rng, raw_bytes);
    if (shape == 1) k += long_suffix;
    keys.push_back(std::move(k));
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

}  // namespace fsttest
