// Key decoding: opening runs, stepping and climbing them, the keys by id and
// the iteration from any id. Nothing here reports an error: every range read
// from the blob is bounded, and damaged data gives an absent key or an early
// end.
#include <algorithm>
#include <cstring>

#include "dict_index/layout.hpp"
#include "dict_index/internal.hpp"
#include "utf8.hpp"

namespace quorvale {

using dict_index::Layout;

using namespace dict_index;

namespace {

inline std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t r;
  return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}

inline std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

// The block data [start, end); empty when reversed or past the data.
inline ByteSpan span_of(const blob::SharedBytes& data, std::uint64_t start, std::uint64_t end) noexcept {
  if (start > end || end > data.size()) return {};
  return data.bytes().subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
}

// The bytes as UTF-8, every invalid sequence (its longest valid start, or
// one byte) replaced by U+FFFD.
void assign_lossy(ByteSpan s, std::string& out) {
  const char* p = reinterpret_cast<const char*>(s.data());
  if (utf8::valid(std::string_view(p, s.size()))) {
    out.assign(p, s.size());
    return;
  }
  out.clear();
  const std::size_t n = s.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = s[i];
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xbf;
    if (c < 0x80) {
      len = 1;
    } else if (c >= 0xc2 && c <= 0xdf) {
      len = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3;
      if (c == 0xe0) lo = 0xa0;
      if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;
    }
    std::size_t k = 1;
    if (len > 1) {
      while (k < len && i + k < n) {
        const unsigned char b = s[i + k];
        if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xbf)) break;
        ++k;
      }
    }
    if (len != 0 && k == len) {
      out.append(p + i, len);
    } else {
      out.append("\xef\xbf\xbd");
    }
    i += k;
  }
}

}  // namespace

namespace dict_index {

unsigned Codec::unit_bits() const noexcept {
  if (const auto* p = std::get_if<Packed>(&v)) return p->alphabet.width;
  return 8;
}

RunCursor RunCursor::open(ByteSpan run, const paircode::Code& code, std::uint64_t k, const Codec& codec) noexcept {
  // One object built in place (a copy of this many fields would cost more
  // than the opening itself); a run that cannot be read leaves it empty.
  RunCursor c;
  c.init(run, code, k, codec);
  return c;
}

void RunCursor::init(ByteSpan bytes, const paircode::Code& code, std::uint64_t k, const Codec& codec) noexcept {
  this->codec = &codec;
  const std::uint64_t count = k > 0 ? k - 1 : 0;
  unsigned header_bits = 0;
  unsigned w;
  if (code.is_table()) {
    const paircode::TableCode& t = code.table();
    table = t.table.data();
    table_len = t.table.size();
    w = t.e;
  } else {
    const paircode::FieldCode& f = code.fields();
    header_bits = f.header_bits;
    if (bytes.size() < (header_bits + 7u) / 8) return;
    const paircode::RunFields r = f.run_fields(paircode::tail_word(bytes, 0));
    if (r.width_x > 15 || r.width_y > 15) return;
    fields = true;
    x_base = r.min_x;
    y_base = r.min_y;
    y_width = r.width_y;
    y_mask = (std::uint64_t{1} << r.width_y) - 1;
    w = r.width_x + r.width_y;
  }
  // At most 1,023 entries of at most 30 bits: no overflow.
  const std::uint64_t header_len = ceil_div(header_bits + w * count, 8);
  if (bytes.size() < header_len) {
    fields = false;
    table = nullptr;
    table_len = 0;
    return;
  }
  run = bytes;
  readable = true;
  width = w;
  code_mask = (std::uint64_t{1} << w) - 1;
  header_bit = header_bits;
  data = bytes.subspan(static_cast<std::size_t>(header_len));
  data_bits = sat_mul(data.size(), 8);
  unit = codec.unit_bits();
  capacity = unit == 8 ? data.size() : data_bits / unit;
  entries = count;
}


ByteSpan Codec::byte_codes(const Source& source) noexcept {
  const std::uint64_t size = source.data.size();
  const std::uint64_t byte = std::min(source.bit / 8, size);
  return source.data.subspan(static_cast<std::size_t>(byte), static_cast<std::size_t>(std::min(source.units, size - byte)));
}

std::uint64_t Codec::room(std::uint64_t count, std::size_t codes) const noexcept {
  // A symbol stores 8 bytes, a phrase 32, whatever their lengths.
  if (std::holds_alternative<Symbols>(v)) return std::min(sat_add(count, 7), 8 * std::uint64_t{codes});
  return std::min(sat_add(count, 32), 16 * std::uint64_t{codes});
}

std::optional<std::size_t> Codec::decode_at(const phrase::Dict& phrases, ByteSpan codes, unsigned char* out,
                                            std::uint64_t count) const noexcept {
  if (const auto* s = std::get_if<Symbols>(&v)) return s->table.decode(codes, out, count);
  const Tiered& t = std::get<Tiered>(v);
  std::uint64_t at = 0;
  const unsigned g = t.split.g;
  const std::size_t symbols = t.table.size();
  const unsigned char* c = codes.data();
  const unsigned char* end = c + codes.size();
  const unsigned char* phrase_bytes = phrases.bytes().data();
  while (c != end && at < count) {
    const unsigned code = *c;
    if (code < g) {
      if (code >= symbols) return std::nullopt;
      store_le64(out + at, t.table.symbols[code]);
      at += t.table.lengths[code];
      c += 1;
    } else if (code == fsst::ESCAPE) {
      if (end - c < 2) return std::nullopt;
      out[at++] = c[1];
      c += 2;
    } else {
      const auto coded = t.split.get(c, static_cast<std::size_t>(end - c));
      if (!coded || coded->phrase >= phrases.count()) return std::nullopt;
      // Every phrase of a read or built store is 1 to 32 bytes with 32
      // bytes readable from its start.
      const phrase::Dict::Span p = phrases.locate(coded->phrase);
      std::memcpy(out + at, phrase_bytes + p.start, 32);
      at += p.len;
      c += coded->size;
    }
  }
  return static_cast<std::size_t>(at);
}

bool Codec::decode_into(const phrase::Dict& phrases, const Source& source, std::vector<unsigned char>& out,
                        std::uint64_t count) const {
  if (const auto* p = std::get_if<Packed>(&v))
    return p->alphabet.decode_into(source.data.data(), source.data.size(), source.bit, source.units, out, count);
  const ByteSpan codes = byte_codes(source);
  const std::size_t old = out.size();
  out.resize(old + static_cast<std::size_t>(room(count, codes.size())));
  const auto got = decode_at(phrases, codes, out.data() + old, count);
  out.resize(old + (got ? *got : 0));
  return got.has_value();
}

}  // namespace dict_index

ByteSpan Layout::head(std::uint64_t b) const noexcept {
  const auto [s, e] = head_range(head_ends, heads.size(), b);
  return heads.bytes().subspan(static_cast<std::size_t>(s), static_cast<std::size_t>(e - s));
}

ByteSpan Layout::restart_bytes(std::uint64_t b) const noexcept {
  if (J == 1) return {};
  const std::uint64_t start = block_offsets.get(b);
  return span_of(block_data, start, sat_add(start, micro_offsets.get(J * b)));
}

ByteSpan Layout::micro_bytes(std::uint64_t b, std::uint64_t j) const noexcept {
  const std::uint64_t start = block_offsets.get(b);
  const std::uint64_t m = microblocks(b);
  auto block_end = [&] { return b + 1 < block_count() ? block_offsets.get(b + 1) : block_data.size(); };
  if (J == 1) return span_of(block_data, start, block_end());
  if (j + 1 < m) {
    const auto [from, to] = micro_offsets.pair(J * b + j);
    return span_of(block_data, sat_add(start, from), sat_add(start, to));
  }
  return span_of(block_data, sat_add(start, micro_offsets.get(J * b + j)), block_end());
}

RunCursor Layout::open_restart(std::uint64_t b) const noexcept {
  const std::size_t s = shard_of(b);
  return RunCursor::open(restart_bytes(b), codes[s].restart, microblocks(b), codecs[s]);
}

RunCursor Layout::open_micro(std::uint64_t b, std::uint64_t j) const noexcept {
  const std::size_t s = shard_of(b);
  const std::uint64_t keys = std::min(micro, block_keys(b) - micro * j);
  return RunCursor::open(micro_bytes(b, j), codes[s].entry, keys, codecs[s]);
}

bool Layout::advance(const Codec& codec, RunCursor& c, std::vector<unsigned char>& out) const {
  if (c.consumed >= c.entries) return false;
  ++c.consumed;
  std::uint64_t x, y;
  if (!c.read_pair(x, y) || y > c.capacity) return false;
  const std::uint64_t start = std::min(c.data_bit, c.data_bits);
  c.data_bit = sat_add(start, y * c.unit);
  if (out.size() < x) return false;
  if ((c.data_bits - start) / c.unit < y) return false;
  out.resize(static_cast<std::size_t>(x));
  return codec.decode_into(phrases, Codec::Source{c.data, start, y}, out, UINT64_MAX);
}

namespace {

struct Survivor {
  std::uint64_t x, bit, y;
};
constexpr std::size_t CLIMB_DEPTH = 32;

// The header walk of climb over t entries, for one header mode: fills the
// stack of survivors and leaves the data position after the t-th entry in
// the cursor. 1: done; 0: unreadable; -1: the stack filled.
template <bool Fields>
int walk_headers(RunCursor& c, std::uint64_t t, Survivor* stack, std::size_t& depth) noexcept {
  std::size_t top = 0;
  const std::uint64_t unit = c.unit, limit = c.data_bits;
  std::uint64_t hbit = c.header_bit, dbit = c.data_bit;
  for (std::uint64_t i = 0; i < t; ++i) {
    std::uint64_t x, y;
    if (!c.pair_at<Fields>(hbit, dbit, x, y)) return 0;
    if (y > c.capacity) return 0;
    const std::uint64_t start = dbit < limit ? dbit : limit;
    dbit = start + y * unit;  // y within the capacity of data far below 2^61 bytes: no overflow
    while (top > 0 && stack[top - 1].x >= x) --top;
    if (top == CLIMB_DEPTH) return -1;
    stack[top++] = Survivor{x, start, y};
  }
  c.header_bit = hbit;
  c.data_bit = dbit;
  depth = top;
  return 1;
}

}  // namespace

bool Layout::climb(const Run& run, std::uint64_t t, std::vector<unsigned char>& out) const {
  if (t == 0) return true;  // the run's first key, whatever the run holds
  RunCursor c = RunCursor::open(run.bytes, *run.code, run.keys, *run.codec);
  if (t > c.entries) return false;
  // Entries whose suffix bytes survive into the target key: each later
  // entry with a prefix no longer than theirs cuts them away.
  Survivor stack[CLIMB_DEPTH];
  std::size_t top = 0;
  const int walked = c.fields ? walk_headers<true>(c, t, stack, top) : walk_headers<false>(c, t, stack, top);
  if (walked == 0) return false;
  if (walked < 0) {
    // A long chain of ever longer prefixes: step entry by entry instead.
    RunCursor again = RunCursor::open(run.bytes, *run.code, run.keys, *run.codec);
    for (std::uint64_t k = 0; k < t; ++k)
      if (!advance(*run.codec, again, out)) return false;
    return true;
  }
  if (c.data_bit > c.data_bits) return false;
  const Codec& codec = *run.codec;
  auto count_of = [&](std::size_t i) { return i + 1 < top ? stack[i + 1].x - stack[i].x : UINT64_MAX; };
  if (std::holds_alternative<Codec::Packed>(codec.v)) {
    for (std::size_t i = 0; i < top; ++i) {
      if (out.size() < stack[i].x) return false;
      out.resize(static_cast<std::size_t>(stack[i].x));
      if (!codec.decode_into(phrases, Codec::Source{c.data, stack[i].bit, stack[i].y}, out, count_of(i))) return false;
    }
    return true;
  }
  // Byte codecs decode in place: the buffer is sized once for every
  // survivor, each written at its prefix length.
  auto codes_of = [&](std::size_t i) { return Codec::byte_codes(Codec::Source{c.data, stack[i].bit, stack[i].y}); };
  std::uint64_t len = out.size(), reach = len, need = len;
  for (std::size_t i = 0; i < top; ++i) {
    if (stack[i].x > reach) return false;  // no decoding makes the key that long
    reach = stack[i].x + codec.room(count_of(i), codes_of(i).size());
    need = std::max(need, reach);
  }
  if (need > out.size()) out.resize(static_cast<std::size_t>(need));
  for (std::size_t i = 0; i < top; ++i) {
    if (len < stack[i].x) break;
    const auto got = codec.decode_at(phrases, codes_of(i), out.data() + stack[i].x, count_of(i));
    if (!got) {
      len = 0;
      break;
    }
    len = stack[i].x + *got;
    if (i + 1 == top) {
      out.resize(static_cast<std::size_t>(len));
      return true;
    }
  }
  out.resize(static_cast<std::size_t>(len));
  return false;
}

bool Layout::key_bytes_into(std::uint64_t id, std::vector<unsigned char>& out) const {
  out.clear();
  if (id >= n) return false;
  const std::uint64_t b = id / block, p = id % block;
  const std::size_t s = shard_of(b);
  const Codec& codec = codecs[s];
  const ByteSpan h = head(b);
  out.assign(h.begin(), h.end());
  const std::uint64_t j = p / micro;
  if (j >= 1 && !climb(Run{&codec, &codes[s].restart, restart_bytes(b), microblocks(b)}, j, out)) return false;
  const std::uint64_t keys = std::min(micro, block_keys(b) - micro * j);
  return climb(Run{&codec, &codes[s].entry, micro_bytes(b, j), keys}, p % micro, out);
}

std::optional<std::string> Layout::key(std::uint64_t id) const {
  // The stored bytes go through one buffer per thread, reused from call to call.
  thread_local std::vector<unsigned char> bytes;
  if (!key_bytes_into(id, bytes)) return std::nullopt;
  std::size_t len = bytes.size();
  if (chars && len > 0) {
    // Spelled in place: the code bytes move to the end of a buffer of 4 bytes
    // a code byte, whose start receives the characters.
    bytes.resize(4 * len);
    std::memmove(bytes.data() + 3 * len, bytes.data(), len);
    const auto spelled = chars->spell(bytes.data() + 3 * len, len, bytes.data());
    if (!spelled) return std::nullopt;
    len = *spelled;
  }
  std::string text(reinterpret_cast<const char*>(bytes.data()), len);
  if (!utf8::valid(text)) return std::nullopt;
  return text;
}

std::optional<std::string> Layout::spelled(ByteSpan stored) const {
  std::string text;
  if (chars) {
    if (!spell_into(*chars, stored, text, SIZE_MAX)) return std::nullopt;
  } else {
    text.assign(reinterpret_cast<const char*>(stored.data()), stored.size());
  }
  if (!utf8::valid(text)) return std::nullopt;
  return text;
}

bool Layout::Iter::next(std::string& text, std::uint64_t& id) { return step(text, id, true); }

bool Layout::Iter::next_bytes(std::string& bytes, std::uint64_t& id) { return step(bytes, id, false); }

bool Layout::Iter::step(std::string& text, std::uint64_t& id, bool lossy) {
  const Layout& d = *index_;
  if (next_ >= d.n) return false;
  const std::uint64_t b = next_ / d.block, p = next_ % d.block;
  const Codec& codec = d.codecs[d.shard_of(b)];
  if (p != 0 && positioned_) {
    if (p % d.micro != 0) {
      if (!d.advance(codec, micro_, current_)) return end(), false;
    } else {
      const bool ok = d.advance(codec, restarts_, restart_);
      current_ = restart_;
      micro_ = d.open_micro(b, p / d.micro);
      if (!ok) return end(), false;
    }
  } else {
    const ByteSpan h = d.head(b);
    restart_.assign(h.begin(), h.end());
    restarts_ = d.J > 1 ? d.open_restart(b) : RunCursor{};
    positioned_ = true;
    bool ok = true;
    for (std::uint64_t t = 0; ok && t < p / d.micro; ++t) ok = d.advance(codec, restarts_, restart_);
    current_ = restart_;
    micro_ = d.open_micro(b, p / d.micro);
    if (!ok) return end(), false;
    for (std::uint64_t t = 0; t < p % d.micro; ++t)
      if (!d.advance(codec, micro_, current_)) return end(), false;
  }
  const ByteSpan key(current_.data(), current_.size());
  if (d.chars) {
    text.clear();
    if (!spell_into(*d.chars, key, text, SIZE_MAX) ||
        !utf8::valid(text))
      return end(), false;
  } else if (lossy) {
    assign_lossy(key, text);
  } else {
    text.assign(reinterpret_cast<const char*>(key.data()), key.size());
  }
  id = next_++;
  return true;
}

namespace dict_index {

void derive_samples(ByteSpan heads, const Offsets& head_ends, std::uint64_t lo, std::uint64_t hi,
                    std::uint64_t prefix, std::uint64_t* out) noexcept {
  const unsigned char* h = heads.data();
  const std::uint64_t len = heads.size();
  std::uint64_t start = lo == 0 ? 0 : head_ends.get(lo - 1);
  for (std::uint64_t i = lo; i < hi; ++i) {
    const std::uint64_t end = head_ends.get(i);
    std::uint64_t sample = 0;
    if (start <= end && end <= len && end - start > prefix) {
      const std::uint64_t from = start + prefix;
      sample = end - from >= 8 ? __builtin_bswap64(load_le64(h + from)) : word_at(heads.first(end), from);
    }
    out[i] = sample;
    start = end;
  }
}

bool spell_into(const charcode::CharCode& code, ByteSpan coded, std::string& out, std::size_t limit) {
  const std::size_t old = out.size();
  out.resize(old + 4 * coded.size());
  unsigned char* w = reinterpret_cast<unsigned char*>(out.data()) + old;
  std::size_t at = 0;
  if (limit >= 4 * coded.size()) {
    const auto len = code.spell(coded.data(), coded.size(), w);
    at = len ? *len : 0;
    out.resize(old + at);
    return len.has_value();
  }
  // Character by character, to stop early: a lead names a group of one
  // character (a one-byte code) or of several (lead and index).
  const auto& leads = code.leads();
  for (std::size_t i = 0; i < coded.size() && at < limit;) {
    const std::size_t len = std::min<std::size_t>((leads[coded[i]] & 0x1ff) == 1 ? 1 : 2, coded.size() - i);
    const auto got = code.spell(coded.data() + i, len, w + at);
    if (!got) return out.resize(old + at), false;
    at += *got;
    i += len;
  }
  out.resize(old + at);
  return true;
}

}  // namespace dict_index

}  // namespace quorvale
