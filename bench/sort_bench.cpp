// The shared string sort (sort_distinct) against std::sort + std::unique,
// the sort a caller would otherwise write, on the same generated keys.
//
//   sort_bench [keys] [threads]
//
// Four shapes of keys, 10^7 of each by default: words with repeats (as the
// external sort's benchmark makes them), URLs that share a 42-byte stem,
// decimal ids with repeats, and random alphanumeric keys of 8 to 16 bytes.
// Our sort runs in both forms, over views of keys held by the caller (as
// the dictionary build and the command line hand it) and over spans of one
// buffer (as the external sort's runs), on all online processors unless a
// thread count is given; the peer runs on one thread, as std::sort does.
// Seconds are the median of three runs; both sorts must give the same keys.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "string_sort.hpp"
#include "threads.hpp"

using namespace quorvale;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Keys laid back to back in one buffer.
struct Keys {
  std::string bytes;
  std::vector<KeySpan> spans;
};

Keys generate(const std::string& shape, std::size_t n) {
  static const char* const words[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta",
                                      "iota", "kappa", "lambda", "mu", "nu", "xi", "omicron", "pi", "rho",
                                      "sigma", "tau", "upsilon", "phi", "chi", "psi", "omega", "été", "naïve"};
  std::mt19937_64 rng(7);
  Keys k;
  char line[160];
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t r = rng();
    int len = 0;
    if (shape == "words") {
      const std::uint64_t w = r % (n * 3 / 4);
      len = std::snprintf(line, sizeof line, "%s/%s/%llu", words[w % 26], words[(w / 26) % 26],
                          static_cast<unsigned long long>(w * 2654435761ULL % 1000000007ULL));
    } else if (shape == "urls") {
      len = std::snprintf(line, sizeof line, "https://www.example.com/catalogue/section-%02u/items/%010llu.html",
                          static_cast<unsigned>(r % 40), static_cast<unsigned long long>((r >> 8) % 100000000ULL));
    } else if (shape == "ids") {
      len = std::snprintf(line, sizeof line, "%llu", static_cast<unsigned long long>(r % n));
    } else {
      len = static_cast<int>(8 + r % 9);
      for (int j = 0; j < len; ++j) line[j] = "abcdefghijklmnopqrstuvwxyz0123456789"[rng() % 36];
    }
    k.spans.push_back({static_cast<std::uint32_t>(k.bytes.size()), static_cast<std::uint32_t>(len)});
    k.bytes.append(line, static_cast<std::size_t>(len));
  }
  return k;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000'000;
  const std::size_t threads = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : online_processors();
  std::printf("%zu keys a shape, sort_distinct on %zu threads, std::sort on 1\n", n, threads);
  std::printf("%-7s %9s %11s %11s %11s %8s %8s\n", "shape", "distinct", "views s", "buffer s", "std::sort s",
              "ratio v", "ratio b");
  bool same = true;
  for (const char* shape : {"words", "urls", "ids", "random"}) {
    const Keys keys = generate(shape, n);
    std::vector<std::string_view> views;
    views.reserve(n);
    for (const KeySpan& s : keys.spans) views.emplace_back(keys.bytes.data() + s.start, s.length);
    std::vector<double> ours_views, ours_buffer, peer;
    std::vector<std::string_view> want;
    for (int trial = 0; trial < 3; ++trial) {
      {
        std::vector<std::string_view> v = views;
        const auto t = Clock::now();
        std::sort(v.begin(), v.end());
        v.erase(std::unique(v.begin(), v.end()), v.end());
        peer.push_back(seconds_since(t));
        want = std::move(v);
      }
      {
        std::vector<std::string_view> v = views;
        const auto t = Clock::now();
        sort_distinct(v, threads);
        ours_views.push_back(seconds_since(t));
        same = same && v == want;
      }
      {
        std::vector<KeySpan> spans = keys.spans;
        const auto t = Clock::now();
        SortScratch scratch;  // made anew, as a first run makes it
        const std::size_t m = sort_distinct(keys.bytes.data(), keys.bytes.size(), spans, scratch, threads);
        ours_buffer.push_back(seconds_since(t));
        same = same && m == want.size() &&
               std::equal(want.begin(), want.end(), spans.begin(), [&](std::string_view w, const KeySpan& s) {
                 return w == std::string_view(keys.bytes.data() + s.start, s.length);
               });
      }
    }
    const double v = median(ours_views), b = median(ours_buffer), p = median(peer);
    std::printf("%-7s %9zu %11.3f %11.3f %11.3f %7.1fx %7.1fx\n", shape, want.size(), v, b, p, p / v, p / b);
  }
  std::printf("keys %s\n", same ? "identical" : "DIFFER");
  return same ? 0 : 1;
}
