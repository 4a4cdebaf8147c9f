// The run writer: one run of front-coded entries at a time, its header area
// (run fields and one code an entry) and then its data area (escape varints
// and suffix codes).
#include "dict_index/layout.hpp"
#include "dict_index/build_internal.hpp"

namespace quorvale {
namespace dict_index {

namespace {

// A little-endian bit stream into a byte vector, whole bytes out as they fill.
struct BitSink {
  std::vector<unsigned char>& out;
  std::uint64_t& bits;
  std::uint32_t& pending;

  void put(std::uint64_t value, unsigned width) {
    // Widths above 32 go in two pieces, so that pending bits and value fit
    // in the 64-bit accumulator.
    if (width > 32) {
      put(value & 0xFFFFFFFFu, 32);
      put(value >> 32, width - 32);
      return;
    }
    bits |= value << pending;
    pending += width;
    while (pending >= 8) {
      out.push_back(static_cast<unsigned char>(bits));
      bits >>= 8;
      pending -= 8;
    }
  }
  void flush() {
    if (pending == 0) return;
    out.push_back(static_cast<unsigned char>(bits));
    bits = 0;
    pending = 0;
  }
};

inline std::uint64_t ones(unsigned width) noexcept { return width >= 64 ? ~0ULL : (std::uint64_t{1} << width) - 1; }

}  // namespace

void write_run(const paircode::Code& code, const std::uint16_t* reverse, const Codec& codec, const Collected& c,
               std::span<const paircode::Pair> pairs, std::uint64_t first, Scratch& s) {
  if (pairs.empty()) return;
  std::uint64_t header_bits = 0;
  std::uint32_t header_pending = 0;
  BitSink header{s.output, header_bits, header_pending};
  BitSink data{s.data, s.bits, s.pending};

  const bool table = code.is_table();
  paircode::RunFields run;
  unsigned width;
  if (table) {
    width = code.table().e;
  } else {
    const paircode::FieldCode& f = code.fields();
    const std::uint64_t fields = f.header_of(paircode::fit_run(pairs, s.fit));
    header.put(fields, f.header_bits);
    run = f.run_fields(fields);
    width = run.width();
  }
  const std::uint64_t escape = ones(width);

  const auto* packed = std::get_if<Codec::Packed>(&codec.v);
  const std::vector<unsigned char>& coded = std::holds_alternative<Codec::Tiered>(codec.v) ? c.tiered : c.symbols;
  const std::vector<std::uint64_t>& ends =
      std::holds_alternative<Codec::Tiered>(codec.v) ? c.tiered_ends : c.symbol_ends;

  for (std::size_t k = 0; k < pairs.size(); ++k) {
    const std::uint64_t x = pairs[k].x, y = pairs[k].y;
    std::optional<std::uint64_t> entry_code;
    if (table) {
      if (x <= 255 && y <= 255 && reverse[x << 8 | y] != 0xFFFF) entry_code = reverse[x << 8 | y];
    } else {
      entry_code = paircode::field_code(run, x, y);
    }
    header.put(entry_code ? *entry_code : escape, width);
    if (!entry_code) {
      data.flush();
      varint::put(s.data, x);
      varint::put(s.data, y);
    }
    const std::uint64_t i = first + k;
    if (packed) {
      const std::uint64_t from = i == 0 ? 0 : c.raw_ends[i - 1];
      for (std::uint64_t j = from; j < c.raw_ends[i]; ++j)
        packed->alphabet.put(c.raw[j], s.bits, s.pending, s.data);
    } else {
      const std::uint64_t from = i == 0 ? 0 : ends[i - 1];
      s.data.insert(s.data.end(), coded.begin() + static_cast<std::ptrdiff_t>(from),
                    coded.begin() + static_cast<std::ptrdiff_t>(ends[i]));
    }
  }
  header.flush();
  data.flush();
  s.output.insert(s.output.end(), s.data.begin(), s.data.end());
  s.data.clear();
}

}  // namespace dict_index
}  // namespace quorvale
