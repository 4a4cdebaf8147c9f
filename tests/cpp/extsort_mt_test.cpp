#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "extsort/extsort.hpp"

namespace fs = std::filesystem;
using namespace quorvale;

namespace {

// Key sets big enough to be sorted on several threads, shaped so that the
// first split's buckets are unequal and much of the sorting happens deep
// inside long shared prefixes.
enum class Shape {
  SkewedFirstBytes,  // most keys under one first byte, long prefixes per bucket
  OneLongPrefix,     // every key shares its first 8 bytes and more: no first split
  LateFirstSplit,    // keys first differ at the third byte
};

std::vector<std::string> keys_of(Shape shape, std::size_t count) {
  std::mt19937_64 rng(23);
  const std::string tails[] = {"", std::string(1, '\0'), "a", "\xc3\xa9", "z", "0123456789abcdef"};
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < count; ++i) {
    std::string k;
    switch (shape) {
      case Shape::SkewedFirstBytes: {
        // Three in four keys start with 'h'; the rest spread over a few bytes.
        const std::uint64_t r = rng() % 16;
        k = r < 12 ? "https://example.org/catalogue/section-" : std::string(1, static_cast<char>('a' + r)) + "/x";
        k += std::to_string(rng() % 50);
        break;
      }
      case Shape::OneLongPrefix:
        k = "shared-prefix-of-every-key/" + std::to_string(rng() % 200) + "/";
        break;
      case Shape::LateFirstSplit:
        k = std::string("ab") + static_cast<char>('a' + rng() % 3) + "-long-common-middle-part/";
        break;
    }
    for (std::size_t len = rng() % 6; len > 0; --len) k += tails[rng() % 6];
    keys.push_back(std::move(k));
    // Repeats, some at once, some later.
    if (rng() % 5 == 0) keys.push_back(keys.back());
    if (rng() % 7 == 0) keys.push_back(keys[rng() % keys.size()]);
  }
  return keys;
}

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The sorted keys and the bytes of the run file they spill to.
struct Sorted {
  std::vector<std::string> keys;
  std::string file;
};

Sorted sort_on(const std::vector<std::string>& keys, std::size_t threads, const std::string& out) {
  extsort::Run run(std::size_t{64} << 20, threads);
  for (const std::string& k : keys) run.push(k);
  Sorted s;
  for (std::string_view k : run.sorted()) s.keys.emplace_back(k);
  extsort::Runs runs(out);
  runs.spill(run.sorted());
  s.file = file_bytes(runs.dir() + "/0");
  return s;
}

TEST(ExtsortThreads, AnyThreadCountGivesTheSameBytes) {
  std::string tmpl = (fs::temp_directory_path() / "extsort_mt_test.XXXXXX").string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  const std::string out = tmpl + "/out.idx";
  for (Shape shape : {Shape::SkewedFirstBytes, Shape::OneLongPrefix, Shape::LateFirstSplit}) {
    const std::vector<std::string> keys = keys_of(shape, 60000);
    const std::set<std::string> distinct(keys.begin(), keys.end());
    const Sorted one = sort_on(keys, 1, out);
    ASSERT_EQ(one.keys, std::vector<std::string>(distinct.begin(), distinct.end())) << static_cast<int>(shape);
    for (std::size_t threads : {2, 3, 8}) {
      const Sorted many = sort_on(keys, threads, out);
      EXPECT_EQ(many.keys, one.keys) << static_cast<int>(shape) << " on " << threads << " threads";
      EXPECT_TRUE(many.file == one.file) << static_cast<int>(shape) << " on " << threads << " threads";
    }
  }
  EXPECT_TRUE(fs::is_empty(tmpl));
  fs::remove_all(tmpl);
}

}  // namespace
