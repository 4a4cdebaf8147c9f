// The build side of phrases: the trie, the parse, the split a shard settles
// on and the mining of a phrase list.
#include "phrase_build.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>

#include "blob.hpp"
#include "error.hpp"
#include "packed.hpp"
#include "phrase_mix.hpp"
#include "threads.hpp"

namespace quorvale::phrase {

// ---------------------------------------------------------------------------
// Trie

namespace {

constexpr Cell kEmptyCell{0, kNoCell, 0};

// The free positions of the trie under construction, one bit each (set:
// free); positions past the end are free. Positions are taken, never freed.
class FreeCells {
 public:
  void take(std::size_t q) {
    if (q >= 64 * bits_.size()) bits_.resize(std::max(q / 64 + 1, 2 * bits_.size()), ~0ULL);
    bits_[q / 64] &= ~(1ULL << (q % 64));
  }
  // The first free position at or after q.
  std::size_t first_from(std::size_t q) const noexcept {
    for (std::size_t i = q / 64;; ++i) {
      std::uint64_t w = word(i);
      if (i == q / 64) w &= ~0ULL << (q % 64);
      if (w != 0) return 64 * i + static_cast<std::size_t>(std::countr_zero(w));
    }
  }
  // The first position p at or after q where p + d is free for every offset
  // d of the list (the first offset 0): the same answer as trying the free
  // positions from q one by one, found 64 candidates at a time.
  std::size_t first_fit(std::size_t q, std::span<const std::uint32_t> offsets) const noexcept {
    for (std::size_t at = q & ~std::size_t{63};; at += 64) {
      std::uint64_t m = word(at / 64);
      if (at < q) m &= ~0ULL << (q - at);
      for (std::size_t k = 1; k < offsets.size() && m != 0; ++k) m &= window(at + offsets[k]);
      if (m != 0) return at + static_cast<std::size_t>(std::countr_zero(m));
    }
  }

 private:
  std::uint64_t word(std::size_t i) const noexcept { return i < bits_.size() ? bits_[i] : ~0ULL; }
  // The 64 bits of positions o .. o + 63.
  std::uint64_t window(std::size_t o) const noexcept {
    const std::size_t sh = o % 64;
    const std::uint64_t lo = word(o / 64);
    return sh == 0 ? lo : (lo >> sh) | (word(o / 64 + 1) << (64 - sh));
  }
  std::vector<std::uint64_t> bits_;
};
}  // namespace

Trie Trie::empty() {
  Trie t;
  t.cells_.assign(256, kEmptyCell);
  return t;
}

Trie Trie::build(std::span<const fsst::Bytes> phrases) {
  // The node trie is walked breadth first, each node's children in byte
  // order: that order, the children's bytes and the nodes' values are all
  // the layout depends on. A node is a range of the phrases sorted by their
  // bytes that share its prefix, so no node or edge is ever stored. The sort
  // is stable: of equal phrases the later in the list ends the range, and
  // its index is the value, as if the later phrase overwrote the earlier.
  std::vector<std::uint32_t> order(phrases.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    const fsst::Bytes x = phrases[a], y = phrases[b];
    const int c = std::memcmp(x.data(), y.data(), std::min(x.size(), y.size()));
    return c != 0 ? c < 0 : x.size() < y.size();
  });
  // The sorted phrases back to back, so a node reads its range in order.
  std::vector<unsigned char> bytes;
  std::vector<std::size_t> ends{0};
  for (const std::uint32_t i : order) {
    bytes.insert(bytes.end(), phrases[i].begin(), phrases[i].end());
    ends.push_back(bytes.size());
  }
  auto len = [&](std::size_t k) { return ends[k + 1] - ends[k]; };
  auto at = [&](std::size_t k, std::size_t depth) { return bytes[ends[k] + depth]; };
  // The value of the node of range [lo, hi) at depth d: the last phrase of
  // exactly d bytes, which sort first in the range.
  auto value_of = [&](std::size_t lo, std::size_t hi, std::size_t depth, std::size_t& past) {
    std::uint32_t v = 0;
    for (past = lo; past < hi && len(past) == depth; ++past) v = order[past] + 1;
    return v;
  };

  struct Node {
    std::size_t lo, hi;  // its phrases in sorted order
    std::uint32_t cell;
  };
  Trie t;
  std::vector<Cell>& cells = t.cells_;
  FreeCells free;
  std::size_t past_root;
  cells.push_back(Cell{0, kNoCell, value_of(0, order.size(), 0, past_root)});
  free.take(0);
  std::vector<Node> level{{0, order.size(), 0}}, next;
  std::vector<std::uint32_t> offsets;
  std::vector<Node> kids;
  std::size_t cursor = 256;
  std::uint32_t max_base = 0;
  for (std::size_t depth = 0; !level.empty(); ++depth) {
    next.clear();
    for (const Node& node : level) {
      // Children: the runs of equal bytes at this depth among the phrases
      // that go on past it.
      std::size_t k;
      value_of(node.lo, node.hi, depth, k);
      kids.clear();
      offsets.clear();
      while (k < node.hi) {
        const unsigned char b = at(k, depth);
        std::size_t e = k + 1;
        while (e < node.hi && at(e, depth) == b) ++e;
        kids.push_back(Node{k, e, b});
        offsets.push_back(b - kids[0].cell);
        k = e;
      }
      if (kids.empty()) continue;
      // The first free p from the cursor on where every child fits at
      // base = p - (first child's byte).
      const std::size_t base = free.first_fit(cursor, offsets) - kids[0].cell;
      if (base > UINT32_MAX - 256) panic("the phrase trie fits in u32 cells");
      cells[node.cell].base = static_cast<std::uint32_t>(base);
      max_base = std::max(max_base, static_cast<std::uint32_t>(base));
      for (const Node& kid : kids) {
        const std::size_t q = base + kid.cell;
        if (cells.size() <= q) cells.resize(q + 1, kEmptyCell);
        free.take(q);
        std::size_t past;
        cells[q] = Cell{0, node.cell, value_of(kid.lo, kid.hi, depth + 1, past)};
        next.push_back(Node{kid.lo, kid.hi, static_cast<std::uint32_t>(q)});
      }
      cursor = free.first_from(cursor);
    }
    level.swap(next);
  }

  // Room for a step from any cell.
  if (cells.size() < std::size_t{max_base} + 256) cells.resize(std::size_t{max_base} + 256, kEmptyCell);
  return t;
}

// ---------------------------------------------------------------------------
// Parse

std::span<const Token> Scratch::read(std::size_t n) {
  tokens.clear();
  for (std::size_t p = 0; p < n;) {
    const std::uint32_t w = choices[p];
    const unsigned len = word_len(w);
    const unsigned kind = word_kind(w);
    tokens.push_back(Token{p, len, static_cast<std::uint8_t>(kind), kind == kEscape ? 0 : word_value(w)});
    p += len;
  }
  return tokens;
}

namespace {

void fit(Scratch& scratch, std::size_t n) {
  if (scratch.costs.size() < n + 1) scratch.costs.resize(n + 1);
  if (scratch.choices.size() < n) scratch.choices.resize(n);
}

}  // namespace

namespace {

// The cheapest coding of s under the encoder and, when limits are given, the
// phrases that `phrases_at(p, report)` reports at each position p (report(d,
// len) for phrase d of len bytes, shorter first): `parse` whatever finds the
// phrases.
template <class PhrasesAt>
std::uint32_t cheapest(fsst::Bytes s, const fsst::Encoder& enc, std::optional<Limits> limits, Scratch& scratch,
                       PhrasesAt&& phrases_at) {
  const std::size_t n = s.size();
  fit(scratch, n);
  std::uint32_t* cost = scratch.costs.data();
  std::uint32_t* choice = scratch.choices.data();
  const unsigned char* b = s.data();
  const bool phrases = limits.has_value();
  const std::uint32_t two = limits ? limits->two : 0;
  const std::uint32_t codable = limits ? limits->codable : 0;
  cost[n] = 0;
  for (std::size_t p = n; p-- > 0;) {
    const fsst::Step st = enc.step(b + p, n - p);
    std::uint32_t best, word;
    if (st.code == fsst::ESCAPE) {
      best = 16 + cost[p + 1];
      word = kEscapeWord;
    } else {
      best = 8 + cost[p + st.len];
      word = std::uint32_t{st.code} << 8 | std::uint32_t{st.len} << 2;
    }
    if (phrases) {
      phrases_at(p, [&](std::uint32_t d, std::uint32_t len) {
        if (d >= codable) return;
        const std::uint32_t c = cost[p + len] + (d < two ? 16 : 24);
        if (c < best) {
          best = c;
          word = d << 8 | len << 2 | kPhrase;
        }
      });
    }
    cost[p] = best;
    choice[p] = word;
  }
  return cost[0];
}

}  // namespace

std::uint32_t parse(fsst::Bytes s, const fsst::Encoder& enc, std::span<const Cell> cells,
                    std::optional<Limits> limits, Scratch& scratch) {
  // A trie without cells matches nothing.
  if (cells.empty()) limits.reset();
  const unsigned char* b = s.data();
  const std::size_t n = s.size();
  return cheapest(s, enc, limits, scratch,
                  [&](std::size_t p, auto&& report) { walk(cells.data(), b + p, n - p, report); });
}

std::uint32_t plain_bits(fsst::Bytes s, const fsst::Encoder& enc) noexcept {
  std::uint32_t bits = 0;
  const unsigned char* p = s.data();
  std::size_t r = s.size();
  while (r > 0) {
    const fsst::Step st = enc.step(p, r);
    bits += st.code == fsst::ESCAPE ? 16 : 8;
    p += st.len;
    r -= st.len;
  }
  return bits;
}

std::size_t encode(fsst::Bytes s, const fsst::Encoder& enc, std::span<const Cell> cells, Split split,
                   Scratch& scratch, std::vector<unsigned char>& out) {
  const std::size_t n = s.size();
  const std::size_t old = out.size();
  parse(s, enc, cells, split.limits(), scratch);
  for (std::size_t p = 0; p < n;) {
    const std::uint32_t w = scratch.choices[p];
    switch (word_kind(w)) {
      case kSymbol:
        out.push_back(static_cast<unsigned char>(word_value(w)));
        break;
      case kEscape:
        out.push_back(static_cast<unsigned char>(fsst::ESCAPE));
        out.push_back(s[p]);
        break;
      default:
        split.put(word_value(w), out);
        break;
    }
    p += word_len(w);
  }
  return out.size() - old;
}

void Memo::prepare(fsst::Bytes s, std::span<const fsst::Encoder> variants, std::span<const Cell> cells) {
  const std::size_t n = s.size();
  const unsigned char* b = s.data();
  windows_.resize(n);
  for (std::size_t p = 0; p < n; ++p) windows_[p] = fsst::window(b + p, n - p);
  codes_.resize(variants.size() * n);
  for (std::size_t v = 0; v < variants.size(); ++v) {
    Code* codes = codes_.data() + v * n;
    const fsst::Encoder& enc = variants[v];
    for (std::size_t p = 0; p < n; ++p) {
      const fsst::Step st = enc.step_at(windows_[p], n - p);
      codes[p] = Code{st.code, st.len};
    }
  }
  cells_ = !cells.empty();
  strings_.push_back(String{s, starts_.size() - 1});
  starts_.pop_back();
  for (std::size_t p = 0; p < n; ++p) {
    starts_.push_back(static_cast<std::uint32_t>(matches_.size()));
    if (cells_)
      walk(cells.data(), b + p, n - p, [&](std::uint32_t d, std::uint32_t len) { matches_.push_back(Match{len, d + 1}); });
  }
  starts_.push_back(static_cast<std::uint32_t>(matches_.size()));
}

std::uint32_t Memo::parse(std::size_t i, const fsst::Encoder& enc, std::optional<Limits> limits,
                          Scratch& scratch) const {
  if (!cells_) limits.reset();
  const std::uint32_t* starts = starts_.data() + strings_[i].first;
  const Match* matches = matches_.data();
  return cheapest(strings_[i].bytes, enc, limits, scratch, [&](std::size_t p, auto&& report) {
    for (std::uint32_t k = starts[p]; k < starts[p + 1]; ++k) report(matches[k].value - 1, matches[k].len);
  });
}

std::uint32_t Memo::price(std::size_t variant, std::optional<Limits> limits, Scratch& scratch) const {
  const std::size_t n = strings_.back().bytes.size();
  fit(scratch, n);
  std::uint32_t* cost = scratch.costs.data();
  const Code* codes = codes_.data() + variant * n;
  const Match* matches = matches_.data();
  const std::uint32_t* starts = starts_.data() + strings_.back().first;
  cost[n] = 0;
  if (!limits) {
    for (std::size_t p = n; p-- > 0;) {
      const Code c = codes[p];
      cost[p] = c.code == fsst::ESCAPE ? 16 + cost[p + 1] : 8 + cost[p + c.len];
    }
    return cost[0];
  }
  const std::uint32_t two = limits->two;
  const std::uint32_t codable = limits->codable;
  for (std::size_t p = n; p-- > 0;) {
    const Code c = codes[p];
    std::uint32_t best = c.code == fsst::ESCAPE ? 16 + cost[p + 1] : 8 + cost[p + c.len];
    for (std::uint32_t k = starts[p]; k < starts[p + 1]; ++k) {
      const Match m = matches[k];
      if (m.value > codable) continue;
      const std::uint32_t x = cost[p + m.len] + (m.value - 1 < two ? 16 : 24);
      if (x < best) best = x;
    }
    cost[p] = best;
  }
  return cost[0];
}

// ---------------------------------------------------------------------------
// Settle

namespace {

constexpr std::uint8_t kSymbolCounts[] = {127, 191, 223, 239, 254};

}  // namespace

std::vector<Split> splits(std::uint64_t phrases) {
  std::vector<Split> out;
  for (const std::uint8_t g : kSymbolCounts) {
    const unsigned leads = 255u - g;
    unsigned hmin = leads;
    for (unsigned h = 0; h <= leads; ++h)
      if (std::uint64_t{leads} * 256 + std::uint64_t{65'280} * h >= phrases) {
        hmin = h;
        break;
      }
    out.push_back(Split{g, 0});
    if (hmin != 0) out.push_back(Split{g, static_cast<std::uint8_t>(hmin)});
  }
  return out;
}

Settled settle(std::span<const fsst::Bytes> samples, fsst::Table table, std::span<const Cell> cells,
               std::uint64_t phrase_count, Scratch& scratch) {
  if (phrase_count == 0 || samples.empty()) return Settled{std::nullopt, std::move(table)};
  const std::vector<Split> cands = splits(phrase_count);

  // Variant 0 is the full table, variant 1 + k its first g symbols for the
  // k-th symbol count (every candidate's g is one of the five).
  std::vector<fsst::Encoder> variants;
  variants.push_back(table.encoder());
  for (const std::uint8_t g : kSymbolCounts) variants.push_back(table.head(g).encoder());
  auto variant_of = [](std::uint8_t g) {
    std::size_t k = 0;
    while (kSymbolCounts[k] != g) ++k;
    return 1 + k;
  };

  std::uint64_t plain = 0;
  std::vector<std::uint64_t> costs(cands.size(), 0);
  Memo memo;
  for (const fsst::Bytes& s : samples) {
    memo.prepare(s, variants, cells);
    plain += memo.price(0, std::nullopt, scratch) / 8;
    for (std::size_t c = 0; c < cands.size(); ++c)
      costs[c] += memo.price(variant_of(cands[c].g), cands[c].limits(), scratch) / 8;
  }
  std::uint64_t best = plain;
  std::optional<std::size_t> chosen;
  for (std::size_t c = 0; c < cands.size(); ++c)
    if (costs[c] < best) {
      best = costs[c];
      chosen = c;
    }
  if (!chosen) return Settled{std::nullopt, std::move(table)};

  // Retrain the symbols on the stretches the phrases leave uncovered.
  const Split split = cands[*chosen];
  const Limits limits = split.limits();
  fsst::Table head = table.head(split.g);
  const fsst::Encoder head_enc = head.encoder();
  // The samples' phrases are in the memo: these parses walk no trie.
  std::vector<fsst::Bytes> gaps;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const fsst::Bytes s = samples[i];
    memo.parse(i, head_enc, limits, scratch);
    std::size_t from = 0;
    for (const Token& t : scratch.read(s.size())) {
      if (t.kind != kPhrase) continue;
      if (t.pos > from) gaps.push_back(s.subspan(from, t.pos - from));
      from = t.pos + t.len;
    }
    if (s.size() > from) gaps.push_back(s.subspan(from));
  }
  fsst::Table retrained = fsst::Table::train_to(gaps, split.g);
  const fsst::Encoder retrained_enc = retrained.encoder();
  std::uint64_t cost = 0;
  for (std::size_t i = 0; i < samples.size(); ++i) cost += memo.parse(i, retrained_enc, limits, scratch) / 8;
  return Settled{split, cost < best ? std::move(retrained) : std::move(head)};
}

// ---------------------------------------------------------------------------
// Mining

namespace {

constexpr std::size_t kSampleBound = 400'000;
constexpr std::size_t kPilotBound = 6'250;
constexpr std::size_t kPools = 16;
constexpr std::size_t kHeldOut = 2'048;
constexpr std::size_t kChecked = 3;
// Strings a worker parses at a time, and the slices of all pools parsed
// before they are counted.
constexpr std::size_t kSliceStrings = 1'024;
constexpr std::size_t kWaveSlices = 32;

std::size_t ceil_div(std::size_t a, std::size_t b) noexcept { return (a + b - 1) / b; }

// Every step-th string, starting with the first.
std::vector<fsst::Bytes> thin(std::span<const fsst::Bytes> strings, std::size_t step) {
  std::vector<fsst::Bytes> out;
  out.reserve(ceil_div(strings.size(), step));
  for (std::size_t i = 0; i < strings.size(); i += step) out.push_back(strings[i]);
  return out;
}

// Every ceil(count / 2,048)-th string: a held-out test's strings.
std::vector<fsst::Bytes> held_out(std::span<const fsst::Bytes> strings) {
  return thin(strings, std::max<std::size_t>(1, ceil_div(strings.size(), kHeldOut)));
}


// The ranked candidates that pass the keep rule, copied out as phrases.
std::vector<std::string> keep_ranked(std::vector<Candidate>& cands, std::size_t limit, std::uint64_t scale) {
  cut(cands, limit);
  std::sort(cands.begin(), cands.end(), rank);
  std::vector<std::string> out;
  for (const Candidate& c : cands)
    if (keeps(c.len, c.gain, scale)) out.emplace_back(reinterpret_cast<const char*>(c.bytes), c.len);
  return out;
}

}  // namespace

void CandidateMap::rehash(std::size_t slots) {
  slots_.assign(slots, 0);
  const std::size_t mask = slots - 1;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    std::size_t j = mix(entries_[i].key) & mask;
    while (slots_[j] != 0) j = (j + 1) & mask;
    slots_[j] = static_cast<std::uint32_t>(i + 1);
  }
}

void CandidateMap::add(std::uint64_t key, std::uint64_t saving, const unsigned char* bytes, std::uint32_t len) {
  if (slots_.empty()) rehash(64);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t j = mix(key) & mask;; j = (j + 1) & mask) {
    const std::uint32_t at = slots_[j];
    if (at == 0) {
      entries_.push_back(Entry{key, saving, bytes, len});
      slots_[j] = static_cast<std::uint32_t>(entries_.size());
      if (entries_.size() * 2 > slots_.size()) rehash(slots_.size() * 2);
      return;
    }
    if (entries_[at - 1].key == key) {
      entries_[at - 1].saving += saving;
      return;
    }
  }
}

void CandidateMap::prefetch(std::uint64_t key) const noexcept {
  if (!slots_.empty()) __builtin_prefetch(&slots_[mix(key) & (slots_.size() - 1)]);
}

void CandidateMap::prefetch_entry(std::uint64_t key) const noexcept {
  if (slots_.empty()) return;
  if (const std::uint32_t at = slots_[mix(key) & (slots_.size() - 1)]) __builtin_prefetch(&entries_[at - 1]);
}

void CandidateMap::drop_at_most(std::uint64_t m) {
  std::erase_if(entries_, [m](const Entry& e) { return e.saving <= m; });
  if (!slots_.empty()) rehash(slots_.size());
}

std::uint64_t prefix_of(const unsigned char* b, std::size_t len) noexcept {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < len && i < 8; ++i) v |= std::uint64_t{b[i]} << (56 - 8 * i);
  return v;
}

std::uint64_t run_key(const unsigned char* bytes, std::size_t len) noexcept {
  std::uint64_t f = 0xCBF29CE484222325ULL;
  std::uint64_t h = 0x9E3779B97F4A7C15ULL;
  for (std::size_t i = 0; i < len; ++i) {
    f = (f ^ bytes[i]) * 0x100000001B3ULL;
    h = (bytes[i] ^ std::rotl(h, 5)) * 0x517CC1B727220A95ULL;
  }
  return (std::rotl(h, 32) ^ len ^ f) * 0x9E3779B97F4A7C15ULL;
}

namespace {

// One run of one to three tokens of a string that counts as a candidate:
// the fingerprint of its bytes, the bytes (borrowed from the sample), how
// many and the saving it adds.
struct Run {
  std::uint64_t key;
  const unsigned char* bytes;
  std::uint32_t len;
  std::uint32_t saving;
};

// The plain cost in whole bytes of each phrase under one table, worked out
// when first needed; a stamp tells the tables apart without clearing.
class PlainCosts {
 public:
  // From now on, the costs under another table.
  void next_table(std::size_t phrases) {
    if (cost_.size() < phrases) {
      cost_.resize(phrases, 0);
      stamp_.resize(phrases, 0);
    }
    ++now_;
  }
  std::uint32_t of(std::uint32_t d, fsst::Bytes bytes, const fsst::Encoder& enc) {
    if (d >= cost_.size()) {
      cost_.resize(d + 1, 0);
      stamp_.resize(d + 1, 0);
    }
    if (stamp_[d] != now_) {
      stamp_[d] = now_;
      cost_[d] = plain_bits(bytes, enc) / 8;
    }
    return cost_[d];
  }

 private:
  std::vector<std::uint32_t> cost_;
  std::vector<std::uint32_t> stamp_;
  std::uint32_t now_ = 0;
};

// The runs of one string, parsed with the phrases usable at two bytes, in
// the order they are counted.
void runs_of(fsst::Bytes s, const fsst::Encoder& enc, std::span<const Cell> cells, PlainCosts& plain,
             Scratch& scratch, std::vector<Run>& out) {
  const unsigned char* b = s.data();
  parse(s, enc, cells, kAllTwo, scratch);
  const std::span<const Token> toks = scratch.read(s.size());
  for (std::size_t q = 0; q < toks.size(); ++q) {
    const unsigned char* at = b + toks[q].pos;
    std::size_t len = 0;
    std::uint64_t cost = 0;
    for (std::size_t j = q; j < toks.size() && j < q + 3; ++j) {
      len += toks[j].len;
      cost += toks[j].kind == kSymbol ? 1 : 2;
      if (len > kMaxLen) break;
      std::uint64_t saving;
      if (j == q) {
        // A lone token counts only as a phrase, saving its plain cost
        // less its two code bytes.
        if (toks[q].kind != kPhrase) continue;
        const std::uint32_t p = plain.of(toks[q].code, fsst::Bytes(at, len), enc);
        if (p <= 2) continue;
        saving = p - 2;
      } else {
        if (len <= 2 || cost == 2) continue;
        saving = cost - 2;
      }
      out.push_back(Run{run_key(at, len), at, static_cast<std::uint32_t>(len), static_cast<std::uint32_t>(saving)});
    }
  }
}

// Counts one string's runs into the maps; then, when the maps together hold
// more than cap entries, drops those at or below the median saving.
void count_runs(std::span<const Run> runs, std::size_t cap, std::span<CandidateMap> maps,
                std::vector<std::uint64_t>& savings) {
  const std::size_t w = maps.size();
  // The maps' slots are fetched a few runs ahead, and the entries they name
  // half as far ahead: both are spread over more memory than the caches hold.
  constexpr std::size_t AHEAD = 16, ENTRY_AHEAD = 8;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (i + AHEAD < runs.size()) {
      const std::uint64_t next = runs[i + AHEAD].key;
      maps[partition_of(next, w)].prefetch(next);
    }
    if (i + ENTRY_AHEAD < runs.size()) {
      const std::uint64_t next = runs[i + ENTRY_AHEAD].key;
      maps[partition_of(next, w)].prefetch_entry(next);
    }
    const Run& r = runs[i];
    maps[partition_of(r.key, w)].add(r.key, r.saving, r.bytes, r.len);
  }
  std::size_t total = 0;
  for (const CandidateMap& m : maps) total += m.size();
  if (total <= cap) return;
  // Drop the lower half by saving: everything at or below the median.
  savings.clear();
  for (const CandidateMap& m : maps)
    for (const CandidateMap::Entry& e : m.entries()) savings.push_back(e.saving);
  const auto mid = savings.begin() + static_cast<std::ptrdiff_t>(savings.size() / 2);
  std::nth_element(savings.begin(), mid, savings.end());
  const std::uint64_t m = *mid;
  for (CandidateMap& map : maps) map.drop_at_most(m);
}

}  // namespace

void round(std::span<const ShardPair> pool, std::span<const Cell> cells, std::size_t phrase_count,
           std::size_t cap, std::span<CandidateMap> maps) {
  if (maps.empty()) return;
  Scratch scratch;
  PlainCosts plain;
  std::vector<Run> runs;
  std::vector<std::uint64_t> savings;
  for (const ShardPair& pair : pool) {
    const fsst::Encoder enc = pair.table->encoder();
    plain.next_table(phrase_count);
    for (const fsst::Bytes& s : pair.strings) {
      runs.clear();
      runs_of(s, enc, cells, plain, scratch, runs);
      count_runs(runs, cap, maps, savings);
    }
  }
}

std::vector<Candidate> merge(std::span<CandidateMap* const> maps, std::size_t limit) {
  std::vector<Candidate> out;
  if (maps.empty()) return out;
  std::size_t big = 0;
  for (std::size_t i = 1; i < maps.size(); ++i)
    if (maps[i]->size() > maps[big]->size()) big = i;
  CandidateMap& into = *maps[big];
  // The slots and the candidates' bytes lie spread over more memory than the
  // caches hold: each is fetched a few entries ahead.
  constexpr std::size_t AHEAD = 8;
  for (std::size_t i = 0; i < maps.size(); ++i) {
    if (i == big) continue;
    const std::span<const CandidateMap::Entry> from = maps[i]->entries();
    for (std::size_t k = 0; k < from.size(); ++k) {
      if (k + AHEAD < from.size()) into.prefetch(from[k + AHEAD].key);
      into.add(from[k].key, from[k].saving, from[k].bytes, from[k].len);
    }
    *maps[i] = CandidateMap();
  }
  const std::span<const CandidateMap::Entry> all = into.entries();
  out.reserve(all.size());
  for (std::size_t k = 0; k < all.size(); ++k) {
    if (k + 2 * AHEAD < all.size()) __builtin_prefetch(all[k + 2 * AHEAD].bytes);
    out.push_back(Candidate{all[k].saving, prefix_of(all[k].bytes, all[k].len), all[k].bytes, all[k].len});
  }
  into = CandidateMap();
  cut(out, limit);
  return out;
}

void cut(std::vector<Candidate>& candidates, std::size_t k) {
  if (candidates.size() <= k) return;
  std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(k), candidates.end(), rank);
  candidates.resize(k);
}

bool worth(std::span<const ShardPair> pairs, std::span<const std::string> phrases) {
  if (pairs.empty()) return false;
  const Trie trie = Trie::of(phrases);
  Scratch scratch;
  const std::size_t step = ceil_div(pairs.size(), kChecked);
  for (std::size_t i = 0; i < pairs.size(); i += step) {
    const ShardPair& pair = pairs[i];
    const std::vector<fsst::Bytes> strings = held_out(pair.strings);
    std::vector<fsst::Bytes> train, test;
    for (std::size_t k = 0; k < strings.size(); ++k) (k % 2 == 0 ? train : test).push_back(strings[k]);
    if (test.empty()) continue;
    const Settled settled = settle(train, *pair.table, trie.cells(), phrases.size(), scratch);
    if (!settled.split) continue;
    const fsst::Encoder with_enc = settled.table.encoder();
    const fsst::Encoder plain_enc = pair.table->encoder();
    const Limits limits = settled.split->limits();
    std::uint64_t with = 0, plain = 0;
    for (const fsst::Bytes& t : test) {
      with += parse(t, with_enc, trie.cells(), limits, scratch) / 8;
      plain += plain_bits(t, plain_enc) / 8;
    }
    if (with * 100 < plain * 97) return true;
  }
  return false;
}

bool packed_only(std::span<const std::vector<fsst::Bytes>> pieces, std::span<const fsst::Table> tables) {
  if (pieces.empty()) return false;
  const std::size_t step = ceil_div(pieces.size(), kChecked);
  bool checked = false;
  for (std::size_t i = 0; i < pieces.size(); i += step) {
    // A shard without samples, or without a table, is not checked.
    if (pieces[i].empty() || i >= tables.size()) continue;
    checked = true;
    const std::vector<fsst::Bytes> strings = held_out(pieces[i]);
    std::array<std::uint64_t, 256> histogram{};
    for (const fsst::Bytes& s : strings)
      for (const unsigned char b : s) ++histogram[b];
    const auto alphabet = packed::Alphabet::of(histogram);
    if (!alphabet) return false;
    const fsst::Encoder enc = tables[i].encoder();
    std::uint64_t plain = 0;
    for (const fsst::Bytes& s : strings) plain += plain_bits(s, enc) / 8;
    if (plain <= alphabet->second / 8) return false;
  }
  return checked;
}

std::vector<std::string> mine(std::span<const std::vector<fsst::Bytes>> pieces, std::span<const fsst::Table> tables,
                              std::uint64_t n, std::size_t budget, std::size_t threads, MineStats* stats) {
  MineStats local;
  MineStats& st = stats ? *stats : local;
  st = MineStats{};
  threads = std::max<std::size_t>(threads, 1);

  // 1-2. Sampling and the shard pairs. Without any sample the step would be
  // 0; one keeps every (no) string.
  std::size_t total = 0;
  for (const auto& p : pieces) total += p.size();
  const std::size_t step = std::max<std::size_t>(1, ceil_div(total, kSampleBound));
  std::size_t kept = 0;
  for (const auto& p : pieces) kept += ceil_div(p.size(), step);
  std::vector<ShardPair> pairs;
  for (std::size_t i = 0; i < std::min(pieces.size(), tables.size()); ++i) {
    std::vector<fsst::Bytes> strings = thin(pieces[i], step);
    if (!strings.empty()) pairs.push_back(ShardPair{std::move(strings), &tables[i]});
  }
  if (pairs.empty()) return {};
  std::size_t in_pairs = 0;
  for (const ShardPair& p : pairs) in_pairs += p.strings.size();
  st.strings = kept;

  // 3. Shape: pools of consecutive pairs, and partitions. A candidate lives
  // in one partition and each partition keeps its best, so the count of
  // partitions changes nothing but how many merge at once.
  const std::size_t pool_size = ceil_div(pairs.size(), kPools);
  const std::size_t pools = ceil_div(pairs.size(), pool_size);
  const std::size_t parts = threads;
  const std::size_t keep = std::max<std::size_t>(kept / 4, 1);
  const std::uint64_t scale = std::max<std::uint64_t>(n / kept, 1);

  using Clock = std::chrono::steady_clock;
  auto since = [](Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); };

  // 4. The pilot, on a small thinning, only decides whether to go on.
  if (in_pairs > kPilotBound) {
    const auto started = Clock::now();
    st.pilot = true;
    const std::size_t t = ceil_div(in_pairs, kPilotBound);
    std::vector<ShardPair> pilot;
    std::size_t r = 0;
    for (const ShardPair& p : pairs) {
      std::vector<fsst::Bytes> strings = thin(p.strings, t);
      r += strings.size();
      if (!strings.empty()) pilot.push_back(ShardPair{std::move(strings), p.table});
    }
    CandidateMap map;
    round(pilot, Trie::empty().cells(), 0, kMapCap, std::span<CandidateMap>(&map, 1));
    CandidateMap* const one[] = {&map};
    const std::size_t limit = std::min(keep, kRoundLimit);
    std::vector<Candidate> cands = merge(one, limit);
    const std::vector<std::string> found = keep_ranked(cands, limit, std::max<std::uint64_t>(n / r, 1));
    st.pilot_phrases = found.size();
    const bool go_on = !found.empty() && worth(pairs, found);
    st.pilot_s = since(started);
    if (!go_on) return {};
  }

  // 5. Three rounds, each counting with the last round's phrases usable. A
  // string's runs depend on nothing counted, so strings are parsed on every
  // worker, a slice of a pair's strings at a time, and each pool then counts
  // its strings' runs in order, as `round` would. Both go in waves of a few
  // slices a pool, which bound the runs held at once: while the pools count
  // one wave, the other workers parse the next.
  std::vector<fsst::Encoder> encoders;
  encoders.reserve(pairs.size());
  for (const ShardPair& p : pairs) encoders.push_back(p.table->encoder());
  struct Slice {
    std::size_t pair, from, to;  // its strings
  };
  std::vector<Slice> slices;
  std::vector<std::size_t> pool_slices(pools + 1, 0);  // pool k's slices: [pool_slices[k], pool_slices[k + 1])
  for (std::size_t p = 0; p < pairs.size(); ++p) {
    for (std::size_t from = 0; from < pairs[p].strings.size(); from += kSliceStrings)
      slices.push_back(Slice{p, from, std::min(pairs[p].strings.size(), from + kSliceStrings)});
    pool_slices[p / pool_size + 1] = slices.size();
  }
  const std::size_t per_wave = std::max<std::size_t>(1, kWaveSlices / pools);
  std::size_t waves = 0;
  for (std::size_t k = 0; k < pools; ++k)
    waves = std::max(waves, ceil_div(pool_slices[k + 1] - pool_slices[k], per_wave));
  // Slice j of pool k in wave w: slice pool_slices[k] + w * per_wave + j,
  // parsed into parsed[w % 2][k * per_wave + j].
  auto slice_of = [&](std::size_t w, std::size_t k, std::size_t j) -> std::optional<std::size_t> {
    const std::size_t at = pool_slices[k] + w * per_wave + j;
    if (j >= per_wave || at >= pool_slices[k + 1]) return std::nullopt;
    return at;
  };
  struct Parsed {
    std::vector<Run> runs;
    std::vector<std::uint32_t> ends;  // where each string's runs end
  };
  std::vector<Parsed> parsed[2] = {std::vector<Parsed>(pools * per_wave), std::vector<Parsed>(pools * per_wave)};
  std::vector<std::string> phrases;
  for (std::size_t r = 1; r <= 3; ++r) {
    const auto counting = Clock::now();
    const Trie trie = Trie::of(phrases);
    std::vector<CandidateMap> maps(pools * parts);
    std::vector<std::vector<std::uint64_t>> savings(pools);
    auto count = [&](std::size_t w, std::size_t k) {
      const std::span<CandidateMap> pool_maps = std::span<CandidateMap>(maps).subspan(k * parts, parts);
      for (std::size_t j = 0; slice_of(w, k, j); ++j) {
        const Parsed& in = parsed[w % 2][k * per_wave + j];
        std::uint32_t begin = 0;
        for (const std::uint32_t end : in.ends) {
          count_runs(std::span<const Run>(in.runs).subspan(begin, end - begin), kMapCap, pool_maps, savings[k]);
          begin = end;
        }
      }
    };
    // Step w counts wave w - 1 (a task a pool, claimed first) and parses
    // wave w (a task a slice).
    for (std::size_t w = 0; w <= waves; ++w) {
      std::vector<std::pair<std::size_t, std::size_t>> work;  // (pool, j): count the pool's wave w - 1 when j is none
      constexpr std::size_t COUNT = SIZE_MAX;
      if (w > 0)
        for (std::size_t k = 0; k < pools; ++k)
          if (slice_of(w - 1, k, 0)) work.emplace_back(k, COUNT);
      if (w < waves)
        for (std::size_t k = 0; k < pools; ++k)
          for (std::size_t j = 0; slice_of(w, k, j); ++j) work.emplace_back(k, j);
      std::atomic<std::size_t> next{0};
      try {
        run_workers(std::min(threads, work.size()), [&](std::size_t, const FirstError& first) {
          Scratch scratch;
          PlainCosts plain;
          std::size_t costed = SIZE_MAX;  // the pair whose costs `plain` holds
          for (std::size_t i; !first.failed() && (i = next.fetch_add(1)) < work.size();) {
            const auto [k, j] = work[i];
            if (j == COUNT) {
              count(w - 1, k);
              continue;
            }
            const Slice& sl = slices[*slice_of(w, k, j)];
            Parsed& out = parsed[w % 2][k * per_wave + j];
            if (sl.pair != costed) {
              plain.next_table(phrases.size());
              costed = sl.pair;
            }
            out.runs.clear();
            out.ends.clear();
            for (std::size_t s = sl.from; s < sl.to; ++s) {
              runs_of(pairs[sl.pair].strings[s], encoders[sl.pair], trie.cells(), plain, scratch, out.runs);
              out.ends.push_back(static_cast<std::uint32_t>(out.runs.size()));
            }
          }
        });
      } catch (const std::bad_alloc&) {
        throw;  // out of memory is the caller's to report
      } catch (...) {
        panic("mining a pool cannot panic");
      }
    }

    st.count_s[r - 1] = since(counting);
    const auto merging = Clock::now();
    const std::size_t limit = r < 3 ? std::min(kRoundLimit, keep) : std::min(budget, keep);
    std::vector<std::vector<Candidate>> found(parts);
    std::atomic<std::size_t> next_part{0};
    try {
      run_workers(parts, [&](std::size_t, const FirstError& first) {
        std::vector<CandidateMap*> mine_maps(pools);
        for (std::size_t j; !first.failed() && (j = next_part.fetch_add(1)) < parts;) {
          for (std::size_t k = 0; k < pools; ++k) mine_maps[k] = &maps[k * parts + j];
          found[j] = merge(mine_maps, limit);
        }
      });
    } catch (const std::bad_alloc&) {
      throw;  // out of memory is the caller's to report
    } catch (...) {
      panic("merging a partition cannot panic");
    }
    std::vector<Candidate> cands;
    for (auto& f : found) cands.insert(cands.end(), f.begin(), f.end());
    std::vector<std::string> next = keep_ranked(cands, limit, scale);
    st.merge_s[r - 1] = since(merging);
    st.rounds = r;
    st.kept[r - 1] = next.size();
    if (next.empty()) return {};
    if (r == 1) {
      const auto testing = Clock::now();
      const bool go_on = worth(pairs, next);
      st.worth_s = since(testing);
      if (!go_on) return {};
    }
    phrases = std::move(next);
  }
  return phrases;
}

}  // namespace quorvale::phrase
