// Dictionary blobs for the loader's and the decoder's tests: two laid out
// byte by byte, the others written by the test-side writer from small
// descriptions that reach every codec, both header modes, escapes and the
// edge shapes of blocks.
#pragma once

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dict_blob_writer.hpp"

namespace dictfix {

inline void put_bytes(Bytes& b, std::initializer_list<unsigned> v) {
  for (unsigned x : v) b.push_back(static_cast<unsigned char>(x));
}

// The header and payload sealed with the library's checksum functions.
inline Bytes seal(Bytes header, const Bytes& payload) {
  Bytes b = std::move(header);
  b.insert(b.end(), payload.begin(), payload.end());
  reseal(b);
  return b;
}

// The empty index at block 256: 96 bytes.
inline Bytes empty_index() {
  Bytes h;
  put_bytes(h, {'B', 'D', 'X', '3'});
  put_bytes(h, {0, 0, 0, 0, 0, 0, 0, 0});              // n
  put_bytes(h, {0x00, 0x01, 0, 0});                    // block 256
  put_bytes(h, {0, 0, 0, 0, 0, 0, 0, 0});              // heads length
  put_bytes(h, {0, 0, 0, 0, 0, 0, 0, 0});              // block data length
  put_bytes(h, {6, 0, 0, 0});                          // tables length
  put_bytes(h, {0, 0, 0, 0, 0, 0, 0, 0});              // payload checksum (sealed)
  put_bytes(h, {0, 0, 6, 0});                          // widths, shift 6
  put_bytes(h, {16, 0});                               // micro
  put_bytes(h, {0x00, 0x01});                          // shard 256
  put_bytes(h, {14, 0, 0, 0});                         // codes length
  put_bytes(h, {0, 0});                                // head prefix
  put_bytes(h, {4, 0, 0, 0});                          // phrases length
  put_bytes(h, {0, 0, 0, 0});                          // chars length
  put_bytes(h, {0, 0});                                // reserved
  put_bytes(h, {0, 0, 0, 0});                          // header checksum (sealed)
  Bytes p;
  put_bytes(p, {2, 0, 0, 0, 0, 0});  // one Symbols record over the empty table
  p.insert(p.end(), 14, 0);          // one pair of all-zero field codes
  p.insert(p.end(), 4, 0);           // no phrases
  return seal(h, p);
}

// The key "a" at block 256: 137 bytes.
inline Bytes key_a_index() {
  Bytes h;
  put_bytes(h, {'B', 'D', 'X', '3'});
  put_bytes(h, {1, 0, 0, 0, 0, 0, 0, 0});              // n
  put_bytes(h, {0x00, 0x01, 0, 0});                    // block 256
  put_bytes(h, {1, 0, 0, 0, 0, 0, 0, 0});              // heads length
  put_bytes(h, {0, 0, 0, 0, 0, 0, 0, 0});              // block data length
  put_bytes(h, {6, 0, 0, 0});                          // tables length
  put_bytes(h, {0, 0, 0, 0, 0, 0, 0, 0});              // payload checksum
  put_bytes(h, {0, 0, 6, 0});                          // widths, shift
  put_bytes(h, {16, 0});                               // micro
  put_bytes(h, {0x00, 0x01});                          // shard
  put_bytes(h, {14, 0, 0, 0});                         // codes length
  put_bytes(h, {1, 0});                                // head prefix
  put_bytes(h, {4, 0, 0, 0});                          // phrases length
  put_bytes(h, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0});        // chars, reserved, checksum
  Bytes p;
  p.push_back('a');                                     // heads
  put_bytes(p, {1, 0, 0, 0, 0, 0, 0, 0});               // head-end sample
  p.insert(p.end(), 8, 0);                              // head ends at width 0
  put_bytes(p, {2, 0, 0, 0, 0, 0});                     // tables
  p.insert(p.end(), 14, 0);                             // header codes
  p.insert(p.end(), 4, 0);                              // phrases
  p.insert(p.end(), 8, 0);                              // block-offset sample 0
  p.insert(p.end(), 8, 0);                              // block offsets at width 0
  p.insert(p.end(), 8, 0);                              // one micro offset at width 0
  return seal(h, p);
}

// A blob whose header claims more microblocks than its block data can
// carry: `y` (at most 256) one-byte heads 0, 1, ... ascending, blocks of
// `block` keys in microblocks of `micro`, `data` zero bytes of block data,
// every block and micro offset 0 (width 0), one shard. Only the route-word
// bound tells it from a real blob.
inline Bytes route_heavy(unsigned y, unsigned block, unsigned micro, std::size_t data) {
  const std::uint64_t n = std::uint64_t{y} * block, j = (block + micro - 1) / micro;
  const std::uint64_t u = j == 1 ? 0 : j * y;
  Bytes h;
  put_bytes(h, {'B', 'D', 'X', '3'});
  for (int i = 0; i < 8; ++i) h.push_back(static_cast<unsigned char>(n >> (8 * i)));
  for (int i = 0; i < 4; ++i) h.push_back(static_cast<unsigned char>(block >> (8 * i)));
  for (int i = 0; i < 8; ++i) h.push_back(static_cast<unsigned char>(std::uint64_t{y} >> (8 * i)));  // heads length
  for (int i = 0; i < 8; ++i) h.push_back(static_cast<unsigned char>(std::uint64_t{data} >> (8 * i)));
  put_bytes(h, {6, 0, 0, 0});                    // tables length
  h.insert(h.end(), 8, 0);                       // payload checksum (sealed)
  put_bytes(h, {9, 0, 31, 0});                   // head ends of 9 bits, one sample
  put_bytes(h, {micro & 0xff, micro >> 8, 0xff, 0xff});  // micro, shard 65,535
  put_bytes(h, {14, 0, 0, 0});                   // codes length
  put_bytes(h, {0, 0});                          // head prefix
  put_bytes(h, {4, 0, 0, 0});                    // phrases length
  h.insert(h.end(), 10, 0);                      // chars, reserved, checksum
  Bytes p;
  for (unsigned i = 0; i < y; ++i) p.push_back(static_cast<unsigned char>(i));
  p.insert(p.end(), 8, 0);  // head-end sample 0
  Bytes ends((y * 9 + 7) / 8 + 8, 0);  // head end i = i + 1
  for (unsigned i = 0; i < y; ++i)
    for (unsigned b = 0; b < 9; ++b)
      if ((i + 1) >> b & 1) ends[(9 * i + b) / 8] |= static_cast<unsigned char>(1u << ((9 * i + b) % 8));
  p.insert(p.end(), ends.begin(), ends.end());
  p.insert(p.end(), data, 0);
  put_bytes(p, {2, 0, 0, 0, 0, 0});  // tables
  p.insert(p.end(), 14, 0);          // header codes
  p.insert(p.end(), 4, 0);           // phrases
  p.insert(p.end(), 16, 0);          // block offsets: one sample, width 0
  if (u > 0) p.insert(p.end(), 8, 0);  // micro offsets at width 0
  return seal(h, p);
}

inline std::vector<std::string> sorted_unique(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

// Random keys over a small alphabet, sharing prefixes often.
inline std::vector<std::string> random_keys(std::size_t n, std::uint64_t seed, const std::string& alphabet,
                                            std::size_t max_len = 12) {
  std::mt19937_64 rng(seed);
  std::set<std::string> keys;
  std::string prev;
  while (keys.size() < n) {
    std::string k = prev.substr(0, rng() % (prev.size() + 1));
    const std::size_t extra = 1 + rng() % max_len;
    for (std::size_t i = 0; i < extra; ++i) k.push_back(alphabet[rng() % alphabet.size()]);
    keys.insert(k);
    prev = k;
  }
  return {keys.begin(), keys.end()};
}

inline std::vector<std::string> phrase_list(std::size_t n) {
  std::vector<std::string> v;
  for (std::size_t i = 0; i < n; ++i)
    v.push_back(std::string("<").append(std::to_string(i * 7919 % 100000)) + "|phrase>");
  return v;
}

struct Fixture {
  std::string name;
  Layout layout;
};

inline std::vector<Fixture> fixtures() {
  std::vector<Fixture> f;
  const std::vector<std::string> words = sorted_unique(
      {"", "a", "ab", "abc", "abcd", "abd", "b", "ba", "bab", "babe", "c", "ca", "cab", "cabin", "d"});
  {
    Layout s;  // every byte escaped: (255, byte)
    s.keys = words;
    f.push_back({"symbols over the empty table", s});
  }
  {
    Layout s;
    s.keys = words;
    s.codecs = {Symbols{{"ab", "c", "in", "e", "abcd"}}};
    s.codes = {{Table{2, {{1, 1}, {2, 1}, {0, 2}}}, Table{3, {{0, 1}, {0, 2}}}}};
    f.push_back({"table mode with escaped entries", s});
  }
  {
    Layout s;
    s.keys = words;
    s.codecs = {Symbols{{"a", "b", "c", "d", "e", "in"}}};
    Fields wide;
    wide.extra_wx = 1;
    wide.extra_wy = 1;
    s.codes = {{wide, Fields{}}};
    f.push_back({"field mode", s});
  }
  {
    Layout s;  // three primary bytes, a secondary one, and raw bytes after a double escape
    s.keys = sorted_unique({"aaa", "aab", "abac", "abd", "abz", "b", "bcbcb", "bcd", "cz", "czz", "d", "dd"});
    s.codecs = {Packed{2, "abc", "d"}};
    f.push_back({"packed with escapes", s});
  }
  {
    Layout s;  // width 3 over seven bytes: suffixes end mid-byte, the next entry goes on there
    s.keys = random_keys(80, 3, "abcdefg", 9);
    s.block = 16;
    s.micro = 4;
    s.codecs = {Packed{3, "abcdefg", ""}};
    f.push_back({"packed suffixes ending mid-byte", s});
  }
  {
    Layout s;  // width 1, two primary bytes: code 1 is a byte, not an escape
    s.keys = random_keys(40, 4, "xy", 10);
    s.block = 8;
    s.micro = 3;
    s.codecs = {Packed{1, "xy", ""}};
    f.push_back({"packed width 1", s});
  }
  {
    Layout s;  // split (253, 1): phrases below 256 take two bytes, the rest three
    s.phrases = phrase_list(300);
    for (std::size_t i : {5u, 17u, 255u, 256u, 290u, 299u})
      for (const char* tail : {"", "x", "yz"}) s.keys.push_back("k" + s.phrases[i] + tail);
    s.keys.push_back("k");
    s.keys.push_back("k" + s.phrases[5] + s.phrases[290]);
    s.keys = sorted_unique(s.keys);
    s.codecs = {Tiered{253, 1, {"k", "x", "y", "z"}}};
    f.push_back({"tiered two- and three-byte phrase codes", s});
  }
  {
    Layout s;
    s.keys = random_keys(50, 5, "abcde");
    s.block = 4;
    s.micro = 4;
    s.codecs = {Symbols{{"ab", "cd", "e"}}};
    f.push_back({"J = 1", s});
  }
  {
    Layout s;  // 9 keys at block 4: a last block of one key
    s.keys = sorted_unique({"m", "ma", "mb", "mc", "md", "me", "mf", "mg", "mh"});
    f.push_back({"last block of one key", s});
  }
  {
    Layout s;
    s.keys = random_keys(20, 6, "ab");
    s.block = 1;
    s.micro = 1;
    f.push_back({"block 1", s});
  }
  {
    Layout s;  // one shard a block, each with its own codec and codes; two samples a head-end array
    s.keys = random_keys(60, 7, "abcdefgh");
    s.block = 4;
    s.micro = 2;
    s.shard = 1;
    s.shift = 1;
    const Codec codecs[3] = {Symbols{{"ab", "c"}}, Packed{3, "abcdefg", "h"}, Tiered{200, 0, {"a"}}};
    const std::pair<Code, Code> codes[2] = {{Fields{}, Table{2, {{0, 1}}}},
                                            {Table{3, {{1, 1}, {1, 2}, {2, 1}}}, Fields{}}};
    for (int i = 0; i < 15; ++i) {
      s.codecs.push_back(codecs[i % 3]);
      s.codes.push_back(codes[i % 2]);
    }
    s.codecs.erase(s.codecs.begin());
    s.codes.erase(s.codes.begin());
    s.phrases = {"cdef", "gh"};
    f.push_back({"shards of their own", s});
  }
  {
    Layout s;
    s.keys = random_keys(500, 8, "abcdefghij", 14);
    for (auto& k : s.keys)  // some two-byte characters
      for (std::size_t at; (at = k.find('j')) != std::string::npos;) k.replace(at, 1, "\xc3\xa9");
    s.keys = sorted_unique(s.keys);
    s.block = 32;
    s.micro = 5;
    s.shard = 3;
    s.codecs = {Symbols{{"ab", "cd", "ef", "a", "bcd", "\xc3\xa9"}}};
    f.push_back({"long", s});
  }
  {
    Layout s;  // one-byte and two-byte codes; characters of 1 to 4 UTF-8 bytes
    s.chars = CharCode{false, {'a', 'b', 'c', 0xE9, 0x416, 0x20AC, 0x1F600}, {1, 1, 3, 2}};
    const std::vector<std::string> units{"a", "b", "c", "\xc3\xa9", "\xd0\x96", "\xe2\x82\xac", "\xf0\x9f\x98\x80"};
    std::vector<std::string> keys;
    for (const auto& k : random_keys(70, 9, "abcdefg", 6)) {
      std::string spelled;
      for (char c : k) spelled += units[static_cast<std::size_t>(c - 'a')];
      keys.push_back(spelled);
    }
    s.keys = sorted_unique(keys);
    s.block = 8;
    s.micro = 3;
    s.codecs = {Symbols{{std::string("\x03\x00", 2), "\x01"}}};
    f.push_back({"character code", s});
  }
  {
    Layout s;  // ASCII kept as itself, the rest behind leads from 128
    s.chars = CharCode{true, {0xE9, 0x416, 0x4E2D}, {1, 2}};
    s.keys = sorted_unique({"", "a", "ab\xc3\xa9", "b", "\xc3\xa9", "\xc3\xa9" "a", "\xd0\x96\xe4\xb8\xad",
                            "\xe4\xb8\xad", "\xe4\xb8\xad\xe4\xb8\xadz"});
    s.block = 4;
    s.micro = 2;
    f.push_back({"ASCII-keeping character code", s});
  }
  {
    Layout s;  // blocks whose samples tie: heads agree far past 8 bytes
    for (const char* stem : {"a", "path/to/the/deep/stem/", "path/to/the/deep/stem/and/more/"})
      for (const char* tail : {"x", "y", "z1", "z2"}) s.keys.push_back(std::string(stem) + tail);
    s.keys = sorted_unique(s.keys);
    s.block = 2;
    s.micro = 1;
    f.push_back({"tied samples", s});
  }
  return f;
}

}  // namespace dictfix
