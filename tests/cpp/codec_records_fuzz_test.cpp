// Seeded mutation loop over the codec records (symbol tables, pair codes,
// packed alphabets): every mutated record is refused or loads, a loaded one
// writes back to what it was read from, and coding with it round-trips.
// Runs under the sanitizers, which catch any read outside the (exactly sized)
// buffers.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "fsst.hpp"
#include "mutate.hpp"
#include "packed.hpp"
#include "packed_util.hpp"
#include "paircode.hpp"

using namespace quorvale;
using Bytes = std::vector<unsigned char>;

namespace {

// Records are small and hold no wide fields: bytes, small values, cuts and
// single insertions.
Bytes mutate(const Bytes& seed, std::mt19937_64& rng) {
  static const mutation::Shape shape{.words = {}, .insert = 1};
  Bytes b = seed;
  mutation::mutate(b, rng, shape);
  return b;
}

Bytes random_bytes(std::mt19937_64& rng, std::size_t max_len, unsigned alphabet) {
  Bytes s(rng() % (max_len + 1));
  for (auto& c : s) c = static_cast<unsigned char>('a' + rng() % alphabet);
  return s;
}

TEST(CodecRecordsFuzz, SymbolTables) {
  std::mt19937_64 rng(21);
  std::vector<Bytes> seeds;
  for (std::size_t max : {0, 3, 40, 255}) {
    std::vector<Bytes> samples;
    for (int i = 0; i < 200; ++i) samples.push_back(random_bytes(rng, 20, 5));
    std::vector<fsst::Bytes> views(samples.begin(), samples.end());
    Bytes rec;
    fsst::Table::train_to(views, max).write_to(rec);
    seeds.push_back(rec);
  }
  int loaded = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    const Bytes b = mutate(seeds[rng() % seeds.size()], rng);
    auto t = fsst::Table::from_bytes(b);
    if (!t) continue;
    ++loaded;
    Bytes back;
    t->write_to(back);
    ASSERT_EQ(back, b);
    if (iter % 16 != 0) continue;
    const auto enc = t->encoder();
    for (int k = 0; k < 8; ++k) {
      const Bytes s = random_bytes(rng, 30, 6);
      Bytes codes;
      enc.encode(s, codes);
      Bytes out;
      ASSERT_TRUE(t->decode_into(codes, out, UINT64_MAX));
      ASSERT_EQ(out, s);
    }
    // Decoding arbitrary bytes stays inside its buffers.
    Bytes out;
    (void)t->decode_into(b, out, rng() % 40);
  }
  EXPECT_GT(loaded, 2000);  // the mutations reach past the refusals
}

TEST(CodecRecordsFuzz, PairCodes) {
  std::mt19937_64 rng(22);
  std::vector<Bytes> seeds;
  for (int s = 0; s < 6; ++s) {
    std::vector<std::vector<paircode::Pair>> runs(1 + rng() % 6);
    for (auto& r : runs)
      for (std::size_t i = rng() % 12; i > 0; --i) r.push_back({rng() % (s < 3 ? 300 : 70000), rng() % 40});
    std::vector<paircode::Run> views(runs.begin(), runs.end());
    Bytes rec;
    paircode::Code::fields_cost(views)->first.write_to(rec);
    paircode::Code::best_table(views).first.write_to(rec);
    seeds.push_back(rec);
  }
  int loaded = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    const Bytes b = mutate(seeds[rng() % seeds.size()], rng);
    std::span<const unsigned char> rest(b);
    while (auto r = paircode::Code::read(rest)) {
      ++loaded;
      ASSERT_LE(r->rest.size(), rest.size());
      // Written back in shortest form, it reads as the same code.
      Bytes again;
      r->code.write_to(again);
      ASSERT_EQ(again.size(), r->code.record_len());
      auto twice = paircode::Code::read(again);
      ASSERT_TRUE(twice);
      ASSERT_EQ(twice->code, r->code);
      ASSERT_TRUE(twice->rest.empty());
      rest = r->rest;
      if (rest.empty()) break;
    }
  }
  EXPECT_GT(loaded, 2000);
}

TEST(CodecRecordsFuzz, PackedAlphabets) {
  std::mt19937_64 rng(23);
  std::vector<Bytes> seeds;
  for (unsigned distinct : {1u, 2u, 3u, 9u, 20u, 70u, 256u}) {
    std::array<std::uint64_t, 256> h{};
    for (unsigned i = 0; i < distinct; ++i) h[(i * 37) % 256] = 1 + rng() % (i < 4 ? 5000 : 50);
    Bytes rec;
    packed::Alphabet::of(h)->first.write_to(rec);
    seeds.push_back(rec);
  }
  int loaded = 0;
  for (int iter = 0; iter < 20000; ++iter) {
    const Bytes b = mutate(seeds[rng() % seeds.size()], rng);
    auto a = packed::Alphabet::from_bytes(b);
    if (!a) continue;
    ++loaded;
    Bytes back;
    a->write_to(back);
    ASSERT_EQ(back, b);
    // Bytes it codes: any byte with escapes, else only its own.
    Bytes s(rng() % 40);
    for (auto& c : s)
      c = a->secondary.empty() ? a->primary[rng() % a->primary.size()] : static_cast<unsigned char>(rng());
    const packedtest::Packed coded = packedtest::pack(*a, s);
    Bytes out;
    ASSERT_TRUE(a->decode_into(coded.bytes.data(), coded.bytes.size(), 0, coded.codes, out, UINT64_MAX));
    ASSERT_EQ(out, s);
    // Arbitrary codes decode or fail inside the data.
    out.clear();
    (void)a->decode_into(b.data(), b.size(), rng() % 8, rng() % 64, out, UINT64_MAX);
  }
  EXPECT_GT(loaded, 2000);
}

}  // namespace
