// Packed byte alphabet: a shard whose suffix bytes come from a small alphabet
// codes every byte as a fixed-width code of 1 to 8 bits. The most frequent
// bytes get a code each in the primary alphabet; when there are more distinct
// bytes than 2^w, the all-ones code E escapes into a secondary alphabet, and
// E twice spells a byte raw in ceil(8 / w) codes, low bits first. Codes are
// packed least significant bit first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace quorvale::packed {

inline constexpr std::uint16_t ABSENT = 0xFFFF;
inline constexpr std::uint16_t SECONDARY = 0x8000;

class Alphabet {
 public:
  std::vector<std::uint8_t> primary;    // code i spells primary[i]
  std::vector<std::uint8_t> secondary;  // after an escape, code j spells secondary[j]
  // By byte: i for primary code i, SECONDARY | j for secondary code j, ABSENT.
  std::array<std::uint16_t, 256> reverse{};
  std::uint32_t width = 1;  // 1..=8

  // Chooses the width and both alphabets for a byte histogram; returns the
  // alphabet with its total cost in bits, or nothing for an all-zero one.
  static std::optional<std::pair<Alphabet, std::uint64_t>> of(const std::array<std::uint64_t, 256>& histogram);

  // Parses a Packed codec record (tag 1 first); nothing when it is refused.
  static std::optional<Alphabet> from_bytes(std::span<const unsigned char> record);
  // Appends the record, tag 1 first.
  void write_to(std::vector<unsigned char>& out) const;
  std::size_t record_len() const noexcept { return 4 + primary.size() + secondary.size(); }

  // The escape code E = 2^w - 1.
  std::uint32_t escape() const noexcept { return (1u << width) - 1; }
  // Codes of a raw byte after its two escapes.
  std::uint32_t raw_codes() const noexcept { return (8 + width - 1) / width; }
  // How many codes the byte takes: 1 primary, 2 secondary, 2 + raw_codes().
  std::uint32_t units(std::uint8_t byte) const noexcept {
    const std::uint16_t r = reverse[byte];
    if (r < SECONDARY) return 1;
    if (r != ABSENT) return 2;
    return 2 + raw_codes();
  }

  // Appends one byte's codes to a bit accumulator (`pending` bits waiting in
  // `bits`), moving whole bytes out as they fill.
  void put(std::uint8_t byte, std::uint64_t& bits, std::uint32_t& pending, std::vector<unsigned char>& out) const;

  // Decodes y codes from bit `bit` of data (`size` bytes) into out, stopping
  // once min(count, y) bytes are appended. False for a code outside its
  // alphabet, a code that passes the data, or codes that end inside an escape.
  bool decode_into(const unsigned char* data, std::size_t size, std::uint64_t bit, std::uint64_t y,
                   std::vector<unsigned char>& out, std::uint64_t count) const;

  bool operator==(const Alphabet&) const = default;

 private:
  void build_reverse();
};

}  // namespace quorvale::packed
