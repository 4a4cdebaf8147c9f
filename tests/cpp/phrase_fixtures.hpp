// Fixtures of the phrase tests: tables spelled out, strings viewed as bytes,
// and per-shard sample lists held as strings and viewed as the byte slices
// the miners take.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "fsst.hpp"

namespace quorvale::testing {

inline fsst::Bytes view(const std::string& s) { return {reinterpret_cast<const unsigned char*>(s.data()), s.size()}; }

// A table of these symbols, in code order.
inline fsst::Table table_of(const std::vector<std::string>& syms) {
  fsst::Table t;
  for (const auto& s : syms) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < s.size(); ++i) v |= std::uint64_t{static_cast<unsigned char>(s[i])} << (8 * i);
    t.symbols.push_back(v);
    t.lengths.push_back(static_cast<std::uint8_t>(s.size()));
  }
  return t;
}

struct ShardSamples {
  std::vector<std::vector<std::string>> strings;

  std::vector<std::vector<fsst::Bytes>> pieces() const {
    std::vector<std::vector<fsst::Bytes>> out;
    for (const auto& list : strings) {
      out.emplace_back();
      for (const auto& s : list) out.back().emplace_back(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    }
    return out;
  }
  std::size_t total() const {
    std::size_t n = 0;
    for (const auto& list : strings) n += list.size();
    return n;
  }
};

// Seeded URLs over a few hosts, path words and file names: the repeated
// stretches phrases are mined from.
inline std::vector<std::string> urls(std::size_t n, unsigned seed) {
  static const char* hosts[] = {"https://www.example.com/", "https://docs.example.org/", "http://cdn.static-files.net/",
                                "https://shop.example.co.uk/"};
  static const char* words[] = {"products", "category", "assets", "images", "2023", "2024", "user", "profile",
                                "search", "results", "download", "release-notes", "api", "v2", "items"};
  static const char* tails[] = {"index.html", "thumbnail.jpg", "style.css", "?page=", "details.json", "README.md"};
  std::mt19937 rng(seed);
  std::vector<std::string> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::string s = hosts[rng() % 4];
    const int depth = 1 + static_cast<int>(rng() % 3);
    for (int d = 0; d < depth; ++d) {
      s += words[rng() % 15];
      s += '/';
    }
    s += tails[rng() % 6];
    s += std::to_string(rng() % 1000);
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace quorvale::testing
