// Shard encoding: front-codes every block of a shard into entries, prices
// the shard under its codecs, keeps the cheapest with its two pair codes and
// writes every block's runs.
#include <algorithm>
#include <cstring>

#include "dict_index/layout.hpp"
#include "dict_index/build_internal.hpp"

namespace quorvale {
namespace dict_index {

void Collected::clear() noexcept {
  prefixes.clear();
  raw.clear();
  raw_ends.clear();
  symbols.clear();
  symbol_ends.clear();
  tiered.clear();
  tiered_ends.clear();
  run_entries.clear();
  block_runs.clear();
  histogram.fill(0);
}

void Collected::push(Key previous, Key key, const fsst::Encoder& encoder) {
  if (run_entries.empty()) panic("a run is open");
  const ByteSpan k = as_span(key);
  const std::size_t x = common_prefix(as_span(previous), k);
  prefixes.push_back(x);
  const ByteSpan suffix = k.subspan(x);
  raw.insert(raw.end(), suffix.begin(), suffix.end());
  raw_ends.push_back(raw.size());
  for (unsigned char b : suffix) ++histogram[b];
  if (coded_.size() < 2 * suffix.size()) coded_.resize(2 * suffix.size());
  const std::size_t len = encoder.encode(suffix, coded_.data());
  symbols.insert(symbols.end(), coded_.data(), coded_.data() + len);
  symbol_ends.push_back(symbols.size());
  ++run_entries.back();
}

void collect_block(Collected& c, std::span<const Key> keys, std::uint64_t micro, const fsst::Encoder& encoder) {
  const std::size_t k = keys.size();
  if (k == 0) panic("index out of bounds: a block holds at least its head");
  // Keys held by a caller or a sorted run lie scattered over memory: each is
  // fetched a few keys ahead of its comparison with the key before.
  constexpr std::size_t AHEAD = 8;
  const auto fetch = [&](std::size_t i) {
    if (i < k) __builtin_prefetch(keys[i].data());
  };
  c.open_run();  // the restart run
  for (std::size_t i = micro; i < k; i += micro) c.push(keys[i - micro], keys[i], encoder);
  for (std::size_t i = 0; i < AHEAD; ++i) fetch(i);
  for (std::size_t start = 0; start < k; start += micro) {
    c.open_run();
    const std::size_t end = std::min<std::size_t>(k, start + micro);
    for (std::size_t i = start + 1; i < end; ++i) {
      fetch(i + AHEAD);
      c.push(keys[i - 1], keys[i], encoder);
    }
  }
  c.block_runs.push_back(static_cast<std::uint32_t>(ceil_div(k, micro) + 1));
}

namespace {

// y of every entry from the end offsets of its coded suffix.
void lengths(const std::vector<std::uint64_t>& ends, const std::vector<std::uint64_t>& x,
             std::vector<paircode::Pair>& out) {
  std::uint64_t start = 0;
  for (std::size_t i = 0; i < ends.size(); ++i) {
    out[i] = {x[i], ends[i] - start};
    start = ends[i];
  }
}

}  // namespace

void Collected::pairs(const Codec& codec, std::vector<paircode::Pair>& out) const {
  out.resize(entries());
  if (std::holds_alternative<Codec::Symbols>(codec.v)) {
    lengths(symbol_ends, prefixes, out);
  } else if (std::holds_alternative<Codec::Tiered>(codec.v)) {
    lengths(tiered_ends, prefixes, out);
  } else {
    const packed::Alphabet& a = std::get<Codec::Packed>(codec.v).alphabet;
    std::array<std::uint8_t, 256> units;
    for (unsigned b = 0; b < 256; ++b) units[b] = static_cast<std::uint8_t>(a.units(static_cast<std::uint8_t>(b)));
    std::uint64_t start = 0;
    for (std::size_t i = 0; i < raw_ends.size(); ++i) {
      std::uint64_t y = 0;
      for (std::uint64_t j = start; j < raw_ends[i]; ++j) y += units[raw[j]];
      out[i] = {prefixes[i], y};
      start = raw_ends[i];
    }
  }
}

Collected::Price Collected::price(const Codec& codec, std::vector<paircode::Pair>& pairs) {
  this->pairs(codec, pairs);
  entry_runs_.clear();
  restart_runs_.clear();
  const auto* alphabet = std::get_if<Codec::Packed>(&codec.v);
  std::uint64_t packed_bytes = 0;
  std::size_t run = 0;
  std::uint64_t at = 0;
  for (std::uint32_t runs : block_runs) {
    for (std::uint32_t r = 0; r < runs; ++r, ++run) {
      const paircode::Run slice(pairs.data() + at, run_entries[run]);
      (r == 0 ? restart_runs_ : entry_runs_).push_back(slice);
      at += slice.size();
      if (alphabet) {
        std::uint64_t units = 0;
        for (const paircode::Pair& p : slice) units += p.y;
        packed_bytes += ceil_div(units * alphabet->alphabet.width, 8);
      }
    }
  }
  auto [entry, a] = paircode::Code::choose_cost(entry_runs_);
  auto [restart, b] = paircode::Code::choose_cost(restart_runs_);
  const std::uint64_t suffixes = alphabet ? packed_bytes
                                 : std::holds_alternative<Codec::Symbols>(codec.v) ? symbols.size()
                                                                                   : tiered.size();
  return Price{a + b + suffixes, CodePair{std::move(entry), std::move(restart)}};
}

Collected::Settled Collected::settle(fsst::Table table, const Phrases& phrases, std::vector<paircode::Pair>& pairs) {
  Settled best{Codec{Codec::Symbols{table}}, {}};
  Price priced = price(best.codec, pairs);
  best.codes = std::move(priced.codes);
  std::uint64_t cost = priced.cost;
  bool pairs_are_best = true;
  if (auto alphabet = packed::Alphabet::of(histogram)) {
    Codec packed{Codec::Packed{std::move(alphabet->first)}};
    Price p = price(packed, pairs);
    if (p.cost < cost) {
      best = Settled{std::move(packed), std::move(p.codes)};
      cost = p.cost;
    } else {
      pairs_are_best = false;
    }
  }
  if (phrases.dict.count() > 0 && entries() > 0)
    try_tiered(std::move(table), phrases, pairs, best, cost, pairs_are_best);
  if (!pairs_are_best) this->pairs(best.codec, pairs);
  return best;
}

void Collected::try_tiered(fsst::Table table, const Phrases& phrases, std::vector<paircode::Pair>& pairs,
                           Settled& best, std::uint64_t cost, bool& pairs_are_best) {
  // The split is chosen on every entry of a shard of fewer than 16,384, and
  // on 8,192 to 12,288 evenly spaced ones of a larger one.
  const std::size_t n = entries();
  const std::size_t stride = std::max<std::size_t>(1, n >> 13);
  auto suffix = [&](std::size_t i) {
    const std::uint64_t from = i == 0 ? 0 : raw_ends[i - 1];
    return fsst::Bytes(raw.data() + from, raw_ends[i] - from);
  };
  samples_.clear();
  for (std::size_t i = 0; i < n; i += stride) samples_.push_back(suffix(i));
  const std::span<const phrase::Cell> cells = phrases.trie.cells();
  phrase::Settled split = phrase::settle(samples_, std::move(table), cells, phrases.dict.count(), parse_);
  if (!split.split) return;

  const fsst::Encoder encoder = split.table.encoder();
  tiered.clear();
  tiered_ends.clear();
  tiered_ends.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    phrase::encode(suffix(i), encoder, cells, *split.split, parse_, tiered);
    tiered_ends.push_back(tiered.size());
  }
  Codec codec{Codec::Tiered{std::move(split.table), *split.split}};
  Price p = price(codec, pairs);
  pairs_are_best = tiered_pays(p.cost, cost);
  if (pairs_are_best) best = Settled{std::move(codec), std::move(p.codes)};
}

Collected::Settled flush_shard(Collected& collected, const fsst::Table& table, const Phrases& phrases,
                               std::vector<paircode::Pair>& pairs, Scratch& scratch,
                               const std::function<void(const Scratch&)>& block) {
  Collected::Settled settled = collected.settle(table, phrases, pairs);
  const CodePair& codes = settled.codes;
  const std::vector<std::uint16_t> entry_map =
      codes.entry.is_table() ? codes.entry.table().reverse_map() : std::vector<std::uint16_t>{};
  const std::vector<std::uint16_t> restart_map =
      codes.restart.is_table() ? codes.restart.table().reverse_map() : std::vector<std::uint16_t>{};
  std::size_t run = 0;
  std::uint64_t entry = 0;
  for (std::uint32_t runs : collected.block_runs) {
    scratch.output.clear();
    scratch.run_starts.clear();
    for (std::uint32_t r = 0; r < runs; ++r, ++run) {
      const bool restarts = r == 0;
      if (!restarts) scratch.run_starts.push_back(scratch.output.size());
      const std::span<const paircode::Pair> slice(pairs.data() + entry, collected.run_entries[run]);
      write_run(restarts ? codes.restart : codes.entry, (restarts ? restart_map : entry_map).data(), settled.codec,
                collected, slice, entry, scratch);
      entry += slice.size();
    }
    block(scratch);
  }
  collected.clear();
  return settled;
}

void encode_shard(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro, const fsst::Table& table,
                  const Phrases& phrases, ShardWork& work, ShardOut& out) {
  out.data.clear();
  out.block_starts.clear();
  out.run_starts.clear();
  const fsst::Encoder encoder = table.encoder();
  for (std::uint64_t b = 0; b < keys.size(); b += block)
    collect_block(work.collected, keys.subspan(b, std::min<std::uint64_t>(block, keys.size() - b)), micro, encoder);
  Collected::Settled settled =
      flush_shard(work.collected, table, phrases, work.pairs, work.scratch, [&](const Scratch& s) {
        const std::uint64_t start = out.data.size();
        out.block_starts.push_back(start);
        for (std::uint64_t r : s.run_starts) out.run_starts.push_back(start + r);
        out.data.insert(out.data.end(), s.output.begin(), s.output.end());
      });
  out.codes = std::move(settled.codes);
  out.codec = std::move(settled.codec);
}

Part encode_range(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro,
                  std::span<const fsst::Table> tables, const Phrases& phrases, std::uint64_t shard,
                  std::uint64_t first_block) {
  if (tables.empty()) panic("index out of bounds: a build has at least one table");
  const std::uint64_t c = keys.size();
  const std::uint64_t blocks = ceil_div(c, block);
  Part part;
  part.head_ends.reserve(blocks);
  part.block_starts.reserve(blocks);
  part.run_starts.reserve(blocks * ceil_div(block, micro));
  Collected collected;
  std::vector<paircode::Pair> pairs;
  Scratch scratch;
  const std::uint64_t shard_keys = shard * block;
  const auto take_block = [&](const Scratch& s) {
    const std::uint64_t start = part.block_data.size();
    part.block_starts.push_back(start);
    for (std::uint64_t r : s.run_starts) part.run_starts.push_back(start + r);
    part.block_data.insert(part.block_data.end(), s.output.begin(), s.output.end());
  };
  for (std::uint64_t s = 0, lo = 0; lo < c; ++s, lo += shard_keys) {
    const std::span<const Key> in_shard = keys.subspan(lo, std::min(shard_keys, c - lo));
    const fsst::Table& table = tables[std::min<std::uint64_t>(tables.size() - 1, first_block / shard + s)];
    const fsst::Encoder encoder = table.encoder();
    for (std::uint64_t b = 0; b < in_shard.size(); b += block) {
      const auto block_keys = in_shard.subspan(b, std::min<std::uint64_t>(block, in_shard.size() - b));
      const ByteSpan head = as_span(block_keys[0]);
      part.heads.insert(part.heads.end(), head.begin(), head.end());
      part.head_ends.push_back(part.heads.size());
      collect_block(collected, block_keys, micro, encoder);
    }
    Collected::Settled settled = flush_shard(collected, table, phrases, pairs, scratch, take_block);
    part.codes.push_back(std::move(settled.codes));
    part.codecs.push_back(std::move(settled.codec));
  }
  return part;
}

}  // namespace dict_index
}  // namespace quorvale
