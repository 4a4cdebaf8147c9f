// External sort against `LC_ALL=C sort -u -S <budget>` on the same keys file.
//
//   extsort_bench <keys file> <budget bytes> [generate bytes]
//
// With a third argument the keys file is (re)written first: random keys, one
// per line, about that many bytes, with repeats. Both sorts write their
// output beside the keys file; the outputs are compared byte for byte.
// First, what a run of a few keys under the full budget adds to the
// process's peak of virtual memory (VmPeak): a small sort holds little.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "extsort/extsort.hpp"

using namespace quorvale;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The process's peak of virtual memory, in kB (/proc/self/status).
long vm_peak_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmPeak:", 0) == 0) return std::stol(line.substr(7));
  return -1;
}

void generate(const std::string& path, std::uint64_t bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::exit(1);
  std::mt19937_64 rng(42);
  static const char* const words[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta",
                                      "iota", "kappa", "lambda", "mu", "nu", "xi", "omicron", "pi", "rho",
                                      "sigma", "tau", "upsilon", "phi", "chi", "psi", "omega", "été", "naïve"};
  std::uint64_t written = 0;
  char line[128];
  const std::uint64_t distinct = bytes / 30;  // about one repeat in every few keys
  while (written < bytes) {
    std::uint64_t r = rng() % distinct;
    int n = std::snprintf(line, sizeof line, "%s/%s/%llu\n", words[r % 26], words[(r / 26) % 26],
                          static_cast<unsigned long long>(r * 2654435761ULL % 1000000007ULL));
    std::fwrite(line, 1, static_cast<std::size_t>(n), f);
    written += static_cast<std::uint64_t>(n);
  }
  std::fclose(f);
}

// Reads lines of a keys file in big blocks.
template <class F>
void for_each_line(const std::string& path, F&& f) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) std::exit(1);
  std::vector<char> buf(std::size_t{8} << 20);
  std::size_t have = 0;
  for (;;) {
    ssize_t r = ::read(fd, buf.data() + have, buf.size() - have);
    if (r < 0) std::exit(1);
    std::size_t end = have + static_cast<std::size_t>(r);
    std::size_t start = 0;
    for (;;) {
      const char* nl = static_cast<const char*>(std::memchr(buf.data() + start, '\n', end - start));
      if (!nl) break;
      f(std::string_view(buf.data() + start, static_cast<std::size_t>(nl - (buf.data() + start))));
      start = static_cast<std::size_t>(nl - buf.data()) + 1;
    }
    if (r == 0) {
      if (start < end) f(std::string_view(buf.data() + start, end - start));
      break;
    }
    std::memmove(buf.data(), buf.data() + start, end - start);
    have = end - start;
  }
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <keys file> <budget bytes> [generate bytes]\n", argv[0]);
    return 2;
  }
  const std::string keys = argv[1];
  const std::size_t budget = std::strtoull(argv[2], nullptr, 10);
  if (argc > 3) generate(keys, std::strtoull(argv[3], nullptr, 10));

  {
    const long before = vm_peak_kb();
    extsort::Run tiny(budget);
    for (const char* k : {"b", "a", "c"}) tiny.push(k);
    tiny.sorted();
    std::printf("extsort: a run of 3 keys under a budget of %zu bytes: VmPeak +%ld kB\n", budget, vm_peak_kb() - before);
  }

  const std::string ours = keys + ".extsort.out", theirs = keys + ".sort.out";
  auto t0 = Clock::now();
  std::size_t runs_spilled = 0, distinct = 0;
  double sorting_s = 0, spill_s = 0;
  {
    extsort::Run run(budget);
    extsort::Runs runs(keys);
    for_each_line(keys, [&](std::string_view k) {
      if (!run.has_room(k.size())) {
        if (run.empty()) std::exit(3);
        auto ts = Clock::now();
        extsort::KeyView sorted = run.sorted();
        sorting_s += seconds_since(ts);
        ts = Clock::now();
        runs.spill(sorted);
        spill_s += seconds_since(ts);
        run.clear();
      }
      run.push(k);
    });
    std::printf("extsort: runs filled, sorted and spilled after %.2f s (sorting %.2f s, writing runs %.2f s)\n",
                seconds_since(t0), sorting_s, spill_s);
    std::FILE* out = std::fopen(ours.c_str(), "wb");
    std::vector<char> obuf(std::size_t{1} << 20);
    std::setvbuf(out, obuf.data(), _IOFBF, obuf.size());
    auto write = [&](std::string_view k) {
      std::fwrite(k.data(), 1, k.size(), out);
      std::fputc('\n', out);
      ++distinct;
    };
    if (runs.runs().empty()) {
      run.each(write);
    } else {
      if (!run.empty()) runs.spill(run.sorted());
      runs_spilled = runs.runs().size();
      runs.each(write);
    }
    std::fclose(out);
  }
  double ours_s = seconds_since(t0);
  std::printf("extsort: %.2f s, %zu runs, %zu distinct keys\n", ours_s, runs_spilled, distinct);

  if (std::getenv("EXTSORT_BENCH_ONLY_OURS")) {
    std::remove(ours.c_str());
    return 0;
  }
  if (std::system("command -v sort >/dev/null 2>&1") != 0) {
    std::printf("peer missing: sort (coreutils) is not installed; apt-get install coreutils\n");
    std::remove(ours.c_str());
    return 0;
  }
  std::string dir = keys.substr(0, keys.find_last_of('/') + 1);
  if (dir.empty()) dir = ".";
  std::string cmd = "LC_ALL=C sort -u -S " + std::to_string(budget / 1024) + "K -T '" + dir + "' -o '" + theirs +
                    "' '" + keys + "'";
  auto t1 = Clock::now();
  if (std::system(cmd.c_str()) != 0) return 1;
  double sort_s = seconds_since(t1);
  std::printf("sort -u -S %zuK: %.2f s\n", budget / 1024, sort_s);
  std::printf("ratio (sort / extsort): %.2fx\n", sort_s / ours_s);
  std::string cmp = "cmp -s '" + ours + "' '" + theirs + "'";
  bool same = std::system(cmp.c_str()) == 0;
  std::printf("outputs %s\n", same ? "identical" : "DIFFER");
  std::remove(ours.c_str());
  std::remove(theirs.c_str());
  return same ? 0 : 1;
}
