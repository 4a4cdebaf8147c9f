// Parallel construction of the minimal perfect hash: the key input of a
// build, the occupancy maps and bucket runs of a level, the seed search, the
// sortedness check and grouping of unsorted keys, the level build and the
// driver (level 0, further levels, tail, remap).
//
// The bytes a build produces depend on the key set alone: not on the thread
// count, the input order or the input form (slice or stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <vector>

#include "mphf.hpp"
#include "pages.hpp"
#include "threads.hpp"

namespace quorvale {

// An ascending source of key hashes, read once.
class KeyStream {
 public:
  virtual ~KeyStream() = default;
  // The next value, or false at the end.
  virtual bool next(std::uint64_t& out) = 0;
};

// The key hashes handed to a build. Borrowed: the slice or the stream must
// outlive the build call.
struct KeyInput {
  enum class Kind { Sorted, Stream, Unsorted };
  Kind kind = Kind::Sorted;
  std::span<const std::uint64_t> slice;  // Sorted (non-decreasing) or Unsorted
  KeyStream* stream = nullptr;           // Stream (non-decreasing values)

  static KeyInput sorted(std::span<const std::uint64_t> keys) { return {Kind::Sorted, keys, nullptr}; }
  static KeyInput unsorted(std::span<const std::uint64_t> keys) { return {Kind::Unsorted, keys, nullptr}; }
  static KeyInput from_stream(KeyStream& s) { return {Kind::Stream, {}, &s}; }
};

namespace mphf_build {

inline constexpr std::uint64_t KEY_LIMIT = 0xffffffffULL;
inline constexpr std::uint64_t SMALL_SET = 256;
inline constexpr std::size_t LEVEL_LIMIT = 16;
inline constexpr unsigned TAIL_ATTEMPTS = 64;
inline constexpr std::uint64_t TAIL_SEED_BASE = 0x7a115eed00000000ULL;

inline constexpr const char* MSG_TOO_MANY = "minimal perfect hash: more than u32::MAX keys";
inline constexpr const char* MSG_COUNT = "minimal perfect hash: the source yielded other than the promised number of keys";
inline constexpr const char* MSG_NO_SEED = "minimal perfect hash: no seed placed every bucket";

// ---------------------------------------------------------------------------
// Level geometry and chunk plan.

struct Geometry {
  std::uint64_t slots = 0;    // N
  std::uint64_t buckets = 0;  // B
  std::uint64_t window = 0;   // W
  std::uint32_t shift = 0;    // log2(W / 64)
  std::uint32_t mode_bits = 2;
};

// The geometry of a built level over n keys (n >= 1).
Geometry level_geometry(std::uint64_t n);

struct ChunkPlan {
  std::vector<std::uint64_t> boundaries;  // first bucket of every chunk; boundaries[0] = 0
  std::uint64_t buckets = 0;              // B
  std::uint64_t gap = 0;                  // buckets of every trailing gap
  std::uint64_t largest = 0;              // buckets of the largest chunk

  std::size_t chunks() const noexcept { return boundaries.size(); }
  std::uint64_t end(std::size_t i) const noexcept { return i + 1 < boundaries.size() ? boundaries[i + 1] : buckets; }
};

ChunkPlan chunk_plan(const Geometry& g, bool level0);

// First slot of bucket b: floor(n·b / B).
inline std::uint64_t first_slot(std::uint64_t n, std::uint64_t b, std::uint64_t B) noexcept {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(n) * b) / B);
}

// Whether the ramp reserves the slot at offset x from the first slot of a
// chunk whose first bucket is start.
bool ramp_reserves(std::uint64_t x, std::uint64_t start, std::uint64_t window) noexcept;

// ---------------------------------------------------------------------------
// Occupancy map and bucket runs.

// Row-interleaved slot bitmap: 2^shift rows of stride words; relative slot k
// sits in row k & (2^shift - 1) at bit position k >> shift. A key's window of
// W = 64 << shift slots is 64 consecutive bit positions of one row.
struct Map {
  std::vector<std::uint64_t> words;
  std::uint64_t stride = 0;
  std::uint32_t shift = 0;

  Map() = default;
  // A zeroed map covering span slots (three spare words per row).
  Map(std::uint64_t span, std::uint32_t shift);

  std::size_t word_of(std::uint64_t k) const noexcept {
    return static_cast<std::size_t>((k & ((std::uint64_t{1} << shift) - 1)) * stride + ((k >> shift) >> 6));
  }
  bool test(std::uint64_t k) const noexcept { return (words[word_of(k)] >> ((k >> shift) & 63)) & 1; }
  void set(std::uint64_t k) noexcept { words[word_of(k)] |= std::uint64_t{1} << ((k >> shift) & 63); }
  void clear(std::uint64_t k) noexcept { words[word_of(k)] &= ~(std::uint64_t{1} << ((k >> shift) & 63)); }
  // The 64 bits of row `row` starting at bit position pos.
  std::uint64_t bits64(std::uint64_t row, std::uint64_t pos) const noexcept {
    const std::uint64_t* r = words.data() + row * stride + (pos >> 6);
    unsigned o = static_cast<unsigned>(pos & 63);
    if (o == 0) return r[0];
    return (r[0] >> o) | (r[1] << (64 - o));
  }

  // OR other into this map, other's word 0 of each row landing on word a.
  void merge(const Map& other, std::int64_t a);
};

// Word distance between two map origins (both multiples of 64 << shift).
inline std::int64_t word_offset(std::uint64_t other_base, std::uint64_t self_base, std::uint32_t shift) noexcept {
  return static_cast<std::int64_t>((other_base >> shift) / 64) - static_cast<std::int64_t>((self_base >> shift) / 64);
}

// The free level-0 slots below n in increasing order, one at a time.
class Holes {
 public:
  Holes(const Map& map, std::uint64_t n) noexcept;
  // The next hole, false when there is none left.
  bool next(std::uint64_t& out) noexcept;

 private:
  const Map* map_;
  std::uint64_t n_;
  std::uint64_t columns_;
  std::uint64_t rows_;
  std::uint64_t column_ = 0;
  std::uint64_t mask_ = 0;  // free positions of the current column still to visit
  std::uint64_t bit_ = 0;
  std::uint64_t row_ = 0;
  bool in_bit_ = false;
};

// A run of consecutive buckets: the keys of relative bucket j are
// keys[ends[j] .. ends[j+1]].
struct BucketRun {
  Geometry level;
  std::span<const std::uint64_t> keys;
  std::span<const std::uint32_t> ends;
};

// out[j] = one past the last key of relative bucket first + j (keys in bucket
// order; out zero on entry). Panics when a key's bucket falls outside out.
void bucket_ends(std::span<const std::uint64_t> keys, std::uint64_t buckets, std::uint64_t first,
                 std::span<std::uint32_t> out);

// Append the keys of every bucket j < count whose seed byte is 0.
void bumped_keys(const BucketRun& run, const std::uint8_t* seeds, std::uint32_t count, std::vector<std::uint64_t>& out);

// ---------------------------------------------------------------------------
// Seed search.

// Position costs: LOG2[i] = round(65536 · log2(i)), 4096 entries.
const std::uint32_t* log2_table() noexcept;

// The lead of a bucket of size class k (1..16) for window W.
std::int64_t lead(unsigned k, std::uint64_t window) noexcept;

struct SeedScratch;

// Seed buckets 0 .. count-1 of the run into seeds (zero on entry), marking
// every placed key's slot in map (origin slot base).
void seed_run(const BucketRun& run, std::uint8_t* seeds, std::uint32_t count, Map& map, std::uint64_t base);

// One bucket by the lane search (1..16 keys, no window past the level's
// end). applied = false when a window passes the end (nothing searched).
struct LaneResult {
  bool applied;
  std::uint8_t byte;
};
LaneResult seed_bucket_lanes(const Geometry& g, std::span<const std::uint64_t> keys, Map& map, std::uint64_t base);

// One bucket by the general search (up to 64 keys; windows may wrap).
std::uint8_t seed_bucket(const Geometry& g, std::span<const std::uint64_t> keys, Map& map, std::uint64_t base);

// ---------------------------------------------------------------------------
// Order: sortedness, grouped source of an unsorted slice, bucket order of a
// further level.

bool is_sorted(std::span<const std::uint64_t> hashes, std::uint64_t threads);

using quorvale::parallel_claims;

class Grouped {
 public:
  Grouped(std::span<const std::uint64_t> keys, const ChunkPlan& plan, std::uint64_t threads);

  // A claimed chunk: its keys (valid while `reader` is held).
  struct Claimed {
    std::size_t chunk;
    std::span<const std::uint64_t> keys;
    std::shared_lock<std::shared_mutex> reader;
  };
  std::optional<Claimed> claim();

  std::uint64_t largest_chunk_keys() const noexcept { return largest_chunk_; }
  std::size_t groups() const noexcept { return group_starts_.size() - 1; }

 private:
  void copy_group(std::size_t g, std::vector<std::uint64_t>& offsets);

  std::span<const std::uint64_t> keys_;
  std::uint64_t buckets_;
  std::vector<std::uint32_t> table_;
  std::uint32_t table_shift_ = 16;
  std::vector<std::uint8_t> group_codes_;
  std::vector<std::size_t> group_starts_;
  std::size_t slice_len_ = 0;
  std::size_t slices_ = 0;
  std::size_t threads_ = 1;
  std::vector<std::vector<std::uint32_t>> counts_;  // per slice, per chunk
  Pages<std::uint64_t> code_words_;
  std::uint64_t largest_chunk_ = 0;

  std::mutex claim_mutex_;
  std::vector<std::uint64_t> chunk_offsets_;
  std::size_t loaded_group_ = 0;
  std::size_t next_chunk_ = 0;

  std::shared_mutex buffer_lock_;
  Pages<std::uint64_t> group_buffer_;
};

// The level-k hashes of keys, written in bucket order into out (positions:
// B + 1 first output indices per bucket).
void group_by_bucket(std::span<const std::uint64_t> keys, std::uint64_t k, std::uint64_t B,
                     std::span<const std::uint64_t> positions, std::span<std::uint64_t> out, std::uint64_t threads);

// The level hash of a raw key for further level k >= 1.
inline std::uint64_t level_hash(std::uint64_t key, std::uint64_t k) noexcept { return splitmix64(key ^ (k * PHI)); }

// ---------------------------------------------------------------------------
// One level.

struct BuiltLevel {
  Map map;                           // the level map, base 0
  std::vector<std::uint64_t> bumped;  // keys of unseeded buckets, in chunk/gap order
  Level level;
  std::uint64_t keys_seen = 0;
};

BuiltLevel build_level(std::uint64_t n, const KeyInput& source, std::uint64_t threads, bool level0,
                       const StopProbe& stop = {});

// ---------------------------------------------------------------------------
// Tail.

struct Tail {
  Pages<std::uint16_t> pilots;
  std::uint64_t keys = 0, buckets = 0, slots = 0, seed = 0;
  Map map;  // one row, shift 0
};

// Place the remaining raw key hashes with 16-bit pilots; throws
// IndexError::Build MSG_NO_SEED when no attempt places every bucket.
Tail build_tail(std::span<const std::uint64_t> keys);

}  // namespace mphf_build
}  // namespace quorvale
