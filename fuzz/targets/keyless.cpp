// The keyless indexes: "BCL2" (ClosedHashIndex::from_bytes, which always
// verifies) and "BCH8" (CompactHashIndex::from_shared, verified and not),
// chosen by the input's magic; any other magic goes to both loaders.
//
// Refusals are format errors; a verified compact load implies the unverified
// one, with the same message otherwise. What loads answers every probe with
// an id below its key count (the closed kind: below its slot count, or 0),
// single and batched lookups alike, finds every side entry under its own
// pair, writes itself in serialized_len bytes and reloads, verified, from
// them to the same answers and the same bytes. The loads and their first
// queries (or the refusals) stay within the memory line (memory_line.hpp).
#include <cstring>
#include <random>

#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "fuzz.hpp"
#include "hash.hpp"
#include "memory_line.hpp"
#include "mphf_fixtures.hpp"
#include "reseal.hpp"

using namespace quorvale;
using namespace qfuzz;

namespace {

std::vector<std::string> probe_keys() {
  std::vector<std::string> k = {"", "a", "key", "another key", std::string(40, 'x'), "\xc3\xa9t\xc3\xa9"};
  for (int i = 0; i < 40; ++i) k.push_back("k" + std::to_string(i));
  return k;
}

const std::vector<std::string>& probes() {
  static const std::vector<std::string> p = probe_keys();
  return p;
}

std::vector<std::string_view> probe_views() { return {probes().begin(), probes().end()}; }

bool starts(std::span<const unsigned char> b, const char* magic) { return b.size() >= 4 && std::memcmp(b.data(), magic, 4) == 0; }

// ---- closed -------------------------------------------------------------------

std::vector<std::uint32_t> answers(const ClosedHashIndex& idx) {
  const std::vector<std::string_view> batch = probe_views();
  const std::vector<std::uint32_t> ids = idx.ids_of(batch);
  QFUZZ_CHECK(ids.size() == batch.size());
  const std::uint64_t n = idx.len(), m = n - idx.side().size();
  for (std::size_t i = 0; i < batch.size(); ++i) {
    QFUZZ_CHECK(ids[i] == idx.id(batch[i]) && ids[i] == idx.id_with_side(batch[i]));
    QFUZZ_CHECK(ids[i] < n || (n == 0 && ids[i] == 0));
    const hash::HashPair h = hash::hash_pair(batch[i]);
    if (!hash_engine::side_search(idx.side(), h.first, h.second)) QFUZZ_CHECK(ids[i] < m || m == 0);
  }
  for (const auto& e : idx.side()) {
    QFUZZ_CHECK(e.id >= m && e.id < n);
    const auto id = hash_engine::side_search(idx.side(), e.first, e.second);
    QFUZZ_CHECK(id && *id >= m && *id < n);
  }
  return ids;
}

void closed(const Bytes& b) {
  const MemoryLine line(b.size());
  std::optional<ClosedHashIndex> idx;
  try {
    idx.emplace(ClosedHashIndex::from_bytes(b));
  } catch (const IndexError& e) {
    QFUZZ_CHECK(e.kind() == IndexError::Kind::Format);
    refused("closed", e.message());
    line.check("a refused load");
    return;
  }
  note("closed: loaded");
  if (!idx->side().empty()) note("closed: loaded with a side table");
  const std::vector<std::uint32_t> expected = answers(*idx);
  line.check("a load and its first queries");
  const std::vector<unsigned char> out = idx->to_bytes();
  QFUZZ_CHECK(out.size() == idx->serialized_len());
  const ClosedHashIndex again = ClosedHashIndex::from_bytes(out);
  QFUZZ_CHECK(again.len() == idx->len());
  QFUZZ_CHECK(answers(again) == expected);
  QFUZZ_CHECK(again.to_bytes() == out);
}

// ---- compact ------------------------------------------------------------------

using Found = CompactHashIndex::Found;

std::vector<Found> answers(const CompactHashIndex& idx) {
  const std::vector<std::string_view> batch = probe_views();
  const std::vector<Found> found = idx.ids_of(batch);
  QFUZZ_CHECK(found.size() == batch.size());
  std::vector<std::uint32_t> into(batch.size());
  idx.ids_into_with(batch.size(), [&](std::size_t i) { return batch[i]; }, into.data());
  const std::uint64_t n = idx.len();
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const Found f = found[i];
    QFUZZ_CHECK(f == idx.id_with_side(batch[i]));
    QFUZZ_CHECK(idx.contains(batch[i]) == f.found);
    QFUZZ_CHECK(idx.id(batch[i]) == (f.found ? std::optional<std::uint32_t>(f.id) : std::nullopt));
    QFUZZ_CHECK(into[i] == (f.found ? f.id : compact_hash::MISSING));
    if (f.found) QFUZZ_CHECK(f.id < n);
    const std::uint32_t unchecked = idx.id_unchecked(batch[i]);
    QFUZZ_CHECK(unchecked < n || (n == 0 && unchecked == 0));
  }
  for (std::uint64_t slot : {std::uint64_t{0}, n, n + 100, UINT64_MAX / 3, UINT64_MAX})
    (void)idx.fp_matches_wide(slot, 0x1234);
  for (const auto& e : idx.side()) {
    const auto id = idx.side_lookup(e.first, e.second);
    QFUZZ_CHECK(id && *id < n);
  }
  return found;
}

std::optional<CompactHashIndex> load_compact(const Bytes& b, bool verify, std::string& message) {
  try {
    return CompactHashIndex::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)), verify);
  } catch (const IndexError& e) {
    QFUZZ_CHECK(e.kind() == IndexError::Kind::Format);
    message = e.message();
    refused(verify ? "compact, verified" : "compact, unverified", e.message());
    return std::nullopt;
  }
}

void compact(const Bytes& b) {
  const MemoryLine line(b.size());
  std::string plain_msg, verified_msg;
  auto plain = load_compact(b, false, plain_msg);
  auto verified = load_compact(b, true, verified_msg);
  if (verified) QFUZZ_CHECK(plain.has_value());
  if (!plain) QFUZZ_CHECK(verified_msg == plain_msg || verified_msg == "payload checksum mismatch");
  if (plain && !verified) QFUZZ_CHECK(verified_msg == "payload checksum mismatch");
  if (!plain) {
    line.check("a refused load");
    return;
  }
  note(verified ? "compact: loaded, verified" : "compact: loaded, unverified only");
  if (!plain->side().empty()) note("compact: loaded with a side table");
  const std::vector<Found> expected = answers(*plain);
  line.check("both loads and their first queries");
  if (verified) QFUZZ_CHECK(answers(*verified) == expected);
  const std::vector<unsigned char> out = plain->to_bytes();
  QFUZZ_CHECK(out.size() == plain->serialized_len());
  const CompactHashIndex again = CompactHashIndex::from_bytes(out);
  QFUZZ_CHECK(again.len() == plain->len() && again.fingerprint_bits() == plain->fingerprint_bits());
  QFUZZ_CHECK(answers(again) == expected);
  QFUZZ_CHECK(again.to_bytes() == out);
}

}  // namespace

void qfuzz::run(Input& in) {
  const bool is_closed = starts(in.bytes, "BCL2"), is_compact = starts(in.bytes, "BCH8");
  if (in.reseal()) {
    if (is_closed) reseal_bcl2(in.bytes);
    if (is_compact) reseal_bch8(in.bytes);
  }
  if (!is_compact) closed(in.bytes);
  if (!is_closed) compact(in.bytes);
}

namespace {

// Pairs with side entries: every fifth pair repeats the first word before it.
std::vector<hash::HashPair> pairs_with_side(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<hash::HashPair> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = {rng(), rng()};
    if (i % 5 == 4) out[i].first = out[i - 1].first;
  }
  return out;
}

// A built blob of one of the two kinds with its image (of the length at
// `len_at` of its header) replaced by another over as many keys, resealed.
Bytes with_image(const Bytes& blob, const blob::Frame& frame, std::size_t len_at, const Bytes& image) {
  const std::uint64_t old = load_le64(blob.data() + len_at);
  Bytes b(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(frame.header_len));
  b.insert(b.end(), image.begin(), image.end());
  b.insert(b.end(), blob.begin() + static_cast<std::ptrdiff_t>(frame.header_len + old), blob.end());
  store_le64(b.data() + len_at, image.size());
  reseal_image_holder(b, frame, len_at);
  return b;
}

}  // namespace

void qfuzz::seeds(Seeds& out) {
  for (std::size_t n : {0u, 1u, 9u, 300u}) {
    const std::string size = std::to_string(n);
    out.add("closed-" + size, ClosedHashIndex::build_from_pairs(pairs_with_side(n, n + 1)).to_bytes());
    for (std::uint32_t bits : {1u, 8u, 13u, 64u})
      out.add("compact-" + size + "-bits" + std::to_string(bits),
              CompactHashIndex::build_from_pairs(pairs_with_side(n, n + 1), bits).to_bytes());
  }
  // Real keys, so that the probes find some.
  const std::vector<std::string>& keys = probes();
  std::vector<std::string_view> views(keys.begin(), keys.begin() + 30);
  out.add("closed-probes", ClosedHashIndex::build(views).to_bytes());
  out.add("compact-probes", CompactHashIndex::build(views).to_bytes());
  std::vector<hash::HashPair> many = pairs_with_side(2000, 7);
  out.add("compact-2000-bits8", CompactHashIndex::build_from_pairs(many, 8).to_bytes());
  // One key behind an older image whose bitmap holds 32,768 further slots.
  const Bytes wide = mphf_fixtures::mph2_wide(32768);
  out.add("closed-mph2-wide-bitmap",
          with_image(ClosedHashIndex::build_from_pairs(pairs_with_side(1, 2)).to_bytes(), closed_hash::FRAME, 12, wide));
  out.add("compact-mph2-wide-bitmap", with_image(CompactHashIndex::build_from_pairs(pairs_with_side(1, 2), 8).to_bytes(),
                                                 compact_hash::FRAME, 16, wide));
  // Left unsealed, for the checksum checks themselves.
  Bytes raw = CompactHashIndex::build_from_pairs(pairs_with_side(9, 3), 8).to_bytes();
  raw.back() ^= 1;
  out.add("raw-compact-9", raw, 0);
  raw = ClosedHashIndex::build_from_pairs(pairs_with_side(9, 3)).to_bytes();
  raw.back() ^= 1;
  out.add("raw-closed-9", raw, 0);
}
