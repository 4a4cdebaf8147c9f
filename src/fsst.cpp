#include "fsst.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "phrase_mix.hpp"

namespace quorvale::fsst {

namespace {

constexpr std::uint16_t ESCAPE_ENTRY = 0x01FF;  // length 1, code 255

std::uint64_t mask_of(unsigned len) noexcept { return len >= 8 ? ~0ULL : (1ULL << (8 * len)) - 1; }

// The gain map of one training round, open addressing keyed by (value,
// length); length 0 marks an empty cell.
class GainMap {
 public:
  struct Cell {
    std::uint64_t value;
    std::uint64_t gain;
    std::uint8_t len;
  };

  explicit GainMap(std::size_t expected) {
    std::size_t cap = 16;
    while (cap < expected * 2) cap <<= 1;
    cells_.assign(cap, Cell{0, 0, 0});
    mask_ = cap - 1;
  }

  void add(std::uint64_t value, std::uint8_t len, std::uint64_t gain) {
    std::size_t i = phrase::mix(value, len) & mask_;
    for (;;) {
      Cell& c = cells_[i];
      if (c.len == len && c.value == value) {
        c.gain += gain;
        return;
      }
      if (c.len == 0) {
        c = Cell{value, gain, len};
        if (++used_ * 2 > cells_.size()) grow();
        return;
      }
      i = (i + 1) & mask_;
    }
  }

  const std::vector<Cell>& cells() const noexcept { return cells_; }
  std::size_t used() const noexcept { return used_; }

 private:
  void grow() {
    std::vector<Cell> old = std::move(cells_);
    cells_.assign(old.size() * 2, Cell{0, 0, 0});
    mask_ = cells_.size() - 1;
    for (const Cell& c : old) {
      if (c.len == 0) continue;
      std::size_t i = phrase::mix(c.value, c.len) & mask_;
      while (cells_[i].len != 0) i = (i + 1) & mask_;
      cells_[i] = c;
    }
  }

  std::vector<Cell> cells_;
  std::size_t mask_ = 0;
  std::size_t used_ = 0;
};

struct Candidate {
  std::uint64_t gain;
  std::uint64_t be;  // the symbol's 8 zero-padded bytes read big-endian
  std::uint64_t value;
  std::uint8_t len;
};

// Gain descending, then the bytes in lexicographic order, then length.
bool before(const Candidate& a, const Candidate& b) noexcept {
  if (a.gain != b.gain) return a.gain > b.gain;
  if (a.be != b.be) return a.be < b.be;
  return a.len < b.len;
}

}  // namespace

Encoder::Encoder() : two_(65536, ESCAPE_ENTRY), slots_(SLOTS) { one_.fill(ESCAPE_ENTRY); }

void Encoder::encode(Bytes s, std::vector<unsigned char>& out) const {
  const unsigned char* p = s.data();
  std::size_t r = s.size();
  while (r > 0) {
    const Step st = step(p, r);
    out.push_back(st.code);
    if (st.code == ESCAPE) out.push_back(*p);
    p += st.len;
    r -= st.len;
  }
}

Encoder Table::encoder() const {
  Encoder enc;
  const std::size_t n = std::min(symbols.size(), lengths.size());
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned len = lengths[i];
    const std::uint64_t value = symbols[i];
    const auto e = static_cast<std::uint16_t>((len << 8) | i);
    if (len == 1) {
      const unsigned b = value & 0xFF;
      enc.one_[b] = e;
      // A one-byte symbol is the fallback for every pair it starts; a
      // two-byte symbol keeps its own entry.
      for (unsigned x = 0; x < 256; ++x) {
        std::uint16_t& t = enc.two_[b | (x << 8)];
        if (t == ESCAPE_ENTRY) t = e;
      }
    } else if (len == 2) {
      enc.two_[value & 0xFFFF] = e;
    } else if (len >= 3 && len <= MAX_LENGTH) {
      Encoder::Slot& sl = enc.slots_[slot_of(value)];
      if (sl.len < len) sl = Encoder::Slot{value, mask_of(len), static_cast<unsigned char>(i),
                                           static_cast<unsigned char>(len)};
    }
  }
  return enc;
}

Table Table::head(std::size_t k) const {
  Table t;
  const std::size_t m = std::min(k, size());
  t.symbols.assign(symbols.begin(), symbols.begin() + static_cast<std::ptrdiff_t>(m));
  t.lengths.assign(lengths.begin(), lengths.begin() + static_cast<std::ptrdiff_t>(m));
  return t;
}

std::size_t Table::record_len() const noexcept {
  std::size_t len = 1 + lengths.size();
  for (std::uint8_t l : lengths) len += l;
  return len;
}

void Table::write_to(std::vector<unsigned char>& out) const {
  out.push_back(static_cast<unsigned char>(size()));
  out.insert(out.end(), lengths.begin(), lengths.end());
  for (std::size_t i = 0; i < size(); ++i)
    for (unsigned k = 0; k < lengths[i]; ++k) out.push_back(static_cast<unsigned char>(symbols[i] >> (8 * k)));
}

std::optional<Table> Table::from_bytes(Bytes record) {
  if (record.empty()) return std::nullopt;
  const std::size_t n = record[0];
  if (record.size() - 1 < n) return std::nullopt;
  Table t;
  t.symbols.reserve(n);
  t.lengths.assign(record.begin() + 1, record.begin() + 1 + static_cast<std::ptrdiff_t>(n));
  std::size_t at = 1 + n;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned len = t.lengths[i];
    if (len == 0 || len > MAX_LENGTH || record.size() - at < len) return std::nullopt;
    std::uint64_t v = 0;
    for (unsigned k = 0; k < len; ++k) v |= static_cast<std::uint64_t>(record[at + k]) << (8 * k);
    t.symbols.push_back(v);
    at += len;
  }
  if (at != record.size()) return std::nullopt;
  return t;
}

std::optional<std::size_t> Table::decode(Bytes codes, unsigned char* out, std::uint64_t count) const noexcept {
  const unsigned char* c = codes.data();
  const unsigned char* end = c + codes.size();
  const std::size_t n = size();
  const std::uint64_t* sym = symbols.data();
  const std::uint8_t* len = lengths.data();
  std::uint64_t at = 0;
  while (c != end && at < count) {
    const unsigned code = *c++;
    if (code == ESCAPE) {
      if (c == end) return std::nullopt;
      out[at++] = *c++;
    } else {
      if (code >= n) return std::nullopt;
      store_le64(out + at, sym[code]);
      at += len[code];
    }
  }
  return static_cast<std::size_t>(at);
}

bool Table::decode_into(Bytes codes, std::vector<unsigned char>& out, std::uint64_t count) const {
  const std::size_t old = out.size();
  const std::uint64_t by_codes = 8 * static_cast<std::uint64_t>(codes.size());
  const std::uint64_t room = count >= by_codes ? by_codes : std::min(count + 7, by_codes);
  out.resize(old + room);
  const auto got = decode(codes, out.data() + old, count);
  out.resize(old + (got ? *got : 0));
  return got.has_value();
}

Table Table::train_to(std::span<const Bytes> samples, std::size_t max) {
  Table cur;
  std::vector<std::uint32_t> single;
  std::vector<std::uint32_t> pair;
  std::vector<Candidate> cands;
  for (int round = 0; round < 4; ++round) {
    const Encoder enc = cur.encoder();
    const std::size_t c = cur.size();
    const std::size_t tokens = c + 256;
    single.assign(tokens, 0);
    pair.assign(tokens * tokens, 0);

    // Count tokens and adjacent pairs of tokens of the greedy coding; a
    // multi-byte step also counts every byte it covered.
    for (const Bytes& s : samples) {
      const unsigned char* p = s.data();
      std::size_t r = s.size();
      std::size_t prev = SIZE_MAX;
      while (r > 0) {
        const Step st = enc.step(p, r);
        std::size_t tok;
        std::size_t len = 1;
        if (st.code == ESCAPE) {
          tok = c + *p;
        } else {
          tok = st.code;
          len = st.len;
          if (len > 1)
            for (std::size_t i = 0; i < len; ++i) ++single[c + p[i]];
        }
        ++single[tok];
        if (prev != SIZE_MAX) ++pair[prev * tokens + tok];
        prev = tok;
        p += len;
        r -= len;
      }
    }

    auto value_of = [&](std::size_t t) -> std::uint64_t { return t < c ? cur.symbols[t] : t - c; };
    auto len_of = [&](std::size_t t) -> unsigned { return t < c ? cur.lengths[t] : 1; };

    std::size_t pairs_seen = 0;
    for (std::uint32_t k : pair) pairs_seen += k != 0;
    GainMap gains(tokens + pairs_seen);
    for (std::size_t t = 0; t < tokens; ++t)
      if (single[t] != 0) gains.add(value_of(t), static_cast<std::uint8_t>(len_of(t)),
                                    static_cast<std::uint64_t>(single[t]) * len_of(t));
    for (std::size_t a = 0; a < tokens; ++a) {
      const unsigned la = len_of(a);
      if (la >= 8) continue;
      const std::uint32_t* row = &pair[a * tokens];
      const std::uint64_t va = value_of(a);
      for (std::size_t b = 0; b < tokens; ++b) {
        if (row[b] == 0) continue;
        const unsigned lb = len_of(b);
        if (la + lb > 8) continue;
        gains.add(va | (value_of(b) << (8 * la)), static_cast<std::uint8_t>(la + lb),
                  static_cast<std::uint64_t>(row[b]) * (la + lb));
      }
    }

    cands.clear();
    cands.reserve(gains.used());
    for (const auto& cell : gains.cells())
      if (cell.len != 0) cands.push_back(Candidate{cell.gain, __builtin_bswap64(cell.value), cell.value, cell.len});

    // Walk the candidates in their total order, sorting only as far as the
    // walk needs: a chunk at a time.
    Table next;
    std::array<bool, SLOTS> taken{};
    std::size_t done = 0;
    while (next.size() < max && done < cands.size()) {
      const std::size_t chunk = std::min(cands.size() - done, std::max<std::size_t>(1024, 4 * max));
      auto first = cands.begin() + static_cast<std::ptrdiff_t>(done);
      auto mid = first + static_cast<std::ptrdiff_t>(chunk);
      if (mid != cands.end()) std::nth_element(first, mid - 1, cands.end(), before);
      std::sort(first, mid, before);
      for (auto it = first; it != mid && next.size() < max; ++it) {
        if (it->len >= 3) {
          bool& flag = taken[slot_of(it->value)];
          const bool free = !flag;
          flag = true;
          if (!free) continue;
        }
        next.symbols.push_back(it->value);
        next.lengths.push_back(it->len);
      }
      done += chunk;
    }

    if (next == cur) return cur;
    cur = std::move(next);
  }
  return cur;
}

}  // namespace quorvale::fsst
