// Writing an index that is already built or loaded back into its blob, byte
// for byte: the header, the sections in blob order, the codec records, the
// blob's length without writing it and its named byte split.
#include <cstring>

#include "dict_index/layout.hpp"
#include "dict_index/internal.hpp"

namespace quorvale {

using dict_index::Layout;

using namespace dict_index;

namespace dict_index {

const std::array<const char*, Sections::COUNT> Sections::NAMES = {
    "header",          "tables",        "header_codes", "phrases",       "heads",       "head_ends",
    "block_offsets",   "micro_offsets", "chars",        "restart_headers", "restart_wide", "restart_codes",
    "entry_headers",   "entry_wide",    "entry_codes",  "restarts",      "entries",     "wide"};

void Codec::write_to(std::vector<unsigned char>& out) const {
  if (const auto* s = std::get_if<Symbols>(&v)) {
    out.push_back(0);
    s->table.write_to(out);
  } else if (const auto* p = std::get_if<Packed>(&v)) {
    p->alphabet.write_to(out);
  } else {
    const Tiered& t = std::get<Tiered>(v);
    out.push_back(2);
    out.push_back(t.split.g);
    out.push_back(t.split.h);
    t.table.write_to(out);
  }
}

std::uint64_t Codec::record_len() const noexcept {
  if (const auto* s = std::get_if<Symbols>(&v)) return 1 + s->table.record_len();
  if (const auto* p = std::get_if<Packed>(&v)) return p->alphabet.record_len();
  return 3 + std::get<Tiered>(v).table.record_len();
}

void write_codecs(std::span<const Codec> codecs, std::vector<unsigned char>& out) {
  for (const Codec& c : codecs) {
    const std::size_t at = out.size();
    out.resize(at + 4);
    c.write_to(out);
    store_le32(out.data() + at, static_cast<std::uint32_t>(out.size() - at - 4));
  }
}

void check_section_lengths(std::uint64_t tables, std::uint64_t codes, std::uint64_t phrases, std::uint64_t chars) {
  if (tables > UINT32_MAX) throw IndexError::format(MSG_TABLES_TOO_LONG);
  if (codes > UINT32_MAX) throw IndexError::format(MSG_CODES_TOO_LONG);
  if (phrases > UINT32_MAX) throw IndexError::format(MSG_PHRASES_TOO_LONG);
  if (chars > UINT32_MAX) throw IndexError::format(MSG_CHARS_TOO_LONG);
}

RunSplit split_run(const paircode::Code& code, const Codec& codec, ByteSpan run, std::uint64_t keys) noexcept {
  RunCursor c = RunCursor::open(run, code, keys, codec);
  if (!c.readable) return {};
  RunSplit r;
  r.header = run.size() - c.data.size();
  for (std::uint64_t i = 0; i < c.entries; ++i) {
    const std::uint64_t before = std::min(c.data_bit, c.data_bits);
    std::uint64_t x, y;
    if (!c.read_pair(x, y) || y > c.capacity) break;
    if (c.last_escaped) {
      r.wide += c.data_bit / 8 - ceil_div(before, 8);
      ++r.escaped;
    }
    ++r.entries;
    const std::uint64_t from = std::min(c.data_bit, c.data_bits);
    c.data_bit = y * c.unit > c.data_bits - from ? c.data_bits : from + y * c.unit;
  }
  r.codes = c.data.size() > r.wide ? c.data.size() - r.wide : 0;
  return r;
}

}  // namespace dict_index

namespace {

std::uint64_t tables_len(const Layout& d) noexcept {
  std::uint64_t len = 0;
  for (const Codec& c : d.codecs) len += 4 + c.record_len();
  return len;
}

std::uint64_t codes_len(const Layout& d) noexcept {
  std::uint64_t len = 0;
  for (const CodePair& p : d.codes) len += p.entry.record_len() + p.restart.record_len();
  return len;
}

}  // namespace

namespace dict_index {

Records records_of(const Layout& d) {
  check_section_lengths(tables_len(d), codes_len(d), d.phrases.section_len(), d.chars ? d.chars->section_len() : 0);
  Records r;
  write_codecs(d.codecs, r.tables);
  for (const CodePair& pair : d.codes) {
    pair.entry.write_to(r.codes);
    pair.restart.write_to(r.codes);
  }
  d.phrases.write_to(r.phrases);
  if (d.chars) d.chars->write_to(r.chars);
  return r;
}

std::array<ByteSpan, PAYLOAD_SECTIONS> payload_of(const Layout& d, const Records& r) {
  auto span = [](const std::vector<unsigned char>& v) { return ByteSpan(v.data(), v.size()); };
  return {d.heads.bytes(),          d.head_ends.samples.bytes(), d.head_ends.bits.bytes(),
          d.block_data.bytes(),     span(r.tables),              span(r.codes),
          span(r.phrases),          d.block_offsets.samples.bytes(), d.block_offsets.bits.bytes(),
          d.micro_offsets.bits.bytes(), span(r.chars)};
}

Header header_fields(const Layout& d, const Records& r, std::uint64_t block_data_len,
                     std::uint64_t payload_checksum) {
  Header h;
  h.chars = d.chars != nullptr;
  h.n = d.n;
  h.block = static_cast<std::uint32_t>(d.block);
  h.heads_len = d.heads.size();
  h.block_data_len = block_data_len;
  h.tables_len = static_cast<std::uint32_t>(r.tables.size());
  h.payload_checksum = payload_checksum;
  h.head_ends_width = static_cast<std::uint8_t>(d.head_ends.width);
  h.block_offsets_width = static_cast<std::uint8_t>(d.block_offsets.width);
  h.shift = static_cast<std::uint8_t>(d.head_ends.shift);
  h.micro_offsets_width = static_cast<std::uint8_t>(d.micro_offsets.width);
  h.micro = static_cast<std::uint16_t>(d.micro);
  h.shard = static_cast<std::uint16_t>(d.shard);
  h.codes_len = static_cast<std::uint32_t>(r.codes.size());
  h.head_prefix = static_cast<std::uint16_t>(d.head_prefix);
  h.phrases_len = static_cast<std::uint32_t>(r.phrases.size());
  h.chars_len = static_cast<std::uint32_t>(r.chars.size());
  return h;
}

}  // namespace dict_index

namespace {

std::array<unsigned char, HEADER_LEN> header_of(const Layout& d, const Records& r) {
  BlockHasher hasher;
  for (ByteSpan s : payload_of(d, r)) hasher.update(s);
  return header_fields(d, r, d.block_data.size(), hasher.finish()).bytes();
}

}  // namespace

std::array<unsigned char, HEADER_LEN> Layout::header() const { return header_of(*this, records_of(*this)); }

void Layout::write_to(const std::function<void(std::span<const unsigned char>)>& write) const {
  const Records r = records_of(*this);
  const auto h = header_of(*this, r);
  write(ByteSpan(h.data(), h.size()));
  const auto sections = payload_of(*this, r);
  for (std::size_t i = 0; i + 1 < sections.size(); ++i) write(sections[i]);
  if (chars) write(sections.back());
}

std::uint64_t Layout::serialized_len() const noexcept {
  return HEADER_LEN + heads.size() + head_ends.samples.size() + head_ends.bits.size() + block_data.size() +
         block_offsets.samples.size() + block_offsets.bits.size() + micro_offsets.bits.size() + tables_len(*this) +
         codes_len(*this) + phrases.section_len() + (chars ? chars->section_len() : 0);
}

Sections Layout::sections() const noexcept {
  Sections s;
  auto& v = s.values;
  v[Sections::HEADER] = HEADER_LEN;
  v[Sections::TABLES] = tables_len(*this);
  v[Sections::HEADER_CODES] = codes_len(*this);
  v[Sections::PHRASES] = phrases.section_len();
  v[Sections::HEADS] = heads.size();
  v[Sections::HEAD_ENDS] = head_ends.samples.size() + head_ends.bits.size();
  v[Sections::BLOCK_OFFSETS] = block_offsets.samples.size() + block_offsets.bits.size();
  v[Sections::MICRO_OFFSETS] = micro_offsets.bits.size();
  v[Sections::CHARS] = chars ? chars->section_len() : 0;
  auto add = [&](const RunSplit& r, std::size_t first, std::size_t count) {
    v[first] += r.header;
    v[first + 1] += r.wide;
    v[first + 2] += r.codes;
    v[count] += r.entries;
    v[Sections::WIDE] += r.escaped;
  };
  for (std::uint64_t b = 0; b < block_count(); ++b) {
    const std::size_t sh = shard_of(b);
    const Codec& codec = codecs[sh];
    const std::uint64_t m = microblocks(b);
    if (m >= 2) add(split_run(codes[sh].restart, codec, restart_bytes(b), m), Sections::RESTART_HEADERS, Sections::RESTARTS);
    for (std::uint64_t j = 0; j < m; ++j) {
      const std::uint64_t keys = std::min(micro, block_keys(b) - micro * j);
      add(split_run(codes[sh].entry, codec, micro_bytes(b, j), keys), Sections::ENTRY_HEADERS, Sections::ENTRIES);
    }
  }
  return s;
}

}  // namespace quorvale
