// The dictionary blob's framing, free of any codec: the 72-byte header, the
// quantities derived from it, the sampled offset arrays read in place, the
// escape varints of a run's data area and the head prefix. Internal to the
// dictionary unit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "blob.hpp"
#include "blob_frame.hpp"
#include "dict_index/frame.hpp"
#include "offsets.hpp"
#include "varint.hpp"

namespace quorvale {
namespace dict_index {

using ByteSpan = std::span<const unsigned char>;

inline constexpr std::uint64_t MAX_BLOCK = 1024;
inline constexpr std::uint64_t MAX_HEAD_PREFIX = 65535;

// Refusals of the loader ("format error: " is the kind's prefix).
inline constexpr const char* MSG_BAD_MAGIC = blob::MSG_BAD_MAGIC;
inline constexpr const char* MSG_HEADER_CHECKSUM = blob::MSG_HEADER_CHECKSUM;
inline constexpr const char* MSG_PAYLOAD_CHECKSUM = blob::MSG_PAYLOAD_CHECKSUM;
inline constexpr std::size_t HEADER_LEN = FRAME.header_len;
inline constexpr const char* MSG_BLOCK = "dict: block size out of range";
inline constexpr const char* MSG_WIDTHS = "dict: offset widths out of range";
inline constexpr const char* MSG_MICRO = "dict: microblock size out of range";
inline constexpr const char* MSG_SHARD = "dict: symbol-table shard out of range";
inline constexpr const char* MSG_BLOCK_COUNT = "dict: block count out of range";
inline constexpr const char* MSG_LENGTHS = "dict: the section lengths do not add up to the blob";
inline constexpr const char* MSG_TABLES = "dict: bad symbol table";
inline constexpr const char* MSG_CODES = "dict: bad header code";
inline constexpr const char* MSG_PHRASES = "dict: bad phrase dictionary";
inline constexpr const char* MSG_CHARS = "dict: bad character code";
inline constexpr const char* MSG_EMPTY_WITH_KEYS = "dict: an empty index with key bytes";
inline constexpr const char* MSG_HEAD_ORDER = "dict: head table out of order";
inline constexpr const char* MSG_HEAD_COVER = "dict: head table does not cover the head bytes";
inline constexpr const char* MSG_BLOCK_ORDER = "dict: block table out of order";
inline constexpr const char* MSG_HEAD_PREFIX = "dict: the head prefix is longer than the heads share";
inline constexpr const char* MSG_KEY_ORDER = "dict: block heads out of order";
inline constexpr const char* MSG_ROUTE_WORDS = "dict: more microblocks than the block data can hold";
// Refusals of the writers: a section whose length field is a u32.
inline constexpr const char* MSG_TABLES_TOO_LONG = "dict: the tables section is longer than u32::MAX bytes";
inline constexpr const char* MSG_CODES_TOO_LONG = "dict: the header codes section is longer than u32::MAX bytes";
inline constexpr const char* MSG_PHRASES_TOO_LONG = "dict: the phrases section is longer than u32::MAX bytes";
inline constexpr const char* MSG_CHARS_TOO_LONG = "dict: the character-code section is longer than u32::MAX bytes";

// The header's fields, as stored (nothing validated).
struct Header {
  bool chars = false;  // "BDX4": a character-code section follows the others
  std::uint64_t n = 0;
  std::uint32_t block = 0;
  std::uint64_t heads_len = 0;
  std::uint64_t block_data_len = 0;
  std::uint32_t tables_len = 0;
  std::uint64_t payload_checksum = 0;
  std::uint8_t head_ends_width = 0;
  std::uint8_t block_offsets_width = 0;
  std::uint8_t shift = 0;
  std::uint8_t micro_offsets_width = 0;
  std::uint16_t micro = 0;
  std::uint16_t shard = 0;
  std::uint32_t codes_len = 0;
  std::uint16_t head_prefix = 0;
  std::uint32_t phrases_len = 0;
  std::uint32_t chars_len = 0;  // stored as read; "BDX3" ignores it

  // The fields of a blob's first 72 bytes (at least that many).
  static Header parse(const unsigned char* p) noexcept;
  // The 72 bytes, header checksum included.
  std::array<unsigned char, HEADER_LEN> bytes() const noexcept;
};

inline std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) noexcept { return a / b + (a % b != 0); }

// Quantities derived from block, micro, shard and n (each at least 1 but n).
struct Shape {
  std::uint64_t blocks = 0;  // Y
  std::uint64_t shards = 0;  // Z
  std::uint64_t J = 0;       // microblocks in a full block
  std::uint64_t micro_count = 0;  // U

  static Shape of(std::uint64_t n, std::uint64_t block, std::uint64_t micro, std::uint64_t shard) noexcept;
  // S: codec records and header-code pairs stored (one even when empty).
  std::uint64_t stored() const noexcept { return shards == 0 ? 1 : shards; }
};

// Keys of block b of a dictionary of n keys, and its microblock count.
inline std::uint64_t block_keys(std::uint64_t n, std::uint64_t block, std::uint64_t b) noexcept {
  const std::uint64_t first = b * block;
  return n - first < block ? n - first : block;
}

// The least block data a full block of J >= 2 microblocks of `micro` keys
// takes. A run of e >= 1 entries holds, per entry, at least one bit of code
// in its header area (or, escaped, two varint bytes in its data area) and a
// suffix of at least one code unit (a bit, for the narrowest packed
// alphabet), since every entry is a key above the one it is coded against;
// both areas end on a byte: 2 * ceil(e / 8) bytes at least. A full block has
// a restart run of J - 1 entries and J - 1 full microblocks before its last,
// each a run of micro - 1 entries. One-key microblocks in a block of two or
// more are no builder's (the smallest a builder writes then hold two keys,
// whose runs take two bytes): such a block is held to two bytes a restart.
inline std::uint64_t least_block_bytes(std::uint64_t J, std::uint64_t micro) noexcept {
  const auto least_run = [](std::uint64_t e) { return 2 * ceil_div(e, 8); };
  if (micro < 2) return 2 * (J - 1);
  return least_run(J - 1) + (J - 1) * least_run(micro - 1);
}

// The most route words (8 bytes a microblock, Y·J of them) that block data
// of `data_len` bytes can stand behind: every block but the last is full,
// so Y - 1 is at most data_len / least_block_bytes; 0 when J = 1. Route
// words then cost at most about 4 bytes a byte of block data, 1 from
// microblocks of 26 keys up.
inline std::uint64_t route_word_bound(std::uint64_t J, std::uint64_t micro, std::uint64_t data_len) noexcept {
  if (J < 2) return 0;
  const unsigned __int128 most = static_cast<unsigned __int128>(J) * (1 + data_len / least_block_bytes(J, micro));
  return most > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(most);
}

// Bytes of the samples of a sampled array of y entries (a shape that
// arrays_len accepted).
inline std::uint64_t samples_len(std::uint64_t y, unsigned shift) noexcept {
  return ceil_div(y, std::uint64_t{1} << shift) * 8;
}

// Total bytes of the head ends, block offsets (samples and packed) and micro
// offsets; nothing when a product or sum overflows 64 bits.
std::optional<std::uint64_t> arrays_len(std::uint64_t y, std::uint64_t u, unsigned w44, unsigned w45, unsigned w47,
                                        unsigned shift) noexcept;

// A sampled, bit-packed ascending array read in place (views of the blob).
struct Offsets {
  blob::SharedBytes samples;
  blob::SharedBytes bits;
  std::uint32_t width = 0;
  std::uint32_t shift = 0;

  // Entry i; i below the entry count the views were cut for.
  std::uint64_t get(std::uint64_t i) const noexcept {
    return offsets::sampled_get(samples.data(), bits.data(), i, width, shift);
  }
};

// Packed fields without samples (the micro offsets).
struct Packed {
  blob::SharedBytes bits;
  std::uint32_t width = 0;

  std::uint64_t get(std::uint64_t i) const noexcept { return offsets::packed_get(bits.data(), i, width); }
  // Entries i and i + 1, from one load when the width allows it.
  std::pair<std::uint64_t, std::uint64_t> pair(std::uint64_t i) const noexcept {
    if (width < 29) {
      const std::uint64_t bit = i * width;
      const std::uint64_t word = load_le64(bits.data() + bit / 8) >> (bit % 8);
      const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
      return {word & mask, (word >> width) & mask};
    }
    return {get(i), get(i + 1)};
  }
};

// Head i's range in the heads, [end(i - 1), end(i)); empty when reversed or
// past the heads.
inline std::pair<std::uint64_t, std::uint64_t> head_range(const Offsets& ends, std::uint64_t heads_len,
                                                          std::uint64_t i) noexcept {
  const std::uint64_t start = i == 0 ? 0 : ends.get(i - 1);
  const std::uint64_t end = ends.get(i);
  if (start > end || end > heads_len) return {0, 0};
  return {start, end};
}

// Length of the prefix shared by head 0 and head Y - 1, at most 65,535.
std::uint64_t common_head(ByteSpan heads, const Offsets& head_ends, std::uint64_t y) noexcept;

// Common prefix length of two byte strings, 8 bytes at a time.
std::size_t common_prefix(ByteSpan a, ByteSpan b) noexcept;

// The 8 bytes of s from byte `at`, zero padded, big-endian.
inline std::uint64_t word_at(ByteSpan s, std::uint64_t at) noexcept {
  if (at >= s.size()) return 0;
  const std::size_t avail = s.size() - at;
  const unsigned char* p = s.data() + at;
  if (avail >= 8) return __builtin_bswap64(load_le64(p));
  // Fewer: a load from each end (they may overlap), each in its place.
  const unsigned tail = static_cast<unsigned>(64 - 8 * avail);
  if (avail >= 4) {
    const std::uint64_t a = __builtin_bswap32(load_le32(p)), b = __builtin_bswap32(load_le32(p + avail - 4));
    return a << 32 | b << tail;
  }
  if (avail >= 2) {
    const std::uint64_t a = __builtin_bswap16(load_le16(p)), b = __builtin_bswap16(load_le16(p + avail - 2));
    return a << 48 | b << tail;
  }
  return std::uint64_t{p[0]} << 56;
}

// One varint from the front of the bytes, and the bytes after it.
inline std::optional<std::pair<std::uint64_t, ByteSpan>> get_varint(ByteSpan bytes) noexcept {
  const auto r = varint::get(bytes);
  if (!r) return std::nullopt;
  return std::pair{r->value, bytes.subspan(r->size)};
}

struct Escape {
  std::uint64_t x;
  std::uint64_t y;
  std::uint64_t bit;  // bit position of the byte after the two varints
};

// An escaped entry's x and y, read at the byte boundary at or after `bit`
// of a run's data area.
inline std::optional<Escape> escaped(ByteSpan data, std::uint64_t bit) noexcept {
  std::uint64_t at = bit / 8 + (bit % 8 != 0);
  if (at < data.size() && at + 1 < data.size() && data[at] < 0x80 && data[at + 1] < 0x80)
    return Escape{data[at], data[at + 1], (at + 2) * 8};
  if (at > data.size()) return std::nullopt;
  const auto x = varint::get(data.data() + at, data.size() - at);
  if (!x) return std::nullopt;
  at += x->size;
  const auto y = varint::get(data.data() + at, data.size() - at);
  if (!y) return std::nullopt;
  return Escape{x->value, y->value, (at + y->size) * 8};
}

}  // namespace dict_index
}  // namespace quorvale
