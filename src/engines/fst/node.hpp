// Decoding one FST node from its bytes.
//
// A node's address is the offset of its last byte (the state byte); its other
// fields lie below it. Address 0 is the empty final node, which has no bytes.
// Decoding is total: a node that does not lie wholly inside the bytes, a width
// above 8, or a target that would fall below address 0 throws Corrupt, and
// every target is below its node, so every walk ends.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

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

class Node;
[[noreturn]] void node_corrupt(const char* what, std::uint64_t addr);
Node decode_node(std::span<const unsigned char> fst, std::uint64_t addr, std::uint64_t version);

class Node {
 public:
  Node() = default;  // the empty final node

  NodeForm form() const noexcept { return form_; }
  std::uint64_t addr() const noexcept { return addr_; }
  // The node's lowest byte (equal to addr for the empty final node).
  std::uint64_t start() const noexcept { return start_; }
  bool is_final() const noexcept { return final_; }
  std::uint64_t final_output() const noexcept { return final_output_; }
  unsigned len() const noexcept { return n_; }
  unsigned delta_width() const noexcept { return t_; }
  unsigned output_width() const noexcept { return o_; }
  bool has_index() const noexcept { return index_ != nullptr; }

  unsigned char input(unsigned i) const noexcept {
    return form_ == NodeForm::Multi ? inputs_[n_ - 1 - i] : one_input_;
  }
  std::uint64_t output(unsigned i) const noexcept {
    if (form_ != NodeForm::Multi) return one_output_;
    return load(outputs_ + std::size_t(n_ - 1 - i) * o_, o_);
  }
  // Throws Corrupt when the stored delta would lead below address 0.
  std::uint64_t target(unsigned i) const {
    if (form_ != NodeForm::Multi) return one_target_;
    std::uint64_t d = load(deltas_ + std::size_t(n_ - 1 - i) * t_, t_);
    return resolve(d);
  }
  Transition transition(unsigned i) const { return {input(i), output(i), target(i)}; }

  // The number of the transition on byte b, if any.
  std::optional<unsigned> find_input(unsigned char b) const noexcept {
    switch (form_) {
      case NodeForm::EmptyFinal:
        return std::nullopt;
      case NodeForm::OneNext:
      case NodeForm::One:
        if (b == one_input_) return 0u;
        return std::nullopt;
      case NodeForm::Multi:
        break;
    }
    if (index_ != nullptr) {
      unsigned i = index_[b];
      // A damaged index could name another transition: confirm the input.
      if (i < n_ && inputs_[n_ - 1 - i] == b) return i;
      return std::nullopt;
    }
    if (n_ <= 16) {
      for (unsigned k = 0; k < n_; ++k)
        if (inputs_[k] == b) return n_ - 1 - k;
      return std::nullopt;
    }
    const void* hit = std::memchr(inputs_, b, n_);
    if (hit == nullptr) return std::nullopt;
    unsigned k = static_cast<unsigned>(static_cast<const unsigned char*>(hit) - inputs_);
    return n_ - 1 - k;
  }

  // The first transition whose input is >= b (len() when there is none).
  unsigned lower_bound_input(unsigned char b) const noexcept {
    if (form_ == NodeForm::Multi && n_ > 0) {
      if (index_ != nullptr) {
        if (auto i = find_input(b)) return *i;
      }
      // Inputs ascend with the transition number.
      unsigned lo = 0, hi = n_;
      while (lo < hi) {
        unsigned mid = (lo + hi) / 2;
        if (inputs_[n_ - 1 - mid] < b) lo = mid + 1;
        else hi = mid;
      }
      return lo;
    }
    if (n_ == 1 && one_input_ < b) return 1;
    return 0;
  }

 private:
  friend Node decode_node(std::span<const unsigned char> fst, std::uint64_t addr, std::uint64_t version);
  friend void node_corrupt(const char* what, std::uint64_t addr);

  // read_le of `width` bytes at p, as one masked 8-byte load wherever eight
  // bytes remain before the end: no loop whose length the branch predictor
  // has to guess.
  std::uint64_t load(const unsigned char* p, unsigned width) const noexcept {
    if (limit_ - p >= 8) {
      static constexpr std::uint64_t kMask[9] = {0, 0xFF, 0xFFFF, 0xFFFFFF, 0xFFFFFFFF, 0xFFFFFFFFFF, 0xFFFFFFFFFFFF,
                                                 0xFFFFFFFFFFFFFF, 0xFFFFFFFFFFFFFFFF};
      std::uint64_t v;
      std::memcpy(&v, p, 8);
      if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
      return v & kMask[width];
    }
    return read_le(p, width);
  }

  std::uint64_t resolve(std::uint64_t d) const {
    if (d == 0) return 0;
    if (d > start_) node_corrupt("transition target below address 0", addr_);
    return start_ - d;
  }

  NodeForm form_ = NodeForm::EmptyFinal;
  bool final_ = true;
  unsigned char t_ = 0, o_ = 0;
  unsigned char one_input_ = 0;
  unsigned n_ = 0;
  std::uint64_t addr_ = 0, start_ = 0;
  std::uint64_t final_output_ = 0;
  std::uint64_t one_output_ = 0, one_target_ = 0;
  const unsigned char* inputs_ = nullptr;   // lowest input byte (transition n - 1)
  const unsigned char* deltas_ = nullptr;   // lowest delta (transition n - 1)
  const unsigned char* outputs_ = nullptr;  // lowest output (transition n - 1)
  const unsigned char* index_ = nullptr;    // 256-byte transition index, if any
  const unsigned char* limit_ = nullptr;    // one past the FST's last byte
};

// Decodes the node at `addr` of the FST bytes `fst` (the whole FST, header
// included) written in format `version` (1 to 3; version 1 has no transition
// index). Throws Corrupt on malformed bytes. Always inlined: a stream
// decodes a node at every step, and whether the compiler inlined this call
// into it (by its own measure of the caller) changed a full walk's time
// twofold.
[[gnu::always_inline]] inline Node decode_node(std::span<const unsigned char> fst, std::uint64_t addr,
                                               std::uint64_t version) {
  Node node;
  if (addr == 0) return node;
  if (addr >= fst.size()) node_corrupt("address outside the bytes", addr);
  const unsigned char* b = fst.data();
  const unsigned char state = b[addr];
  node.addr_ = addr;
  node.limit_ = b + fst.size();
  node.final_ = false;

  if (state >= 0x80) {
    const unsigned code = state & 0x3F;
    const std::uint64_t stored = code == 0 ? 1 : 0;
    if (addr < 1 + stored) node_corrupt("node runs below the start", addr);
    node.one_input_ = stored ? b[addr - 1] : static_cast<unsigned char>(kCommonInputs[code - 1]);
    node.n_ = 1;
    if (state >= 0xC0) {
      node.form_ = NodeForm::OneNext;
      node.start_ = addr - stored;
      node.one_target_ = addr - 1 - stored;
      return node;
    }
    node.form_ = NodeForm::One;
    const std::uint64_t p = addr - 1 - stored;
    const unsigned pack = b[p];
    const unsigned t = pack >> 4, o = pack & 0x0F;
    if (t < 1 || t > 8 || o > 8) node_corrupt("bad width", addr);
    if (p < t + o) node_corrupt("node runs below the start", addr);
    node.t_ = static_cast<unsigned char>(t);
    node.o_ = static_cast<unsigned char>(o);
    node.start_ = p - t - o;
    node.one_output_ = node.load(b + node.start_, o);
    node.one_target_ = node.resolve(node.load(b + p - t, t));
    return node;
  }

  node.form_ = NodeForm::Multi;
  node.final_ = (state & 0x40) != 0;
  std::uint64_t n = state & 0x3F;
  std::uint64_t k = 1;
  if (n == 0) {
    if (addr < 1) node_corrupt("node runs below the start", addr);
    n = b[addr - 1];
    if (n == 1) n = 256;
    k = 2;
  }
  if (addr < k) node_corrupt("node runs below the start", addr);
  const std::uint64_t p = addr - k;
  const unsigned pack = b[p];
  const unsigned t = pack >> 4, o = pack & 0x0F;
  // Without transitions there are no deltas, so the delta width is unused.
  if (o > 8 || (n > 0 && (t < 1 || t > 8))) node_corrupt("bad width", addr);
  const std::uint64_t index = (version >= 2 && n > 32) ? 256 : 0;
  const std::uint64_t span = k + index + n + n * (t + o) + (node.final_ ? o : 0);
  if (span > addr) node_corrupt("node runs below the start", addr);
  const std::uint64_t q = p - index;
  node.n_ = static_cast<unsigned>(n);
  node.t_ = static_cast<unsigned char>(t);
  node.o_ = static_cast<unsigned char>(o);
  node.start_ = addr - span;
  node.index_ = index ? b + q : nullptr;
  node.inputs_ = b + q - n;
  node.deltas_ = b + q - n - n * t;
  node.outputs_ = b + q - n - n * t - n * o;
  if (node.final_) node.final_output_ = node.load(b + node.start_, o);
  return node;
}

}  // namespace quorvale::fst
