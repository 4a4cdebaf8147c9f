// Run scans: a query compared with the entries of one run in order, without
// decoding any entry into a key. The entries' (x, y) decide most of them
// alone; an entry that parts from its predecessor exactly where the query
// did has its suffix codes compared with the query in place, symbol by
// symbol, phrase by phrase or byte by byte. One scan per header mode and
// codec; `scan_run` picks it once per run.
#include <algorithm>

#include "dict_index/layout.hpp"
#include "dict_index/internal.hpp"

namespace quorvale {

using dict_index::Layout;

using namespace dict_index;

namespace dict_index {
namespace {

enum class Order { Below, Above, Equal };

// The first differing byte of two little-endian words, as an order of the
// entry's word e against the query's word q.
inline Order differ(std::uint64_t e, std::uint64_t q, std::uint64_t diff) noexcept {
  const unsigned shift = static_cast<unsigned>(__builtin_ctzll(diff)) & ~7u;
  return ((e >> shift) & 0xff) < ((q >> shift) & 0xff) ? Order::Below : Order::Above;
}

// Compares up to 8 bytes of the entry (the low `len` bytes of e) with the
// query at pos: Equal when they match and the query goes on past them (pos
// moves past them), else the order, pos moved to the first differing byte.
constexpr std::uint64_t LOW_BYTES[9] = {low_bytes(0), low_bytes(1), low_bytes(2), low_bytes(3), low_bytes(4),
                                        low_bytes(5), low_bytes(6), low_bytes(7), low_bytes(8)};

inline Order compare_word(std::uint64_t e, unsigned len, const Query& q, std::size_t& pos) noexcept {
  const std::size_t left = q.size() - pos;
  const unsigned k = left < len ? static_cast<unsigned>(left) : len;
  const std::uint64_t w = q.word(pos);
  const std::uint64_t diff = (w ^ e) & LOW_BYTES[k];
  if (diff != 0) {
    pos += static_cast<unsigned>(__builtin_ctzll(diff)) / 8;
    return differ(e, w, diff);
  }
  pos += k;
  // The query ends inside these bytes: the entry goes on, so it is above.
  return k < len ? Order::Above : Order::Equal;
}

inline Order compare_byte(unsigned char e, const Query& q, std::size_t& pos) noexcept {
  if (pos == q.size()) return Order::Above;
  const unsigned char b = q[pos];
  if (e != b) return e < b ? Order::Below : Order::Above;
  ++pos;
  return Order::Equal;
}

// The suffix ended: equal when the query ended too, else a proper prefix.
inline Order ended(const Query& q, std::size_t pos) noexcept {
  return pos == q.size() ? Order::Equal : Order::Below;
}

// The comparators of the byte codecs take the suffix's code bytes (those
// inside the data area); the packed one its codes' place in the data area.
//
// Symbols (Symbols codec) and, with Tiered, phrases (Tiered codec).
template <bool Tiered>
struct BytesCmp {
  static constexpr bool BYTES = true;
  const std::uint64_t* symbols;
  const std::uint8_t* lengths;
  unsigned count;  // symbol codes: min(g, symbols) when tiered
  phrase::Split split{};
  const phrase::Dict* phrases = nullptr;

  explicit BytesCmp(const fsst::Table& t) noexcept
      : symbols(t.symbols.data()), lengths(t.lengths.data()), count(static_cast<unsigned>(t.size())) {}
  BytesCmp(const Codec::Tiered& t, const phrase::Dict& d) noexcept
      : symbols(t.table.symbols.data()),
        lengths(t.table.lengths.data()),
        count(static_cast<unsigned>(std::min<std::size_t>(t.split.g, t.table.size()))),
        split(t.split),
        phrases(&d) {}

  Order operator()(const unsigned char* p, const unsigned char* const end, const Query& q,
                   std::size_t& pos) const noexcept {
    while (p != end) {
      const unsigned code = *p;
      if (code < count) {
        if (pos == q.size()) return Order::Above;
        const Order o = compare_word(symbols[code], lengths[code], q, pos);
        if (o != Order::Equal) return o;
        ++p;
      } else if (code == fsst::ESCAPE) {
        if (end - p < 2) break;  // an escape without its byte ends the suffix
        const Order o = compare_byte(p[1], q, pos);
        if (o != Order::Equal) return o;
        p += 2;
      } else if (!Tiered || code < split.g) {
        break;  // a symbol code the table does not have
      } else {
        const auto coded = split.get(p, static_cast<std::size_t>(end - p));
        if (!coded || coded->phrase >= phrases->count()) break;
        // A read or built store keeps every phrase 1 to 32 bytes long with
        // 32 bytes readable from its start.
        const phrase::Dict::Span s = phrases->locate(coded->phrase);
        const unsigned char* bytes = phrases->bytes().data() + s.start;
        for (unsigned off = 0; off < s.len; off += 8) {
          if (pos == q.size()) return Order::Above;
          const unsigned len = s.len - off < 8 ? s.len - off : 8;
          const Order o = compare_word(load_le64(bytes + off), len, q, pos);
          if (o != Order::Equal) return o;
        }
        p += coded->size;
      }
    }
    return ended(q, pos);
  }
};

struct PackedCmp {
  static constexpr bool BYTES = false;
  const packed::Alphabet* alphabet;

  explicit PackedCmp(const packed::Alphabet& a) noexcept : alphabet(&a) {}

  Order operator()(const RunCursor& c, std::uint64_t start, std::uint64_t y, const Query& q,
                   std::size_t& pos) const noexcept {
    const packed::Alphabet& a = *alphabet;
    const unsigned w = a.width;
    const std::uint64_t mask = (std::uint64_t{1} << w) - 1;
    // Codes that lie inside the data area.
    const std::uint64_t inside = (c.data_bits - start) / w;
    const std::uint64_t n = y < inside ? y : inside;
    const unsigned char* data = c.data.data();
    const std::uint64_t size = c.data.size();
    auto code_at = [&](std::uint64_t i) {
      const std::uint64_t bit = start + i * w;
      const std::uint64_t at = bit / 8;
      const std::uint64_t word = at + 8 <= size ? load_le64(data + at) : paircode::tail_word(c.data, at);
      return (word >> (bit % 8)) & mask;
    };
    const std::uint8_t* primary = a.primary.data();
    const std::uint64_t primaries = a.primary.size();
    if (a.secondary.empty()) {
      // No escapes: every code a primary byte.
      for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t code = code_at(i);
        if (code >= primaries) break;
        const Order o = compare_byte(primary[code], q, pos);
        if (o != Order::Equal) return o;
      }
      return ended(q, pos);
    }
    const std::uint64_t escape = mask;
    const std::uint64_t raw = a.raw_codes();
    for (std::uint64_t i = 0; i < n;) {
      const std::uint64_t code = code_at(i);
      unsigned char byte;
      if (code != escape) {
        if (code >= primaries) break;
        byte = primary[code];
        i += 1;
      } else {
        if (i + 1 >= n) break;
        const std::uint64_t next = code_at(i + 1);
        if (next != escape) {
          if (next >= a.secondary.size()) break;
          byte = a.secondary[next];
          i += 2;
        } else {
          if (i + 2 + raw > n) break;
          std::uint64_t v = 0;
          for (std::uint64_t k = 0; k < raw; ++k) v |= code_at(i + 2 + k) << (k * w);
          byte = static_cast<unsigned char>(v);
          i += 2 + raw;
        }
      }
      const Order o = compare_byte(byte, q, pos);
      if (o != Order::Equal) return o;
    }
    return ended(q, pos);
  }
};

// Where a scan stands in its run: the next entry to read (1-based), its
// header bit and its data position (bytes for the byte codecs, bits for the
// packed one), and the common prefix of the query with the last key below
// it. A scan that stops leaves it before the entry above the query, or past
// the entry equal to it, so that a longer query that extends this one can go
// on from there: every key below the shorter query is below the longer one,
// with the same common prefix.
struct Place {
  std::uint64_t i, hbit, at, c;
  Next next = Next::Unknown;
};

// scan_with's walk from a place, leaving the place where it stops (kept
// apart so that the searches' scan carries no place).
template <bool Fields, class Cmp>
Scan scan_from(const RunCursor& cur, std::uint64_t count, const Query& q, Place& w, const Cmp& cmp) {
  const unsigned char* const data = cur.data.data();
  const std::uint64_t limit = Cmp::BYTES ? cur.data.size() : cur.data_bits;
  const std::uint64_t capacity = cur.capacity;
  // The place in registers; written back once, where the scan stops.
  std::uint64_t i = w.i, hbit = w.hbit, at = w.at, c = w.c;
  const auto stop = [&](Next next, Scan s) {
    w = Place{i, hbit, at, c, next};
    return s;
  };
  for (; i < count; ++i) {
    std::uint64_t x, y;
    std::uint64_t h = hbit;
    std::uint64_t bit = Cmp::BYTES ? at * 8 : at;
    if (!cur.pair_at<Fields>(h, bit, x, y)) return stop(Next::Unknown, {i - 1, c, false});
    std::uint64_t a = Cmp::BYTES ? bit / 8 : bit;
    if (y > capacity) return stop(Next::Unknown, {i - 1, c, false});
    // With x < c the entry parts from its predecessor where that one still
    // agreed with the query: the run ascends, so it is above the query (and
    // parts from it at byte x, so it does not extend it).
    if (x < c) return stop(Next::Other, {i - 1, c, false});
    const std::uint64_t start = a < limit ? a : limit;
    a = start + (Cmp::BYTES ? y : y * cur.unit);  // y within the capacity: no overflow
    // With x > c it agrees with its predecessor past the byte where that
    // one fell below the query: below too.
    if (x > c) {
      hbit = h;
      at = a;
      continue;
    }
    std::size_t pos = static_cast<std::size_t>(c);
    Order o;
    if constexpr (Cmp::BYTES) {
      // Only the codes inside the data area are compared.
      o = cmp(data + start, data + (a < limit ? a : limit), q, pos);
    } else {
      o = cmp(cur, start, y, q, pos);
    }
    // Above after agreeing through the query's last byte: it extends it.
    if (o == Order::Above) return stop(pos == q.size() ? Next::Extends : Next::Other, {i - 1, c, false});
    hbit = h;
    at = a;
    c = pos;
    if (o == Order::Equal) {
      ++i;
      return stop(Next::Unknown, {i - 1, pos, true});
    }
  }
  return stop(Next::End, {count - 1, c, false});
}

template <bool Fields, class Cmp>
Scan scan_with(const RunCursor& cur, std::uint64_t count, const Query& q, std::uint64_t depth, const Cmp& cmp) {
  std::uint64_t c = depth;
  std::uint64_t hbit = cur.header_bit;
  const unsigned char* const data = cur.data.data();
  // The data position: in bytes for the byte codecs (whose codes and escapes
  // stay byte-aligned), in bits for the packed one.
  const std::uint64_t limit = Cmp::BYTES ? cur.data.size() : cur.data_bits;
  std::uint64_t at = Cmp::BYTES ? cur.data_bit / 8 : cur.data_bit;
  const std::uint64_t capacity = cur.capacity;
  for (std::uint64_t i = 1; i < count; ++i) {
    std::uint64_t x, y;
    std::uint64_t bit = Cmp::BYTES ? at * 8 : at;
    if (!cur.pair_at<Fields>(hbit, bit, x, y)) return {i - 1, c, false};
    at = Cmp::BYTES ? bit / 8 : bit;
    // With x < c the entry parts from its predecessor where that one still
    // agreed with the query: the run ascends, so it is above the query.
    if (y > capacity || x < c) return {i - 1, c, false};
    const std::uint64_t start = at < limit ? at : limit;
    at = start + (Cmp::BYTES ? y : y * cur.unit);  // y within the capacity: no overflow
    // With x > c it agrees with its predecessor past the byte where that
    // one fell below the query: below too.
    if (x > c) continue;
    std::size_t pos = static_cast<std::size_t>(c);
    Order o;
    if constexpr (Cmp::BYTES) {
      // Only the codes inside the data area are compared.
      o = cmp(data + start, data + (at < limit ? at : limit), q, pos);
    } else {
      o = cmp(cur, start, y, q, pos);
    }
    if (o == Order::Above) return {i - 1, c, false};
    if (o == Order::Equal) return {i, pos, true};
    c = pos;
  }
  return {count - 1, c, false};
}

template <class Cmp>
Scan scan_mode(const RunCursor& cur, std::uint64_t count, const Query& q, std::uint64_t depth, const Cmp& cmp) {
  return cur.fields ? scan_with<true>(cur, count, q, depth, cmp) : scan_with<false>(cur, count, q, depth, cmp);
}

template <class Cmp>
Scan walk_mode(const RunCursor& cur, std::uint64_t count, const Query& q, RunPlace& w, const Cmp& cmp) {
  Place p{w.entry, w.header_bit, Cmp::BYTES ? w.data_bit / 8 : w.data_bit, w.depth};
  const Scan s = cur.fields ? scan_from<true>(cur, count, q, p, cmp) : scan_from<false>(cur, count, q, p, cmp);
  w.entry = p.i;
  w.header_bit = p.hbit;
  w.data_bit = Cmp::BYTES ? p.at * 8 : p.at;
  w.depth = p.c;
  w.next = p.next;
  return s;
}

}  // namespace
}  // namespace dict_index

Scan Layout::scan_run(const RunCursor& cursor, std::uint64_t count, ByteSpan query,
                         std::uint64_t depth) const noexcept {
  // A run that could not be opened has no entries: unless its key count says
  // so too, there is nothing to scan.
  if (count != cursor.entries + 1) return {0, depth, false};
  if (depth > query.size()) depth = query.size();
  if (cursor.codec == nullptr) return {0, depth, false};
  const Query q(query);
  const Codec& codec = *cursor.codec;
  if (const auto* p = std::get_if<Codec::Packed>(&codec.v)) return scan_mode(cursor, count, q, depth, PackedCmp(p->alphabet));
  if (const auto* t = std::get_if<Codec::Tiered>(&codec.v))
    return scan_mode(cursor, count, q, depth, BytesCmp<true>(*t, phrases));
  return scan_mode(cursor, count, q, depth, BytesCmp<false>(std::get<Codec::Symbols>(codec.v).table));
}

RunPlace Layout::start_walk(const RunCursor& cursor, std::uint64_t depth) const noexcept {
  return RunPlace{1, cursor.header_bit, cursor.data_bit, depth, Next::Unknown};
}

Scan Layout::walk_run(const RunCursor& cursor, std::uint64_t count, ByteSpan query, RunPlace& w) const noexcept {
  // The refusals of scan_run, which a walk meets on its first step.
  if (count != cursor.entries + 1 || cursor.codec == nullptr) {
    w.next = Next::Unknown;
    return {0, w.depth, false};
  }
  if (w.depth > query.size()) w.depth = query.size();
  const Query q(query);
  const Codec& codec = *cursor.codec;
  if (const auto* p = std::get_if<Codec::Packed>(&codec.v)) return walk_mode(cursor, count, q, w, PackedCmp(p->alphabet));
  if (const auto* t = std::get_if<Codec::Tiered>(&codec.v)) return walk_mode(cursor, count, q, w, BytesCmp<true>(*t, phrases));
  return walk_mode(cursor, count, q, w, BytesCmp<false>(std::get<Codec::Symbols>(codec.v).table));
}

}  // namespace quorvale
