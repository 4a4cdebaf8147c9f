// Overlays over small bases, and the blob surgery the loader tests share:
// field pokes and resealing of both checksums.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "compact_hash/compact_hash.hpp"
#include "overlay.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"

namespace overlay_fixtures {

using quorvale::CompactHashIndex;
using quorvale::PerfectHashIndex;
using quorvale::StringIndex;
namespace overlay = quorvale::overlay;
using Bytes = std::vector<unsigned char>;

// A base over the keys; `option` asks a perfect-hash index for tags and
// gives a compact-hash index its fingerprint width (0 for the default 8).
template <class Kind>
Kind build_kind(const std::vector<std::string>& keys, unsigned option = 0) {
  std::vector<std::string_view> views(keys.begin(), keys.end());
  if constexpr (std::is_same_v<Kind, StringIndex>) {
    return StringIndex::build(std::move(views));
  } else if constexpr (std::is_same_v<Kind, CompactHashIndex>) {
    if (option == 0) return CompactHashIndex::build(views);
    std::vector<quorvale::hash::HashPair> pairs;
    for (auto k : views) pairs.push_back(quorvale::hash::hash_pair(k));
    return CompactHashIndex::build_from_pairs(std::move(pairs), option);
  } else {
    return Kind::build_with(std::move(views), option != 0);
  }
}

using overlay::Overlay;

template <class Kind>
Overlay over(const std::vector<std::string>& keys, unsigned option = 0) {
  return Overlay(std::make_shared<const Kind>(build_kind<Kind>(keys, option)));
}

// An overlay blob loaded over a `Kind` base.
template <class Kind>
Overlay load(const Bytes& blob, bool untrusted) {
  return Overlay::load(blob, overlay::TAG_OF<Kind>, untrusted);
}

// The base index of an overlay over a `Kind`.
template <class Kind>
const Kind& index(const Overlay& o) {
  return *o.index<Kind>();
}

inline std::uint64_t get64(const Bytes& b, std::size_t at) { return quorvale::load_le64(b.data() + at); }
inline void put64(Bytes& b, std::size_t at, std::uint64_t v) { quorvale::store_le64(b.data() + at, v); }

// Recomputes the payload checksum, then the header checksum, of an "OVL2" blob.
inline void reseal(Bytes& b) { overlay::FRAME_V2.seal_blob(b); }

// Rewrites an "OVL2" blob as the "OVL1" an older version wrote of the same state.
inline Bytes as_v1(const Bytes& v2) {
  const std::uint64_t base_len = get64(v2, 5), added_len = get64(v2, 21), words = get64(v2, 29);
  // The 21 header bytes, the base and added keys, the tombstone count, the
  // tombstones: sized first, as GCC 12 warns falsely (-Warray-bounds) on
  // inserts after the short header.
  const std::size_t body = static_cast<std::size_t>(base_len + added_len);
  const unsigned char* from = v2.data() + overlay::HEADER_V2;
  Bytes out(v2.size() - overlay::HEADER_V2 + 29);
  std::copy_n(v2.data(), 21, out.data());
  out[3] = '1';
  std::copy_n(from, body, out.data() + 21);
  quorvale::store_le64(out.data() + 21 + body, words);
  std::copy(from + body, v2.data() + v2.size(), out.data() + 29 + body);
  return out;
}

}  // namespace overlay_fixtures
