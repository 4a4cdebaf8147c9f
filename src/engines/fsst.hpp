// Static symbol tables in the manner of FSST: up to 255 symbols of 1 to 8
// bytes, each coded as one byte (its index), and the code 255 as an escape
// followed by one literal byte. A dictionary shard codes its key suffixes with
// one table; the table is trained from sample suffixes, stored as a record in
// the blob and turned into an `Encoder` for coding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "blob.hpp"

namespace quorvale::fsst {

using Bytes = std::span<const unsigned char>;

inline constexpr unsigned ESCAPE = 255;
inline constexpr std::size_t MAX_SYMBOLS = 255;
inline constexpr unsigned MAX_LENGTH = 8;
inline constexpr std::size_t SLOTS = 1024;

// The slot of a little-endian 8-byte window: it depends on the window's first
// three bytes only, so a symbol of 3 to 8 bytes is found with one probe.
inline constexpr unsigned slot_of(std::uint64_t w) noexcept {
  return static_cast<unsigned>(((w & 0xFFFFFF) * 0x9E3779B97F4A7C15ULL) >> 54);
}

// The next min(r, 8) bytes at s as a little-endian word, missing bytes 0.
// Near the end it overlaps two loads instead of looping over the bytes.
inline std::uint64_t window(const unsigned char* s, std::size_t r) noexcept {
  if (r >= 8) return load_le64(s);
  if (r >= 4) {
    const std::uint64_t hi = load_le32(s + r - 4);
    return load_le32(s) | ((hi >> (8 * (8 - r))) << 32);
  }
  const std::size_t m = r >> 1;
  return s[0] | static_cast<std::uint64_t>(s[m]) << (8 * m) | static_cast<std::uint64_t>(s[r - 1]) << (8 * (r - 1));
}

// One greedy step: the code to emit (ESCAPE: emit it and then the literal
// byte) and the number of input bytes it covers (1 for an escape).
struct Step {
  unsigned char code;
  unsigned char len;
};

class Table;

// The coding tables of one table; immutable once built.
class Encoder {
 public:
  // The step at s with r >= 1 bytes left. Written without branches: which
  // way a step goes depends on the data and would be mispredicted.
  Step step(const unsigned char* s, std::size_t r) const noexcept { return step_at(window(s, r), r); }
  // The same step from the window at the position (`window(s, r)`), for a
  // caller that takes steps of several tables at one position.
  Step step_at(std::uint64_t w, std::size_t r) const noexcept {
    const Slot& sl = slots_[slot_of(w)];
    const unsigned len = sl.len;
    // An empty slot has length 0, which the unsigned len - 1 < r refuses.
    const bool hit = (len - 1u < r) & ((w & sl.mask) == sl.value);
    const std::uint16_t pair = two_[w & 0xFFFF];
    const std::uint16_t single = one_[w & 0xFF];
    const std::uint16_t e = hit ? static_cast<std::uint16_t>(len << 8 | sl.code) : (r == 1 ? single : pair);
    return {static_cast<unsigned char>(e), static_cast<unsigned char>(e >> 8)};
  }

  // Codes the whole string with the greedy step from position 0, appending
  // the codes (an escape as 255 and the literal byte).
  void encode(Bytes s, std::vector<unsigned char>& out) const;
  // The same into out, which has room for 2 * s.size() bytes; returns the
  // number of code bytes written.
  std::size_t encode(Bytes s, unsigned char* out) const noexcept;

 private:
  friend class Table;
  struct Slot {
    std::uint64_t value = 0;
    std::uint64_t mask = 0;
    unsigned char code = 0;
    unsigned char len = 0;  // 0: empty
  };
  Encoder();

  std::vector<std::uint16_t> two_;  // 65,536 entries of (length << 8) | code
  std::array<std::uint16_t, 256> one_;
  std::vector<Slot> slots_;  // SLOTS of them
};

class Table {
 public:
  // Symbol i's bytes, little-endian (first byte lowest), zero above its length.
  std::vector<std::uint64_t> symbols;
  std::vector<std::uint8_t> lengths;  // 1..=8 each

  std::size_t size() const noexcept { return symbols.size(); }
  bool operator==(const Table&) const = default;

  // Parses a record: the count n, n lengths, then the symbols' bytes; nothing
  // when it is malformed or followed by any byte.
  static std::optional<Table> from_bytes(Bytes record);
  // Appends the record.
  void write_to(std::vector<unsigned char>& out) const;
  // The record's length, 1 + n + the sum of the lengths.
  std::size_t record_len() const noexcept;

  // The first min(k, n) symbols, codes unchanged.
  Table head(std::size_t k) const;
  Encoder encoder() const;

  // Trains a table of at most `max` symbols from the samples: at most four
  // rounds of counting single tokens and adjacent token pairs under the
  // current table and keeping the candidates of highest gain.
  static Table train_to(std::span<const Bytes> samples, std::size_t max);

  // Decodes symbol codes into out[0..), whole 8-byte symbols at a time, and
  // stops once at least `count` bytes are out or the codes are used up. The
  // caller gives out room for min(count + 7, 8 * codes.size()) bytes. Returns
  // the bytes produced, or nothing for a code with no symbol or an escape
  // without its literal byte.
  std::optional<std::size_t> decode(Bytes codes, unsigned char* out, std::uint64_t count) const noexcept {
    const unsigned char* c = codes.data();
    const unsigned char* const end = c + codes.size();
    const std::size_t n = symbols.size();
    const std::uint64_t* const sym = symbols.data();
    const std::uint8_t* const len = lengths.data();
    std::uint64_t at = 0;
    while (c != end && at < count) {
      const unsigned code = *c;
      if (code < n) {
        store_le64(out + at, sym[code]);
        at += len[code];
        ++c;
      } else {
        if (code != ESCAPE || end - c < 2) return std::nullopt;
        out[at++] = c[1];
        c += 2;
      }
    }
    return static_cast<std::size_t>(at);
  }
  // The same, appending to a vector.
  bool decode_into(Bytes codes, std::vector<unsigned char>& out, std::uint64_t count) const;
};

}  // namespace quorvale::fsst
