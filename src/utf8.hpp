// One UTF-8 character at a time, for code that walks keys character by
// character. Keys are text by contract, but the bytes reach C++ unchecked, so
// the decoder never reads past the bytes it is given and reports anything
// that is not one well-formed character.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvale::utf8 {

struct Char {
  std::uint32_t cp;   // the code point
  std::uint32_t len;  // its bytes, 1..=4; 0 when the bytes start no well-formed character
};

// The character at the front of p[0..avail), avail >= 1. Refuses overlong
// forms, surrogates, code points above 0x10FFFF and sequences cut short.
inline Char decode(const unsigned char* p, std::size_t avail) noexcept {
  const std::uint32_t c = p[0];
  if (c < 0x80) return {c, 1};
  auto cont = [](unsigned char b) { return (b & 0xC0) == 0x80; };
  if (c < 0xC2) return {0, 0};
  if (c < 0xE0) {
    if (avail < 2 || !cont(p[1])) return {0, 0};
    return {((c & 0x1F) << 6) | (p[1] & 0x3Fu), 2};
  }
  if (c < 0xF0) {
    if (avail < 3 || !cont(p[1]) || !cont(p[2])) return {0, 0};
    if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F)) return {0, 0};
    return {((c & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu), 3};
  }
  if (c < 0xF5) {
    if (avail < 4 || !cont(p[1]) || !cont(p[2]) || !cont(p[3])) return {0, 0};
    if ((c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] > 0x8F)) return {0, 0};
    return {((c & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu), 4};
  }
  return {0, 0};
}

// Bytes of a character whose first byte is b (b not a continuation byte).
inline constexpr unsigned len_of(unsigned char b) noexcept { return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4; }

// Writes the UTF-8 form of a scalar value at out (room for 4); returns its length.
inline unsigned encode(std::uint32_t cp, unsigned char* out) noexcept {
  if (cp < 0x80) {
    out[0] = static_cast<unsigned char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
  return 4;
}

// A scalar value: not a surrogate, at most 0x10FFFF.
inline constexpr bool scalar(std::uint64_t v) noexcept { return v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF); }

}  // namespace quorvale::utf8
