// The double-array index: a character-wise trie over a set of distinct
// strings for dictionary matching. Every trie edge is one 64-bit slot word,
// found at the parent's base plus the label of the edge's character, so a
// walk costs one label lookup and one slot read a character. Ids are the
// keys' ranks in ascending byte order. Stored as the "BDA1" blob; an index in
// memory is always a checked view over such a blob (a build writes one and
// parses it back), which is what lets every walk go without a bound check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "blob.hpp"
#include "blob_frame.hpp"
#include "error.hpp"

namespace quorvale {

namespace double_array {

// "BDA1": K at 4, the empty key's id at 12, S at 20, C (u32) at 28, P (u32)
// at 32, L (u32) at 36, 12 reserved bytes at 48. The payload checksum comes
// after the header's counts and the blob's length are checked.
inline constexpr blob::Frame FRAME{
    .magic = "BDA1", .header_len = 64, .payload = blob::PayloadCheck::Deferred, .payload_at = 40};
inline constexpr std::size_t HEADER_LEN = FRAME.header_len;
inline constexpr std::uint64_t MAX_KEYS = std::uint64_t{1} << 23;
inline constexpr std::uint64_t MAX_SLOTS = std::uint64_t{1} << 23;
inline constexpr std::uint64_t MAX_CODE_TABLE = 65536;
inline constexpr std::uint64_t MAX_SUPPLEMENTARY = 1048576;
inline constexpr std::uint64_t MAX_LABEL = 65535;
// Header value of the empty-key id when the empty key is not a member.
inline constexpr std::uint64_t NO_EMPTY = UINT64_MAX;

// The slot word: label bits 0..15 (0 for an empty slot), final 16, leaf 17,
// base 18..40, id 41..63.
inline constexpr std::uint64_t LABEL_BITS = 0xffff;
inline constexpr std::uint64_t FINAL = std::uint64_t{1} << 16;
inline constexpr std::uint64_t LEAF = std::uint64_t{1} << 17;
inline constexpr unsigned BASE_SHIFT = 18;
inline constexpr unsigned ID_SHIFT = 41;
inline constexpr std::uint64_t FIELD_BITS = (std::uint64_t{1} << 23) - 1;

inline constexpr std::uint16_t label_of(std::uint64_t w) noexcept { return static_cast<std::uint16_t>(w & LABEL_BITS); }
inline constexpr std::uint64_t base_of(std::uint64_t w) noexcept { return (w >> BASE_SHIFT) & FIELD_BITS; }
inline constexpr std::uint32_t id_of(std::uint64_t w) noexcept { return static_cast<std::uint32_t>(w >> ID_SHIFT); }

inline constexpr const char* MSG_TOO_MANY_KEYS = "double-array: more than 8 388 608 keys; ids are 23 bits";
inline constexpr const char* MSG_TOO_MANY_CHARS = "double-array: more than 65 535 distinct characters; labels are 16 bits";
inline constexpr const char* MSG_TOO_MANY_SLOTS = "double-array: the trie needs more than 8 388 608 slots; bases are 23 bits";

// Whether the keys hold more than `limit` distinct keys for certain: more
// than `limit` distinct 64-bit hashes among them. False says nothing (keys
// of one hash may differ). Decided on up to `threads` workers (0: one per
// processor) without touching the order of the keys.
bool surely_more_distinct(std::span<const std::string_view> keys, std::uint64_t limit, std::size_t threads = 0);

// Whether any of the S slot words at `slots` is one no build writes, for a
// blob of K keys and largest label L (S = 0 or L < S).
bool slots_malformed(const unsigned char* slots, std::uint64_t S, std::uint64_t L, std::uint64_t K) noexcept;

// Decoding UTF-8 one code point at a time. An ill-formed sequence gives BAD
// and advances one byte, so that no read passes `end`; BAD has no label.
inline constexpr char32_t BAD = 0xffffffff;
inline char32_t next_code_point(const unsigned char*& p, const unsigned char* end) noexcept {
  const unsigned c = p[0];
  if (c < 0x80) {
    ++p;
    return c;
  }
  const std::ptrdiff_t left = end - p;
  auto cont = [](unsigned b) { return (b & 0xc0) == 0x80; };
  if (c >= 0xc2 && c < 0xe0) {
    if (left >= 2 && cont(p[1])) {
      const char32_t cp = ((c & 0x1f) << 6) | (p[1] & 0x3f);
      p += 2;
      return cp;
    }
  } else if (c >= 0xe0 && c < 0xf0) {
    if (left >= 3 && cont(p[1]) && cont(p[2])) {
      const char32_t cp = ((c & 0x0f) << 12) | ((p[1] & 0x3f) << 6) | (p[2] & 0x3f);
      if (cp >= 0x800 && (cp < 0xd800 || cp > 0xdfff)) {
        p += 3;
        return cp;
      }
    }
  } else if (c >= 0xf0 && c < 0xf5) {
    if (left >= 4 && cont(p[1]) && cont(p[2]) && cont(p[3])) {
      const char32_t cp = ((c & 0x07) << 18) | ((p[1] & 0x3f) << 12) | ((p[2] & 0x3f) << 6) | (p[3] & 0x3f);
      if (cp >= 0x10000 && cp <= 0x10ffff) {
        p += 4;
        return cp;
      }
    }
  }
  ++p;
  return BAD;
}

// A character from U+10000 up and its label.
struct Supplementary {
  std::uint32_t code_point;
  std::uint16_t label;
  bool operator==(const Supplementary&) const = default;
};

}  // namespace double_array

// A key that is a prefix of a query: its length in bytes of the query and its id.
struct PrefixMatch {
  std::size_t bytes;
  std::uint32_t id;
  bool operator==(const PrefixMatch&) const = default;
};

// A key found in a text: characters start..end-1 of the text spell it.
struct Occurrence {
  std::size_t start;
  std::size_t end;
  std::uint32_t id;
  bool operator==(const Occurrence&) const = default;
};

class DoubleArrayIndex : public blob::Stored<DoubleArrayIndex> {
 public:
  // ---- making ----

  // The keys must be distinct, valid UTF-8 and in ascending byte order (a
  // broken promise is a Panic); each key's id is its position.
  static DoubleArrayIndex build_ranked(std::span<const std::string_view> keys);
  // From valid UTF-8 keys in any order, repeats allowed: sorted bytewise, a
  // key's id its rank among the distinct keys. Too many distinct keys are
  // refused before the sort whenever their hashes already tell.
  static DoubleArrayIndex build(std::span<const std::string_view> keys);

  // Loads one "BDA1" blob, checking every field, label and slot word;
  // `verify` adds the payload checksum. from_bytes, load and load_mmap come
  // from Stored; a map is never verified (the slot walk is its check).
  static DoubleArrayIndex from_shared(blob::SharedBytes bytes, bool verify);
  static DoubleArrayIndex load_mmap_verified(const std::string& path) = delete;

  // ---- the blob ----

  const blob::SharedBytes& blob() const noexcept { return blob_; }
  std::uint64_t serialized_len() const noexcept { return blob_.size(); }
  // The blob through any byte sink.
  template <class W>
  void write_to(W& w) const {
    w.write_all(blob_.bytes());
  }
  // to_bytes and save come from Stored.

  // ---- reading ----

  std::uint64_t len() const noexcept { return key_count_; }
  bool is_empty() const noexcept { return key_count_ == 0; }
  std::uint64_t slot_count() const noexcept { return slots_.size() / 8; }
  std::span<const double_array::Supplementary> supplementary() const noexcept { return supplementary_; }

  // The label of a character, 0 when no key holds it.
  std::uint16_t label(char32_t c) const noexcept {
    return c < code_len_ ? load_le16(code_ + 2 * static_cast<std::size_t>(c)) : label_past_table(c);
  }
  std::uint16_t label_past_table(char32_t c) const noexcept;

  std::optional<std::uint32_t> id(std::string_view key) const noexcept;
  bool contains(std::string_view key) const noexcept { return id(key).has_value(); }
  // Every key that is a prefix of `query`, shortest first (the empty key first).
  void common_prefix(std::string_view query, std::vector<PrefixMatch>& out) const;
  std::optional<PrefixMatch> longest_prefix(std::string_view query) const noexcept;
  // Every occurrence of every non-empty key in `text`, in character offsets:
  // starts ascending, within a start ends ascending.
  void occurrences(std::string_view text, std::vector<Occurrence>& out) const;

 private:
  DoubleArrayIndex(blob::SharedBytes blob, blob::SharedBytes slots, blob::SharedBytes code,
                   std::vector<double_array::Supplementary> supplementary, bool has_empty, std::uint32_t empty_id,
                   std::uint64_t key_count);

  std::uint64_t slot(std::uint64_t i) const noexcept { return load_le64(slot_ + 8 * i); }
  // Walks `query` from the root, calling found(PrefixMatch) at every final slot.
  template <class F>
  void prefix_walk(std::string_view query, F&& found) const {
    const unsigned char* start = reinterpret_cast<const unsigned char*>(query.data());
    const unsigned char* p = start;
    const unsigned char* end = p + query.size();
    std::uint64_t base = 0;
    while (p != end) {
      const std::uint16_t x = label(double_array::next_code_point(p, end));
      if (x == 0) return;
      const std::uint64_t w = slot(base + x);
      if (double_array::label_of(w) != x) return;
      if (w & double_array::FINAL) found(PrefixMatch{static_cast<std::size_t>(p - start), double_array::id_of(w)});
      if (w & double_array::LEAF) return;
      base = double_array::base_of(w);
    }
  }
  // Walks the labels lab[from..] (ending at a 0) from the root, appending
  // (from, end, id) at every final slot.
  void occurrences_from(const std::uint16_t* lab, std::size_t from, std::vector<Occurrence>& out) const;

  blob::SharedBytes blob_;
  blob::SharedBytes slots_;
  blob::SharedBytes code_table_;
  const unsigned char* slot_;
  const unsigned char* code_;
  std::uint64_t code_len_;
  std::vector<double_array::Supplementary> supplementary_;
  bool has_empty_;
  std::uint32_t empty_id_;
  std::uint64_t key_count_;
};

}  // namespace quorvale
