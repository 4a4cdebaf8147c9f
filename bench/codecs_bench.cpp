// Dictionary codecs on front-coded suffixes, by hand (bench/codecs_bench.sh
// installs the corpora and the peer and runs it):
//
//   codecs_bench <name> <keys file | ids:N> [zstd]
//
// The keys (one a line, or N distinct random decimal ids below 10^12) are
// sorted, front-coded against their predecessor and cut into shards of
// 65,536 keys. Each shard's symbol table is trained on every sixth 256-key
// chunk of its suffixes (about 11,000) and every suffix is coded alone.
// Printed: the coded size (codes plus table records) beside `zstd -19` of the
// same suffixes concatenated, the packed alphabet's size, training time per
// shard, encoding speed, and decoding speed (8-byte symbol stores) in output
// bytes a second, over a shard's codes at once and suffix by suffix.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "bench_keys.hpp"
#include "fsst.hpp"
#include "packed.hpp"

using namespace quorvale;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t SHARD = 65536;
constexpr std::size_t CHUNK = 256;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

std::vector<std::string> load_keys(const std::string& source) {
  std::vector<std::string> keys;
  if (source.rfind("ids:", 0) == 0) {
    const std::size_t n = std::stoull(source.substr(4));
    std::mt19937_64 rng(12);
    std::unordered_set<std::uint64_t> seen;
    seen.reserve(n * 2);
    while (seen.size() < n) seen.insert(rng() % 1000000000000ULL);
    keys.reserve(n);
    for (std::uint64_t v : seen) keys.push_back(std::to_string(v));
  } else {
    keys = bench::read_lines(source);
  }
  bench::sort_distinct(keys);
  return keys;
}

// zstd -19 of the bytes, or -1 when zstd cannot be run.
long long zstd_size(const std::vector<unsigned char>& bytes) {
  char in[] = "/tmp/codecs_bench.XXXXXX";
  const int fd = mkstemp(in);
  if (fd < 0) return -1;
  FILE* f = fdopen(fd, "wb");
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  const std::string out = std::string(in) + ".zst";
  const std::string cmd = "zstd -19 -q -f -o " + out + " " + in + " 2>/dev/null";
  long long size = -1;
  if (std::system(cmd.c_str()) == 0) {
    struct stat st;
    if (stat(out.c_str(), &st) == 0) size = st.st_size;
  }
  unlink(in);
  unlink(out.c_str());
  return size;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: codecs_bench <name> <keys file | ids:N> [zstd]\n");
    return 2;
  }
  const std::string name = argv[1];
  const bool with_zstd = argc > 3 && std::strcmp(argv[3], "zstd") == 0;
  const auto keys = load_keys(argv[2]);
  if (keys.empty()) {
    std::printf("%s: no keys\n", name.c_str());
    return 0;
  }

  // Front-code against the predecessor: the suffixes, back to back.
  std::vector<unsigned char> suffixes;
  std::vector<std::size_t> ends;
  ends.reserve(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::size_t x = 0;
    if (i > 0) {
      const std::string& a = keys[i - 1];
      const std::string& b = keys[i];
      while (x < a.size() && x < b.size() && a[x] == b[x]) ++x;
    }
    suffixes.insert(suffixes.end(), keys[i].begin() + static_cast<std::ptrdiff_t>(x), keys[i].end());
    ends.push_back(suffixes.size());
  }
  auto suffix = [&](std::size_t i) {
    const std::size_t b = i == 0 ? 0 : ends[i - 1];
    return fsst::Bytes(suffixes.data() + b, ends[i] - b);
  };

  const std::size_t shards = (keys.size() + SHARD - 1) / SHARD;
  std::vector<fsst::Table> tables;
  std::vector<double> train_ms;
  std::vector<std::size_t> sample_counts;
  std::vector<unsigned char> codes(2 * suffixes.size());
  std::size_t coded_len = 0;
  std::vector<std::size_t> code_ends;
  code_ends.reserve(keys.size());
  std::uint64_t records = 0, packed_bits = 0, packed_records = 0;
  double encode_s = 0;
  for (std::size_t s = 0; s < shards; ++s) {
    const std::size_t lo = s * SHARD, hi = std::min(keys.size(), lo + SHARD);
    std::vector<fsst::Bytes> samples;
    for (std::size_t c = lo; c < hi; c += 6 * CHUNK)
      for (std::size_t i = c; i < std::min(hi, c + CHUNK); ++i) samples.push_back(suffix(i));
    const auto t0 = Clock::now();
    tables.push_back(fsst::Table::train_to(samples, 255));
    const auto t1 = Clock::now();
    train_ms.push_back(seconds(t0, t1) * 1e3);
    sample_counts.push_back(samples.size());
    records += tables.back().record_len();

    const auto enc = tables.back().encoder();
    const auto e0 = Clock::now();
    for (std::size_t i = lo; i < hi; ++i) {
      coded_len += enc.encode(suffix(i), codes.data() + coded_len);
      code_ends.push_back(coded_len);
    }
    encode_s += seconds(e0, Clock::now());

    std::array<std::uint64_t, 256> hist{};
    for (std::size_t i = lo; i < hi; ++i)
      for (unsigned char c : suffix(i)) ++hist[c];
    auto alpha = packed::Alphabet::of(hist);
    packed_bits += alpha->second;
    packed_records += alpha->first.record_len();
  }

  codes.resize(coded_len);

  // Decode every suffix alone back into one buffer, 8-byte symbol stores.
  std::vector<unsigned char> out(suffixes.size() + 64);
  double best_decode = 1e30;
  bool exact = true;
  for (int rep = 0; rep < 5; ++rep) {
    const auto d0 = Clock::now();
    std::size_t at = 0;
    std::size_t prev = 0;
    for (std::size_t s = 0; s < shards; ++s) {
      const fsst::Table& t = tables[s];
      const std::size_t lo = s * SHARD, hi = std::min(keys.size(), lo + SHARD);
      for (std::size_t i = lo; i < hi; ++i) {
        const auto got = t.decode(fsst::Bytes(codes.data() + prev, code_ends[i] - prev), out.data() + at, UINT64_MAX);
        prev = code_ends[i];
        at += got ? *got : 0;
      }
    }
    best_decode = std::min(best_decode, seconds(d0, Clock::now()));
    exact = exact && at == suffixes.size() && std::memcmp(out.data(), suffixes.data(), at) == 0;
  }

  // The same codes a shard at a time: the decoding loop without the
  // per-suffix call.
  double best_stream = 1e30;
  for (int rep = 0; rep < 5; ++rep) {
    const auto d0 = Clock::now();
    std::size_t at = 0;
    for (std::size_t s = 0; s < shards; ++s) {
      const std::size_t lo = s * SHARD, hi = std::min(keys.size(), lo + SHARD);
      const std::size_t from = lo == 0 ? 0 : code_ends[lo - 1];
      const auto got = tables[s].decode(fsst::Bytes(codes.data() + from, code_ends[hi - 1] - from), out.data() + at,
                                        UINT64_MAX);
      at += got ? *got : 0;
    }
    best_stream = std::min(best_stream, seconds(d0, Clock::now()));
    exact = exact && at == suffixes.size() && std::memcmp(out.data(), suffixes.data(), at) == 0;
  }

  double train_total = 0, train_max = 0;
  std::size_t sample_total = 0;
  for (std::size_t s = 0; s < shards; ++s) {
    train_total += train_ms[s];
    train_max = std::max(train_max, train_ms[s]);
    sample_total += sample_counts[s];
  }
  const double per_shard = train_total / static_cast<double>(shards);
  const double per_10k = train_total / (static_cast<double>(sample_total) / 10000.0);
  const std::uint64_t coded = codes.size() + records;
  const std::uint64_t packed_size = (packed_bits + 7) / 8 + packed_records;
  const double gbs = static_cast<double>(suffixes.size()) / best_decode / 1e9;
  const double stream_gbs = static_cast<double>(suffixes.size()) / best_stream / 1e9;

  std::printf("== %s: %zu keys, %zu shards, suffix bytes %zu (keys %.1f MB)\n", name.c_str(), keys.size(), shards,
              suffixes.size(), [&] {
                double b = 0;
                for (const auto& k : keys) b += static_cast<double>(k.size());
                return b / 1e6;
              }());
  std::printf("  symbol-coded: %llu bytes (codes %zu + table records %llu) = %.3f of the suffixes\n",
              static_cast<unsigned long long>(coded), codes.size(), static_cast<unsigned long long>(records),
              static_cast<double>(coded) / static_cast<double>(suffixes.size()));
  std::printf("  packed alphabet: %llu bytes = %.3f of the suffixes\n", static_cast<unsigned long long>(packed_size),
              static_cast<double>(packed_size) / static_cast<double>(suffixes.size()));
  if (with_zstd) {
    const long long z = zstd_size(suffixes);
    if (z < 0) {
      std::printf("  zstd -19: peer missing (zstd could not be run)\n");
    } else {
      std::printf("  zstd -19 of the suffixes concatenated: %lld bytes; symbol-coded / zstd = %.2f, packed / zstd = %.2f\n",
                  z, static_cast<double>(coded) / static_cast<double>(z),
                  static_cast<double>(packed_size) / static_cast<double>(z));
    }
  }
  std::printf("  training: %.2f ms a shard on average (%.0f samples), max %.2f ms; %.2f ms per 10,000 samples "
              "(goal <= 5: %s)\n",
              per_shard, static_cast<double>(sample_total) / static_cast<double>(shards), train_max, per_10k,
              per_10k <= 5.0 ? "met" : "missed");
  std::printf("  encoding: %.2f GB/s of suffix bytes\n", static_cast<double>(suffixes.size()) / encode_s / 1e9);
  std::printf("  decoding: %.2f GB/s of output a shard's codes at a time (goal >= 1: %s), %.2f GB/s each suffix "
              "alone (%.1f bytes a suffix)%s\n",
              stream_gbs, stream_gbs >= 1.0 ? "met" : "missed", gbs,
              static_cast<double>(suffixes.size()) / static_cast<double>(keys.size()), exact ? "" : "  MISMATCH");
  return exact ? 0 : 1;
}
