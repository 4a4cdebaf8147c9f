#include "fst/fst.hpp"

#include <cstdio>

#include "fst/crc32c.hpp"

namespace quorvale::fst {
namespace {

std::uint64_t load_u64(const unsigned char* p) noexcept { return read_le(p, 8); }

std::string sized(const char* fmt, unsigned long long a, unsigned long long b = 0) {
  char buf[128];
  std::snprintf(buf, sizeof buf, fmt, a, b);
  return buf;
}

}  // namespace

Fst Fst::open(std::shared_ptr<const void> owner, std::span<const unsigned char> bytes) {
  if (bytes.size() < kMinLength)
    throw Error(Error::Kind::Fst, sized("fst too short: %llu bytes, need at least %llu", bytes.size(), kMinLength));
  const unsigned char* b = bytes.data();
  const std::uint64_t version = load_u64(b);
  if (version < 1 || version > kVersion)
    throw Error(Error::Kind::Fst, sized("unsupported fst version %llu (expected 1 to %llu)", version, kVersion));
  const std::size_t end = version >= 3 ? bytes.size() - 4 : bytes.size();
  Fst f;
  f.version_ = version;
  f.type_ = load_u64(b + 8);
  f.len_ = load_u64(b + end - 16);
  f.root_ = load_u64(b + end - 8);
  if (version >= 3) f.checksum_ = static_cast<std::uint32_t>(read_le(b + end, 4));
  if (f.root_ == 0 && !(version == 3 && bytes.size() == kMinLength))
    throw Error(Error::Kind::Fst, sized("fst root address 0 in a %llu-byte fst of version %llu", bytes.size(), version));
  f.owner_ = std::move(owner);
  f.bytes_ = bytes;
  return f;
}

void Fst::verify() const {
  if (!checksum_) throw Error(Error::Kind::Fst, "fst checksum missing");
  const std::uint32_t got = mask_crc(crc32c(bytes_.first(bytes_.size() - 4)));
  if (got != *checksum_)
    throw Error(Error::Kind::Fst, sized("fst checksum mismatch: expected %llu, got %llu", *checksum_, got));
}

std::optional<std::uint64_t> Fst::get(std::span<const unsigned char> key) const {
  Node node = root();
  std::uint64_t out = 0;
  for (unsigned char b : key) {
    auto i = node.find_input(b);
    if (!i) return std::nullopt;
    out += node.output(*i);
    node = this->node(node.target(*i));
  }
  if (!node.is_final()) return std::nullopt;
  return out + node.final_output();
}

}  // namespace quorvale::fst
