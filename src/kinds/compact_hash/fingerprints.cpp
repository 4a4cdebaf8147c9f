// Fingerprint placement of the streamed compact build: one ordered pass over
// the distinct pairs puts every representative's fingerprint at its slot, in
// a table in memory or, past the table limit, in range files that the blob
// writer folds back stretch by stretch.
#include <algorithm>
#include <cstring>

#include "threads.hpp"
#include "scratch.hpp"

namespace quorvale::compact_hash {

namespace {

// Appended, not "r" + std::to_string(k): GCC 12 warns falsely (-Wrestrict) on
// a literal plus a temporary string.
std::string range_name(std::uint64_t k) { return std::string("r").append(std::to_string(k)); }

}  // namespace

void Out::place(std::uint64_t slot, std::uint64_t value) {
  if (files_.empty()) {
    write_fp(table_, slot, bits_, value);
    return;
  }
  const std::size_t k = static_cast<std::size_t>(slot / range_slots_);
  if (k >= files_.size()) panic("a fingerprint slot lies inside its table");
  if (fill_[k] + record_ > RANGE_BUCKET) flush_range(k);
  unsigned char* p = buckets_.data() + k * RANGE_BUCKET + fill_[k];
  store_le32(p, static_cast<std::uint32_t>(slot));
  for (std::uint32_t j = 0; j + 4 < record_; ++j) p[4 + j] = static_cast<unsigned char>(value >> (8 * j));
  fill_[k] += record_;
}

void Out::flush_range(std::size_t k) {
  std::lock_guard<std::mutex> held(files_[k].lock);
  if (fill_[k] > 0)
    files_[k].file.write_all(std::span<const unsigned char>(buckets_.data() + k * RANGE_BUCKET, fill_[k]));
  fill_[k] = 0;
}

void Out::finish() {
  for (std::size_t k = 0; k < files_.size(); ++k) flush_range(k);
}

std::vector<Pair> walk_representatives(Source& source, const Mphf* mph, const RepresentativeBlock& block) {
  std::vector<Pair> side;
  std::vector<std::uint64_t> firsts, seconds;
  firsts.reserve(PLACE_BLOCK);
  seconds.reserve(PLACE_BLOCK);
  auto hand_on = [&] {
    if (firsts.empty()) return;
    if (!mph) panic("a representative exists only when m > 0");
    block(mph->index_all(firsts), seconds);
    firsts.clear();
    seconds.clear();
  };
  bool any = false;
  std::uint64_t previous = 0;  // carried from batch to batch
  std::span<const Pair> batch;
  while (source.next(batch)) {
    for (const Pair& p : batch) {
      if (any && p.first == previous) {
        side.push_back(p);
        continue;
      }
      any = true;
      previous = p.first;
      firsts.push_back(p.first);
      seconds.push_back(p.second);
      if (firsts.size() == PLACE_BLOCK) hand_on();
    }
  }
  hand_on();
  return side;
}

std::vector<Pair> place_fingerprints(Source& source, const Mphf* mph, std::uint32_t bits, Out& out) {
  std::vector<Pair> side =
      walk_representatives(source, mph, [&](std::span<const std::uint64_t> slots, std::span<const std::uint64_t> seconds) {
        for (std::size_t i = 0; i < slots.size(); ++i) out.place(slots[i], low_bits(seconds[i], bits));
      });
  out.finish();
  return side;
}

Placed place_stage(Scratch& scratch, const Pairs& pairs, const Mphf* mph, std::uint64_t m, std::uint32_t bits,
                   const StreamLimits& limits) {
  Placed placed;
  const std::uint64_t table_len = (m * bits + 7) / 8;
  if (table_len <= limits.table_limit) {
    // One worker writes the whole table: the calling thread.
    placed.table = Pages<unsigned char>::zeroed(static_cast<std::size_t>(table_len));
    Out out = Out::direct(std::span<unsigned char>(placed.table.data(), placed.table.size()), bits);
    Source source = pairs.source();
    placed.side = place_fingerprints(source, mph, bits, out);
    return placed;
  }

  const std::uint64_t slots = limits.range_slots;
  if (slots == 0 || slots % 8 != 0) panic("a fingerprint range is whole bytes of the table");
  const std::size_t R = static_cast<std::size_t>((m + slots - 1) / slots);
  std::unique_ptr<RangeFile[]> files(new RangeFile[R]);
  for (std::size_t k = 0; k < R; ++k) files[k].file = File::create_new(scratch.path_of(range_name(k)));

  // One source per merge output, in order, so that the side pairs of the
  // sources joined in order ascend; pairs in memory are one source.
  std::vector<Source> sources;
  if (pairs.in_memory) {
    sources.push_back(pairs.source());
  } else {
    for (const std::string& output : pairs.outputs) sources.push_back(Source::files(Segments::open({output})));
  }
  const std::size_t S = sources.size();
  const std::size_t area = R * RANGE_BUCKET;
  Pages<unsigned char> buckets = Pages<unsigned char>::allocate(S * area);
  std::vector<std::vector<Pair>> sides(S);
  std::vector<std::exception_ptr> errors(S);
  std::atomic<std::size_t> next{0};
  // Sources are claimed from a counter: a worker that could not be started
  // leaves its source to the others.
  run_workers(S, [&](std::size_t) {
    for (;;) {
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= S) return;
      try {
        stop_if(scratch.stop());
        Out out = Out::ranged(std::span<RangeFile>(files.get(), R), std::span<unsigned char>(buckets.data() + i * area, area),
                              slots, bits);
        sides[i] = place_fingerprints(sources[i], mph, bits, out);
      } catch (...) {
        errors[i] = std::current_exception();
      }
    }
  });
  for (const std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
  for (std::size_t k = 0; k < R; ++k) files[k].file.close();
  for (std::vector<Pair>& s : sides) {
    placed.side.insert(placed.side.end(), s.begin(), s.end());
    std::vector<Pair>().swap(s);
  }
  placed.ranges = R;
  return placed;
}

void fold_ranges(Scratch& scratch, std::uint64_t ranges, std::uint64_t m, std::uint64_t range_slots,
                 std::uint32_t bits, const std::function<void(std::span<const unsigned char>)>& sink) {
  const std::size_t f = (bits + 7) / 8;
  const std::size_t record = 4 + f;
  std::vector<unsigned char> buffer(FOLD_BUFFER / record * record);
  for (std::uint64_t k = 0; k < ranges; ++k) {
    const std::uint64_t base = k * range_slots;
    const std::uint64_t count = std::min(m - base, range_slots);
    Pages<unsigned char> stretch = Pages<unsigned char>::zeroed(static_cast<std::size_t>((count * bits + 7) / 8));
    const std::span<unsigned char> table(stretch.data(), stretch.size());
    File file = File::open_read(scratch.path_of(range_name(k)));
    std::size_t held = 0;
    for (bool end = false; !end;) {
      while (held < buffer.size()) {
        const std::size_t got = file.read_some(std::span<unsigned char>(buffer.data() + held, buffer.size() - held));
        if (got == 0) {
          end = true;
          break;
        }
        held += got;
      }
      const std::size_t whole = held / record * record;
      for (std::size_t at = 0; at < whole; at += record) {
        const unsigned char* r = buffer.data() + at;
        const std::uint64_t slot = load_le32(r);
        std::uint64_t value = 0;
        for (std::size_t j = 0; j < f; ++j) value |= std::uint64_t{r[4 + j]} << (8 * j);
        if (slot < base) panic("a fingerprint slot lies inside its table");
        write_fp(table, slot - base, bits, value);
      }
      std::memmove(buffer.data(), buffer.data() + whole, held - whole);
      held -= whole;
    }
    if (held > 0) throw torn();  // not a whole number of records
    file.close();
    sink(table);
  }
}

}  // namespace quorvale::compact_hash
