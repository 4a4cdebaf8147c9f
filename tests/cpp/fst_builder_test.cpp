// The map builder: whole FSTs derived by hand from the byte format, the
// writer's choices between node forms and widths, refusals and sinks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "fst/builder.hpp"
#include "fst/crc32c.hpp"
#include "fst/fst.hpp"

namespace fst = quorvale::fst;
using Bytes = std::vector<unsigned char>;

namespace {

Bytes build(const std::vector<std::pair<std::string, std::uint64_t>>& items) {
  fst::MemorySink sink;
  fst::MapBuilder b(sink);
  for (const auto& [k, v] : items) b.insert(k, v);
  b.finish();
  return sink.take();
}

Bytes build_ranks(const std::vector<std::string>& keys) {
  std::vector<std::pair<std::string, std::uint64_t>> items;
  for (std::size_t i = 0; i < keys.size(); ++i) items.emplace_back(keys[i], i);
  return build(items);
}

Bytes hex(const char* s) {
  Bytes out;
  for (; *s; ++s) {
    if (*s == ' ') continue;
    out.push_back(static_cast<unsigned char>(std::stoi(std::string(s, 2), nullptr, 16)));
    ++s;
  }
  return out;
}

std::uint64_t u64_at(const Bytes& b, std::size_t at) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | b[at + i];
  return v;
}
std::uint32_t u32_at(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24;
}

// The node bytes between the header and the footer.
Bytes nodes_of(const Bytes& f) { return Bytes(f.begin() + 16, f.end() - 20); }

TEST(FstBuilder, KnownAnswerFsts) {
  // Checksums from tests/reference/fst_crc32c.py.
  struct Case {
    std::vector<std::string> keys;
    const char* nodes;
    std::uint64_t root;
    std::uint32_t checksum;
  } cases[] = {
      {{}, "00 00 00", 18, 0x0F2D6B54u},
      {{""}, "", 0, 0x369567C4u},
      {{"ab", "ac", "b"}, "01 00 00 00 63 62 11 02  02 00 00 01 62 61 11 02", 31, 0xB2D1F9FEu},
      {{"xa", "ya", "za"}, "00 10 85  02 01 00 01 01 01 7a 79 78 11 03", 29, 0x0A8737F2u},
  };
  for (const Case& c : cases) {
    const Bytes f = build_ranks(c.keys);
    ASSERT_GE(f.size(), 36u);
    EXPECT_EQ(u64_at(f, 0), 3u);
    EXPECT_EQ(u64_at(f, 8), 0u);
    EXPECT_EQ(nodes_of(f), hex(c.nodes));
    EXPECT_EQ(u64_at(f, f.size() - 20), c.keys.size());
    EXPECT_EQ(u64_at(f, f.size() - 12), c.root);
    EXPECT_EQ(u32_at(f, f.size() - 4), c.checksum);
  }
  EXPECT_EQ(build_ranks({""}).size(), 36u);
}

// Node bytes of single-purpose maps, each showing one writer choice.
TEST(FstBuilder, WriterChoices) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::uint64_t>> items;
    const char* nodes;
  } cases[] = {
      // "t" is code 1: no explicit input; "W" is not in the table: stored.
      {"coded input", {{"t", 0}}, "00 10 81"},
      {"stored input", {{"W", 0}}, "00 10 57 80"},
      // A chain: the node for "b" is written first, "a"'s node points to it
      // just below with output 0: one-transition-next.
      {"next form", {{"ab", 0}}, "00 10 9a  c5"},
      {"next form, stored input", {{"WX", 0}}, "00 10 58 80  57 c0"},
      // A non-zero output forbids the next form even toward the node below.
      {"output on a chain", {{"ab", 7}}, "00 10 9a  07 01 11 85"},
      // A non-zero value on the only key, pushed to the root transition.
      {"output 300", {{"t", 300}}, "2c 01 00 12 81"},
      // The empty key with value 5 ends on a final root with no transitions.
      {"final root output", {{"", 5}}, "05 01 00 40"},
      // Final multi-transition node with one transition: "a" then "ab".
      {"final one transition", {{"a", 0}, {"ab", 1}}, "00 01 00 62 11 41  c5"},
  };
  for (const Case& c : cases) EXPECT_EQ(nodes_of(build(c.items)), hex(c.nodes)) << c.what;
}

TEST(FstBuilder, CountByteAndIndex) {
  auto root_bytes = [](unsigned n) {
    std::vector<std::pair<std::string, std::uint64_t>> items;
    for (unsigned i = 0; i < n; ++i) items.emplace_back(std::string(1, static_cast<char>(256 - n + i)), i);
    Bytes f = build(items);
    return Bytes(f.begin() + 16, f.end() - 20);
  };
  for (unsigned n : {2u, 32u, 33u, 63u, 64u, 255u, 256u}) {
    Bytes r = root_bytes(n);
    const bool count_byte = n >= 64;
    const bool index = n > 32;
    const unsigned ow = n - 1 > 0 ? 1 : 0;
    // outputs, deltas (all 0, width 1), inputs, index, pack, count, state
    ASSERT_EQ(r.size(), n * ow + n + n + (index ? 256 : 0) + 1 + (count_byte ? 1 : 0) + 1) << n;
    EXPECT_EQ(r.back(), count_byte ? 0 : n) << n;
    if (count_byte) {
      EXPECT_EQ(r[r.size() - 2], n == 256 ? 1 : n) << n;
    }
    const std::size_t pack = r.size() - 2 - (count_byte ? 1 : 0);
    EXPECT_EQ(r[pack], 0x10 | ow) << n;
    if (index) {
      for (unsigned b = 0; b < 256; ++b) {
        const unsigned want = b >= 256 - n ? b - (256 - n) : 255;
        ASSERT_EQ(r[pack - 256 + b], want) << n << " " << b;
      }
    }
  }
}

TEST(FstBuilder, RefusesKeysOutOfOrderAndRepeats) {
  struct Case {
    const char* first;
    const char* second;
  } cases[] = {{"b", "a"}, {"ab", "a"}, {"a", "a"}, {"", ""}, {"b", ""}};
  for (const Case& c : cases) {
    fst::MemorySink sink;
    fst::MapBuilder b(sink);
    b.insert(c.first, 0);
    try {
      b.insert(c.second, 1);
      ADD_FAILURE() << c.first << " then " << c.second;
    } catch (const fst::Error& e) {
      EXPECT_EQ(e.kind(), fst::Error::Kind::Fst);
      EXPECT_STREQ(e.what(), "FST error");
    }
    // The refusal left the builder usable.
    b.insert("c", 1);
    b.finish();
    const Bytes bytes = sink.take();
    auto f = fst::Fst::open(nullptr, bytes);
    EXPECT_EQ(f.len(), 2u);
    EXPECT_EQ(f.get("c"), 1u);
  }
}

struct FailingSink {
  std::size_t budget;
  Bytes got;
  void write_all(std::span<const unsigned char> b) {
    if (b.size() > budget) throw std::runtime_error("disk full");
    budget -= b.size();
    got.insert(got.end(), b.begin(), b.end());
  }
};

TEST(FstBuilder, SinkFailureIsAnIoError) {
  std::vector<std::string> keys;
  std::uint64_t x = 1;
  for (int i = 0; i < 20000; ++i) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    keys.push_back(std::to_string(x));
  }
  std::sort(keys.begin(), keys.end());
  for (std::size_t budget : {0u, 10u, 5000u}) {
    FailingSink sink{budget, {}};
    fst::MapBuilder b(sink);
    try {
      for (std::size_t i = 0; i < keys.size(); ++i) b.insert(keys[i], i);
      b.finish();
      ADD_FAILURE() << budget;
    } catch (const fst::Error& e) {
      EXPECT_EQ(e.kind(), fst::Error::Kind::Io);
      EXPECT_STREQ(e.what(), "I/O error");
      EXPECT_EQ(e.detail(), "disk full");
    }
    // Once failed, it stays failed.
    EXPECT_THROW(b.insert("zzzz", 1), fst::Error);
    EXPECT_THROW(b.finish(), fst::Error);
  }
}

// A sink that already holds bytes: addresses count from the builder's first
// byte, and the FST bytes equal those of the in-memory build.
TEST(FstBuilder, SinkWithLeadingBytesGivesTheSameFst) {
  std::vector<std::string> keys;
  for (int i = 0; i < 3000; ++i) keys.push_back("key/" + std::to_string(i * 37));
  std::sort(keys.begin(), keys.end());
  const Bytes mem = build_ranks(keys);
  struct Writer {
    Bytes out{'B', 'I', 'X', '4'};
    void write_all(std::span<const unsigned char> b) { out.insert(out.end(), b.begin(), b.end()); }
  } w;
  fst::MapBuilder first(w);
  for (std::size_t i = 0; i < keys.size() / 2; ++i) first.insert(keys[i], i);
  // A builder can be moved mid-build (into an owning object, say).
  fst::MapBuilder b(std::move(first));
  for (std::size_t i = keys.size() / 2; i < keys.size(); ++i) b.insert(keys[i], i);
  b.finish();
  EXPECT_EQ(b.bytes_written(), mem.size());
  EXPECT_EQ(Bytes(w.out.begin() + 4, w.out.end()), mem);
  EXPECT_THROW(b.insert("zzz", 1), fst::Error);
  EXPECT_THROW(b.finish(), fst::Error);
}

TEST(FstBuilder, DecimalStringsShareSuffixes) {
  std::vector<std::string> keys;
  for (int i = 0; i < 1000000; ++i) keys.push_back(std::to_string(i));
  std::sort(keys.begin(), keys.end());
  const Bytes f = build_ranks(keys);
  EXPECT_LT(f.size(), 1024u);
  auto m = fst::Fst::open(nullptr, f);
  m.verify();
  EXPECT_EQ(m.len(), 1000000u);
  for (std::size_t i = 0; i < keys.size(); i += 997) ASSERT_EQ(m.get(keys[i]), i);
  EXPECT_FALSE(m.get("1000000"));
  EXPECT_FALSE(m.get("01"));
}

}  // namespace
