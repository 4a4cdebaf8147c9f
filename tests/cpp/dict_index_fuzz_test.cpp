// Seeded mutation of valid dictionary blobs: every input is refused with one
// of the loader's messages or loads, and then decoding, iteration, searches,
// the byte split and writing back never crash, hang or read outside the blob
// or a query (run under AddressSanitizer). A longer run by hand:
// DICT_FUZZ_ITERATIONS and DICT_FUZZ_SEED in the environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "dict_index/layout.hpp"
#include "dict_build_util.hpp"
#include "dict_exercise.hpp"
#include "dict_fixtures.hpp"
#include "harness/reseal.hpp"
#include "mutate.hpp"

namespace {

TEST(DictIndexFuzz, MutatedBlobsAreRefusedOrReadSafely) {
  std::vector<dictfix::Bytes> seeds{dictfix::empty_index(), dictfix::key_a_index()};
  for (const auto& f : dictfix::fixtures()) seeds.push_back(dictfix::write(f.layout).blob);
  // Blobs of the build: its codec and code choices, a character code.
  for (const auto& keys : {buildfix::paths(400, 71), buildfix::cyrillic(300, 72), buildfix::urls(300, 73)})
    seeds.push_back(buildfix::blob_of(quorvale::dict_index::Layout::build_with_block(std::span<const std::string>(keys), 32)));
  for (const auto& s : seeds) dictfix::exercise(s);

  const char* iterations = std::getenv("DICT_FUZZ_ITERATIONS");
  const char* seed = std::getenv("DICT_FUZZ_SEED");
  const long long rounds = iterations ? std::atoll(iterations) : 20000;
  std::mt19937_64 rng(seed ? std::strtoull(seed, nullptr, 10) : 20261214);
  // Damage anywhere, mostly among the runs; the dictionary's own edits hit
  // the header's fields, one byte or one field set to an edge value.
  const mutation::Shape shape{
      .own = {[](dictfix::Bytes& b, mutation::Rng& rng) {
                if (b.size() >= 72) b[4 + rng() % 64] ^= static_cast<unsigned char>(1u << (rng() % 8));
              },
              [](dictfix::Bytes& b, mutation::Rng& rng) {
                if (b.size() < 72) return;
                static const unsigned fields[] = {4, 12, 16, 24, 32, 44, 45, 46, 47, 48, 50, 52, 56, 58, 62};
                static const std::uint64_t edge[] = {0,   1,    2,    7,     8,          31,         32,        56,
                                                     57,  255,  1024, 1025,  65535,      UINT32_MAX, UINT64_MAX};
                const unsigned f = fields[rng() % std::size(fields)];
                const std::uint64_t v = edge[rng() % std::size(edge)];
                const unsigned width = (f == 4 || f == 16 || f == 24) ? 8
                                       : (f >= 44 && f <= 47)         ? 1
                                       : (f == 48 || f == 50 || f == 56) ? 2 : 4;
                for (unsigned i = 0; i < width; ++i) b[f + i] = static_cast<unsigned char>(v >> (8 * i));
              }}};
  for (long long iter = 0; iter < rounds; ++iter) {
    dictfix::Bytes b = seeds[rng() % seeds.size()];
    mutation::mutate(b, rng, shape);
    const bool resealed = rng() % 6 != 0;
    if (resealed) qfuzz::reseal_dict(b);  // both checksums, so the damage reaches past them
    ASSERT_NO_THROW(dictfix::exercise(b)) << "iteration " << iter << (resealed ? " resealed" : "");
  }
}

}  // namespace

TEST(DictIndexFuzz, CraftedOffsetsStayInside) {
  // A blob loaded without verification carries its head ends, block offsets
  // and micro offsets unchecked: overwritten with all ones, a descending
  // pattern or noise, every decode and search stays inside the blob.
  std::mt19937_64 rng(77);
  for (const auto& f : dictfix::fixtures()) {
    SCOPED_TRACE(f.name);
    const dictfix::Written w = dictfix::write(f.layout);
    const std::uint64_t heads_len = quorvale::load_le64(w.blob.data() + 16);
    const std::pair<std::size_t, std::size_t> regions[] = {
        {w.heads_at + heads_len, w.block_data_at},
        {w.block_offsets_at, w.micro_at},
        {w.micro_at, w.chars_at},
    };
    for (const auto& [from, to] : regions) {
      for (int pattern = 0; pattern < 3; ++pattern) {
        dictfix::Bytes b = w.blob;
        for (std::size_t i = from; i < to; ++i)
          b[i] = pattern == 0 ? 0xff : pattern == 1 ? static_cast<unsigned char>(255 - (i - from) * 7) : static_cast<unsigned char>(rng());
        qfuzz::reseal_dict(b);
        ASSERT_NO_THROW(dictfix::exercise(b));
      }
    }
  }
}
