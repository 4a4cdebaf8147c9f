// The perfect-hash blob "BMP8" (PerfectHashIndex::from_shared), with and
// without verifying the payload checksum.
//
// The two levels differ only by that check: the verified one loads only what
// the other loads, and refuses with the other's message or the checksum's.
// What loads must answer single and batched lookups alike, confirm every id
// it gives by the key's bytes, write itself in serialized_len bytes (its
// image in the bytes it was read from, for "MPH3" and "MPH1") and reload
// from its own bytes to the same answers. Both loads and their first
// queries (or the refusals) stay within the memory line (memory_line.hpp).
#include <cstring>

#include "colliding_keys.hpp"
#include "mphf_fixtures.hpp"
#include "perfect_hash.hpp"
#include "fuzz.hpp"
#include "memory_line.hpp"
#include "reseal.hpp"

using namespace quorvale;
using namespace qfuzz;

namespace {

struct Answers {
  std::vector<std::optional<std::uint32_t>> ids;  // of each probe key
  std::vector<std::optional<std::string>> keys;   // of each probe id
  bool operator==(const Answers&) const = default;
};

struct Probes {
  std::vector<std::string> keys;
  std::vector<std::uint32_t> ids;
};

// Ids across the whole range, the last ones and a few past the end; the keys
// found there, and near misses of them.
Probes probes_for(const PerfectHashIndex& idx) {
  Probes p;
  const std::uint64_t n = idx.len();
  for (std::uint64_t i = 0; i < 24; ++i) p.ids.push_back(static_cast<std::uint32_t>(i * n / 24));
  for (std::uint64_t back = 1; back <= 3; ++back)
    if (n >= back) p.ids.push_back(static_cast<std::uint32_t>(n - back));
  p.ids.push_back(static_cast<std::uint32_t>(n));
  p.ids.push_back(UINT32_MAX);
  p.keys = {"", "a", "zz", "\xc3\xa9t\xc3\xa9"};
  for (std::uint32_t id : p.ids) {
    if (auto k = idx.key(id)) {
      p.keys.emplace_back(*k);
      p.keys.push_back(std::string(*k) + "\x01");
      if (!k->empty()) p.keys.emplace_back(k->substr(0, k->size() - 1));
    }
  }
  for (const auto& e : idx.side()) {  // the keys of the side table, when they read
    if (auto k = idx.key(e.id)) p.keys.emplace_back(*k);
    if (p.keys.size() > 200) break;
  }
  return p;
}

Answers answer(const PerfectHashIndex& idx, const Probes& p) {
  Answers a;
  for (const std::string& k : p.keys) {
    const auto id = idx.id_with_side(k);
    QFUZZ_CHECK(idx.contains(k) == id.has_value());
    QFUZZ_CHECK(idx.base_id(k) == (id ? std::optional<std::uint64_t>(*id) : std::nullopt));
    if (id) QFUZZ_CHECK(*id < idx.len() && idx.arena().entry(*id) == std::string_view(k));
    (void)idx.id_unchecked(k);
    a.ids.push_back(id);
  }
  std::vector<std::string_view> views(p.keys.begin(), p.keys.end());
  QFUZZ_CHECK(idx.ids_of(views) == a.ids);
  for (std::uint32_t id : p.ids) {
    const auto k = idx.key(id);
    if (id >= idx.len()) QFUZZ_CHECK(!k);
    a.keys.push_back(k ? std::optional<std::string>(std::string(*k)) : std::nullopt);
  }
  return a;
}

std::optional<PerfectHashIndex> load(std::span<const unsigned char> bytes, bool verify, std::string& message) {
  try {
    return PerfectHashIndex::from_shared(blob::SharedBytes::from_owned(bytes), verify);
  } catch (const IndexError& e) {
    QFUZZ_CHECK(e.kind() == IndexError::Kind::Format);
    message = e.message();
    refused(verify ? "verified" : "unverified", e.message());
    return std::nullopt;
  }
}

void exercise(const PerfectHashIndex& idx, std::span<const unsigned char> blob, const Answers& expected,
              const Probes& probes) {
  QFUZZ_CHECK(idx.is_empty() == (idx.len() == 0));
  QFUZZ_CHECK((idx.mphf() == nullptr) == idx.is_empty());
  const std::vector<unsigned char> out = idx.to_bytes();
  QFUZZ_CHECK(out.size() == idx.serialized_len());
  if (const Mphf* m = idx.mphf()) {
    const auto image = blob.subspan(36, static_cast<std::size_t>(load_le64(blob.data() + 12)));
    if (std::memcmp(image.data(), "MPH3", 4) == 0 || std::memcmp(image.data(), "MPH1", 4) == 0) {
      const auto written = m->to_bytes();
      QFUZZ_CHECK(std::equal(written.begin(), written.end(), image.begin(), image.end()));
    }
  }
  // Its own bytes load, verified, and answer alike.
  const PerfectHashIndex again = PerfectHashIndex::from_bytes(out);
  QFUZZ_CHECK(again.len() == idx.len() && again.has_fingerprints() == idx.has_fingerprints());
  QFUZZ_CHECK(answer(again, probes) == expected);
  QFUZZ_CHECK(again.to_bytes() == out);
}

}  // namespace

void qfuzz::run(Input& in) {
  if (in.reseal()) reseal_bmp8(in.bytes);
  const MemoryLine line(in.bytes.size());
  std::string plain_msg, verified_msg;
  auto plain = load(in.view(), false, plain_msg);
  auto verified = load(in.view(), true, verified_msg);
  // Verifying adds one check and changes nothing else.
  if (verified) QFUZZ_CHECK(plain.has_value());
  if (!plain) QFUZZ_CHECK(verified_msg == plain_msg || verified_msg == "payload checksum mismatch");
  if (plain && !verified) QFUZZ_CHECK(verified_msg == "payload checksum mismatch");
  if (!plain) {
    line.check("a refused load");
    return;
  }
  note(verified ? "loaded, verified" : "loaded, unverified only");
  if (!plain->side().empty()) note("loaded with a side table");
  if (plain->has_fingerprints()) note("loaded with tag bytes");

  const Probes probes = probes_for(*plain);
  const Answers expected = answer(*plain, probes);
  line.check("both loads and their first queries");
  exercise(*plain, in.view(), expected, probes);
  if (verified) {
    QFUZZ_CHECK(answer(*verified, probes) == expected);
    QFUZZ_CHECK(verified->to_bytes() == plain->to_bytes());
  }
}

namespace {

// A blob around a given image, its keys made up: the older images ("MPH2",
// "MPH1") that the library no longer writes but still reads.
Bytes blob_around(std::span<const unsigned char> image) {
  const std::uint64_t n = Mphf::from_bytes(image).n();
  std::vector<std::string> keys;
  std::uint64_t total = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    keys.push_back("key-" + std::to_string(i));
    total += keys.back().size();
  }
  const StringArena arena = *StringArena::assemble(keys, n, total);
  BlockHasher h;
  h.update(image);
  h.update(arena.bytes().bytes());
  const auto header = perfect_hash::header_bytes(n, image.size(), 0, h.finish());
  Bytes b(header.begin(), header.end());
  b.insert(b.end(), image.begin(), image.end());
  b.insert(b.end(), arena.bytes().bytes().begin(), arena.bytes().bytes().end());
  return b;
}

}  // namespace

void qfuzz::seeds(Seeds& out) {
  auto add = [&](const std::string& name, std::vector<std::string> keys, bool tags, std::uint8_t mode = RESEAL) {
    const PerfectHashIndex idx = PerfectHashIndex::build_with(std::move(keys), tags);
    out.add(name + (tags ? "-tags" : ""), idx.to_bytes(), mode);
  };
  std::vector<std::string> many;
  for (int i = 0; i < 2000; ++i) many.push_back("k" + std::to_string(i * 7919 % 100003));
  for (bool tags : {false, true}) {
    add("empty", {}, tags);
    add("one", {"only"}, tags);
    add("few", {"", "a", "ab", "\xc3\xa9t\xc3\xa9", "\xe6\x9d\xb1\xe4\xba\xac"}, tags);
    // Keys sharing a first hash: a side table.
    std::vector<std::string> side = colliding::keys(3, 0);
    for (const auto& k : colliding::keys(2, 1)) side.push_back(k);
    side.push_back("plain");
    add("side", side, tags);
  }
  add("many", many, false);
  add("many", many, true);
  out.add("mph1", blob_around(mphf_fixtures::image(mphf_fixtures::MPH1_IMAGE)));
  out.add("mph2", blob_around(mphf_fixtures::image(mphf_fixtures::MPH2_IMAGE)));
  Bytes wide = mphf_fixtures::mph2_wide(32768);
  reseal_mph(wide);
  out.add("mph2-wide-bitmap", blob_around(wide));
  // Left unsealed, for the checksum checks themselves.
  add("raw-few", {"x", "y", "z"}, false, 0);
}
