// The in-memory build: validates the block size, orders the keys without
// repeats, offers them to the character code, trains the tables, encodes
// whole shards on workers and appends them in shard order into the index.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <utility>

#include "dict_index/layout.hpp"
#include "dict_index/build_internal.hpp"
#include "huge_pages.hpp"
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

// Gives the pages of a build's own key views back to the system as the
// encoding is done with them, so that the views and the block data do not
// peak together; their views are never read again.
class ReleasedViews {
 public:
  explicit ReleasedViews(std::span<const Key> keys) : pages_(keys.data(), keys.size_bytes()) {}
  void operator()(std::uint64_t done) { pages_(done * sizeof(Key)); }

 private:
  ReleasedPages pages_;
};

}  // namespace

Layout Layout::build_with_block(std::vector<Key> keys, std::uint64_t block) {
  check_block(block);
  if (!dedup_ascending(keys)) sort_distinct(keys);
  const std::uint64_t micro = micro_for(block);
  const std::uint64_t n = keys.size();
  if (auto code = choose_code(keys, build_threads(n, block)))
    return from_coded(std::move(keys), block, micro, std::move(*code));
  // The views are this build's own: their pages go as the shards are written.
  ReleasedViews release(keys);
  return from_sorted_as(keys, block, micro, build_threads(n, block), n, std::ref(release));
}

Layout Layout::build_with_block(std::span<const std::string> keys, std::uint64_t block) {
  check_block(block);
  std::vector<Key> views(keys.begin(), keys.end());
  return build_with_block(std::move(views), block);
}

Layout Layout::from_sorted_as(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro,
                                    std::size_t threads, std::uint64_t total, const KeysDone& done) {
  const std::size_t t = std::min<std::size_t>(threads, 21);
  std::vector<fsst::Table> tables;
  Phrases phrases;
  {
    const Pieces pieces = build_pieces(keys, block, micro, total != keys.size());
    tables = train_shards(pieces, t);
    phrases = mine_phrases(pieces, tables, total, t);
  }
  return from_vocabulary(keys, block, micro, threads, tables, phrases, done);
}

// Every shard is encoded on a worker and appended, in shard order, to one
// block data table that grows without copying; the shards waiting to be
// appended are few, so the build holds about the blob beside the keys.
Layout Layout::from_vocabulary(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro,
                                     std::size_t threads, std::span<const fsst::Table> tables,
                                     const Phrases& phrases, const KeysDone& done) {
  if (tables.empty()) panic("index out of bounds: a build has at least one table");
  const std::uint64_t n = keys.size();
  const std::uint64_t shard = shard_blocks(block);
  const Shape shape = Shape::of(n, block, micro, shard);
  const std::uint64_t y = shape.blocks;
  const std::uint64_t K = shard * block;
  const std::uint64_t shards = ceil_div(n, K);

  // The heads, before any view may go.
  std::uint64_t head_bytes = 0;
  for (std::uint64_t b = 0; b < y; ++b) head_bytes += keys[b * block].size();
  Pages<unsigned char> heads = Pages<unsigned char>::allocate(static_cast<std::size_t>(head_bytes));
  std::vector<std::uint64_t> head_ends;
  head_ends.reserve(static_cast<std::size_t>(y));
  std::uint64_t at = 0;
  for (std::uint64_t b = 0; b < y; ++b) {
    const ByteSpan head = as_span(keys[b * block]);
    if (!head.empty()) std::memcpy(heads.data() + at, head.data(), head.size());
    at += head.size();
    head_ends.push_back(at);
  }

  GrowingPages<unsigned char> data;
  std::uint64_t data_len = 0;
  std::vector<std::uint64_t> block_starts, run_starts;
  block_starts.reserve(static_cast<std::size_t>(y));
  run_starts.reserve(static_cast<std::size_t>(y * shape.J));
  std::vector<CodePair> codes;
  std::vector<Codec> codecs;
  codes.reserve(static_cast<std::size_t>(std::max<std::uint64_t>(shards, 1)));
  codecs.reserve(static_cast<std::size_t>(std::max<std::uint64_t>(shards, 1)));
  const std::size_t workers =
      static_cast<std::size_t>(std::clamp<std::uint64_t>(threads, 1, std::max<std::uint64_t>(shards, 1)));
  std::vector<ShardWork> work(workers);
  std::vector<ShardOut> outs(ordered_window(workers));
  encode_in_order(
      static_cast<std::size_t>(shards), workers,
      [&](std::size_t s, std::size_t worker, std::size_t slot) {
        const std::uint64_t lo = s * K;
        encode_shard(keys.subspan(lo, std::min(K, n - lo)), block, micro,
                     tables[std::min<std::size_t>(tables.size() - 1, s)], phrases, work[worker], outs[slot]);
      },
      [&](std::size_t s, std::size_t slot) {
        ShardOut& out = outs[slot];
        for (std::uint64_t b : out.block_starts) block_starts.push_back(data_len + b);
        for (std::uint64_t r : out.run_starts) run_starts.push_back(data_len + r);
        if (data_len + out.data.size() > data.size())
          data.grow(std::max<std::size_t>({data_len + out.data.size(), 2 * data.size(), std::size_t{1} << 20}));
        if (!out.data.empty()) std::memcpy(data.data() + data_len, out.data.data(), out.data.size());
        data_len += out.data.size();
        codes.push_back(std::move(out.codes));
        codecs.push_back(std::move(out.codec));
        if (done) done(std::min(n, (s + 1) * K));
      });
  work = {};
  outs = {};

  if (codecs.empty()) {
    codes.emplace_back();
    std::get<Codec::Symbols>(codecs.emplace_back().v).table = tables[0];  // the first alternative
  }

  Layout d;
  d.n = n;
  d.block = block;
  d.micro = micro;
  d.J = shape.J;
  d.shard = shard;
  d.phrases = kept_phrases(codecs, phrases);
  d.heads = blob::SharedBytes::from_pages(std::move(heads));
  d.head_ends = packed_offsets(head_ends);
  d.block_offsets = packed_offsets(block_starts);
  d.block_data = blob::SharedBytes::from_growing(std::move(data), static_cast<std::size_t>(data_len));
  d.micro_offsets = dict_index::micro_offsets(run_starts, block_starts, shape.J);
  d.codecs = std::move(codecs);
  d.codes = std::move(codes);
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
