// Decoding one FST node from its bytes.
//
// A node's address is the offset of its last byte (the state byte); its other
// fields lie below it. Address 0 is the empty final node, which has no bytes.
// Decoding is total: a node that does not lie wholly inside the bytes, a width
// above 8, or a target that would fall below address 0 throws Corrupt, and
// every target is below its node, so every walk ends.
#pragma once

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
    return read_le(outputs_ + std::size_t(n_ - 1 - i) * o_, o_);
  }
  // Throws Corrupt when the stored delta would lead below address 0.
  std::uint64_t target(unsigned i) const {
    if (form_ != NodeForm::Multi) return one_target_;
    std::uint64_t d = read_le(deltas_ + std::size_t(n_ - 1 - i) * t_, t_);
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
    if (n_ == 0) return std::nullopt;
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

  std::uint64_t resolve(std::uint64_t d) const {
    if (d == 0) return 0;
    if (d > start_) throw Corrupt("fst node: transition target below address 0");
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
};

// Decodes the node at `addr` of the FST bytes `fst` (the whole FST, header
// included) written in format `version` (1 to 3; version 1 has no transition
// index). Throws Corrupt on malformed bytes.
Node decode_node(std::span<const unsigned char> fst, std::uint64_t addr, std::uint64_t version);

}  // namespace quorvale::fst
