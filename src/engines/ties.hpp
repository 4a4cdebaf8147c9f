// The tie resolver of a dictionary's block routing. The blocks are routed by
// one 8-byte sample each; a tie is a maximal run of two or more consecutive
// blocks with equal samples, which the samples cannot tell apart. Each tie gets
// a small trie over deeper 8-byte words of its blocks' heads, so a lookup
// reaches its block with a few word comparisons and one head comparison.
// Derived from the samples and heads at load and after a build, never stored.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace quorvale::ties {

// Child marks: one block has the word (leaf), or several blocks share it and no
// deeper node tells them apart (range).
inline constexpr std::uint32_t kLeaf = 0xFFFFFFFF;
inline constexpr std::uint32_t kRange = 0xFFFFFFFE;
// Deepest node; the root has depth 1.
inline constexpr std::uint32_t kMaxDepth = 32;

using Bytes = std::span<const unsigned char>;

// The 8 bytes of s at offset o, zero padded past its end, big-endian.
inline std::uint64_t word_at(Bytes s, std::uint64_t o) noexcept {
  if (o >= s.size()) return 0;
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(8, s.size() - o));
  unsigned char b[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::memcpy(b, s.data() + o, n);
  std::uint64_t w;
  std::memcpy(&w, b, 8);
  return std::endian::native == std::endian::little ? __builtin_bswap64(w) : w;
}

// Length of the common prefix of a and b, eight bytes at a time.
inline std::uint64_t common_prefix(Bytes a, Bytes b) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) {
      const std::uint64_t d = x ^ y;
      return i + static_cast<std::size_t>(std::endian::native == std::endian::little ? std::countr_zero(d)
                                                                                     : std::countl_zero(d)) / 8;
    }
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The first i in [0, n) with v[i] >= x (n when none), halving without
// branches on the data: lookups walk the roots and nodes of many ties, and
// which way a comparison goes is not predictable.
template <class T>
inline std::size_t lower_index(const T* v, std::size_t n, std::uint64_t x) noexcept {
  if (n == 0) return 0;
  const T* b = v;
  while (n > 1) {
    const std::size_t half = n / 2;
    b = b[half] < x ? b + half : b;
    n -= half;
  }
  return static_cast<std::size_t>(b - v) + (*b < x);
}

struct Node {
  std::uint32_t offset;  // byte position in the heads where its words are read
  std::uint32_t first;   // index of its first word
  std::uint32_t count;   // its words, at least 2
  std::uint32_t end;     // the block after its block range
};

// `Ties::root`: whether a block starts a tie, and its root's position (or the
// insertion position).
struct Root {
  bool found;
  std::uint64_t position;
};

// `Ties::boundary`: the number of leading blocks whose heads sort at or before
// the query (bounded by the tie); whether boundary - 1 is the block whose head
// was compared; the common prefix of the query and that head, and its length.
struct Boundary {
  std::uint64_t boundary;
  bool at_block;
  std::uint64_t common;
  std::uint64_t head_len;
};

struct Ties {
  // First block of every tie that has a trie, ascending; tie i's root is node i.
  std::vector<std::uint32_t> roots;
  // Roots first, then inner nodes in the order they were made (breadth first).
  std::vector<Node> nodes;
  // 8 head bytes each, big-endian; a node's words are contiguous, ascending, distinct.
  std::vector<std::uint64_t> words;
  // Per word: the first block whose head has that word at the node's offset.
  std::vector<std::uint32_t> values;
  // Per word: a child node, kLeaf or kRange.
  std::vector<std::uint32_t> children;

  // The bytes of block i's head.
  using Head = std::function<Bytes(std::uint64_t)>;

  // Derives the resolver from the per-block samples and the heads; nothing
  // when there are 2^32 blocks or more or no tie gets a root (a tie whose first
  // and last heads differ only by trailing zero bytes gets none).
  static std::optional<Ties> derive(std::span<const std::uint64_t> samples, const Head& head);

  // Binary search of a block among the tie roots. A block number above
  // u32::MAX is never found.
  static Root root(std::span<const std::uint32_t> roots, std::uint64_t block) noexcept {
    // The roots at most `block`: those below block + 1.
    const std::uint64_t at =
        block >= UINT32_MAX ? roots.size() : lower_index(roots.data(), roots.size(), block + 1);
    if (at > 0 && roots[at - 1] == block) return {true, at - 1};
    return {false, at};
  }

  // Walks the trie of the tie whose root is `node` for a query. head(i) gives
  // block i's head; head_boundary(query, lo, hi) the first block in [lo, hi)
  // whose head is above the query (hi when none), by binary search over heads.
  template <class HeadFn, class HeadBoundaryFn>
  Boundary boundary(std::uint32_t node, Bytes query, HeadFn&& head, HeadBoundaryFn&& head_boundary) const {
    enum class Kind { Leaf, Range, Between } kind;
    std::uint32_t at = node;
    std::uint64_t e, f = 0, m;
    for (;;) {
      const Node& nd = nodes[at];
      const std::uint64_t* ws = words.data() + nd.first;
      const std::uint64_t w = word_at(query, nd.offset);
      const std::uint32_t i = static_cast<std::uint32_t>(lower_index(ws, nd.count, w));
      if (i < nd.count && ws[i] == w) {
        const std::uint32_t child = children[nd.first + i];
        if (child < kRange) {
          at = child;
          continue;
        }
        e = m = values[nd.first + i];
        kind = child == kLeaf ? Kind::Leaf : Kind::Range;
        if (kind == Kind::Range) f = i + 1 < nd.count ? values[nd.first + i + 1] : nd.end;
      } else {
        e = i < nd.count ? values[nd.first + i] : nd.end;
        const std::uint64_t c = values[nd.first];
        kind = Kind::Between;
        m = c < e ? e - 1 : c;
      }
      break;
    }
    const Bytes h = head(m);
    const std::uint64_t common = common_prefix(query, h);
    const bool below = common < query.size() ? (common < h.size() && query[common] < h[common]) : (common < h.size());
    std::uint64_t b;
    if (common < nodes[at].offset) {
      // The query left the tie's shared bytes above this node.
      b = correct(node, query, common, below);
    } else if (kind == Kind::Between) {
      b = e;
    } else if (kind == Kind::Leaf) {
      b = below ? e : e + 1;
    } else {
      b = head_boundary(query, e, f);
    }
    return {b, b == m + 1, common, h.size()};
  }

  // Re-walks the tie whose root is `node` for a query that parts from the
  // heads' shared bytes at position limit, sorting below them when `below`;
  // returns the block boundary.
  std::uint64_t correct(std::uint32_t node, Bytes query, std::uint64_t limit, bool below) const noexcept {
    std::uint64_t lo = values[nodes[node].first];
    std::uint64_t hi = nodes[node].end;
    if (limit < nodes[node].offset) return below ? lo : hi;
    for (std::uint32_t at = node;;) {
      const Node& nd = nodes[at];
      const std::uint64_t* ws = words.data() + nd.first;
      const std::uint64_t w = word_at(query, nd.offset);
      const std::uint32_t i = static_cast<std::uint32_t>(lower_index(ws, nd.count, w));
      if (i >= nd.count || ws[i] != w) break;
      lo = values[nd.first + i];
      hi = i + 1 < nd.count ? values[nd.first + i + 1] : nd.end;
      const std::uint32_t child = children[nd.first + i];
      if (child >= kRange || nodes[child].offset > limit) break;
      at = child;
    }
    return below ? lo : hi;
  }
};

}  // namespace quorvale::ties
