// The levels a depth-first walk over an FST comes back to.
//
// A walk works on one node at a time (`At`: the node decoded, the next
// transition to take, the key length and the output on reaching it, and what
// the walk adds, such as an automaton state). As it goes down a transition,
// it keeps a level to come back to only when the node still has transitions
// after it, and only what resuming it needs: not the decoded node, which is
// decoded again when the walk comes back (into the same place, field by
// field: a decoded node copied whole waits on the stores that made it). So a
// chain of one-transition nodes, however long, holds no level at all, and a
// key's depth costs the walk its bytes and 24 bytes (32 with an automaton
// state of a word) per level where it branches.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "fst/node.hpp"

namespace quorvale::fst {

// What a walk that adds nothing keeps per level.
struct NoExtra {};

template <class Extra = NoExtra>
class Levels {
 public:
  // Where a walk is.
  struct At {
    Node node;
    std::uint64_t out = 0;    // the output accumulated on reaching the node
    std::uint64_t depth = 0;  // the key bytes on reaching it
    unsigned next = 0;        // the next transition to take
    bool flag = false;        // the walk's own
    [[no_unique_address]] Extra extra{};
  };

  // Keeps `at` to come back to, if its node has a transition left.
  void keep(const At& at) {
    if (at.next < at.node.len())
      levels_.push_back(Level{at.node.addr(), at.out, at.depth << 17 | std::uint64_t{at.next} << 1 | at.flag, at.extra});
  }

  // Makes `at` a node with a transition left to take, coming back up as far
  // as needed; false when the walk is over. Inlined always, as down() is:
  // a walk calls both at every step.
  [[gnu::always_inline]] bool ready(const NodeReader& reader, At& at) {
    if (at.next < at.node.len()) return true;
    if (levels_.empty()) return false;
    back(reader, at);  // a level is kept only with a transition left
    return true;
  }

  // Goes down from `at`, past the transition taken, to the node at `target`,
  // reached with `out`: `at` becomes that node (the flag and the extra are
  // the caller's to set). False when the node does not decode: `at` then has
  // nothing below, and the walk goes back up from it.
  [[gnu::always_inline]] bool down(const NodeReader& reader, At& at, std::uint64_t target, std::uint64_t out) {
    keep(at);
    at.out = out;
    at.depth += 1;
    at.next = 0;
    if (reader.read(target, at.node)) return true;
    at.node = Node{};
    return false;
  }

  // Comes back to the last level kept, its node decoded again (a node that
  // decoded once decodes alike); the level leaves.
  void back(const NodeReader& reader, At& at) {
    Level& l = levels_.back();
    if (!reader.read(l.addr, at.node)) node_corrupt("node does not fit the bytes", l.addr);
    at.out = l.out;
    at.depth = l.packed >> 17;
    at.next = static_cast<unsigned>(l.packed >> 1 & 0xFFFF);
    at.flag = (l.packed & 1) != 0;
    at.extra = std::move(l.extra);
    levels_.pop_back();
  }

  void clear() noexcept { levels_.clear(); }

 private:
  struct Level {
    std::uint64_t addr;
    std::uint64_t out;
    // depth << 17 | next << 1 | flag, packed by hand (bit-fields copy
    // slowly): a key is shorter than its FST, below 2^47 bytes, and a node
    // has at most 256 transitions.
    std::uint64_t packed;
    [[no_unique_address]] Extra extra;
  };
  std::vector<Level> levels_;
};

}  // namespace quorvale::fst
