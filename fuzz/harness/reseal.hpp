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

// A hash-kind blob whose header of `header` bytes holds the embedded image's
// length (u64) at `image_len_at`, the payload checksum (u64) over the bytes
// after the header at header - 12, and ends in the header checksum: the
// image, then the payload checksum, then the header checksum.
inline void reseal_hash_blob(MutableBytes b, std::size_t header, std::size_t image_len_at) {
  if (b.size() < header) return;
  const std::uint64_t image_len = quorvale::load_le64(b.data() + image_len_at);
  if (image_len <= b.size() - header) reseal_mph(b.subspan(header, static_cast<std::size_t>(image_len)));
  reseal_payload_checksum(b, header, b.size(), header - 12);
  reseal_header_checksum(b, header - 4, header - 4);
}

// The "BMP8" perfect-hash blob (36-byte header, image length at 12).
inline void reseal_bmp8(MutableBytes b) { reseal_hash_blob(b, 36, 12); }

// The "BIX4" string-index blob: the FST after the magic.
inline void reseal_bix4(MutableBytes b) {
  if (b.size() < 4) return;
  reseal_fst(b.subspan(4));
}

// The "BCH8" compact-hash blob (40-byte header, image length at 16).
inline void reseal_bch8(MutableBytes b) { reseal_hash_blob(b, 40, 16); }

// An overlay blob, "OVL2" or "OVL1": the base region by its tag (1 "BIX4",
// 2 "BMP8", 3 "BCH8"), then for "OVL2" the payload checksum (bytes 49..end,
// at 37) and the header checksum (bytes 0..44, at 45).
inline void reseal_overlay(MutableBytes b) {
  if (b.size() < 4) return;
  const bool v2 = std::memcmp(b.data(), "OVL2", 4) == 0;
  const std::size_t header = v2 ? 49 : 21;
  if (b.size() < header) return;
  const std::uint64_t base_len = quorvale::load_le64(b.data() + 5);
  if (base_len <= b.size() - header) {
    const MutableBytes base = b.subspan(header, static_cast<std::size_t>(base_len));
    switch (b[4]) {
      case 1: reseal_bix4(base); break;
      case 2: reseal_bmp8(base); break;
      case 3: reseal_bch8(base); break;
      default: break;
    }
  }
  if (!v2) return;
  reseal_payload_checksum(b, 49, b.size(), 37);
  reseal_header_checksum(b, 45, 45);
}

// The "BDX3"/"BDX4" dictionary blob: the payload checksum (bytes 72..end, at
// 36), then the header checksum (bytes 0..67, at 68).
inline void reseal_dict(MutableBytes b) {
  if (b.size() < 72) return;
  reseal_payload_checksum(b, 72, b.size(), 36);
  reseal_header_checksum(b, 68, 68);
}

// The "BCL2" closed-hash blob (36-byte header, image length at 12).
inline void reseal_bcl2(MutableBytes b) { reseal_hash_blob(b, 36, 12); }

}  // namespace qfuzz
