// The in-memory dictionary build over a keys file (one key a line, any
// order), driven by bench/dict_build_peers.py:
//
//   dict_build_bench <keys file> [block ...]
//
// Per block size (32, 256 and 1024 by default) prints one JSON line: the
// blob's bytes and bytes a key, the build's keys a second on all cores
// (best of three, from the unsorted views to the finished index, sorting
// included), and whether the build from the sorted keys writes the same
// bytes on 1, 2 and 8 workers.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dict_index/layout.hpp"
#include "string_sort.hpp"

using namespace quorvale;
using dict_index::Key;

namespace {

std::vector<unsigned char> blob_of(const dict_index::Layout& d) {
  std::vector<unsigned char> out;
  out.reserve(d.serialized_len());
  d.write_to([&](std::span<const unsigned char> s) { out.insert(out.end(), s.begin(), s.end()); });
  return out;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <keys file> [block ...]\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::stringstream buf;
  buf << in.rdbuf();
  const std::string text = buf.str();
  std::vector<Key> keys;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    keys.emplace_back(text.data() + at, end - at);
    at = end + 1;
  }
  std::vector<std::uint64_t> blocks;
  for (int i = 2; i < argc; ++i) blocks.push_back(std::stoull(argv[i]));
  if (blocks.empty()) blocks = {32, 256, 1024};

  std::vector<Key> sorted = keys;
  sort_distinct(sorted);
  const std::uint64_t n = sorted.size();
  for (std::uint64_t block : blocks) {
    double best = 1e300;
    std::uint64_t bytes = 0;
    bool coded = false;
    for (int round = 0; round < 3; ++round) {
      const auto t0 = std::chrono::steady_clock::now();
      const dict_index::Layout d = dict_index::Layout::build_with_block(keys, block);
      best = std::min(best, seconds_since(t0));
      bytes = d.serialized_len();
      coded = d.chars != nullptr;
    }
    // The thread count changes speed only (the raw road; a coded corpus
    // spells its keys on the processor count's workers).
    const std::uint64_t micro = dict_index::micro_for(block);
    const auto one = blob_of(dict_index::Layout::from_sorted_as(sorted, block, micro, 1, n));
    bool identical = true;
    for (std::size_t threads : {2, 8})
      identical = identical && blob_of(dict_index::Layout::from_sorted_as(sorted, block, micro, threads, n)) == one;
    std::printf(
        "{\"block\": %llu, \"keys\": %llu, \"bytes\": %llu, \"bytes_per_key\": %.4f, \"coded\": %s, "
        "\"build_s\": %.4f, \"keys_per_s\": %.0f, \"threads\": %zu, \"identical_1_2_8\": %s}\n",
        static_cast<unsigned long long>(block), static_cast<unsigned long long>(n),
        static_cast<unsigned long long>(bytes), n ? static_cast<double>(bytes) / n : 0.0, coded ? "true" : "false",
        best, n / best, dict_index::build_threads(n, block), identical ? "true" : "false");
    std::fflush(stdout);
  }
  return 0;
}
