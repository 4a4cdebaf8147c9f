// Corpora and checks shared by the dictionary build tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dict_index/layout.hpp"

namespace buildfix {

using namespace quorvale;
using Blob = std::vector<unsigned char>;

inline Blob blob_of(const dict_index::Layout& d) {
  Blob out;
  d.write_to([&](std::span<const unsigned char> s) { out.insert(out.end(), s.begin(), s.end()); });
  return out;
}

inline dict_index::Layout reload(const Blob& b) {
  return dict_index::Layout::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)), true);
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

// Web addresses: hosts, sections, dates, numeric ids, slugs and long
// tracking tails, which phrases pay for.
inline std::vector<std::string> web_urls(std::size_t n, std::uint64_t seed) {
  static const char* const syl[] = {"ka", "lo", "mi", "ne", "tra", "sor", "vel", "un", "dex", "por", "tal", "ion",
                                    "ser", "vi", "ce", "pro", "duct", "cat", "ego", "ry"};
  static const char* const sections[] = {"/news/", "/blog/", "/products/", "/wp-content/uploads/", "/articles/",
                                         "/forum/viewtopic.php?t=", "/index.php?option=com_content&view=article&id="};
  static const char* const tails[] = {"", "", "/", ".html", "?utm_source=newsletter&utm_medium=email",
                                      "?utm_source=twitter&utm_medium=social", "/comments/feed/", "/amp/",
                                      "#respond", "?share=facebook&nb=1"};
  std::mt19937_64 rng(seed);
  auto word = [&] {
    std::string w;
    for (int k = 2 + static_cast<int>(rng() % 3); k > 0; --k) w += syl[rng() % 20];
    return w;
  };
  std::vector<std::string> hosts(60);
  for (auto& h : hosts) h = (rng() % 3 ? "https://www." : "http://") + word() + (rng() % 2 ? ".com" : ".org");
  std::vector<std::string> out;
  out.reserve(n);
  while (out.size() < n) {
    std::string s = hosts[rng() % hosts.size()] + sections[rng() % 7];
    if (rng() % 2) s += std::to_string(2015 + rng() % 10) + "/" + std::to_string(1 + rng() % 12) + "/";
    s += std::to_string(rng() % 100000);
    for (int k = static_cast<int>(rng() % 4); k > 0; --k) s.append("-").append(word());
    s += tails[rng() % 10];
    out.push_back(std::move(s));
  }
  return sorted_distinct(std::move(out));
}

// File paths of an installed system: package names from syllables under the
// usual trees (docs, manuals, icons, locales, headers, Python modules,
// libraries), the repeated stretches phrases are mined from.
inline std::vector<std::string> package_paths(std::size_t n, std::uint64_t seed) {
  static const char* const syl[] = {"lib", "gtk", "py", "x", "font", "con", "fig", "net", "sys", "tem", "d",
                                    "ssl", "ker", "nel", "perl", "gnome", "util", "core", "data", "tools",
                                    "qt", "media", "sound", "print", "web", "kit", "mail", "doc", "test", "dev"};
  static const char* const langs[] = {"de", "fr", "es", "pt_BR", "ja", "zh_CN", "ru", "it", "nl", "pl"};
  static const char* const docs[] = {"/changelog.Debian.gz", "/copyright", "/README.md.gz", "/NEWS.Debian.gz",
                                     "/examples/", "/html/index.html"};
  static const char* const sizes[] = {"16x16", "22x22", "32x32", "48x48", "256x256", "scalable"};
  std::mt19937_64 rng(seed);
  auto name = [&] {
    std::string w;
    for (int k = 2 + static_cast<int>(rng() % 3); k > 0; --k) w += syl[rng() % 30];
    return w;
  };
  std::vector<std::string> out;
  while (out.size() < n) {
    const std::string pkg = name();
    for (int f = 1 + static_cast<int>(rng() % 12); f > 0 && out.size() < n; --f) {
      switch (rng() % 7) {
        case 0: out.push_back("/usr/share/doc/" + pkg + docs[rng() % 6]); break;
        case 1: out.push_back("/usr/share/man/man" + std::to_string(1 + rng() % 8) + "/" + name() + ".1.gz"); break;
        case 2:
          out.push_back("/usr/share/locale/" + std::string(langs[rng() % 10]) + "/LC_MESSAGES/" + pkg + ".mo");
          break;
        case 3:
          out.push_back("/usr/share/icons/hicolor/" + std::string(sizes[rng() % 6]) + "/apps/" + pkg + ".png");
          break;
        case 4: out.push_back("/usr/include/" + pkg + "/" + name() + ".h"); break;
        case 5:
          out.push_back("/usr/lib/python3/dist-packages/" + pkg + "/__pycache__/" + name() + ".cpython-311.pyc");
          break;
        default:
          out.push_back("/usr/lib/x86_64-linux-gnu/" + pkg + "/plugins/lib" + name() + ".so." +
                        std::to_string(rng() % 9));
          break;
      }
    }
  }
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
inline void check_round_trip(const dict_index::Layout& d, const std::vector<std::string>& sorted) {
  ASSERT_EQ(d.n, sorted.size());
  const Blob b = blob_of(d);
  ASSERT_EQ(b.size(), d.serialized_len());
  const dict_index::Layout r = reload(b);
  EXPECT_TRUE(std::ranges::equal(r.samples(), d.samples()));
  EXPECT_EQ(r.head_prefix, d.head_prefix);
  ASSERT_EQ(r.ties() == nullptr, d.ties() == nullptr);
  if (d.ties()) {
    EXPECT_EQ(r.ties()->roots, d.ties()->roots);
    EXPECT_EQ(r.ties()->words, d.ties()->words);
    EXPECT_EQ(r.ties()->values, d.ties()->values);
    EXPECT_EQ(r.ties()->children, d.ties()->children);
    EXPECT_EQ(r.ties()->nodes.size(), d.ties()->nodes.size());
  }
  ASSERT_EQ(r.raw() == nullptr, d.raw() == nullptr);
  if (d.raw()) {
    EXPECT_EQ(r.raw()->prefix, d.raw()->prefix);
    EXPECT_EQ(r.raw()->samples, d.raw()->samples);
  }
  EXPECT_EQ(blob_of(r), b);
  for (const dict_index::Layout* x : {&d, &r}) {
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
