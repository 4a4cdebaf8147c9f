// The planner's vocabulary, shared with the command line: the kinds it can
// price, what the caller needs an index to do, and what the ranking is by.
#pragma once

#include <cstdint>

namespace quorvale {

// The index kinds the planner prices and the command line builds; the codes
// are stored in the command line's choice (255 there for "auto").
enum class IndexKind : std::uint8_t {
  CompactHashIndex = 0,
  ClosedHashIndex = 1,
  PerfectHashIndex = 2,
  StringIndex = 3,
  DictIndex = 4,
};

// The class name a kind is printed and returned under.
constexpr const char* kind_name(IndexKind kind) noexcept {
  switch (kind) {
    case IndexKind::CompactHashIndex: return "CompactHashIndex";
    case IndexKind::ClosedHashIndex: return "ClosedHashIndex";
    case IndexKind::PerfectHashIndex: return "PerfectHashIndex";
    case IndexKind::StringIndex: return "StringIndex";
    case IndexKind::DictIndex: return "DictIndex";
  }
  return "";
}

// What the index must be able to do; with none set only id(key) is asked.
struct Needs {
  bool reverse = false;  // key(id) as well
  bool ordered = false;  // ids in byte order, in-order iteration
  bool prefix = false;   // prefix and range queries
  bool fuzzy = false;    // Levenshtein and subsequence queries
  bool exact = false;    // a non-member answered as one: no probabilistic kind
  bool operator==(const Needs&) const = default;
};

// A weighted mix of operations; batch is the keys one batched call holds.
struct Workload {
  std::uint64_t hits = 0;
  std::uint64_t misses = 0;
  std::uint64_t reverse = 0;
  std::uint64_t prefix = 0;
  std::uint64_t common_prefix = 0;
  std::uint64_t longest_prefix = 0;
  std::uint32_t batch = 0;
  bool operator==(const Workload&) const = default;
};

struct Objective {
  enum class Tag : std::uint8_t { Memory = 0, Latency = 1, Balanced = 2, Workload = 3 };
  Tag tag = Tag::Memory;
  Workload workload;  // meaningful for Tag::Workload only
  bool operator==(const Objective&) const = default;
};

}  // namespace quorvale
