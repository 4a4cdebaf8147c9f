// What a build trains before it encodes: per shard a sample of the suffixes
// the front coding will code, one symbol table a shard, and the phrases.
#include "dict_index/dict_index.hpp"
#include "dict_index/room_internal.hpp"

namespace quorvale {
namespace dict_index {

namespace {

// A shard samples one 256-key chunk in `stride`: about 10,000 keys of a full
// shard, every key of a small one or in exact mode.
std::uint64_t stride(std::uint64_t shard_keys, std::uint64_t n, std::uint64_t first, bool exact) {
  if (exact) return 1;
  const std::uint64_t left = n - first;
  const std::uint64_t u = (shard_keys < left ? shard_keys : left) / 10000;
  return u == 0 ? 1 : u;
}

}  // namespace

Pieces build_pieces(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro, bool exact) {
  const std::uint64_t n = keys.size();
  const std::uint64_t K = shard_blocks(block) * block;
  const std::uint64_t shards = ceil_div(ceil_div(n, block), shard_blocks(block));
  Pieces pieces(shards == 0 ? 1 : static_cast<std::size_t>(shards));
  if (n == 0) return pieces;
  Key previous = keys[0], restart = keys[0];
  std::uint64_t u = stride(K, n, 0, exact);
  for (std::uint64_t i = 1; i < n; ++i) {
    const Key key = keys[i];
    const std::uint64_t d = i % block;
    if (d == 0) {
      previous = restart = key;
      if (i % K == 0) u = stride(K, n, i, exact);
      continue;
    }
    const std::uint64_t s = i / K;
    const bool restarts = d % micro == 0;
    if (((i - s * K) / 256) % u == 0) {
      const ByteSpan k = as_span(key);
      const std::size_t x = common_prefix(as_span(restarts ? restart : previous), k);
      pieces[static_cast<std::size_t>(s)].push_back(k.subspan(x));
    }
    previous = key;
    if (restarts) restart = key;
  }
  return pieces;
}

std::vector<fsst::Table> train_shards(const Pieces& pieces, std::size_t threads) {
  const std::size_t z = pieces.size();
  std::vector<fsst::Table> tables(z);
  const std::size_t t = threads == 0 ? 1 : threads;
  // Contiguous groups, so that each worker reads one stretch of the pieces.
  const std::size_t group = z == 0 ? 1 : (z + t - 1) / t;
  const std::size_t groups = (z + group - 1) / group;
  claim_on_workers(groups, z == 1 ? 1 : t, "training a symbol table cannot panic", [&](std::size_t g) {
    for (std::size_t s = g * group; s < z && s < (g + 1) * group; ++s)
      tables[s] = fsst::Table::train_to(pieces[s], fsst::MAX_SYMBOLS);
  });
  return tables;
}

Phrases mine_phrases(const Pieces&, std::span<const fsst::Table>, std::uint64_t, std::size_t) {
  return Phrases::none();
}

}  // namespace dict_index
}  // namespace quorvale
