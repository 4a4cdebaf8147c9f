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
  compact_hash::Slotted s = compact_hash::slot_pairs(pairs, MSG_TOO_MANY, online_processors());
  if (s.n == 0) return ClosedHashIndex({}, std::nullopt, 0);
  compact_hash::check_slots(pairs, s.m, MSG_NOT_MINIMAL, [](std::uint64_t, std::uint64_t) {});
  pairs = {};
  return ClosedHashIndex(std::move(s.side), std::move(s.mph), s.n);
}

ClosedHashIndex ClosedHashIndex::build(std::span<const std::string_view> keys) {
  std::vector<hash::HashPair> pairs(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) pairs[i] = hash::hash_pair(keys[i]);
  return build_from_pairs(std::move(pairs));
}

std::uint64_t ClosedHashIndex::build_to_file_with(compact_hash::PairSource& pairs,
                                                 const compact_hash::FailureProbe& failed, const std::string& path,
                                                 const compact_hash::StreamLimits& limits,
                                                 const compact_hash::StreamRun& run) {
  using compact_hash::Pair;
  using compact_hash::Scratch;
  Scratch scratch(path, compact_hash::threads_of(run), failed);
  std::vector<Pair> buffer;
  compact_hash::intake(pairs, scratch, limits.pair_budget, buffer);
  stop_if(failed);

  std::uint64_t n = 0;
  compact_hash::run_offline(run, scratch, [&] {
    compact_hash::Settled s = compact_hash::settle(scratch, std::move(buffer), MSG_TOO_MANY);
    const std::uint64_t m = s.m;
    // The slot check and the side table in one walk; slots are evaluated a
    // block of representatives at a time.
    std::vector<SideEntry> side;
    if (s.mph) {
      std::vector<std::uint64_t> taken(static_cast<std::size_t>((m + 63) / 64), 0);
      std::vector<std::uint64_t> firsts;
      firsts.reserve(compact_hash::PLACE_BLOCK);
      auto check = [&] {
        for (std::uint64_t slot : s.mph->index_all(firsts)) {
          if (slot >= m) fail_format(MSG_NOT_MINIMAL);
          std::uint64_t& word = taken[static_cast<std::size_t>(slot >> 6)];
          const std::uint64_t bit = std::uint64_t{1} << (slot & 63);
          if (word & bit) fail_format(MSG_NOT_MINIMAL);
          word |= bit;
        }
        firsts.clear();
      };
      compact_hash::All all(s.pairs.source());
      Pair p;
      bool any = false;
      std::uint64_t last = 0;
      while (all.next(p)) {
        if (any && p.first == last) {
          side.push_back({p.first, p.second, static_cast<std::uint32_t>(m + side.size())});
          continue;
        }
        any = true;
        last = p.first;
        firsts.push_back(p.first);
        if (firsts.size() == compact_hash::PLACE_BLOCK) {
          check();
          stop_if(failed);
        }
      }
      check();
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

std::uint64_t ClosedHashIndex::build_to_file_checked(perfect_hash::KeySource& keys,
                                                    const compact_hash::FailureProbe& failed, const std::string& path,
                                                    const compact_hash::StreamLimits& limits,
                                                    const compact_hash::StreamRun& run) {
  compact_hash::HashedKeys pairs(keys);
  return build_to_file_with(pairs, failed, path, limits, run);
}

std::uint64_t ClosedHashIndex::build_to_file(perfect_hash::KeySource& keys, const std::string& path) {
  return build_to_file_checked(keys, {}, path, compact_hash::StreamLimits{});
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
  std::vector<SideEntry> side = compact_hash::read_side(b + side_at, static_cast<std::size_t>(H), n,
                                                        "closed-hash: side-table ids are not the tail id range");
  std::optional<Mphf> mph;
  if (n > 0) {
    mph.emplace(Mphf::from_bytes(std::span<const unsigned char>(b + HEADER_LEN, static_cast<std::size_t>(J))));
    if (mph->n() != n - H) fail_format("mph / header length mismatch");
  }
  return ClosedHashIndex(std::move(side), std::move(mph), n);
}

ClosedHashIndex ClosedHashIndex::load(const std::string& path) {
  // The file's bytes are released once parsed.
  return from_bytes(blob::SharedBytes::read_file(path).bytes());
}

}  // namespace quorvale
