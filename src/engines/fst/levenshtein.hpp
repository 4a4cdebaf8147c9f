// A deterministic automaton over UTF-8 bytes accepting exactly the keys within
// an edit distance of a query, counted in characters: inserting, deleting or
// substituting one character costs 1. Keys that are not well-formed UTF-8
// never match.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "fst/error.hpp"

namespace quorvale::fst {

class Levenshtein {
 public:
  using State = std::uint32_t;
  static constexpr std::uint32_t kStateLimit = 10000;

  // Builds the whole automaton at once. Throws AutomatonError with
  // "Levenshtein automaton exceeds size limit of 10000 states" when it would
  // need more states than the limit, and AutomatonError when `query` is not
  // well-formed UTF-8.
  Levenshtein(std::string_view query, std::uint32_t distance);

  State start() const noexcept { return t_->start; }
  bool is_match(State s) const noexcept { return t_->match[s] != 0; }
  bool can_match(State s) const noexcept { return s != kDead; }
  State accept(State s, unsigned char b) const noexcept { return t_->trans[std::size_t(s) * 256 + b]; }

  // States allocated, the dead state included.
  std::size_t state_count() const noexcept { return t_->match.size(); }

 private:
  static constexpr State kDead = 0;
  struct Tables {
    std::vector<State> trans;           // 256 per state
    std::vector<unsigned char> match;   // per state
    State start = 0;
  };
  std::shared_ptr<const Tables> t_;  // shared: copies are cheap
  friend class LevenshteinBuild;
};

}  // namespace quorvale::fst
