// Evaluation speed and size of the minimal perfect hash against BBHash
// (gamma 1 and 2) and CMPH CHD on the same 64-bit key hashes.
//
//   bench/mphf_bench.sh [n ...]        (installs the peers, builds, runs)
//
// When the build is part of the library the table is built over the keys.
// Otherwise it is synthetic: the shape a build produces (level 0 over n slots
// with 2n/9 buckets and window 1024, further levels over the keys each level
// bumps, a tail, the remap), seed bytes drawn at random with a share of
// bumped buckets; its evaluation cost is the real one, its size assumes that
// share.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mphf.hpp"
#if __has_include("mphf_build.hpp")
#define HAVE_BUILD 1
#include <thread>
#endif

#if __has_include(<BooPHF.h>)
#include <BooPHF.h>
#define HAVE_BBHASH 1
#endif
#if __has_include(<cmph.h>)
#include <cmph.h>
#include <dlfcn.h>
#define HAVE_CMPH 1
#endif

using namespace quorvale;

namespace {

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Share of a level's buckets whose seed byte is 0 in the synthetic table.
constexpr double BUMPED = 0.03;

[[maybe_unused]] Level random_level(std::mt19937_64& r, std::uint64_t slots, std::uint64_t window) {
  Level l;
  l.slots = slots;
  l.buckets = std::max<std::uint64_t>((2 * slots + 8) / 9, 1);
  l.window = std::min<std::uint64_t>(window, std::bit_floor(slots));
  l.mode_bits = 2;
  l.shift = Level::shift_for(l.window, 2);
  l.seeds = Pages<std::uint8_t>::allocate(l.buckets);
  const std::uint64_t zero_below = static_cast<std::uint64_t>(BUMPED * 65536);
  for (std::uint64_t i = 0; i < l.buckets; ++i) {
    std::uint64_t x = r();
    l.seeds[i] = (x >> 48) < zero_below ? 0 : static_cast<std::uint8_t>(1 + x % 255);
  }
  return l;
}

[[maybe_unused]] V2 synthetic_table(std::uint64_t n, std::uint64_t seed) {
  std::mt19937_64 r(seed);
  V2 v;
  v.n = n;
  v.geometry = true;
  v.level0 = random_level(r, n, 1024);
  // Keys bumped per level, roughly: keys ~ 4.5 per bucket, a share of the buckets bumped.
  std::uint64_t left = static_cast<std::uint64_t>(n * BUMPED);
  while (left > 256 && v.levels.size() < 15) {
    v.levels.push_back(random_level(r, left, 1024));
    left = static_cast<std::uint64_t>(left * BUMPED);
  }
  if (left > 0) {
    v.tail_keys = left;
    v.tail_slots = (25 * left + 23) / 24;
    v.tail_buckets = std::max<std::uint64_t>((2 * left + 12) / 13, 1);
    v.tail_seed = splitmix64(0x7a115eed00000000ULL);
    v.pilots = Pages<std::uint16_t>::allocate(v.tail_buckets);
    for (auto& p : v.pilots) p = static_cast<std::uint16_t>(r() % 512);
  }
  RemapEncoder enc(v.further_slots(), n);
  // Ascending holes spread over 0..n-1, one per further slot.
  std::uint64_t T = v.further_slots();
  for (std::uint64_t j = 0; j < T; ++j) enc.push(static_cast<std::uint64_t>((static_cast<unsigned __int128>(j) * n) / T));
  v.remap = enc.finish();
  return v;
}

struct Result {
  double single_ns = 0, batch_ns = 0, bits = 0;
  bool ok = false;
};

template <class F>
double time_per_key(const std::vector<std::uint64_t>& q, F&& f, std::uint64_t& sink) {
  double best = 1e30;
  for (int rep = 0; rep < 3; ++rep) {
    double t0 = now_s();
    std::uint64_t s = 0;
    for (std::uint64_t h : q) s += f(h);
    double t = now_s() - t0;
    sink += s;
    best = std::min(best, t);
  }
  return best * 1e9 / static_cast<double>(q.size());
}

void print(const char* name, std::uint64_t n, const Result& r, double ours_single) {
  if (!r.ok) {
    std::printf("%-22s n=%-10" PRIu64 " (peer missing)\n", name, n);
    return;
  }
  std::printf("%-22s n=%-10" PRIu64 " single %7.2f ns/key", name, n, r.single_ns);
  if (r.batch_ns > 0) std::printf("  batch %7.2f ns/key", r.batch_ns);
  else std::printf("  %20s", "");
  std::printf("  %6.3f bits/key", r.bits);
  if (ours_single > 0) std::printf("  ours/peer single %.2fx", ours_single / r.single_ns);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint64_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {1000000, 10000000};
  const std::uint64_t QUERIES = 10000000;
  std::uint64_t sink = 0;

  for (std::uint64_t n : sizes) {
    std::mt19937_64 r(n);
    std::vector<std::uint64_t> keys(n);
    for (std::uint64_t i = 0; i < n; ++i) keys[i] = splitmix64(i ^ 0x5bd1e995ULL);
    // Queries: members in shuffled order.
    std::vector<std::uint64_t> q(keys);
    std::shuffle(q.begin(), q.end(), r);
    q.resize(std::min(n, QUERIES));
    q.shrink_to_fit();

    Result ours;
    {
#ifdef HAVE_BUILD
      double t0 = now_s();
      Mphf m = Mphf::build_with_threads(keys, std::max(1u, std::min(4u, std::thread::hardware_concurrency())));
      std::printf("%22s (built in %.1f s on up to 4 threads)\n", "", now_s() - t0);
      const char* ours_name = "quorvale";
#else
      Mphf m(synthetic_table(n, n));
      const char* ours_name = "quorvale (synthetic)";
#endif
      ours.single_ns = time_per_key(q, [&](std::uint64_t h) { return m.index(h); }, sink);
      double best = 1e30;
      for (int rep = 0; rep < 3; ++rep) {
        double t0 = now_s();
        auto ids = m.index_all(q);
        best = std::min(best, now_s() - t0);
        sink += ids[ids.size() / 2];
      }
      ours.batch_ns = best * 1e9 / static_cast<double>(q.size());
      ours.bits = 8.0 * static_cast<double>(m.byte_len()) / static_cast<double>(n);
      ours.ok = true;
      std::printf("%-22s n=%-10" PRIu64 " single %7.2f ns/key  batch %7.2f ns/key  %6.3f bits/key  batch/single %.2fx\n",
                  ours_name, n, ours.single_ns, ours.batch_ns, ours.bits, ours.batch_ns / ours.single_ns);
    }

#ifdef HAVE_BBHASH
    for (double gamma : {1.0, 2.0}) {
      Result b;
      typedef boomphf::SingleHashFunctor<u_int64_t> hasher_t;
      typedef boomphf::mphf<u_int64_t, hasher_t> boophf_t;
      auto range = boomphf::range(static_cast<const u_int64_t*>(keys.data()), static_cast<const u_int64_t*>(keys.data() + n));
      double t0 = now_s();
      boophf_t bphf(n, range, 4, gamma, true, false);
      double build = now_s() - t0;
      b.single_ns = time_per_key(q, [&](std::uint64_t h) { return bphf.lookup(h); }, sink);
      b.bits = static_cast<double>(bphf.totalBitSize()) / static_cast<double>(n);
      b.ok = true;
      char name[64];
      std::snprintf(name, sizeof name, "BBHash gamma %.0f", gamma);
      print(name, n, b, ours.single_ns);
      std::printf("%22s (built in %.1f s on 4 threads)\n", "", build);
    }
#else
    print("BBHash", n, Result{}, 0);
#endif

#ifdef HAVE_CMPH
    {
      Result c;
      void* lib = dlopen("libcmph.so.0", RTLD_NOW);
      if (!lib) lib = dlopen("libcmph.so", RTLD_NOW);
      if (lib) {
        auto adapter = reinterpret_cast<decltype(&cmph_io_struct_vector_adapter)>(dlsym(lib, "cmph_io_struct_vector_adapter"));
        auto config_new = reinterpret_cast<decltype(&cmph_config_new)>(dlsym(lib, "cmph_config_new"));
        auto set_algo = reinterpret_cast<decltype(&cmph_config_set_algo)>(dlsym(lib, "cmph_config_set_algo"));
        auto make = reinterpret_cast<decltype(&cmph_new)>(dlsym(lib, "cmph_new"));
        auto config_destroy = reinterpret_cast<decltype(&cmph_config_destroy)>(dlsym(lib, "cmph_config_destroy"));
        auto search = reinterpret_cast<decltype(&cmph_search)>(dlsym(lib, "cmph_search"));
        auto dump = reinterpret_cast<decltype(&cmph_dump)>(dlsym(lib, "cmph_dump"));
        auto destroy = reinterpret_cast<decltype(&cmph_destroy)>(dlsym(lib, "cmph_destroy"));
        auto adapter_destroy =
            reinterpret_cast<decltype(&cmph_io_struct_vector_adapter_destroy)>(dlsym(lib, "cmph_io_struct_vector_adapter_destroy"));
        if (adapter && config_new && set_algo && make && search && dump && destroy) {
          double t0 = now_s();
          cmph_io_adapter_t* source = adapter(keys.data(), 8, 0, 8, static_cast<cmph_uint32>(n));
          cmph_config_t* config = config_new(source);
          set_algo(config, CMPH_CHD);
          cmph_t* h = make(config);
          double build = now_s() - t0;
          if (config_destroy) config_destroy(config);
          if (h) {
            c.single_ns = time_per_key(
                q, [&](std::uint64_t k) { return std::uint64_t{search(h, reinterpret_cast<const char*>(&k), 8)}; }, sink);
            FILE* f = std::tmpfile();
            dump(h, f);
            c.bits = 8.0 * static_cast<double>(std::ftell(f)) / static_cast<double>(n);
            std::fclose(f);
            c.ok = true;
            destroy(h);
            print("CMPH CHD", n, c, ours.single_ns);
            std::printf("%22s (built in %.1f s)\n", "", build);
          } else {
            std::printf("CMPH CHD n=%" PRIu64 ": build failed\n", n);
          }
          if (adapter_destroy) adapter_destroy(source);
        } else {
          print("CMPH CHD", n, c, 0);
        }
      } else {
        print("CMPH CHD", n, c, 0);
      }
    }
#else
    print("CMPH CHD", n, Result{}, 0);
#endif
  }
  std::fprintf(stderr, "(checksum %" PRIu64 ")\n", sink);
  return 0;
}
