// Pull-style streams over an FST map: every key in ascending byte order, with
// its value, optionally within bounds and filtered by an automaton.
//
// The walk keeps an explicit stack of the levels it comes back to (see
// levels.hpp), so key length never turns into recursion depth, and a chain
// of single transitions costs it no memory beyond the key's bytes. A lower
// bound is reached by one descent along its bytes, without visiting smaller
// keys; the stream ends as soon as a key prefix reaches the upper bound.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "fst/automaton.hpp"
#include "fst/fst.hpp"
#include "fst/levels.hpp"
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
  // tried), each taken off it. Nothing with the budget spent is a pause: the
  // next call resumes the walk exactly there. Nothing with budget left is
  // the end of the stream.
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

  // A level's flag: the key so far equals the upper bound's prefix; its
  // extra, the automaton's state.
  using Trail = Levels<State>;
  using At = typename Trail::At;

  // The walk to the next item within `left` steps (taken by value, so that
  // it stays in a register through the loop).
  Walked walk(std::uint64_t left) {
    if (!live_) return {std::nullopt, left};
    const NodeReader reader = fst_.reader();
    At& at = at_;
    while (levels_.ready(reader, at)) {
      if (left == 0) return {std::nullopt, 0};
      --left;
      const unsigned i = at.next++;
      const unsigned char b = at.node.input(i);
      bool eq = false;
      if (!check_upper(at.flag, at.depth, b, eq)) return {finish(), left};
      State st = aut_.accept(at.extra, b);
      if (!aut_.can_match(st)) continue;
      // A malformed node ends this call, not the walk: the next call goes
      // on past the transition, as with any other error.
      std::uint64_t out, target;
      if (!at.node.follow(i, out, target)) node_corrupt("transition target below address 0", at.node.addr());
      out += at.out;
      key_.resize(at.depth);
      key_.push_back(b);
      if (target == 0) {
        // The empty final node: a key ends here, and nothing lies below.
        if (aut_.is_match(st)) return {StreamItem{key_, out}, left};
        continue;
      }
      if (!levels_.down(reader, at, target, out)) node_corrupt("node does not fit the bytes", target);
      at.flag = eq;
      at.extra = std::move(st);
      if (at.node.is_final() && aut_.is_match(at.extra)) return {StreamItem{key_, out + at.node.final_output()}, left};
    }
    live_ = false;
    return {std::nullopt, left};
  }

  std::optional<StreamItem> finish() {
    levels_.clear();
    live_ = false;
    return std::nullopt;
  }

  // False when the key of `depth` bytes (equal to the upper bound's prefix
  // when `upper_eq`) extended by b is at or above the upper bound, which
  // ends the stream; otherwise sets eq for the child.
  bool check_upper(bool upper_eq, std::uint64_t depth, unsigned char b, bool& eq) const {
    eq = false;
    if (!range_.has_upper() || !upper_eq) return true;
    const auto& up = range_.upper_key();
    const unsigned char u = up[depth];
    if (b > u) return false;
    if (b < u) return true;
    eq = true;
    return depth + 1 < up.size();
  }

  // One descent along the lower bound, keeping the levels whose transitions
  // above the bound's bytes are still to take.
  void seek() {
    if (range_.has_upper() && range_.upper_key().empty()) return;
    State st = aut_.start();
    if (!aut_.can_match(st)) return;
    key_.clear();
    const NodeReader reader = fst_.reader();
    At& at = at_;
    at = At{fst_.root(), 0, 0, 0, range_.has_upper(), std::move(st)};
    live_ = true;
    const auto& lb = range_.lower_key();
    const bool inclusive = range_.lower_kind() != Range::Lower::Excluded;
    for (;;) {
      const std::size_t d = key_.size();
      if (d == lb.size()) {
        if (inclusive && at.node.is_final() && aut_.is_match(at.extra)) pending_ = at.out + at.node.final_output();
        break;
      }
      const unsigned char b = lb[d];
      const unsigned j = at.node.lower_bound_input(b);
      at.next = j;
      if (j >= at.node.len() || at.node.input(j) != b) break;
      at.next = j + 1;
      bool eq = false;
      if (!check_upper(at.flag, d, b, eq)) {
        finish();
        return;
      }
      State next = aut_.accept(at.extra, b);
      if (!aut_.can_match(next)) break;
      const std::uint64_t out = at.out + at.node.output(j);
      const std::uint64_t target = at.node.target(j);
      if (!levels_.down(reader, at, target, out)) node_corrupt("node does not fit the bytes", target);
      at.flag = eq;
      at.extra = std::move(next);
      key_.push_back(b);
    }
  }

  Fst fst_;
  Range range_;
  A aut_;
  bool started_ = false;
  std::optional<std::uint64_t> pending_;
  bool live_ = false;  // at_ and levels_ hold the rest of the walk
  At at_;
  Trail levels_;
  std::vector<unsigned char> key_;
};

}  // namespace quorvale::fst
