// Automata that drive a stream: which keys it yields and which subtrees it
// may skip.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace quorvale::fst {

// start(): the state before any key byte; is_match(s): a key ending in s is
// yielded; can_match(s): some extension of the key so far may still match
// (false lets the stream skip the whole subtree); accept(s, b): the state
// after byte b. States are small values copied into each stream level.
template <class A>
concept Automaton = std::copy_constructible<A> && requires(const A& a, const typename A::State& s, unsigned char b) {
  { a.start() } -> std::convertible_to<typename A::State>;
  { a.is_match(s) } -> std::convertible_to<bool>;
  { a.can_match(s) } -> std::convertible_to<bool>;
  { a.accept(s, b) } -> std::convertible_to<typename A::State>;
};

// Matches every key.
struct AlwaysMatch {
  struct State {};
  State start() const noexcept { return {}; }
  bool is_match(State) const noexcept { return true; }
  bool can_match(State) const noexcept { return true; }
  State accept(State, unsigned char) const noexcept { return {}; }
};

// Matches the keys that start with a byte string.
class StartsWith {
 public:
  // Number of prefix bytes matched so far; kDead once a byte differed.
  using State = std::size_t;
  static constexpr State kDead = static_cast<State>(-1);

  explicit StartsWith(std::span<const unsigned char> prefix) : prefix_(prefix.begin(), prefix.end()) {}
  explicit StartsWith(std::string_view prefix)
      : prefix_(reinterpret_cast<const unsigned char*>(prefix.data()),
                reinterpret_cast<const unsigned char*>(prefix.data()) + prefix.size()) {}

  State start() const noexcept { return 0; }
  bool is_match(State s) const noexcept { return s == prefix_.size(); }
  bool can_match(State s) const noexcept { return s != kDead; }
  State accept(State s, unsigned char b) const noexcept {
    if (s == kDead || s == prefix_.size()) return s;
    return prefix_[s] == b ? s + 1 : kDead;
  }

 private:
  std::vector<unsigned char> prefix_;
};

}  // namespace quorvale::fst
