// The overlay: additions and removals laid over an index that never changes
// (its base). Base ids keep their numbers 0..n_b-1; the i-th key ever added
// gets n_b + i; removing a key retires its id (a tombstone bit), and a
// retired id is never given to another key: adding the key again revives it.
// Only compaction renumbers, into a new overlay over a new base.
//
// `Overlay<B>` is generic over how it holds its base: a shared reference
// (std::shared_ptr<const Kind>, as the Python class does) or the index by
// value (as the command line's dump does). The kinds it lays over implement
// `OverlayBase` (lookup, length, blob, loader) and, when they store keys,
// `OverlayKeys` (key by id, the key walk, the rebuild of compaction).
//
// The blob, "OVL2" (and the older "OVL1", read only):
//   0  magic "OVL2"        4  base tag (1 string, 2 perfect-hash, 3 compact-hash)
//   5  base length u64    13  additions u64     21  additions length u64
//  29  tombstone words u64                      37  payload checksum u64
//  45  header checksum u32 over bytes 0..44
//  49  the base's own blob, then the additions (u32 length + UTF-8 bytes
//      each), then the tombstone words (u64 each)
//
// An overlay has no lock: a caller sharing one between threads serialises
// every operation (the binding holds it in a `Locked`, threads.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "blob.hpp"
#include "blob_frame.hpp"
#include "compact_hash/compact_hash.hpp"
#include "error.hpp"
#include "pause.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"
#include "utf8.hpp"

namespace quorvale::overlay {

inline constexpr std::uint8_t TAG_STRING = 1;
inline constexpr std::uint8_t TAG_PERFECT = 2;
inline constexpr std::uint8_t TAG_COMPACT = 3;
// Most tombstone words a header may claim (8 bytes each must fit in 64 bits).
inline constexpr std::uint64_t MAX_WORDS = (std::uint64_t{1} << 61) - 1;
// A header cannot make the loader reserve more entries than this up front.
inline constexpr std::uint64_t RESERVE_CAP = 65536;

inline constexpr const char* MSG_MAGIC = "bad overlay magic or truncated header";
inline constexpr const char* MSG_HEADER_CHECKSUM = "overlay header checksum mismatch";
inline constexpr const char* MSG_OTHER_BASE = "overlay blob was written over a different base index";
inline constexpr const char* MSG_BASE_RANGE = "overlay base blob out of range";
inline constexpr const char* MSG_REGION_RANGE = "overlay addition region out of range";
inline constexpr const char* MSG_WORD_COUNT = "overlay tombstone count out of range";
inline constexpr const char* MSG_WORD_LENGTH = "overlay tombstone length mismatch";
inline constexpr const char* MSG_PAYLOAD_CHECKSUM = "overlay payload checksum mismatch";
inline constexpr const char* MSG_ADDITIONS_TRUNCATED = "overlay additions truncated";
inline constexpr const char* MSG_ADDITION_RANGE = "overlay addition out of range";
inline constexpr const char* MSG_NOT_UTF8 = "overlay addition is not UTF-8";
inline constexpr const char* MSG_WORDS_TRUNCATED = "overlay tombstones truncated";
inline constexpr const char* MSG_BASE_DUPLICATE = "overlay addition duplicates a base key";
inline constexpr const char* MSG_DUPLICATE = "duplicate key among overlay additions";
inline constexpr const char* MSG_REGION_LONGER = "overlay addition region is longer than its additions";
inline constexpr const char* MSG_OUTSIDE = "overlay tombstone outside the id space";

// "OVL2": the base tag at 4, then the base length, the number of additions,
// the additions' length and the number of tombstone words (u64 each, from 5).
// Its payload checksum comes after the sections are framed, and is always
// verified.
inline constexpr blob::Frame FRAME_V2{.magic = "OVL2",
                                      .header_len = 49,
                                      .payload = blob::PayloadCheck::Deferred,
                                      .payload_at = 37,
                                      .bad_magic = MSG_MAGIC,
                                      .header_mismatch = MSG_HEADER_CHECKSUM,
                                      .payload_mismatch = MSG_PAYLOAD_CHECKSUM};
// "OVL1", read only: the base tag, the base length and the number of
// additions, and no checksum at all.
inline constexpr blob::Frame FRAME_V1{.magic = "OVL1",
                                      .header_len = 21,
                                      .header_sum = false,
                                      .payload = blob::PayloadCheck::None,
                                      .bad_magic = MSG_MAGIC};
inline constexpr std::size_t HEADER_V2 = FRAME_V2.header_len;
inline constexpr std::size_t HEADER_V1 = FRAME_V1.header_len;

inline constexpr const char* MSG_TOO_MANY = "an Overlay holds at most u32::MAX additions";
inline constexpr const char* MSG_TOO_MUCH = "an Overlay holds at most 4 GiB of added keys";
inline constexpr const char* MSG_TOO_LONG = "an added key is at most 4 GiB long";
inline constexpr const char* MSG_RECORD = "an overlay addition record lies inside its additions";
inline constexpr const char* MSG_ADDED_UTF8 = "every overlay addition was UTF-8 when it was pushed";
inline constexpr const char* MSG_REBUILT = "the rebuilt base holds every key it was built from";
inline constexpr const char* MSG_POISONED = "overlay state poisoned by an earlier panic";

// The limits `push_added` checks before it changes anything, in this order:
// the new addition's number, its record's offset in the additions and the
// key's length must each be at most the value here. Passing one is
// LimitExceeded; the overlay stays as it was. Only tests lower them, to reach
// limits that real data reaches at 4 GiB.
struct Limits {
  std::uint64_t additions = 0xffffffffu;
  std::uint64_t offset = 0xffffffffu;
  std::uint64_t key_len = 0xffffffffu;
};

// ---- the index over the additions ----------------------------------------

// One addition as the index finds it: the hash of its bytes, its number and
// the offset of its record (its length field) in the additions.
struct Entry {
  std::uint64_t hash;
  std::uint32_t number;
  std::uint32_t offset;
};

// A map from the 64-bit hash of an addition's bytes to its entry, the hash
// used as it is (it is already a mixed 64-bit value): open addressing with
// linear probing over a power-of-two table of 16-byte entries, at most 3/4
// full. Growth happens in `reserve_one`, before an insertion, so that an
// insertion itself cannot fail.
class PreHashed {
 public:
  std::size_t size() const noexcept { return size_; }
  const Entry* find(std::uint64_t hash) const noexcept {
    if (slots_.empty()) return nullptr;
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Entry& e = slots_[i];
      if (e.number == EMPTY) return nullptr;
      if (e.hash == hash) return &e;
    }
  }
  // Room for `n` entries without growing.
  void reserve(std::size_t n);
  void reserve_one() {
    if ((size_ + 1) * 4 > slots_.size() * 3) reserve(size_ + 1);
  }
  // Inserts an entry whose hash is absent; reserve_one() came first.
  void insert(const Entry& entry) noexcept {
    for (std::size_t i = entry.hash & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].number == EMPTY) {
        slots_[i] = entry;
        ++size_;
        return;
      }
    }
  }

 private:
  // No addition has this number: its record would lie past offset 4 * (2^32 - 1).
  static constexpr std::uint32_t EMPTY = 0xffffffffu;
  std::vector<Entry> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

// ---- framing ----------------------------------------------------------------

// The three regions of a blob after its header, and the number of additions
// the header counts.
struct Sections {
  std::span<const unsigned char> base;
  std::span<const unsigned char> additions;
  std::span<const unsigned char> tombstones;
  std::uint64_t additions_count = 0;
};

// The "OVL2" header over its fields, with both checksums in place.
std::array<unsigned char, HEADER_V2> header_v2(std::uint8_t tag, std::uint64_t base_len, std::uint64_t additions,
                                               std::uint64_t added_len, std::uint64_t words,
                                               std::uint64_t payload_checksum);

// Frames an "OVL2" blob whose header passed its checks and whose base region
// ends at `base_end` (inside the blob): the additions region, the tombstone
// count and length, then the payload checksum, before anything is parsed.
Sections v2_sections(std::span<const unsigned char> blob, std::uint64_t base_end, std::uint64_t additions);
// Frames an "OVL1" blob: walks its additions, then reads the tombstone count.
Sections v1_sections(std::span<const unsigned char> blob, std::uint64_t base_end, std::uint64_t additions);

// The loading steps before the base is loaded: magic and header length, the
// header checksum ("OVL2"), the base tag against `tag`, the base region's
// bounds, then the sections. Format errors with the messages above.
Sections frame(std::span<const unsigned char> blob, std::uint8_t tag);

// The addition record at `at` in `region` (its u32 length and its bytes),
// moving `at` past it: MSG_ADDITIONS_TRUNCATED when fewer than 4 bytes are
// left, MSG_ADDITION_RANGE when the bytes pass the region's end,
// MSG_NOT_UTF8 when they are not UTF-8.
std::string_view next_record(std::span<const unsigned char> region, std::uint64_t& at);

// ---- what a base kind implements ----------------------------------------------

// Lookup, length, blob and loader of a base kind; specialised per kind.
template <class Kind>
struct OverlayBase;

// Key by id, the key walk and the rebuild of compaction, for the kinds that
// store their keys; specialised per kind.
template <class Kind>
struct OverlayKeys;

template <class Kind>
concept StoresKeys = requires(const Kind& k) { OverlayKeys<Kind>::key(k, std::uint64_t{0}); };

template <>
struct OverlayBase<StringIndex> {
  static constexpr std::uint8_t TAG = TAG_STRING;
  // Whether the loader refuses an addition the base holds (its lookup is exact).
  static constexpr bool EXACT = true;
  static std::optional<std::uint64_t> base_id(const StringIndex& b, std::string_view key) noexcept {
    return b.id(key);
  }
  static std::uint64_t len(const StringIndex& b) noexcept { return b.len(); }
  static std::uint64_t blob_len(const StringIndex& b) noexcept { return b.serialized_len(); }
  template <class W>
  static void write(W& w, const StringIndex& b) {
    b.write_to(w);
  }
  static StringIndex load(std::span<const unsigned char> region, bool untrusted) {
    return untrusted ? StringIndex::from_untrusted_bytes(region) : StringIndex::from_bytes(region);
  }
};

// The error of a string index whose values are not the ranks of its keys in
// byte order (only crafted bytes behind a trusted open).
[[noreturn]] void ranks_broken();

template <>
struct OverlayKeys<StringIndex> {
  // The views for_each hands out last only for the call.
  static constexpr bool STABLE_VIEWS = false;
  static std::optional<std::string> key(const StringIndex& b, std::uint64_t id) { return b.key(id); }
  // f(id, key) for every base key in id order (byte order): one walk down
  // the transducer's nodes, each decoded once, instead of a walk per id. A
  // key that is not UTF-8 has no key(), so it is skipped.
  template <class F>
  static void for_each(const StringIndex& b, F&& f);
  // Sorts the keys by their bytes, drops repeats and builds as
  // StringIndex::build does. Keys in id order are the base's, sorted, then
  // the additions: only the tail is sorted, then merged in.
  static StringIndex rebuild_like(const StringIndex& old, std::vector<std::string_view> keys);
};

template <>
struct OverlayBase<PerfectHashIndex> {
  static constexpr std::uint8_t TAG = TAG_PERFECT;
  static constexpr bool EXACT = true;
  static std::optional<std::uint64_t> base_id(const PerfectHashIndex& b, std::string_view key) noexcept {
    return b.base_id(key);
  }
  static std::uint64_t len(const PerfectHashIndex& b) noexcept { return b.len(); }
  static std::uint64_t blob_len(const PerfectHashIndex& b) noexcept { return b.serialized_len(); }
  template <class W>
  static void write(W& w, const PerfectHashIndex& b) {
    b.write_to(w);
  }
  static PerfectHashIndex load(std::span<const unsigned char> region, bool) {
    return PerfectHashIndex::from_bytes(region);
  }
};

template <>
struct OverlayKeys<PerfectHashIndex> {
  // The views for_each hands out point into the index's key store.
  static constexpr bool STABLE_VIEWS = true;
  static std::optional<std::string_view> key_view(const PerfectHashIndex& b, std::uint64_t id) noexcept {
    if (id > 0xffffffffu) return std::nullopt;
    return b.key(static_cast<std::uint32_t>(id));
  }
  static std::optional<std::string> key(const PerfectHashIndex& b, std::uint64_t id) {
    auto k = key_view(b, id);
    if (!k) return std::nullopt;
    return std::string(*k);
  }
  template <class F>
  static void for_each(const PerfectHashIndex& b, F&& f) {
    for (std::uint64_t id = 0; id < b.len(); ++id)
      if (auto k = key_view(b, id)) f(id, *k);
  }
  // The in-memory build, with tags exactly when the old base has them.
  static PerfectHashIndex rebuild_like(const PerfectHashIndex& old, std::vector<std::string_view> keys) {
    return PerfectHashIndex::build_with(std::move(keys), old.has_fingerprints());
  }
};

// A compact-hash base stores no keys: it has no OverlayKeys. Its lookup
// accepts a non-member whose fingerprint matches a slot (probability
// 2^-bits), so such a key acts as that slot's key, and the loader cannot
// refuse an addition the lookup accepts.
template <>
struct OverlayBase<CompactHashIndex> {
  static constexpr std::uint8_t TAG = TAG_COMPACT;
  static constexpr bool EXACT = false;
  // The side-aware lookup when there is a side table, else h0's slot and its
  // fingerprint (the byte at 8 bits).
  static std::optional<std::uint64_t> base_id(const CompactHashIndex& b, std::string_view key) noexcept {
    auto id = b.id(key);
    if (!id) return std::nullopt;
    return std::uint64_t{*id};
  }
  static std::uint64_t len(const CompactHashIndex& b) noexcept { return b.len(); }
  static std::uint64_t blob_len(const CompactHashIndex& b) noexcept { return b.serialized_len(); }
  template <class W>
  static void write(W& w, const CompactHashIndex& b) {
    b.write_to(w);
  }
  static CompactHashIndex load(std::span<const unsigned char> region, bool) {
    return CompactHashIndex::from_bytes(region);
  }
};

// How an overlay holds its base: by value, or through a shared reference.
template <class B>
struct Held {
  using Kind = B;
  static const Kind& get(const B& b) noexcept { return b; }
  static B make(Kind&& k) { return std::move(k); }
};
template <class K>
struct Held<std::shared_ptr<const K>> {
  using Kind = K;
  static const Kind& get(const std::shared_ptr<const K>& b) noexcept { return *b; }
  static std::shared_ptr<const K> make(Kind&& k) { return std::make_shared<const K>(std::move(k)); }
};

// ---- the overlay ----------------------------------------------------------------

template <class B>
class Overlay {
 public:
  using Kind = typename Held<B>::Kind;
  using Base = OverlayBase<Kind>;

  // An empty overlay over `base`: no additions, no tombstones, every base id live.
  explicit Overlay(B base) : base_(std::move(base)), live_(Base::len(index())) {}

  // ---- state ----

  const B& base() const noexcept { return base_; }
  const Kind& index() const noexcept { return Held<B>::get(base_); }
  std::uint64_t base_len() const noexcept { return Base::len(index()); }
  std::uint64_t additions() const noexcept { return added_offsets_.size(); }
  std::uint64_t id_space() const noexcept { return base_len() + additions(); }
  // The number of live ids.
  std::uint64_t len() const noexcept { return live_; }
  bool is_empty() const noexcept { return live_ == 0; }
  std::span<const std::uint64_t> tombstones() const noexcept { return tombstones_; }
  std::span<const unsigned char> added_bytes() const noexcept { return added_bytes_; }
  bool is_retired(std::uint64_t id) const noexcept {
    const std::uint64_t w = id / 64;
    return w < tombstones_.size() && (tombstones_[w] >> (id % 64) & 1) != 0;
  }
  // The seam of the limit tests.
  void set_limits(const Limits& limits) noexcept { limits_ = limits; }

  // ---- the operations ----

  // Appends a new addition; the caller knows the key is absent. LimitExceeded
  // (nothing changed) past a limit.
  void push_added(std::string_view key) { push_hashed(key, hash_of(key)); }
  // The addition number of a key that was added.
  std::optional<std::uint32_t> added_index(std::string_view key) const { return find_hashed(key, hash_of(key)); }
  // The key of addition i (below additions()).
  std::string_view added_key(std::uint32_t i) const;
  // Retires a live id; false outside the id space or when already retired.
  bool retire_id(std::uint64_t id);
  // The id of a live key.
  std::optional<std::uint64_t> id(std::string_view key) const;
  bool contains(std::string_view key) const { return id(key).has_value(); }
  // The key's id: kept, revived or newly issued.
  std::uint64_t add(std::string_view key);
  // Retires the key's id when it is live.
  bool remove(std::string_view key);

  // ---- keys (bases that store them) ----

  std::optional<std::string> key(std::uint64_t id) const
    requires StoresKeys<Kind>;
  // f(id, key) for every live key in id order: base keys in base-id order,
  // then the additions in order of addition. The view lasts for the call.
  // These walks, and the compactions over them, pause every Pacer::EVERY
  // keys.
  template <class F>
  void for_each_key(F&& f, const Pause& pause = {}) const
    requires StoresKeys<Kind>;
  std::vector<std::string> keys(const Pause& pause = {}) const
    requires StoresKeys<Kind>;
  // The live keys in id order as views and their ids. The views point into
  // the base and the additions, or into `store` for a base whose key walk
  // hands out passing views; they last as long as those and the overlay's
  // additions stay as they are.
  struct LiveKeys {
    std::vector<std::string_view> keys;
    std::vector<std::uint64_t> ids;
  };
  LiveKeys live_keys(std::string& store, bool with_ids, const Pause& pause = {}) const
    requires StoresKeys<Kind>;

  // ---- compaction (bases that store keys) ----

  // A new overlay without edits over a base rebuilt from the live keys.
  Overlay compact(const Pause& pause = {}) const
    requires StoresKeys<Kind>;
  // The same and, per old id, its new id (all ones for a retired id).
  std::pair<Overlay, std::vector<std::uint64_t>> compact_with_remap(const Pause& pause = {}) const
    requires StoresKeys<Kind>;
  // The rebuilt base's own blob written atomically to `path`; its key count.
  std::uint64_t compact_to_file(const std::string& path, const Pause& pause = {}) const
    requires StoresKeys<Kind>;

  // ---- the blob ----

  std::uint64_t serialized_len() const noexcept {
    return HEADER_V2 + Base::blob_len(index()) + added_bytes_.size() + 8 * tombstones_.size();
  }
  // The body (base region, additions, tombstone words) through `w`, which the
  // caller has given 49 reserved bytes first; returns the header for them.
  template <class W>
  std::array<unsigned char, HEADER_V2> write_sections(W& w) const;
  // The whole "OVL2" blob, in a buffer of exactly its length.
  std::vector<unsigned char> to_bytes() const;
  // The blob written atomically to `path`, its header last.
  void save(const std::string& path) const;

  // Loads an "OVL2" or "OVL1" blob written over this kind: frames it, loads
  // the base from its region with the kind's verifying loader (`untrusted`
  // picks a string index's validating one), replays the additions with their
  // checks and copies the tombstones. All or nothing.
  static Overlay load(std::span<const unsigned char> blob, bool untrusted);

 private:
  struct Collision {
    std::uint64_t hash;
    std::uint32_t number;
    std::uint32_t offset;
  };

  friend struct TestAccess;  // forces hashes to collide

  static std::uint64_t hash_of(std::string_view key) noexcept {
    return blob::hash_block(
        std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(key.data()), key.size()));
  }
  // push_added and added_index with the key's hash given.
  void push_hashed(std::string_view key, std::uint64_t h);
  std::optional<std::uint32_t> find_hashed(std::string_view key, std::uint64_t h) const;
  // The key of the record at `offset`, when it equals `key`.
  bool record_is(std::uint32_t offset, std::string_view key) const;
  // The base's id of a key. An id at or past the base's length (only a
  // crafted base behind a trusted loader answers one) would stand for an
  // addition's id: it counts as absent.
  std::optional<std::uint64_t> base_lookup(std::string_view key) const noexcept {
    auto id = Base::base_id(index(), key);
    if (id && *id >= base_len()) return std::nullopt;
    return id;
  }
  // Clears a retired id's bit.
  void revive(std::uint64_t id) noexcept {
    tombstones_[id / 64] &= ~(std::uint64_t{1} << (id % 64));
    ++live_;
  }
  // Makes room for `extra` more elements of `v` in amortised steps, so that
  // the appends after it cannot fail.
  template <class V>
  static void room(V& v, std::size_t extra) {
    if (v.capacity() - v.size() < extra) v.reserve(std::max(v.size() + extra, v.capacity() * 2));
  }
  // The new overlay of a compaction over a base built from `keys`.
  Overlay rebuilt(std::vector<std::string_view> keys) const {
    return Overlay(Held<B>::make(OverlayKeys<Kind>::rebuild_like(index(), std::move(keys))));
  }

  B base_;
  std::vector<unsigned char> added_bytes_;
  std::vector<std::uint32_t> added_offsets_;
  PreHashed map_;
  std::vector<Collision> hash_collisions_;
  std::vector<std::uint64_t> tombstones_;
  std::uint64_t live_ = 0;
  Limits limits_;
};

// ---------------------------------------------------------------------------

// Depth first, transitions in input order, so keys come in byte order. The
// walk checks what it relies on, so that crafted bytes behind a trusted open
// end it with the rank error instead of looping or wandering: every target
// lies below its node, the output reaching a node is the rank of the next
// key, a final node's value is that rank, fewer than n keys, and every
// transition leads to a key (so the work is bounded by the keys it yields).
template <class F>
void OverlayKeys<StringIndex>::for_each(const StringIndex& b, F&& f) {
  struct Level {
    fst_bounds::RawNode node;
    std::uint64_t addr;
    std::uint64_t acc;
    std::uint64_t first;  // the rank the walk had reached on entering
    unsigned next;
  };
  const fst_bounds::NodeReader reader(b.fst_bytes(), b.index_threshold());
  const std::uint64_t n = b.len();
  // No ids, no keys, whatever nodes lie behind a count of 0.
  if (n == 0) return;
  std::uint64_t rank = 0;
  std::string key;
  std::vector<Level> stack;
  auto enter = [&](std::uint64_t addr, std::uint64_t acc) {
    Level level{{}, addr, acc, rank, 0};
    if (!reader.read(addr, level.node)) ranks_broken();
    if (level.node.final) {
      std::uint64_t value;
      if (__builtin_add_overflow(acc, reader.final_output(level.node), &value) || value != rank || rank >= n)
        ranks_broken();
      if (utf8::valid(key)) f(rank, std::string_view(key));
      ++rank;
    }
    stack.push_back(level);
  };
  enter(b.root(), 0);
  while (!stack.empty()) {
    Level& top = stack.back();
    if (top.next == top.node.n) {
      if (stack.size() > 1 && rank == top.first) ranks_broken();  // a transition that led to no key
      stack.pop_back();
      key.resize(stack.empty() ? 0 : stack.size() - 1);
      continue;
    }
    const unsigned i = top.next++;
    std::uint64_t out = 0, target = 0, acc = 0;
    if (!reader.follow(top.node, i, out, target) || (target != 0 && target >= top.addr) ||
        __builtin_add_overflow(top.acc, out, &acc) || acc != rank)
      ranks_broken();
    key.push_back(static_cast<char>(reader.input(top.node, i)));
    enter(target, acc);  // may move `top`
  }
}

template <class B>
void Overlay<B>::push_hashed(std::string_view key, std::uint64_t h) {
  const std::uint64_t number = added_offsets_.size();
  const std::uint64_t offset = added_bytes_.size();
  if (number > limits_.additions) throw LimitExceeded(MSG_TOO_MANY);
  if (offset > limits_.offset) throw LimitExceeded(MSG_TOO_MUCH);
  if (key.size() > limits_.key_len) throw LimitExceeded(MSG_TOO_LONG);
  const bool collides = map_.find(h) != nullptr;
  // Every allocation first: a failure leaves the overlay as it was.
  room(added_offsets_, 1);
  room(added_bytes_, 4 + key.size());
  if (collides) room(hash_collisions_, 1);
  else map_.reserve_one();

  added_offsets_.push_back(static_cast<std::uint32_t>(offset));
  unsigned char len[4];
  store_le32(len, static_cast<std::uint32_t>(key.size()));
  added_bytes_.insert(added_bytes_.end(), len, len + 4);
  added_bytes_.insert(added_bytes_.end(), key.begin(), key.end());
  if (collides)
    hash_collisions_.push_back({h, static_cast<std::uint32_t>(number), static_cast<std::uint32_t>(offset)});
  else
    map_.insert({h, static_cast<std::uint32_t>(number), static_cast<std::uint32_t>(offset)});
}

template <class B>
bool Overlay<B>::record_is(std::uint32_t offset, std::string_view key) const {
  if (added_bytes_.size() < 4 || offset > added_bytes_.size() - 4) panic(MSG_RECORD);
  const std::uint32_t len = load_le32(added_bytes_.data() + offset);
  if (len > added_bytes_.size() - 4 - offset) panic(MSG_RECORD);
  return len == key.size() && (len == 0 || std::memcmp(added_bytes_.data() + offset + 4, key.data(), len) == 0);
}

template <class B>
std::optional<std::uint32_t> Overlay<B>::find_hashed(std::string_view key, std::uint64_t h) const {
  const Entry* e = map_.find(h);
  if (!e) return std::nullopt;
  if (record_is(e->offset, key)) return e->number;
  for (const Collision& c : hash_collisions_)
    if (c.hash == h && record_is(c.offset, key)) return c.number;
  return std::nullopt;
}

template <class B>
std::string_view Overlay<B>::added_key(std::uint32_t i) const {
  const std::uint32_t offset = added_offsets_.at(i);
  if (added_bytes_.size() < 4 || offset > added_bytes_.size() - 4) panic(MSG_RECORD);
  const std::uint32_t len = load_le32(added_bytes_.data() + offset);
  if (len > added_bytes_.size() - 4 - offset) panic(MSG_RECORD);
  const std::string_view key(reinterpret_cast<const char*>(added_bytes_.data()) + offset + 4, len);
  if (!utf8::valid(key)) panic(MSG_ADDED_UTF8);
  return key;
}

template <class B>
bool Overlay<B>::retire_id(std::uint64_t id) {
  if (id >= id_space()) return false;
  const std::uint64_t w = id / 64;
  if (w < tombstones_.size()) {
    if (tombstones_[w] >> (id % 64) & 1) return false;
  } else {
    tombstones_.resize(w + 1, 0);
  }
  tombstones_[w] |= std::uint64_t{1} << (id % 64);
  --live_;
  return true;
}

template <class B>
std::optional<std::uint64_t> Overlay<B>::id(std::string_view key) const {
  if (auto id = base_lookup(key)) {
    if (is_retired(*id)) return std::nullopt;
    return id;
  }
  if (auto j = added_index(key)) {
    const std::uint64_t id = base_len() + *j;
    if (is_retired(id)) return std::nullopt;
    return id;
  }
  return std::nullopt;
}

template <class B>
std::uint64_t Overlay<B>::add(std::string_view key) {
  std::optional<std::uint64_t> id = base_lookup(key);
  if (!id)
    if (auto j = added_index(key)) id = base_len() + *j;
  if (id) {
    if (is_retired(*id)) revive(*id);
    return *id;
  }
  const std::uint64_t fresh = id_space();
  push_added(key);
  ++live_;
  return fresh;
}

template <class B>
bool Overlay<B>::remove(std::string_view key) {
  auto live = id(key);
  return live && retire_id(*live);
}

template <class B>
std::optional<std::string> Overlay<B>::key(std::uint64_t id) const
  requires StoresKeys<Kind>
{
  if (is_retired(id)) return std::nullopt;
  if (id < base_len()) return OverlayKeys<Kind>::key(index(), id);
  const std::uint64_t j = id - base_len();
  if (j < additions()) return std::string(added_key(static_cast<std::uint32_t>(j)));
  return std::nullopt;
}

template <class B>
template <class F>
void Overlay<B>::for_each_key(F&& f, const Pause& pause) const
  requires StoresKeys<Kind>
{
  Pacer pacer(pause);
  OverlayKeys<Kind>::for_each(index(), [&](std::uint64_t id, std::string_view key) {
    if (!is_retired(id)) f(id, key);
    pacer.step();
  });
  const std::uint64_t n_b = base_len();
  for (std::uint64_t j = 0; j < additions(); ++j)
    if (!is_retired(n_b + j)) f(n_b + j, added_key(static_cast<std::uint32_t>(j)));
}

template <class B>
std::vector<std::string> Overlay<B>::keys(const Pause& pause) const
  requires StoresKeys<Kind>
{
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(live_));
  for_each_key([&](std::uint64_t, std::string_view key) { out.emplace_back(key); }, pause);
  return out;
}

template <class B>
typename Overlay<B>::LiveKeys Overlay<B>::live_keys(std::string& store, bool with_ids, const Pause& pause) const
  requires StoresKeys<Kind>
{
  LiveKeys out;
  out.keys.reserve(static_cast<std::size_t>(live_));
  if (with_ids) out.ids.reserve(static_cast<std::size_t>(live_));
  auto take = [&](std::uint64_t id, std::string_view key) {
    out.keys.push_back(key);
    if (with_ids) out.ids.push_back(id);
  };
  if constexpr (OverlayKeys<Kind>::STABLE_VIEWS) {
    for_each_key(take, pause);
  } else {
    // The base's keys are copied into one buffer; views are cut from it
    // once it has stopped growing.
    std::vector<std::size_t> ends;
    Pacer pacer(pause);
    OverlayKeys<Kind>::for_each(index(), [&](std::uint64_t id, std::string_view key) {
      pacer.step();
      if (is_retired(id)) return;
      store.append(key);
      ends.push_back(store.size());
      if (with_ids) out.ids.push_back(id);
    });
    std::size_t start = 0;
    for (const std::size_t end : ends) {
      out.keys.emplace_back(store.data() + start, end - start);
      start = end;
    }
    const std::uint64_t n_b = base_len();
    for (std::uint64_t j = 0; j < additions(); ++j)
      if (!is_retired(n_b + j)) take(n_b + j, added_key(static_cast<std::uint32_t>(j)));
  }
  return out;
}

template <class B>
Overlay<B> Overlay<B>::compact(const Pause& pause) const
  requires StoresKeys<Kind>
{
  std::string store;
  return rebuilt(live_keys(store, false, pause).keys);
}

template <class B>
std::pair<Overlay<B>, std::vector<std::uint64_t>> Overlay<B>::compact_with_remap(const Pause& pause) const
  requires StoresKeys<Kind>
{
  std::string store;
  const LiveKeys live = live_keys(store, true, pause);
  Overlay fresh = rebuilt(live.keys);
  std::vector<std::uint64_t> remap(static_cast<std::size_t>(id_space()), ~std::uint64_t{0});
  for (std::size_t i = 0; i < live.keys.size(); ++i) {
    auto now = OverlayBase<Kind>::base_id(fresh.index(), live.keys[i]);
    if (!now) panic(MSG_REBUILT);
    remap[static_cast<std::size_t>(live.ids[i])] = *now;
  }
  return {std::move(fresh), std::move(remap)};
}

template <class B>
std::uint64_t Overlay<B>::compact_to_file(const std::string& path, const Pause& pause) const
  requires StoresKeys<Kind>
{
  std::string store;
  const Kind fresh = OverlayKeys<Kind>::rebuild_like(index(), live_keys(store, false, pause).keys);
  blob::write_atomically_with(path, [&](File& file) {
    BufWriter w(file);
    Base::write(w, fresh);
    w.flush();
  });
  return Base::len(fresh);
}

template <class B>
template <class W>
std::array<unsigned char, HEADER_V2> Overlay<B>::write_sections(W& w) const {
  Hashed<W> out(w);
  Base::write(out, index());
  const std::uint64_t base_len = out.count();
  out.write_all(added_bytes_);
  // The words go out through a small staging buffer, little-endian.
  unsigned char buf[4096];
  std::size_t used = 0;
  for (const std::uint64_t word : tombstones_) {
    store_le64(buf + used, word);
    used += 8;
    if (used == sizeof buf) {
      out.write_all(std::span<const unsigned char>(buf, used));
      used = 0;
    }
  }
  if (used) out.write_all(std::span<const unsigned char>(buf, used));
  return header_v2(Base::TAG, base_len, additions(), added_bytes_.size(), tombstones_.size(), out.finish());
}

template <class B>
std::vector<unsigned char> Overlay<B>::to_bytes() const {
  // Sized, then reserved: GCC 12 warns falsely (-Warray-bounds) on a resize
  // after the reserve.
  std::vector<unsigned char> out(HEADER_V2, 0);
  out.reserve(static_cast<std::size_t>(serialized_len()));
  VecWriter w(out);
  const auto header = write_sections(w);
  std::copy(header.begin(), header.end(), out.begin());
  return out;
}

template <class B>
void Overlay<B>::save(const std::string& path) const {
  blob::write_atomically_with(path, [&](File& file) {
    BufWriter w(file);
    const unsigned char zeros[HEADER_V2] = {};
    w.write_all(std::span<const unsigned char>(zeros, HEADER_V2));
    const auto header = write_sections(w);
    w.seek(0);
    w.write_all(header);
    w.flush();
  });
}

template <class B>
Overlay<B> Overlay<B>::load(std::span<const unsigned char> blob, bool untrusted) {
  const Sections s = frame(blob, Base::TAG);
  Overlay o(Held<B>::make(Base::load(s.base, untrusted)));
  o.added_bytes_.reserve(s.additions.size());
  const std::size_t cap = static_cast<std::size_t>(std::min(s.additions_count, RESERVE_CAP));
  o.added_offsets_.reserve(cap);
  o.map_.reserve(cap);
  std::uint64_t at = 0;
  for (std::uint64_t i = 0; i < s.additions_count; ++i) {
    const std::string_view key = next_record(s.additions, at);
    if constexpr (Base::EXACT)
      if (o.base_lookup(key)) throw IndexError::format(MSG_BASE_DUPLICATE);
    if (o.added_index(key)) throw IndexError::format(MSG_DUPLICATE);
    o.push_added(key);
  }
  if (at != s.additions.size()) throw IndexError::format(MSG_REGION_LONGER);

  const std::size_t words = s.tombstones.size() / 8;
  o.tombstones_.resize(words);
  std::uint64_t retired = 0;
  const std::uint64_t space = o.id_space();
  for (std::size_t w = 0; w < words; ++w) {
    const std::uint64_t word = load_le64(s.tombstones.data() + 8 * w);
    o.tombstones_[w] = word;
    if (word == 0) continue;
    // The highest set bit's id must lie below the id space.
    const std::uint64_t top = 64 * static_cast<std::uint64_t>(w) + 63 - static_cast<std::uint64_t>(__builtin_clzll(word));
    if (top >= space) throw IndexError::format(MSG_OUTSIDE);
    retired += static_cast<std::uint64_t>(__builtin_popcountll(word));
  }
  o.live_ = space - retired;
  return o;
}

}  // namespace quorvale::overlay
