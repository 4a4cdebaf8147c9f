// What the overlay's damaged-input checks share (the seeded mutation test and
// the fuzz target): seed blobs of both formats over every base kind, and the
// exercise of whatever loads.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fst_test_util.hpp"
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

// Over string-index bases of the shapes that cost a walk most: 2^40 keys in
// under 1 KB (nodes of two transitions, each to the node below), which only
// crafted bytes hold, and one key of 3,000 bytes beside a short one.
inline Bytes wide_seed() {
  const Bytes fst = fsttest::doubling_fst(40);
  Bytes blob(4 + fst.size());
  std::copy_n("BIX4", 4, blob.begin());
  std::copy(fst.begin(), fst.end(), blob.begin() + 4);
  Overlay o(std::make_shared<const StringIndex>(StringIndex::from_untrusted_bytes(blob)));
  o.add("k1");
  o.retire_id(1);
  return o.to_bytes();
}

inline Bytes deep_seed() {
  auto o = over<StringIndex>({std::string(3000, 'a'), "b"});
  o.add("c");
  o.retire_id(1);
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
      {"string-wide", wide_seed()},
      {"string-deep", deep_seed()},
  };
  for (const auto& [name, blob] : v2) {
    out.emplace_back(name, blob);
    out.emplace_back(name + "-v1", as_v1(blob));
  }
  return out;
}

// A walk over an overlay's live keys that stops after `keys` keys or
// `pauses` pauses (Pacer::EVERY steps each), whichever comes first: a small
// crafted base can spell 2^40 keys, or pass over as many that give none.
// The keys it met, and whether it ran to the end.
struct Walked {
  std::uint64_t keys = 0;
  bool whole = false;
};

inline Walked walk_keys(const Overlay& o, std::uint64_t keys, int pauses) {
  struct Enough {};
  Walked w;
  int paused = 0;
  auto pause = [&] {
    if (++paused > pauses) throw Enough{};
  };
  try {
    o.for_each_key(
        [&](std::uint64_t, std::string_view) {
          if (w.keys == keys) throw Enough{};
          ++w.keys;
        },
        quorvale::Pause(pause));
    w.whole = true;
  } catch (const Enough&) {
  }
  return w;
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
      // A base id whose stored key does not read (crafted key bytes) is
      // live without a key.
      const Walked walked = walk_keys(o, 100000, 16);
      QV_EXPECT(walked.keys <= o.len());
      if (walked.whole) QV_EXPECT(o.keys().size() == walked.keys);
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
  // The edits retire ids up to the id space, and the tombstones take a word
  // per 64 ids up to the highest retired one: over a crafted base of 2^40
  // keys, 128 GiB. Past 2^24 ids (2 MiB of words) they are left out.
  if (o.id_space() > (std::uint64_t{1} << 24)) return nullptr;
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
