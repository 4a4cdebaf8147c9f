#include "blob_frame.hpp"

#include <cstring>

namespace quorvale::blob {

namespace {

[[noreturn]] void refuse(const char* message) { throw IndexError::format(message); }

bool starts_with(std::span<const unsigned char> blob, std::string_view magic) noexcept {
  return blob.size() >= 4 && std::memcmp(blob.data(), magic.data(), 4) == 0;
}

}  // namespace

bool Frame::has_magic(std::span<const unsigned char> blob) const noexcept {
  return starts_with(blob, magic) || (!also.empty() && starts_with(blob, also));
}

void Frame::open(std::span<const unsigned char> blob, bool verify) const {
  if (blob.size() < 4) refuse(bad_magic);
  for (const Retired& r : retired)
    if (starts_with(blob, r.magic)) refuse(r.message);
  if (blob.size() < header_len || !has_magic(blob)) refuse(bad_magic);
  if (header_sum) check_header(blob.first(header_len));
  if (verify && payload == PayloadCheck::First) check_payload(blob);
}

void Frame::check_header(std::span<const unsigned char> header) const {
  const std::size_t at = header.size() - 4;
  if (header_checksum(header.first(at)) != load_le32(header.data() + at)) refuse(header_mismatch);
}

std::optional<std::size_t> Frame::payload_from(std::span<const unsigned char> blob) const noexcept {
  if (blob.size() < header_len) return std::nullopt;
  if (skip_at == 0) return header_len;
  const std::uint64_t skipped = load_le64(blob.data() + skip_at);
  if (skipped > blob.size() - header_len) return std::nullopt;
  return header_len + static_cast<std::size_t>(skipped);
}

void Frame::check_payload(std::span<const unsigned char> blob) const {
  const std::optional<std::size_t> from = payload_from(blob);
  if (!from) panic("a payload checked lies inside its blob");
  if (hash_block(blob.subspan(*from)) != load_le64(blob.data() + payload_at)) refuse(payload_mismatch);
}

void Frame::seal(std::span<unsigned char> header, std::uint64_t payload_checksum) const noexcept {
  if (payload != PayloadCheck::None) store_le64(header.data() + payload_at, payload_checksum);
  seal_header(header);
}

void Frame::seal_header(std::span<unsigned char> header) const noexcept {
  if (!header_sum) return;
  const std::size_t at = header.size() - 4;
  store_le32(header.data() + at, header_checksum(header.first(at)));
}

bool Frame::seal_blob(std::span<unsigned char> blob) const noexcept {
  if (blob.size() < header_len) return false;
  const std::span<unsigned char> header = blob.first(header_len);
  const std::optional<std::size_t> from = payload_from(blob);
  if (from && payload != PayloadCheck::None) store_le64(header.data() + payload_at, hash_block(blob.subspan(*from)));
  seal_header(header);
  return from.has_value();
}

}  // namespace quorvale::blob
