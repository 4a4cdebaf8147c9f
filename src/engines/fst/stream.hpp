// Pull-style streams over an FST map: every key in ascending byte order, with
// its value, optionally within bounds and filtered by an automaton.
//
// The walk keeps an explicit stack (one level per key byte), so key length
// never turns into recursion depth. A lower bound is reached by one descent
// along its bytes, without visiting smaller keys; the stream ends as soon as
// a key prefix reaches the upper bound.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "fst/automaton.hpp"
#include "fst/fst.hpp"
#include "fst/node.hpp"

namespace quorvale::fst {

class Range {
 public:
  enum class Lower { None, Included, Excluded };

  Range& ge(std::span<const unsigned char> key) { return lower(Lower::Included, key); }
  Range& gt(std::span<const unsigned char> key) { return lower(Lower::Excluded, key); }
  Range& lt(std::span<const unsigned char> key) {
    upper_.assign(key.begin(), key.end());
    has_upper_ = true;
    return *this;
  }
  Range& ge(std::string_view key) { return ge(as_bytes(key)); }
  Range& gt(std::string_view key) { return gt(as_bytes(key)); }
  Range& lt(std::string_view key) { return lt(as_bytes(key)); }

  Lower lower_kind() const noexcept { return lower_kind_; }
  const std::vector<unsigned char>& lower_key() const noexcept { return lower_; }
  bool has_upper() const noexcept { return has_upper_; }
  const std::vector<unsigned char>& upper_key() const noexcept { return upper_; }

 private:
  static std::span<const unsigned char> as_bytes(std::string_view s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
  }
  Range& lower(Lower kind, std::span<const unsigned char> key) {
    lower_kind_ = kind;
    lower_.assign(key.begin(), key.end());
    return *this;
  }

  Lower lower_kind_ = Lower::None;
  std::vector<unsigned char> lower_;
  bool has_upper_ = false;
  std::vector<unsigned char> upper_;
};

struct StreamItem {
  std::span<const unsigned char> key;  // valid until the next call to next()
  std::uint64_t value;
};

template <Automaton A = AlwaysMatch>
class Stream {
 public:
  using State = typename A::State;

  // The stream keeps `fst`'s bytes alive. Nothing is read before the first
  // next(). Malformed nodes throw Corrupt from next().
  explicit Stream(Fst fst, Range range = {}, A automaton = A{})
      : fst_(std::move(fst)), range_(std::move(range)), aut_(std::move(automaton)) {}

  std::optional<StreamItem> next() {
    std::uint64_t budget = UINT64_MAX;
    return next(budget);
  }

  // As next(), taking at most `budget` steps of the walk (one a transition
  // tried or a level left), each taken off it. Nothing with the budget spent
  // is a pause: the next call resumes the walk exactly there. Nothing with
  // budget left is the end of the stream.
  std::optional<StreamItem> next(std::uint64_t& budget) {
    if (!started_) {
      started_ = true;
      seek();
    }
    if (pending_) {
      const std::uint64_t value = *pending_;
      pending_.reset();
      return StreamItem{key_, value};
    }
    Walked w = walk(budget);
    budget = w.left;
    return w.item;
  }

 private:
  struct Walked {
    std::optional<StreamItem> item;
    std::uint64_t left;
  };

  // The walk to the next item within `left` steps (taken by value, so that
  // it stays in a register through the loop).
  Walked walk(std::uint64_t left) {
    while (!stack_.empty()) {
      if (left == 0) return {std::nullopt, 0};
      --left;
      Frame& top = stack_.back();
      if (top.next >= top.node.len()) {
        stack_.pop_back();
        continue;
      }
      const unsigned i = top.next++;
      const unsigned char b = top.node.input(i);
      bool eq = false;
      if (!check_upper(top, b, eq)) return {finish(), left};
      State st = aut_.accept(top.state, b);
      if (!aut_.can_match(st)) continue;
      const std::uint64_t out = top.out + top.node.output(i);
      Node child = fst_.node(top.node.target(i));
      key_.resize(stack_.size() - 1);
      key_.push_back(b);
      const bool emit = child.is_final() && aut_.is_match(st);
      const std::uint64_t value = out + child.final_output();
      stack_.push_back(Frame{child, out, std::move(st), 0, eq});
      if (emit) return {StreamItem{key_, value}, left};
    }
    return {std::nullopt, left};
  }

  // One level of the walk; the key so far is as long as the levels above it.
  // Each level keeps its node decoded, so going back up decodes nothing.
  struct Frame {
    Node node;
    std::uint64_t out;    // output accumulated on reaching this node
    State state;
    unsigned next;        // the next transition to follow
    bool upper_eq;        // the key so far equals the upper bound's prefix
  };

  std::optional<StreamItem> finish() {
    stack_.clear();
    return std::nullopt;
  }

  // False when the key extended by b (from `f`) is at or above the upper
  // bound, which ends the stream; otherwise sets eq for the child.
  bool check_upper(const Frame& f, unsigned char b, bool& eq) const {
    eq = false;
    if (!range_.has_upper() || !f.upper_eq) return true;
    const auto& up = range_.upper_key();
    const std::size_t depth = stack_.size() - 1;  // f is the top level
    const unsigned char u = up[depth];
    if (b > u) return false;
    if (b < u) return true;
    eq = true;
    return depth + 1 < up.size();
  }

  void seek() {
    if (range_.has_upper() && range_.upper_key().empty()) return;
    State st = aut_.start();
    if (!aut_.can_match(st)) return;
    stack_.push_back(Frame{fst_.root(), 0, std::move(st), 0, range_.has_upper()});
    key_.clear();
    const auto& lb = range_.lower_key();
    const bool inclusive = range_.lower_kind() != Range::Lower::Excluded;
    for (;;) {
      Frame& top = stack_.back();
      const Node& cur = top.node;
      const std::size_t d = stack_.size() - 1;
      if (d == lb.size()) {
        if (inclusive && cur.is_final() && aut_.is_match(top.state)) pending_ = top.out + cur.final_output();
        return;
      }
      const unsigned char b = lb[d];
      const unsigned j = cur.lower_bound_input(b);
      if (j >= cur.len() || cur.input(j) != b) {
        top.next = j;
        return;
      }
      top.next = j + 1;
      bool eq = false;
      if (!check_upper(top, b, eq)) {
        finish();
        return;
      }
      State next = aut_.accept(top.state, b);
      if (!aut_.can_match(next)) return;
      const std::uint64_t out = top.out + cur.output(j);
      Node child = fst_.node(cur.target(j));
      key_.push_back(b);
      stack_.push_back(Frame{child, out, std::move(next), 0, eq});
    }
  }

  Fst fst_;
  Range range_;
  A aut_;
  bool started_ = false;
  std::optional<std::uint64_t> pending_;
  std::vector<Frame> stack_;
  std::vector<unsigned char> key_;
};

}  // namespace quorvale::fst
