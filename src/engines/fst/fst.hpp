// An FST map over shared bytes: opening, metadata, checksum verification and
// exact lookup.
//
// Layout: u64 version, u64 type, the nodes from offset 16, then u64 key count,
// u64 root address and, in version 3, the u32 masked CRC-32C of every byte
// before it. All integers little-endian.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "fst/error.hpp"
#include "fst/node.hpp"

namespace quorvale::fst {

inline constexpr std::uint64_t kVersion = 3;     // what the builder writes
inline constexpr std::uint64_t kMapType = 0;
inline constexpr std::size_t kMinLength = 36;    // header, footer and checksum

class Fst {
 public:
  // Reads the header and footer only (constant time, no copy). Refuses
  // (Error, kind Fst) bytes shorter than 36, a version other than 1 to 3, and
  // a root address of 0 unless the version is 3 and the length exactly 36.
  // `owner` keeps `bytes` alive for as long as this Fst or any copy, node or
  // stream made from it lives.
  static Fst open(std::shared_ptr<const void> owner, std::span<const unsigned char> bytes);

  std::uint64_t version() const noexcept { return version_; }
  std::uint64_t fst_type() const noexcept { return type_; }
  std::uint64_t root_addr() const noexcept { return root_; }
  // The number of keys, as the footer states it.
  std::uint64_t len() const noexcept { return len_; }
  // The stored (masked) checksum; none for versions 1 and 2.
  std::optional<std::uint32_t> checksum() const noexcept { return checksum_; }

  std::span<const unsigned char> bytes() const noexcept { return bytes_; }
  const std::shared_ptr<const void>& owner() const noexcept { return owner_; }

  // Recomputes the masked CRC-32C and compares it with the stored one.
  // Throws Error (kind Fst): checksum mismatch, or checksum missing.
  void verify() const;

  // The reader of the nodes, and the node at `addr` (Corrupt when it does
  // not fit the bytes). Inlined always, with the decoding, for the streams
  // (see NodeReader::read).
  NodeReader reader() const noexcept { return NodeReader(bytes_, index_threshold(version_)); }
  [[gnu::always_inline]] Node node(std::uint64_t addr) const { return reader().at(addr); }
  Node root() const { return node(root_); }

  // The value of `key`, if it is in the map. Throws Corrupt on malformed nodes.
  std::optional<std::uint64_t> get(std::span<const unsigned char> key) const;
  std::optional<std::uint64_t> get(std::string_view key) const {
    return get(std::span(reinterpret_cast<const unsigned char*>(key.data()), key.size()));
  }

 private:
  std::shared_ptr<const void> owner_;
  std::span<const unsigned char> bytes_;
  std::uint64_t version_ = 0, type_ = 0, root_ = 0, len_ = 0;
  std::optional<std::uint32_t> checksum_;
};

}  // namespace quorvale::fst
