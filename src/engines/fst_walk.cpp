#include "fst_walk.hpp"

#include <algorithm>

namespace quorvale {

namespace fst_walk {

bool descend(const fst::Fst& fst, std::uint64_t node, std::uint64_t output, unsigned char (&bytes)[3],
             unsigned depth, unsigned length, std::vector<Entry>& entries) {
  if (depth == length) {
    if (utf8::char_len(bytes, length) != length) return true;  // overlong or surrogate: not a character
    if (node > UINT32_MAX || output > UINT32_MAX) return false;
    std::uint32_t c = length == 1 ? bytes[0] : length == 2 ? (bytes[0] & 0x1Fu) : (bytes[0] & 0x0Fu);
    for (unsigned k = 1; k < length; ++k) c = (c << 6) | (bytes[k] & 0x3Fu);
    entries.push_back({c, node, output});
    return true;
  }
  const fst::Node n = fst.node(node);
  for (unsigned i = 0; i < n.len(); ++i) {
    const unsigned char b = n.input(i);
    if (!utf8::is_continuation(b)) continue;
    std::uint64_t sum;
    if (__builtin_add_overflow(output, n.output(i), &sum)) continue;
    bytes[depth] = b;
    if (!descend(fst, n.target(i), sum, bytes, depth + 1, length, entries)) return false;
  }
  return true;
}

const FirstChars* FirstCharsCell::get(const fst::Fst& fst) const {
  unsigned char s = state_.load(std::memory_order_acquire);
  if (s == Underived) {
    std::lock_guard<std::mutex> lock(mu_);
    s = state_.load(std::memory_order_relaxed);
    if (s == Underived) {
      table_ = FirstChars::derive(fst);  // a throw leaves the cell underived
      s = table_ ? Present : Absent;
      state_.store(s, std::memory_order_release);
    }
  }
  return s == Present ? &*table_ : nullptr;
}

}  // namespace fst_walk

std::optional<FirstChars> FirstChars::derive(const fst::Fst& fst) {
  const fst::Node root = fst.root();
  std::vector<fst_walk::Entry> entries;
  for (unsigned i = 0; i < root.len(); ++i) {
    const unsigned char b = root.input(i);
    const unsigned length = b < 0x80 ? 1 : (b >= 0xC2 && b <= 0xDF) ? 2 : (b >= 0xE0 && b <= 0xEF) ? 3 : 0;
    if (length == 0) continue;
    unsigned char bytes[3] = {b, 0, 0};
    if (!fst_walk::descend(fst, root.target(i), root.output(i), bytes, 1, length, entries)) return std::nullopt;
  }
  FirstChars t;
  t.root_final_ = root.is_final();
  t.root_final_output_ = root.final_output();
  if (!entries.empty()) {
    // Entries come out in code-point order (inputs ascend); the largest is
    // taken all the same, so that a node whose inputs do not ascend (crafted
    // bytes) cannot make the bitmap too short.
    std::uint32_t top = 0;
    for (const auto& e : entries) top = std::max(top, e.code_point);
    const std::size_t words = (top >> 6) + 1;
    t.bits_.assign(words, 0);
    t.ranks_.assign(words, 0);
    if (entries.size() > UINT32_MAX) return std::nullopt;
    t.targets_.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::uint32_t c = entries[i].code_point;
      if (t.bits_[c >> 6] == 0) t.ranks_[c >> 6] = static_cast<std::uint32_t>(i);
      t.bits_[c >> 6] |= std::uint64_t{1} << (c & 63);
      t.targets_.push_back({static_cast<std::uint32_t>(entries[i].node), static_cast<std::uint32_t>(entries[i].output)});
    }
  }
  return t;
}

}  // namespace quorvale
