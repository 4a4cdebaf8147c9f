// Ids written into a caller's buffer: which buffers qualify, in which order
// they are checked, and the messages. The binding reads the buffer's shape
// through the buffer protocol and asks here; nothing here touches Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvale::ids {

// "u32" or "u64".
const char* width_name(std::size_t width) noexcept;

// Whether a buffer format names one unsigned integer of `width` bytes in the
// machine's own byte order: a single code, optionally after a byte-order
// character that means native order ('@' and none: native sizes; '=', and
// '<' or '>'/'!' on a machine of that order: standard sizes).
bool native_unsigned_format(std::string_view format, std::size_t width) noexcept;

// What the binding learnt of a buffer (an absent format counts as "B").
struct BufferShape {
  std::string_view format;
  std::size_t itemsize;
  std::uintptr_t address;
  std::size_t bytes;
  bool readonly;
  bool c_contiguous;
};

enum class SinkFault { Incompatible, Misaligned, ReadOnly, NotContiguous, TooShort };

// The first reason, in the fixed order, why `shape` cannot take n ids.
std::optional<SinkFault> check_sink(const BufferShape& shape, std::size_t width, std::size_t n) noexcept;
// Items the buffer holds.
inline std::size_t item_count(const BufferShape& shape) noexcept {
  return shape.itemsize ? shape.bytes / shape.itemsize : 0;
}
// TooShort is a ValueError at the boundary; the others are BufferErrors.
std::string sink_message(SinkFault fault, std::size_t width, std::size_t items, std::size_t n);

}  // namespace quorvale::ids
