// Batched lookups. The keys are taken in chunks. In a chunk every key's
// block boundary is found first, 32 keys at a time with their searches over
// the per-block samples advanced in lockstep (one halving step of every key
// per pass, so the lanes' cache misses overlap). Then the keys are ordered
// by boundary, so that each block's keys are answered together: a block
// that many keys reach is decoded once and its keys searched as plain sorted
// keys; the others are searched key by key inside their block, as a single
// lookup would, with the next keys' data fetched meanwhile. Either way a
// key's answer is that of locate_query, written at the key's own place.
#include <algorithm>
#include <bit>
#include <cstring>

#include "arrow_chunk.hpp"
#include "dict_index/layout.hpp"
#include "dict_index/internal.hpp"

namespace quorvale {

using dict_index::Layout;

using namespace dict_index;

namespace {

constexpr std::size_t LANES = 32;
constexpr std::uint64_t UNDECIDED = UINT64_MAX;
// A lane number takes LANE_BITS bits beside its boundary in the sort words.
constexpr unsigned LANE_BITS = 22;
constexpr std::size_t MAX_CHUNK = std::size_t{1} << LANE_BITS;
// Room for a chunk's translations into a character code (two bytes a key
// byte): a chunk ends early rather than pass it.
constexpr std::size_t CHUNK_ROOM = std::size_t{64} << 20;
// A batch is ordered by block, and a block decoded whole, when its keys times
// this reach the index's (the block's) key count: decoding a block costs
// about as much as that many run scans (more with the packed codec).
constexpr std::uint64_t DENSE = 8;
constexpr std::uint64_t DENSE_PACKED = 2;

inline void prefetch(const void* p) noexcept { __builtin_prefetch(p); }

// Where entry i of an offset array lies (its sample and its field).
inline void prefetch_entry(const Offsets& o, std::uint64_t i) noexcept {
  prefetch(o.samples.data() + (i >> o.shift) * 8);
  prefetch(o.bits.data() + i * o.width / 8);
}

// A run's headers, then its data: its first few lines.
inline void prefetch_run(ByteSpan run) noexcept {
  for (std::size_t at = 0; at < run.size() && at < 256; at += 64) prefetch(run.data() + at);
}

// The boundary search of one group of lanes, field by field.
struct Group {
  std::uint64_t sample[LANES];
  std::uint64_t lower[LANES];  // first block whose sample is >= the key's
  std::uint64_t upper[LANES];  // first block whose sample is above it
};

// Both searches of every lane over the samples in lockstep: each pass halves
// the range of every search of every lane, so the number of passes depends
// on Y alone and a pass's loads are independent of each other. A settled
// lane searches too (its answer unused), so that no lane branches.
void search_samples(const std::uint64_t* samples, std::uint64_t y, Group& l, std::size_t g) noexcept {
  for (std::size_t i = 0; i < g; ++i) l.lower[i] = l.upper[i] = 0;
  for (std::uint64_t size = y; size > 1;) {
    const std::uint64_t half = size / 2;
    for (std::size_t i = 0; i < g; ++i) {
      // Masks rather than conditions: the compiler would branch on them.
      const std::uint64_t s = l.sample[i];
      const std::uint64_t lo = l.lower[i], up = l.upper[i];
      l.lower[i] = lo + (half & (std::uint64_t{0} - (samples[lo + half] < s)));
      l.upper[i] = up + (half & (std::uint64_t{0} - (samples[up + half] <= s)));
    }
    size -= half;
  }
  for (std::size_t i = 0; i < g; ++i) {
    l.lower[i] += samples[l.lower[i]] < l.sample[i];
    l.upper[i] += samples[l.upper[i]] <= l.sample[i];
  }
}

// One block's keys decoded, for the blocks that many keys reach: the keys
// back to back, and of each the 8 bytes from the depth that every key of the
// block shares. Filled only from runs whose every entry is well formed (its
// shared prefix exact, so each key above the one before), where comparing
// whole keys gives what the scans give.
struct Decoded {
  std::vector<unsigned char> bytes;
  std::vector<std::size_t> ends;  // ends[i]: end of key i; ends[0] = 0
  std::vector<std::uint64_t> words;
  std::vector<unsigned char> restarts;  // the restarts back to back
  std::vector<std::size_t> restart_ends;
  std::vector<unsigned char> cur;
  std::uint64_t depth = 0;
  std::uint64_t head_word = 0;  // the head's first 8 bytes

  std::size_t size() const noexcept { return words.size(); }
  ByteSpan key(std::size_t i) const noexcept { return {bytes.data() + ends[i], ends[i + 1] - ends[i]}; }
  ByteSpan restart(std::size_t j) const noexcept {
    return {restarts.data() + restart_ends[j], restart_ends[j + 1] - restart_ends[j]};
  }
};

// The next entry of a run into `cur` (which holds the entry before): the
// steps of Layout::advance, also checking that the entry is above the one
// before and shares exactly its stated prefix with it. False when either
// does not hold or the entry cannot be read.
bool step_checked(const Layout& d, const Codec& codec, RunCursor& c, std::vector<unsigned char>& cur,
                  ByteSpan before) {
  if (c.consumed >= c.entries) return false;
  ++c.consumed;
  std::uint64_t x, y;
  if (!c.read_pair(x, y) || y > c.capacity) return false;
  const std::uint64_t start = std::min(c.data_bit, c.data_bits);
  c.data_bit = start + y * c.unit;  // y within the capacity: no overflow
  if (cur.size() < x || (c.data_bits - start) / c.unit < y) return false;
  cur.resize(static_cast<std::size_t>(x));
  if (!codec.decode_into(d.phrases, Codec::Source{c.data, start, y}, cur, UINT64_MAX)) return false;
  return cur.size() > x && (x == before.size() || cur[x] > before[x]);
}

inline void push_key(std::vector<unsigned char>& bytes, std::vector<std::size_t>& ends, ByteSpan k) {
  bytes.insert(bytes.end(), k.begin(), k.end());
  ends.push_back(bytes.size());
}

// Decodes the restarts of block e (its head first); false when its restart
// run is not well formed.
bool decode_restarts(const Layout& d, std::uint64_t e, Decoded& b) {
  const std::size_t s = d.shard_of(e);
  const Codec& codec = d.codecs[s];
  const std::uint64_t m = d.microblocks(e);
  const ByteSpan head = d.head(e);
  b.restarts.clear();
  b.restart_ends.assign(1, 0);
  push_key(b.restarts, b.restart_ends, head);
  if (m < 2) return true;
  RunCursor rc = RunCursor::open(d.restart_bytes(e), d.codes[s].restart, m, codec);
  if (rc.entries + 1 != m) return false;
  b.cur.assign(head.begin(), head.end());
  for (std::uint64_t j = 1; j < m; ++j) {
    if (!step_checked(d, codec, rc, b.cur, b.restart(j - 1))) return false;
    push_key(b.restarts, b.restart_ends, b.cur);
  }
  return true;
}

// Decodes block e whole, its restarts already decoded; false when one of its
// runs is not well formed.
bool decode_block(const Layout& d, std::uint64_t e, Decoded& b) {
  const std::size_t s = d.shard_of(e);
  const Codec& codec = d.codecs[s];
  const std::uint64_t k = d.block_keys(e), m = d.microblocks(e);
  b.bytes.clear();
  b.ends.assign(1, 0);
  for (std::uint64_t t = 0; t < m; ++t) {
    const std::uint64_t kt = std::min(d.micro, k - t * d.micro);
    const ByteSpan first = b.restart(t);
    // Each microblock starts above the last key of the one before.
    if (t > 0 && compare_bytes(b.key(b.ends.size() - 2), first) >= 0) return false;
    push_key(b.bytes, b.ends, first);
    if (kt < 2) continue;
    RunCursor mc = RunCursor::open(d.micro_bytes(e, t), d.codes[s].entry, kt, codec);
    if (mc.entries + 1 != kt) return false;
    b.cur.assign(first.begin(), first.end());
    for (std::uint64_t i = 1; i < kt; ++i) {
      if (!step_checked(d, codec, mc, b.cur, b.key(b.ends.size() - 2))) return false;
      push_key(b.bytes, b.ends, b.cur);
    }
  }
  if (b.ends.size() != k + 1) return false;
  b.depth = common_prefix(b.key(0), b.key(static_cast<std::size_t>(k - 1)));
  b.head_word = word_at(b.key(0), 0);
  b.words.resize(static_cast<std::size_t>(k));
  for (std::size_t i = 0; i < k; ++i) b.words[i] = word_at(b.key(i), b.depth);
  return true;
}

// The number of n ascending words below w: counted over every 16th word,
// then over the 16 words of the group it points to, without branches and
// with no load waiting for another.
inline std::size_t count_below(const std::uint64_t* v, std::size_t n, std::uint64_t w) noexcept {
  std::size_t groups = 0;
  for (std::size_t i = 0; i < n; i += 16) groups += v[i] < w;
  if (groups == 0) return 0;
  const std::size_t from = (groups - 1) * 16, to = std::min(n, from + 16);
  std::size_t below = from;
  for (std::size_t i = from; i < to; ++i) below += v[i] < w;
  return below;
}

// The order of two keys that agree on their bytes before `from` (zero
// padded), by the bytes after, a proper prefix first.
inline int compare_from(ByteSpan a, ByteSpan b, std::size_t from) noexcept {
  while (from < a.size() && from < b.size()) {
    const std::uint64_t x = word_at(a, from), y = word_at(b, from);
    if (x != y) return x < y ? -1 : 1;
    from += 8;
  }
  return (a.size() > b.size()) - (a.size() < b.size());
}

// A key's answer in decoded block e, or nothing when the key is below the
// block's head (a boundary that damaged data gave), left to the in-block
// search.
std::optional<Search> search_decoded(const Layout& d, std::uint64_t e, const Decoded& b, ByteSpan q) noexcept {
  const std::uint64_t base = e * d.block;
  const ByteSpan head = b.key(0);
  const std::size_t k = b.size();
  const std::size_t depth = static_cast<std::size_t>(b.depth);
  // The shared bytes compared as one word when they fit in one (they mostly
  // do): a call to compare a byte or two costs more than the search.
  const bool left = q.size() < depth ||
                    (depth > 8 ? std::memcmp(q.data(), head.data(), depth) != 0
                               : depth > 0 && (word_at(q, 0) ^ b.head_word) >> (64 - 8 * depth) != 0);
  if (left) {
    // q leaves the bytes every key shares: below the head, or above them all.
    if (compare_bytes(q, head) < 0) return std::nullopt;
    return Search{base + k, false};
  }
  const std::uint64_t w = word_at(q, b.depth);
  std::size_t lo = count_below(b.words.data(), k, w);
  std::size_t hi = lo;
  while (hi < k && b.words[hi] == w) ++hi;
  // Keys with the same 8 bytes there: the bytes after them decide.
  const std::size_t from = depth + 8;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const int o = compare_from(b.key(mid), q, from);
    if (o == 0) return Search{base + mid, true};
    if (o < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  // Below the head: left to the in-block search.
  if (lo == 0) return std::nullopt;
  return Search{base + lo, false};
}

// Where a key goes in block e, from the block's decoded restarts: answered
// (in `r`) when the head or a restart equals it; else planned, the plan that
// of the microblock scan the restart scan would have chosen; or left to the
// in-block search when the key is below the block's head (a boundary that
// damaged data gave).
enum class Route { Answered, Planned, Below };

Route route_decoded(const Layout& d, std::uint64_t e, const Decoded& b, ByteSpan q, Search& r,
                    BlockPlan& plan) noexcept {
  const ByteSpan head = b.restart(0);
  const std::size_t c = common_prefix(q, head);
  if (c == q.size() && c == head.size()) {
    r = {e * d.block, true};
    return Route::Answered;
  }
  if (c == q.size() || (c < head.size() && q[c] < head[c])) return Route::Below;
  // t = the restarts 1..m-1 below q.
  const std::size_t m = b.restart_ends.size() - 1;
  std::size_t lo = 1, hi = m;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    const int o = compare_bytes(b.restart(mid), q);
    if (o == 0) {
      r = {e * d.block + mid * d.micro, true};
      return Route::Answered;
    }
    if (o < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const std::size_t t = lo - 1;
  plan.e = e;
  plan.keys = d.block_keys(e);
  plan.m = m;
  plan.head_depth = c;
  plan.restart = false;
  plan.t = t;
  plan.depth = t == 0 ? c : common_prefix(q, b.restart(t));
  return Route::Planned;
}

// A key as a chunk carries it through the ordering: up to 15 bytes copied
// in place (the last byte then 0x80 + the length), else where the key lies
// (its length below 2^56 leaves that byte zero). Short keys are copied while
// they are read in their own order, so that the searches read them in
// order, not out of order from wherever the caller keeps them, where each
// read would cost a cache miss and a translation miss.
struct Carried {
  unsigned char b[16];

  static Carried of(ByteSpan k) noexcept {
    Carried c;
    if (k.size() < 16) {
      std::memset(c.b, 0, sizeof c.b);
      if (!k.empty()) std::memcpy(c.b, k.data(), k.size());
      c.b[15] = static_cast<unsigned char>(0x80 | k.size());
    } else {
      const unsigned char* p = k.data();
      const std::uint64_t n = k.size();
      std::memcpy(c.b, &p, 8);
      std::memcpy(c.b + 8, &n, 8);
    }
    return c;
  }
  bool inside() const noexcept { return (b[15] & 0x80) != 0; }
  ByteSpan key() const noexcept {
    if (inside()) return {b, static_cast<std::size_t>(b[15] & 0x0f)};
    const unsigned char* p;
    std::uint64_t n;
    std::memcpy(&p, b, 8);
    std::memcpy(&n, b + 8, 8);
    return {p, static_cast<std::size_t>(n)};
  }
};

// A chunk's lanes: boundary << LANE_BITS | lane, and the key; ordered by
// boundary when the chunk is.
struct Lane {
  std::uint64_t word;
  Carried key;
};

struct Chunk {
  std::vector<Lane> lanes;
  std::vector<Lane> spare;
  std::vector<unsigned char> translated;  // beside a character code
};

// Each thread keeps its chunk between batches, up to KEEP_LANES lanes: a
// large batch on fresh pages spends more on faulting them in than on its
// searches. A lookup nested in another's answer (none is today) takes its
// own.
constexpr std::size_t KEEP_LANES = std::size_t{1} << 20;
constexpr std::size_t KEEP_TRANSLATED = std::size_t{16} << 20;

class ChunkLease {
 public:
  ChunkLease() : mine_(!kept_busy()), c_(mine_ ? kept() : own_) {
    if (mine_) kept_busy() = true;
  }
  ~ChunkLease() {
    if (!mine_) return;
    if (c_.lanes.capacity() > KEEP_LANES || c_.spare.capacity() > KEEP_LANES) {
      std::vector<Lane>().swap(c_.lanes);
      std::vector<Lane>().swap(c_.spare);
    }
    if (c_.translated.capacity() > KEEP_TRANSLATED) std::vector<unsigned char>().swap(c_.translated);
    kept_busy() = false;
  }
  ChunkLease(const ChunkLease&) = delete;
  ChunkLease& operator=(const ChunkLease&) = delete;
  Chunk& get() noexcept { return c_; }

 private:
  static Chunk& kept() {
    thread_local Chunk c;
    return c;
  }
  static bool& kept_busy() {
    thread_local bool busy = false;
    return busy;
  }
  bool mine_;
  Chunk own_;
  Chunk& c_;
};

// Orders chunk lanes [0, g) by boundary: a stable radix sort over the bits
// that Y needs.
void order_lanes(Chunk& c, std::size_t g, std::uint64_t y) {
  constexpr unsigned DIGIT = 11;
  constexpr std::size_t RADIX = std::size_t{1} << DIGIT;
  const unsigned bits = static_cast<unsigned>(std::bit_width(y));
  if (bits == 0) return;
  c.spare.resize(g);
  std::vector<std::uint32_t> count(RADIX);
  for (unsigned shift = LANE_BITS; shift < LANE_BITS + bits; shift += DIGIT) {
    std::fill(count.begin(), count.end(), 0);
    for (std::size_t i = 0; i < g; ++i) ++count[(c.lanes[i].word >> shift) & (RADIX - 1)];
    std::uint32_t sum = 0;
    for (std::uint32_t& n : count) {
      const std::uint32_t here = n;
      n = sum;
      sum += here;
    }
    for (std::size_t i = 0; i < g; ++i) {
      const Lane& v = c.lanes[i];
      c.spare[count[(v.word >> shift) & (RADIX - 1)]++] = v;
    }
    c.lanes.swap(c.spare);
  }
}

// The in-block searches of up to LANES lanes, in stages over the lanes: each
// stage starts fetching what the next one reads for every lane before any
// lane waits for it (offset arrays, then heads and block starts, then the run
// to scan). The answers are locate_in's.
struct Pending {
  std::size_t lane[LANES];
  ByteSpan key[LANES];
  std::uint64_t e[LANES];
  ByteSpan head[LANES];
  bool done[LANES];
  bool planned[LANES];  // the plan is made: only the microblock is scanned
  BlockPlan plan[LANES];
  Search result[LANES];
  std::size_t size = 0;
};

template <class Answer>
void search_pending(const Layout& d, const std::uint64_t* words, Pending& l, Answer&& answer) {
  const std::size_t g = l.size;
  for (std::size_t i = 0; i < g; ++i) {
    const std::uint64_t e = l.e[i];
    if (l.planned[i]) {
      prefetch_entry(d.block_offsets, e);
      if (d.J > 1) prefetch(d.micro_offsets.bits.data() + (e * d.J + l.plan[i].t) * d.micro_offsets.width / 8);
      continue;
    }
    prefetch_entry(d.head_ends, e);
    if (e > 0) prefetch_entry(d.head_ends, e - 1);
    prefetch_entry(d.block_offsets, e);
    if (d.J > 1) prefetch(d.micro_offsets.bits.data() + e * d.J * d.micro_offsets.width / 8);
    if (words) prefetch(words + e * d.J);
  }
  for (std::size_t i = 0; i < g; ++i) {
    if (l.planned[i]) continue;
    const std::uint64_t e = l.e[i];
    l.head[i] = d.head(e);
    prefetch(l.head[i].data());
    if (!words) {
      // The restart run starts the block.
      const std::uint64_t start = d.block_offsets.get(e);
      if (start < d.block_data.size()) prefetch(d.block_data.data() + start);
    }
  }
  for (std::size_t i = 0; i < g; ++i) {
    if (l.planned[i]) {
      l.done[i] = false;
      prefetch_run(d.micro_bytes(l.e[i], l.plan[i].t));
      continue;
    }
    l.done[i] = true;
    const std::uint64_t e = l.e[i];
    const std::uint64_t depth = common_prefix(l.key[i], l.head[i]);
    if (depth == l.key[i].size() && depth == l.head[i].size()) {
      l.result[i] = {e * d.block, true};
    } else {
      l.plan[i] = plan_block(d, e, l.key[i], depth);
      l.done[i] = false;
      prefetch_run(l.plan[i].restart ? d.restart_bytes(e) : d.micro_bytes(e, l.plan[i].t));
    }
  }
  for (std::size_t i = 0; i < g; ++i) {
    if (l.done[i] || !l.plan[i].restart) continue;
    if (const auto r = settle_restart(d, l.plan[i], l.key[i])) {
      l.result[i] = *r;
      l.done[i] = true;
    } else {
      prefetch_run(d.micro_bytes(l.plan[i].e, l.plan[i].t));
    }
  }
  for (std::size_t i = 0; i < g; ++i) {
    if (!l.done[i]) l.result[i] = run_block(d, l.plan[i], l.key[i]);
    answer(l.lane[i], l.result[i]);
  }
  l.size = 0;
}

// Where emit(i, ...) writes, for fetching it ahead; nothing when unknown.
struct NoPlace {
  const void* operator()(std::size_t) const noexcept { return nullptr; }
};

// Looks up every key of `keys` (keys.at(i): the caller's bytes of key i) and
// hands each answer to emit(i, id or MISSING_ID), in no particular order.
// place(i) tells where emit(i, ...) writes: the answers of an ordered batch
// land all over the output, so those places are fetched ahead.
template <class Keys, class Emit, class Place = NoPlace>
void lookup(const Layout& d, const Keys& keys, Emit&& emit, const BatchShape& shape = {}, Place place = {}) {
  const std::size_t count = keys.size();
  if (d.n == 0) {
    for (std::size_t i = 0; i < count; ++i) emit(i, MISSING_ID);
    return;
  }
  const std::uint64_t y = d.block_count();
  const std::uint64_t* samples = d.samples().data();
  const ByteSpan prefix = head_prefix_of(d);
  const ties::Ties* resolver = d.ties();
  const bool tied = resolver && !resolver->roots.empty();
  const std::vector<std::uint64_t>* routed = d.route_words->get();
  const std::uint64_t* words = routed != nullptr && !routed->empty() ? routed->data() : nullptr;
  ChunkLease lease;
  Chunk& c = lease.get();
  Group l;
  Pending pending;
  Decoded decoded;
  // How many keys of a block, beside its key count, pay for decoding it:
  // the packed codec decodes a byte at a time, several times slower.
  std::size_t packed = 0;
  for (const Codec& codec : d.codecs) packed += std::holds_alternative<Codec::Packed>(codec.v);
  const std::uint64_t dense = shape.dense ? *shape.dense : 2 * packed >= d.codecs.size() ? DENSE_PACKED : DENSE;
  // Ordering pays when blocks get many keys each, so that whole blocks are
  // decoded, and when the keys are short, so that they travel inside their
  // lanes: the searches would read longer ones out of order from wherever
  // the caller keeps them (judged on up to 1,024 keys spread over the batch).
  const auto mostly_short = [&] {
    const std::size_t step = std::max<std::size_t>(1, count / 1024);
    std::size_t seen = 0, small = 0;
    for (std::size_t i = 0; i < count; i += step, ++seen) small += keys.at(i).size() < sizeof(Carried);
    return 2 * small >= seen;
  };
  const bool ordered = shape.order < 0 ? count * dense >= d.n && mostly_short() : shape.order > 0;
  // Any other batch is searched key by key in its own order, in small chunks
  // whose keys stay in cache between the two steps.
  const std::size_t chunk = std::max<std::size_t>(1, std::min(ordered ? shape.chunk : shape.plain_chunk, MAX_CHUNK));
  for (std::size_t first = 0; first < count;) {
    std::size_t g = std::min(chunk, count - first);
    c.lanes.resize(g);
    // Beside a character code the keys are translated first; a key the code
    // cannot spell exactly is absent whatever the search, and not searched.
    if (d.chars) {
      std::size_t room = 0, fit = 0;
      for (; fit < g; ++fit) {
        const std::size_t need = 2 * keys.at(first + fit).size();
        if (fit > 0 && room + need > CHUNK_ROOM) break;
        room += need;
      }
      g = fit;
      if (c.translated.size() < room) c.translated.resize(room);
      std::size_t at = 0;
      for (std::size_t i = 0; i < g; ++i) {
        const ByteSpan key = keys.at(first + i);
        const charcode::Probe probe = d.chars->probe_into(key, c.translated.data() + at);
        const bool exact = probe.kind == 0;
        c.lanes[i] = {exact ? UNDECIDED : 0, Carried::of(exact ? ByteSpan(c.translated.data() + at, probe.len) : ByteSpan())};
        at += 2 * key.size();
      }
    } else if (ordered) {
      for (std::size_t i = 0; i < g; ++i) c.lanes[i] = {UNDECIDED, Carried::of(keys.at(first + i))};
    } else {
      for (std::size_t i = 0; i < g; ++i) c.lanes[i].word = UNDECIDED;
    }
    // A lane's key: carried with it, or the caller's when the chunk keeps
    // its own order.
    const bool carried = ordered || d.chars;
    const auto key_of = [&](std::size_t i) { return carried ? c.lanes[i].key.key() : keys.at(first + i); };
    // Every key's block boundary, LANES keys at a time.
    for (std::size_t at = 0; at < g; at += LANES) {
      const std::size_t n = std::min(LANES, g - at);
      Lane* lane = c.lanes.data() + at;
      ByteSpan key[LANES];
      for (std::size_t i = 0; i < n; ++i) {
        key[i] = key_of(at + i);
        l.sample[i] = 0;
        if (lane[i].word != UNDECIDED) continue;
        if (const auto b = prefix_boundary(d, prefix, key[i])) {
          lane[i].word = *b;
        } else {
          l.sample[i] = word_at(key[i], d.head_prefix);
        }
      }
      search_samples(samples, y, l, n);
      for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t& boundary = lane[i].word;
        if (boundary == UNDECIDED) {
          const std::uint64_t lower = l.lower[i], upper = l.upper[i];
          if (lower == upper) {
            boundary = lower;
          } else if (tied && upper - lower >= 2 && lower <= UINT32_MAX &&
                     ties::Ties::root(resolver->roots, lower).found) {
            const ties::Root root = ties::Ties::root(resolver->roots, lower);
            boundary = d.tie_boundary(static_cast<std::uint32_t>(root.position), key[i]).boundary;
          } else {
            boundary = d.head_boundary(key[i], lower, upper);
          }
        }
        boundary = boundary << LANE_BITS | (at + i);
      }
    }
    const auto answer = [&](std::size_t lane, Search r) { emit(first + lane, r.found ? r.rank : MISSING_ID); };
    const auto flush = [&] {
      if (pending.size > 0) search_pending(d, words, pending, answer);
    };
    const auto lane_at = [&](std::size_t j) { return static_cast<std::size_t>(c.lanes[j].word & (MAX_CHUNK - 1)); };
    if (!ordered) {
      for (std::size_t i = 0; i < g; ++i) {
        const std::uint64_t b = c.lanes[i].word >> LANE_BITS;
        if (b == 0) {
          emit(first + i, MISSING_ID);
          continue;
        }
        const std::size_t at = pending.size++;
        pending.planned[at] = false;
        pending.lane[at] = i;
        pending.key[at] = key_of(i);
        pending.e[at] = b - 1;
        if (pending.size == LANES) flush();
      }
      flush();
      first += g;
      continue;
    }
    order_lanes(c, g, y);
    // The keys block by block, those not carried inside their lane fetched
    // ahead.
    const auto ahead = [&](std::size_t j) {
      if (j + 16 >= g) return;
      const Lane& next = c.lanes[j + 16];
      if (!next.key.inside()) prefetch(next.key.key().data());
      if (const void* p = place(first + static_cast<std::size_t>(next.word & (MAX_CHUNK - 1))))
        __builtin_prefetch(p, 1);
    };
    for (std::size_t from = 0; from < g;) {
      const std::uint64_t b = c.lanes[from].word >> LANE_BITS;
      std::size_t to = from + 1;
      while (to < g && c.lanes[to].word >> LANE_BITS == b) ++to;
      if (b == 0) {
        // Below every key, or absent whatever the search.
        for (std::size_t j = from; j < to; ++j) emit(first + lane_at(j), MISSING_ID);
      } else {
        const std::uint64_t e = b - 1;
        // Several keys in a block: its restarts decoded once replace a
        // restart scan a key; many keys: the whole block decoded once
        // replaces every scan.
        const std::size_t keys_here = to - from;
        const bool want_dense = keys_here * dense >= d.block_keys(e);
        const bool restarts = (want_dense || keys_here >= shape.route) && decode_restarts(d, e, decoded);
        const bool dense = restarts && want_dense && decode_block(d, e, decoded);
        const bool routed = restarts && !dense;
        for (std::size_t j = from; j < to; ++j) {
          ahead(j);
          const std::size_t lane = lane_at(j);
          const ByteSpan key = c.lanes[j].key.key();
          const std::size_t i = pending.size;
          pending.planned[i] = false;
          if (dense) {
            if (const auto r = search_decoded(d, e, decoded, key)) {
              answer(lane, *r);
              continue;
            }
          } else if (routed) {
            Search r;
            const Route route = route_decoded(d, e, decoded, key, r, pending.plan[i]);
            if (route == Route::Answered) {
              answer(lane, r);
              continue;
            }
            pending.planned[i] = route == Route::Planned;
          }
          ++pending.size;
          pending.lane[i] = lane;
          pending.key[i] = key;
          pending.e[i] = e;
          if (pending.size == LANES) flush();
        }
      }
      from = to;
    }
    flush();
    first += g;
  }
}

// The caller's keys as lookup reads them.
struct Views {
  std::span<const std::string_view> v;
  std::size_t size() const noexcept { return v.size(); }
  ByteSpan at(std::size_t i) const noexcept { return bytes_of(v[i]); }
};

struct ChunkKeys {
  const arrow::Utf8Chunk& c;
  std::size_t size() const noexcept { return c.size(); }
  ByteSpan at(std::size_t i) const noexcept { return bytes_of(c.key(i)); }
};

}  // namespace

std::vector<std::optional<std::uint64_t>> Layout::ids_of(std::span<const std::string_view> keys) const {
  std::vector<std::optional<std::uint64_t>> out(keys.size());
  lookup(
      *this, Views{keys},
      [&](std::size_t i, std::uint64_t id) {
        if (id != MISSING_ID) out[i] = id;
      },
      {}, [&](std::size_t i) -> const void* { return out.data() + i; });
  return out;
}

void Layout::ids_into(std::span<const std::string_view> keys, std::uint64_t* out) const {
  lookup(
      *this, Views{keys}, [&](std::size_t i, std::uint64_t id) { out[i] = id; }, {},
      [&](std::size_t i) -> const void* { return out + i; });
}

namespace dict_index {

void ids_into_shaped(const Layout& d, std::span<const std::string_view> keys, std::uint64_t* out,
                     const BatchShape& shape) {
  lookup(
      d, Views{keys}, [&](std::size_t i, std::uint64_t id) { out[i] = id; }, shape,
      [&](std::size_t i) -> const void* { return out + i; });
}

}  // namespace dict_index

std::vector<std::uint64_t> Layout::arrow_ids(std::span<const arrow::Utf8Chunk> chunks) const {
  std::size_t total = 0;
  for (const arrow::Utf8Chunk& c : chunks) total += c.size();
  std::vector<std::uint64_t> out(total);
  std::uint64_t* at = out.data();
  for (const arrow::Utf8Chunk& c : chunks) {
    // Only the validity bit makes a null: its bytes are searched like any.
    lookup(
        *this, ChunkKeys{c}, [&](std::size_t i, std::uint64_t id) { at[i] = c.is_null(i) ? MISSING_ID : id; }, {},
        [&](std::size_t i) -> const void* { return at + i; });
    at += c.size();
  }
  return out;
}

}  // namespace quorvale
