// The hash-keyed engine the four hash kinds share (perfect hash, closed and
// compact hash, hashed dictionary). Each key is reduced to its hash pair;
// the items are sorted by the first word, each group of one first word keeps
// one representative and sends the rest to a side table, a minimal perfect
// hash over the distinct first words gives every representative its slot,
// and the kind writes its own payload per slot (the stored key and tag, a
// fingerprint, nothing, a rank). Lookups run the same way backwards: hash,
// evaluate the minimal perfect hash a block at a time, test the slot's
// payload, fall back on the side table.
//
// The streamed intake, spill and merge of the keyless kinds live in
// compact_hash/scratch.hpp, over the pairs and sort defined here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "hash.hpp"
#include "mphf.hpp"
#include "streamed_keys.hpp"

namespace quorvale::hash_engine {

// A key's hash pair, or (for the kinds that keep their keys or ranks) a
// first word and the item it belongs to; pairs order by the first word,
// then the second.
using Pair = hash::HashPair;
inline bool pair_less(const Pair& a, const Pair& b) noexcept {
  return a.first != b.first ? a.first < b.first : a.second < b.second;
}

// Written for an absent key in packed id arrays; never an id.
inline constexpr std::uint32_t MISSING = 0xffffffffu;
// The first word the slot pass leaves on a pair that is not its group's representative.
inline constexpr std::uint64_t NOT_REPRESENTATIVE = ~std::uint64_t{0};
// Pairs a worker takes at least before the sort or the slot pass goes parallel.
inline constexpr std::size_t PAIRS_PER_WORKER = 4096;
inline constexpr std::size_t SORT_BUCKETS = 256;
// Keys a worker hashes at least before hashing goes parallel.
inline constexpr std::size_t HASH_CHUNK = 1 << 14;

// ---- building ----

// The hash pairs of keys[0..n) into out[0..n), in key order, on up to
// `threads` workers (0: one per online processor) in chunks of HASH_CHUNK keys.
void hash_keys_into(std::span<const std::string_view> keys, Pair* out, std::size_t threads = 0);
// The same appended to `out`; a batch of one chunk is hashed straight into
// it, on the calling thread.
void append_hashes(std::span<const std::string_view> keys, std::vector<Pair>& out, std::size_t threads = 0);
inline std::vector<Pair> hash_keys(std::span<const std::string_view> keys, std::size_t threads = 0) {
  std::vector<Pair> pairs(keys.size());
  hash_keys_into(keys, pairs.data(), threads);
  return pairs;
}

// Counts the items of each bucket (bucket(x) ascending with the item order)
// and moves each item into its bucket's range, in place; start[b] ..
// start[b + 1] is then bucket b. `cursor` is scratch of `buckets` places.
template <class T, class Bucket>
void partition_in_place(T* a, std::size_t n, std::size_t buckets, Bucket&& bucket, std::size_t* start,
                        std::size_t* cursor) {
  std::fill(start, start + buckets + 1, 0);
  for (std::size_t i = 0; i < n; ++i) ++start[bucket(a[i]) + 1];
  for (std::size_t b = 1; b <= buckets; ++b) start[b] += start[b - 1];
  std::copy(start, start + buckets, cursor);
  for (std::size_t b = 0; b < buckets; ++b) {
    while (cursor[b] < start[b + 1]) {
      const std::size_t to = bucket(a[cursor[b]]);
      if (to == b) {
        ++cursor[b];
      } else {
        std::swap(a[cursor[b]], a[cursor[to]]);
        ++cursor[to];
      }
    }
  }
}

// Sorts the pairs ascending in place: on the calling thread below
// min(threads, 256) * 4096 pairs, else spread over that many buckets by the
// first word's top bits and the buckets sorted on workers.
void sort_run(std::span<Pair> pairs, std::size_t threads);

// Over sorted pairs whose groups lead with their representative, and the
// hash built on their distinct first words: each representative's first word
// becomes its slot, every other pair's NOT_REPRESENTATIVE. Chunks of at
// least 4096 pairs run on one worker a processor.
void slots_in_place(std::span<Pair> pairs, const Mphf& mph, std::size_t threads);

// A side-table item: a pair whose first word an earlier pair of its group
// also has, and its id (one of the tail ids m, m + 1, ...).
struct SideEntry {
  std::uint64_t first;
  std::uint64_t second;
  std::uint32_t id;
  bool operator==(const SideEntry&) const = default;
};

// Settles a group of several pairs of one first word, in pair order: moves
// the pair that represents it to the front and the pairs that stay in the
// index behind it, and returns how many stay (the others are dropped).
using GroupRule = std::function<std::size_t(std::span<Pair> group)>;

// What the engine makes of its pairs: the pairs sorted, exact repeats
// dropped, each group settled (by default the pair with the smallest second
// word represents it and all stay), then given their slots in place
// (NOT_REPRESENTATIVE for side pairs); the side table in pair order with
// its tail ids; the hash over the m distinct first words (none when there
// are no pairs).
struct Slotted {
  std::vector<SideEntry> side;
  std::optional<Mphf> mph;
  std::uint64_t n = 0;
  std::uint64_t m = 0;
};
Slotted slot_pairs(std::vector<Pair>& pairs, const char* too_many, std::size_t threads, const GroupRule& rule = {});

// The check that closes a build: every representative's slot lies below m
// and is taken once, else Format `not_minimal`.
class SlotsTaken {
 public:
  SlotsTaken(std::uint64_t m, const char* not_minimal)
      : taken_(static_cast<std::size_t>((m + 63) / 64), 0), m_(m), not_minimal_(not_minimal) {}
  void take(std::uint64_t slot) {
    if (slot >= m_) throw IndexError::format(not_minimal_);
    std::uint64_t& word = taken_[static_cast<std::size_t>(slot >> 6)];
    const std::uint64_t bit = std::uint64_t{1} << (slot & 63);
    if (word & bit) throw IndexError::format(not_minimal_);
    word |= bit;
  }

 private:
  std::vector<std::uint64_t> taken_;
  std::uint64_t m_;
  const char* not_minimal_;
};

// The check over slotted pairs; on_slot(slot, second) sees each
// representative that passes.
template <class OnSlot>
void check_slots(std::span<const Pair> slotted, std::uint64_t m, const char* not_minimal, OnSlot&& on_slot) {
  SlotsTaken taken(m, not_minimal);
  for (const Pair& p : slotted) {
    if (p.first == NOT_REPRESENTATIVE) continue;
    taken.take(p.first);
    on_slot(p.first, p.second);
  }
}

// ---- packed per-slot tables ----

// Stores `value` (its low `bits` bits) into slot `slot` of a packed table of
// `bits`-bit slots, least significant bit first, into zero bits. A slot past
// the table is a broken invariant.
void write_fp(std::span<unsigned char> table, std::uint64_t slot, std::uint32_t bits, std::uint64_t value);

// Whether slot `slot` of such a table holds the low `bits` bits of `second`;
// no match when the slot does not lie inside the table.
bool fp_matches(std::span<const unsigned char> table, std::uint64_t slot, std::uint32_t bits,
                std::uint64_t second) noexcept;

// The low `bits` bits of a word (all of them for 64).
inline std::uint64_t low_bits(std::uint64_t v, std::uint32_t bits) noexcept {
  return bits >= 64 ? v : v & ((std::uint64_t{1} << bits) - 1);
}

// The id of the side entry holding exactly this pair, in a table sorted by
// (first, second).
std::optional<std::uint32_t> side_search(std::span<const SideEntry> side, std::uint64_t first,
                                         std::uint64_t second) noexcept;

// ---- loading ----

// Whether the ids of a blob's `count` side records (`stride` bytes each, a
// little-endian u32 id at `id_at` within each; count <= n) are exactly the
// tail n - count .. n - 1, each once. One pass in table order with a bit per
// record, nothing copied or sorted: the loaders test the ids here, where
// their messages rank, and take the table in only once every bound the
// header sets has held.
bool side_ids_are_tail(const unsigned char* records, std::uint64_t count, std::size_t stride, std::size_t id_at,
                       std::uint64_t n);

// ---- lookups ----

// A batch hashed block by block, the hash evaluated over each block at once:
// visit(at, len, second, slots) for keys at .. at + len - 1, with their
// second words and slots. Blocks keep the words and slots in cache.
template <class KeyAt, class Visit>
void evaluate_blocks(const Mphf& mph, std::size_t count, KeyAt&& key_at, Visit&& visit) {
  constexpr std::size_t BLOCK = 4096;
  std::vector<std::uint64_t> first(std::min(count, BLOCK)), second(first.size());
  for (std::size_t at = 0; at < count; at += BLOCK) {
    const std::size_t len = std::min(BLOCK, count - at);
    for (std::size_t i = 0; i < len; ++i) {
      const hash::HashPair h = hash::hash_pair(std::string_view(key_at(at + i)));
      first[i] = h.first;
      second[i] = h.second;
    }
    const std::vector<std::uint64_t> slots = mph.index_all(std::span<const std::uint64_t>(first.data(), len));
    visit(at, len, second.data(), slots.data());
  }
}

// evaluate_blocks over a packed table of `slot_bits`-bit slots, each key
// visited as visit(i, slot, second) in order, the table bytes of the slot a
// few keys ahead asked for before the current key is tested.
template <class KeyAt, class Visit>
void evaluate_reading_ahead(const Mphf& mph, std::size_t count, KeyAt&& key_at, std::span<const unsigned char> table,
                            std::uint64_t slot_bits, Visit&& visit) {
  evaluate_blocks(mph, count, key_at,
                  [&](std::size_t at, std::size_t len, const std::uint64_t* second, const std::uint64_t* slots) {
                    constexpr std::size_t AHEAD = 16;
                    for (std::size_t i = 0; i < len; ++i) {
                      if (i + AHEAD < len) {
                        const std::uint64_t byte = (slots[i + AHEAD] * slot_bits) >> 3;
                        if (byte < table.size()) __builtin_prefetch(table.data() + byte);
                      }
                      visit(at + i, slots[i], second[i]);
                    }
                  });
}

// The batched lookup of a kind with a packed per-slot table: each key of the
// batch (key_at(i) gives key i's bytes) as emit(i, answer). Without a hash
// every key gets `none`; with a side table each key goes through `one(key)`;
// otherwise the hash is evaluated block by block, reading ahead in the table,
// and `at_slot(slot, second)` answers.
template <class Answer, class KeyAt, class One, class AtSlot, class Emit>
void lookup_batch(const Mphf* mph, bool has_side, std::span<const unsigned char> table, std::uint64_t slot_bits,
                  Answer none, std::size_t count, KeyAt&& key_at, One&& one, AtSlot&& at_slot, Emit&& emit) {
  if (!mph) {
    for (std::size_t i = 0; i < count; ++i) emit(i, none);
    return;
  }
  if (has_side) {
    for (std::size_t i = 0; i < count; ++i) emit(i, one(std::string_view(key_at(i))));
    return;
  }
  evaluate_reading_ahead(*mph, count, key_at, table, slot_bits,
                         [&](std::size_t i, std::uint64_t slot, std::uint64_t second) { emit(i, at_slot(slot, second)); });
}

// ---- streamed builds ----

// Hash pairs of a streamed build, one at a time, in any order, repeats allowed.
class PairSource {
 public:
  virtual ~PairSource() = default;
  virtual bool next(Pair& out) = 0;
};

// The memory of a streamed build; every production caller passes these
// values. pair_budget: bytes of hash pairs held during the intake (a buffer
// of max(1, budget / 16) pairs; fuller buffers are spilled as sorted runs);
// table_limit: the largest fingerprint table kept in memory; range_slots:
// the slots of one fingerprint range file beyond that (a multiple of 8, so
// that every range but the last is whole bytes of the table); window: the
// key bytes the perfect hash's second pass writes straight into its output
// before it goes through windows and a spill file.
struct StreamLimits {
  std::uint64_t pair_budget = std::uint64_t{1} << 28;
  std::uint64_t table_limit = std::uint64_t{1} << 28;
  std::uint64_t range_slots = std::uint64_t{1} << 24;
  std::uint64_t window = 0x2000000;
};

// How a build into a file runs: the probe it asks whether its source failed
// or it should stop (each kind says when, and with which error), the runner
// of the steps that read no key, its worker count (0: one per online
// processor) and its memory.
struct StreamRun {
  StopProbe stop;
  OfflineRunner offline;
  std::size_t threads = 0;
  StreamLimits limits;
};

// The worker count of a run: its own, else one per online processor.
std::size_t threads_of(const StreamRun& run);

}  // namespace quorvale::hash_engine
