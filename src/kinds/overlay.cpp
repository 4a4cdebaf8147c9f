#include "overlay.hpp"

namespace quorvale::overlay {

void PreHashed::reserve(std::size_t n) {
  std::size_t cap = 16;
  while (cap * 3 < n * 4) cap *= 2;
  if (cap <= slots_.size()) return;
  std::vector<Entry> old(cap, Entry{0, EMPTY, 0});
  old.swap(slots_);
  mask_ = cap - 1;
  size_ = 0;
  for (const Entry& e : old)
    if (e.number != EMPTY) insert(e);
}

std::array<unsigned char, HEADER_V2> header_v2(std::uint8_t tag, std::uint64_t base_len, std::uint64_t additions,
                                               std::uint64_t added_len, std::uint64_t words,
                                               std::uint64_t payload_checksum) {
  std::array<unsigned char, HEADER_V2> h{};
  std::copy_n(FRAME_V2.magic.data(), 4, h.begin());
  h[4] = tag;
  store_le64(h.data() + 5, base_len);
  store_le64(h.data() + 13, additions);
  store_le64(h.data() + 21, added_len);
  store_le64(h.data() + 29, words);
  FRAME_V2.seal(h, payload_checksum);
  return h;
}

namespace {

// The tombstone words after `at`: their count must be possible and their
// bytes fill the rest of the blob exactly.
std::span<const unsigned char> words_after(std::span<const unsigned char> blob, std::uint64_t at, std::uint64_t words) {
  if (words > MAX_WORDS) throw IndexError::format(MSG_WORD_COUNT);
  if (blob.size() - at != 8 * words) throw IndexError::format(MSG_WORD_LENGTH);
  return blob.subspan(static_cast<std::size_t>(at));
}

}  // namespace

Sections v2_sections(std::span<const unsigned char> blob, std::uint64_t base_end, std::uint64_t additions) {
  const std::uint64_t added_len = load_le64(blob.data() + 21);
  std::uint64_t added_end;
  if (__builtin_add_overflow(base_end, added_len, &added_end) || added_end > blob.size())
    throw IndexError::format(MSG_REGION_RANGE);
  Sections s;
  s.tombstones = words_after(blob, added_end, load_le64(blob.data() + 29));
  FRAME_V2.check_payload(blob);
  s.base = blob.subspan(HEADER_V2, static_cast<std::size_t>(base_end - HEADER_V2));
  s.additions = blob.subspan(static_cast<std::size_t>(base_end), static_cast<std::size_t>(added_len));
  s.additions_count = additions;
  return s;
}

Sections v1_sections(std::span<const unsigned char> blob, std::uint64_t base_end, std::uint64_t additions) {
  const std::span<const unsigned char> rest = blob.subspan(static_cast<std::size_t>(base_end));
  std::uint64_t at = 0;
  for (std::uint64_t i = 0; i < additions; ++i) next_record(rest, at);
  const std::uint64_t added_end = base_end + at;
  if (blob.size() - added_end < 8) throw IndexError::format(MSG_WORDS_TRUNCATED);
  Sections s;
  s.tombstones = words_after(blob, added_end + 8, load_le64(blob.data() + added_end));
  s.base = blob.subspan(HEADER_V1, static_cast<std::size_t>(base_end - HEADER_V1));
  s.additions = rest.first(static_cast<std::size_t>(at));
  s.additions_count = additions;
  return s;
}

Sections frame(std::span<const unsigned char> blob, std::uint8_t tag) {
  // Any magic but "OVL1" is held to the current frame, which refuses a
  // stranger with the same message.
  const bool v1 = FRAME_V1.has_magic(blob);
  const blob::Frame& f = v1 ? FRAME_V1 : FRAME_V2;
  f.open(blob, true);
  const std::size_t header = f.header_len;
  if (blob[4] != tag) throw IndexError::format(MSG_OTHER_BASE);
  std::uint64_t base_end;
  if (__builtin_add_overflow(std::uint64_t{header}, load_le64(blob.data() + 5), &base_end) || base_end > blob.size())
    throw IndexError::format(MSG_BASE_RANGE);
  const std::uint64_t additions = load_le64(blob.data() + 13);
  return v1 ? v1_sections(blob, base_end, additions) : v2_sections(blob, base_end, additions);
}

std::string_view next_record(std::span<const unsigned char> region, std::uint64_t& at) {
  if (region.size() - at < 4) throw IndexError::format(MSG_ADDITIONS_TRUNCATED);
  const std::uint64_t len = load_le32(region.data() + at);
  if (region.size() - at - 4 < len) throw IndexError::format(MSG_ADDITION_RANGE);
  const std::string_view key(reinterpret_cast<const char*>(region.data() + at + 4), static_cast<std::size_t>(len));
  if (!utf8::valid(key)) throw IndexError::format(MSG_NOT_UTF8);
  at += 4 + len;
  return key;
}

void ranks_broken() { throw IndexError::format("string-index: FST values are not the sorted ranks"); }

StringIndex OverlayKeys<StringIndex>::rebuild_like(const StringIndex&, std::vector<std::string_view> keys) {
  const auto tail = std::is_sorted_until(keys.begin(), keys.end());
  std::sort(tail, keys.end());
  std::inplace_merge(keys.begin(), tail, keys.end());
  return StringIndex::build(std::move(keys));  // sorted: it drops repeats and builds
}

}  // namespace quorvale::overlay
