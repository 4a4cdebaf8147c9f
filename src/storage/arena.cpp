#include "arena.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace quorvale {
namespace arena {

namespace {

using u128 = unsigned __int128;

inline std::uint64_t load_w(const unsigned char* p, unsigned width) noexcept {
  return width == 4 ? load_le32(p) : load_le64(p);
}
inline void store_w(unsigned char* p, unsigned width, std::uint64_t v) noexcept {
  if (width == 4) store_le32(p, static_cast<std::uint32_t>(v));
  else store_le64(p, v);
}
inline std::uint64_t load_e(const unsigned char* p, unsigned e) noexcept { return e == 1 ? p[0] : load_le16(p); }
inline void store_e(unsigned char* p, unsigned e, std::uint64_t v) noexcept {
  if (e == 1) p[0] = static_cast<unsigned char>(v);
  else store_le16(p, static_cast<std::uint16_t>(v));
}

}  // namespace

bool tag_is_valid(std::uint8_t tag) noexcept {
  unsigned low = tag & 0x1f;
  if (low == TAG_GROUPS16 || low == TAG_GROUPS256) return true;
  unsigned plain = tag & 0x7f;
  return plain == TAG_PLAIN4 || plain == TAG_PLAIN8;
}

Layout layout_of(std::uint8_t tag) noexcept {
  Layout l;
  l.tag_bytes = (tag & TAG_BYTES) != 0;
  unsigned low = tag & 0x1f;
  if (low == TAG_GROUPS16 || low == TAG_GROUPS256) {
    l.plain = false;
    l.overflow = (tag & TAG_OVERFLOW) != 0;
    l.width = (tag & TAG_WIDE) ? 8 : 4;
    l.group = low == TAG_GROUPS16 ? 16 : 256;
    l.group_shift = low == TAG_GROUPS16 ? 4 : 8;
    l.end_size = low == TAG_GROUPS16 ? 1 : 2;
    l.record = l.width + (l.group + 1) * l.end_size + (l.tag_bytes ? l.group : 0);
  } else {
    l.plain = true;
    l.width = low == TAG_PLAIN8 ? 8 : 4;
  }
  return l;
}

std::optional<std::uint64_t> table_size(const Layout& layout, std::uint64_t n) noexcept {
  u128 t;
  if (layout.plain) {
    t = (u128(n) + 1) * layout.width + (layout.tag_bytes ? n : 0);
  } else {
    t = ((u128(n) + layout.group - 1) / layout.group) * layout.record;
  }
  if (t > UINT64_MAX) return std::nullopt;
  return static_cast<std::uint64_t>(t);
}

std::uint8_t tag_for(std::span<const std::uint32_t> lengths, std::uint64_t total, bool tag_bytes) {
  const std::uint64_t n = lengths.size();
  const std::uint64_t w = total >= (std::uint64_t{1} << 32) ? 8 : 4;
  const std::uint8_t wide = w == 8 ? TAG_WIDE : 0;
  const std::uint8_t tags = tag_bytes ? TAG_BYTES : 0;

  auto groups_reaching = [&](std::size_t group, std::uint64_t limit) {
    std::uint64_t count = 0;
    for (std::size_t first = 0; first < lengths.size(); first += group) {
      std::size_t last = std::min(lengths.size(), first + group);
      std::uint64_t sum = 0;
      for (std::size_t k = first; k < last; ++k) sum += lengths[k];
      count += sum >= limit;
    }
    return count;
  };

  const std::uint64_t i = groups_reaching(16, 256);
  // Groups of 16 are taken without weighing costs while none overflows.
  if (i == 0) return TAG_GROUPS16 | wide | tags;

  const std::uint64_t j = groups_reaching(256, 65536);
  const std::uint64_t cost16 = (n + 15) / 16 * (w + 17 + (tag_bytes ? 16 : 0)) + 17 * w * i + 8;
  const std::uint64_t cost256 =
      (n + 255) / 256 * (w + 514 + (tag_bytes ? 256 : 0)) + (j > 0 ? 257 * w * j + 8 : 0);
  const std::uint64_t plain = (n + 1) * w + (tag_bytes ? n : 0);
  if (plain < cost16 && plain < cost256) return static_cast<std::uint8_t>(w | tags);
  if (cost256 < cost16) return TAG_GROUPS256 | (j > 0 ? TAG_OVERFLOW : 0) | wide | tags;
  return TAG_GROUPS16 | TAG_OVERFLOW | wide | tags;
}

std::uint64_t overflow_size(const Layout& l, std::span<const std::uint32_t> lengths) noexcept {
  if (l.plain || !l.overflow) return 0;
  const std::uint64_t limit = l.end_size == 1 ? 255 : 65535;
  std::uint64_t groups = 0;
  for (std::size_t first = 0; first < lengths.size(); first += l.group) {
    std::size_t last = std::min<std::size_t>(lengths.size(), first + l.group);
    std::uint64_t sum = 0;
    for (std::size_t k = first; k < last; ++k) sum += lengths[k];
    groups += sum > limit;
  }
  return groups * l.overflow_entry() + 8;
}

std::vector<unsigned char> write_offsets(std::span<unsigned char> arena, std::uint8_t tag,
                                         std::span<const std::uint32_t> lengths,
                                         std::span<const std::uint8_t> tag_bytes) {
  if (!tag_is_valid(tag)) panic("an arena is written with a valid tag");
  const Layout l = layout_of(tag);
  const std::uint64_t n = lengths.size();
  if (l.tag_bytes ? tag_bytes.size() != n : !tag_bytes.empty()) panic("an arena has one tag byte per entry");
  auto t = table_size(l, n);
  if (!t || arena.size() < 9 || arena.size() - 9 < *t) panic("the arena buffer holds its offset table");
  unsigned char* table = arena.data() + 9;
  const unsigned w = l.width;
  const std::uint64_t wide_max = w == 4 ? UINT32_MAX : UINT64_MAX;
  std::vector<unsigned char> overflow;

  if (l.plain) {
    std::uint64_t off = 0;
    store_w(table, w, 0);
    for (std::uint64_t k = 0; k < n; ++k) {
      off += lengths[k];
      if (off > wide_max) panic("arena offsets fit their width");
      store_w(table + (k + 1) * w, w, off);
    }
    if (l.tag_bytes && n) std::memcpy(table + (n + 1) * w, tag_bytes.data(), n);
    return overflow;
  }

  const std::uint64_t g_size = l.group;
  const unsigned e = l.end_size;
  const std::uint64_t ends_len = (g_size + 1) * e;
  const std::uint64_t limit = e == 1 ? 255 : 65535;
  const std::uint64_t groups = (n + g_size - 1) / g_size;
  std::uint64_t base = 0;
  std::uint64_t next_overflow = 0;
  for (std::uint64_t g = 0; g < groups; ++g) {
    unsigned char* rec = table + g * l.record;
    const std::uint64_t first = g * g_size;
    const std::uint64_t count = std::min(g_size, n - first);
    std::uint64_t sum = 0;
    for (std::uint64_t k = 0; k < count; ++k) sum += lengths[first + k];
    if (base > wide_max) panic("arena group bases fit their width");
    store_w(rec, w, base);
    unsigned char* ends = rec + w;
    if (sum <= limit) {
      std::uint64_t acc = 0;
      store_e(ends, e, 0);
      for (std::uint64_t p = 0; p < g_size; ++p) {
        if (p < count) acc += lengths[first + p];
        store_e(ends + (p + 1) * e, e, acc);
      }
    } else {
      if (!l.overflow) panic("an overflowing arena group has an overflow table");
      std::memset(ends, 0, ends_len);
      std::memset(ends, 0xff, e);
      store_w(ends + e, w, next_overflow++);
      std::size_t at = overflow.size();
      overflow.resize(at + (g_size + 1) * w);
      std::uint64_t acc = 0;
      store_w(overflow.data() + at, w, 0);
      for (std::uint64_t p = 0; p < g_size; ++p) {
        if (p < count) acc += lengths[first + p];
        if (acc > wide_max) panic("arena overflow values fit their width");
        store_w(overflow.data() + at + (p + 1) * w, w, acc);
      }
    }
    if (l.tag_bytes) {
      unsigned char* tags = ends + ends_len;
      std::memcpy(tags, tag_bytes.data() + first, count);
      std::memset(tags + count, 0, g_size - count);
    }
    base += sum;
  }
  if (l.overflow) {
    std::uint64_t len = overflow.size();
    std::size_t at = overflow.size();
    overflow.resize(at + 8);
    store_le64(overflow.data() + at, len);
  }
  return overflow;
}

std::uint64_t read_offset(std::span<const unsigned char> bytes, std::uint64_t pos, unsigned width) {
  if (width != 4 && width != 8) panic("arena offsets are 4 or 8 bytes wide");
  std::uint64_t end;
  if (__builtin_add_overflow(pos, std::uint64_t{width}, &end)) throw IndexError::format("arena: offset overflow");
  if (end > bytes.size()) throw IndexError::format("arena: unexpected end of buffer");
  return load_w(bytes.data() + pos, width);
}

std::optional<Span> locate(std::span<const unsigned char> bytes, std::span<const unsigned char> overflow,
                           const Layout& l, std::uint64_t n, std::uint64_t i) noexcept {
  const unsigned w = l.width;
  const unsigned char* b = bytes.data();
  if (l.plain) {
    const u128 at = 9 + u128(i) * w;
    if (at + 2 * w > bytes.size()) return std::nullopt;
    std::uint64_t lo = load_w(b + static_cast<std::size_t>(at), w);
    std::uint64_t hi = load_w(b + static_cast<std::size_t>(at) + w, w);
    if (l.tag_bytes && 9 + (u128(n) + 1) * w + i >= bytes.size()) return std::nullopt;
    if (hi < lo) return std::nullopt;
    return Span{lo, hi};
  }
  const std::uint64_t g = i / l.group, p = i % l.group;
  const u128 rec = 9 + u128(g) * l.record;
  if (rec + l.record > bytes.size()) return std::nullopt;
  const unsigned char* r = b + static_cast<std::size_t>(rec);
  const std::uint64_t base = load_w(r, w);
  const unsigned char* ends = r + w;
  const unsigned e = l.end_size;
  if (load_e(ends, e) == 0) {
    std::uint64_t lo = load_e(ends + p * e, e);
    std::uint64_t hi = load_e(ends + (p + 1) * e, e);
    Span s;
    if (hi < lo || __builtin_add_overflow(base, lo, &s.start) || __builtin_add_overflow(base, hi, &s.end))
      return std::nullopt;
    return s;
  }
  const std::uint64_t x = load_w(ends + e, w);
  return w == 4 ? overflow_span<4>(overflow, x, l.group, p, base) : overflow_span<8>(overflow, x, l.group, p, base);
}

}  // namespace arena

// ---- StringArena ----

using arena::Layout;
using arena::Span;

std::optional<Span> StringArena::entry_span_overflowing(std::uint64_t i) const noexcept {
  auto all = bytes_.bytes();
  auto s = arena::locate(all, all.subspan(data_end_, overflow_end_ - data_end_), layout_, len_, i);
  if (!s) return std::nullopt;
  return place(s->start, s->end);
}

std::optional<std::uint8_t> StringArena::tag_byte(std::uint64_t i) const noexcept {
  if (!layout_.tag_bytes || i >= len_) return std::nullopt;
  unsigned __int128 at;
  if (layout_.plain) {
    at = 9 + (static_cast<unsigned __int128>(len_) + 1) * layout_.width + i;
  } else {
    std::uint64_t g = i / layout_.group, p = i % layout_.group;
    at = 9 + static_cast<unsigned __int128>(g) * layout_.record + layout_.width + (layout_.group + 1) * layout_.end_size + p;
  }
  if (at >= data_start_) return std::nullopt;
  return bytes_[static_cast<std::size_t>(at)];
}

StringArena StringArena::from_shared(blob::SharedBytes bytes) {
  const std::uint64_t size = bytes.size();
  const unsigned char* b = bytes.data();
  if (size < 8) throw IndexError::format("arena: unexpected end of buffer");
  const std::uint64_t count = load_le64(b);
  if (count == 0) throw IndexError::format("arena: zero offsets (need at least 1)");
  if (size <= 8 || !arena::tag_is_valid(b[8])) throw IndexError::format("arena: unknown offset encoding");
  const std::uint8_t tag = b[8];
  const Layout l = arena::layout_of(tag);
  const std::uint64_t n = count - 1;
  auto t = arena::table_size(l, n);
  if (!t || *t > UINT64_MAX - 9) throw IndexError::format("arena: offset table too large");
  const std::uint64_t data_start = 9 + *t;
  if (size < data_start) throw IndexError::format("arena: truncated offset table");
  std::uint64_t data_end = size, overflow_end = size;
  if (l.overflow) {
    if (size - data_start < 8) throw IndexError::format("arena: truncated overflow table");
    const std::uint64_t ovf = load_le64(b + size - 8);
    if (ovf > size - 8 - data_start || ovf % l.overflow_entry() != 0)
      throw IndexError::format("arena: overflow table does not fit");
    overflow_end = size - 8;
    data_end = overflow_end - ovf;
  }
  auto all = bytes.bytes();
  auto overflow = all.subspan(data_end, overflow_end - data_end);
  if (n >= 1) {
    auto first = arena::locate(all, overflow, l, n, 0);
    if (!first) throw IndexError::format("arena: unreadable first offset");
    auto last = arena::locate(all, overflow, l, n, n - 1);
    if (!last) throw IndexError::format("arena: unreadable last offset");
    if (first->start != 0 || last->end != data_end - data_start)
      throw IndexError::format("arena: offsets do not span the data");
  } else if (data_end != data_start) {
    throw IndexError::format("arena: offsets do not span the data");
  }
  StringArena a;
  a.bytes_ = std::move(bytes);
  a.len_ = n;
  a.data_start_ = data_start;
  a.data_end_ = data_end;
  a.overflow_end_ = overflow_end;
  a.tag_ = tag;
  a.layout_ = l;
  return a;
}

StringArena::Prefix StringArena::prefix_for_lengths(std::span<const std::uint32_t> lengths,
                                                    const std::vector<std::uint8_t>* tag_bytes) {
  Prefix out;
  for (std::uint32_t len : lengths) out.total += len;
  out.tag = arena::tag_for(lengths, out.total, tag_bytes != nullptr);
  auto t = arena::table_size(arena::layout_of(out.tag), lengths.size());
  if (!t || *t > UINT64_MAX - 9 || *t > PTRDIFF_MAX - 9) panic("lengths came from a real corpus");
  out.prefix.assign(static_cast<std::size_t>(9 + *t), 0);
  store_le64(out.prefix.data(), std::uint64_t{lengths.size()} + 1);
  out.prefix[8] = out.tag;
  std::span<const std::uint8_t> tags;
  if (tag_bytes) tags = *tag_bytes;
  out.overflow = arena::write_offsets(out.prefix, out.tag, lengths, tags);
  return out;
}

Span StringArena::span_at(std::span<const unsigned char> prefix, std::span<const unsigned char> overflow,
                          std::uint8_t tag, std::uint64_t i) noexcept {
  if (!arena::tag_is_valid(tag)) return {0, 0};
  auto table = overflow.size() >= 8 ? overflow.first(overflow.size() - 8) : std::span<const unsigned char>();
  std::uint64_t count = prefix.size() >= 8 ? load_le64(prefix.data()) : 1;
  if (count == 0) count = 1;
  auto s = arena::locate(prefix, table, arena::layout_of(tag), count - 1, i);
  return s ? *s : Span{0, 0};
}

// ---- ArenaBuilder ----

void ArenaBuilder::Buffer::reserve(std::size_t n) {
  if (n <= pages_.size()) return;
  Pages<unsigned char> bigger = Pages<unsigned char>::allocate(n);
  if (len_) std::memcpy(bigger.data(), pages_.data(), len_);
  pages_ = std::move(bigger);
}

void ArenaBuilder::Buffer::resize(std::size_t n) {
  if (n > len_) {
    if (n > pages_.size()) reserve(std::max(n, pages_.size() + pages_.size() / 2));
    std::memset(pages_.data() + len_, 0, n - len_);
  }
  len_ = n;
}

void ArenaBuilder::Buffer::append(const unsigned char* p, std::size_t n) {
  if (n > pages_.size() - len_) {
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) - len_) throw std::bad_alloc();
    reserve(std::max(len_ + n, pages_.size() + pages_.size() / 2));
  }
  if (n) std::memcpy(pages_.data() + len_, p, n);
  len_ += n;
}

blob::SharedBytes ArenaBuilder::Buffer::into_shared() {
  const std::size_t len = std::exchange(len_, 0);
  if (pages_.size() - len > len / 8 + 4096) {
    // The hint was far off: keep only what is used.
    Pages<unsigned char> exact = Pages<unsigned char>::allocate(len);
    if (len) std::memcpy(exact.data(), pages_.data(), len);
    pages_ = std::move(exact);
  }
  return blob::SharedBytes::from_pages(std::move(pages_)).slice(0, len);
}

SizedArena::SizedArena(std::span<const std::uint32_t> lengths, const std::vector<std::uint8_t>* tag_bytes) {
  if (tag_bytes && tag_bytes->size() != lengths.size()) panic("an arena has one tag byte per entry");
  for (std::uint32_t len : lengths) total_ += len;
  const std::uint8_t tag = arena::tag_for(lengths, total_, tag_bytes != nullptr);
  const arena::Layout layout = arena::layout_of(tag);
  auto t = arena::table_size(layout, lengths.size());
  if (!t || *t > PTRDIFF_MAX / 4 || total_ > PTRDIFF_MAX / 4) panic("lengths came from a real corpus");
  const std::uint64_t overflow_len = arena::overflow_size(layout, lengths);
  const std::size_t table_end = static_cast<std::size_t>(9 + *t);
  data_at_ = table_end;
  pages_ = Pages<unsigned char>::allocate(static_cast<std::size_t>(table_end + total_ + overflow_len));
  std::memset(pages_.data(), 0, table_end);
  store_le64(pages_.data(), std::uint64_t{lengths.size()} + 1);
  pages_.data()[8] = tag;
  std::span<const std::uint8_t> tag_list;
  if (tag_bytes) tag_list = *tag_bytes;
  const std::vector<unsigned char> overflow =
      arena::write_offsets(std::span<unsigned char>(pages_.data(), table_end), tag, lengths, tag_list);
  if (overflow.size() != overflow_len) panic("the overflow table is the size its layout gives");
  if (!overflow.empty()) std::memcpy(pages_.data() + table_end + total_, overflow.data(), overflow.size());
}

StringArena SizedArena::finish() {
  const std::size_t len = pages_.size();
  try {
    return StringArena::from_shared(blob::SharedBytes::from_pages(std::move(pages_)).slice(0, len));
  } catch (const IndexError& e) {
    panic_with("freshly built arena is valid", e);
  }
}

ArenaBuilder::ArenaBuilder(std::uint64_t count, std::uint64_t total_hint, const std::vector<std::uint8_t>* tag_bytes)
    : count_(count), tag_bytes_(tag_bytes) {
  if (tag_bytes && tag_bytes->size() != count) {
    ok_ = false;
    return;
  }
  // Guess groups of 16 at the hinted width; most arenas keep that layout.
  const std::uint64_t w = total_hint >= (std::uint64_t{1} << 32) ? 8 : 4;
  const unsigned __int128 guess = static_cast<unsigned __int128>((count + 15) / 16) * (w + 17 + (tag_bytes ? 16 : 0));
  const unsigned __int128 room = 9 + guess + total_hint;
  if (9 + guess > PTRDIFF_MAX / 2) throw std::bad_alloc();
  table_guess_ = static_cast<std::uint64_t>(guess);
  // The total is only a hint: when its room cannot be had, grow as keys come.
  try {
    buf_.reserve(static_cast<std::size_t>(std::min<unsigned __int128>(room, PTRDIFF_MAX / 2)));
  } catch (const std::bad_alloc&) {
    buf_.reserve(static_cast<std::size_t>(9 + guess));
  }
  buf_.resize(static_cast<std::size_t>(9 + table_guess_));
  lengths_.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(count, std::uint64_t{1} << 28)));
}

bool ArenaBuilder::push(std::string_view key) {
  if (!ok_) return false;
  if (lengths_.size() == count_ || key.size() > UINT32_MAX) {
    ok_ = false;
    return false;
  }
  buf_.append(reinterpret_cast<const unsigned char*>(key.data()), key.size());
  lengths_.push_back(static_cast<std::uint32_t>(key.size()));
  return true;
}

std::optional<StringArena> ArenaBuilder::finish() {
  if (!ok_ || lengths_.size() != count_) return std::nullopt;
  const std::uint64_t data = buf_.size() - 9 - table_guess_;
  const bool tags = tag_bytes_ != nullptr;
  const std::uint8_t tag = arena::tag_for(lengths_, data, tags);
  const arena::Layout layout = arena::layout_of(tag);
  auto t = arena::table_size(layout, lengths_.size());
  if (!t || *t > PTRDIFF_MAX / 2) panic("lengths came from a real corpus");
  const std::size_t final_size = static_cast<std::size_t>(9 + *t + data + arena::overflow_size(layout, lengths_));
  if (*t != table_guess_ || final_size > buf_.capacity()) {
    if (final_size <= buf_.capacity()) {
      arena::move_data(buf_, static_cast<std::size_t>(9 + table_guess_), static_cast<std::size_t>(data),
                       static_cast<std::size_t>(9 + *t));
    } else {
      // Moving within the buffer would first grow it: copy the key bytes once
      // into a buffer of the final size instead.
      Buffer exact;
      exact.reserve(final_size);
      exact.resize(static_cast<std::size_t>(9 + *t));
      exact.append(buf_.data() + 9 + table_guess_, static_cast<std::size_t>(data));
      buf_ = std::move(exact);
    }
  }
  store_le64(buf_.data(), count_ + 1);
  buf_.data()[8] = tag;
  std::span<const std::uint8_t> tag_list;
  if (tags) tag_list = *tag_bytes_;
  std::vector<unsigned char> overflow =
      arena::write_offsets(std::span<unsigned char>(buf_.data(), buf_.size()), tag, lengths_, tag_list);
  buf_.append(overflow.data(), overflow.size());
  std::vector<std::uint32_t>().swap(lengths_);
  try {
    return StringArena::from_shared(buf_.into_shared());
  } catch (const IndexError& e) {
    panic_with("freshly built arena is valid", e);
  }
}

}  // namespace quorvale
