#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "double_array.hpp"
#include "temp_dir.hpp"

using namespace quorvale;

namespace {

using Bytes = std::vector<unsigned char>;

std::string utf8(const std::u32string& s) {
  std::string out;
  for (char32_t c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xe0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
      out += static_cast<char>(0xf0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return out;
}

// Sorted, distinct, as the Python constructor hands keys over.
DoubleArrayIndex build(std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  std::vector<std::string_view> views(keys.begin(), keys.end());
  return DoubleArrayIndex::build_ranked(views);
}

Bytes bytes_of(const DoubleArrayIndex& idx) {
  auto b = idx.blob().bytes();
  return Bytes(b.begin(), b.end());
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const IndexError& e) {
    return e.what();
  }
  return "no error";
}

// Both checksums recomputed, as a crafted blob carries them.
void seal(Bytes& b) { double_array::FRAME.seal_blob(b); }

std::string load_error(const Bytes& b) {
  return error_of([&] { DoubleArrayIndex::from_bytes(b); });
}

}  // namespace

// Slot words worked by hand from the word layout (label 0..15, final 16,
// leaf 17, base 18..40, id 41..63) for tiny key sets.
TEST(DoubleArrayBuild, KnownAnswers) {
  struct Case {
    std::vector<std::string> keys;
    std::uint32_t L;
    std::uint64_t S;
    std::uint32_t C;
    std::vector<std::uint64_t> slots;  // from slot 1
    std::size_t len;
    std::uint64_t K, empty;
    std::map<char, std::uint16_t> labels;
  };
  const std::vector<Case> cases = {
      {{}, 0, 0, 0, {}, 64, 0, UINT64_MAX, {}},
      {{""}, 0, 0, 0, {}, 64, 1, 0, {}},
      {{"a", "b"}, 2, 3, 99, {0x30001, 0x20000030002}, 286, 2, UINT64_MAX, {{'a', 1}, {'b', 2}}},
      {{"ab", "b"}, 2, 5, 99, {0x20000030001, 0x80002, 0x30001, 0}, 302, 2, UINT64_MAX, {{'a', 2}, {'b', 1}}},
      {{"a", "ab"}, 2, 4, 99, {0x50001, 0, 0x20000030002}, 294, 2, UINT64_MAX, {{'a', 1}, {'b', 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys.size() ? c.keys.back() : "none");
    Bytes b = bytes_of(build(c.keys));
    ASSERT_EQ(b.size(), c.len);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "BDA1");
    EXPECT_EQ(load_le64(&b[4]), c.K);
    EXPECT_EQ(load_le64(&b[12]), c.empty);
    EXPECT_EQ(load_le64(&b[20]), c.S);
    EXPECT_EQ(load_le32(&b[28]), c.C);
    EXPECT_EQ(load_le32(&b[32]), 0u);
    EXPECT_EQ(load_le32(&b[36]), c.L);
    EXPECT_EQ(load_le64(&b[40]), blob::hash_block(std::span<const unsigned char>(b.data() + 64, b.size() - 64)));
    EXPECT_TRUE(std::all_of(&b[48], &b[60], [](unsigned char x) { return x == 0; }));
    EXPECT_EQ(load_le32(&b[60]), blob::header_checksum(std::span<const unsigned char>(b.data(), 60)));
    if (c.S) {
      EXPECT_EQ(load_le64(&b[64]), 0u) << "slot 0 stays empty";
    }
    for (std::size_t i = 0; i < c.slots.size(); ++i) EXPECT_EQ(load_le64(&b[64 + 8 * (i + 1)]), c.slots[i]) << "slot " << i + 1;
    const std::size_t code_at = 64 + 8 * c.S;
    for (std::uint32_t cp = 0; cp < c.C; ++cp) {
      auto it = c.labels.find(static_cast<char>(cp));
      EXPECT_EQ(load_le16(&b[code_at + 2 * cp]), it == c.labels.end() ? 0 : it->second) << "code point " << cp;
    }
  }
}

TEST(DoubleArrayBuild, SupplementaryOnlyKeysAndDeterminism) {
  // U+1F600 twice, U+10000 and U+1F601 once: labels by count, then code point.
  DoubleArrayIndex idx = build({utf8(U"\U0001F600\U0001F600"), utf8(U"\U00010000"), utf8(U"\U0001F601")});
  Bytes b = bytes_of(idx);
  EXPECT_EQ(load_le32(&b[28]), 0u);
  EXPECT_EQ(load_le32(&b[32]), 3u);
  EXPECT_EQ(load_le32(&b[36]), 3u);
  const std::vector<double_array::Supplementary> want = {{0x10000, 2}, {0x1F600, 1}, {0x1F601, 3}};
  EXPECT_TRUE(std::equal(want.begin(), want.end(), idx.supplementary().begin(), idx.supplementary().end()));
  const std::size_t at = b.size() - 24;
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(load_le32(&b[at + 8 * i]), want[i].code_point);
    EXPECT_EQ(load_le32(&b[at + 8 * i + 4]), want[i].label);
  }
  EXPECT_EQ(idx.id(utf8(U"\U0001F600\U0001F600")), 1u);
  EXPECT_EQ(idx.id(utf8(U"\U00010000")), 0u);

  std::mt19937_64 rng(5);
  std::vector<std::string> keys;
  for (int i = 0; i < 3000; ++i) {
    std::u32string k;
    for (int j = 0, n = static_cast<int>(rng() % 9); j < n; ++j) k += static_cast<char32_t>(U"abcdeé中\U0001F600"[rng() % 8]);
    keys.push_back(utf8(k));
  }
  EXPECT_EQ(bytes_of(build(keys)), bytes_of(build(keys)));
}

TEST(DoubleArrayBuild, Limits) {
  // 65,535 distinct characters build; one more is refused.
  std::vector<std::string> keys;
  for (char32_t c = 1; keys.size() < 65536; ++c)
    if (c < 0xd800 || c > 0xdfff) keys.push_back(utf8(std::u32string(1, c)));
  EXPECT_EQ(error_of([&] { build(keys); }),
            "format error: double-array: more than 65 535 distinct characters; labels are 16 bits");
  keys.pop_back();
  DoubleArrayIndex idx = build(keys);
  EXPECT_EQ(idx.len(), 65535u);
  EXPECT_EQ(idx.id(keys[40000]), 40000u);

  // The key limit comes before any character is read: these keys are not
  // even UTF-8, which the counting would refuse.
  std::vector<std::string_view> many(double_array::MAX_KEYS + 1, std::string_view("\xff"));
  EXPECT_EQ(error_of([&] { DoubleArrayIndex::build_ranked(many); }),
            "format error: double-array: more than 8 388 608 keys; ids are 23 bits");
}

TEST(DoubleArrayBuild, AnyOrderAndRepeats) {
  // Keys in any order with repeats: ranks among the distinct keys.
  std::vector<std::string> keys = {"b", "", "ab", "b", "a", "ab", "\xc3\xa9"};
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  const DoubleArrayIndex idx = DoubleArrayIndex::build(views);
  EXPECT_EQ(bytes_of(idx), bytes_of(build({"", "a", "ab", "b", "\xc3\xa9"})));
}

TEST(DoubleArrayBuild, DistinctKeysCountedFromTheirHashes) {
  // Past 65,536 keys the hashes are counted in slices: distinct keys, and
  // as many keys with repeats.
  std::vector<std::string> distinct;
  for (int i = 0; i < 70000; ++i) distinct.push_back(std::string("k").append(std::to_string(i)));
  std::vector<std::string> repeated;
  for (int i = 0; i < 70000; ++i) repeated.push_back(distinct[static_cast<std::size_t>(i) % 1000]);
  std::shuffle(repeated.begin(), repeated.end(), std::mt19937(3));
  const std::vector<std::string_view> d(distinct.begin(), distinct.end()), r(repeated.begin(), repeated.end());
  const std::vector<std::string_view> few = {"a", "b", "a", "c"};
  struct Case {
    std::span<const std::string_view> keys;
    std::uint64_t limit;
    bool more;
  };
  const Case cases[] = {
      {few, 2, true}, {few, 3, false}, {few, 4, false}, {d, 69999, true}, {d, 70000, false},
      {r, 999, true}, {r, 1000, false}, {r, 69999, false},
  };
  for (const Case& c : cases)
    for (std::size_t threads : {1, 4})
      EXPECT_EQ(double_array::surely_more_distinct(c.keys, c.limit, threads), c.more)
          << c.keys.size() << " keys, limit " << c.limit << ", " << threads << " threads";
}

// ---- loading ----

namespace {

// A blob with every section: a slot array, a code table and two
// supplementary entries (keys a, ab, U+1F600 b, U+1F601).
Bytes sample() { return bytes_of(build({"a", "ab", utf8(U"\U0001F600b"), utf8(U"\U0001F601")})); }

struct Layout {
  std::uint64_t S, C, P, L;
  std::size_t code_at, supp_at;
};
Layout layout(const Bytes& b) {
  Layout l{load_le64(&b[20]), load_le32(&b[28]), load_le32(&b[32]), load_le32(&b[36]), 0, 0};
  l.code_at = 64 + 8 * l.S;
  l.supp_at = l.code_at + 2 * l.C;
  return l;
}

}  // namespace

TEST(DoubleArrayBlob, RefusalsInCheckOrder) {
  const Bytes good = sample();
  const Layout g = layout(good);
  ASSERT_EQ(g.P, 2u);
  ASSERT_EQ(load_error(good), "no error");
  const std::string slot_msg =
      "format error: double-array: a slot names a row past the array or an id past the end, or holds bits no build "
      "sets";
  // The first slot word with the given field bits (a leaf holding key a's child b, say).
  auto find_slot = [&](auto pred) {
    for (std::size_t i = 0; i < g.S; ++i)
      if (pred(load_le64(&good[64 + 8 * i]))) return 64 + 8 * i;
    ADD_FAILURE() << "no such slot";
    return std::size_t{64};
  };
  const std::size_t leaf_at = find_slot([](std::uint64_t w) { return (w & double_array::LEAF) != 0; });
  const std::size_t inner_at = find_slot([](std::uint64_t w) { return w && !(w & double_array::LEAF); });
  const std::size_t empty_at = find_slot([](std::uint64_t w) { return w == 0; });
  const std::size_t plain_at = find_slot([](std::uint64_t w) { return w && !(w & double_array::FINAL); });

  struct Case {
    const char* what;
    std::function<void(Bytes&)> edit;
    std::string message;
    bool reseal = true;
  };
  const std::vector<Case> cases = {
      {"63 bytes", [](Bytes& b) { b.resize(63); }, "format error: bad magic or truncated header", false},
      {"magic", [](Bytes& b) { b[3] = '2'; }, "format error: bad magic or truncated header"},
      {"key count without a new header checksum", [](Bytes& b) { store_le64(&b[4], 3); },
       "format error: header checksum mismatch", false},
      {"reserved", [](Bytes& b) { b[55] = 1; }, "format error: double-array: reserved header bytes set"},
      {"K past 2^23", [](Bytes& b) { store_le64(&b[4], (1u << 23) + 1); },
       "format error: double-array: more keys than ids can name"},
      {"empty id K", [](Bytes& b) { store_le64(&b[12], 4); },
       "format error: double-array: the empty key's id is past the end"},
      {"S past 2^23", [](Bytes& b) { store_le64(&b[20], (1u << 23) + 1); },
       "format error: double-array: more slots than bases can name"},
      {"C past 65536", [](Bytes& b) { store_le32(&b[28], 65537); },
       "format error: double-array: code table length out of range"},
      {"P past 2^20", [](Bytes& b) { store_le32(&b[32], (1u << 20) + 1); },
       "format error: double-array: code table length out of range"},
      {"L past 65535", [](Bytes& b) { store_le32(&b[36], 65536); }, "format error: double-array: label range out of range"},
      {"S = 0, L = 1", [](Bytes& b) { store_le64(&b[20], 0); store_le32(&b[36], 1); },
       "format error: double-array: label range out of range"},
      {"S = 5, L = 5", [](Bytes& b) { store_le64(&b[20], 5); store_le32(&b[36], 5); },
       "format error: double-array: label range out of range"},
      {"L = 0 with slots", [](Bytes& b) { store_le32(&b[36], 0); }, "format error: double-array: label range out of range"},
      {"one byte longer", [](Bytes& b) { b.push_back(0); },
       "format error: double-array: section lengths do not meet the blob's"},
      {"one byte shorter", [](Bytes& b) { b.pop_back(); },
       "format error: double-array: section lengths do not meet the blob's"},
      {"payload byte", [&](Bytes& b) { b[g.code_at] ^= 1; }, "format error: payload checksum mismatch", false},
      {"code-table label L + 1", [&](Bytes& b) { store_le16(&b[g.code_at + 2 * '`'], static_cast<std::uint16_t>(g.L + 1)); },
       "format error: double-array: a code-table label past the largest"},
      {"repeated supplementary character", [&](Bytes& b) { store_le32(&b[g.supp_at + 8], load_le32(&b[g.supp_at])); },
       "format error: double-array: supplementary characters out of range or order"},
      {"supplementary U+FFFF", [&](Bytes& b) { store_le32(&b[g.supp_at], 0xffff); },
       "format error: double-array: supplementary characters out of range or order"},
      {"supplementary U+110000", [&](Bytes& b) { store_le32(&b[g.supp_at + 8], 0x110000); },
       "format error: double-array: supplementary characters out of range or order"},
      {"supplementary label 0", [&](Bytes& b) { store_le32(&b[g.supp_at + 4], 0); },
       "format error: double-array: a supplementary label out of range"},
      {"supplementary label L + 1", [&](Bytes& b) { store_le32(&b[g.supp_at + 12], static_cast<std::uint32_t>(g.L + 1)); },
       "format error: double-array: a supplementary label out of range"},
      {"label 0 with other bits", [&](Bytes& b) { store_le64(&b[empty_at], double_array::FINAL); }, slot_msg},
      {"id bits without final", [&](Bytes& b) { store_le64(&b[plain_at], load_le64(&b[plain_at]) | (1ull << 41)); },
       slot_msg},
      {"final with id K", [&](Bytes& b) { store_le64(&b[leaf_at], (load_le64(&b[leaf_at]) & 0x1ffffffffffull) | (4ull << 41)); },
       slot_msg},
      {"leaf without final", [&](Bytes& b) { store_le64(&b[leaf_at], load_le64(&b[leaf_at]) & ~(double_array::FINAL | (0x7fffffull << 41))); },
       slot_msg},
      {"leaf with a base", [&](Bytes& b) { store_le64(&b[leaf_at], load_le64(&b[leaf_at]) | (1ull << 18)); }, slot_msg},
      {"non-leaf base S - L", [&](Bytes& b) {
         std::uint64_t w = load_le64(&b[inner_at]) & ~(0x7fffffull << 18);
         store_le64(&b[inner_at], w | ((g.S - g.L) << 18));
       }, slot_msg},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes b = good;
    c.edit(b);
    if (c.reseal) {
      if (b.size() >= 64) seal(b);
    } else if (b.size() >= 64 && c.message != "format error: header checksum mismatch") {
      double_array::FRAME.seal_header(std::span<unsigned char>(b).first(64));
    }
    EXPECT_EQ(load_error(b), c.message);
  }

  // The non-leaf base S - L - 1 is the largest that keeps every child inside.
  Bytes edge = good;
  store_le64(&edge[inner_at], (load_le64(&edge[inner_at]) & ~(0x7fffffull << 18)) | ((g.S - g.L - 1) << 18));
  seal(edge);
  EXPECT_EQ(load_error(edge), "no error");
}

TEST(DoubleArrayBlob, HeaderOnlyBlobs) {
  Bytes b(64, 0);
  std::memcpy(b.data(), "BDA1", 4);
  store_le64(&b[12], UINT64_MAX);
  seal(b);
  DoubleArrayIndex empty = DoubleArrayIndex::from_bytes(b);
  EXPECT_TRUE(empty.is_empty());
  EXPECT_FALSE(empty.contains(""));
  store_le64(&b[12], 0);
  seal(b);
  EXPECT_EQ(load_error(b), "format error: double-array: the empty key's id is past the end");
  store_le64(&b[4], 1);
  seal(b);
  EXPECT_EQ(DoubleArrayIndex::from_bytes(b).id(""), 0u);
}

TEST(DoubleArrayBlob, FilesAndMaps) {
  TempDir dir;
  DoubleArrayIndex idx = build({"a", "ab", utf8(U"\U0001F600b"), "zz"});
  const std::string path = dir / "idx.bda";
  idx.save(path);
  EXPECT_EQ(read_file(path), std::string(idx.blob().bytes().begin(), idx.blob().bytes().end()));
  for (const DoubleArrayIndex& back : {DoubleArrayIndex::load(path), DoubleArrayIndex::load_mmap(path),
                                       DoubleArrayIndex::from_bytes(idx.blob().bytes())}) {
    EXPECT_EQ(bytes_of(back), bytes_of(idx));
    EXPECT_EQ(back.id("ab"), 1u);
    EXPECT_EQ(back.id(utf8(U"\U0001F600b")), 3u);
  }
  EXPECT_TRUE(DoubleArrayIndex::load_mmap(path).blob().is_mapped());
  EXPECT_EQ(dir.names(), std::set<std::string>{"idx.bda"});

  // A well-formed payload change: 'c' now has a label. Only the map loads it.
  std::string damaged = read_file(path);
  const Layout l = layout(bytes_of(idx));
  damaged[l.code_at + 2 * 'c'] = 1;
  write_file(path, damaged);
  EXPECT_EQ(error_of([&] { DoubleArrayIndex::load(path); }), "format error: payload checksum mismatch");
  EXPECT_EQ(error_of([&] { DoubleArrayIndex::from_bytes(bytes_of(DoubleArrayIndex::load_mmap(path))); }),
            "format error: payload checksum mismatch");
  EXPECT_EQ(DoubleArrayIndex::load_mmap(path).id("ab"), 1u);

  write_file(path, "");
  EXPECT_EQ(error_of([&] { DoubleArrayIndex::load_mmap(path); }), "format error: bad magic or truncated header");
  EXPECT_EQ(error_of([&] { DoubleArrayIndex::load(dir / "missing"); }).rfind("io error: ", 0), 0u);
  EXPECT_EQ(error_of([&] { idx.save(dir / "no/such/dir"); }).rfind("io error: ", 0), 0u);
}

// ---- lookups ----

namespace {

// Keys over an alphabet of 1- to 4-byte characters, many of them prefixes
// of others, sometimes with the empty key.
std::vector<std::u32string> random_keys(std::mt19937_64& rng, std::size_t n, bool with_empty) {
  static const std::u32string alphabet = U"abcxyz\u00e9\u00df\u4e2d\u6587\U0001F600\U00010348";
  std::set<std::u32string> keys;
  if (with_empty) keys.insert(U"");
  while (keys.size() < n) {
    std::u32string k;
    if (!keys.empty() && rng() % 3 == 0) {
      auto it = keys.begin();
      std::advance(it, static_cast<long>(rng() % keys.size()));
      k = *it;  // extend an existing key
    }
    for (int j = 0, m = 1 + static_cast<int>(rng() % 4); j < m; ++j) k += alphabet[rng() % (rng() % 4 ? 6 : alphabet.size())];
    keys.insert(k);
  }
  return {keys.begin(), keys.end()};
}

std::u32string random_text(std::mt19937_64& rng, std::size_t n) {
  static const std::u32string alphabet = U"abcxyz\u00e9\u00df\u4e2d\u6587\U0001F600\U00010348q\u00f1";
  std::u32string t;
  for (std::size_t i = 0; i < n; ++i) t += alphabet[rng() % (rng() % 4 ? 6 : alphabet.size())];
  return t;
}

}  // namespace

TEST(DoubleArrayLookup, AgreesWithBruteForce) {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 8; ++round) {
    const auto keys32 = random_keys(rng, 1 + rng() % 400, round % 2 == 0);
    std::map<std::string, std::uint32_t> rank;  // byte order
    for (const auto& k : keys32) rank.emplace(utf8(k), 0);
    std::uint32_t r = 0;
    for (auto& [k, id] : rank) id = r++;
    std::vector<std::string> keys;
    for (auto& [k, id] : rank) keys.push_back(k);
    DoubleArrayIndex idx = build(keys);
    ASSERT_EQ(idx.len(), keys.size());
    auto id_of = [&](const std::u32string& s) -> std::optional<std::uint32_t> {
      auto it = rank.find(utf8(s));
      if (it == rank.end()) return std::nullopt;
      return it->second;
    };
    for (auto& [k, id] : rank) EXPECT_EQ(idx.id(k), id);

    for (int q = 0; q < 300; ++q) {
      const std::u32string t = random_text(rng, q % 10 == 0 ? 80 + rng() % 200 : rng() % 12);
      const std::string text = utf8(t);
      // Exact lookup.
      EXPECT_EQ(idx.id(text), id_of(t));
      EXPECT_EQ(idx.contains(text), id_of(t).has_value());
      // Prefixes.
      std::vector<PrefixMatch> want_prefix;
      for (std::size_t i = 0; i <= t.size(); ++i)
        if (auto id = id_of(t.substr(0, i))) want_prefix.push_back({utf8(t.substr(0, i)).size(), *id});
      std::vector<PrefixMatch> got_prefix;
      idx.common_prefix(text, got_prefix);
      EXPECT_EQ(got_prefix, want_prefix) << text;
      auto longest = idx.longest_prefix(text);
      EXPECT_EQ(longest, want_prefix.empty() ? std::nullopt : std::optional<PrefixMatch>(want_prefix.back()));
      // Occurrences, the empty key never among them.
      std::vector<Occurrence> want_occ;
      for (std::size_t s = 0; s < t.size(); ++s)
        for (std::size_t e = s + 1; e <= t.size(); ++e)
          if (auto id = id_of(t.substr(s, e - s))) want_occ.push_back({s, e, *id});
      std::vector<Occurrence> got_occ;
      idx.occurrences(text, got_occ);
      EXPECT_EQ(got_occ, want_occ) << text;
    }
  }
}

TEST(DoubleArrayLookup, IllFormedTextMatchesNothingAcrossTheBadBytes) {
  DoubleArrayIndex idx = build({"ab", "b", "\xc3\xa9"});
  EXPECT_FALSE(idx.id("a\xff" "b").has_value());
  EXPECT_FALSE(idx.id("\xc3").has_value());
  std::vector<Occurrence> occ;
  idx.occurrences("a\xff" "b\xc3", occ);  // every bad byte is one position
  EXPECT_EQ(occ, (std::vector<Occurrence>{{2, 3, 1}}));
}
