// Loading a dictionary blob: the framing checks in their fixed order, the
// records and the verified walk; the samples, ties and raw route it derives
// on first need.
#include <algorithm>

#include "dict_index/layout.hpp"
#include "dict_index/internal.hpp"

namespace quorvale {

using dict_index::Layout;

using namespace dict_index;

namespace {

[[noreturn]] void refuse(const char* message) { throw IndexError::format(message); }

// Cuts the blob's sections in order; running past the blob once the lengths
// were checked to add up is a broken invariant.
class Cutter {
 public:
  explicit Cutter(const blob::SharedBytes& bytes) : bytes_(bytes), at_(HEADER_LEN) {}
  blob::SharedBytes next(std::uint64_t len) {
    if (len > bytes_.size() - at_) panic("the sections add up to the blob");
    blob::SharedBytes v = bytes_.slice(at_, static_cast<std::size_t>(len));
    at_ += static_cast<std::size_t>(len);
    return v;
  }

 private:
  const blob::SharedBytes& bytes_;
  std::size_t at_;
};

std::uint64_t packed_bytes(std::uint64_t count, unsigned width) {
  std::uint64_t len = 0;
  offsets::packed_len(count, width, &len);  // arrays_len has checked it
  return len;
}

}  // namespace

namespace dict_index {

std::uint64_t route_word_bound(const Layout& d) noexcept {
  return route_word_bound(d.J, d.micro, d.block_data.size());
}

std::unique_ptr<ties::Ties> derive_ties(const Layout& index) {
  auto t = ties::Ties::derive(index.samples(),
                              [&](std::uint64_t i) { return index.head(i); });
  return t ? std::make_unique<ties::Ties>(std::move(*t)) : nullptr;
}

}  // namespace dict_index

std::optional<Codec> Codec::read(ByteSpan record) {
  if (record.empty()) return std::nullopt;
  switch (record[0]) {
    case 0: {
      auto table = fsst::Table::from_bytes(record.subspan(1));
      if (!table) return std::nullopt;
      return Codec{Symbols{std::move(*table)}};
    }
    case 1: {
      auto alphabet = packed::Alphabet::from_bytes(record);
      if (!alphabet) return std::nullopt;
      return Codec{Packed{std::move(*alphabet)}};
    }
    case 2: {
      if (record.size() <= 2) return std::nullopt;
      const unsigned g = record[1], h = record[2];
      if (g < 1 || g > 254 || h > 255 - g) return std::nullopt;
      auto table = fsst::Table::from_bytes(record.subspan(3));
      if (!table || table->size() > g) return std::nullopt;
      return Codec{Tiered{std::move(*table), phrase::Split{static_cast<std::uint8_t>(g), static_cast<std::uint8_t>(h)}}};
    }
    default:
      return std::nullopt;
  }
}

Layout Layout::from_shared(blob::SharedBytes bytes, bool verify) {
  FRAME.open(bytes.bytes(), verify);
  const std::size_t len = bytes.size();
  const Header h = Header::parse(bytes.data());
  if (h.block < 1 || h.block > MAX_BLOCK) refuse(MSG_BLOCK);
  if (h.shift > 31 || h.head_ends_width > offsets::MAX_WIDTH || h.block_offsets_width > offsets::MAX_WIDTH ||
      h.micro_offsets_width > offsets::MAX_WIDTH)
    refuse(MSG_WIDTHS);
  if (h.micro == 0 || h.micro > h.block) refuse(MSG_MICRO);
  if (h.shard == 0) refuse(MSG_SHARD);
  const Shape shape = Shape::of(h.n, h.block, h.micro, h.shard);
  const auto arrays = arrays_len(shape.blocks, shape.micro_count, h.head_ends_width, h.block_offsets_width,
                                 h.micro_offsets_width, h.shift);
  if (!arrays) refuse(MSG_BLOCK_COUNT);
  const std::uint64_t chars_len = h.chars ? h.chars_len : 0;
  std::uint64_t total = HEADER_LEN;
  for (std::uint64_t part : {std::uint64_t{h.tables_len}, h.heads_len, *arrays, h.block_data_len,
                             std::uint64_t{h.codes_len}, std::uint64_t{h.phrases_len}, chars_len})
    if (__builtin_add_overflow(total, part, &total)) refuse(MSG_LENGTHS);
  if (total != len) refuse(MSG_LENGTHS);
  // Heads are distinct keys, at most one of them empty: a larger block count
  // is no blob's, and would only make the samples below allocate for it.
  if (h.heads_len < UINT64_MAX && shape.blocks > h.heads_len + 1) refuse(MSG_BLOCK_COUNT);
  // Route words are derived from the header's counts alone, and the verified
  // walk visits every microblock they count: a count the block data cannot
  // carry is refused before either, at every level.
  if (shape.J > 1 &&
      static_cast<unsigned __int128>(shape.blocks) * shape.J > route_word_bound(shape.J, h.micro, h.block_data_len))
    refuse(MSG_ROUTE_WORDS);

  Layout d;
  d.n = h.n;
  d.block = h.block;
  d.micro = h.micro;
  d.J = shape.J;
  d.shard = h.shard;
  d.head_prefix = h.head_prefix;
  const std::uint64_t y = shape.blocks;
  const std::uint64_t sampled = y == 0 ? 0 : samples_len(y, h.shift);
  Cutter cut(bytes);
  d.heads = cut.next(h.heads_len);
  d.head_ends.samples = cut.next(sampled);
  d.head_ends.bits = cut.next(packed_bytes(y, h.head_ends_width));
  d.head_ends.width = h.head_ends_width;
  d.head_ends.shift = h.shift;
  d.derived = std::make_unique<Derived>(y);
  d.block_data = cut.next(h.block_data_len);

  const std::uint64_t stored = shape.stored();
  {
    const blob::SharedBytes tables = cut.next(h.tables_len);
    ByteSpan rest = tables.bytes();
    d.codecs.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(stored, rest.size() / 5 + 1)));
    for (std::uint64_t s = 0; s < stored; ++s) {
      if (rest.size() < 4) refuse(MSG_TABLES);
      const std::uint32_t rec = load_le32(rest.data());
      if (rec > rest.size() - 4) refuse(MSG_TABLES);
      auto codec = Codec::read(rest.subspan(4, rec));
      if (!codec) refuse(MSG_TABLES);
      d.codecs.push_back(std::move(*codec));
      rest = rest.subspan(4 + static_cast<std::size_t>(rec));
    }
    if (!rest.empty()) refuse(MSG_TABLES);
  }
  {
    const blob::SharedBytes codes = cut.next(h.codes_len);
    ByteSpan rest = codes.bytes();
    d.codes.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(stored, rest.size() / 2 + 1)));
    for (std::uint64_t s = 0; s < stored; ++s) {
      auto entry = paircode::Code::read(rest);
      if (!entry) refuse(MSG_CODES);
      rest = entry->rest;
      auto restart = paircode::Code::read(rest);
      if (!restart) refuse(MSG_CODES);
      rest = restart->rest;
      d.codes.push_back(CodePair{std::move(entry->code), std::move(restart->code)});
    }
    if (!rest.empty()) refuse(MSG_CODES);
  }
  {
    const blob::SharedBytes section = cut.next(h.phrases_len);
    auto phrases = phrase::Dict::read(section.bytes());
    if (!phrases) refuse(MSG_PHRASES);
    d.phrases = std::move(*phrases);
  }
  d.block_offsets.samples = cut.next(sampled);
  d.block_offsets.bits = cut.next(packed_bytes(y, h.block_offsets_width));
  d.block_offsets.width = h.block_offsets_width;
  d.block_offsets.shift = h.shift;
  d.micro_offsets.bits = cut.next(packed_bytes(shape.micro_count, h.micro_offsets_width));
  d.micro_offsets.width = h.micro_offsets_width;
  if (h.chars) {
    const blob::SharedBytes section = cut.next(chars_len);
    auto code = charcode::CharCode::read(section.bytes());
    if (!code) refuse(MSG_CHARS);
    d.chars = std::make_unique<charcode::CharCode>(std::move(*code));
  }
  if (verify) d.check_layout();
  return d;
}

void Layout::check_layout() const {
  const std::uint64_t y = block_count();
  if (y == 0) {
    if (!heads.empty() || !block_data.empty()) refuse(MSG_EMPTY_WITH_KEYS);
    return;
  }
  std::uint64_t prev = 0;
  for (std::uint64_t i = 0; i < y; ++i) {
    const std::uint64_t e = head_ends.get(i);
    if (e < prev || e > heads.size()) refuse(MSG_HEAD_ORDER);
    prev = e;
  }
  if (prev != heads.size()) refuse(MSG_HEAD_COVER);

  std::uint64_t start = block_offsets.get(0);
  if (start != 0) refuse(MSG_BLOCK_ORDER);
  for (std::uint64_t b = 0; b < y; ++b) {
    const std::uint64_t next = b + 1 < y ? block_offsets.get(b + 1) : block_data.size();
    std::uint64_t last = start;
    if (J > 1) {
      const std::uint64_t m = microblocks(b);
      for (std::uint64_t j = 0; j < m; ++j) {
        std::uint64_t at;
        if (__builtin_add_overflow(start, micro_offsets.get(J * b + j), &at) || at < last) refuse(MSG_BLOCK_ORDER);
        last = at;
      }
    }
    if (next < last) refuse(MSG_BLOCK_ORDER);
    start = next;
  }
  if (common_head(heads.bytes(), head_ends, y) < head_prefix) refuse(MSG_HEAD_PREFIX);
  // The searches bisect the heads: a head not above the one before it would
  // send keys to the wrong block.
  ByteSpan before = head(0);
  for (std::uint64_t b = 1; b < y; ++b) {
    const ByteSpan h = head(b);
    if (compare_bytes(before, h) >= 0) refuse(MSG_KEY_ORDER);
    before = h;
  }
}

std::unique_ptr<RawRoute> Layout::raw_route() const {
  const std::uint64_t y = block_count();
  if (!chars || y == 0) return nullptr;
  std::string first, last;
  if (!spell_into(*chars, head(0), first, SIZE_MAX) || !spell_into(*chars, head(y - 1), last, SIZE_MAX))
    return nullptr;
  const std::size_t p = std::min<std::size_t>(
      common_prefix(ByteSpan(reinterpret_cast<const unsigned char*>(first.data()), first.size()),
                    ByteSpan(reinterpret_cast<const unsigned char*>(last.data()), last.size())),
      MAX_HEAD_PREFIX);
  auto route = std::make_unique<RawRoute>();
  route->prefix = first.substr(0, p);
  route->samples.reserve(static_cast<std::size_t>(y));
  std::string spelled;
  const std::span<const std::uint64_t> samples = this->samples();
  std::uint64_t raw_ties = 0, coded_ties = 0;
  for (std::uint64_t b = 0; b < y; ++b) {
    spelled.clear();
    if (!spell_into(*chars, head(b), spelled, p + 8)) return nullptr;
    const std::uint64_t sample =
        word_at(ByteSpan(reinterpret_cast<const unsigned char*>(spelled.data()), spelled.size()), p);
    if (b > 0) {
      raw_ties += sample == route->samples.back();
      coded_ties += samples[b] == samples[b - 1];
    }
    route->samples.push_back(sample);
  }
  if (coded_ties < raw_ties) return nullptr;
  return route;
}

}  // namespace quorvale
