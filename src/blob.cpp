#include "blob.hpp"

#include <algorithm>

namespace quorvale {

void BlockHasher::update(std::span<const unsigned char> bytes) noexcept {
  total_ += bytes.size();
  std::size_t i = 0;
  if (pending_len_ > 0) {
    std::size_t take = std::min<std::size_t>(8 - pending_len_, bytes.size());
    std::memcpy(pending_ + pending_len_, bytes.data(), take);
    pending_len_ += take;
    i = take;
    if (pending_len_ < 8) return;
    state_ = step(state_, load_le64(pending_));
    pending_len_ = 0;
  }
  for (; i + 8 <= bytes.size(); i += 8) state_ = step(state_, load_le64(bytes.data() + i));
  pending_len_ = bytes.size() - i;
  if (pending_len_) std::memcpy(pending_, bytes.data() + i, pending_len_);
}

std::uint64_t BlockHasher::finish() const noexcept {
  std::uint64_t state = state_;
  if (pending_len_ > 0) {
    unsigned char word[8] = {};
    std::memcpy(word, pending_, pending_len_);
    state = step(state, load_le64(word));
  }
  return fin(state ^ total_);
}

namespace blob {

std::uint64_t hash_block(std::span<const unsigned char> bytes) noexcept {
  BlockHasher h;
  h.update(bytes);
  return h.finish();
}

std::uint32_t header_checksum(std::span<const unsigned char> header) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : header) h = (h ^ c) * 0x100000001b3ULL;
  return static_cast<std::uint32_t>(fin(h));
}

}  // namespace blob
}  // namespace quorvale
