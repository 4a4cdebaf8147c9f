// What a build trains before it encodes: per shard a sample of the suffixes
// the front coding will code, one symbol table a shard, and the phrases.
#include <algorithm>
#include <string>

#include "dict_index/layout.hpp"
#include "dict_index/build_internal.hpp"

namespace quorvale {
namespace dict_index {

std::uint64_t sample_stride(std::uint64_t shard_keys, std::uint64_t n, std::uint64_t first, bool exact) noexcept {
  if (exact) return 1;
  const std::uint64_t left = n - first;
  const std::uint64_t u = (shard_keys < left ? shard_keys : left) / 10000;
  return u == 0 ? 1 : u;
}

Pieces build_pieces(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro, bool exact) {
  return pieces_of(keys.size(), [keys](std::uint64_t i) { return keys[i]; }, block, micro, exact);
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

Phrases mine_phrases(const Pieces& pieces, std::span<const fsst::Table> tables, std::uint64_t n,
                     std::size_t threads) {
  if (n < kMineFrom || phrase::packed_only(pieces, tables)) return Phrases::none();
  const std::uint64_t budget = std::min<std::uint64_t>(std::max<std::uint64_t>(n / 8, 4096), phrase::kMaxPhrases);
  const std::vector<std::string> list =
      phrase::mine(pieces, tables, n, static_cast<std::size_t>(budget), threads == 0 ? 1 : threads);
  return Phrases{phrase::Dict::of(list), phrase::Trie::of(list)};
}

phrase::Dict kept_phrases(std::span<const Codec> codecs, const Phrases& phrases) {
  const bool tiered = std::any_of(codecs.begin(), codecs.end(),
                                  [](const Codec& c) { return std::holds_alternative<Codec::Tiered>(c.v); });
  return tiered ? phrases.dict.clone() : phrase::Dict();
}

}  // namespace dict_index
}  // namespace quorvale
