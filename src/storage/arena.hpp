// The key arena: every key's bytes back to back behind an adaptive offset
// table (plain offsets, or groups of 16 or 256 entries with narrow ends and an
// overflow table), optionally with one tag byte per entry. The same bytes
// serve in memory and as a blob section read in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "blob.hpp"
#include "error.hpp"

namespace quorvale {
namespace arena {

inline constexpr std::uint8_t TAG_PLAIN4 = 0x04;
inline constexpr std::uint8_t TAG_PLAIN8 = 0x08;
inline constexpr std::uint8_t TAG_GROUPS16 = 0x11;
inline constexpr std::uint8_t TAG_GROUPS256 = 0x12;
inline constexpr std::uint8_t TAG_WIDE = 0x20;      // group bases and overflow values are u64
inline constexpr std::uint8_t TAG_OVERFLOW = 0x40;  // overflow table and its trailing length present
inline constexpr std::uint8_t TAG_BYTES = 0x80;     // one tag byte per entry

// Entry position relative to the first key byte.
struct Span {
  std::uint64_t start;
  std::uint64_t end;
  bool operator==(const Span&) const = default;
};

// What a tag says about the table, in a form readers can use directly.
struct Layout {
  bool plain = false;
  bool tag_bytes = false;
  bool overflow = false;
  unsigned width = 4;        // W: plain offsets, group bases, overflow values
  std::uint64_t group = 0;   // G: 16 or 256 (groups)
  unsigned group_shift = 0;  // log2 G
  unsigned end_size = 0;     // E: 1 or 2 (groups)
  std::uint64_t record = 0;  // R (groups)
  std::uint64_t overflow_entry() const noexcept { return (group + 1) * width; }
};

bool tag_is_valid(std::uint8_t tag) noexcept;
// The layout of a valid tag.
Layout layout_of(std::uint8_t tag) noexcept;
// T for n entries, or nothing when it does not fit in 64 bits.
std::optional<std::uint64_t> table_size(const Layout& layout, std::uint64_t n) noexcept;

// The encoding of an arena with these entry lengths and total.
std::uint8_t tag_for(std::span<const std::uint32_t> lengths, std::uint64_t total, bool tag_bytes);

// Writes the offset table (and tag bytes) at position 9 of `arena`, which
// holds at least 9 + T bytes; returns the overflow table followed by its u64
// length when the tag has the overflow bit, else nothing. The lengths must fit
// the tag (its width, its overflow bit), and tag_bytes holds one byte per
// entry exactly when the tag has the tag-byte bit; anything else is a broken
// invariant.
std::vector<unsigned char> write_offsets(std::span<unsigned char> arena, std::uint8_t tag,
                                         std::span<const std::uint32_t> lengths,
                                         std::span<const std::uint8_t> tag_bytes = {});

// Bytes write_offsets returns for these lengths: the overflow table and its
// length, or 0 without the overflow bit.
std::uint64_t overflow_size(const Layout& layout, std::span<const std::uint32_t> lengths) noexcept;

// The little-endian integer of width 4 or 8 at `pos`; Format errors
// "arena: offset overflow" and "arena: unexpected end of buffer".
std::uint64_t read_offset(std::span<const unsigned char> bytes, std::uint64_t pos, unsigned width);

// Entry p's span in overflow entry x of an overflowing group with this base.
template <unsigned W>
std::optional<Span> overflow_span(std::span<const unsigned char> table, std::uint64_t x, std::uint64_t group,
                                  std::uint64_t p, std::uint64_t base) noexcept {
  static_assert(W == 4 || W == 8);
  const unsigned __int128 entry = static_cast<unsigned __int128>(group + 1) * W;
  const unsigned __int128 at = static_cast<unsigned __int128>(x) * entry;
  if (p + 1 > group || at + entry > table.size()) return std::nullopt;
  const unsigned char* e = table.data() + static_cast<std::size_t>(at);
  std::uint64_t lo, hi;
  if constexpr (W == 4) {
    lo = load_le32(e + p * 4);
    hi = load_le32(e + (p + 1) * 4);
  } else {
    lo = load_le64(e + p * 8);
    hi = load_le64(e + (p + 1) * 8);
  }
  Span s;
  if (hi < lo || __builtin_add_overflow(base, lo, &s.start) || __builtin_add_overflow(base, hi, &s.end))
    return std::nullopt;
  return s;
}

// Entry i's span by the table in `bytes` (a whole arena or just its prefix),
// with the overflow table `overflow` (without its trailing length); `n` is the
// entry count (it bounds the tag bytes of the plain layout). Nothing when the
// entry cannot be read.
std::optional<Span> locate(std::span<const unsigned char> bytes, std::span<const unsigned char> overflow,
                           const Layout& layout, std::uint64_t n, std::uint64_t i) noexcept;

// Moves len bytes from src to dst inside buf (the ranges may overlap) and
// leaves buf exactly dst + len bytes long.
template <class Buf>
void move_data(Buf& buf, std::size_t src, std::size_t len, std::size_t dst) {
  if (dst > src) buf.resize(dst + len);
  if (len) std::memmove(buf.data() + dst, buf.data() + src, len);
  buf.resize(dst + len);
}

}  // namespace arena

class ArenaBuilder;

// One key arena over shared bytes: immutable, read from any number of
// threads. Entries are read in place; a view returned by entry() lives as long
// as the arena's bytes.
class StringArena {
 public:
  // Assembles an arena from `count` keys in entry order. `total` is a sizing
  // hint only. Nothing when the keys number other than count, when a key is
  // 2^32 bytes or longer, or when tag_bytes is given with another length.
  template <class Range>
  static std::optional<StringArena> assemble(Range&& keys, std::uint64_t count, std::uint64_t total,
                                             const std::vector<std::uint8_t>* tag_bytes = nullptr);

  // The arena of a whole list; with `tag_bytes` the list must be empty (the
  // empty arena of an index with tag bytes). Anything else is a broken
  // invariant.
  template <class Container>
  static StringArena build_exact(const Container& keys, bool tag_bytes);

  struct Prefix {
    std::vector<unsigned char> prefix;    // count, tag and offset table: 9 + T bytes
    std::uint64_t total = 0;              // key bytes
    std::uint8_t tag = 0;
    std::vector<unsigned char> overflow;  // overflow table and its u64 length, or empty
  };
  // Everything but the key bytes, from the lengths alone: prefix, keys,
  // overflow is the arena assemble() makes of the same keys.
  static Prefix prefix_for_lengths(std::span<const std::uint32_t> lengths,
                                   const std::vector<std::uint8_t>* tag_bytes = nullptr);
  // Entry i's span relative to the key bytes, by a prefix and overflow bytes
  // as above; (0, 0) when it cannot be read.
  static arena::Span span_at(std::span<const unsigned char> prefix, std::span<const unsigned char> overflow,
                             std::uint8_t tag, std::uint64_t i) noexcept;

  // Validates the bytes of one arena (Format errors "arena: ..."); checks take
  // constant time, interior entries are checked as they are read.
  static StringArena from_shared(blob::SharedBytes bytes);

  std::uint64_t len() const noexcept { return len_; }
  const blob::SharedBytes& bytes() const noexcept { return bytes_; }
  std::uint8_t tag() const noexcept { return tag_; }
  bool has_tag_bytes() const noexcept { return layout_.tag_bytes; }
  std::uint64_t data_start() const noexcept { return data_start_; }
  std::uint64_t data_end() const noexcept { return data_end_; }
  std::uint64_t overflow_end() const noexcept { return overflow_end_; }

  // Entry i's bytes as positions in bytes(); nothing when i >= len() or the
  // entry is damaged. Spans never reach past the key bytes.
  std::optional<arena::Span> entry_span(std::uint64_t i) const noexcept {
    if (i >= len_) return std::nullopt;
    // The load checked that the table is whole, so entry i's offsets or group
    // record lie inside the bytes; only their values need checking.
    const unsigned char* b = bytes_.data();
    const unsigned w = layout_.width;
    std::uint64_t lo, hi;
    if (layout_.plain) {
      const unsigned char* p = b + 9 + i * w;
      lo = w == 4 ? load_le32(p) : load_le64(p);
      hi = w == 4 ? load_le32(p + 4) : load_le64(p + 8);
    } else {
      const std::uint64_t g = i >> layout_.group_shift, p = i & (layout_.group - 1);
      const unsigned char* rec = b + 9 + g * layout_.record;
      const std::uint64_t base = w == 4 ? load_le32(rec) : load_le64(rec);
      const unsigned char* ends = rec + w;
      if (layout_.end_size == 1) {
        if (ends[0] != 0) return entry_span_overflowing(i);
        lo = ends[p];
        hi = ends[p + 1];
      } else {
        if (load_le16(ends) != 0) return entry_span_overflowing(i);
        lo = load_le16(ends + 2 * p);
        hi = load_le16(ends + 2 * p + 2);
      }
      if (__builtin_add_overflow(lo, base, &lo) || __builtin_add_overflow(hi, base, &hi)) return std::nullopt;
    }
    return place(lo, hi);
  }
  std::optional<std::string_view> entry(std::uint64_t i) const noexcept {
    auto s = entry_span(i);
    if (!s) return std::nullopt;
    return std::string_view(reinterpret_cast<const char*>(bytes_.data()) + s->start,
                            static_cast<std::size_t>(s->end - s->start));
  }
  // Entry i's tag byte; nothing without tag bytes, for i >= len() or when its
  // position lies outside the bytes.
  std::optional<std::uint8_t> tag_byte(std::uint64_t i) const noexcept;

 private:
  friend class ArenaBuilder;
  StringArena() = default;
  std::optional<arena::Span> entry_span_overflowing(std::uint64_t i) const noexcept;
  // A span relative to the key bytes, placed in bytes(); bounded by the key
  // bytes, not the whole arena, so a damaged table never hands out overflow
  // table bytes as a key.
  std::optional<arena::Span> place(std::uint64_t lo, std::uint64_t hi) const noexcept {
    arena::Span out;
    if (hi < lo || __builtin_add_overflow(lo, data_start_, &out.start) ||
        __builtin_add_overflow(hi, data_start_, &out.end) || out.end > data_end_)
      return std::nullopt;
    return out;
  }

  blob::SharedBytes bytes_;
  std::uint64_t len_ = 0;
  std::uint64_t data_start_ = 0;
  std::uint64_t data_end_ = 0;
  std::uint64_t overflow_end_ = 0;
  std::uint8_t tag_ = 0;
  arena::Layout layout_;
};

// Assembles an arena key by key into one buffer sized from the hints; the
// keys are copied once, and moved once more only when the guessed table size
// was wrong.
class ArenaBuilder {
 public:
  ArenaBuilder(std::uint64_t count, std::uint64_t total_hint, const std::vector<std::uint8_t>* tag_bytes);
  ArenaBuilder(const ArenaBuilder&) = delete;
  ArenaBuilder& operator=(const ArenaBuilder&) = delete;
  // False once the arena cannot be made (too many keys, a key of 2^32 bytes
  // or more, a tag list of the wrong length); later pushes are ignored.
  bool push(std::string_view key);
  std::optional<StringArena> finish();

  // A growable byte buffer backed by Pages, so large arenas start on a huge
  // page and an exact hint costs no copy at the end.
  class Buffer {
   public:
    std::size_t size() const noexcept { return len_; }
    unsigned char* data() noexcept { return pages_.data(); }
    void reserve(std::size_t n);
    void resize(std::size_t n);  // new bytes are zero
    void append(const unsigned char* p, std::size_t n);
    std::size_t capacity() const noexcept { return pages_.size(); }
    // The bytes as shared bytes; spare capacity beyond a small slack is
    // given back by one copy into an exact buffer.
    blob::SharedBytes into_shared();

   private:
    Pages<unsigned char> pages_;
    std::size_t len_ = 0;
  };

 private:
  std::uint64_t count_;
  const std::vector<std::uint8_t>* tag_bytes_;
  std::uint64_t table_guess_ = 0;
  bool ok_ = true;
  Buffer buf_;
  std::vector<std::uint32_t> lengths_;
};

// An arena whose entry lengths are all known before its keys: one buffer of
// the final size, its offset table (tag bytes, overflow table) written up
// front, so that no key is copied twice and no second buffer is ever alive
// beside it. The caller copies entry i's bytes to key_bytes() plus the sum
// of the lengths before i (from any number of threads, each entry once),
// then calls finish(). The bytes are those assemble() makes of the same keys.
class SizedArena {
 public:
  // Lengths must each fit u32 and tag_bytes (when given) hold one byte per
  // entry; anything else is a broken invariant.
  SizedArena(std::span<const std::uint32_t> lengths, const std::vector<std::uint8_t>* tag_bytes);
  SizedArena(const SizedArena&) = delete;
  SizedArena& operator=(const SizedArena&) = delete;
  unsigned char* key_bytes() noexcept { return pages_.data() + data_at_; }
  std::uint64_t total() const noexcept { return total_; }
  StringArena finish();

 private:
  Pages<unsigned char> pages_;
  std::size_t data_at_ = 0;
  std::uint64_t total_ = 0;
};

template <class Range>
std::optional<StringArena> StringArena::assemble(Range&& keys, std::uint64_t count, std::uint64_t total,
                                                 const std::vector<std::uint8_t>* tag_bytes) {
  ArenaBuilder builder(count, total, tag_bytes);
  for (auto&& key : keys) {
    if (!builder.push(std::string_view(key))) return std::nullopt;
  }
  return builder.finish();
}

template <class Container>
StringArena StringArena::build_exact(const Container& keys, bool tag_bytes) {
  std::uint64_t total = 0;
  std::uint64_t count = 0;
  for (const auto& key : keys) {
    total += std::string_view(key).size();
    ++count;
  }
  std::vector<std::uint8_t> none;
  auto arena = assemble(keys, count, total, tag_bytes ? &none : nullptr);
  if (!arena) panic("totals came from the iterator itself, one fingerprint per string, no key past u32::MAX bytes");
  return std::move(*arena);
}

}  // namespace quorvale
