#include "hash_engine.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "mphf_build.hpp"
#include "threads.hpp"

namespace quorvale::hash_engine {

namespace {

[[noreturn]] void fail_format(const char* message) { throw IndexError::format(message); }

// The first word of each group of sorted pairs, once, ascending.
class GroupFirsts final : public KeyStream {
 public:
  explicit GroupFirsts(std::span<const Pair> pairs) noexcept : pairs_(pairs) {}
  bool next(std::uint64_t& out) override {
    if (at_ >= pairs_.size()) return false;
    out = pairs_[at_].first;
    while (++at_ < pairs_.size() && pairs_[at_].first == out) {
    }
    return true;
  }

 private:
  std::span<const Pair> pairs_;
  std::size_t at_ = 0;
};

// The slot pass over one chunk. `inside_group`: the chunk's first pair has the
// first word of the pair before the chunk. Representatives are evaluated a
// block at a time.
void slot_chunk(std::span<Pair> chunk, bool inside_group, const Mphf& mph) {
  constexpr std::size_t BLOCK = 4096;
  std::vector<std::size_t> at;
  std::vector<std::uint64_t> words;
  at.reserve(std::min(BLOCK, chunk.size()));
  words.reserve(at.capacity());
  std::uint64_t previous = 0;
  for (std::size_t start = 0; start < chunk.size(); start += BLOCK) {
    const std::size_t end = std::min(chunk.size(), start + BLOCK);
    at.clear();
    words.clear();
    for (std::size_t i = start; i < end; ++i) {
      const std::uint64_t first = chunk[i].first;
      const bool repeat = i == 0 ? inside_group : first == previous;
      previous = first;
      if (repeat) {
        chunk[i].first = NOT_REPRESENTATIVE;
      } else {
        at.push_back(i);
        words.push_back(first);
      }
    }
    const std::vector<std::uint64_t> slots = mph.index_all(words);
    for (std::size_t j = 0; j < at.size(); ++j) chunk[at[j]].first = slots[j];
  }
}

// The pair order as a function object, so that sorts inline it.
constexpr auto by_pair = [](const Pair& a, const Pair& b) { return pair_less(a, b); };

// Insertion sort: the few pairs a radix group is left with.
void insertion_sort(Pair* a, std::size_t n) {
  for (std::size_t i = 1; i < n; ++i) {
    const Pair v = a[i];
    std::size_t j = i;
    for (; j > 0 && pair_less(v, a[j - 1]); --j) a[j] = a[j - 1];
    a[j] = v;
  }
}

// Sorts pairs in place: an in-place radix pass on the highest bits in which
// the range's first words differ, as many buckets as leave a few pairs each
// (up to 2048), then each bucket the same way; small groups go to an
// insertion sort, groups of one first word to a comparison sort. Hash words
// are uniform, so one or two passes leave groups of a few pairs.
void radix_sort(Pair* a, std::size_t n) {
  constexpr std::size_t SMALL = 32;
  constexpr unsigned MAX_BITS = 11;
  if (n < SMALL) {
    insertion_sort(a, n);
    return;
  }
  std::uint64_t lo = a[0].first, hi = a[0].first;
  for (std::size_t i = 1; i < n; ++i) {
    lo = std::min(lo, a[i].first);
    hi = std::max(hi, a[i].first);
  }
  if (lo == hi) {
    std::sort(a, a + n, by_pair);
    return;
  }
  const unsigned bits = std::clamp<unsigned>(static_cast<unsigned>(std::bit_width(n)) - 3, 4, MAX_BITS);
  const int top = 63 - std::countl_zero(lo ^ hi);  // the highest bit that differs
  const int shift = top >= static_cast<int>(bits) - 1 ? top - static_cast<int>(bits) + 1 : 0;
  const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
  auto digit = [shift, mask](const Pair& p) { return static_cast<std::size_t>((p.first >> shift) & mask); };
  const std::size_t buckets = std::size_t{1} << bits;
  std::size_t start[(1u << MAX_BITS) + 1], cursor[1u << MAX_BITS];
  partition_in_place(a, n, buckets, digit, start, cursor);
  for (std::size_t d = 0; d < buckets; ++d) {
    const std::size_t len = start[d + 1] - start[d];
    if (len < 2) continue;
    if (shift == 0) {
      std::sort(a + start[d], a + start[d + 1], by_pair);  // one first word: order by the second
    } else {
      radix_sort(a + start[d], len);
    }
  }
}

// Each group of several pairs settled by the rule, the pairs it keeps
// closed up behind those before them.
void settle_groups(std::vector<Pair>& pairs, const GroupRule& rule) {
  const std::size_t n = pairs.size();
  std::size_t to = 0;
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i + 1;
    while (j < n && pairs[j].first == pairs[i].first) ++j;
    const std::size_t kept = j - i == 1 ? 1 : rule(std::span<Pair>(pairs.data() + i, j - i));
    if (to != i) std::copy(pairs.begin() + static_cast<std::ptrdiff_t>(i),
                           pairs.begin() + static_cast<std::ptrdiff_t>(i + kept), pairs.begin() + static_cast<std::ptrdiff_t>(to));
    to += kept;
    i = j;
  }
  pairs.resize(to);
}

}  // namespace

void hash_keys_into(std::span<const std::string_view> keys, Pair* out, std::size_t threads) {
  const std::size_t chunks = (keys.size() + HASH_CHUNK - 1) / HASH_CHUNK;
  if (chunks <= 1) {
    for (std::size_t i = 0; i < keys.size(); ++i) out[i] = hash::hash_pair(keys[i]);
    return;
  }
  if (threads == 0) threads = online_processors();
  parallel_claims(chunks, threads, [&](std::size_t c) {
    const std::size_t end = std::min(keys.size(), (c + 1) * HASH_CHUNK);
    for (std::size_t i = c * HASH_CHUNK; i < end; ++i) out[i] = hash::hash_pair(keys[i]);
  });
}

void append_hashes(std::span<const std::string_view> keys, std::vector<Pair>& out, std::size_t threads) {
  if (keys.size() <= HASH_CHUNK) {
    for (std::string_view key : keys) out.push_back(hash::hash_pair(key));
    return;
  }
  const std::size_t at = out.size();
  out.resize(at + keys.size());
  hash_keys_into(keys, out.data() + at, threads);
}

std::size_t threads_of(const StreamRun& run) { return run.threads != 0 ? run.threads : online_processors(); }

void sort_run(std::span<Pair> pairs, std::size_t threads) {
  const std::size_t k = threads == 0 ? 1 : std::min(threads, SORT_BUCKETS);
  if (k == 1 || pairs.size() < k * PAIRS_PER_WORKER) {
    radix_sort(pairs.data(), pairs.size());
    return;
  }
  // Buckets by the first word's top bits, in order, so that sorting each
  // bucket sorts the whole without a merge.
  auto bucket = [k](const Pair& p) { return static_cast<std::size_t>((k * (p.first >> 32)) >> 32); };
  std::size_t start[SORT_BUCKETS + 1], cursor[SORT_BUCKETS];
  partition_in_place(pairs.data(), pairs.size(), k, bucket, start, cursor);
  mphf_build::parallel_claims(k, k, [&](std::size_t b) { radix_sort(pairs.data() + start[b], start[b + 1] - start[b]); });
}

void slots_in_place(std::span<Pair> pairs, const Mphf& mph, std::size_t threads) {
  const std::size_t count = pairs.size();
  if (threads < 2 || count < threads * PAIRS_PER_WORKER) {
    slot_chunk(pairs, false, mph);
    return;
  }
  const std::size_t size = (count + threads - 1) / threads;
  const std::size_t chunks = (count + size - 1) / size;
  // Read before any worker overwrites a first word.
  std::vector<std::uint8_t> inside(chunks, 0);
  for (std::size_t c = 1; c < chunks; ++c) inside[c] = pairs[c * size].first == pairs[c * size - 1].first;
  mphf_build::parallel_claims(chunks, threads, [&](std::size_t c) {
    const std::size_t start = c * size;
    slot_chunk(pairs.subspan(start, std::min(size, count - start)), inside[c] != 0, mph);
  });
}

void write_fp(std::span<unsigned char> table, std::uint64_t slot, std::uint32_t bits, std::uint64_t value) {
  value = low_bits(value, bits);
  if (bits % 8 == 0) {
    const std::uint64_t k = bits / 8;
    if (k == 0 || slot >= table.size() / k) panic("a fingerprint slot lies inside its table");
    unsigned char* p = table.data() + slot * k;
    switch (k) {
      case 1: p[0] = static_cast<unsigned char>(value); break;
      case 2: store_le16(p, static_cast<std::uint16_t>(value)); break;
      case 4: store_le32(p, static_cast<std::uint32_t>(value)); break;
      case 8: store_le64(p, value); break;
      default:
        for (std::uint64_t j = 0; j < k; ++j) p[j] = static_cast<unsigned char>(value >> (8 * j));
    }
    return;
  }
  if (bits > 64 || slot > UINT64_MAX / bits) panic("a fingerprint slot lies inside its table");
  const std::uint64_t p = slot * bits, c = p / 8;
  const unsigned s = static_cast<unsigned>(p % 8);
  if ((p + bits - 1) / 8 >= table.size()) panic("a fingerprint slot lies inside its table");
  const std::uint64_t low = value << s;
  if (c + 8 <= table.size()) {
    store_le64(table.data() + c, load_le64(table.data() + c) | low);
  } else {
    for (std::uint64_t j = 0; c + j < table.size(); ++j) table[c + j] |= static_cast<unsigned char>(low >> (8 * j));
  }
  if (s != 0 && s + bits > 64) table[c + 8] |= static_cast<unsigned char>(value >> (64 - s));
}

bool fp_matches(std::span<const unsigned char> table, std::uint64_t slot, std::uint32_t bits,
                std::uint64_t second) noexcept {
  if (bits == 0 || bits > 64 || slot > UINT64_MAX / bits) return false;
  const std::uint64_t want = low_bits(second, bits);
  const std::size_t size = table.size();
  const unsigned char* t = table.data();
  if (bits % 8 == 0 && (bits == 8 || bits == 16 || bits == 32 || bits == 64)) {
    const std::uint64_t k = bits / 8;
    if (slot >= size / k) return false;
    const unsigned char* p = t + slot * k;
    switch (k) {
      case 1: return p[0] == want;
      case 2: return load_le16(p) == want;
      case 4: return load_le32(p) == want;
      default: return load_le64(p) == want;
    }
  }
  const std::uint64_t p = slot * bits, c = p / 8;
  const unsigned s = static_cast<unsigned>(p % 8);
  const std::uint64_t last = (p + bits - 1) / 8;
  std::uint64_t got;
  if (c <= size && size - c >= 8) {
    got = load_le64(t + c) >> s;
    if (s + bits > 64) {
      if (c + 8 >= size) return false;
      got |= std::uint64_t{t[c + 8]} << (64 - s);
    }
  } else {
    // Near the end of the table: its last bytes one by one (at most 8 here).
    if (last >= size) return false;
    got = 0;
    for (std::uint64_t j = c; j <= last; ++j) got |= std::uint64_t{t[j]} << (8 * (j - c));
    got >>= s;
  }
  return low_bits(got, bits) == want;
}

std::optional<std::uint32_t> side_search(std::span<const SideEntry> side, std::uint64_t first,
                                         std::uint64_t second) noexcept {
  if (side.empty()) return std::nullopt;
  auto it = std::lower_bound(side.begin(), side.end(), first,
                             [](const SideEntry& e, std::uint64_t f) { return e.first < f; });
  for (; it != side.end() && it->first == first; ++it)
    if (it->second == second) return it->id;
  return std::nullopt;
}

bool side_ids_are_tail(const unsigned char* records, std::uint64_t count, std::size_t stride, std::size_t id_at,
                       std::uint64_t n) {
  const std::uint64_t base = n - count;
  std::vector<std::uint64_t> seen(static_cast<std::size_t>((count + 63) / 64), 0);
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t id = load_le32(records + stride * i + id_at);
    if (id < base || id >= n) return false;
    const std::uint64_t k = id - base;
    std::uint64_t& word = seen[static_cast<std::size_t>(k >> 6)];
    const std::uint64_t bit = std::uint64_t{1} << (k & 63);
    if (word & bit) return false;
    word |= bit;
  }
  return true;
}

Slotted slot_pairs(std::vector<Pair>& pairs, const char* too_many, std::size_t threads, const GroupRule& rule) {
  if (threads == 0) threads = 1;
  sort_run(pairs, threads);
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  if (rule) settle_groups(pairs, rule);
  Slotted out;
  out.n = pairs.size();
  if (out.n > UINT32_MAX) fail_format(too_many);
  if (out.n == 0) return out;
  // Groups of one first word: the first pair represents the group, the
  // others go to the side table in pair order.
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (i > 0 && pairs[i].first == pairs[i - 1].first) {
      out.side.push_back({pairs[i].first, pairs[i].second, 0});
    } else {
      ++out.m;
    }
  }
  for (std::size_t k = 0; k < out.side.size(); ++k) out.side[k].id = static_cast<std::uint32_t>(out.m + k);
  GroupFirsts firsts(pairs);
  out.mph.emplace(V2::build_from(out.m, KeyInput::from_stream(firsts), threads));
  slots_in_place(pairs, *out.mph, threads);
  return out;
}

}  // namespace quorvale::hash_engine
