#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "dict_fixtures.hpp"
#include "dict_index/layout.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using dictfix::Bytes;

namespace {

dict_index::Layout load(const Bytes& b, bool verify) {
  return dict_index::Layout::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)), verify);
}

std::string refusal(const Bytes& b, bool verify) {
  try {
    load(b, verify);
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Format);
    return e.what();
  }
  return "loaded";
}

std::string format_error(const char* message) { return std::string("format error: ") + message; }

Bytes written(const dict_index::Layout& d) {
  Bytes out;
  d.write_to([&](std::span<const unsigned char> s) { out.insert(out.end(), s.begin(), s.end()); });
  return out;
}

std::vector<std::pair<std::string, std::uint64_t>> iterate(const dict_index::Layout& d, std::uint64_t start) {
  std::vector<std::pair<std::string, std::uint64_t>> out;
  auto it = d.iter_from(start);
  std::string text;
  std::uint64_t id;
  while (it.next(text, id)) out.emplace_back(text, id);
  EXPECT_FALSE(it.next(text, id));
  return out;
}

// Everything a loaded index must answer for a blob these writers laid out.
void check_index(const dict_index::Layout& d, const Bytes& blob, const std::vector<std::string>& keys,
                 const dictfix::Counts* counts) {
  ASSERT_EQ(d.n, keys.size());
  for (std::uint64_t i = 0; i < keys.size(); ++i) {
    auto k = d.key(i);
    ASSERT_TRUE(k.has_value()) << "key " << i;
    ASSERT_EQ(*k, keys[i]) << "key " << i;
  }
  EXPECT_FALSE(d.key(keys.size()).has_value());
  EXPECT_FALSE(d.key(UINT64_MAX).has_value());
  for (std::uint64_t s = 0; s <= keys.size(); ++s) {
    const auto items = iterate(d, s);
    ASSERT_EQ(items.size(), keys.size() - s) << "from " << s;
    for (std::size_t i = 0; i < items.size(); ++i) {
      ASSERT_EQ(items[i].second, s + i);
      ASSERT_EQ(items[i].first, keys[s + i]);
    }
  }
  EXPECT_EQ(written(d), blob);
  EXPECT_EQ(d.serialized_len(), blob.size());
  const auto h = d.header();
  EXPECT_TRUE(std::equal(h.begin(), h.end(), blob.begin()));
  const auto sections = d.sections();
  EXPECT_EQ(std::accumulate(sections.values.begin(), sections.values.begin() + 15, std::uint64_t{0}), blob.size());
  if (counts) {
    for (std::size_t i = 0; i < dict_index::Sections::COUNT; ++i)
      EXPECT_EQ(sections[i], counts->v[i]) << dict_index::Sections::NAMES[i];
  }
}

TEST(DictIndexKnown, EmptyIndex) {
  const Bytes b = dictfix::empty_index();
  ASSERT_EQ(b.size(), 96u);
  // The writer lays out the same bytes.
  dictfix::Layout layout;
  layout.block = 256;
  layout.micro = 16;
  EXPECT_EQ(dictfix::write(layout).blob, b);
  for (bool verify : {false, true}) {
    const dict_index::Layout d = load(b, verify);
    EXPECT_EQ(d.block_count(), 0u);
    EXPECT_FALSE(d.key(0).has_value());
    check_index(d, b, {}, nullptr);
    const std::array<std::uint64_t, 18> want{72, 6, 14, 4};
    EXPECT_EQ(d.sections().values, want);
  }
}

TEST(DictIndexKnown, KeyA) {
  const Bytes b = dictfix::key_a_index();
  ASSERT_EQ(b.size(), 137u);
  dictfix::Layout layout;
  layout.keys = {"a"};
  layout.block = 256;
  layout.micro = 16;
  EXPECT_EQ(dictfix::write(layout).blob, b);
  for (bool verify : {false, true}) {
    const dict_index::Layout d = load(b, verify);
    EXPECT_EQ(d.head_prefix, 1u);
    EXPECT_TRUE(std::ranges::equal(d.samples(), std::vector<std::uint64_t>{0}));
    check_index(d, b, {"a"}, nullptr);
    const std::array<std::uint64_t, 18> want{72, 6, 14, 4, 1, 16, 16, 8};
    EXPECT_EQ(d.sections().values, want);
  }
}

TEST(DictIndexKnown, SmallFixtureSplitByHand) {
  // Keys a, ab, abc, b at block 4, micro 2, every byte escaped (Symbols over
  // the empty table), fitted field codes.
  dictfix::Layout layout;
  layout.keys = {"a", "ab", "abc", "b"};
  const auto w = dictfix::write(layout);
  // Restart run: one entry, restart "abc" against head "a": x 1, y 4 (two
  // escaped bytes). Its code is fitted to widths 0: the entry escapes.
  // Microblock 0: "ab" against "a": x 1, y 2. Microblock 1: "b" against
  // "abc": x 0, y 2. Each has one entry at natural widths (0, 0): escaped;
  // their code spends one run-header bit on the x minima 1 and 0.
  const dict_index::Layout d = load(w.blob, true);
  const auto s = d.sections();
  EXPECT_EQ(s[dict_index::Sections::RESTARTS], 1u);
  EXPECT_EQ(s[dict_index::Sections::ENTRIES], 2u);
  EXPECT_EQ(s[dict_index::Sections::WIDE], 3u);
  EXPECT_EQ(s[dict_index::Sections::RESTART_HEADERS], 0u);
  EXPECT_EQ(s[dict_index::Sections::RESTART_WIDE], 2u);
  EXPECT_EQ(s[dict_index::Sections::RESTART_CODES], 4u);  // 255 'b' 255 'c'
  EXPECT_EQ(s[dict_index::Sections::ENTRY_HEADERS], 2u);
  EXPECT_EQ(s[dict_index::Sections::ENTRY_WIDE], 4u);
  EXPECT_EQ(s[dict_index::Sections::ENTRY_CODES], 4u);    // 255 'b', 255 'b'
  EXPECT_EQ(s[dict_index::Sections::HEADS], 1u);
  check_index(d, w.blob, layout.keys, &w.counts);
}

TEST(DictIndexFixtures, LoadDecodeIterateWriteBack) {
  for (const auto& f : dictfix::fixtures()) {
    SCOPED_TRACE(f.name);
    const auto w = dictfix::write(f.layout);
    for (bool verify : {false, true}) {
      const dict_index::Layout d = load(w.blob, verify);
      check_index(d, w.blob, f.layout.keys, &w.counts);
    }
  }
}

TEST(DictIndexFixtures, DecodesEveryMicroblockSizeAtSmallBlocks) {
  // Any micro in 1..=block loads, whatever the builders would pick.
  const auto keys = dictfix::random_keys(37, 11, "abc", 6);
  for (unsigned block : {1u, 2u, 3u, 4u, 7u, 8u}) {
    for (unsigned micro = 1; micro <= block; ++micro) {
      SCOPED_TRACE(std::to_string(block) + "/" + std::to_string(micro));
      dictfix::Layout s;
      s.keys = keys;
      s.block = block;
      s.micro = micro;
      s.codecs = {dictfix::Symbols{{"ab", "c"}}};
      const auto w = dictfix::write(s);
      check_index(load(w.blob, true), w.blob, keys, &w.counts);
    }
  }
}

TEST(DictIndexDecode, ClimbFallsBackOnLongChains) {
  // Every key extends the one before: prefix lengths strictly grow, so no
  // entry cuts an earlier one away and the stack fills.
  dictfix::Layout s;
  std::string k;
  for (int i = 0; i < 60; ++i) {
    k.push_back(static_cast<char>('a' + i % 26));
    s.keys.push_back(k);
  }
  s.block = 64;
  s.micro = 64;
  s.codecs = {dictfix::Symbols{{"ab", "c"}}};
  const auto w = dictfix::write(s);
  const dict_index::Layout d = load(w.blob, true);
  check_index(d, w.blob, s.keys, &w.counts);
  // climb against stepping by advance, for every target.
  const dict_index::Run run{&d.codecs[0], &d.codes[0].entry, d.micro_bytes(0, 0), 60};
  for (std::uint64_t t = 0; t < 60; ++t) {
    std::vector<unsigned char> climbed(s.keys[0].begin(), s.keys[0].end());
    ASSERT_TRUE(d.climb(run, t, climbed));
    std::vector<unsigned char> stepped(s.keys[0].begin(), s.keys[0].end());
    auto c = d.open_micro(0, 0);
    for (std::uint64_t i = 0; i < t; ++i) ASSERT_TRUE(d.advance(d.codecs[0], c, stepped));
    EXPECT_EQ(climbed, stepped) << t;
    EXPECT_EQ(std::string(climbed.begin(), climbed.end()), s.keys[t]);
  }
  std::vector<unsigned char> out;
  EXPECT_FALSE(d.climb(run, 60, out));
}

TEST(DictIndexDecode, InvalidUtf8IsAbsentForKeyAndReplacedInIteration) {
  dictfix::Layout s;
  s.keys = {"a", "a\xff", "a\xff\xfe", "b\xe2\x82", "c"};
  const auto w = dictfix::write(s);
  const dict_index::Layout d = load(w.blob, true);
  EXPECT_EQ(d.key(0), "a");
  EXPECT_FALSE(d.key(1).has_value());
  EXPECT_FALSE(d.key(3).has_value());
  EXPECT_EQ(d.key(4), "c");
  const auto items = iterate(d, 0);
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[1].first, "a\xef\xbf\xbd");
  EXPECT_EQ(items[2].first, "a\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(items[3].first, "b\xef\xbf\xbd");  // one replacement for a truncated sequence
  std::vector<unsigned char> raw;
  ASSERT_TRUE(d.key_bytes_into(2, raw));
  EXPECT_EQ(std::string(raw.begin(), raw.end()), "a\xff\xfe");
}

TEST(DictIndexLoad, MappedBlobLoadsWithoutCopy) {
  const auto w = dictfix::write(dictfix::fixtures().back().layout);
  TempDir dir;
  write_file(dir / "dict", std::string(w.blob.begin(), w.blob.end()));
  for (bool verify : {false, true}) {
    const blob::SharedBytes mapped = blob::SharedBytes::map_file(dir / "dict");
    ASSERT_TRUE(mapped.is_mapped());
    const long before = mapped.use_count();
    const dict_index::Layout d = dict_index::Layout::from_shared(mapped, verify);
    EXPECT_GT(mapped.use_count(), before);
    for (const blob::SharedBytes* v : {&d.heads, &d.block_data, &d.head_ends.bits, &d.block_offsets.samples,
                                       &d.micro_offsets.bits}) {
      EXPECT_TRUE(v->is_mapped());
      EXPECT_GE(v->data(), mapped.data());
      EXPECT_LE(v->data() + v->size(), mapped.data() + mapped.size());
    }
    EXPECT_EQ(d.heads.data(), mapped.data() + 72);
    EXPECT_EQ(d.key(7), dictfix::fixtures().back().layout.keys[7]);
  }
}

// ---- Refusals ----

struct Edit {
  Bytes blob;
  void u8(std::size_t at, unsigned v) { blob[at] = static_cast<unsigned char>(v); }
  void u16(std::size_t at, unsigned v) { store_le16(blob.data() + at, static_cast<std::uint16_t>(v)); }
  void u32(std::size_t at, std::uint64_t v) { store_le32(blob.data() + at, static_cast<std::uint32_t>(v)); }
  void u64(std::size_t at, std::uint64_t v) { store_le64(blob.data() + at, v); }
  // Replaces `len` bytes at `at` with `bytes`, moving the length field of a
  // u32-length section by the difference.
  void splice(std::size_t at, std::size_t len, const Bytes& bytes, std::size_t field) {
    blob.erase(blob.begin() + at, blob.begin() + at + len);
    blob.insert(blob.begin() + at, bytes.begin(), bytes.end());
    u32(field, load_le32(blob.data() + field) + bytes.size() - len);
  }
  Bytes sealed() {
    dictfix::reseal(blob);
    return blob;
  }
};

TEST(DictIndexRefusals, MagicAndTruncation) {
  const Bytes good = dictfix::empty_index();
  for (bool verify : {false, true}) {
    for (std::size_t len = 0; len < 4; ++len)
      EXPECT_EQ(refusal(Bytes(good.begin(), good.begin() + len), verify), format_error(dict_index::MSG_BAD_MAGIC));
    for (std::size_t len : {4u, 40u, 71u})
      EXPECT_EQ(refusal(Bytes(good.begin(), good.begin() + len), verify), format_error(dict_index::MSG_BAD_MAGIC));
    Bytes other = good;
    other[3] = '5';
    EXPECT_EQ(refusal(dictfix::seal(Bytes(other.begin(), other.begin() + 72), Bytes(other.begin() + 72, other.end())),
                      verify),
              format_error(dict_index::MSG_BAD_MAGIC));
    EXPECT_EQ(refusal(Bytes{'B', 'D', 'X', '1'}, verify), format_error(dict_index::MSG_BDX1));
    EXPECT_EQ(refusal(Bytes{'B', 'D', 'X', '2'}, verify), format_error(dict_index::MSG_BDX2));
  }
}

TEST(DictIndexRefusals, Checksums) {
  const auto w = dictfix::write(dictfix::fixtures()[1].layout);
  for (bool verify : {false, true}) {
    for (std::size_t at = 4; at < 72; ++at) {
      Bytes b = w.blob;
      b[at] ^= 0x10;
      EXPECT_EQ(refusal(b, verify), format_error(dict_index::MSG_HEADER_CHECKSUM)) << at;
    }
  }
  Bytes flipped = w.blob;
  flipped[w.block_data_at + 3] ^= 0x01;
  EXPECT_EQ(refusal(flipped, true), format_error(dict_index::MSG_PAYLOAD_CHECKSUM));
  EXPECT_EQ(refusal(flipped, false), "loaded");
  Bytes longer = w.blob;
  longer.push_back(0);
  EXPECT_EQ(refusal(longer, true), format_error(dict_index::MSG_PAYLOAD_CHECKSUM));
  EXPECT_EQ(refusal(longer, false), format_error(dict_index::MSG_LENGTHS));
}

TEST(DictIndexRefusals, HeaderFields) {
  const auto w = dictfix::write(dictfix::fixtures()[1].layout);
  struct Row {
    std::function<void(Edit&)> edit;
    const char* message;
  };
  const std::vector<Row> rows{
      {[](Edit& e) { e.u32(12, 0); }, dict_index::MSG_BLOCK},
      {[](Edit& e) { e.u32(12, 1025); }, dict_index::MSG_BLOCK},
      {[](Edit& e) { e.u8(44, 57); }, dict_index::MSG_WIDTHS},
      {[](Edit& e) { e.u8(45, 57); }, dict_index::MSG_WIDTHS},
      {[](Edit& e) { e.u8(47, 57); }, dict_index::MSG_WIDTHS},
      {[](Edit& e) { e.u8(46, 32); }, dict_index::MSG_WIDTHS},
      {[](Edit& e) { e.u16(48, 0); }, dict_index::MSG_MICRO},
      {[](Edit& e) { e.u16(48, 5); }, dict_index::MSG_MICRO},  // block 4
      {[](Edit& e) { e.u16(50, 0); }, dict_index::MSG_SHARD},
      // Arrays whose length overflows 64 bits.
      {[](Edit& e) { e.u32(12, 1), e.u16(48, 1), e.u8(46, 0), e.u64(4, UINT64_MAX); }, dict_index::MSG_BLOCK_COUNT},
      {[](Edit& e) { e.u8(46, 0), e.u8(44, 56), e.u64(4, UINT64_MAX / 2); }, dict_index::MSG_BLOCK_COUNT},
      {[](Edit& e) { e.u64(16, load_le64(e.blob.data() + 16) + 1); }, dict_index::MSG_LENGTHS},
      {[](Edit& e) { e.u32(58, load_le32(e.blob.data() + 58) - 1); }, dict_index::MSG_LENGTHS},
      {[](Edit& e) { e.u64(24, UINT64_MAX); }, dict_index::MSG_LENGTHS},
  };
  for (bool verify : {false, true}) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      Edit e{w.blob};
      rows[i].edit(e);
      EXPECT_EQ(refusal(e.sealed(), verify), format_error(rows[i].message)) << i;
    }
  }
}

TEST(DictIndexRefusals, BlockCountAboveTheHeads) {
  // Widths 0 and shift 31: a blob of 128 bytes claims 2^31 blocks of one
  // key. Without the bound its samples alone would take 16 GiB.
  Edit e{dictfix::empty_index()};
  e.u64(4, std::uint64_t{1} << 31);
  e.u32(12, 1);
  e.u16(48, 1);
  e.u8(46, 31);
  e.blob.insert(e.blob.begin() + 72, 16, 0);  // head ends
  e.blob.insert(e.blob.end(), 16, 0);         // block offsets
  for (bool verify : {false, true}) EXPECT_EQ(refusal(e.sealed(), verify), format_error(dict_index::MSG_BLOCK_COUNT));

  // Y = heads length + 1 (one empty head) passes that bound.
  dictfix::Layout s;
  s.keys = {"", "a", "b"};
  s.block = 1;
  s.micro = 1;
  const auto w = dictfix::write(s);
  check_index(load(w.blob, true), w.blob, s.keys, &w.counts);
}

TEST(DictIndexRefusals, MicroblocksTheBlockDataCannotCarry) {
  // 256 blocks of 1,024 one-key microblocks over no block data: 2 MiB of
  // route words from a blob of 3 KB, were it not refused.
  for (bool verify : {false, true})
    EXPECT_EQ(refusal(dictfix::route_heavy(256, 1024, 1, 0), verify), format_error(dict_index::MSG_ROUTE_WORDS));
  // At the bound a blob loads and derives its words; one byte of block data
  // less is refused. Every block but the last takes 2·ceil(e/8) bytes a run
  // of e entries (a restart run of J - 1, J - 1 runs of micro - 1), or two
  // bytes a restart when its microblocks hold one key.
  struct Row {
    unsigned y, block, micro;
    std::size_t data;  // the least block data that carries the words
  };
  for (const Row& r : {Row{16, 1024, 1, 15 * 2046}, Row{256, 1024, 32, 255 * (8 + 31 * 8)}, Row{256, 2, 1, 255 * 2},
                       Row{4, 256, 16, 3 * (4 + 15 * 4)}, Row{3, 1018, 2, 2 * (128 + 508 * 2)}, Row{1, 1018, 2, 0}}) {
    const std::uint64_t j = (r.block + r.micro - 1) / r.micro;
    for (bool verify : {false, true}) {
      const dict_index::Layout d = load(dictfix::route_heavy(r.y, r.block, r.micro, r.data), verify);
      EXPECT_EQ(d.route_microblocks().size(), r.y * j) << r.block << " " << r.micro;
      EXPECT_LE(d.route_microblocks().size(), dict_index::route_word_bound(d));
      if (r.data > 0) {
        EXPECT_EQ(refusal(dictfix::route_heavy(r.y, r.block, r.micro, r.data - 1), verify),
                  format_error(dict_index::MSG_ROUTE_WORDS))
            << r.block << " " << r.micro;
      }
    }
  }
  // Shapes the former bound (J + D words, and 8D more for one-key
  // microblocks of byte codes) let through: route words of 8 and 16 bytes a
  // byte of block data, and a verified walk over every microblock.
  for (bool verify : {false, true}) {
    EXPECT_EQ(refusal(dictfix::route_heavy(256, 1024, 2, 130560), verify), format_error(dict_index::MSG_ROUTE_WORDS));
    EXPECT_EQ(refusal(dictfix::route_heavy(16, 1024, 1, 7680), verify), format_error(dict_index::MSG_ROUTE_WORDS));
  }
}

TEST(DictIndexRefusals, CountBoundsComeBeforeEveryWalkAndRecord) {
  // Heads out of order, a symbol table that is no record, and more
  // microblocks than the block data carries: the count, which needs only
  // the header and the section lengths, decides at every level.
  Bytes b = dictfix::route_heavy(256, 1024, 2, 0);
  std::reverse(b.begin() + 72, b.begin() + 72 + 256);  // heads 255, 254, ...
  const std::size_t tables_at = b.size() - 16 - 8 - 4 - 14 - 6;
  b[tables_at + 4] = 9;  // codec tag 9
  dictfix::reseal(b);
  for (bool verify : {false, true}) EXPECT_EQ(refusal(b, verify), format_error(dict_index::MSG_ROUTE_WORDS));
  // With the block data its microblocks need (and a good table), its heads
  // are refused by the verified walk, and the unverified load takes it.
  Bytes ok = dictfix::route_heavy(256, 1024, 2, 255 * (128 + 511 * 2));
  std::reverse(ok.begin() + 72, ok.begin() + 72 + 256);
  dictfix::reseal(ok);
  EXPECT_EQ(refusal(ok, true), format_error(dict_index::MSG_KEY_ORDER));
  EXPECT_NO_THROW(load(ok, false));
}

TEST(DictIndexRefusals, HeadsOutOfOrderWithVerify) {
  dictfix::Layout s;
  s.keys = {"k0", "k1", "k2", "k3"};
  s.block = 1;
  s.micro = 1;
  const auto w = dictfix::write(s);
  // Heads 2 and 3 swapped, and head 2 equal to head 1.
  for (const char* heads : {"k0k1k3k2", "k0k1k1k3"}) {
    Edit e{w.blob};
    std::copy_n(heads, 8, e.blob.begin() + w.heads_at);
    const Bytes b = e.sealed();
    EXPECT_EQ(refusal(b, true), format_error(dict_index::MSG_KEY_ORDER)) << heads;
    // Unverified it loads, and the searches stay in range.
    const dict_index::Layout d = load(b, false);
    for (const char* k : {"k0", "k1", "k2", "k3", "k4"}) EXPECT_LE(d.locate_query(std::string_view(k)).rank, 4u);
  }
}

TEST(DictIndexRefusals, Records) {
  const auto w = dictfix::write(dictfix::fixtures()[1].layout);
  auto tables_len = [&] { return load_le32(w.blob.data() + 32); };
  auto codes_len = [&] { return load_le32(w.blob.data() + 52); };
  struct Row {
    std::function<void(Edit&)> edit;
    const char* message;
  };
  const std::vector<Row> rows{
      // A byte after the last codec record.
      {[&](Edit& e) { e.splice(w.codes_at, 0, {0}, 32); }, dict_index::MSG_TABLES},
      // A record length past the section.
      {[&](Edit& e) { e.u32(w.tables_at, tables_len()); }, dict_index::MSG_TABLES},
      // An unknown tag; a symbol length of 9.
      {[&](Edit& e) { e.u8(w.tables_at + 4, 3); }, dict_index::MSG_TABLES},
      {[&](Edit& e) { e.u8(w.tables_at + 6, 9); }, dict_index::MSG_TABLES},
      // A tables section too short for its length field.
      {[&](Edit& e) { e.splice(w.tables_at, tables_len(), {1, 0}, 32); }, dict_index::MSG_TABLES},
      // A byte after the last pair of codes; a code cut short.
      {[&](Edit& e) { e.splice(w.phrases_at, 0, {0}, 52); }, dict_index::MSG_CODES},
      {[&](Edit& e) { e.splice(w.codes_at + codes_len() - 1, 1, {}, 52); }, dict_index::MSG_CODES},
      {[&](Edit& e) { e.u8(w.codes_at, 2); }, dict_index::MSG_CODES},
      // A phrase section whose one phrase is empty, or too short for its group.
      {[&](Edit& e) {
         Bytes p{1, 0, 0, 0, 0, 0, 0, 0};
         p.insert(p.end(), 514, 0);
         e.splice(w.phrases_at, 4, p, 58);
       },
       dict_index::MSG_PHRASES},
      {[&](Edit& e) { e.splice(w.phrases_at, 4, {1, 0, 0, 0}, 58); }, dict_index::MSG_PHRASES},
  };
  for (bool verify : {false, true}) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      Edit e{w.blob};
      rows[i].edit(e);
      EXPECT_EQ(refusal(e.sealed(), verify), format_error(rows[i].message)) << i;
    }
  }
}

TEST(DictIndexRefusals, PackedRecords) {
  // Width 2: 3 primary bytes and 1 secondary load; 4 primary and 1
  // secondary, or a repeated byte, do not.
  dictfix::Layout s;
  s.keys = {"a", "ab", "abc", "abd"};
  s.codecs = {dictfix::Packed{2, "abc", "d"}};
  const auto w = dictfix::write(s);
  EXPECT_EQ(refusal(w.blob, true), "loaded");
  auto with_record = [&](const Bytes& record) {
    Edit e{w.blob};
    Bytes framed{static_cast<unsigned char>(record.size()), 0, 0, 0};
    framed.insert(framed.end(), record.begin(), record.end());
    e.splice(w.tables_at, load_le32(w.blob.data() + 32), framed, 32);
    return e.sealed();
  };
  EXPECT_EQ(refusal(with_record({1, 2, 3, 1, 'a', 'b', 'c', 'e', 'd'}), false), format_error(dict_index::MSG_TABLES));
  EXPECT_EQ(refusal(with_record({1, 2, 2, 1, 'a', 'b', 'a', 'd'}), false), format_error(dict_index::MSG_TABLES));
  EXPECT_EQ(refusal(with_record({1, 2, 2, 1, 'a', 'b', 'c', 'c'}), false), format_error(dict_index::MSG_TABLES));
  EXPECT_EQ(refusal(with_record({1, 2, 2, 1, 'a', 'b', 'c', 'd'}), false), "loaded");
}

TEST(DictIndexRefusals, LayoutWithVerifyOnly) {
  const auto w = dictfix::write(dictfix::fixtures()[1].layout);  // 15 keys, block 4: Y = 4
  const dict_index::Header h = dict_index::Header::parse(w.blob.data());
  const std::size_t head_end_bits = w.heads_at + h.heads_len + 8;
  const std::size_t block_offset_bits = w.block_offsets_at + 8;
  struct Row {
    std::function<void(Edit&)> edit;
    const char* message;
  };
  const std::vector<Row> rows{
      // Head end 0 past the heads (all ones), then all of them 0.
      {[&](Edit& e) { e.u8(head_end_bits, 0xff); }, dict_index::MSG_HEAD_ORDER},
      {[&](Edit& e) { std::fill_n(e.blob.begin() + head_end_bits, 8, 0); }, dict_index::MSG_HEAD_COVER},
      // Block offset 0 not 0; block offset 2 below block offset 1; a micro
      // offset below the restart run's end.
      {[&](Edit& e) { e.u64(w.block_offsets_at, 1); }, dict_index::MSG_BLOCK_ORDER},
      {[&](Edit& e) {
         const unsigned w45 = e.blob[45];
         std::uint64_t word = load_le64(e.blob.data() + block_offset_bits);
         word |= ((std::uint64_t{1} << w45) - 1) << w45;  // entry 1 all ones
         e.u64(block_offset_bits, word);
       },
       dict_index::MSG_BLOCK_ORDER},
      {[&](Edit& e) {
         const unsigned w47 = e.blob[47];
         std::uint64_t word = load_le64(e.blob.data() + w.micro_at);
         word &= ~(((std::uint64_t{1} << w47) - 1) << w47);  // entry 1 zero
         e.u64(w.micro_at, word);
       },
       dict_index::MSG_BLOCK_ORDER},
      {[&](Edit& e) { e.u16(56, load_le16(e.blob.data() + 56) + 1); }, dict_index::MSG_HEAD_PREFIX},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    Edit e{w.blob};
    rows[i].edit(e);
    const Bytes b = e.sealed();
    EXPECT_EQ(refusal(b, true), format_error(rows[i].message)) << i;
    // Without verify the same blob loads, and decoding stays inside it.
    const dict_index::Layout d = load(b, false);
    for (std::uint64_t id = 0; id <= d.n; ++id) (void)d.key(id);
    (void)iterate(d, 0);
    (void)d.sections();
  }
  // An empty index with a head byte or a block data byte.
  for (std::size_t field : {16u, 24u}) {
    Edit e{dictfix::empty_index()};
    e.blob.insert(e.blob.begin() + 72, 'x');
    e.u64(field, 1);
    const Bytes b = e.sealed();
    EXPECT_EQ(refusal(b, true), format_error(dict_index::MSG_EMPTY_WITH_KEYS));
    EXPECT_EQ(refusal(b, false), "loaded");
  }
}

TEST(DictIndexLoad, Bdx3IgnoresItsCharsLength) {
  const dictfix::Layout layout = dictfix::fixtures()[2].layout;
  const auto w = dictfix::write(layout);
  Edit e{w.blob};
  e.u32(62, 5);
  const Bytes b = e.sealed();
  for (bool verify : {false, true}) {
    const dict_index::Layout d = load(b, verify);
    EXPECT_EQ(d.chars, nullptr);
    EXPECT_EQ(d.key(3), layout.keys[3]);
    EXPECT_EQ(d.serialized_len(), b.size());
  }
}

const dictfix::Fixture& fixture(const std::string& name) {
  static const auto all = dictfix::fixtures();
  for (const auto& f : all)
    if (f.name == name) return f;
  throw std::logic_error("no fixture " + name);
}

std::uint64_t big_endian_word(const std::string& s, std::size_t at) {
  std::uint64_t w = 0;
  for (std::size_t i = 0; i < 8; ++i) w = w << 8 | (at + i < s.size() ? static_cast<unsigned char>(s[at + i]) : 0);
  return w;
}

TEST(DictIndexLoad, RawRouteOverSpelledHeads) {
  const auto& f = fixture("character code");
  const auto w = dictfix::write(f.layout);
  for (bool verify : {false, true}) {
    const dict_index::Layout d = load(w.blob, verify);
    ASSERT_NE(d.chars, nullptr);
    ASSERT_NE(d.raw(), nullptr);
    std::vector<std::string> heads;
    for (std::size_t i = 0; i < f.layout.keys.size(); i += f.layout.block) heads.push_back(f.layout.keys[i]);
    std::size_t p = 0;
    while (p < heads.front().size() && p < heads.back().size() && heads.front()[p] == heads.back()[p]) ++p;
    EXPECT_EQ(d.raw()->prefix, heads.front().substr(0, p));
    ASSERT_EQ(d.raw()->samples.size(), heads.size());
    for (std::size_t i = 0; i < heads.size(); ++i) EXPECT_EQ(d.raw()->samples[i], big_endian_word(heads[i], p)) << i;
  }
  // Spelled heads that tie more blocks than the coded samples: no raw route.
  dictfix::Layout s;
  s.keys = {"A", "\xd0\x96\xd0\x96\xd0\x96\xd0\x96\xd0\x96" "a", "\xd0\x96\xd0\x96\xd0\x96\xd0\x96\xd0\x96" "b"};
  s.chars = dictfix::CharCode{false, {'A', 'a', 'b', 0x416}, {1, 1, 1, 1}};
  s.block = 1;
  s.micro = 1;
  const auto tied = dictfix::write(s);
  const dict_index::Layout d = load(tied.blob, true);
  EXPECT_EQ(d.raw(), nullptr);
  check_index(d, tied.blob, s.keys, &tied.counts);
}

TEST(DictIndexLoad, TiesDerivedWhereSamplesTie) {
  EXPECT_NE(load(dictfix::write(fixture("tied samples").layout).blob, false).ties(), nullptr);
  EXPECT_EQ(load(dictfix::write(fixture("long").layout).blob, false).ties(), nullptr);
}

TEST(DictIndexRefusals, CharacterCode) {
  const auto w = dictfix::write(fixture("character code").layout);
  const std::size_t chars_len = load_le32(w.blob.data() + 62);
  const std::vector<std::function<void(Edit&)>> edits{
      [&](Edit& e) { e.u8(w.chars_at, 9); },                      // unknown tag
      [&](Edit& e) { e.splice(w.blob.size(), 0, {1}, 62); },      // a byte after the last delta
      [&](Edit& e) { e.splice(w.chars_at, chars_len, {}, 62); },  // no section at all
  };
  for (bool verify : {false, true})
    for (std::size_t i = 0; i < edits.size(); ++i) {
      Edit e{w.blob};
      edits[i](e);
      EXPECT_EQ(refusal(e.sealed(), verify), format_error(dict_index::MSG_CHARS)) << i;
    }
}

TEST(DictIndexWrite, WriterErrorsPassThrough) {
  const auto w = dictfix::write(dictfix::fixtures()[3].layout);
  const dict_index::Layout d = load(w.blob, true);
  int calls = 0;
  try {
    d.write_to([&](std::span<const unsigned char>) {
      if (++calls == 3) throw IndexError::io(IoKind::WriteZero, "disk full");
    });
    FAIL() << "no error";
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
  }
  EXPECT_EQ(calls, 3);
}

}  // namespace
