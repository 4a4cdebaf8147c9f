// Phrases in whole dictionaries, by hand (bench/phrase_bench.sh makes the
// corpora and runs it):
//
//   phrase_bench <name> <keys file | urls:N> [block ...] [claim=B]
//
// The keys (one a line, or N distinct seeded generated URLs) are sorted and
// de-duplicated. For each block size (256 and 1024 by default) the build is
// run stage by stage as `dict_index::Layout::from_sorted_as` runs it (training
// material, tables, phrase mining, encoding), then encoded again from the
// same tables without phrases (`Phrases::none()`). Printed: bytes a key with
// and without phrases, the phrase count and how many shards took the tiered
// codec, each stage's time, mining's share of the build and the build time
// with and without it; then the whole raw build at 1, 4, all processors and
// 21 threads, with its time and whether it wrote the same bytes; and the
// bytes of `dict_index::Layout::build_with_block` (the road a user takes, with the
// character-code choice). The peer is marisa (Debian's libmarisa-dev): its
// trie over the same keys, built with the default settings, its saved size
// and build time, and the size ratio ours / marisa.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "bench_keys.hpp"
#include "dict_index/layout.hpp"
#include "threads.hpp"

#ifdef QUORVALE_HAVE_MARISA
#include <marisa.h>
#endif

using namespace quorvale;
using dict_index::Key;
using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }
double since(Clock::time_point a) { return seconds(a, Clock::now()); }

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

std::vector<unsigned char> blob_of(const dict_index::Layout& d) {
  std::vector<unsigned char> out;
  out.reserve(d.serialized_len());
  d.write_to([&](std::span<const unsigned char> s) { out.insert(out.end(), s.begin(), s.end()); });
  return out;
}

std::size_t tiered_shards(const dict_index::Layout& d) {
  return static_cast<std::size_t>(std::count_if(d.codecs.begin(), d.codecs.end(), [](const dict_index::Codec& c) {
    return std::holds_alternative<dict_index::Codec::Tiered>(c.v);
  }));
}

struct Peer {
  bool present = false;
  double bytes = 0;
  double seconds = 0;
};

Peer marisa_of(const std::vector<Key>& keys) {
  Peer p;
#ifdef QUORVALE_HAVE_MARISA
  marisa::Keyset set;
  for (Key k : keys) set.push_back(k.data(), k.size());
  const auto a = Clock::now();
  marisa::Trie trie;
  trie.build(set);
  p.seconds = since(a);
  p.bytes = static_cast<double>(trie.io_size());
  p.present = true;
#else
  (void)keys;
#endif
  return p;
}

void run(const std::vector<Key>& keys, std::size_t block, const Peer& marisa, double claim) {
  const std::uint64_t n = keys.size();
  const std::uint64_t micro = dict_index::micro_for(block);
  const std::size_t threads = dict_index::build_threads(n, block);
  const std::size_t t = std::min<std::size_t>(threads, 21);
  const std::size_t procs = online_processors();
  const double keys_d = static_cast<double>(n);
  std::printf("\n-- block %zu (micro %llu): %zu build workers, %zu for training and mining, %zu processors\n", block,
              static_cast<unsigned long long>(micro), threads, t, procs);

  // Each stage's best of three runs (one for ten million keys and more).
  const int rounds = n < 5'000'000 ? 3 : 1;
  double pieces_s = 1e300, train_s = 1e300, mine_s = 1e300, encode_s = 1e300, plain_s = 1e300;
  auto timed = [](double& best, auto&& f) {
    const auto a = Clock::now();
    auto r = f();
    best = std::min(best, since(a));
    return r;
  };
  dict_index::Pieces pieces;
  std::vector<fsst::Table> tables;
  dict_index::Phrases phrases;
  std::uint64_t with_len = 0, without_len = 0, stored = 0;
  std::size_t tiered = 0, shards = 0;
  for (int r = 0; r < rounds; ++r) {
    pieces = timed(pieces_s, [&] { return dict_index::build_pieces(keys, block, micro, false); });
    tables = timed(train_s, [&] { return dict_index::train_shards(pieces, t); });
    phrases = timed(mine_s, [&] { return dict_index::mine_phrases(pieces, tables, n, t); });
    const dict_index::Layout with =
        timed(encode_s, [&] { return dict_index::Layout::from_vocabulary(keys, block, micro, threads, tables, phrases); });
    const dict_index::Layout without = timed(plain_s, [&] {
      return dict_index::Layout::from_vocabulary(keys, block, micro, threads, tables, dict_index::Phrases::none());
    });
    with_len = with.serialized_len();
    without_len = without.serialized_len();
    stored = with.phrases.count();
    tiered = tiered_shards(with);
    shards = with.codecs.size();
  }
  const bool packed = phrase::packed_only(pieces, tables);
  auto a = Clock::now();

  const double wb = static_cast<double>(with_len), pb = static_cast<double>(without_len);
  std::printf("phrases mined %u (section %llu bytes)%s, kept %s; tiered shards %zu of %zu\n", phrases.dict.count(),
              static_cast<unsigned long long>(phrases.dict.section_len()),
              packed ? " (the packed alphabet wins: not mined)" : "",
              stored ? "in the index" : "nowhere (no shard tiered)", tiered, shards);
  std::printf("bytes/key: with phrases %.3f, without %.3f (with / without %.3f)", wb / keys_d, pb / keys_d, wb / pb);
  if (marisa.present)
    std::printf("; marisa %.3f (ours / marisa: with %.3f, without %.3f)", marisa.bytes / keys_d, wb / marisa.bytes,
                pb / marisa.bytes);
  std::printf("\n");
  if (with_len > without_len) std::printf("WITH PHRASES LARGER than without: the worth rule let a loss through\n");
  if (claim > 0 && block == 256)
    std::printf("against the documented %.2f B/key: ours %.3f (ours / documented %.3f)\n", claim, wb / keys_d,
                wb / keys_d / claim);
  const double build_with = pieces_s + train_s + mine_s + encode_s, build_without = pieces_s + train_s + plain_s;
  std::printf("stages: training material %.3f s, tables %.3f s, mining %.3f s, encoding %.3f s (without phrases %.3f s)\n",
              pieces_s, train_s, mine_s, encode_s, plain_s);
  std::printf("build %.3f s with phrases, %.3f s without (x%.2f); mining %.1f %% of the build\n", build_with,
              build_without, build_with / build_without, 100 * mine_s / build_with);
  if (marisa.present) std::printf("marisa build %.3f s\n", marisa.seconds);

  std::vector<unsigned char> first;
  for (std::size_t th : {std::size_t{1}, std::size_t{4}, procs, std::size_t{21}}) {
    a = Clock::now();
    const dict_index::Layout d = dict_index::Layout::from_sorted_as(keys, block, micro, th, n);
    const double s = since(a);
    std::vector<unsigned char> b = blob_of(d);
    const bool same = first.empty() || b == first;
    if (first.empty()) first = std::move(b);
    std::printf("from_sorted_as at %2zu threads: %.3f s, %s\n", th, s, same ? "same bytes" : "DIFFERENT BYTES");
  }
  std::vector<Key> unsorted(keys.begin(), keys.end());
  const dict_index::Layout road = dict_index::Layout::build_with_block(std::move(unsorted), block);
  std::printf("build_with_block: %.3f bytes/key%s\n", static_cast<double>(road.serialized_len()) / keys_d,
              road.chars ? " (spelled in a character code)" : "");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: phrase_bench <name> <keys file | urls:N> [block ...] [claim=B]\n");
    return 2;
  }
  const auto a = Clock::now();
  const std::vector<std::string> loaded = load_keys(argv[2]);
  const std::vector<Key> keys(loaded.begin(), loaded.end());
  std::size_t bytes = 0;
  for (Key k : keys) bytes += k.size();
  std::printf("\n== %s: %zu distinct keys, %.1f bytes a key, loaded in %.2f s\n", argv[1], keys.size(),
              keys.empty() ? 0.0 : static_cast<double>(bytes) / static_cast<double>(keys.size()), since(a));
  const Peer marisa = marisa_of(keys);
  if (!marisa.present) std::printf("marisa: missing (install libmarisa-dev and rebuild to compare)\n");
  std::vector<std::size_t> blocks;
  double claim = 0;
  for (int i = 3; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("claim=")) {
      claim = std::stod(std::string(arg.substr(6)));
    } else {
      blocks.push_back(std::stoul(argv[i]));
    }
  }
  if (blocks.empty()) blocks = {256, 1024};
  for (const std::size_t b : blocks) run(keys, b, marisa, claim);
  return 0;
}
