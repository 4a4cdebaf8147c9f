// A test-side writer of dictionary blobs: lays out the header, the sections,
// every block's restart and microblock runs and the records by hand from a
// small description, so that the loader and the decoder are checked against
// bytes the library did not write. It shares no code with the library except
// the dictionary's frame, which seals both checksums.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "blob.hpp"
#include "dict_index/layout.hpp"

namespace dictfix {

using Bytes = std::vector<unsigned char>;

struct Symbols {
  std::vector<std::string> symbols;  // code i is symbols[i]; 255 escapes
};
struct Packed {
  unsigned w = 1;
  std::string primary;
  std::string secondary;
};
struct Tiered {
  unsigned g = 254;
  unsigned h = 0;
  std::vector<std::string> symbols;  // at most g
};
using Codec = std::variant<Symbols, Packed, Tiered>;

// Field mode. `fitted` derives base, least widths and field bits from the
// runs the code serves; otherwise the given values are used as they stand.
struct Fields {
  bool fitted = true;
  std::uint64_t base_x = 0, base_y = 0;
  unsigned min_wx = 0, min_wy = 0, N = 0, M = 0, P = 0, Q = 0;
  // Added to every run's natural widths (before clamping), to escape less.
  unsigned extra_wx = 0, extra_wy = 0;
  // One more y bit for a run where an entry's code would come out all ones
  // (as a build's fitting avoids), so that such entries are not escaped.
  bool spare_all_ones = false;
};
// Table mode: e bits a code; `pairs` listed in code order (x, y).
struct Table {
  unsigned e = 4;
  std::vector<std::pair<unsigned, unsigned>> pairs;
};
using Code = std::variant<Fields, Table>;

struct CharCode {
  bool ascii_keeping = false;          // tag 8 (else 7)
  std::vector<std::uint32_t> chars;    // listed characters, ascending
  std::vector<unsigned> groups;        // group sizes, adding up to chars
};

struct Layout {
  std::vector<std::string> keys;  // distinct, ascending (raw UTF-8 when `chars` is set)
  unsigned block = 4;
  unsigned micro = 2;
  unsigned shard = 0;  // 0: min(65,536 / block, 65,535)
  unsigned shift = 6;
  std::vector<Codec> codecs{Symbols{}};           // one a stored shard, or one for all
  std::vector<std::pair<Code, Code>> codes{{Fields{}, Fields{}}};  // (entry, restart), likewise
  std::vector<std::string> phrases;
  std::optional<CharCode> chars;
  std::optional<unsigned> head_prefix;  // the stored value; default the true one
  // Codes a suffix for a Symbols codec in place of the writer's longest
  // match (a benchmark passes a trained table's own coder).
  std::function<std::vector<unsigned>(const std::string&)> symbols_coder;
};

// The byte split of the blob, counted while writing it.
struct Counts {
  std::array<std::uint64_t, 18> v{};  // in the order of the sections record
  enum {
    HEADER, TABLES, HEADER_CODES, PHRASES, HEADS, HEAD_ENDS, BLOCK_OFFSETS, MICRO_OFFSETS, CHARS,
    RESTART_HEADERS, RESTART_WIDE, RESTART_CODES, ENTRY_HEADERS, ENTRY_WIDE, ENTRY_CODES, RESTARTS, ENTRIES, WIDE
  };
};

struct Written {
  Bytes blob;
  std::vector<std::string> stored;  // the keys as stored (coded when `chars` is set)
  Counts counts;
  // Byte offsets of sections in the blob, for tests that damage one.
  std::size_t heads_at = 0, block_data_at = 0, tables_at = 0, codes_at = 0, phrases_at = 0, block_offsets_at = 0,
              micro_at = 0, chars_at = 0;
};

namespace detail {

inline unsigned bits(std::uint64_t v) { return v == 0 ? 0 : 64 - __builtin_clzll(v); }
inline void put_u16(Bytes& b, std::uint64_t v) { for (int i = 0; i < 2; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i))); }
inline void put_u32(Bytes& b, std::uint64_t v) { for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i))); }
inline void put_u64(Bytes& b, std::uint64_t v) { for (int i = 0; i < 8; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i))); }
inline void put_var(Bytes& b, std::uint64_t v) {
  do {
    unsigned char c = v & 0x7f;
    v >>= 7;
    b.push_back(c | (v ? 0x80 : 0));
  } while (v);
}
inline std::size_t lcp(const std::string& a, const std::string& b) {
  std::size_t i = 0;
  while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
  return i;
}

// Least significant bit first.
struct BitSink {
  Bytes out;
  std::uint64_t nbits = 0;
  void put(std::uint64_t v, unsigned w) {
    for (unsigned i = 0; i < w; ++i) {
      if (nbits % 8 == 0) out.push_back(0);
      if ((v >> i) & 1) out.back() |= static_cast<unsigned char>(1u << (nbits % 8));
      ++nbits;
    }
  }
  void align() { nbits = out.size() * 8; }
};

inline Bytes packed_fields(const std::vector<std::uint64_t>& values, unsigned w) {
  if (values.empty()) return {};
  BitSink s;
  for (auto v : values) s.put(v, w);
  s.out.resize((values.size() * w + 7) / 8 + 8, 0);
  return s.out;
}

inline std::pair<Bytes, Bytes> sampled(const std::vector<std::uint64_t>& values, unsigned shift, unsigned& width) {
  const std::size_t per = std::size_t{1} << shift;
  Bytes samples;
  std::vector<std::uint64_t> diffs;
  std::uint64_t widest = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint64_t first = values[i / per * per];
    if (i % per == 0) put_u64(samples, first);
    diffs.push_back(values[i] - first);
    widest = std::max(widest, values[i] - first);
  }
  width = bits(widest);
  return {samples, packed_fields(diffs, width)};
}

inline std::uint32_t utf8_char(const std::string& s, std::size_t& i) {
  const unsigned char c = s[i];
  int len = c < 0x80 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
  std::uint32_t cp = len == 1 ? c : len == 2 ? c & 0x1f : len == 3 ? c & 0x0f : c & 0x07;
  for (int k = 1; k < len; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3f);
  i += len;
  return cp;
}

// The key spelled in the character code.
inline std::string spell(const CharCode& cc, const std::string& key) {
  std::string out;
  std::size_t i = 0;
  const unsigned base = cc.ascii_keeping ? 128 : 0;
  while (i < key.size()) {
    const std::uint32_t cp = utf8_char(key, i);
    if (cc.ascii_keeping && cp < 128) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    const auto it = std::find(cc.chars.begin(), cc.chars.end(), cp);
    if (it == cc.chars.end()) throw std::logic_error("a character outside the code");
    std::size_t idx = it - cc.chars.begin(), start = 0;
    for (std::size_t g = 0; g < cc.groups.size(); ++g) {
      if (idx < start + cc.groups[g]) {
        out.push_back(static_cast<char>(base + g));
        if (cc.groups[g] > 1) out.push_back(static_cast<char>(idx - start));
        break;
      }
      start += cc.groups[g];
    }
  }
  return out;
}

inline Bytes char_section(const CharCode& cc) {
  Bytes b{static_cast<unsigned char>(cc.ascii_keeping ? 8 : 7)};
  put_var(b, cc.chars.size());
  b.push_back(static_cast<unsigned char>(cc.groups.size()));
  for (unsigned g : cc.groups) b.push_back(static_cast<unsigned char>(g - 1));
  put_var(b, cc.chars[0]);
  for (std::size_t i = 1; i < cc.chars.size(); ++i) put_var(b, cc.chars[i] - cc.chars[i - 1]);
  return b;
}

// A suffix in its codec's units: code bytes, or packed codes.
struct Coded {
  std::vector<unsigned> units;
};

inline Coded code_suffix(const Codec& codec, const Layout& layout, const std::string& s) {
  const std::vector<std::string>& phrases = layout.phrases;
  Coded c;
  if (layout.symbols_coder && std::holds_alternative<Symbols>(codec)) {
    c.units = layout.symbols_coder(s);
    return c;
  }
  auto symbol_step = [&](const std::vector<std::string>& syms, std::size_t& p) {
    std::size_t best = 0, code = 255;
    for (std::size_t i = 0; i < syms.size(); ++i)
      if (syms[i].size() > best && s.compare(p, syms[i].size(), syms[i]) == 0) best = syms[i].size(), code = i;
    if (code == 255) {
      c.units.push_back(255);
      c.units.push_back(static_cast<unsigned char>(s[p]));
      ++p;
    } else {
      c.units.push_back(static_cast<unsigned>(code));
      p += best;
    }
  };
  if (auto* sy = std::get_if<Symbols>(&codec)) {
    for (std::size_t p = 0; p < s.size();) symbol_step(sy->symbols, p);
  } else if (auto* t = std::get_if<Tiered>(&codec)) {
    const unsigned K = 255 - t->g - t->h;
    for (std::size_t p = 0; p < s.size();) {
      std::size_t best = 1, u = SIZE_MAX;
      for (std::size_t i = 0; i < phrases.size(); ++i)
        if (phrases[i].size() > best && s.compare(p, phrases[i].size(), phrases[i]) == 0) best = phrases[i].size(), u = i;
      if (u == SIZE_MAX) {
        symbol_step(t->symbols, p);
        continue;
      }
      if (u < K * 256u) {
        c.units.push_back(static_cast<unsigned>(t->g + u / 256));
        c.units.push_back(static_cast<unsigned>(u % 256));
      } else {
        const std::size_t v = u - K * 256;
        c.units.push_back(static_cast<unsigned>(t->g + K + v / 65536));
        c.units.push_back(static_cast<unsigned>(v / 256 % 256));
        c.units.push_back(static_cast<unsigned>(v % 256));
      }
      p += best;
    }
  } else {
    const auto& pk = std::get<Packed>(codec);
    const unsigned E = (1u << pk.w) - 1;
    for (unsigned char b : s) {
      const auto pi = pk.primary.find(static_cast<char>(b));
      const auto si = pk.secondary.find(static_cast<char>(b));
      if (pi != std::string::npos) {
        c.units.push_back(static_cast<unsigned>(pi));
      } else if (si != std::string::npos) {
        c.units.push_back(E);
        c.units.push_back(static_cast<unsigned>(si));
      } else {
        if (pk.secondary.empty()) throw std::logic_error("a byte outside an escape-free alphabet");
        c.units.push_back(E);
        c.units.push_back(E);
        for (unsigned k = 0; k < (8 + pk.w - 1) / pk.w; ++k) c.units.push_back((b >> (k * pk.w)) & E);
      }
    }
  }
  return c;
}

struct Entry {
  std::uint64_t x;
  Coded suffix;
};

// A field code's run header fields for one run.
struct RunFields {
  std::uint64_t min_x, min_y;
  unsigned wx, wy;
};

inline RunFields natural(const std::vector<Entry>& run, const Fields& f) {
  RunFields r{UINT64_MAX, UINT64_MAX, 0, 0};
  std::uint64_t max_x = 0, max_y = 0;
  for (auto& e : run) {
    r.min_x = std::min(r.min_x, e.x);
    r.min_y = std::min<std::uint64_t>(r.min_y, e.suffix.units.size());
    max_x = std::max(max_x, e.x);
    max_y = std::max<std::uint64_t>(max_y, e.suffix.units.size());
  }
  r.wx = std::min(15u, bits(max_x - r.min_x) + f.extra_wx);
  r.wy = std::min(15u, bits(max_y - r.min_y) + f.extra_wy);
  if (f.spare_all_ones && r.wy < 15) {
    const std::uint64_t mx = (std::uint64_t{1} << r.wx) - 1, my = (std::uint64_t{1} << r.wy) - 1;
    for (auto& e : run)
      if (e.x - r.min_x == mx && e.suffix.units.size() - r.min_y == my) {
        ++r.wy;
        break;
      }
  }
  return r;
}

inline Fields fit_code(const Fields& f, const std::vector<std::vector<Entry>>& runs) {
  if (!f.fitted) return f;
  Fields out = f;
  std::uint64_t lo_x = UINT64_MAX, hi_x = 0, lo_y = UINT64_MAX, hi_y = 0;
  unsigned lo_wx = 15, hi_wx = 0, lo_wy = 15, hi_wy = 0;
  bool any = false;
  for (auto& run : runs) {
    if (run.empty()) continue;
    any = true;
    const RunFields r = natural(run, f);
    lo_x = std::min(lo_x, r.min_x), hi_x = std::max(hi_x, r.min_x);
    lo_y = std::min(lo_y, r.min_y), hi_y = std::max(hi_y, r.min_y);
    lo_wx = std::min(lo_wx, r.wx), hi_wx = std::max(hi_wx, r.wx);
    lo_wy = std::min(lo_wy, r.wy), hi_wy = std::max(hi_wy, r.wy);
  }
  if (!any) return Fields{false};
  out.fitted = false;
  out.base_x = lo_x, out.base_y = lo_y, out.min_wx = lo_wx, out.min_wy = lo_wy;
  out.N = bits(hi_x - lo_x), out.M = bits(hi_y - lo_y), out.P = bits(hi_wx - lo_wx), out.Q = bits(hi_wy - lo_wy);
  return out;
}

inline Bytes code_record(const Code& code) {
  Bytes b;
  if (auto* f = std::get_if<Fields>(&code)) {
    b.push_back(0);
    put_var(b, f->base_x);
    put_var(b, f->base_y);
    b.push_back(static_cast<unsigned char>(f->min_wx << 4 | f->min_wy));
    b.push_back(static_cast<unsigned char>(f->N));
    b.push_back(static_cast<unsigned char>(f->M));
    b.push_back(static_cast<unsigned char>(f->P << 4 | f->Q));
  } else {
    const auto& t = std::get<Table>(code);
    b.push_back(1);
    b.push_back(static_cast<unsigned char>(t.e));
    put_u16(b, t.pairs.size());
    for (auto [x, y] : t.pairs) put_u16(b, x << 8 | y);
  }
  return b;
}

inline Bytes codec_record(const Codec& codec) {
  Bytes b;
  auto table = [&](const std::vector<std::string>& syms) {
    b.push_back(static_cast<unsigned char>(syms.size()));
    for (auto& s : syms) b.push_back(static_cast<unsigned char>(s.size()));
    for (auto& s : syms) b.insert(b.end(), s.begin(), s.end());
  };
  if (auto* s = std::get_if<Symbols>(&codec)) {
    b.push_back(0);
    table(s->symbols);
  } else if (auto* t = std::get_if<Tiered>(&codec)) {
    b.push_back(2);
    b.push_back(static_cast<unsigned char>(t->g));
    b.push_back(static_cast<unsigned char>(t->h));
    table(t->symbols);
  } else {
    const auto& p = std::get<Packed>(codec);
    b.push_back(1);
    b.push_back(static_cast<unsigned char>(p.w));
    b.push_back(static_cast<unsigned char>(p.primary.size() - 1));
    b.push_back(static_cast<unsigned char>(p.secondary.size()));
    b.insert(b.end(), p.primary.begin(), p.primary.end());
    b.insert(b.end(), p.secondary.begin(), p.secondary.end());
  }
  return b;
}

inline Bytes phrase_section(const std::vector<std::string>& phrases) {
  Bytes b;
  put_u32(b, phrases.size());
  const std::size_t groups = (phrases.size() + 255) / 256;
  std::string bytes;
  std::vector<std::uint64_t> offs;
  for (std::size_t g = 0; g < groups; ++g) {
    put_u32(b, bytes.size());
    const std::size_t base = bytes.size();
    offs.push_back(0);
    for (std::size_t i = g * 256; i < std::min(phrases.size(), g * 256 + 256); ++i) {
      bytes += phrases[i];
      offs.push_back(bytes.size() - base);
    }
    while (offs.size() % 257) offs.push_back(0);
  }
  for (auto o : offs) put_u16(b, o);
  b.insert(b.end(), bytes.begin(), bytes.end());
  return b;
}

struct RunOut {
  Bytes bytes;
  std::uint64_t header = 0, wide = 0, codes = 0, entries = 0, escaped = 0;
};

inline RunOut write_run(const std::vector<Entry>& run, const Code& code, const Codec& codec) {
  RunOut r;
  if (run.empty()) return r;
  BitSink head, data;
  const bool packed = std::holds_alternative<Packed>(codec);
  const unsigned unit = packed ? std::get<Packed>(codec).w : 8;
  unsigned W;
  std::uint64_t min_x = 0, min_y = 0;
  unsigned wx = 0, wy = 0;
  const Table* table = std::get_if<Table>(&code);
  if (table) {
    W = table->e;
  } else {
    const Fields& f = std::get<Fields>(code);
    const RunFields nat = natural(run, f);
    auto clamp = [](std::uint64_t v, std::uint64_t lo, unsigned bits_) {
      const std::uint64_t d = v < lo ? 0 : v - lo;
      const std::uint64_t mask = bits_ >= 64 ? UINT64_MAX : (std::uint64_t{1} << bits_) - 1;
      return std::min(d, mask);
    };
    const std::uint64_t dx = clamp(nat.min_x, f.base_x, f.N), dy = clamp(nat.min_y, f.base_y, f.M);
    const std::uint64_t dwx = clamp(nat.wx, f.min_wx, f.P), dwy = clamp(nat.wy, f.min_wy, f.Q);
    head.put(dx, f.N);
    head.put(dy, f.M);
    head.put(dwx, f.P);
    head.put(dwy, f.Q);
    min_x = f.base_x + dx, min_y = f.base_y + dy;
    wx = static_cast<unsigned>(f.min_wx + dwx), wy = static_cast<unsigned>(f.min_wy + dwy);
    W = wx + wy;
  }
  for (const Entry& e : run) {
    const std::uint64_t y = e.suffix.units.size();
    bool escape = true;
    std::uint64_t c = 0;
    if (table) {
      for (std::size_t i = 0; i < table->pairs.size(); ++i)
        if (table->pairs[i] == std::pair<unsigned, unsigned>(e.x, y)) {
          escape = false, c = i;
          break;
        }
    } else {
      const std::uint64_t u = e.x - min_x, v = y - min_y;
      const std::uint64_t mx = (std::uint64_t{1} << wx) - 1, my = (std::uint64_t{1} << wy) - 1;
      if (e.x >= min_x && y >= min_y && u <= mx && v <= my && !(u == mx && v == my)) escape = false, c = u << wy | v;
    }
    if (escape) c = W == 0 ? 0 : (std::uint64_t{1} << W) - 1;
    head.put(c, W);
    if (escape) {
      data.align();
      const std::size_t before = data.out.size();
      put_var(data.out, e.x);
      put_var(data.out, y);
      data.align();
      r.wide += data.out.size() - before;
      ++r.escaped;
    }
    for (unsigned u : e.suffix.units) data.put(u, unit);
    ++r.entries;
  }
  r.header = head.out.size();
  r.codes = data.out.size() - r.wide;
  r.bytes = head.out;
  r.bytes.insert(r.bytes.end(), data.out.begin(), data.out.end());
  return r;
}

template <class T>
const T& pick(const std::vector<T>& v, std::size_t s) {
  return v.size() == 1 ? v[0] : v.at(s);
}

}  // namespace detail

// Re-seals both checksums of a blob after a test changed it.
inline void reseal(Bytes& b) { quorvale::dict_index::FRAME.seal_blob(b); }

inline Written write(const Layout& layout) {
  using namespace detail;
  Written out;
  for (const auto& k : layout.keys) out.stored.push_back(layout.chars ? spell(*layout.chars, k) : k);
  const auto& keys = out.stored;
  const std::uint64_t n = keys.size(), block = layout.block, micro = layout.micro;
  const std::uint64_t shard = layout.shard ? layout.shard : std::min<std::uint64_t>(65536 / block, 65535);
  const std::uint64_t Y = (n + block - 1) / block, Z = (Y + shard - 1) / shard, J = (block + micro - 1) / micro;
  const std::uint64_t S = std::max<std::uint64_t>(Z, 1);

  // Every run's entries, per shard and role.
  struct BlockRuns {
    std::vector<Entry> restart;
    std::vector<std::vector<Entry>> micro;
  };
  std::vector<BlockRuns> runs(Y);
  for (std::uint64_t b = 0; b < Y; ++b) {
    const Codec& codec = pick(layout.codecs, b / shard);
    const std::uint64_t first = b * block, k = std::min(block, n - first), m = (k + micro - 1) / micro;
    for (std::uint64_t j = 1; j < m; ++j) {
      const auto& prev = keys[first + (j - 1) * micro];
      const auto& key = keys[first + j * micro];
      const std::size_t x = lcp(prev, key);
      runs[b].restart.push_back({x, code_suffix(codec, layout, key.substr(x))});
    }
    for (std::uint64_t j = 0; j < m; ++j) {
      std::vector<Entry> run;
      for (std::uint64_t i = first + j * micro + 1; i < std::min(first + (j + 1) * micro, first + k); ++i) {
        const std::size_t x = lcp(keys[i - 1], keys[i]);
        run.push_back({x, code_suffix(codec, layout, keys[i].substr(x))});
      }
      runs[b].micro.push_back(run);
    }
  }
  std::vector<std::pair<Code, Code>> codes(S);
  for (std::uint64_t s = 0; s < S; ++s) {
    auto [entry, restart] = pick(layout.codes, s);
    std::vector<std::vector<Entry>> er, rr;
    for (std::uint64_t b = s * shard; b < std::min(Y, (s + 1) * shard); ++b) {
      rr.push_back(runs[b].restart);
      for (auto& r : runs[b].micro) er.push_back(r);
    }
    if (auto* f = std::get_if<Fields>(&entry)) entry = fit_code(*f, er);
    if (auto* f = std::get_if<Fields>(&restart)) restart = fit_code(*f, rr);
    codes[s] = {entry, restart};
  }

  Counts& c = out.counts;
  Bytes heads, block_data;
  std::vector<std::uint64_t> head_ends, block_offsets, micro_offsets;
  for (std::uint64_t b = 0; b < Y; ++b) {
    const std::string& head = keys[b * block];
    heads.insert(heads.end(), head.begin(), head.end());
    head_ends.push_back(heads.size());
    block_offsets.push_back(block_data.size());
    const Codec& codec = pick(layout.codecs, b / shard);
    const std::size_t start = block_data.size();
    const std::uint64_t m = runs[b].micro.size();
    if (m >= 2) {
      RunOut r = write_run(runs[b].restart, codes[b / shard].second, codec);
      block_data.insert(block_data.end(), r.bytes.begin(), r.bytes.end());
      c.v[Counts::RESTART_HEADERS] += r.header, c.v[Counts::RESTART_WIDE] += r.wide;
      c.v[Counts::RESTART_CODES] += r.codes, c.v[Counts::RESTARTS] += r.entries, c.v[Counts::WIDE] += r.escaped;
    }
    for (std::uint64_t j = 0; j < m; ++j) {
      if (J > 1) micro_offsets.push_back(block_data.size() - start);
      RunOut r = write_run(runs[b].micro[j], codes[b / shard].first, codec);
      block_data.insert(block_data.end(), r.bytes.begin(), r.bytes.end());
      c.v[Counts::ENTRY_HEADERS] += r.header, c.v[Counts::ENTRY_WIDE] += r.wide;
      c.v[Counts::ENTRY_CODES] += r.codes, c.v[Counts::ENTRIES] += r.entries, c.v[Counts::WIDE] += r.escaped;
    }
    if (J > 1 && b + 1 < Y)
      for (std::uint64_t j = m; j < J; ++j) micro_offsets.push_back(block_data.size() - start);
  }
  Bytes tables, code_bytes;
  for (std::uint64_t s = 0; s < S; ++s) {
    const Bytes rec = codec_record(pick(layout.codecs, s));
    put_u32(tables, rec.size());
    tables.insert(tables.end(), rec.begin(), rec.end());
    const Bytes e = code_record(codes[s].first), r = code_record(codes[s].second);
    code_bytes.insert(code_bytes.end(), e.begin(), e.end());
    code_bytes.insert(code_bytes.end(), r.begin(), r.end());
  }
  const Bytes phrases = phrase_section(layout.phrases);
  const Bytes chars = layout.chars ? char_section(*layout.chars) : Bytes{};
  unsigned w44 = 0, w45 = 0;
  auto [he_s, he_p] = sampled(head_ends, layout.shift, w44);
  auto [bo_s, bo_p] = sampled(block_offsets, layout.shift, w45);
  unsigned w47 = bits(micro_offsets.empty() ? 0 : *std::max_element(micro_offsets.begin(), micro_offsets.end()));
  const Bytes mo = packed_fields(micro_offsets, w47);
  std::uint64_t prefix = 0;
  if (Y > 0) prefix = std::min<std::uint64_t>(lcp(keys[0], keys[(Y - 1) * block]), 65535);
  if (layout.head_prefix) prefix = *layout.head_prefix;

  Bytes payload;
  auto add = [&](const Bytes& b, std::size_t* at) {
    if (at) *at = 72 + payload.size();
    payload.insert(payload.end(), b.begin(), b.end());
  };
  add(heads, &out.heads_at);
  add(he_s, nullptr);
  add(he_p, nullptr);
  add(block_data, &out.block_data_at);
  add(tables, &out.tables_at);
  add(code_bytes, &out.codes_at);
  add(phrases, &out.phrases_at);
  add(bo_s, &out.block_offsets_at);
  add(bo_p, nullptr);
  add(mo, &out.micro_at);
  add(chars, &out.chars_at);

  Bytes h{'B', 'D', 'X', static_cast<unsigned char>(layout.chars ? '4' : '3')};
  put_u64(h, n);
  put_u32(h, block);
  put_u64(h, heads.size());
  put_u64(h, block_data.size());
  put_u32(h, tables.size());
  put_u64(h, 0);  // the payload checksum, sealed below
  h.push_back(static_cast<unsigned char>(w44));
  h.push_back(static_cast<unsigned char>(w45));
  h.push_back(static_cast<unsigned char>(layout.shift));
  h.push_back(static_cast<unsigned char>(w47));
  put_u16(h, micro);
  put_u16(h, shard);
  put_u32(h, code_bytes.size());
  put_u16(h, prefix);
  put_u32(h, phrases.size());
  put_u32(h, chars.size());
  put_u16(h, 0);
  put_u32(h, 0);  // the header checksum, sealed below
  out.blob = h;
  out.blob.insert(out.blob.end(), payload.begin(), payload.end());
  reseal(out.blob);

  c.v[Counts::HEADER] = 72;
  c.v[Counts::TABLES] = tables.size();
  c.v[Counts::HEADER_CODES] = code_bytes.size();
  c.v[Counts::PHRASES] = phrases.size();
  c.v[Counts::HEADS] = heads.size();
  c.v[Counts::HEAD_ENDS] = he_s.size() + he_p.size();
  c.v[Counts::BLOCK_OFFSETS] = bo_s.size() + bo_p.size();
  c.v[Counts::MICRO_OFFSETS] = mo.size();
  c.v[Counts::CHARS] = chars.size();
  return out;
}

}  // namespace dictfix
