#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "mphf.hpp"
#include "harness/reseal.hpp"
#include "mphf_fixtures.hpp"

using namespace quorvale;
using namespace mphf_fixtures;

namespace {

using Bytes = std::vector<unsigned char>;

template <std::size_t N>
Bytes vec(const unsigned char (&a)[N]) {
  return Bytes(a, a + N);
}

struct Sink {
  Bytes out;
  void write_all(std::span<const unsigned char> s) { out.insert(out.end(), s.begin(), s.end()); }
};

// A sink that fails once it has taken `room` bytes, as a full disk would.
struct FullSink {
  std::size_t room;
  std::size_t taken = 0;
  std::size_t calls_after_failure = 0;
  bool failed = false;
  void write_all(std::span<const unsigned char> s) {
    if (failed) ++calls_after_failure;
    if (taken + s.size() > room) {
      failed = true;
      throw IndexError::io(IoKind::WriteZero, "failed to write whole buffer");
    }
    taken += s.size();
  }
};

Bytes write_into_bytes(const Mphf& m) {
  Sink s;
  m.write_into(s);
  return s.out;
}

void put64(Bytes& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
void put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<unsigned char>(v);
  b[at + 1] = static_cast<unsigned char>(v >> 8);
}
std::uint64_t get64(const Bytes& b, std::size_t at) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}

// Recompute the header checksum after a header field was changed, so that
// the loader's later checks are reached.
void reseal(Bytes& b) { qfuzz::reseal_mph(b); }

std::string load_error(const Bytes& b) {
  try {
    Mphf::from_bytes(b);
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Format);
    EXPECT_EQ(e.display(), "format error: " + e.message());
    return e.message();
  }
  return "(loaded)";
}

// An "MPH2" image laid out from its table by this test alone.
struct OldLevel {
  std::uint64_t slots, buckets, window;
};
Bytes mph2(std::uint64_t n, const std::vector<OldLevel>& levels, std::uint64_t k, std::uint64_t P, std::uint64_t m,
           const std::vector<std::uint64_t>& occupied, std::uint64_t T, const std::vector<std::uint64_t>& holes) {
  std::uint64_t L = levels.size(), x = holes.size();
  Bytes b(64 + 24 * L + 4, 0);
  std::memcpy(b.data(), "MPH2", 4);
  put16(b, 4, 2);
  put64(b, 8, n);
  put64(b, 16, L);
  put64(b, 24, k);
  put64(b, 32, P);
  put64(b, 40, m);
  put64(b, 48, 0x5eed);
  put64(b, 56, x);
  for (std::uint64_t i = 0; i < L; ++i) {
    put64(b, 64 + 24 * i, levels[i].slots);
    put64(b, 72 + 24 * i, levels[i].buckets);
    put64(b, 80 + 24 * i, levels[i].window);
  }
  reseal(b);
  auto add64 = [&](std::uint64_t v) {
    std::size_t at = b.size();
    b.resize(at + 8);
    put64(b, at, v);
  };
  for (const OldLevel& l : levels) b.insert(b.end(), l.buckets, 7);
  b.insert(b.end(), 2 * P, 0);
  std::vector<std::uint64_t> bitmap((T + 63) / 64, 0);
  for (std::uint64_t j : occupied) bitmap[j / 64] |= 1ULL << (j % 64);
  for (std::uint64_t w : bitmap) add64(w);
  b.insert(b.end(), 4 * ((T + 511) / 512), 0xab);
  std::uint32_t w = 0;
  if (x) {
    std::uint64_t q = std::max<std::uint64_t>(n / x, 1);
    while ((q >> (w + 1)) != 0) ++w;
  }
  std::vector<std::uint64_t> low((x * w + 63) / 64, 0), high(x ? ((n >> w) + x + 1 + 63) / 64 : 0, 0);
  for (std::uint64_t i = 0; i < x; ++i) {
    for (std::uint32_t bit = 0; bit < w; ++bit)
      if (holes[i] >> bit & 1) low[(i * w + bit) / 64] |= 1ULL << ((i * w + bit) % 64);
    std::uint64_t p = (holes[i] >> w) + i;
    high[p / 64] |= 1ULL << (p % 64);
  }
  for (std::uint64_t v : low) add64(v);
  for (std::uint64_t v : high) add64(v);
  b.insert(b.end(), 4 * ((x + 127) / 128), 0xcd);
  return b;
}

const char* const MESSAGES[] = {
    "mphf: bad magic or truncated header",
    "mphf: truncated header",
    "mphf: too many levels",
    "mphf: header checksum mismatch",
    "mphf: unsupported format version",
    "mphf: unsupported seed geometry",
    "mphf: reserved header field is not zero",
    "mphf: empty table with a non-empty shape",
    "mphf: a level's shape is inconsistent",
    "mphf: a level's slice is too narrow for its mode bits",
    "mphf: the first level does not cover the table",
    "mphf: the tail's shape is inconsistent",
    "mphf: remap low bits out of range",
    "mphf: hole count out of range",
    "mphf: blob sections do not fit in memory",
    "mphf: blob length disagrees with the header",
    "mphf: a remap entry points outside the image",
    "mphf: a remap's entries run backwards",
    "mphf: occupied values disagree with the hole count",
    "mphf: a remap block outruns its super-sample",
    "mphf: a table dimension is zero",
    "mphf: skew boundary outside the bucket range",
    "mphf: slots per part out of range",
    "mphf: stride too small for a key's window",
    "mphf: slot count disagrees with the parts",
    "mphf: bucket count out of range",
};

constexpr std::uint64_t MAX = ~std::uint64_t{0};

}  // namespace

TEST(MphfImage, WritersAgreeWithTheReferenceLayout) {
  struct Case {
    const char* name;
    const TableSpec* table;
    Bytes expect;
    const std::uint32_t* ids;
  } cases[] = {
      {"full", &FULL_SPEC, vec(FULL_MPH3), FULL_IDS},       {"notail", &NOTAIL_SPEC, vec(NOTAIL_MPH3), NOTAIL_IDS},
      {"fast", &FAST_SPEC, vec(FAST_MPH3), FAST_IDS},       {"tailonly", &TAILONLY_SPEC, vec(TAILONLY_MPH3), TAILONLY_IDS},
      {"geom0", &GEOM0_SPEC, vec(GEOM0_MPH3), GEOM0_IDS},
  };
  auto hashes = probe_hashes(3000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mphf m(assemble(*c.table));
    EXPECT_EQ(m.to_bytes(), c.expect);
    EXPECT_EQ(write_into_bytes(m), c.expect);
    EXPECT_EQ(m.byte_len(), c.expect.size());
    Mphf back = Mphf::from_bytes(c.expect);
    ASSERT_NE(back.v2(), nullptr);
    EXPECT_EQ(back.v2()->geometry, c.table->geometry);
    for (std::size_t i = 0; i < 3000; ++i) ASSERT_EQ(back.index(hashes[i]), c.ids[i]);
    EXPECT_EQ(back.to_bytes(), c.expect);
  }
}

TEST(MphfImage, EmptyImages) {
  for (bool geometry : {true, false}) {
    V2 v;
    v.geometry = geometry;
    Mphf m(std::move(v));
    Bytes expect = geometry ? vec(EMPTY_MPH3) : vec(EMPTY_MPH3_GEOM0);
    ASSERT_EQ(expect.size(), 68u);
    EXPECT_EQ(m.to_bytes(), expect);
    EXPECT_EQ(write_into_bytes(m), expect);
    EXPECT_EQ(m.byte_len(), 68u);
    Mphf back = Mphf::from_bytes(expect);
    ASSERT_NE(back.v2(), nullptr);
    EXPECT_EQ(back.n(), 0u);
    EXPECT_EQ(back.v2()->geometry, geometry);
    EXPECT_EQ(back.index(12345), 0u);
    EXPECT_EQ(back.to_bytes(), expect);
  }
  // The empty legacy image keeps its (unexamined) seed when written back.
  Mphf v1 = Mphf::from_bytes(vec(EMPTY_MPH1));
  EXPECT_EQ(v1.to_bytes(), vec(EMPTY_MPH1));
  EXPECT_EQ(v1.byte_len(), 76u);
}

TEST(MphfImage, OlderImagesLoadAsCurrentTables) {
  auto hashes = probe_hashes(3000);
  Mphf m = Mphf::from_bytes(vec(MPH2_IMAGE));
  ASSERT_NE(m.v2(), nullptr);
  EXPECT_FALSE(m.v2()->geometry);
  ASSERT_TRUE(m.v2()->level0.has_value());
  EXPECT_EQ(m.v2()->level0->mode_bits, 0u);
  EXPECT_EQ(m.v2()->level0->shift, 1u);  // window 512
  EXPECT_EQ(m.v2()->levels[0].shift, 0u);  // window 32
  for (std::size_t i = 0; i < 3000; ++i) ASSERT_EQ(m.index(hashes[i]), MPH2_IDS[i]);
  // Written back as the current image with the converted remap.
  Bytes now = m.to_bytes();
  EXPECT_EQ(now, vec(MPH2_AS_MPH3));
  EXPECT_EQ(m.byte_len(), now.size());
  Mphf again = Mphf::from_bytes(now);
  for (std::size_t i = 0; i < 3000; ++i) ASSERT_EQ(again.index(hashes[i]), MPH2_IDS[i]);

  // Free further slots before the first occupied one answer 0.
  Mphf late = Mphf::from_bytes(vec(MPH2_LATE_IMAGE));
  for (std::size_t i = 0; i < 3000; ++i) ASSERT_EQ(late.index(hashes[i]), MPH2_LATE_IDS[i]);
  for (std::uint64_t b = 0; b < 5; ++b) EXPECT_EQ(late.v2()->remap.get(b), 0u);
}

TEST(MphfImage, LegacyImagesWriteBackUnchanged) {
  for (Bytes img : {vec(MPH1_IMAGE), vec(MPH1_NOSKEW_IMAGE), vec(EMPTY_MPH1)}) {
    Mphf m = Mphf::from_bytes(img);
    ASSERT_NE(m.v1(), nullptr);
    EXPECT_EQ(m.to_bytes(), img);
    EXPECT_EQ(write_into_bytes(m), img);
    EXPECT_EQ(m.byte_len(), img.size());
  }
}

TEST(MphfImage, ReloadedTablesAnswerLikeTheOriginal) {
  for (const Synthetic& s : {Synthetic{300000, 1024, true, true, 0.1, 21}, Synthetic{0, 1024, true, true, 0.1, 22},
                             Synthetic{5000, 512, false, false, 0.2, 23}}) {
    Mphf m(synthetic(s));
    Bytes img = m.to_bytes();
    EXPECT_EQ(img.size(), m.byte_len());
    EXPECT_EQ(write_into_bytes(m), img);
    Mphf back = Mphf::from_bytes(img);
    auto hashes = random_hashes(100000, s.seed);
    auto all = back.index_all(hashes);
    for (std::size_t i = 0; i < hashes.size(); ++i) {
      ASSERT_EQ(back.index(hashes[i]), m.index(hashes[i]));
      ASSERT_EQ(all[i], m.index(hashes[i]));
    }
    EXPECT_EQ(back.to_bytes(), img);
  }
}

TEST(MphfImage, LoadingCopiesTheBytes) {
  Bytes img = vec(FULL_MPH3);
  Mphf m = Mphf::from_bytes(img);
  auto hashes = probe_hashes(3000);
  std::fill(img.begin(), img.end(), 0xff);
  for (std::size_t i = 0; i < 3000; ++i) ASSERT_EQ(m.index(hashes[i]), FULL_IDS[i]);
}

TEST(MphfImage, WriterFailureStopsTheImage) {
  Mphf m(assemble(FULL_SPEC));
  const std::size_t len = m.byte_len();
  for (std::size_t room : {std::size_t{0}, std::size_t{10}, std::size_t{200}, len - 1}) {
    FullSink s{room};
    try {
      m.write_into(s);
      ADD_FAILURE() << "no error with room " << room;
    } catch (const IndexError& e) {
      EXPECT_EQ(e.kind(), IndexError::Kind::Io);
    }
    EXPECT_EQ(s.calls_after_failure, 0u);
  }
  FullSink exact{len};
  m.write_into(exact);
  EXPECT_EQ(exact.taken, len);
}

// One image per failure, in the loader's order of checks: each image also
// fails the checks after its own, so a reordering shows.
TEST(MphfImage, LoaderRejectsEachMalformedCurrentImage) {
  const Bytes good = vec(FULL_MPH3);  // n 1000, three levels, a tail, geometry 2
  const std::size_t head = 64 + 24 * 3;
  struct Case {
    const char* what;
    std::function<void(Bytes&)> spoil;
    const char* message;
  } cases[] = {
      {"empty", [](Bytes& b) { b.clear(); }, "mphf: bad magic or truncated header"},
      {"three bytes", [](Bytes& b) { b.resize(3); }, "mphf: bad magic or truncated header"},
      {"other magic", [](Bytes& b) { b[3] = '4'; }, "mphf: bad magic or truncated header"},
      {"67 bytes", [](Bytes& b) { b.resize(67); }, "mphf: truncated header"},
      {"17 levels", [](Bytes& b) { put64(b, 16, 17); }, "mphf: too many levels"},
      {"cut inside the levels", [&](Bytes& b) { b.resize(head + 3); }, "mphf: truncated header"},
      {"flipped bit in n", [](Bytes& b) { b[9] ^= 4; }, "mphf: header checksum mismatch"},
      {"flipped bit in a level", [](Bytes& b) { b[64 + 24 + 3] ^= 1; }, "mphf: header checksum mismatch"},
      {"version 4", [](Bytes& b) { b[4] = 4, b[6] = 1, reseal(b); }, "mphf: unsupported format version"},
      {"geometry 1", [](Bytes& b) { b[6] = 1, b[7] = 1, reseal(b); }, "mphf: unsupported seed geometry"},
      {"reserved byte", [](Bytes& b) { b[7] = 1, put64(b, 8, 0), reseal(b); }, "mphf: reserved header field is not zero"},
      {"zero keys with levels", [](Bytes& b) { put64(b, 8, 0), reseal(b); }, "mphf: empty table with a non-empty shape"},
      {"level 0 window above its slots", [](Bytes& b) { put64(b, 80, 2048), put64(b, 72, 0), reseal(b); },
       "mphf: a level's shape is inconsistent"},
      {"level 0 window not a power of two", [](Bytes& b) { put64(b, 80, 384), reseal(b); },
       "mphf: a level's shape is inconsistent"},
      {"level 0 without buckets", [](Bytes& b) { put64(b, 72, 0), reseal(b); }, "mphf: a level's shape is inconsistent"},
      {"level 0 window 32", [](Bytes& b) { put64(b, 80, 32), put64(b, 64, 999), reseal(b); },
       "mphf: a level's slice is too narrow for its mode bits"},
      {"level 0 short of n", [](Bytes& b) { put64(b, 64, 999), put64(b, 88, 0), reseal(b); },
       "mphf: the first level does not cover the table"},
      {"level 1 without slots", [](Bytes& b) { put64(b, 88, 0), put64(b, 112, 0), reseal(b); },
       "mphf: a level's shape is inconsistent"},
      {"level 2 window 32", [](Bytes& b) { put64(b, 128, 32), put64(b, 24, 0), reseal(b); },
       "mphf: a level's slice is too narrow for its mode bits"},
      {"further slots overflow", [](Bytes& b) { put64(b, 88, 1ULL << 63), put64(b, 112, 1ULL << 63), put64(b, 24, 0), reseal(b); },
       "mphf: blob sections do not fit in memory"},
      {"tail without keys", [](Bytes& b) { put64(b, 24, 0), put64(b, 56, 64), reseal(b); },
       "mphf: the tail's shape is inconsistent"},
      {"tail slots overflow", [](Bytes& b) { put64(b, 40, MAX - 100), put64(b, 56, 64), reseal(b); },
       "mphf: blob sections do not fit in memory"},
      {"pilot bytes overflow", [](Bytes& b) { put64(b, 32, 1ULL << 63), put64(b, 56, 64), reseal(b); },
       "mphf: blob sections do not fit in memory"},
      {"width 64", [](Bytes& b) { put64(b, 56, 64), reseal(b); }, "mphf: remap low bits out of range"},
      {"width 2^32", [](Bytes& b) { put64(b, 56, 1ULL << 32), reseal(b); }, "mphf: remap low bits out of range"},
      {"high bitmap overflow", [](Bytes& b) { put64(b, 40, MAX - 144), put64(b, 56, 0), reseal(b); },
       "mphf: blob sections do not fit in memory"},
      {"one byte more", [](Bytes& b) { b.push_back(0); }, "mphf: blob length disagrees with the header"},
      {"one byte fewer", [](Bytes& b) { b.pop_back(); }, "mphf: blob length disagrees with the header"},
      {"a 64-entry sample off", [](Bytes& b) { b[b.size() - 2] ^= 1; }, "mphf: a remap entry points outside the image"},
      {"a high word cleared", [](Bytes& b) { std::fill(b.end() - 2 * 3 - 4 - 8, b.end() - 2 * 3 - 4, 0); },
       "mphf: a remap entry points outside the image"},
  };
  ASSERT_EQ(load_error(good), "(loaded)");
  for (const Case& c : cases) {
    Bytes b = good;
    c.spoil(b);
    EXPECT_EQ(load_error(b), c.message) << c.what;
  }
  // An empty image with anything more than its header.
  struct EmptyCase {
    const char* what;
    std::function<void(Bytes&)> spoil;
  } empties[] = {
      {"a byte more", [](Bytes& b) { b.push_back(0); }},
      {"a tail seed", [](Bytes& b) { put64(b, 48, 1), reseal(b); }},
      {"a width", [](Bytes& b) { put64(b, 56, 1), reseal(b); }},
      {"tail buckets", [](Bytes& b) { put64(b, 32, 1), reseal(b); }},
  };
  for (const EmptyCase& c : empties) {
    Bytes b = vec(EMPTY_MPH3);
    c.spoil(b);
    EXPECT_EQ(load_error(b), "mphf: empty table with a non-empty shape") << c.what;
  }
}

TEST(MphfImage, LoaderRejectsEachMalformedOlderImage) {
  const std::vector<OldLevel> levels{{1000, 223, 512}, {100, 23, 32}};
  const std::uint64_t T = 100 + 4;
  auto ok = mph2(1000, levels, 3, 1, 4, {1, 50, 103}, T, {10, 500, 999});
  ASSERT_EQ(load_error(ok), "(loaded)");
  Mphf m = Mphf::from_bytes(ok);
  EXPECT_EQ(m.v2()->remap.get(0), 0u);
  EXPECT_EQ(m.v2()->remap.get(1), 10u);
  EXPECT_EQ(m.v2()->remap.get(49), 10u);
  EXPECT_EQ(m.v2()->remap.get(50), 500u);
  EXPECT_EQ(m.v2()->remap.get(103), 999u);

  auto resealed = [](Bytes b, std::size_t at, std::uint64_t v, unsigned width) {
    if (width == 8) put64(b, at, v);
    else b[at] = static_cast<unsigned char>(v);
    reseal(b);
    return b;
  };
  EXPECT_EQ(load_error(resealed(ok, 4, 3, 1)), "mphf: unsupported format version");
  EXPECT_EQ(load_error(resealed(ok, 6, 2, 1)), "mphf: unsupported seed geometry");
  EXPECT_EQ(load_error(resealed(ok, 56, 1001, 8)), "mphf: hole count out of range");
  EXPECT_EQ(load_error(mph2(10, {}, 10, 2, 11, {}, 11, {1})), "mphf: hole count out of range");
  Bytes more = mph2(1000, levels, 3, 1, 4, {1, 50, 103}, T, {10, 500, 999});
  more.push_back(0);
  EXPECT_EQ(load_error(more), "mphf: blob length disagrees with the header");
  // Bitmap and holes that do not match, holes that run backwards, a block
  // that outruns its sample: the conversion's own messages.
  EXPECT_EQ(load_error(mph2(1000, levels, 3, 1, 4, {1, 50}, T, {10, 500, 999})),
            "mphf: occupied values disagree with the hole count");
  EXPECT_EQ(load_error(mph2(1000, levels, 3, 1, 4, {1, 50, 103}, T, {10, 999, 996})),
            "mphf: a remap's entries run backwards");
  EXPECT_EQ(load_error(mph2(79999, {{79999, 1, 64}, {40000, 1, 64}}, 0, 0, 0, {64}, 40000, {70000})),
            "mphf: a remap block outruns its super-sample");
}

TEST(MphfImage, LoaderRejectsEachMalformedLegacyImage) {
  const Bytes good = vec(MPH1_IMAGE);  // n 300, 3 parts of 5 buckets, 50 slots, stride 128, skew 2
  struct Case {
    const char* what;
    std::function<void(Bytes&)> spoil;
    const char* message;
  } cases[] = {
      {"75 bytes", [](Bytes& b) { b.resize(75); }, "mphf: bad magic or truncated header"},
      {"flipped bit", [](Bytes& b) { b[30] ^= 8; }, "mphf: header checksum mismatch"},
      {"version 2", [](Bytes& b) { b[4] = 2, b[6] = 1, reseal(b); }, "mphf: unsupported format version"},
      {"reserved", [](Bytes& b) { b[6] = 1, put64(b, 8, 0), reseal(b); }, "mphf: reserved header field is not zero"},
      {"zero keys with parts", [](Bytes& b) { put64(b, 8, 0), reseal(b); }, "mphf: empty table with a non-empty shape"},
      {"zero parts", [](Bytes& b) { put64(b, 24, 0), put64(b, 56, 9), reseal(b); }, "mphf: a table dimension is zero"},
      {"zero slots per part", [](Bytes& b) { put64(b, 40, 0), put64(b, 56, 9), reseal(b); }, "mphf: a table dimension is zero"},
      {"skew at the bucket count", [](Bytes& b) { put64(b, 56, 5), put64(b, 40, MAX), reseal(b); },
       "mphf: skew boundary outside the bucket range"},
      {"slots per part overflow", [](Bytes& b) { put64(b, 40, MAX - 62), put64(b, 48, 1), reseal(b); },
       "mphf: slots per part out of range"},
      {"stride below the window", [](Bytes& b) { put64(b, 48, 64), put64(b, 16, 1), reseal(b); },
       "mphf: stride too small for a key's window"},
      {"stride not a multiple of 64", [](Bytes& b) { put64(b, 48, 127), put64(b, 16, 1), reseal(b); },
       "mphf: stride too small for a key's window"},
      {"total below n", [](Bytes& b) { put64(b, 8, 385), reseal(b); }, "mphf: slot count disagrees with the parts"},
      {"total not stride times parts", [](Bytes& b) { put64(b, 16, 385), reseal(b); },
       "mphf: slot count disagrees with the parts"},
      {"stride times parts overflows", [](Bytes& b) { put64(b, 24, 1ULL << 58), put64(b, 16, 0), reseal(b); },
       "mphf: slot count disagrees with the parts"},
      {"bucket count overflows", [](Bytes& b) {
         put64(b, 24, 1ULL << 32), put64(b, 32, 1ULL << 32), put64(b, 40, 1), put64(b, 48, 64), put64(b, 16, 1ULL << 38);
         reseal(b);
       }, "mphf: bucket count out of range"},
      {"sections overflow", [](Bytes& b) { put64(b, 32, 0x5555555555555555ULL), reseal(b); },
       "mphf: blob sections do not fit in memory"},
      {"one byte more", [](Bytes& b) { b.push_back(0); }, "mphf: blob length disagrees with the header"},
      {"one byte fewer", [](Bytes& b) { b.pop_back(); }, "mphf: blob length disagrees with the header"},
      {"remap entry at n", [](Bytes& b) { put16(b, b.size() - 2, 0xffff); }, "mphf: a remap entry points outside the image"},
  };
  ASSERT_EQ(load_error(good), "(loaded)");
  for (const Case& c : cases) {
    Bytes b = good;
    c.spoil(b);
    EXPECT_EQ(load_error(b), c.message) << c.what;
  }
  Bytes empty = vec(EMPTY_MPH1);
  empty.push_back(0);
  EXPECT_EQ(load_error(empty), "mphf: empty table with a non-empty shape");
}

// Random damage to every fixture image: each input loads or fails with one
// of the loader's messages, and a table that loads answers inside 0..n-1. A
// fixed number of seeded rounds, so that every build sees the same damage.
TEST(MphfImage, MutatedImagesLoadOrFailCleanly) {
  const std::set<std::string> allowed(std::begin(MESSAGES), std::end(MESSAGES));
  std::vector<Bytes> seeds = {vec(FULL_MPH3),   vec(NOTAIL_MPH3),     vec(FAST_MPH3),  vec(TAILONLY_MPH3),
                              vec(GEOM0_MPH3),  vec(MPH2_IMAGE),      vec(MPH2_LATE_IMAGE), vec(MPH1_IMAGE),
                              vec(MPH1_NOSKEW_IMAGE), vec(EMPTY_MPH3), vec(EMPTY_MPH1)};
  const std::uint64_t interesting[] = {0, 1, 2, 3, 16, 17, 32, 63, 64, 65, 256, 1000, 1024, 1ULL << 32, 1ULL << 63, MAX};
  std::mt19937_64 r(77);
  auto probes = probe_hashes(64);
  constexpr std::size_t ROUNDS = 40000;
  std::size_t loaded = 0;
  std::set<std::string> seen;
  for (std::size_t round = 0; round < ROUNDS; ++round) {
    Bytes b = seeds[r() % seeds.size()];
    bool legacy = std::memcmp(b.data(), "MPH1", 4) == 0;
    std::size_t header = legacy ? 72 : std::min<std::size_t>(64 + 24 * get64(b, 16), b.size());
    switch (r() % 6) {
      case 0:  // bits anywhere
        for (int k = 1 + r() % 3; k > 0; --k) b[r() % b.size()] ^= static_cast<unsigned char>(1u << (r() % 8));
        break;
      case 1:  // header bits, checksum repaired
        for (int k = 1 + r() % 2; k > 0; --k) b[r() % header] ^= static_cast<unsigned char>(1u << (r() % 8));
        reseal(b);
        break;
      case 2: {  // a header field set to an edge value, checksum repaired
        std::size_t field = 8 + 8 * (r() % ((header - 8) / 8));
        put64(b, field, interesting[r() % std::size(interesting)] + (r() % 4 == 0 ? r() % 3 : 0));
        reseal(b);
        break;
      }
      case 3:  // truncated or extended
        if (r() % 2) b.resize(r() % b.size());
        else b.resize(b.size() + 1 + r() % 40, static_cast<unsigned char>(r()));
        break;
      case 4:  // body bytes
        if (b.size() > header + 4)
          for (int k = 1 + r() % 4; k > 0; --k) b[header + 4 + r() % (b.size() - header - 4)] = static_cast<unsigned char>(r());
        break;
      case 5:  // a level or part shape scaled, checksum repaired
        if (!legacy && header >= 88) {
          std::size_t field = 64 + 8 * (r() % ((header - 64) / 8));
          put64(b, field, get64(b, field) * (1 + r() % 3) / (1 + r() % 3));
        } else {
          std::size_t field = 16 + 8 * (r() % 6);
          put64(b, field, get64(b, field) * (1 + r() % 3) / (1 + r() % 3));
        }
        reseal(b);
        break;
    }
    try {
      Mphf m = Mphf::from_bytes(b);
      ++loaded;
      const std::uint64_t n = m.n();
      auto all = m.index_all(probes);
      for (std::size_t i = 0; i < probes.size(); ++i) {
        std::uint64_t id = m.index(probes[i]);
        ASSERT_TRUE(n == 0 ? id == 0 : id < n) << "id " << id << " of " << n;
        ASSERT_EQ(all[i], id);
      }
      Bytes again = m.to_bytes();
      ASSERT_EQ(again.size(), m.byte_len());
      Mphf m2 = Mphf::from_bytes(again);
      for (std::uint64_t h : probes) ASSERT_EQ(m2.index(h), m.index(h));
    } catch (const IndexError& e) {
      ASSERT_EQ(e.kind(), IndexError::Kind::Format);
      ASSERT_TRUE(allowed.count(e.message())) << e.message();
      seen.insert(e.message());
    }
  }
  EXPECT_GT(loaded, 0u);
  // The damage reaches well past the first checks.
  EXPECT_GE(seen.size(), 15u);
}
