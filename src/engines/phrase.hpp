// Phrases: stretches of 1 to 32 bytes that an index's keys repeat, stored
// once for the whole dictionary (`Dict`) and named from a shard's suffix codes
// by two- or three-byte codes (the Tiered code space of a `Split`).
//
// This header is what a loaded dictionary reads: the store and the code
// space. Making phrases (the matcher, the parse, the choice of a split and
// the mining) is phrase_build.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvale::phrase {

// A phrase is 1 to 32 bytes.
inline constexpr std::size_t kMaxLen = 32;
// Most phrases an index carries (the miner stops there).
inline constexpr std::uint32_t kMaxPhrases = 524'288;
// Phrases share one base offset in groups of this many.
inline constexpr std::uint32_t kGroup = 256;

// The phrase store of an index.
//
// Phrase i lies in group G = i / 256 and spans
// bytes[bases[G] + offsets[i + G] .. bases[G] + offsets[i + G + 1]]: every
// group has 257 u16 offsets, the first 0, offset k the end of its phrase k - 1
// measured from the group base. The bytes end with 32 zero bytes past the last
// phrase so that a reader may load 32 bytes from the start of any phrase.
//
// Copies are made only by `clone`: a store can hold megabytes and the build
// hands it over by moving.
class Dict {
 public:
  // The empty store: no phrases, the 32 zero bytes.
  Dict();
  Dict(Dict&&) noexcept = default;
  Dict& operator=(Dict&&) noexcept = default;

  // Assembles the store from a phrase list (any range of byte strings with
  // data() and size()), in list order. Every phrase is 1 to 32 bytes and the
  // bytes of all of them fit in u32 (a list the miner made); anything else is
  // a broken invariant.
  template <class Phrases>
  static Dict of(const Phrases& phrases) {
    Dict d;
    d.bytes_.clear();
    for (const auto& p : phrases) d.push(reinterpret_cast<const unsigned char*>(p.data()), p.size());
    d.finish();
    return d;
  }

  // Parses and checks a phrase dictionary section; nothing when it is
  // malformed. Not checked (readers do not rely on them): that bases ascend,
  // that every phrase byte is used, the offsets past the last group's phrases.
  static std::optional<Dict> read(std::span<const unsigned char> section);

  // Appends the section: count, bases, offsets, then the phrase bytes.
  void write_to(std::vector<unsigned char>& out) const;
  // Length of that section: 4 + 518 per group + the phrase bytes.
  std::uint64_t section_len() const noexcept;

  Dict clone() const;

  std::uint32_t count() const noexcept { return count_; }
  // Phrase bytes, the 32 zero bytes not counted.
  std::uint64_t len() const noexcept { return len_; }
  std::span<const unsigned char> bytes() const noexcept { return bytes_; }
  std::span<const std::uint32_t> bases() const noexcept { return bases_; }
  std::span<const std::uint16_t> offsets() const noexcept { return offsets_; }

  // Where phrase i (i < count) starts in bytes() and how long it is. On a store
  // that `read` accepted or `of` made, at least 32 bytes are readable from the
  // start.
  struct Span {
    std::uint64_t start;
    std::uint32_t len;
  };
  Span locate(std::uint32_t i) const noexcept {
    const std::uint32_t g = i / kGroup;
    const std::uint32_t lo = offsets_[i + g];
    return {std::uint64_t{bases_[g]} + lo, static_cast<std::uint32_t>(offsets_[i + g + 1] - lo)};
  }
  std::span<const unsigned char> phrase(std::uint32_t i) const noexcept {
    const Span s = locate(i);
    return std::span<const unsigned char>(bytes_).subspan(s.start, s.len);
  }

 private:
  Dict(const Dict&) = default;
  Dict& operator=(const Dict&) = default;
  // Assembly: append one phrase; then close the last group and pad.
  void push(const unsigned char* p, std::size_t n);
  void finish();

  std::vector<unsigned char> bytes_;
  std::vector<std::uint32_t> bases_;
  std::vector<std::uint16_t> offsets_;
  std::uint64_t len_ = 0;
  std::uint32_t count_ = 0;
};

// The phrase limits of a split, the form the parse and the pricing take: a
// phrase index below `two` costs a two-byte code, one below `codable` a
// three-byte code, and the others cannot be used.
struct Limits {
  std::uint32_t two;
  std::uint32_t codable;
};

// One phrase code read back: the phrase index and the code bytes it took.
struct Coded {
  std::uint32_t phrase;
  std::uint32_t size;
};

// How a Tiered shard divides its 255 non-escape code bytes: g symbol codes,
// then K = 255 - g - h two-byte leads, then h three-byte leads; byte 255 is
// the escape. g + h <= 255.
//
//   first byte c        meaning                                        bytes
//   0 .. g-1            symbol c                                       1
//   g .. g+K-1          phrase (c - g)*256 + next                      2
//   g+K .. 254          phrase K*256 + (c-g-K)*65536 + next*256 + 3rd  3
//   255                 escape, the next byte a literal                2
struct Split {
  std::uint8_t g = 0;
  std::uint8_t h = 0;

  // The two-byte leads.
  unsigned k() const noexcept { return 255u - g - h; }
  Limits limits() const noexcept {
    const std::uint32_t two = k() * 256u;
    return {two, two + std::uint32_t{h} * 65'536u};
  }
  // Phrases this split can name: those below limits().codable.
  bool codable(std::uint32_t u) const noexcept { return u < limits().codable; }

  // Writes the code bytes of phrase u (codable) at out, which has room for 3;
  // returns how many: 2 below K*256, else 3.
  unsigned put(std::uint32_t u, unsigned char* out) const noexcept {
    const std::uint32_t two = k() * 256u;
    if (u < two) {
      out[0] = static_cast<unsigned char>(g + u / 256);
      out[1] = static_cast<unsigned char>(u);
      return 2;
    }
    const std::uint32_t v = u - two;
    out[0] = static_cast<unsigned char>(g + k() + v / 65'536);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v);
    return 3;
  }
  void put(std::uint32_t u, std::vector<unsigned char>& out) const {
    unsigned char b[3];
    out.insert(out.end(), b, b + put(u, b));
  }

  // Reads the phrase code at the front of the bytes, whose first byte is a
  // lead (g <= first < 255); nothing when the code's bytes are not all there.
  std::optional<Coded> get(const unsigned char* p, std::size_t avail) const noexcept {
    const unsigned j = static_cast<unsigned>(p[0]) - g;
    if (j < k()) {
      if (avail < 2) return std::nullopt;
      return Coded{j * 256u + p[1], 2};
    }
    if (avail < 3) return std::nullopt;
    return Coded{k() * 256u + (j - k()) * 65'536u + p[1] * 256u + p[2], 3};
  }
};

}  // namespace quorvale::phrase
