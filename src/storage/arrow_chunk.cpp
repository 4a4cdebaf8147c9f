#include "arrow_chunk.hpp"

#include "huge_pages.hpp"


namespace quorvale::arrow {

const char* fault_message(Fault fault) {
  switch (fault) {
    case Fault::NoOffsets: return "the column has no offsets buffer";
    case Fault::OffsetsShort: return "the column's offsets buffer is shorter than the column";
    case Fault::NotAscending: return "the column's offsets do not ascend within its data buffer";
    case Fault::NullsWithoutValidity: return "the column reports nulls but has no validity buffer";
    case Fault::ValidityShort: return "the column's validity buffer is shorter than the column";
  }
  return "";
}

OwnedBytes::OwnedBytes(std::size_t size) : p_(allocate_huge<unsigned char>(size)) {}

std::optional<Range> offsets_range(std::uint64_t offset, std::uint64_t n, bool large) noexcept {
  const std::uint64_t w = large ? 8 : 4;
  std::uint64_t start, count, length;
  if (__builtin_mul_overflow(offset, w, &start)) return std::nullopt;
  if (__builtin_add_overflow(n, 1, &count)) return std::nullopt;
  if (__builtin_mul_overflow(count, w, &length)) return std::nullopt;
  if (__builtin_add_overflow(start, length, &count)) return std::nullopt;
  return Range{start, length};
}

std::optional<Range> validity_range(std::uint64_t offset, std::uint64_t n) noexcept {
  std::uint64_t end;
  if (__builtin_add_overflow(offset, n, &end)) return std::nullopt;
  std::uint64_t first = offset / 8;
  std::uint64_t last = end / 8 + (end % 8 != 0);
  return Range{first, last - first};
}

std::optional<Range> data_range(std::int64_t first, std::int64_t last) noexcept {
  if (first < 0 || last < first) return std::nullopt;
  return Range{static_cast<std::uint64_t>(first), static_cast<std::uint64_t>(last) - static_cast<std::uint64_t>(first)};
}

std::optional<Fault> Utf8Chunk::check() const noexcept {
  if (len == 0) return std::nullopt;
  const std::size_t w = large ? 8 : 4;
  if (offsets.size() / w < len + 1) return Fault::OffsetsShort;
  if (base < 0) return Fault::NotAscending;
  // Ascending from base and the last within the data bound them all. The
  // loop only accumulates, so it runs at memory speed.
  bool descends = false;
  std::int64_t prev = base;
  const unsigned char* p = offsets.data();
  if (large) {
    for (std::uint64_t i = 0; i <= len; ++i) {
      std::int64_t o = static_cast<std::int64_t>(load_le64(p + i * 8));
      descends |= o < prev;
      prev = o;
    }
  } else {
    for (std::uint64_t i = 0; i <= len; ++i) {
      std::int64_t o = static_cast<std::int32_t>(load_le32(p + i * 4));
      descends |= o < prev;
      prev = o;
    }
  }
  // prev (the last offset) >= base here, so the difference cannot wrap.
  if (descends || static_cast<std::uint64_t>(prev) - static_cast<std::uint64_t>(base) > data.size())
    return Fault::NotAscending;
  if (has_validity) {
    std::uint64_t need = len + bit_offset;
    if (validity.size() < need / 8 + (need % 8 != 0)) return Fault::ValidityShort;
  }
  return std::nullopt;
}

}  // namespace quorvale::arrow
