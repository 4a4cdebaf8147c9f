// Blob inspection: every magic, the header arithmetic of each kind, overlays
// and their bases, and the file source.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "blob_fixtures.hpp"
#include "hash.hpp"
#include "inspect.hpp"
#include "mphf.hpp"
#include "perfect_hash.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using inspect::BlobInfo;
using kinds::Kind;
using namespace blob_fixtures;

namespace {

BlobInfo inspect_of(const Bytes& b) { return inspect::inspect_bytes(b); }

// The display text of the error inspecting `b` raises ("" when none).
std::string error_of(const Bytes& b) {
  try {
    inspect_of(b);
  } catch (const IndexError& e) {
    return e.display();
  }
  return "";
}

std::string format_error(const char* message) { return std::string("format error: ") + message; }

const std::string TRUNCATED = format_error(inspect::MSG_TRUNCATED);

}  // namespace

TEST(Inspect, ShorterThanAMagic) {
  const std::string expected = format_error(inspect::MSG_NO_MAGIC);
  EXPECT_EQ(error_of({}), expected);
  EXPECT_EQ(error_of({'B', 'M', 'P'}), expected);

  TempDir dir;
  write_file(dir / "empty", "");
  for (const std::string& path : {dir / "empty", dir.path().string()}) {
    try {
      inspect::inspect_file(path);
      ADD_FAILURE() << path;
    } catch (const IndexError& e) {
      EXPECT_EQ(e.display(), expected) << path;
    }
  }
}

TEST(Inspect, MissingFileIsAnIoError) {
  TempDir dir;
  try {
    inspect::inspect_file(dir / "absent");
    ADD_FAILURE();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
    EXPECT_EQ(e.message(), "No such file or directory (os error 2)");
  }
}

TEST(Inspect, RetiredAndUnknownMagics) {
  for (char g = '1'; g <= '7'; ++g) {
    EXPECT_EQ(error_of(made(std::string("BMP") + g, 100)), format_error(kinds::MSG_OLD_PERFECT));
    EXPECT_EQ(error_of(made(std::string("BCH") + g, 100)), format_error(kinds::MSG_OLD_COMPACT));
  }
  EXPECT_EQ(error_of(made("BCL1", 100)), format_error(kinds::MSG_OLD_CLOSED));
  // A retired generation is refused whatever follows its magic, even nothing.
  EXPECT_EQ(error_of(made("BMP3", 4)), format_error(kinds::MSG_OLD_PERFECT));
  for (const char* m : {"BMP9", "BCH9", "BCL3", "BDX5", "BDX0", "MPH4", "MPH0", "OVL3", "BIX3", "BHD2", "BDA2", "bmp8"})
    EXPECT_EQ(error_of(made(m, 200)), format_error(inspect::MSG_UNKNOWN)) << m;
}

TEST(Inspect, PerfectHashHeader) {
  BlobInfo info = inspect_of(made("BMP8", 36));
  EXPECT_EQ(info.kind, Kind::PerfectHashIndex);
  EXPECT_EQ(info.format, "BMP8");
  EXPECT_EQ(info.bytes, 36u);
  EXPECT_EQ(info.keys, 0u);
  EXPECT_EQ(info.mph_bytes, 0u);
  EXPECT_EQ(info.arena_bytes, 0u);
  EXPECT_EQ(info.side_entries, 0u);
  EXPECT_FALSE(info.fingerprint_bits);
  EXPECT_FALSE(info.overlay);
  EXPECT_EQ(error_of(made("BMP8", 35)), TRUNCATED);

  Bytes b = made("BMP8", 36 + 100 + 50 + 24);
  put64(b, 4, 7);
  put64(b, 12, 100);
  put32(b, 20, 2);
  info = inspect_of(b);
  EXPECT_EQ(info.keys, 7u);
  EXPECT_EQ(info.mph_bytes, 100u);
  EXPECT_EQ(info.side_entries, 2u);
  EXPECT_EQ(info.arena_bytes, 50u);
  b.resize(36 + 100 + 23);  // the side table no longer fits
  EXPECT_EQ(error_of(b), TRUNCATED);
  put64(b, 12, ~std::uint64_t{0});
  EXPECT_EQ(error_of(b), TRUNCATED);
}

TEST(Inspect, RealPerfectHashBlob) {
  std::vector<std::string> keys = numbered(500);
  PerfectHashIndex index = PerfectHashIndex::build(std::span<const std::string>(keys));
  const Bytes b = index.to_bytes();
  BlobInfo info = inspect_of(b);
  EXPECT_EQ(info.kind, Kind::PerfectHashIndex);
  EXPECT_EQ(info.keys, 500u);
  EXPECT_EQ(info.mph_bytes, index.mphf()->byte_len());
  EXPECT_EQ(info.side_entries, index.side().size());
  EXPECT_EQ(info.arena_bytes, index.arena().bytes().size());
}

TEST(Inspect, MphfImage) {
  std::vector<std::uint64_t> hashes;
  for (std::uint64_t i = 0; i < 1000; ++i)
    hashes.push_back(hash::hash_pair(std::string("k").append(std::to_string(i))).first);
  std::sort(hashes.begin(), hashes.end());
  const Bytes image = Mphf::build_with_threads(hashes, 1).to_bytes();
  BlobInfo info = inspect_of(image);
  EXPECT_EQ(info.kind, Kind::Mphf);
  EXPECT_EQ(info.format, "MPH3");
  EXPECT_EQ(info.keys, 1000u);
  EXPECT_EQ(info.mph_bytes, image.size());
  for (const char* m : {"MPH1", "MPH2"}) {
    Bytes b = made(m, 16);
    put64(b, 8, 42);
    EXPECT_EQ(inspect_of(b).keys, 42u);
    b.pop_back();
    EXPECT_EQ(error_of(b), TRUNCATED);
  }
}

TEST(Inspect, KeylessHashHeaders) {
  Bytes compact = made("BCH8", 40 + 64 + 1000 + 60);
  put64(compact, 4, 1000);
  put32(compact, 12, 8);
  put64(compact, 16, 64);
  put32(compact, 24, 3);
  BlobInfo info = inspect_of(compact);
  EXPECT_EQ(info.kind, Kind::CompactHashIndex);
  EXPECT_EQ(info.keys, 1000u);
  EXPECT_EQ(info.fingerprint_bits, 8u);
  EXPECT_EQ(info.mph_bytes, 64u);
  EXPECT_EQ(info.side_entries, 3u);
  EXPECT_EQ(info.arena_bytes, 1000u);
  compact.resize(40 + 64 + 59);
  EXPECT_EQ(error_of(compact), TRUNCATED);
  EXPECT_EQ(error_of(made("BCH8", 39)), TRUNCATED);

  Bytes closed = made("BCL2", 36 + 64 + 40);
  put64(closed, 4, 900);
  put64(closed, 12, 64);
  put32(closed, 20, 2);
  info = inspect_of(closed);
  EXPECT_EQ(info.kind, Kind::ClosedHashIndex);
  EXPECT_EQ(info.keys, 900u);
  EXPECT_EQ(info.mph_bytes, 64u);
  EXPECT_EQ(info.side_entries, 2u);
  EXPECT_FALSE(info.arena_bytes);
  EXPECT_FALSE(info.fingerprint_bits);
  put32(closed, 20, 3);
  EXPECT_EQ(error_of(closed), TRUNCATED);
}

TEST(Inspect, StringIndexFooter) {
  // Key count 16 bytes before the end up to transducer version 2, 20 after.
  for (std::uint64_t version : {1, 2, 3, 4}) {
    Bytes b = made("BIX4", 4 + 40);
    put64(b, 4, version);
    put64(b, b.size() - (version > 2 ? 20 : 16), 111);
    EXPECT_EQ(inspect_of(b).keys, 111u) << version;
    EXPECT_EQ(inspect_of(b).kind, Kind::StringIndex);
  }
  Bytes b = made("BIX4", 19);
  put64(b, 4, 3);
  EXPECT_EQ(error_of(b), TRUNCATED);  // shorter than its footer
  EXPECT_EQ(error_of(made("BIX4", 11)), TRUNCATED);  // no version

  const Bytes real = string_index(numbered(37));
  BlobInfo info = inspect_of(real);
  EXPECT_EQ(info.keys, 37u);
  EXPECT_EQ(info.bytes, real.size());
  EXPECT_FALSE(info.mph_bytes);
  EXPECT_FALSE(info.arena_bytes);
}

TEST(Inspect, HashedDictionaryHeader) {
  Bytes b = made("BHD1", 48 + 500 + 80 + 10 * 8 + 48);
  put64(b, 4, 10);
  put32(b, 12, 16);
  put64(b, 16, 500);
  put64(b, 24, 80);
  put32(b, 32, 2);
  BlobInfo info = inspect_of(b);
  EXPECT_EQ(info.kind, Kind::HashedDictIndex);
  EXPECT_EQ(info.keys, 10u);
  EXPECT_EQ(info.fingerprint_bits, 16u);
  EXPECT_EQ(info.mph_bytes, 80u);
  EXPECT_EQ(info.side_entries, 2u);
  EXPECT_EQ(info.arena_bytes, 80u);
  put64(b, 16, 581);
  EXPECT_EQ(error_of(b), TRUNCATED);
}

TEST(Inspect, DoubleArrayHeader) {
  Bytes b = made("BDA1", 64 + 8 * 100 + 2 * 30 + 8 * 5);
  put64(b, 4, 77);
  put64(b, 20, 100);
  put32(b, 28, 30);
  put32(b, 32, 5);
  BlobInfo info = inspect_of(b);
  EXPECT_EQ(info.kind, Kind::DoubleArrayIndex);
  EXPECT_EQ(info.keys, 77u);
  EXPECT_EQ(info.arena_bytes, 800u);
  EXPECT_FALSE(info.mph_bytes);
  put32(b, 32, 6);  // the supplementary table no longer fits
  EXPECT_EQ(error_of(b), TRUNCATED);
  put32(b, 32, 5);
  put32(b, 28, 31);  // nor the code table
  EXPECT_EQ(error_of(b), TRUNCATED);
  put32(b, 28, 30);
  put64(b, 20, std::uint64_t{1} << 61);
  EXPECT_EQ(error_of(b), TRUNCATED);
}

TEST(Inspect, DictionaryHeaders) {
  for (const char* magic : {"BDX1", "BDX2", "BDX3", "BDX4"}) {
    std::size_t exact = 0;
    Bytes b = dictionary(magic, exact);
    BlobInfo info = inspect_of(b);
    EXPECT_EQ(info.kind, Kind::DictIndex) << magic;
    EXPECT_EQ(info.format, magic);
    EXPECT_EQ(info.keys, 1000u);
    EXPECT_EQ(info.arena_bytes, 3200u);
    EXPECT_FALSE(info.mph_bytes);
    b.pop_back();
    EXPECT_EQ(error_of(b), TRUNCATED) << magic;
    b.resize(exact + 1000);  // what remains is not used
    EXPECT_EQ(inspect_of(b).keys, 1000u);
  }
  std::size_t exact = 0;
  EXPECT_EQ(error_of(made("BDX3", 71)), TRUNCATED);
  EXPECT_EQ(error_of(made("BDX1", 47)), TRUNCATED);

  Bytes b = dictionary("BDX3", exact);
  b[46] = 32;
  EXPECT_EQ(error_of(b), TRUNCATED);
  b[46] = 31;
  EXPECT_EQ(inspect_of(b).keys, 1000u);  // fewer samples, still inside

  // Overflowing lengths, each alone.
  const std::vector<std::pair<std::size_t, int>> fields = {{16, 8}, {24, 8}, {32, 4}, {52, 4}, {58, 4}};
  for (auto [at, width] : fields) {
    Bytes d = dictionary("BDX4", exact);
    if (width == 8) put64(d, at, ~std::uint64_t{0});
    else put32(d, at, ~std::uint32_t{0});
    EXPECT_EQ(error_of(d), TRUNCATED) << at;
  }
  // A key count whose packed arrays leave 64 bits.
  Bytes d = dictionary("BDX3", exact);
  put64(d, 4, ~std::uint64_t{0});
  put32(d, 12, 1);
  d[44] = 56;
  EXPECT_EQ(error_of(d), TRUNCATED);
  // Block 0: no blocks, so no arrays; micro at or above the block: no microblocks.
  d = dictionary("BDX3", exact);
  put32(d, 12, 0);
  EXPECT_EQ(inspect_of(d).keys, 1000u);
  d = dictionary("BDX2", exact);
  put16(d, 48, 256);
  d.resize(exact - 87);
  EXPECT_EQ(inspect_of(d).keys, 1000u);
}

TEST(Inspect, OverlayOverAStringIndex) {
  const Bytes base = string_index(numbered(10));
  const Bytes b = overlay_v2(1, base, {"x", "yy", "zzz"}, {0b101, 0});
  BlobInfo info = inspect_of(b);
  EXPECT_EQ(info.kind, Kind::Overlay);
  EXPECT_EQ(info.format, "OVL2");
  EXPECT_EQ(info.bytes, b.size());
  EXPECT_EQ(info.keys, 11u);
  ASSERT_TRUE(info.overlay);
  EXPECT_EQ(info.overlay->additions, 3u);
  EXPECT_EQ(info.overlay->retired, 2u);
  EXPECT_EQ(info.overlay->base_tag, 1);
  ASSERT_TRUE(info.overlay->base);
  EXPECT_EQ(info.overlay->base->kind, Kind::StringIndex);
  EXPECT_EQ(info.overlay->base->bytes, base.size());
  EXPECT_EQ(info.overlay->base->keys, 10u);
  EXPECT_FALSE(info.mph_bytes);

  // The old format walks its additions to find the tombstones.
  BlobInfo old = inspect_of(overlay_v1(1, base, {"x", "yy", "zzz"}, {0b101, 0}));
  EXPECT_EQ(old.format, "OVL1");
  EXPECT_EQ(old.keys, 11u);
  EXPECT_EQ(old.overlay->retired, 2u);
  EXPECT_EQ(old.overlay->base->bytes, base.size());
}

TEST(Inspect, OverlayRefusals) {
  const Bytes base = string_index(numbered(10));
  // Base tag 9: no base is parsed, so there is no key count.
  BlobInfo info = inspect_of(overlay_v2(9, base, {"x"}, {1}));
  EXPECT_FALSE(info.keys);
  EXPECT_FALSE(info.overlay->base);
  EXPECT_EQ(info.overlay->base_tag, 9);
  EXPECT_EQ(info.overlay->retired, 1u);

  const Bytes inner = overlay_v2(1, base, {}, {});
  EXPECT_EQ(error_of(overlay_v2(1, inner, {}, {})), format_error(inspect::MSG_NESTED));
  EXPECT_EQ(error_of(overlay_v1(2, overlay_v1(1, base, {}, {}), {}, {})), format_error(inspect::MSG_NESTED));
  // A base region that is not a blob is the overlay's error.
  EXPECT_EQ(error_of(overlay_v2(2, {'B', 'M'}, {}, {})), format_error(inspect::MSG_NO_MAGIC));

  Bytes longer = overlay_v2(1, base, {"x"}, {1});
  longer.push_back(0);
  EXPECT_EQ(error_of(longer), format_error(inspect::MSG_TOMBSTONES));
  Bytes v1_longer = overlay_v1(1, base, {"x"}, {1});
  v1_longer.push_back(0);
  EXPECT_EQ(error_of(v1_longer), format_error(inspect::MSG_TOMBSTONES));

  Bytes many = overlay_v2(1, base, {"x"}, {});
  put64(many, 13, std::uint64_t{1} << 62);
  EXPECT_EQ(error_of(many), format_error(inspect::MSG_COUNTS));
  put64(many, 13, 2);  // 2 additions cannot fit in 5 bytes of records
  EXPECT_EQ(error_of(many), format_error(inspect::MSG_COUNTS));

  // More retired than live keys.
  EXPECT_EQ(error_of(overlay_v2(1, base, {}, {~std::uint64_t{0}})), format_error(inspect::MSG_COUNTS));

  Bytes words = overlay_v2(1, base, {}, {});
  put64(words, 29, std::uint64_t{1} << 61);
  EXPECT_EQ(error_of(words), TRUNCATED);
  Bytes region = overlay_v2(1, base, {}, {});
  put64(region, 5, base.size() + 1);
  EXPECT_EQ(error_of(region), TRUNCATED);
  EXPECT_EQ(error_of(made("OVL2", 48)), TRUNCATED);

  // Old format: an addition running past the end, a base length that overflows.
  Bytes v1 = overlay_v1(1, base, {"x"}, {});
  put64(v1, 13, 5);
  EXPECT_EQ(error_of(v1), TRUNCATED);
  put64(v1, 5, ~std::uint64_t{0} - 10);
  EXPECT_EQ(error_of(v1), TRUNCATED);
  v1 = overlay_v1(1, base, {"x"}, {});
  put64(v1, v1.size() - 8, std::uint64_t{1} << 61);
  EXPECT_EQ(error_of(v1), TRUNCATED);
}

TEST(Inspect, OldOverlayWalksManyAdditions) {
  // Enough additions to cross several read-ahead chunks of the walk.
  std::vector<std::string> additions;
  for (int i = 0; i < 30000; ++i) additions.push_back(std::string(static_cast<std::size_t>(i % 7), 'a'));
  const Bytes b = overlay_v1(3, made("BCH8", 40), additions, {~std::uint64_t{0}, 1});
  TempDir dir;
  write_file(dir / "ovl", std::string(b.begin(), b.end()));
  for (const BlobInfo& info : {inspect_of(b), inspect::inspect_file(dir / "ovl")}) {
    EXPECT_EQ(info.overlay->additions, 30000u);
    EXPECT_EQ(info.overlay->retired, 65u);
    EXPECT_EQ(info.keys, 30000u - 65u);
    EXPECT_EQ(info.overlay->base->kind, Kind::CompactHashIndex);
  }
}

TEST(Inspect, PopcountReadsInChunks) {
  // 20,000 words cross two chunk boundaries.
  Bytes b(8 + 8 * 20000, 0);
  std::uint64_t expected = 0;
  for (std::size_t i = 0; i < 20000; ++i) {
    const std::uint64_t w = i * 0x9e3779b97f4a7c15ULL;
    put64(b, 8 + 8 * i, w);
    expected += static_cast<std::uint64_t>(std::popcount(w));
  }
  inspect::SliceSource source(b);
  const inspect::Window w = inspect::Window::whole(source);
  EXPECT_EQ(inspect::popcount(w, 8, 20000), expected);
  EXPECT_EQ(inspect::popcount(w, 8, 0), 0u);
  EXPECT_THROW(inspect::popcount(w, 16, 20000), IndexError);
  EXPECT_THROW(inspect::popcount(w, ~std::uint64_t{0} - 4, 1), IndexError);
  EXPECT_THROW(inspect::popcount(w, 0, std::uint64_t{1} << 61), IndexError);
}

TEST(Inspect, RestSubtractsInTurn) {
  EXPECT_EQ(inspect::rest(100, 10, 20, 30, 0, 0, 40), 0u);
  EXPECT_EQ(inspect::rest(100, 1, 2, 3, 4, 5, 6), 79u);
  try {
    inspect::rest(100, 50, 50, 0, 0, 0, 1);
    ADD_FAILURE();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.display(), TRUNCATED);
  }
}

TEST(Inspect, FileReadsOnlyTheHeader) {
  TempDir dir;
  std::vector<std::string> keys = numbered(200);
  PerfectHashIndex::build(std::span<const std::string>(keys)).save(dir / "p.bin");
  BlobInfo info = inspect::inspect_file(dir / "p.bin");
  EXPECT_EQ(info.keys, 200u);
  EXPECT_EQ(info.bytes, std::filesystem::file_size(dir / "p.bin"));

  // A file that shrinks after it was opened: the error of a later read is
  // passed on as it is.
  Bytes b = made("BCL2", 36 + 100);
  put64(b, 12, 100);
  write_file(dir / "c.bin", std::string(b.begin(), b.end()));
  inspect::FileSource source(File::open_read(dir / "c.bin"));
  ASSERT_EQ(::truncate((dir / "c.bin").c_str(), 10), 0);
  try {
    inspect::parse(inspect::Window::whole(source), false);
    ADD_FAILURE();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.display(), "io error: failed to fill whole buffer");
  }
}
