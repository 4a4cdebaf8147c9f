// Corpora and checks shared by the dictionary build tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dict_index/dict_index.hpp"

namespace buildfix {

using namespace quorvale;
using Blob = std::vector<unsigned char>;

inline Blob blob_of(const DictIndex& d) {
  Blob out;
  d.write_to([&](std::span<const unsigned char> s) { out.insert(out.end(), s.begin(), s.end()); });
  return out;
}

inline DictIndex reload(const Blob& b) {
  return DictIndex::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)), true);
}

inline std::vector<std::string> sorted_distinct(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

inline std::vector<dict_index::Key> views_of(const std::vector<std::string>& keys) {
  return {keys.begin(), keys.end()};
}

inline std::vector<std::string> sample_keys() {
  std::ifstream in(std::string(QUORVALE_SOURCE_DIR) + "/examples/sample-keys.txt");
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Paths under a few long shared stems: many block heads agree on their
// first 8 bytes past the head prefix, so samples tie.
inline std::vector<std::string> paths(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  const std::vector<std::string> stems = {"/usr/share/doc/packages/documentation/", "/usr/share/locale/",
                                          "/usr/lib/x86_64-linux-gnu/perl5/5.36/unicore/lib/"};
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) {
    std::string s = stems[rng() % stems.size()];
    const unsigned depth = 1 + rng() % 3;
    for (unsigned d = 0; d < depth; ++d) {
      s += "dir" + std::to_string(rng() % 40);
      s += d + 1 < depth ? "/" : ".txt";
    }
    out.push_back(s);
  }
  return sorted_distinct(std::move(out));
}

inline std::vector<std::string> urls(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i)
    out.push_back("https://www.example.com/articles/2024/" + std::to_string(rng() % 100000) + "?ref=" +
                  std::to_string(rng() % 7));
  return sorted_distinct(std::move(out));
}

inline std::vector<std::string> decimal_ids(std::uint64_t from, std::uint64_t count) {
  std::vector<std::string> out;
  for (std::uint64_t i = 0; i < count; ++i) out.push_back(std::to_string(from + i));
  return sorted_distinct(std::move(out));
}

// Cyrillic words: more than two fifteenths of their bytes lie outside ASCII,
// so the build spells them in a character code.
inline std::vector<std::string> cyrillic(std::size_t n, std::uint64_t seed) {
  static const char* const letters[] = {"а", "б", "в", "г", "д", "е", "ж", "з", "и", "к", "л", "м", "н", "о",
                                        "п", "р", "с", "т", "у", "ф", "х", "ц", "ч", "ш", "ы", "ю", "я"};
  std::mt19937_64 rng(seed);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) {
    std::string s;
    const unsigned len = 1 + rng() % 9;
    for (unsigned k = 0; k < len; ++k) s += letters[rng() % (sizeof letters / sizeof *letters)];
    if (rng() % 5 == 0) s.append("-").append(std::to_string(rng() % 10));
    out.push_back(s);
  }
  return sorted_distinct(std::move(out));
}

// The empty key and keys that prefix one another.
inline std::vector<std::string> prefixes() {
  std::vector<std::string> out = {""};
  for (const char* stem : {"a", "ab", "b", "zz"})
    for (std::string s = stem; s.size() < 40; s += s.back()) out.push_back(s);
  for (int i = 0; i < 300; ++i) out.push_back("ab" + std::string(static_cast<std::size_t>(i % 17), 'b') + char('a' + i % 26));
  return sorted_distinct(std::move(out));
}

// Everything a built index must answer, and the same after a verified
// reload: the keys in order with ids 0..n-1, and the samples and ties the
// load derives equal the build's.
inline void check_round_trip(const DictIndex& d, const std::vector<std::string>& sorted) {
  ASSERT_EQ(d.n, sorted.size());
  const Blob b = blob_of(d);
  ASSERT_EQ(b.size(), d.serialized_len());
  const DictIndex r = reload(b);
  EXPECT_EQ(r.samples, d.samples);
  EXPECT_EQ(r.head_prefix, d.head_prefix);
  ASSERT_EQ(r.ties == nullptr, d.ties == nullptr);
  if (d.ties) {
    EXPECT_EQ(r.ties->roots, d.ties->roots);
    EXPECT_EQ(r.ties->words, d.ties->words);
    EXPECT_EQ(r.ties->values, d.ties->values);
    EXPECT_EQ(r.ties->children, d.ties->children);
    EXPECT_EQ(r.ties->nodes.size(), d.ties->nodes.size());
  }
  ASSERT_EQ(r.raw == nullptr, d.raw == nullptr);
  if (d.raw) {
    EXPECT_EQ(r.raw->prefix, d.raw->prefix);
    EXPECT_EQ(r.raw->samples, d.raw->samples);
  }
  EXPECT_EQ(blob_of(r), b);
  for (const DictIndex* x : {&d, &r}) {
    auto it = x->iter_from(0);
    std::string text;
    std::uint64_t id, expect = 0;
    while (it.next(text, id)) {
      ASSERT_EQ(id, expect);
      ASSERT_EQ(text, sorted[expect]) << "id " << id;
      ++expect;
    }
    ASSERT_EQ(expect, sorted.size());
  }
  for (std::uint64_t i = 0; i < sorted.size(); i += 1 + i % 7) {
    const auto k = r.key(i);
    ASSERT_TRUE(k.has_value()) << i;
    ASSERT_EQ(*k, sorted[i]) << i;
  }
  EXPECT_FALSE(r.key(sorted.size()).has_value());
}

}  // namespace buildfix
