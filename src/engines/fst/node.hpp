// Decoding one FST node from its bytes: the one decoder of the FST engine,
// which its streams, the string index's walks and its untrusted validator
// all read nodes with.
//
// A node's address is the offset of its last byte (the state byte); its other
// fields lie below it. Address 0 is the empty final node, which has no bytes.
// Decoding is bounds-checked and allocates nothing: a node that does not lie
// wholly inside the bytes, a width out of range, or a one-transition target
// that would fall below address 0 is refused (NodeReader::read says no,
// NodeReader::at throws Corrupt), and a multi-transition target is checked
// when it is followed, so bytes that break the format can only end a walk,
// never make it read outside.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fst/error.hpp"

namespace quorvale::fst {

// Bytes that a one-transition node can name by a 6-bit code (code c stands for
// kCommonInputs[c - 1]).
inline constexpr char kCommonInputs[] = "te/oasripcnw.hlm-du012g=:bf3y5&_4v9678k%?xCDASFIBEjPTzRNM+LOqHG";
static_assert(sizeof(kCommonInputs) == 64);

// The code of byte b, or 0 when it must be stored explicitly.
unsigned char input_code(unsigned char b) noexcept;

// Little-endian unsigned integer of `width` (0..8) bytes at p; the caller
// guarantees the bytes exist. Width 0 reads 0.
inline std::uint64_t read_le(const unsigned char* p, unsigned width) noexcept {
  std::uint64_t v = 0;
  for (unsigned i = width; i-- > 0;) v = (v << 8) | p[i];
  return v;
}

// The transition-index threshold of an FST version: nodes with more
// transitions than this carry the 256-byte index (none in version 1).
inline constexpr std::uint64_t index_threshold(std::uint64_t version) noexcept {
  return version >= 2 ? 32 : std::numeric_limits<std::uint64_t>::max();
}

enum class NodeForm : std::uint8_t {
  EmptyFinal,  // address 0
  OneNext,     // one transition, output 0, to the node just below
  One,         // one transition
  Multi,       // any number of transitions, may be final
};

struct Transition {
  unsigned char input;
  std::uint64_t output;
  std::uint64_t target;
};

[[noreturn]] void node_corrupt(const char* what, std::uint64_t addr);

// One decoded node: its header, and where its fields lie in the FST bytes,
// which it reads on demand (they must outlive it).
class Node {
 public:
  Node() = default;  // the empty final node

  NodeForm form() const noexcept { return form_; }
  std::uint64_t addr() const noexcept { return addr_; }
  // The node's lowest byte (equal to addr for the empty final node).
  std::uint64_t start() const noexcept { return start_; }
  bool is_final() const noexcept { return final_; }
  // The final output of a final node (0 for the empty final node).
  std::uint64_t final_output() const noexcept {
    return form_ == NodeForm::Multi && final_ ? uint_at(start_, o_) : 0;
  }
  unsigned len() const noexcept { return n_; }
  unsigned delta_width() const noexcept { return t_; }
  unsigned output_width() const noexcept { return o_; }
  bool has_index() const noexcept { return index_; }
  // The 256-byte transition index (byte b: the number of the transition on
  // b, n or more for none), or null.
  const unsigned char* transition_index() const noexcept { return index_ ? b_ + q_ : nullptr; }

  unsigned char input(unsigned i) const noexcept { return form_ == NodeForm::Multi ? b_[q_ - 1 - i] : one_input_; }
  std::uint64_t output(unsigned i) const noexcept {
    if (form_ != NodeForm::Multi) return one_output_;
    return uint_at(q_ - n_ - std::uint64_t(n_) * t_ - std::uint64_t(i + 1) * o_, o_);
  }
  // Output and target of transition i. False when the stored delta would
  // lead below address 0.
  [[gnu::always_inline]] bool follow(unsigned i, std::uint64_t& out, std::uint64_t& target) const noexcept {
    if (form_ != NodeForm::Multi) {
      out = one_output_;
      target = one_target_;
      return true;
    }
    const std::uint64_t deltas = q_ - n_;  // one past transition 0's delta
    const std::uint64_t d = uint_at(deltas - std::uint64_t(i + 1) * t_, t_);
    out = uint_at(deltas - std::uint64_t(n_) * t_ - std::uint64_t(i + 1) * o_, o_);
    if (d > start_) return false;
    target = d == 0 ? 0 : start_ - d;
    return true;
  }
  // The target of transition i; Corrupt when it would lie below address 0.
  std::uint64_t target(unsigned i) const {
    std::uint64_t out, target;
    if (!follow(i, out, target)) node_corrupt("transition target below address 0", addr_);
    return target;
  }
  Transition transition(unsigned i) const { return {input(i), output(i), target(i)}; }

  // The number of the transition on byte `b`, or len() when there is none.
  // The input byte of the transition the index names is confirmed, so a
  // damaged index can hide a transition but never lend one to another byte.
  [[gnu::always_inline]] unsigned find(unsigned char b) const noexcept {
    if (form_ != NodeForm::Multi) return n_ == 1 && one_input_ == b ? 0 : n_;
    const unsigned n = n_;
    const unsigned char* inputs = b_ + q_ - n;  // lowest: transition n - 1
    if (index_) {
      const unsigned i = b_[q_ + b];
      return i < n && inputs[n - 1 - i] == b ? i : n;
    }
#if defined(__SSE2__)
    // Up to 32 inputs (more carry the index, but for version 1) compared 16
    // at a time instead of a loop whose exit the branch predictor misses;
    // the inputs ascend strictly, so at most one matches.
    if (n <= 32 && q_ - n + 32 <= len_) {
      const __m128i key = _mm_set1_epi8(static_cast<char>(b));
      const auto* v = reinterpret_cast<const __m128i*>(inputs);
      std::uint32_t hits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(v), key)));
      if (n > 16)
        hits |= static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(v + 1), key))) << 16;
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
  std::optional<unsigned> find_input(unsigned char b) const noexcept {
    const unsigned i = find(b);
    if (i >= n_) return std::nullopt;
    return i;
  }

  // The first transition whose input is >= b (len() when there is none).
  unsigned lower_bound_input(unsigned char b) const noexcept {
    if (form_ != NodeForm::Multi) return n_ == 1 && one_input_ >= b ? 0 : n_;
    const unsigned i = find(b);
    if (i < n_) return i;
    // Inputs ascend with the transition number.
    unsigned lo = 0, hi = n_;
    while (lo < hi) {
      const unsigned mid = (lo + hi) / 2;
      if (b_[q_ - 1 - mid] < b) lo = mid + 1;
      else hi = mid;
    }
    return lo;
  }

 private:
  friend class NodeReader;

  // The little-endian integer of `width` (0..8) bytes at `pos`, which the
  // decoder has checked to lie inside: one masked 8-byte load where eight
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
      std::uint64_t v;
      std::memcpy(&v, b_ + pos, 8);
      if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
      return v & kMask[width];
    }
    return read_le(b_ + pos, width);
  }

  // Plain fields, no union: the compiler keeps a node decoded into a local
  // in registers (a union over q_ and one_target_ stopped that and made a
  // stream's walk three times slower).
  const unsigned char* b_ = nullptr;  // the FST bytes
  std::uint64_t len_ = 0;
  std::uint64_t addr_ = 0, start_ = 0;
  std::uint64_t q_ = 0;  // multi: one past transition 0's input byte
  std::uint64_t one_output_ = 0, one_target_ = 0;
  unsigned n_ = 0;
  unsigned char t_ = 0, o_ = 0;  // delta and output widths
  unsigned char one_input_ = 0;
  NodeForm form_ = NodeForm::EmptyFinal;
  bool final_ = true;
  bool index_ = false;  // multi: the 256-byte transition index lies at q_
};

// Reads the nodes of one FST's bytes (the whole FST, header included), whose
// nodes with more transitions than `threshold` carry the 256-byte index.
class NodeReader {
 public:
  NodeReader() = default;
  NodeReader(std::span<const unsigned char> fst, std::uint64_t threshold) noexcept
      : b_(fst.data()), len_(fst.size()), threshold_(threshold) {}

  // Decodes the node at `addr`. False when the address is not below the
  // length, any field would lie below offset 0, a width is out of range (a
  // delta width of 1..8 wherever there are transitions, an output width of
  // 0..8) or a one-transition target would fall below address 0. Always
  // inlined: a walk decodes a node at every step, and whether the compiler
  // inlined the call (by its own measure of the caller) changed a full
  // stream's time twofold.
  [[gnu::always_inline]] bool read(std::uint64_t addr, Node& node) const noexcept {
    if (addr == 0) {
      node = Node{};
      return true;
    }
    if (addr >= len_) return false;
    // Every field a form reads is set below; the others are never read.
    node.b_ = b_;
    node.len_ = len_;
    node.addr_ = addr;
    node.index_ = false;
    node.final_ = false;
    const unsigned char s = b_[addr];
    if (s >= 0x80) {
      const unsigned code = s & 0x3F;
      const std::uint64_t stored = code == 0 ? 1 : 0;
      if (addr < 1 + stored) return false;
      node.n_ = 1;
      node.one_input_ = stored ? b_[addr - 1] : static_cast<unsigned char>(kCommonInputs[code - 1]);
      if (s >= 0xC0) {
        node.form_ = NodeForm::OneNext;
        node.t_ = node.o_ = 0;
        node.start_ = addr - stored;
        node.one_output_ = 0;
        node.one_target_ = addr - 1 - stored;
        return true;
      }
      node.form_ = NodeForm::One;
      const std::uint64_t p = addr - 1 - stored;
      const unsigned t = b_[p] >> 4, o = b_[p] & 0x0F;
      if (t < 1 || t > 8 || o > 8 || p < t + o) return false;
      node.t_ = static_cast<unsigned char>(t);
      node.o_ = static_cast<unsigned char>(o);
      node.start_ = p - t - o;
      node.one_output_ = node.uint_at(node.start_, o);
      const std::uint64_t d = node.uint_at(p - t, t);
      if (d > node.start_) return false;
      node.one_target_ = d == 0 ? 0 : node.start_ - d;
      return true;
    }
    node.form_ = NodeForm::Multi;
    node.final_ = (s & 0x40) != 0;
    std::uint64_t n = s & 0x3F, k = 1;
    if (n == 0) {
      n = b_[addr - 1];
      if (n == 1) n = 256;
      k = 2;
    }
    if (addr < k) return false;
    const std::uint64_t p = addr - k;
    const unsigned t = b_[p] >> 4, o = b_[p] & 0x0F;
    // Without transitions there are no deltas, so the delta width is unused.
    if (o > 8 || (n > 0 && (t < 1 || t > 8))) return false;
    const std::uint64_t index = n > threshold_ ? 256 : 0;
    const std::uint64_t span = k + index + n + n * (t + o) + (node.final_ ? o : 0);
    if (span > addr) return false;
    node.n_ = static_cast<unsigned>(n);
    node.t_ = static_cast<unsigned char>(t);
    node.o_ = static_cast<unsigned char>(o);
    node.q_ = p - index;
    node.start_ = addr - span;
    node.index_ = index != 0;
    return true;
  }

  // The node at `addr`; Corrupt when read() refuses it.
  [[gnu::always_inline]] Node at(std::uint64_t addr) const {
    Node node;
    if (!read(addr, node)) node_corrupt("node does not fit the bytes", addr);
    return node;
  }

 private:
  const unsigned char* b_ = nullptr;
  std::uint64_t len_ = 0;
  std::uint64_t threshold_ = 0;
};

}  // namespace quorvale::fst
