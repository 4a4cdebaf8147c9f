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

std::size_t Encoder::encode(Bytes s, unsigned char* out) const noexcept {
  // An escape writes its literal unconditionally and advances by two, so
  // the data-dependent branch is left to the step's own selects.
  unsigned char* o = out;
  const unsigned char* p = s.data();
  std::size_t r = s.size();
  while (r > 0) {
    const Step st = step(p, r);
    o[0] = st.code;
    o[1] = *p;
    o += 1 + (st.code == ESCAPE);
    p += st.len;
    r -= st.len;
  }
  return static_cast<std::size_t>(o - out);
}

void Encoder::encode(Bytes s, std::vector<unsigned char>& out) const {
  const std::size_t old = out.size();
  out.resize(old + 2 * s.size());
  out.resize(old + encode(s, out.data() + old));
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
  // Every byte of the samples adds one to its one-byte candidate whatever
  // token covers it, so those gains are the byte counts, the same each round;
  // the rounds count the multi-byte tokens and the pairs.
  std::array<std::uint64_t, 256> bytes{};
  for (const Bytes& s : samples)
    for (unsigned char b : s) ++bytes[b];
  const std::size_t max_tokens = std::min(max, MAX_SYMBOLS) + 256;
  std::vector<std::uint32_t> single;
  // Pair counters stay zero between rounds: only the touched ones are
  // listed, read and cleared, never the whole array. Row `tokens` stands for
  // "no previous token" (a sample's first step) and is ignored.
  std::vector<std::uint32_t> pair((max_tokens + 1) * max_tokens, 0);
  std::vector<std::uint32_t> touched;
  std::vector<Candidate> cands;
  for (int round = 0; round < 4; ++round) {
    const Encoder enc = cur.encoder();
    const std::size_t c = cur.size();
    const std::size_t tokens = c + 256;
    single.assign(tokens, 0);
    touched.clear();

    // The greedy coding of every sample: a token a step (the symbol's code,
    // or c + b for an escaped byte b) and a pair for every two adjacent
    // tokens of one sample.
    for (const Bytes& s : samples) {
      const unsigned char* p = s.data();
      std::size_t r = s.size();
      std::size_t prev = tokens;
      while (r > 0) {
        const Step st = enc.step(p, r);
        const std::size_t tok = st.code == ESCAPE ? c + *p : st.code;
        ++single[tok];
        const std::size_t at = prev * tokens + tok;
        if (pair[at]++ == 0) touched.push_back(static_cast<std::uint32_t>(at));
        prev = tok;
        p += st.len;
        r -= st.len;
      }
    }

    auto value_of = [&](std::size_t t) -> std::uint64_t { return t < c ? cur.symbols[t] : t - c; };
    auto len_of = [&](std::size_t t) -> unsigned { return t < c ? cur.lengths[t] : 1; };

    GainMap gains(tokens + touched.size());
    for (unsigned b = 0; b < 256; ++b)
      if (bytes[b] != 0) gains.add(b, 1, bytes[b]);
    for (std::size_t t = 0; t < c; ++t)
      if (single[t] != 0 && len_of(t) > 1)
        gains.add(value_of(t), static_cast<std::uint8_t>(len_of(t)), static_cast<std::uint64_t>(single[t]) * len_of(t));
    for (const std::uint32_t at : touched) {
      const std::size_t a = at / tokens, b = at % tokens;
      const std::uint64_t k = pair[at];
      pair[at] = 0;
      if (a == tokens) continue;  // a sample's first token
      const unsigned la = len_of(a), lb = len_of(b);
      if (la >= 8 || la + lb > 8) continue;
      gains.add(value_of(a) | (value_of(b) << (8 * la)), static_cast<std::uint8_t>(la + lb), k * (la + lb));
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
