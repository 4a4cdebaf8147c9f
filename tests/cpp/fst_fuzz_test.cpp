// Seeded mutation of valid FSTs: the decoder, lookups and streams either work
// or throw the engine's errors; never a crash, an out-of-bounds read (run
// under AddressSanitizer) or a hang.
#include <gtest/gtest.h>

#include "fst/automaton.hpp"
#include "fst/crc32c.hpp"
#include "fst/levenshtein.hpp"
#include "fst/stream.hpp"
#include "fst_test_util.hpp"
#include "mutate.hpp"

using namespace fsttest;

namespace {

// A malformed FST can spell exponentially many keys; cap each walk.
constexpr int kMaxItems = 2000;

template <class A>
void walk(const fst::Fst& f, fst::Range r, A a) {
  fst::Stream<A> s(f, std::move(r), std::move(a));
  for (int i = 0; i < kMaxItems && s.next(); ++i) {
  }
}

void exercise(const Bytes& bytes, const std::vector<std::string>& probes, const fst::Levenshtein& lev) {
  // An exact-size heap copy, so that any read past the end is caught.
  auto owned = std::make_shared<Bytes>(bytes);
  fst::Fst f;
  try {
    f = fst::Fst::open(owned, *owned);
  } catch (const fst::Error&) {
    return;
  }
  try {
    f.verify();
  } catch (const fst::Error&) {
  }
  for (const std::string& p : probes) {
    try {
      (void)f.get(p);
    } catch (const fst::Corrupt&) {
    }
  }
  auto guarded = [](auto&& fn) {
    try {
      fn();
    } catch (const fst::Corrupt&) {
    }
  };
  guarded([&] { walk(f, {}, fst::AlwaysMatch{}); });
  guarded([&] { walk(f, fst::Range().ge(probes[1]).lt(probes[2]), fst::AlwaysMatch{}); });
  guarded([&] { walk(f, fst::Range().gt(probes[3]), fst::StartsWith(probes[3].substr(0, 2))); });
  guarded([&] { walk(f, {}, lev); });
}

TEST(FstFuzz, MutatedFstsNeverCrash) {
  std::vector<Bytes> seeds;
  for (std::uint64_t seed : {1, 2, 3}) {
    const auto keys = random_keys(seed == 1 ? 40 : 400, seed, seed != 2);
    seeds.push_back(build(keys, ranks(keys.size())));
  }
  {
    // Wide nodes: with the transition index, and the count byte.
    std::vector<std::string> keys;
    for (int a = 1; a < 256; a += 3)
      for (int b = 0; b < 256; b += 97) keys.push_back(std::string{static_cast<char>(a), static_cast<char>(b)});
    std::sort(keys.begin(), keys.end());
    seeds.push_back(build(keys, ranks(keys.size())));
  }
  const std::vector<std::string> probes{"", "a", "b\xc3\xa9", "ab", "\x01\x61", "pppp", "\xff"};
  const fst::Levenshtein lev("abé", 1);

  // Besides the bytes (nearly all of them nodes), an FST's own edits: cut
  // short with a footer naming a root inside what is left, the root pointed
  // anywhere, another version's layout.
  const mutation::Shape shape{
      .own = {[](Bytes& b, mutation::Rng& rng) {
                if (b.size() < 37) return;
                b.resize(16 + rng() % (b.size() - 36));
                const std::uint64_t root = 16 + rng() % (b.size() - 15);
                for (int i = 0; i < 8; ++i) b.push_back(static_cast<unsigned char>(i == 0 ? rng() : 0));
                for (int i = 0; i < 8; ++i) b.push_back(static_cast<unsigned char>(root >> (8 * i)));
                for (int i = 0; i < 4; ++i) b.push_back(0);
              },
              [](Bytes& b, mutation::Rng& rng) {
                if (b.size() < 12) return;
                const std::uint64_t root = rng() % (b.size() + 4);
                for (int i = 0; i < 8; ++i) b[b.size() - 12 + i] = static_cast<unsigned char>(root >> (8 * i));
              },
              [](Bytes& b, mutation::Rng& rng) {
                if (!b.empty()) b[0] = static_cast<unsigned char>(1 + rng() % 3);
              }}};
  std::mt19937_64 rng(20261210);
  for (int iter = 0; iter < 4000; ++iter) {
    Bytes b = seeds[rng() % seeds.size()];
    mutation::mutate(b, rng, shape);
    exercise(b, probes, lev);
  }
}

}  // namespace
