// Shared by the dictionary search tests: queries in exact-size heap buffers
// (so that a read past a query's end is caught under AddressSanitizer), the
// brute-force answers the searches must give, and query sets around keys.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "blob.hpp"
#include "dict_index/internal.hpp"
#include "dict_index/layout.hpp"
#include "utf8.hpp"

namespace dictsearch {

// A copy of the bytes in a heap block of exactly their length.
class Exact {
 public:
  explicit Exact(const std::string& s) : n_(s.size()), p_(new unsigned char[s.size()]) {
    if (n_ != 0) std::memcpy(p_.get(), s.data(), n_);
  }
  std::span<const unsigned char> span() const { return {p_.get(), n_}; }

 private:
  std::size_t n_;
  std::unique_ptr<unsigned char[]> p_;
};

inline std::size_t lcp(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return i;
}

// (rank, found) of a query among ascending keys, bytewise.
inline quorvale::dict_index::Search brute(const std::vector<std::string>& keys, const std::string& q) {
  const auto it = std::lower_bound(keys.begin(), keys.end(), q);
  return {static_cast<std::uint64_t>(it - keys.begin()), it != keys.end() && *it == q};
}

inline bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The prefixes of a query that end on a character boundary (a byte that is
// not a UTF-8 continuation byte, or the end) and are keys, shortest first,
// each with its rank among ascending keys. An index with a character code
// spells the query's characters up to the first bytes that are no UTF-8
// character: its candidates are the boundaries of that part.
inline std::vector<quorvale::dict_index::PrefixMatch> brute_prefixes(const std::vector<std::string>& keys,
                                                                     std::string query, bool coded = false) {
  if (coded) {
    const auto* p = reinterpret_cast<const unsigned char*>(query.data());
    std::size_t i = 0;
    while (i < query.size()) {
      const std::size_t len = p[i] < 0x80 ? 1 : quorvale::utf8::decode(p + i, query.size() - i).len;
      if (len == 0) break;
      i += len;
    }
    query.resize(i);
  }
  std::vector<quorvale::dict_index::PrefixMatch> out;
  for (std::size_t len = 0; len <= query.size(); ++len) {
    if (len > 0 && len < query.size() && is_continuation(static_cast<unsigned char>(query[len]))) continue;
    const quorvale::dict_index::Search s = brute(keys, query.substr(0, len));
    if (s.found) out.push_back({len, s.rank});
  }
  return out;
}

// The code point of the last character of s (valid UTF-8, not empty), and
// where it starts.
inline std::uint32_t last_char(const std::string& s, std::size_t& at) {
  at = s.size() - 1;
  while (at > 0 && is_continuation(static_cast<unsigned char>(s[at]))) --at;
  const unsigned char c = s[at];
  const std::size_t len = s.size() - at;
  std::uint32_t cp = len == 1 ? c : len == 2 ? c & 0x1f : len == 3 ? c & 0x0f : c & 0x07;
  for (std::size_t k = 1; k < len; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[at + k]) & 0x3f);
  return cp;
}

inline std::string utf8_of(std::uint32_t cp) {
  std::string out;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | cp >> 18));
    out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return out;
}

// Queries around the keys: every key (every `stride`-th one), its proper
// prefixes by a few lengths, extensions, and its neighbours (the last byte
// ±1, or with `text` the last character ±1); the empty query and queries
// beyond both ends; the head prefix's neighbours.
inline std::vector<std::string> queries_around(const std::vector<std::string>& keys, bool text,
                                               std::size_t stride = 1, std::uint64_t seed = 1) {
  std::vector<std::string> q{"", std::string(1, '\0'), "\x7f", std::string("\xf4\x8f\xbf\xbf\xf4\x8f\xbf\xbf")};
  if (!text) q.push_back(std::string(6, '\xff'));
  std::mt19937_64 rng(seed);
  for (std::size_t i = 0; i < keys.size(); i += stride) {
    const std::string& k = keys[i];
    q.push_back(k);
    q.push_back(k + "a");
    q.push_back(k + std::string(1, '\0'));
    if (!k.empty()) {
      for (std::size_t cut : {k.size() - 1, k.size() / 2, std::size_t(rng() % k.size())}) {
        std::string p = k.substr(0, cut);
        if (text) while (!p.empty() && is_continuation(static_cast<unsigned char>(k[p.size()]))) p.pop_back();
        q.push_back(p);
      }
      if (text) {
        std::size_t at;
        const std::uint32_t cp = last_char(k, at);
        for (std::uint32_t n : {cp - 1, cp + 1}) {
          if (cp == 0 && n == cp - 1) continue;
          if ((n >= 0xD800 && n <= 0xDFFF) || n > 0x10FFFF) continue;
          q.push_back(k.substr(0, at) + utf8_of(n));
        }
      } else {
        std::string lo = k, hi = k;
        if (static_cast<unsigned char>(lo.back()) > 0) {
          --lo.back();
          q.push_back(lo);
        }
        if (static_cast<unsigned char>(hi.back()) < 0xff) {
          ++hi.back();
          q.push_back(hi);
        }
      }
    }
  }
  if (!keys.empty()) {
    // Around the head prefix: shorter queries that are a prefix of it, below
    // it and above it.
    const std::string& first = keys.front();
    const std::string& last = keys.back();
    const std::string p = first.substr(0, lcp(first, last));
    for (std::size_t cut = 0; cut < p.size(); cut += 1 + p.size() / 8) {
      std::string s = p.substr(0, cut);
      if (text) while (!s.empty() && cut < p.size() && is_continuation(static_cast<unsigned char>(p[s.size()]))) s.pop_back();
      q.push_back(s);
      if (!s.empty() && static_cast<unsigned char>(s.back()) < 0x7f) {
        std::string a = s, b = s;
        ++a.back();
        q.push_back(a);
        if (static_cast<unsigned char>(b.back()) > 1) {
          --b.back();
          q.push_back(b);
        }
      }
    }
    q.push_back(last + "z");
  }
  return q;
}

// Shapes of the batched lookup that between them take every path: chunks of
// one key and a few, the batch's own order and the order by block, blocks
// searched key by key, through their decoded restarts and decoded whole.
inline std::vector<std::pair<const char*, quorvale::dict_index::BatchShape>> batch_shapes() {
  using Shape = quorvale::dict_index::BatchShape;
  constexpr std::uint64_t always = std::uint64_t{1} << 40;  // keys · dense reaches any block
  return {
      {"in order, chunks of 1", Shape{.plain_chunk = 1, .order = 0}},
      {"in order, chunks of 7", Shape{.plain_chunk = 7, .order = 0}},
      {"by block, chunks of 1", Shape{.chunk = 1, .order = 1, .route = 1}},
      {"by block, chunks of 33, decoded whole", Shape{.chunk = 33, .order = 1, .dense = always, .route = 1}},
      {"by block, decoded whole", Shape{.order = 1, .dense = always}},
      {"by block, restarts decoded", Shape{.order = 1, .dense = 0, .route = 1}},
      {"by block, key by key", Shape{.order = 1, .dense = 0, .route = SIZE_MAX}},
      {"by block, the default thresholds", Shape{.order = 1}},
      {"the default shape", Shape{}},
  };
}

inline quorvale::dict_index::Layout load(const std::vector<unsigned char>& blob, bool verify = true) {
  return quorvale::dict_index::Layout::from_shared(
      quorvale::blob::SharedBytes::from_owned(std::span<const unsigned char>(blob)), verify);
}

}  // namespace dictsearch
