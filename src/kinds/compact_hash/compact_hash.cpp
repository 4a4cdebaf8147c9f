#include "compact_hash/compact_hash.hpp"

#include <algorithm>
#include <cstring>

#include "threads.hpp"

namespace quorvale {

namespace compact_hash {

namespace {

[[noreturn]] void fail_format(const char* message) { throw IndexError::format(message); }

}  // namespace

std::vector<unsigned char> side_bytes(std::span<const SideEntry> side) {
  std::vector<unsigned char> out(side.size() * SIDE_RECORD);
  for (std::size_t i = 0; i < side.size(); ++i) {
    unsigned char* r = out.data() + SIDE_RECORD * i;
    store_le64(r, side[i].first);
    store_le64(r + 8, side[i].second);
    store_le32(r + 16, side[i].id);
  }
  return out;
}

std::vector<SideEntry> read_side(const unsigned char* records, std::size_t count) {
  std::vector<SideEntry> side(count);
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* r = records + SIDE_RECORD * i;
    side[i] = {load_le64(r), load_le64(r + 8), load_le32(r + 16)};
  }
  std::sort(side.begin(), side.end(), [](const SideEntry& a, const SideEntry& b) {
    if (a.first != b.first) return a.first < b.first;
    if (a.second != b.second) return a.second < b.second;
    return a.id < b.id;
  });
  return side;
}

Payload payload_of(const Mphf* mph, std::span<const unsigned char> table, std::span<const SideEntry> side) {
  Payload p;
  if (mph) p.image = mph->to_bytes();
  p.side = side_bytes(side);
  BlockHasher hasher;
  hasher.update(p.image);
  hasher.update(table);
  hasher.update(p.side);
  p.checksum = hasher.finish();
  return p;
}

std::array<unsigned char, HEADER_LEN> header_v7(std::uint64_t n, std::uint32_t fingerprint_bits,
                                                std::uint64_t image_len, std::uint32_t side,
                                                std::uint64_t payload) {
  std::array<unsigned char, HEADER_LEN> h{};
  std::memcpy(h.data(), FRAME.magic.data(), 4);
  store_le64(h.data() + 4, n);
  store_le32(h.data() + 12, fingerprint_bits);
  store_le64(h.data() + 16, image_len);
  store_le32(h.data() + 24, side);
  FRAME.seal(h, payload);
  return h;
}

}  // namespace compact_hash

using namespace compact_hash;

// ---------------------------------------------------------------------------
// Building.

CompactHashIndex CompactHashIndex::build_from_pairs(std::vector<hash::HashPair> pairs, std::uint32_t fingerprint_bits) {
  if (fingerprint_bits < 1 || fingerprint_bits > 64) fail_format(MSG_BITS);
  const std::uint32_t b = fingerprint_bits;
  hash_engine::Slotted s = hash_engine::slot_pairs(pairs, MSG_TOO_MANY, online_processors());
  if (s.n == 0) return CompactHashIndex(blob::SharedBytes::from_owned(std::span<const unsigned char>()), {}, std::nullopt, 0, b);
  Pages<unsigned char> table = Pages<unsigned char>::zeroed(static_cast<std::size_t>((s.m * b + 7) / 8));
  std::span<unsigned char> t(table.data(), table.size());
  hash_engine::check_slots(pairs, s.m, MSG_NOT_MINIMAL,
              [&](std::uint64_t slot, std::uint64_t second) { write_fp(t, slot, b, second); });
  std::vector<hash::HashPair>().swap(pairs);
  return CompactHashIndex(blob::SharedBytes::from_pages(std::move(table)), std::move(s.side), std::move(s.mph), s.n, b);
}

CompactHashIndex CompactHashIndex::build(std::span<const std::string_view> keys) {
  return build_from_pairs(hash_engine::hash_keys(keys), 8);
}

// ---------------------------------------------------------------------------
// The blob.

CompactHashIndex::Parts CompactHashIndex::serialised_parts() const {
  Payload p = payload_of(mphf(), fingerprints_.bytes(), side_);
  auto header = header_v7(n_, bits_, p.image.size(), static_cast<std::uint32_t>(side_.size()), p.checksum);
  return {std::move(p.image), header, std::move(p.side)};
}

std::uint64_t CompactHashIndex::serialized_len() const noexcept {
  return HEADER_LEN + (mph_ ? mph_->byte_len() : 0) + fingerprints_.size() + SIDE_RECORD * std::uint64_t{side_.size()};
}

CompactHashIndex CompactHashIndex::from_shared(blob::SharedBytes bytes, bool verify) {
  FRAME.open(bytes.bytes(), verify);
  const unsigned char* b = bytes.data();
  const std::uint64_t L = bytes.size();
  const std::uint64_t n = load_le64(b + 4);
  const std::uint32_t bits = load_le32(b + 12);
  const std::uint64_t J = load_le64(b + 16);
  const std::uint64_t H = load_le32(b + 24);
  if (n > UINT32_MAX) fail_format("compact-hash: header claims more than u32::MAX keys");
  if (bits < 1 || bits > 64) fail_format("compact-hash: bad fingerprint width");
  if (H > n || (H == n && n > 0) || SIDE_RECORD * H > L) fail_format("side table length out of range");
  const std::uint64_t side_at = L - SIDE_RECORD * H;
  if (J > UINT64_MAX - HEADER_LEN || HEADER_LEN + J > side_at) fail_format("mph length out of range");
  const std::uint64_t table_at = HEADER_LEN + J;
  const std::uint64_t table_len = side_at - table_at;
  if (!hash_engine::side_ids_are_tail(b + side_at, H, SIDE_RECORD, 16, n))
    fail_format("compact-hash: side-table ids are not the tail id range");
  const std::uint64_t m = n - H;
  // m < 2^32 and bits <= 64: the product cannot overflow.
  if ((m * bits + 7) / 8 != table_len) fail_format("compact-hash: fingerprint length mismatch");
  std::optional<Mphf> mph;
  if (n > 0) {
    mph.emplace(Mphf::from_bytes(std::span<const unsigned char>(b + HEADER_LEN, static_cast<std::size_t>(J))));
    if (mph->n() != m) fail_format("mph / header length mismatch");
  }
  std::vector<SideEntry> side = read_side(b + side_at, static_cast<std::size_t>(H));
  blob::SharedBytes table = bytes.slice(static_cast<std::size_t>(table_at), static_cast<std::size_t>(table_len));
  return CompactHashIndex(std::move(table), std::move(side), std::move(mph), n, bits);
}

}  // namespace quorvale
