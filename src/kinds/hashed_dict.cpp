#include "hashed_dict.hpp"

#include <algorithm>
#include <cstring>

#include "threads.hpp"

namespace quorvale {

namespace hashed_dict {

namespace {

[[noreturn]] void fail_format(const char* message) { throw IndexError::format(message); }

bool side_less(const SideRecord& a, const SideRecord& b) noexcept {
  if (a.first != b.first) return a.first < b.first;
  if (a.second != b.second) return a.second < b.second;
  return a.rank < b.rank;
}

}  // namespace

}  // namespace hashed_dict

using namespace hashed_dict;

HashedDictIndex::HashedDictIndex(blob::SharedBytes table, std::vector<SideRecord> side, std::optional<Mphf> mph,
                                 std::shared_ptr<const DictIndex> dict, std::uint64_t n, std::uint32_t bits)
    : table_(std::move(table)),
      side_(std::move(side)),
      mph_(std::move(mph)),
      dict_(std::move(dict)),
      n_(n),
      bits_(bits),
      entry_bits_(entry_bits_for(n, bits)),
      entry_mask_(entry_bits_ >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << entry_bits_) - 1),
      fp_mask_((std::uint64_t{1} << bits) - 1) {}

// ---------------------------------------------------------------------------
// Building.

HashedDictIndex HashedDictIndex::from_shared_dict(std::shared_ptr<const DictIndex> dict,
                                                  std::uint32_t fingerprint_bits) {
  return from_shared_dict(std::move(dict), fingerprint_bits, online_processors());
}

HashedDictIndex HashedDictIndex::from_shared_dict(std::shared_ptr<const DictIndex> dict,
                                                  std::uint32_t fingerprint_bits, std::size_t threads) {
  if (fingerprint_bits > MAX_FINGERPRINT_BITS) fail_format(MSG_BITS);
  const std::uint64_t n = dict->len();
  if (n > UINT32_MAX) throw IndexError::build(MSG_TOO_MANY);
  // The walk spells each key out of the dictionary's character code and
  // keeps bytes that are not UTF-8 as they are, so the hash is over exactly
  // the bytes a caller queries with.
  std::vector<hash::HashPair> pairs;
  pairs.reserve(static_cast<std::size_t>(n));
  DictIndex::Iter it = dict->iter_from(0);
  std::string text;
  std::uint64_t id = 0;
  while (pairs.size() < n && it.next_bytes(text, id)) pairs.push_back(hash::hash_pair(std::string_view(text)));
  if (pairs.size() != n) fail_format(MSG_WALK);
  return from_pairs(std::move(dict), std::move(pairs), fingerprint_bits, threads);
}

HashedDictIndex HashedDictIndex::from_pairs(std::shared_ptr<const DictIndex> dict, std::vector<hash::HashPair> pairs,
                                            std::uint32_t fingerprint_bits, std::size_t threads) {
  if (fingerprint_bits > MAX_FINGERPRINT_BITS) fail_format(MSG_BITS);
  const std::uint64_t n = pairs.size();
  if (n > UINT32_MAX) throw IndexError::build(MSG_TOO_MANY);
  if (n != dict->len()) fail_format(MSG_WALK);
  const std::uint32_t b = fingerprint_bits;
  if (n == 0) return HashedDictIndex(blob::SharedBytes(), {}, std::nullopt, std::move(dict), 0, b);
  const std::uint32_t eb = entry_bits_for(n, b);
  if (threads == 0) threads = 1;
  // Each key as its first word and its entry: its rank above its
  // fingerprint. Ranks are distinct and sit in the high bits, so the
  // engine's pair order puts the lowest rank of a first word first: it
  // represents the word, every later one goes to the side table, which
  // keeps the whole second word.
  const std::uint64_t mask = (std::uint64_t{1} << b) - 1;
  std::vector<std::uint64_t> seconds(pairs.size());
  for (std::size_t r = 0; r < pairs.size(); ++r) {
    seconds[r] = pairs[r].second;
    pairs[r].second = (std::uint64_t{r} << b) | (pairs[r].second & mask);
  }
  hash_engine::Slotted s = hash_engine::slot_pairs(pairs, MSG_TOO_MANY, threads);
  const std::uint64_t m = s.m;
  std::vector<SideRecord> side(s.side.size());
  for (std::size_t k = 0; k < side.size(); ++k) {
    const std::uint64_t rank = s.side[k].second >> b;
    side[k] = {s.side[k].first, seconds[static_cast<std::size_t>(rank)], rank};
  }
  std::vector<hash_engine::SideEntry>().swap(s.side);
  std::vector<std::uint64_t>().swap(seconds);
  std::sort(side.begin(), side.end(), side_less);

  // Every slot below m must be met exactly once.
  Pages<unsigned char> table = Pages<unsigned char>::zeroed(static_cast<std::size_t>(table_len(m, eb)));
  const std::span<unsigned char> t(table.data(), table.size());
  hash_engine::check_slots(pairs, m, MSG_NOT_MINIMAL,
                           [&](std::uint64_t slot, std::uint64_t entry) { hash_engine::write_fp(t, slot, eb, entry); });
  std::vector<hash::HashPair>().swap(pairs);
  std::optional<Mphf> mph = std::move(s.mph);
  return HashedDictIndex(blob::SharedBytes::from_pages(std::move(table)), std::move(side), std::move(mph),
                         std::move(dict), n, b);
}

// ---------------------------------------------------------------------------
// Lookups.

HashedDictIndex::Found HashedDictIndex::side_lookup(std::uint64_t first, std::uint64_t second) const noexcept {
  auto it = std::lower_bound(side_.begin(), side_.end(), first,
                             [](const SideRecord& r, std::uint64_t f) { return r.first < f; });
  for (; it != side_.end() && it->first == first; ++it)
    if (it->second == second) return {true, it->rank};
  return {};
}

std::uint64_t HashedDictIndex::value_at_the_end(std::uint64_t slot) const noexcept {
  const std::uint32_t b = entry_bits_;
  const std::uint64_t size = table_.size();
  if (slot > (UINT64_MAX - 64) / b) return 0;
  const std::uint64_t p = slot * b, c = p / 8;
  const std::uint64_t last = (p + b - 1) / 8;
  if (last >= size) return 0;
  const unsigned char* t = table_.data() + c;
  switch (b) {
    case 8: return t[0];
    case 16: return load_le16(t);
    case 32: return load_le32(t);
    case 64: return load_le64(t);
    default: break;
  }
  // The field covers at most 9 bytes: gather them low to high.
  const unsigned s = static_cast<unsigned>(p % 8);
  std::uint64_t low = 0;
  const std::uint64_t span = last - c + 1;
  for (std::uint64_t j = 0; j < span && j < 8; ++j) low |= std::uint64_t{t[j]} << (8 * j);
  std::uint64_t v = low >> s;
  if (span == 9) v |= std::uint64_t{t[8]} << (64 - s);
  return v & entry_mask_;
}

HashedDictIndex::Found HashedDictIndex::id_with_side(std::string_view key) const noexcept {
  const hash::HashPair h = hash::hash_pair(key);
  if (!side_.empty()) {
    const Found f = side_lookup(h.first, h.second);
    if (f.found) return f;
  }
  if (!mph_) return {};
  return test(entry(mph_->index(h.first)), h.second);
}

HashedDictIndex::Found HashedDictIndex::id(std::string_view key) const {
  if (bits_ == 0) return exact_id(key);
  return id_with_side(key);
}

std::uint64_t HashedDictIndex::unchecked_with_side(std::string_view key) const noexcept {
  const hash::HashPair h = hash::hash_pair(key);
  if (!side_.empty()) {
    const Found f = side_lookup(h.first, h.second);
    if (f.found) return f.rank;
  }
  if (!mph_) return 0;
  return std::min(entry(mph_->index(h.first)) >> bits_, n_ - 1);
}

// ---------------------------------------------------------------------------
// The blob.

std::uint64_t HashedDictIndex::serialized_len() const noexcept {
  return HEADER_LEN + dict_->serialized_len() + (mph_ ? mph_->byte_len() : 0) + table_.size() +
         SIDE_RECORD * std::uint64_t{side_.size()};
}

std::array<unsigned char, HEADER_LEN> HashedDictIndex::header(std::uint64_t dict_len, std::uint64_t image_len,
                                                              std::uint64_t payload) const {
  std::array<unsigned char, HEADER_LEN> h{};
  std::memcpy(h.data(), FRAME.magic.data(), 4);
  store_le64(h.data() + 4, n_);
  store_le32(h.data() + 12, bits_);
  store_le64(h.data() + 16, dict_len);
  store_le64(h.data() + 24, image_len);
  store_le32(h.data() + 32, static_cast<std::uint32_t>(side_.size()));
  FRAME.seal(h, payload);
  return h;
}

std::vector<unsigned char> HashedDictIndex::side_bytes() const {
  std::vector<unsigned char> out(side_.size() * SIDE_RECORD);
  for (std::size_t i = 0; i < side_.size(); ++i) {
    unsigned char* r = out.data() + SIDE_RECORD * i;
    store_le64(r, side_[i].first);
    store_le64(r + 8, side_[i].second);
    store_le64(r + 16, side_[i].rank);
  }
  return out;
}

HashedDictIndex HashedDictIndex::from_shared(blob::SharedBytes bytes, bool verify) {
  FRAME.open(bytes.bytes(), verify);
  const unsigned char* b = bytes.data();
  const std::uint64_t L = bytes.size();
  const std::uint64_t n = load_le64(b + 4);
  const std::uint32_t bits = load_le32(b + 12);
  const std::uint64_t D = load_le64(b + 16);
  const std::uint64_t J = load_le64(b + 24);
  const std::uint64_t side_count = load_le32(b + 32);
  if (n > UINT32_MAX) fail_format("hashed-dict: header claims more than u32::MAX keys");
  if (bits > MAX_FINGERPRINT_BITS) fail_format(MSG_BITS);
  if (side_count >= std::max<std::uint64_t>(n, 1)) fail_format("side table length out of range");
  if ((n == 0) != (J == 0)) fail_format("hashed-dict: mph length out of range");
  if (D > L - HEADER_LEN) fail_format("hashed-dict: dictionary length out of range");
  const std::uint64_t image_at = HEADER_LEN + D;
  if (J > L - image_at) fail_format("hashed-dict: mph length out of range");
  const std::uint64_t table_at = image_at + J;
  const std::uint32_t eb = entry_bits_for(n, bits);
  // n - side < 2^32 and eb <= 64: the length cannot overflow.
  const std::uint64_t T = table_len(n - side_count, eb);
  if (T > L - table_at) fail_format("hashed-dict: rank table length mismatch");
  const std::uint64_t side_at = table_at + T;
  if (L - side_at != SIDE_RECORD * side_count) fail_format("side table length out of range");
  if (verify) FRAME.check_payload(bytes.bytes());

  for (std::uint64_t i = 0; i < side_count; ++i)
    if (load_le64(b + side_at + SIDE_RECORD * i + 16) >= n)
      fail_format("hashed-dict: a side-table rank is past the last key");

  auto dict = std::make_shared<const DictIndex>(
      DictIndex::from_shared(bytes.slice(HEADER_LEN, static_cast<std::size_t>(D)), verify));
  if (dict->len() != n) fail_format("hashed-dict: the dictionary and the header disagree on the key count");
  std::optional<Mphf> mph;
  if (n > 0) {
    mph.emplace(Mphf::from_bytes(std::span<const unsigned char>(b + image_at, static_cast<std::size_t>(J))));
    if (mph->n() != n - side_count) fail_format("mph / header length mismatch");
  }
  // Copied and sorted only now that every count agrees with the header.
  std::vector<SideRecord> side(static_cast<std::size_t>(side_count));
  for (std::size_t i = 0; i < side.size(); ++i) {
    const unsigned char* r = b + side_at + SIDE_RECORD * i;
    side[i] = {load_le64(r), load_le64(r + 8), load_le64(r + 16)};
  }
  std::sort(side.begin(), side.end(), side_less);
  blob::SharedBytes table = bytes.slice(static_cast<std::size_t>(table_at), static_cast<std::size_t>(T));
  return HashedDictIndex(std::move(table), std::move(side), std::move(mph), std::move(dict), n, bits);
}

}  // namespace quorvale
