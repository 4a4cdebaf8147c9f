// The external-memory half of the streamed keyless builds (compact_hash.hpp's
// build_to_file, closed_hash.hpp's build_to_file): full buffers of
// hash pairs spilled as sorted run files into a scratch directory beside the
// output, their merge into a few outputs of globally distinct pairs, the
// readers over the merged set, and the compact kind's fingerprint placement
// (a table in memory, or range files folded back while the blob is written).
//
// Scratch files, all in "<output>.<pid>.<seq>.runs", removed with the build:
// run files "0", "1", ... and merge outputs "m0", "m1", ..., 16-byte records
// (first word, second word, little-endian), ascending and distinct within a
// file; fingerprint range files "r0", "r1", ..., records of the global slot
// (u32 little-endian) and the fingerprint's low ceil(b / 8) bytes, in no
// order. They are this build's own, never flushed to storage; a file found
// shorter than its index or ending inside a record is "torn".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "blob.hpp"
#include "compact_hash/compact_hash.hpp"
#include "mphf_build.hpp"
#include "pages.hpp"
#include "perfect_hash.hpp"
#include "scratch_files.hpp"

namespace quorvale::compact_hash {

// Merge buckets: a pair's first word's top 10 bits. Bucket order agrees with
// pair order, so a group never straddles two buckets.
inline constexpr unsigned BUCKET_SHIFT = 54;
inline constexpr std::size_t MERGE_BUCKETS = 1024;
inline std::size_t merge_bucket(const Pair& p) noexcept { return static_cast<std::size_t>(p.first >> BUCKET_SHIFT); }

inline constexpr std::size_t RECORD = 16;                 // a run or merge-output record
inline constexpr std::size_t SLICE_WINDOW = 64 * 1024;    // a merge worker's window on one run
inline constexpr std::size_t OUTPUT_BLOCK = 1 << 20;      // a merge worker's output block
inline constexpr std::size_t SEGMENT_BUFFER = 1 << 20;    // a reader's buffer
inline constexpr std::size_t BATCH = 65536;               // pairs a reader hands out at once
inline constexpr std::size_t RANGE_BUCKET = 64 * 1024;    // a fingerprint worker's bucket per range
inline constexpr std::size_t FOLD_BUFFER = 1 << 20;       // the fold's read buffer (whole records)
inline constexpr std::size_t PLACE_BLOCK = 1024;          // representatives evaluated at once

// Io "compact-hash: a scratch file is torn".
IndexError torn();

// Entry b: the run's records in buckets below b; entry 1024 its record count.
using RunIndex = std::array<std::uint64_t, MERGE_BUCKETS + 1>;

// The merge's ranges of buckets for `threads` workers, from the run indexes
// alone: 0, then for i = 1..T-1 the first bucket boundary at which the
// running record count reaches i/T of the total (kept only when above the
// last bound), then 1024. Strictly ascending; range k is [bounds[k], bounds[k+1]).
std::vector<std::uint32_t> merge_bounds(std::span<const RunIndex> indexes, std::size_t threads);

// The merged set: outputs in range order (some may be empty), the distinct
// pairs over all runs and how many of them are not the first of their group.
struct Merged {
  std::vector<std::string> outputs;
  std::uint64_t pairs = 0;
  std::uint64_t repeated = 0;
};

// The spill manager of one build: the scratch directory (made at the first
// need), the run files and their indexes. Its destruction removes the
// directory with everything in it.
class Scratch {
 public:
  // `stop`: the build's failure probe, which the stages that read no key ask
  // between their steps and as their workers claim work.
  Scratch(std::string base, std::size_t threads, StopProbe stop = {})
      : dir_(std::move(base)), threads_(threads == 0 ? 1 : threads), stop_(std::move(stop)) {}
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  // The directory "<base>.<pid>.<seq>.runs", made on the first call.
  const std::string& dir() { return dir_.path(); }
  const std::optional<std::string>& directory() const noexcept { return dir_.made(); }
  // Sorts the buffer, drops repeats and writes it as the next run; the buffer
  // is left empty with its capacity.
  void spill(std::vector<Pair>& buffer);
  // Merges every run on `threads` workers (once, after the last spill).
  Merged merge();
  // Removes the directory now (errors ignored).
  void remove() noexcept { dir_.remove(); }

  std::uint64_t runs() const noexcept { return runs_; }
  std::span<const RunIndex> indexes() const noexcept { return indexes_; }
  std::size_t threads() const noexcept { return threads_; }
  const StopProbe& stop() const noexcept { return stop_; }
  std::string path_of(const std::string& name) { return dir_.file(name); }

 private:
  scratch::Dir dir_;
  std::size_t threads_;
  StopProbe stop_;
  std::vector<RunIndex> indexes_;
  std::uint64_t runs_ = 0;
};

// A sequential reader over merge outputs, in order, skipping empty ones.
class Segments {
 public:
  // The first path is opened here; an empty list is a broken invariant.
  static Segments open(std::vector<std::string> paths);
  // Replaces `out` with the next whole records (at most BATCH); false when
  // every file is exhausted. A file ending inside a record is torn.
  bool fill(std::vector<Pair>& out);

 private:
  Segments() = default;
  Pages<unsigned char> buffer_;
  std::size_t held_ = 0;
  File file_;
  std::vector<std::string> paths_;
  std::size_t next_ = 0;  // the next path to open
};

// Where a reader takes its pairs from: sorted distinct pairs in memory,
// handed out BATCH at a time, or merge outputs.
class Source {
 public:
  static Source memory(std::span<const Pair> pairs) {
    Source s;
    s.memory_ = pairs;
    return s;
  }
  static Source files(Segments segments) {
    Source s;
    s.segments_.emplace(std::move(segments));
    return s;
  }
  // The next batch (valid until the next call), or false at the end.
  bool next(std::span<const Pair>& batch);

 private:
  Source() = default;
  std::span<const Pair> memory_;
  std::optional<Segments> segments_;
  std::vector<Pair> batch_;
};

// The distinct pair set once the intake has settled.
struct Pairs {
  bool in_memory = true;
  std::vector<Pair> memory;          // sorted, distinct (nothing was spilled)
  std::vector<std::string> outputs;  // the merge outputs in range order
  // A reader from the first pair.
  Source source() const;
};

// Pair by pair over a source; read errors are thrown.
class PairReader {
 public:
  explicit PairReader(Source source) : source_(std::move(source)) {}
  bool next(Pair& out) {
    while (at_ == batch_.size()) {
      if (!source_.next(batch_)) return false;
      at_ = 0;
    }
    out = batch_[at_++];
    return true;
  }

 private:
  Source source_;
  std::span<const Pair> batch_;
  std::size_t at_ = 0;
};

// Each distinct first word once, ascending: the key stream of the minimal
// perfect hash. A read error ends it early and waits in the stash, which the
// caller must look at (before the hash build's own error, which the short
// stream causes).
class Reps final : public KeyStream {
 public:
  explicit Reps(Source source) : reader_(std::move(source)) {}
  bool next(std::uint64_t& out) override;
  const std::exception_ptr& stash() const noexcept { return stash_; }

 private:
  PairReader reader_;
  std::optional<std::uint64_t> last_;
  std::exception_ptr stash_;
};

// Reads the source to its end and hands its representatives (the first
// pair of each group) on a block at a time as block(slots, seconds), their
// slots evaluated together; returns the side pairs in the source's order. A
// group split across two batches stays one group.
using RepresentativeBlock =
    std::function<void(std::span<const std::uint64_t> slots, std::span<const std::uint64_t> seconds)>;
std::vector<Pair> walk_representatives(Source& source, const Mphf* mph, const RepresentativeBlock& block);

// Every pair, ascending; a read error is thrown to the caller.
class All {
 public:
  explicit All(Source source) : reader_(std::move(source)) {}
  bool next(Pair& out) { return reader_.next(out); }

 private:
  PairReader reader_;
};

// ---- fingerprint placement ----

// One range file behind its own lock, shared by the fingerprint workers.
struct RangeFile {
  File file;
  std::mutex lock;
};

// A fingerprint worker's sink: the whole table in memory, or its own buckets
// of (slot, fingerprint) records, one per range file, appended to the file
// when full and at the end.
class Out {
 public:
  static Out direct(std::span<unsigned char> table, std::uint32_t bits) {
    Out o;
    o.table_ = table;
    o.bits_ = bits;
    return o;
  }
  // `buckets`: ranges * RANGE_BUCKET bytes of this worker's own.
  static Out ranged(std::span<RangeFile> files, std::span<unsigned char> buckets, std::uint64_t range_slots,
                    std::uint32_t bits) {
    Out o;
    o.files_ = files;
    o.buckets_ = buckets;
    o.fill_.assign(files.size(), 0);
    o.range_slots_ = range_slots;
    o.bits_ = bits;
    o.record_ = 4 + (bits + 7) / 8;
    return o;
  }
  void place(std::uint64_t slot, std::uint64_t value);
  // Appends bucket k's records to range file k, under its lock.
  void flush_range(std::size_t k);
  // Every range flushed, empty ones included (ranged only).
  void finish();

 private:
  Out() = default;
  std::span<unsigned char> table_;
  std::span<RangeFile> files_;
  std::span<unsigned char> buckets_;
  std::vector<std::uint64_t> fill_;
  std::uint64_t range_slots_ = 0;
  std::uint32_t bits_ = 8;
  std::uint32_t record_ = 0;
};

// walk_representatives placing every representative's fingerprint (the low
// `bits` bits of its second word) at its slot through `out`.
std::vector<Pair> place_fingerprints(Source& source, const Mphf* mph, std::uint32_t bits, Out& out);

// Where the stage left the fingerprints: a table in memory, or `ranges`
// range files in the scratch directory.
struct Placed {
  Pages<unsigned char> table;
  std::uint64_t ranges = 0;  // 0: the table is in memory
  std::vector<Pair> side;    // ascending
};

// The fingerprint stage: the table in memory when ceil(m * bits / 8) is at
// most the table limit, else ranges of `range_slots` slots in range files
// (one worker per merge output, or one over pairs in memory).
Placed place_stage(Scratch& scratch, const Pairs& pairs, const Mphf* mph, std::uint64_t m, std::uint32_t bits,
                   const StreamLimits& limits);

// Writes the table kept in range files: range by range, each folded into
// its zeroed stretch of the table and written through `sink`.
void fold_ranges(Scratch& scratch, std::uint64_t ranges, std::uint64_t m, std::uint64_t range_slots,
                 std::uint32_t bits, const std::function<void(std::span<const unsigned char>)>& sink);

// ---- the stages both kinds share ----

// Keys as hash pairs, each key hashed as it arrives.
class HashedKeys final : public PairSource {
 public:
  explicit HashedKeys(KeySource& keys) noexcept : keys_(keys) {}
  bool next(Pair& out) override;

 private:
  KeySource& keys_;
};

// Runs the offline part of a build through the run's runner; the scratch
// directory is removed before it returns, whatever the outcome.
void run_offline(const StreamRun& run, Scratch& scratch, const std::function<void()>& step);

// Hash pairs until the source ends, spilling every full buffer of
// max(1, budget / 16) pairs; the buffer holds what was not spilled.
void intake(PairSource& pairs, Scratch& scratch, std::uint64_t pair_budget, std::vector<Pair>& buffer);

// The distinct pairs settled (sorted in memory, or the rest spilled and the
// runs merged), n and m checked, and the minimal perfect hash over the m
// distinct first words (none when n is 0).
struct Settled {
  Pairs pairs;
  std::uint64_t n = 0;
  std::uint64_t m = 0;
  std::optional<Mphf> mph;
};
Settled settle(Scratch& scratch, std::vector<Pair>&& buffer, const char* too_many);

// Writes a keyless blob file atomically: H zero bytes of room, the payload
// (body(hashed writer)) through the payload hasher, then the H-byte header
// made from the payload checksum (header(checksum)) at offset 0.
template <std::size_t H, class Body, class Header>
void write_streamed(const std::string& path, Body&& body, Header&& header) {
  blob::write_atomically_with(path, [&](File& file) {
    BufWriter w(file);
    const std::array<unsigned char, H> room{};
    w.write_all(room);
    Hashed<BufWriter> hashed(w);
    body(hashed);
    const std::array<unsigned char, H> head = header(hashed.finish());
    w.seek(0);
    w.write_all(head);
    w.flush();
  });
}

}  // namespace quorvale::compact_hash
