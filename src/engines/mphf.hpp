// Minimal perfect hash over distinct 64-bit key hashes: the data model, the
// evaluation of one key or a batch, the Elias-Fano remap of bumped keys and
// the stored images ("MPH3" written; "MPH3", "MPH2" and "MPH1" read).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "blob.hpp"
#include "blob_frame.hpp"
#include "error.hpp"
#include "pages.hpp"
#include "threads.hpp"

namespace quorvale {

// ---------------------------------------------------------------------------
// Arithmetic shared by evaluation and build.

inline constexpr std::uint64_t splitmix64(std::uint64_t z) noexcept { return fin(z + PHI); }

// High word of x * n: a value in 0..n-1 (0 for n = 0). The only reduction of
// a hash to a bucket or a slot; there is no modulo on any path.
inline constexpr std::uint64_t range(std::uint64_t x, std::uint64_t n) noexcept {
  return static_cast<std::uint64_t>((static_cast<unsigned __int128>(x) * n) >> 64);
}

inline constexpr std::uint64_t rotl(std::uint64_t x, unsigned r) noexcept { return std::rotl(x, static_cast<int>(r & 63)); }

// Index of the k-th set bit (from 0) of x; k must be below popcount(x).
unsigned select64(std::uint64_t x, unsigned k) noexcept;

// ---------------------------------------------------------------------------
// Elias-Fano remap: the id of every further slot, a non-decreasing sequence
// of T values below n with two levels of select samples.

class Remap {
 public:
  Pages<std::uint64_t> low;        // w low bits per entry, packed
  Pages<std::uint64_t> high;       // unary high parts, then 4 zero pad words (empty when T = 0)
  Pages<std::uint32_t> samples32;  // bit position of every 2048th entry
  Pages<std::uint16_t> samples16;  // bit position of every 64th entry, less its 2048-sample
  std::uint64_t len = 0;           // T
  std::uint32_t width = 0;         // w

  // Encode T = values.size() non-decreasing values, each below n.
  // Throws IndexError::Format when the sequence cannot be sampled.
  static Remap encode(std::span<const std::uint64_t> values, std::uint64_t n);

  // Entry b; 0 for any b at or past the last entry.
  std::uint64_t get(std::uint64_t b) const noexcept;

  // Select continuation of get: the position of the r-th set bit in words
  // start.. of a count-word array, 0 when the words run out.
  static std::uint64_t beyond(const std::uint64_t* words, std::size_t count, std::size_t start, std::uint64_t r) noexcept;

  // Structural check of a loaded remap over universe n.
  static bool validate(const Remap& remap, std::uint64_t n) noexcept;

  // The remap of an older image: occupancy bitmap of the T further slots
  // plus an Elias-Fano list of x holes of width hole_width.
  static Remap from_v2(std::span<const std::uint64_t> bitmap, std::span<const std::uint64_t> hole_low,
                       std::span<const std::uint64_t> hole_high, std::uint64_t x, std::uint32_t hole_width,
                       std::uint64_t T, std::uint64_t n);
};

// Incremental form of Remap::encode for callers that produce the values one
// by one (the build): push exactly T values, then finish.
class RemapEncoder {
 public:
  RemapEncoder(std::uint64_t T, std::uint64_t n);
  void push(std::uint64_t value);
  Remap finish();

 private:
  Remap r_;
  std::uint64_t n_;
  std::uint64_t next_ = 0;
  std::uint64_t prev_ = 0;
};

// ---------------------------------------------------------------------------
// Data model.

struct Level {
  Pages<std::uint8_t> seeds;  // one seed byte per bucket; 0 = bumped
  std::uint64_t slots = 0;
  std::uint64_t buckets = 0;
  std::uint64_t window = 0;   // a power of two, at most slots
  std::uint32_t shift = 0;    // derived from window and mode_bits, never stored
  std::uint32_t mode_bits = 0;  // 0 or 2

  // The shift a level of this window and mode bits uses.
  static std::uint32_t shift_for(std::uint64_t window, std::uint32_t mode_bits) noexcept;

  // The slot of level hash x under seed byte c != 0.
  std::uint64_t slot(std::uint64_t x, std::uint8_t c) const noexcept;
};

// Fold of a slot that ran past the end of its level; kept out of line.
std::uint64_t wrapped(std::uint64_t a, std::uint64_t b) noexcept;

struct KeyInput;  // the build's view of its key hashes (defined with the build)

// The current form: level 0 on the raw hash, up to 15 further levels, a tail
// searched with 16-bit pilots, and the remap of further slots onto holes.
struct V2 {
  std::vector<Level> levels;  // further levels 1, 2, ...
  Pages<std::uint16_t> pilots;
  std::uint64_t tail_keys = 0;
  std::uint64_t tail_buckets = 0;
  std::uint64_t tail_slots = 0;
  std::uint64_t tail_seed = 0;
  Remap remap;
  std::uint64_t n = 0;
  std::optional<Level> level0;
  bool geometry = false;  // true: every level has 2 mode bits

  static constexpr std::uint64_t NONE = ~std::uint64_t{0};

  std::uint64_t index(std::uint64_t h) const noexcept;
  // Evaluation of a hash that level 0 did not place (or of any hash without level 0).
  std::uint64_t index_bumped(std::uint64_t h) const noexcept;
  // The further slot of a hash that level 0 did not place, NONE when no level
  // and no tail takes it.
  std::uint64_t further_slot(std::uint64_t h) const noexcept;
  // T, the number of further slots.
  std::uint64_t further_slots() const noexcept;

  // `stop`: the caller's failure probe, asked as workers claim chunks and
  // between levels (IndexError Io Interrupted when it answers yes).
  static V2 build_from(std::uint64_t n, KeyInput input, std::uint64_t threads, const StopProbe& stop = {});
};

// The legacy form, only loaded from "MPH1" images, evaluated and written back.
struct V1 {
  std::uint64_t n = 0;
  std::uint64_t total_slots = 0;
  std::uint64_t parts = 0;
  std::uint64_t buckets_per_part = 0;
  std::uint64_t slots_per_part = 0;
  std::uint64_t stride = 0;
  std::uint64_t skew = 0;
  std::uint64_t seed = 0;
  Pages<std::uint64_t> part_seeds;
  Pages<std::uint8_t> seed_bytes;
  Pages<std::uint32_t> remap_bases;
  Pages<std::uint16_t> remap_entries;

  static constexpr std::uint64_t M[4] = {0x6a09e667f3bcc909ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
                                         0xa54ff53a5f1d36f1ULL};

  std::uint64_t index(std::uint64_t h) const noexcept;
  std::uint64_t byte_len() const noexcept;
  std::vector<unsigned char> to_bytes() const;
};

namespace mphf {

// The images' frames: a header checksum and no payload checksum (the
// holder's covers the image). An "MPH3" header ("MPH2" is read alike) has 24
// bytes a level after its fixed fields, so its length is v2_header_len of
// its level count (at most MAX_LEVELS); FRAME_V3's header_len is that of an
// image without levels.
inline constexpr std::uint64_t MAX_LEVELS = 16;
inline constexpr std::uint64_t v2_header_len(std::uint64_t levels) noexcept { return 68 + 24 * levels; }
inline constexpr blob::Frame FRAME_V3{.magic = "MPH3",
                                      .also = "MPH2",
                                      .header_len = v2_header_len(0),
                                      .payload = blob::PayloadCheck::None,
                                      .bad_magic = "mphf: bad magic or truncated header",
                                      .header_mismatch = "mphf: header checksum mismatch"};
inline constexpr blob::Frame FRAME_V1{.magic = "MPH1",
                                      .header_len = 76,
                                      .payload = blob::PayloadCheck::None,
                                      .bad_magic = FRAME_V3.bad_magic,
                                      .header_mismatch = FRAME_V3.header_mismatch};

}  // namespace mphf

class Mphf {
 public:
  explicit Mphf(V2 v) : form(std::move(v)) {}
  explicit Mphf(V1 v) : form(std::move(v)) {}

  std::variant<V2, V1> form;

  const V2* v2() const noexcept { return std::get_if<V2>(&form); }
  const V1* v1() const noexcept { return std::get_if<V1>(&form); }
  std::uint64_t n() const noexcept;

  // The id of key hash h: below n, 0 when n = 0. Never fails.
  std::uint64_t index(std::uint64_t h) const noexcept;
  // The ids of a batch, in input order; each equals index of its input.
  std::vector<std::uint64_t> index_all(std::span<const std::uint64_t> hashes) const;

  // Image: "MPH3" for a V2, "MPH1" for a V1.
  std::uint64_t byte_len() const noexcept;
  std::vector<unsigned char> to_bytes() const;
  // The same bytes through a sink offering write_all(span) (which throws IndexError).
  template <class W>
  void write_into(W& writer) const;
  // Parse an image of exactly this extent; the result owns copies of all arrays.
  static Mphf from_bytes(std::span<const unsigned char> bytes);

  static Mphf build_with_threads(std::span<const std::uint64_t> hashes, std::uint64_t threads,
                                 const StopProbe& stop = {});

 private:
  // "MPH3" header of a V2 (magic through checksum).
  std::vector<unsigned char> v2_header() const;
};

// ---------------------------------------------------------------------------
// Inline evaluation.

inline std::uint32_t Level::shift_for(std::uint64_t window, std::uint32_t mode_bits) noexcept {
  if (mode_bits == 2) {
    std::uint64_t q = window >> 6;
    return q ? static_cast<std::uint32_t>(std::countr_zero(q)) : 0;
  }
  std::uint64_t m = window >> 8;
  if (m < 1) m = 1;
  if (m > 2) m = 2;
  return m == 2 ? 1 : 0;
}

inline std::uint64_t Level::slot(std::uint64_t x, std::uint8_t c) const noexcept {
  std::uint64_t pos;
  if (window == 1024 && mode_bits == 2) {
    // The built geometry at its widest window: the top bits of 16·c fall
    // outside the mask, so the offset needs no masking of its own.
    pos = ((x >> (8u * (c >> 6))) + 16u * std::uint64_t{c}) & 0x3ff;
  } else {
    unsigned d = mode_bits;
    std::uint64_t off = c & ((1u << (8 - d)) - 1);
    unsigned rot = 8u * (static_cast<unsigned>(c) >> (8 - d));
    pos = ((x >> rot) + (off << (shift & 63))) & (window - 1);
  }
  std::uint64_t s = range(x, slots) + pos;
  if (s >= slots) [[unlikely]]
    s = wrapped(s, slots);
  return s;
}

inline std::uint64_t V2::index(std::uint64_t h) const noexcept {
  if (level0) {
    const Level& l0 = *level0;
    std::uint8_t c = l0.seeds[range(h, l0.buckets)];
    if (c != 0) [[likely]]
      return l0.slot(h, c);
  }
  return index_bumped(h);
}

inline std::uint64_t Remap::get(std::uint64_t b) const noexcept {
  if (b >= len) return 0;
  if ((b >> 11) >= samples32.size() || (b >> 6) >= samples16.size()) return 0;
  std::uint64_t e = std::uint64_t{samples32[b >> 11]} + samples16[b >> 6];
  std::uint64_t q = e >> 6;
  if (q + 4 > high.size()) return 0;
  const std::uint64_t* h = high.data() + q;
  std::uint64_t w0 = h[0] & (~std::uint64_t{0} << (e & 63));
  unsigned c0 = static_cast<unsigned>(std::popcount(w0));
  unsigned c1 = c0 + static_cast<unsigned>(std::popcount(h[1]));
  unsigned c2 = c1 + static_cast<unsigned>(std::popcount(h[2]));
  unsigned c3 = c2 + static_cast<unsigned>(std::popcount(h[3]));
  unsigned r = static_cast<unsigned>(b & 63);
  std::uint64_t pos;
  if (r < c3) [[likely]] {
    if (r < c0) pos = q * 64 + select64(w0, r);
    else if (r < c1) pos = (q + 1) * 64 + select64(h[1], r - c0);
    else if (r < c2) pos = (q + 2) * 64 + select64(h[2], r - c1);
    else pos = (q + 3) * 64 + select64(h[3], r - c2);
  } else {
    pos = beyond(high.data(), high.size(), q + 4, r - c3);
    // Only a malformed table runs out of words; answer an id that exists.
    if (pos == 0) return 0;
  }
  std::uint64_t v = (pos - b) << (width & 63);
  if (width != 0) {
    std::uint64_t o = b * width;
    std::uint64_t i = o >> 6;
    unsigned sh = static_cast<unsigned>(o & 63);
    std::uint64_t bits = low[i] >> sh;
    if (sh + width > 64) bits |= low[i + 1] << (64 - sh);
    v |= bits & ((std::uint64_t{1} << width) - 1);
  }
  return v;
}

inline std::uint64_t V1::index(std::uint64_t h) const noexcept {
  if (n == 0) return 0;
  std::uint64_t e = (h ^ seed) * M[0];
  std::uint64_t p = range(e, parts);
  std::uint64_t r = rotl(e, 17);
  std::uint64_t q;
  if (skew == 0) q = range(r, buckets_per_part);
  else if (r < 0x9999999999999999ULL) q = range(skew, rotl(e, 40));
  else q = skew + range(buckets_per_part - skew, rotl(e, 40));
  std::uint8_t c = seed_bytes[p * buckets_per_part + q];
  std::uint64_t slot = p * stride + (c & 63) + range((h ^ part_seeds[p]) * M[c >> 6], slots_per_part);
  if (slot < n) return slot;
  std::uint64_t i = slot - n;
  return std::uint64_t{remap_bases[i >> 8]} + remap_entries[i];
}

inline std::uint64_t Mphf::index(std::uint64_t h) const noexcept {
  if (const V2* v = std::get_if<V2>(&form)) [[likely]]
    return v->index(h);
  return std::get_if<V1>(&form)->index(h);
}

// ---------------------------------------------------------------------------
// Image writing through a sink.

template <class W>
void Mphf::write_into(W& writer) const {
  if (const V1* v = v1()) {
    std::vector<unsigned char> bytes = v->to_bytes();
    writer.write_all(std::span<const unsigned char>(bytes));
    return;
  }
  const V2& v = *v2();
  std::vector<unsigned char> header = v2_header();
  writer.write_all(std::span<const unsigned char>(header));
  if (v.level0) writer.write_all(std::span<const unsigned char>(v.level0->seeds.data(), v.level0->seeds.size()));
  for (const Level& l : v.levels) writer.write_all(std::span<const unsigned char>(l.seeds.data(), l.seeds.size()));
  unsigned char buf[8];
  for (std::uint16_t p : v.pilots) {
    store_le16(buf, p);
    writer.write_all(std::span<const unsigned char>(buf, 2));
  }
  for (std::uint64_t w : v.remap.low) {
    store_le64(buf, w);
    writer.write_all(std::span<const unsigned char>(buf, 8));
  }
  std::size_t high_words = v.remap.high.size() > 4 ? v.remap.high.size() - 4 : 0;
  for (std::size_t i = 0; i < high_words; ++i) {
    store_le64(buf, v.remap.high[i]);
    writer.write_all(std::span<const unsigned char>(buf, 8));
  }
  for (std::uint32_t s : v.remap.samples32) {
    store_le32(buf, s);
    writer.write_all(std::span<const unsigned char>(buf, 4));
  }
  for (std::uint16_t s : v.remap.samples16) {
    store_le16(buf, s);
    writer.write_all(std::span<const unsigned char>(buf, 2));
  }
}

}  // namespace quorvale
