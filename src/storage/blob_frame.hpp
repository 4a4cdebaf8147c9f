// The frame of a stored blob: a 4-byte magic, a fixed header that ends in a
// 32-bit checksum of the header bytes before it, and a 64-bit payload
// checksum, a header field, over the bytes after the header. Each format
// states its frame once, in a `Frame` beside its kind; `open` checks a blob
// against it and `seal` writes both checksums, for every loader, writer and
// resealer. The blob methods every index kind offers are written once here
// too (`Writable`, `Stored`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "blob.hpp"

namespace quorvale::blob {

// The framing messages the kinds share.
inline constexpr const char* MSG_BAD_MAGIC = "bad magic or truncated header";
inline constexpr const char* MSG_HEADER_CHECKSUM = "header checksum mismatch";
inline constexpr const char* MSG_PAYLOAD_CHECKSUM = "payload checksum mismatch";

// An older generation of a format, recognised by its magic alone and refused
// with a message that says how to rebuild it.
struct Retired {
  std::string_view magic;
  const char* message;
};

// Where a verifying open compares the payload checksum.
enum class PayloadCheck : std::uint8_t {
  None,      // the format has no payload checksum
  First,     // right after the header checksum, before any header field is read
  Deferred,  // by the kind's loader (check_payload), once its lengths are known to fit
};

struct Frame {
  std::string_view magic;                 // the generation this version writes
  std::string_view also = {};             // another current magic, read alike
  std::span<const Retired> retired = {};  // refused before the header's length is tested
  std::size_t header_len = 0;             // the fixed header, its checksum (if any) in the last 4 bytes
  bool header_sum = true;
  PayloadCheck payload = PayloadCheck::First;
  std::size_t payload_at = 0;  // the u64 payload checksum in the header
  // 0, or the header offset of a u64 length of bytes right after the header
  // that the payload checksum leaves out (an embedded blob with checksums of
  // its own): the payload runs from header_len plus that length to the end.
  std::size_t skip_at = 0;
  const char* bad_magic = MSG_BAD_MAGIC;
  const char* header_mismatch = MSG_HEADER_CHECKSUM;
  const char* payload_mismatch = MSG_PAYLOAD_CHECKSUM;

  // Whether a blob (or its first 4 bytes) bears a current magic.
  bool has_magic(std::span<const unsigned char> blob) const noexcept;
  bool has_magic(std::string_view magic4) const noexcept {
    return magic4 == magic || (!also.empty() && magic4 == also);
  }
  // The framing checks, in this order, each a Format error: fewer than 4
  // bytes (bad_magic); a retired magic (its message); fewer than header_len
  // bytes or a magic of neither current generation (bad_magic); the header
  // checksum; with `verify` and PayloadCheck::First, the payload checksum.
  void open(std::span<const unsigned char> blob, bool verify) const;
  // The header checksum of a header (its last 4 bytes) against its other
  // bytes; a format with a header of variable length passes the whole header.
  void check_header(std::span<const unsigned char> header) const;
  // The payload checksum of a blob whose header passed `open` and whose
  // skipped length (skip_at) the kind has checked to lie inside it.
  void check_payload(std::span<const unsigned char> blob) const;
  // Where the payload starts in a blob, when its header says so within it.
  std::optional<std::size_t> payload_from(std::span<const unsigned char> blob) const noexcept;

  // Writes the payload checksum (formats with one) and then the header
  // checksum into a header whose other fields are set.
  void seal(std::span<unsigned char> header, std::uint64_t payload = 0) const noexcept;
  // The header checksum alone (formats with one).
  void seal_header(std::span<unsigned char> header) const noexcept;
  // Seals a whole blob in place: the payload checksum of its payload, when
  // the header places the payload inside the blob, then the header checksum.
  // Nothing when the blob is shorter than its header. True when both are
  // written.
  bool seal_blob(std::span<unsigned char> blob) const noexcept;
};

// to_bytes and save, written once over a kind's serialized_len() and
// write_to(W&) (any byte sink): derive as `class Kind : public blob::Writable<Kind>`.
template <class Index>
class Writable {
 public:
  // The whole blob in one buffer of exactly its length.
  std::vector<unsigned char> to_bytes() const { return blob_bytes(self()); }
  // The blob written to `path` through the atomic writer; `stop` as
  // save_blob takes it.
  void save(const std::string& path, const StopProbe& stop = {}) const { save_blob(path, self(), stop); }

 private:
  const Index& self() const noexcept { return static_cast<const Index&>(*this); }
};

// Writable plus the four opens, written once over the kind's
// from_shared(SharedBytes, verify): the caller's bytes (copied) and a file
// read whole are verified; a map only when asked, so that it opens without
// reading its payload.
template <class Index>
class Stored : public Writable<Index> {
 public:
  static Index from_bytes(std::span<const unsigned char> bytes) {
    return Index::from_shared(SharedBytes::from_owned(bytes), true);
  }
  static Index load(const std::string& path) { return Index::from_shared(SharedBytes::read_file(path), true); }
  static Index load_mmap(const std::string& path) { return Index::from_shared(SharedBytes::map_file(path), false); }
  static Index load_mmap_verified(const std::string& path) {
    return Index::from_shared(SharedBytes::map_file(path), true);
  }
};

}  // namespace quorvale::blob
