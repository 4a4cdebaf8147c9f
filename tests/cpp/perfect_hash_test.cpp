#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "colliding_keys.hpp"
#include "perfect_hash.hpp"
#include "scratch_files.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using perfect_hash::MISSING;

namespace {

using Bytes = std::vector<unsigned char>;

std::vector<std::string> random_keys(std::size_t n, std::uint64_t seed, std::size_t max_len = 24) {
  std::mt19937_64 rng(seed);
  std::set<std::string> seen;
  std::vector<std::string> out;
  while (out.size() < n) {
    std::string k(rng() % (max_len + 1), '\0');
    for (auto& c : k) c = static_cast<char>('a' + rng() % 26);
    if (rng() % 5 == 0) k = "\xc3\xa9" + k;  // "é"
    if (seen.insert(k).second) out.push_back(k);
  }
  return out;
}

std::vector<std::string_view> views(const std::vector<std::string>& keys) { return {keys.begin(), keys.end()}; }

PerfectHashIndex make(const std::vector<std::string>& keys, bool tags) { return PerfectHashIndex::build_with(views(keys), tags); }

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const IndexError& e) {
    return e.what();
  }
  return "no error";
}

// Every lookup form agrees on every member and stranger; ids are a
// permutation of 0..n-1 and lead back to their keys.
void expect_answers(const PerfectHashIndex& idx, const std::vector<std::string>& members,
                    const std::vector<std::string>& strangers) {
  std::set<std::string> distinct(members.begin(), members.end());
  ASSERT_EQ(idx.len(), distinct.size());
  std::vector<std::uint8_t> seen(idx.len(), 0);
  for (const std::string& k : distinct) {
    auto id = idx.id_with_side(k);
    ASSERT_TRUE(id.has_value()) << k;
    ASSERT_LT(*id, idx.len());
    EXPECT_FALSE(seen[*id]++) << k;
    EXPECT_EQ(idx.key(*id), std::optional<std::string_view>(k));
    EXPECT_TRUE(idx.contains(k));
    EXPECT_EQ(idx.base_id(k), std::optional<std::uint64_t>(*id));
    EXPECT_EQ(idx.id_unchecked(k), *id);
  }
  for (const std::string& k : strangers) {
    if (distinct.count(k)) continue;
    EXPECT_FALSE(idx.id_with_side(k).has_value()) << k;
    EXPECT_FALSE(idx.contains(k));
    EXPECT_FALSE(idx.base_id(k).has_value());
  }
  std::vector<std::string_view> batch;
  for (auto& k : members) batch.push_back(k);
  for (auto& k : strangers) batch.push_back(k);
  auto got = idx.ids_of(batch);
  ASSERT_EQ(got.size(), batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) EXPECT_EQ(got[i], idx.id_with_side(batch[i])) << batch[i];
  EXPECT_FALSE(idx.key(static_cast<std::uint32_t>(idx.len())).has_value());
  EXPECT_FALSE(idx.key(UINT32_MAX).has_value());
}

Bytes file_bytes(const std::string& path) {
  std::string s = read_file(path);
  return Bytes(s.begin(), s.end());
}

}  // namespace

// ---- in-memory build and lookups ----

TEST(PerfectHashBuild, KeySetsAnswerEveryLookup) {
  struct Case {
    const char* name;
    std::vector<std::string> keys;
  };
  std::vector<Case> cases = {
      {"empty", {}},
      {"single", {"only"}},
      {"empty string", {"", "a", "ab"}},
      {"duplicates", {"b", "a", "b", "c", "a", "a"}},
      {"random", random_keys(5000, 1)},
      {"long keys", random_keys(300, 2, 300)},
  };
  std::vector<std::string> strangers = {"", "zz", "onl", "onlyy", "abc", "\xc3\xa9t\xc3\xa9"};
  for (auto& k : random_keys(200, 99)) strangers.push_back(k + "!");
  for (const Case& c : cases) {
    for (bool tags : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (tags ? " with tags" : ""));
      PerfectHashIndex idx = make(c.keys, tags);
      EXPECT_EQ(idx.has_fingerprints(), tags);
      EXPECT_TRUE(idx.side().empty());
      EXPECT_EQ(idx.mphf() == nullptr, c.keys.empty());
      expect_answers(idx, c.keys, strangers);
      if (tags) {
        for (std::uint32_t id = 0; id < idx.len(); ++id)
          EXPECT_EQ(idx.arena().tag_byte(id), perfect_hash::tag_of(hash::hash_pair(*idx.key(id))));
      }
    }
  }
}

TEST(PerfectHashBuild, EmptyIndex) {
  PerfectHashIndex idx = make({}, true);
  EXPECT_TRUE(idx.is_empty());
  EXPECT_EQ(idx.len(), 0u);
  EXPECT_EQ(idx.mphf(), nullptr);
  EXPECT_TRUE(idx.has_fingerprints());  // the empty arena records the option
  EXPECT_FALSE(idx.id_with_side("").has_value());
  EXPECT_EQ(idx.id_unchecked("x"), 0u);
  EXPECT_FALSE(idx.key(0).has_value());
  auto got = idx.ids_of(std::vector<std::string_view>{"a", "", "b"});
  EXPECT_EQ(got, (std::vector<std::optional<std::uint32_t>>(3)));
  EXPECT_FALSE(make({}, false).has_fingerprints());
}

TEST(PerfectHashBuild, TagsDoNotChangeAnswers) {
  auto keys = random_keys(2000, 3);
  PerfectHashIndex a = make(keys, false), b = make(keys, true);
  for (auto& k : keys) EXPECT_EQ(a.id_with_side(k), b.id_with_side(k));
}

TEST(PerfectHashBuild, CollidingKeysTakeTheTailIdsInByteOrder) {
  auto run = colliding::keys(3, 0);
  auto pair = colliding::keys(2, 1);
  // The construction really collides: both words are equal.
  EXPECT_EQ(hash::hash_pair(run[0]), hash::hash_pair(run[1]));
  EXPECT_EQ(hash::hash_pair(run[0]), hash::hash_pair(run[2]));
  EXPECT_EQ(hash::hash_pair(pair[0]), hash::hash_pair(pair[1]));
  EXPECT_NE(hash::hash_pair(run[0]).first, hash::hash_pair(pair[0]).first);
  auto others = random_keys(500, 4);
  std::vector<std::string> keys = others;
  // Listed out of byte order on purpose.
  keys.push_back(run[2]);
  keys.push_back(pair[1]);
  keys.push_back(run[0]);
  keys.push_back(run[1]);
  keys.push_back(pair[0]);
  for (bool tags : {false, true}) {
    SCOPED_TRACE(tags);
    PerfectHashIndex idx = make(keys, tags);
    const std::uint32_t n = static_cast<std::uint32_t>(idx.len());
    ASSERT_EQ(n, keys.size());
    ASSERT_EQ(idx.side().size(), 3u);
    // Representatives (first in byte order) stay in the hash.
    EXPECT_LT(*idx.id_with_side(run[0]), n - 3);
    EXPECT_LT(*idx.id_with_side(pair[0]), n - 3);
    // The side keys in byte order: run[1] < run[2] and pair[1], compared bytewise.
    std::vector<std::string> side_keys = {run[1], run[2], pair[1]};
    std::sort(side_keys.begin(), side_keys.end());
    for (std::uint32_t i = 0; i < 3; ++i) EXPECT_EQ(idx.id_with_side(side_keys[i]), n - 3 + i) << i;
    for (std::size_t i = 1; i < idx.side().size(); ++i) EXPECT_TRUE(idx.side()[i - 1] < idx.side()[i]);
    for (const auto& e : idx.side()) EXPECT_EQ(e.hash, hash::hash_pair(*idx.key(e.id)).first);
    // A stranger of the same hash is compared with the whole run and missed.
    auto more = colliding::keys(5, 0);
    expect_answers(idx, keys, {more[3], more[4], run[0].substr(1), pair[0] + "x"});
    EXPECT_FALSE(idx.contains(more[4]));
  }
}

TEST(PerfectHashBuild, InputOrderAndRepeatsDoNotChangeTheIndex) {
  std::vector<std::string> keys = random_keys(3000, 12);
  for (unsigned f = 10; f < 14; ++f) {
    auto c = colliding::keys(3, f);
    keys.insert(keys.end(), c.begin(), c.end());
  }
  std::vector<std::string> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  std::vector<std::string> messy = keys;
  messy.insert(messy.end(), keys.begin(), keys.begin() + 500);
  auto c = colliding::keys(3, 11);
  messy.insert(messy.end(), c.begin(), c.end());  // a whole colliding run again
  std::shuffle(messy.begin(), messy.end(), std::mt19937_64(5));
  for (bool tags : {false, true}) {
    Bytes want = make(sorted, tags).to_bytes();
    EXPECT_TRUE(make(messy, tags).to_bytes() == want);
    EXPECT_EQ(make(messy, tags).side().size(), 8u);
  }
}

TEST(PerfectHashBuild, KeyOfFourGibibytesIsRefused) {
  const std::size_t len = std::size_t{1} << 32;
  void* p = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) GTEST_SKIP() << "no address space for a 4 GiB key";
  std::string_view huge(static_cast<const char*>(p), len);
  std::vector<std::string_view> keys = {"a", huge, "b"};
  EXPECT_EQ(error_of([&] { PerfectHashIndex::build_with(keys, false); }),
            "format error: perfect-hash: a key is longer than u32::MAX bytes");
  ::munmap(p, len);
}

// ---- the blob ----

TEST(PerfectHashBlob, HeaderBytesByHand) {
  // Fields by hand; the checksum is FNV-1a 64 over bytes 0..31, finalised,
  // low 32 bits, computed here from its definition.
  auto h = perfect_hash::header_bytes(5, 0x1122, 2, 0x0102030405060708ULL);
  const unsigned char want[32] = {'B', 'M', 'P', '8', 5, 0, 0, 0, 0, 0, 0, 0, 0x22, 0x11, 0, 0,
                                  0,   0,   0,   0,   2, 0, 0, 0, 8, 7, 6, 5, 4,    3,    2, 1};
  EXPECT_TRUE(std::equal(want, want + 32, h.begin()));
  std::uint64_t f = 0xcbf29ce484222325ULL;
  for (int i = 0; i < 32; ++i) f = (f ^ want[i]) * 0x100000001b3ULL;
  EXPECT_EQ(load_le32(h.data() + 32), static_cast<std::uint32_t>(fin(f)));
  std::uint64_t g = 0xcbf29ce484222325ULL;
  for (int i = 0; i < 4; ++i) g = (g ^ want[i]) * 0x100000001b3ULL;
  EXPECT_EQ(g, 0xcf1129a71f7968e0ULL);
}

TEST(PerfectHashBlob, RoundTripsAgree) {
  TempDir dir;
  auto coll = colliding::keys(3, 2);
  std::vector<std::vector<std::string>> sets = {{}, {""}, random_keys(3000, 5)};
  sets.push_back(random_keys(100, 6));
  sets.back().insert(sets.back().end(), coll.begin(), coll.end());
  for (const auto& keys : sets) {
    for (bool tags : {false, true}) {
      PerfectHashIndex idx = make(keys, tags);
      Bytes blob = idx.to_bytes();
      EXPECT_EQ(blob.size(), idx.serialized_len());
      std::string path = dir / "i.bmp";
      idx.save(path);
      EXPECT_TRUE(file_bytes(path) == blob);
      std::vector<PerfectHashIndex> loaded;
      loaded.push_back(PerfectHashIndex::from_bytes(blob));
      loaded.push_back(PerfectHashIndex::load(path));
      loaded.push_back(PerfectHashIndex::load_mmap(path));
      loaded.push_back(PerfectHashIndex::load_mmap_verified(path));
      for (auto& l : loaded) {
        EXPECT_TRUE(l.to_bytes() == blob);
        EXPECT_EQ(l.has_fingerprints(), tags);
        expect_answers(l, keys, {"zz", "nope"});
      }
      EXPECT_TRUE(loaded[2].arena().bytes().is_mapped());
      EXPECT_EQ(dir.names(), std::set<std::string>{"i.bmp"});
    }
  }
  // The empty index: header, then the empty arena.
  PerfectHashIndex e = make({}, false);
  Bytes b = e.to_bytes();
  Bytes arena(e.arena().bytes().data(), e.arena().bytes().data() + e.arena().bytes().size());
  ASSERT_EQ(b.size(), 36 + arena.size());
  EXPECT_EQ(load_le64(b.data() + 4), 0u);
  EXPECT_EQ(load_le64(b.data() + 12), 0u);
  EXPECT_EQ(load_le32(b.data() + 20), 0u);
  EXPECT_TRUE(std::equal(arena.begin(), arena.end(), b.begin() + 36));
}

namespace {

// A blob with its header rewritten (checksum recomputed).
Bytes with_header(Bytes b, std::uint64_t n, std::uint64_t j, std::uint32_t h) {
  auto head = perfect_hash::header_bytes(n, j, h, load_le64(b.data() + 24));
  std::copy(head.begin(), head.end(), b.begin());
  return b;
}

Bytes reseal(Bytes b) {  // payload and header checksums made right again
  perfect_hash::FRAME.seal_blob(b);
  return b;
}

std::string load_error(const Bytes& b, bool verify = true) {
  return error_of([&] { PerfectHashIndex::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)), verify); });
}

}  // namespace

TEST(PerfectHashBlob, RefusalsInCheckOrder) {
  auto coll = colliding::keys(3, 3);
  std::vector<std::string> keys = random_keys(40, 7);
  keys.insert(keys.end(), coll.begin(), coll.end());
  PerfectHashIndex idx = make(keys, true);
  const Bytes good = idx.to_bytes();
  const std::uint64_t n = idx.len(), J = load_le64(good.data() + 12);
  ASSERT_EQ(load_le32(good.data() + 20), 2u);
  const std::string pre = "format error: ";
  const std::string old =
      pre + "perfect-hash: blob written by quorvale < 4.0, keyed on a hash this version no longer computes; rebuild the "
            "index from its keys";
  auto bytes = [](const char* s) { return Bytes(s, s + std::strlen(s)); };
  Bytes bmp8_35(good.begin(), good.begin() + 35);
  Bytes flipped_key = good;
  flipped_key[good.size() - 24 - 3] ^= 1;  // a key byte near the end of the arena
  Bytes flipped_header = good;
  flipped_header[24] ^= 1;
  Bytes side_swapped = good;  // two side entries swapped: loads the same
  std::swap_ranges(side_swapped.end() - 24, side_swapped.end() - 12, side_swapped.end() - 12);
  side_swapped = reseal(side_swapped);
  Bytes side_repeat = good;
  store_le32(side_repeat.data() + side_repeat.size() - 4, load_le32(side_repeat.data() + side_repeat.size() - 16));
  Bytes side_outside = good;
  store_le32(side_outside.data() + side_outside.size() - 4, static_cast<std::uint32_t>(n));

  struct Case {
    const char* name;
    Bytes blob;
    std::string want;
  };
  std::vector<Case> cases = {
      {"3 bytes", bytes("BMP"), pre + "bad magic or truncated header"},
      {"BMP1", bytes("BMP1"), pre + "bad magic or truncated header"},
      {"BMP2 alone", bytes("BMP2"), old},
      {"BMP7 with a header", [&] { Bytes b = good; b[3] = '7'; return b; }(), old},
      {"BMP9", [&] { Bytes b = good; b[3] = '9'; return b; }(), pre + "bad magic or truncated header"},
      {"35 bytes", bmp8_35, pre + "bad magic or truncated header"},
      {"header byte", flipped_header, pre + "header checksum mismatch"},
      {"key byte", flipped_key, pre + "payload checksum mismatch"},
      {"n = 2^32", reseal(with_header(good, std::uint64_t{1} << 32, J, 2)), pre + "perfect-hash: header claims more than u32::MAX keys"},
      {"H = n = 5", reseal(with_header(good, 5, J, 5)), pre + "side table length out of range"},
      {"H > n", reseal(with_header(good, 1, J, 2)), pre + "side table length out of range"},
      {"12H > L", reseal(with_header(good, 0xffffffffULL, J, 0xfffffff0u)), pre + "side table length out of range"},
      {"J too long", reseal(with_header(good, n, good.size(), 2)), pre + "mph length out of range"},
      {"J overflows", reseal(with_header(good, n, ~std::uint64_t{0} - 10, 2)), pre + "mph length out of range"},
      {"side id repeated", reseal(side_repeat), pre + "perfect-hash: side-table ids are not the tail id range"},
      {"side id outside", reseal(side_outside), pre + "perfect-hash: side-table ids are not the tail id range"},
      {"n one less", reseal(with_header(good, n - 1, J, 2)), pre + "perfect-hash: side-table ids are not the tail id range"},
      {"J one less", reseal(with_header(good, n, J - 1, 2)), ""},  // the arena or the image refuses it
      {"H one less", reseal(with_header(good, n, J, 1)), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string got = load_error(c.blob);
    if (c.want.empty()) {
      EXPECT_EQ(got.rfind(pre, 0), 0u) << got;
    } else {
      EXPECT_EQ(got, c.want);
    }
  }
  EXPECT_EQ(load_error(flipped_key, false), "no error");  // the mapped load does not verify the payload
  EXPECT_EQ(load_error(flipped_header, false), pre + "header checksum mismatch");
  PerfectHashIndex swapped = PerfectHashIndex::from_bytes(side_swapped);
  EXPECT_EQ(swapped.to_bytes(), good);
  // An index of n keys whose arena holds another count, and an image over another count.
  PerfectHashIndex small = make({"a", "b", "c"}, false);
  Bytes s = small.to_bytes();
  EXPECT_EQ(load_error(reseal(with_header(s, 2, load_le64(s.data() + 12), 0))), pre + "mph / arena length mismatch");
  PerfectHashIndex four = make({"a", "b", "c", "d"}, false);
  Bytes f = four.to_bytes();
  const std::uint64_t fj = load_le64(f.data() + 12);
  // Splice the image of three keys in front of the arena of four.
  Bytes spliced(f.begin(), f.begin() + 36);
  const std::uint64_t sj = load_le64(s.data() + 12);
  spliced.insert(spliced.end(), s.begin() + 36, s.begin() + 36 + sj);
  spliced.insert(spliced.end(), f.begin() + 36 + fj, f.end());
  EXPECT_EQ(load_error(reseal(with_header(spliced, 4, sj, 0))), pre + "mph / header length mismatch");
  // The empty index's image region is not read whatever it holds.
  Bytes e = make({}, false).to_bytes();
  Bytes e2(e.begin(), e.begin() + 36);
  e2.insert(e2.end(), {1, 2, 3});
  e2.insert(e2.end(), e.begin() + 36, e.end());
  EXPECT_EQ(load_error(reseal(with_header(e2, 0, 3, 0))), "no error");
}

// Nothing a load without payload verification accepts can make a lookup
// read out of bounds (run under the sanitizers).
TEST(PerfectHashBlob, ByteFlipsNeverCrashLookups) {
  auto coll = colliding::keys(3, 4);
  std::vector<std::string> keys = random_keys(30, 8);
  keys.insert(keys.end(), coll.begin(), coll.end());
  std::vector<std::string> probes = keys;
  probes.push_back("");
  probes.push_back("zzz");
  std::vector<std::string_view> batch(probes.begin(), probes.end());
  for (bool tags : {false, true}) {
    const Bytes good = make(keys, tags).to_bytes();
    std::size_t accepted = 0;
    for (std::size_t i = 0; i < good.size(); ++i) {
      for (unsigned char x : {0x01, 0x80, 0xff}) {
        Bytes b = good;
        b[i] ^= x;
        if (i >= 4 && i < 32) b = reseal(b);  // let header fields through the checksum
        try {
          PerfectHashIndex idx =
              PerfectHashIndex::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(b)), false);
          ++accepted;
          for (auto& k : probes) {
            (void)idx.id_with_side(k);
            (void)idx.contains(k);
            (void)idx.id_unchecked(k);
          }
          (void)idx.ids_of(batch);
          for (std::uint32_t id = 0; id <= idx.len() + 1; ++id) (void)idx.key(id);
          (void)idx.to_bytes();
        } catch (const IndexError&) {
        }
      }
    }
    EXPECT_GT(accepted, 0u);
  }
}

// ---- streamed build ----

namespace {

class VecSource : public KeySource {
 public:
  explicit VecSource(std::vector<std::string> keys, std::function<void(std::size_t)> on_next = {})
      : keys_(std::move(keys)), on_next_(std::move(on_next)) {}
  bool next(std::string_view& key) override {
    if (on_next_) on_next_(i_);
    if (i_ == keys_.size()) return false;
    key = keys_[i_++];
    return true;
  }

 private:
  std::vector<std::string> keys_;
  std::function<void(std::size_t)> on_next_;
  std::size_t i_ = 0;
};

// A factory over one key list per pass (the last one repeats).
struct Passes {
  std::vector<std::vector<std::string>> lists;
  int calls = 0;
  std::function<void(int, std::size_t)> on_next = {};
  SourceFactory factory() {
    return [this]() -> std::unique_ptr<KeySource> {
      int pass = calls++;
      const auto& keys = lists[std::min<std::size_t>(pass, lists.size() - 1)];
      std::function<void(std::size_t)> hook;
      if (on_next) hook = [this, pass](std::size_t i) { on_next(pass, i); };
      return std::make_unique<VecSource>(keys, hook);
    };
  }
};

// The production window, and a run with another.
const std::uint64_t WINDOW = hash_engine::StreamLimits{}.window;
hash_engine::StreamRun windowed(std::uint64_t window, StopProbe probe = {}) {
  hash_engine::StreamRun run;
  run.stop = std::move(probe);
  run.limits.window = window;
  return run;
}

std::uint64_t stream(Passes& p, const std::string& path, bool tags, std::uint64_t window, StopProbe probe = {}) {
  return PerfectHashIndex::build_to_file(p.factory(), path, tags, windowed(window, std::move(probe)));
}

std::uint64_t total_bytes(const std::vector<std::string>& keys) {
  std::uint64_t t = 0;
  for (auto& k : keys) t += k.size();
  return t;
}

}  // namespace

TEST(PerfectHashStream, SameBytesAsTheInMemoryBuild) {
  TempDir dir;
  std::string path = dir / "out.bmp";
  std::vector<std::string> keys = random_keys(3000, 9, 40);
  keys.push_back(std::string(70000, 'L'));  // one record past the spill buffer on its own
  auto coll = colliding::keys(4, 5);
  std::vector<std::string> with_coll = keys;
  with_coll.insert(with_coll.end(), coll.begin(), coll.end());
  std::vector<std::string> sorted_coll = with_coll;
  std::sort(sorted_coll.begin(), sorted_coll.end());
  const std::uint64_t T = total_bytes(keys);
  for (bool tags : {false, true}) {
    for (const auto* set : {&keys, &sorted_coll}) {
      Bytes want = make(*set, tags).to_bytes();
      const std::uint64_t t = total_bytes(*set);
      for (std::uint64_t window : {WINDOW, t, t - 1, std::uint64_t{4096}, std::uint64_t{999}}) {
        SCOPED_TRACE(std::to_string(window) + (tags ? " tags" : ""));
        Passes p{{*set}};
        bool spill_seen = false;
        p.on_next = [&](int pass, std::size_t i) {
          if (pass == 1 && i == 0)
            for (auto& name : dir.names()) spill_seen |= name.find(".spill") != std::string::npos;
        };
        EXPECT_EQ(stream(p, path, tags, window), set->size());
        EXPECT_EQ(p.calls, 2);
        EXPECT_EQ(spill_seen, t > window);
        EXPECT_TRUE(file_bytes(path) == want);
        EXPECT_EQ(dir.names(), std::set<std::string>{"out.bmp"});
      }
    }
  }
  (void)T;
  // In source order the side keys' order is the source's; answers agree.
  std::vector<std::string> shuffled = with_coll;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(3));
  Passes p{{shuffled}};
  EXPECT_EQ(stream(p, path, true, 1000), shuffled.size());
  PerfectHashIndex loaded = PerfectHashIndex::load(path);
  expect_answers(loaded, shuffled, {"nope"});
  EXPECT_EQ(loaded.side().size(), 3u);
}

// Past one run of the in-memory build's parallel key copy, with side keys:
// the in-memory build, over borrowed views or owned strings, writes what
// the streamed build (which places keys by their lengths alone) writes.
TEST(PerfectHashStream, LargeSetsSameBytesAsTheInMemoryBuild) {
  TempDir dir;
  const std::string path = dir / "out.bmp";
  std::vector<std::string> keys = random_keys(150000, 31, 30);
  if (std::find(keys.begin(), keys.end(), "") == keys.end()) keys.push_back("");
  for (auto& k : colliding::keys(3, 4)) keys.push_back(k);
  std::sort(keys.begin(), keys.end());
  for (bool tags : {false, true}) {
    SCOPED_TRACE(tags);
    const std::vector<std::string_view> v = views(keys);
    const Bytes borrowed = PerfectHashIndex::build_borrowed(v, tags).to_bytes();
    Passes p{{keys}};
    EXPECT_EQ(stream(p, path, tags, WINDOW), keys.size());
    EXPECT_TRUE(file_bytes(path) == borrowed);
    EXPECT_TRUE(PerfectHashIndex::build_with(keys, tags).to_bytes() == borrowed);
  }
}

// Enough keys that the steps between the passes (the sort of the first
// hashes, the slot of every key) spread over workers, at several worker
// counts: the bytes stay those of the in-memory build, and a repeat is still
// seen by the sort.
TEST(PerfectHashStream, WorkersBetweenThePassesChangeNoByte) {
  TempDir dir;
  const std::string path = dir / "out.bmp";
  std::vector<std::string> keys;
  for (std::uint64_t i = 0; i < 600000; ++i) keys.push_back("key-" + std::to_string(i * 7919));
  const Bytes want = make(keys, false).to_bytes();
  for (std::size_t threads : {1, 2}) {
    SCOPED_TRACE(threads);
    hash_engine::StreamRun run;
    run.threads = threads;
    Passes p{{keys}};
    EXPECT_EQ(PerfectHashIndex::build_to_file(p.factory(), path, false, run), keys.size());
    EXPECT_TRUE(file_bytes(path) == want);
  }
  // One key repeated, wherever its hash falls among the sort's buckets.
  hash_engine::StreamRun two;
  two.threads = 2;
  for (std::size_t at = 0; at < keys.size(); at += keys.size() / 24) {
    SCOPED_TRACE(at);
    std::vector<std::string> repeated = keys;
    repeated.push_back(keys[at]);
    Passes r{{repeated}};
    EXPECT_EQ(error_of([&] { PerfectHashIndex::build_to_file(r.factory(), dir / "r.bmp", false, two, true); }),
              "build error: perfect-hash: the source may repeat a key");
  }
}

TEST(PerfectHashStream, EmptySourceSavesTheEmptyIndex) {
  TempDir dir;
  for (bool tags : {false, true}) {
    Passes p{{{}}};
    EXPECT_EQ(stream(p, dir / "e", tags, 16), 0u);
    EXPECT_EQ(p.calls, 1);
    EXPECT_EQ(file_bytes(dir / "e"), make({}, tags).to_bytes());
  }
}

// Asked to, the build stops after the first pass when a first hash repeats
// (a repeated key, or distinct keys whose first hashes collide), before the
// file system is touched; otherwise it builds as always.
TEST(PerfectHashStream, FirstHashesDistinctOrStopEarly) {
  const std::vector<std::string> keys = random_keys(300, 12, 20);
  std::vector<std::string> dup = keys, coll_keys = keys;
  dup.push_back(keys[9]);
  const auto coll = colliding::keys(2, 3);
  coll_keys.insert(coll_keys.end(), coll.begin(), coll.end());
  for (const auto* list : {&dup, &coll_keys}) {
    TempDir dir;
    Passes p{{*list}};
    EXPECT_EQ(error_of([&] {
                PerfectHashIndex::build_to_file(p.factory(), dir / "t", false, windowed(64), true);
              }),
              std::string("build error: ") + perfect_hash::MSG_MAY_REPEAT);
    EXPECT_EQ(p.calls, 1);
    EXPECT_TRUE(dir.names().empty());
  }
  TempDir dir;
  Passes p{{keys}};
  EXPECT_EQ(PerfectHashIndex::build_to_file(p.factory(), dir / "t", false, windowed(64), true),
            keys.size());
  EXPECT_EQ(read_file(dir / "t"), [&] {
    const std::vector<unsigned char> b = PerfectHashIndex::build(std::span<const std::string>(keys)).to_bytes();
    return std::string(b.begin(), b.end());
  }());
}

TEST(PerfectHashStream, FailuresLeaveTheTargetAlone) {
  std::vector<std::string> keys = random_keys(400, 10, 30);
  std::vector<std::string> fewer(keys.begin(), keys.end() - 1), more = keys, other = keys, swapped = keys;
  more.push_back("one more");
  other[7] = "another key";
  std::swap(swapped[3], swapped[4]);
  std::vector<std::string> same_hash_other_order = keys;
  std::string with_dup_key = keys[5];
  std::vector<std::string> dup = keys;
  dup.push_back(keys[5]);
  auto coll = colliding::keys(3, 6);
  std::vector<std::string> coll_keys = keys;
  coll_keys.insert(coll_keys.end(), {coll[0], coll[1], coll[0], coll[2]});  // a repeat inside a hash run
  const std::string replay = "build error: perfect-hash: the source did not replay the same keys in the same order";
  struct Case {
    const char* name;
    std::vector<std::vector<std::string>> lists;
    std::string want;
  };
  std::vector<Case> cases = {
      {"fewer", {keys, fewer}, replay},
      {"more", {keys, more}, replay},
      {"another key", {keys, other}, replay},
      {"another order", {keys, swapped}, replay},
      {"repeated key", {dup}, "build error: perfect-hash: build_to_file needs distinct keys and the source repeated one"},
      {"repeat in a run", {coll_keys},
       "build error: perfect-hash: build_to_file needs distinct keys and the source repeated one"},
  };
  for (std::uint64_t window : {WINDOW, std::uint64_t{64}}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " window " + std::to_string(window));
      TempDir dir;
      write_file(dir / "t", "old");
      Passes p{c.lists};
      EXPECT_EQ(error_of([&] { stream(p, dir / "t", false, window); }), c.want);
      EXPECT_TRUE(read_file(dir / "t") == "old");
      EXPECT_EQ(dir.names(), std::set<std::string>{"t"});
    }
  }
  // The probe: after the first pass and again before the header (the
  // source's failure), and by the hash build's workers and the steps between
  // (a stop). A yes at any of them leaves nothing behind.
  {
    TempDir dir;
    Passes clean{{keys}};
    std::atomic<int> asked{0};
    stream(clean, dir / "t", false, 64, [&] { return ++asked < 0; });
    const int asks = asked.load();
    ASSERT_GE(asks, 4);
    const std::string raised = "format error: perfect-hash: the source raised before it ended";
    const struct {
      int yes_at;
      std::string want;
      int passes;
    } probes[] = {{1, raised, 1}, {2, "io error: operation interrupted", 1}, {asks, raised, 2}};
    write_file(dir / "t", "old");
    for (const auto& c : probes) {
      Passes p{{keys}};
      asked = 0;
      EXPECT_EQ(error_of([&] { stream(p, dir / "t", false, 64, [&] { return ++asked >= c.yes_at; }); }), c.want);
      EXPECT_EQ(p.calls, c.passes);
      EXPECT_TRUE(read_file(dir / "t") == "old");
      EXPECT_EQ(dir.names(), std::set<std::string>{"t"});
    }
  }
  // A source that throws in the second pass unwinds the same way.
  for (std::uint64_t window : {WINDOW, std::uint64_t{64}}) {
    TempDir dir;
    Passes p{{keys}};
    p.on_next = [](int pass, std::size_t i) {
      if (pass == 1 && i == 200) throw std::runtime_error("source broke");
    };
    EXPECT_THROW(stream(p, dir / "t", false, window), std::runtime_error);
    EXPECT_TRUE(dir.names().empty());
  }
}

TEST(PerfectHashStream, SpillNamesAndCorruptSpill) {
  TempDir dir;
  std::string out = dir / "out";
  // Every spill name it can try taken (the temporary file of the write may
  // take the first number): the spill file cannot be made.
  const std::uint64_t next = scratch::SEQ.load();
  const long pid = static_cast<long>(::getpid());
  for (std::uint64_t s = next; s <= next + 128; ++s)
    write_file(out + "." + std::to_string(pid) + "." + std::to_string(s) + ".spill", "");
  std::vector<std::string> keys = random_keys(50, 11);
  Passes p{{keys}};
  std::string err = error_of([&] { stream(p, out, false, 8); });
  EXPECT_EQ(err.rfind("io error: ", 0), 0u) << err;
  EXPECT_EQ(dir.names().size(), 129u);
  for (auto& name : dir.names()) std::filesystem::remove(dir.path() / name);
  // A spill record whose id is out of range is reported, not followed.
  std::vector<std::string> big = {std::string(70000, 'x'), "a", "b"};
  Passes q{{big}};
  q.on_next = [&](int pass, std::size_t i) {
    if (pass != 1 || i != 1) return;
    for (auto& name : dir.names()) {
      if (name.find(".spill") == std::string::npos) continue;
      std::string content = read_file(dir / name);
      ASSERT_GE(content.size(), 4u);
      content[0] = content[1] = content[2] = content[3] = '\xff';
      write_file(dir / name, content);
    }
  };
  err = error_of([&] { stream(q, out, false, 1000); });
  EXPECT_EQ(err, "io error: perfect-hash: the spill file is corrupt");
  EXPECT_TRUE(dir.names().empty());
}
