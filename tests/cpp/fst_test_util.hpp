// Helpers shared by the FST engine's tests.
#pragma once

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"
#include "fst/builder.hpp"
#include "fst/crc32c.hpp"
#include "fst/fst.hpp"

namespace fsttest {

namespace fst = quorvale::fst;
using Bytes = std::vector<unsigned char>;

inline std::span<const unsigned char> bytes_of(const std::string& s) {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// The display text of the IndexError fn throws ("" when it throws none).
template <class F>
std::string index_error_of(F&& fn) {
  try {
    fn();
  } catch (const quorvale::IndexError& e) {
    return e.what();
  }
  return "";
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

// ---- brute force over characters ----

// Strict UTF-8 decoding into code points, written independently of the
// library.
inline bool utf8_chars(const std::string& s, std::vector<std::uint32_t>& out) {
  out.clear();
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char b = s[i];
    int len = b < 0x80 ? 1 : b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    std::uint32_t c = len == 1 ? b : b & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
      const unsigned char x = s[i + k];
      if ((x & 0xC0) != 0x80) return false;
      c = c << 6 | (x & 0x3F);
    }
    static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    out.push_back(c);
    i += len;
  }
  return true;
}

// Edit distance counted in characters.
inline std::size_t distance(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diag = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

// ---- hand assembly of FST bytes, straight from the format's tables ----

inline void put(Bytes& b, std::uint64_t v, unsigned width) {
  for (unsigned i = 0; i < width; ++i) b.push_back(i < 8 ? static_cast<unsigned char>(v >> (8 * i)) : 0);
}

// An FST of the given version around hand-written node bytes (which start at
// offset 16); version 3 gets its checksum.
inline Bytes wrap(std::uint64_t version, const Bytes& nodes, std::uint64_t count, std::uint64_t root) {
  Bytes b;
  put(b, version, 8);
  put(b, 0, 8);
  b.insert(b.end(), nodes.begin(), nodes.end());
  put(b, count, 8);
  put(b, root, 8);
  if (version >= 3) put(b, fst::mask_crc(fst::crc32c(b)), 4);
  return b;
}

struct T {
  unsigned char input;
  std::uint64_t output;
  std::uint64_t target;
};

// A multi-transition node appended to `out` (whose first byte is FST offset
// 16); returns its address.
inline std::uint64_t multi(Bytes& out, bool final, std::uint64_t final_output, const std::vector<T>& ts, unsigned tw,
                           unsigned ow, bool index) {
  const std::uint64_t start = 16 + out.size();
  const std::size_t n = ts.size();
  if (final) put(out, final_output, ow);
  for (std::size_t i = n; i-- > 0;) put(out, ts[i].output, ow);
  for (std::size_t i = n; i-- > 0;) put(out, ts[i].target == 0 ? 0 : start - ts[i].target, tw);
  for (std::size_t i = n; i-- > 0;) out.push_back(ts[i].input);
  if (index) {
    Bytes idx(256, 255);
    for (std::size_t i = 0; i < n; ++i) idx[ts[i].input] = static_cast<unsigned char>(i);
    out.insert(out.end(), idx.begin(), idx.end());
  }
  out.push_back(static_cast<unsigned char>(tw << 4 | ow));
  const bool count_byte = n == 0 || n > 63;
  if (count_byte) out.push_back(static_cast<unsigned char>(n == 256 ? 1 : n));
  out.push_back(static_cast<unsigned char>((final ? 0x40 : 0) | (count_byte ? 0 : n)));
  return 16 + out.size() - 1;
}

// `depth` nodes of two transitions, on 'a' and 'b', each to the node below:
// every word of `depth` letters over {a, b}, 2^depth keys in 22 bytes a node.
inline Bytes doubling_fst(unsigned depth) {
  Bytes nodes;
  std::uint64_t below = 0, keys = 1;
  for (unsigned d = 0; d < depth; ++d) {
    below = multi(nodes, false, 0, {{'a', 0, below}, {'b', keys, below}}, 1, 8, false);
    keys *= 2;
  }
  return wrap(3, nodes, keys, below);
}

// A one-transition node (coded input when the byte has a code); returns its
// address.
inline std::uint64_t one(Bytes& out, const T& t, unsigned tw, unsigned ow) {
  const std::uint64_t start = 16 + out.size();
  put(out, t.output, ow);
  put(out, t.target == 0 ? 0 : start - t.target, tw);
  out.push_back(static_cast<unsigned char>(tw << 4 | ow));
  const unsigned char code = fst::input_code(t.input);
  if (code == 0) out.push_back(t.input);
  out.push_back(static_cast<unsigned char>(0x80 | code));
  return 16 + out.size() - 1;
}

// A one-transition-next node on `input`, leading to the node written just
// before it; returns its address.
inline std::uint64_t one_next(Bytes& out, unsigned char input) {
  const unsigned char code = fst::input_code(input);
  if (code == 0) out.push_back(input);
  out.push_back(static_cast<unsigned char>(0xC0 | code));
  return 16 + out.size() - 1;
}

}  // namespace fsttest
