#include "inspect.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "dict_index/frame.hpp"
#include "double_array.hpp"
#include "hashed_dict.hpp"
#include "overlay.hpp"
#include "perfect_hash.hpp"

namespace quorvale::inspect {

namespace {

using kinds::Kind;

[[noreturn]] void truncated() { throw IndexError::format(MSG_TRUNCATED); }

// Size arithmetic on header values: anything that leaves 64 bits, or goes
// below zero, is a length that cannot be.
std::uint64_t sub(std::uint64_t a, std::uint64_t b) {
  if (b > a) truncated();
  return a - b;
}
std::uint64_t add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) truncated();
  return r;
}
std::uint64_t mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) truncated();
  return r;
}
std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) noexcept { return a / b + (a % b != 0); }

// A fixed header, read once and decoded in memory.
class Header {
 public:
  Header(const Window& w, std::uint64_t len) {
    if (w.len < len) truncated();
    bytes_ = w.read(0, len);
  }
  std::uint8_t u8(std::size_t at) const noexcept { return bytes_[at]; }
  std::uint16_t u16(std::size_t at) const noexcept { return load_le16(bytes_.data() + at); }
  std::uint32_t u32(std::size_t at) const noexcept { return load_le32(bytes_.data() + at); }
  std::uint64_t u64(std::size_t at) const noexcept { return load_le64(bytes_.data() + at); }

 private:
  std::vector<unsigned char> bytes_;
};

BlobInfo info_of(Kind kind, std::string format, std::uint64_t bytes) {
  BlobInfo info;
  info.kind = kind;
  info.format = std::move(format);
  info.bytes = bytes;
  return info;
}

BlobInfo mphf_image(const Window& w, std::string format) {
  BlobInfo info = info_of(Kind::Mphf, std::move(format), w.len);
  info.keys = w.u64(8);
  info.mph_bytes = w.len;
  return info;
}

BlobInfo string_index(const Window& w, std::string format) {
  BlobInfo info = info_of(Kind::StringIndex, std::move(format), w.len);
  // The transducer's footer: key count and root address, then a checksum
  // from version 3 on.
  const std::uint64_t footer = w.u64(4) > 2 ? 20 : 16;
  info.keys = w.u64(sub(w.len, footer));
  return info;
}

// The hash kinds' headers: a key count at 4, the image length and the side
// entry count at fixed places, a fingerprint width and an embedded
// dictionary's length in some. What follows the header is the image, the
// dictionary, the main region and the side table.
struct HashLayout {
  Kind kind;
  std::uint64_t header;
  std::size_t fingerprint_at;  // 0: none
  std::size_t dict_at;         // 0: none
  std::size_t mph_at;
  std::size_t side_at;
  std::uint64_t side_entry;  // bytes a side entry
  bool reports_arena;
};

constexpr HashLayout PERFECT{Kind::PerfectHashIndex, perfect_hash::FRAME.header_len, 0, 0, 12, 20, 12, true};
constexpr HashLayout COMPACT{Kind::CompactHashIndex, compact_hash::FRAME.header_len, 12, 0, 16, 24, 20, true};
constexpr HashLayout CLOSED{Kind::ClosedHashIndex, closed_hash::FRAME.header_len, 0, 0, 12, 20, 20, false};
constexpr HashLayout HASHED_DICT{Kind::HashedDictIndex, hashed_dict::FRAME.header_len, 12, 16, 24, 32, 24, true};

BlobInfo hash_kind(const Window& w, std::string format, const HashLayout& l) {
  Header h(w, l.header);
  BlobInfo info = info_of(l.kind, std::move(format), w.len);
  info.keys = h.u64(4);
  if (l.fingerprint_at) info.fingerprint_bits = h.u32(l.fingerprint_at);
  const std::uint64_t dict_len = l.dict_at ? h.u64(l.dict_at) : 0;
  info.mph_bytes = h.u64(l.mph_at);
  info.side_entries = h.u32(l.side_at);
  // The closed-hash index has nothing but its side table after the image,
  // yet the side table must fit all the same.
  const std::uint64_t arena =
      sub(sub(sub(sub(w.len, l.header), dict_len), *info.mph_bytes), mul(l.side_entry, *info.side_entries));
  if (l.reports_arena) info.arena_bytes = arena;
  return info;
}

BlobInfo double_array(const Window& w, std::string format) {
  constexpr std::uint64_t HEAD = double_array::FRAME.header_len;
  Header h(w, HEAD);
  BlobInfo info = info_of(Kind::DoubleArrayIndex, std::move(format), w.len);
  info.keys = h.u64(4);
  const std::uint64_t slots = h.u64(20);
  if (slots >= (std::uint64_t{1} << 61)) truncated();
  info.arena_bytes = 8 * slots;
  const std::uint64_t after_slots = sub(sub(w.len, HEAD), 8 * slots);
  const std::uint64_t after_codes = sub(after_slots, 2 * std::uint64_t{h.u32(28)});
  sub(after_codes, 8 * std::uint64_t{h.u32(32)});
  return info;
}

// Bytes of a packed offset array of `count` entries of `width` bits: the
// fields, 8 bytes of padding and, when sampled, one u64 per 2^shift entries.
std::uint64_t packed(std::uint64_t count, std::uint64_t width, bool sampled, unsigned shift) {
  if (count == 0) return 0;
  std::uint64_t bytes = add(ceil_div(mul(count, width), 8), 8);
  if (sampled) {
    const std::uint64_t samples = (count >> shift) + ((count & ((std::uint64_t{1} << shift) - 1)) != 0);
    if (samples >= (std::uint64_t{1} << 61)) truncated();
    bytes = add(bytes, 8 * samples);
  }
  return bytes;
}

BlobInfo dictionary(const Window& w, std::string format) {
  const char generation = format[3];
  // The retired generations' headers are known here alone.
  const std::uint64_t header_len = generation == '1' ? 48 : generation == '2' ? 56 : dict_index::FRAME.header_len;
  Header h(w, header_len);
  BlobInfo info = info_of(Kind::DictIndex, std::move(format), w.len);
  const std::uint64_t n = h.u64(4);
  const std::uint64_t block = h.u32(12);
  const std::uint64_t heads = h.u64(16);
  const std::uint64_t data = h.u64(24);
  const std::uint64_t tables = h.u32(32);
  info.keys = n;
  info.arena_bytes = add(heads, data);
  const std::uint64_t blocks = block == 0 ? 0 : ceil_div(n, block);

  std::uint64_t arrays;
  if (generation == '1') {
    arrays = mul(20, blocks);
  } else {
    const std::uint64_t head_width = h.u8(44);
    const std::uint64_t offset_width = h.u8(45);
    const unsigned shift = h.u8(46);
    const std::uint64_t micro_width = h.u8(47);
    const std::uint64_t micro = h.u16(48);
    if (shift > 31) truncated();
    std::uint64_t micros = 0;
    if (blocks != 0 && micro != 0 && micro < block) {
      const std::uint64_t full = blocks - 1;
      micros = add(mul(full, ceil_div(block, micro)), ceil_div(sub(n, mul(full, block)), micro));
    }
    arrays = add(add(packed(blocks, head_width, true, shift), packed(blocks, offset_width, true, shift)),
                 packed(micros, micro_width, generation == '2', shift));
  }
  const bool coded = generation == '3' || generation == '4';
  const std::uint64_t codes = coded ? h.u32(52) : 0;
  const std::uint64_t phrases = coded ? h.u32(58) : 0;
  const std::uint64_t chars = generation == '4' ? h.u32(62) : 0;
  rest(w.len, header_len + tables, *info.arena_bytes, codes, phrases, arrays, chars);
  return info;
}

BlobInfo overlay_v2(const Window& w, std::string format) {
  constexpr std::uint64_t HEAD = overlay::FRAME_V2.header_len;
  Header h(w, HEAD);
  const std::uint8_t tag = h.u8(4);
  const std::uint64_t base_len = h.u64(5);
  const std::uint64_t additions = h.u64(13);
  const std::uint64_t added_len = h.u64(21);
  const std::uint64_t words = h.u64(29);
  const std::uint64_t tail = sub(sub(sub(w.len, HEAD), base_len), added_len);
  if (additions >= (std::uint64_t{1} << 62) || 4 * additions > added_len) throw IndexError::format(MSG_COUNTS);
  if (words >= (std::uint64_t{1} << 61)) truncated();
  if (tail != 8 * words) throw IndexError::format(MSG_TOMBSTONES);
  const std::uint64_t retired = popcount(w, HEAD + base_len + added_len, words);
  return overlay(w, std::move(format), w.len, tag, HEAD, base_len, additions, retired);
}

// Walks the length-prefixed additions of an old overlay through a read-ahead
// buffer, so that a long list costs a few large reads rather than one read
// per addition.
class Cursor {
 public:
  Cursor(const Window& w, std::uint64_t at) : w_(w), at_(at) {}
  std::uint64_t position() const noexcept { return at_; }
  std::uint32_t u32() {
    if (at_ < buf_start_ || at_ - buf_start_ > buf_.size() || buf_.size() - (at_ - buf_start_) < 4) refill();
    const std::uint32_t v = load_le32(buf_.data() + (at_ - buf_start_));
    at_ += 4;
    return v;
  }
  void skip(std::uint64_t bytes) { at_ = add(at_, bytes); }

 private:
  static constexpr std::uint64_t CHUNK = 65536;
  void refill() {
    if (at_ > w_.len || w_.len - at_ < 4) truncated();
    buf_start_ = at_;
    buf_ = w_.read(at_, std::min(CHUNK, w_.len - at_));
  }
  const Window& w_;
  std::uint64_t at_;
  std::uint64_t buf_start_ = 0;
  std::vector<unsigned char> buf_;
};

BlobInfo overlay_v1(const Window& w, std::string format) {
  constexpr std::uint64_t HEAD = overlay::FRAME_V1.header_len;
  Header h(w, HEAD);
  const std::uint8_t tag = h.u8(4);
  const std::uint64_t base_len = h.u64(5);
  const std::uint64_t additions = h.u64(13);
  Cursor cursor(w, add(base_len, HEAD));
  for (std::uint64_t i = 0; i < additions; ++i) {
    const std::uint32_t len = cursor.u32();
    cursor.skip(len);
  }
  const std::uint64_t at = cursor.position();
  const std::uint64_t words = w.u64(at);
  if (words >= (std::uint64_t{1} << 61)) truncated();
  if (w.len - at - 8 != 8 * words) throw IndexError::format(MSG_TOMBSTONES);
  const std::uint64_t retired = popcount(w, at + 8, words);
  return overlay(w, std::move(format), w.len, tag, HEAD, base_len, additions, retired);
}

}  // namespace

std::vector<unsigned char> SliceSource::read(std::uint64_t offset, std::uint64_t len) const {
  std::uint64_t end;
  if (__builtin_add_overflow(offset, len, &end) || end > bytes_.size()) truncated();
  return std::vector<unsigned char>(bytes_.begin() + static_cast<std::ptrdiff_t>(offset),
                                    bytes_.begin() + static_cast<std::ptrdiff_t>(end));
}

FileSource::FileSource(File file) : file_(std::move(file)), size_(file_.size()) {}

std::vector<unsigned char> FileSource::read(std::uint64_t offset, std::uint64_t len) const {
  std::vector<unsigned char> out(len);
  file_.read_exact_at(out, offset);
  return out;
}

std::vector<unsigned char> Window::read(std::uint64_t offset, std::uint64_t n) const {
  std::uint64_t end;
  if (__builtin_add_overflow(offset, n, &end) || end > len) truncated();
  return source.read(start + offset, n);
}

std::uint32_t Window::u32(std::uint64_t offset) const { return load_le32(read(offset, 4).data()); }
std::uint64_t Window::u64(std::uint64_t offset) const { return load_le64(read(offset, 8).data()); }

std::uint64_t popcount(const Window& window, std::uint64_t offset, std::uint64_t words) {
  constexpr std::uint64_t CHUNK = 8192;
  std::uint64_t total = 0;
  for (std::uint64_t done = 0; done < words;) {
    const std::uint64_t n = std::min(CHUNK, words - done);
    const std::vector<unsigned char> bytes = window.read(add(offset, mul(8, done)), mul(8, n));
    for (std::uint64_t i = 0; i < n; ++i) total += static_cast<std::uint64_t>(std::popcount(load_le64(bytes.data() + 8 * i)));
    done += n;
  }
  return total;
}

std::uint64_t rest(std::uint64_t length, std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d,
                   std::uint64_t e, std::uint64_t f) {
  return sub(sub(sub(sub(sub(sub(length, a), b), c), d), e), f);
}

BlobInfo overlay(const Window& window, std::string format, std::uint64_t length, std::uint8_t base_tag,
                 std::uint64_t header_len, std::uint64_t base_len, std::uint64_t additions, std::uint64_t retired) {
  BlobInfo info = info_of(Kind::Overlay, std::move(format), length);
  OverlayInfo details;
  details.additions = additions;
  details.retired = retired;
  details.base_tag = base_tag;
  if (kinds::by_overlay_tag(base_tag)) {
    if (add(header_len, base_len) > window.len) truncated();
    const Window region{window.source, window.start + header_len, base_len};
    details.base = std::make_unique<BlobInfo>(parse(region, true));
    if (details.base->keys) {
      std::uint64_t live;
      if (__builtin_add_overflow(*details.base->keys, additions, &live) || retired > live)
        throw IndexError::format(MSG_COUNTS);
      info.keys = live - retired;
    }
  }
  info.overlay = std::move(details);
  return info;
}

BlobInfo parse(const Window& window, bool nested) {
  std::vector<unsigned char> head;
  try {
    if (window.len < 4) throw IndexError::format(MSG_NO_MAGIC);
    head = window.read(0, 4);
  } catch (const IndexError&) {
    // Whatever kept the magic from being read (an I/O error included), this
    // is not a blob we can name.
    throw IndexError::format(MSG_NO_MAGIC);
  }
  std::string format(reinterpret_cast<const char*>(head.data()), 4);
  const kinds::Entry* kind = kinds::by_magic(format);
  if (!kind) throw IndexError::format(MSG_UNKNOWN);
  // An older generation is refused with the message that names the class
  // to rebuild ("BMP1" too, which no loader names), before its header.
  if (kind->older.refusal && kind->older.has(format)) throw IndexError::format(kind->older.refusal);
  switch (kind->kind) {
    case Kind::Mphf: return mphf_image(window, std::move(format));
    case Kind::StringIndex: return string_index(window, std::move(format));
    case Kind::PerfectHashIndex: return hash_kind(window, std::move(format), PERFECT);
    case Kind::CompactHashIndex: return hash_kind(window, std::move(format), COMPACT);
    case Kind::ClosedHashIndex: return hash_kind(window, std::move(format), CLOSED);
    case Kind::HashedDictIndex: return hash_kind(window, std::move(format), HASHED_DICT);
    case Kind::DoubleArrayIndex: return double_array(window, std::move(format));
    case Kind::DictIndex: return dictionary(window, std::move(format));
    case Kind::Overlay:
      if (nested) throw IndexError::format(MSG_NESTED);
      if (overlay::FRAME_V2.has_magic(format)) return overlay_v2(window, std::move(format));
      return overlay_v1(window, std::move(format));
  }
  throw IndexError::format(MSG_UNKNOWN);
}

BlobInfo inspect_file(const std::string& path) {
  FileSource source(File::open_read(path));
  return parse(Window::whole(source), false);
}

BlobInfo inspect_bytes(std::span<const unsigned char> bytes) {
  SliceSource source(bytes);
  return parse(Window::whole(source), false);
}

}  // namespace quorvale::inspect
