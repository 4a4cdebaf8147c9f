// The shared frame over a made-up format: the order of open's checks, the
// deferred payload with a skipped embedded region, and sealing, with the
// checksums computed here from their definitions' functions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "blob_frame.hpp"

using namespace quorvale;
using Bytes = std::vector<unsigned char>;

namespace {

constexpr blob::Retired OLD[] = {{"TST1", "test: an old one"}};
// "TST2"/"TST3": a u64 at 4 (the skipped length), the payload checksum at 12,
// the header checksum at 20.
constexpr blob::Frame PLAIN{.magic = "TST2", .also = "TST3", .retired = OLD, .header_len = 24, .payload_at = 12};
constexpr blob::Frame SKIPPING{.magic = "TST2",
                               .header_len = 24,
                               .payload = blob::PayloadCheck::Deferred,
                               .payload_at = 12,
                               .skip_at = 4,
                               .bad_magic = "test: magic",
                               .header_mismatch = "test: header",
                               .payload_mismatch = "test: payload"};

// A sealed blob: the header, `skipped` bytes, then a payload of 20 bytes.
Bytes sealed(std::uint64_t skipped, const char* magic = "TST2") {
  Bytes b(24 + skipped + 20);
  for (std::size_t i = 24; i < b.size(); ++i) b[i] = static_cast<unsigned char>(i * 7);
  std::copy_n(magic, 4, b.begin());
  store_le64(b.data() + 4, skipped);
  const std::uint64_t payload = blob::hash_block(std::span<const unsigned char>(b).subspan(24 + skipped));
  store_le64(b.data() + 12, payload);
  store_le32(b.data() + 20, blob::header_checksum(std::span<const unsigned char>(b.data(), 20)));
  return b;
}

// The message of what `check` throws, "" when it passes.
template <class F>
std::string refusal(F&& check) {
  try {
    check();
  } catch (const IndexError& e) {
    return e.message();
  }
  return "";
}
std::string refusal(const blob::Frame& f, const Bytes& b, bool verify) {
  return refusal([&] { f.open(b, verify); });
}

}  // namespace

TEST(BlobFrame, OpenChecksInItsOrder) {
  const Bytes good = sealed(0);
  struct Case {
    const char* name;
    Bytes blob;
    bool verify;
    std::string expected;
  };
  Bytes retired_short{'T', 'S', 'T', '1'};
  Bytes wrong = good;
  wrong[3] = '9';
  Bytes header = good;
  header[5] ^= 1;
  Bytes payload = good;
  payload[40] ^= 1;
  Bytes stored_payload = good;
  stored_payload[12] ^= 1;  // covered by the header checksum
  const Case cases[] = {
      {"3 bytes", Bytes(good.begin(), good.begin() + 3), false, blob::MSG_BAD_MAGIC},
      // A retired magic is named before the length is tested.
      {"retired, 4 bytes", retired_short, false, "test: an old one"},
      {"short header", Bytes(good.begin(), good.begin() + 23), false, blob::MSG_BAD_MAGIC},
      {"other magic", wrong, false, blob::MSG_BAD_MAGIC},
      {"second magic", sealed(0, "TST3"), true, ""},
      {"header byte", header, false, blob::MSG_HEADER_CHECKSUM},
      {"stored payload checksum", stored_payload, false, blob::MSG_HEADER_CHECKSUM},
      {"payload byte, unverified", payload, false, ""},
      {"payload byte, verified", payload, true, blob::MSG_PAYLOAD_CHECKSUM},
      {"good", good, true, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(refusal(PLAIN, c.blob, c.verify), c.expected) << c.name;
}

TEST(BlobFrame, DeferredPayloadLeavesTheSkippedRegionOut) {
  Bytes b = sealed(10);
  // The kind's own checks come first: open never reads the payload.
  b[b.size() - 2] ^= 1;
  EXPECT_EQ(refusal(SKIPPING, b, true), "");
  EXPECT_EQ(refusal([&] { SKIPPING.check_payload(b); }), "test: payload");
  b[b.size() - 2] ^= 1;
  b[24 + 3] ^= 1;  // inside the skipped region: not covered
  EXPECT_EQ(refusal([&] { SKIPPING.check_payload(b); }), "");
  Bytes short_header(b.begin(), b.begin() + 23);
  EXPECT_EQ(refusal(SKIPPING, short_header, false), "test: magic");
}

TEST(BlobFrame, SealWritesWhatOpenChecks) {
  const Bytes expected = sealed(10);
  Bytes b = expected;
  std::fill(b.begin() + 12, b.begin() + 24, 0xee);
  ASSERT_TRUE(SKIPPING.seal_blob(b));
  EXPECT_EQ(b, expected);
  // A header that places the payload past the end: the header alone is
  // sealed, so that a loader gets to the length that runs past.
  store_le64(b.data() + 4, b.size());
  const std::uint64_t stale = load_le64(b.data() + 12);
  EXPECT_FALSE(SKIPPING.seal_blob(b));
  EXPECT_EQ(load_le64(b.data() + 12), stale);
  EXPECT_EQ(refusal(SKIPPING, b, true), "");
  // Shorter than its header: nothing written.
  Bytes short_blob(b.begin(), b.begin() + 23);
  const Bytes before = short_blob;
  EXPECT_FALSE(PLAIN.seal_blob(short_blob));
  EXPECT_EQ(short_blob, before);
  // A header alone, its payload checksum given.
  Bytes head(expected.begin(), expected.begin() + 24);
  std::fill(head.begin() + 12, head.end(), 0);
  PLAIN.seal(head, load_le64(expected.data() + 12));
  EXPECT_EQ(head, Bytes(expected.begin(), expected.begin() + 24));
}
