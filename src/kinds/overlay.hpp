// The overlay: additions and removals laid over an index that never changes
// (its base). Base ids keep their numbers 0..n_b-1; the i-th key ever added
// gets n_b + i; removing a key retires its id (a tombstone bit), and a
// retired id is never given to another key: adding the key again revives it.
// Only compaction renumbers, into a new overlay over a new base.
//
// `Overlay` holds its base through the small interface `Base` (lookup,
// length, blob and, for the kinds that store keys, key by id, the key walk in
// id order and the rebuild of compaction); overlay.cpp adapts each kind it
// lays over (StringIndex, PerfectHashIndex, CompactHashIndex) to it. The
// base is shared: the index's own Python object, any number of overlays and
// the caller hold the same index.
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

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "blob_frame.hpp"
#include "pause.hpp"

namespace quorvale {
class StringIndex;
class PerfectHashIndex;
class CompactHashIndex;
}  // namespace quorvale

namespace quorvale::overlay {

inline constexpr std::uint8_t TAG_STRING = 1;
inline constexpr std::uint8_t TAG_PERFECT = 2;
inline constexpr std::uint8_t TAG_COMPACT = 3;
// Most tombstone words a header may claim (8 bytes each must fit in 64 bits).
inline constexpr std::uint64_t MAX_WORDS = (std::uint64_t{1} << 61) - 1;

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
inline constexpr const char* MSG_BASE_KIND = "an overlay lays over a string, perfect-hash or compact-hash index";
inline constexpr const char* MSG_STORES_NO_KEYS = "this overlay base stores no keys";

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

// Storage that comes zeroed from calloc and whose elements are left as they
// come: a table's pages are taken as its slots are written, not when it is
// made, so a table sized for a count a blob claims costs only what is put in.
template <class T>
struct ZeroedAllocator {
  using value_type = T;
  ZeroedAllocator() noexcept = default;
  template <class U>
  ZeroedAllocator(const ZeroedAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    void* p = std::calloc(n, sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t) noexcept { std::free(p); }
  template <class U>
  void construct(U*) noexcept {}
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  friend bool operator==(const ZeroedAllocator&, const ZeroedAllocator&) noexcept { return true; }
};

// A map from the 64-bit hash of an addition's bytes to its entry, the hash
// used as it is (it is already a mixed 64-bit value): open addressing with
// linear probing over a power-of-two table of 16-byte entries, at most 3/4
// full. Growth happens in `reserve_one`, before an insertion, so that an
// insertion itself cannot fail.
class PreHashed {
 public:
  std::size_t size() const noexcept { return size_; }
  std::optional<Entry> find(std::uint64_t hash) const noexcept {
    if (slots_.empty()) return std::nullopt;
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      const Entry& e = slots_[i];
      if (e.number == EMPTY) return std::nullopt;
      if (e.hash == hash) return Entry{e.hash, e.number - 1, e.offset};
    }
  }
  // Room for `n` entries without growing.
  void reserve(std::size_t n);
  void reserve_one() {
    if ((size_ + 1) * 4 > slots_.size() * 3) reserve(size_ + 1);
  }
  // Inserts an entry whose hash is absent; reserve_one() came first.
  void insert(const Entry& entry) noexcept { place({entry.hash, entry.number + 1, entry.offset}); }

 private:
  // A slot holds its entry's number plus one, so that a zeroed slot is empty:
  // no addition has number 2^32 - 1, its record would lie past offset
  // 4 * (2^32 - 1).
  static constexpr std::uint32_t EMPTY = 0;
  void place(const Entry& slot) noexcept {
    for (std::size_t i = slot.hash & mask_;; i = (i + 1) & mask_) {
      if (slots_[i].number == EMPTY) {
        slots_[i] = slot;
        ++size_;
        return;
      }
    }
  }
  std::vector<Entry, ZeroedAllocator<Entry>> slots_;
  std::size_t mask_ = 0;
  std::size_t size_ = 0;
};

// ---- the base ---------------------------------------------------------------

// The tag of each kind an overlay lays over.
template <class Kind>
inline constexpr std::uint8_t TAG_OF = 0;
template <>
inline constexpr std::uint8_t TAG_OF<StringIndex> = TAG_STRING;
template <>
inline constexpr std::uint8_t TAG_OF<PerfectHashIndex> = TAG_PERFECT;
template <>
inline constexpr std::uint8_t TAG_OF<CompactHashIndex> = TAG_COMPACT;

// Where a base writes its blob: all the bytes or an IndexError.
class Sink {
 public:
  virtual void write_all(std::span<const unsigned char> bytes) = 0;

 protected:
  ~Sink() = default;
};

// A reference to the caller's visitor of a key walk, f(id, key), which must
// outlive the walk: two words, no allocation.
class KeyVisit {
 public:
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, KeyVisit>)
  KeyVisit(F&& f) noexcept  // implicit: a walk is handed the visitor itself
      : f_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* f, std::uint64_t id, std::string_view key) {
          (*static_cast<std::remove_reference_t<F>*>(f))(id, key);
        }) {}
  void operator()(std::uint64_t id, std::string_view key) const { call_(f_, id, key); }

 private:
  void* f_;
  void (*call_)(void*, std::uint64_t, std::string_view);
};

// What an overlay needs of the index it lays over, read only. The key
// operations are those of the kinds that store their keys (stores_keys()).
class Base {
 public:
  virtual ~Base() = default;

  // The base tag of the blob.
  virtual std::uint8_t tag() const noexcept = 0;
  // The key count n_b.
  virtual std::uint64_t len() const noexcept = 0;
  // The base's id of a key, when its lookup accepts it.
  virtual std::optional<std::uint64_t> id(std::string_view key) const noexcept = 0;
  // Whether an accepted key is one the base holds. A compact-hash lookup
  // also accepts a non-member whose fingerprint matches a slot (probability
  // 2^-bits), so the loader cannot refuse an addition it accepts.
  virtual bool exact() const noexcept = 0;
  // The base's own blob, as its save writes it.
  virtual std::uint64_t blob_len() const noexcept = 0;
  virtual void write(Sink& out) const = 0;

  virtual bool stores_keys() const noexcept { return false; }
  // The key of a base id, if it has one.
  virtual std::optional<std::string> key(std::uint64_t id) const;
  // visit(id, key) for every base key in id order; an id whose key cannot
  // be given is skipped. The walk pauses every Pacer::EVERY of its steps
  // (ids, or nodes of a trie), whether they give keys or not.
  virtual void for_each_key(KeyVisit visit, const Pause& pause = {}) const;
  // Whether the views for_each_key hands out last as long as the base
  // (otherwise only for the call).
  virtual bool stable_views() const noexcept { return false; }
  // A new base of the same kind over `keys` (in overlay id order: the
  // base's keys in its id order, then the additions).
  virtual std::shared_ptr<const Base> rebuild_like(std::vector<std::string_view> keys) const;
};

// The index under a base of kind `Kind` (one of the three); null when the
// base is of another kind.
template <class Kind>
std::shared_ptr<const Kind> index_of(const Base& base);

// ---- the overlay ----------------------------------------------------------------

class Overlay {
 public:
  // An empty overlay over `base`: no additions, no tombstones, every base id live.
  explicit Overlay(std::shared_ptr<const Base> base);
  // The same over a shared index of each kind.
  explicit Overlay(std::shared_ptr<const StringIndex> index);
  explicit Overlay(std::shared_ptr<const PerfectHashIndex> index);
  explicit Overlay(std::shared_ptr<const CompactHashIndex> index);

  // ---- state ----

  const Base& base() const noexcept { return *base_; }
  const std::shared_ptr<const Base>& shared_base() const noexcept { return base_; }
  // The index under a base of kind `Kind`; null over another kind.
  template <class Kind>
  std::shared_ptr<const Kind> index() const {
    return index_of<Kind>(*base_);
  }
  std::uint64_t base_len() const noexcept { return base_len_; }
  std::uint64_t additions() const noexcept { return added_offsets_.size(); }
  std::uint64_t id_space() const noexcept { return base_len_ + additions(); }
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
  void push_added(std::string_view key);
  // The addition number of a key that was added.
  std::optional<std::uint32_t> added_index(std::string_view key) const;
  // The key of addition i (below additions()).
  std::string_view added_key(std::uint32_t i) const;
  // Retires a live id; false outside the id space or when already retired.
  bool retire_id(std::uint64_t id);
  // The id of a live key. Inline, so that a base key costs one indirect
  // call (the base's lookup) beyond the caller's.
  std::optional<std::uint64_t> id(std::string_view key) const {
    if (auto id = base_lookup(key)) {
      if (is_retired(*id)) return std::nullopt;
      return id;
    }
    return added_id(key);
  }
  bool contains(std::string_view key) const { return id(key).has_value(); }
  // The key's id: kept, revived or newly issued.
  std::uint64_t add(std::string_view key);
  // Retires the key's id when it is live.
  bool remove(std::string_view key);

  // ---- keys (bases that store them: a panic over another) ----

  std::optional<std::string> key(std::uint64_t id) const;
  // f(id, key) for every live key in id order: base keys in base-id order,
  // then the additions in order of addition. The view lasts for the call.
  // These walks, and the compactions over them, pause every Pacer::EVERY
  // steps of the base's walk (retired ids and keys it passes over count)
  // and additions.
  void for_each_key(KeyVisit visit, const Pause& pause = {}) const;
  std::vector<std::string> keys(const Pause& pause = {}) const;
  // The live keys in id order as views and their ids. The views point into
  // the base and the additions, or into `store` for a base whose key walk
  // hands out passing views; they last as long as those and the overlay's
  // additions stay as they are.
  struct LiveKeys {
    std::vector<std::string_view> keys;
    std::vector<std::uint64_t> ids;
  };
  LiveKeys live_keys(std::string& store, bool with_ids, const Pause& pause = {}) const;

  // ---- compaction (bases that store keys) ----

  // A new overlay without edits over a base rebuilt from the live keys.
  Overlay compact(const Pause& pause = {}) const;
  // The same and, per old id, its new id (all ones for a retired id).
  std::pair<Overlay, std::vector<std::uint64_t>> compact_with_remap(const Pause& pause = {}) const;
  // The rebuilt base's own blob written atomically to `path`; its key count.
  std::uint64_t compact_to_file(const std::string& path, const Pause& pause = {}) const;

  // ---- the blob ----

  std::uint64_t serialized_len() const noexcept {
    return HEADER_V2 + base_->blob_len() + added_bytes_.size() + 8 * tombstones_.size();
  }
  // The body (base region, additions, tombstone words) through `w`, which the
  // caller has given 49 reserved bytes first; returns the header for them.
  std::array<unsigned char, HEADER_V2> write_sections(Sink& w) const;
  // The whole "OVL2" blob, in a buffer of exactly its length.
  std::vector<unsigned char> to_bytes() const;
  // The blob written atomically to `path`, its header last.
  void save(const std::string& path) const;

  // Loads an "OVL2" or "OVL1" blob written over the kind `tag` names (one of
  // the three TAG_ values): frames it, loads the base from its region with
  // the kind's verifying loader (`untrusted` picks a string index's
  // validating one), replays the additions with their checks and copies the
  // tombstones. All or nothing.
  static Overlay load(std::span<const unsigned char> blob, std::uint8_t tag, bool untrusted);

 private:
  struct Collision {
    std::uint64_t hash;
    std::uint32_t number;
    std::uint32_t offset;
  };

  friend struct TestAccess;  // forces hashes to collide

  static std::uint64_t hash_of(std::string_view key) noexcept;
  // push_added and added_index with the key's hash given.
  void push_hashed(std::string_view key, std::uint64_t h);
  std::optional<std::uint32_t> find_hashed(std::string_view key, std::uint64_t h) const;
  // The id of a live addition.
  std::optional<std::uint64_t> added_id(std::string_view key) const;
  // The key of the record at `offset`, when it equals `key`.
  bool record_is(std::uint32_t offset, std::string_view key) const;
  // The base's id of a key. An id at or past the base's length (only a
  // crafted base behind a trusted loader answers one) would stand for an
  // addition's id: it counts as absent.
  std::optional<std::uint64_t> base_lookup(std::string_view key) const noexcept {
    auto id = base_->id(key);
    if (id && *id >= base_len_) return std::nullopt;
    return id;
  }
  // Clears a retired id's bit.
  void revive(std::uint64_t id) noexcept {
    tombstones_[id / 64] &= ~(std::uint64_t{1} << (id % 64));
    ++live_;
  }
  // The base, which must store its keys.
  const Base& keyed() const;

  std::shared_ptr<const Base> base_;
  std::uint64_t base_len_ = 0;
  std::vector<unsigned char> added_bytes_;
  std::vector<std::uint32_t> added_offsets_;
  PreHashed map_;
  std::vector<Collision> hash_collisions_;
  std::vector<std::uint64_t> tombstones_;
  std::uint64_t live_ = 0;
  Limits limits_;
};

}  // namespace quorvale::overlay
