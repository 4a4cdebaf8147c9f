// Batched lookups: keys taken 32 at a time, their searches over the
// per-block samples advanced in lockstep (one halving step of every key per
// pass, so the lanes' cache misses overlap), each key then settled and
// searched inside its block alone, as a single lookup would.
#include <algorithm>

#include "arrow_chunk.hpp"
#include "dict_index/layout.hpp"
#include "dict_index/internal.hpp"

namespace quorvale {

using dict_index::Layout;

using namespace dict_index;

namespace {

constexpr std::size_t LANES = 32;
constexpr std::uint64_t UNDECIDED = UINT64_MAX;

// The lanes of a group, field by field.
struct Lanes {
  ByteSpan key[LANES];  // in the stored form
  bool exact[LANES];    // translated exactly (always, without a character code)
  std::uint64_t sample[LANES];
  std::uint64_t boundary[LANES];  // UNDECIDED while the samples are searched
  std::uint64_t lower[LANES];     // first block whose sample is >= the key's
  std::uint64_t upper[LANES];     // first block whose sample is above it
  ByteSpan head[LANES];           // the head of the block before the boundary
  bool done[LANES];               // answered by the head alone
  BlockPlan plan[LANES];          // else the search inside the block
  Search result[LANES];
};

inline void prefetch(const void* p) noexcept { __builtin_prefetch(p); }

// Where entry i of an offset array lies (its sample and its field).
inline void prefetch_entry(const Offsets& o, std::uint64_t i) noexcept {
  prefetch(o.samples.data() + (i >> o.shift) * 8);
  prefetch(o.bits.data() + i * o.width / 8);
}

// A run's headers, then its data: its first few lines.
inline void prefetch_run(ByteSpan run) noexcept {
  for (std::size_t at = 0; at < run.size() && at < 256; at += 64) prefetch(run.data() + at);
}

// Both searches of every lane over the samples in lockstep: each pass halves
// the range of every search of every lane, so the number of passes depends
// on Y alone and a pass's loads are independent of each other. A settled
// lane searches too (its answer unused), so that no lane branches.
void search_samples(const std::uint64_t* samples, std::uint64_t y, Lanes& l, std::size_t g) noexcept {
  for (std::size_t i = 0; i < g; ++i) l.lower[i] = l.upper[i] = 0;
  for (std::uint64_t size = y; size > 1;) {
    const std::uint64_t half = size / 2;
    for (std::size_t i = 0; i < g; ++i) {
      // Masks rather than conditions: the compiler would branch on them.
      const std::uint64_t s = l.sample[i];
      const std::uint64_t lo = l.lower[i], up = l.upper[i];
      l.lower[i] = lo + (half & (std::uint64_t{0} - (samples[lo + half] < s)));
      l.upper[i] = up + (half & (std::uint64_t{0} - (samples[up + half] <= s)));
    }
    size -= half;
  }
  for (std::size_t i = 0; i < g; ++i) {
    l.lower[i] += samples[l.lower[i]] < l.sample[i];
    l.upper[i] += samples[l.upper[i]] <= l.sample[i];
  }
}

// Looks up `count` keys (key_at(i): the caller's bytes of key i) and hands
// each answer to emit(i, id or MISSING_ID).
template <class KeyAt, class Emit>
void lookup(const Layout& d, std::size_t count, KeyAt&& key_at, Emit&& emit) {
  if (d.n == 0) {
    for (std::size_t i = 0; i < count; ++i) emit(i, MISSING_ID);
    return;
  }
  const std::uint64_t y = d.block_count();
  const std::uint64_t* samples = d.samples().data();
  const ByteSpan prefix = head_prefix_of(d);
  const ties::Ties* resolver = d.ties();
  const bool tied = resolver && !resolver->roots.empty();
  const std::vector<std::uint64_t>* routed = d.route_words->get();
  const std::uint64_t* words = routed != nullptr && !routed->empty() ? routed->data() : nullptr;
  std::vector<unsigned char> translated;  // the group's translations, reused
  Lanes l;
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
        l.exact[i] = probe.kind == 0;
        l.key[i] = l.exact[i] ? ByteSpan(translated.data() + at, probe.len) : ByteSpan();
        at += 2 * key.size();
      }
    } else {
      for (std::size_t i = 0; i < g; ++i) {
        l.key[i] = key_at(first + i);
        l.exact[i] = true;
      }
    }
    for (std::size_t i = 0; i < g; ++i) {
      l.sample[i] = 0;
      if (!l.exact[i]) {
        l.boundary[i] = 0;  // absent whatever the search; not searched
      } else if (const auto b = prefix_boundary(d, prefix, l.key[i])) {
        l.boundary[i] = *b;
      } else {
        l.sample[i] = word_at(l.key[i], d.head_prefix);
        l.boundary[i] = UNDECIDED;
      }
    }
    search_samples(samples, y, l, g);
    for (std::size_t i = 0; i < g; ++i) {
      if (l.boundary[i] != UNDECIDED) continue;
      const std::uint64_t lower = l.lower[i], upper = l.upper[i];
      if (lower == upper) {
        l.boundary[i] = lower;
      } else if (tied && upper - lower >= 2 && lower <= UINT32_MAX && ties::Ties::root(resolver->roots, lower).found) {
        const ties::Root root = ties::Ties::root(resolver->roots, lower);
        l.boundary[i] = d.tie_boundary(static_cast<std::uint32_t>(root.position), l.key[i]).boundary;
      } else {
        l.boundary[i] = d.head_boundary(l.key[i], lower, upper);
      }
    }
    // The in-block searches, in stages over the lanes: each stage starts
    // fetching what the next one reads for every lane before any lane
    // waits for it (offset arrays, then heads and block starts, then the
    // run to scan). The answers are locate_in's.
    for (std::size_t i = 0; i < g; ++i) {
      if (!l.exact[i] || l.boundary[i] == 0) continue;
      const std::uint64_t e = l.boundary[i] - 1;
      prefetch_entry(d.head_ends, e);
      if (e > 0) prefetch_entry(d.head_ends, e - 1);
      prefetch_entry(d.block_offsets, e);
      if (d.J > 1) prefetch(d.micro_offsets.bits.data() + e * d.J * d.micro_offsets.width / 8);
      if (words) prefetch(words + e * d.J);
    }
    for (std::size_t i = 0; i < g; ++i) {
      if (!l.exact[i] || l.boundary[i] == 0) continue;
      const std::uint64_t e = l.boundary[i] - 1;
      l.head[i] = d.head(e);
      prefetch(l.head[i].data());
      if (!words) {
        // The restart run starts the block.
        const std::uint64_t start = d.block_offsets.get(e);
        if (start < d.block_data.size()) prefetch(d.block_data.data() + start);
      }
    }
    for (std::size_t i = 0; i < g; ++i) {
      l.done[i] = true;
      if (!l.exact[i]) {
        l.result[i] = {0, false};
      } else if (l.boundary[i] == 0) {
        l.result[i] = {0, false};
      } else {
        const std::uint64_t e = l.boundary[i] - 1;
        const std::uint64_t depth = common_prefix(l.key[i], l.head[i]);
        if (depth == l.key[i].size() && depth == l.head[i].size()) {
          l.result[i] = {e * d.block, true};
        } else {
          l.plan[i] = plan_block(d, e, l.key[i], depth);
          l.done[i] = false;
          prefetch_run(l.plan[i].restart ? d.restart_bytes(e) : d.micro_bytes(e, l.plan[i].t));
        }
      }
    }
    for (std::size_t i = 0; i < g; ++i) {
      if (l.done[i] || !l.plan[i].restart) continue;
      if (const auto r = settle_restart(d, l.plan[i], l.key[i])) {
        l.result[i] = *r;
        l.done[i] = true;
      } else {
        prefetch_run(d.micro_bytes(l.plan[i].e, l.plan[i].t));
      }
    }
    for (std::size_t i = 0; i < g; ++i) {
      if (!l.done[i]) l.result[i] = run_block(d, l.plan[i], l.key[i]);
      emit(first + i, l.exact[i] && l.result[i].found ? l.result[i].rank : MISSING_ID);
    }
  }
}

}  // namespace

std::vector<std::optional<std::uint64_t>> Layout::ids_of(std::span<const std::string_view> keys) const {
  std::vector<std::optional<std::uint64_t>> out(keys.size());
  lookup(
      *this, keys.size(), [&](std::size_t i) { return bytes_of(keys[i]); },
      [&](std::size_t i, std::uint64_t id) {
        if (id != MISSING_ID) out[i] = id;
      });
  return out;
}

std::vector<std::uint64_t> Layout::arrow_ids(std::span<const arrow::Utf8Chunk> chunks) const {
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
