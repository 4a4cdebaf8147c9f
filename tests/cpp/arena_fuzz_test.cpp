// Seeded mutation loop over arenas: every mutated input loads or is refused
// with one of the loader's messages, and every entry of what loads reads
// inside the key bytes. Runs under the sanitizers, which catch any read
// outside the (exactly sized) buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "arena.hpp"
#include "arena_fixtures.hpp"
#include "mutate.hpp"

using namespace quorvale;
using Bytes = std::vector<unsigned char>;

namespace {

const std::set<std::string> kMessages = {
    "format error: arena: unexpected end of buffer",  "format error: arena: zero offsets (need at least 1)",
    "format error: arena: unknown offset encoding",   "format error: arena: offset table too large",
    "format error: arena: truncated offset table",    "format error: arena: truncated overflow table",
    "format error: arena: overflow table does not fit", "format error: arena: unreadable first offset",
    "format error: arena: unreadable last offset",    "format error: arena: offsets do not span the data",
};

// Valid arenas of every layout the builder picks, plus wide ones.
std::vector<Bytes> seeds() {
  std::mt19937_64 rng(7);
  std::vector<Bytes> out;
  auto add = [&](const std::vector<std::string>& keys, bool tags) {
    std::vector<std::uint8_t> tag_list;
    std::uint64_t total = 0;
    for (auto& k : keys) {
      tag_list.push_back(static_cast<std::uint8_t>(rng()));
      total += k.size();
    }
    auto a = StringArena::assemble(keys, keys.size(), total, tags ? &tag_list : nullptr);
    out.emplace_back(a->bytes().data(), a->bytes().data() + a->bytes().size());
  };
  auto lengths = [&](std::size_t n, auto len) {
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < n; ++i) keys.push_back(std::string(len(i), static_cast<char>('a' + i % 26)));
    return keys;
  };
  for (bool tags : {false, true}) {
    add({}, tags);
    add({"a", "bc", ""}, tags);                                                  // groups of 16
    add(lengths(16, [](std::size_t) { return 16; }), tags);                      // plain
    add(lengths(256, [](std::size_t) { return 20; }), tags);                     // groups of 256
    add(lengths(40, [](std::size_t i) { return i == 37 ? 300 : 1; }), tags);     // 16 with overflow
    add(lengths(768, [](std::size_t i) { return i == 255 ? 65536 - 255 * 20 : 20; }), tags);  // 256 with overflow
  }
  // Wide layouts, written with an explicit tag.
  for (std::uint8_t tag : arena_fixtures::kWideTags) out.push_back(arena_fixtures::laid_out(tag));
  return out;
}

// Most damage goes to the header and table, where the structure is; the
// arena's own edits set a valid layout tag and the overflow length.
const mutation::Shape kShape{
    .head = 64,
    .own = {[](Bytes& b, mutation::Rng& rng) {
              static const std::uint8_t tags[] = {0x04, 0x08, 0x84, 0x88, 0x11, 0x12, 0x31,
                                                  0x51, 0x52, 0x71, 0x72, 0xd1, 0xf2};
              if (b.size() > 8) b[8] = tags[rng() % std::size(tags)];
            },
            [](Bytes& b, mutation::Rng& rng) {  // the last 8 bytes
              if (b.size() >= 8) store_le64(b.data() + b.size() - 8, rng() % 3 ? rng() % 300 : rng());
            }}};

}  // namespace

TEST(ArenaFuzz, MutatedArenasLoadOrAreRefusedAndReadInBounds) {
  const std::vector<Bytes> base = seeds();
  std::mt19937_64 rng(0xa7e4a);
  std::size_t loaded = 0, refused = 0;
  for (int iter = 0; iter < 30000; ++iter) {
    Bytes b = base[rng() % base.size()];
    mutation::mutate(b, rng, kShape);
    std::optional<StringArena> a;
    try {
      a = StringArena::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)));
    } catch (const IndexError& e) {
      ASSERT_TRUE(kMessages.count(e.what())) << e.what();
      ++refused;
      // The prefix reader takes whatever it is given.
      std::span<const unsigned char> all(b);
      for (int k = 0; k < 8; ++k)
        (void)StringArena::span_at(all, all.subspan(all.size() / 2), b.size() > 8 ? b[8] : 0, rng() % 600);
      continue;
    }
    ++loaded;
    ASSERT_LE(a->data_start(), a->data_end());
    ASSERT_LE(a->data_end(), a->overflow_end());
    ASSERT_LE(a->overflow_end(), b.size());
    const std::uint64_t n = a->len();
    for (std::uint64_t i = 0; i < n + 2; ++i) {
      auto s = a->entry_span(i);
      if (s) {
        ASSERT_LT(i, n);
        ASSERT_LE(a->data_start(), s->start);
        ASSERT_LE(s->start, s->end);
        ASSERT_LE(s->end, a->data_end());
        auto e = a->entry(i);
        ASSERT_EQ(e->size(), s->end - s->start);
      }
      (void)a->tag_byte(i);
    }
    // The prefix reader over the same bytes never reads outside them either.
    std::span<const unsigned char> all(b);
    std::span<const unsigned char> prefix = all.first(static_cast<std::size_t>(a->data_start()));
    std::span<const unsigned char> overflow = all.subspan(static_cast<std::size_t>(a->data_end()));
    for (std::uint64_t i = 0; i < std::min<std::uint64_t>(n + 2, 600); ++i) {
      arena::Span s = StringArena::span_at(prefix, overflow, b[8], i);
      ASSERT_LE(s.start, s.end);
    }
  }
  // The loop is only useful if both outcomes are common.
  EXPECT_GT(loaded, 1000u);
  EXPECT_GT(refused, 1000u);
}
