#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "arena.hpp"

using namespace quorvale;
using arena::Span;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes arena_bytes(const StringArena& a) { return Bytes(a.bytes().data(), a.bytes().data() + a.bytes().size()); }

StringArena make(const std::vector<std::string>& keys, const std::vector<std::uint8_t>* tags = nullptr) {
  std::uint64_t total = 0;
  for (auto& k : keys) total += k.size();
  auto a = StringArena::assemble(keys, keys.size(), total, tags);
  EXPECT_TRUE(a.has_value());
  return std::move(*a);
}

std::vector<std::string> keys_of_lengths(const std::vector<std::uint32_t>& lengths) {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < lengths.size(); ++i) keys.push_back(std::string(lengths[i], static_cast<char>('a' + i % 26)));
  return keys;
}

void put_le(Bytes& b, std::uint64_t v, int width) {
  for (int k = 0; k < width; ++k) b.push_back(static_cast<unsigned char>(v >> (8 * k)));
}

Bytes header(std::uint64_t count, std::uint8_t tag) {
  Bytes b;
  put_le(b, count, 8);
  b.push_back(tag);
  return b;
}

std::string load_error(const Bytes& b) {
  try {
    StringArena::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)));
  } catch (const IndexError& e) {
    return e.what();
  }
  return "loaded";
}

// Every entry reads back as the key it was built from.
void expect_entries(const StringArena& a, const std::vector<std::string>& keys,
                    const std::vector<std::uint8_t>* tags = nullptr) {
  ASSERT_EQ(a.len(), keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    auto e = a.entry(i);
    ASSERT_TRUE(e.has_value()) << i;
    ASSERT_EQ(*e, keys[i]) << i;
    if (tags) {
      ASSERT_EQ(a.tag_byte(i), std::optional<std::uint8_t>((*tags)[i])) << i;
    }
  }
  EXPECT_FALSE(a.entry(keys.size()).has_value());
  EXPECT_FALSE(a.tag_byte(keys.size()).has_value());
}

}  // namespace

TEST(ArenaLayout, WorkedExamplesByteForByte) {
  // No entries.
  EXPECT_EQ(arena_bytes(StringArena::build_exact(std::vector<std::string>{}, false)), header(1, 0x11));
  EXPECT_EQ(arena_bytes(StringArena::build_exact(std::vector<std::string>{}, true)), header(1, 0x91));

  // "a", "bc", "": groups of 16, ends 0, 1, then 3 fifteen times.
  {
    StringArena a = make({"a", "bc", ""});
    Bytes want = header(4, 0x11);
    put_le(want, 0, 4);
    want.push_back(0);
    want.push_back(1);
    for (int k = 0; k < 15; ++k) want.push_back(3);
    for (char c : std::string("abc")) want.push_back(static_cast<unsigned char>(c));
    EXPECT_EQ(arena_bytes(a), want);
    expect_entries(a, {"a", "bc", ""});
  }

  // Sixteen entries of 16 bytes: the plain table is cheapest.
  {
    auto keys = keys_of_lengths(std::vector<std::uint32_t>(16, 16));
    StringArena a = make(keys);
    Bytes want = header(17, 0x04);
    for (int k = 0; k <= 16; ++k) put_le(want, 16 * k, 4);
    for (auto& k : keys) want.insert(want.end(), k.begin(), k.end());
    EXPECT_EQ(arena_bytes(a), want);
    EXPECT_EQ(want.size(), 333u);
    std::vector<std::uint8_t> tags;
    for (int k = 0; k < 16; ++k) tags.push_back(static_cast<std::uint8_t>(200 + k));
    StringArena t = make(keys, &tags);
    EXPECT_EQ(t.tag(), 0x84);
    EXPECT_EQ(t.bytes().size(), 349u);
    EXPECT_EQ(t.bytes()[9 + 17 * 4 + 5], 205);
    expect_entries(t, keys, &tags);
  }

  // 256 entries of 20 bytes: one record of groups of 256.
  {
    auto keys = keys_of_lengths(std::vector<std::uint32_t>(256, 20));
    StringArena a = make(keys);
    EXPECT_EQ(a.tag(), 0x12);
    EXPECT_EQ(a.bytes().size(), 5647u);
    EXPECT_EQ(load_le16(a.bytes().data() + 9 + 4 + 2 * 256), 5120);
    expect_entries(a, keys);
  }

  // 1,599 one-byte entries and one of 300: only the last group overflows.
  {
    std::vector<std::uint32_t> lengths(1599, 1);
    lengths.push_back(300);
    auto keys = keys_of_lengths(lengths);
    StringArena a = make(keys);
    EXPECT_EQ(a.tag(), 0x51);
    EXPECT_EQ(a.bytes().size(), 4084u);
    const unsigned char* b = a.bytes().data();
    const unsigned char* last = b + 9 + 99 * 21;
    EXPECT_EQ(load_le32(last), 1584u);                   // base
    EXPECT_EQ(last[4], 0xff);                            // marker
    EXPECT_EQ(load_le32(last + 5), 0u);                  // overflow entry 0
    EXPECT_EQ(load_le64(b + 4084 - 8), 68u);             // trailing length
    EXPECT_EQ(load_le32(b + 4084 - 8 - 68 + 16 * 4), 315u);  // 15 ones and the 300
    EXPECT_EQ(a.entry(1599)->size(), 300u);
    expect_entries(a, keys);
  }
}

TEST(ArenaLayout, ChoiceBoundariesAndTies) {
  struct Case {
    const char* what;
    std::vector<std::uint32_t> lengths;
    std::uint8_t tag;
  };
  auto with = [](std::size_t n, std::uint32_t fill, std::vector<std::pair<std::size_t, std::uint32_t>> set) {
    std::vector<std::uint32_t> v(n, fill);
    for (auto [i, len] : set) v[i] = len;
    return v;
  };
  std::vector<std::pair<std::size_t, std::uint32_t>> eleven, two;
  for (std::size_t g = 0; g < 11; ++g) eleven.push_back({16 * g, 250});  // 15 + 250 = 265 bytes a group
  for (std::size_t g = 0; g < 2; ++g) two.push_back({16 * g, 250});
  Case cases[] = {
      {"a group of 16 holding 255 bytes does not overflow", with(1600, 1, {{1599, 240}}), 0x11},
      {"256 bytes does", with(1600, 1, {{1599, 241}}), 0x51},
      {"a group of 256 holding 65,535 bytes does not overflow", with(768, 20, {{255, 65535 - 255 * 20}}), 0x12},
      {"65,536 bytes does", with(768, 20, {{255, 65536 - 255 * 20}}), 0x52},
      {"equal group costs (1,554) choose groups of 16", with(600, 1, eleven), 0x51},
      {"a plain cost equal to the group cost (228) chooses groups", with(56, 1, two), 0x51},
      {"one byte less per key makes the plain table strictly cheaper", with(55, 1, two), 0x04},
  };
  for (const Case& c : cases) {
    auto keys = keys_of_lengths(c.lengths);
    StringArena a = make(keys);
    EXPECT_EQ(a.tag(), c.tag) << c.what;
    expect_entries(a, keys);
  }
}

TEST(ArenaLayout, GroupWithZeroFirstEndIsNeverOverflowing) {
  // Ends that look like a marker after position 0 are read as plain ends.
  Bytes b = header(2, 0x51);
  put_le(b, 0, 4);
  b.push_back(0);
  b.push_back(0xff);
  for (int k = 0; k < 15; ++k) b.push_back(0xff);
  for (int k = 0; k < 255; ++k) b.push_back('x');
  put_le(b, 0, 8);
  auto a = StringArena::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)));
  EXPECT_EQ(a.entry_span(0), (Span{30, 30 + 255}));
}

TEST(ArenaLayout, EveryTagFamilyReadsBack) {
  // Wide layouts (W = 8) are chosen only from 4 GiB of keys; write them
  // directly with an explicit tag to check the readers.
  std::mt19937_64 rng(11);
  std::vector<std::uint32_t> lengths;
  for (int k = 0; k < 700; ++k) lengths.push_back(k % 97 == 0 ? 70000 : static_cast<std::uint32_t>(rng() % 40));
  std::vector<std::uint8_t> tag_list;
  for (std::size_t k = 0; k < lengths.size(); ++k) tag_list.push_back(static_cast<std::uint8_t>(rng()));
  std::string data;
  std::vector<std::string> keys;
  for (std::size_t k = 0; k < lengths.size(); ++k) {
    std::string key;
    for (std::uint32_t c = 0; c < lengths[k]; ++c) key.push_back(static_cast<char>(rng()));
    keys.push_back(key);
    data += key;
  }
  for (std::uint8_t tag : {0x04, 0x08, 0x84, 0x88, 0x51, 0x71, 0xd1, 0xf1, 0x52, 0x72, 0xd2, 0xf2}) {
    const arena::Layout l = arena::layout_of(tag);
    const std::uint64_t t = *arena::table_size(l, lengths.size());
    Bytes b(9 + t, 0);
    store_le64(b.data(), lengths.size() + 1);
    b[8] = tag;
    std::span<const std::uint8_t> tags;
    if (l.tag_bytes) tags = tag_list;
    Bytes overflow = arena::write_offsets(b, tag, lengths, tags);
    b.insert(b.end(), data.begin(), data.end());
    b.insert(b.end(), overflow.begin(), overflow.end());
    auto a = StringArena::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)));
    SCOPED_TRACE(int(tag));
    expect_entries(a, keys, l.tag_bytes ? &tag_list : nullptr);
  }
}

TEST(ArenaLayout, ReadOffset) {
  Bytes b{1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(arena::read_offset(b, 0, 8), 0x0807060504030201ULL);
  EXPECT_EQ(arena::read_offset(b, 4, 4), 0x08070605u);
  auto message = [&](std::uint64_t pos, unsigned w) -> std::string {
    try {
      arena::read_offset(b, pos, w);
    } catch (const IndexError& e) {
      return e.what();
    }
    return "read";
  };
  EXPECT_EQ(message(5, 4), "format error: arena: unexpected end of buffer");
  EXPECT_EQ(message(UINT64_MAX - 2, 4), "format error: arena: offset overflow");
}

TEST(ArenaLoad, EveryRefusal) {
  auto cat = [](Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  auto le = [](std::uint64_t v, int width) {
    Bytes b;
    put_le(b, v, width);
    return b;
  };
  Bytes sixteen_ends = Bytes(17, 0);
  struct Case {
    const char* what;
    Bytes bytes;
    const char* message;
  } cases[] = {
      {"7 bytes", Bytes(7, 1), "arena: unexpected end of buffer"},
      {"count 0", cat(le(0, 8), {0x11}), "arena: zero offsets (need at least 1)"},
      {"8 bytes, count 1", le(1, 8), "arena: unknown offset encoding"},
      {"plain tag with 0x20", header(1, 0x24), "arena: unknown offset encoding"},
      {"layout 0x13", header(1, 0x13), "arena: unknown offset encoding"},
      {"a table beyond 64 bits", header(UINT64_MAX, 0x08), "arena: offset table too large"},
      {"9 + T beyond 64 bits", header(UINT64_MAX / 4 - 1, 0x04), "arena: offset table too large"},
      {"truncated table", cat(header(2, 0x04), le(0, 4)), "arena: truncated offset table"},
      {"overflow length cut", cat(header(1, 0x51), Bytes(7, 0)), "arena: truncated overflow table"},
      {"overflow longer than the arena", cat(header(1, 0x51), le(1, 8)), "arena: overflow table does not fit"},
      {"overflow of 67 bytes", cat(cat(header(1, 0x51), Bytes(67, 0)), le(67, 8)), "arena: overflow table does not fit"},
      {"first entry ends before it starts", cat(cat(header(2, 0x04), cat(le(5, 4), le(0, 4))), Bytes(5, 'x')),
       "arena: unreadable first offset"},
      {"marker pointing past the overflow table",
       cat(cat(cat(cat(header(2, 0x51), le(0, 4)), cat({0xff}, cat(le(3, 4), Bytes(12, 0)))), Bytes(2, 'x')),
           cat(Bytes(68, 0), le(68, 8))),
       "arena: unreadable first offset"},
      {"last entry ends before it starts",
       cat(cat(header(3, 0x04), cat(cat(le(0, 4), le(1, 4)), le(0, 4))), Bytes(1, 'x')),
       "arena: unreadable last offset"},
      {"empty arena with a byte after it", cat(header(1, 0x11), {0}), "arena: offsets do not span the data"},
      {"offsets past the data", cat(cat(header(2, 0x04), cat(le(0, 4), le(3, 4))), Bytes(2, 'x')),
       "arena: offsets do not span the data"},
      {"first entry not at 0", cat(cat(header(2, 0x04), cat(le(1, 4), le(2, 4))), Bytes(1, 'x')),
       "arena: offsets do not span the data"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(load_error(c.bytes), std::string("format error: ") + c.message) << c.what;
  }
  // Accepted: the 9-byte empty arena, tag 0xF1, and tag 0x51 with an empty
  // overflow table after the key bytes.
  EXPECT_EQ(load_error(header(1, 0x11)), "loaded");
  EXPECT_EQ(load_error(cat(header(1, 0xf1), le(0, 8))), "loaded");
  Bytes with_trailer = cat(cat(cat(header(2, 0x51), le(0, 4)), cat({0, 2}, Bytes(15, 2))), Bytes{'h', 'i'});
  with_trailer = cat(with_trailer, le(0, 8));
  auto a = StringArena::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(with_trailer)));
  EXPECT_EQ(a.entry(0), std::optional<std::string_view>("hi"));
  EXPECT_EQ(a.data_end(), with_trailer.size() - 8);
}

TEST(ArenaLoad, DamagedInteriorEntriesReadAsAbsent) {
  std::vector<std::string> keys{"a", "bc", "", "def"};
  StringArena good = make(keys);
  ASSERT_EQ(good.tag(), 0x11);
  // Rebuild the same keys in the overflow-capable layout with an empty
  // overflow table, so the arena ends in 8 bytes that are not key bytes.
  std::vector<std::uint32_t> lengths{1, 2, 0, 3};
  Bytes b(9 + 21, 0);
  store_le64(b.data(), 5);
  b[8] = 0x51;
  Bytes tail = arena::write_offsets(b, 0x51, lengths);
  for (auto& k : keys) b.insert(b.end(), k.begin(), k.end());
  b.insert(b.end(), tail.begin(), tail.end());
  ASSERT_EQ(tail.size(), 8u);
  b[9 + 4 + 2] = 12;  // entry 1 now ends past the key bytes, inside the trailer
  auto a = StringArena::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)));
  EXPECT_EQ(a.entry(0), std::optional<std::string_view>("a"));
  EXPECT_FALSE(a.entry(1).has_value());  // 1..12 would reach the trailing length
  EXPECT_FALSE(a.entry(2).has_value());  // 12..3 ends before it starts
  EXPECT_EQ(a.entry(3), std::optional<std::string_view>("def"));
}

TEST(ArenaAssemble, RefusalsAndHints) {
  std::vector<std::string> keys{"x", "yy"};
  EXPECT_FALSE(StringArena::assemble(keys, 3, 3).has_value());
  std::vector<std::string> three{"x", "yy", "zzz"};
  EXPECT_FALSE(StringArena::assemble(three, 2, 6).has_value());
  std::vector<std::uint8_t> two_tags{1, 2};
  EXPECT_FALSE(StringArena::assemble(three, 3, 6, &two_tags).has_value());
  EXPECT_THROW(StringArena::build_exact(three, true), Panic);

  // The total is only a hint: any hint gives the same bytes.
  std::mt19937_64 rng(5);
  std::vector<std::string> many;
  std::uint64_t total = 0;
  for (int k = 0; k < 3000; ++k) {
    many.push_back(std::string(rng() % 3 == 0 ? rng() % 200 : rng() % 8, 'k'));
    total += many.back().size();
  }
  Bytes exact = arena_bytes(*StringArena::assemble(many, many.size(), total));
  EXPECT_EQ(arena_bytes(*StringArena::assemble(many, many.size(), 0)), exact);
  EXPECT_EQ(arena_bytes(*StringArena::assemble(many, many.size(), 2 * total)), exact);
  EXPECT_EQ(arena_bytes(*StringArena::assemble(many, many.size(), std::uint64_t{1} << 32)), exact);  // guesses wide offsets
}

TEST(ArenaAssemble, PrefixForLengths) {
  auto none = StringArena::prefix_for_lengths({});
  EXPECT_EQ(none.prefix, header(1, 0x11));
  EXPECT_EQ(none.total, 0u);
  EXPECT_TRUE(none.overflow.empty());

  std::vector<std::uint32_t> lengths{1, 2, 0};
  auto p = StringArena::prefix_for_lengths(lengths);
  EXPECT_EQ(p.prefix.size(), 30u);
  EXPECT_EQ(p.total, 3u);
  EXPECT_EQ(p.tag, 0x11);
  EXPECT_EQ(StringArena::span_at(p.prefix, p.overflow, p.tag, 1), (Span{1, 3}));
  EXPECT_EQ(StringArena::span_at(p.prefix, p.overflow, p.tag, 16), (Span{0, 0}));
}

TEST(ArenaAssemble, RandomRoundTrips) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 60; ++round) {
    const std::size_t n = rng() % (round < 40 ? 300 : 3000);
    const int shape = round % 4;
    std::vector<std::string> keys;
    std::vector<std::uint32_t> lengths;
    std::vector<std::uint8_t> tags;
    for (std::size_t k = 0; k < n; ++k) {
      std::size_t len = shape == 0   ? rng() % 8
                        : shape == 1 ? rng() % 40
                        : shape == 2 ? (rng() % 50 == 0 ? 1000 + rng() % 70000 : rng() % 4)
                                     : rng() % 600;
      std::string key(len, '\0');
      for (auto& c : key) c = static_cast<char>(rng());
      keys.push_back(std::move(key));
      lengths.push_back(static_cast<std::uint32_t>(len));
      tags.push_back(static_cast<std::uint8_t>(rng()));
    }
    const bool with_tags = round % 2 == 1;
    StringArena a = make(keys, with_tags ? &tags : nullptr);
    SCOPED_TRACE(round);
    expect_entries(a, keys, with_tags ? &tags : nullptr);

    // Prefix, key bytes and overflow bytes are the same arena, and span_at
    // places every entry where entry() finds it.
    auto p = StringArena::prefix_for_lengths(lengths, with_tags ? &tags : nullptr);
    Bytes joined = p.prefix;
    for (auto& k : keys) joined.insert(joined.end(), k.begin(), k.end());
    joined.insert(joined.end(), p.overflow.begin(), p.overflow.end());
    ASSERT_EQ(joined, arena_bytes(a));
    for (std::size_t i = 0; i < n; ++i) {
      Span s = StringArena::span_at(p.prefix, p.overflow, p.tag, i);
      ASSERT_EQ((Span{s.start + a.data_start(), s.end + a.data_start()}), *a.entry_span(i));
    }

    // Sized from the lengths first, the keys copied in afterwards: the same bytes.
    SizedArena sized(lengths, with_tags ? &tags : nullptr);
    ASSERT_EQ(sized.total(), p.total);
    std::uint64_t at = 0;
    for (auto& k : keys) {
      std::copy(k.begin(), k.end(), sized.key_bytes() + at);
      at += k.size();
    }
    ASSERT_EQ(arena_bytes(sized.finish()), arena_bytes(a));
  }
  // No entries at all, with and without tag bytes.
  const std::vector<std::uint8_t> no_tags;
  for (const std::vector<std::uint8_t>* t : {static_cast<const std::vector<std::uint8_t>*>(nullptr), &no_tags}) {
    SizedArena sized({}, t);
    EXPECT_EQ(arena_bytes(sized.finish()), arena_bytes(make({}, t)));
  }
}

TEST(ArenaAssemble, MoveData) {
  std::vector<unsigned char> buf{0, 1, 2, 3, 4, 5};
  arena::move_data(buf, 1, 3, 4);  // forward: extended with zeros first
  EXPECT_EQ(buf, (std::vector<unsigned char>{0, 1, 2, 3, 1, 2, 3}));
  arena::move_data(buf, 4, 3, 0);  // backward: cut after the move
  EXPECT_EQ(buf, (std::vector<unsigned char>{1, 2, 3}));
}
