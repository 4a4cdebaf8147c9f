// Spilled runs of hash pairs, their merge on worker threads, and the readers
// of the merged set.
#include "scratch.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "threads.hpp"

namespace quorvale::compact_hash {

IndexError torn() { return IndexError::io(IoKind::InvalidData, MSG_TORN); }

namespace {

// Records are the pairs' own bytes on a little-endian machine.
constexpr bool RAW_RECORDS = std::endian::native == std::endian::little && sizeof(Pair) == RECORD &&
                             std::is_standard_layout_v<Pair> && offsetof(Pair, second) == 8;

inline Pair load_record(const unsigned char* p) noexcept { return {load_le64(p), load_le64(p + 8)}; }
inline void store_record(unsigned char* p, const Pair& v) noexcept {
  store_le64(p, v.first);
  store_le64(p + 8, v.second);
}

// Appends `count` records at `from` to `out`.
void decode_records(const unsigned char* from, std::size_t count, std::vector<Pair>& out) {
  const std::size_t at = out.size();
  out.resize(at + count);
  if constexpr (RAW_RECORDS) {
    std::memcpy(static_cast<void*>(out.data() + at), from, count * RECORD);
  } else {
    for (std::size_t i = 0; i < count; ++i) out[at + i] = load_record(from + RECORD * i);
  }
}

void write_records(File& file, std::span<const Pair> pairs) {
  if constexpr (RAW_RECORDS) {
    if (!pairs.empty())
      file.write_all(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(pairs.data()),
                                                    pairs.size() * RECORD));
  } else {
    constexpr std::size_t STAGE = 4096;
    unsigned char stage[STAGE * RECORD];
    for (std::size_t at = 0; at < pairs.size(); at += STAGE) {
      const std::size_t len = std::min(STAGE, pairs.size() - at);
      for (std::size_t i = 0; i < len; ++i) store_record(stage + RECORD * i, pairs[at + i]);
      file.write_all(std::span<const unsigned char>(stage, len * RECORD));
    }
  }
}

// A merge worker's read window on one run: the records of its range,
// delivered in order. A refill may read past the range into the next
// bucket's records; `left` bounds what is delivered.
struct Slice {
  const File* file = nullptr;
  unsigned char* window = nullptr;
  std::uint64_t offset = 0;
  std::size_t pos = 0;
  std::size_t len = 0;
  std::uint64_t left = 0;

  Pair next() {
    --left;
    if (len - pos < RECORD) {
      std::memmove(window, window + pos, len - pos);
      len -= pos;
      pos = 0;
      while (len < RECORD) {
        const std::size_t got = file->read_some_at(std::span<unsigned char>(window + len, SLICE_WINDOW - len), offset);
        if (got == 0) throw torn();  // shorter than its index says
        offset += got;
        len += got;
      }
    }
    const Pair p = load_record(window + pos);
    pos += RECORD;
    return p;
  }
};

// A run's current record in the merge heap; equal pairs leave it lower run first.
struct Head {
  std::uint64_t first;
  std::uint64_t second;
  std::uint32_t run;
};
inline bool head_less(const Head& a, const Head& b) noexcept {
  if (a.first != b.first) return a.first < b.first;
  if (a.second != b.second) return a.second < b.second;
  return a.run < b.run;
}
void sift_down(Head* heap, std::size_t n, std::size_t i) noexcept {
  const Head v = heap[i];
  for (;;) {
    std::size_t c = 2 * i + 1;
    if (c >= n) break;
    if (c + 1 < n && head_less(heap[c + 1], heap[c])) ++c;
    if (!head_less(heap[c], v)) break;
    heap[i] = heap[c];
    i = c;
  }
  heap[i] = v;
}

struct RangeCount {
  std::uint64_t count = 0;
  std::uint64_t repeated = 0;
};

// Merges buckets [lo, hi) of every run into `output`, each distinct pair once.
// `block`: OUTPUT_BLOCK bytes, then a window per run.
RangeCount merge_range(std::span<const RunIndex> indexes, std::span<const File> runs, std::uint32_t lo,
                       std::uint32_t hi, const std::string& output, unsigned char* block) {
  const std::size_t R = runs.size();
  std::vector<Slice> slices(R);
  for (std::size_t r = 0; r < R; ++r) {
    Slice& s = slices[r];
    s.file = &runs[r];
    s.window = block + OUTPUT_BLOCK + r * SLICE_WINDOW;
    s.offset = RECORD * indexes[r][lo];
    s.left = indexes[r][hi] - indexes[r][lo];
  }
  File out = File::create_new(output);
  std::vector<Head> heap;
  heap.reserve(R);
  for (std::size_t r = 0; r < R; ++r) {
    if (slices[r].left == 0) continue;
    const Pair p = slices[r].next();
    heap.push_back({p.first, p.second, static_cast<std::uint32_t>(r)});
  }
  std::size_t n = heap.size();
  for (std::size_t i = n / 2; i-- > 0;) sift_down(heap.data(), n, i);

  RangeCount counted;
  std::size_t held = 0;
  bool written = false;
  Pair last{};
  while (n > 0) {
    const Head top = heap[0];
    Slice& from = slices[top.run];
    if (from.left > 0) {
      const Pair p = from.next();
      heap[0] = {p.first, p.second, top.run};
    } else {
      heap[0] = heap[--n];
    }
    if (n > 1) sift_down(heap.data(), n, 0);
    if (written && top.first == last.first && top.second == last.second) continue;  // in another run too
    ++counted.count;
    if (written && top.first == last.first) ++counted.repeated;
    if (held + RECORD > OUTPUT_BLOCK) {
      out.write_all(std::span<const unsigned char>(block, held));
      held = 0;
    }
    last = {top.first, top.second};
    store_record(block + held, last);
    held += RECORD;
    written = true;
  }
  if (held > 0) out.write_all(std::span<const unsigned char>(block, held));
  out.close();
  return counted;
}

}  // namespace

// ---- Scratch ----

void Scratch::spill(std::vector<Pair>& buffer) {
  sort_run(buffer, threads_);
  buffer.erase(std::unique(buffer.begin(), buffer.end()), buffer.end());
  RunIndex index{};
  for (const Pair& p : buffer) ++index[merge_bucket(p) + 1];
  for (std::size_t b = 1; b <= MERGE_BUCKETS; ++b) index[b] += index[b - 1];
  File file = File::create_new(path_of(std::to_string(runs_)));
  write_records(file, buffer);
  file.close();
  indexes_.push_back(index);
  buffer.clear();
  ++runs_;
}

std::vector<std::uint32_t> merge_bounds(std::span<const RunIndex> indexes, std::size_t threads) {
  RunIndex total{};
  for (std::size_t b = 0; b < MERGE_BUCKETS; ++b) {
    std::uint64_t sum = 0;
    for (const RunIndex& idx : indexes) sum += idx[b + 1] - idx[b];
    total[b + 1] = total[b] + sum;
  }
  const std::uint64_t T = threads == 0 ? 1 : threads;
  std::vector<std::uint32_t> bounds{0};
  for (std::uint64_t i = 1; i < T; ++i) {
    const auto goal = static_cast<std::uint64_t>(static_cast<unsigned __int128>(i) * total[MERGE_BUCKETS] / T);
    const auto at = static_cast<std::uint32_t>(std::lower_bound(total.begin(), total.end(), goal) - total.begin());
    if (at > bounds.back()) bounds.push_back(std::min<std::uint32_t>(at, MERGE_BUCKETS));
  }
  if (bounds.back() != MERGE_BUCKETS) bounds.push_back(MERGE_BUCKETS);
  return bounds;
}

Merged Scratch::merge() {
  const std::vector<std::uint32_t> bounds = merge_bounds(indexes_, threads_);
  const std::size_t ranges = bounds.size() - 1;
  std::vector<File> files;
  files.reserve(static_cast<std::size_t>(runs_));
  for (std::uint64_t r = 0; r < runs_; ++r) files.push_back(File::open_read(path_of(std::to_string(r))));
  Merged merged;
  for (std::size_t k = 0; k < ranges; ++k)
    merged.outputs.push_back(path_of(std::string("m").append(std::to_string(k))));

  // Every worker starts, even with fewer ranges; each takes ranges from the
  // counter into its own block.
  const std::size_t T = threads_;
  const std::size_t block = OUTPUT_BLOCK + static_cast<std::size_t>(runs_) * SLICE_WINDOW;
  Pages<unsigned char> memory = Pages<unsigned char>::allocate(T * block);
  std::vector<RangeCount> counts(ranges);
  std::vector<std::exception_ptr> errors(T);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  run_workers(T, [&](std::size_t w) {
    try {
      while (!failed.load(std::memory_order_relaxed)) {
        stop_if(stop_);
        const std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
        if (k >= ranges) return;
        counts[k] = merge_range(indexes_, files, bounds[k], bounds[k + 1], merged.outputs[k], memory.data() + w * block);
      }
    } catch (...) {
      errors[w] = std::current_exception();
      failed.store(true, std::memory_order_relaxed);
    }
  });
  for (const std::exception_ptr& e : errors)
    if (e) std::rethrow_exception(e);
  for (const RangeCount& c : counts) {
    merged.pairs += c.count;
    merged.repeated += c.repeated;
  }
  return merged;
}

// ---- readers ----

Segments Segments::open(std::vector<std::string> paths) {
  if (paths.empty()) panic("the merge wrote a file per range");
  Segments s;
  s.file_ = File::open_read(paths[0]);
  s.buffer_ = Pages<unsigned char>::allocate(SEGMENT_BUFFER);
  s.paths_ = std::move(paths);
  s.next_ = 1;
  return s;
}

bool Segments::fill(std::vector<Pair>& out) {
  out.clear();
  for (;;) {
    while (held_ < SEGMENT_BUFFER) {
      const std::size_t got = file_.read_some(std::span<unsigned char>(buffer_.data() + held_, SEGMENT_BUFFER - held_));
      if (got == 0) break;
      held_ += got;
    }
    if (held_ >= RECORD) {
      const std::size_t whole = held_ / RECORD;
      decode_records(buffer_.data(), whole, out);
      const std::size_t used = whole * RECORD;
      std::memmove(buffer_.data(), buffer_.data() + used, held_ - used);
      held_ -= used;
      return true;
    }
    if (held_ > 0) throw torn();  // the file ends inside a record
    if (next_ == paths_.size()) return false;
    file_ = File::open_read(paths_[next_++]);
  }
}

bool Source::next(std::span<const Pair>& batch) {
  if (segments_) {
    if (!segments_->fill(batch_)) return false;
    batch = batch_;
    return true;
  }
  if (memory_.empty()) return false;
  const std::size_t n = std::min(BATCH, memory_.size());
  batch = memory_.first(n);
  memory_ = memory_.subspan(n);
  return true;
}

Source Pairs::source() const {
  if (in_memory) return Source::memory(memory);
  return Source::files(Segments::open(outputs));
}

bool Reps::next(std::uint64_t& out) {
  try {
    Pair p;
    while (reader_.next(p)) {
      if (last_ && *last_ == p.first) continue;
      last_ = p.first;
      out = p.first;
      return true;
    }
  } catch (const IndexError&) {
    stash_ = std::current_exception();
  }
  return false;
}

}  // namespace quorvale::compact_hash
