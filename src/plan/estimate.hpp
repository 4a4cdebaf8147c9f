// The planner: which index kind suits a key set (the kinds are the table's,
// kinds.hpp). Its vocabulary (what the caller needs an index to do, what the
// ranking is by) is shared with the command line. Planning makes one sorted, duplicate-free
// pass over the keys, measuring their shape and drawing two reproducible
// samples; up to EXACT_LIMIT distinct keys every candidate is then built for
// its exact size, above it the sizes are modelled from small builds on the
// samples. A latency model per kind ranks the candidates by speed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "blob.hpp"
#include "kinds.hpp"
#include "threads.hpp"

namespace quorvale {

// What the index must be able to do; with none set only id(key) is asked.
struct Needs {
  bool reverse = false;  // key(id) as well
  bool ordered = false;  // ids in byte order, in-order iteration
  bool prefix = false;   // prefix and range queries
  bool fuzzy = false;    // Levenshtein and subsequence queries
  bool exact = false;    // a non-member answered as one: no probabilistic kind
  bool operator==(const Needs&) const = default;
};

// A weighted mix of operations; batch is the keys one batched call holds.
struct Workload {
  std::uint64_t hits = 0;
  std::uint64_t misses = 0;
  std::uint64_t reverse = 0;
  std::uint64_t prefix = 0;
  std::uint64_t common_prefix = 0;
  std::uint64_t longest_prefix = 0;
  std::uint32_t batch = 0;
  bool operator==(const Workload&) const = default;
};

struct Objective {
  enum class Tag : std::uint8_t { Memory = 0, Latency = 1, Balanced = 2, Workload = 3 };
  Tag tag = Tag::Memory;
  Workload workload;  // meaningful for Tag::Workload only
  bool operator==(const Objective&) const = default;
};

class DictIndex;
namespace dict_index {
struct Sections;
}
namespace extsort {
class KeyView;
class Run;
class Runs;
}

namespace estimate {

// ---- needs, objectives and candidates ---------------------------------------------

// One priced index: a kind, and for a dictionary its keys per block.
struct Candidate {
  kinds::Kind kind;
  std::optional<std::uint64_t> block;
  bool operator==(const Candidate&) const = default;
};

// The kinds that answer the needs, in the order ranking keeps for ties;
// never empty, at most seven.
std::vector<Candidate> candidates(const Needs& needs);

// The needs a workload's own operations add (reverse lookups, prefix
// queries) to the caller's; other objectives add none.
Needs effective_needs(const Needs& needs, const Objective& objective);

// ---- shape statistics and samples --------------------------------------------------

// Statistics over sorted distinct keys.
struct Shape {
  std::uint64_t count = 0;         // keys
  std::uint64_t bytes = 0;         // their total length
  std::uint64_t non_ascii = 0;     // key bytes at 0x80 or above
  std::uint64_t lcp_prev = 0;      // common prefixes with the key before
  std::uint64_t lcp_back32 = 0;    // common prefixes with the key 32 before
  std::uint64_t back32_count = 0;  // keys counted in lcp_back32
  bool operator==(const Shape&) const = default;
  // Adds the sums of keys scanned apart (another slice of the same keys).
  Shape& operator+=(const Shape& o) noexcept {
    count += o.count;
    bytes += o.bytes;
    non_ascii += o.non_ascii;
    lcp_prev += o.lcp_prev;
    lcp_back32 += o.lcp_back32;
    back32_count += o.back32_count;
    return *this;
  }
};

// Gathers the Shape of keys pushed in ascending order.
class ShapeWalk {
 public:
  void push(std::string_view key);
  const Shape& shape() const noexcept { return shape_; }

 private:
  Shape shape_;
  std::array<std::string, 32> ring_;  // the last 32 keys, slot = position mod 32
};

// The sample hash of a key: unseeded, so the same keys always give the same
// samples and the same plan.
inline std::uint64_t sample_hash(std::string_view key) noexcept { return blob::header_hash(key); }

inline constexpr std::size_t HASH_SAMPLE = 100000;  // keys of the hash draw
inline constexpr std::size_t RUN_LEN = 4096;        // keys of a run of the run draw
inline constexpr std::size_t RUN_SAMPLE = 24;       // runs of the run draw

// The hash draw: the keys of the smallest sample hashes (bottom-k). K is
// std::string (keys read from a file) or std::string_view (keys in memory).
template <class K>
class HashSample {
 public:
  explicit HashSample(std::size_t capacity = HASH_SAMPLE) : capacity_(capacity) {}

  void push(std::string_view key) {
    const std::uint64_t h = sample_hash(key);
    if (h > threshold_) return;
    entries_.emplace_back(h, K(key));
    if (entries_.size() >= 2 * capacity_) trim();
  }
  // Keeps the capacity's smallest hashes (which of several equal hashes at
  // the cut stay is unspecified) and lowers the threshold to the largest kept.
  void trim();
  // The last trim, then the kept keys, sorted bytewise.
  std::vector<K> draw() &&;

  std::uint64_t threshold() const noexcept { return threshold_; }
  std::size_t size() const noexcept { return entries_.size(); }

 private:
  std::size_t capacity_;
  std::vector<std::pair<std::uint64_t, K>> entries_;
  std::uint64_t threshold_ = ~std::uint64_t{0};
};

// The run draw: runs of consecutive sorted keys whose heads have the
// smallest sample hashes (bottom-k over runs).
template <class K>
class RunSample {
 public:
  explicit RunSample(std::size_t run_len = RUN_LEN, std::size_t capacity = RUN_SAMPLE)
      : run_len_(run_len), capacity_(capacity) {}

  void push(std::string_view key) {
    const std::uint64_t p = position_++;
    if (p % run_len_ == 0) {
      open_ = NONE;
      const std::uint64_t h = sample_hash(key);
      if (h > threshold_) return;
      runs_.emplace_back(h, std::vector<K>{K(key)});
      open_ = runs_.size() - 1;
      if (runs_.size() >= 2 * capacity_) trim();
    } else if (open_ != NONE) {
      runs_[open_].second.emplace_back(key);
    }
  }
  // Keeps the capacity's runs of smallest head hashes; the open run stays
  // open only if it was kept, so the rest of a dropped run is not sampled.
  void trim();
  // The last trim, then the kept runs' keys, sorted bytewise.
  std::vector<K> draw() &&;

  std::uint64_t threshold() const noexcept { return threshold_; }
  std::size_t runs() const noexcept { return runs_.size(); }
  bool is_open() const noexcept { return open_ != NONE; }

 private:
  static constexpr std::size_t NONE = ~std::size_t{0};
  std::size_t run_len_;
  std::size_t capacity_;
  std::vector<std::pair<std::uint64_t, std::vector<K>>> runs_;
  std::uint64_t position_ = 0;
  std::size_t open_ = NONE;
  std::uint64_t threshold_ = ~std::uint64_t{0};
};

// The hash draw and the run draw of a key set, each sorted bytewise.
template <class K>
struct Draws {
  std::vector<K> hash;
  std::vector<K> run;
};

// One pass over sorted distinct keys: their shape and both draws.
template <class K>
struct Pass {
  ShapeWalk walk;
  HashSample<K> hashed;
  RunSample<K> runs;

  void push(std::string_view key) {
    walk.push(key);
    hashed.push(key);
    runs.push(key);
  }
  // The last trims, then the two draws.
  Draws<K> draws() && { return Draws<K>{std::move(hashed).draw(), std::move(runs).draw()}; }
};

// The shape of sorted distinct keys held in memory and, when asked, their
// two draws, whose views point into the keys: what a Pass over them gives,
// measured a slice of the keys a worker on up to `threads` workers (0: one
// per processor). Any number of workers gives the same result.
struct Scan {
  Shape shape;
  Draws<std::string_view> draws;
};
// `stop`, when given, is asked as the workers take their slices.
Scan scan(std::span<const std::string_view> keys, bool with_draws, std::size_t threads = 0,
          const StopProbe& stop = {});
Scan scan(const extsort::KeyView& keys, bool with_draws, std::size_t threads = 0, const StopProbe& stop = {});
// The two draws of sorted distinct keys in memory.
Draws<std::string_view> draws(std::span<const std::string_view> keys);

// The same Scan over sorted distinct keys handed over one at a time (a
// merge replaying them), the draws' keys copied out: the keys are gathered
// into blocks, and a block is scanned on the workers while the next fills.
class StreamScan {
 public:
  // `stop`, when given, is asked as the workers take their slices.
  explicit StreamScan(StopProbe stop = {});
  StreamScan(const StreamScan&) = delete;
  StreamScan& operator=(const StreamScan&) = delete;
  ~StreamScan();

  // The key is copied; it may go when the call returns.
  void push(std::string_view key);
  // The key equals the last one pushed.
  bool repeats(std::string_view key) const;
  // The shape of every key pushed, and the two draws, each sorted bytewise.
  Shape shape();
  Draws<std::string> draws() &&;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---- pricing ------------------------------------------------------------------------

// Distinct keys up to which every candidate is built for its exact size.
inline constexpr std::uint64_t EXACT_LIMIT = 100000;

// One priced candidate.
struct Estimate {
  std::optional<std::uint64_t> block;  // dictionaries only
  std::uint64_t bytes = 0;             // the blob's size, exact or modelled
  bool measured = false;               // built rather than modelled
  kinds::Kind kind = kinds::Kind::CompactHashIndex;
  bool operator==(const Estimate&) const = default;
};

// A dictionary's costs at one block size.
struct Rates {
  std::uint64_t block = 0;
  double ratio = 0;      // coded suffix bytes per raw suffix byte
  double pair = 0;       // front-coding header bytes per coded entry
  double per_block = 0;  // head ends, block and microblock offsets, per block
  double per_shard = 0;  // codec tables and header codes, per shard
  double per_key = 0;    // phrase bytes over the whole key set's count

  // The rates of a sample dictionary built from keys of shape `walk`; m is
  // the whole set's count (the block is left 0 for the caller). The second
  // form reads a dictionary's byte split and block size.
  static Rates read(const DictIndex& dict, const Shape& walk, std::uint64_t m);
  static Rates read(const dict_index::Sections& split, std::uint64_t block, const Shape& walk, std::uint64_t m);
};

// The suffix bytes front coding leaves, on average, of keys of a shape:
// mean key length, and what is left after the prefix shared with the key
// before and with the key 32 before (the latter as the former when no key
// has one 32 before it).
struct Suffixes {
  double mean = 0;
  double after_prev = 0;
  double after_back32 = 0;
};
Suffixes suffixes_of(const Shape& shape) noexcept;

// A modelled size as bytes: truncated, 0 below zero or for NaN, saturated
// above.
std::uint64_t to_bytes(double size) noexcept;

// The rates record of the block nearest to `block` (the smaller on a tie).
const Rates& nearest_rates(const std::array<Rates, 3>& rates, std::uint64_t block) noexcept;

// A dictionary of n keys at `block` keys a block and `micro` a microblock,
// costed from the rates, the key set's shape and the character-code section.
double dict_model(std::uint64_t n, std::uint64_t block, std::uint64_t micro, const Rates& rates, const Shape& shape,
                  double chars);

// A size a + b * n fitted through two builds.
struct Fit {
  double a = 0;
  double b = 0;
};

// What the model needs beyond the key count.
struct Sample {
  std::array<Rates, 3> rates;  // blocks 32, 256, 1024
  Shape shape;                 // the whole set's, rescaled into coded bytes under a character code
  Fit compact, closed, perfect;  // the perfect-hash fit leaves out the key bytes
  double chars = 0;            // the character-code section, when one is chosen
  double fst_per_key = 0;      // StringIndex blob bytes per key

  // Measures the sample on the hash draw and the run draw (sorted, distinct)
  // of a key set of shape `shape`. Throws IndexError from a failing build.
  static Sample of(std::span<const std::string_view> hash_draw, std::span<const std::string_view> run_draw,
                   const Shape& shape);
};

// Builds every candidate over the keys (sorted, distinct) for its exact
// size. Throws the first failing build's IndexError.
std::vector<Estimate> weigh(std::span<const std::string_view> keys, std::span<const Candidate> candidates);

// The blob sizes of CompactHashIndex (8-bit fingerprints), ClosedHashIndex
// and PerfectHashIndex over the keys, the last without the key bytes.
std::array<double, 3> hash_sizes(std::span<const std::string_view> keys);
// Lines through the sizes on the first half of the keys and on all of them:
// compact, closed, perfect.
std::array<Fit, 3> hash_fits(std::span<const std::string_view> keys);

// Models every candidate for n distinct keys of key_bytes raw bytes in all.
std::vector<Estimate> model(std::uint64_t n, std::uint64_t key_bytes, const Sample& sample,
                            std::span<const Candidate> candidates);

// ---- latency model and ranking ---------------------------------------------------------

// Modelled nanoseconds per operation of the estimate's kind under the
// objective, for n distinct keys of mean length mean_length, on the machine
// the coefficients were fitted on.
double nanos_of(const Objective& objective, const Estimate& e, std::uint64_t n, double mean_length);

// Sorts the estimates best first (stably: ties keep candidate order).
void rank(std::vector<Estimate>& estimates, const Objective& objective, std::uint64_t n, double mean_length);

// The two cheapest kinds lie within 1.3x of each other.
bool close(std::span<const Estimate> ranked);

// ---- planning ---------------------------------------------------------------------------

struct Plan {
  Objective objective;
  std::vector<Estimate> estimates;  // ranked, never empty
  std::uint64_t keys = 0;           // distinct
  double mean_length = 0;
  double mean_lcp = 0;
  Needs needs;  // effective

  bool close() const { return estimate::close(estimates); }
  // The best estimate is modelled and the mean suffix too short for a
  // sampled compression ratio to carry.
  bool thin() const;
  double nanos(const Estimate& e) const { return nanos_of(objective, e, keys, mean_length); }
  // The plan text, every line ending in a line feed.
  std::string text() const;
};

// The name the plan text ranks by ("size", "workload (hits 9, misses 1)").
std::string objective_name(const Objective& objective);

// Plans keys held in memory (any order, repeats allowed). Throws IndexError.
// `stop`, when given, is asked as the keys are scanned and before the
// pricing; a yes abandons the plan (IndexError Io Interrupted).
Plan plan_for(std::span<const std::string_view> keys, const Needs& needs, const Objective& objective,
              const StopProbe& stop = {});
Plan plan_for(std::span<const std::string> keys, const Needs& needs, const Objective& objective);

// The in-memory run a keys file is sorted through, and the longest key that
// can be planned at all (a run file holds 32-bit lengths).
inline constexpr std::size_t RUN_BUDGET = std::size_t{1} << 28;
inline constexpr std::uint64_t MAX_KEY = (std::uint64_t{1} << 32) - 1;
inline constexpr const char* MSG_TOO_LONG = "plan: a key longer than the run budget";

// Plans a keys file (UTF-8, one key per line) of any size: read once, sorted
// through runs of `budget` key bytes spilled beside the file, replayed in
// order. A key longer than the budget (or than `max_key`) ends the plan
// as soon as the reader is past it: IndexError (Format) "PATH:LINE: " and
// MSG_TOO_LONG. `stop`, when given, is asked as the file is read and
// replayed and before the pricing; a yes abandons the plan (IndexError Io
// Interrupted). Throws IndexError.
Plan plan_file(const std::string& path, const Needs& needs, const Objective& objective,
               std::size_t budget = RUN_BUDGET, std::uint64_t max_key = MAX_KEY, const StopProbe& stop = {});

// The keys read or replayed between two questions to a stop probe.
inline constexpr std::uint64_t STOP_STRIDE = 1 << 12;

// Reads a keys file into `run` (made with the run budget), spilling each
// full run through `runs` (named after the file): the reading of plan_file.
// When nothing was spilled the run holds every key; otherwise the last keys
// are still in the run, unspilled. `stop`, when given, is asked every
// STOP_STRIDE keys and when a read is interrupted.
void read_keys_file(const std::string& path, std::uint64_t max_key, extsort::Run& run, extsort::Runs& runs,
                    const StopProbe& stop = {});

// The keys of a keys file, distinct and in ascending order, each handed to
// `step` once (the view lasts for the call). The reading and sorting of
// plan_file.
void each_file_key(const std::string& path, std::size_t budget, std::uint64_t max_key,
                   const std::function<void(std::string_view)>& step, const StopProbe& stop = {});

}  // namespace estimate
}  // namespace quorvale
