#include "closed_hash.hpp"

#include <cstring>

#include "compact_hash/scratch.hpp"
#include "threads.hpp"

namespace quorvale {

namespace closed_hash {

namespace {

[[noreturn]] void fail_format(const char* message) { throw IndexError::format(message); }

}  // namespace

std::array<unsigned char, HEADER_LEN> header_bytes(std::uint64_t n, std::uint64_t image_len, std::uint32_t side,
                                                   std::uint64_t payload) {
  std::array<unsigned char, HEADER_LEN> h{};
  std::memcpy(h.data(), FRAME.magic.data(), 4);
  store_le64(h.data() + 4, n);
  store_le64(h.data() + 12, image_len);
  store_le32(h.data() + 20, side);
  FRAME.seal(h, payload);
  return h;
}

}  // namespace closed_hash

using namespace closed_hash;

ClosedHashIndex ClosedHashIndex::build_from_pairs(std::vector<hash::HashPair> pairs) {
  hash_engine::Slotted s = hash_engine::slot_pairs(pairs, MSG_TOO_MANY, online_processors());
  if (s.n == 0) return ClosedHashIndex({}, std::nullopt, 0);
  hash_engine::check_slots(pairs, s.m, MSG_NOT_MINIMAL, [](std::uint64_t, std::uint64_t) {});
  std::vector<hash::HashPair>().swap(pairs);
  return ClosedHashIndex(std::move(s.side), std::move(s.mph), s.n);
}

ClosedHashIndex ClosedHashIndex::build(std::span<const std::string_view> keys) {
  return build_from_pairs(hash_engine::hash_keys(keys));
}

std::uint64_t ClosedHashIndex::build_to_file(hash_engine::PairSource& pairs, const std::string& path,
                                            const hash_engine::StreamRun& run) {
  using compact_hash::Pair;
  using compact_hash::Scratch;
  const StopProbe& failed = run.stop;
  Scratch scratch(path, hash_engine::threads_of(run), failed);
  std::vector<Pair> buffer;
  compact_hash::intake(pairs, scratch, run.limits.pair_budget, buffer);
  stop_if(failed);

  std::uint64_t n = 0;
  compact_hash::run_offline(run, scratch, [&] {
    compact_hash::Settled s = compact_hash::settle(scratch, std::move(buffer), MSG_TOO_MANY);
    const std::uint64_t m = s.m;
    // The slot check and the side table in one walk; slots are evaluated a
    // block of representatives at a time.
    std::vector<SideEntry> side;
    if (s.mph) {
      hash_engine::SlotsTaken taken(m, MSG_NOT_MINIMAL);
      compact_hash::Source source = s.pairs.source();
      const std::vector<Pair> side_pairs = compact_hash::walk_representatives(
          source, &*s.mph, [&](std::span<const std::uint64_t> slots, std::span<const std::uint64_t>) {
            for (std::uint64_t slot : slots) taken.take(slot);
            stop_if(failed);
          });
      side.reserve(side_pairs.size());
      for (const Pair& p : side_pairs) side.push_back({p.first, p.second, static_cast<std::uint32_t>(m + side.size())});
    }
    s.pairs = {};
    const std::vector<unsigned char> side_records = compact_hash::side_bytes(side);
    const Mphf* mph = s.mph ? &*s.mph : nullptr;
    const std::uint64_t image_len = mph ? mph->byte_len() : 0;
    compact_hash::write_streamed<HEADER_LEN>(
        path,
        [&](Hashed<BufWriter>& out) {
          if (mph) mph->write_into(out);
          if (!side_records.empty()) out.write_all(side_records);
          stop_if(failed);
        },
        [&](std::uint64_t checksum) {
          return header_bytes(s.n, image_len, static_cast<std::uint32_t>(side.size()), checksum);
        });
    n = s.n;
  });
  return n;
}

std::uint64_t ClosedHashIndex::build_to_file(KeySource& keys, const std::string& path,
                                            const hash_engine::StreamRun& run) {
  compact_hash::HashedKeys pairs(keys);
  return build_to_file(pairs, path, run);
}

ClosedHashIndex::Parts ClosedHashIndex::serialised_parts() const {
  compact_hash::Payload p = compact_hash::payload_of(mphf(), {}, side_);
  auto header = header_bytes(n_, p.image.size(), static_cast<std::uint32_t>(side_.size()), p.checksum);
  return {std::move(p.image), header, std::move(p.side)};
}

std::uint64_t ClosedHashIndex::serialized_len() const noexcept {
  return HEADER_LEN + (mph_ ? mph_->byte_len() : 0) + compact_hash::SIDE_RECORD * std::uint64_t{side_.size()};
}

ClosedHashIndex ClosedHashIndex::from_bytes(std::span<const unsigned char> bytes) {
  FRAME.open(bytes, true);
  const unsigned char* b = bytes.data();
  const std::uint64_t L = bytes.size();
  const std::uint64_t n = load_le64(b + 4);
  const std::uint64_t J = load_le64(b + 12);
  const std::uint64_t H = load_le32(b + 20);
  if (n > UINT32_MAX) fail_format("closed-hash: header claims more than u32::MAX keys");
  if (H > n || (H == n && n > 0) || compact_hash::SIDE_RECORD * H > L) fail_format("side table length out of range");
  const std::uint64_t side_at = L - compact_hash::SIDE_RECORD * H;
  if (J > UINT64_MAX - HEADER_LEN || HEADER_LEN + J != side_at) fail_format("mph length out of range");
  if (!hash_engine::side_ids_are_tail(b + side_at, H, compact_hash::SIDE_RECORD, 16, n))
    fail_format("closed-hash: side-table ids are not the tail id range");
  std::optional<Mphf> mph;
  if (n > 0) {
    mph.emplace(Mphf::from_bytes(std::span<const unsigned char>(b + HEADER_LEN, static_cast<std::size_t>(J))));
    if (mph->n() != n - H) fail_format("mph / header length mismatch");
  }
  // Copied and sorted only now that the hash's count agrees with the header.
  std::vector<SideEntry> side = compact_hash::read_side(b + side_at, static_cast<std::size_t>(H));
  return ClosedHashIndex(std::move(side), std::move(mph), n);
}

ClosedHashIndex ClosedHashIndex::load(const std::string& path) {
  // The file's bytes are released once parsed.
  return from_bytes(blob::SharedBytes::read_file(path).bytes());
}

}  // namespace quorvale
