// Dictionary matching over a string index's FST: the walk that reports every
// key that is a prefix of a text, and the first-character table that lets a
// walk skip the one to three nodes spelling the text's first character.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "fst/fst.hpp"
#include "fst/node.hpp"
#include "utf8.hpp"

namespace quorvale {

// For every character below U+10000 that begins some key: the node reached
// from the root by its UTF-8 bytes and the outputs summed on the way.
class FirstChars {
 public:
  struct Target {
    std::uint32_t node;
    std::uint32_t output;
  };

  // The table over `fst`, or nothing when an address, an output or the
  // number of entries does not fit 32 bits. Reads nodes with the FST
  // engine's decoder: malformed nodes throw its errors.
  static std::optional<FirstChars> derive(const fst::Fst& fst);

  bool root_final() const noexcept { return root_final_; }
  std::uint64_t root_final_output() const noexcept { return root_final_output_; }
  std::span<const std::uint64_t> bits() const noexcept { return bits_; }
  std::span<const std::uint32_t> ranks() const noexcept { return ranks_; }
  std::span<const Target> targets() const noexcept { return targets_; }

  // The entry of code point c, if some key begins with it.
  const Target* find(std::uint32_t c) const noexcept {
    const std::size_t w = c >> 6;
    if (w >= bits_.size()) return nullptr;
    const std::uint64_t word = bits_[w];
    const std::uint64_t below = (std::uint64_t{1} << (c & 63)) - 1;
    if ((word >> (c & 63) & 1) == 0) return nullptr;
    return &targets_[ranks_[w] + std::popcount(word & below)];
  }

 private:
  bool root_final_ = false;
  std::uint64_t root_final_output_ = 0;
  std::vector<std::uint64_t> bits_;
  std::vector<std::uint32_t> ranks_;
  std::vector<Target> targets_;
};

namespace fst_walk {

// One first character found under the root: its code point and where its
// bytes lead.
struct Entry {
  std::uint32_t code_point;
  std::uint64_t node;
  std::uint64_t output;
};

// The derivation's step: from `node`, reached with `output` by the `depth`
// bytes in `bytes` of a `length`-byte character, follow every continuation
// byte down to the character's end and append its entry (skipping overlong
// and surrogate forms). False when a node or output needs 32 bits or more:
// the table is then absent.
bool descend(const fst::Fst& fst, std::uint64_t node, std::uint64_t output, unsigned char (&bytes)[3],
             unsigned depth, unsigned length, std::vector<Entry>& entries);

// The one-time cell of an index's table: not yet derived, derived as absent,
// or derived as present. The first caller derives while later ones wait; a
// derivation that throws leaves the cell underived for the next caller.
class FirstCharsCell {
 public:
  // The table, or nullptr when it is absent.
  const FirstChars* get(const fst::Fst& fst) const;

 private:
  enum : unsigned char { Underived, Absent, Present };
  mutable std::atomic<unsigned char> state_{Underived};
  mutable std::mutex mu_;
  mutable std::optional<FirstChars> table_;
};

// Where a walk starts: a node, the output accumulated on reaching it and the
// number of query bytes it has consumed.
struct Start {
  std::uint64_t addr;
  std::uint64_t output;
  std::size_t pos;
};

// The walk along `q` from `start`: report(length, id) for every final node
// reached at a character boundary of q with at least `min_len` bytes
// consumed, shortest first. Reads nodes with the bounds-checked reader; a
// node that does not fit ends the walk. Returns the bytes of q it reached.
template <class Report>
std::size_t walk(const fst::NodeReader& reader, std::span<const unsigned char> q, Start start,
                 std::size_t min_len, Report&& report) {
  std::uint64_t addr = start.addr, acc = start.output;
  std::size_t pos = start.pos;
  const std::size_t m = q.size();
  fst::Node node;
  for (;;) {
    if (!reader.read(addr, node)) return pos;
    if (node.is_final() && pos >= min_len && (pos == 0 || pos == m || !utf8::is_continuation(q[pos]))) {
      std::uint64_t id;
      if (!__builtin_add_overflow(acc, node.final_output(), &id)) report(pos, id);
    }
    if (pos == m) return pos;
    const unsigned i = node.find(q[pos]);
    if (i >= node.len()) return pos;
    std::uint64_t out, target;
    if (!node.follow(i, out, target) || __builtin_add_overflow(acc, out, &acc)) return pos;
    addr = target;
    ++pos;
  }
}

// Where the walk over `q` starts with the table, or nothing when no key
// begins with q's first character. Without a table, at an empty query, or
// when the first character is not a well-formed one below U+10000, the walk
// starts at the root.
inline std::optional<Start> start_of(const FirstChars* table, std::uint64_t root, std::span<const unsigned char> q) {
  const Start at_root{root, 0, 0};
  if (table == nullptr || q.empty()) return at_root;
  const std::size_t len = utf8::char_len(q.data(), q.size());
  if (len == 0 || len == 4) return at_root;
  std::uint32_t c = len == 1 ? q[0] : len == 2 ? (q[0] & 0x1Fu) : (q[0] & 0x0Fu);
  for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (q[k] & 0x3Fu);
  const FirstChars::Target* t = table->find(c);
  if (t == nullptr) return std::nullopt;
  return Start{t->node, t->output, len};
}

}  // namespace fst_walk
}  // namespace quorvale
