// Build speed, memory and size of the minimal perfect hash, against BBHash
// (gamma 1 and 2) and CMPH's CHD on the same random 64-bit hashes.
//
//   bench/mphf_build_bench.sh [n ...]       (installs the peers, builds, runs)
//
// Every measurement runs in a child process forked after the input exists, so
// that the peak resident memory it adds is its own.
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "mphf_build.hpp"
#include "threads.hpp"

// The peer header trips this warning inside its own code.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#if __has_include(<BooPHF.h>)
#include <BooPHF.h>
#define HAVE_BBHASH 1
#endif
#if __has_include(<cmph.h>)
#include <cmph.h>
#define HAVE_CMPH 1
#endif

using namespace quorvale;

namespace {

long status_kib(const char* field) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return 0;
  char line[256];
  long v = 0;
  std::size_t len = std::strlen(field);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, field, len) == 0) v = std::atol(line + len + 1);
  std::fclose(f);
  return v;
}

struct Result {
  double seconds = 0;
  double bits_per_key = 0;
  double extra_bytes_per_key = 0;
  double bumped0 = 0;  // share of keys level 0 left
  double levels = 0;
  int ok = 0;
};

// Runs fn in a child; fn fills the result (time, bits, stats); the child adds
// its peak resident growth.
Result in_child(std::uint64_t n, const std::function<void(Result&)>& fn) {
  int fds[2];
  if (pipe(fds) != 0) std::abort();
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    long base = status_kib("VmRSS:");
    Result r;
    fn(r);
    long peak = status_kib("VmHWM:");
    r.extra_bytes_per_key = n ? (peak - base) * 1024.0 / static_cast<double>(n) : 0;
    if (write(fds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(1);
    _exit(0);
  }
  close(fds[1]);
  Result r;
  ssize_t got = read(fds[0], &r, sizeof r);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (got != static_cast<ssize_t>(sizeof r)) r.ok = 0;
  return r;
}

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

class VecStream : public KeyStream {
 public:
  explicit VecStream(const std::vector<std::uint64_t>& v) : v_(v) {}
  bool next(std::uint64_t& out) override {
    if (i_ >= v_.size()) return false;
    out = v_[i_++];
    return true;
  }

 private:
  const std::vector<std::uint64_t>& v_;
  std::size_t i_ = 0;
};

void ours_stats(const Mphf& m, const std::vector<std::uint64_t>& keys, Result& r) {
  const V2& v = *m.v2();
  r.bits_per_key = m.byte_len() * 8.0 / keys.size();
  r.levels = static_cast<double>(v.levels.size() + (v.level0 ? 1 : 0));
  std::uint64_t bumped = 0;
  if (v.level0) {
    for (std::uint64_t h : keys) bumped += v.level0->seeds[range(h, v.level0->buckets)] == 0;
  } else {
    bumped = keys.size();
  }
  r.bumped0 = static_cast<double>(bumped) / keys.size();
  // Spot check: minimal and perfect.
  std::vector<unsigned char> seen(keys.size(), 0);
  r.ok = 1;
  for (std::uint64_t h : keys) {
    std::uint64_t id = m.index(h);
    if (id >= keys.size() || seen[id]) {
      r.ok = 0;
      break;
    }
    seen[id] = 1;
  }
}

void print(const char* what, std::uint64_t n, const Result& r, double base_seconds) {
  std::printf("%-34s n=%-10llu %8.3f s %8.2f Mkeys/s  %5.3f bits/key  +%6.2f B/key peak", what,
              static_cast<unsigned long long>(n), r.seconds, n / r.seconds / 1e6, r.bits_per_key,
              r.extra_bytes_per_key);
  if (r.levels > 0) std::printf("  bumped@0 %5.2f%%  levels %.0f", 100 * r.bumped0, r.levels);
  if (base_seconds > 0) std::printf("  time/ours-all-cores %5.2fx", r.seconds / base_seconds);
  if (!r.ok) std::printf("  FAILED");
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::uint64_t> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  if (sizes.empty()) sizes = {1000000, 10000000};
  const std::uint64_t cores = online_processors();
  std::printf("cores: %llu\n", static_cast<unsigned long long>(cores));
#ifndef HAVE_BBHASH
  std::printf("BBHash: missing (install libbbhash-dev)\n");
#endif
#ifndef HAVE_CMPH
  std::printf("CMPH: missing (install libcmph-dev)\n");
#endif
  for (std::uint64_t n : sizes) {
    std::vector<std::uint64_t> keys(n);
    for (std::uint64_t i = 0; i < n; ++i) keys[i] = splitmix64(i ^ 0x5eed);
    std::vector<std::uint64_t> sorted = keys;
    std::sort(sorted.begin(), sorted.end());

    double all_cores_sorted = 0;
    double one_sorted = 0;
    for (std::uint64_t t : {std::uint64_t{1}, cores}) {
      for (int form = 0; form < 3; ++form) {
        Result r = in_child(n, [&](Result& r) {
          double t0 = now();
          std::optional<Mphf> m;
          if (form == 0) m.emplace(Mphf::build_with_threads(sorted, t));
          else if (form == 1) m.emplace(Mphf::build_with_threads(keys, t));
          else {
            VecStream s(sorted);
            m.emplace(V2::build_from(n, KeyInput::from_stream(s), t));
          }
          r.seconds = now() - t0;
          ours_stats(*m, sorted, r);
        });
        const char* names[3] = {"sorted", "shuffled", "streamed"};
        char label[64];
        std::snprintf(label, sizeof label, "quorvale %s, %llu thread%s", names[form], static_cast<unsigned long long>(t),
                      t == 1 ? "" : "s");
        print(label, n, r, 0);
        if (form == 0 && t == cores) all_cores_sorted = r.seconds;
        if (form == 0 && t == 1) one_sorted = r.seconds;
      }
    }
    if (all_cores_sorted > 0)
      std::printf("speed-up sorted 1 -> %llu cores: %.2fx (%.2f of the core count)\n",
                  static_cast<unsigned long long>(cores), one_sorted / all_cores_sorted,
                  one_sorted / all_cores_sorted / cores);

#ifdef HAVE_BBHASH
    for (double gamma : {1.0, 2.0}) {
      for (std::uint64_t t : {std::uint64_t{1}, cores}) {
        Result r = in_child(n, [&](Result& r) {
          auto range_ = boomphf::range(keys.begin(), keys.end());
          double t0 = now();
          boomphf::mphf<std::uint64_t, boomphf::SingleHashFunctor<std::uint64_t>> bb(n, range_, static_cast<int>(t),
                                                                                      gamma, false, false);
          r.seconds = now() - t0;
          r.bits_per_key = static_cast<double>(bb.totalBitSize()) / n;
          r.ok = 1;
        });
        char label[64];
        std::snprintf(label, sizeof label, "BBHash gamma %.0f, %llu thread%s", gamma, static_cast<unsigned long long>(t),
                      t == 1 ? "" : "s");
        print(label, n, r, all_cores_sorted);
      }
    }
#endif
#ifdef HAVE_CMPH
    {
      void* lib = dlopen("libcmph.so", RTLD_NOW);
      if (!lib) lib = dlopen("libcmph.so.0", RTLD_NOW);
      if (!lib) {
        std::printf("CMPH: libcmph.so missing\n");
      } else {
        auto adapter = reinterpret_cast<decltype(&cmph_io_struct_vector_adapter)>(dlsym(lib, "cmph_io_struct_vector_adapter"));
        auto adapter_free =
            reinterpret_cast<decltype(&cmph_io_struct_vector_adapter_destroy)>(dlsym(lib, "cmph_io_struct_vector_adapter_destroy"));
        auto config_new = reinterpret_cast<decltype(&cmph_config_new)>(dlsym(lib, "cmph_config_new"));
        auto set_algo = reinterpret_cast<decltype(&cmph_config_set_algo)>(dlsym(lib, "cmph_config_set_algo"));
        auto config_free = reinterpret_cast<decltype(&cmph_config_destroy)>(dlsym(lib, "cmph_config_destroy"));
        auto make = reinterpret_cast<decltype(&cmph_new)>(dlsym(lib, "cmph_new"));
        auto packed = reinterpret_cast<decltype(&cmph_packed_size)>(dlsym(lib, "cmph_packed_size"));
        auto destroy = reinterpret_cast<decltype(&cmph_destroy)>(dlsym(lib, "cmph_destroy"));
        Result r = in_child(n, [&](Result& r) {
          cmph_io_adapter_t* source = adapter(keys.data(), 8, 0, 8, static_cast<cmph_uint32>(n));
          double t0 = now();
          cmph_config_t* config = config_new(source);
          set_algo(config, CMPH_CHD);
          cmph_t* h = make(config);
          r.seconds = now() - t0;
          config_free(config);
          if (h) {
            r.bits_per_key = packed(h) * 8.0 / n;
            r.ok = 1;
            destroy(h);
          }
          adapter_free(source);
        });
        print("CMPH CHD, 1 thread", n, r, all_cores_sorted);
      }
    }
#endif
  }
  return 0;
}
