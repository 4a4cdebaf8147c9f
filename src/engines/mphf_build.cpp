// Sortedness check, grouped source, level build, tail and the build driver.
#include "mphf_build.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>

namespace quorvale::mphf_build {

// ---------------------------------------------------------------------------
// Sortedness.

bool is_sorted(std::span<const std::uint64_t> hashes, std::uint64_t threads) {
  const std::size_t n = hashes.size();
  const std::uint64_t t = std::max<std::uint64_t>(threads, 1);
  const std::uint64_t L = (n + t - 1) / t;
  if (threads >= 2 && L >= (std::uint64_t{1} << 20)) {
    const std::size_t pieces = static_cast<std::size_t>((n + L - 1) / L);
    std::vector<unsigned char> ok(pieces, 0);
    parallel_claims(pieces, pieces, [&](std::size_t i) {
      std::size_t lo = i * L, hi = std::min<std::size_t>(lo + L, n);
      if (i > 0 && hashes[lo - 1] > hashes[lo]) return;
      for (std::size_t j = lo + 1; j < hi; ++j)
        if (hashes[j - 1] > hashes[j]) return;
      ok[i] = 1;
    });
    return std::all_of(ok.begin(), ok.end(), [](unsigned char v) { return v != 0; });
  }
  for (std::size_t j = 1; j < n; ++j)
    if (hashes[j - 1] > hashes[j]) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Grouped source of an unsorted level-0 slice.

Grouped::Grouped(std::span<const std::uint64_t> keys, const ChunkPlan& plan, std::uint64_t threads)
    : keys_(keys), buckets_(plan.buckets) {
  const std::size_t C = plan.chunks();
  const std::uint64_t B = plan.buckets;
  const std::size_t n = keys.size();
  table_shift_ = 16;
  for (std::size_t i = 1; i < C; ++i)
    table_shift_ = std::min<std::uint32_t>(table_shift_, static_cast<std::uint32_t>(std::countr_zero(plan.boundaries[i])));
  const std::uint64_t step = std::uint64_t{1} << table_shift_;
  table_.resize(static_cast<std::size_t>((B + step - 1) / step));
  {
    std::size_t c = 0;
    for (std::size_t q = 0; q < table_.size(); ++q) {
      while (c + 1 < C && plan.boundaries[c + 1] <= q * step) ++c;
      table_[q] = static_cast<std::uint32_t>(c);
    }
  }
  const std::size_t G = std::min<std::size_t>(C, 4);
  group_codes_.resize(C);
  for (std::size_t i = 0; i < C; ++i)
    group_codes_[i] = static_cast<std::uint8_t>((static_cast<unsigned __int128>(plan.boundaries[i]) * G) / B);
  group_starts_.resize(G + 1);
  for (std::size_t g = 0; g <= G; ++g)
    group_starts_[g] = static_cast<std::size_t>(
        std::lower_bound(group_codes_.begin(), group_codes_.end(), static_cast<std::uint8_t>(g)) - group_codes_.begin());
  group_starts_[G] = C;

  const std::uint64_t t = std::max<std::uint64_t>(threads, 1);
  threads_ = static_cast<std::size_t>(t);
  std::uint64_t per = (n + t - 1) / t;
  per = (per + 31) / 32 * 32;
  slice_len_ = static_cast<std::size_t>(std::max<std::uint64_t>(per, 65536));
  slices_ = (n + slice_len_ - 1) / slice_len_;
  if (C > 1) code_words_ = Pages<std::uint64_t>::allocate((n + 31) / 32);

  counts_.assign(slices_, std::vector<std::uint32_t>(C, 0));
  parallel_claims(slices_, threads_, [&](std::size_t s) {
    std::vector<std::uint32_t>& counts = counts_[s];
    const std::size_t lo = s * slice_len_, hi = std::min(lo + slice_len_, n);
    for (std::size_t b = lo; b < hi; b += 32) {
      std::uint64_t word = 0;
      const std::size_t e = std::min(b + 32, hi);
      for (std::size_t i = b; i < e; ++i) {
        std::uint32_t c = table_[range(keys_[i], B) >> table_shift_];
        ++counts[c];
        word |= std::uint64_t{group_codes_[c]} << (2 * (i - b));
      }
      if (C > 1) code_words_[b / 32] = word;
    }
  });

  std::uint64_t biggest = 0;
  for (std::size_t g = 0; g < G; ++g) {
    std::uint64_t size = 0;
    for (std::size_t c = group_starts_[g]; c < group_starts_[g + 1]; ++c)
      for (std::size_t s = 0; s < slices_; ++s) size += counts_[s][c];
    biggest = std::max(biggest, size);
  }
  for (std::size_t c = 0; c < C; ++c) {
    std::uint64_t size = 0;
    for (std::size_t s = 0; s < slices_; ++s) size += counts_[s][c];
    largest_chunk_ = std::max(largest_chunk_, size);
  }
  group_buffer_ = Pages<std::uint64_t>::allocate(static_cast<std::size_t>(biggest));
  copy_group(0, chunk_offsets_);
  for (std::size_t i = static_cast<std::size_t>(chunk_offsets_.back()); i < group_buffer_.size(); ++i) group_buffer_[i] = 0;
  loaded_group_ = 0;
  next_chunk_ = 0;
}

void Grouped::copy_group(std::size_t g, std::vector<std::uint64_t>& offsets) {
  const std::size_t first = group_starts_[g], last = group_starts_[g + 1];
  const std::size_t chunks = last - first;
  offsets.assign(chunks + 1, 0);
  // Destination of slice s inside chunk first + j.
  std::vector<std::uint64_t> dest(slices_ * chunks);
  std::uint64_t offset = 0;
  for (std::size_t j = 0; j < chunks; ++j) {
    for (std::size_t s = 0; s < slices_; ++s) {
      dest[s * chunks + j] = offset;
      offset += counts_[s][first + j];
    }
    offsets[j + 1] = offset;
  }
  const std::size_t n = keys_.size();
  const bool coded = !code_words_.empty();
  std::uint64_t* buffer = group_buffer_.data();
  parallel_claims(slices_, threads_, [&](std::size_t s) {
    std::uint64_t* cursor = dest.data() + s * chunks;
    const std::size_t lo = s * slice_len_, hi = std::min(lo + slice_len_, n);
    auto put = [&](std::uint64_t key) {
      std::size_t c = table_[range(key, buckets_) >> table_shift_] - first;
      buffer[cursor[c]++] = key;
    };
    if (!coded) {
      for (std::size_t i = lo; i < hi; ++i) put(keys_[i]);
      return;
    }
    for (std::size_t b = lo; b < hi; b += 32) {
      std::uint64_t word = code_words_[b / 32];
      const std::size_t e = std::min(b + 32, hi);
      for (std::size_t i = b; i < e; ++i)
        if (((word >> (2 * (i - b))) & 3) == g) put(keys_[i]);
    }
  });
}

std::optional<Grouped::Claimed> Grouped::claim() {
  std::unique_lock<std::mutex> lock(claim_mutex_);
  if (next_chunk_ == group_codes_.size()) return std::nullopt;
  const std::size_t c = next_chunk_;
  const std::size_t g = group_codes_[c];
  if (g != loaded_group_) {
    std::unique_lock<std::shared_mutex> writer(buffer_lock_);
    std::vector<std::uint64_t> offsets;
    copy_group(g, offsets);
    chunk_offsets_ = std::move(offsets);
    loaded_group_ = g;
  }
  ++next_chunk_;
  const std::size_t j = c - group_starts_[g];
  std::shared_lock<std::shared_mutex> reader(buffer_lock_);
  std::span<const std::uint64_t> keys(group_buffer_.data() + chunk_offsets_[j],
                                      static_cast<std::size_t>(chunk_offsets_[j + 1] - chunk_offsets_[j]));
  return Claimed{c, keys, std::move(reader)};
}

// ---------------------------------------------------------------------------
// Bucket order of a further level.

void group_by_bucket(std::span<const std::uint64_t> keys, std::uint64_t k, std::uint64_t B,
                     std::span<const std::uint64_t> positions, std::span<std::uint64_t> out, std::uint64_t threads) {
  // Two stable passes: slices of the input scatter their hashes into bucket
  // ranges (ranges in order, slices in order within a range), then every range
  // scatters its own hashes into their buckets. A bucket keeps the input order.
  // Four ranges per worker keep the copies held at once near a quarter of out.
  const std::uint64_t t = std::max<std::uint64_t>(threads, 1);
  const std::uint64_t r = std::max<std::uint64_t>((B + 4 * t - 1) / (4 * t), 4096);
  const std::size_t ranges = static_cast<std::size_t>((B + r - 1) / r);
  const std::size_t n = keys.size();
  const std::size_t slice = std::max<std::size_t>((n + t - 1) / t, 65536);
  const std::size_t slices = (n + slice - 1) / slice;
  std::vector<std::uint64_t> cursors(slices * ranges, 0);  // slice-major
  parallel_claims(slices, static_cast<std::size_t>(t), [&](std::size_t s) {
    std::uint64_t* counts = cursors.data() + s * ranges;
    for (std::size_t i = s * slice, e = std::min(n, i + slice); i < e; ++i) ++counts[range(level_hash(keys[i], k), B) / r];
  });
  for (std::size_t q = 0; q < ranges; ++q) {
    std::uint64_t at = positions[q * r];
    for (std::size_t s = 0; s < slices; ++s) {
      const std::uint64_t count = cursors[s * ranges + q];
      cursors[s * ranges + q] = at;
      at += count;
    }
  }
  parallel_claims(slices, static_cast<std::size_t>(t), [&](std::size_t s) {
    std::uint64_t* cursor = cursors.data() + s * ranges;
    for (std::size_t i = s * slice, e = std::min(n, i + slice); i < e; ++i) {
      const std::uint64_t x = level_hash(keys[i], k);
      out[cursor[range(x, B) / r]++] = x;
    }
  });
  parallel_claims(ranges, static_cast<std::size_t>(t), [&](std::size_t i) {
    const std::uint64_t lo = i * r, hi = std::min(lo + r, B);
    std::vector<std::uint64_t> cursor(positions.begin() + lo, positions.begin() + hi);
    std::vector<std::uint64_t> own(out.begin() + positions[lo], out.begin() + positions[hi]);
    for (std::uint64_t x : own) out[cursor[range(x, B) - lo]++] = x;
  });
}

// ---------------------------------------------------------------------------
// Level build.

namespace {

struct Piece {
  Map map;
  std::vector<std::uint32_t> gap_ends;
  std::vector<std::uint64_t> gap_keys;
  std::uint64_t base = 0;
};

struct PieceSlot {
  std::mutex mutex;
  std::optional<Piece> piece;
};

struct ListSlot {
  std::mutex mutex;
  std::optional<std::vector<std::uint64_t>> list;
};

struct LevelBuild {
  std::uint64_t n;
  Geometry g;
  ChunkPlan plan;
  std::size_t chunks;

  // Feed.
  KeyInput::Kind kind;
  std::span<const std::uint64_t> slice;
  std::vector<std::uint64_t> starts;
  std::atomic<std::size_t> claim_counter{0};
  std::mutex stream_mutex;
  KeyStream* stream = nullptr;
  std::optional<std::uint64_t> pending;
  std::size_t stream_next_chunk = 0;
  std::uint64_t pulled = 0;  // values taken from the stream
  bool exhausted = false;
  std::unique_ptr<Grouped> grouped;
  std::size_t key_hint = 0;
  const StopProbe* stop = nullptr;

  // Level cell.
  std::mutex level_mutex;
  Pages<std::uint8_t> seeds;
  Map level_map;

  std::unique_ptr<PieceSlot[]> pieces;
  std::unique_ptr<ListSlot[]> chunk_bumped;
  std::mutex out_mutex;
  std::size_t out_next = 0;
  std::vector<std::uint64_t> out;
  std::unique_ptr<ListSlot[]> gap_cells;
  std::mutex closing_mutex;
  std::optional<std::pair<std::vector<std::uint32_t>, std::vector<std::uint64_t>>> closing;
  std::unique_ptr<std::atomic<bool>[]> placed;
  std::unique_ptr<std::atomic<bool>[]> gap_claims;
  std::unique_ptr<std::atomic<std::uint32_t>[]> refs;

  std::uint64_t align(std::uint64_t slot) const noexcept { return slot & ~((std::uint64_t{64} << g.shift) - 1); }

  void write_seeds(std::uint64_t at, const std::vector<std::uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(level_mutex);
    if (!bytes.empty()) std::memcpy(seeds.data() + at, bytes.data(), bytes.size());
  }

  void drain() {
    std::lock_guard<std::mutex> lock(out_mutex);
    while (out_next < chunks) {
      std::optional<std::vector<std::uint64_t>> list;
      {
        std::lock_guard<std::mutex> l(chunk_bumped[out_next].mutex);
        list = std::move(chunk_bumped[out_next].list);
        chunk_bumped[out_next].list.reset();
      }
      if (!list) break;
      out.insert(out.end(), list->begin(), list->end());
      ++out_next;
    }
  }

  void release_chunk(std::size_t c) {
    std::optional<Piece> piece;
    {
      std::lock_guard<std::mutex> lock(pieces[c].mutex);
      piece = std::move(pieces[c].piece);
      pieces[c].piece.reset();
    }
    if (!piece) panic("a chunk is released once, after it is placed");
    {
      std::lock_guard<std::mutex> lock(level_mutex);
      level_map.merge(piece->map, word_offset(piece->base, 0, g.shift));
    }
    if (c + 1 == chunks) {
      std::lock_guard<std::mutex> lock(closing_mutex);
      if (closing) panic("one chunk ends the level");
      closing.emplace(std::move(piece->gap_ends), std::move(piece->gap_keys));
    }
  }

  void gap_step(std::size_t gi) {
    const std::uint64_t B = plan.buckets;
    const std::uint64_t ge = plan.end(gi), gs = ge - plan.gap;
    const std::uint64_t gbase = align(first_slot(n, gs, B));
    Map gmap(g.window + first_slot(n, ge, B) - gbase, g.shift);
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(ge - gs), 0);
    std::vector<std::uint64_t> bumped;
    {
      std::lock_guard<std::mutex> l0(pieces[gi].mutex);
      std::lock_guard<std::mutex> l1(pieces[gi + 1].mutex);
      if (!pieces[gi].piece || !pieces[gi + 1].piece) panic("done follows set");
      const Piece& left = *pieces[gi].piece;
      const Piece& right = *pieces[gi + 1].piece;
      gmap.merge(left.map, word_offset(left.base, gbase, g.shift));
      gmap.merge(right.map, word_offset(right.base, gbase, g.shift));
      BucketRun run{g, left.gap_keys, left.gap_ends};
      seed_run(run, buf.data(), static_cast<std::uint32_t>(buf.size()), gmap, gbase);
      bumped_keys(run, buf.data(), static_cast<std::uint32_t>(buf.size()), bumped);
    }
    write_seeds(gs, buf);
    {
      std::lock_guard<std::mutex> lock(gap_cells[gi].mutex);
      if (gap_cells[gi].list) panic("a gap is placed once");
      gap_cells[gi].list = std::move(bumped);
    }
    {
      std::lock_guard<std::mutex> lock(level_mutex);
      level_map.merge(gmap, word_offset(gbase, 0, g.shift));
    }
    if (refs[gi].fetch_sub(1, std::memory_order_acq_rel) == 1) release_chunk(gi);
    if (refs[gi + 1].fetch_sub(1, std::memory_order_acq_rel) == 1) release_chunk(gi + 1);
  }

  // Read chunk c's keys from the stream into buf (under the stream's mutex).
  bool claim_stream(std::size_t& c, std::vector<std::uint64_t>& buf) {
    std::lock_guard<std::mutex> lock(stream_mutex);
    if (stream_next_chunk >= chunks) return false;
    c = stream_next_chunk;
    buf.clear();
    const bool last = c + 1 == chunks;
    const std::uint64_t end = plan.end(c);
    for (;;) {
      std::uint64_t key;
      if (pending) {
        key = *pending;
      } else {
        // A runaway source is cut off one value past the promised count;
        // the caller reports the count mismatch.
        if (exhausted || pulled > n) break;
        if (!stream->next(key)) {
          exhausted = true;
          break;
        }
        ++pulled;
      }
      if (!last && range(key, plan.buckets) >= end) {
        pending = key;
        break;
      }
      pending.reset();
      buf.push_back(key);
    }
    ++stream_next_chunk;
    return true;
  }

  void worker(const FirstError& first) {
    const std::uint64_t B = plan.buckets;
    const std::uint64_t W = g.window;
    std::vector<std::uint32_t> ends(static_cast<std::size_t>(plan.largest + 2), 0);
    std::vector<std::uint64_t> buf;
    buf.reserve(key_hint);
    while (!first.failed()) {
      stop_if(*stop);
      std::size_t c = 0;
      std::span<const std::uint64_t> keys;
      std::uint64_t start = 0, end = 0, count = 0;
      if (kind == KeyInput::Kind::Sorted) {
        c = claim_counter.fetch_add(1, std::memory_order_relaxed);
        if (c >= chunks) return;
        keys = slice.subspan(starts[c], starts[c + 1] - starts[c]);
      } else if (kind == KeyInput::Kind::Stream) {
        if (!claim_stream(c, buf)) return;
        keys = buf;
      } else {
        std::optional<Grouped::Claimed> claimed = grouped->claim();
        if (!claimed) return;
        c = claimed->chunk;
        start = plan.boundaries[c];
        count = plan.end(c) - start;
        // Counting sort by bucket, stable: a bucket keeps the input order.
        std::fill(ends.begin(), ends.begin() + static_cast<std::ptrdiff_t>(count + 2), 0);
        for (std::uint64_t key : claimed->keys) ++ends[range(key, B) - start + 2];
        for (std::uint64_t j = 2; j <= count; ++j) ends[j] += ends[j - 1];
        buf.resize(claimed->keys.size());
        for (std::uint64_t key : claimed->keys) buf[ends[range(key, B) - start + 1]++] = key;
        keys = buf;
      }
      start = plan.boundaries[c];
      end = plan.end(c);
      count = end - start;
      if (kind != KeyInput::Kind::Unsorted) {
        std::fill(ends.begin(), ends.begin() + static_cast<std::ptrdiff_t>(count + 1), 0);
        bucket_ends(keys, B, start, std::span<std::uint32_t>(ends.data() + 1, static_cast<std::size_t>(count)));
      }

      // Place the chunk's own buckets against a private map.
      const std::uint64_t gs = end - plan.gap;
      const std::uint64_t own = gs - start;
      const std::uint64_t s0 = first_slot(n, start, B);
      const std::uint64_t base = align(s0);
      Map cmap(std::min(n, W + first_slot(n, gs, B)) - base, g.shift);
      std::vector<std::uint64_t> ramp;
      const std::uint64_t ramp_len = std::min(W, n - s0);
      for (std::uint64_t x = 0; x < ramp_len; ++x) {
        if (ramp_reserves(x, start, W)) {
          cmap.set(s0 + x - base);
          ramp.push_back(s0 + x - base);
        }
      }
      std::vector<std::uint8_t> seedbuf(static_cast<std::size_t>(own), 0);
      BucketRun run{g, keys, std::span<const std::uint32_t>(ends.data(), static_cast<std::size_t>(count + 1))};
      seed_run(run, seedbuf.data(), static_cast<std::uint32_t>(own), cmap, base);
      for (std::uint64_t k : ramp) cmap.clear(k);
      std::vector<std::uint64_t> bumped;
      bumped_keys(run, seedbuf.data(), static_cast<std::uint32_t>(own), bumped);
      Piece piece;
      piece.gap_keys.assign(keys.begin() + ends[own], keys.begin() + ends[count]);
      piece.gap_ends.resize(static_cast<std::size_t>(count - own + 1));
      for (std::uint64_t j = 0; j <= count - own; ++j) piece.gap_ends[j] = ends[own + j] - ends[own];
      piece.base = base;
      piece.map = std::move(cmap);

      write_seeds(start, seedbuf);
      {
        std::lock_guard<std::mutex> lock(chunk_bumped[c].mutex);
        chunk_bumped[c].list = std::move(bumped);
      }
      drain();
      {
        std::lock_guard<std::mutex> lock(pieces[c].mutex);
        pieces[c].piece = std::move(piece);
      }
      // Sequentially consistent, not release/acquire: two neighbours placed at
      // the same moment each store their own flag and then load the other's.
      // Under release/acquire both loads may still see false (the store of
      // each sits in its core's store buffer), and then no one seeds the gap.
      placed[c].store(true, std::memory_order_seq_cst);
      if (chunks == 1) release_chunk(c);
      for (std::size_t gi : {c - 1, c}) {  // c - 1 wraps for chunk 0 and is skipped
        if (gi >= chunks - 1) continue;
        if (placed[gi].load(std::memory_order_seq_cst) && placed[gi + 1].load(std::memory_order_seq_cst) &&
            !gap_claims[gi].exchange(true, std::memory_order_acq_rel))
          gap_step(gi);
      }
    }
  }
};

}  // namespace

BuiltLevel build_level(std::uint64_t n, const KeyInput& source, std::uint64_t threads, bool level0,
                       const StopProbe& stop) {
  auto st = std::make_unique<LevelBuild>();
  LevelBuild& b = *st;
  b.stop = &stop;
  b.n = n;
  b.g = level_geometry(n);
  b.plan = chunk_plan(b.g, level0);
  b.chunks = b.plan.chunks();
  const std::uint64_t B = b.plan.buckets;
  const std::size_t C = b.chunks;
  b.kind = source.kind;
  if (source.kind == KeyInput::Kind::Sorted) {
    b.slice = source.slice;
    b.starts.resize(C + 1);
    for (std::size_t i = 0; i < C; ++i) {
      std::uint64_t first = b.plan.boundaries[i];
      b.starts[i] = static_cast<std::uint64_t>(
          std::partition_point(source.slice.begin(), source.slice.end(),
                               [&](std::uint64_t key) { return range(key, B) < first; }) -
          source.slice.begin());
    }
    b.starts[C] = source.slice.size();
  } else if (source.kind == KeyInput::Kind::Stream) {
    b.stream = source.stream;
    std::uint64_t e = static_cast<std::uint64_t>((static_cast<unsigned __int128>(n) * b.plan.largest) / B);
    b.key_hint = static_cast<std::size_t>(e + 4 * static_cast<std::uint64_t>(std::sqrt(static_cast<double>(e))));
  } else {
    b.slice = source.slice;
    b.grouped = std::make_unique<Grouped>(source.slice, b.plan, threads);
    b.key_hint = static_cast<std::size_t>(b.grouped->largest_chunk_keys());
  }

  {
    // First touch of big tables in parallel: one worker builds the level map
    // while the others zero pieces of the seed bytes.
    constexpr std::size_t piece = std::size_t{1} << 22;
    const std::size_t pieces = static_cast<std::size_t>((B + piece - 1) / piece);
    b.seeds = Pages<std::uint8_t>::allocate(static_cast<std::size_t>(B));
    parallel_claims(pieces + 1, pieces > 1 ? static_cast<std::size_t>(threads) : 1, [&](std::size_t i) {
      if (i == 0) {
        b.level_map = Map(n, b.g.shift);
        return;
      }
      const std::size_t at = (i - 1) * piece;
      std::memset(b.seeds.data() + at, 0, std::min<std::size_t>(piece, static_cast<std::size_t>(B) - at));
    });
  }
  b.pieces = std::make_unique<PieceSlot[]>(C);
  b.chunk_bumped = std::make_unique<ListSlot[]>(C);
  b.gap_cells = std::make_unique<ListSlot[]>(C - 1);
  b.placed = std::make_unique<std::atomic<bool>[]>(C);
  b.gap_claims = std::make_unique<std::atomic<bool>[]>(C);
  b.refs = std::make_unique<std::atomic<std::uint32_t>[]>(C);
  for (std::size_t i = 0; i < C; ++i) {
    b.placed[i].store(false);
    b.gap_claims[i].store(false);
    b.refs[i].store(static_cast<std::uint32_t>((i > 0) + (i + 1 < C)));
  }
  b.out.reserve(static_cast<std::size_t>(n / 32));

  const std::size_t workers = static_cast<std::size_t>(std::clamp<std::uint64_t>(threads, 1, C));
  // A worker that cannot be started is simply missing: the others claim its
  // chunks, and the bytes do not depend on the worker count.
  run_workers(workers, [&](std::size_t, const FirstError& first) { b.worker(first); });

  BuiltLevel out;
  out.keys_seen = source.kind == KeyInput::Kind::Stream ? b.pulled : source.slice.size();
  if (!b.closing) panic("the last chunk ends the level");
  if (b.out_next != C) panic("every chunk was placed");
  out.bumped = std::move(b.out);
  for (std::size_t i = 0; i + 1 < C; ++i) {
    if (!b.gap_cells[i].list) panic("every gap was placed");
    out.bumped.insert(out.bumped.end(), b.gap_cells[i].list->begin(), b.gap_cells[i].list->end());
  }
  const std::uint64_t gap = b.plan.gap;
  BucketRun run{b.g, b.closing->second, b.closing->first};
  seed_run(run, b.seeds.data() + (B - gap), static_cast<std::uint32_t>(gap), b.level_map, 0);
  bumped_keys(run, b.seeds.data() + (B - gap), static_cast<std::uint32_t>(gap), out.bumped);

  out.map = std::move(b.level_map);
  out.level.seeds = std::move(b.seeds);
  out.level.slots = n;
  out.level.buckets = B;
  out.level.window = b.g.window;
  out.level.shift = b.g.shift;
  out.level.mode_bits = 2;
  return out;
}

// ---------------------------------------------------------------------------
// Holes of level 0, listed in parallel.

namespace {

// The free slots below n of columns [c0, c1) of map, in increasing order:
// counted when out is null, written to out otherwise. Same walk as Holes.
std::uint64_t column_holes(const Map& map, std::uint64_t n, std::uint64_t c0, std::uint64_t c1, std::uint32_t* out) {
  const std::uint64_t rows = std::uint64_t{1} << map.shift;
  const std::uint64_t* words = map.words.data();
  std::uint64_t found = 0;
  for (std::uint64_t c = c0; c < c1; ++c) {
    if (!out && ((c + 1) * 64 << map.shift) <= n) {
      for (std::uint64_t r = 0; r < rows; ++r) found += static_cast<std::uint64_t>(std::popcount(~words[r * map.stride + c]));
      continue;
    }
    std::uint64_t mask = 0;
    for (std::uint64_t r = 0; r < rows; ++r) mask |= ~words[r * map.stride + c];
    for (; mask != 0; mask &= mask - 1) {
      const std::uint64_t bit = static_cast<std::uint64_t>(std::countr_zero(mask));
      for (std::uint64_t r = 0; r < rows; ++r) {
        const std::uint64_t k = ((c * 64 + bit) << map.shift) | r;
        if (k < n && !((words[r * map.stride + c] >> bit) & 1)) {
          if (out) out[found] = static_cast<std::uint32_t>(k);
          ++found;
        }
      }
    }
  }
  return found;
}

// Every free slot below n (n <= u32::MAX), increasing: the column ranges are
// counted, then each is written at its offset.
std::vector<std::uint32_t> list_holes(const Map& map, std::uint64_t n, std::uint64_t threads) {
  const std::uint64_t columns = n == 0 ? 0 : ((n - 1) >> map.shift >> 6) + 1;
  const std::uint64_t per = std::max<std::uint64_t>(65536 >> map.shift, 1);
  const std::size_t pieces = static_cast<std::size_t>((columns + per - 1) / per);
  std::vector<std::uint64_t> offsets(pieces + 1, 0);
  parallel_claims(pieces, static_cast<std::size_t>(threads), [&](std::size_t i) {
    offsets[i + 1] = column_holes(map, n, i * per, std::min(columns, (i + 1) * per), nullptr);
  });
  for (std::size_t i = 0; i < pieces; ++i) offsets[i + 1] += offsets[i];
  std::vector<std::uint32_t> holes(static_cast<std::size_t>(offsets[pieces]));
  parallel_claims(pieces, static_cast<std::size_t>(threads), [&](std::size_t i) {
    column_holes(map, n, i * per, std::min(columns, (i + 1) * per), holes.data() + offsets[i]);
  });
  return holes;
}

}  // namespace

// ---------------------------------------------------------------------------
// Tail.

Tail build_tail(std::span<const std::uint64_t> keys) {
  Tail tail;
  const std::uint64_t k = keys.size();
  if (k == 0) {
    tail.map = Map(0, 0);
    return tail;
  }
  const std::uint64_t m = (25 * k + 23) / 24;
  const std::uint64_t P = std::max<std::uint64_t>((2 * k + 12) / 13, 1);
  struct Pair {
    std::uint64_t bucket, t;
  };
  struct Group {
    std::uint32_t start, end;
  };
  std::vector<Pair> pairs(static_cast<std::size_t>(k));
  std::vector<Group> groups;
  std::vector<std::uint64_t> slots;
  for (unsigned a = 0; a < TAIL_ATTEMPTS; ++a) {
    const std::uint64_t seed = splitmix64(TAIL_SEED_BASE + a);
    for (std::size_t i = 0; i < k; ++i) {
      std::uint64_t t = splitmix64(keys[i] ^ seed);
      pairs[i] = {range(t, P), t};
    }
    std::sort(pairs.begin(), pairs.end(), [](const Pair& x, const Pair& y) {
      return x.bucket != y.bucket ? x.bucket < y.bucket : x.t < y.t;
    });
    groups.clear();
    for (std::size_t i = 0; i < k;) {
      std::size_t j = i + 1;
      while (j < k && pairs[j].bucket == pairs[i].bucket) ++j;
      groups.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)});
      i = j;
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [](const Group& x, const Group& y) { return x.end - x.start > y.end - y.start; });
    Map map(m, 0);
    Pages<std::uint16_t> pilots = Pages<std::uint16_t>::zeroed(static_cast<std::size_t>(P));
    bool ok = true;
    for (const Group& grp : groups) {
      bool placed = false;
      for (std::uint64_t p = 0; p <= 0xffff && !placed; ++p) {
        slots.clear();
        bool good = true;
        for (std::uint32_t i = grp.start; i < grp.end; ++i) {
          std::uint64_t s = range(splitmix64(pairs[i].t + p * PHI), m);
          if (map.test(s) || std::find(slots.begin(), slots.end(), s) != slots.end()) {
            good = false;
            break;
          }
          slots.push_back(s);
        }
        if (!good) continue;
        for (std::uint64_t s : slots) map.set(s);
        pilots[static_cast<std::size_t>(pairs[grp.start].bucket)] = static_cast<std::uint16_t>(p);
        placed = true;
      }
      if (!placed) {
        ok = false;
        break;
      }
    }
    if (!ok) continue;
    tail.pilots = std::move(pilots);
    tail.keys = k;
    tail.buckets = P;
    tail.slots = m;
    tail.seed = seed;
    tail.map = std::move(map);
    return tail;
  }
  throw IndexError::build(MSG_NO_SEED);
}

}  // namespace quorvale::mphf_build

// ---------------------------------------------------------------------------
// Driver.

namespace quorvale {

using namespace mphf_build;

V2 V2::build_from(std::uint64_t n, KeyInput input, std::uint64_t threads, const StopProbe& stop) {
  if (n > KEY_LIMIT) throw IndexError::build(MSG_TOO_MANY);
  std::vector<Level> levels;
  std::vector<Map> maps;
  std::optional<Level> level0;
  Map map0;
  std::vector<std::uint64_t> remaining;

  if (input.kind != KeyInput::Kind::Stream && input.slice.size() != n) throw IndexError::build(MSG_COUNT);
  if (n > SMALL_SET) {
    BuiltLevel b = build_level(n, input, threads, true, stop);
    if (b.keys_seen != n) throw IndexError::build(MSG_COUNT);
    level0 = std::move(b.level);
    map0 = std::move(b.map);
    remaining = std::move(b.bumped);
  } else if (input.kind == KeyInput::Kind::Stream) {
    std::uint64_t key;
    while (remaining.size() <= n && input.stream->next(key)) remaining.push_back(key);
    if (remaining.size() != n) throw IndexError::build(MSG_COUNT);
  } else {
    if (input.slice.size() != n) throw IndexError::build(MSG_COUNT);
    remaining.assign(input.slice.begin(), input.slice.end());
  }

  // Further levels over the keys still unplaced.
  const std::uint64_t t = std::max<std::uint64_t>(threads, 1);
  while (remaining.size() > SMALL_SET && (levels.size() + (level0 ? 1 : 0)) < LEVEL_LIMIT) {
    stop_if(stop);
    const std::uint64_t k = levels.size() + (level0 ? 1 : 0);
    const std::uint64_t c = remaining.size();
    const std::uint64_t B = (2 * c + 8) / 9;
    std::vector<std::uint64_t> positions(static_cast<std::size_t>(B + 1), 0);
    for (std::uint64_t key : remaining) ++positions[range(level_hash(key, k), B) + 1];
    for (std::uint64_t b = 1; b <= B; ++b) positions[b] += positions[b - 1];
    // Every element is written by the grouping (in parallel, so is the first touch).
    Pages<std::uint64_t> grouped = Pages<std::uint64_t>::allocate(static_cast<std::size_t>(c));
    group_by_bucket(remaining, k, B, positions, std::span<std::uint64_t>(grouped.data(), grouped.size()), t);
    BuiltLevel b = build_level(c, KeyInput::sorted(std::span<const std::uint64_t>(grouped.data(), grouped.size())),
                               threads, false, stop);
    std::size_t kept = 0;
    for (std::uint64_t key : remaining)
      if (b.level.seeds[range(level_hash(key, k), B)] == 0) remaining[kept++] = key;
    if (kept == c) break;  // the level placed nothing: the tail takes every key
    remaining.resize(kept);
    levels.push_back(std::move(b.level));
    maps.push_back(std::move(b.map));
  }

  stop_if(stop);
  Tail tail = build_tail(remaining);
  std::vector<std::uint64_t>().swap(remaining);

  // Every occupied further slot takes its own hole, in slot order; a free
  // further slot repeats the hole taken last (the first hole before any).
  std::uint64_t T = tail.slots;
  for (const Level& l : levels) T += l.slots;
  RemapEncoder encoder(T, n);
  {
    std::vector<std::uint32_t> holes;
    if (level0) holes = list_holes(map0, n, t);
    map0 = Map();  // the holes are all the remap needs of it
    std::size_t next_listed = 0;
    std::uint64_t next_plain = 0;  // without level 0 the holes are 0..n-1
    auto next_hole = [&](std::uint64_t& h) {
      if (level0) {
        if (next_listed >= holes.size()) return false;
        h = holes[next_listed++];
        return true;
      }
      if (next_plain >= n) return false;
      h = next_plain++;
      return true;
    };
    std::uint64_t h = 0;
    bool first_unused = next_hole(h);
    auto visit = [&](const Map& map, std::uint64_t slots) {
      for (std::uint64_t s = 0; s < slots; ++s) {
        if (map.test(s)) {
          if (first_unused) first_unused = false;
          else if (!next_hole(h)) panic("a hole per value a key landed on");
        }
        encoder.push(h);
      }
    };
    for (std::size_t i = 0; i < levels.size(); ++i) visit(maps[i], levels[i].slots);
    visit(tail.map, tail.slots);
  }

  V2 v;
  v.levels = std::move(levels);
  v.pilots = std::move(tail.pilots);
  v.tail_keys = tail.keys;
  v.tail_buckets = tail.buckets;
  v.tail_slots = tail.slots;
  v.tail_seed = tail.seed;
  v.remap = encoder.finish();
  v.n = n;
  v.level0 = std::move(level0);
  v.geometry = true;
  return v;
}

Mphf Mphf::build_with_threads(std::span<const std::uint64_t> hashes, std::uint64_t threads, const StopProbe& stop) {
  if (hashes.size() > KEY_LIMIT) throw IndexError::build(MSG_TOO_MANY);
  const std::uint64_t t = std::max<std::uint64_t>(threads, 1);
  KeyInput input = is_sorted(hashes, threads) ? KeyInput::sorted(hashes) : KeyInput::unsorted(hashes);
  return Mphf(V2::build_from(hashes.size(), input, t, stop));
}

}  // namespace quorvale
