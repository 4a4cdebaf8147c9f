// The streamed keyless builds' workers (the merge's ranges, the fingerprint
// workers sharing range files): whole files at 1, 2 and 8 threads against
// the in-memory builds. Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "keyless_fixtures.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using hash_engine::Pair;
using keyless_fixtures::case_pairs;
using keyless_fixtures::VectorPairs;

TEST(StreamThreads, FilesEqualTheInMemoryBuildsAtAnyThreadCount) {
  TempDir dir;
  const std::vector<Pair> base = case_pairs(20000, 31);
  std::vector<Pair> pairs = base;
  pairs.insert(pairs.end(), base.begin(), base.begin() + 5000);  // repeats in a later run
  for (std::uint32_t bits : {0u, 7u, 8u, 64u}) {
    if (bits == 0) {
      ClosedHashIndex::build_from_pairs(pairs).save(dir / "want");
    } else {
      CompactHashIndex::build_from_pairs(pairs, bits).save(dir / "want");
    }
    const std::string want = read_file(dir / "want");
    for (std::size_t threads : {1u, 2u, 8u}) {
      for (bool ranged : {false, true}) {
        if (bits == 0 && ranged) continue;
        SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(threads) + " threads" + (ranged ? ", ranges" : ""));
        hash_engine::StreamRun run;
        run.threads = threads;
        run.limits.pair_budget = 16 * 3000;  // 9 runs
        if (ranged) {
          run.limits.table_limit = 0;
          run.limits.range_slots = 2048;
        }
        VectorPairs source(pairs);
        const std::uint64_t n = bits == 0 ? ClosedHashIndex::build_to_file(source, dir / "out", run)
                                          : CompactHashIndex::build_to_file(source, dir / "out", bits, run);
        EXPECT_EQ(n, 20000u + 3u);  // the group of three; the repeats count once
        EXPECT_EQ(read_file(dir / "out"), want);
      }
    }
  }
}
