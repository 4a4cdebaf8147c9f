// Character code: choice from a tally, coding, query probes and spelling back,
// on non-ASCII corpora, beside a plain UTF-8 decode of the same bytes (the
// least any per-character pass costs) and memcpy.
//
//   charcode_bench [word list ...]
//
// Each file is read one key a line (sorted and de-duplicated); two generated
// corpora (CJK words with Zipf-distributed characters, and Cyrillic paths
// under ASCII directories) always run.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_keys.hpp"
#include "charcode.hpp"
#include "utf8.hpp"

using namespace quorvale;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Best of a few runs, in seconds.
template <class F>
double best(F&& f, int runs = 5) {
  double b = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t = Clock::now();
    f();
    b = std::min(b, seconds_since(t));
  }
  return b;
}

std::string u8(std::uint32_t cp) {
  unsigned char b[4];
  return std::string(reinterpret_cast<const char*>(b), utf8::encode(cp, b));
}

std::vector<std::string> cjk_words(std::size_t n) {
  std::mt19937_64 rng(1);
  // Zipf over 6,000 characters: a few hundred carry most of the text.
  std::vector<double> cdf;
  double sum = 0;
  for (int i = 1; i <= 6000; ++i) cdf.push_back(sum += 1.0 / i);
  std::uniform_real_distribution<double> u(0, sum);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) {
    std::string w;
    for (int k = 2 + static_cast<int>(rng() % 4); k > 0; --k) {
      const auto at = std::lower_bound(cdf.begin(), cdf.end(), u(rng)) - cdf.begin();
      w += u8(0x4E00 + static_cast<std::uint32_t>(at) * 3);
    }
    out.push_back(w);
  }
  return out;
}

std::vector<std::string> cyrillic_paths(std::size_t n) {
  std::mt19937_64 rng(2);
  const char* dirs[] = {"/home/", "/srv/data/", "/media/archive/2024/"};
  std::vector<std::string> out;
  for (std::size_t i = 0; i < n; ++i) {
    std::string p = dirs[rng() % 3];
    for (int part = 0; part < 3; ++part) {
      for (int k = 3 + static_cast<int>(rng() % 8); k > 0; --k) p += u8(0x430 + static_cast<std::uint32_t>(rng() % 32));
      p += part < 2 ? "/" : ".txt";
    }
    out.push_back(p);
  }
  return out;
}

void run(const char* name, std::vector<std::string> owned) {
  std::sort(owned.begin(), owned.end());
  owned.erase(std::unique(owned.begin(), owned.end()), owned.end());
  // The keys back to back, as a build holds them.
  std::string arena;
  for (const auto& k : owned) arena += k;
  std::vector<std::string_view> keys;
  for (std::size_t at = 0; const auto& k : owned) {
    keys.emplace_back(arena.data() + at, k.size());
    at += k.size();
  }
  owned = {};
  std::uint64_t bytes = 0, high = 0;
  for (const auto& k : keys) {
    bytes += k.size();
    for (unsigned char c : k) high += c >= 0x80;
  }
  std::printf("\n%s: %zu keys, %.2f MB, %.0f%% of bytes non-ASCII\n", name, keys.size(), bytes / 1e6,
              100.0 * static_cast<double>(high) / static_cast<double>(std::max<std::uint64_t>(bytes, 1)));
  const double mb = bytes / 1e6;

  std::optional<charcode::CharCode> code;
  const double t_tally = best([&] {
    charcode::Tally t;
    for (const auto& k : keys) t.add(k);
    code = t.choose_for(t.bytes);
  });
  if (!code) {
    std::printf("  no code pays (tally and choice %.1f ms)\n", t_tally * 1e3);
    return;
  }
  std::vector<unsigned char> coded;
  std::vector<std::size_t> ends;
  const double t_encode = best([&] {
    coded.clear();
    ends.clear();
    for (const auto& k : keys) {
      if (!code->encode_key(k, coded)) std::abort();
      ends.push_back(coded.size());
    }
  });
  std::vector<unsigned char> buf;
  std::uint64_t sink = 0;
  const double t_probe = best([&] {
    for (const auto& k : keys) {
      buf.resize(2 * k.size());
      const auto p = code->probe_into({reinterpret_cast<const unsigned char*>(k.data()), k.size()}, buf.data());
      sink += p.len;
    }
  });
  std::vector<unsigned char> out(4 * coded.size());
  const double t_spell = best([&] {
    std::size_t start = 0;
    for (std::size_t e : ends) {
      const auto n = code->spell(coded.data() + start, e - start, out.data());
      sink += n ? *n : 0;
      start = e;
    }
  });
  // The reference: decode every character and touch a table, as any
  // per-character pass must.
  std::vector<std::uint32_t> table(0x110000 >> 8);
  const double t_decode = best([&] {
    for (const auto& k : keys) {
      const auto* p = reinterpret_cast<const unsigned char*>(k.data());
      for (std::size_t i = 0; i < k.size();) {
        const auto c = utf8::decode(p + i, k.size() - i);
        sink += table[c.cp >> 8];
        i += c.len ? c.len : 1;
      }
    }
  });
  std::vector<char> copy(bytes);
  const double t_copy = best([&] {
    std::size_t at = 0;
    for (const auto& k : keys) {
      std::memcpy(copy.data() + at, k.data(), k.size());
      at += k.size();
    }
    sink += copy[at / 2];
  });
  std::vector<unsigned char> section;
  code->write_to(section);
  std::printf("  code: %s, %zu characters listed in %zu groups, section %zu bytes\n",
              code->ascii_keeping() ? "ASCII-keeping" : "plain", code->listed(), code->groups().size() - 1, section.size());
  std::printf("  size: %.2f MB coded of %.2f MB raw (%.3f)\n", coded.size() / 1e6, mb,
              static_cast<double>(coded.size()) / static_cast<double>(bytes));
  std::printf("  tally + choice   %8.1f MB/s  (%.1f ms)\n", mb / t_tally, t_tally * 1e3);
  std::printf("  encode_key       %8.1f MB/s\n", mb / t_encode);
  std::printf("  probe_into       %8.1f MB/s\n", mb / t_probe);
  std::printf("  spell (decode)   %8.1f MB/s of output\n", mb / t_spell);
  std::printf("  UTF-8 decode     %8.1f MB/s   encode / decode = %.2f, spell / decode = %.2f\n", mb / t_decode,
              t_decode / t_encode, t_decode / t_spell);
  std::printf("  memcpy of keys   %8.1f MB/s\n", mb / t_copy);
  if (sink == 42) std::printf(" ");
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    auto keys = bench::read_lines(argv[i]);
    if (keys.empty()) {
      std::printf("\n%s: missing or empty, skipped\n", argv[i]);
      continue;
    }
    run(argv[i], std::move(keys));
  }
  run("generated CJK words", cjk_words(1'000'000));
  run("generated Cyrillic paths", cyrillic_paths(1'000'000));
}
