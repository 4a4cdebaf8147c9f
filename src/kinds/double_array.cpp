#include "double_array.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>

#include "hash.hpp"
#include "pages.hpp"
#include "string_sort.hpp"
#include "threads.hpp"

namespace quorvale {

using namespace double_array;

namespace {

[[noreturn]] void fail(const char* message) { throw IndexError::format(message); }

}  // namespace

// ---------------------------------------------------------------------------
// Loading.

bool double_array::slots_malformed(const unsigned char* slots, std::uint64_t S, std::uint64_t L,
                                   std::uint64_t K) noexcept {
  const std::uint64_t e = S > L ? S - L - 1 : 0;
  // Branch-free, so the loop runs at memory speed over large arrays.
  std::uint64_t bad = 0;
  for (std::uint64_t i = 0; i < S; ++i) {
    const std::uint64_t w = load_le64(slots + 8 * i);
    const std::uint64_t final_bit = (w >> 16) & 1;
    const std::uint64_t leaf = (w >> 17) & 1;
    const std::uint64_t base = base_of(w);
    const std::uint64_t id = w >> ID_SHIFT;
    bad |= static_cast<std::uint64_t>((w & LABEL_BITS) == 0) & static_cast<std::uint64_t>(w != 0);
    bad |= (final_bit ^ 1) & static_cast<std::uint64_t>(id != 0);
    bad |= final_bit & static_cast<std::uint64_t>(id >= K);
    bad |= leaf & (static_cast<std::uint64_t>(final_bit == 0) | static_cast<std::uint64_t>(base != 0));
    bad |= (leaf ^ 1) & static_cast<std::uint64_t>(base > e);
  }
  return bad != 0;
}

DoubleArrayIndex::DoubleArrayIndex(blob::SharedBytes blob, blob::SharedBytes slots, blob::SharedBytes code,
                                   std::vector<Supplementary> supplementary, bool has_empty, std::uint32_t empty_id,
                                   std::uint64_t key_count)
    : blob_(std::move(blob)),
      slots_(std::move(slots)),
      code_table_(std::move(code)),
      slot_(slots_.data()),
      code_(code_table_.data()),
      code_len_(code_table_.size() / 2),
      supplementary_(std::move(supplementary)),
      has_empty_(has_empty),
      empty_id_(empty_id),
      key_count_(key_count) {}

DoubleArrayIndex DoubleArrayIndex::from_shared(blob::SharedBytes bytes, bool verify) {
  FRAME.open(bytes.bytes(), verify);
  const unsigned char* b = bytes.data();
  const std::uint64_t len = bytes.size();
  for (std::size_t i = 48; i < 60; ++i)
    if (b[i] != 0) fail("double-array: reserved header bytes set");
  const std::uint64_t K = load_le64(b + 4);
  const std::uint64_t empty = load_le64(b + 12);
  const std::uint64_t S = load_le64(b + 20);
  const std::uint64_t C = load_le32(b + 28);
  const std::uint64_t P = load_le32(b + 32);
  const std::uint64_t L = load_le32(b + 36);
  if (K > MAX_KEYS) fail("double-array: more keys than ids can name");
  if (empty != NO_EMPTY && empty >= K) fail("double-array: the empty key's id is past the end");
  if (S > MAX_SLOTS) fail("double-array: more slots than bases can name");
  if (C > MAX_CODE_TABLE || P > MAX_SUPPLEMENTARY) fail("double-array: code table length out of range");
  if (L > MAX_LABEL || (L == 0) != (S == 0) || L >= std::max<std::uint64_t>(S, 1))
    fail("double-array: label range out of range");
  // Every count is bounded above, so this sum cannot overflow.
  if (len != HEADER_LEN + 8 * S + 2 * C + 8 * P) fail("double-array: section lengths do not meet the blob's");
  if (verify) FRAME.check_payload(bytes.bytes());

  const std::size_t code_at = HEADER_LEN + 8 * S;
  const std::size_t supp_at = code_at + 2 * C;
  std::uint16_t widest = 0;
  for (std::size_t c = 0; c < C; ++c) widest = std::max(widest, load_le16(b + code_at + 2 * c));
  if (widest > L) fail("double-array: a code-table label past the largest");
  std::vector<Supplementary> supplementary;
  supplementary.reserve(P);
  for (std::size_t i = 0; i < P; ++i) {
    const std::uint32_t cp = load_le32(b + supp_at + 8 * i);
    const std::uint32_t label = load_le32(b + supp_at + 8 * i + 4);
    if (cp < 0x10000 || cp > 0x10ffff || (i > 0 && cp <= supplementary.back().code_point))
      fail("double-array: supplementary characters out of range or order");
    if (label == 0 || label > L) fail("double-array: a supplementary label out of range");
    supplementary.push_back({cp, static_cast<std::uint16_t>(label)});
  }
  if (slots_malformed(b + HEADER_LEN, S, L, K))
    fail("double-array: a slot names a row past the array or an id past the end, or holds bits no build sets");

  blob::SharedBytes slots = bytes.slice(HEADER_LEN, 8 * S);
  blob::SharedBytes code = bytes.slice(code_at, 2 * C);
  return DoubleArrayIndex(std::move(bytes), std::move(slots), std::move(code), std::move(supplementary),
                          empty != NO_EMPTY, static_cast<std::uint32_t>(empty == NO_EMPTY ? 0 : empty), K);
}

// ---------------------------------------------------------------------------
// Building.

namespace {

constexpr std::uint32_t NO_ID = UINT32_MAX;

// The trie, nodes in breadth-first order with the root first; the children
// of node i are the nodes first_child[i]..first_child[i + 1] - 1, in
// ascending label order.
struct Trie {
  std::vector<std::uint16_t> label;
  std::vector<std::uint32_t> id;
  std::vector<std::uint32_t> first_child;
  std::size_t size() const noexcept { return label.size(); }
  std::uint32_t children(std::size_t i) const noexcept { return first_child[i + 1] - first_child[i]; }
};

// Keys as label sequences: key i is labels[offsets[i] .. offsets[i + 1]).
struct Sequences {
  std::vector<std::uint16_t> labels;
  std::vector<std::uint64_t> offsets;
  std::span<const std::uint16_t> of(std::size_t i) const noexcept {
    return {labels.data() + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
  }
};

// Sorts the non-empty keys by label sequence (a proper prefix first) and
// builds the trie breadth first over ranges of that order.
Trie make_trie(const Sequences& seq, std::size_t first, std::size_t n) {
  std::vector<std::uint32_t> order(n - first);
  for (std::size_t i = first; i < n; ++i) order[i - first] = static_cast<std::uint32_t>(i);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    auto x = seq.of(a), y = seq.of(b);
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
  });
  Trie t;
  struct Range {
    std::uint32_t lo, hi, depth;
  };
  std::vector<Range> ranges;
  t.label.push_back(0);
  t.id.push_back(NO_ID);
  ranges.push_back({0, static_cast<std::uint32_t>(order.size()), 0});
  for (std::size_t node = 0; node < t.size(); ++node) {
    auto [lo, hi, depth] = ranges[node];
    t.first_child.push_back(static_cast<std::uint32_t>(t.size()));
    if (lo < hi && seq.of(order[lo]).size() == depth) t.id[node] = order[lo++];
    while (lo < hi) {
      const std::uint16_t x = seq.of(order[lo])[depth];
      std::uint32_t run = lo + 1;
      while (run < hi && seq.of(order[run])[depth] == x) ++run;
      // Every node but the root takes a slot of its own below 2^23.
      if (t.size() >= MAX_SLOTS) fail(MSG_TOO_MANY_SLOTS);
      t.label.push_back(x);
      t.id.push_back(NO_ID);
      ranges.push_back({lo, run, depth + 1});
      lo = run;
    }
  }
  t.first_child.push_back(static_cast<std::uint32_t>(t.size()));
  return t;
}

// First-fit placement of every node's children into the slot array.
class Placer {
 public:
  static constexpr std::size_t WINDOW = 32;  // words a window

  explicit Placer(std::uint64_t L)
      : L_(L),
        words_(131108 + L / 64),
        occupied_(words_, 0),
        taken_(words_, 0),
        summary_(words_ / 64 + 2, ~std::uint64_t{0}),
        first_label_(L + 1),
        last_window_((MAX_SLOTS - L) / 64) {
    occupied_[0] = 1;  // slot 0: the root has no slot
    taken_[0] = 1;     // base 0: the root's
    for (std::uint64_t c = 0; c <= L; ++c) first_label_[c] = static_cast<std::uint32_t>(c);
  }

  void occupy(std::uint64_t p) noexcept {
    std::uint64_t& w = occupied_[p >> 6];
    w |= std::uint64_t{1} << (p & 63);
    if (w == ~std::uint64_t{0}) summary_[p >> 12] &= ~(std::uint64_t{1} << ((p >> 6) & 63));
  }

  // The base of a node whose children have the labels `labels` (ascending).
  std::uint32_t place(std::span<const std::uint16_t> labels);

 private:
  // The first occupancy word at or after `word` that has a clear bit.
  std::uint64_t open_word(std::uint64_t word) const noexcept {
    std::size_t s = static_cast<std::size_t>(word >> 6);
    if (s >= summary_.size()) return UINT64_MAX;
    std::uint64_t m = summary_[s] & (~std::uint64_t{0} << (word & 63));
    while (m == 0) {
      if (++s == summary_.size()) return UINT64_MAX;
      m = summary_[s];
    }
    return s * 64 + static_cast<std::uint64_t>(__builtin_ctzll(m));
  }
  // Bits pos..pos+63 of a bitmap; positions below 0 read as set.
  static std::uint64_t bits_at(const std::vector<std::uint64_t>& v, std::int64_t pos) noexcept {
    if (pos < 0) {
      if (pos <= -64) return ~std::uint64_t{0};
      const unsigned s = static_cast<unsigned>(-pos);
      return (v[0] << s) | ((std::uint64_t{1} << s) - 1);
    }
    const std::size_t w = static_cast<std::size_t>(pos >> 6);
    const unsigned s = static_cast<unsigned>(pos & 63);
    // Two shifts, so that s = 0 takes nothing from the next word.
    return (v[w] >> s) | ((v[w + 1] << 1) << (63 - s));
  }

  // The complement of bits pos..pos+2047 of a bitmap, as 32 words.
  static void shifted_not(const std::vector<std::uint64_t>& v, std::int64_t pos, std::uint64_t* out) noexcept {
    if (pos < 0) {
      for (std::size_t j = 0; j < WINDOW; ++j) out[j] = ~bits_at(v, pos + 64 * static_cast<std::int64_t>(j));
      return;
    }
    const std::uint64_t* w = v.data() + (pos >> 6);
    const unsigned s = static_cast<unsigned>(pos & 63);
    for (std::size_t j = 0; j < WINDOW; ++j) out[j] = ~((w[j] >> s) | ((w[j + 1] << 1) << (63 - s)));
  }
  static std::optional<std::uint64_t> lowest(const std::uint64_t* cand, std::uint64_t first_word) noexcept {
    for (std::size_t j = 0; j < WINDOW; ++j)
      if (cand[j]) return (first_word + j) * 64 + static_cast<std::uint64_t>(__builtin_ctzll(cand[j]));
    return std::nullopt;
  }

  std::uint64_t L_;
  std::size_t words_;
  std::vector<std::uint64_t> occupied_;
  std::vector<std::uint64_t> taken_;
  std::vector<std::uint64_t> summary_;
  std::vector<std::uint32_t> first_label_;
  std::unordered_map<std::uint32_t, std::uint32_t> pairs_;
  std::unordered_map<std::u16string, std::uint32_t> sets_;
  std::uint64_t floor_ = 0;
  std::uint64_t last_window_;
};

std::uint32_t Placer::place(std::span<const std::uint16_t> labels) {
  const std::size_t k = labels.size();
  const std::uint64_t c0 = labels[0];

  // The slot floor: the lowest free slot, searched from the last one.
  const std::uint64_t fw = open_word(floor_ >> 6);
  if (fw >= words_) panic("a free slot lies inside the bitmap");
  floor_ = fw * 64 + static_cast<std::uint64_t>(__builtin_ctzll(~occupied_[fw]));

  // Where to start: nothing below the caches' positions can succeed.
  const std::uint32_t pair_key = k >= 2 ? (static_cast<std::uint32_t>(c0) << 16) | labels[1] : 0;
  std::u16string set_key;
  std::uint64_t pair_at = 0, set_at = 0;
  if (k >= 2) {
    auto it = pairs_.find(pair_key);
    if (it != pairs_.end()) pair_at = it->second;
  }
  if (k >= 3) {
    set_key.assign(labels.begin(), labels.end());
    auto it = sets_.find(set_key);
    if (it != sets_.end()) set_at = it->second;
  }
  const std::uint64_t alone = std::max<std::uint64_t>(floor_, first_label_[c0]);
  const std::uint64_t start = std::max({alone, pair_at, set_at});
  bool first_armed = start == alone;
  bool pair_armed = k >= 2 && std::max(alone, pair_at) >= set_at;

  // Windows of 32 words from the first open word at or after start. Every
  // cache update and the choice take the lowest candidate of the window.
  std::uint64_t p = 0;  // slot 0 is never free, so 0 means none yet
  std::uint64_t cand[WINDOW];
  for (std::uint64_t w0 = open_word(start >> 6);; w0 = open_word(w0 + WINDOW)) {
    if (w0 > last_window_) fail(MSG_TOO_MANY_SLOTS);
    const std::int64_t pos0 = static_cast<std::int64_t>(w0 * 64);
    if (k == 1) {
      // One child: the first candidate word settles it.
      for (std::size_t j = 0; j < WINDOW; ++j) {
        std::uint64_t c = ~occupied_[w0 + j] & ~bits_at(taken_, pos0 + 64 * static_cast<std::int64_t>(j) - static_cast<std::int64_t>(c0));
        if (w0 + j == start >> 6) c &= ~std::uint64_t{0} << (start & 63);
        if (c) {
          p = (w0 + j) * 64 + static_cast<std::uint64_t>(__builtin_ctzll(c));
          break;
        }
      }
      if (p && first_armed) first_label_[c0] = static_cast<std::uint32_t>(p);
      if (p) break;
      continue;
    }
    shifted_not(taken_, pos0 - static_cast<std::int64_t>(c0), cand);
    if (w0 == start >> 6) cand[0] &= ~std::uint64_t{0} << (start & 63);
    std::uint64_t any = 0;
    for (std::size_t j = 0; j < WINDOW; ++j) any |= (cand[j] &= ~occupied_[w0 + j]);
    if (!any) continue;
    if (first_armed) {
      first_label_[c0] = static_cast<std::uint32_t>(*lowest(cand, w0));
      first_armed = false;
    }
    for (std::size_t i = 1; i < k && any; ++i) {
      std::uint64_t mask[WINDOW];
      shifted_not(occupied_, pos0 + static_cast<std::int64_t>(labels[i] - c0), mask);
      any = 0;
      for (std::size_t j = 0; j < WINDOW; ++j) any |= (cand[j] &= mask[j]);
      if (i == 1 && pair_armed && any) {
        pairs_[pair_key] = static_cast<std::uint32_t>(*lowest(cand, w0));
        pair_armed = false;
      }
    }
    if (any) {
      p = *lowest(cand, w0);
      break;
    }
  }

  if (k >= 3) sets_[std::move(set_key)] = static_cast<std::uint32_t>(p);
  const std::uint64_t base = p - c0;
  if (base + L_ > MAX_SLOTS - 1) fail(MSG_TOO_MANY_SLOTS);
  taken_[base >> 6] |= std::uint64_t{1} << (base & 63);
  for (std::uint16_t c : labels) occupy(base + c);
  return static_cast<std::uint32_t>(base);
}

}  // namespace

bool double_array::surely_more_distinct(std::span<const std::string_view> keys, std::uint64_t limit,
                                        std::size_t threads) {
  const std::size_t n = keys.size();
  if (n <= limit) return false;
  if (threads == 0) threads = online_processors();
  // The keys' hashes dealt into buckets by their top byte (each slice of
  // the keys hashed twice, to count and then to place, so that only the
  // hashes are ever held), then each bucket sorted and its distinct hashes
  // counted.
  constexpr std::size_t BUCKETS = 256;
  constexpr std::size_t SLICE = std::size_t{1} << 16;
  const std::size_t slices = (n + SLICE - 1) / SLICE;
  auto slice = [&](std::size_t s) { return keys.subspan(s * SLICE, std::min(SLICE, n - s * SLICE)); };
  auto hash_of = [](std::string_view key) { return hash::hash_pair(key).first; };
  std::vector<std::array<std::size_t, BUCKETS>> at(slices);
  parallel_claims(slices, threads, [&](std::size_t s) {
    at[s].fill(0);
    for (std::string_view key : slice(s)) ++at[s][hash_of(key) >> 56];
  });
  std::array<std::size_t, BUCKETS + 1> start{};
  for (std::size_t b = 0, pos = 0; b < BUCKETS; ++b) {
    start[b] = pos;
    for (std::size_t s = 0; s < slices; ++s) {
      const std::size_t count = at[s][b];
      at[s][b] = pos;
      pos += count;
    }
    start[b + 1] = pos;
  }
  std::vector<std::uint64_t> hashes(n);
  parallel_claims(slices, threads, [&](std::size_t s) {
    for (std::string_view key : slice(s)) {
      const std::uint64_t h = hash_of(key);
      hashes[at[s][h >> 56]++] = h;
    }
  });
  std::atomic<std::uint64_t> distinct{0};
  parallel_claims(BUCKETS, threads, [&](std::size_t b) {
    const auto first = hashes.begin() + static_cast<std::ptrdiff_t>(start[b]);
    const auto last = hashes.begin() + static_cast<std::ptrdiff_t>(start[b + 1]);
    std::sort(first, last);
    distinct.fetch_add(static_cast<std::uint64_t>(std::unique(first, last) - first), std::memory_order_relaxed);
  });
  return distinct.load() > limit;
}

DoubleArrayIndex DoubleArrayIndex::build(std::span<const std::string_view> keys) {
  if (surely_more_distinct(keys, MAX_KEYS)) fail(MSG_TOO_MANY_KEYS);
  std::vector<std::string_view> sorted(keys.begin(), keys.end());
  sort_distinct(sorted);
  return build_ranked(sorted);
}

DoubleArrayIndex DoubleArrayIndex::build_ranked(std::span<const std::string_view> keys) {
  const std::size_t n = keys.size();
  if (n > MAX_KEYS) fail(MSG_TOO_MANY_KEYS);
  for (std::size_t i = 1; i < n; ++i)
    if (!(keys[i - 1] < keys[i])) panic("double-array keys are distinct and in ascending order");

  // Every occurrence of every character.
  std::vector<std::uint64_t> counts(128, 0);
  std::uint64_t total_chars = 0;
  for (std::string_view key : keys) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(key.data());
    const unsigned char* end = p + key.size();
    while (p != end) {
      const char32_t c = next_code_point(p, end);
      if (c == BAD) panic("double-array keys are UTF-8");
      if (c >= counts.size()) counts.resize(static_cast<std::size_t>(c) + 1, 0);
      ++counts[c];
      ++total_chars;
    }
  }

  // Labels by descending count, ties by ascending code point.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> chars;
  for (std::size_t c = 0; c < counts.size(); ++c)
    if (counts[c]) chars.push_back({counts[c], static_cast<std::uint32_t>(c)});
  if (chars.size() > MAX_LABEL) fail(MSG_TOO_MANY_CHARS);
  std::sort(chars.begin(), chars.end(),
            [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
  const std::uint64_t L = chars.size();
  std::vector<std::uint16_t> label_of_char(counts.size(), 0);
  std::uint32_t C = 0;
  std::vector<Supplementary> supplementary;
  for (std::size_t i = 0; i < chars.size(); ++i) {
    const std::uint32_t c = chars[i].second;
    label_of_char[c] = static_cast<std::uint16_t>(i + 1);
    if (c < 0x10000)
      C = std::max(C, c + 1);
    else
      supplementary.push_back({c, static_cast<std::uint16_t>(i + 1)});
  }
  std::sort(supplementary.begin(), supplementary.end(),
            [](const Supplementary& a, const Supplementary& b) { return a.code_point < b.code_point; });
  std::vector<std::uint16_t> code_table(label_of_char.begin(), label_of_char.begin() + std::min<std::size_t>(C, label_of_char.size()));
  std::vector<std::uint64_t>().swap(counts);

  // The keys spelled in labels.
  Sequences seq;
  seq.labels.reserve(static_cast<std::size_t>(total_chars));
  seq.offsets.reserve(n + 1);
  seq.offsets.push_back(0);
  for (std::string_view key : keys) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(key.data());
    const unsigned char* end = p + key.size();
    while (p != end) {
      const std::uint16_t x = label_of_char[next_code_point(p, end)];
      if (x == 0) panic("a lexicon character");
      seq.labels.push_back(x);
    }
    seq.offsets.push_back(seq.labels.size());
  }
  std::vector<std::uint16_t>().swap(label_of_char);

  const bool has_empty = n > 0 && keys[0].empty();
  Trie trie = make_trie(seq, has_empty ? 1 : 0, n);
  seq = {};

  // Placement: the root's children at their labels, then every other inner
  // node, most children first (ties in breadth-first order).
  std::vector<std::uint32_t> base(trie.size(), 0);
  std::uint64_t S = 0;
  if (L > 0) {
    Placer placer(L);
    for (std::uint32_t c = trie.first_child[0]; c < trie.first_child[1]; ++c) placer.occupy(trie.label[c]);
    std::vector<std::uint32_t> inner;
    for (std::uint32_t i = 1; i < trie.size(); ++i)
      if (trie.children(i) > 0) inner.push_back(i);
    std::stable_sort(inner.begin(), inner.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return trie.children(a) > trie.children(b); });
    std::uint32_t widest = 0;
    for (std::uint32_t node : inner) {
      base[node] = placer.place(std::span<const std::uint16_t>(trie.label.data() + trie.first_child[node], trie.children(node)));
      widest = std::max(widest, base[node]);
    }
    S = widest + L + 1;
  }

  // The blob.
  const std::uint64_t P = supplementary.size();
  const std::size_t total = static_cast<std::size_t>(HEADER_LEN + 8 * S + 2 * std::uint64_t{C} + 8 * P);
  Pages<unsigned char> out = Pages<unsigned char>::zeroed(total);
  unsigned char* b = out.data();
  for (std::size_t node = 0; node < trie.size(); ++node) {
    for (std::uint32_t ch = trie.first_child[node]; ch < trie.first_child[node + 1]; ++ch) {
      std::uint64_t w = trie.label[ch];
      if (trie.id[ch] != NO_ID) w |= FINAL | (std::uint64_t{trie.id[ch]} << ID_SHIFT);
      if (trie.children(ch) > 0)
        w |= std::uint64_t{base[ch]} << BASE_SHIFT;
      else
        w |= LEAF;
      store_le64(b + HEADER_LEN + 8 * (std::uint64_t{base[node]} + trie.label[ch]), w);
    }
  }
  unsigned char* code_at = b + HEADER_LEN + 8 * S;
  for (std::size_t c = 0; c < code_table.size(); ++c) store_le16(code_at + 2 * c, code_table[c]);
  unsigned char* supp_at = code_at + 2 * std::uint64_t{C};
  for (std::size_t i = 0; i < supplementary.size(); ++i) {
    store_le32(supp_at + 8 * i, supplementary[i].code_point);
    store_le32(supp_at + 8 * i + 4, supplementary[i].label);
  }
  std::memcpy(b, FRAME.magic.data(), 4);
  store_le64(b + 4, n);
  store_le64(b + 12, has_empty ? 0 : NO_EMPTY);
  store_le64(b + 20, S);
  store_le32(b + 28, C);
  store_le32(b + 32, static_cast<std::uint32_t>(P));
  store_le32(b + 36, static_cast<std::uint32_t>(L));
  FRAME.seal_blob(std::span<unsigned char>(b, total));
  return from_shared(blob::SharedBytes::from_pages(std::move(out)), false);
}

// ---------------------------------------------------------------------------
// Lookups.

std::uint16_t DoubleArrayIndex::label_past_table(char32_t c) const noexcept {
  auto it = std::lower_bound(supplementary_.begin(), supplementary_.end(), c,
                             [](const Supplementary& s, char32_t v) { return s.code_point < v; });
  return it != supplementary_.end() && it->code_point == c ? it->label : 0;
}

std::optional<std::uint32_t> DoubleArrayIndex::id(std::string_view key) const noexcept {
  if (key.empty()) return has_empty_ ? std::optional<std::uint32_t>(empty_id_) : std::nullopt;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(key.data());
  const unsigned char* end = p + key.size();
  std::uint64_t base = 0;
  for (;;) {
    const std::uint16_t x = label(next_code_point(p, end));
    if (x == 0) return std::nullopt;
    const std::uint64_t w = slot(base + x);
    if (label_of(w) != x) return std::nullopt;
    if (p == end) {
      if (w & FINAL) return id_of(w);
      return std::nullopt;
    }
    if (w & LEAF) return std::nullopt;
    base = base_of(w);
  }
}

void DoubleArrayIndex::common_prefix(std::string_view query, std::vector<PrefixMatch>& out) const {
  if (has_empty_) out.push_back({0, empty_id_});
  prefix_walk(query, [&](const PrefixMatch& m) { out.push_back(m); });
}

std::optional<PrefixMatch> DoubleArrayIndex::longest_prefix(std::string_view query) const noexcept {
  std::optional<PrefixMatch> best;
  if (has_empty_) best = PrefixMatch{0, empty_id_};
  prefix_walk(query, [&](const PrefixMatch& m) { best = m; });
  return best;
}

void DoubleArrayIndex::occurrences_from(const std::uint16_t* lab, std::size_t from, std::vector<Occurrence>& out) const {
  std::uint64_t base = 0;
  for (std::size_t i = from;;) {
    const std::uint16_t x = lab[i];
    if (x == 0) return;
    const std::uint64_t w = slot(base + x);
    if (label_of(w) != x) return;
    ++i;
    if (w & FINAL) out.push_back({from, i, id_of(w)});
    if (w & LEAF) return;
    base = base_of(w);
  }
}

void DoubleArrayIndex::occurrences(std::string_view text, std::vector<Occurrence>& out) const {
  constexpr std::size_t SMALL = 256;
  std::uint16_t fixed[SMALL + 1];
  std::vector<std::uint16_t> grown;
  std::uint16_t* lab = fixed;
  if (text.size() > SMALL) {
    grown.resize(text.size() + 1);
    lab = grown.data();
  }
  // One label a character, then the 0 that ends every walk.
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  std::size_t n = 0;
  while (p != end) lab[n++] = label(next_code_point(p, end));
  lab[n] = 0;
  for (std::size_t s = 0; s < n; ++s)
    if (lab[s] != 0) occurrences_from(lab, s, out);
}

}  // namespace quorvale
