// The streamed keyless builds: spilled runs and their merge, the readers,
// fingerprint placement in memory and in range files, torn scratch files,
// the failure probe, write failures, and whole files against the in-memory
// builds over the same pairs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "compact_hash/scratch.hpp"
#include "keyless_fixtures.hpp"
#include "scratch_files.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using hash_engine::Pair;
using hash_engine::StreamLimits;
using keyless_fixtures::case_pairs;
using keyless_fixtures::VectorPairs;
using keyless_fixtures::error_of;

namespace {

using Bytes = std::vector<unsigned char>;

const std::string TORN = "io error: compact-hash: a scratch file is torn";
const std::string RAISED = "format error: compact-hash: the input iterable raised before it ended";
const std::string STOPPED = "io error: operation interrupted";

Bytes read_bytes(const std::string& path) {
  const std::string s = read_file(path);
  return Bytes(s.begin(), s.end());
}

// bits 0: the closed kind.
Bytes in_memory(const std::vector<Pair>& pairs, std::uint32_t bits) {
  if (bits == 0) return ClosedHashIndex::build_from_pairs(pairs).to_bytes();
  return CompactHashIndex::build_from_pairs(pairs, bits).to_bytes();
}

std::uint64_t streamed(const std::vector<Pair>& pairs, std::uint32_t bits, const std::string& path,
                       const StreamLimits& limits, std::size_t threads,
                       const StopProbe& failed = {}) {
  VectorPairs source(pairs);
  hash_engine::StreamRun run;
  run.stop = failed;
  run.threads = threads;
  run.limits = limits;
  if (bits == 0) return ClosedHashIndex::build_to_file(source, path, run);
  return CompactHashIndex::build_to_file(source, path, bits, run);
}

std::uint64_t distinct(std::vector<Pair> pairs) {
  std::sort(pairs.begin(), pairs.end(), hash_engine::pair_less);
  return static_cast<std::uint64_t>(std::unique(pairs.begin(), pairs.end()) - pairs.begin());
}

StreamLimits budget_of(std::size_t pairs) {
  StreamLimits l;
  l.pair_budget = 16 * pairs;
  return l;
}

// Pairs whose first words all lie in merge bucket b.
std::vector<Pair> in_bucket(std::size_t b, std::size_t count, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Pair> out(count);
  for (auto& p : out) p = {(std::uint64_t{b} << 54) | (rng() >> 10), rng()};
  return out;
}

std::vector<Pair> read_segments(std::vector<std::string> paths) {
  compact_hash::Segments s = compact_hash::Segments::open(std::move(paths));
  std::vector<Pair> all, batch;
  while (s.fill(batch)) all.insert(all.end(), batch.begin(), batch.end());
  return all;
}

Mphf mph_over(const std::vector<Pair>& sorted) {
  std::vector<std::uint64_t> firsts;
  for (const Pair& p : sorted)
    if (firsts.empty() || firsts.back() != p.first) firsts.push_back(p.first);
  return Mphf::build_with_threads(firsts, 2);
}

std::vector<Pair> sorted_distinct(std::vector<Pair> pairs) {
  std::sort(pairs.begin(), pairs.end(), hash_engine::pair_less);
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  return pairs;
}

}  // namespace

// ---- whole builds ----

TEST(StreamBuild, FilesEqualTheInMemoryBuilds) {
  TempDir dir;
  const std::vector<Pair> base = case_pairs(3000, 11);
  // Every pair twice, the second copy reversed: repeats land in other runs.
  std::vector<Pair> pairs = base;
  pairs.insert(pairs.end(), base.rbegin(), base.rend());
  const std::uint64_t n = distinct(pairs);
  const std::size_t count = pairs.size();
  struct Mode {
    const char* name;
    std::uint64_t budget_pairs;
    bool spills;
  };
  const Mode modes[] = {
      {"never spilled", count + 1, false},
      {"spilled at the last pair", count, true},
      {"many spills", count / 7, true},
  };
  for (std::uint32_t bits : {0u, 1u, 7u, 8u, 12u, 24u, 64u}) {
    const Bytes want = in_memory(pairs, bits);
    for (const Mode& mode : modes) {
      for (bool ranged : {false, true}) {
        if (bits == 0 && ranged) continue;
        SCOPED_TRACE(std::string(mode.name) + ", bits " + std::to_string(bits) + (ranged ? ", ranges" : ""));
        StreamLimits limits = budget_of(mode.budget_pairs);
        if (ranged) {
          limits.table_limit = 100;
          limits.range_slots = 512;  // a last range shorter than the others
        }
        const std::string path = dir / "out";
        const std::uint64_t seq = scratch::SEQ.load();
        EXPECT_EQ(streamed(pairs, bits, path, limits, 2), n);
        EXPECT_EQ(read_bytes(path), want);
        // Only a spill or a range file makes the scratch directory: one name
        // for the blob's temporary file, one more for the directory.
        EXPECT_EQ(scratch::SEQ.load() - seq, mode.spills || ranged ? 2u : 1u);
        EXPECT_EQ(dir.names(), std::set<std::string>{"out"});
      }
    }
  }
}

TEST(StreamBuild, EmptyStreamsAndSmallSets) {
  TempDir dir;
  for (std::uint32_t bits : {0u, 1u, 8u, 64u}) {
    for (std::size_t count : {0u, 1u, 2u, 300u}) {
      SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(count) + " pairs");
      const std::vector<Pair> pairs = case_pairs(count, 5);
      for (std::size_t budget : {std::size_t{1}, std::size_t{1} << 20}) {
        EXPECT_EQ(streamed(pairs, bits, dir / "out", budget_of(budget), 1), distinct(pairs));
        EXPECT_EQ(read_bytes(dir / "out"), in_memory(pairs, bits));
      }
    }
  }
  streamed({}, 12, dir / "empty", StreamLimits{}, 1);
  EXPECT_EQ(read_bytes(dir / "empty").size(), 40u);
  streamed({}, 0, dir / "empty", StreamLimits{}, 1);
  EXPECT_EQ(read_bytes(dir / "empty").size(), 36u);
}

TEST(StreamBuild, EntriesOverKeys) {
  TempDir dir;
  class Keys final : public KeySource {
   public:
    explicit Keys(std::vector<std::string> keys) : keys_(std::move(keys)) {}
    bool next(std::string_view& key) override {
      if (at_ == keys_.size()) return false;
      key = keys_[at_++];
      return true;
    }

   private:
    std::vector<std::string> keys_;
    std::size_t at_ = 0;
  };
  std::vector<std::string> keys;
  for (int i = 0; i < 2000; ++i) keys.push_back("key " + std::to_string(i % 1500));
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  Keys a(keys);
  EXPECT_EQ(CompactHashIndex::build_to_file(a, dir / "compact"), 1500u);
  EXPECT_EQ(read_bytes(dir / "compact"), CompactHashIndex::build(views).to_bytes());
  Keys b(keys);
  EXPECT_EQ(ClosedHashIndex::build_to_file(b, dir / "closed"), 1500u);
  EXPECT_EQ(read_bytes(dir / "closed"), ClosedHashIndex::build(views).to_bytes());
}

TEST(StreamBuild, WidthIsCheckedBeforeAnyPair) {
  TempDir dir;
  class Untouchable final : public hash_engine::PairSource {
   public:
    bool next(Pair&) override {
      ADD_FAILURE() << "a pair was asked for";
      return false;
    }
  } source;
  for (std::uint32_t bits : {0u, 65u})
    EXPECT_EQ(error_of([&] { CompactHashIndex::build_to_file(source, dir / "out", bits); }),
              "format error: compact-hash: fingerprint_bits must be in 1..=64");
  EXPECT_TRUE(dir.names().empty());
}

// ---- the merge and its readers ----

TEST(StreamMerge, RepeatsAcrossRunsOnceAndGroupsCounted) {
  TempDir dir;
  compact_hash::Scratch scratch(dir / "out", 1);
  std::vector<Pair> run{{5, 9}, {5, 1}};
  scratch.spill(run);
  EXPECT_TRUE(run.empty());
  run = {{7, 2}, {5, 1}, {5, 1}};
  scratch.spill(run);
  compact_hash::Merged merged = scratch.merge();
  ASSERT_EQ(merged.outputs.size(), 1u);
  EXPECT_EQ(merged.outputs[0], *scratch.directory() + "/m0");
  EXPECT_EQ(merged.pairs, 3u);
  EXPECT_EQ(merged.repeated, 1u);  // (5,9) after (5,1)
  EXPECT_EQ(read_segments(merged.outputs), (std::vector<Pair>{{5, 1}, {5, 9}, {7, 2}}));
  // Run files hold the records little-endian, first word then second.
  const Bytes run0 = read_bytes(*scratch.directory() + "/0");
  ASSERT_EQ(run0.size(), 32u);
  EXPECT_EQ(run0[0], 5);
  EXPECT_EQ(run0[8], 1);
  EXPECT_EQ(run0[16], 5);
  EXPECT_EQ(run0[24], 9);

  compact_hash::Pairs pairs;
  pairs.in_memory = false;
  pairs.outputs = merged.outputs;
  compact_hash::Reps reps(pairs.source());
  std::vector<std::uint64_t> firsts;
  for (std::uint64_t f; reps.next(f);) firsts.push_back(f);
  EXPECT_EQ(firsts, (std::vector<std::uint64_t>{5, 7}));
  EXPECT_FALSE(reps.stash());
  compact_hash::All all(pairs.source());
  std::vector<Pair> every;
  for (Pair p; all.next(p);) every.push_back(p);
  EXPECT_EQ(every.size(), 3u);

  // The same readers over pairs in memory.
  compact_hash::Pairs held;
  held.memory = {{5, 1}, {5, 9}, {7, 2}};
  compact_hash::Reps mem(held.source());
  firsts.clear();
  for (std::uint64_t f; mem.next(f);) firsts.push_back(f);
  EXPECT_EQ(firsts, (std::vector<std::uint64_t>{5, 7}));
}

TEST(StreamMerge, OneThreadOneRange) {
  TempDir dir;
  compact_hash::Scratch scratch(dir / "out", 1);
  std::vector<Pair> run = case_pairs(5000, 3);
  scratch.spill(run);
  EXPECT_EQ(compact_hash::merge_bounds(scratch.indexes(), 1), (std::vector<std::uint32_t>{0, 1024}));
  EXPECT_EQ(scratch.merge().outputs.size(), 1u);
}

TEST(StreamMerge, AllInOneBucketLeavesAnEmptyRange) {
  TempDir dir;
  for (std::size_t b : {0u, 3u, 1022u}) {
    compact_hash::Scratch scratch(dir / "out", 4);
    std::vector<Pair> run = in_bucket(b, 10, b);
    const std::vector<Pair> want = sorted_distinct(run);
    scratch.spill(run);
    EXPECT_EQ(compact_hash::merge_bounds(scratch.indexes(), 4),
              (std::vector<std::uint32_t>{0, static_cast<std::uint32_t>(b + 1), 1024}));
    compact_hash::Merged merged = scratch.merge();
    ASSERT_EQ(merged.outputs.size(), 2u);
    EXPECT_TRUE(std::filesystem::exists(merged.outputs[1]));
    EXPECT_EQ(std::filesystem::file_size(merged.outputs[1]), 0u);
    EXPECT_EQ(read_segments(merged.outputs), want);
    // Empty outputs anywhere in the list are skipped.
    EXPECT_EQ(read_segments({merged.outputs[1], merged.outputs[0], merged.outputs[1]}), want);
  }
}

TEST(StreamMerge, BoundsAscendStrictlyToTheLastBucket) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<compact_hash::RunIndex> indexes(1 + rng() % 3);
    for (auto& idx : indexes) {
      idx[0] = 0;
      const bool crowded = rng() % 2;
      for (std::size_t b = 0; b < 1024; ++b)
        idx[b + 1] = idx[b] + (crowded ? (rng() % 50 == 0 ? rng() % 1000 : 0) : rng() % 4);
    }
    for (std::size_t threads : {0u, 1u, 2u, 7u, 64u, 2000u}) {
      const std::vector<std::uint32_t> bounds = compact_hash::merge_bounds(indexes, threads);
      ASSERT_GE(bounds.size(), 2u);
      EXPECT_LE(bounds.size(), std::max<std::size_t>(threads, 1) + 1);
      EXPECT_EQ(bounds.front(), 0u);
      EXPECT_EQ(bounds.back(), 1024u);
      for (std::size_t i = 1; i < bounds.size(); ++i) EXPECT_LT(bounds[i - 1], bounds[i]);
    }
  }
}

TEST(StreamMerge, NoRecordsGiveEmptyOutputs) {
  TempDir dir;
  compact_hash::Scratch scratch(dir / "out", 3);
  std::vector<Pair> none;
  scratch.spill(none);
  compact_hash::Merged merged = scratch.merge();
  EXPECT_EQ(merged.outputs.size(), 1u);
  EXPECT_EQ(merged.pairs, 0u);
  EXPECT_TRUE(read_segments(merged.outputs).empty());
}

TEST(StreamScratch, DirectoryNamedAfterThePathAndRemoved) {
  TempDir dir;
  std::string made;
  {
    compact_hash::Scratch scratch(dir / "words.idx", 1);
    const std::uint64_t seq = scratch::SEQ.load();
    made = scratch.dir();
    EXPECT_EQ(made, dir / ("words.idx." + std::to_string(::getpid()) + "." + std::to_string(seq) + ".runs"));
    EXPECT_EQ(scratch.dir(), made);  // made once
    EXPECT_TRUE(std::filesystem::is_directory(made));
  }
  EXPECT_FALSE(std::filesystem::exists(made));
  // A directory left by a dead process that had our id is skipped and kept.
  const std::uint64_t seq = scratch::SEQ.load();
  auto named = [&](std::uint64_t s) { return dir / ("t." + std::to_string(::getpid()) + "." + std::to_string(s) + ".runs"); };
  std::filesystem::create_directory(named(seq));
  {
    compact_hash::Scratch scratch(dir / "t", 1);
    EXPECT_EQ(scratch.dir(), named(seq + 1));
  }
  EXPECT_TRUE(std::filesystem::is_directory(named(seq)));
  EXPECT_FALSE(std::filesystem::exists(named(seq + 1)));
}

// ---- fingerprint placement ----

TEST(StreamFingerprints, TableLimitIsInclusive) {
  TempDir dir;
  const std::vector<Pair> pairs = sorted_distinct(case_pairs(4000, 21));
  const Mphf mph = mph_over(pairs);
  const std::uint64_t m = mph.n();
  for (std::uint32_t bits : {1u, 12u, 64u}) {
    const std::uint64_t len = (m * bits + 7) / 8;
    compact_hash::Pairs set;
    set.memory = pairs;
    for (std::uint64_t limit : {len, len - 1}) {
      compact_hash::Scratch scratch(dir / "out", 2);
      StreamLimits limits;
      limits.table_limit = limit;
      limits.range_slots = 1024;
      compact_hash::Placed placed = compact_hash::place_stage(scratch, set, &mph, m, bits, limits);
      if (limit == len) {
        EXPECT_EQ(placed.ranges, 0u);
        EXPECT_EQ(placed.table.size(), len);
        EXPECT_FALSE(scratch.directory());
      } else {
        EXPECT_EQ(placed.ranges, (m + 1023) / 1024);
        // Every range but the last holds 1024 slots: 1024 records.
        const std::size_t record = 4 + (bits + 7) / 8;
        for (std::uint64_t k = 0; k < placed.ranges; ++k) {
          const std::uint64_t slots = std::min<std::uint64_t>(1024, m - k * 1024);
          EXPECT_EQ(std::filesystem::file_size(scratch.path_of(std::string("r").append(std::to_string(k)))),
                    slots * record);
        }
        Bytes folded;
        compact_hash::fold_ranges(scratch, placed.ranges, m, 1024, bits, [&](std::span<const unsigned char> s) {
          folded.insert(folded.end(), s.begin(), s.end());
        });
        EXPECT_EQ(folded.size(), len);
      }
    }
  }
}

TEST(StreamFingerprints, InterleavedRecordsFoldToOneStretch) {
  TempDir dir;
  const std::uint32_t bits = 12;
  const std::uint64_t m = 1000;
  std::mt19937_64 rng(4);
  std::vector<std::uint64_t> values(m);
  Bytes want((m * bits + 7) / 8, 0);
  for (std::uint64_t s = 0; s < m; ++s) {
    values[s] = rng() & 0xfff;
    hash_engine::write_fp(want, s, bits, values[s]);
  }
  std::vector<std::uint64_t> order(m);
  for (std::uint64_t s = 0; s < m; ++s) order[s] = s;
  for (int round = 0; round < 3; ++round) {
    std::shuffle(order.begin(), order.end(), rng);
    compact_hash::Scratch scratch(dir / "out", 1);
    std::string records;
    for (std::uint64_t s : order) {
      unsigned char r[6];
      store_le32(r, static_cast<std::uint32_t>(s));
      r[4] = static_cast<unsigned char>(values[s]);
      r[5] = static_cast<unsigned char>(values[s] >> 8);
      records.append(reinterpret_cast<const char*>(r), 6);
    }
    write_file(scratch.path_of("r0"), records);
    Bytes got;
    compact_hash::fold_ranges(scratch, 1, m, 1024, bits,
                              [&](std::span<const unsigned char> s) { got.assign(s.begin(), s.end()); });
    EXPECT_EQ(got, want);
  }
}

TEST(StreamFingerprints, GroupSplitAcrossBatches) {
  TempDir dir;
  // A group whose representative ends one batch and whose other pair starts the next.
  std::vector<Pair> pairs(70000);
  for (std::size_t i = 0; i < pairs.size(); ++i) pairs[i] = {splitmix64(2 * i), splitmix64(2 * i + 1)};
  pairs = sorted_distinct(pairs);
  pairs.insert(pairs.begin() + 65536, Pair{pairs[65535].first, pairs[65535].second + 1});
  const Mphf mph = mph_over(pairs);
  const Pair straddling = pairs[65536];

  // From memory (batches of 65,536 pairs) and from a merge output (1 MiB reads).
  std::string records;
  for (const Pair& p : pairs) {
    unsigned char r[16];
    store_le64(r, p.first);
    store_le64(r + 8, p.second);
    records.append(reinterpret_cast<const char*>(r), 16);
  }
  write_file(dir / "m0", records);
  for (int from_file = 0; from_file < 2; ++from_file) {
    compact_hash::Source source = from_file ? compact_hash::Source::files(compact_hash::Segments::open({dir / "m0"}))
                                            : compact_hash::Source::memory(pairs);
    Bytes table((mph.n() * 8 + 7) / 8, 0);
    compact_hash::Out out = compact_hash::Out::direct(table, 8);
    const std::vector<Pair> side = compact_hash::place_fingerprints(source, &mph, 8, out);
    EXPECT_EQ(side, std::vector<Pair>{straddling});
    EXPECT_EQ(table[mph.index(straddling.first)], static_cast<unsigned char>(pairs[65535].second));
  }
}

TEST(StreamFingerprints, NoPairsNoTable) {
  TempDir dir;
  compact_hash::Scratch scratch(dir / "out", 1);
  compact_hash::Pairs none;
  compact_hash::Placed placed = compact_hash::place_stage(scratch, none, nullptr, 0, 12, StreamLimits{});
  EXPECT_EQ(placed.ranges, 0u);
  EXPECT_TRUE(placed.table.empty());
  EXPECT_TRUE(placed.side.empty());
}

// ---- torn scratch files ----

TEST(StreamTorn, ARunCutByOneByte) {
  TempDir dir;
  compact_hash::Scratch scratch(dir / "out", 1);
  std::vector<Pair> run = case_pairs(100, 1);
  scratch.spill(run);
  std::filesystem::resize_file(scratch.path_of("0"), std::filesystem::file_size(scratch.path_of("0")) - 1);
  EXPECT_EQ(error_of([&] { scratch.merge(); }), TORN);
}

TEST(StreamTorn, AMergeOutputEndingInsideARecord) {
  TempDir dir;
  write_file(dir / "m0", std::string(33, 'x'));
  compact_hash::Segments s = compact_hash::Segments::open({dir / "m0"});
  std::vector<Pair> batch;
  EXPECT_TRUE(s.fill(batch));
  EXPECT_EQ(batch.size(), 2u);
  EXPECT_EQ(error_of([&] { s.fill(batch); }), TORN);
  // Reps keeps the error in its stash.
  compact_hash::Reps reps(compact_hash::Source::files(compact_hash::Segments::open({dir / "m0"})));
  std::uint64_t f;
  while (reps.next(f)) {
  }
  ASSERT_TRUE(reps.stash());
  EXPECT_EQ(error_of([&] { std::rethrow_exception(reps.stash()); }), TORN);
}

TEST(StreamTorn, ARangeFileOfPartRecords) {
  TempDir dir;
  compact_hash::Scratch scratch(dir / "out", 1);
  write_file(scratch.path_of("r0"), std::string(5 * 3 + 2, '\0'));  // bits 1: 5-byte records
  EXPECT_EQ(error_of([&] { compact_hash::fold_ranges(scratch, 1, 3, 8, 1, [](std::span<const unsigned char>) {}); }),
            TORN);
}

// ---- failures leave nothing ----

// The probe is asked when the stream ends, between the later stages and by
// their workers, and (compact) in the writer before the header. A yes at any
// ask abandons the build with the target as it was and nothing beside it:
// the compact kind's first and last asks report the source's failure, the
// others a stop.
TEST(StreamFailure, AYesAtAnyAskLeavesNothing) {
  TempDir dir;
  const std::vector<Pair> pairs = case_pairs(2000, 2);
  for (std::uint32_t bits : {8u, 0u}) {
    for (std::size_t budget : {std::size_t{300}, std::size_t{1} << 20}) {
      SCOPED_TRACE(std::to_string(bits) + " bits, budget " + std::to_string(budget));
      std::atomic<int> asked{0};
      streamed(pairs, bits, dir / "out", budget_of(budget), 2, [&] { return ++asked < 0; });
      const int asks = asked.load();
      ASSERT_GE(asks, 4);
      write_file(dir / "out", "old");
      for (int yes_at : {1, 2, asks / 2, asks}) {
        asked = 0;
        const std::string e = error_of([&] {
          streamed(pairs, bits, dir / "out", budget_of(budget), 2, [&] { return ++asked >= yes_at; });
        });
        EXPECT_EQ(e, bits != 0 && (yes_at == 1 || yes_at == asks) ? RAISED : STOPPED) << yes_at;
        EXPECT_EQ(read_file(dir / "out"), "old");
        EXPECT_EQ(dir.names(), std::set<std::string>{"out"});
      }
      std::filesystem::remove(dir / "out");
    }
  }
}

namespace {

// Runs body in a child process whose files may not grow past `limit` bytes
// (SIGXFSZ ignored, so a write fails with EFBIG); the child's exit status is
// 0 when body returns true.
int in_child_with_file_limit(rlim_t limit, const std::function<bool()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    bool ok = false;
    try {
      ok = body();
    } catch (...) {
    }
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

}  // namespace

TEST(StreamFailure, WriteFailuresLeaveTheTargetAsItWas) {
  TempDir dir;
  const std::vector<Pair> pairs = case_pairs(20000, 6);  // ~20,000 distinct pairs
  struct Case {
    const char* where;
    std::size_t budget_pairs;
    rlim_t limit;
  };
  const Case cases[] = {
      {"spill", 5000, 16 * 1000},      // a run is 80,000 bytes
      {"merge", 5000, 16 * 6000},      // runs fit, the one merge output does not
      {"output", 1 << 20, 1000},       // never spilled; the blob is ~25,000 bytes
  };
  for (const Case& c : cases) {
    for (std::uint32_t bits : {0u, 8u}) {
      SCOPED_TRACE(std::string(c.where) + (bits ? " compact" : " closed"));
      write_file(dir / "out", "old");
      const int status = in_child_with_file_limit(c.limit, [&] {
        const std::string e = error_of([&] { streamed(pairs, bits, dir / "out", budget_of(c.budget_pairs), 1); });
        return e.rfind("io error: File too large", 0) == 0 && read_file(dir / "out") == "old" &&
               dir.names() == std::set<std::string>{"out"};
      });
      EXPECT_EQ(status, 0);
    }
  }
}

TEST(StreamFailure, AnUnwritableDirectory) {
  TempDir dir;
  const std::vector<Pair> pairs = case_pairs(100, 6);
  const std::string missing = dir / "no/such/dir/out";
  for (std::size_t budget : {std::size_t{10}, std::size_t{1} << 20}) {
    const std::string e = error_of([&] { streamed(pairs, 8, missing, budget_of(budget), 1); });
    EXPECT_EQ(e.rfind("io error: No such file or directory", 0), 0u) << e;
  }
  EXPECT_TRUE(dir.names().empty());
}

// ---- the real limits ----

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && defined(NDEBUG)
TEST(StreamBuild, RealLimitsAtTheBufferSize) {
  TempDir dir;
  const std::size_t full = std::size_t{1} << 24;
  std::vector<Pair> pairs(full);
  for (std::size_t i = 0; i < full; ++i) pairs[i] = {splitmix64(2 * i), splitmix64(2 * i + 1)};
  for (std::size_t count : {full, full - 1}) {
    pairs.resize(count);
    const std::uint64_t seq = scratch::SEQ.load();
    EXPECT_EQ(streamed(pairs, 8, dir / "out", StreamLimits{}, 0), count);
    EXPECT_EQ(scratch::SEQ.load() - seq, count == full ? 2u : 1u);  // one spill at the last pair
    EXPECT_EQ(read_bytes(dir / "out"), in_memory(pairs, 8));
  }
}
#endif
