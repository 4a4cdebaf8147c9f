// The string index's own reading of FST node bytes: the bounds test of the
// untrusted validator, and the allocation-free node reader behind the exact
// lookup, the dictionary-matching walk and the rank of the first key at or
// above a string.
//
// The reader checks that every field it touches lies inside the bytes before
// it reads it, so bytes that break the format (a crafted blob behind a
// trusted open) can only make a walk report absence, never read outside.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "blob.hpp"
#include "fst/node.hpp"

namespace quorvale::fst_bounds {

// `count` little-endian integers of `width` bytes, the i-th (from 0) starting
// at `position` - i * width: whether each lies wholly inside `bytes` and is at
// most `max`. With width 0 it only tests that the position is inside.
bool deltas_fit(std::span<const unsigned char> bytes, std::uint64_t position, std::uint64_t count, unsigned width,
                std::uint64_t max) noexcept;

// The untrusted validator's test of the node at `addr` (0 < addr < the FST
// length) from its own bytes, before the library's decoder may look at it:
// every field lies at or above offset 0, widths are in range (a delta width
// of 1..8 wherever there are transitions, an output width of 0..8), and every
// target delta is at most the node's start. `version` decides which nodes
// carry the 256-byte transition index.
bool node_fits(std::span<const unsigned char> fst, std::uint64_t addr, std::uint64_t version) noexcept;

// The transition-index threshold of an FST version: nodes with more
// transitions than this carry the 256-byte index.
inline constexpr std::uint64_t index_threshold(std::uint64_t version) noexcept {
  return version >= 2 ? 32 : std::numeric_limits<std::uint64_t>::max();
}

// One node's header as the reader decoded it.
struct RawNode {
  fst::NodeForm form = fst::NodeForm::EmptyFinal;
  bool final = true;
  unsigned n = 0;              // transitions
  unsigned t = 0, o = 0;       // delta and output widths
  std::uint64_t q = 0;         // multi: one past transition 0's input byte
  std::uint64_t start = 0;     // the node's lowest byte
  const unsigned char* index = nullptr;  // multi: the 256-byte transition index, if any
  // One-transition forms: the single transition.
  unsigned char input = 0;
  std::uint64_t out = 0;
  std::uint64_t target = 0;
};

class NodeReader {
 public:
  NodeReader() = default;
  NodeReader(std::span<const unsigned char> fst, std::uint64_t threshold) noexcept
      : b_(fst.data()), len_(fst.size()), threshold_(threshold) {}

  // Decodes the header of the node at `addr` (below the FST length). False
  // when any of its fields would lie below offset 0, a width exceeds 8 or a
  // one-transition target would fall below address 0.
  [[gnu::always_inline]] bool read(std::uint64_t addr, RawNode& node) const noexcept {
    if (addr == 0) {
      node = RawNode{};
      return true;
    }
    if (addr >= len_) return false;
    const unsigned char s = b_[addr];
    if (s >= 0x80) {
      const unsigned code = s & 0x3F;
      const std::uint64_t stored = code == 0 ? 1 : 0;
      if (addr < 1 + stored) return false;
      node.final = false;
      node.n = 1;
      node.input = stored ? b_[addr - 1] : static_cast<unsigned char>(fst::kCommonInputs[code - 1]);
      if (s >= 0xC0) {
        node.form = fst::NodeForm::OneNext;
        node.out = 0;
        node.target = addr - 1 - stored;
        node.start = addr - stored;
        return true;
      }
      node.form = fst::NodeForm::One;
      const std::uint64_t p = addr - 1 - stored;
      const unsigned t = b_[p] >> 4, o = b_[p] & 0x0F;
      if (t > 8 || o > 8 || p < t + o) return false;
      node.t = t;
      node.o = o;
      node.start = p - t - o;
      node.out = uint_at(node.start, o);
      const std::uint64_t d = uint_at(p - t, t);
      if (d > node.start) return false;
      node.target = d == 0 ? 0 : node.start - d;
      return true;
    }
    node.form = fst::NodeForm::Multi;
    node.final = (s & 0x40) != 0;
    std::uint64_t n = s & 0x3F, k = 1;
    if (n == 0) {
      n = b_[addr - 1];
      if (n == 1) n = 256;
      k = 2;
    }
    if (addr < k) return false;
    const std::uint64_t p = addr - k;
    const unsigned t = b_[p] >> 4, o = b_[p] & 0x0F;
    // A node without transitions reads no delta, whatever its width says
    // (as the validator and the library's decoder take it).
    if ((n > 0 && t > 8) || o > 8) return false;
    const std::uint64_t index = n > threshold_ ? 256 : 0;
    const std::uint64_t span = k + index + n + n * (t + o) + (node.final ? o : 0);
    if (span > addr) return false;
    node.n = static_cast<unsigned>(n);
    node.t = t;
    node.o = o;
    node.q = p - index;
    node.start = addr - span;
    node.index = index ? b_ + node.q : nullptr;
    return true;
  }

  // The number of the transition on byte `b`, or n when there is none. The
  // input byte of the transition the index names is confirmed, so a damaged
  // index can hide a transition but never lend one to another byte.
  [[gnu::always_inline]] unsigned find(const RawNode& node, unsigned char b) const noexcept {
    if (node.form != fst::NodeForm::Multi) return node.n == 1 && node.input == b ? 0 : node.n;
    const unsigned n = node.n;
    const unsigned char* inputs = b_ + node.q - n;  // lowest: transition n - 1
    if (node.index != nullptr) {
      const unsigned i = node.index[b];
      return i < n && inputs[n - 1 - i] == b ? i : n;
    }
#if defined(__SSE2__)
    // Up to 32 inputs (more carry the index, but for version 1) compared 16
    // at a time instead of a loop whose exit the branch predictor misses;
    // the inputs ascend strictly, so at most one matches.
    if (n <= 32 && node.q - n + 32 <= len_) {
      const __m128i key = _mm_set1_epi8(static_cast<char>(b));
      const auto* v = reinterpret_cast<const __m128i*>(inputs);
      std::uint32_t hits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(v), key)));
      if (n > 16) hits |= static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(v + 1), key))) << 16;
      hits &= n == 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << n) - 1;
      return hits == 0 ? n : n - 1 - static_cast<unsigned>(__builtin_ctz(hits));
    }
#endif
    if (n <= 16) {
      for (unsigned k = 0; k < n; ++k)
        if (inputs[k] == b) return n - 1 - k;
      return n;
    }
    const void* hit = std::memchr(inputs, b, n);
    if (hit == nullptr) return n;
    return n - 1 - static_cast<unsigned>(static_cast<const unsigned char*>(hit) - inputs);
  }

  // The first transition whose input is at least `b` (n when there is none).
  unsigned lower_bound(const RawNode& node, unsigned char b) const noexcept {
    if (node.form != fst::NodeForm::Multi) return node.n == 1 && node.input >= b ? 0 : node.n;
    const unsigned i = find(node, b);
    if (i < node.n) return i;
    unsigned lo = 0, hi = node.n;
    while (lo < hi) {
      const unsigned mid = (lo + hi) / 2;
      if (input(node, mid) < b) lo = mid + 1;
      else hi = mid;
    }
    return lo;
  }

  unsigned char input(const RawNode& node, unsigned i) const noexcept {
    return node.form == fst::NodeForm::Multi ? b_[node.q - 1 - i] : node.input;
  }

  // Output and target of transition i. False when the target would fall
  // below address 0.
  [[gnu::always_inline]] bool follow(const RawNode& node, unsigned i, std::uint64_t& out, std::uint64_t& target) const noexcept {
    if (node.form != fst::NodeForm::Multi) {
      out = node.out;
      target = node.target;
      return true;
    }
    const std::uint64_t deltas = node.q - node.n;  // one past transition 0's delta
    const std::uint64_t d = uint_at(deltas - std::uint64_t(i + 1) * node.t, node.t);
    out = uint_at(deltas - std::uint64_t(node.n) * node.t - std::uint64_t(i + 1) * node.o, node.o);
    if (d > node.start) return false;
    target = d == 0 ? 0 : node.start - d;
    return true;
  }

  // The final output of a final node (0 for the empty final node).
  std::uint64_t final_output(const RawNode& node) const noexcept {
    return node.form == fst::NodeForm::Multi && node.final ? uint_at(node.start, node.o) : 0;
  }

 private:
  // The little-endian integer of `width` (0..8) bytes at `pos`, which the
  // caller has checked to lie inside: one masked 8-byte load where eight
  // bytes remain, byte by byte near the end.
  [[gnu::always_inline]] std::uint64_t uint_at(std::uint64_t pos, unsigned width) const noexcept {
    if (pos + 8 <= len_) {
      static constexpr std::uint64_t kMask[9] = {0,
                                                 0xFF,
                                                 0xFFFF,
                                                 0xFFFFFF,
                                                 0xFFFFFFFF,
                                                 0xFFFFFFFFFF,
                                                 0xFFFFFFFFFFFF,
                                                 0xFFFFFFFFFFFFFF,
                                                 0xFFFFFFFFFFFFFFFF};
      return load_le64(b_ + pos) & kMask[width];
    }
    return fst::read_le(b_ + pos, width);
  }

  const unsigned char* b_ = nullptr;
  std::uint64_t len_ = 0;
  std::uint64_t threshold_ = 0;
};

}  // namespace quorvale::fst_bounds
