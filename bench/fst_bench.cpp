// FST engine benchmark over one key file (one key per line; sorted and
// de-duplicated here by bytes). Prints one JSON object; bench/fst_peers.py
// runs it next to the peers and prints the ratios.
//
//   fst_bench KEYS_FILE [OUT_DIR]
//   fst_bench --crc      CRC-32C throughput of both paths
//   fst_bench --lev      Levenshtein build time and states
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fst/builder.hpp"
#include "fst/crc32c.hpp"
#include "fst/fst.hpp"
#include "fst/levenshtein.hpp"
#include "fst/stream.hpp"

namespace fst = quorvale::fst;
using Clock = std::chrono::steady_clock;

namespace {

double secs(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The caller's buffered writer: 8 KiB in front of a file.
class FileSink {
 public:
  explicit FileSink(const char* path) : f_(std::fopen(path, "wb")) {
    if (!f_) throw std::runtime_error("cannot open output");
  }
  ~FileSink() {
    if (f_) std::fclose(f_);
  }
  void write_all(std::span<const unsigned char> b) {
    if (buf_.size() + b.size() > kCap) drain();
    if (b.size() >= kCap) {
      if (std::fwrite(b.data(), 1, b.size(), f_) != b.size()) throw std::runtime_error("write failed");
      return;
    }
    buf_.insert(buf_.end(), b.begin(), b.end());
  }
  void close() {
    drain();
    std::fclose(f_);
    f_ = nullptr;
  }

 private:
  static constexpr std::size_t kCap = 8192;
  void drain() {
    if (!buf_.empty() && std::fwrite(buf_.data(), 1, buf_.size(), f_) != buf_.size())
      throw std::runtime_error("write failed");
    buf_.clear();
  }
  std::FILE* f_;
  std::vector<unsigned char> buf_;
};

std::span<const unsigned char> as_bytes(const std::string& s) {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

int bench_keys(const char* path, const std::string& out_dir) {
  std::vector<std::string> keys;
  {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) keys.push_back(line);
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  const std::size_t n = keys.size();
  std::size_t raw = 0;
  for (const auto& k : keys) raw += k.size() + 1;

  double best_mem = 1e9, best_file = 1e9;
  std::vector<unsigned char> bytes;
  for (int rep = 0; rep < 3; ++rep) {
    auto t0 = Clock::now();
    fst::MemorySink sink;
    fst::MapBuilder b(sink);
    for (std::size_t i = 0; i < n; ++i) b.insert(keys[i], i);
    b.finish();
    best_mem = std::min(best_mem, secs(t0));
    bytes = sink.take();

    const std::string out = out_dir + "/fst_bench.out";
    t0 = Clock::now();
    FileSink fs(out.c_str());
    fst::MapBuilder fb(fs);
    for (std::size_t i = 0; i < n; ++i) fb.insert(keys[i], i);
    fb.finish();
    fs.close();
    best_file = std::min(best_file, secs(t0));
    std::remove(out.c_str());
  }

  auto owned = std::make_shared<std::vector<unsigned char>>(std::move(bytes));
  fst::Fst f = fst::Fst::open(owned, *owned);
  auto t0 = Clock::now();
  f.verify();
  const double verify_s = secs(t0);

  std::vector<std::size_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = i;
  std::mt19937_64 rng(1);
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<std::string> misses;
  for (std::size_t i = 0; i < std::min<std::size_t>(n, 1000000); ++i) {
    std::string m = keys[order[i]];
    m.insert(m.size() / 2, 1, '\x01');
    misses.push_back(std::move(m));
  }

  std::uint64_t sink_sum = 0;
  auto time_lookups = [&](auto&& get_key, std::size_t count) {
    double best = 1e9;
    for (int rep = 0; rep < 3; ++rep) {
      auto t = Clock::now();
      for (std::size_t i = 0; i < count; ++i) {
        auto v = f.get(as_bytes(get_key(i)));
        sink_sum += v ? *v : 1;
      }
      best = std::min(best, secs(t));
    }
    return best / count * 1e9;
  };
  const double hit_seq = time_lookups([&](std::size_t i) -> const std::string& { return keys[i]; }, n);
  const double hit_shuf = time_lookups([&](std::size_t i) -> const std::string& { return keys[order[i]]; }, n);
  const double miss = time_lookups([&](std::size_t i) -> const std::string& { return misses[i]; }, misses.size());

  double best_stream = 1e9;
  for (int rep = 0; rep < 3; ++rep) {
    t0 = Clock::now();
    fst::Stream<> s(f);
    std::size_t c = 0;
    while (auto it = s.next()) {
      sink_sum += it->value + it->key.size();
      ++c;
    }
    if (c != n) {
      std::fprintf(stderr, "stream yielded %zu of %zu keys\n", c, n);
      return 1;
    }
    best_stream = std::min(best_stream, secs(t0));
  }

  std::printf(
      "{\"keys\": %zu, \"raw_bytes\": %zu, \"fst_bytes\": %zu, \"build_mem_keys_per_s\": %.0f, "
      "\"build_file_keys_per_s\": %.0f, \"verify_s\": %.4f, \"lookup_hit_seq_ns\": %.1f, \"lookup_hit_shuffled_ns\": "
      "%.1f, \"lookup_miss_ns\": %.1f, \"stream_keys_per_s\": %.0f, \"checksum\": %llu}\n",
      n, raw, owned->size(), n / best_mem, n / best_file, verify_s, hit_seq, hit_shuf, miss, n / best_stream,
      static_cast<unsigned long long>(sink_sum & 0xFF));
  return 0;
}

int bench_crc() {
  std::vector<unsigned char> buf(64 << 20);
  std::mt19937_64 rng(3);
  for (auto& b : buf) b = static_cast<unsigned char>(rng());
  auto run = [&](auto fn) {
    double best = 1e9;
    std::uint32_t c = 0;
    for (int rep = 0; rep < 5; ++rep) {
      auto t0 = Clock::now();
      c ^= fn(0xFFFFFFFFu, buf);
      best = std::min(best, secs(t0));
    }
    if (c == 0x12345678) std::puts("");
    return buf.size() / best / 1e9;
  };
  std::printf("{\"crc_hw_available\": %s, \"crc_hw_gb_per_s\": %.2f, \"crc_portable_gb_per_s\": %.2f}\n",
              fst::crc32c_has_hw() ? "true" : "false", run(fst::crc32c_update_hw),
              run(fst::crc32c_update_portable));
  return 0;
}

int bench_lev() {
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
  std::mt19937_64 rng(5);
  std::printf("[");
  bool first = true;
  for (unsigned d = 1; d <= 3; ++d) {
    for (std::size_t len : {4, 8, 16, 32, 64}) {
      std::string q;
      for (std::size_t i = 0; i < len; ++i) q += alphabet[rng() % alphabet.size()];
      auto t0 = Clock::now();
      long states = -1;
      try {
        fst::Levenshtein lev(q, d);
        states = static_cast<long>(lev.state_count());
      } catch (const fst::AutomatonError&) {
      }
      std::printf("%s{\"distance\": %u, \"query_len\": %zu, \"states\": %ld, \"build_ms\": %.3f}", first ? "" : ", ",
                  d, len, states, secs(t0) * 1e3);
      first = false;
    }
  }
  std::printf("]\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--crc") == 0) return bench_crc();
  if (argc >= 2 && std::strcmp(argv[1], "--lev") == 0) return bench_lev();
  if (argc < 2) {
    std::fprintf(stderr, "usage: fst_bench KEYS_FILE [OUT_DIR] | --crc | --lev\n");
    return 2;
  }
  return bench_keys(argv[1], argc >= 3 ? argv[2] : "/tmp");
}
