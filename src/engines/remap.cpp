// Elias-Fano remap: encoding, validation of loaded tables and the conversion
// of the older occupancy-bitmap-plus-hole-list form.
#include <bit>
#include <cstdint>

#include "mphf.hpp"

namespace quorvale {

namespace {

// ceil(count · bits / 64) without overflow for any count and bits < 64.
std::uint64_t packed_words(std::uint64_t count, std::uint64_t bits) noexcept {
  return (count >> 6) * bits + (((count & 63) * bits + 63) >> 6);
}

std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) noexcept { return a / b + (a % b != 0); }

std::uint32_t remap_width(std::uint64_t n, std::uint64_t T) noexcept {
  if (T == 0) return 0;
  std::uint64_t q = n / T;
  if (q < 1) q = 1;
  return static_cast<std::uint32_t>(63 - std::countl_zero(q));
}

// The w bits of entry j, packed from bit j·w.
std::uint64_t packed_get(const std::uint64_t* words, std::uint64_t j, std::uint32_t w) noexcept {
  if (w == 0) return 0;
  std::uint64_t o = j * w;
  std::uint64_t i = o >> 6;
  unsigned sh = static_cast<unsigned>(o & 63);
  std::uint64_t bits = words[i] >> sh;
  if (sh + w > 64) bits |= words[i + 1] << (64 - sh);
  return bits & ((std::uint64_t{1} << w) - 1);
}

// Set bits of a word, without the library call a target lacking a
// population-count instruction makes of std::popcount.
std::uint64_t bit_count(std::uint64_t x) noexcept {
  x -= (x >> 1) & 0x5555555555555555ULL;
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
  return (x * 0x0101010101010101ULL) >> 56;
}

}  // namespace

std::uint64_t Remap::beyond(const std::uint64_t* words, std::size_t count, std::size_t start, std::uint64_t r) noexcept {
  for (std::size_t i = start; i < count; ++i) {
    std::uint64_t c = static_cast<std::uint64_t>(std::popcount(words[i]));
    if (c > r) return static_cast<std::uint64_t>(i) * 64 + select64(words[i], static_cast<unsigned>(r));
    r -= c;
  }
  return 0;
}

RemapEncoder::RemapEncoder(std::uint64_t T, std::uint64_t n) : n_(n) {
  r_.len = T;
  if (T == 0) return;
  if (n == 0) panic("a remap over an empty universe has no entries");
  std::uint32_t w = remap_width(n, T);
  std::uint64_t B = T + ((n - 1) >> w);
  if (B < T) throw IndexError::format("mphf: blob sections do not fit in memory");
  r_.width = w;
  r_.low = Pages<std::uint64_t>::zeroed(packed_words(T, w));
  r_.high = Pages<std::uint64_t>::zeroed(ceil_div(B, 64) + 4);
  r_.samples32 = Pages<std::uint32_t>::zeroed(ceil_div(T, 2048));
  r_.samples16 = Pages<std::uint16_t>::zeroed(ceil_div(T, 64));
}

void RemapEncoder::push(std::uint64_t v) {
  std::uint64_t j = next_;
  if (j >= r_.len) panic("a remap takes exactly as many entries as it has slots");
  if (v >= n_) panic("a remap entry lies below its universe");
  if (v < prev_) panic("remap entries do not decrease");
  prev_ = v;
  std::uint32_t w = r_.width;
  if (w > 0) {
    std::uint64_t o = j * w;
    std::uint64_t i = o >> 6;
    unsigned sh = static_cast<unsigned>(o & 63);
    std::uint64_t bits = v & ((std::uint64_t{1} << w) - 1);
    r_.low[i] |= bits << sh;
    if (sh + w > 64) r_.low[i + 1] |= bits >> (64 - sh);
  }
  std::uint64_t p = (v >> w) + j;
  if (p >> 6 >= r_.high.size() - 4) panic("remap entries do not decrease");
  r_.high[p >> 6] |= std::uint64_t{1} << (p & 63);
  if ((j & 2047) == 0) {
    if (p > 0xffffffffULL) throw IndexError::format("mphf: blob sections do not fit in memory");
    r_.samples32[j >> 11] = static_cast<std::uint32_t>(p);
  }
  if ((j & 63) == 0) {
    std::uint64_t d = p - r_.samples32[j >> 11];
    if (d > 0xffff) throw IndexError::format("mphf: a remap block outruns its super-sample");
    r_.samples16[j >> 6] = static_cast<std::uint16_t>(d);
  }
  next_ = j + 1;
}

Remap RemapEncoder::finish() {
  if (next_ != r_.len) panic("a remap takes exactly as many entries as it has slots");
  return std::move(r_);
}

Remap Remap::encode(std::span<const std::uint64_t> values, std::uint64_t n) {
  RemapEncoder enc(values.size(), n);
  for (std::uint64_t v : values) enc.push(v);
  return enc.finish();
}

bool Remap::validate(const Remap& r, std::uint64_t n) noexcept {
  const std::uint64_t T = r.len;
  const std::uint32_t w = r.width;
  if (w >= 64) return false;
  if (r.low.size() != packed_words(T, w)) return false;
  if (T == 0) {
    if (!r.high.empty()) return false;
  } else {
    std::uint64_t B = T + ((n - 1) >> w);
    if (B < T) return false;
    if (r.high.size() != ceil_div(B, 64) + 4) return false;
  }
  if (r.samples32.size() != ceil_div(T, 2048) || r.samples16.size() != ceil_div(T, 64)) return false;
  std::size_t hs = r.high.size();
  std::size_t body = hs > 4 ? hs - 4 : 0;
  for (std::size_t i = body; i < hs; ++i)
    if (r.high[i] != 0) return false;
  if (T > 0 && n == 0) return false;  // no entry is below an empty universe
  // One pass over the words of `high`. The i-th set bit at position p is
  // entry i, whose value is ((p - i) << w) | its low bits: what get(i) reads
  // once the samples are proven to name their bits. p - i never decreases, so
  // a word whose last entry's high part lies below that of n - 1 holds only
  // entries below n; the others are checked entry by entry.
  const std::uint64_t top = T > 0 ? (n - 1) >> w : 0;
  std::uint64_t i = 0;
  for (std::size_t wi = 0; wi < body; ++wi) {
    const std::uint64_t word = r.high[wi];
    if (word == 0) continue;
    const std::uint64_t c = bit_count(word);
    if (c > T - i) return false;
    const std::uint64_t base = static_cast<std::uint64_t>(wi) * 64;
    // A range of at most 64 entries holds at most one multiple of 64.
    const std::uint64_t k = (i + 63) & ~std::uint64_t{63};
    if (k < i + c) {
      const std::uint64_t p = base + select64(word, static_cast<unsigned>(k - i));
      if (std::uint64_t{r.samples32[k >> 11]} + r.samples16[k >> 6] != p) return false;
      if ((k & 2047) == 0 && r.samples32[k >> 11] != p) return false;
    }
    const std::uint64_t last = base + 63 - static_cast<unsigned>(std::countl_zero(word));
    if (last - (i + c - 1) >= top) {
      for (std::uint64_t rest = word, j = i; rest != 0; rest &= rest - 1, ++j) {
        const std::uint64_t p = base + static_cast<unsigned>(std::countr_zero(rest));
        if ((((p - j) << w) | packed_get(r.low.data(), j, w)) >= n) return false;
      }
    }
    i += c;
  }
  return i == T;
}

namespace {

// The holes of an older image, decoded one by one from their Elias-Fano
// list: the i-th set bit of the high words at position p is hole
// (its low bits) | ((p - i) << width).
class HoleReader {
 public:
  HoleReader(std::span<const std::uint64_t> low, std::span<const std::uint64_t> high, std::uint32_t width) noexcept
      : low_(low), high_(high), width_(width), word_(high.empty() ? 0 : high[0]) {}

  // The next set bit's position and rank; false past the last one.
  bool next(std::uint64_t& p, std::uint64_t& i) noexcept {
    while (word_ == 0) {
      if (++at_ >= high_.size()) return false;
      word_ = high_[at_];
    }
    p = static_cast<std::uint64_t>(at_) * 64 + static_cast<unsigned>(std::countr_zero(word_));
    word_ &= word_ - 1;
    i = taken_++;
    return true;
  }
  // Hole i at bit position p (p >= i, i below the low words' count).
  std::uint64_t hole(std::uint64_t p, std::uint64_t i) const noexcept {
    return packed_get(low_.data(), i, width_) | ((p - i) << width_);
  }

 private:
  std::span<const std::uint64_t> low_, high_;
  std::uint32_t width_;
  std::size_t at_ = 0;
  std::uint64_t word_;
  std::uint64_t taken_ = 0;
};

}  // namespace

// One pass checks the holes without keeping them, a second feeds the encoder
// slot by slot, taking the next hole at each occupied slot: the conversion
// holds nothing beyond the remap it returns.
Remap Remap::from_v2(std::span<const std::uint64_t> bitmap, std::span<const std::uint64_t> hole_low,
                     std::span<const std::uint64_t> hole_high, std::uint64_t x, std::uint32_t hole_width,
                     std::uint64_t T, std::uint64_t n) {
  const auto outside = [] { return IndexError::format("mphf: a remap entry points outside the image"); };
  const auto disagree = [] { return IndexError::format("mphf: occupied values disagree with the hole count"); };
  // No build covers more than 2^32 - 1 keys, and over a larger universe the
  // remap's low bits would take up to 40 bits a slot for the bitmap's one.
  if (T > 0 && n > UINT32_MAX) throw IndexError::format("mphf: blob sections do not fit in memory");
  if ((n == 0 && T > 0) || hole_width >= 64 || hole_low.size() < packed_words(x, hole_width)) throw outside();
  if (bitmap.size() < ceil_div(T, 64)) throw disagree();
  {
    HoleReader holes(hole_low, hole_high, hole_width);
    std::uint64_t p, i, prev = 0, count = 0;
    while (holes.next(p, i)) {
      if (i >= x || p < i) throw outside();
      const std::uint64_t h = holes.hole(p, i);
      if (h >= n) throw outside();
      if (i > 0 && h < prev) throw IndexError::format("mphf: a remap's entries run backwards");
      prev = h;
      count = i + 1;
    }
    if (count != x) throw outside();
  }
  // Each occupied slot takes the next hole: the holes run out or are left
  // over exactly when the occupied count differs from theirs.
  std::uint64_t occupied = 0;
  for (std::uint64_t wi = 0; wi < T / 64; ++wi) occupied += bit_count(bitmap[wi]);
  if (T % 64 != 0) occupied += bit_count(bitmap[T / 64] & ((std::uint64_t{1} << (T % 64)) - 1));
  if (occupied != x) throw disagree();

  RemapEncoder enc(T, n);
  HoleReader holes(hole_low, hole_high, hole_width);
  std::uint64_t g = 0;
  for (std::uint64_t j = 0; j < T; ++j) {
    if ((bitmap[j >> 6] >> (j & 63)) & 1) {
      std::uint64_t p = 0, i = 0;
      holes.next(p, i);  // the count check above: a hole is left
      g = holes.hole(p, i);
    }
    enc.push(g);
  }
  return enc.finish();
}

}  // namespace quorvale
