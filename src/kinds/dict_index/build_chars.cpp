// The character-code road of a build: whether the keys should be spelled in
// a character code, and the build over the spelled keys.
#include <cstring>

#include "dict_index/layout.hpp"
#include "dict_index/build_internal.hpp"

namespace quorvale {

using dict_index::Layout;
namespace dict_index {

ByteCount count_bytes(std::span<const Key> keys) noexcept {
  constexpr std::uint64_t ONES = 0x0101010101010101ULL;
  ByteCount c;
  for (const Key k : keys) {
    const char* p = k.data();
    const std::size_t n = k.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      c.high += (((w >> 7) & ONES) * ONES) >> 56;
    }
    if (i < n) {
      std::uint64_t w = 0;
      std::memcpy(&w, p + i, n - i);
      c.high += (((w >> 7) & ONES) * ONES) >> 56;
    }
    c.total += n;
  }
  return c;
}

namespace {

charcode::Tally tally(std::span<const Key> keys) {
  charcode::Tally t;
  for (const Key k : keys) t.add(k);
  return t;
}

}  // namespace

std::optional<charcode::CharCode> choose_code(std::span<const Key> keys, std::size_t threads) {
  const bool ranged = keys.size() >= 2 && threads >= 2;
  ByteCount c;
  if (ranged) {
    for (const ByteCount& r : in_ranges(keys, threads, count_bytes)) {
      c.total += r.total;
      c.high += r.high;
    }
  } else {
    c = count_bytes(keys);
  }
  if (!c.may_pay()) return std::nullopt;
  charcode::Tally merged;
  if (ranged) {
    for (charcode::Tally& t : in_ranges(keys, threads, tally)) merged.merge(std::move(t));
  } else {
    merged = tally(keys);
  }
  return merged.choose_for(merged.bytes);
}

std::optional<CodedKeys> encode_all(const charcode::CharCode& code, std::span<const Key> keys) {
  CodedKeys out;
  std::size_t bytes = 0;
  for (const Key k : keys) bytes += k.size();
  out.bytes.reserve(bytes);
  out.ends.reserve(keys.size());
  for (const Key k : keys) {
    if (!code.encode_key(k, out.bytes)) return std::nullopt;
    out.ends.push_back(out.bytes.size());
  }
  return out;
}

void views(const CodedKeys& coded, std::vector<Bytes>& out) {
  std::uint64_t start = 0;
  for (std::uint64_t end : coded.ends) {
    out.push_back(as_key(coded.bytes.data() + start, static_cast<std::size_t>(end - start)));
    start = end;
  }
}

}  // namespace dict_index

using namespace dict_index;

Layout Layout::from_coded(std::vector<Key> keys, std::uint64_t block, std::uint64_t micro,
                                charcode::CharCode code) {
  const std::uint64_t n = keys.size();
  const std::size_t threads = build_threads(n, block);
  std::vector<std::optional<CodedKeys>> pieces;
  if (n < 2 || threads < 2) {
    pieces.push_back(encode_all(code, keys));
  } else {
    pieces = in_ranges(keys, threads, [&](std::span<const Key> range) { return encode_all(code, range); });
  }
  keys = {};
  std::vector<Bytes> coded;
  coded.reserve(static_cast<std::size_t>(n));
  for (const auto& piece : pieces) {
    if (!piece) panic("a code chosen over the keys spells every one of them");
    views(*piece, coded);
  }
  Layout d = from_sorted_as(coded, block, micro, build_threads(n, block), n);
  d.chars = std::make_unique<charcode::CharCode>(std::move(code));
  return d;
}

}  // namespace quorvale
