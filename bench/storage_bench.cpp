// Storage building blocks against what a user would otherwise pick:
//   hash_pair vs XXH3-128 (Debian's libxxhash-dev) per key and per 4 KiB,
//   hash_block vs memcpy, arena assembly vs copying keys and one offset per
//   entry, and random entry() vs a std::vector<std::string_view>.
// Build with -DQUORVALE_BENCH=ON (RelWithDebInfo or Release) and run by hand.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "arena.hpp"
#include "blob.hpp"
#include "hash.hpp"

#ifdef QUORVALE_HAVE_XXHASH
#define XXH_INLINE_ALL
#include <xxhash.h>
#endif

using namespace quorvale;
using Clock = std::chrono::steady_clock;

namespace {

volatile std::uint64_t g_sink;

template <class F>
double best_seconds(int rounds, F&& f) {
  double best = 1e300;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = Clock::now();
    f();
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (s < best) best = s;
  }
  return best;
}

std::vector<unsigned char> random_bytes(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<unsigned char> v(n);
  for (std::size_t i = 0; i + 8 <= n; i += 8) store_le64(v.data() + i, rng());
  return v;
}

void bench_hash_per_key() {
  std::printf("== key hash, per key (keys back to back, %s)\n",
#ifdef QUORVALE_HAVE_XXHASH
              "XXH3-128 inlined from libxxhash-dev"
#else
              "XXH3-128 missing: install Debian's libxxhash-dev and rebuild"
#endif
  );
  for (std::size_t len : {8, 16, 32, 64}) {
    const std::size_t keys = (std::size_t{1} << 22);
    auto data = random_bytes(keys * len + 8, len);
    double ours = best_seconds(5, [&] {
      std::uint64_t acc = 0;
      for (std::size_t i = 0; i < keys; ++i) {
        auto h = hash::hash_pair(data.data() + i * len, len);
        acc += h.first ^ h.second;
      }
      g_sink = acc;
    });
    std::printf("  %3zu bytes: hash_pair %6.2f ns/key", len, ours / keys * 1e9);
#ifdef QUORVALE_HAVE_XXHASH
    double peer = best_seconds(5, [&] {
      std::uint64_t acc = 0;
      for (std::size_t i = 0; i < keys; ++i) {
        XXH128_hash_t h = XXH3_128bits(data.data() + i * len, len);
        acc += h.low64 ^ h.high64;
      }
      g_sink = acc;
    });
    std::printf("  XXH3-128 %6.2f ns/key  ratio %.2fx", peer / keys * 1e9, ours / peer);
#endif
    std::printf("\n");
  }
  const std::size_t len = 4096, blocks = 1 << 14;
  auto data = random_bytes(len * blocks, 9);
  double ours = best_seconds(5, [&] {
    std::uint64_t acc = 0;
    for (std::size_t i = 0; i < blocks; ++i) acc += hash::hash_pair(data.data() + i * len, len).first;
    g_sink = acc;
  });
  std::printf("  4 KiB keys: hash_pair %6.2f GB/s", double(len * blocks) / ours / 1e9);
#ifdef QUORVALE_HAVE_XXHASH
  double peer = best_seconds(5, [&] {
    std::uint64_t acc = 0;
    for (std::size_t i = 0; i < blocks; ++i) acc += XXH3_128bits(data.data() + i * len, len).low64;
    g_sink = acc;
  });
  std::printf("  XXH3-128 %6.2f GB/s  time ratio %.2fx", double(len * blocks) / peer / 1e9, ours / peer);
#endif
  std::printf("\n");
}

void bench_hash_block() {
  const std::size_t n = std::size_t{256} << 20;
  auto src = random_bytes(n, 3);
  std::vector<unsigned char> dst(n);
  std::memcpy(dst.data(), src.data(), n);  // touch every page first
  double ours = best_seconds(5, [&] { g_sink = blob::hash_block(src); });
  double copy = best_seconds(5, [&] {
    std::memcpy(dst.data(), src.data(), n);
    g_sink = dst[n / 2];
  });
  std::printf("== payload checksum over 256 MiB: hash_block %.2f GB/s, memcpy %.2f GB/s, time ratio %.2fx\n",
              n / ours / 1e9, n / copy / 1e9, ours / copy);
}

void bench_arena() {
  const std::size_t n = 2'000'000;
  std::mt19937_64 rng(17);
  std::string pool;
  std::vector<std::string_view> views;
  std::vector<std::size_t> lens;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t len = 4 + rng() % 29;  // 4..32 bytes, like words and identifiers
    lens.push_back(len);
    total += len;
  }
  pool.resize(total);
  for (auto& c : pool) c = static_cast<char>('a' + rng() % 26);
  std::size_t at = 0;
  for (std::size_t len : lens) {
    views.emplace_back(pool.data() + at, len);
    at += len;
  }

  std::optional<StringArena> arena;
  double assemble = best_seconds(3, [&] {
    arena.reset();
    arena = StringArena::assemble(views, n, total);
  });
  double copy = best_seconds(3, [&] {
    // One memcpy of each key's bytes and one 4-byte offset per entry, into a
    // fresh buffer as assembling has.
    std::unique_ptr<unsigned char[]> copy_buf(new unsigned char[total + 4 * (n + 1)]);
    unsigned char* keys = copy_buf.get() + 4 * (n + 1);
    std::uint32_t off = 0;
    for (std::size_t i = 0; i < n; ++i) {
      std::memcpy(keys + off, views[i].data(), views[i].size());
      off += static_cast<std::uint32_t>(views[i].size());
      std::memcpy(copy_buf.get() + 4 * (i + 1), &off, 4);
    }
    g_sink = copy_buf[total / 2];
  });
  std::printf("== arena of %zu keys (%.1f MB of key bytes, tag 0x%02x, %.2f table bytes a key)\n", n, total / 1e6,
              arena->tag(), double(arena->data_start() - 9) / n);
  std::printf("  assemble %.1f Mkeys/s (%.2f GB/s), copying keys + offsets %.1f Mkeys/s, time ratio %.2fx\n",
              n / assemble / 1e6, total / assemble / 1e9, n / copy / 1e6, assemble / copy);

  const std::size_t lookups = 10'000'000;
  std::vector<std::uint32_t> order(lookups);
  for (auto& i : order) i = static_cast<std::uint32_t>(rng() % n);
  double ours = best_seconds(3, [&] {
    std::uint64_t acc = 0;
    for (std::uint32_t i : order) {
      auto e = arena->entry(i);
      acc += e->size() + static_cast<unsigned char>((*e)[0]);
    }
    g_sink = acc;
  });
  double vec = best_seconds(3, [&] {
    std::uint64_t acc = 0;
    for (std::uint32_t i : order) acc += views[i].size() + static_cast<unsigned char>(views[i][0]);
    g_sink = acc;
  });
  std::printf("  random entry(): arena %.1f ns, vector<string_view> %.1f ns, time ratio %.2fx"
              " (memory: arena %.1f MB, vector of views + keys %.1f MB)\n",
              ours / lookups * 1e9, vec / lookups * 1e9, ours / vec, arena->bytes().size() / 1e6,
              (views.size() * sizeof(std::string_view) + total) / 1e6);
}

}  // namespace

int main() {
  bench_hash_per_key();
  bench_hash_block();
  bench_arena();
  return 0;
}
