// Arenas in the layouts the builder takes only past 4 GiB of keys (u64 group
// bases and overflow values) or never picks by itself, laid out with an
// explicit tag: 40 entries of 0 to 4 bytes, entry 20 of 280 (so a group of
// 16 overflows), tag bytes 0x5a when the tag has them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "arena.hpp"

namespace arena_fixtures {

inline std::vector<unsigned char> laid_out(std::uint8_t tag) {
  using namespace quorvale;
  std::vector<std::uint32_t> lens;
  std::string data;
  for (int i = 0; i < 40; ++i) {
    lens.push_back(i == 20 ? 280 : i % 5);
    data += std::string(lens.back(), 'w');
  }
  const arena::Layout l = arena::layout_of(tag);
  std::vector<unsigned char> b(9 + *arena::table_size(l, lens.size()), 0);
  store_le64(b.data(), lens.size() + 1);
  b[8] = tag;
  std::vector<std::uint8_t> tag_list(lens.size(), 0x5a);
  std::vector<unsigned char> overflow = arena::write_offsets(
      b, tag, lens, l.tag_bytes ? std::span<const std::uint8_t>(tag_list) : std::span<const std::uint8_t>());
  b.insert(b.end(), data.begin(), data.end());
  b.insert(b.end(), overflow.begin(), overflow.end());
  return b;
}

// The tags worth laying out so: plain u64, with tag bytes, groups of 16 wide
// with overflow (with and without tag bytes), groups of 256 wide.
inline constexpr std::uint8_t kWideTags[] = {0x08, 0x88, 0x71, 0xf1, 0x32};

}  // namespace arena_fixtures
