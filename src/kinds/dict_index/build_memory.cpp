// The in-memory build: validates the block size, orders the keys without
// repeats, offers them to the character code, trains the tables, encodes
// parts of whole shards on workers and joins the parts into an index.
#include <algorithm>
#include <cmath>
#include <utility>

#include "dict_index/layout.hpp"
#include "dict_index/build_internal.hpp"
#include "string_sort.hpp"

namespace quorvale {

using dict_index::Layout;
namespace dict_index {

namespace {

unsigned bit_length(std::uint64_t v) noexcept { return v == 0 ? 0 : 64 - static_cast<unsigned>(__builtin_clzll(v)); }

std::uint64_t isqrt(std::uint64_t v) noexcept {
  constexpr std::uint64_t MAX = 0xFFFFFFFF;
  std::uint64_t s = std::min<std::uint64_t>(MAX, static_cast<std::uint64_t>(std::sqrt(static_cast<double>(v))));
  while (s * s > v) --s;
  while (s < MAX && (s + 1) * (s + 1) <= v) ++s;
  return s;
}

}  // namespace

void check_block(std::uint64_t block) {
  if (block - 1 >= MAX_BLOCK) throw IndexError::format(MSG_BLOCK_RANGE);
}

std::uint64_t micro_for(std::uint64_t block) noexcept {
  const std::uint64_t s = isqrt(block);
  if (s < 32)
    for (std::uint64_t i = std::max<std::uint64_t>(s, 16); i <= 31; ++i)
      if (block % i == 0) return i;
  for (std::uint64_t d = 32; d >= 3; --d)
    if (block % d == 0) return d;
  return block % 2 == 0 ? 2 : block;
}

PartCut cut_parts(std::uint64_t n, std::uint64_t block, std::size_t threads) noexcept {
  const std::uint64_t shard = shard_blocks(block);
  const std::uint64_t share = ceil_div(ceil_div(n, block), threads == 0 ? 1 : threads);
  PartCut cut;
  cut.kpp = std::max<std::uint64_t>(1, block * shard * ceil_div(share, shard));
  cut.parts = ceil_div(n, cut.kpp);
  return cut;
}

bool dedup_ascending(std::vector<Key>& keys) {
  if (keys.empty()) return true;
  std::size_t w = 0;
  for (std::size_t r = 1; r < keys.size(); ++r) {
    const int order = keys[r].compare(keys[w]);
    if (order == 0) continue;
    if (order < 0) return false;
    std::swap(keys[++w], keys[r]);
  }
  keys.resize(w + 1);
  return true;
}

Offsets packed_offsets(std::span<const std::uint64_t> values) {
  std::uint64_t widest = 0;
  for (std::size_t lo = 0; lo < values.size(); lo += 64) {
    const std::size_t last = std::min(values.size(), lo + 64) - 1;
    widest = std::max(widest, values[last] - values[lo]);
  }
  const unsigned width = bit_length(widest);
  offsets::Sampled packed = offsets::pack(values, width);
  Offsets o;
  o.samples = blob::SharedBytes::from_owned(std::move(packed.samples));
  o.bits = blob::SharedBytes::from_owned(std::move(packed.packed));
  o.width = width;
  o.shift = offsets::SAMPLE_SHIFT;
  return o;
}

Packed micro_offsets(std::span<const std::uint64_t> run_starts, std::span<const std::uint64_t> block_starts,
                     std::uint64_t J) {
  Packed p;
  if (J <= 1) return p;
  // Run starts become block-relative: start i belongs to block i / J.
  std::vector<std::uint64_t> relative(run_starts.size());
  std::uint64_t widest = 0;
  for (std::size_t i = 0; i < relative.size(); ++i) {
    relative[i] = run_starts[i] - block_starts[i / J];
    widest = std::max(widest, relative[i]);
  }
  p.width = bit_length(widest);
  p.bits = blob::SharedBytes::from_owned(offsets::packed_pack(relative, p.width));
  return p;
}

}  // namespace dict_index

using namespace dict_index;

namespace {

// The parts joined in part order: offsets rebased by the earlier parts'
// lengths, every array allocated once (the heads and block data in the
// buffers the index keeps).
struct Joined {
  Pages<unsigned char> heads, block_data;
  std::vector<std::uint64_t> head_ends, block_starts, run_starts;
  std::vector<CodePair> codes;
  std::vector<Codec> codecs;
};

Joined join(std::vector<Part>& parts) {
  Joined j;
  std::size_t heads = 0, data = 0, blocks = 0, runs = 0, shards = 0;
  for (const Part& p : parts) {
    heads += p.heads.size();
    data += p.block_data.size();
    blocks += p.head_ends.size();
    runs += p.run_starts.size();
    shards += p.codecs.size();
  }
  j.heads = Pages<unsigned char>::allocate(heads);
  j.block_data = Pages<unsigned char>::allocate(data);
  j.head_ends.reserve(blocks);
  j.block_starts.reserve(blocks);
  j.run_starts.reserve(runs);
  j.codes.reserve(std::max<std::size_t>(shards, 1));
  j.codecs.reserve(std::max<std::size_t>(shards, 1));
  std::uint64_t head_base = 0, data_base = 0;
  for (Part& p : parts) {
    for (std::uint64_t e : p.head_ends) j.head_ends.push_back(e + head_base);
    for (std::uint64_t s : p.block_starts) j.block_starts.push_back(s + data_base);
    for (std::uint64_t s : p.run_starts) j.run_starts.push_back(s + data_base);
    std::copy(p.heads.begin(), p.heads.end(), j.heads.data() + head_base);
    std::copy(p.block_data.begin(), p.block_data.end(), j.block_data.data() + data_base);
    head_base += p.heads.size();
    data_base += p.block_data.size();
    for (CodePair& c : p.codes) j.codes.push_back(std::move(c));
    for (Codec& c : p.codecs) j.codecs.push_back(std::move(c));
    p = Part{};
  }
  return j;
}

}  // namespace

Layout Layout::build_with_block(std::vector<Key> keys, std::uint64_t block) {
  check_block(block);
  if (!dedup_ascending(keys)) sort_distinct(keys);
  const std::uint64_t micro = micro_for(block);
  const std::uint64_t n = keys.size();
  if (auto code = choose_code(keys, build_threads(n, block)))
    return from_coded(std::move(keys), block, micro, std::move(*code));
  return from_sorted_as(keys, block, micro, build_threads(n, block), n);
}

Layout Layout::build_with_block(std::span<const std::string> keys, std::uint64_t block) {
  check_block(block);
  std::vector<Key> views(keys.begin(), keys.end());
  return build_with_block(std::move(views), block);
}

Layout Layout::from_sorted_as(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro,
                                    std::size_t threads, std::uint64_t total) {
  const std::size_t t = std::min<std::size_t>(threads, 21);
  std::vector<fsst::Table> tables;
  Phrases phrases;
  {
    const Pieces pieces = build_pieces(keys, block, micro, total != keys.size());
    tables = train_shards(pieces, t);
    phrases = mine_phrases(pieces, tables, total, t);
  }
  return from_vocabulary(keys, block, micro, threads, tables, phrases);
}

Layout Layout::from_vocabulary(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro,
                                     std::size_t threads, std::span<const fsst::Table> tables,
                                     const Phrases& phrases) {
  const std::uint64_t n = keys.size();
  const Shape shape = Shape::of(n, block, micro, shard_blocks(block));
  const std::uint64_t shard = shard_blocks(block);
  const std::uint64_t y = shape.blocks;
  const PartCut cut = cut_parts(n, block, threads);

  std::vector<Part> parts(static_cast<std::size_t>(cut.parts));
  claim_on_workers(parts.size(), threads, "encoding a range of blocks cannot panic", [&](std::size_t p) {
    const std::uint64_t lo = p * cut.kpp;
    parts[p] = encode_range(keys.subspan(lo, std::min(cut.kpp, n - lo)), block, micro, tables, phrases, shard,
                            lo / block);
  });
  Joined j = join(parts);
  parts = {};

  if (j.codecs.empty()) {
    if (tables.empty()) panic("index out of bounds: a build has at least one table");
    j.codes.push_back(CodePair{});
    j.codecs.push_back(Codec{Codec::Symbols{tables[0]}});
  }

  Layout d;
  d.n = n;
  d.block = block;
  d.micro = micro;
  d.J = shape.J;
  d.shard = shard;
  d.phrases = kept_phrases(j.codecs, phrases);
  d.heads = blob::SharedBytes::from_pages(std::move(j.heads));
  d.head_ends = packed_offsets(j.head_ends);
  d.block_offsets = packed_offsets(j.block_starts);
  d.block_data = blob::SharedBytes::from_pages(std::move(j.block_data));
  d.micro_offsets = dict_index::micro_offsets(j.run_starts, j.block_starts, shape.J);
  d.codecs = std::move(j.codecs);
  d.codes = std::move(j.codes);
  d.head_prefix = y == 0 ? 0 : common_head(d.heads.bytes(), d.head_ends, y);
  d.derived = std::make_unique<Derived>(y);
  return d;
}

namespace dict_index {

std::shared_ptr<const Vocabulary> train_vocabulary(std::span<const Key> keys, std::uint64_t block,
                                                   std::uint64_t micro, std::uint64_t total, std::size_t threads) {
  auto v = std::make_shared<Vocabulary>();
  const Pieces pieces = build_pieces(keys, block, micro, true);
  v->tables = train_shards(pieces, threads);
  v->phrases = mine_phrases(pieces, v->tables, total, threads);
  return v;
}

DictIndex build_with_vocabulary(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro,
                                std::size_t threads, const Vocabulary& vocabulary) {
  return DictIndex(Layout::from_vocabulary(keys, block, micro, threads, vocabulary.tables, vocabulary.phrases));
}

DictIndex build_with_phrases(std::span<const Key> keys, std::uint64_t block, const Vocabulary& vocabulary) {
  check_block(block);
  const std::uint64_t micro = micro_for(block);
  const std::size_t threads = build_threads(keys.size(), block);
  std::vector<fsst::Table> tables =
      train_shards(build_pieces(keys, block, micro, false), std::min<std::size_t>(threads, 21));
  return DictIndex(Layout::from_vocabulary(keys, block, micro, threads, tables, vocabulary.phrases));
}

}  // namespace dict_index

}  // namespace quorvale
