// Resealing: recomputing the checksums of a mutated input so that it gets
// past them, for the libFuzzer targets and the seeded mutation loops of
// tests/cpp alike. Each helper takes the bytes of one stored object in place,
// does nothing where the object is too short to say where its checksums lie,
// and never reads outside the bytes. The checksums are each format's frame
// (blob::Frame::seal_blob: the payload checksum where the header places the
// payload inside the blob, then the header checksum); a blob that embeds
// another (an "MPH" image, a dictionary, an overlay's base) reseals the inner
// one first, where its header says it lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "blob.hpp"
#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "dict_index/frame.hpp"
#include "double_array.hpp"
#include "fst/crc32c.hpp"
#include "hashed_dict.hpp"
#include "mphf.hpp"
#include "overlay.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"

namespace qfuzz {

using MutableBytes = std::span<unsigned char>;

// The region of `len` bytes at `at`, when it lies inside.
inline bool lies_inside(MutableBytes b, std::uint64_t at, std::uint64_t len) {
  return at <= b.size() && len <= b.size() - at;
}

// A minimal perfect hash image: "MPH1" (a fixed header) or "MPH2"/"MPH3"
// (a header of its level count, which must be possible).
inline void reseal_mph(MutableBytes b) {
  namespace mphf = quorvale::mphf;
  if (mphf::FRAME_V1.has_magic(b)) {
    mphf::FRAME_V1.seal_blob(b);
  } else if (mphf::FRAME_V3.has_magic(b) && b.size() >= 24) {
    const std::uint64_t levels = quorvale::load_le64(b.data() + 16);
    if (levels <= mphf::MAX_LEVELS && lies_inside(b, 0, mphf::v2_header_len(levels)))
      mphf::FRAME_V3.seal_header(b.first(mphf::v2_header_len(levels)));
  }
}

// An FST: the masked CRC-32C of everything before the last 4 bytes, stored
// in them, in version 3 (versions 1 and 2 carry none).
inline void reseal_fst(MutableBytes b) {
  if (b.size() < 8 || quorvale::load_le64(b.data()) != 3) return;
  quorvale::store_le32(b.data() + b.size() - 4,
                       quorvale::fst::mask_crc(quorvale::fst::crc32c(b.first(b.size() - 4))));
}

// A hash-kind blob whose image, of the length (u64) at `image_len_at` of
// its header, follows the header.
inline void reseal_image_holder(MutableBytes b, const quorvale::blob::Frame& frame, std::size_t image_len_at) {
  if (b.size() < frame.header_len) return;
  const std::uint64_t image_len = quorvale::load_le64(b.data() + image_len_at);
  if (lies_inside(b, frame.header_len, image_len)) reseal_mph(b.subspan(frame.header_len, image_len));
  frame.seal_blob(b);
}

inline void reseal_bmp8(MutableBytes b) { reseal_image_holder(b, quorvale::perfect_hash::FRAME, 12); }
inline void reseal_bch8(MutableBytes b) { reseal_image_holder(b, quorvale::compact_hash::FRAME, 16); }
inline void reseal_bcl2(MutableBytes b) { reseal_image_holder(b, quorvale::closed_hash::FRAME, 12); }

// The "BIX4" string-index blob: the FST after the magic.
inline void reseal_bix4(MutableBytes b) {
  const quorvale::blob::Frame& frame = quorvale::string_index::FRAME;
  if (b.size() >= frame.header_len) reseal_fst(b.subspan(frame.header_len));
}

// The "BDX3"/"BDX4" dictionary blob.
inline void reseal_dict(MutableBytes b) { quorvale::dict_index::FRAME.seal_blob(b); }

// The "BDA1" double-array blob.
inline void reseal_bda1(MutableBytes b) { quorvale::double_array::FRAME.seal_blob(b); }

// The "BHD1" hashed-dictionary blob: the embedded dictionary (its length at
// 16) and the image after it (its length at 24), then the frame.
inline void reseal_bhd1(MutableBytes b) {
  const quorvale::blob::Frame& frame = quorvale::hashed_dict::FRAME;
  if (b.size() < frame.header_len) return;
  const std::uint64_t dict_len = quorvale::load_le64(b.data() + 16), image_len = quorvale::load_le64(b.data() + 24);
  if (lies_inside(b, frame.header_len, dict_len)) {
    reseal_dict(b.subspan(frame.header_len, dict_len));
    const std::uint64_t image_at = frame.header_len + dict_len;
    if (lies_inside(b, image_at, image_len)) reseal_mph(b.subspan(image_at, image_len));
  }
  frame.seal_blob(b);
}

// An overlay blob, "OVL2" or "OVL1": the base region (its length at 5) by
// its tag at 4 (1 "BIX4", 2 "BMP8", 3 "BCH8"), then the frame ("OVL1" has
// no checksum).
inline void reseal_overlay(MutableBytes b) {
  namespace overlay = quorvale::overlay;
  const quorvale::blob::Frame& frame = overlay::FRAME_V1.has_magic(b) ? overlay::FRAME_V1 : overlay::FRAME_V2;
  if (!frame.has_magic(b) || b.size() < frame.header_len) return;
  const std::uint64_t base_len = quorvale::load_le64(b.data() + 5);
  if (lies_inside(b, frame.header_len, base_len)) {
    const MutableBytes base = b.subspan(frame.header_len, base_len);
    switch (b[4]) {
      case overlay::TAG_STRING: reseal_bix4(base); break;
      case overlay::TAG_PERFECT: reseal_bmp8(base); break;
      case overlay::TAG_COMPACT: reseal_bch8(base); break;
      default: break;
    }
  }
  frame.seal_blob(b);
}

}  // namespace qfuzz
