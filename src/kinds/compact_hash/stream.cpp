// The streamed builds: intake (hash, buffer, spill), settle (sort in memory
// or merge the runs), the minimal perfect hash over the representatives read
// back in order, and the compact kind's output (fingerprints, side table,
// blob). The closed kind's output lives in closed_hash.cpp.
#include <algorithm>

#include "threads.hpp"
#include "scratch.hpp"

namespace quorvale {

namespace compact_hash {

bool HashedKeys::next(Pair& out) {
  std::string_view key;
  if (!keys_.next(key)) return false;
  out = hash::hash_pair(key);
  return true;
}

void run_offline(const StreamRun& run, Scratch& scratch, const std::function<void()>& step) {
  auto guarded = [&] {
    struct Drop {
      Scratch& scratch;
      ~Drop() { scratch.remove(); }
    } drop{scratch};
    step();
  };
  if (run.offline) {
    run.offline(guarded);
  } else {
    guarded();
  }
}

void intake(PairSource& pairs, Scratch& scratch, std::uint64_t pair_budget, std::vector<Pair>& buffer) {
  const std::size_t capacity = static_cast<std::size_t>(std::max<std::uint64_t>(1, pair_budget / RECORD));
  Pair p;
  while (pairs.next(p)) {
    if (buffer.capacity() < capacity) buffer.reserve(capacity);  // once, at the first pair
    buffer.push_back(p);
    if (buffer.size() == capacity) scratch.spill(buffer);
  }
}

Settled settle(Scratch& scratch, std::vector<Pair>&& buffer, const char* too_many) {
  Settled s;
  std::uint64_t repeated = 0;
  if (scratch.runs() == 0) {
    sort_run(buffer, scratch.threads());
    buffer.erase(std::unique(buffer.begin(), buffer.end()), buffer.end());
    for (std::size_t i = 1; i < buffer.size(); ++i) repeated += buffer[i].first == buffer[i - 1].first;
    s.n = buffer.size();
    s.pairs.memory = std::move(buffer);
  } else {
    if (!buffer.empty()) scratch.spill(buffer);
    std::vector<Pair>().swap(buffer);
    Merged merged = scratch.merge();
    s.n = merged.pairs;
    repeated = merged.repeated;
    s.pairs.in_memory = false;
    s.pairs.outputs = std::move(merged.outputs);
  }
  if (s.n > UINT32_MAX) throw IndexError::format(too_many);
  s.m = s.n - repeated;
  if (s.n == 0) return s;
  stop_if(scratch.stop());
  Reps reps(s.pairs.source());
  std::exception_ptr failed;
  try {
    s.mph.emplace(V2::build_from(s.m, KeyInput::from_stream(reps), scratch.threads(), scratch.stop()));
  } catch (...) {
    failed = std::current_exception();
  }
  // A read error cuts the stream short, which the build reports as a count
  // error: the read error is the one to report.
  if (reps.stash()) std::rethrow_exception(reps.stash());
  if (failed) std::rethrow_exception(failed);
  return s;
}

}  // namespace compact_hash

using namespace compact_hash;

std::uint64_t CompactHashIndex::build_to_file(PairSource& pairs, const std::string& path,
                                              std::uint32_t fingerprint_bits, const StreamRun& run) {
  if (fingerprint_bits < 1 || fingerprint_bits > 64) throw IndexError::format(MSG_BITS);
  const std::uint32_t b = fingerprint_bits;
  const StopProbe& failed = run.stop;
  const StreamLimits& limits = run.limits;
  auto source_failed = [&] { return failed && failed(); };
  Scratch scratch(path, hash_engine::threads_of(run), failed);
  std::vector<Pair> buffer;
  intake(pairs, scratch, limits.pair_budget, buffer);
  if (source_failed()) throw IndexError::format(MSG_RAISED);

  std::uint64_t n = 0;
  run_offline(run, scratch, [&] {
    Settled s = settle(scratch, std::move(buffer), MSG_TOO_MANY);
    const Mphf* mph = s.mph ? &*s.mph : nullptr;
    stop_if(failed);
    Placed placed = place_stage(scratch, s.pairs, mph, s.m, b, limits);
    s.pairs = {};
    stop_if(failed);
    std::vector<SideEntry> side(placed.side.size());
    for (std::size_t k = 0; k < side.size(); ++k)
      side[k] = {placed.side[k].first, placed.side[k].second, static_cast<std::uint32_t>(s.m + k)};
    std::vector<Pair>().swap(placed.side);
    const std::vector<unsigned char> side_records = side_bytes(side);
    const std::uint64_t image_len = mph ? mph->byte_len() : 0;

    write_streamed<HEADER_LEN>(
        path,
        [&](Hashed<BufWriter>& out) {
          if (mph) mph->write_into(out);
          if (placed.ranges == 0) {
            if (!placed.table.empty()) out.write_all(std::span<const unsigned char>(placed.table.data(), placed.table.size()));
          } else {
            fold_ranges(scratch, placed.ranges, s.m, limits.range_slots, b,
                        [&](std::span<const unsigned char> stretch) { out.write_all(stretch); });
          }
          if (!side_records.empty()) out.write_all(side_records);
          if (source_failed()) throw IndexError::format(MSG_RAISED);
        },
        [&](std::uint64_t checksum) {
          return header_v7(s.n, b, image_len, static_cast<std::uint32_t>(side.size()), checksum);
        });
    n = s.n;
  });
  return n;
}

std::uint64_t CompactHashIndex::build_to_file(KeySource& keys, const std::string& path,
                                              std::uint32_t fingerprint_bits, const StreamRun& run) {
  HashedKeys pairs(keys);
  return build_to_file(pairs, path, fingerprint_bits, run);
}

}  // namespace quorvale
