// The closed-hash index: a string -> dense u32 map for a vocabulary known to
// be closed. It is the minimal perfect hash over the keys' first hash words
// and the exact side table of keys whose first word repeats (both as in
// compact_hash.hpp), and nothing more: a member gets its id, any other string
// some id below n (0 when the index is empty). Stored as the "BCL2" blob,
// from which a load copies the little it keeps.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "blob_frame.hpp"
#include "compact_hash/compact_hash.hpp"

namespace quorvale {

namespace closed_hash {

inline constexpr const char* MSG_TOO_MANY = "closed-hash: more than u32::MAX keys; ids are u32";
inline constexpr const char* MSG_NOT_MINIMAL = "closed-hash: construction was not minimal/perfect";
inline constexpr const char* MSG_OLD =
    "closed-hash: blob written by quorvale < 4.0, keyed on a hash this version no longer computes; the keys are not "
    "stored, so it cannot be converted - rebuild the index from its keys";
inline constexpr blob::Retired RETIRED[] = {{"BCL1", MSG_OLD}};
// "BCL2": n at 4, the image length at 12, the side count (u32) at 20. The
// payload checksum is always verified: there is no mapped load.
inline constexpr blob::Frame FRAME{.magic = "BCL2", .retired = RETIRED, .header_len = 36, .payload_at = 24};
inline constexpr std::size_t HEADER_LEN = FRAME.header_len;

// The 36-byte "BCL2" header and its checksum.
std::array<unsigned char, HEADER_LEN> header_bytes(std::uint64_t n, std::uint64_t image_len, std::uint32_t side,
                                                   std::uint64_t payload);

}  // namespace closed_hash

class ClosedHashIndex : public blob::Writable<ClosedHashIndex> {
 public:
  using SideEntry = hash_engine::SideEntry;

  // ---- building ----

  // The pairs may come in any order and repeat.
  static ClosedHashIndex build_from_pairs(std::vector<hash::HashPair> pairs);
  static ClosedHashIndex build(std::span<const std::string_view> keys);

  // The streamed build into the blob file at `path`, as the compact one
  // (compact_hash.hpp) without fingerprints: only the limits' pair budget
  // applies. The run's probe is asked once the stream has ended and between
  // the later stages; when it answers yes the build is abandoned (IndexError
  // Io Interrupted). Returns n.
  static std::uint64_t build_to_file(KeySource& keys, const std::string& path, const hash_engine::StreamRun& run = {});
  // The same over hash pairs.
  static std::uint64_t build_to_file(hash_engine::PairSource& pairs, const std::string& path,
                                     const hash_engine::StreamRun& run = {});

  // ---- reading ----

  std::uint64_t len() const noexcept { return n_; }
  bool is_empty() const noexcept { return n_ == 0; }
  std::span<const SideEntry> side() const noexcept { return side_; }
  const Mphf* mphf() const noexcept { return mph_ ? &*mph_ : nullptr; }

  // The hash's slot for a first word; 0 for the empty index.
  std::uint32_t slot_for(std::uint64_t first) const noexcept {
    return mph_ ? static_cast<std::uint32_t>(mph_->index(first)) : 0;
  }
  // The id of a key: a side hit, else the slot of its first word.
  std::uint32_t id_with_side(std::string_view key) const noexcept {
    const hash::HashPair h = hash::hash_pair(key);
    if (auto id = hash_engine::side_search(side_, h.first, h.second)) return *id;
    return slot_for(h.first);
  }
  // The same, with the side search skipped when there is no side table.
  std::uint32_t id(std::string_view key) const noexcept {
    if (side_.empty()) return slot_for(hash::hash_pair(key).first);
    return id_with_side(key);
  }

  // The ids of `count` keys (key_at(i) gives key i's bytes) into out[0..count).
  template <class KeyAt>
  void ids_into_with(std::size_t count, KeyAt&& key_at, std::uint32_t* out) const;
  template <class KeyAt>
  std::vector<std::uint32_t> ids_of_with(std::size_t count, KeyAt&& key_at) const {
    std::vector<std::uint32_t> out(count);
    ids_into_with(count, key_at, out.data());
    return out;
  }
  std::vector<std::uint32_t> ids_of(std::span<const std::string_view> keys) const {
    return ids_of_with(keys.size(), [&](std::size_t i) { return keys[i]; });
  }

  // ---- the blob ----

  using Parts = compact_hash::Parts<closed_hash::HEADER_LEN>;
  Parts serialised_parts() const;
  std::uint64_t serialized_len() const noexcept;
  // Header, image, side records through any byte sink.
  template <class W>
  void write_to(W& w) const {
    compact_hash::write_parts(w, serialised_parts(), {});
  }
  // to_bytes and save come from Writable.

  // Parses and fully verifies a blob; the index keeps no reference to it.
  static ClosedHashIndex from_bytes(std::span<const unsigned char> bytes);
  static ClosedHashIndex load(const std::string& path);

 private:
  ClosedHashIndex(std::vector<SideEntry> side, std::optional<Mphf> mph, std::uint64_t n)
      : side_(std::move(side)), mph_(std::move(mph)), n_(n) {}

  std::vector<SideEntry> side_;
  std::optional<Mphf> mph_;
  std::uint64_t n_ = 0;
};

template <class KeyAt>
void ClosedHashIndex::ids_into_with(std::size_t count, KeyAt&& key_at, std::uint32_t* out) const {
  hash_engine::lookup_batch(
      mphf(), !side_.empty(), {}, 0, std::uint32_t{0}, count, key_at,
      [&](std::string_view key) { return id_with_side(key); },
      [](std::uint64_t slot, std::uint64_t) { return static_cast<std::uint32_t>(slot); },
      [&](std::size_t i, std::uint32_t id) { out[i] = id; });
}

}  // namespace quorvale
