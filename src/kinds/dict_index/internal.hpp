// Helpers shared by the files of the dictionary unit; not part of its
// interface.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dict_index/layout.hpp"

namespace quorvale {

namespace dict_index {

inline ByteSpan as_bytes(const std::string& s) noexcept {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// A query as the scans read it: 8 bytes at a time from any position, the
// reads near its end assembled from one word of its last bytes taken once,
// so that nothing is read past it.
class Query {
 public:
  explicit Query(ByteSpan q) noexcept : p_(q.data()), n_(q.size()) {
    if (n_ >= 8) {
      tail_ = load_le64(p_ + n_ - 8);
    } else if (n_ > 0) {
      tail_ = fsst::window(p_, n_);
    }
  }
  const unsigned char* data() const noexcept { return p_; }
  std::size_t size() const noexcept { return n_; }
  unsigned char operator[](std::size_t i) const noexcept { return p_[i]; }
  // The bytes from pos (below the size) on, at most 8, little-endian, zero
  // past the end.
  std::uint64_t word(std::size_t pos) const noexcept {
    if (pos + 8 <= n_) return load_le64(p_ + pos);
    return n_ >= 8 ? tail_ >> (8 * (pos + 8 - n_)) : tail_ >> (8 * pos);
  }

 private:
  const unsigned char* p_;
  std::size_t n_;
  std::uint64_t tail_ = 0;
};

// All ones over the low k bytes, k = 0..8.
inline constexpr std::uint64_t low_bytes(unsigned k) noexcept {
  return k >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * k)) - 1;
}

// Bytewise order of two byte strings, a proper prefix first.
inline int compare_bytes(ByteSpan a, ByteSpan b) noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// The bytes of a span as bytes of the other kind.
inline ByteSpan bytes_of(std::string_view s) noexcept {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// The stored head prefix (the first min(P, its length) bytes of head 0).
ByteSpan head_prefix_of(const Layout& d) noexcept;
// A head prefix's verdict on a query, when it settles the block boundary: 0
// below it (a proper prefix of it included), Y above it; nothing when the
// query starts with it (or it is empty).
std::optional<std::uint64_t> prefix_boundary(const Layout& d, ByteSpan head_prefix, ByteSpan q) noexcept;
// The first i in [0, n) with v[i] >= s (n when none), without branches on
// the data.
inline std::uint64_t lower_bound_of(const std::uint64_t* v, std::uint64_t n, std::uint64_t s) noexcept {
  if (n == 0) return 0;
  const std::uint64_t* b = v;
  while (n > 1) {
    const std::uint64_t half = n / 2;
    // Both places the next step may probe, fetched while this one compares.
    __builtin_prefetch(b + half / 2);
    __builtin_prefetch(b + half + half / 2);
    b = b[half] < s ? b + half : b;
    n -= half;
  }
  return static_cast<std::uint64_t>(b - v) + (*b < s);
}

// The same search over values read through at(i), probing the same places.
template <class At>
std::uint64_t lower_bound_by(const At& at, std::uint64_t n, std::uint64_t s) {
  if (n == 0) return 0;
  std::uint64_t b = 0;
  while (n > 1) {
    const std::uint64_t half = n / 2;
    b = at(b + half) < s ? b + half : b;
    n -= half;
  }
  return b + (at(b) < s);
}

// The in-block search of a query above block e's head, in two steps so that
// a batch can fetch a lane's run while it prepares the others: the plan
// (the microblock the route words choose, or the restart scan), then the
// scans.
struct BlockPlan {
  std::uint64_t e = 0;           // the block
  std::uint64_t keys = 0, m = 0;  // its keys and microblocks
  std::uint64_t head_depth = 0;  // the query's common prefix with the head
  bool restart = false;          // the restart run decides the microblock
  std::uint64_t t = 0;           // else the microblock
  std::uint64_t depth = 0;       // and the depth its scan starts from
};
BlockPlan plan_block(const Layout& d, std::uint64_t e, ByteSpan q, std::uint64_t depth) noexcept;
// The restart scan of a plan that needs one: the answer when a restart
// equals the query, else nothing and the plan's microblock and depth set.
std::optional<Search> settle_restart(const Layout& d, BlockPlan& plan, ByteSpan q) noexcept;
Search run_block(const Layout& d, BlockPlan plan, ByteSpan q) noexcept;

// How a batched lookup cuts and searches its keys. The defaults are the
// batch's own; tests give others to reach every path with few keys.
struct BatchShape {
  // Keys of a chunk ordered by block, and of one searched in its own order.
  std::size_t chunk = std::size_t{1} << 22;
  std::size_t plain_chunk = 32;
  // -1: order a batch by block when it has at least n / dense keys, mostly
  // short ones; 0: never; 1: always.
  int order = -1;
  // A block is decoded whole when keys · dense reach its key count (nothing:
  // the batch's own ratio, by the index's codecs), and its restarts alone
  // from `route` keys on.
  std::optional<std::uint64_t> dense = std::nullopt;
  std::size_t route = 2;
};
// The batched lookup (Layout::ids_into) under a given shape.
void ids_into_shaped(const Layout& d, std::span<const std::string_view> keys, std::uint64_t* out,
                     const BatchShape& shape);

// Appends the characters that the code bytes spell, stopping once at least
// `limit` bytes are out; false at a code byte that names no character or a
// lead whose second byte is missing.
bool spell_into(const charcode::CharCode& code, ByteSpan coded, std::string& out, std::size_t limit);

}  // namespace dict_index
}  // namespace quorvale
