// One Arrow utf8 / large_utf8 array copied out of its producer: the checks
// its buffers must pass and how an element's bytes and nullness are read.
// Nothing here touches the interpreter; the binding copies the buffers in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "blob.hpp"
#include "pages.hpp"

namespace quorvale::arrow {

// Why a column's buffers cannot be read (a ValueError at the boundary).
enum class Fault {
  NoOffsets,
  OffsetsShort,
  NotAscending,
  NullsWithoutValidity,
  ValidityShort,
};
const char* fault_message(Fault fault);

// An owned byte array, left uninitialised until filled. Big ones are
// offered huge pages: a column's copy is written once, right away, and page
// faults would otherwise cost more than the copy itself.
class OwnedBytes {
 public:
  OwnedBytes() noexcept = default;
  explicit OwnedBytes(std::size_t size);
  unsigned char* data() noexcept { return p_.data(); }
  const unsigned char* data() const noexcept { return p_.data(); }
  std::size_t size() const noexcept { return p_.size(); }

 private:
  Pages<unsigned char> p_;
};

// The i-th offset of an offsets array, a 32-bit one sign-extended.
inline std::int64_t raw_offset_at(const unsigned char* offsets, std::size_t i, bool large) noexcept {
  if (large) return static_cast<std::int64_t>(load_le64(offsets + i * 8));
  return static_cast<std::int32_t>(load_le32(offsets + i * 4));
}

// A byte range of a producer's buffer.
struct Range {
  std::uint64_t start;
  std::uint64_t length;
};

// Bytes [offset * W, offset * W + (n + 1) * W) of the offsets buffer; nothing
// when that arithmetic overflows (the buffer cannot be that long).
std::optional<Range> offsets_range(std::uint64_t offset, std::uint64_t n, bool large) noexcept;
// The validity bytes covering elements offset .. offset + n; nothing on overflow.
std::optional<Range> validity_range(std::uint64_t offset, std::uint64_t n) noexcept;
// Whether [start, start + length) lies within a buffer of `size` bytes.
inline bool range_within(std::uint64_t size, std::uint64_t start, std::uint64_t length) noexcept {
  return start <= size && length <= size - start;
}
// The data range between the first and the last offset, or NotAscending.
std::optional<Range> data_range(std::int64_t first, std::int64_t last) noexcept;

struct Utf8Chunk {
  bool large = false;
  OwnedBytes offsets;    // len + 1 offsets, 4 or 8 bytes each, little-endian
  OwnedBytes data;       // bytes from the first offset to the last
  bool has_validity = false;
  OwnedBytes validity;   // from the byte holding the first element's bit
  unsigned bit_offset = 0;
  std::int64_t base = 0;  // the first offset
  std::uint64_t len = 0;

  std::size_t size() const noexcept { return static_cast<std::size_t>(len); }
  std::int64_t offset_at(std::size_t i) const noexcept { return raw_offset_at(offsets.data(), i, large); }
  // Element i's bytes; the chunk must have passed `check`.
  std::string_view key(std::size_t i) const noexcept {
    std::int64_t a = offset_at(i) - base, b = offset_at(i + 1) - base;
    return std::string_view(reinterpret_cast<const char*>(data.data()) + a, static_cast<std::size_t>(b - a));
  }
  bool is_null(std::size_t i) const noexcept {
    if (!has_validity) return false;
    std::uint64_t bit = bit_offset + static_cast<std::uint64_t>(i);
    return ((validity.data()[bit / 8] >> (bit % 8)) & 1) == 0;
  }
  // Offsets ascending within the data, validity long enough.
  std::optional<Fault> check() const noexcept;
};

}  // namespace quorvale::arrow
