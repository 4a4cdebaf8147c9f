#include "packed.hpp"

#include <algorithm>

namespace quorvale::packed {

namespace {

// The w-bit code (w <= 8) at `bit` of data; the caller checks that it lies
// within the data.
unsigned code_at(const unsigned char* data, std::size_t size, std::uint64_t bit, unsigned w) noexcept {
  const std::size_t at = static_cast<std::size_t>(bit / 8);
  unsigned v = data[at];
  if (at + 1 < size) v |= static_cast<unsigned>(data[at + 1]) << 8;
  return (v >> (bit % 8)) & ((1u << w) - 1);
}

}  // namespace

void Alphabet::build_reverse() {
  reverse.fill(ABSENT);
  for (std::size_t i = 0; i < primary.size(); ++i) reverse[primary[i]] = static_cast<std::uint16_t>(i);
  for (std::size_t j = 0; j < secondary.size(); ++j)
    reverse[secondary[j]] = static_cast<std::uint16_t>(SECONDARY | j);
}

std::optional<std::pair<Alphabet, std::uint64_t>> Alphabet::of(const std::array<std::uint64_t, 256>& histogram) {
  struct Entry {
    std::uint64_t count;
    std::uint8_t byte;
  };
  std::vector<Entry> list;
  std::uint64_t total = 0;
  for (unsigned b = 0; b < 256; ++b)
    if (histogram[b] != 0) {
      list.push_back(Entry{histogram[b], static_cast<std::uint8_t>(b)});
      total += histogram[b];
    }
  if (list.empty()) return std::nullopt;
  // Count descending, then the smaller byte first.
  std::stable_sort(list.begin(), list.end(), [](const Entry& a, const Entry& b) { return a.count > b.count; });
  const std::size_t n = list.size();
  std::vector<std::uint64_t> prefix(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + list[i].count;
  auto sum = [&](std::size_t from, std::size_t to) {
    from = std::min(from, n);
    to = std::min(to, n);
    return prefix[to] - prefix[from];
  };

  std::uint64_t best = ~0ULL;
  std::uint32_t best_w = 0;
  for (std::uint32_t w = 1; w <= 8; ++w) {
    const std::size_t p = std::size_t{1} << w;
    std::uint64_t bits;
    if (n <= p) {
      bits = w * total;
    } else {
      const std::uint64_t raw = (8 + w - 1) / w;
      bits = w * sum(0, p - 1) + 2 * w * sum(p - 1, 2 * (p - 1)) + (2 * w + w * raw) * sum(2 * (p - 1), n);
    }
    if (bits < best) {
      best = bits;
      best_w = w;
    }
  }

  Alphabet a;
  a.width = best_w;
  const std::size_t p = std::size_t{1} << best_w;
  const std::size_t prim = n <= p ? n : p - 1;
  const std::size_t sec_end = n <= p ? n : std::min(n, 2 * (p - 1));
  for (std::size_t i = 0; i < prim; ++i) a.primary.push_back(list[i].byte);
  for (std::size_t i = prim; i < sec_end; ++i) a.secondary.push_back(list[i].byte);
  a.build_reverse();
  return std::pair{std::move(a), best};
}

std::optional<Alphabet> Alphabet::from_bytes(std::span<const unsigned char> record) {
  if (record.size() < 4 || record[0] != 1) return std::nullopt;
  const std::uint32_t w = record[1];
  if (w < 1 || w > 8) return std::nullopt;
  const std::size_t a = std::size_t{record[2]} + 1;
  const std::size_t s = record[3];
  if (record.size() != 4 + a + s) return std::nullopt;
  if (a > (std::size_t{1} << w) || s > (std::size_t{1} << w) - 1) return std::nullopt;
  if (s > 0 && a != (std::size_t{1} << w) - 1) return std::nullopt;
  Alphabet alpha;
  alpha.width = w;
  alpha.primary.assign(record.begin() + 4, record.begin() + 4 + static_cast<std::ptrdiff_t>(a));
  alpha.secondary.assign(record.begin() + 4 + static_cast<std::ptrdiff_t>(a), record.end());
  std::array<bool, 256> seen{};
  for (std::uint8_t b : alpha.primary) {
    if (seen[b]) return std::nullopt;
    seen[b] = true;
  }
  for (std::uint8_t b : alpha.secondary) {
    if (seen[b]) return std::nullopt;
    seen[b] = true;
  }
  alpha.build_reverse();
  return alpha;
}

void Alphabet::write_to(std::vector<unsigned char>& out) const {
  out.push_back(1);
  out.push_back(static_cast<unsigned char>(width));
  out.push_back(static_cast<unsigned char>(primary.size() - 1));
  out.push_back(static_cast<unsigned char>(secondary.size()));
  out.insert(out.end(), primary.begin(), primary.end());
  out.insert(out.end(), secondary.begin(), secondary.end());
}

void Alphabet::put(std::uint8_t byte, std::uint64_t& bits, std::uint32_t& pending,
                   std::vector<unsigned char>& out) const {
  auto emit = [&](std::uint64_t code) {
    bits |= code << pending;
    pending += width;
    while (pending >= 8) {
      out.push_back(static_cast<unsigned char>(bits));
      bits >>= 8;
      pending -= 8;
    }
  };
  const std::uint16_t r = reverse[byte];
  if (r < SECONDARY) {
    emit(r);
  } else if (r != ABSENT) {
    emit(escape());
    emit(r & 0x7FFF);
  } else {
    emit(escape());
    emit(escape());
    const std::uint32_t mask = escape();
    for (std::uint32_t k = 0; k < raw_codes(); ++k) emit((static_cast<std::uint32_t>(byte) >> (k * width)) & mask);
  }
}

bool Alphabet::decode_into(const unsigned char* data, std::size_t size, std::uint64_t bit, std::uint64_t y,
                           std::vector<unsigned char>& out, std::uint64_t count) const {
  const std::uint64_t limit = std::min(count, y);
  const std::uint64_t end_bit = static_cast<std::uint64_t>(size) * 8;
  const unsigned w = width;
  std::uint64_t used = 0;  // codes read
  auto next = [&](unsigned& code) {
    if (used == y || bit + w > end_bit) return false;
    code = code_at(data, size, bit, w);
    bit += w;
    ++used;
    return true;
  };
  std::uint64_t appended = 0;
  unsigned code = 0;
  if (secondary.empty()) {
    for (; appended < limit; ++appended) {
      if (!next(code) || code >= primary.size()) return false;
      out.push_back(primary[code]);
    }
    return true;
  }
  const unsigned e = escape();
  while (appended < limit && used < y) {
    if (!next(code)) return false;
    if (code != e) {
      if (code >= primary.size()) return false;
      out.push_back(primary[code]);
    } else {
      if (!next(code)) return false;
      if (code != e) {
        if (code >= secondary.size()) return false;
        out.push_back(secondary[code]);
      } else {
        unsigned byte = 0;
        for (std::uint32_t k = 0; k < raw_codes(); ++k) {
          if (!next(code)) return false;
          byte |= code << (k * w);
        }
        out.push_back(static_cast<unsigned char>(byte));
      }
    }
    ++appended;
  }
  return true;
}

}  // namespace quorvale::packed
