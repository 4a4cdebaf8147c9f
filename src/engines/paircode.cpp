#include "paircode.hpp"

#include <algorithm>
#include <bit>

#include "varint.hpp"

namespace quorvale::paircode {

namespace {

constexpr std::size_t DIM = 17;

unsigned bits(std::uint64_t v) noexcept { return static_cast<unsigned>(std::bit_width(v)); }

std::uint64_t ceil8(std::uint64_t bits) noexcept { return bits / 8 + (bits % 8 != 0); }

std::uint64_t mask_bits(unsigned w) noexcept { return w >= 64 ? ~0ULL : (std::uint64_t{1} << w) - 1; }

// An offset whose code could come out all ones at exactly its own width.
bool all_ones_form(std::uint64_t v) noexcept { return v < 0x8000 && (v & (v + 1)) == 0; }

// Varint bytes of a table pair's x or y (both at most 255).
std::uint64_t small_vlen(std::uint64_t v) noexcept { return v < 128 ? 1 : 2; }

}  // namespace

FieldCode FieldCode::make(std::uint64_t base_x, std::uint64_t base_y, std::uint32_t min_width_x,
                          std::uint32_t min_width_y, unsigned n, unsigned m, unsigned p, unsigned q) noexcept {
  FieldCode f;
  f.mask_n = static_cast<std::uint32_t>(mask_bits(n));
  f.mask_m = static_cast<std::uint32_t>(mask_bits(m));
  f.mask_p = static_cast<std::uint32_t>(mask_bits(p));
  f.mask_q = static_cast<std::uint32_t>(mask_bits(q));
  f.base_x = base_x;
  f.base_y = base_y;
  f.min_width_x = min_width_x;
  f.min_width_y = min_width_y;
  f.shift_n = 0;
  f.shift_m = static_cast<std::uint8_t>(n);
  f.shift_p = static_cast<std::uint8_t>(n + m);
  f.shift_q = static_cast<std::uint8_t>(n + m + p);
  f.header_bits = static_cast<std::uint8_t>(n + m + p + q);
  return f;
}

std::uint64_t FieldCode::header_of(const RunFit& fit) const noexcept {
  auto rel = [](std::uint64_t v, std::uint64_t base, std::uint64_t mask) -> std::uint64_t {
    return v > base ? std::min(v - base, mask) : 0;
  };
  return rel(fit.min_x, base_x, mask_n) << shift_n | rel(fit.min_y, base_y, mask_m) << shift_m |
         rel(fit.width_x, min_width_x, mask_p) << shift_p | rel(fit.width_y, min_width_y, mask_q) << shift_q;
}

std::vector<std::uint16_t> TableCode::reverse_map() const {
  std::vector<std::uint16_t> map(65536, 0xFFFF);
  for (std::size_t i = 0; i < table.size(); ++i) map[table[i]] = static_cast<std::uint16_t>(i);
  return map;
}

RunFit fit_run(Run pairs, FitTables& scratch) {
  RunFit fit;
  const std::uint64_t n = pairs.size();
  fit.entries = n;
  if (n == 0) return fit;
  std::uint64_t min_x = ~0ULL, min_y = ~0ULL;
  for (const Pair& p : pairs) {
    min_x = std::min(min_x, p.x);
    min_y = std::min(min_y, p.y);
  }
  unsigned maxbx = 0, maxby = 0;
  for (const Pair& p : pairs) {
    maxbx = std::max(maxbx, std::min(bits(p.x - min_x), 16u));
    maxby = std::max(maxby, std::min(bits(p.y - min_y), 16u));
  }
  const unsigned cx = std::min(maxbx + 1, 16u);  // rows and columns in use
  const unsigned cy = std::min(maxby + 1, 16u);
  std::uint64_t* first = scratch.t.data();
  std::uint64_t* second = first + DIM * DIM;
  std::uint64_t* fits = second + DIM * DIM;
  for (unsigned i = 0; i <= cx; ++i) {
    std::fill_n(first + i * DIM, cy + 1, 0);
    std::fill_n(second + i * DIM, cy + 1, 0);
  }
  std::uint64_t total = 0;
  for (const Pair& p : pairs) {
    const std::uint64_t ox = p.x - min_x, oy = p.y - min_y;
    const unsigned bx = std::min(bits(ox), 16u), by = std::min(bits(oy), 16u);
    const std::uint64_t v = varint::len(p.x) + varint::len(p.y);
    first[bx * DIM + by] += v;
    if (all_ones_form(ox) && all_ones_form(oy)) second[bx * DIM + by] += v;
    total += v;
  }
  const unsigned wxmax = std::min(maxbx + 1, 15u);
  const unsigned wymax = std::min(maxby + 1, 15u);
  for (unsigned wx = 0; wx <= wxmax; ++wx)
    for (unsigned wy = 0; wy <= wymax; ++wy) {
      std::uint64_t s = first[wx * DIM + wy];
      if (wx > 0) s += fits[(wx - 1) * DIM + wy];
      if (wy > 0) s += fits[wx * DIM + wy - 1];
      if (wx > 0 && wy > 0) s -= fits[(wx - 1) * DIM + wy - 1];
      fits[wx * DIM + wy] = s;
    }
  std::uint64_t best = ~0ULL;
  for (unsigned wx = 0; wx <= wxmax; ++wx)
    for (unsigned wy = 0; wy <= wymax; ++wy) {
      const std::uint64_t escaped = total - fits[wx * DIM + wy] + second[wx * DIM + wy];
      const std::uint64_t cost = ceil8(n * (wx + wy)) + escaped;
      if (cost < best) {
        best = cost;
        fit.width_x = wx;
        fit.width_y = wy;
        fit.escape_bytes = escaped;
      }
    }
  fit.min_x = min_x;
  fit.min_y = min_y;
  return fit;
}

std::optional<std::pair<Code, std::uint64_t>> Code::fields_cost(std::span<const Run> runs) {
  FitTables scratch;
  std::vector<RunFit> fits;
  for (const Run& r : runs)
    if (!r.empty()) fits.push_back(fit_run(r, scratch));
  if (fits.empty()) return std::pair{Code(), std::uint64_t{0}};
  std::uint64_t lo_x = ~0ULL, hi_x = 0, lo_y = ~0ULL, hi_y = 0;
  std::uint32_t lo_wx = 15, hi_wx = 0, lo_wy = 15, hi_wy = 0;
  for (const RunFit& f : fits) {
    lo_x = std::min(lo_x, f.min_x);
    hi_x = std::max(hi_x, f.min_x);
    lo_y = std::min(lo_y, f.min_y);
    hi_y = std::max(hi_y, f.min_y);
    lo_wx = std::min(lo_wx, f.width_x);
    hi_wx = std::max(hi_wx, f.width_x);
    lo_wy = std::min(lo_wy, f.width_y);
    hi_wy = std::max(hi_wy, f.width_y);
  }
  if (hi_x - lo_x >= (std::uint64_t{1} << 32) || hi_y - lo_y >= (std::uint64_t{1} << 32)) return std::nullopt;
  const unsigned n = bits(hi_x - lo_x), m = bits(hi_y - lo_y), p = bits(hi_wx - lo_wx), q = bits(hi_wy - lo_wy);
  if (n + m + p + q > 56) return std::nullopt;
  const std::uint64_t r = n + m + p + q;
  // Four fixed bytes are counted, not the record's five.
  std::uint64_t cost = 4 + varint::len(lo_x) + varint::len(lo_y);
  for (const RunFit& f : fits) cost += f.escape_bytes + ceil8(r + f.entries * (f.width_x + f.width_y));
  return std::pair{Code(FieldCode::make(lo_x, lo_y, lo_wx, lo_wy, n, m, p, q)), cost};
}

std::pair<Code, std::uint64_t> Code::best_table(std::span<const Run> runs) {
  std::vector<std::uint32_t> counts(65536, 0);
  std::vector<std::uint16_t> distinct;
  std::uint64_t entries = 0, unfit = 0;
  for (const Run& r : runs)
    for (const Pair& p : r) {
      ++entries;
      if (p.x > 255 || p.y > 255) {
        unfit += varint::len(p.x) + varint::len(p.y);
        continue;
      }
      const auto key = static_cast<std::uint16_t>(p.x << 8 | p.y);
      if (counts[key]++ == 0) distinct.push_back(key);
    }
  struct Gain {
    std::uint64_t gain;
    std::uint16_t key;
  };
  std::vector<Gain> gains;
  gains.reserve(distinct.size());
  std::uint64_t sum = 0;
  for (std::uint16_t k : distinct) {
    const std::uint64_t g = counts[k] * (small_vlen(k >> 8) + small_vlen(k & 0xFF));
    gains.push_back(Gain{g, k});
    sum += g;
  }
  // Gain descending, then x, then y: (x << 8) | y orders x then y.
  std::sort(gains.begin(), gains.end(),
            [](const Gain& a, const Gain& b) { return a.gain != b.gain ? a.gain > b.gain : a.key < b.key; });
  std::uint64_t best = ~0ULL;
  std::uint32_t best_e = 1;
  std::size_t best_c = 0;
  std::uint64_t prefix = 0;
  std::size_t taken = 0;
  for (std::uint32_t e = 1; e <= 10; ++e) {
    const std::size_t c = std::min<std::size_t>(gains.size(), (std::size_t{1} << e) - 1);
    while (taken < c) prefix += gains[taken++].gain;
    const std::uint64_t cost = 4 + 2 * c + ceil8(e * entries) + (sum - prefix) + unfit;
    if (cost < best) {
      best = cost;
      best_e = e;
      best_c = c;
    }
  }
  TableCode t;
  t.e = best_e;
  t.table.reserve(best_c);
  for (std::size_t i = 0; i < best_c; ++i) t.table.push_back(gains[i].key);
  return {Code(std::move(t)), best};
}

std::pair<Code, std::uint64_t> Code::choose_cost(std::span<const Run> runs) {
  const bool any = std::any_of(runs.begin(), runs.end(), [](const Run& r) { return !r.empty(); });
  if (!any) return {Code(), 0};
  auto fields = fields_cost(runs);
  auto table = best_table(runs);
  if (fields && table.second >= fields->second) return std::move(*fields);
  return table;
}

std::size_t Code::record_len() const noexcept {
  if (is_table()) return 4 + 2 * table().table.size();
  const FieldCode& f = fields();
  return 1 + varint::len(f.base_x) + varint::len(f.base_y) + 4;
}

void Code::write_to(std::vector<unsigned char>& out) const {
  if (is_table()) {
    const TableCode& t = table();
    out.push_back(1);
    out.push_back(static_cast<unsigned char>(t.e));
    out.push_back(static_cast<unsigned char>(t.table.size()));
    out.push_back(static_cast<unsigned char>(t.table.size() >> 8));
    for (std::uint16_t v : t.table) {
      out.push_back(static_cast<unsigned char>(v));
      out.push_back(static_cast<unsigned char>(v >> 8));
    }
    return;
  }
  const FieldCode& f = fields();
  out.push_back(0);
  varint::put(out, f.base_x);
  varint::put(out, f.base_y);
  out.push_back(static_cast<unsigned char>(f.min_width_x << 4 | f.min_width_y));
  out.push_back(static_cast<unsigned char>(std::popcount(f.mask_n)));
  out.push_back(static_cast<unsigned char>(std::popcount(f.mask_m)));
  out.push_back(static_cast<unsigned char>(std::popcount(f.mask_p) << 4 | std::popcount(f.mask_q)));
}

std::optional<Code::Read> Code::read(std::span<const unsigned char> bytes) {
  if (bytes.empty()) return std::nullopt;
  if (bytes[0] == 1) {
    if (bytes.size() < 4) return std::nullopt;
    const std::uint32_t e = bytes[1];
    if (e < 1 || e > 10) return std::nullopt;
    const std::size_t count = load_le16(bytes.data() + 2);
    if (count >= (std::size_t{1} << e) || bytes.size() - 4 < 2 * count) return std::nullopt;
    TableCode t;
    t.e = e;
    t.table.resize(count);
    for (std::size_t i = 0; i < count; ++i) t.table[i] = load_le16(bytes.data() + 4 + 2 * i);
    return Read{Code(std::move(t)), bytes.subspan(4 + 2 * count)};
  }
  if (bytes[0] != 0) return std::nullopt;
  auto rest = bytes.subspan(1);
  const auto bx = varint::get(rest);
  if (!bx) return std::nullopt;
  rest = rest.subspan(bx->size);
  const auto by = varint::get(rest);
  if (!by) return std::nullopt;
  rest = rest.subspan(by->size);
  if (rest.size() < 4) return std::nullopt;
  const unsigned n = rest[1], m = rest[2], p = rest[3] >> 4, q = rest[3] & 15;
  if (n > 32 || m > 32 || n + m + p + q > 56) return std::nullopt;
  Code code(FieldCode::make(bx->value, by->value, rest[0] >> 4, rest[0] & 15, n, m, p, q));
  return Read{std::move(code), rest.subspan(4)};
}

}  // namespace quorvale::paircode
