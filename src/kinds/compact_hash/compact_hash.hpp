// The compact-hash index: a string -> dense u32 map that stores no key. Each
// key is reduced to its hash pair; a minimal perfect hash over the distinct
// first words gives most keys their id, and keys whose first word repeats
// that of another take the highest ids from an exact side table of both
// words. Every slot keeps the low 1..64 bits of its key's second word as a
// fingerprint, so a non-member is rejected except with probability 2^-bits.
// Stored as the "BCH8" blob, whose fingerprint table a loaded index reads in
// place (from a memory map too).
//
// The keyless format both keyless kinds share lives here as well: the side
// records, the payload and the blob in pieces (closed_hash.hpp builds on
// them); the pipeline is the hash engine's (hash_engine.hpp).
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
#include "hash_engine.hpp"
#include "mphf.hpp"
#include "streamed_keys.hpp"

namespace quorvale {

namespace compact_hash {

// The engine's pieces the keyless kinds' streamed builds are written in.
using hash_engine::NOT_REPRESENTATIVE;
using hash_engine::Pair;
using hash_engine::PairSource;
using hash_engine::SideEntry;
using hash_engine::StreamLimits;
using hash_engine::StreamRun;
using hash_engine::low_bits;
using hash_engine::sort_run;
using hash_engine::write_fp;

// Written for a key not found in packed id arrays; never an id.
inline constexpr std::uint32_t MISSING = hash_engine::MISSING;
inline constexpr std::size_t SIDE_RECORD = 20;

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

// The side table as stored: 20-byte records of first, second, id in table order.
std::vector<unsigned char> side_bytes(std::span<const SideEntry> side);
// Side records read from a blob, sorted by (first, second, id); the loader
// has tested their ids already (hash_engine::side_ids_are_tail).
std::vector<SideEntry> read_side(const unsigned char* records, std::size_t count);

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

// The 40-byte "BCH8" header and its checksum.
std::array<unsigned char, HEADER_LEN> header_v7(std::uint64_t n, std::uint32_t fingerprint_bits,
                                                std::uint64_t image_len, std::uint32_t side,
                                                std::uint64_t payload);

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
  // at most the run's limits of pairs and table whatever the stream's
  // length, each key hashed as it arrives. Scratch files live in
  // "<path>.<pid>.<seq>.runs" while it runs and go with it. Fails with
  // MSG_RAISED when the run's probe says the source failed (asked when the
  // stream ends and again before the header is written); the stages between
  // ask it too, and a yes there abandons the build (IndexError Io
  // Interrupted). Returns n.
  static std::uint64_t build_to_file(KeySource& keys, const std::string& path, std::uint32_t fingerprint_bits = 8,
                                     const hash_engine::StreamRun& run = {});
  // The same over hash pairs.
  static std::uint64_t build_to_file(hash_engine::PairSource& pairs, const std::string& path,
                                     std::uint32_t fingerprint_bits, const hash_engine::StreamRun& run = {});

  // ---- reading ----

  std::uint64_t len() const noexcept { return n_; }
  bool is_empty() const noexcept { return n_ == 0; }
  std::uint32_t fingerprint_bits() const noexcept { return bits_; }
  std::span<const SideEntry> side() const noexcept { return side_; }
  const Mphf* mphf() const noexcept { return mph_ ? &*mph_ : nullptr; }
  const blob::SharedBytes& fingerprints() const noexcept { return fingerprints_; }

  std::optional<std::uint32_t> side_lookup(std::uint64_t first, std::uint64_t second) const noexcept {
    return hash_engine::side_search(side_, first, second);
  }
  // The id of a key: found with its id, or not found (then the id is the
  // slot whose fingerprint differed, 0 for the empty index).
  Found id_with_side(std::string_view key) const noexcept;
  bool contains(std::string_view key) const noexcept;
  // Whether the fingerprint at `slot` is the low bits of `second`, for any width.
  bool fp_matches_wide(std::uint64_t slot, std::uint64_t second) const noexcept {
    return hash_engine::fp_matches(fingerprints_.bytes(), slot, bits_, second);
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
  hash_engine::lookup_batch(
      mphf(), !side_.empty(), fingerprints_.bytes(), bits_, Found{false, 0}, count, key_at,
      [&](std::string_view key) { return id_with_side(key); },
      [&](std::uint64_t slot, std::uint64_t second) { return Found{fp_at(slot, second), static_cast<std::uint32_t>(slot)}; },
      [&](std::size_t i, const Found& f) { emit(i, f.found, f.id); });
}

}  // namespace quorvale
