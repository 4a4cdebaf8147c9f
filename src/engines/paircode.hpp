// The pair code of a dictionary shard's runs: every front-coded entry carries
// (x, y), its shared-prefix length and its suffix length in code units, and
// the code turns the pair into one fixed-width code in the run's header bits.
// A pair the code cannot express is escaped (the all-ones code) and spelled as
// two varints in the run's data area.
//
// Two variants: the table variant lists up to 2^e - 1 frequent pairs and
// codes an entry as its e-bit position in the list (table mode); the fields
// variant gives each run a small bit-packed header with its own minima and
// widths and codes an entry as its offsets from the run's minima (field mode).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "blob.hpp"

namespace quorvale::paircode {

struct Pair {
  std::uint64_t x;  // shared-prefix length
  std::uint64_t y;  // suffix length in code units
  bool operator==(const Pair&) const = default;
};

using Run = std::span<const Pair>;

// A run's own minima and code widths, as its field-mode header gives them.
struct RunFields {
  std::uint64_t min_x = 0;
  std::uint64_t min_y = 0;
  std::uint32_t width_x = 0;
  std::uint32_t width_y = 0;

  // Entry code width, width_x + width_y bits.
  std::uint32_t width() const noexcept { return width_x + width_y; }
};

// What `fit_run` chooses for one run.
struct RunFit {
  std::uint64_t min_x = 0;
  std::uint64_t min_y = 0;
  std::uint64_t escape_bytes = 0;  // varint bytes of the escaped entries
  std::uint64_t entries = 0;
  std::uint32_t width_x = 0;  // 0..=15
  std::uint32_t width_y = 0;
};

// The work tables `fit_run` reuses across runs: varint bytes by (x bits,
// y bits), the same for entries whose code would be all ones, and prefix sums.
struct FitTables {
  std::array<std::uint64_t, 3 * 17 * 17> t{};
};

// The fields variant (tag 0).
struct FieldCode {
  std::uint32_t mask_n = 0;  // bits of a run's x-minimum offset, as a mask
  std::uint32_t mask_m = 0;  // y-minimum offset
  std::uint32_t mask_p = 0;  // x-width offset
  std::uint32_t mask_q = 0;  // y-width offset
  std::uint64_t base_x = 0;
  std::uint64_t base_y = 0;
  std::uint32_t min_width_x = 0;
  std::uint32_t min_width_y = 0;
  std::uint8_t shift_n = 0;  // bit positions of the four run-header fields
  std::uint8_t shift_m = 0;
  std::uint8_t shift_p = 0;
  std::uint8_t shift_q = 0;
  std::uint8_t header_bits = 0;  // R = N + M + P + Q

  // From the four field widths; the masks are built with 64-bit shifts, as a
  // field may be 32 bits wide.
  static FieldCode make(std::uint64_t base_x, std::uint64_t base_y, std::uint32_t min_width_x,
                        std::uint32_t min_width_y, unsigned n, unsigned m, unsigned p, unsigned q) noexcept;

  // The run fields of a header word U (the run's first 8 bytes, little-endian).
  RunFields run_fields(std::uint64_t word) const noexcept {
    return RunFields{base_x + ((word >> shift_n) & mask_n), base_y + ((word >> shift_m) & mask_m),
                     min_width_x + static_cast<std::uint32_t>((word >> shift_p) & mask_p),
                     min_width_y + static_cast<std::uint32_t>((word >> shift_q) & mask_q)};
  }
  // The R header bits a writer stores for a fitted run: each field relative to
  // the code, saturating at 0 and capped at its mask. run_fields() of the
  // result gives the run's effective minima and widths.
  std::uint64_t header_of(const RunFit& fit) const noexcept;

  bool operator==(const FieldCode&) const = default;
};

// The table variant (tag 1).
struct TableCode {
  std::uint32_t e = 1;                // code width, 1..=10
  std::vector<std::uint16_t> table;   // (x << 8) | y, at most 2^e - 1 entries

  // The pair of a code, or nothing for an escape (any code not below the
  // table's length).
  std::optional<Pair> pair(std::uint64_t code) const noexcept {
    if (code >= table.size()) return std::nullopt;
    return Pair{static_cast<std::uint64_t>(table[code] >> 8), static_cast<std::uint64_t>(table[code] & 0xFF)};
  }
  // The all-ones escape code, 2^e - 1.
  std::uint64_t escape() const noexcept { return (std::uint64_t{1} << e) - 1; }
  // The writer's inverse map: 65,536 entries indexed by (x << 8) | y, the
  // pair's position or 0xFFFF where it is absent.
  std::vector<std::uint16_t> reverse_map() const;

  bool operator==(const TableCode&) const = default;
};

// The pair of a field-mode code, or nothing for the all-ones escape (with
// both widths 0 the empty code counts as all ones).
inline std::optional<Pair> field_pair(const RunFields& f, std::uint64_t code) noexcept {
  const std::uint32_t w = f.width();
  const std::uint64_t ones = w >= 64 ? ~0ULL : (std::uint64_t{1} << w) - 1;
  if (code == ones) return std::nullopt;
  return Pair{f.min_x + (code >> f.width_y), f.min_y + (code & ((std::uint64_t{1} << f.width_y) - 1))};
}

// The field-mode code of (x, y) in a run, or nothing when the entry escapes:
// x or y below its minimum or its offset too wide, or both offsets all ones.
inline std::optional<std::uint64_t> field_code(const RunFields& f, std::uint64_t x, std::uint64_t y) noexcept {
  const std::uint64_t u = x - f.min_x;
  const std::uint64_t v = y - f.min_y;
  const std::uint64_t mx = (std::uint64_t{1} << f.width_x) - 1;
  const std::uint64_t my = (std::uint64_t{1} << f.width_y) - 1;
  if (x < f.min_x || y < f.min_y || u > mx || v > my || (u == mx && v == my)) return std::nullopt;
  return (u << f.width_y) | v;
}

class Code {
 public:
  Code() = default;  // the fields variant with every field zero
  explicit Code(FieldCode f) : v_(std::move(f)) {}
  explicit Code(TableCode t) : v_(std::move(t)) {}

  bool is_table() const noexcept { return v_.index() == 1; }
  const FieldCode& fields() const { return std::get<FieldCode>(v_); }
  const TableCode& table() const { return std::get<TableCode>(v_); }

  // Chooses the code for a shard's runs and returns it with its cost in
  // bytes: the fields variant unless the best table is strictly cheaper.
  static std::pair<Code, std::uint64_t> choose_cost(std::span<const Run> runs);
  // The fields variant over the runs with its cost; nothing when it cannot
  // express them (a minimum spread of 2^32 or more, more than 56 header bits).
  static std::optional<std::pair<Code, std::uint64_t>> fields_cost(std::span<const Run> runs);
  // The best table variant over the runs with its cost.
  static std::pair<Code, std::uint64_t> best_table(std::span<const Run> runs);

  // Appends the record.
  void write_to(std::vector<unsigned char>& out) const;
  std::size_t record_len() const noexcept;

  struct Read;
  // Parses one record at the front of the bytes; nothing when it is malformed.
  static std::optional<Read> read(std::span<const unsigned char> bytes);

  bool operator==(const Code&) const = default;

 private:
  std::variant<FieldCode, TableCode> v_;
};

struct Code::Read {
  Code code;
  std::span<const unsigned char> rest;
};

// Fits one non-empty run: its minima and the code widths of least cost.
RunFit fit_run(Run pairs, FitTables& scratch);

// The bytes from min(offset, size) on, at most 8, as a little-endian word,
// zero past the end.
inline std::uint64_t tail_word(std::span<const unsigned char> bytes, std::uint64_t offset) noexcept {
  if (offset >= bytes.size()) return 0;
  const std::size_t left = bytes.size() - static_cast<std::size_t>(offset);
  const unsigned char* p = bytes.data() + offset;
  if (left >= 8) return load_le64(p);
  std::uint64_t w = 0;
  for (std::size_t i = 0; i < left; ++i) w |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return w;
}

}  // namespace quorvale::paircode
