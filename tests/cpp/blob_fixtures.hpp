// Hand-made and real blobs for the inspector's tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "blob.hpp"
#include "fst/builder.hpp"

namespace blob_fixtures {

using Bytes = std::vector<unsigned char>;
using quorvale::store_le16;
using quorvale::store_le32;
using quorvale::store_le64;

// `len` zero bytes behind a magic.
inline Bytes made(const std::string& magic, std::size_t len) {
  Bytes b(len, 0);
  std::copy(magic.begin(), magic.end(), b.begin());
  return b;
}
inline void put64(Bytes& b, std::size_t at, std::uint64_t v) { store_le64(b.data() + at, v); }
inline void put32(Bytes& b, std::size_t at, std::uint32_t v) { store_le32(b.data() + at, v); }
inline void put16(Bytes& b, std::size_t at, std::uint16_t v) { store_le16(b.data() + at, v); }


// A string-index blob: "BIX4" and transducer bytes over `keys`.
inline Bytes string_index(const std::vector<std::string>& keys) {
  quorvale::fst::MemorySink sink;
  const unsigned char magic[4] = {'B', 'I', 'X', '4'};
  sink.write_all(magic);
  quorvale::fst::MapBuilder<quorvale::fst::MemorySink> builder(sink);
  for (std::size_t i = 0; i < keys.size(); ++i) builder.insert(keys[i], i);
  builder.finish();
  return sink.take();
}

inline std::vector<std::string> numbered(std::size_t n) {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < n; ++i) keys.push_back("key" + std::to_string(1000 + i));
  return keys;
}

// An "OVL2" blob around `base` with these additions and tombstone words.
inline Bytes overlay_v2(std::uint8_t tag, const Bytes& base, const std::vector<std::string>& additions,
                 const std::vector<std::uint64_t>& words) {
  Bytes added;
  for (const std::string& a : additions) {
    unsigned char len[4];
    store_le32(len, static_cast<std::uint32_t>(a.size()));
    added.insert(added.end(), len, len + 4);
    added.insert(added.end(), a.begin(), a.end());
  }
  Bytes b = made("OVL2", 49);
  b[4] = tag;
  put64(b, 5, base.size());
  put64(b, 13, additions.size());
  put64(b, 21, added.size());
  put64(b, 29, words.size());
  b.insert(b.end(), base.begin(), base.end());
  b.insert(b.end(), added.begin(), added.end());
  for (std::uint64_t w : words) {
    unsigned char word[8];
    store_le64(word, w);
    b.insert(b.end(), word, word + 8);
  }
  return b;
}

inline Bytes overlay_v1(std::uint8_t tag, const Bytes& base, const std::vector<std::string>& additions,
                 const std::vector<std::uint64_t>& words) {
  Bytes b = made("OVL1", 21);
  b[4] = tag;
  put64(b, 5, base.size());
  put64(b, 13, additions.size());
  b.insert(b.end(), base.begin(), base.end());
  for (const std::string& a : additions) {
    unsigned char len[4];
    store_le32(len, static_cast<std::uint32_t>(a.size()));
    b.insert(b.end(), len, len + 4);
    b.insert(b.end(), a.begin(), a.end());
  }
  unsigned char count[8];
  store_le64(count, words.size());
  b.insert(b.end(), count, count + 8);
  for (std::uint64_t w : words) {
    unsigned char word[8];
    store_le64(word, w);
    b.insert(b.end(), word, word + 8);
  }
  return b;
}


// A dictionary header of 1,000 keys, 256 a block (4 blocks), 16 a microblock
// (63 microblocks), widths 10 / 12 / 9 and shift 6, and its exact length:
//   head ends      ceil(4 * 10 / 8) + 8 + 8 * ceil(4 / 64)  = 21
//   block offsets  ceil(4 * 12 / 8) + 8 + 8                  = 22
//   micro offsets  ceil(63 * 9 / 8) + 8 (+ 8 sampled in BDX2) = 79 (87)
// plus tables 30, heads 200, data 3,000, codes 100, phrases 50, chars 7.
inline Bytes dictionary(const std::string& magic, std::size_t& exact_len) {
  const std::size_t header = magic == "BDX1" ? 48 : magic == "BDX2" ? 56 : 72;
  const std::size_t arrays = magic == "BDX1" ? 20 * 4 : 21 + 22 + (magic == "BDX2" ? 87 : 79);
  const bool coded = magic == "BDX3" || magic == "BDX4";
  exact_len = header + 30 + 200 + 3000 + arrays + (coded ? 150 : 0) + (magic == "BDX4" ? 7 : 0);
  Bytes b = made(magic, exact_len);
  put64(b, 4, 1000);
  put32(b, 12, 256);
  put64(b, 16, 200);
  put64(b, 24, 3000);
  put32(b, 32, 30);
  if (magic != "BDX1") {
    b[44] = 10;
    b[45] = 12;
    b[46] = 6;
    b[47] = 9;
    put16(b, 48, 16);
  }
  if (coded) {
    put32(b, 52, 100);
    put32(b, 58, 50);
    put32(b, 62, 7);  // read only by BDX4
  }
  return b;
}


}  // namespace blob_fixtures
