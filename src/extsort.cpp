#include "extsort.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "blob.hpp"
#include "huge_pages.hpp"
#include "threads.hpp"
#include "utf8.hpp"

namespace quorvale::extsort {

namespace {

constexpr std::uint64_t MAX_KEY = std::uint64_t{1} << 32;  // a u32 length holds less

IndexError corrupt() { return IndexError::io(IoKind::Other, "extsort: a run file is corrupt"); }

// Bytewise order, a proper prefix first. Keys met in a merge share long
// prefixes: compare a word at a time rather than call memcmp.
// `from`: a length both share, known equal.
inline int compare_bytes(std::string_view a, std::string_view b, std::size_t from = 0) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = from;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        x = __builtin_bswap64(x);
        y = __builtin_bswap64(y);
      }
      return x < y ? -1 : 1;
    }
  }
  for (; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// Run files are written once and read once, a merge pass or two later: they
// go around the page cache where the system lets them (File::set_direct),
// through buffers aligned for it.
struct AlignedFree {
  void operator()(char* p) const noexcept { std::free(p); }
};
using IoBuffer = std::unique_ptr<char, AlignedFree>;
IoBuffer io_buffer() {
  void* mem = nullptr;
  if (posix_memalign(&mem, File::DIRECT_ALIGN, IO_BUFFER) != 0) throw std::bad_alloc();
  return IoBuffer(static_cast<char*>(mem));
}

std::span<const unsigned char> bytes_of(const char* p, std::size_t n) noexcept {
  return {reinterpret_cast<const unsigned char*>(p), n};
}

// One run file being written: placeholder count, records, count written last.
class RunWriter {
 public:
  explicit RunWriter(const std::string& path) : file_(File::create_new(path)), buffer_(io_buffer()) {
    file_.set_direct(true);
    static const char zeros[8] = {};
    put(zeros, 8);
  }

  void key(std::string_view key) {
    if (key.size() >= MAX_KEY) throw IndexError::format("extsort: a key longer than 4 GiB");
    unsigned char len[4];
    store_le32(len, static_cast<std::uint32_t>(key.size()));
    put(reinterpret_cast<const char*>(len), 4);
    put(key.data(), key.size());
    ++count_;
  }

  void finish() {
    // The whole blocks of the tail directly, the rest and the count through
    // the cache (direct transfers come in whole blocks).
    const std::size_t whole = file_.direct() ? used_ & ~(File::DIRECT_ALIGN - 1) : used_;
    file_.write_all(bytes_of(buffer_.get(), whole));
    if (file_.direct() && !file_.set_direct(false)) throw IndexError::last_os();
    file_.write_all(bytes_of(buffer_.get() + whole, used_ - whole));
    used_ = 0;
    unsigned char head[8];
    store_le64(head, count_);
    file_.write_all_at(head, 0);
    file_.close();
  }

 private:
  // Every write but the last is a whole buffer, so direct writes stay aligned.
  void put(const char* p, std::size_t n) {
    while (n > 0) {
      const std::size_t take = std::min(n, IO_BUFFER - used_);
      std::memcpy(buffer_.get() + used_, p, take);
      used_ += take;
      p += take;
      n -= take;
      if (used_ == IO_BUFFER) {
        file_.write_all(bytes_of(buffer_.get(), used_));
        used_ = 0;
      }
    }
  }

  File file_;
  IoBuffer buffer_;
  std::size_t used_ = 0;
  std::uint64_t count_ = 0;
};

// One run file being read, bounded by the count at its head.
class RunReader {
 public:
  explicit RunReader(const std::string& path) : file_(File::open_read(path)), buffer_(io_buffer()) {
    file_.set_direct(true);
    left_ = file_.size();
    unsigned char head[8];
    read_exact(reinterpret_cast<char*>(head), 8);
    remaining_ = load_le64(head);
  }

  // The next key into `key`; false at the end of the run.
  bool next(std::string& key) {
    if (remaining_ == 0) return false;
    --remaining_;
    // Most records lie whole in the buffer.
    if (end_ - pos_ >= 4) {
      const char* p = buffer_.get() + pos_;
      const std::uint32_t len = load_le32(reinterpret_cast<const unsigned char*>(p));
      if (len <= end_ - pos_ - 4) {
        key.assign(p + 4, len);
        pos_ += 4 + std::size_t{len};
        left_ -= 4 + std::uint64_t{len};
        if (!utf8::valid(key)) throw corrupt();
        return true;
      }
    }
    unsigned char len_bytes[4];
    read_exact(reinterpret_cast<char*>(len_bytes), 4);
    std::uint32_t len = load_le32(len_bytes);
    // A length beyond the file's end is refused before anything is allocated.
    if (len > left_) throw corrupt();
    key.resize(len);
    read_exact(key.data(), len);
    if (!utf8::valid(key)) throw corrupt();
    return true;
  }

 private:
  void read_exact(char* dst, std::size_t n) {
    if (n > left_) throw corrupt();  // the file ends before its counted records
    while (n > 0) {
      if (pos_ == end_) {
        if (n >= IO_BUFFER && !file_.direct()) {
          const std::size_t r = file_.read_some(std::span<unsigned char>(reinterpret_cast<unsigned char*>(dst), n));
          if (r == 0) throw corrupt();
          dst += r;
          n -= r;
          left_ -= r;
          continue;
        }
        fill();
      }
      std::size_t take = std::min(n, end_ - pos_);
      std::memcpy(dst, buffer_.get() + pos_, take);
      pos_ += take;
      dst += take;
      n -= take;
      left_ -= take;
    }
  }
  void fill() {
    // Whole buffers from offset 0: direct reads stay aligned up to the end.
    const std::size_t r = file_.read_some(std::span<unsigned char>(reinterpret_cast<unsigned char*>(buffer_.get()), IO_BUFFER));
    if (r == 0) throw corrupt();  // shorter than its size said: changed under us
    pos_ = 0;
    end_ = r;
  }

  File file_;
  IoBuffer buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  std::uint64_t left_ = 0;  // bytes of the file not yet consumed
  std::uint64_t remaining_ = 0;
};

std::string run_path(const std::string& dir, std::uint64_t number) { return dir + "/" + std::to_string(number); }

}  // namespace

// ---- Run ---------------------------------------------------------------------

// A key's start must stay below the sort's repeat mark.
Run::Run(std::size_t budget, std::size_t threads)
    : budget_(std::min<std::size_t>(budget, UINT32_MAX - 1)), threads_(threads != 0 ? threads : online_processors()) {}

void Run::push(std::string_view key) {
  if (bytes_.empty() && spans_.empty()) {
    bytes_ = allocate_huge<char>(budget_);
    spans_ = allocate_huge<Span>(budget_ / 8);
  }
  // Beyond the room test nothing fits: refuse rather than write past the end.
  if (!has_room(key.size())) panic("a run has room for its key");
  if (!key.empty()) std::memcpy(bytes_.data() + used_, key.data(), key.size());
  spans_[count_++] = Span{static_cast<std::uint32_t>(used_), static_cast<std::uint32_t>(key.size())};
  used_ += key.size();
  sorted_ = false;
}

void Run::clear() noexcept {
  used_ = 0;
  count_ = 0;
  sorted_ = false;
}

namespace {

inline std::uint64_t chunk_at(const char* base, std::size_t limit, const Span& s, std::size_t depth) noexcept {
  const std::size_t rem = s.length > depth ? s.length - depth : 0;
  const std::size_t at = s.start + depth;
  std::uint64_t v = 0;
  if (at + 8 <= limit) {
    // One fixed-size load, then the bytes past the key masked off.
    std::memcpy(&v, base + at, 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    if (rem < 8) v = rem == 0 ? 0 : v & (~std::uint64_t{0} << (8 * (8 - rem)));
    return v;
  }
  for (std::size_t i = 0; i < rem && i < 8; ++i) v |= std::uint64_t{static_cast<unsigned char>(base[at + i])} << (56 - 8 * i);
  return v;
}

// Bytes left at a depth, capped at 9: 0..8 means the key ends in this chunk
// (shorter first, so a proper prefix, even one followed by NULs, sorts
// first); 9 means it goes on.
inline std::uint32_t tail_at(const Span& s, std::size_t depth) noexcept {
  std::size_t rem = s.length - depth;
  return rem > 8 ? 9 : static_cast<std::uint32_t>(rem);
}

// Marks a key found equal to the one before it.
constexpr std::uint32_t REPEAT = UINT32_MAX;

// Below this a group is sorted by comparisons rather than by a radix pass.
constexpr std::size_t SMALL_GROUP = 64;
// From this size on a radix pass is made out of place.
constexpr std::size_t OUT_OF_PLACE = 512;

// A group of records at one depth still to sort.
struct Group {
  std::size_t begin, end, depth;
  unsigned byte;  // chunk bytes above this one are equal within the group
};

// Sorts the records of a group and of every group it splits into. Keys are
// ordered 8 bytes (a chunk) at a time: a radix pass per chunk byte for big
// groups (out of place through `spare`, room for `spare_recs` records, where
// the group fits; else in place, American flag sort), comparisons for small
// ones; keys whose chunks tie and go on are sorted again at the next depth,
// reloading their chunks. Repeats are marked REPEAT.
void sort_group(const char* base, std::size_t limit, SortRec* recs, Group first, unsigned char* spare,
                std::size_t spare_recs) {
  std::vector<Group> todo{first};
  std::size_t count[256];
  std::size_t head[256], tail_end[256];
  // Groups of keys tied on the whole chunk: split by tail; those that go on
  // get the next chunk and another round.
  auto next_depth = [&](std::size_t begin, std::size_t end, std::size_t d) {
    for (std::size_t i = begin; i < end;) {
      std::size_t j = i + 1;
      const std::uint32_t tail = tail_at(recs[i].span, d);
      while (j < end && recs[j].chunk == recs[i].chunk && tail_at(recs[j].span, d) == tail) ++j;
      if (j - i > 1) {
        if (tail == 9) {
          // The reloads jump around the run's bytes: prefetch ahead.
          constexpr std::size_t AHEAD = 64;
          for (std::size_t k = i; k < j; ++k) {
            if (k + AHEAD < j) __builtin_prefetch(base + recs[k + AHEAD].span.start + d + 8);
            recs[k].chunk = chunk_at(base, limit, recs[k].span, d + 8);
          }
          todo.push_back({i, j, d + 8, 0});
        } else {
          // Equal chunks ending at the same length: the same key.
          for (std::size_t k = i + 1; k < j; ++k) recs[k].span.start = REPEAT;
        }
      }
      i = j;
    }
  };
  while (!todo.empty()) {
    Group g = todo.back();
    todo.pop_back();
    const std::size_t d = g.depth;
    SortRec* a = recs;
    if (g.end - g.begin <= SMALL_GROUP || g.byte == 8) {
      std::sort(a + g.begin, a + g.end, [d](const SortRec& x, const SortRec& y) {
        if (x.chunk != y.chunk) return x.chunk < y.chunk;
        return tail_at(x.span, d) < tail_at(y.span, d);
      });
      next_depth(g.begin, g.end, d);
      continue;
    }
    // Skip the chunk bytes the whole group shares.
    std::uint64_t lo = a[g.begin].chunk, hi = lo;
    for (std::size_t i = g.begin + 1; i < g.end; ++i) {
      lo = std::min(lo, a[i].chunk);
      hi = std::max(hi, a[i].chunk);
    }
    if (lo == hi) {
      // One chunk for the whole group: the keys ending here (shortest first)
      // come before those that go on, which the next depth sorts.
      SortRec* mid = std::partition(a + g.begin, a + g.end, [d](const SortRec& r) { return tail_at(r.span, d) != 9; });
      std::sort(a + g.begin, mid, [d](const SortRec& x, const SortRec& y) { return tail_at(x.span, d) < tail_at(y.span, d); });
      next_depth(g.begin, g.end, d);
      continue;
    }
    g.byte = std::max<unsigned>(g.byte, static_cast<unsigned>(__builtin_clzll(lo ^ hi)) / 8);
    const unsigned shift = 56 - 8 * g.byte;
    std::fill(std::begin(count), std::end(count), 0);
    for (std::size_t i = g.begin; i < g.end; ++i) ++count[(a[i].chunk >> shift) & 0xFF];
    std::size_t at = g.begin;
    for (int b = 0; b < 256; ++b) {
      head[b] = at;
      at += count[b];
      tail_end[b] = at;
    }
    const std::size_t m = g.end - g.begin;
    if (m >= OUT_OF_PLACE && m <= spare_recs) {
      // Copied aside, then dealt back: streaming, where the in-place swaps
      // below are chains of dependent loads that miss the cache.
      std::memcpy(spare, a + g.begin, m * sizeof(SortRec));
      for (std::size_t i = 0; i < m; ++i) {
        SortRec r;
        std::memcpy(&r, spare + i * sizeof(SortRec), sizeof r);
        a[head[(r.chunk >> shift) & 0xFF]++] = r;
      }
    } else {
      for (int b = 0; b < 256; ++b) {
        while (head[b] < tail_end[b]) {
          SortRec r = a[head[b]];
          unsigned rb = static_cast<unsigned>((r.chunk >> shift) & 0xFF);
          while (rb != static_cast<unsigned>(b)) {
            std::swap(r, a[head[rb]++]);
            rb = static_cast<unsigned>((r.chunk >> shift) & 0xFF);
          }
          a[head[b]++] = r;
        }
      }
    }
    std::size_t begin = g.begin;
    for (int b = 0; b < 256; ++b) {
      std::size_t end = begin + count[b];
      if (end - begin > 1) todo.push_back({begin, end, d, g.byte + 1});
      begin = end;
    }
  }
}

// From this many keys on a run is sorted on several threads: below it,
// starting them costs more than they save.
constexpr std::size_t PARALLEL_KEYS = std::size_t{1} << 15;
// The fewest keys a thread is given a slice of.
constexpr std::size_t PART_KEYS = std::size_t{1} << 12;

// Runs fn(part) for part in 0..parts-1, on the calling thread when there is
// one part; a worker that cannot start leaves its parts to the others.
template <class Fn>
void for_parts(std::size_t parts, Fn&& fn) {
  parallel_claims(parts, parts, std::forward<Fn>(fn));
}

// Sorts spans by the bytes they point to and returns how many distinct keys
// lead the array, using up to `threads` threads. The first split, on the
// first chunk byte where keys differ, is dealt out of place straight from the
// spans, each thread dealing a slice of them: they are in arrival order, so
// their bytes are read sequentially (two or three times, which costs less
// than one in-place pass over the whole run, whose swaps all miss the cache). The
// buckets it makes are independent: threads claim them, largest first, and
// sort each to the end. Any number of threads gives the same order.
std::size_t sort_spans(const char* base, std::size_t limit, Span* spans, std::size_t n, SortRec* recs,
                       std::size_t threads) {
  const std::size_t parts = n >= PARALLEL_KEYS ? std::clamp<std::size_t>(threads, 1, n / PART_KEYS) : 1;
  auto part_begin = [&](std::size_t p) { return n / parts * p + std::min(p, n % parts); };
  std::vector<Group> groups;
  std::vector<std::uint64_t> los(parts, ~std::uint64_t{0}), his(parts, 0);
  // Each slice's count of keys per bucket of the first byte, the usual
  // split, taken on the way; then where its keys of each bucket go.
  std::vector<std::array<std::size_t, 256>> heads(parts);
  if (n > SMALL_GROUP) {
    for_parts(parts, [&](std::size_t p) {
      std::uint64_t lo = ~std::uint64_t{0}, hi = 0;
      std::array<std::size_t, 256>& count = heads[p];
      count.fill(0);
      for (std::size_t i = part_begin(p), e = part_begin(p + 1); i < e; ++i) {
        const std::uint64_t c = chunk_at(base, limit, spans[i], 0);
        lo = std::min(lo, c);
        hi = std::max(hi, c);
        ++count[c >> 56];
      }
      los[p] = lo;
      his[p] = hi;
    });
  }
  const std::uint64_t lo = *std::min_element(los.begin(), los.end());
  const std::uint64_t hi = *std::max_element(his.begin(), his.end());
  if (n > SMALL_GROUP && lo != hi) {
    const unsigned byte = static_cast<unsigned>(__builtin_clzll(lo ^ hi)) / 8;
    const unsigned shift = 56 - 8 * byte;
    if (byte > 0) {
      for_parts(parts, [&](std::size_t p) {
        std::array<std::size_t, 256>& count = heads[p];
        count.fill(0);
        for (std::size_t i = part_begin(p), e = part_begin(p + 1); i < e; ++i)
          ++count[(chunk_at(base, limit, spans[i], 0) >> shift) & 0xFF];
      });
    }
    // A slice's keys of a bucket go after the same bucket's keys of the
    // slices before it.
    std::size_t at = 0;
    for (int b = 0; b < 256; ++b) {
      const std::size_t begin = at;
      for (std::size_t p = 0; p < parts; ++p) {
        const std::size_t c = heads[p][b];
        heads[p][b] = at;
        at += c;
      }
      if (at - begin > 1) groups.push_back({begin, at, 0, byte + 1});
    }
    for_parts(parts, [&](std::size_t p) {
      std::array<std::size_t, 256>& head = heads[p];
      for (std::size_t i = part_begin(p), e = part_begin(p + 1); i < e; ++i) {
        const std::uint64_t c = chunk_at(base, limit, spans[i], 0);
        recs[head[(c >> shift) & 0xFF]++] = SortRec{c, spans[i]};
      }
    });
  } else {
    for_parts(parts, [&](std::size_t p) {
      for (std::size_t i = part_begin(p), e = part_begin(p + 1); i < e; ++i)
        recs[i] = SortRec{chunk_at(base, limit, spans[i], 0), spans[i]};
    });
    if (n > 1) groups.push_back({0, n, 0, 0});
  }
  // The spans' own storage is free until the sorted order is written back:
  // big groups are dealt out of place through it, each worker in its own
  // share of it.
  std::sort(groups.begin(), groups.end(),
            [](const Group& x, const Group& y) { return x.end - x.begin > y.end - y.begin; });
  const std::size_t workers = std::min(parts, std::max<std::size_t>(1, groups.size()));
  const std::size_t share = n * sizeof(Span) / workers / sizeof(SortRec);
  std::atomic<std::size_t> next{0};
  auto sort_claimed = [&](std::size_t worker, const FirstError* first) {
    unsigned char* spare = reinterpret_cast<unsigned char*>(spans) + worker * share * sizeof(SortRec);
    while (first == nullptr || !first->failed()) {
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= groups.size()) return;
      sort_group(base, limit, recs, groups[i], spare, share);
    }
  };
  if (workers == 1) {
    sort_claimed(0, nullptr);
  } else {
    run_workers(workers, [&](std::size_t worker, const FirstError& first) { sort_claimed(worker, &first); });
  }
  // Write back the sorted order without the repeats: each slice counts the
  // keys it keeps, then moves them after those of the slices before it.
  std::vector<std::size_t> kept(parts + 1, 0);
  for_parts(parts, [&](std::size_t p) {
    std::size_t k = 0;
    for (std::size_t i = part_begin(p), e = part_begin(p + 1); i < e; ++i) k += recs[i].span.start != REPEAT;
    kept[p + 1] = k;
  });
  for (std::size_t p = 0; p < parts; ++p) kept[p + 1] += kept[p];
  for_parts(parts, [&](std::size_t p) {
    std::size_t k = kept[p];
    for (std::size_t i = part_begin(p), e = part_begin(p + 1); i < e; ++i)
      if (recs[i].span.start != REPEAT) spans[k++] = recs[i].span;
  });
  return kept[parts];
}

}  // namespace

KeyView Run::sorted() {
  if (!sorted_) {
    // Keys were pushed back to back: the run's bytes are valid UTF-8 and
    // every key starts on a character boundary exactly when every key is
    // valid UTF-8 on its own. One pass over the buffer instead of one per key.
    bool valid = utf8::valid(std::string_view(bytes_.data(), used_));
    for (std::size_t i = 0; valid && i < count_; ++i) {
      const Span& sp = spans_[i];
      valid = sp.start == used_ || (static_cast<unsigned char>(bytes_[sp.start]) & 0xC0) != 0x80;
    }
    if (!valid) panic("appended from a str");
    if (scratch_.size() < count_) scratch_ = allocate_huge<SortRec>(budget_ / 8);
    count_ = sort_spans(bytes_.data(), used_, spans_.data(), count_, scratch_.data(), threads_);  // also drops repeats
    sorted_ = true;
  }
  return KeyView(bytes_.data(), spans_.data(), count_, true);
}

void Run::each(const Callback& callback) {
  // Sorted keys lie scattered over the run's bytes.
  visit_fetching_ahead(sorted(), callback);
}

// ---- merged stream -------------------------------------------------------------

// The merge is a tournament (loser) tree over the runs: replacing the
// winner replays one match per level, about half the comparisons of a heap.
struct MergedStream::Impl {
  std::vector<RunReader> readers;
  std::vector<std::string> heads;       // each run's current key
  std::vector<std::uint64_t> prefixes;  // their first 8 bytes, big-endian, zero-padded
  std::vector<char> done;               // the run has no key left
  // The prefix of a finished run: no UTF-8 key starts with 0xFF, so it
  // sorts after every key.
  static constexpr std::uint64_t FINISHED = ~std::uint64_t{0};
  // tree[0]: the run holding the least key; tree[1..k): the loser of the
  // match at that node. Leaves are the runs, at k..2k-1.
  std::vector<std::uint32_t> tree;
  std::string current;
  std::optional<IndexError> error;
  bool ended = false;

  void set_prefix(std::uint32_t run) {
    const std::string& k = heads[run];
    std::uint64_t v = 0;
    std::memcpy(&v, k.data(), k.size() < 8 ? k.size() : 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    prefixes[run] = v;
  }
  // Whether run a's key comes out before run b's: by key bytes, then by run
  // position; a finished run loses to every other.
  bool less(std::uint32_t a, std::uint32_t b) const {
    const std::uint64_t pa = prefixes[a], pb = prefixes[b];
    if (pa != pb) return pa < pb;
    if (pa == FINISHED) return a < b;
    const std::string& ka = heads[a];
    const std::string& kb = heads[b];
    int c = compare_bytes(ka, kb, ka.size() >= 8 && kb.size() >= 8 ? 8 : 0);
    return c < 0 || (c == 0 && a < b);
  }
  std::uint32_t build(std::size_t node) {
    const std::size_t k = readers.size();
    if (node >= k) return static_cast<std::uint32_t>(node - k);
    std::uint32_t l = build(2 * node), r = build(2 * node + 1);
    if (less(l, r)) {
      tree[node] = r;
      return l;
    }
    tree[node] = l;
    return r;
  }
  void init() {
    const std::size_t k = readers.size();
    tree.assign(k == 0 ? 1 : k, 0);
    if (k == 0) {
      ended = true;
      return;
    }
    tree[0] = k == 1 ? 0 : build(1);
    ended = done[tree[0]] != 0;
  }
  // The winner's run moved on: replay its path to the root.
  void replay(std::uint32_t run) {
    const std::size_t k = readers.size();
    std::uint32_t winner = run;
    for (std::size_t node = (k + run) / 2; node > 0; node /= 2) {
      // Selects rather than branches: who wins is a coin toss.
      const std::uint32_t other = tree[node];
      const bool lost = less(other, winner);
      tree[node] = lost ? winner : other;
      winner = lost ? other : winner;
    }
    tree[0] = winner;
    ended = done[winner] != 0;
  }
};

MergedStream::MergedStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MergedStream::MergedStream(MergedStream&&) noexcept = default;
MergedStream& MergedStream::operator=(MergedStream&&) noexcept = default;
MergedStream::~MergedStream() = default;

std::optional<std::string_view> MergedStream::next() {
  Impl& s = *impl_;
  if (s.ended) {
    if (s.error) throw *s.error;
    return std::nullopt;
  }
  const std::uint32_t top = s.tree[0];
  std::swap(s.current, s.heads[top]);
  try {
    if (s.readers[top].next(s.heads[top])) {
      s.set_prefix(top);
    } else {
      s.done[top] = 1;
      s.prefixes[top] = MergedStream::Impl::FINISHED;
    }
  } catch (const IndexError& e) {
    // The stream ends after this key; the error waits for the next call.
    s.error = e;
    s.ended = true;
    return std::string_view(s.current);
  }
  s.replay(top);
  return std::string_view(s.current);
}

MergedStream merge_runs(const std::string& dir, std::span<const std::uint64_t> runs) {
  auto impl = std::make_unique<MergedStream::Impl>();
  impl->readers.reserve(runs.size());
  impl->heads.resize(runs.size());
  impl->prefixes.resize(runs.size());
  impl->done.assign(runs.size(), 0);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    impl->readers.emplace_back(run_path(dir, runs[i]));
    if (impl->readers.back().next(impl->heads[i])) {
      impl->set_prefix(static_cast<std::uint32_t>(i));
    } else {
      impl->done[i] = 1;  // an empty run adds nothing
      impl->prefixes[i] = MergedStream::Impl::FINISHED;
    }
  }
  impl->init();
  return MergedStream(std::move(impl));
}

// ---- Runs --------------------------------------------------------------------

template <class Keys>
void Runs::spill_keys(const Keys& keys, bool checked) {
  const std::string& d = dir();
  RunWriter writer(run_path(d, next_));
  // Sorted keys lie scattered over the run's bytes: fetch ahead.
  constexpr std::size_t AHEAD = 64;
  const std::size_t n = keys.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + AHEAD < n) __builtin_prefetch(keys[i + AHEAD].data());
    std::string_view key = keys[i];
    if (!checked && !utf8::valid(key)) panic("appended from a str");
    writer.key(key);
  }
  writer.finish();
  runs_.push_back(next_);
  ++next_;
}

void Runs::spill(const KeyView& keys) { spill_keys(keys, keys.utf8_checked()); }
void Runs::spill(std::span<const std::string_view> keys) { spill_keys(keys, false); }

MergedStream Runs::merge() {
  if (runs_.empty()) panic("a run was spilled");
  const std::string& d = dir();
  while (runs_.size() > MERGE_FAN_IN) {
    std::vector<std::uint64_t> all;
    all.swap(runs_);
    std::vector<std::uint64_t> merged;
    std::size_t at = 0;
    // On a failure the list names every run file still in place, so that the
    // sort is never left claiming runs it lost.
    auto restore = [&] {
      runs_ = merged;
      runs_.insert(runs_.end(), all.begin() + static_cast<std::ptrdiff_t>(at), all.end());
    };
    for (; at < all.size(); at += MERGE_FAN_IN) {
      std::size_t len = std::min(MERGE_FAN_IN, all.size() - at);
      std::span<const std::uint64_t> chunk(all.data() + at, len);
      if (len == 1) {
        merged.push_back(chunk[0]);
        continue;
      }
      std::uint64_t number = next_;
      try {
        MergedStream stream = merge_runs(d, chunk);
        RunWriter writer(run_path(d, number));
        try {
          while (auto key = stream.next()) writer.key(*key);
        } catch (...) {
          ++next_;  // the partial file keeps its number
          throw;
        }
        writer.finish();
        ++next_;
        for (std::size_t k = 0; k < chunk.size(); ++k) {
          if (::unlink(run_path(d, chunk[k]).c_str()) != 0) {
            int code = errno;
            merged.push_back(number);
            // The inputs already removed are part of the merged file now.
            runs_ = merged;
            runs_.insert(runs_.end(), chunk.begin() + static_cast<std::ptrdiff_t>(k), chunk.end());
            runs_.insert(runs_.end(), all.begin() + static_cast<std::ptrdiff_t>(at + len), all.end());
            throw IndexError::os(code);
          }
        }
      } catch (const IndexError& e) {
        if (runs_.empty()) restore();
        throw;
      }
      merged.push_back(number);
    }
    runs_ = std::move(merged);
  }
  return merge_runs(d, runs_);
}

void Runs::each(const Callback& callback) {
  MergedStream stream = merge();
  std::string last;
  bool first = true;
  while (auto key = stream.next()) {
    if (!first && *key == last) continue;
    callback(*key);
    last.assign(key->data(), key->size());
    first = false;
  }
}

}  // namespace quorvale::extsort
