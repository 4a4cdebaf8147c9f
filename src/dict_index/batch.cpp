// Batched lookups: keys taken 32 at a time, their searches over the
// per-block samples advanced in lockstep (one halving step of every key per
// pass, so the lanes' cache misses overlap), each key then settled and
// searched inside its block alone, as a single lookup would.
#include <algorithm>
#include <bit>

#include "arrow_chunk.hpp"
#include "dict_index/dict_index.hpp"
#include "dict_index/internal.hpp"

namespace quorvale {

using namespace dict_index;

namespace {

constexpr std::size_t LANES = 32;
constexpr std::uint64_t UNDECIDED = UINT64_MAX;

struct Lane {
  ByteSpan key;  // in the stored form
  bool exact;    // translated exactly (always, without a character code)
  std::uint64_t sample;
  std::uint64_t boundary;  // UNDECIDED while the samples are searched
  std::uint64_t lower, lower_size;  // first block whose sample is >= the key's
  std::uint64_t upper, upper_size;  // first block whose sample is above it
};

// One halving step of a search over the samples; `strict`: the lower bound
// (samples below the key pass), else the upper bound (samples not above it).
template <bool Strict>
inline void step(const std::uint64_t* samples, std::uint64_t sample, std::uint64_t& low, std::uint64_t& size) {
  if (size == 0) return;
  const std::uint64_t half = size / 2;
  const std::uint64_t probe = low + half;
  const bool pass = Strict ? samples[probe] < sample : samples[probe] <= sample;
  low = pass ? probe + 1 : low;
  size = pass ? size - half - 1 : half;
}

// Looks up `count` keys (key_at(i): the caller's bytes of key i) and hands
// each answer to emit(i, id or MISSING_ID).
template <class KeyAt, class Emit>
void lookup(const DictIndex& d, std::size_t count, KeyAt&& key_at, Emit&& emit) {
  if (d.n == 0) {
    for (std::size_t i = 0; i < count; ++i) emit(i, MISSING_ID);
    return;
  }
  const std::uint64_t y = d.block_count();
  const std::uint64_t* samples = d.samples.data();
  const ByteSpan prefix = head_prefix_of(d);
  const unsigned passes = static_cast<unsigned>(std::bit_width(y)) + 1;
  const bool tied = d.ties && !d.ties->roots.empty();
  std::vector<unsigned char> translated;  // the group's translations, reused
  Lane lanes[LANES];
  for (std::size_t first = 0; first < count; first += LANES) {
    const std::size_t g = std::min(LANES, count - first);
    if (d.chars) {
      std::size_t room = 0;
      for (std::size_t i = 0; i < g; ++i) room += 2 * key_at(first + i).size();
      if (translated.size() < room) translated.resize(room);
      std::size_t at = 0;
      for (std::size_t i = 0; i < g; ++i) {
        const ByteSpan key = key_at(first + i);
        const charcode::Probe probe = d.chars->probe_into(key, translated.data() + at);
        lanes[i].exact = probe.kind == 0;
        lanes[i].key = lanes[i].exact ? ByteSpan(translated.data() + at, probe.len) : ByteSpan();
        at += 2 * key.size();
      }
    } else {
      for (std::size_t i = 0; i < g; ++i) {
        lanes[i].key = key_at(first + i);
        lanes[i].exact = true;
      }
    }
    for (std::size_t i = 0; i < g; ++i) {
      Lane& l = lanes[i];
      l.lower = l.upper = 0;
      l.lower_size = l.upper_size = 0;
      if (!l.exact) {
        l.boundary = 0;  // absent whatever the search; not searched
      } else if (const auto b = prefix_boundary(d, prefix, l.key)) {
        l.boundary = *b;
      } else {
        l.sample = word_at(l.key, d.head_prefix);
        l.boundary = UNDECIDED;
        l.lower_size = l.upper_size = y;
      }
    }
    for (unsigned p = 0; p < passes; ++p) {
      for (std::size_t i = 0; i < g; ++i) {
        Lane& l = lanes[i];
        step<true>(samples, l.sample, l.lower, l.lower_size);
        step<false>(samples, l.sample, l.upper, l.upper_size);
      }
    }
    for (std::size_t i = 0; i < g; ++i) {
      Lane& l = lanes[i];
      if (l.boundary != UNDECIDED) continue;
      if (l.lower == l.upper) {
        l.boundary = l.lower;
      } else if (tied && l.upper - l.lower >= 2 && l.lower <= UINT32_MAX &&
                 ties::Ties::root(d.ties->roots, l.lower).found) {
        const ties::Root root = ties::Ties::root(d.ties->roots, l.lower);
        l.boundary = d.tie_boundary(static_cast<std::uint32_t>(root.position), l.key).boundary;
      } else {
        l.boundary = d.head_boundary(l.key, l.lower, l.upper);
      }
    }
    for (std::size_t i = 0; i < g; ++i) {
      const Lane& l = lanes[i];
      if (!l.exact) {
        emit(first + i, MISSING_ID);
        continue;
      }
      const Search r = d.locate_in(l.boundary, l.key);
      emit(first + i, r.found ? r.rank : MISSING_ID);
    }
  }
}

}  // namespace

std::vector<std::optional<std::uint64_t>> DictIndex::ids_of(std::span<const std::string_view> keys) const {
  std::vector<std::optional<std::uint64_t>> out(keys.size());
  lookup(
      *this, keys.size(), [&](std::size_t i) { return bytes_of(keys[i]); },
      [&](std::size_t i, std::uint64_t id) {
        if (id != MISSING_ID) out[i] = id;
      });
  return out;
}

std::vector<std::uint64_t> DictIndex::arrow_ids(std::span<const arrow::Utf8Chunk> chunks) const {
  std::size_t total = 0;
  for (const arrow::Utf8Chunk& c : chunks) total += c.size();
  std::vector<std::uint64_t> out(total);
  std::uint64_t* at = out.data();
  for (const arrow::Utf8Chunk& c : chunks) {
    // Only the validity bit makes a null: its bytes are searched like any.
    lookup(
        *this, c.size(), [&](std::size_t i) { return bytes_of(c.key(i)); },
        [&](std::size_t i, std::uint64_t id) { at[i] = c.is_null(i) ? MISSING_ID : id; });
    at += c.size();
  }
  return out;
}

}  // namespace quorvale
