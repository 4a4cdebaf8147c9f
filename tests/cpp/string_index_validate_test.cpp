// The untrusted open: every blob the builder writes passes, and crafted
// blobs (checksums valid) fail with the message of their first fault.
#include <gtest/gtest.h>

#include "fst_test_util.hpp"
#include "string_index.hpp"

using namespace fsttest;
using quorvale::IndexError;
using quorvale::StringIndex;

namespace {

using Keys = std::vector<std::string>;

Bytes blob_of_fst(const Bytes& fst) {
  // Sized first: GCC 12 warns falsely (-Warray-bounds) on an insert after
  // the four magic bytes.
  Bytes b(4 + fst.size());
  std::copy_n("BIX4", 4, b.begin());
  std::copy(fst.begin(), fst.end(), b.begin() + 4);
  return b;
}

std::string untrusted(const Bytes& fst) {
  try {
    (void)StringIndex::from_untrusted_bytes(blob_of_fst(fst));
  } catch (const IndexError& e) {
    return e.what();
  }
  return "";
}

TEST(StringIndexValidate, EveryBuiltBlobPasses) {
  std::vector<Keys> sets{{}, {""}, {"a"}, {"", "a", "ab", "abc"}, random_keys(3000, 31, false),
                         random_keys(20000, 32, false)};
  Keys wide;
  for (unsigned a = 0xC2; a <= 0xDF; ++a)
    for (unsigned b = 0x80; b <= 0xBF; ++b) wide.push_back(std::string{char(a), char(b)});
  for (unsigned c = 0; c < 0x80; ++c) wide.push_back(std::string(1, char(c)));
  std::sort(wide.begin(), wide.end());
  sets.push_back(wide);
  for (const Keys& keys : sets) {
    const Bytes fst = build(keys, ranks(keys.size()));
    EXPECT_EQ(untrusted(fst), "") << keys.size();
    const StringIndex index = StringIndex::from_untrusted_bytes(blob_of_fst(fst));
    EXPECT_EQ(index.len(), keys.size());
    EXPECT_EQ(index.root(), StringIndex::from_bytes(blob_of_fst(fst)).root());
    for (std::size_t i = 0; i < keys.size(); i += 97) EXPECT_EQ(index.id(keys[i]), i);
  }
}

// `levels` multi-transition nodes, each with transitions 'a' and 'b' to the
// next one down, over `bottom`; outputs are the ranks. Returns the root.
std::uint64_t two_way_chain(Bytes& nodes, std::uint64_t bottom, std::uint64_t bottom_keys, int levels) {
  std::uint64_t addr = bottom, keys = bottom_keys;
  for (int i = 0; i < levels; ++i) {
    addr = multi(nodes, false, 0, {{'a', 0, addr}, {'b', keys, addr}}, 1, 8, false);
    keys *= 2;
  }
  return addr;
}

TEST(StringIndexValidate, CraftedBlobs) {
  struct Case {
    const char* what;
    Bytes fst;
    const char* message;
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, Bytes fst, const char* message) { cases.push_back({what, std::move(fst), message}); };

  add("lone lead byte C3", build({"\xc3"}, {0}), "format error: fst key ends inside a UTF-8 character");
  add("C0", build({"a\xc0\x80"}, {0}), "format error: fst key is not UTF-8");
  add("FF", build({"\xff"}, {0}), "format error: fst key is not UTF-8");
  add("surrogate ED A0 80", build({"\xed\xa0\x80"}, {0}), "format error: fst key is not UTF-8");
  add("overlong E0 80 80", build({"\xe0\x80\x80"}, {0}), "format error: fst key is not UTF-8");
  add("above U+10FFFF", build({"\xf4\x90\x80\x80"}, {0}), "format error: fst key is not UTF-8");
  add("values shifted by one", build({"a", "b", "c"}, {1, 2, 3}), "format error: fst value is not the key's rank");
  {
    Bytes fst = build({"a", "b", "c"}, ranks(3));
    for (int i = 0; i < 8; ++i) fst[fst.size() - 20 + i] = i == 0 ? 4 : 0;  // key count 4
    fst.resize(fst.size() - 4);
    put(fst, fst::mask_crc(fst::crc32c(fst)), 4);
    add("key count one too high", fst, "format error: fst holds a different number of keys than its header says");
  }
  {
    Bytes nodes;
    const std::uint64_t root = multi(nodes, true, 1, {{'a', 1, 0}}, 1, 1, false);
    add("final output not 0", wrap(3, nodes, 2, root), "format error: fst value is not the key's rank");
  }
  {
    Bytes nodes;
    const std::uint64_t root = multi(nodes, false, 0, {{'a', 0, 0}, {'b', 1, 0}}, 1, 1, false);
    add("version 2", wrap(2, nodes, 2, root), "fst error: FST error");
    Bytes bad_crc = wrap(3, nodes, 2, root);
    bad_crc.back() ^= 1;
    add("checksum mismatch", bad_crc, "fst error: FST error");
  }
  {
    Bytes nodes;
    const std::uint64_t root = multi(nodes, false, 0, {{'a', 0, 0}, {'b', 1, 0}}, 9, 1, false);
    add("delta width 9", wrap(3, nodes, 2, root), "format error: fst node does not fit the blob");
  }
  {
    Bytes nodes;
    const std::uint64_t root = one(nodes, {'a', 0, 0}, 0, 0);
    add("one-transition delta width 0", wrap(3, nodes, 1, root), "format error: fst node does not fit the blob");
  }
  {
    // 33 transitions (so a 256-byte index) claimed by the count alone.
    const Bytes nodes{0x11, 33};
    add("node runs below the start", wrap(3, nodes, 1, 17), "format error: fst node does not fit the blob");
  }
  {
    Bytes nodes;
    nodes.push_back(0);
    const std::uint64_t root = one(nodes, {'a', 0, 18}, 1, 0);  // delta to address 18 from start 17
    add("target below address 0", wrap(3, nodes, 1, root), "format error: fst node does not fit the blob");
  }
  {
    Bytes nodes;
    const std::uint64_t root = multi(nodes, false, 0, {{'b', 0, 0}, {'a', 1, 0}}, 1, 1, false);
    add("descending inputs", wrap(3, nodes, 2, root), "format error: fst transitions are not in increasing byte order");
  }
  {
    Bytes nodes;
    const std::uint64_t root = two_way_chain(nodes, 0, 1, 64);
    add("key count overflow", wrap(3, nodes, 0, root), "format error: fst key count overflows");
  }
  {
    // Paths that spell no key: 2^40 of them under 40 nodes.
    Bytes nodes;
    const std::uint64_t leaf = multi(nodes, false, 0, {}, 0, 0, false);
    const std::uint64_t root = two_way_chain(nodes, leaf, 0, 40);
    add("dead subtree", wrap(3, nodes, 0, root), "format error: fst node leads to no key");
  }
  {
    std::vector<T> ts;
    for (unsigned i = 0; i < 40; ++i) ts.push_back({static_cast<unsigned char>('0' + i), i, 0});
    Bytes nodes;
    const std::uint64_t root = multi(nodes, false, 0, ts, 1, 1, true);
    add("transition index intact", wrap(3, nodes, 40, root), "");
    const std::size_t index_at = root - 1 - 256 - 16;  // offset of index byte 0 in `nodes`
    Bytes wrong = nodes;
    wrong[index_at + '5'] = 7;
    add("index names another transition", wrap(3, wrong, 40, root),
        "format error: fst transition index does not match the inputs");
    Bytes hidden = nodes;
    hidden[index_at + '5'] = 255;
    add("index hides an input", wrap(3, hidden, 40, root),
        "format error: fst transition index does not match the inputs");
    Bytes extra = nodes;
    extra[index_at + '!'] = 39;
    add("index lends a transition to another byte", wrap(3, extra, 40, root),
        "format error: fst transition index does not match the inputs");
  }
  // Two faults: the first in visiting order wins (pass 1 from the root
  // down, pass 2 from low addresses up, pass 1 before pass 2).
  {
    Bytes nodes;
    const std::uint64_t child = multi(nodes, false, 0, {{'a', 0, 0}, {'b', 1, 0}}, 9, 1, false);
    const std::uint64_t root = multi(nodes, false, 0, {{'a', 0, child}, {0xFF, 2, 0}}, 1, 1, false);
    add("not UTF-8 above a node that does not fit", wrap(3, nodes, 3, root), "format error: fst key is not UTF-8");
  }
  {
    Bytes nodes;
    const std::uint64_t child = multi(nodes, false, 0, {{'b', 0, 0}, {'a', 1, 0}}, 1, 1, false);
    const std::uint64_t root = multi(nodes, false, 0, {{'x', 5, child}}, 1, 1, false);
    add("descending inputs below a wrong output", wrap(3, nodes, 2, root),
        "format error: fst transitions are not in increasing byte order");
  }
  {
    Bytes nodes;
    const std::uint64_t child = multi(nodes, false, 0, {{'a', 0, 0}, {0xC0, 1, 0}}, 1, 1, false);
    const std::uint64_t root = multi(nodes, false, 0, {{'x', 5, child}}, 1, 1, false);
    add("a wrong output above a byte that is not UTF-8", wrap(3, nodes, 2, root),
        "format error: fst key is not UTF-8");
  }

  for (const Case& c : cases) EXPECT_EQ(untrusted(c.fst), c.message) << c.what;
}

// Bytes that pass the trusted open but not the graph check: the trusted
// walks stay inside and answer, the untrusted open refuses.
TEST(StringIndexValidate, TrustedOpenOfCraftedBytesStaysInside) {
  Bytes nodes;
  const std::uint64_t leaf = multi(nodes, false, 0, {}, 0, 0, false);
  const std::uint64_t root = two_way_chain(nodes, leaf, 0, 40);
  const Bytes blob = blob_of_fst(wrap(3, nodes, 1, root));
  const StringIndex index = StringIndex::from_shared(quorvale::blob::SharedBytes::from_owned(blob), false);
  EXPECT_FALSE(index.id("ab"));
  EXPECT_FALSE(index.key(0));
  EXPECT_LE(index.rank_of_first_ge("b"), index.len());
  EXPECT_TRUE(index.common_prefix(std::string(40, 'a')).empty());
  EXPECT_TRUE(index.occurrences("abab").empty());
  // A verifying open checks the first key along the lowest path: no stream
  // hunts through the 2^40 paths.
  try {
    (void)StringIndex::from_bytes(blob);
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_STREQ(e.what(), "format error: string-index: FST values are not the sorted ranks");
  }
}

// A final node without transitions may carry any delta width: no delta is
// read. The validator and the FST engine's decoder take it so, and so must
// the exact lookup, or id() misses keys the stream lists.
TEST(StringIndexValidate, ZeroTransitionsAnyDeltaWidth) {
  Bytes nodes;
  const std::uint64_t leaf = multi(nodes, true, 0, {}, 12, 1, false);
  const std::uint64_t root = multi(nodes, false, 0, {{'a', 0, leaf}, {'b', 1, leaf}}, 1, 1, false);
  const StringIndex index = StringIndex::from_untrusted_bytes(blob_of_fst(wrap(3, nodes, 2, root)));
  EXPECT_EQ(index.id("a"), 0u);
  EXPECT_EQ(index.id("b"), 1u);
  EXPECT_EQ(index.key(1), "b");
}

// A one-transition node whose pack byte claims no delta bytes is refused by
// every reader alike, all of them on the one node decoder: the untrusted
// open, and behind a trusted open without verification the stream and the
// exact lookup (which must not follow it to address 0 and find a key the
// stream calls corrupt).
TEST(StringIndexValidate, OneTransitionWithoutDeltaRefusedByEveryReader) {
  Bytes nodes;
  const std::uint64_t root = one(nodes, {'a', 0, 0}, 0, 0);
  const Bytes fst = wrap(3, nodes, 1, root);
  EXPECT_EQ(untrusted(fst), "format error: fst node does not fit the blob");
  const StringIndex index = StringIndex::from_shared(quorvale::blob::SharedBytes::from_owned(blob_of_fst(fst)), false);
  EXPECT_FALSE(index.id("a"));
  EXPECT_EQ(index.rank_of_first_ge("a"), 1u);
  auto stream = index.stream();
  EXPECT_THROW(stream.next(), IndexError);
}

// A footer count of 0 over keys. The graph check counts the keys it reaches,
// so keys under the root refuse the blob; a root without transitions over
// nodes it cannot reach is a sound empty index, and every open and query
// treats it as one (the dead nodes spell no key). The verifying open checks
// no more than the two ends of the id space, which a count of 0 does not
// have: over keys it opens, and its answers go by the nodes.
TEST(StringIndexValidate, KeyCountZero) {
  auto with_count = [](Bytes fst, std::uint64_t count) {
    fst.resize(fst.size() - 4);
    for (int i = 0; i < 8; ++i) fst[fst.size() - 16 + i] = static_cast<unsigned char>(count >> (8 * i));
    put(fst, fst::mask_crc(fst::crc32c(fst)), 4);
    return fst;
  };
  const char* const mismatch = "format error: fst holds a different number of keys than its header says";
  Bytes to_empty_final;
  const std::uint64_t root = multi(to_empty_final, false, 0, {{'a', 0, 0}}, 1, 1, false);
  const std::pair<const char*, Bytes> over_keys[] = {
      {"root address 0", wrap(3, {}, 0, 0)},
      {"{\"\"}", with_count(build({""}, {0}), 0)},
      {"{a}", with_count(build({"a"}, {0}), 0)},
      {"{a, ab}", with_count(build({"a", "ab"}, ranks(2)), 0)},
      {"a transition to address 0", wrap(3, to_empty_final, 0, root)},
  };
  for (const auto& [what, fst] : over_keys) {
    EXPECT_EQ(untrusted(fst), mismatch) << what;
    EXPECT_EQ(StringIndex::from_bytes(blob_of_fst(fst)).len(), 0u) << what;
  }

  // The keys "ax" to "lx" under a root whose transition count was cut to 0.
  Keys keys;
  for (char c = 'a'; c <= 'l'; ++c) keys.push_back(std::string{c, 'x'});
  const Bytes full = build(keys, ranks(keys.size()));
  Bytes nodes(full.begin() + 16, full.end() - 20);
  const std::uint64_t cut = multi(nodes, false, 0, {}, 15, 1, false);
  const Bytes fst = wrap(3, nodes, 0, cut);
  ASSERT_EQ(untrusted(fst), "");
  for (const StringIndex& index :
       {StringIndex::from_untrusted_bytes(blob_of_fst(fst)), StringIndex::from_bytes(blob_of_fst(fst))}) {
    EXPECT_EQ(index.len(), 0u);
    EXPECT_FALSE(index.stream().next());
    for (const std::string& k : keys) EXPECT_FALSE(index.id(k)) << k;
    EXPECT_FALSE(index.key(0));
    EXPECT_EQ(index.rank_of_first_ge(""), 0u);
  }
  EXPECT_EQ(untrusted(build({}, {})), "");
}

}  // namespace
