// The planner on large key sets.
//
//   plan_bench file <dir> [lines]   plan_file on a keys file of `lines` lines
//                                   (default 10^7, synthetic keys of 8 to 40
//                                   bytes, about one repeat in ten) against
//                                   `LC_ALL=C sort -u FILE > /dev/null`, three
//                                   rounds in turn: the medians, their ratio
//                                   and the load
//   plan_bench model <n> [word files...]
//                                   the model's error: plan n keys (10^6 is
//                                   well past the exact limit), build every
//                                   candidate (the exact pricing), and print
//                                   per kind the estimate, the built size and
//                                   |estimated - built| / built; on synthetic
//                                   keys, on two-word phrases of each word
//                                   list and on dense decimal ids (the thin
//                                   case)
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "estimate.hpp"

using namespace quorvale;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Processor seconds (user and system) of this process, or of its waited-for
// children: on a loaded machine the wall times say less than these.
double cpu_seconds(int who) {
  rusage u;
  getrusage(who, &u);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

// Keys of 8 to 40 bytes: a few path-like shapes over a small vocabulary and
// numbers, so that they share prefixes as real identifiers do.
std::string synthetic_key(std::mt19937_64& rng) {
  static const char* const words[] = {"user", "order", "item", "cart", "admin", "api", "v2", "static",
                                      "image", "thumb", "search", "query", "report", "daily", "eu", "us"};
  static const char alnum[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  const std::size_t len = 8 + rng() % 33;
  std::string k;
  while (k.size() < len) {
    switch (rng() % 3) {
      case 0: k += words[rng() % 16]; break;
      case 1: k += std::to_string(rng() % 100000); break;
      default:
        for (int i = 0; i < 4; ++i) k += alnum[rng() % 36];
    }
    k += k.size() % 2 ? '/' : '-';
  }
  k.resize(len);
  return k;
}

std::vector<std::string> synthetic(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::unordered_set<std::string> seen;
  std::vector<std::string> keys;
  while (keys.size() < n) {
    std::string k = synthetic_key(rng);
    if (seen.insert(k).second) keys.push_back(std::move(k));
  }
  return keys;
}

std::vector<std::string> phrases(const std::string& path, std::size_t n) {
  std::ifstream in(path);
  std::vector<std::string> words;
  for (std::string w; std::getline(in, w);)
    if (!w.empty()) words.push_back(w);
  if (words.empty()) return {};
  std::mt19937_64 rng(11);
  std::unordered_set<std::string> seen;
  std::vector<std::string> keys;
  while (keys.size() < n) {
    std::string k = words[rng() % words.size()] + " " + words[rng() % words.size()];
    if (seen.insert(k).second) keys.push_back(std::move(k));
  }
  return keys;
}

std::vector<std::string> dense_ids(std::size_t n) {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < n; ++i) keys.push_back(std::to_string(i));
  return keys;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

int file_mode(const std::string& dir, std::size_t lines) {
  const std::string path = dir + "/plan_bench_keys.txt";
  {
    std::mt19937_64 rng(42);
    std::vector<std::string> pool = synthetic(lines - lines / 10, 7);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 1;
    for (std::size_t i = 0; i < lines; ++i) {
      const std::string& k = i < pool.size() ? pool[i] : pool[rng() % pool.size()];
      std::fwrite(k.data(), 1, k.size(), f);
      std::fputc('\n', f);
    }
    std::fclose(f);
  }
  std::printf("keys file: %zu lines, %zu distinct keys of 8 to 40 bytes\n", lines, lines - lines / 10);
  const bool have_sort = std::system("command -v sort >/dev/null 2>&1") == 0;
  if (!have_sort) std::printf("peer missing: sort (coreutils) is not installed; apt-get install coreutils\n");
  // Warm the page cache for both.
  std::system(("cat '" + path + "' > /dev/null").c_str());
  // Three rounds, ours and the peer in turn; the medians of each.
  std::vector<double> ours, ours_cpu, sorts, sorts_cpu;
  double load[3] = {0, 0, 0};
  for (int round = 0; round < 3; ++round) {
    auto t0 = Clock::now();
    const double c0 = cpu_seconds(RUSAGE_SELF);
    const estimate::Plan plan = estimate::plan_file(path, {}, Objective{});
    ours.push_back(seconds_since(t0));
    ours_cpu.push_back(cpu_seconds(RUSAGE_SELF) - c0);
    std::printf("plan_file: %.2f s (%.2f processor s)", ours.back(), ours_cpu.back());
    if (round == 0) std::printf("\n%s", plan.text().c_str());
    if (have_sort) {
      auto t1 = Clock::now();
      const double c1 = cpu_seconds(RUSAGE_CHILDREN);
      if (std::system(("LC_ALL=C sort -u '" + path + "' > /dev/null").c_str()) != 0) return 1;
      sorts.push_back(seconds_since(t1));
      sorts_cpu.push_back(cpu_seconds(RUSAGE_CHILDREN) - c1);
      std::printf("%sLC_ALL=C sort -u: %.2f s (%.2f processor s)", round == 0 ? "" : "; ", sorts.back(),
                  sorts_cpu.back());
    }
    std::printf("\n");
  }
  getloadavg(load, 3);
  std::printf("median of 3: plan_file %.2f s (%.2f processor s)", median(ours), median(ours_cpu));
  if (have_sort) {
    std::printf(", sort -u %.2f s (%.2f processor s)\n", median(sorts), median(sorts_cpu));
    std::printf("plan_file / sort: %.2fx in time (goal at most 0.5x), %.2fx in processor time; load %.1f\n",
                median(ours) / median(sorts), median(ours_cpu) / median(sorts_cpu), load[0]);
  } else {
    std::printf("; load %.1f\n", load[0]);
  }
  return 0;
}

void model_error(const char* name, const std::vector<std::string>& keys) {
  if (keys.empty()) {
    std::printf("%s: no keys\n", name);
    return;
  }
  std::vector<std::string_view> sorted(keys.begin(), keys.end());
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  auto t0 = Clock::now();
  const estimate::Plan plan = estimate::plan_for(std::span<const std::string>(keys), {}, Objective{});
  const double planning = seconds_since(t0);
  t0 = Clock::now();
  const std::vector<estimate::Candidate> cands = estimate::candidates({});
  const std::vector<estimate::Estimate> built = estimate::weigh(sorted, cands);
  const double building = seconds_since(t0);
  std::printf("\n%s: %zu keys, mean length %.1f, mean shared prefix %.1f; planned in %.2f s, built in %.2f s%s\n",
              name, sorted.size(), plan.mean_length, plan.mean_lcp, planning, building,
              plan.thin() ? " (thin)" : "");
  std::printf("  %-26s %14s %14s %8s\n", "kind", "estimated", "built", "error");
  double worst = 0;
  for (const estimate::Estimate& b : built) {
    const auto e = std::find_if(plan.estimates.begin(), plan.estimates.end(), [&](const estimate::Estimate& x) {
      return x.kind == b.kind && x.block == b.block;
    });
    const double err = std::fabs(static_cast<double>(e->bytes) - static_cast<double>(b.bytes)) /
                       static_cast<double>(std::max<std::uint64_t>(b.bytes, 1));
    worst = std::max(worst, err);
    std::string label = kinds::of(b.kind).name;
    if (b.block) label += " at block " + std::to_string(*b.block);
    std::printf("  %-26s %14llu %14llu %7.1f%%\n", label.c_str(), static_cast<unsigned long long>(e->bytes),
                static_cast<unsigned long long>(b.bytes), 100 * err);
  }
  std::printf("  worst error %.1f%% (goal at most 10%%)\n", 100 * worst);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "file" && argc > 2)
    return file_mode(argv[2], argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 10000000);
  if (mode == "model" && argc > 2) {
    const std::size_t n = std::strtoull(argv[2], nullptr, 10);
    model_error("synthetic keys of 8 to 40 bytes", synthetic(n, 3));
    for (int i = 3; i < argc; ++i) model_error((std::string("two-word phrases of ") + argv[i]).c_str(), phrases(argv[i], n));
    model_error("dense decimal ids", dense_ids(n));
    return 0;
  }
  std::fprintf(stderr, "usage: %s file <dir> [lines] | model <n> [word files...]\n", argv[0]);
  return 2;
}
