// Naming a blob of any known format and the sizes its header claims, without
// loading, decoding or verifying it: only the magic, the header (a string
// index's footer) and an overlay's tombstone words (and an old overlay's
// addition lengths) are read, so a file of gigabytes costs a few small reads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "blob.hpp"
#include "error.hpp"
#include "kinds.hpp"

namespace quorvale::inspect {

struct BlobInfo;

struct OverlayInfo {
  std::unique_ptr<BlobInfo> base;  // the base region's blob (base tags 1, 2 and 3)
  std::uint64_t additions = 0;
  std::uint64_t retired = 0;       // set bits in the tombstone words
  std::uint8_t base_tag = 0;
};

struct BlobInfo {
  kinds::Kind kind = kinds::Kind::StringIndex;
  std::string format;  // the four magic bytes (ASCII for every accepted blob)
  std::uint64_t bytes = 0;
  std::optional<std::uint64_t> keys;
  std::optional<std::uint32_t> fingerprint_bits;
  std::optional<std::uint64_t> mph_bytes;
  std::optional<std::uint64_t> arena_bytes;
  std::optional<std::uint64_t> side_entries;
  std::optional<OverlayInfo> overlay;
};

// The bytes being inspected.
class Source {
 public:
  virtual ~Source() = default;
  virtual std::uint64_t len() const = 0;
  // A copy of exactly `len` bytes from `offset`, or an IndexError.
  virtual std::vector<unsigned char> read(std::uint64_t offset, std::uint64_t len) const = 0;
};

// Bytes in memory. A read past the end is the truncation error.
class SliceSource final : public Source {
 public:
  explicit SliceSource(std::span<const unsigned char> bytes) noexcept : bytes_(bytes) {}
  std::uint64_t len() const override { return bytes_.size(); }
  std::vector<unsigned char> read(std::uint64_t offset, std::uint64_t len) const override;

 private:
  std::span<const unsigned char> bytes_;
};

// An open file and the size it had when opened. Reads are positioned and
// exact; the file ending early is the I/O error "failed to fill whole
// buffer". No range check of its own: the window above it does that.
class FileSource final : public Source {
 public:
  explicit FileSource(File file);
  std::uint64_t len() const override { return size_; }
  std::vector<unsigned char> read(std::uint64_t offset, std::uint64_t len) const override;

 private:
  mutable File file_;  // positioned reads only: the file position never moves
  std::uint64_t size_ = 0;
};

// A range of a source: the whole blob, or an overlay's base region.
struct Window {
  const Source& source;
  std::uint64_t start = 0;
  std::uint64_t len = 0;

  static Window whole(const Source& source) { return Window{source, 0, source.len()}; }
  // `len` bytes at `offset` within the window; truncation when they pass its end.
  std::vector<unsigned char> read(std::uint64_t offset, std::uint64_t len) const;
  std::uint32_t u32(std::uint64_t offset) const;
  std::uint64_t u64(std::uint64_t offset) const;
};

// Inspects the blob that fills `window`; `nested` only for an overlay's base.
BlobInfo parse(const Window& window, bool nested);
// Opens `path` read-only, inspects the whole file and closes it.
BlobInfo inspect_file(const std::string& path);
// Inspects bytes in memory.
BlobInfo inspect_bytes(std::span<const unsigned char> bytes);

// The number of set bits in `words` little-endian u64 words at `offset`,
// read 8,192 words at a time.
std::uint64_t popcount(const Window& window, std::uint64_t offset, std::uint64_t words);

// `length` less each section in turn; truncation as soon as one does not fit.
std::uint64_t rest(std::uint64_t length, std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t d,
                   std::uint64_t e, std::uint64_t f);

// The common tail of both overlay formats: the base region parsed as its own
// blob and the live key count.
BlobInfo overlay(const Window& window, std::string format, std::uint64_t length, std::uint8_t base_tag,
                 std::uint64_t header_len, std::uint64_t base_len, std::uint64_t additions, std::uint64_t retired);

// The messages, for callers and tests that match them.
inline constexpr const char* MSG_TRUNCATED = "blob truncated: a length in the header runs past the end";
inline constexpr const char* MSG_NO_MAGIC = "not a quorvale blob: shorter than a magic";
inline constexpr const char* MSG_UNKNOWN = "not a quorvale blob: unknown magic";
inline constexpr const char* MSG_NESTED =
    "an overlay's base region is itself an overlay, which nothing in this crate writes";
inline constexpr const char* MSG_COUNTS = "overlay header is inconsistent: its counts do not add up";
inline constexpr const char* MSG_TOMBSTONES = "overlay tombstone length disagrees with the blob";

}  // namespace quorvale::inspect
