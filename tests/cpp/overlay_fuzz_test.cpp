// Seeded mutation of valid overlay blobs of both formats and every base kind,
// the checksums recomputed in one mode: each is loaded with every base kind's
// loader, trusted and untrusted. A load fails with IndexError or
// LimitExceeded, never otherwise (and never reads outside the bytes, run
// under AddressSanitizer); what loads answers every method, saves again to a
// blob that loads alike, and takes edits. The coverage-guided form is
// fuzz/targets/overlay.cpp. A longer run by hand: OVERLAY_FUZZ_ITERATIONS
// and OVERLAY_FUZZ_SEED.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "harness/reseal.hpp"
#include "mutate.hpp"
#include "overlay_exercise.hpp"

using namespace overlay_exercise;
using quorvale::IndexError;
using quorvale::LimitExceeded;

namespace {

std::size_t loaded = 0;

template <class Kind>
void try_load(const Bytes& b, bool untrusted) {
  std::optional<Overlay> o;
  try {
    o.emplace(load<Kind>(b, untrusted));
  } catch (const IndexError&) {
    return;
  } catch (const LimitExceeded&) {
    return;
  }
  ++loaded;
  const char* failed = exercise<Kind>(std::move(*o), untrusted);
  ASSERT_EQ(failed, nullptr) << failed;
}

void try_all(const Bytes& b) {
  for (bool untrusted : {false, true}) {
    try_load<StringIndex>(b, untrusted);
    try_load<PerfectHashIndex>(b, untrusted);
  }
  try_load<CompactHashIndex>(b, false);
}

TEST(OverlayFuzz, MutatedBlobs) {
  std::vector<Bytes> seeds;
  for (auto& [name, blob] : seed_blobs()) seeds.push_back(std::move(blob));
  for (const Bytes& s : seeds) try_all(s);
  ASSERT_EQ(loaded, 2 * seeds.size() - 4);  // twice (trusted, untrusted) but the four over a compact-hash base
  const char* iterations = std::getenv("OVERLAY_FUZZ_ITERATIONS");
  const char* seed = std::getenv("OVERLAY_FUZZ_SEED");
  const long n = iterations ? std::atol(iterations) : 3000;
  std::mt19937_64 rng(seed ? std::strtoull(seed, nullptr, 10) : 20260426);
  loaded = 0;
  // Besides the bytes, a header field of either format set to a small value.
  const mutation::Shape shape{.edits = 3,
                              .words = {},
                              .insert = 1,
                              .own = {[](Bytes& b, mutation::Rng& rng) {
                                if (b.size() >= 29) b[4 + rng() % 25] = static_cast<unsigned char>(rng() % 4);
                              }}};
  for (long it = 0; it < n; ++it) {
    Bytes b = seeds[rng() % seeds.size()];
    mutation::mutate(b, rng, shape);
    if (rng() % 2) qfuzz::reseal_overlay(b);  // the base's checksums and the overlay's
    SCOPED_TRACE("iteration " + std::to_string(it));
    try_all(b);
    if (HasFatalFailure()) return;
  }
  std::printf("%zu loads of %ld mutated blobs\n", loaded, n);
}

}  // namespace
