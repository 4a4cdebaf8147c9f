// The automaton of the string index's subsequence query: the keys that
// contain the query's characters in order, anything between them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "utf8.hpp"

namespace quorvale {

// The state is the number of query bytes matched so far. A query character is
// matched only by one whole character of the key: a mismatch inside a
// multi-byte character steps back to that character's first byte. Every
// state can still match, so a stream over it prunes nothing.
class CharSubsequence {
 public:
  using State = std::size_t;

  explicit CharSubsequence(std::string_view query) : q_(query) {}

  State start() const noexcept { return 0; }
  bool is_match(State s) const noexcept { return s == q_.size(); }
  bool can_match(State) const noexcept { return true; }
  State accept(State s, unsigned char b) const noexcept {
    const std::string& q = q_;
    if (s == q.size()) return s;
    if (static_cast<unsigned char>(q[s]) == b) return s + 1;
    while (s > 0 && utf8::is_continuation(static_cast<unsigned char>(q[s]))) --s;
    return s;
  }

 private:
  std::string q_;
};

}  // namespace quorvale
