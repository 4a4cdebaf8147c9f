// What the overlay's damaged-input checks share (the seeded mutation test and
// the fuzz target): seed blobs of both formats over every base kind, and the
// exercise of whatever loads.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "overlay_fixtures.hpp"

namespace overlay_exercise {

using namespace overlay_fixtures;

inline const std::vector<std::string>& probes() {
  static const std::vector<std::string> p{"", "a", "bx", "k1", "k7", "\xc3\xa9", "zz", "new"};
  return p;
}

template <class Kind>
Bytes seed_blob(unsigned option, int additions, int removals) {
  std::vector<std::string> base;
  for (int i = 0; i < 12; ++i) base.push_back(std::string(1, static_cast<char>('a' + i)) + "x");
  auto o = over<Kind>(base, option);
  for (int i = 0; i < additions; ++i) o.add(std::string("k").append(std::to_string(i)));
  for (int i = 0; i < removals; ++i) o.retire_id(static_cast<std::uint64_t>(i * 5) % o.id_space());
  return o.to_bytes();
}

// Valid blobs over each base kind, in both formats.
inline std::vector<std::pair<std::string, Bytes>> seed_blobs() {
  std::vector<std::pair<std::string, Bytes>> out;
  const std::pair<std::string, Bytes> v2[] = {
      {"string-empty", seed_blob<StringIndex>(0, 0, 0)},
      {"string", seed_blob<StringIndex>(0, 9, 4)},
      {"perfect", seed_blob<PerfectHashIndex>(0, 9, 4)},
      {"perfect-tags", seed_blob<PerfectHashIndex>(1, 3, 1)},
      {"compact", seed_blob<CompactHashIndex>(0, 9, 4)},
      {"compact-13", seed_blob<CompactHashIndex>(13, 2, 1)},
  };
  for (const auto& [name, blob] : v2) {
    out.emplace_back(name, blob);
    out.emplace_back(name + "-v1", as_v1(blob));
  }
  return out;
}

// Answers, a second save and edits, over an overlay that loaded: nullptr, or
// what failed. Key walks over a crafted base behind the trusted loader may
// fail with IndexError.
template <class Kind>
const char* exercise(Overlay o, bool untrusted) {
#define QV_EXPECT(cond) \
  if (!(cond)) return #cond
  QV_EXPECT(o.is_empty() == (o.len() == 0));
  QV_EXPECT(o.len() <= o.id_space());
  if (o.base().stores_keys()) {
    // Key walks over a crafted string index behind the trusted loader may
    // end in IndexError; over a validated one they may not.
    const bool trusted_string = !untrusted && std::is_same_v<Kind, StringIndex>;
    try {
      const std::vector<std::string> keys = o.keys();
      // A base id whose stored key does not read (crafted key bytes) is
      // live without a key.
      QV_EXPECT(keys.size() <= o.len());
      // Ids and keys agree where the base's own answers must: a validated
      // string index (a perfect-hash index verified by its checksum may hold
      // a key at a slot its hash does not give).
      for (std::uint64_t id = 0; id < std::min<std::uint64_t>(o.id_space(), 64); ++id) {
        const auto k = o.key(id);
        if (k && untrusted && std::is_same_v<Kind, StringIndex>) QV_EXPECT(o.id(*k) == id);
      }
    } catch (const quorvale::IndexError&) {
      QV_EXPECT(trusted_string);
    }
  }
  const Bytes again = o.to_bytes();
  QV_EXPECT(again.size() == o.serialized_len());
  auto back = load<Kind>(again, untrusted);
  QV_EXPECT(back.id_space() == o.id_space() && back.len() == o.len());
  QV_EXPECT(back.to_bytes() == again);
  for (const std::string& p : probes()) QV_EXPECT(back.id(p) == o.id(p));
  for (const std::string& p : probes()) {
    const auto before = o.id(p);
    const std::uint64_t id = o.add(p);
    QV_EXPECT(!before || *before == id);
    QV_EXPECT(o.id(p) == id);
    QV_EXPECT(o.remove(p));
    QV_EXPECT(!o.contains(p));
  }
  if (o.id_space() > 0) (void)o.retire_id(o.id_space() - 1);
  return nullptr;
#undef QV_EXPECT
}

}  // namespace overlay_exercise
