// The perfect-hash index: an exact map from a set of distinct strings to
// dense u32 ids and back. A minimal perfect hash over each key's first hash
// gives its id; the keys are kept in id order in a StringArena so that every
// answer is confirmed by comparing bytes. Keys whose first hash repeats that
// of another key take the highest ids and are found through a small side
// table. Stored as the "BMP8" blob; built in memory or streamed in two passes
// straight into its file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arena.hpp"
#include "blob.hpp"
#include "blob_frame.hpp"
#include "error.hpp"
#include "hash.hpp"
#include "hash_engine.hpp"
#include "mphf.hpp"
#include "streamed_keys.hpp"

namespace quorvale {

namespace perfect_hash {

// Written for an absent key in packed id arrays; never an id.
inline constexpr std::uint32_t MISSING = 0xffffffffu;
inline constexpr const char* MSG_PRE_4 =
    "perfect-hash: blob written by quorvale < 4.0, keyed on a hash this version no longer computes; rebuild the "
    "index from its keys";
inline constexpr blob::Retired RETIRED[] = {{"BMP2", MSG_PRE_4}, {"BMP3", MSG_PRE_4}, {"BMP4", MSG_PRE_4},
                                            {"BMP5", MSG_PRE_4}, {"BMP6", MSG_PRE_4}, {"BMP7", MSG_PRE_4}};
// "BMP8": n at 4, the image length at 12, the side count (u32) at 20.
inline constexpr blob::Frame FRAME{.magic = "BMP8", .retired = RETIRED, .header_len = 36, .payload_at = 24};
inline constexpr std::size_t HEADER_LEN = FRAME.header_len;

inline constexpr const char* MSG_TOO_MANY = "perfect-hash: more than u32::MAX keys; ids are u32";
inline constexpr const char* MSG_TOO_LONG = "perfect-hash: a key is longer than u32::MAX bytes";
inline constexpr const char* MSG_NOT_MINIMAL = "perfect-hash: construction was not minimal/perfect";
inline constexpr const char* MSG_RAISED = "perfect-hash: the source raised before it ended";
inline constexpr const char* MSG_REPLAY = "perfect-hash: the source did not replay the same keys in the same order";
inline constexpr const char* MSG_REPEATED = "perfect-hash: build_to_file needs distinct keys and the source repeated one";
inline constexpr const char* MSG_MAY_REPEAT = "perfect-hash: the source may repeat a key";

// A side-table entry: the first hash of a key that shares it with an
// earlier key, and that key's id (one of the tail ids).
struct SideEntry {
  std::uint64_t hash;
  std::uint32_t id;
  bool operator==(const SideEntry&) const = default;
  bool operator<(const SideEntry& o) const noexcept { return hash != o.hash ? hash < o.hash : id < o.id; }
};

// The 36-byte header: magic, n, image length, side count, payload checksum,
// then the header checksum of the 32 bytes before it.
std::array<unsigned char, HEADER_LEN> header_bytes(std::uint64_t n, std::uint64_t image_len, std::uint32_t side_count,
                                                   std::uint64_t payload_checksum);

// The low byte of a key's second hash, stored per key when an index keeps tags.
inline std::uint8_t tag_of(const hash::HashPair& h) noexcept { return static_cast<std::uint8_t>(h.second); }


// The scratch file of the windowed second pass, beside the output. Removed
// (and closed) with its owner.
class Spill {
 public:
  static Spill create(const std::string& output_path);
  Spill(Spill&& o) noexcept : path_(std::move(o.path_)), file_(std::move(o.file_)) { o.path_.clear(); }
  Spill& operator=(Spill&&) = delete;
  Spill(const Spill&) = delete;
  ~Spill();
  const std::string& path() const noexcept { return path_; }
  File& file() noexcept { return file_; }

 private:
  Spill(std::string path, File file) noexcept : path_(std::move(path)), file_(std::move(file)) {}
  std::string path_;
  File file_;
};

// Checks one replayed key against what the first pass recorded at its
// position and folds its second hash into the order digest; the key's span
// in the output (the plan's span moved by `key_bytes_at`). Build error
// MSG_REPLAY when the key's first hash or length differs.
arena::Span replay_span(const StringArena::Prefix& plan, std::uint64_t expected_first_hash, std::uint32_t id,
                        std::string_view key, std::uint64_t& digest, std::uint64_t key_bytes_at);

// The order digest step: d <- (second XOR rotl(d, 5)) * PHI.
inline std::uint64_t digest_step(std::uint64_t d, std::uint64_t second) noexcept {
  return (second ^ ((d << 5) | (d >> 59))) * PHI;
}

}  // namespace perfect_hash

class PerfectHashIndex : public blob::Stored<PerfectHashIndex> {
 public:
  using SideEntry = perfect_hash::SideEntry;

  // ---- building ----

  // The in-memory build over the keys' bytes (the list is consumed): sorted,
  // deduplicated, hashed; keys whose first hash repeats go to the side table.
  static PerfectHashIndex build_with(std::vector<std::string_view> keys, bool fingerprints);
  // The same over keys it only reads: their views are not copied, so a
  // caller holding them costs the build nothing more.
  static PerfectHashIndex build_borrowed(std::span<const std::string_view> keys, bool fingerprints);
  // The same over owned strings, which are released when the build ends.
  static PerfectHashIndex build_with(std::vector<std::string> keys, bool fingerprints);
  // Without tags, over borrowed strings.
  static PerfectHashIndex build(std::span<const std::string> keys);
  static PerfectHashIndex build(std::span<const std::string_view> keys);

  // The streamed build into `path`: the factory is called once per pass
  // (twice; once when the first pass yields no key). The run's probe is
  // asked after each pass (MSG_RAISED) and by the steps between them and the
  // hash build's workers (a yes there abandons the build: IndexError Io
  // Interrupted); its window bounds the key bytes written straight into the
  // output. With `first_hashes_distinct`, a first hash met twice in the
  // first pass ends the build there with IndexError (Build) MSG_MAY_REPEAT,
  // before anything is written: a caller whose source may repeat a key can
  // then build from its distinct keys instead. Returns n.
  static std::uint64_t build_to_file(const SourceFactory& factory, const std::string& path, bool fingerprints = false,
                                     const hash_engine::StreamRun& run = {}, bool first_hashes_distinct = false);

  // ---- reading ----

  std::uint64_t len() const noexcept { return n_; }
  bool is_empty() const noexcept { return n_ == 0; }
  bool has_fingerprints() const noexcept { return arena_.has_tag_bytes(); }
  const StringArena& arena() const noexcept { return arena_; }
  std::span<const SideEntry> side() const noexcept { return side_; }
  const Mphf* mphf() const noexcept { return mphf_ ? &*mphf_ : nullptr; }

  // The key's id, or nothing for a non-member.
  std::optional<std::uint32_t> id_with_side(std::string_view key) const noexcept;
  // The id of the side key equal to `key`, searched by its first hash.
  std::optional<std::uint32_t> side_lookup(std::uint64_t first_hash, std::string_view key) const noexcept;
  bool contains(std::string_view key) const noexcept;
  // The id widened, as an overlay's base answers it.
  std::optional<std::uint64_t> base_id(std::string_view key) const noexcept;
  // A side key's id, else the raw slot of the key's first hash without any
  // comparison (0 for the empty index).
  std::uint64_t id_unchecked(std::string_view key) const noexcept;
  // The key of an id, borrowed from the index; nothing past the end or when
  // the stored bytes are not UTF-8.
  std::optional<std::string_view> key(std::uint32_t id) const noexcept;

  // The ids of `count` keys (key_at(i) gives key i's bytes) into out[0..count),
  // MISSING for a non-member. Hashes the batch, evaluates the hash for all of
  // it at once, then resolves and compares.
  template <class KeyAt>
  void ids_into_with(std::size_t count, KeyAt&& key_at, std::uint32_t* out) const;
  template <class KeyAt>
  std::vector<std::optional<std::uint32_t>> ids_of_with(std::size_t count, KeyAt&& key_at) const {
    std::vector<std::uint32_t> raw(count);
    ids_into_with(count, key_at, raw.data());
    std::vector<std::optional<std::uint32_t>> out(count);
    for (std::size_t i = 0; i < count; ++i)
      if (raw[i] != perfect_hash::MISSING) out[i] = raw[i];
    return out;
  }
  std::vector<std::optional<std::uint32_t>> ids_of(std::span<const std::string_view> keys) const {
    return ids_of_with(keys.size(), [&](std::size_t i) { return keys[i]; });
  }

  // ---- the blob ----

  struct Parts {
    std::array<unsigned char, perfect_hash::HEADER_LEN> header;
    std::vector<unsigned char> image;
    std::vector<unsigned char> side;
  };
  // Header, image and side table; the arena's bytes are taken from arena().
  Parts serialised_parts() const;
  std::uint64_t serialized_len() const noexcept;
  // The blob, piece by piece, through any byte sink (write_all).
  template <class W>
  void write_to(W& w) const {
    Parts parts = serialised_parts();
    w.write_all(parts.header);
    if (!parts.image.empty()) w.write_all(parts.image);
    w.write_all(arena_.bytes().bytes());
    if (!parts.side.empty()) w.write_all(parts.side);
  }
  // Opens a blob, keeping a view of its arena; `verify` adds the payload
  // checksum. to_bytes, save, from_bytes and the loads come from Stored.
  static PerfectHashIndex from_shared(blob::SharedBytes bytes, bool verify);

 private:
  PerfectHashIndex(StringArena arena, std::vector<SideEntry> side, std::optional<Mphf> mphf, std::uint64_t n)
      : arena_(std::move(arena)), side_(std::move(side)), mphf_(std::move(mphf)), n_(n) {}

  // Every key sorted bytewise and repeats dropped before anything else:
  // taken for inputs the hash-first build cannot index (too many items, a
  // key too long), so that they fail with the errors that order gives; what
  // is left is built hash-first.
  static PerfectHashIndex build_by_sorting(std::vector<std::string_view> keys, bool fingerprints);
  // Steps of the exact lookup up to the side table: the slot when the entry
  // there is the key, else nothing.
  std::optional<std::uint32_t> slot_match(std::string_view key, const hash::HashPair& h) const noexcept;

  StringArena arena_;
  std::vector<SideEntry> side_;
  std::optional<Mphf> mphf_;
  std::uint64_t n_;
};

// ---------------------------------------------------------------------------

inline std::optional<std::uint32_t> PerfectHashIndex::slot_match(std::string_view key,
                                                                 const hash::HashPair& h) const noexcept {
  if (!mphf_) return std::nullopt;
  const std::uint64_t slot = mphf_->index(h.first);
  if (slot >= n_) return std::nullopt;
  if (arena_.has_tag_bytes()) {
    auto t = arena_.tag_byte(slot);
    if (!t || *t != perfect_hash::tag_of(h)) return std::nullopt;
  }
  auto e = arena_.entry(slot);
  if (!e || *e != key) return std::nullopt;
  return static_cast<std::uint32_t>(slot);
}

inline std::optional<std::uint32_t> PerfectHashIndex::id_with_side(std::string_view key) const noexcept {
  const hash::HashPair h = hash::hash_pair(key);
  if (auto id = slot_match(key, h)) return id;
  return side_lookup(h.first, key);
}

inline bool PerfectHashIndex::contains(std::string_view key) const noexcept {
  if (side_.empty()) return slot_match(key, hash::hash_pair(key)).has_value();
  return id_with_side(key).has_value();
}

inline std::optional<std::uint64_t> PerfectHashIndex::base_id(std::string_view key) const noexcept {
  auto id = side_.empty() ? slot_match(key, hash::hash_pair(key)) : id_with_side(key);
  if (!id) return std::nullopt;
  return std::uint64_t{*id};
}

template <class KeyAt>
void PerfectHashIndex::ids_into_with(std::size_t count, KeyAt&& key_at, std::uint32_t* out) const {
  if (!mphf_) {
    for (std::size_t i = 0; i < count; ++i) out[i] = perfect_hash::MISSING;
    return;
  }
  const bool tags = arena_.has_tag_bytes();
  const unsigned char* bytes = arena_.bytes().data();
  const std::uint64_t end = arena_.bytes().size();
  // Per block: every key's candidate span first (an empty span with start
  // 1 > end marks "none"), then the comparisons.
  std::vector<arena::Span> cand;
  hash_engine::evaluate_blocks(
      *mphf_, count, key_at, [&](std::size_t at, std::size_t len, const std::uint64_t* second, const std::uint64_t* slots) {
        cand.resize(len);
        for (std::size_t i = 0; i < len; ++i) {
          const std::uint64_t slot = slots[i];
          const arena::Span none{1, 0};
          cand[i] = none;
          if (slot >= n_) continue;
          if (tags) {
            auto t = arena_.tag_byte(slot);
            if (!t || *t != static_cast<std::uint8_t>(second[i])) continue;
          }
          if (auto s = arena_.entry_span(slot)) cand[i] = *s;
        }
        for (std::size_t i = 0; i < len; ++i) {
          const std::string_view key(key_at(at + i));
          const arena::Span s = cand[i];
          if (s.start <= s.end && s.end <= end && s.end - s.start == key.size() &&
              (key.empty() || std::memcmp(bytes + s.start, key.data(), key.size()) == 0)) {
            out[at + i] = static_cast<std::uint32_t>(slots[i]);
          } else if (!side_.empty()) {
            auto id = side_lookup(hash::hash_pair(key).first, key);
            out[at + i] = id ? *id : perfect_hash::MISSING;
          } else {
            out[at + i] = perfect_hash::MISSING;
          }
        }
      });
}

}  // namespace quorvale
