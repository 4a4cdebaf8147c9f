// Resealing: recomputing the checksums of a mutated input so that it gets
// past them. Each helper takes the bytes of one stored object in place, does
// nothing where the object is too short (or its fields too damaged) to say
// where its checksum lies, and never reads outside the bytes.
//
// The primitives come first; then one resealer per stored kind. A kind that
// embeds another (the "BMP8" blob holds an "MPH" image) reseals the inner one
// before the outer checksums that cover it. A target whose blob other blobs
// embed adds its resealer here, or in a header of its own beside this one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "blob.hpp"
#include "fst/crc32c.hpp"

namespace qfuzz {

using MutableBytes = std::span<unsigned char>;

// The u32 header checksum (low 32 bits of the finalised FNV-1a) of bytes
// [0, header_len), stored at `at`.
inline void reseal_header_checksum(MutableBytes b, std::size_t header_len, std::size_t at) {
  if (header_len > b.size() || at > b.size() || b.size() - at < 4) return;
  quorvale::store_le32(b.data() + at, quorvale::blob::header_checksum(b.first(header_len)));
}

// The u64 payload checksum of bytes [from, to), stored at `at`.
inline void reseal_payload_checksum(MutableBytes b, std::size_t from, std::size_t to, std::size_t at) {
  if (from > to || to > b.size() || at > b.size() || b.size() - at < 8) return;
  quorvale::store_le64(b.data() + at, quorvale::blob::hash_block(b.subspan(from, to - from)));
}

// The masked CRC-32C of everything before the last 4 bytes, stored in them.
inline void reseal_crc32c_footer(MutableBytes b) {
  if (b.size() < 4) return;
  quorvale::store_le32(b.data() + b.size() - 4,
                       quorvale::fst::mask_crc(quorvale::fst::crc32c(b.first(b.size() - 4))));
}

// ---- per kind ----------------------------------------------------------------

// A minimal perfect hash image: "MPH1" (checksum of bytes 0..71 at 72) or
// "MPH2"/"MPH3" (checksum of the 64 + 24·L header bytes after them).
inline void reseal_mph(MutableBytes b) {
  if (b.size() < 4) return;
  if (std::memcmp(b.data(), "MPH1", 4) == 0) {
    reseal_header_checksum(b, 72, 72);
  } else if (std::memcmp(b.data(), "MPH2", 4) == 0 || std::memcmp(b.data(), "MPH3", 4) == 0) {
    if (b.size() < 24) return;
    const std::uint64_t levels = quorvale::load_le64(b.data() + 16);
    if (levels > 16) return;
    const std::size_t head = static_cast<std::size_t>(64 + 24 * levels);
    reseal_header_checksum(b, head, head);
  }
}

// An FST: the CRC-32C footer of version 3 (versions 1 and 2 carry none).
inline void reseal_fst(MutableBytes b) {
  if (b.size() < 8 || quorvale::load_le64(b.data()) != 3) return;
  reseal_crc32c_footer(b);
}

// The "BMP8" perfect-hash blob: the image inside it, then the payload
// checksum (bytes 36..end, at 24), then the header checksum (bytes 0..31,
// at 32).
inline void reseal_bmp8(MutableBytes b) {
  if (b.size() < 36) return;
  const std::uint64_t image_len = quorvale::load_le64(b.data() + 12);
  if (image_len <= b.size() - 36) reseal_mph(b.subspan(36, static_cast<std::size_t>(image_len)));
  reseal_payload_checksum(b, 36, b.size(), 24);
  reseal_header_checksum(b, 32, 32);
}

// The "BDX3"/"BDX4" dictionary blob: the payload checksum (bytes 72..end, at
// 36), then the header checksum (bytes 0..67, at 68).
inline void reseal_dict(MutableBytes b) {
  if (b.size() < 72) return;
  reseal_payload_checksum(b, 72, b.size(), 36);
  reseal_header_checksum(b, 68, 68);
}

}  // namespace qfuzz
