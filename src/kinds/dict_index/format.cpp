#include "dict_index/format.hpp"

#include <cstring>

#include "fsst.hpp"

namespace quorvale {
namespace dict_index {

Header Header::parse(const unsigned char* p) noexcept {
  Header h;
  h.chars = std::memcmp(p, FRAME.also.data(), 4) == 0;
  h.n = load_le64(p + 4);
  h.block = load_le32(p + 12);
  h.heads_len = load_le64(p + 16);
  h.block_data_len = load_le64(p + 24);
  h.tables_len = load_le32(p + 32);
  h.payload_checksum = load_le64(p + FRAME.payload_at);
  h.head_ends_width = p[44];
  h.block_offsets_width = p[45];
  h.shift = p[46];
  h.micro_offsets_width = p[47];
  h.micro = load_le16(p + 48);
  h.shard = load_le16(p + 50);
  h.codes_len = load_le32(p + 52);
  h.head_prefix = load_le16(p + 56);
  h.phrases_len = load_le32(p + 58);
  h.chars_len = load_le32(p + 62);
  return h;
}

std::array<unsigned char, HEADER_LEN> Header::bytes() const noexcept {
  std::array<unsigned char, HEADER_LEN> b{};
  unsigned char* p = b.data();
  std::memcpy(p, (chars ? FRAME.also : FRAME.magic).data(), 4);
  store_le64(p + 4, n);
  store_le32(p + 12, block);
  store_le64(p + 16, heads_len);
  store_le64(p + 24, block_data_len);
  store_le32(p + 32, tables_len);
  p[44] = head_ends_width;
  p[45] = block_offsets_width;
  p[46] = shift;
  p[47] = micro_offsets_width;
  store_le16(p + 48, micro);
  store_le16(p + 50, shard);
  store_le32(p + 52, codes_len);
  store_le16(p + 56, head_prefix);
  store_le32(p + 58, phrases_len);
  store_le32(p + 62, chars ? chars_len : 0);
  store_le16(p + 66, 0);
  FRAME.seal(b, payload_checksum);
  return b;
}

Shape Shape::of(std::uint64_t n, std::uint64_t block, std::uint64_t micro, std::uint64_t shard) noexcept {
  Shape s;
  s.blocks = ceil_div(n, block);
  s.shards = ceil_div(s.blocks, shard);
  s.J = ceil_div(block, micro);
  if (s.J > 1 && s.blocks > 0) {
    // J·(Y − 1) + (microblocks of the last block) never exceeds n.
    const std::uint64_t last = block_keys(n, block, s.blocks - 1);
    s.micro_count = s.J * (s.blocks - 1) + ceil_div(last, micro);
  }
  return s;
}

namespace {

bool add_to(std::uint64_t& total, std::uint64_t v) noexcept { return !__builtin_add_overflow(total, v, &total); }

// 8·s + packed length of y fields at width w.
bool add_sampled(std::uint64_t& total, std::uint64_t s, std::uint64_t y, unsigned w) noexcept {
  std::uint64_t packed;
  return offsets::packed_len(y, w, &packed) && add_to(total, s * 8) && add_to(total, packed);
}

}  // namespace

std::optional<std::uint64_t> arrays_len(std::uint64_t y, std::uint64_t u, unsigned w44, unsigned w45, unsigned w47,
                                        unsigned shift) noexcept {
  if (shift >= 64) return std::nullopt;
  const std::uint64_t s = ceil_div(y, std::uint64_t{1} << shift);
  if (s >= (std::uint64_t{1} << 61)) return std::nullopt;
  std::uint64_t total = 0;
  if (y > 0 && !(add_sampled(total, s, y, w44) && add_sampled(total, s, y, w45))) return std::nullopt;
  if (u > 0) {
    std::uint64_t packed;
    if (!offsets::packed_len(u, w47, &packed) || !add_to(total, packed)) return std::nullopt;
  }
  return total;
}

std::size_t common_prefix(ByteSpan a, ByteSpan b) noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  std::size_t i = 0;
  while (i + 8 <= n) {
    const std::uint64_t x = load_le64(a.data() + i) ^ load_le64(b.data() + i);
    if (x != 0) return i + static_cast<std::size_t>(__builtin_ctzll(x) / 8);
    i += 8;
  }
  if (i == n) return n;
  // The last 1 to 7 bytes as one word each, without a branch per byte.
  const std::uint64_t x = fsst::window(a.data() + i, n - i) ^ fsst::window(b.data() + i, n - i);
  return x == 0 ? n : i + static_cast<std::size_t>(__builtin_ctzll(x) / 8);
}

std::uint64_t common_head(ByteSpan heads, const Offsets& head_ends, std::uint64_t y) noexcept {
  const auto [s0, e0] = head_range(head_ends, heads.size(), 0);
  const auto [s1, e1] = head_range(head_ends, heads.size(), y - 1);
  const std::uint64_t c = common_prefix(heads.subspan(s0, e0 - s0), heads.subspan(s1, e1 - s1));
  return c < MAX_HEAD_PREFIX ? c : MAX_HEAD_PREFIX;
}

}  // namespace dict_index
}  // namespace quorvale
