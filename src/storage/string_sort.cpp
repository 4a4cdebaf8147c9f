// A most-significant-digit radix sort over 8-byte chunks of the keys: each
// key is a 16-byte record of its chunk at the depth being sorted and its
// span, so that most comparisons are one integer comparison and the keys'
// own bytes are read only to load the next chunk of keys that tie.
#include "string_sort.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "huge_pages.hpp"
#include "threads.hpp"

namespace quorvale {

unsigned char* SortScratch::reserve(std::size_t bytes) {
  if (memory_.size() < bytes) {
    memory_ = {};
    memory_ = allocate_huge<unsigned char>(bytes);
  }
  return memory_.data();
}

namespace {

struct Rec {
  std::uint64_t chunk;  // the key's 8 bytes at the depth sorted, big-endian, zero-padded
  KeySpan span;         // in the buffer; for keys held as views, the key's index and length
};
static_assert(sizeof(Rec) == 16 && sizeof(std::string_view) == sizeof(Rec));

// Marks a key found equal to the one before it.
constexpr std::uint32_t REPEAT = UINT32_MAX;

inline std::uint64_t big_endian64(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

inline std::uint64_t big_endian32(const char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
  return v;
}

// Keys laid in one buffer: a chunk is one 8-byte load wherever the buffer
// holds 8 bytes from the chunk's start, the bytes past the key masked off.
struct InBuffer {
  const char* base;
  std::size_t limit;

  const char* bytes(const KeySpan& s) const noexcept { return base + s.start; }
  std::string_view key(const KeySpan& s) const noexcept { return {bytes(s), s.length}; }
  void fetch_ahead(const KeySpan&) const noexcept {}
  std::uint64_t chunk(const KeySpan& s, std::size_t depth) const noexcept {
    const std::size_t rem = s.length > depth ? s.length - depth : 0;
    const std::size_t at = s.start + depth;
    if (at + 8 <= limit) {
      const std::uint64_t v = big_endian64(base + at);
      return rem >= 8 ? v : rem == 0 ? 0 : v & (~std::uint64_t{0} << (8 * (8 - rem)));
    }
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < rem && i < 8; ++i) v |= std::uint64_t{static_cast<unsigned char>(base[at + i])} << (56 - 8 * i);
    return v;
  }
};

// A chunk of a key held anywhere in memory, read from the key's own bytes
// only, in at most three loads: `rem` bytes are left from `p` on.
inline std::uint64_t exact_chunk(const char* p, std::size_t rem) noexcept {
  if (rem >= 8) return big_endian64(p);
  if (rem >= 4) return big_endian32(p) << 32 | big_endian32(p + rem - 4) << (8 * (8 - rem));
  if (rem == 0) return 0;
  const auto byte = [p](std::size_t i) { return std::uint64_t{static_cast<unsigned char>(p[i])} << (56 - 8 * i); };
  return byte(0) | byte(rem / 2) | byte(rem - 1);
}

// Keys held as views whose bytes all lie in one window of memory of less
// than 4 GiB (any number of allocations): a span is an offset into it.
struct InWindow {
  const char* base;

  const char* bytes(const KeySpan& s) const noexcept { return base + s.start; }
  std::string_view key(const KeySpan& s) const noexcept { return {bytes(s), s.length}; }
  void fetch_ahead(const KeySpan&) const noexcept {}
  std::uint64_t chunk(const KeySpan& s, std::size_t depth) const noexcept {
    return exact_chunk(bytes(s) + depth, s.length > depth ? s.length - depth : 0);
  }
};

// Keys held as views anywhere: a span is the key's index, and its bytes are
// a step further.
struct InViews {
  const std::string_view* views;

  const char* bytes(const KeySpan& s) const noexcept { return views[s.start].data(); }
  std::string_view key(const KeySpan& s) const noexcept { return views[s.start]; }
  // The view itself, a step before its bytes are fetched.
  void fetch_ahead(const KeySpan& s) const noexcept { __builtin_prefetch(views + s.start); }
  std::uint64_t chunk(const KeySpan& s, std::size_t depth) const noexcept {
    return exact_chunk(bytes(s) + depth, s.length > depth ? s.length - depth : 0);
  }
};

// Bytes left at a depth, capped at 9: 0..8 means the key ends in this chunk
// (shorter first, so a proper prefix, even one followed by NULs, sorts
// first); 9 means it goes on.
inline std::uint32_t tail_at(const KeySpan& s, std::size_t depth) noexcept {
  const std::size_t rem = s.length - depth;
  return rem > 8 ? 9 : static_cast<std::uint32_t>(rem);
}

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
template <class Keys>
void sort_group(const Keys& keys, Rec* recs, Group first, unsigned char* spare, std::size_t spare_recs) {
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
          // The reloads jump around the keys' bytes: prefetch ahead.
          constexpr std::size_t AHEAD = 64;
          for (std::size_t k = i; k < j; ++k) {
            if (k + 2 * AHEAD < j) keys.fetch_ahead(recs[k + 2 * AHEAD].span);
            if (k + AHEAD < j) __builtin_prefetch(keys.bytes(recs[k + AHEAD].span) + d + 8);
            recs[k].chunk = keys.chunk(recs[k].span, d + 8);
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
    Rec* a = recs;
    if (g.end - g.begin <= SMALL_GROUP || g.byte == 8) {
      std::sort(a + g.begin, a + g.end, [d](const Rec& x, const Rec& y) {
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
      Rec* mid = std::partition(a + g.begin, a + g.end, [d](const Rec& r) { return tail_at(r.span, d) != 9; });
      std::sort(a + g.begin, mid, [d](const Rec& x, const Rec& y) { return tail_at(x.span, d) < tail_at(y.span, d); });
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
      std::memcpy(spare, a + g.begin, m * sizeof(Rec));
      for (std::size_t i = 0; i < m; ++i) {
        Rec r;
        std::memcpy(&r, spare + i * sizeof(Rec), sizeof r);
        a[head[(r.chunk >> shift) & 0xFF]++] = r;
      }
    } else {
      for (int b = 0; b < 256; ++b) {
        while (head[b] < tail_end[b]) {
          Rec r = a[head[b]];
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

// From this many keys on a sort runs on several threads: below it, starting
// them costs more than they save.
constexpr std::size_t PARALLEL_KEYS = std::size_t{1} << 15;
// The fewest keys a thread is given a slice of.
constexpr std::size_t PART_KEYS = std::size_t{1} << 12;

// The keys in arrival order cut into one slice a thread.
struct Parts {
  std::size_t n;
  std::size_t count;
  Parts(std::size_t keys, std::size_t threads)
      : n(keys), count(keys >= PARALLEL_KEYS ? std::clamp<std::size_t>(threads, 1, keys / PART_KEYS) : 1) {}
  std::size_t begin(std::size_t p) const noexcept { return n / count * p + std::min(p, n % count); }
  // Runs fn(part) for every part, on the calling thread when there is one; a
  // worker that cannot start leaves its parts to the others.
  template <class Fn>
  void each(Fn&& fn) const {
    parallel_claims(count, count, std::forward<Fn>(fn));
  }
};

// Deals the keys out of place from their arrival order into `recs`, bucket
// by bucket: `counts` holds, per slice, its keys of each of `buckets`
// buckets (slice p's at p * buckets); place(i, span) gives key i's bucket
// and record. A slice's keys of a bucket go after the same bucket's keys of
// the slices before it, so the deal is the same on any number of threads.
// Returns where each bucket starts, and its end.
template <class SpanOf, class Place>
std::vector<std::size_t> deal(const Parts& parts, std::size_t buckets, std::vector<std::size_t>& counts,
                              SpanOf& span_of, Place&& place, Rec* recs) {
  std::vector<std::size_t> starts(buckets + 1);
  std::size_t at = 0;
  for (std::size_t b = 0; b < buckets; ++b) {
    starts[b] = at;
    for (std::size_t p = 0; p < parts.count; ++p) at += std::exchange(counts[p * buckets + b], at);
  }
  starts[buckets] = at;
  parts.each([&](std::size_t p) {
    std::size_t* head = counts.data() + p * buckets;
    for (std::size_t i = parts.begin(p), e = parts.begin(p + 1); i < e; ++i) {
      const auto [bucket, rec] = place(i, span_of(i));
      recs[head[bucket]++] = rec;
    }
  });
  return starts;
}

// The first split by sampled splitters, for keys whose first differing byte
// leaves one bucket with more than a thread's share (a common stem such as
// "https://", one first byte for most keys): buckets of about equal size
// whatever the keys share. The keys of a bucket lie between two neighbouring
// splitters, so they share those splitters' common prefix and their sort
// starts at its last whole chunk. Returns the groups to sort.
template <class Keys, class SpanOf>
std::vector<Group> split_by_sample(const Keys& keys, SpanOf& span_of, const Parts& parts, Rec* recs) {
  const std::size_t n = parts.n;
  const std::size_t wanted = std::min<std::size_t>(8 * parts.count, 1 << 16);
  const std::size_t m = std::min(n, 32 * wanted);
  std::vector<std::string_view> sample(m);
  for (std::size_t j = 0; j < m; ++j) sample[j] = keys.key(span_of(j * n / m));
  std::sort(sample.begin(), sample.end());
  std::vector<std::string_view> splitters;
  for (std::size_t k = 1; k < wanted; ++k) {
    const std::string_view s = sample[k * m / wanted];
    if (splitters.empty() || s != splitters.back()) splitters.push_back(s);
  }
  const std::size_t buckets = splitters.size() + 1;
  // Bucket b holds the keys from splitter b - 1 (on) to splitter b (before).
  std::vector<std::size_t> depth(buckets, 0);
  for (std::size_t b = 1; b + 1 < buckets; ++b) {
    const std::string_view x = splitters[b - 1], y = splitters[b];
    std::size_t common = 0;
    while (common < x.size() && common < y.size() && x[common] == y[common]) ++common;
    depth[b] = common / 8 * 8;
  }
  const auto bucket_of = [&](const KeySpan& s) {
    return static_cast<std::size_t>(std::upper_bound(splitters.begin(), splitters.end(), keys.key(s)) - splitters.begin());
  };
  // The count keeps each key's bucket for the deal (a byte a key, while the
  // buckets fit one), which then searches no splitter again.
  std::unique_ptr<unsigned char[]> found;
  if (buckets <= 256) found = std::make_unique_for_overwrite<unsigned char[]>(n);
  std::vector<std::size_t> counts(parts.count * buckets, 0);
  parts.each([&](std::size_t p) {
    std::size_t* count = counts.data() + p * buckets;
    for (std::size_t i = parts.begin(p), e = parts.begin(p + 1); i < e; ++i) {
      const std::size_t b = bucket_of(span_of(i));
      if (found) found[i] = static_cast<unsigned char>(b);
      ++count[b];
    }
  });
  const std::vector<std::size_t> starts = deal(parts, buckets, counts, span_of,
                                               [&](std::size_t i, const KeySpan& s) {
                                                 const std::size_t b = found ? found[i] : bucket_of(s);
                                                 return std::pair{b, Rec{keys.chunk(s, depth[b]), s}};
                                               },
                                               recs);
  std::vector<Group> groups;
  for (std::size_t b = 0; b < buckets; ++b)
    if (starts[b + 1] - starts[b] > 1) groups.push_back({starts[b], starts[b + 1], depth[b], 0});
  return groups;
}

// Sorting the n keys whose spans span_of(i) gives in arrival order into
// `recs`, repeats marked REPEAT, starts here. The first split, on the first
// chunk byte where keys differ (or by sampled splitters where that byte
// leaves one bucket too big to share out), is dealt out of place straight
// from the spans, each thread dealing a slice of them: they are in arrival
// order, so their bytes are read sequentially (two or three times, which
// costs less than one in-place pass over all keys, whose swaps all miss the
// cache). The buckets it makes, returned as the groups still to sort, are
// independent: threads claim them and sort each to the end, big groups
// dealt out of place through `spare` (free only once the first split is
// made; `spare_bytes` of it, shared out among the workers). Any number of
// threads gives the same keys in the same order.
template <class Keys, class SpanOf>
std::vector<Group> first_split(const Keys& keys, SpanOf&& span_of, const Parts& parts, Rec* recs) {
  const std::size_t n = parts.n;
  std::vector<Group> groups;
  std::vector<std::uint64_t> los(parts.count, ~std::uint64_t{0}), his(parts.count, 0);
  // Each slice's count of keys per bucket of the first byte, the usual
  // split, taken on the way.
  std::vector<std::size_t> counts(parts.count * 256, 0);
  if (n > SMALL_GROUP) {
    parts.each([&](std::size_t p) {
      std::uint64_t lo = ~std::uint64_t{0}, hi = 0;
      std::size_t* count = counts.data() + p * 256;
      for (std::size_t i = parts.begin(p), e = parts.begin(p + 1); i < e; ++i) {
        const std::uint64_t c = keys.chunk(span_of(i), 0);
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
  const unsigned byte = lo != hi ? static_cast<unsigned>(__builtin_clzll(lo ^ hi)) / 8 : 8;
  const unsigned shift = 56 - 8 * (byte & 7);
  if (n > SMALL_GROUP && byte > 0 && byte < 8) {
    std::fill(counts.begin(), counts.end(), 0);
    parts.each([&](std::size_t p) {
      std::size_t* count = counts.data() + p * 256;
      for (std::size_t i = parts.begin(p), e = parts.begin(p + 1); i < e; ++i)
        ++count[(keys.chunk(span_of(i), 0) >> shift) & 0xFF];
    });
  }
  // One bucket beyond a thread's share would leave the other threads idle
  // while one sorts it.
  std::size_t biggest = byte < 8 ? 0 : n;
  for (std::size_t b = 0; b < 256 && byte < 8; ++b) {
    std::size_t total = 0;
    for (std::size_t p = 0; p < parts.count; ++p) total += counts[p * 256 + b];
    biggest = std::max(biggest, total);
  }
  if (n > SMALL_GROUP && parts.count > 1 && biggest > n / parts.count) {
    groups = split_by_sample(keys, span_of, parts, recs);
  } else if (n > SMALL_GROUP && byte < 8) {
    const std::vector<std::size_t> starts = deal(parts, 256, counts, span_of,
                                                 [&](std::size_t, const KeySpan& s) {
                                                   const std::uint64_t c = keys.chunk(s, 0);
                                                   return std::pair{static_cast<std::size_t>((c >> shift) & 0xFF), Rec{c, s}};
                                                 },
                                                 recs);
    for (std::size_t b = 0; b < 256; ++b)
      if (starts[b + 1] - starts[b] > 1) groups.push_back({starts[b], starts[b + 1], 0, byte + 1});
  } else {
    parts.each([&](std::size_t p) {
      for (std::size_t i = parts.begin(p), e = parts.begin(p + 1); i < e; ++i) {
        const KeySpan s = span_of(i);
        recs[i] = Rec{keys.chunk(s, 0), s};
      }
    });
    if (n > 1) groups.push_back({0, n, 0, 0});
  }
  return groups;
}

// What a worker of the group sorts is given of `spare`.
std::size_t spare_share(std::size_t spare_bytes, std::size_t workers) noexcept {
  return spare_bytes / workers / sizeof(Rec);
}

// The whole sort: the first split, then the groups claimed largest first.
template <class Keys, class SpanOf>
void sort_records(const Keys& keys, SpanOf&& span_of, const Parts& parts, Rec* recs, unsigned char* spare,
                  std::size_t spare_bytes) {
  std::vector<Group> groups = first_split(keys, span_of, parts, recs);
  std::sort(groups.begin(), groups.end(),
            [](const Group& x, const Group& y) { return x.end - x.begin > y.end - y.begin; });
  const std::size_t workers = std::min(parts.count, std::max<std::size_t>(1, groups.size()));
  const std::size_t share = spare_share(spare_bytes, workers);
  std::atomic<std::size_t> next{0};
  auto sort_claimed = [&](std::size_t worker, const FirstError* first) {
    unsigned char* mine = spare + worker * share * sizeof(Rec);
    while (first == nullptr || !first->failed()) {
      const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= groups.size()) return;
      sort_group(keys, recs, groups[i], mine, share);
    }
  };
  if (workers == 1) {
    sort_claimed(0, nullptr);
  } else {
    run_workers(workers, [&](std::size_t worker, const FirstError& first) { sort_claimed(worker, &first); });
  }
}

// Records handed over in order a slice at a time: slice s covers records
// [s * SLICE, (s + 1) * SLICE).
constexpr std::size_t SLICE = std::size_t{1} << 12;

// The keys of one slice copied back to back in sorted order, repeats left
// out: the visitor then reads them one after the other instead of jumping
// over the keys' own bytes. Each is used for every ring-th slice.
struct GatheredSlice {
  std::unique_ptr<char[]> bytes;
  std::size_t room = 0;
  std::unique_ptr<std::size_t[]> ends;  // where each key ends in `bytes`
  std::size_t count = 0;
  std::atomic<std::size_t> holds{0};  // the slice number + 1, once filled
};

// Sorts as sort_records does, and hands every key that is no repeat, in
// order, to visit(key) on the calling thread while workers still sort the
// groups after it: the groups are claimed in key order, and the records
// are handed over a slice at a time once the groups they hold are sorted.
// With `gather`, the workers also copy the keys of the next slices (at most
// `ring` of them ahead of the visitor, before any more sorting) into
// buffers of their own, and the visitor takes them from there: keys held
// scattered over memory (strings of an interpreter) are then read by every
// worker at once, not one after the other on the visitor's thread. Without
// it the visitor reads each key where it lies, fetched a little ahead; with
// it the pages of the records are given back to the system as their keys
// are handed over (the records are working memory the caller gives up). A
// key handed over is valid during the call only. Once the last group is
// sorted, spare_done() is called (the spare room and the spans, which only
// the first split reads, may go then, while the visitor goes on). A
// worker's failure, or the visitor's, stops the work; it is rethrown once
// the workers have joined.
template <class Keys, class SpanOf, class Visit, class SpareDone>
void sort_records_each(const Keys& keys, SpanOf&& span_of, const Parts& parts, Rec* recs, unsigned char* spare,
                       std::size_t spare_bytes, Visit&& visit, SpareDone&& spare_done, bool gather) {
  const std::size_t n = parts.n;
  std::vector<Group> groups = first_split(keys, span_of, parts, recs);
  std::sort(groups.begin(), groups.end(), [](const Group& x, const Group& y) { return x.begin < y.begin; });
  const std::size_t workers = std::min(parts.count, std::max<std::size_t>(1, groups.size()));
  const std::size_t share = spare_share(spare_bytes, workers);
  const std::size_t slices = (n + SLICE - 1) / SLICE;
  // The groups a slice holds records of: [first[s], last[s]).
  std::vector<std::size_t> first(slices), last(slices);
  for (std::size_t s = 0, g = 0; s < slices; ++s) {
    while (g < groups.size() && groups[g].end <= s * SLICE) ++g;
    first[s] = g;
    std::size_t h = g;
    while (h < groups.size() && groups[h].begin < (s + 1) * SLICE) ++h;
    last[s] = h;
  }
  std::unique_ptr<std::atomic<bool>[]> done(new std::atomic<bool>[groups.size()]());
  const std::size_t ring = gather ? 4 * workers : 0;
  std::unique_ptr<GatheredSlice[]> gathered(new GatheredSlice[ring]);
  std::atomic<std::size_t> next_group{0}, sorted_groups{0}, next_slice{0}, visited{0};
  std::atomic<bool> stop{false}, spare_given{false};
  // Every change a waiter may wait for (a group sorted, a slice gathered or
  // visited, a failure, the end) moves the clock on and wakes them all.
  std::atomic<std::uint64_t> clock{0};
  const auto tick = [&] {
    clock.fetch_add(1, std::memory_order_acq_rel);
    clock.notify_all();
  };
  const auto wait_for = [&](auto&& ready) {
    for (;;) {
      const std::uint64_t seen = clock.load(std::memory_order_acquire);
      if (ready()) return;
      clock.wait(seen, std::memory_order_acquire);
    }
  };
  const auto give_spare = [&] {
    if (!spare_given.exchange(true)) spare_done();
  };
  if (groups.empty()) give_spare();
  const auto sorted = [&](std::size_t s) {
    for (std::size_t g = first[s]; g < last[s]; ++g)
      if (!done[g].load(std::memory_order_acquire)) return false;
    return true;
  };
  // Scattered keys: fetch each a little ahead.
  constexpr std::size_t AHEAD = 16;
  const auto fetch_ahead = [&](std::size_t i, std::size_t to) {
    if (i + AHEAD < to && recs[i + AHEAD].span.start != REPEAT) __builtin_prefetch(keys.bytes(recs[i + AHEAD].span));
  };
  const auto gather_slice = [&](std::size_t s) {
    GatheredSlice& out = gathered[s % ring];
    const std::size_t from = s * SLICE, to = std::min(n, from + SLICE);
    std::size_t total = 0;
    for (std::size_t i = from; i < to; ++i)
      if (recs[i].span.start != REPEAT) total += recs[i].span.length;
    if (!out.ends) out.ends = std::make_unique_for_overwrite<std::size_t[]>(SLICE);
    if (out.room < total) {
      out.bytes.reset();
      out.bytes = std::make_unique_for_overwrite<char[]>(total);
      out.room = total;
    }
    std::size_t at = 0, count = 0;
    for (std::size_t i = from; i < to; ++i) {
      fetch_ahead(i, to);
      const KeySpan span = recs[i].span;
      if (span.start == REPEAT) continue;
      if (span.length != 0) std::memcpy(out.bytes.get() + at, keys.bytes(span), span.length);
      at += span.length;
      out.ends[count++] = at;
    }
    out.count = count;
    out.holds.store(s + 1, std::memory_order_release);
    tick();
  };
  // A slice may be gathered once its groups are sorted and the visitor has
  // left the slice that used its buffer before.
  const auto may_gather = [&](std::size_t s) { return s < visited.load(std::memory_order_acquire) + ring && sorted(s); };
  std::atomic<bool> failed{false};  // set (before a tick) by a worker that fails
  const auto ended = [&] { return stop.load(std::memory_order_acquire) || failed.load(std::memory_order_acquire); };
  auto claims = [&](std::size_t worker) {
    unsigned char* mine = spare + worker * share * sizeof(Rec);
    try {
      while (!ended()) {
        std::size_t s = next_slice.load(std::memory_order_acquire);
        if (gather && s < slices && may_gather(s)) {
          if (next_slice.compare_exchange_strong(s, s + 1, std::memory_order_acq_rel)) gather_slice(s);
          continue;
        }
        const std::size_t g = next_group.fetch_add(1, std::memory_order_relaxed);
        if (g < groups.size()) {
          sort_group(keys, recs, groups[g], mine, share);
          done[g].store(true, std::memory_order_release);
          if (sorted_groups.fetch_add(1, std::memory_order_acq_rel) + 1 == groups.size()) give_spare();
          tick();
          continue;
        }
        if (!gather) return;
        // Nothing left to sort: wait until the next slice may be gathered.
        wait_for([&] {
          s = next_slice.load(std::memory_order_acquire);
          return ended() || s >= slices || may_gather(s);
        });
        if (s >= slices) return;
      }
    } catch (...) {
      failed.store(true, std::memory_order_release);
      tick();
      throw;
    }
  };
  FirstError failure;
  std::exception_ptr visitor_error;
  {
    std::jthread sorter([&] {
      try {
        run_workers(workers, claims);
      } catch (...) {
        failure.capture(std::current_exception());
      }
      give_spare();
      stop.store(true, std::memory_order_release);
      tick();  // whatever was left undone wakes the visitor, which finds the failure
    });
    ReleasedPages release(recs, n * sizeof(Rec));
    try {
      for (std::size_t s = 0; s < slices; ++s) {
        if (gather) {
          GatheredSlice& in = gathered[s % ring];
          wait_for([&] { return ended() || in.holds.load(std::memory_order_acquire) == s + 1; });
          if (in.holds.load(std::memory_order_acquire) != s + 1) break;
          for (std::size_t k = 0, at = 0; k < in.count; at = in.ends[k++])
            visit(std::string_view(in.bytes.get() + at, in.ends[k] - at));
          // No worker reads or writes the records of a slice handed over.
          release(std::min(n, (s + 1) * SLICE) * sizeof(Rec));
        } else {
          wait_for([&] { return ended() || sorted(s); });
          if (!sorted(s)) break;
          // The fetches run on into the next slice when it is sorted too.
          const std::size_t to = std::min(n, (s + 1) * SLICE);
          const std::size_t ahead = s + 1 < slices && sorted(s + 1) ? std::min(n, to + SLICE) : to;
          for (std::size_t i = s * SLICE; i < to; ++i) {
            fetch_ahead(i, ahead);
            if (recs[i].span.start != REPEAT) visit(keys.key(recs[i].span));
          }
        }
        visited.store(s + 1, std::memory_order_release);
        tick();
      }
    } catch (...) {
      visitor_error = std::current_exception();
    }
    stop.store(true, std::memory_order_release);
    tick();
  }  // the sorter joins here
  if (visitor_error) std::rethrow_exception(visitor_error);
  failure.rethrow_if_failed();
}

// Hands every record that is no repeat, in order, to put(position, record):
// each slice counts the keys it keeps, then puts them after those of the
// slices before it. Returns how many there are.
template <class Put>
std::size_t keep_distinct(const Parts& parts, const Rec* recs, Put&& put) {
  std::vector<std::size_t> kept(parts.count + 1, 0);
  parts.each([&](std::size_t p) {
    std::size_t k = 0;
    for (std::size_t i = parts.begin(p), e = parts.begin(p + 1); i < e; ++i) k += recs[i].span.start != REPEAT;
    kept[p + 1] = k;
  });
  for (std::size_t p = 0; p < parts.count; ++p) kept[p + 1] += kept[p];
  parts.each([&](std::size_t p) {
    std::size_t k = kept[p];
    for (std::size_t i = parts.begin(p), e = parts.begin(p + 1); i < e; ++i)
      if (recs[i].span.start != REPEAT) put(k++, recs[i]);
  });
  return kept[parts.count];
}

std::size_t threads_or_all(std::size_t threads) { return threads != 0 ? threads : online_processors(); }

// A record names a key by 32 bits and its length by 32 more; beyond them
// (never seen in practice) the keys are compared whole.
bool beyond_records(const std::vector<std::string_view>& keys) {
  return keys.size() >= REPEAT ||
         std::any_of(keys.begin(), keys.end(), [](std::string_view k) { return k.size() > UINT32_MAX; });
}

// Most key sets held as views have their bytes close together (a reader's
// blocks, an interpreter's heap): when one window of memory narrower than
// 4 GiB holds every key's bytes, a key is an offset into it and reloading a
// chunk is one step. Returns the window's start (null when no key has a
// byte), or nothing when the keys lie further apart.
std::optional<const char*> key_window(const std::string_view* views, const Parts& parts) {
  std::vector<std::uintptr_t> los(parts.count, UINTPTR_MAX), his(parts.count, 0);
  parts.each([&](std::size_t p) {
    std::uintptr_t low = UINTPTR_MAX, high = 0;
    for (std::size_t i = parts.begin(p), e = parts.begin(p + 1); i < e; ++i) {
      if (views[i].empty()) continue;  // an empty key has no byte to read
      const auto at = reinterpret_cast<std::uintptr_t>(views[i].data());
      low = std::min(low, at);
      high = std::max(high, at + views[i].size());
    }
    los[p] = low;
    his[p] = high;
  });
  const std::uintptr_t low = *std::min_element(los.begin(), los.end());
  const std::uintptr_t high = *std::max_element(his.begin(), his.end());
  if (high <= low) return nullptr;
  if (high - low >= REPEAT) return std::nullopt;
  return reinterpret_cast<const char*>(low);
}

// The keys' spans in the window that starts at `lo`, in arrival order.
Pages<KeySpan> window_spans(const std::string_view* views, const char* lo, const Parts& parts) {
  Pages<KeySpan> spans = allocate_huge<KeySpan>(parts.n);
  parts.each([&](std::size_t p) {
    for (std::size_t i = parts.begin(p), e = parts.begin(p + 1); i < e; ++i) {
      const std::string_view k = views[i];
      spans[i] = KeySpan{k.empty() ? 0 : static_cast<std::uint32_t>(k.data() - lo), static_cast<std::uint32_t>(k.size())};
    }
  });
  return spans;
}

// Records of keys held as views anywhere, and room as large as a buffer's
// spans to deal big groups out of place through: 24 bytes a key.
struct ViewRecords {
  SortScratch scratch;
  Rec* recs;
  unsigned char* spare;
  std::size_t spare_bytes;
  explicit ViewRecords(std::size_t n)
      : recs(reinterpret_cast<Rec*>(scratch.reserve(n * (sizeof(Rec) + sizeof(KeySpan))))),
        spare(reinterpret_cast<unsigned char*>(recs) + n * sizeof(Rec)),
        spare_bytes(n * sizeof(KeySpan)) {}
};

// A key held as a view is named by its index.
auto view_span(const std::string_view* views) {
  return [views](std::size_t i) {
    return KeySpan{static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(views[i].size())};
  };
}

}  // namespace

std::size_t sort_distinct(const char* bytes, std::size_t size, std::span<KeySpan> spans, SortScratch& scratch,
                          std::size_t threads) {
  const std::size_t n = spans.size();
  const Parts parts(n, threads_or_all(threads));
  Rec* recs = reinterpret_cast<Rec*>(scratch.reserve(n * sizeof(Rec)));
  // The spans' own storage is free from the first split until the sorted
  // order is written back: big groups are dealt out of place through it.
  sort_records(InBuffer{bytes, size}, [&](std::size_t i) { return spans[i]; }, parts, recs,
               reinterpret_cast<unsigned char*>(spans.data()), n * sizeof(KeySpan));
  return keep_distinct(parts, recs, [spans](std::size_t k, const Rec& r) { spans[k] = r.span; });
}

std::size_t sort_distinct_each(const char* bytes, std::size_t size, std::span<KeySpan> spans, SortScratch& scratch,
                               const std::function<void(std::string_view)>& visit, std::size_t threads) {
  const std::size_t n = spans.size();
  const Parts parts(n, threads_or_all(threads));
  Rec* recs = reinterpret_cast<Rec*>(scratch.reserve(n * sizeof(Rec)));
  const InBuffer keys{bytes, size};
  std::size_t count = 0;
  sort_records_each(keys, [&](std::size_t i) { return spans[i]; }, parts, recs,
                    reinterpret_cast<unsigned char*>(spans.data()), n * sizeof(KeySpan),
                    [&](std::string_view key) {
                      ++count;
                      visit(key);
                    },
                    [] {}, false);
  return count;
}

void sort_distinct(std::vector<std::string_view>& keys, std::size_t threads) {
  const std::size_t n = keys.size();
  if (n < 2) return;
  if (beyond_records(keys)) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    return;
  }
  const Parts parts(n, threads_or_all(threads));
  const std::string_view* views = keys.data();
  if (const std::optional<const char*> window = key_window(views, parts)) {
    const char* lo = *window;
    // A key's span is then all its record needs of its view, so the spans
    // go to a table of their own, the records are dealt from them into the
    // views' own place (a record is as large as a view), and the spans'
    // table is the spare room once the first split is made: the sort holds
    // 8 bytes a key beside the views, not 24.
    Pages<KeySpan> spans = window_spans(views, lo, parts);
    unsigned char* const place = reinterpret_cast<unsigned char*>(keys.data());
    sort_records(InWindow{lo}, [&spans](std::size_t i) { return spans[i]; }, parts, reinterpret_cast<Rec*>(place),
                 reinterpret_cast<unsigned char*>(spans.data()), n * sizeof(KeySpan));
    spans = {};
    // Each slice turns its kept records back into views in place, packed at
    // its own start (record i is read before slot i or any later one is
    // written); then the slices move down in order.
    std::vector<std::size_t> kept(parts.count + 1, 0);
    parts.each([&](std::size_t p) {
      std::size_t w = parts.begin(p);
      for (std::size_t i = parts.begin(p), e = parts.begin(p + 1); i < e; ++i) {
        Rec r;
        std::memcpy(&r, place + i * sizeof(Rec), sizeof r);
        if (r.span.start == REPEAT) continue;
        const std::string_view v(lo + r.span.start, r.span.length);
        std::memcpy(place + w++ * sizeof(Rec), &v, sizeof v);
      }
      kept[p + 1] = w - parts.begin(p);
    });
    for (std::size_t p = 0; p < parts.count; ++p) {
      std::memmove(place + kept[p] * sizeof(Rec), place + parts.begin(p) * sizeof(Rec), kept[p + 1] * sizeof(Rec));
      kept[p + 1] += kept[p];
    }
    keys.resize(kept[parts.count]);
    return;
  }
  ViewRecords r(n);
  sort_records(InViews{views}, view_span(views), parts, r.recs, r.spare, r.spare_bytes);
  // Each slice turns its kept records into their views, packed at its own
  // start (a view is as large as a record); then the slices are joined in
  // order (the views may be written only once every slice has read them).
  unsigned char* const memory = reinterpret_cast<unsigned char*>(r.recs);
  std::vector<std::size_t> kept(parts.count + 1, 0);
  parts.each([&](std::size_t p) {
    std::size_t w = parts.begin(p);
    for (std::size_t i = parts.begin(p), e = parts.begin(p + 1); i < e; ++i) {
      if (r.recs[i].span.start == REPEAT) continue;
      const std::string_view v = views[r.recs[i].span.start];
      std::memcpy(memory + w++ * sizeof(Rec), &v, sizeof v);
    }
    kept[p + 1] = w - parts.begin(p);
  });
  for (std::size_t p = 0; p < parts.count; ++p) kept[p + 1] += kept[p];
  parts.each([&](std::size_t p) {
    std::memcpy(static_cast<void*>(keys.data() + kept[p]), memory + parts.begin(p) * sizeof(Rec),
                (kept[p + 1] - kept[p]) * sizeof(Rec));
  });
  keys.resize(kept[parts.count]);
}

std::size_t sort_distinct_each(std::vector<std::string_view>& keys, const std::function<void(std::string_view)>& visit,
                               std::size_t threads) {
  const std::size_t n = keys.size();
  const Parts parts(n, threads_or_all(threads));
  if (parts.count == 1 || beyond_records(keys)) {
    // Too few keys to share out (no thread is started for them), or too
    // long to name by records: sorted whole, then handed over, each fetched
    // a little ahead.
    sort_distinct(keys, threads);
    constexpr std::size_t AHEAD = 16;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (i + AHEAD < keys.size()) __builtin_prefetch(keys[i + AHEAD].data());
      visit(keys[i]);
    }
    return keys.size();
  }
  std::size_t count = 0;
  const std::string_view* views = keys.data();
  if (const std::optional<const char*> window = key_window(views, parts)) {
    // As sort_distinct lays them out: the records in the views' place, the
    // spans beside them, given back as soon as the workers are done.
    Pages<KeySpan> spans = window_spans(views, *window, parts);
    const InWindow in{*window};
    sort_records_each(in, [&spans](std::size_t i) { return spans[i]; }, parts, reinterpret_cast<Rec*>(keys.data()),
                      reinterpret_cast<unsigned char*>(spans.data()), n * sizeof(KeySpan),
                      [&](std::string_view key) {
                        ++count;
                        visit(key);
                      },
                      [&spans] { spans = {}; }, true);
    return count;
  }
  ViewRecords r(n);
  const InViews in{views};
  sort_records_each(in, view_span(views), parts, r.recs, r.spare, r.spare_bytes,
                    [&](std::string_view key) {
                      ++count;
                      visit(key);
                    },
                    [] {}, true);
  return count;
}

}  // namespace quorvale
