#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "string_sort.hpp"

using namespace quorvale;

namespace {

// Key sets shaped after the sort's awkward cases: keys that tie on whole
// 8-byte chunks and end inside or exactly at one, NULs (a key before the
// same key followed by a NUL), bytes >= 0x80 (unsigned order), stems shared
// over many chunks, first chunks that differ only in their last byte, a
// first split with very unequal buckets or none at all, and repeats near
// and far. Big enough to be sorted on several threads.
struct Shape {
  const char* name;
  std::function<std::string(std::mt19937_64&)> key;
};

std::string pick(std::mt19937_64& rng, std::initializer_list<std::string> of) { return *(of.begin() + rng() % of.size()); }

const std::vector<Shape>& shapes() {
  static const std::string nul(1, '\0');
  static const std::vector<Shape> all = {
      {"awkward tails",
       [](std::mt19937_64& rng) {
         std::string k = pick(rng, {"", "common-prefix-0123456789/", std::string("ab\0", 3), "\xc3\xa9\xc3\xa9"});
         for (std::size_t len = rng() % 20; len > 0; --len) k += pick(rng, {nul, "a", "b", "\xc3\xbf", "z"});
         return k;
       }},
      {"long stems",
       [](std::mt19937_64& rng) {
         const std::string stem(100, 'q');
         switch (rng() % 4) {
           case 0: return std::to_string(rng() % 50'000);
           case 1: return stem.substr(0, rng() % 101) + std::string(rng() % 3, '\0');
           case 2: return stem + std::to_string(rng() % 5'000);
           default: {
             std::string k;
             for (int j = static_cast<int>(rng() % 12); j > 0; --j) k += static_cast<char>(rng() % 3 == 0 ? 0 : 0x7C + rng() % 8);
             return k;
           }
         }
       }},
      {"last byte of the first chunk",
       [](std::mt19937_64& rng) { return "abcdefg" + std::string(1, static_cast<char>(rng())) + std::to_string(rng() % 1000); }},
      {"skewed first bytes",
       [](std::mt19937_64& rng) {
         const std::uint64_t r = rng() % 16;
         return (r < 12 ? std::string("https://example.org/catalogue/section-") : std::string(1, static_cast<char>('a' + r)) + "/x") +
                std::to_string(rng() % 50);
       }},
      {"no first split", [](std::mt19937_64& rng) { return "shared-prefix-of-every-key/" + std::to_string(rng() % 200) + "/"; }},
      {"late first split",
       [](std::mt19937_64& rng) { return std::string("ab") + static_cast<char>('a' + rng() % 3) + "-long-common-middle-part/" + pick(rng, {"", "x", "\xc3\xa9"}); }},
      {"one key repeated", [](std::mt19937_64&) { return std::string("same"); }},
  };
  return all;
}

std::vector<std::string> keys_of(const Shape& shape, std::size_t count) {
  std::mt19937_64 rng(23);
  std::vector<std::string> keys;
  while (keys.size() < count) {
    keys.push_back(shape.key(rng));
    if (rng() % 5 == 0) keys.push_back(keys.back());
    if (rng() % 7 == 0) keys.push_back(keys[rng() % keys.size()]);
  }
  return keys;
}

// The keys laid back to back in one buffer, with a span for each.
struct Packed {
  std::string buffer;
  std::vector<KeySpan> spans;
};

Packed packed(const std::vector<std::string>& keys) {
  Packed p;
  for (const std::string& k : keys) {
    p.spans.push_back({static_cast<std::uint32_t>(p.buffer.size()), static_cast<std::uint32_t>(k.size())});
    p.buffer += k;
  }
  return p;
}

}  // namespace

// Both forms give the keys' distinct values in unsigned byte order, on any
// number of threads, one scratch serving every buffer sort after the other
// (small after large), and the views still point into the caller's keys.
TEST(StringSort, BothFormsGiveTheDistinctKeysInByteOrder) {
  SortScratch scratch;
  for (const Shape& shape : shapes()) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{70}, std::size_t{60'000}}) {
      const std::vector<std::string> keys = keys_of(shape, count);
      const std::set<std::string> distinct(keys.begin(), keys.end());
      const std::vector<std::string> want(distinct.begin(), distinct.end());
      std::set<const char*> held;
      for (const std::string& k : keys) held.insert(k.data());
      auto [buffer, all] = packed(keys);
      for (std::size_t threads : {1, 2, 3, 8}) {
        SCOPED_TRACE(std::string(shape.name) + ", " + std::to_string(count) + " keys, " + std::to_string(threads) + " threads");
        std::vector<std::string_view> views(keys.begin(), keys.end());
        sort_distinct(views, threads);
        EXPECT_EQ(std::vector<std::string>(views.begin(), views.end()), want);
        for (std::string_view v : views) EXPECT_TRUE(held.count(v.data())) << "a view no longer points into the keys";

        std::vector<KeySpan> spans = all;
        const std::size_t n = sort_distinct(buffer.data(), buffer.size(), spans, scratch, threads);
        std::vector<std::string> got;
        for (std::size_t i = 0; i < n; ++i) got.emplace_back(buffer.data() + spans[i].start, spans[i].length);
        EXPECT_EQ(got, want);
      }
    }
  }
}

// The streamed forms, over a buffer and over views (whose keys the workers
// copy out in order for the visitor), hand over the same keys in the same
// order, each once the sort has put it in place, on any number of threads;
// a visitor that fails stops the sort, and its exception comes back once
// the workers have joined.
TEST(StringSort, StreamedFormsHandOverTheSameKeys) {
  SortScratch scratch;
  for (const Shape& shape : shapes()) {
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{70}, std::size_t{60'000}}) {
      const std::vector<std::string> keys = keys_of(shape, count);
      const std::set<std::string> distinct(keys.begin(), keys.end());
      const std::vector<std::string> want(distinct.begin(), distinct.end());
      auto [buffer, all] = packed(keys);
      for (std::size_t threads : {1, 2, 3, 8}) {
        SCOPED_TRACE(std::string(shape.name) + ", " + std::to_string(count) + " keys, " + std::to_string(threads) + " threads");
        using Visit = std::function<void(std::string_view)>;
        const std::function<std::size_t(const Visit&)> forms[] = {
            [&](const Visit& visit) {
              std::vector<KeySpan> spans = all;
              return sort_distinct_each(buffer.data(), buffer.size(), spans, scratch, visit, threads);
            },
            [&](const Visit& visit) {
              std::vector<std::string_view> views(keys.begin(), keys.end());
              return sort_distinct_each(views, visit, threads);
            },
        };
        for (const auto& sort_each : forms) {
          std::vector<std::string> got;
          const std::size_t n = sort_each([&](std::string_view k) { got.emplace_back(k); });
          EXPECT_EQ(got, want);
          EXPECT_EQ(n, want.size());
          if (want.size() < 2) continue;
          std::size_t seen = 0;
          struct Stop {};
          EXPECT_THROW(sort_each([&](std::string_view) {
                         if (++seen == want.size() / 2) throw Stop{};
                       }),
                       Stop);
          EXPECT_EQ(seen, want.size() / 2);
        }
      }
    }
  }
}

// Keys whose bytes lie further apart than 4 GiB (two pages at the ends of an
// address range reserved for the purpose) are named by index rather than
// by offset; the views sort the same.
TEST(StringSort, KeysFarApartInMemory) {
  const std::size_t reach = std::size_t{8} << 30, page = 1 << 16;
  void* range = ::mmap(nullptr, reach, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (range == MAP_FAILED) GTEST_SKIP() << "no address range of 8 GiB to reserve";
  char* ends[] = {static_cast<char*>(range), static_cast<char*>(range) + reach - page};
  for (char* end : ends) ASSERT_EQ(::mprotect(end, page, PROT_READ | PROT_WRITE), 0);
  const std::vector<std::string> keys = keys_of(shapes()[0], 60'000);
  std::vector<std::string_view> views;
  std::size_t used[2] = {0, 0};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    // Alternating pages; a key that no longer fits its page lives on the heap.
    const std::size_t side = i % 2;
    if (used[side] + keys[i].size() > page) {
      views.emplace_back(keys[i]);
      continue;
    }
    char* at = ends[side] + used[side];
    std::memcpy(at, keys[i].data(), keys[i].size());
    views.emplace_back(at, keys[i].size());
    used[side] += keys[i].size();
  }
  const std::set<std::string> distinct(keys.begin(), keys.end());
  const std::vector<std::string> want(distinct.begin(), distinct.end());
  for (std::size_t threads : {1, 3, 8}) {
    std::vector<std::string_view> sorted = views;
    sort_distinct(sorted, threads);
    EXPECT_EQ(std::vector<std::string>(sorted.begin(), sorted.end()), want) << threads << " threads";
    std::vector<std::string_view> held = views;
    std::vector<std::string> got;
    sort_distinct_each(held, [&](std::string_view k) { got.emplace_back(k); }, threads);
    EXPECT_EQ(got, want) << threads << " threads, handed over";
  }
  ::munmap(range, reach);
}

// A first split by sampled splitters, with up to 256 buckets (each key's
// bucket kept from the count for the deal) and with more (searched again):
// the same keys as the plain model, in all four forms.
TEST(StringSort, SplitBySampleWithFewAndManyBuckets) {
  SortScratch scratch;
  const Shape stems[] = {
      shapes()[3],
      {"many distinct keys behind one stem",
       [](std::mt19937_64& rng) { return "https://example.org/" + std::to_string(rng() % 150'000) + pick(rng, {"", "/", "\xc3\xa9"}); }},
  };
  for (const Shape& shape : stems) {
    const std::vector<std::string> keys = keys_of(shape, 200'000);
    const std::set<std::string> distinct(keys.begin(), keys.end());
    const std::vector<std::string> want(distinct.begin(), distinct.end());
    auto [buffer, all] = packed(keys);
    for (std::size_t threads : {8, 40}) {
      SCOPED_TRACE(std::string(shape.name) + ", " + std::to_string(threads) + " threads");
      std::vector<std::string_view> views(keys.begin(), keys.end());
      sort_distinct(views, threads);
      EXPECT_EQ(std::vector<std::string>(views.begin(), views.end()), want);
      std::vector<KeySpan> spans = all;
      const std::size_t n = sort_distinct(buffer.data(), buffer.size(), spans, scratch, threads);
      std::vector<std::string> got;
      for (std::size_t i = 0; i < n; ++i) got.emplace_back(buffer.data() + spans[i].start, spans[i].length);
      EXPECT_EQ(got, want);
      spans = all;
      got.clear();
      sort_distinct_each(buffer.data(), buffer.size(), spans, scratch, [&](std::string_view k) { got.emplace_back(k); },
                         threads);
      EXPECT_EQ(got, want);
      views.assign(keys.begin(), keys.end());
      got.clear();
      sort_distinct_each(views, [&](std::string_view k) { got.emplace_back(k); }, threads);
      EXPECT_EQ(got, want);
    }
  }
}
