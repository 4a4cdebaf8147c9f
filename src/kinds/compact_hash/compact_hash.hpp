// The compact-hash index: a string -> dense u32 map that stores no key. Each
// key is reduced to its hash pair; a minimal perfect hash over the distinct
// first words gives most keys their id, and keys whose first word repeats
// that of another take the highest ids from an exact side table of both
// words. Every slot keeps the low 1..64 bits of its key's second word as a
// fingerprint, so a non-member is rejected except with probability 2^-bits.
// Stored as the "BCH8" blob, whose fingerprint table a loaded index reads in
// place (from a memory map too).
//
// The building blocks both keyless kinds share live here as well: the pair
// order and its parallel sort, the slot pass, the side table and the packed
// fingerprint table (closed_hash.hpp builds on them).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "blob.hpp"
#include "blob_frame.hpp"
#include "error.hpp"
#include "hash.hpp"
#include "mphf.hpp"

namespace quorvale {

namespace perfect_hash {
class KeySource;
}

namespace compact_hash {

// A key's hash pair; pairs order by the first word, then the second.
using Pair = hash::HashPair;
inline bool pair_less(const Pair& a, const Pair& b) noexcept {
  return a.first != b.first ? a.first < b.first : a.second < b.second;
}

// Written for a key not found in packed id arrays; never an id.
inline constexpr std::uint32_t MISSING = 0xffffffffu;
inline constexpr std::size_t SIDE_RECORD = 20;
// The first word the slot pass leaves on a pair that is not its group's representative.
inline constexpr std::uint64_t NOT_REPRESENTATIVE = ~std::uint64_t{0};
// Pairs a worker takes at least before the sort or the slot pass goes parallel.
inline constexpr std::size_t PAIRS_PER_WORKER = 4096;
inline constexpr std::size_t SORT_BUCKETS = 256;

inline constexpr const char* MSG_BITS = "compact-hash: fingerprint_bits must be in 1..=64";
inline constexpr const char* MSG_TOO_MANY = "compact-hash: more than u32::MAX keys; ids are u32";
inline constexpr const char* MSG_NOT_MINIMAL = "compact-hash: construction was not minimal/perfect";
inline constexpr const char* MSG_RAISED = "compact-hash: the input iterable raised before it ended";
inline constexpr const char* MSG_TORN = "compact-hash: a scratch file is torn";
inline constexpr const char* MSG_OLD =
    "compact-hash: blob written by quorvale < 4.0, keyed on a hash this version no longer computes; the keys are not "
    "stored, so it cannot be converted - rebuild the index from its keys";
inline constexpr blob::Retired RETIRED[] = {{"BCH1", MSG_OLD}, {"BCH2", MSG_OLD}, {"BCH3", MSG_OLD}, {"BCH4", MSG_OLD},
                                            {"BCH5", MSG_OLD}, {"BCH6", MSG_OLD}, {"BCH7", MSG_OLD}};
// "BCH8": n at 4, the fingerprint width (u32) at 12, the image length at 16,
// the side count (u32) at 24.
inline constexpr blob::Frame FRAME{.magic = "BCH8", .retired = RETIRED, .header_len = 40, .payload_at = 28};
inline constexpr std::size_t HEADER_LEN = FRAME.header_len;

// The limits of a streamed build; every production caller passes these
// values. pair_budget: bytes of hash pairs held during the intake (a buffer
// of max(1, budget / 16) pairs; fuller buffers are spilled as sorted runs);
// table_limit: the largest fingerprint table kept in memory; range_slots:
// the slots of one fingerprint range file beyond that (a multiple of 8, so
// that every range but the last is whole bytes of the table).
struct StreamLimits {
  std::uint64_t pair_budget = std::uint64_t{1} << 28;
  std::uint64_t table_limit = std::uint64_t{1} << 28;
  std::uint64_t range_slots = std::uint64_t{1} << 24;
};

// Hash pairs of a streamed build, one at a time, in any order, repeats allowed.
class PairSource {
 public:
  virtual ~PairSource() = default;
  virtual bool next(Pair& out) = 0;
};

// Whether the key source stopped because it failed rather than at its end.
using FailureProbe = std::function<bool()>;
// Runs the part of a build that reads no key (everything after the intake);
// a Python caller runs it detached.
using OfflineRunner = std::function<void(const std::function<void()>&)>;
// How a streamed build runs: its worker count (0: one per online processor)
// and the runner of its offline part (none: on the calling thread).
struct StreamRun {
  std::size_t threads = 0;
  OfflineRunner offline;
};

// A pair whose first word another pair's also is, and its id (one of the tail ids).
struct SideEntry {
  std::uint64_t first;
  std::uint64_t second;
  std::uint32_t id;
  bool operator==(const SideEntry&) const = default;
};

// Sorts the pairs ascending in place: on the calling thread below
// min(threads, 256) * 4096 pairs, else spread over that many buckets by the
// first word's top bits and the buckets sorted on workers.
void sort_run(std::span<Pair> pairs, std::size_t threads);

// Over sorted distinct pairs and the hash built on their distinct first
// words: each pair's first word becomes its slot, or NOT_REPRESENTATIVE when
// an earlier pair has the same first word. Chunks of at least 4096 pairs run
// on one worker a processor.
void slots_in_place(std::span<Pair> pairs, const Mphf& mph, std::size_t threads);

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

// The side table as stored: 20-byte records of first, second, id in table order.
std::vector<unsigned char> side_bytes(std::span<const SideEntry> side);
// Side records read from a blob, sorted by (first, second, id); their ids must
// be exactly the tail n - count .. n - 1, else Format `ids_message`.
std::vector<SideEntry> read_side(const unsigned char* records, std::size_t count, std::uint64_t n,
                                 const char* ids_message);

// What follows a keyless blob's header: the hash's image (empty without a
// hash), the side records, and the payload checksum over the image, the
// fingerprint table (none for the closed kind) and the side records.
struct Payload {
  std::vector<unsigned char> image;
  std::vector<unsigned char> side;
  std::uint64_t checksum = 0;
};
Payload payload_of(const Mphf* mph, std::span<const unsigned char> table, std::span<const SideEntry> side);

// A keyless blob in pieces, as its writers hand them on: the image, the
// header (of H bytes), the side records; the fingerprint table, when there
// is one, is read in place from the index.
template <std::size_t H>
struct Parts {
  std::vector<unsigned char> image;
  std::array<unsigned char, H> header;
  std::vector<unsigned char> side;
};
// Writes the blob: header, image, fingerprint table, side records.
template <class W, std::size_t H>
void write_parts(W& w, const Parts<H>& parts, std::span<const unsigned char> table) {
  w.write_all(parts.header);
  if (!parts.image.empty()) w.write_all(parts.image);
  if (!table.empty()) w.write_all(table);
  if (!parts.side.empty()) w.write_all(parts.side);
}

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

// The 40-byte "BCH8" header and its checksum.
std::array<unsigned char, HEADER_LEN> header_v7(std::uint64_t n, std::uint32_t fingerprint_bits,
                                                std::uint64_t image_len, std::uint32_t side,
                                                std::uint64_t payload);

// What the build of either kind makes of its pairs: the pairs sorted,
// deduplicated and given their slots in place (NOT_REPRESENTATIVE for side
// pairs), the side table with its tail ids, and the hash over the m distinct
// first words (none when there are no pairs).
struct Slotted {
  std::vector<SideEntry> side;
  std::optional<Mphf> mph;
  std::uint64_t n = 0;
  std::uint64_t m = 0;
};
Slotted slot_pairs(std::vector<Pair>& pairs, const char* too_many, std::size_t threads);

// The check that closes a build: every representative's slot lies below m
// and is taken once, else Format `not_minimal`. on_slot(slot, second) sees
// each representative that passes.
template <class OnSlot>
void check_slots(std::span<const Pair> slotted, std::uint64_t m, const char* not_minimal, OnSlot&& on_slot) {
  std::vector<std::uint64_t> taken(static_cast<std::size_t>((m + 63) / 64), 0);
  for (const Pair& p : slotted) {
    const std::uint64_t slot = p.first;
    if (slot == NOT_REPRESENTATIVE) continue;
    if (slot >= m) throw IndexError::format(not_minimal);
    std::uint64_t& word = taken[static_cast<std::size_t>(slot >> 6)];
    const std::uint64_t bit = std::uint64_t{1} << (slot & 63);
    if (word & bit) throw IndexError::format(not_minimal);
    word |= bit;
    on_slot(slot, p.second);
  }
}

}  // namespace compact_hash

class CompactHashIndex : public blob::Stored<CompactHashIndex> {
 public:
  using SideEntry = compact_hash::SideEntry;
  struct Found {
    bool found;
    std::uint32_t id;
    bool operator==(const Found&) const = default;
  };

  // ---- building ----

  // The pairs may come in any order and repeat; `fingerprint_bits` in 1..=64.
  static CompactHashIndex build_from_pairs(std::vector<hash::HashPair> pairs, std::uint32_t fingerprint_bits);
  // Every key hashed, 8-bit fingerprints.
  static CompactHashIndex build(std::span<const std::string_view> keys);

  // The streamed build straight into the blob file at `path` (written
  // atomically), byte for byte what build_from_pairs and save give, holding
  // at most the limits' pairs and table whatever the stream's length. Scratch
  // files live in "<path>.<pid>.<seq>.runs" while it runs and go with it.
  // Fails with MSG_RAISED when `failed` says the source failed (asked when
  // the stream ends and again before the header is written); the stages
  // between ask it too, and a yes there abandons the build (IndexError Io
  // Interrupted). Returns n.
  static std::uint64_t build_to_file_with(compact_hash::PairSource& pairs, const compact_hash::FailureProbe& failed,
                                          const std::string& path, const compact_hash::StreamLimits& limits,
                                          std::uint32_t fingerprint_bits, const compact_hash::StreamRun& run = {});
  // The same over keys, each hashed as it arrives.
  static std::uint64_t build_to_file_checked(perfect_hash::KeySource& keys, const compact_hash::FailureProbe& failed,
                                             const std::string& path, const compact_hash::StreamLimits& limits,
                                             std::uint32_t fingerprint_bits, const compact_hash::StreamRun& run = {});
  // The command line's build: 8-bit fingerprints, the production limits, a
  // source that fails by throwing.
  static std::uint64_t build_bits_to_file(perfect_hash::KeySource& keys, const std::string& path);

  // ---- reading ----

  std::uint64_t len() const noexcept { return n_; }
  bool is_empty() const noexcept { return n_ == 0; }
  std::uint32_t fingerprint_bits() const noexcept { return bits_; }
  std::span<const SideEntry> side() const noexcept { return side_; }
  const Mphf* mphf() const noexcept { return mph_ ? &*mph_ : nullptr; }
  const blob::SharedBytes& fingerprints() const noexcept { return fingerprints_; }

  std::optional<std::uint32_t> side_lookup(std::uint64_t first, std::uint64_t second) const noexcept {
    return compact_hash::side_search(side_, first, second);
  }
  // The id of a key: found with its id, or not found (then the id is the
  // slot whose fingerprint differed, 0 for the empty index).
  Found id_with_side(std::string_view key) const noexcept;
  bool contains(std::string_view key) const noexcept;
  // Whether the fingerprint at `slot` is the low bits of `second`, for any width.
  bool fp_matches_wide(std::uint64_t slot, std::uint64_t second) const noexcept {
    return compact_hash::fp_matches(fingerprints_.bytes(), slot, bits_, second);
  }
  // A side hit, else the slot without any fingerprint test (0 when empty).
  std::uint32_t id_unchecked(std::string_view key) const noexcept;
  // The id of a key found, nothing otherwise; skips the side search when
  // there is no side table.
  std::optional<std::uint32_t> id(std::string_view key) const noexcept;

  // Each key of a batch (key_at(i) gives key i's bytes) as emit(i, found, id),
  // in order. Without a side table the hash is evaluated block by block.
  template <class KeyAt, class Emit>
  void lookup_batch(std::size_t count, KeyAt&& key_at, Emit&& emit) const;
  // The ids into out[0..count), MISSING for a key not found.
  template <class KeyAt>
  void ids_into_with(std::size_t count, KeyAt&& key_at, std::uint32_t* out) const {
    lookup_batch(count, key_at,
                 [&](std::size_t i, bool found, std::uint32_t id) { out[i] = found ? id : compact_hash::MISSING; });
  }
  template <class KeyAt>
  std::vector<Found> ids_of_with(std::size_t count, KeyAt&& key_at) const {
    std::vector<Found> out(count);
    lookup_batch(count, key_at, [&](std::size_t i, bool found, std::uint32_t id) { out[i] = {found, id}; });
    return out;
  }
  std::vector<Found> ids_of(std::span<const std::string_view> keys) const {
    return ids_of_with(keys.size(), [&](std::size_t i) { return keys[i]; });
  }

  // ---- the blob ----

  using Parts = compact_hash::Parts<compact_hash::HEADER_LEN>;
  // Image, header and side records; the fingerprint table is read in place.
  Parts serialised_parts() const;
  std::uint64_t serialized_len() const noexcept;
  // Header, image, fingerprint table, side records through any byte sink.
  template <class W>
  void write_to(W& w) const {
    compact_hash::write_parts(w, serialised_parts(), fingerprints_.bytes());
  }

  // Parses a blob, keeping a view of its fingerprint table; `verify` adds the
  // payload checksum. to_bytes, save, from_bytes and the loads come from Stored.
  static CompactHashIndex from_shared(blob::SharedBytes bytes, bool verify);

 private:
  CompactHashIndex(blob::SharedBytes fingerprints, std::vector<SideEntry> side, std::optional<Mphf> mph,
                   std::uint64_t n, std::uint32_t bits)
      : fingerprints_(std::move(fingerprints)), side_(std::move(side)), mph_(std::move(mph)), n_(n), bits_(bits) {}

  // The fingerprint test at a slot, the byte compare for 8 bits.
  bool fp_at(std::uint64_t slot, std::uint64_t second) const noexcept {
    if (bits_ == 8) return slot < fingerprints_.size() && fingerprints_[slot] == static_cast<std::uint8_t>(second);
    return fp_matches_wide(slot, second);
  }

  blob::SharedBytes fingerprints_;
  std::vector<SideEntry> side_;
  std::optional<Mphf> mph_;
  std::uint64_t n_ = 0;
  std::uint32_t bits_ = 8;
};

// ---------------------------------------------------------------------------

inline CompactHashIndex::Found CompactHashIndex::id_with_side(std::string_view key) const noexcept {
  const hash::HashPair h = hash::hash_pair(key);
  if (auto id = side_lookup(h.first, h.second)) return {true, *id};
  if (!mph_) return {false, 0};
  const std::uint64_t slot = mph_->index(h.first);
  return {fp_at(slot, h.second), static_cast<std::uint32_t>(slot)};
}

inline bool CompactHashIndex::contains(std::string_view key) const noexcept {
  if (!side_.empty()) return id_with_side(key).found;
  if (!mph_) return false;
  const hash::HashPair h = hash::hash_pair(key);
  return fp_at(mph_->index(h.first), h.second);
}

inline std::optional<std::uint32_t> CompactHashIndex::id(std::string_view key) const noexcept {
  if (!side_.empty()) {
    Found f = id_with_side(key);
    if (!f.found) return std::nullopt;
    return f.id;
  }
  if (!mph_) return std::nullopt;
  const hash::HashPair h = hash::hash_pair(key);
  const std::uint64_t slot = mph_->index(h.first);
  if (!fp_at(slot, h.second)) return std::nullopt;
  return static_cast<std::uint32_t>(slot);
}

inline std::uint32_t CompactHashIndex::id_unchecked(std::string_view key) const noexcept {
  const hash::HashPair h = hash::hash_pair(key);
  if (!side_.empty())
    if (auto id = side_lookup(h.first, h.second)) return *id;
  return mph_ ? static_cast<std::uint32_t>(mph_->index(h.first)) : 0;
}

template <class KeyAt, class Emit>
void CompactHashIndex::lookup_batch(std::size_t count, KeyAt&& key_at, Emit&& emit) const {
  if (!mph_) {
    for (std::size_t i = 0; i < count; ++i) emit(i, false, 0);
    return;
  }
  if (!side_.empty()) {
    for (std::size_t i = 0; i < count; ++i) {
      const Found f = id_with_side(std::string_view(key_at(i)));
      emit(i, f.found, f.id);
    }
    return;
  }
  compact_hash::evaluate_reading_ahead(*mph_, count, key_at, fingerprints_.bytes(), bits_,
                                       [&](std::size_t i, std::uint64_t slot, std::uint64_t second) {
                                         emit(i, fp_at(slot, second), static_cast<std::uint32_t>(slot));
                                       });
}

}  // namespace quorvale
