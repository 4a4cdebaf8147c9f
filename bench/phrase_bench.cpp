// Phrase mining and split choice on URL and path corpora, by hand
// (bench/phrase_bench.sh makes the corpora and runs it):
//
//   phrase_bench <name> <keys file | urls:N> [block ...]
//
// The keys (one a line, or N distinct seeded generated URLs) are sorted and
// de-duplicated. For each block size (256 and 1024 by default) the bench
// samples every shard's entry suffixes as a dictionary build does, trains one
// symbol table a shard, runs the packed-alphabet check and mines the phrases
// at 1, 4, all processors and 21 threads (the phrases must be identical).
// Then every shard is tried under the Tiered codec as the shard encoder will
// do: its entries' suffixes sampled, the split settled, every suffix coded.
// Printed: the time of each step, mining's stages, the phrase count and
// dictionary size, and the suffix bytes under the symbol table alone and
// with phrases where they save more than 3 % (suffix bytes only: run headers
// are not priced here). There is no peer: a dictionary peer (marisa) is
// compared once whole dictionaries exist.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "bench_keys.hpp"
#include "fsst.hpp"
#include "phrase.hpp"
#include "threads.hpp"

using namespace quorvale;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// Seeded URLs: a few hundred hosts, Zipf-distributed path words from a
// syllable vocabulary, dates, numeric ids, file names and query strings.
std::vector<std::string> generated_urls(std::size_t n) {
  std::mt19937_64 rng(2024);
  static const char* syl[] = {"ka", "lo", "mi", "ne", "tra", "sor", "vel", "un", "dex", "por", "tal", "ion", "ser",
                              "vi", "ce", "pro", "duct", "cat", "ego", "ry", "as", "set", "im", "age", "us", "er"};
  auto word = [&](std::mt19937_64& r) {
    std::string w;
    const int k = 2 + static_cast<int>(r() % 3);
    for (int i = 0; i < k; ++i) w += syl[r() % 26];
    return w;
  };
  std::vector<std::string> vocab(3000), hosts(300);
  for (auto& w : vocab) w = word(rng);
  static const char* tlds[] = {".com", ".org", ".net", ".de", ".co.uk", ".io"};
  for (auto& h : hosts) {
    if (rng() % 3) h += "www.";
    h += word(rng);
    if (rng() % 4 == 0) {
      h += '-';
      h += word(rng);
    }
    h += tlds[rng() % 6];
  }
  static const char* exts[] = {".html", ".php", ".jpg", ".png", ".pdf", "", "/", ".json"};
  // Zipf-like ranks: the square of a uniform fraction.
  auto zipf = [&](std::size_t m) {
    const double u = static_cast<double>(rng() >> 11) / 9007199254740992.0;
    return static_cast<std::size_t>(u * u * u * static_cast<double>(m));
  };
  std::unordered_set<std::string> seen;
  std::vector<std::string> out;
  out.reserve(n);
  while (out.size() < n) {
    std::string s = rng() % 5 ? "https://" : "http://";
    s += hosts[zipf(hosts.size())];
    const int depth = 1 + static_cast<int>(rng() % 4);
    for (int d = 0; d < depth; ++d) {
      s += '/';
      const unsigned kind = rng() % 10;
      if (kind == 0) {
        s += std::to_string(2015 + rng() % 10) + "/" + std::to_string(1 + rng() % 12);
      } else if (kind == 1) {
        s += std::to_string(rng() % 100000);
      } else {
        s += vocab[zipf(vocab.size())];
      }
    }
    s += exts[rng() % 8];
    if (rng() % 6 == 0) s += "?id=" + std::to_string(rng() % 1000000);
    if (seen.insert(s).second) out.push_back(std::move(s));
  }
  return out;
}

std::vector<std::string> load_keys(const std::string& source) {
  std::vector<std::string> keys;
  if (source.rfind("urls:", 0) == 0) {
    keys = generated_urls(std::stoull(source.substr(5)));
  } else {
    keys = bench::read_lines(source);
  }
  bench::sort_distinct(keys);
  return keys;
}

// The keys back to back in one buffer, as a build holds them.
struct Keys {
  std::string bytes;
  std::vector<std::size_t> ends;
  std::size_t size() const { return ends.size(); }
  std::string_view operator[](std::size_t i) const {
    const std::size_t from = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(from, ends[i] - from);
  }
};

std::size_t micro_for(std::size_t block) {
  std::size_t s = 0;
  while ((s + 1) * (s + 1) <= block) ++s;
  if (s < 32)
    for (std::size_t i = std::max<std::size_t>(s, 16); i <= 31; ++i)
      if (block % i == 0) return i;
  for (std::size_t d = 32; d >= 3; --d)
    if (block % d == 0) return d;
  return block % 2 == 0 ? 2 : block;
}

std::size_t lcp(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return i;
}

fsst::Bytes tail(std::string_view key, std::size_t from) {
  return {reinterpret_cast<const unsigned char*>(key.data()) + from, key.size() - from};
}

// A shard's entry suffixes: every key but a block's head, against the
// previous restart when it starts a microblock, else its predecessor. With
// `stride`, only whole 256-key chunks c with c mod stride = 0 (the build's
// training sample); without, all of them (what the encoder codes).
void suffixes(const Keys& keys, std::size_t from, std::size_t to, std::size_t block,
              std::size_t micro, std::size_t stride, std::vector<fsst::Bytes>& out) {
  std::size_t restart = from;
  for (std::size_t i = from; i < to; ++i) {
    const std::size_t d = i % block;
    if (d == 0) {
      restart = i;
      continue;
    }
    const bool starts = d % micro == 0;
    if (((i - from) / 256) % stride == 0) {
      const std::string_view ref = starts ? keys[restart] : keys[i - 1];
      out.push_back(tail(keys[i], lcp(keys[i], ref)));
    }
    if (starts) restart = i;
  }
}

void run(const std::string& name, const Keys& keys, std::size_t block) {
  const std::size_t n = keys.size();
  const std::size_t micro = micro_for(block);
  const std::size_t shard_keys = std::min<std::size_t>(65536 / block, 65535) * block;
  const std::size_t shards = std::max<std::size_t>(1, (n + shard_keys - 1) / shard_keys);
  const std::size_t procs = online_processors();
  std::printf("\n== %s: %zu keys, block %zu (micro %zu), %zu shards, %zu processors\n", name.c_str(), n, block, micro,
              shards, procs);

  auto t0 = Clock::now();
  std::vector<std::vector<fsst::Bytes>> pieces(shards);
  for (std::size_t s = 0; s < shards; ++s) {
    const std::size_t from = s * shard_keys, to = std::min(n, from + shard_keys);
    suffixes(keys, from, to, block, micro, std::max<std::size_t>(1, (to - from) / 10000), pieces[s]);
  }
  auto t1 = Clock::now();
  std::vector<fsst::Table> tables(shards);
  std::atomic<std::size_t> next{0};
  run_workers(std::min<std::size_t>({procs, 21, shards}), [&](std::size_t) {
    for (std::size_t s; (s = next.fetch_add(1)) < shards;) tables[s] = fsst::Table::train_to(pieces[s], 255);
  });
  auto t2 = Clock::now();
  const bool packed = phrase::packed_only(pieces, tables);
  auto t3 = Clock::now();
  std::size_t sampled = 0;
  for (const auto& p : pieces) sampled += p.size();
  std::printf("sampling %.3f s (%zu suffixes), tables %.3f s, packed_only %.4f s (%s)\n", seconds(t0, t1), sampled,
              seconds(t1, t2), seconds(t2, t3), packed ? "packed wins: no phrases" : "mine");
  if (packed) return;

  const std::size_t budget = std::min<std::size_t>(std::max<std::size_t>(n / 8, 4096), 524288);
  std::vector<std::string> phrases;
  double one_thread = 0;
  for (const std::size_t threads : {std::size_t{1}, std::size_t{4}, procs, std::size_t{21}}) {
    phrase::MineStats st;
    const auto a = Clock::now();
    auto got = phrase::mine(pieces, tables, n, budget, threads, &st);
    const double t = seconds(a, Clock::now());
    std::printf("mine at %2zu threads: %.3f s: pilot %.3f, counting %.3f %.3f %.3f, merging %.3f %.3f %.3f, held-out %.3f",
                threads, t, st.pilot_s, st.count_s[0], st.count_s[1], st.count_s[2], st.merge_s[0], st.merge_s[1],
                st.merge_s[2], st.worth_s);
    if (threads == 1) {
      std::printf("\n");
      one_thread = t;
      phrases = std::move(got);
      std::printf("mine: %zu strings sampled, pilot %s (%zu phrases), rounds %zu kept %zu / %zu / %zu, budget %zu\n",
                  st.strings, st.pilot ? "ran" : "skipped", st.pilot_phrases, st.rounds, st.kept[0], st.kept[1],
                  st.kept[2], budget);
    } else {
      std::printf(" (x%.2f), %s\n", one_thread / t, got == phrases ? "same phrases" : "DIFFERENT PHRASES");
    }
  }
  if (phrases.empty()) {
    std::printf("no phrases\n");
    return;
  }
  const auto a = Clock::now();
  const phrase::Trie trie = phrase::Trie::of(phrases);
  const auto b = Clock::now();
  const phrase::Dict dict = phrase::Dict::of(phrases);
  std::printf("%zu phrases, dictionary section %llu bytes, trie %zu cells built in %.4f s\n", phrases.size(),
              static_cast<unsigned long long>(dict.section_len()), trie.cells().size(), seconds(a, b));
  std::printf("top phrases:");
  for (std::size_t i = 0; i < std::min<std::size_t>(8, phrases.size()); ++i) std::printf(" \"%s\"", phrases[i].c_str());
  std::printf("\n");

  // The tiered trial of every shard, on one thread.
  phrase::Scratch scratch;
  std::vector<unsigned char> out;
  std::uint64_t symbol_bytes = 0, best_bytes = 0, raw_bytes = 0, entries = 0;
  std::size_t tiered = 0;
  double settle_s = 0, code_s = 0;
  for (std::size_t s = 0; s < shards; ++s) {
    const std::size_t from = s * shard_keys, to = std::min(n, from + shard_keys);
    std::vector<fsst::Bytes> all;
    suffixes(keys, from, to, block, micro, 1, all);
    const fsst::Encoder enc = tables[s].encoder();
    std::uint64_t sym = 0;
    for (const auto& x : all) {
      raw_bytes += x.size();
      out.clear();
      enc.encode(x, out);
      sym += out.size();
    }
    entries += all.size();
    symbol_bytes += sym;
    std::vector<fsst::Bytes> samples;
    const std::size_t k = std::max<std::size_t>(1, all.size() >> 13);
    for (std::size_t i = 0; i < all.size(); i += k) samples.push_back(all[i]);
    const auto c = Clock::now();
    const phrase::Settled settled = phrase::settle(samples, tables[s], trie.cells(), phrases.size(), scratch);
    const auto d = Clock::now();
    settle_s += seconds(c, d);
    std::uint64_t with = sym;
    if (settled.split) {
      const fsst::Encoder tenc = settled.table.encoder();
      out.clear();
      std::uint64_t coded = 0;
      for (const auto& x : all) coded += phrase::encode(x, tenc, trie.cells(), *settled.split, scratch, out);
      code_s += seconds(d, Clock::now());
      out.clear();
      if (coded * 100 < sym * 97) {
        with = coded;
        ++tiered;
      }
    }
    best_bytes += with;
  }
  std::printf("settle %.2f ms a shard; tiered coding %.1f MB/s of suffix bytes; %zu of %zu shards tiered\n",
              1000 * settle_s / static_cast<double>(shards),
              code_s > 0 ? static_cast<double>(raw_bytes) / code_s / 1e6 : 0.0, tiered, shards);
  std::printf("suffix bytes: raw %llu, symbols %llu (%.3f), with phrases %llu (%.3f) + dictionary %llu: %.3f of symbols\n",
              static_cast<unsigned long long>(raw_bytes), static_cast<unsigned long long>(symbol_bytes),
              static_cast<double>(symbol_bytes) / static_cast<double>(raw_bytes),
              static_cast<unsigned long long>(best_bytes),
              static_cast<double>(best_bytes) / static_cast<double>(raw_bytes),
              static_cast<unsigned long long>(dict.section_len()),
              static_cast<double>(best_bytes + dict.section_len()) / static_cast<double>(symbol_bytes));
  std::printf("%.2f suffix bytes a key with symbols, %.2f with phrases (dictionary included), %llu entries\n",
              static_cast<double>(symbol_bytes) / static_cast<double>(n),
              static_cast<double>(best_bytes + dict.section_len()) / static_cast<double>(n),
              static_cast<unsigned long long>(entries));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: phrase_bench <name> <keys file | urls:N> [block ...]\n");
    return 2;
  }
  const auto a = Clock::now();
  Keys keys;
  {
    const std::vector<std::string> loaded = load_keys(argv[2]);
    for (const std::string& k : loaded) {
      keys.bytes += k;
      keys.ends.push_back(keys.bytes.size());
    }
  }
  std::printf("%s: %zu distinct keys loaded in %.2f s\n", argv[1], keys.size(), seconds(a, Clock::now()));
  std::vector<std::size_t> blocks;
  for (int i = 3; i < argc; ++i) blocks.push_back(std::stoul(argv[i]));
  if (blocks.empty()) blocks = {256, 1024};
  for (const std::size_t b : blocks) run(argv[1], keys, b);
  return 0;
}
