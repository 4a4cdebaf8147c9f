// Bounded walks over FSTs that may be malformed or crafted. Every FST walk
// ends (targets lie below their node), but a small FST can spell 2^k keys (a
// chain of nodes with two transitions each), so a target bounds the steps of
// every stream it runs: through the Bounded automaton, or by counting the
// steps a whole stream would take before running one unbounded.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fst/automaton.hpp"
#include "fst/error.hpp"
#include "fst/fst.hpp"

namespace qfuzz {

// An automaton that behaves as A for its first `budget` transitions and then
// matches nothing more, so the stream it drives winds down.
template <quorvale::fst::Automaton A>
class Bounded {
 public:
  struct State {
    typename A::State inner;
    bool live;
  };
  Bounded(A inner, std::uint64_t* budget) : inner_(std::move(inner)), budget_(budget) {}

  State start() const { return {inner_.start(), *budget_ > 0}; }
  bool is_match(const State& s) const { return s.live && inner_.is_match(s.inner); }
  bool can_match(const State& s) const { return s.live && inner_.can_match(s.inner); }
  State accept(const State& s, unsigned char b) const {
    if (!s.live || *budget_ == 0) return {s.inner, false};
    --*budget_;
    return {inner_.accept(s.inner, b), true};
  }

 private:
  A inner_;
  std::uint64_t* budget_;  // shared by the copies the stream keeps
};

inline constexpr std::uint64_t kNoTarget = UINT64_MAX;

// The transitions an unbounded, unfiltered stream over the whole FST would
// follow, or limit + 1 when that is more than `limit`. A node that does not
// decode ends the walk there (the stream throws at it), so it adds nothing.
inline std::uint64_t stream_steps(const quorvale::fst::Fst& f, std::uint64_t limit) {
  const std::uint64_t cap = limit + 1;
  auto sat_add = [cap](std::uint64_t a, std::uint64_t b) { return a >= cap || b >= cap - a ? cap : a + b; };
  std::unordered_map<std::uint64_t, std::uint64_t> memo;  // steps below a node
  struct Frame {
    quorvale::fst::Node node;
    unsigned next = 0;
    std::uint64_t steps = 0;
    std::uint64_t pending = kNoTarget;  // the target whose count is awaited
  };
  auto open = [&](std::uint64_t addr) -> std::optional<quorvale::fst::Node> {
    try {
      return f.node(addr);
    } catch (const quorvale::fst::Corrupt&) {
      memo[addr] = 0;
      return std::nullopt;
    }
  };
  auto root = open(f.root_addr());
  if (!root) return 0;
  std::vector<Frame> stack{Frame{*root}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.pending != kNoTarget) {
      top.steps = sat_add(top.steps, sat_add(1, memo.at(top.pending)));
      top.pending = kNoTarget;
    }
    if (top.next >= top.node.len() || top.steps >= cap) {
      const std::uint64_t addr = top.node.addr(), steps = top.steps;
      stack.pop_back();
      memo[addr] = steps;
      if (stack.empty()) return steps;
      continue;
    }
    const unsigned i = top.next++;
    std::uint64_t target;
    try {
      target = top.node.target(i);
    } catch (const quorvale::fst::Corrupt&) {
      top.steps = sat_add(top.steps, 1);
      top.pending = kNoTarget;
      continue;
    }
    top.pending = target;
    if (memo.count(target)) continue;
    auto child = open(target);
    if (child) stack.push_back(Frame{*child});
  }
  return 0;
}

}  // namespace qfuzz
