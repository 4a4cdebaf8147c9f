// UTF-8 in one place: the well-formedness check every unit that hands stored
// bytes out as text makes, the lenient decoding of the string index's walks,
// and one character at a time for code that walks keys character by
// character. Keys are text by contract, but the bytes reach C++ unchecked, so
// nothing here reads past the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace quorvale::utf8 {

// The length of the character whose first byte is `lead` (1 for ASCII, 2 to
// 4 for a lead byte), 0 for a byte no character starts with. The second
// byte's range, which rules out overlong and surrogate forms and code points
// above U+10FFFF, is [lo, hi]; later bytes take 0x80..0xBF.
struct Lead {
  unsigned len;
  unsigned char lo, hi;
};
inline constexpr Lead lead_of(unsigned char c) noexcept {
  if (c < 0x80) return {1, 0, 0};
  if (c >= 0xC2 && c <= 0xDF) return {2, 0x80, 0xBF};
  if (c == 0xE0) return {3, 0xA0, 0xBF};
  if (c == 0xED) return {3, 0x80, 0x9F};
  if (c >= 0xE1 && c <= 0xEF) return {3, 0x80, 0xBF};
  if (c == 0xF0) return {4, 0x90, 0xBF};
  if (c >= 0xF1 && c <= 0xF3) return {4, 0x80, 0xBF};
  if (c == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

inline constexpr bool is_continuation(unsigned char c) noexcept { return (c & 0xC0) == 0x80; }

// The length of the well-formed character at p[0..n), 0 when there is none
// (an ill-formed or truncated sequence).
inline std::size_t char_len(const unsigned char* p, std::size_t n) noexcept {
  if (n == 0) return 0;
  const Lead l = lead_of(p[0]);
  if (l.len <= 1) return l.len;
  if (n < l.len || p[1] < l.lo || p[1] > l.hi) return 0;
  for (unsigned k = 2; k < l.len; ++k)
    if (!is_continuation(p[k])) return 0;
  return l.len;
}

struct Char {
  std::uint32_t cp;   // the code point
  std::uint32_t len;  // its bytes, 1..=4; 0 when the bytes start no well-formed character
};

// The character at the front of p[0..avail), avail >= 1. Refuses overlong
// forms, surrogates, code points above 0x10FFFF and sequences cut short.
inline Char decode(const unsigned char* p, std::size_t avail) noexcept {
  switch (char_len(p, avail)) {
    case 1:
      return {p[0], 1};
    case 2:
      return {((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu), 2};
    case 3:
      return {((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu), 3};
    case 4:
      return {((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu), 4};
    default:
      return {0, 0};
  }
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

inline bool valid(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  while (i < n) {
    // ASCII runs, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const std::size_t len = char_len(p + i, n - i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}
inline bool valid(std::string_view s) noexcept {
  return valid(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}
inline bool valid(std::span<const unsigned char> s) noexcept { return valid(s.data(), s.size()); }

// The bytes as text, each maximal ill-formed subsequence replaced by U+FFFD
// (as Python's "replace" error handler does); valid bytes come out unchanged.
inline std::string lossy(std::span<const unsigned char> s) {
  if (valid(s)) return std::string(reinterpret_cast<const char*>(s.data()), s.size());
  std::string out;
  out.reserve(s.size() + 8);
  std::size_t i = 0;
  while (i < s.size()) {
    const std::size_t len = char_len(s.data() + i, s.size() - i);
    if (len != 0) {
      out.append(reinterpret_cast<const char*>(s.data() + i), len);
      i += len;
      continue;
    }
    // The longest prefix of a character that is still well-formed so far is
    // one ill-formed subsequence.
    const Lead l = lead_of(s[i]);
    std::size_t k = 1;
    if (l.len > 1 && i + 1 < s.size() && s[i + 1] >= l.lo && s[i + 1] <= l.hi) {
      k = 2;
      while (k < l.len && i + k < s.size() && is_continuation(s[i + k])) ++k;
    }
    out += "\xEF\xBF\xBD";
    i += k;
  }
  return out;
}

}  // namespace quorvale::utf8
