// The hashed-dictionary index: a hash sidecar over a DictIndex that answers
// id(key) -- the key's rank in the dictionary -- at a hash index's cost. A
// minimal perfect hash over the keys' first hash words gives each key a
// slot; the slot's packed entry holds the key's rank above the low bits of
// its second hash word (the fingerprint). Keys whose first word repeats an
// earlier key's sit in an exact side table instead. With no fingerprint bits
// membership is the dictionary's own exact search and the table serves only
// the unchecked lookup.
//
// Stored as the "BHD1" blob, which embeds the dictionary's own blob whole; a
// loaded index reads its rank table and the dictionary in place (from a
// memory map too).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "blob.hpp"
#include "blob_frame.hpp"
#include "dict_index/dict_index.hpp"
#include "error.hpp"
#include "hash.hpp"
#include "hash_engine.hpp"
#include "mphf.hpp"

namespace quorvale {

namespace hashed_dict {

// "BHD1": n at 4, the fingerprint width (u32) at 12, the embedded
// dictionary's length at 16, the image length at 24, the side count (u32) at
// 32. The payload checksum leaves the dictionary out (it carries its own) and
// is checked once the lengths are known to fit.
inline constexpr blob::Frame FRAME{.magic = "BHD1",
                                   .header_len = 48,
                                   .payload = blob::PayloadCheck::Deferred,
                                   .payload_at = 36,
                                   .skip_at = 16};
inline constexpr std::size_t HEADER_LEN = FRAME.header_len;
inline constexpr std::size_t SIDE_RECORD = 24;
inline constexpr std::uint32_t MAX_FINGERPRINT_BITS = 32;
inline constexpr const char* MSG_BITS = "hashed-dict: fingerprint_bits must be in 0..=32";
inline constexpr const char* MSG_TOO_MANY = "hashed-dict: more than u32::MAX keys";
inline constexpr const char* MSG_WALK = "hashed-dict: the dictionary's walk ended before its last key";
inline constexpr const char* MSG_NOT_MINIMAL = "hashed-dict: construction was not minimal/perfect";

// A key whose first hash word repeats a lower-ranked key's.
struct SideRecord {
  std::uint64_t first;
  std::uint64_t second;
  std::uint64_t rank;
  bool operator==(const SideRecord&) const = default;
};

// The answer of a lookup; the rank means nothing when not found.
struct Found {
  bool found = false;
  std::uint64_t rank = 0;
  bool operator==(const Found&) const = default;
};

// Bits of one rank-table entry: the fingerprint above nothing, below the
// rank field of bit length(max(n, 2) - 1) bits.
inline std::uint32_t entry_bits_for(std::uint64_t n, std::uint32_t fingerprint_bits) noexcept {
  const std::uint64_t top = (n < 2 ? 2 : n) - 1;
  return fingerprint_bits + static_cast<std::uint32_t>(64 - __builtin_clzll(top));
}

// Bytes of a rank table of `slots` entries.
inline std::uint64_t table_len(std::uint64_t slots, std::uint32_t entry_bits) noexcept {
  return (slots * entry_bits + 7) / 8;
}

}  // namespace hashed_dict

class HashedDictIndex : public blob::Stored<HashedDictIndex> {
 public:
  using SideRecord = hashed_dict::SideRecord;
  using Found = hashed_dict::Found;

  // ---- building ----

  // The whole build over a shared dictionary, on one worker an online
  // processor: the dictionary is walked in rank order and every key hashed.
  static HashedDictIndex from_shared_dict(std::shared_ptr<const DictIndex> dict, std::uint32_t fingerprint_bits);
  // The same on `threads` workers (0 or 1: the calling thread).
  static HashedDictIndex from_shared_dict(std::shared_ptr<const DictIndex> dict, std::uint32_t fingerprint_bits,
                                          std::size_t threads);
  // The build's second half over the keys' hash pairs in rank order (one per
  // key of the dictionary): the minimal perfect hash, the side table, the
  // slots and the packed entries.
  static HashedDictIndex from_pairs(std::shared_ptr<const DictIndex> dict, std::vector<hash::HashPair> pairs,
                                    std::uint32_t fingerprint_bits, std::size_t threads);

  // ---- reading ----

  std::uint64_t len() const noexcept { return n_; }
  bool is_empty() const noexcept { return n_ == 0; }
  std::uint32_t fingerprint_bits() const noexcept { return bits_; }
  std::uint32_t entry_bits() const noexcept { return entry_bits_; }
  const std::shared_ptr<const DictIndex>& dict() const noexcept { return dict_; }
  const Mphf* mphf() const noexcept { return mph_ ? &*mph_ : nullptr; }
  std::span<const SideRecord> side() const noexcept { return side_; }
  const blob::SharedBytes& rank_table() const noexcept { return table_; }

  // The dictionary's exact search.
  Found exact_id(std::string_view key) const {
    const dict_index::Search s = dict_->locate_query(key);
    return {s.found, s.rank};
  }
  // The first side record holding exactly this pair.
  Found side_lookup(std::uint64_t first, std::uint64_t second) const noexcept;
  // The entry stored for a slot: one unaligned 8-byte read where it can.
  std::uint64_t entry(std::uint64_t slot) const noexcept {
    const std::uint64_t p = slot * entry_bits_;
    const std::uint64_t at = p / 8;
    if (entry_bits_ <= 57 && at < table_.size() && table_.size() - at >= 8)
      return (load_le64(table_.data() + at) >> (p % 8)) & entry_mask_;
    return value_at_the_end(slot);
  }
  // The general read of an entry; 0 for a field past the table's end.
  std::uint64_t value_at_the_end(std::uint64_t slot) const noexcept;
  // The fingerprint test of an entry against a key's second hash word.
  Found test(std::uint64_t v, std::uint64_t second) const noexcept {
    const std::uint64_t rank = v >> bits_;
    return {((v ^ second) & fp_mask_) == 0 && rank < n_, rank};
  }
  // Side table, then slot, entry and fingerprint test.
  Found id_with_side(std::string_view key) const noexcept;
  // The single lookup: exact at zero fingerprint bits.
  Found id(std::string_view key) const;
  bool contains(std::string_view key) const { return id(key).found; }
  // A rank without a membership test: a side hit, else the rank in the key's
  // slot clamped to n - 1 (0 when empty).
  std::uint64_t unchecked_with_side(std::string_view key) const noexcept;

  // Each key of a batch (key_at(i) gives key i's bytes) as emit(i, found,
  // rank), the path chosen once for the whole batch.
  template <class KeyAt, class Emit>
  void lookup_batch(std::size_t count, KeyAt&& key_at, Emit&& emit) const;
  std::vector<Found> ids_of(std::span<const std::string_view> keys) const {
    std::vector<Found> out(keys.size());
    lookup_batch(keys.size(), [&](std::size_t i) { return keys[i]; },
                 [&](std::size_t i, bool found, std::uint64_t rank) { out[i] = {found, rank}; });
    return out;
  }
  // The ranks into out[0..count), MISSING_ID for a key not found.
  template <class KeyAt>
  void ids_into_with(std::size_t count, KeyAt&& key_at, std::uint64_t* out) const {
    lookup_batch(count, key_at, [&](std::size_t i, bool found, std::uint64_t rank) {
      out[i] = found ? rank : dict_index::MISSING_ID;
    });
  }

  // ---- the blob ----

  std::uint64_t serialized_len() const noexcept;
  // Header, dictionary blob, image, rank table, side records.
  template <class W>
  void write_to(W& w) const;

  // Parses a blob, keeping views of its rank table and the dictionary's
  // sections; `verify` adds this blob's payload checksum and is handed to
  // the dictionary's loader. to_bytes, save, from_bytes and the loads come
  // from Stored.
  static HashedDictIndex from_shared(blob::SharedBytes bytes, bool verify);

 private:
  HashedDictIndex(blob::SharedBytes table, std::vector<SideRecord> side, std::optional<Mphf> mph,
                  std::shared_ptr<const DictIndex> dict, std::uint64_t n, std::uint32_t bits);

  // The header: counts, lengths, the payload checksum and its own checksum.
  std::array<unsigned char, hashed_dict::HEADER_LEN> header(std::uint64_t dict_len, std::uint64_t image_len,
                                                            std::uint64_t payload) const;
  std::vector<unsigned char> side_bytes() const;

  blob::SharedBytes table_;
  std::vector<SideRecord> side_;
  std::optional<Mphf> mph_;
  std::shared_ptr<const DictIndex> dict_;
  std::uint64_t n_ = 0;
  std::uint32_t bits_ = 0;
  std::uint32_t entry_bits_ = 1;
  std::uint64_t entry_mask_ = 1;
  std::uint64_t fp_mask_ = 0;
};

// ---------------------------------------------------------------------------

template <class KeyAt, class Emit>
void HashedDictIndex::lookup_batch(std::size_t count, KeyAt&& key_at, Emit&& emit) const {
  if (bits_ == 0) {
    // The dictionary's batched exact search, a chunk of views at a time.
    constexpr std::size_t CHUNK = 4096;
    std::vector<std::string_view> keys;
    keys.reserve(std::min(count, CHUNK));
    for (std::size_t lo = 0; lo < count; lo += CHUNK) {
      const std::size_t hi = std::min(count, lo + CHUNK);
      keys.clear();
      for (std::size_t i = lo; i < hi; ++i) keys.push_back(std::string_view(key_at(i)));
      const std::vector<std::optional<std::uint64_t>> ids = dict_->ids_of(keys);
      for (std::size_t i = lo; i < hi; ++i) emit(i, ids[i - lo].has_value(), ids[i - lo].value_or(0));
    }
    return;
  }
  // The hash evaluated a block of keys at a time; entries asked for a few
  // keys ahead of their test.
  hash_engine::lookup_batch(
      mphf(), !side_.empty(), table_.bytes(), entry_bits_, Found{}, count, key_at,
      [&](std::string_view key) { return id_with_side(key); },
      [&](std::uint64_t slot, std::uint64_t second) { return test(entry(slot), second); },
      [&](std::size_t i, const Found& f) { emit(i, f.found, f.rank); });
}

template <class W>
void HashedDictIndex::write_to(W& w) const {
  std::vector<unsigned char> image;
  if (mph_) image = mph_->to_bytes();
  const std::vector<unsigned char> side = side_bytes();
  BlockHasher hasher;
  hasher.update(image);
  hasher.update(table_.bytes());
  hasher.update(side);
  const auto head = header(dict_->serialized_len(), image.size(), hasher.finish());
  w.write_all(std::span<const unsigned char>(head));
  dict_->write_to(w);
  if (!image.empty()) w.write_all(std::span<const unsigned char>(image));
  if (!table_.empty()) w.write_all(table_.bytes());
  if (!side.empty()) w.write_all(std::span<const unsigned char>(side));
}

}  // namespace quorvale
