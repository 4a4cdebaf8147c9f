#include "id_buffer.hpp"

#include <bit>
#include <cstdio>

namespace quorvale::ids {

const char* width_name(std::size_t width) noexcept { return width == 4 ? "u32" : "u64"; }

namespace {

// Size of an unsigned code: native sizes after '@' or nothing, standard sizes
// after '=', '<', '>' or '!'. Zero for a code that is not an unsigned integer.
std::size_t unsigned_size(char code, bool native) noexcept {
  switch (code) {
    case 'B': return 1;
    case 'H': return native ? sizeof(unsigned short) : 2;
    case 'I': return native ? sizeof(unsigned int) : 4;
    case 'L': return native ? sizeof(unsigned long) : 4;
    case 'Q': return native ? sizeof(unsigned long long) : 8;
    case 'N': return native ? sizeof(std::size_t) : 0;
    default: return 0;
  }
}

}  // namespace

bool native_unsigned_format(std::string_view format, std::size_t width) noexcept {
  if (format.empty()) format = "B";
  bool native = true;
  if (format.size() == 2) {
    switch (format[0]) {
      case '@': break;
      case '=': native = false; break;
      case '<':
        if constexpr (std::endian::native != std::endian::little) return false;
        native = false;
        break;
      case '>':
      case '!':
        if constexpr (std::endian::native != std::endian::big) return false;
        native = false;
        break;
      default: return false;
    }
    format.remove_prefix(1);
  }
  if (format.size() != 1) return false;
  return unsigned_size(format[0], native) == width;
}

std::optional<SinkFault> check_sink(const BufferShape& shape, std::size_t width, std::size_t n) noexcept {
  if (shape.itemsize != width || !native_unsigned_format(shape.format, width)) return SinkFault::Incompatible;
  if (shape.address % width != 0) return SinkFault::Misaligned;
  if (shape.readonly) return SinkFault::ReadOnly;
  if (!shape.c_contiguous) return SinkFault::NotContiguous;
  if (item_count(shape) < n) return SinkFault::TooShort;
  return std::nullopt;
}

std::string sink_message(SinkFault fault, std::size_t width, std::size_t items, std::size_t n) {
  switch (fault) {
    case SinkFault::Incompatible: return std::string("buffer contents are not compatible with ") + width_name(width);
    case SinkFault::Misaligned: return std::string("buffer contents are insufficiently aligned for ") + width_name(width);
    case SinkFault::ReadOnly: return "out is read-only";
    case SinkFault::NotContiguous: return "out is not C-contiguous";
    case SinkFault::TooShort: {
      char buf[96];
      std::snprintf(buf, sizeof buf, "out holds %zu items but %zu keys were given", items, n);
      return buf;
    }
  }
  return "";
}

}  // namespace quorvale::ids
