// Making phrases for a dictionary build: the matcher of a phrase list
// (`Trie`), the cheapest parse of a string into symbols, escapes and phrases
// (`parse`, and `Memo` for pricing one string under many splits), the choice
// of a shard's split (`settle`), and the mining of a phrase list from shard
// samples (`mine` and its parts). The store they fill is phrase.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fsst.hpp"
#include "phrase.hpp"

namespace quorvale::phrase {

// ---------------------------------------------------------------------------
// Matching: a double-array trie over a phrase list.

// One cell of the trie: from cell c, byte x leads to cell base(c) + x when that
// cell's check is c. value is the phrase index + 1 where the bytes from the
// root spell a whole phrase, else 0.
struct Cell {
  std::uint32_t base;
  std::uint32_t check;
  std::uint32_t value;
  bool operator==(const Cell&) const = default;
};

// The check of the root and of every empty cell.
inline constexpr std::uint32_t kNoCell = 0xFFFFFFFF;

// The matcher of a phrase list. There are always at least (largest base) + 256
// cells, so a walk needs no bounds test.
class Trie {
 public:
  // 256 empty cells: nothing is matched.
  static Trie empty();
  // The trie of a phrase list (a range of byte strings with data() and
  // size(), each 1 to 32 bytes), in list order: of two equal phrases the later
  // index is reported.
  template <class Phrases>
  static Trie of(const Phrases& phrases) {
    std::vector<fsst::Bytes> views;
    views.reserve(std::size(phrases));
    for (const auto& p : phrases) views.emplace_back(reinterpret_cast<const unsigned char*>(p.data()), p.size());
    return build(views);
  }

  std::span<const Cell> cells() const noexcept { return cells_; }
  bool operator==(const Trie&) const = default;

 private:
  static Trie build(std::span<const fsst::Bytes> phrases);
  std::vector<Cell> cells_;
};

// Walks the trie over s[0..n) (at most 32 bytes) and calls report(phrase,
// length) for every phrase that starts there, shorter first.
template <class Report>
inline void walk(const Cell* cells, const unsigned char* s, std::size_t n, Report&& report) {
  const std::size_t m = n < kMaxLen ? n : kMaxLen;
  std::uint32_t cur = 0;
  for (std::size_t i = 0; i < m; ++i) {
    const std::uint32_t next = cells[cur].base + s[i];
    if (cells[next].check != cur) return;
    cur = next;
    if (const std::uint32_t v = cells[cur].value) report(v - 1, static_cast<std::uint32_t>(i + 1));
  }
}

// ---------------------------------------------------------------------------
// Parsing: the fewest bits of a string under a table, its escapes and the
// phrases a split can name.

// The choice word of a position: bits 0-1 the kind, bits 2-7 the bytes
// covered (1..=32), bits 8-31 the symbol code or the phrase index.
enum Kind : std::uint8_t { kSymbol = 0, kEscape = 1, kPhrase = 2 };
inline constexpr std::uint32_t kEscapeWord = 5;  // an escape covering one byte
inline constexpr unsigned word_kind(std::uint32_t w) noexcept { return w & 3; }
inline constexpr unsigned word_len(std::uint32_t w) noexcept { return (w >> 2) & 63; }
inline constexpr std::uint32_t word_value(std::uint32_t w) noexcept { return w >> 8; }

// Limits under which every phrase is usable at two bytes (the miners' parse).
inline constexpr Limits kAllTwo{UINT32_MAX, UINT32_MAX};

// One token of a parse read back.
struct Token {
  std::uint64_t pos;
  std::uint64_t len;
  std::uint8_t kind;
  std::uint32_t code;  // symbol code or phrase index; 0 for an escape
};

// The reusable buffers of one thread's parses. They only grow; each parse
// overwrites what it uses.
struct Scratch {
  std::vector<std::uint32_t> costs;    // bits from a position to the end; n + 1 of them
  std::vector<std::uint32_t> choices;  // the choice word of each position
  std::vector<Token> tokens;

  // Reads the choices of the last parse (of an n-byte string) from position
  // 0 into `tokens` and returns them.
  std::span<const Token> read(std::size_t n);
};

// The bits of the cheapest coding of s: at each position the greedy step of
// the encoder (a symbol, 8 bits, or an escape, 16) or, when limits are given,
// a phrase of the trie starting there whose index is below limits.codable (16
// bits below limits.two, else 24). Only a strictly lower cost replaces the
// route found so far: on equal cost the symbol route wins, then the shorter
// phrase. Without limits this is the greedy coding. Leaves every position's
// cost and choice word in the scratch.
std::uint32_t parse(fsst::Bytes s, const fsst::Encoder& enc, std::span<const Cell> cells,
                    std::optional<Limits> limits, Scratch& scratch);

// The bits of the greedy coding of s: parse without phrases, without its
// buffers.
std::uint32_t plain_bits(fsst::Bytes s, const fsst::Encoder& enc) noexcept;

// Codes s for a Tiered shard under the split: the parse with the split's
// limits, written out as code bytes (a symbol its code, an escape 255 and the
// byte, a phrase its two or three code bytes). Appends them to out and
// returns how many.
std::size_t encode(fsst::Bytes s, const fsst::Encoder& enc, std::span<const Cell> cells, Split split,
                   Scratch& scratch, std::vector<unsigned char>& out);

// Strings prepared for pricing under several tables and splits: the greedy
// step of every table variant at every position of the last string and every
// phrase that starts at each position of every string, so that each price is
// one linear pass, and a later parse of any of them walks no trie.
class Memo {
 public:
  // Prepares s under the encoders of the variants, in order, and the phrases
  // of the trie; s becomes string `size()` of the memo. The bytes of s must
  // stay in place while the memo is used.
  void prepare(fsst::Bytes s, std::span<const fsst::Encoder> variants, std::span<const Cell> cells);
  // The same minimum as `parse` with variant v's encoder and the limits, of
  // the last string prepared.
  std::uint32_t price(std::size_t variant, std::optional<Limits> limits, Scratch& scratch) const;
  // The same as `parse` of string i with the encoder and the limits (and the
  // trie the strings were prepared with), leaving the costs and choices in
  // the scratch.
  std::uint32_t parse(std::size_t i, const fsst::Encoder& enc, std::optional<Limits> limits, Scratch& scratch) const;
  // The strings prepared.
  std::size_t size() const noexcept { return strings_.size(); }

 private:
  struct Code {
    std::uint8_t code;
    std::uint8_t len;
  };
  struct Match {
    std::uint32_t len;
    std::uint32_t value;  // phrase index + 1
  };
  struct String {
    fsst::Bytes bytes;
    std::size_t first;  // its first position in starts_
  };
  std::vector<Code> codes_;  // variant after variant, one per position of the last string
  std::vector<Match> matches_;
  // Of every string's positions, one after another, plus one past the last:
  // the matches of position q are [starts_[q], starts_[q + 1]).
  std::vector<std::uint32_t> starts_{0};
  std::vector<String> strings_;
  std::vector<std::uint64_t> windows_;
  bool cells_ = false;
};

// The candidate splits for P phrases, in the order `settle` tries them: for
// g = 127, 191, 223, 239, 254, (g, 0) and then (g, hmin(g)) when hmin(g) > 0,
// hmin(g) being the fewest three-byte leads under which every phrase is
// codable, at most 255 - g.
std::vector<Split> splits(std::uint64_t phrases);

// A shard's split and the table of its symbol codes.
struct Settled {
  std::optional<Split> split;
  fsst::Table table;
};

// Chooses the split for a shard from sample strings: the candidate split
// whose samples cost the fewest whole bytes (string by string), under the
// first g symbols of the table, when that is strictly below the plain table's
// cost; then symbols retrained on the stretches the phrases leave, kept only
// when strictly cheaper. No phrases, no samples or no cheaper split: no split
// and the table unchanged.
Settled settle(std::span<const fsst::Bytes> samples, fsst::Table table, std::span<const Cell> cells,
               std::uint64_t phrase_count, Scratch& scratch);

// ---------------------------------------------------------------------------
// Mining: which phrases an index carries.

// The sample strings of one shard and that shard's table.
struct ShardPair {
  std::vector<fsst::Bytes> strings;
  const fsst::Table* table;
};

// Candidate phrases of one pool and partition: a fingerprint of the bytes to
// the saving counted so far and the bytes of its first occurrence (borrowed
// from the samples).
class CandidateMap {
 public:
  struct Entry {
    std::uint64_t key;
    std::uint64_t saving;
    const unsigned char* bytes;
    std::uint32_t len;
  };

  void add(std::uint64_t key, std::uint64_t saving, const unsigned char* bytes, std::uint32_t len);
  // Asks for the slot `add` will first look at for this key.
  void prefetch(std::uint64_t key) const noexcept;
  // Asks for the entry that slot names, if any (the slot fetched first).
  void prefetch_entry(std::uint64_t key) const noexcept;
  // Removes every entry whose saving is at most m.
  void drop_at_most(std::uint64_t m);
  std::size_t size() const noexcept { return entries_.size(); }
  std::span<const Entry> entries() const noexcept { return entries_; }

 private:
  void rehash(std::size_t slots);
  std::vector<Entry> entries_;
  std::vector<std::uint32_t> slots_;  // entry index + 1; 0 empty
};

// A candidate phrase: its summed saving, its first 8 bytes read big-endian
// (zero below missing bytes), and its bytes (borrowed from the samples).
struct Candidate {
  std::uint64_t gain;
  std::uint64_t prefix;
  const unsigned char* bytes;
  std::uint32_t len;

  fsst::Bytes view() const noexcept { return {bytes, len}; }
};

// The candidate order: gain descending, prefix ascending, then the bytes
// ascending (a proper prefix first). Total on distinct byte strings.
inline bool rank(const Candidate& a, const Candidate& b) noexcept {
  if (a.gain != b.gain) return a.gain > b.gain;
  if (a.prefix != b.prefix) return a.prefix < b.prefix;
  const int c = std::memcmp(a.bytes, b.bytes, a.len < b.len ? a.len : b.len);
  return c != 0 ? c < 0 : a.len < b.len;
}

// The first min(8, len) bytes read big-endian, zero bytes below the missing
// ones: a candidate's prefix.
std::uint64_t prefix_of(const unsigned char* bytes, std::size_t len) noexcept;

// A run's key (a fingerprint of its bytes) and its partition of w.
std::uint64_t run_key(const unsigned char* bytes, std::size_t len) noexcept;
inline std::size_t partition_of(std::uint64_t key, std::size_t w) noexcept {
  return static_cast<std::size_t>(((key >> 32) * w) >> 32);
}

// Whether a candidate of len bytes with this gain becomes a phrase.
inline bool keeps(std::size_t len, std::uint64_t gain, std::uint64_t scale) noexcept {
  const unsigned __int128 worth = static_cast<unsigned __int128>(gain) * scale;
  return 6 * static_cast<unsigned __int128>(len) + 18 < worth;
}

// Entries one pool's maps hold before they are pruned, and the most
// candidates the pilot and the first two rounds keep.
inline constexpr std::size_t kMapCap = 262'144;
inline constexpr std::size_t kRoundLimit = 32'768;

// Counts the savings of the runs of one to three tokens of every string of a
// pool, parsed with the current phrases (the trie's, `phrase_count` of them)
// usable at two bytes, into the maps (one per partition). After a string,
// when the maps together hold more than cap entries, the entries at or below
// the median saving are dropped.
void round(std::span<const ShardPair> pool, std::span<const Cell> cells, std::size_t phrase_count,
           std::size_t cap, std::span<CandidateMap> maps);

// Sums one partition's maps (one per pool; consumed) and returns at most
// limit candidates, the best by rank, in no particular order.
std::vector<Candidate> merge(std::span<CandidateMap* const> maps, std::size_t limit);

// Keeps the k best candidates by rank (in no particular order).
void cut(std::vector<Candidate>& candidates, std::size_t k);

// Whether the phrases save more than 3 % on held-out strings of one of at
// most three of the pairs.
bool worth(std::span<const ShardPair> pairs, std::span<const std::string> phrases);

// Whether the packed byte alphabet is cheaper than the symbol table on every
// checked shard (at least one).
bool packed_only(std::span<const std::vector<fsst::Bytes>> pieces, std::span<const fsst::Table> tables);

// What a mining run did, for benchmarks and tests.
struct MineStats {
  bool pilot = false;                 // a pilot ran
  std::size_t pilot_phrases = 0;      // phrases the pilot kept
  std::size_t rounds = 0;             // counting rounds run
  std::size_t kept[3] = {0, 0, 0};    // phrases kept by each round
  std::size_t strings = 0;            // Y, the sampled strings
  // Seconds spent: the pilot (with its held-out test), each round's
  // counting, merging and ranking, and the held-out test after round 1.
  double pilot_s = 0;
  double count_s[3] = {0, 0, 0};
  double merge_s[3] = {0, 0, 0};
  double worth_s = 0;
};

// Mines the phrases of an index from per-shard sample strings and tables: at
// most `budget` phrases, each 1 to 32 bytes, in rank order (a phrase's
// position is its index); empty for no phrases. n is the number of keys the
// index represents; counting and merging run on up to `threads` workers and
// the result does not depend on how many.
std::vector<std::string> mine(std::span<const std::vector<fsst::Bytes>> pieces, std::span<const fsst::Table> tables,
                              std::uint64_t n, std::size_t budget, std::size_t threads, MineStats* stats = nullptr);

}  // namespace quorvale::phrase
