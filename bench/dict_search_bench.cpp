// Dictionary searches against marisa-trie's Trie::lookup, by hand
// (bench/dict_search_bench.sh runs it on every corpus):
//   dict_search_bench NAME SOURCE [BLOCK...]
// SOURCE is a file of keys, one a line, or "urls:N" (N seeded generated
// URLs) or "random:N" (N seeded generated keys of 8 to 40 bytes). For each
// block size (default 256, 32, 1024) the distinct keys are made into a
// dictionary, and a shuffled mix of hits (keys) and misses (keys changed in
// their last byte, or extended) is searched:
//   locate_query per key (goal: at most 1 us and at most 0.5x marisa),
//   ids_of per key (goal: at most 0.3x a single locate_query),
// both before and after route_microblocks (whose words' bytes a key are
// printed), and bytes a key of the blob beside marisa's.
// marisa (Debian's libmarisa-dev) is skipped when it was not found at build.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "dict_index/layout.hpp"

#ifdef QUORVALE_HAVE_MARISA
#include <marisa.h>
#endif

using namespace quorvale;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Best of `rounds` runs of f, in ns per item.
template <class F>
double best_ns(std::size_t items, int rounds, F&& f) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = Clock::now();
    f();
    best = std::min(best, seconds_since(t0));
  }
  return best / static_cast<double>(items) * 1e9;
}

std::vector<std::string> load_keys(const std::string& source) {
  std::vector<std::string> keys;
  std::mt19937_64 rng(20261216);
  if (source.rfind("urls:", 0) == 0) {
    const std::size_t n = std::strtoull(source.c_str() + 5, nullptr, 10);
    const char* kinds[] = {"item", "page", "user", "static/img", "docs/api/v2"};
    while (keys.size() < n) {
      char buf[160];
      std::snprintf(buf, sizeof buf, "https://www.%s%llu.example.com/%s/%llu", (rng() & 1) ? "shop" : "news",
                    static_cast<unsigned long long>(rng() % 5000), kinds[rng() % 5],
                    static_cast<unsigned long long>(rng() % 100000000));
      keys.emplace_back(buf);
    }
  } else if (source.rfind("random:", 0) == 0) {
    const std::size_t n = std::strtoull(source.c_str() + 7, nullptr, 10);
    static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789-_./";
    while (keys.size() < n) {
      std::string k(8 + rng() % 33, ' ');
      for (char& c : k) c = alphabet[rng() % (sizeof alphabet - 1)];
      keys.push_back(std::move(k));
    }
  } else {
    std::ifstream in(source, std::ios::binary);
    for (std::string line; std::getline(in, line);)
      if (!line.empty()) keys.push_back(line);
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

// Up to a million queries, half keys and half misses near keys, shuffled.
std::vector<std::string> make_queries(const std::vector<std::string>& keys) {
  std::mt19937_64 rng(7);
  const std::size_t half = std::min<std::size_t>(500'000, keys.size());
  std::vector<std::string> q;
  q.reserve(2 * half);
  for (std::size_t i = 0; i < half; ++i) q.push_back(keys[rng() % keys.size()]);
  std::size_t misses = 0;
  while (misses < half) {
    std::string k = keys[rng() % keys.size()];
    if (rng() & 1) {
      k.push_back('q');
    } else {
      k.back() = static_cast<char>(k.back() + 1);
    }
    if (!std::binary_search(keys.begin(), keys.end(), k)) {
      q.push_back(std::move(k));
      ++misses;
    }
  }
  std::shuffle(q.begin(), q.end(), rng);
  return q;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: dict_search_bench NAME SOURCE [BLOCK...]\n");
    return 2;
  }
  const std::string name = argv[1];
  std::vector<unsigned> blocks;
  for (int i = 3; i < argc; ++i) blocks.push_back(static_cast<unsigned>(std::atoi(argv[i])));
  if (blocks.empty()) blocks = {256, 32, 1024};
  const std::vector<std::string> keys = load_keys(argv[2]);
  if (keys.empty()) {
    std::printf("%s: no keys\n", name.c_str());
    return 0;
  }
  std::uint64_t raw = 0;
  for (const auto& k : keys) raw += k.size();
  const std::vector<std::string> queries = make_queries(keys);
  const std::vector<std::string_view> views(queries.begin(), queries.end());
  const std::size_t nq = queries.size();
  std::printf("%s: %zu keys, %.1f bytes a key; %zu queries, half of them misses\n", name.c_str(), keys.size(),
              static_cast<double>(raw) / keys.size(), nq);

  [[maybe_unused]] double marisa_ns = 0, marisa_bpk = 0;
#ifdef QUORVALE_HAVE_MARISA
  {
    marisa::Keyset keyset;
    for (const auto& k : keys) keyset.push_back(k.data(), k.size());
    marisa::Trie trie;
    trie.build(keyset);
    marisa_bpk = static_cast<double>(trie.io_size()) / keys.size();
    marisa::Agent agent;
    std::size_t hits = 0;
    marisa_ns = best_ns(nq, 3, [&] {
      for (const auto& q : queries) {
        agent.set_query(q.data(), q.size());
        hits += trie.lookup(agent);
      }
    });
    std::printf("  marisa: %.2f bytes a key, lookup %.0f ns (%zu hits)\n", marisa_bpk, marisa_ns, hits / 3);
  }
#else
  std::printf("  marisa (Debian's libmarisa-dev) is missing: its columns stay empty\n");
#endif

  std::printf("  %-6s %6s %9s %9s %9s %8s %9s %8s %9s\n", "block", "micro", "bytes/key", "locate", "vs marisa",
              "ids_of", "vs locate", "routed", "words B/k");
  for (unsigned block : blocks) {
    const auto t0 = Clock::now();
    const dict_index::Layout d = dict_index::Layout::build_with_block(std::span<const std::string>(keys), block);
    const double build_s = seconds_since(t0);
    const std::uint64_t micro = d.micro;
    const std::uint64_t blob_len = d.serialized_len();
    std::printf("  block %u built in %.2f s%s\n", block, build_s, d.chars ? ", with a character code" : "");
    // Every answer checked once against the keys.
    for (std::size_t i = 0; i < nq; i += 97) {
      const auto it = std::lower_bound(keys.begin(), keys.end(), queries[i]);
      const dict_index::Search want{static_cast<std::uint64_t>(it - keys.begin()), it != keys.end() && *it == queries[i]};
      if (d.locate_query(queries[i]) != want) {
        std::fprintf(stderr, "wrong answer for query %zu\n", i);
        return 1;
      }
    }
    std::uint64_t sink = 0;
    for (int routed = 0; routed < 2; ++routed) {
      double words_bpk = 0;
      if (routed) words_bpk = static_cast<double>(d.route_microblocks().size_bytes()) / keys.size();
      const double locate_ns = best_ns(nq, 3, [&] {
        for (const auto& q : views) sink += d.locate_query(q).rank;
      });
      const double ids_ns = best_ns(nq, 3, [&] {
        const auto ids = d.ids_of(views);
        sink += ids[0].value_or(1);
      });
      std::printf("  %-6u %6llu %9.2f %9.0f %9.2f %8.0f %9.2f %8s %9.2f\n", block,
                  static_cast<unsigned long long>(micro), static_cast<double>(blob_len) / keys.size(), locate_ns,
                  marisa_ns > 0 ? locate_ns / marisa_ns : 0.0, ids_ns, ids_ns / locate_ns, routed ? "yes" : "no",
                  words_bpk);
    }
    if (sink == 42) std::printf(" ");
  }
  return 0;
}
