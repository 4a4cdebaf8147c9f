// The minimal perfect hash images "MPH3", "MPH2" and "MPH1" (Mphf::from_bytes).
//
// What loads must answer every hash with an id below n (the loader's checks
// promise it), answer a batch as it answers each hash, write itself back in
// byte_len bytes (the same bytes for "MPH3" and "MPH1", which are written as
// they are read) and reload from that to the same answers. A load and its
// first query (a refusal too) stay within the memory line (memory_line.hpp).
#include <cstring>

#include "mphf.hpp"
#include "mphf_fixtures.hpp"
#include "fuzz.hpp"
#include "memory_line.hpp"
#include "reseal.hpp"

using namespace quorvale;
using namespace qfuzz;

namespace {

const std::vector<std::uint64_t>& probes() {
  static const std::vector<std::uint64_t> p = [] {
    std::vector<std::uint64_t> h;
    for (std::uint64_t i = 0; i < 512; ++i) h.push_back(splitmix64(i));
    for (std::uint64_t x : {std::uint64_t{0}, std::uint64_t{1}, ~std::uint64_t{0}, PHI}) h.push_back(x);
    return h;
  }();
  return p;
}

bool magic(std::span<const unsigned char> b, const char* m) { return b.size() >= 4 && std::memcmp(b.data(), m, 4) == 0; }

void exercise(const Mphf& m, std::span<const unsigned char> image) {
  const std::uint64_t n = m.n();
  const auto& hs = probes();
  std::vector<std::uint64_t> ids(hs.size());
  for (std::size_t i = 0; i < hs.size(); ++i) {
    ids[i] = m.index(hs[i]);
    QFUZZ_CHECK(n == 0 ? ids[i] == 0 : ids[i] < n);
  }
  QFUZZ_CHECK(m.index_all(hs) == ids);

  const std::vector<unsigned char> out = m.to_bytes();
  QFUZZ_CHECK(out.size() == m.byte_len());
  std::vector<unsigned char> streamed;
  VecWriter w(streamed);
  m.write_into(w);
  QFUZZ_CHECK(streamed == out);
  if (magic(image, "MPH3") || magic(image, "MPH1")) QFUZZ_CHECK(std::equal(out.begin(), out.end(), image.begin(), image.end()));

  const Mphf again = Mphf::from_bytes(out);  // its own output must load
  QFUZZ_CHECK(again.n() == n);
  for (std::size_t i = 0; i < hs.size(); ++i) QFUZZ_CHECK(again.index(hs[i]) == ids[i]);
  QFUZZ_CHECK(again.to_bytes() == out);
}

}  // namespace

void qfuzz::run(Input& in) {
  if (in.reseal()) reseal_mph(in.bytes);
  const MemoryLine line(in.bytes.size());
  std::optional<Mphf> m;
  try {
    m.emplace(Mphf::from_bytes(in.view()));
  } catch (const IndexError& e) {
    QFUZZ_CHECK(e.kind() == IndexError::Kind::Format);
    refused("mph", e.message());
    line.check("a refused load");
    return;
  }
  QFUZZ_CHECK(m->n() == 0 ? m->index(probes()[0]) == 0 : m->index(probes()[0]) < m->n());
  line.check("a load and its first query");
  note(m->v1() ? "loaded MPH1" : magic(in.bytes, "MPH2") ? "loaded MPH2" : "loaded MPH3");
  exercise(*m, in.bytes);
}

void qfuzz::seeds(Seeds& out) {
  namespace fx = mphf_fixtures;
  // Built by the library: empty, tiny, and a few thousand keys.
  for (std::size_t n : {0, 1, 2, 100, 3000}) {
    std::vector<std::uint64_t> hashes;
    for (std::size_t i = 0; i < n; ++i) hashes.push_back(splitmix64(0xf022 + i));
    out.add("built-" + std::to_string(n), Mphf::build_with_threads(hashes, 1).to_bytes());
  }
  // Synthetic tables of every shape: with and without a tail, geometry 0.
  for (int shape = 0; shape < 3; ++shape) {
    fx::Synthetic s;
    s.buckets0 = 200;
    s.tail = shape != 1;
    s.geometry = shape != 2;
    out.add("synthetic-" + std::to_string(shape), Mphf(fx::synthetic(s)).to_bytes());
  }
  // The reference layouts, the older forms included.
  out.add("ref-full", fx::image(fx::FULL_MPH3));
  out.add("ref-notail", fx::image(fx::NOTAIL_MPH3));
  out.add("ref-tailonly", fx::image(fx::TAILONLY_MPH3));
  out.add("ref-geom0", fx::image(fx::GEOM0_MPH3));
  out.add("ref-mph2", fx::image(fx::MPH2_IMAGE));
  out.add("ref-mph2-late", fx::image(fx::MPH2_LATE_IMAGE));
  // An older image whose bitmap holds 32,768 further slots, all but the
  // first free.
  Bytes wide = fx::mph2_wide(32768);
  reseal_mph(wide);
  out.add("mph2-wide-bitmap", wide);
  out.add("ref-mph1", fx::image(fx::MPH1_IMAGE));
  out.add("ref-mph1-noskew", fx::image(fx::MPH1_NOSKEW_IMAGE));
  out.add("ref-empty-mph1", fx::image(fx::EMPTY_MPH1));
  out.add("ref-empty-geom0", fx::image(fx::EMPTY_MPH3_GEOM0));
  // One left unsealed, for the checksum check itself.
  out.add("raw-full", fx::image(fx::FULL_MPH3), 0);
}
