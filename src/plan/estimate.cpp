// The planner's arithmetic: candidates, the shape and the two draws of a key
// set, the rates of a sample dictionary, the latency model and the ranking,
// the plan text, and the reading of a keys file into sorted distinct keys.
// The builds that price candidates and the two entry points are in
// estimate_plan.cpp.
#include "estimate.hpp"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <compare>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <system_error>
#include <thread>

#include "dict_index/dict_index.hpp"
#include "error.hpp"
#include "extsort/extsort.hpp"
#include "line_reader.hpp"
#include "threads.hpp"
#include "ties.hpp"
#include "utf8.hpp"

namespace quorvale::estimate {

// ---- needs, objectives and candidates ---------------------------------------------

std::vector<Candidate> candidates(const Needs& needs) {
  using K = kinds::Kind;
  const Candidate compact{K::CompactHashIndex, std::nullopt}, closed{K::ClosedHashIndex, std::nullopt},
      perfect{K::PerfectHashIndex, std::nullopt}, string{K::StringIndex, std::nullopt}, d32{K::DictIndex, 32},
      d256{K::DictIndex, 256}, d1024{K::DictIndex, 1024};
  if (needs.fuzzy) return {string};
  if (!needs.reverse && !needs.ordered && !needs.prefix && !needs.exact)
    return {compact, closed, perfect, string, d32, d256, d1024};
  if (needs.ordered || needs.prefix) return {string, d32, d256, d1024};
  return {perfect, string, d32, d256, d1024};
}

Needs effective_needs(const Needs& needs, const Objective& objective) {
  Needs out = needs;
  if (objective.tag == Objective::Tag::Workload) {
    const Workload& w = objective.workload;
    if (w.reverse != 0) out.reverse = true;
    if (w.prefix != 0 || w.common_prefix != 0 || w.longest_prefix != 0) out.prefix = true;
  }
  return out;
}

// ---- shape statistics and samples --------------------------------------------------

namespace {

std::uint64_t common_prefix(std::string_view a, std::string_view b) noexcept {
  auto bytes = [](std::string_view s) {
    return ties::Bytes(reinterpret_cast<const unsigned char*>(s.data()), s.size());
  };
  return ties::common_prefix(bytes(a), bytes(b));
}

std::uint64_t non_ascii_bytes(std::string_view s) noexcept {
  constexpr std::uint64_t HIGH = 0x8080808080808080ULL;
  std::uint64_t count = 0;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    count += static_cast<std::uint64_t>(std::popcount(w & HIGH));
  }
  for (; i < s.size(); ++i) count += static_cast<unsigned char>(s[i]) >> 7;
  return count;
}

template <class K>
void sort_bytewise(std::vector<K>& keys) {
  // std::string and std::string_view compare as unsigned bytes.
  std::sort(keys.begin(), keys.end());
}

}  // namespace

void ShapeWalk::push(std::string_view key) {
  const std::uint64_t a = shape_.count;
  shape_.bytes += key.size();
  shape_.non_ascii += non_ascii_bytes(key);
  if (a > 0) shape_.lcp_prev += common_prefix(key, ring_[(a - 1) % 32]);
  if (a >= 32) {
    shape_.lcp_back32 += common_prefix(key, ring_[a % 32]);
    ++shape_.back32_count;
  }
  ring_[a % 32].assign(key);
  shape_.count = a + 1;
}

template <class K>
void HashSample<K>::trim() {
  if (entries_.size() <= capacity_) return;
  auto by_hash = [](const auto& x, const auto& y) { return x.first < y.first; };
  std::nth_element(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(capacity_ - 1), entries_.end(),
                   by_hash);
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(capacity_), entries_.end());
  // The selection put the largest kept hash at the cut.
  threshold_ = entries_.back().first;
}

template <class K>
std::vector<K> HashSample<K>::draw() && {
  trim();
  std::vector<K> keys;
  keys.reserve(entries_.size());
  for (auto& e : entries_) keys.push_back(std::move(e.second));
  decltype(entries_)().swap(entries_);
  sort_bytewise(keys);
  return keys;
}

template <class K>
void RunSample<K>::trim() {
  if (runs_.size() <= capacity_) return;
  const bool was_open = open_ != NONE;
  const std::uint64_t open_head = was_open ? runs_[open_].first : 0;
  auto by_head = [](const auto& x, const auto& y) { return x.first < y.first; };
  std::nth_element(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(capacity_ - 1), runs_.end(), by_head);
  runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(capacity_), runs_.end());
  threshold_ = runs_.back().first;
  open_ = NONE;
  if (was_open) {
    for (std::size_t i = 0; i < runs_.size(); ++i) {
      if (runs_[i].first == open_head) {
        open_ = i;
        break;
      }
    }
  }
}

template <class K>
std::vector<K> RunSample<K>::draw() && {
  trim();
  std::size_t total = 0;
  for (const auto& r : runs_) total += r.second.size();
  std::vector<K> keys;
  keys.reserve(total);
  for (auto& r : runs_)
    for (auto& k : r.second) keys.push_back(std::move(k));
  decltype(runs_)().swap(runs_);
  open_ = NONE;
  sort_bytewise(keys);
  return keys;
}

template class HashSample<std::string>;
template class HashSample<std::string_view>;
template class RunSample<std::string>;
template class RunSample<std::string_view>;

// ---- the scan of keys in memory --------------------------------------------------

namespace {

// The keys a worker of a scan takes at a time.
constexpr std::size_t SCAN_SLICE = std::size_t{1} << 16;

// (sample hash, position) of a drawn key or a run head.
using Hashed = std::pair<std::uint64_t, std::uint64_t>;

// Keeps the `keep` smallest hashes first (unstable, as a sample's trim).
// Keeps the `keep` entries of least hash (`hash_of`), in no order.
template <class T, class HashOf>
void keep_least(std::vector<T>& v, std::size_t keep, HashOf hash_of) {
  if (v.size() <= keep) return;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(keep - 1), v.end(),
                   [&](const T& x, const T& y) { return hash_of(x) < hash_of(y); });
  v.resize(keep);
}

void keep_smallest(std::vector<Hashed>& v, std::size_t keep) {
  keep_least(v, keep, [](const Hashed& h) { return h.first; });
}

// What the slices one worker scanned contribute: their part of the shape's
// sums, and the candidates of the two draws.
struct PartScan {
  Shape shape;
  std::vector<Hashed> hashed;  // a bottom-k of those keys by sample hash
  std::vector<Hashed> heads;   // every run head among them
};

// Adds the sums of ShapeWalk::push over keys lo..hi to the part, reading the
// keys before lo for the common prefixes; with draws, the keys' candidates.
// `threshold` is shared by all parts: any part's k-th smallest hash bounds
// the whole set's, so hashes above the least of them are never drawn.
template <class Keys>
void scan_slice(const Keys& keys, std::size_t lo, std::size_t hi, bool with_draws,
                std::atomic<std::uint64_t>& threshold, PartScan& out) {
  constexpr std::size_t AHEAD = 16;
  Shape& s = out.shape;
  for (std::size_t i = lo; i < hi; ++i) {
    if (i + AHEAD < hi) {
      const std::string_view next = keys[i + AHEAD];
      __builtin_prefetch(next.data());
      if (!next.empty()) __builtin_prefetch(next.data() + next.size() - 1);
    }
    const std::string_view key = keys[i];
    s.bytes += key.size();
    s.non_ascii += non_ascii_bytes(key);
    if (i > 0) s.lcp_prev += common_prefix(key, keys[i - 1]);
    if (i >= 32) {
      s.lcp_back32 += common_prefix(key, keys[i - 32]);
      ++s.back32_count;
    }
    if (!with_draws) continue;
    const std::uint64_t h = sample_hash(key);
    if (i % RUN_LEN == 0) out.heads.emplace_back(h, i);
    if (h > threshold.load(std::memory_order_relaxed)) continue;
    out.hashed.emplace_back(h, i);
    if (out.hashed.size() >= 2 * HASH_SAMPLE) {
      keep_smallest(out.hashed, HASH_SAMPLE);
      const std::uint64_t kept = std::max_element(out.hashed.begin(), out.hashed.end())->first;
      std::uint64_t seen = threshold.load(std::memory_order_relaxed);
      while (kept < seen && !threshold.compare_exchange_weak(seen, kept, std::memory_order_relaxed)) {
      }
    }
  }
  s.count += hi - lo;
}

template <class Keys>
Scan scan_keys(const Keys& keys, bool with_draws, std::size_t threads, const StopProbe& stop) {
  const std::size_t n = keys.size();
  const std::size_t slices = std::max<std::size_t>(1, (n + SCAN_SLICE - 1) / SCAN_SLICE);
  const std::size_t workers = std::min(slices, threads == 0 ? online_processors() : threads);
  std::vector<PartScan> parts(workers);
  std::atomic<std::uint64_t> threshold{~std::uint64_t{0}};
  std::atomic<std::size_t> next{0};
  // Each worker sums and draws over all the slices it claims, so that its
  // candidates are trimmed as one sample's would be.
  run_workers(workers, [&](std::size_t w, const FirstError& first) {
    for (std::size_t p; !first.failed() && (p = next.fetch_add(1)) < slices;) {
      stop_if(stop);
      scan_slice(keys, p * n / slices, (p + 1) * n / slices, with_draws, threshold, parts[w]);
    }
  });

  Scan out;
  Shape& shape = out.shape;
  std::vector<Hashed> hashed, heads;
  for (PartScan& part : parts) {
    shape += part.shape;
    keep_smallest(part.hashed, HASH_SAMPLE);
    hashed.insert(hashed.end(), part.hashed.begin(), part.hashed.end());
    heads.insert(heads.end(), part.heads.begin(), part.heads.end());
    part = PartScan();
  }
  if (!with_draws) return out;
  // The bottom-k of the whole set, and the runs of the smallest heads: what
  // the two samples keep, laid out in key order (so already sorted bytewise).
  auto by_position = [](const Hashed& x, const Hashed& y) { return x.second < y.second; };
  keep_smallest(hashed, HASH_SAMPLE);
  std::sort(hashed.begin(), hashed.end(), by_position);
  out.draws.hash.reserve(hashed.size());
  for (const Hashed& h : hashed) out.draws.hash.push_back(keys[h.second]);
  keep_smallest(heads, RUN_SAMPLE);
  std::sort(heads.begin(), heads.end(), by_position);
  for (const Hashed& h : heads)
    for (std::size_t i = h.second; i < std::min<std::size_t>(n, h.second + RUN_LEN); ++i)
      out.draws.run.push_back(keys[i]);
  return out;
}

}  // namespace

Scan scan(std::span<const std::string_view> keys, bool with_draws, std::size_t threads, const StopProbe& stop) {
  return scan_keys(keys, with_draws, threads, stop);
}

Scan scan(const extsort::KeyView& keys, bool with_draws, std::size_t threads, const StopProbe& stop) {
  return scan_keys(keys, with_draws, threads, stop);
}

Draws<std::string_view> draws(std::span<const std::string_view> keys) { return scan(keys, true).draws; }

// ---- the scan of keys replayed one at a time ----------------------------------------

namespace {

// Keys a block holds: a whole number of the run draw's runs, so that every
// run lies in one block.
constexpr std::size_t BLOCK_KEYS = 64 * RUN_LEN;
// The keys a worker scans at a time.
constexpr std::size_t BLOCK_SLICE = std::size_t{1} << 14;
// The keys before a block that its common prefixes read.
constexpr std::size_t BACK = 32;

// Keys gathered for a scan: `context` keys from before the block, then the
// block's own, the first of which is at `base` in the whole key set.
struct Block {
  std::vector<char> bytes;
  std::vector<std::pair<std::size_t, std::size_t>> spans;  // start, length
  std::uint64_t base = 0;
  std::size_t context = 0;

  void push(std::string_view key) {
    spans.emplace_back(bytes.size(), key.size());
    bytes.insert(bytes.end(), key.begin(), key.end());
  }
  std::string_view at(std::size_t i) const { return {bytes.data() + spans[i].first, spans[i].second}; }
  std::size_t keys() const noexcept { return spans.size() - context; }
};

// A block's keys by their position in the whole key set, as scan_slice reads them.
struct BlockKeys {
  const Block& block;
  std::string_view operator[](std::size_t at) const {
    return block.at(static_cast<std::size_t>(at - block.base) + block.context);
  }
};

struct KeptKey {
  std::uint64_t hash;
  std::uint64_t at;
  std::string key;
};

struct KeptRun {
  std::uint64_t hash;
  std::uint64_t at;
  std::vector<std::string> keys;
};

template <class T>
void keep_least(std::vector<T>& v, std::size_t keep) {
  keep_least(v, keep, [](const T& x) { return x.hash; });
}

}  // namespace

struct StreamScan::Impl {
  StopProbe stop;
  // One processor is left to the thread that feeds the blocks.
  std::size_t threads = std::max<std::size_t>(online_processors(), 2) - 1;
  Block blocks[2];
  std::size_t filling = 0;
  Shape shape;
  // Bounds the hash draw as in `scan`, lowered by what is kept so far.
  std::atomic<std::uint64_t> threshold{~std::uint64_t{0}};
  std::vector<KeptKey> hashed;  // the least sample hashes so far, keys copied
  std::vector<KeptRun> runs;    // the runs of the least head hashes so far
  std::exception_ptr failure;   // of the block scanned apart
  std::jthread scanner;         // last: joined before the rest goes

  // Adds a block's sums and candidates; the block may be reused afterwards.
  void scan_block(const Block& block) {
    const std::uint64_t lo = block.base;
    const std::size_t n = block.keys();
    if (n == 0) return;
    const std::size_t slices = (n + BLOCK_SLICE - 1) / BLOCK_SLICE;
    const std::size_t workers = std::min(slices, threads);
    std::vector<PartScan> parts(workers);
    std::atomic<std::size_t> next{0};
    const BlockKeys keys{block};
    run_workers(workers, [&](std::size_t w, const FirstError& first) {
      for (std::size_t p; !first.failed() && (p = next.fetch_add(1)) < slices;) {
        stop_if(stop);
        scan_slice(keys, lo + p * n / slices, lo + (p + 1) * n / slices, true, threshold, parts[w]);
      }
    });
    std::vector<Hashed> drawn, heads;
    for (PartScan& part : parts) {
      shape += part.shape;
      drawn.insert(drawn.end(), part.hashed.begin(), part.hashed.end());
      heads.insert(heads.end(), part.heads.begin(), part.heads.end());
      part = PartScan();
    }
    // Copied out: only what may stay among the least hashes.
    keep_smallest(drawn, HASH_SAMPLE);
    for (const Hashed& h : drawn) hashed.push_back(KeptKey{h.first, h.second, std::string(keys[h.second])});
    keep_least(hashed, HASH_SAMPLE);
    if (hashed.size() == HASH_SAMPLE) {
      std::uint64_t kept = 0;
      for (const KeptKey& k : hashed) kept = std::max(kept, k.hash);
      if (kept < threshold.load(std::memory_order_relaxed)) threshold.store(kept, std::memory_order_relaxed);
    }
    keep_smallest(heads, RUN_SAMPLE);
    std::uint64_t worst = 0;
    for (const KeptRun& r : runs) worst = std::max(worst, r.hash);
    for (const Hashed& h : heads) {
      if (runs.size() >= RUN_SAMPLE && h.first > worst) continue;
      KeptRun& run = runs.emplace_back(KeptRun{h.first, h.second, {}});
      const std::uint64_t end = std::min<std::uint64_t>(lo + n, h.second + RUN_LEN);
      run.keys.reserve(static_cast<std::size_t>(end - h.second));
      for (std::uint64_t at = h.second; at < end; ++at) run.keys.emplace_back(keys[static_cast<std::size_t>(at)]);
    }
    keep_least(runs, RUN_SAMPLE);
  }

  // Waits for the block scanned apart; its failure is rethrown here.
  void wait() {
    if (scanner.joinable()) scanner.join();
    if (failure) std::rethrow_exception(failure);
  }

  // The full block goes to a scan apart, and the other one fills next,
  // behind the keys its common prefixes need.
  void hand_over() {
    wait();
    Block& full = blocks[filling];
    Block& next = blocks[1 - filling];
    next.bytes.clear();
    next.spans.clear();
    next.base = full.base + full.keys();
    next.context = std::min(BACK, full.spans.size());
    for (std::size_t i = full.spans.size() - next.context; i < full.spans.size(); ++i) next.push(full.at(i));
    filling = 1 - filling;
    try {
      scanner = std::jthread([this, &full] {
        try {
          scan_block(full);
        } catch (...) {
          failure = std::current_exception();
        }
      });
    } catch (const std::system_error&) {
      scan_block(full);  // no thread to spare: scanned here
    }
  }

  void finish() {
    if (finished) return;
    wait();
    scan_block(blocks[filling]);
    blocks[0] = blocks[1] = Block();
    finished = true;
  }
  bool finished = false;
};

StreamScan::StreamScan(StopProbe stop) : impl_(std::make_unique<Impl>()) { impl_->stop = std::move(stop); }

StreamScan::~StreamScan() = default;

void StreamScan::push(std::string_view key) {
  Block& block = impl_->blocks[impl_->filling];
  block.push(key);
  if (block.keys() == BLOCK_KEYS) impl_->hand_over();
}

bool StreamScan::repeats(std::string_view key) const {
  // A block starts behind the last keys of the one before.
  const Block& block = impl_->blocks[impl_->filling];
  return !block.spans.empty() && block.at(block.spans.size() - 1) == key;
}

Shape StreamScan::shape() {
  impl_->finish();
  return impl_->shape;
}

Draws<std::string> StreamScan::draws() && {
  impl_->finish();
  // Laid out in key order, so sorted bytewise.
  auto by_position = [](const auto& x, const auto& y) { return x.at < y.at; };
  Draws<std::string> out;
  std::sort(impl_->hashed.begin(), impl_->hashed.end(), by_position);
  out.hash.reserve(impl_->hashed.size());
  for (KeptKey& k : impl_->hashed) out.hash.push_back(std::move(k.key));
  std::sort(impl_->runs.begin(), impl_->runs.end(), by_position);
  for (KeptRun& r : impl_->runs)
    for (std::string& k : r.keys) out.run.push_back(std::move(k));
  impl_.reset();
  return out;
}

// ---- the rates of a sample dictionary ----------------------------------------------

namespace {

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) noexcept { return a / b + (a % b != 0); }

// Shards over `blocks` blocks of `block` keys: a shard spans
// min(65,536 / block, 65,535) blocks (one block for larger blocks).
std::uint64_t shards_of(std::uint64_t blocks, std::uint64_t block) noexcept {
  const std::uint64_t span = block <= 65536 ? std::min<std::uint64_t>(65536 / block, 65535) : 1;
  return std::max<std::uint64_t>(ceil_div(blocks, span), 1);
}

}  // namespace

Suffixes suffixes_of(const Shape& w) noexcept {
  Suffixes s;
  s.mean = static_cast<double>(w.bytes) / static_cast<double>(std::max<std::uint64_t>(w.count, 1));
  const std::uint64_t pairs = w.count > 1 ? w.count - 1 : 1;
  s.after_prev = s.mean - static_cast<double>(w.lcp_prev) / static_cast<double>(pairs);
  s.after_back32 = w.back32_count == 0
                       ? s.after_prev
                       : s.mean - static_cast<double>(w.lcp_back32) / static_cast<double>(w.back32_count);
  return s;
}

Rates Rates::read(const DictIndex& dict, const Shape& walk, std::uint64_t m) {
  return read(dict.sections(), dict.block(), walk, m);
}

Rates Rates::read(const dict_index::Sections& split, std::uint64_t block, const Shape& walk, std::uint64_t m) {
  using S = dict_index::Sections;
  const Suffixes s = suffixes_of(walk);
  const std::uint64_t restarts = split[S::RESTARTS], entries = split[S::ENTRIES];
  Rates r;
  const double raw = static_cast<double>(entries) * s.after_prev + static_cast<double>(restarts) * s.after_back32;
  r.ratio = raw > 0 ? static_cast<double>(split[S::ENTRY_CODES] + split[S::RESTART_CODES]) / raw : 1.0;
  const std::uint64_t coded = restarts + entries;
  r.pair = coded > 0 ? static_cast<double>(split[S::ENTRY_HEADERS] + split[S::ENTRY_WIDE] + split[S::RESTART_HEADERS] +
                                           split[S::RESTART_WIDE]) /
                           static_cast<double>(coded)
                     : 0.0;
  // A built dictionary has a block and, over the non-empty draws, a block.
  const std::uint64_t blocks = std::max<std::uint64_t>(ceil_div(walk.count, std::max<std::uint64_t>(block, 1)), 1);
  r.per_block = static_cast<double>(split[S::HEAD_ENDS] + split[S::BLOCK_OFFSETS] + split[S::MICRO_OFFSETS]) /
                static_cast<double>(blocks);
  r.per_shard = static_cast<double>(split[S::TABLES] + split[S::HEADER_CODES]) /
                static_cast<double>(shards_of(blocks, std::max<std::uint64_t>(block, 1)));
  r.per_key = static_cast<double>(split[S::PHRASES]) / static_cast<double>(std::max<std::uint64_t>(m, 1));
  return r;
}

std::uint64_t to_bytes(double size) noexcept {
  if (!(size > 0)) return 0;  // negative or NaN
  if (size >= 18446744073709551616.0) return ~std::uint64_t{0};
  return static_cast<std::uint64_t>(size);
}

double dict_model(std::uint64_t n, std::uint64_t block, std::uint64_t micro, const Rates& r, const Shape& shape,
                  double chars) {
  const std::uint64_t blocks = ceil_div(n, block);
  const std::uint64_t mb = ceil_div(block, micro) - 1;
  const Suffixes s = suffixes_of(shape);
  const double nf = static_cast<double>(n), bf = static_cast<double>(blocks);
  const double heads = static_cast<double>(blocks * mb);
  double acc = r.per_shard * static_cast<double>(shards_of(blocks, block)) + 72;
  acc = r.per_key * nf + acc;
  acc = s.mean * bf + acc;
  acc = r.pair * (nf - bf) + acc;
  acc = acc + r.ratio * (((nf - bf) - heads) * s.after_prev + heads * s.after_back32);
  acc = r.per_block * bf + acc;
  return chars + acc;
}

const Rates& nearest_rates(const std::array<Rates, 3>& rates, std::uint64_t block) noexcept {
  auto distance = [block](const Rates& r) { return r.block > block ? r.block - block : block - r.block; };
  const Rates* best = &rates[0];
  for (const Rates& r : rates)
    if (distance(r) < distance(*best)) best = &r;
  return *best;
}

// ---- latency model ---------------------------------------------------------------------

namespace {

// c0 + c1·X + c2·L + c3·L·X in nanoseconds, in this evaluation order.
struct Line {
  double c0, c1, c2, c3;
  double at(double x, double l) const noexcept { return ((c0 + c1 * x) + c2 * l) + l * (c3 * x); }
};

struct Coefficients {
  std::uint64_t key;  // a dictionary record's block; the kind's code otherwise
  std::optional<Line> reverse, prefix, common_prefix, longest_prefix;
  double floor;  // the least X
  Line single, hit, miss, batch16, batch1024;
};

constexpr std::nullopt_t NONE = std::nullopt;

// Fitted on the reference machine: the four dictionary records in block
// order, then the closed-hash, compact-hash, perfect-hash and string kinds.
const Coefficients TABLE[8] = {
    // DictIndex, block 32
    {32, Line{151.8, 20.66, 0, 0.319}, Line{270.8, 0, 0, 0}, Line{1158.8, 56.94, 44.316, 4.957},
     Line{513.8, 40.82, 0, 0.478}, 0.86, {147.3, 34.02, 0, 0.358}, {130.4, 40.33, 0, 0.325}, {130, 39.71, 0, 0.339},
     {223.9, 23.65, 0, 0.31}, {211.4, 23.94, 0, 0.308}},
    // DictIndex, block 128
    {128, Line{189.4, 18.28, 0.024, 0.43}, Line{274.1, 0, 0, 0}, Line{1222.8, 48.86, 54.566, 4.425},
     Line{592.7, 32.15, 0, 0.49}, 0.65, {191.1, 27.69, 0, 0.395}, {177.7, 32.61, 0, 0.373},
     {174.3, 32.61, 0, 0.38}, {238.5, 24.68, 0, 0.345}, {223.8, 25.77, 0, 0.34}},
    // DictIndex, block 256
    {256, Line{209.9, 16.45, 0.591, 0.382}, Line{282.5, 0, 0, 0}, Line{1191.7, 56.7, 65.209, 3.793},
     Line{634.6, 28.12, 0, 0.525}, 0.63, {222, 22.85, 0, 0.419}, {210.7, 27.38, 0, 0.392}, {206.3, 27.4, 0, 0.4},
     {257.7, 24.13, 0, 0.355}, {243.9, 24.82, 0, 0.351}},
    // DictIndex, block 1024
    {1024, Line{267.1, 18.74, 1.136, 0.406}, Line{352.2, 0, 0, 0}, Line{1232.7, 81.44, 92.909, 2.122},
     Line{744.2, 26.8, 0.849, 0.432}, 0.49, {289.2, 18.6, 0, 0.428}, {280.2, 21.96, 0, 0.416},
     {274, 21.96, 0, 0.417}, {317.5, 22.11, 0, 0.383}, {303.6, 22.25, 0, 0.38}},
    // ClosedHashIndex
    {1, NONE, NONE, NONE, NONE, 0, {47.4, 8.87, 0.06, 0}, {47.5, 8.47, 0.062, 0}, {45.3, 8.78, 0.068, 0},
     {34.1, 1.98, 0.073, 0}, {31.9, 0.78, 0.063, 0}},
    // CompactHashIndex
    {0, NONE, NONE, NONE, NONE, 0.92, {43.1, 16.1, 0.095, 0}, {37.5, 15.9, 0.11, 0}, {26.6, 15.13, 0.103, 0.01},
     {39, 3.06, 0.09, 0}, {33.7, 1.45, 0.07, 0}},
    // PerfectHashIndex
    {2, Line{-4.7, 21.27, 0.042, 0}, NONE, NONE, NONE, 3.3, {-7.7, 22.55, 0, 0}, {-23.3, 27.28, 0, 0},
     {-21.6, 16.27, 0, 0}, {36.9, 5.38, 0.028, 0}, {35.6, 2.62, 0.066, 0}},
    // StringIndex
    {3, Line{251.3, 22.94, 10.942, 1.541}, Line{365.8, 88.14, 1.537, 0}, Line{347.8, 0, 0, 1.149},
     Line{212.7, 17.36, 0, 0.968}, 0, {152.2, 15.3, 0, 1.209}, {150.1, 18.16, 0, 1.185}, {142, 15.55, 0, 1.206},
     {143.2, 18.03, 0, 1.191}, {138.9, 18.45, 0, 1.186}},
};
constexpr std::size_t DICT_RECORDS = 4;

double lerp(double lo, double hi, double t) noexcept { return lo + t * (hi - lo); }

Line lerp(const Line& lo, const Line& hi, double t) noexcept {
  return {lerp(lo.c0, hi.c0, t), lerp(lo.c1, hi.c1, t), lerp(lo.c2, hi.c2, t), lerp(lo.c3, hi.c3, t)};
}

// A dictionary record at any block: between the two fitted records around
// it, linearly in log2 of the block (t = 1 included: no short cut).
Coefficients dict_record(std::uint64_t block) noexcept {
  std::size_t i = 0;
  while (i < DICT_RECORDS && TABLE[i].key < block) ++i;
  if (i == 0) return TABLE[0];
  if (i == DICT_RECORDS) return TABLE[DICT_RECORDS - 1];
  const Coefficients& lo = TABLE[i - 1];
  const Coefficients& hi = TABLE[i];
  const double lo_log = std::log2(static_cast<double>(lo.key));
  const double t =
      (std::log2(static_cast<double>(block)) - lo_log) / (std::log2(static_cast<double>(hi.key)) - lo_log);
  return Coefficients{block,
                      lerp(*lo.reverse, *hi.reverse, t),
                      lerp(*lo.prefix, *hi.prefix, t),
                      lerp(*lo.common_prefix, *hi.common_prefix, t),
                      lerp(*lo.longest_prefix, *hi.longest_prefix, t),
                      lerp(lo.floor, hi.floor, t),
                      lerp(lo.single, hi.single, t),
                      lerp(lo.hit, hi.hit, t),
                      lerp(lo.miss, hi.miss, t),
                      lerp(lo.batch16, hi.batch16, t),
                      lerp(lo.batch1024, hi.batch1024, t)};
}

Coefficients record_of(const Estimate& e) {
  switch (e.kind) {
    case kinds::Kind::ClosedHashIndex: return TABLE[4];
    case kinds::Kind::CompactHashIndex: return TABLE[5];
    case kinds::Kind::PerfectHashIndex: return TABLE[6];
    case kinds::Kind::StringIndex: return TABLE[7];
    case kinds::Kind::DictIndex: return dict_record(e.block.value_or(kinds::DEFAULT_BLOCK));
    default: panic("the planner prices no such kind");
  }
}

constexpr double INF = std::numeric_limits<double>::infinity();

}  // namespace

double nanos_of(const Objective& objective, const Estimate& e, std::uint64_t n, double mean_length) {
  const Coefficients c = record_of(e);
  const double scale = std::fmax(100000.0 / static_cast<double>(std::max<std::uint64_t>(n, 1)), 1.0);
  const double x = std::fmax(std::log2(static_cast<double>(e.bytes) * scale / 65536.0), c.floor);
  const double l = std::fmax(mean_length, 4.89);
  const double single = c.single.at(x, l);
  if (objective.tag != Objective::Tag::Workload) return single;

  const Workload& w = objective.workload;
  const double lb = std::fmin(std::log2(static_cast<double>(std::max<std::uint32_t>(w.batch, 1))), 10.0);
  const double b16 = c.batch16.at(x, l);
  const double per = lb > 4 ? b16 + (c.batch1024.at(x, l) - b16) * (lb - 4) / 6 : single + (b16 - single) * lb * 0.25;
  const double total = static_cast<double>(w.hits) + static_cast<double>(w.misses) + static_cast<double>(w.reverse) +
                       static_cast<double>(w.prefix) + static_cast<double>(w.common_prefix) +
                       static_cast<double>(w.longest_prefix);
  if (total == 0) return per;
  const double factor = per / single;
  auto op = [&](const std::optional<Line>& line) { return line ? line->at(x, l) : INF; };
  double sum = 0;
  if (w.hits != 0) sum += static_cast<double>(w.hits) * c.hit.at(x, l) * factor;
  if (w.misses != 0) sum += static_cast<double>(w.misses) * c.miss.at(x, l) * factor;
  if (w.reverse != 0) sum += static_cast<double>(w.reverse) * op(c.reverse);
  if (w.prefix != 0) sum += static_cast<double>(w.prefix) * op(c.prefix);
  if (w.common_prefix != 0) sum += static_cast<double>(w.common_prefix) * op(c.common_prefix);
  if (w.longest_prefix != 0) sum += static_cast<double>(w.longest_prefix) * op(c.longest_prefix);
  return sum / total;
}

// ---- ranking -------------------------------------------------------------------------

namespace {

// IEEE total order: NaNs sort after +infinity (and negative NaNs first).
bool total_less(double a, double b) noexcept { return std::strong_order(a, b) < 0; }

}  // namespace

void rank(std::vector<Estimate>& estimates, const Objective& objective, std::uint64_t n, double mean_length) {
  auto nanos = [&](const Estimate& e) { return nanos_of(objective, e, n, mean_length); };
  switch (objective.tag) {
    case Objective::Tag::Memory:
      std::stable_sort(estimates.begin(), estimates.end(),
                       [](const Estimate& a, const Estimate& b) { return a.bytes < b.bytes; });
      return;
    case Objective::Tag::Latency:
    case Objective::Tag::Workload:
      std::stable_sort(estimates.begin(), estimates.end(), [&](const Estimate& a, const Estimate& b) {
        const double x = nanos(a), y = nanos(b);
        if (total_less(x, y)) return true;
        if (total_less(y, x)) return false;
        return a.bytes < b.bytes;
      });
      return;
    case Objective::Tag::Balanced: {
      std::uint64_t least_bytes = ~std::uint64_t{0};
      double least_nanos = INF;
      for (const Estimate& e : estimates) {
        least_bytes = std::min(least_bytes, e.bytes);
        least_nanos = std::fmin(least_nanos, nanos(e));  // fmin passes a NaN by
      }
      const double least = static_cast<double>(std::max<std::uint64_t>(least_bytes, 1));
      const double fastest = std::fmax(least_nanos, 1.0);
      auto score = [&](const Estimate& e) {
        return std::fmax(static_cast<double>(e.bytes) / least, nanos(e) / fastest);
      };
      std::stable_sort(estimates.begin(), estimates.end(), [&](const Estimate& a, const Estimate& b) {
        const double x = score(a), y = score(b);
        if (total_less(x, y)) return true;
        if (total_less(y, x)) return false;
        return a.bytes < b.bytes;
      });
      return;
    }
  }
}

bool close(std::span<const Estimate> ranked) {
  if (ranked.empty()) return false;
  const Estimate* cheapest = &ranked[0];
  for (const Estimate& e : ranked)
    if (e.bytes < cheapest->bytes) cheapest = &e;
  std::optional<std::uint64_t> other;
  for (const Estimate& e : ranked)
    if (e.kind != cheapest->kind && (!other || e.bytes < *other)) other = e.bytes;
  if (!other) return false;
  return static_cast<double>(cheapest->bytes) * 1.3 >= static_cast<double>(*other);
}

bool Plan::thin() const {
  if (estimates.empty()) panic("a plan holds an estimate");
  return !estimates[0].measured && mean_length - mean_lcp < 2.0;
}

// ---- the plan text ----------------------------------------------------------------------

namespace {

[[gnu::format(printf, 2, 3)]] void appendf(std::string& out, const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  const int len = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (len < 0) panic("a plan line formats");
  if (static_cast<std::size_t>(len) < sizeof buf) {
    out.append(buf, static_cast<std::size_t>(len));
    return;
  }
  std::string big(static_cast<std::size_t>(len) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(big.data(), big.size(), format, args);
  va_end(args);
  out.append(big.data(), static_cast<std::size_t>(len));
}

using ull = unsigned long long;

}  // namespace

std::string objective_name(const Objective& objective) {
  switch (objective.tag) {
    case Objective::Tag::Memory: return "size";
    case Objective::Tag::Latency: return "latency";
    case Objective::Tag::Balanced: return "balance";
    case Objective::Tag::Workload: break;
  }
  const Workload& w = objective.workload;
  const std::pair<const char*, std::uint64_t> weights[] = {
      {"hits", w.hits},     {"misses", w.misses},           {"reverse", w.reverse},
      {"prefix", w.prefix}, {"common_prefix", w.common_prefix}, {"longest_prefix", w.longest_prefix}};
  std::vector<std::string> items;
  for (const auto& [name, weight] : weights)
    if (weight != 0) items.push_back(std::string(name) + " " + std::to_string(weight));
  std::string name = items.empty() ? "latency" : "workload";
  if (w.batch > 1) items.push_back("batch " + std::to_string(w.batch));
  if (items.empty()) return name;
  name += " (";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) name += ", ";
    name += items[i];
  }
  return name + ")";
}

std::string Plan::text() const {
  std::string out;
  appendf(out, "%llu keys, mean length %.1f, mean shared prefix %.1f, ranked by %s\n", static_cast<ull>(keys),
          mean_length, mean_lcp, objective_name(objective).c_str());
  const Estimate& best = estimates.at(0);
  for (const Estimate& e : estimates) {
    const char mark = e.kind == best.kind && e.block == best.block ? '*' : ' ';
    const double per_key = keys == 0 ? 0.0 : static_cast<double>(e.bytes) / static_cast<double>(keys);
    const double ns = nanos(e);
    char ns_text[64];
    if (std::isnan(ns))
      std::snprintf(ns_text, sizeof ns_text, "%5s", "NaN");
    else
      std::snprintf(ns_text, sizeof ns_text, "%5.0f", ns);
    appendf(out, "%c %-17s %12llu bytes  %5.2f B/key  %s ns  %s", mark, kinds::of(e.kind).name, static_cast<ull>(e.bytes),
            per_key, ns_text, e.measured ? "built" : "estimated");
    if (e.block) appendf(out, " at block %llu", static_cast<ull>(*e.block));
    out += '\n';
  }
  out += "the nanoseconds are a model of this crate's own machine, not a measurement of yours\n";
  if (close()) appendf(out, "the two cheapest are within %.1fx, which is inside what an estimate can separate: build both\n", 1.3);
  if (thin())
    appendf(out, "the mean suffix is %.1f bytes, too short for a sampled compression ratio to carry: build rather than quote\n",
            mean_length - mean_lcp);
  return out;
}

// ---- a keys file, sorted ------------------------------------------------------------------

namespace {

IndexError open_failure(const std::string& path, const IndexError& e) {
  return IndexError::io(e.io_kind_value(), path + ": " + e.message());
}

}  // namespace

void read_keys_file(const std::string& path, std::uint64_t max_key, extsort::Run& run, extsort::Runs& runs,
                    const StopProbe& stop) {
  File file;
  try {
    file = File::open_read(path);
  } catch (const IndexError& e) {
    throw open_failure(path, e);
  }
  LineReader reader(file.fd());
  reader.stop_on(stop);  // a read blocked on a terminal or a pipe can be stopped
  // A key longer than the run budget is refused wherever it stands, as soon
  // as the reader is past it: a run could not hold it, and the keys file is
  // never held whole.
  const std::size_t limit =
      run.budget() / 8 == 0 ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(max_key, run.budget()));
  KeyLines lines(reader, limit);
  auto at = [&](const char* what) { return path + ":" + std::to_string(lines.line()) + ": " + what; };
  std::uint64_t taken = 0;
  for (std::string_view key;;) {
    switch (lines.next(key)) {
      case KeyLines::Got::Key:
        if (++taken % STOP_STRIDE == 0) stop_if(stop);
        if (!run.has_room(key.size())) runs.spill_sorted(run);
        run.push_valid(key);
        continue;
      case KeyLines::Got::End: return;
      case KeyLines::Got::NotUtf8: throw IndexError::io(IoKind::InvalidData, at("not UTF-8"));
      case KeyLines::Got::TooLong: throw IndexError::format(at(MSG_TOO_LONG));
    }
  }
}

void each_file_key(const std::string& path, std::size_t budget, std::uint64_t max_key,
                   const std::function<void(std::string_view)>& step, const StopProbe& stop) {
  extsort::Run run(budget);
  extsort::Runs runs(path, false);  // read back at once, then removed
  read_keys_file(path, max_key, run, runs, stop);
  std::uint64_t replayed = 0;
  const std::function<void(std::string_view)> checked = [&](std::string_view key) {
    if (replayed++ % STOP_STRIDE == 0) stop_if(stop);
    step(key);
  };
  if (runs.runs().empty()) {
    run.each(checked);
    return;
  }
  if (!run.empty()) runs.spill_sorted(run);
  runs.each(checked);
}

}  // namespace quorvale::estimate
