#include "ties.hpp"

#include <deque>

namespace quorvale::ties {

std::optional<Ties> Ties::derive(std::span<const std::uint64_t> samples, const Head& head) {
  const std::uint64_t blocks = samples.size();
  if (blocks > UINT32_MAX) return std::nullopt;
  Ties t;

  // Roots: every tie whose first and last heads part at a real byte.
  for (std::uint64_t u = 0; u < blocks;) {
    std::uint64_t end = u + 1;
    while (end < blocks && samples[end] == samples[u]) ++end;
    if (end - u >= 2) {
      const Bytes a = head(u), b = head(end - 1);
      const std::uint64_t r = common_prefix(a, b);
      if (r <= UINT32_MAX && word_at(a, r) != word_at(b, r)) {
        t.roots.push_back(static_cast<std::uint32_t>(u));
        t.nodes.push_back({static_cast<std::uint32_t>(r), 0, 0, static_cast<std::uint32_t>(end)});
      }
    }
    u = end;
  }
  if (t.roots.empty()) return std::nullopt;

  struct Task {
    std::uint32_t node, lo, hi, offset, depth;
  };
  std::deque<Task> queue;
  std::vector<std::uint64_t> ws;  // the words of the node at hand, block by block
  for (std::size_t r = 0; r < t.roots.size(); ++r) {
    const Node& root = t.nodes[r];
    queue.push_back({static_cast<std::uint32_t>(r), t.roots[r], root.end, root.offset, 1});
    while (!queue.empty()) {
      const Task k = queue.front();
      queue.pop_front();
      ws.clear();
      for (std::uint32_t b = k.lo; b < k.hi; ++b) ws.push_back(word_at(head(b), k.offset));
      const std::uint32_t first = static_cast<std::uint32_t>(t.words.size());
      for (std::uint32_t gs = k.lo; gs < k.hi;) {
        std::uint32_t ge = gs + 1;
        while (ge < k.hi && ws[ge - k.lo] == ws[gs - k.lo]) ++ge;
        std::uint32_t child = ge - gs == 1 ? kLeaf : kRange;
        if (ge - gs >= 2 && k.depth < kMaxDepth) {
          const Bytes a = head(gs), b = head(ge - 1);
          const std::uint64_t s = common_prefix(a, b);
          if (s <= UINT32_MAX && word_at(a, s) != word_at(b, s)) {
            child = static_cast<std::uint32_t>(t.nodes.size());
            t.nodes.push_back({static_cast<std::uint32_t>(s), 0, 0, ge});
            queue.push_back({child, gs, ge, static_cast<std::uint32_t>(s), k.depth + 1});
          }
        }
        t.words.push_back(ws[gs - k.lo]);
        t.values.push_back(gs);
        t.children.push_back(child);
        gs = ge;
      }
      Node& nd = t.nodes[k.node];
      nd.first = first;
      nd.count = static_cast<std::uint32_t>(t.words.size()) - first;
      nd.end = k.hi;
    }
  }
  t.roots.shrink_to_fit();
  t.nodes.shrink_to_fit();
  t.words.shrink_to_fit();
  t.values.shrink_to_fit();
  t.children.shrink_to_fit();
  return t;
}

}  // namespace quorvale::ties
