#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "fst_test_util.hpp"
#include "overlay_fixtures.hpp"
#include "temp_dir.hpp"

namespace quorvale::overlay {
// Pushes and finds additions under a hash the test chooses.
struct TestAccess {
  static void push(Overlay& o, std::string_view key, std::uint64_t h) { o.push_hashed(key, h); }
  static std::optional<std::uint32_t> find(const Overlay& o, std::string_view key, std::uint64_t h) {
    return o.find_hashed(key, h);
  }
};
}  // namespace quorvale::overlay

using namespace overlay_fixtures;
using quorvale::IndexError;
using quorvale::LimitExceeded;

namespace {

constexpr std::uint64_t NONE = ~std::uint64_t{0};

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const IndexError& e) {
    return e.what();
  } catch (const LimitExceeded& e) {
    return std::string("limit: ") + e.what();
  }
  return "no error";
}

// What an overlay answers, key by key and id by id.
template <class O>
void expect_same(const O& a, const O& b) {
  ASSERT_EQ(a.id_space(), b.id_space());
  ASSERT_EQ(a.len(), b.len());
  ASSERT_EQ(a.keys(), b.keys());
  for (std::uint64_t id = 0; id <= a.id_space(); ++id) {
    ASSERT_EQ(a.key(id), b.key(id)) << id;
    if (auto k = a.key(id)) {
      ASSERT_EQ(b.id(*k), id);
    }
  }
}

// The kinds that store keys, and all three.
template <class Kind>
class OverlayKinds : public ::testing::Test {};
using Kinds = ::testing::Types<StringIndex, PerfectHashIndex>;
TYPED_TEST_SUITE(OverlayKinds, Kinds);
template <class Kind>
class OverlayAllKinds : public ::testing::Test {};
using AllKinds = ::testing::Types<StringIndex, PerfectHashIndex, CompactHashIndex>;
TYPED_TEST_SUITE(OverlayAllKinds, AllKinds);

TYPED_TEST(OverlayKinds, IdRules) {
  auto e = over<TypeParam>({});
  EXPECT_EQ(e.add("x"), 0u);
  EXPECT_EQ(e.add("y"), 1u);
  EXPECT_EQ(e.add("x"), 0u);
  EXPECT_EQ(e.id_space(), 2u);
  EXPECT_EQ(e.len(), 2u);

  auto o = over<TypeParam>({"b", "d"});
  const std::uint64_t b = *o.id("b");
  EXPECT_EQ(o.add("b"), b);
  EXPECT_EQ(o.id_space(), 2u);
  EXPECT_EQ(o.additions(), 0u);
  const std::uint64_t x = o.add("x");
  EXPECT_EQ(x, 2u);
  EXPECT_TRUE(o.remove("x"));
  EXPECT_EQ(o.len(), 2u);
  EXPECT_FALSE(o.remove("x"));
  EXPECT_FALSE(o.remove("absent"));
  EXPECT_FALSE(o.retire_id(x));
  EXPECT_FALSE(o.retire_id(o.id_space()));
  EXPECT_EQ(o.add("z"), 3u);  // the id space, never the retired id
  EXPECT_EQ(o.add("x"), x);   // revived
  EXPECT_EQ(o.id_space(), 4u);
  EXPECT_EQ(o.len(), 4u);

  EXPECT_TRUE(o.retire_id(b));
  EXPECT_FALSE(o.id("b"));
  EXPECT_FALSE(o.contains("b"));
  EXPECT_FALSE(o.key(b));
  EXPECT_EQ(o.add("b"), b);  // a retired base id is revived, never re-added
  EXPECT_EQ(o.additions(), 2u);

  for (std::uint64_t id = 0; id < o.id_space(); ++id) EXPECT_TRUE(o.retire_id(id));
  EXPECT_TRUE(o.keys().empty());
  EXPECT_EQ(o.len(), 0u);
  EXPECT_TRUE(o.is_empty());
  EXPECT_EQ(o.tombstones().size(), 1u);
}

TYPED_TEST(OverlayKinds, KeysInIdOrderAndFarTombstones) {
  const std::vector<std::string> base{"pear", "apple", "fig", "\xc3\xa9t\xc3\xa9", "", "app", "apples"};
  auto o = over<TypeParam>(base);
  std::vector<std::string> added;
  for (int i = 0; i < 200; ++i) added.push_back(std::string("k").append(std::to_string(i)));
  for (const auto& k : added) o.add(k);
  EXPECT_TRUE(o.retire_id(o.id_space() - 1));  // id 206 in word 3: the vector grows with zero words
  EXPECT_EQ(o.tombstones().size(), 4u);
  EXPECT_EQ(o.tombstones()[1], 0u);
  EXPECT_TRUE(o.remove("fig"));
  std::vector<std::string> expect;
  for (std::uint64_t id = 0; id < o.base_len(); ++id)
    if (auto k = o.base().key(id); k && *k != "fig") expect.emplace_back(*k);
  for (std::size_t i = 0; i + 1 < added.size(); ++i) expect.push_back(added[i]);
  EXPECT_EQ(o.keys(), expect);
  std::uint64_t last = 0;
  bool first = true;
  o.for_each_key([&](std::uint64_t id, std::string_view key) {
    EXPECT_TRUE(first || id > last);
    EXPECT_EQ(o.key(id), std::string(key));
    first = false;
    last = id;
  });
}

TYPED_TEST(OverlayAllKinds, LimitsRefuseAndLeaveTheOverlayUsable) {
  struct Case {
    overlay::Limits limits;
    std::string key;
    const char* message;
  };
  const std::vector<Case> cases{
      {{1, 1000, 1000}, "c", overlay::MSG_TOO_MANY},  // a third addition would be number 2
      {{1000, 8, 1000}, "c", overlay::MSG_TOO_MUCH},  // its record would start at offset 10
      {{1000, 1000, 3}, "long", overlay::MSG_TOO_LONG},
  };
  for (const Case& c : cases) {
    auto o = over<TypeParam>({"b"});
    o.set_limits(c.limits);
    o.add("a");
    o.add("bb");
    ASSERT_TRUE(o.remove("a"));
    const auto before = o.to_bytes();
    EXPECT_EQ(error_of([&] { o.add(c.key); }), std::string("limit: ") + c.message);
    EXPECT_EQ(o.to_bytes(), before);
    EXPECT_EQ(o.len(), 2u);
    EXPECT_FALSE(o.id(c.key));
    EXPECT_EQ(o.add("a"), 1u);  // revival needs no new addition
    o.set_limits({});
    EXPECT_EQ(o.add(c.key), 3u);
    EXPECT_EQ(o.id(c.key), 3u);
  }
}

TYPED_TEST(OverlayKinds, BlobRoundTrips) {
  TempDir dir;
  auto o = over<TypeParam>({"b", "d", "f"});
  for (const char* k : {"a", "c", "\xe6\x9d\xb1", ""}) o.add(k);
  ASSERT_TRUE(o.remove("d"));
  ASSERT_TRUE(o.remove("c"));
  for (int i = 0; i < 130; ++i) o.add(std::string("n").append(std::to_string(i)));
  ASSERT_TRUE(o.retire_id(100));
  ASSERT_EQ(o.add("n93"), 100u);  // word 1 is zero again
  ASSERT_TRUE(o.remove("n120"));
  const Bytes blob = o.to_bytes();
  ASSERT_EQ(blob.size(), o.serialized_len());
  o.save(dir / "o.ovl");
  EXPECT_EQ(read_file(dir / "o.ovl"), std::string(blob.begin(), blob.end()));
  EXPECT_EQ(dir.names(), std::set<std::string>{"o.ovl"});

  for (bool untrusted : {false, true}) {
    auto back = load<TypeParam>(blob, untrusted);
    expect_same(o, back);
    EXPECT_EQ(back.to_bytes(), blob);  // trailing and inner zero words included
    EXPECT_EQ(back.tombstones().size(), o.tombstones().size());
  }
  // An older writer's blob of the same state: same content, saved again as "OVL2".
  auto old = load<TypeParam>(as_v1(blob), false);
  expect_same(o, old);
  EXPECT_EQ(old.to_bytes(), blob);
}

TYPED_TEST(OverlayAllKinds, LayoutFromTheDefinition) {
  auto o = over<TypeParam>({"b", "d"});
  o.add("xy");
  o.add("\xc3\xa9");
  o.remove("b");
  const Bytes base = index<TypeParam>(o).to_bytes();
  Bytes body = base;
  for (const Bytes& rec : {Bytes{2, 0, 0, 0, 'x', 'y'}, Bytes{2, 0, 0, 0, 0xc3, 0xa9}})
    body.insert(body.end(), rec.begin(), rec.end());
  const std::uint64_t b = *o.base().id("b");
  Bytes word(8, 0);
  word[0] = static_cast<unsigned char>(1u << b);
  body.insert(body.end(), word.begin(), word.end());

  Bytes expect{'O', 'V', 'L', '2', overlay::TAG_OF<TypeParam>};
  expect.resize(49);
  put64(expect, 5, base.size());
  put64(expect, 13, 2);
  put64(expect, 21, 12);
  put64(expect, 29, 1);
  expect.insert(expect.end(), body.begin(), body.end());
  reseal(expect);
  EXPECT_EQ(o.to_bytes(), expect);
}

TYPED_TEST(OverlayKinds, Compaction) {
  TempDir dir;
  // No edits: the same keys (and, over a string index, the same ids).
  auto same = over<TypeParam>({"q", "r", "s"});
  auto c = same.compact();
  EXPECT_EQ(c.keys(), same.keys());
  if constexpr (std::is_same_v<TypeParam, StringIndex>) expect_same(c, same);

  auto o = over<TypeParam>({"b", "d"});
  o.add("a");
  o.add("c");
  o.remove("d");
  const Bytes before = o.to_bytes();
  auto [fresh, remap] = o.compact_with_remap();
  EXPECT_EQ(o.to_bytes(), before);  // the old overlay is unchanged
  EXPECT_EQ(fresh.additions(), 0u);
  EXPECT_TRUE(fresh.tombstones().empty());
  EXPECT_EQ(fresh.len(), 3u);
  ASSERT_EQ(remap.size(), 4u);
  EXPECT_EQ(remap[1], NONE);
  for (std::uint64_t old : {0u, 2u, 3u}) EXPECT_EQ(fresh.id(*o.key(old)), remap[old]);
  if constexpr (std::is_same_v<TypeParam, StringIndex>) {
    EXPECT_EQ(remap, (std::vector<std::uint64_t>{1, NONE, 0, 2}));
  }

  EXPECT_EQ(o.compact_to_file(dir / "c.bin"), 3u);
  const std::string file = read_file(dir / "c.bin");
  const Bytes expect = index<TypeParam>(fresh).to_bytes();
  EXPECT_EQ(file, std::string(expect.begin(), expect.end()));

  // Every id retired: an empty base.
  for (std::uint64_t id = 0; id < o.id_space(); ++id) o.retire_id(id);
  EXPECT_EQ(o.compact().len(), 0u);
  EXPECT_EQ(o.compact().base_len(), 0u);
  EXPECT_EQ(o.compact_to_file(dir / "e.bin"), 0u);
  // Id space 0: an empty remap.
  EXPECT_TRUE(over<TypeParam>({}).compact_with_remap().second.empty());
  // A failing write leaves nothing behind.
  EXPECT_NE(error_of([&] { o.compact_to_file(dir / "missing/x.bin"); }), "no error");
  EXPECT_EQ(dir.names(), (std::set<std::string>{"c.bin", "e.bin"}));
}

TEST(Overlay, CompactionKeepsPerfectHashTags) {
  for (bool tags : {false, true}) {
    auto o = over<PerfectHashIndex>({"a", "b"}, tags);
    o.add("c");
    EXPECT_EQ(index<PerfectHashIndex>(o.compact()).has_fingerprints(), tags);
    EXPECT_EQ(index<PerfectHashIndex>(o.compact_with_remap().first).has_fingerprints(), tags);
  }
}

TEST(Overlay, AddedIndexAmongEqualHashes) {
  auto o = over<StringIndex>({"base"});
  using A = overlay::TestAccess;
  const std::vector<std::string> keys{"one", "two", "three", "", "four"};
  for (const auto& k : keys) A::push(o, k, 42);
  A::push(o, "other", 7);
  for (std::uint32_t i = 0; i < keys.size(); ++i) EXPECT_EQ(A::find(o, keys[i], 42), i) << keys[i];
  EXPECT_EQ(A::find(o, "other", 7), 5u);
  EXPECT_FALSE(A::find(o, "five", 42));
  EXPECT_FALSE(A::find(o, "one", 7));
  EXPECT_FALSE(A::find(o, "one", 43));
}

TEST(Overlay, EmptyOverEmptyStringIndex) {
  auto o = over<StringIndex>({});
  const Bytes blob = o.to_bytes();
  EXPECT_EQ(blob.size(), 49 + 4 + index<StringIndex>(o).fst_bytes().size());
  EXPECT_EQ(get64(blob, 21), 0u);
  EXPECT_EQ(get64(blob, 29), 0u);
  auto back = load<StringIndex>(blob, false);
  EXPECT_EQ(back.id_space(), 0u);
  EXPECT_TRUE(back.is_empty());
}

// The base as each kind's adapter gives it back, and an overlay loaded from
// a blob, walked by id.
TEST(Overlay, BaseKindsAndALoadedWalk) {
  const auto s = over<StringIndex>({"a"});
  const auto p = over<PerfectHashIndex>({"a"});
  const auto c = over<CompactHashIndex>({"a"});
  EXPECT_TRUE(s.index<StringIndex>() && !s.index<PerfectHashIndex>() && !s.index<CompactHashIndex>());
  EXPECT_TRUE(p.index<PerfectHashIndex>() && !p.index<StringIndex>());
  EXPECT_TRUE(c.index<CompactHashIndex>() && !c.index<PerfectHashIndex>());
  EXPECT_EQ(s.base().tag(), overlay::TAG_STRING);
  EXPECT_EQ(p.base().tag(), overlay::TAG_PERFECT);
  EXPECT_EQ(c.base().tag(), overlay::TAG_COMPACT);
  EXPECT_TRUE(s.base().stores_keys() && p.base().stores_keys() && !c.base().stores_keys());

  auto o = over<PerfectHashIndex>({"k1", "k2"});
  o.add("k3");
  o.remove("k1");
  const Bytes blob = o.to_bytes();
  auto held = load<PerfectHashIndex>(blob, false);
  EXPECT_EQ(held.keys(), o.keys());
  EXPECT_EQ(held.to_bytes(), blob);
  std::vector<std::uint64_t> ids;
  held.for_each_key([&](std::uint64_t id, std::string_view) { ids.push_back(id); });
  EXPECT_EQ(ids, (std::vector<std::uint64_t>{*o.id("k2"), 2}));
}

// The key walks pause every so many keys and steps, with the same keys as
// without, and a pause that throws ends a compaction with nothing made.
TEST(Overlay, KeyWalksPause) {
  std::vector<std::string> base;
  for (int i = 0; i < 40000; ++i) base.push_back("key" + std::to_string(i));
  auto o = over<StringIndex>(base);
  o.add("added");
  o.remove("key7");
  int pauses = 0;
  auto counter = [&] { ++pauses; };
  const quorvale::Pause count(counter);
  EXPECT_EQ(o.keys(count), o.keys());
  EXPECT_GT(pauses, 0);
  struct Stop {};
  auto thrower = [] { throw Stop{}; };
  const quorvale::Pause stop(thrower);
  EXPECT_THROW(o.compact(stop), Stop);
  EXPECT_THROW(o.compact_with_remap(stop), Stop);
  std::vector<std::string> live = o.keys();
  std::sort(live.begin(), live.end());
  EXPECT_EQ(o.compact(count).keys(), live);

  // Also down a deep key, before it reaches a key at all.
  const std::string deep(100'000, 'x');
  const auto d = over<StringIndex>({deep, deep + "y", "z"});
  pauses = 0;
  EXPECT_EQ(d.keys(count), (std::vector<std::string>{deep, deep + "y", "z"}));
  EXPECT_GE(pauses, 6);
  EXPECT_THROW(d.keys(stop), Stop);
}

// A walk pauses where it gives no key for long too: 2^20 keys that are not
// UTF-8 (passed over) between "a" and "z".
TEST(Overlay, AWalkThatGivesNoKeyStillPauses) {
  using fsttest::multi;
  Bytes nodes;
  std::uint64_t below = 0, keys = 1;
  for (int depth = 0; depth < 20; ++depth, keys *= 2)
    below = multi(nodes, false, 0, {{0xfe, 0, below}, {0xff, keys, below}}, 1, 8, false);
  const std::uint64_t root = multi(nodes, false, 0, {{'a', 0, 0}, {'b', 1, below}, {'z', keys + 1, 0}}, 1, 8, false);
  const Bytes fst = fsttest::wrap(3, nodes, keys + 2, root);
  Bytes blob(4 + fst.size());
  std::copy_n("BIX4", 4, blob.begin());
  std::copy(fst.begin(), fst.end(), blob.begin() + 4);
  const Overlay o(std::make_shared<const StringIndex>(StringIndex::from_bytes(blob)));
  int pauses = 0;
  auto counter = [&] { ++pauses; };
  EXPECT_EQ(o.keys(quorvale::Pause(counter)), (std::vector<std::string>{"a", "z"}));
  EXPECT_GT(pauses, 0);
}

// A key the compact-hash base never held whose fingerprint matches a slot.
std::string stranger(const CompactHashIndex& base) {
  for (int i = 0;; ++i) {
    std::string k = "stranger" + std::to_string(i);
    if (base.id(k)) return k;
  }
}

std::vector<std::string> numbered(int n, const char* prefix) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

TEST(OverlayCompactBase, IdRules) {
  auto e = over<CompactHashIndex>({});
  EXPECT_EQ(e.add("x"), 0u);
  EXPECT_EQ(e.add("y"), 1u);
  EXPECT_EQ(e.add("x"), 0u);
  auto o = over<CompactHashIndex>({"b", "d"});
  const std::uint64_t b = *o.id("b");
  EXPECT_EQ(o.add("b"), b);
  EXPECT_EQ(o.id_space(), 2u);
  EXPECT_TRUE(o.retire_id(b));
  EXPECT_FALSE(o.contains("b"));
  EXPECT_EQ(o.add("b"), b);
  EXPECT_EQ(o.len(), 2u);
}

TEST(OverlayCompactBase, AFingerprintMatchActsAsTheSlotsKey) {
  const std::vector<std::string> keys = numbered(300, "key");
  auto o = over<CompactHashIndex>(keys);
  const std::string s = stranger(index<CompactHashIndex>(o));
  const std::uint64_t slot = *index<CompactHashIndex>(o).id(s);
  EXPECT_EQ(o.id(s), slot);
  EXPECT_EQ(o.add(s), slot);
  EXPECT_EQ(o.additions(), 0u);
  EXPECT_TRUE(o.remove(s));
  const std::string& owner = keys[std::find_if(keys.begin(), keys.end(),
                                               [&](const std::string& k) { return index<CompactHashIndex>(o).id(k) == slot; }) -
                                  keys.begin()];
  EXPECT_FALSE(o.contains(owner));  // one id, retired for both
  EXPECT_EQ(o.add(s), slot);        // revived
  EXPECT_TRUE(o.contains(owner));
}

TEST(OverlayCompactBase, BlobRoundTripsAtEveryWidth) {
  const std::vector<std::string> keys = numbered(200, "key");
  for (unsigned bits : {0u, 1u, 13u, 64u}) {
    auto o = over<CompactHashIndex>(keys, bits);
    for (const auto& k : numbered(70, "new")) o.add(k);
    o.remove("key5");
    o.remove("new3");
    const Bytes blob = o.to_bytes();
    ASSERT_EQ(blob.size(), o.serialized_len());
    for (const Bytes& b : {blob, as_v1(blob)}) {
      auto back = load<CompactHashIndex>(b, false);
      EXPECT_EQ(back.to_bytes(), blob) << bits;
      EXPECT_EQ(back.len(), o.len());
      EXPECT_EQ(index<CompactHashIndex>(back).fingerprint_bits(), index<CompactHashIndex>(o).fingerprint_bits());
      for (const auto& k : numbered(220, "key")) EXPECT_EQ(back.id(k), o.id(k)) << k;
      for (const auto& k : numbered(80, "new")) EXPECT_EQ(back.id(k), o.id(k)) << k;
    }
    EXPECT_EQ(error_of([&] { load<StringIndex>(blob, false); }),
              std::string("format error: ") + overlay::MSG_OTHER_BASE);
  }
}

TEST(OverlayCompactBase, AnAdditionTheLookupAcceptsStillLoads) {
  auto o = over<CompactHashIndex>(numbered(300, "key"));
  const std::string s = stranger(index<CompactHashIndex>(o));
  o.push_added(s);  // as if the base had not accepted it when it was added
  auto back = load<CompactHashIndex>(o.to_bytes(), false);
  EXPECT_EQ(back.additions(), 1u);
  EXPECT_EQ(back.to_bytes(), o.to_bytes());
}

// A valid blob over "b", "d" with additions "a", "c" and id 1 retired.
Bytes sample() {
  auto o = over<StringIndex>({"b", "d"});
  o.add("a");
  o.add("c");
  o.remove("d");
  return o.to_bytes();
}

TEST(Overlay, LoaderRefusals) {
  const Bytes good = sample();
  const std::uint64_t base_len = get64(good, 5);
  const std::size_t adds = 49 + static_cast<std::size_t>(base_len);
  auto load = [](const Bytes& b) { return error_of([&] { overlay_fixtures::load<StringIndex>(b, false); }); };
  auto fmt = [](const char* m) { return std::string("format error: ") + m; };

  struct Case {
    const char* name;
    std::function<void(Bytes&)> edit;
    bool reseal;
    const char* message;
  };
  const std::vector<Case> cases{
      {"magic", [](Bytes& b) { b[1] = 'X'; }, false, overlay::MSG_MAGIC},
      {"20 bytes", [](Bytes& b) { b.resize(20); }, false, overlay::MSG_MAGIC},
      {"3 bytes", [](Bytes& b) { b.resize(3); }, false, overlay::MSG_MAGIC},
      {"header byte", [](Bytes& b) { b[30] ^= 1; }, false, overlay::MSG_HEADER_CHECKSUM},
      {"header checksum", [](Bytes& b) { b[48] ^= 1; }, false, overlay::MSG_HEADER_CHECKSUM},
      {"payload byte", [](Bytes& b) { b[60] ^= 1; }, false, overlay::MSG_PAYLOAD_CHECKSUM},
      {"last byte", [](Bytes& b) { b.back() ^= 0x80; }, false, overlay::MSG_PAYLOAD_CHECKSUM},
      {"tag", [](Bytes& b) { b[4] = 2; }, true, overlay::MSG_OTHER_BASE},
      {"base length", [](Bytes& b) { put64(b, 5, b.size()); }, true, overlay::MSG_BASE_RANGE},
      {"base length wraps", [](Bytes& b) { put64(b, 5, NONE - 10); }, true, overlay::MSG_BASE_RANGE},
      {"additions length", [](Bytes& b) { put64(b, 21, 1000); }, true, overlay::MSG_REGION_RANGE},
      {"appended byte", [](Bytes& b) { b.push_back(0); }, true, overlay::MSG_WORD_LENGTH},
      {"2^61 words", [](Bytes& b) { put64(b, 29, std::uint64_t{1} << 61); }, true, overlay::MSG_WORD_COUNT},
      {"one addition fewer", [](Bytes& b) { put64(b, 13, 1); }, true, overlay::MSG_REGION_LONGER},
      {"one addition more", [](Bytes& b) { put64(b, 13, 3); }, true, overlay::MSG_ADDITIONS_TRUNCATED},
      {"record past region", [=](Bytes& b) { b[adds + 5] = 9; }, true, overlay::MSG_ADDITION_RANGE},
      {"not UTF-8", [=](Bytes& b) { b[adds + 4] = 0xff; }, true, overlay::MSG_NOT_UTF8},
      {"base key", [=](Bytes& b) { b[adds + 4] = 'b'; }, true, overlay::MSG_BASE_DUPLICATE},
      {"repeated addition", [=](Bytes& b) { b[adds + 9] = 'a'; }, true, overlay::MSG_DUPLICATE},
      {"bit at the id space", [](Bytes& b) { b[b.size() - 8] |= 1 << 4; }, true, overlay::MSG_OUTSIDE},
      {"bit far out", [](Bytes& b) { b[b.size() - 1] |= 0x80; }, true, overlay::MSG_OUTSIDE},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    c.edit(b);
    if (c.reseal && b.size() >= 49) reseal(b);
    EXPECT_EQ(load(b), fmt(c.message)) << c.name;
  }
  // The base region's own loader speaks for the base.
  Bytes b = good;
  b[49 + 6] ^= 0x10;
  reseal(b);
  EXPECT_EQ(load(b).rfind("fst error", 0), 0u) << load(b);
  EXPECT_EQ(load(good), "no error");
}

TEST(Overlay, OldFormatRefusals) {
  const Bytes good = as_v1(sample());
  const std::size_t adds = 21 + static_cast<std::size_t>(get64(good, 5));
  auto load = [](const Bytes& b) { return error_of([&] { overlay_fixtures::load<StringIndex>(b, false); }); };
  auto fmt = [](const char* m) { return std::string("format error: ") + m; };
  struct Case {
    const char* name;
    std::function<void(Bytes&)> edit;
    const char* message;
  };
  const std::vector<Case> cases{
      {"header cut", [](Bytes& b) { b.resize(20); }, overlay::MSG_MAGIC},
      {"additions cut", [=](Bytes& b) { b.resize(adds + 2); }, overlay::MSG_ADDITIONS_TRUNCATED},
      {"record cut", [=](Bytes& b) { b.resize(adds + 4); }, overlay::MSG_ADDITION_RANGE},
      {"not UTF-8", [=](Bytes& b) { b[adds + 4] = 0xc3; }, overlay::MSG_NOT_UTF8},
      {"count cut", [=](Bytes& b) { b.resize(adds + 10 + 4); }, overlay::MSG_WORDS_TRUNCATED},
      {"2^61 words", [=](Bytes& b) { put64(b, adds + 10, std::uint64_t{1} << 61); }, overlay::MSG_WORD_COUNT},
      {"word missing", [](Bytes& b) { b.pop_back(); }, overlay::MSG_WORD_LENGTH},
      {"tag", [](Bytes& b) { b[4] = 3; }, overlay::MSG_OTHER_BASE},
      {"base key", [=](Bytes& b) { b[adds + 4] = 'd'; }, overlay::MSG_BASE_DUPLICATE},
      {"bit at the id space", [](Bytes& b) { b[b.size() - 8] |= 1 << 4; }, overlay::MSG_OUTSIDE},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    c.edit(b);
    EXPECT_EQ(load(b), fmt(c.message)) << c.name;
  }
  EXPECT_EQ(load(good), "no error");
}

}  // namespace
