// StringIndex core benchmark over one key file and query files (one item a
// line). Prints one JSON object; bench/string_index_peers.py runs it next to
// the peers on the same data and prints the ratios.
//
//   string_index_bench KEYS HITS MISSES PREFIXES FUZZY_QUERIES
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "string_index.hpp"

using quorvale::StringIndex;
namespace string_index = quorvale::string_index;
using Clock = std::chrono::steady_clock;

namespace {

double secs(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::vector<std::string> lines(const char* path) {
  std::vector<std::string> out;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// Best of `reps` runs of fn, in seconds.
template <class F>
double best_of(int reps, F&& fn) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    fn();
    best = std::min(best, secs(t0));
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s KEYS HITS MISSES PREFIXES FUZZY_QUERIES\n", argv[0]);
    return 2;
  }
  const auto keys = lines(argv[1]), hits = lines(argv[2]), misses = lines(argv[3]), prefixes = lines(argv[4]),
             fuzzy = lines(argv[5]);

  auto t0 = Clock::now();
  const StringIndex index = StringIndex::build(keys);
  const double build_s = secs(t0);
  std::vector<unsigned char> blob;
  quorvale::VecWriter w(blob);
  index.write_to(w);

  volatile std::uint64_t sink = 0;
  std::uint64_t found = 0;
  const double hit_s = best_of(3, [&] {
    found = 0;
    for (const auto& k : hits) found += index.id(k).has_value();
  });
  if (found != hits.size()) std::fprintf(stderr, "hits not all found: %llu\n", (unsigned long long)found);
  const double miss_s = best_of(3, [&] {
    found = 0;
    for (const auto& k : misses) found += index.id(k).has_value();
  });
  if (found != 0) std::fprintf(stderr, "misses found: %llu\n", (unsigned long long)found);

  const double prefix_s = best_of(3, [&] {
    for (const auto& p : prefixes) {
      auto s = index.prefix_iter(p);
      for (int i = 0; i < 10; ++i) {
        auto e = s.next();
        if (!e) break;
        sink = sink + e->id;
      }
    }
  });

  std::string fuzzy_json;
  for (std::uint32_t d : {1u, 2u}) {
    std::vector<std::vector<std::uint64_t>> results(fuzzy.size());
    const double s = best_of(3, [&] {
      for (std::size_t q = 0; q < fuzzy.size(); ++q) {
        results[q].clear();
        auto st = index.fuzzy_iter(string_index::levenshtein(fuzzy[q], d));
        while (auto e = st.next()) results[q].push_back(e->id);
      }
    });
    char head[96];
    std::snprintf(head, sizeof head, "%s\"%u\": {\"ns_per_query\": %.1f, \"ids\": [", d == 1 ? "" : ", ", d,
                  s / std::max<std::size_t>(1, fuzzy.size()) * 1e9);
    fuzzy_json += head;
    for (std::size_t q = 0; q < results.size(); ++q) {
      fuzzy_json += q ? ", [" : "[";
      for (std::size_t i = 0; i < results[q].size(); ++i) {
        if (i) fuzzy_json += ", ";
        fuzzy_json += std::to_string(results[q][i]);
      }
      fuzzy_json += "]";
    }
    fuzzy_json += "]}";
  }

  const double open_s = best_of(5, [&] { sink = sink + StringIndex::from_bytes(blob).len(); });
  const double untrusted_s = best_of(3, [&] { sink = sink + StringIndex::from_untrusted_bytes(blob).len(); });

  std::printf(
      "{\"keys\": %zu, \"blob_bytes\": %zu, \"build_s\": %.4f, \"id_hit_ns\": %.1f, \"id_miss_ns\": %.1f, "
      "\"prefix10_ns\": %.1f, \"from_bytes_ms\": %.3f, \"from_untrusted_bytes_ms\": %.3f, \"fuzzy\": {%s}}\n",
      keys.size(), blob.size(), build_s, hit_s / std::max<std::size_t>(1, hits.size()) * 1e9, miss_s / std::max<std::size_t>(1, misses.size()) * 1e9,
      prefix_s / std::max<std::size_t>(1, prefixes.size()) * 1e9, open_s * 1e3, untrusted_s * 1e3, fuzzy_json.c_str());
  return 0;
}
