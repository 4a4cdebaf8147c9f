// Dictionary loading and key decoding, by hand:
//   dict_index_bench [--quick]
//   dict_index_bench --keys FILE
// Without --keys:
// Writes synthetic "BDX3" blobs of 64 MB, 256 MB and 1 GB (the last two
// skipped with --quick) into a temporary directory: valid framing, heads,
// head ends, block and micro offsets shaped as a build of URL-like keys at
// block 256 makes them, filler block data. For each it times
//   load_mmap: SharedBytes::map_file + dict_index::Layout::from_shared without verify,
//     which reads the header, the records, the head ends and every head
//     (for the samples): it should stay flat in the blob size;
//   verified loads: the same mapped with verify, and from_shared with verify
//     over bytes already in memory (the payload checksum and the offset walk),
//     in GB/s.
// Y (the block count) and the heads' bytes are printed beside each time.
// There is no peer for loads: no other library loads this format.
//
// With --keys (run by bench/dict_index_peers.py, which times marisa-trie on
// the same keys): the distinct keys of FILE, one a line, are written into a
// blob by the tests' hand writer at block 256 (until the dictionary build
// exists), their suffixes coded with a symbol table trained from them; it
// prints the blob's size, key(id) for random ids and iteration per key.
// With --order BLOB: the verified load of a real blob from memory beside a
// walk that checks that every key ascends (decoding each once), on one
// thread and on all: what checking the keys inside the blocks would add.
// Build with -DQUORVALE_BENCH=ON and run by hand.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../tests/cpp/dict_blob_writer.hpp"
#include "blob.hpp"
#include "dict_index/layout.hpp"
#include "fsst.hpp"
#include "offsets.hpp"

using namespace quorvale;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct Synthetic {
  std::uint64_t blocks = 0;
  std::uint64_t heads = 0;
  std::uint64_t len = 0;
};

unsigned width_of(std::uint64_t v) { return v == 0 ? 0 : 64 - __builtin_clzll(v); }

// Widest difference from a chunk's first value, as the builders choose it.
unsigned sampled_width(const std::vector<std::uint64_t>& v) {
  std::uint64_t widest = 0;
  for (std::size_t i = 0; i < v.size(); ++i) widest = std::max(widest, v[i] - v[i & ~std::size_t{63}]);
  return width_of(widest);
}

// A blob of about `target` bytes: block 256, micro 16, shard 256, a key of
// about 40 bytes costing 8 bytes of block data.
Synthetic write_synthetic(const std::string& path, std::uint64_t target) {
  constexpr std::uint64_t block = 256, micro = 16, J = 16, shard = 256;
  const std::uint64_t y = target / 2100;
  const std::uint64_t n = y * block;
  std::mt19937_64 rng(y);

  std::vector<unsigned char> heads;
  std::vector<std::uint64_t> head_ends, block_offsets, micro_offsets;
  heads.reserve(y * 44);
  std::uint64_t at = 0;
  char head[96];
  for (std::uint64_t b = 0; b < y; ++b) {
    // Sorted, URL-like first keys of the blocks.
    const int len = std::snprintf(head, sizeof head, "https://www.site%09llu.example/%s/%llu",
                                  static_cast<unsigned long long>(b * 7 + rng() % 7), (b & 1) ? "item" : "page",
                                  static_cast<unsigned long long>(rng() % 100000));
    heads.insert(heads.end(), head, head + len);
    head_ends.push_back(heads.size());
    block_offsets.push_back(at);
    const std::uint64_t size = 1900 + rng() % 300;
    const std::uint64_t restart = 90 + rng() % 40;
    for (std::uint64_t j = 0; j < J; ++j) micro_offsets.push_back(j == 0 ? restart : restart + (size - restart) * j / J);
    at += size;
  }
  const std::uint64_t block_data = at;
  const std::uint64_t stored = std::max<std::uint64_t>(1, (y + shard - 1) / shard);

  const auto he = offsets::pack(head_ends, sampled_width(head_ends));
  const auto bo = offsets::pack(block_offsets, sampled_width(block_offsets));
  const unsigned w47 = width_of(*std::max_element(micro_offsets.begin(), micro_offsets.end()));
  const auto mo = offsets::packed_pack(micro_offsets, w47);
  std::vector<unsigned char> tables, codes(14 * stored, 0), phrases(4, 0);
  for (std::uint64_t s = 0; s < stored; ++s) tables.insert(tables.end(), {2, 0, 0, 0, 0, 0});

  File f = File(::open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0644));
  if (!f.is_open()) throw IndexError::last_os();
  BufWriter out(f);
  Hashed<BufWriter> hashed(out);
  std::vector<unsigned char> zero(dict_index::HEADER_LEN, 0);
  out.write_all(zero);
  auto put = [&](std::span<const unsigned char> s) { hashed.write_all(s); };
  put(heads);
  put(he.samples);
  put(he.packed);
  std::vector<unsigned char> filler(1 << 20);
  for (std::size_t i = 0; i < filler.size(); i += 8) store_le64(filler.data() + i, rng());
  for (std::uint64_t left = block_data; left > 0;) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, filler.size()));
    put(std::span<const unsigned char>(filler.data(), take));
    left -= take;
  }
  put(tables);
  put(codes);
  put(phrases);
  put(bo.samples);
  put(bo.packed);
  put(mo);
  out.flush();

  dict_index::Header h;
  h.n = n;
  h.block = block;
  h.heads_len = heads.size();
  h.block_data_len = block_data;
  h.tables_len = static_cast<std::uint32_t>(tables.size());
  h.payload_checksum = hashed.finish();
  h.head_ends_width = static_cast<std::uint8_t>(sampled_width(head_ends));
  h.block_offsets_width = static_cast<std::uint8_t>(sampled_width(block_offsets));
  h.shift = 6;
  h.micro_offsets_width = static_cast<std::uint8_t>(w47);
  h.micro = micro;
  h.shard = shard;
  h.codes_len = static_cast<std::uint32_t>(codes.size());
  // The prefix of the first and the last head, as a build stores it.
  h.head_prefix = static_cast<std::uint16_t>(dict_index::common_prefix(
      std::span<const unsigned char>(heads.data(), head_ends[0]),
      std::span<const unsigned char>(heads.data() + head_ends[y - 2], head_ends[y - 1] - head_ends[y - 2])));
  h.phrases_len = static_cast<std::uint32_t>(phrases.size());
  const auto hb = h.bytes();
  f.write_all_at(hb, 0);
  Synthetic s{y, heads.size(), f.size()};
  f.close();
  return s;
}

void bench_one(const std::string& path, std::uint64_t target) {
  const Synthetic s = write_synthetic(path, target);
  std::printf("blob %7.1f MB  Y %8llu  heads %6.2f MB\n", s.len / 1e6, static_cast<unsigned long long>(s.blocks),
              s.heads / 1e6);
  // Warm the page cache once, as a second load_mmap of the same file finds it.
  { (void)dict_index::Layout::from_shared(blob::SharedBytes::map_file(path), true); }

  std::vector<double> times;
  for (int r = 0; r < 21; ++r) {
    const auto t0 = Clock::now();
    const dict_index::Layout d = dict_index::Layout::from_shared(blob::SharedBytes::map_file(path), false);
    times.push_back(seconds_since(t0));
    if (d.block_count() != s.blocks) std::abort();
  }
  std::sort(times.begin(), times.end());
  std::printf("  load_mmap (map + from_shared, no verify): min %.3f ms, median %.3f ms  (goal <= 1 ms at 1 GB)\n",
              times.front() * 1e3, times[times.size() / 2] * 1e3);

  double best = 1e300;
  for (int r = 0; r < 3; ++r) {
    const auto t0 = Clock::now();
    const dict_index::Layout d = dict_index::Layout::from_shared(blob::SharedBytes::map_file(path), true);
    best = std::min(best, seconds_since(t0));
  }
  std::printf("  mapped, verified:              %.3f s, %.2f GB/s  (goal >= 2 GB/s)\n", best, s.len / best / 1e9);

  const blob::SharedBytes owned = blob::SharedBytes::read_file(path);
  best = 1e300;
  for (int r = 0; r < 3; ++r) {
    const auto t0 = Clock::now();
    const dict_index::Layout d = dict_index::Layout::from_shared(owned, true);
    best = std::min(best, seconds_since(t0));
  }
  std::printf("  in memory, verified:           %.3f s, %.2f GB/s  (goal >= 2 GB/s)\n", best, s.len / best / 1e9);
  const auto t0 = Clock::now();
  const std::uint64_t checksum = blob::hash_block(owned.bytes().subspan(dict_index::HEADER_LEN));
  const double hash = seconds_since(t0);
  std::printf("  (of which the payload checksum alone: %.3f s, %.2f GB/s%s)\n", hash, s.len / hash / 1e9,
              checksum == 0 ? " " : "");
}

int keys_mode(const char* file) {
  std::vector<std::string> keys;
  {
    std::FILE* f = std::fopen(file, "rb");
    if (!f) {
      std::perror(file);
      return 1;
    }
    std::string line;
    for (int c; (c = std::fgetc(f)) != EOF;) {
      if (c == '\n') {
        keys.push_back(line);
        line.clear();
      } else {
        line.push_back(static_cast<char>(c));
      }
    }
    if (!line.empty()) keys.push_back(line);
    std::fclose(f);
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());

  // A symbol table trained on a sample of the front-coded suffixes.
  std::vector<std::string> suffixes;
  for (std::size_t i = 1; i < keys.size(); i += 7) {
    const std::size_t x = dict_index::common_prefix(
        std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(keys[i - 1].data()), keys[i - 1].size()),
        std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(keys[i].data()), keys[i].size()));
    suffixes.push_back(keys[i].substr(x));
  }
  std::vector<fsst::Bytes> samples;
  for (const auto& s : suffixes)
    samples.emplace_back(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  const fsst::Table table = fsst::Table::train_to(samples, 255);
  const fsst::Encoder encoder = table.encoder();
  dictfix::Symbols symbols;
  for (std::size_t i = 0; i < table.size(); ++i) {
    std::string sym(8, '\0');
    store_le64(reinterpret_cast<unsigned char*>(sym.data()), table.symbols[i]);
    symbols.symbols.push_back(sym.substr(0, table.lengths[i]));
  }
  dictfix::Layout layout;
  layout.keys = keys;
  layout.block = 256;
  layout.micro = 16;
  layout.codecs = {symbols};
  dictfix::Fields fitted;
  fitted.spare_all_ones = true;
  layout.codes = {{fitted, fitted}};
  std::vector<unsigned char> coded;
  layout.symbols_coder = [&](const std::string& s) {
    coded.clear();
    encoder.encode(fsst::Bytes(reinterpret_cast<const unsigned char*>(s.data()), s.size()), coded);
    return std::vector<unsigned>(coded.begin(), coded.end());
  };
  const auto written = dictfix::write(layout);
  const dict_index::Layout d =
      dict_index::Layout::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(written.blob)), true);
  std::uint64_t raw = 0;
  for (const auto& k : keys) raw += k.size();
  const auto split = d.sections();
  std::printf("keys %zu\nraw_bytes %llu\nblob_bytes %zu\nescaped_share %.3f\n", keys.size(),
              static_cast<unsigned long long>(raw), written.blob.size(),
              static_cast<double>(split[dict_index::Sections::WIDE]) /
                  std::max<std::uint64_t>(1, split[dict_index::Sections::ENTRIES] + split[dict_index::Sections::RESTARTS]));

  std::mt19937_64 rng(42);
  const std::size_t lookups = 1'000'000;
  std::vector<std::uint64_t> ids(lookups);
  for (auto& id : ids) id = rng() % keys.size();
  for (std::size_t i = 0; i < 1000; ++i)
    if (d.key(ids[i]) != keys[ids[i]]) {
      std::fprintf(stderr, "key %llu decodes wrong\n", static_cast<unsigned long long>(ids[i]));
      return 1;
    }
  std::uint64_t sink = 0;
  double best = 1e300;
  for (int r = 0; r < 3; ++r) {
    const auto t0 = Clock::now();
    for (std::uint64_t id : ids) sink += d.key(id)->size();
    best = std::min(best, seconds_since(t0));
  }
  std::printf("key_ns %.1f\n", best / lookups * 1e9);
  std::vector<unsigned char> out;
  best = 1e300;
  for (int r = 0; r < 3; ++r) {
    const auto t0 = Clock::now();
    for (std::uint64_t id : ids) sink += d.key_bytes_into(id, out);
    best = std::min(best, seconds_since(t0));
  }
  std::printf("key_bytes_ns %.1f\n", best / lookups * 1e9);
  // The same ids in ascending order: the blob's cache lines are met in turn,
  // so this is closer to the decoder's own cost.
  std::sort(ids.begin(), ids.end());
  best = 1e300;
  for (int r = 0; r < 3; ++r) {
    const auto t0 = Clock::now();
    for (std::uint64_t id : ids) sink += d.key_bytes_into(id, out);
    best = std::min(best, seconds_since(t0));
  }
  std::printf("key_bytes_sorted_ns %.1f\n", best / lookups * 1e9);
  best = 1e300;
  for (int r = 0; r < 3; ++r) {
    const auto t0 = Clock::now();
    auto it = d.iter_from(0);
    std::string text;
    std::uint64_t id;
    while (it.next(text, id)) sink += text.size();
    best = std::min(best, seconds_since(t0));
  }
  std::printf("iter_ns %.1f\n", best / keys.size() * 1e9);
  return sink == 0 ? 1 : 0;
}

// Whether the keys of blocks [from, to) ascend, each decoded once (the
// block's last key against the next block's head as well).
bool keys_ascend(const dict_index::Layout& d, std::uint64_t from, std::uint64_t to) {
  const std::uint64_t end = std::min(d.n, to * d.block);
  auto it = d.iter_from(from * d.block);
  std::string prev, key;
  std::uint64_t id;
  for (bool first = true; it.next_bytes(key, id) && id < end; first = false) {
    if (!first && !(prev < key)) return false;
    prev.swap(key);
  }
  return end == d.n || prev < std::string(reinterpret_cast<const char*>(d.head(to).data()), d.head(to).size());
}

// --order BLOB: what a check that every key ascends (not only the heads)
// would add to a verified load of a real dictionary blob: the verified load
// from memory, then the walk that decodes every key once, on one thread and
// on every processor.
int order_mode(const char* file) {
  const blob::SharedBytes owned = blob::SharedBytes::read_file(file);
  double load = 1e300;
  for (int r = 0; r < 3; ++r) {
    const auto t0 = Clock::now();
    const dict_index::Layout d = dict_index::Layout::from_shared(owned, true);
    load = std::min(load, seconds_since(t0));
  }
  const dict_index::Layout d = dict_index::Layout::from_shared(owned, true);
  std::printf("blob %.1f MB, %llu keys, block %llu\n", owned.size() / 1e6, static_cast<unsigned long long>(d.n),
              static_cast<unsigned long long>(d.block));
  std::printf("  verified load from memory: %.3f s, %.2f GB/s\n", load, owned.size() / load / 1e9);
  const std::uint64_t y = d.block_count();
  for (unsigned threads : {1u, std::max(1u, std::thread::hardware_concurrency())}) {
    double best = 1e300;
    for (int r = 0; r < 2; ++r) {
      const auto t0 = Clock::now();
      std::vector<char> ok(threads, 0);
      std::vector<std::thread> pool;
      for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back([&, t] { ok[t] = keys_ascend(d, y * t / threads, y * (t + 1) / threads); });
      for (auto& th : pool) th.join();
      best = std::min(best, seconds_since(t0));
      if (std::count(ok.begin(), ok.end(), 0) != 0) std::fprintf(stderr, "keys out of order\n");
    }
    std::printf("  every key's order on %u thread%s: %.3f s, %.0f%% of the verified load\n", threads,
                threads == 1 ? "" : "s", best, best / load * 100);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) quick = true;
    if (std::strcmp(argv[i], "--keys") == 0 && i + 1 < argc) return keys_mode(argv[i + 1]);
    if (std::strcmp(argv[i], "--order") == 0 && i + 1 < argc) return order_mode(argv[i + 1]);
  }
  const auto dir = std::filesystem::temp_directory_path() / ("quorvale-dict-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "blob").string();
  std::vector<std::uint64_t> sizes{64'000'000};
  if (std::getenv("DICT_BENCH_ONLY_1G")) sizes = {1'000'000'000};
  if (!quick) {
    sizes.push_back(256'000'000);
    sizes.push_back(1'000'000'000);
  }
  try {
    for (std::uint64_t size : sizes) bench_one(path, size);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    std::filesystem::remove_all(dir);
    return 1;
  }
  if (!std::getenv("DICT_BENCH_KEEP")) std::filesystem::remove_all(dir);
  return 0;
}
