// Parallel builds of the minimal perfect hash: minimal and perfect for every
// size and input form, and the same image bytes whatever the thread count,
// the input order or the input form.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "mphf_build.hpp"
#include "threads.hpp"

using namespace quorvale;
using namespace quorvale::mphf_build;

namespace {

#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
constexpr bool BIG = true;  // the optimised build without sanitizers
#else
constexpr bool BIG = false;
#endif

class VecStream : public KeyStream {
 public:
  explicit VecStream(const std::vector<std::uint64_t>& v) : v_(v) {}
  bool next(std::uint64_t& out) override {
    if (i_ >= v_.size()) return false;
    out = v_[i_++];
    return true;
  }

 private:
  const std::vector<std::uint64_t>& v_;
  std::size_t i_ = 0;
};

std::vector<std::uint64_t> random_keys(std::size_t n, std::uint64_t seed) {
  std::vector<std::uint64_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = splitmix64(seed ^ (i * 0x632be59bd9b4e019ULL));
  return v;
}

enum class Form { Sorted, Shuffled, Stream };

std::vector<unsigned char> build_image(const std::vector<std::uint64_t>& sorted, Form form, std::uint64_t threads,
                                       std::uint64_t shuffle_seed, Mphf* keep = nullptr) {
  std::optional<Mphf> m;
  if (form == Form::Sorted) {
    m.emplace(Mphf::build_with_threads(sorted, threads));
  } else if (form == Form::Shuffled) {
    std::vector<std::uint64_t> v = sorted;
    std::shuffle(v.begin(), v.end(), std::mt19937_64(shuffle_seed));
    m.emplace(Mphf::build_with_threads(v, threads));
  } else {
    VecStream s(sorted);
    m.emplace(V2::build_from(sorted.size(), KeyInput::from_stream(s), threads));
  }
  std::vector<unsigned char> image = m->to_bytes();
  if (keep) *keep = std::move(*m);
  return image;
}

void check_minimal_perfect(const Mphf& m, const std::vector<std::uint64_t>& keys, const std::vector<unsigned char>& image) {
  const std::size_t n = keys.size();
  ASSERT_EQ(m.n(), n);
  std::vector<std::uint64_t> ids = m.index_all(keys);
  std::vector<unsigned char> seen(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t id = m.index(keys[i]);
    ASSERT_EQ(ids[i], id);
    ASSERT_LT(id, n);
    ASSERT_FALSE(seen[id]) << "id " << id << " twice";
    seen[id] = 1;
  }
  EXPECT_EQ(m.byte_len(), image.size());
  Mphf back = Mphf::from_bytes(image);
  EXPECT_EQ(back.to_bytes(), image);
  for (std::size_t i = 0; i < n; i += 1 + n / 5000) ASSERT_EQ(back.index(keys[i]), ids[i]);
}

}  // namespace

TEST(MphfBuildMt, MinimalAndPerfectForEverySizeAndForm) {
  std::vector<std::uint64_t> sizes = {0,     1,     2,     3,     5,     7,     13,    31,     255,   256,
                                      257,   258,   1021,  4095,  4096,  32767, 32768, 147451, 147452};
  if (BIG) {
    sizes.push_back(1000000);
    sizes.push_back(1179648);
    sizes.push_back(10000000);
  }
  const std::uint64_t threads = online_processors();
  for (std::uint64_t n : sizes) {
    SCOPED_TRACE(n);
    std::vector<std::uint64_t> keys = random_keys(n, n + 1);
    std::sort(keys.begin(), keys.end());
    std::vector<unsigned char> first;
    for (Form form : {Form::Sorted, Form::Shuffled, Form::Stream}) {
      Mphf m{V2{}};
      std::vector<unsigned char> image = build_image(keys, form, threads, n, &m);
      check_minimal_perfect(m, keys, image);
      if (form == Form::Sorted) first = image;
      else EXPECT_EQ(image, first) << "form " << static_cast<int>(form);
      if (n >= 1000000) break;  // the big sizes check one form each here; bytes below
    }
  }
}

TEST(MphfBuildMt, SameBytesForEveryThreadCountOrderAndForm) {
  const std::uint64_t p = online_processors();
  // Four level-0 chunks in four groups at 300,000 keys; the special plan and
  // many chunks per group in the optimised build.
  std::vector<std::uint64_t> sizes = {700, 40000, 300000};
  if (BIG) sizes.push_back(3000000);
  for (std::uint64_t n : sizes) {
    SCOPED_TRACE(n);
    std::vector<std::uint64_t> keys = random_keys(n, 99 + n);
    std::sort(keys.begin(), keys.end());
    const std::vector<unsigned char> want = build_image(keys, Form::Sorted, 1, 0);
    for (std::uint64_t t : {std::uint64_t{0}, std::uint64_t{2}, std::uint64_t{3}, p, 2 * p}) {
      for (Form form : {Form::Sorted, Form::Shuffled, Form::Stream}) {
        EXPECT_EQ(build_image(keys, form, t, t * 17 + 1), want) << "threads " << t << " form " << static_cast<int>(form);
      }
    }
    // Repeated runs.
    EXPECT_EQ(build_image(keys, Form::Shuffled, p, 5), want);
    EXPECT_EQ(build_image(keys, Form::Shuffled, p, 5), want);
  }
}

TEST(MphfBuildMt, ParallelSortednessFindsASeamDescent) {
  // Two pieces of 2^20 hashes: a descent exactly at the seam.
  const std::size_t L = std::size_t{1} << 20;
  std::vector<std::uint64_t> v(2 * L);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = i * 4;
  EXPECT_TRUE(is_sorted(v, 2));
  v[L - 1] = v[L] + 1;
  v[L - 2] = v[L - 1] - 1;
  EXPECT_FALSE(is_sorted(v, 2));
  EXPECT_FALSE(is_sorted(v, 1));
  v[L - 1] = v[L];  // equal neighbours are sorted
  EXPECT_TRUE(is_sorted(v, 2));
}

TEST(MphfBuildMt, GroupedSourceHandsOutEveryChunkInInputOrder) {
  // 1,000 keys: one chunk, one group, no code words. 300,000 keys: four
  // chunks in four groups. 405,000 keys: five chunks whose last group is
  // empty. Several slices at 300,000 and more keys with 8 threads.
  for (std::size_t n : {1000u, 300000u, 405000u}) {
    SCOPED_TRACE(n);
    std::vector<std::uint64_t> keys = random_keys(n, 4);
    Geometry g = level_geometry(n);
    ChunkPlan plan = chunk_plan(g, true);
    std::vector<std::vector<std::uint64_t>> want(plan.chunks());
    for (std::uint64_t k : keys) {
      std::uint64_t b = static_cast<std::uint64_t>((static_cast<unsigned __int128>(k) * g.buckets) >> 64);
      std::size_t c = std::upper_bound(plan.boundaries.begin(), plan.boundaries.end(), b) - plan.boundaries.begin() - 1;
      want[c].push_back(k);
    }
    for (std::uint64_t threads : {1u, 3u, 8u}) {
      Grouped grouped(keys, plan, threads);
      EXPECT_EQ(grouped.groups(), std::min<std::size_t>(plan.chunks(), 4));
      std::size_t next = 0;
      while (auto claimed = grouped.claim()) {
        EXPECT_EQ(claimed->chunk, next);
        EXPECT_TRUE(std::equal(claimed->keys.begin(), claimed->keys.end(), want[next].begin(), want[next].end()));
        ++next;
      }
      EXPECT_EQ(next, plan.chunks());
    }
  }
  EXPECT_EQ(chunk_plan(level_geometry(405000), true).chunks(), 5u);
}

TEST(MphfBuildMt, BucketOrderIsAStableCountingSortAcrossSlices) {
  // 300,000 keys: several input slices and bucket ranges with 3 and 8 threads.
  const std::uint64_t c = 300000, k = 2, B = (2 * c + 8) / 9;
  std::vector<std::uint64_t> keys = random_keys(c, 9);
  auto bucket = [&](std::uint64_t x) { return static_cast<std::uint64_t>((static_cast<unsigned __int128>(x) * B) >> 64); };
  std::vector<std::uint64_t> pos(B + 1, 0);
  for (std::uint64_t key : keys) ++pos[bucket(level_hash(key, k)) + 1];
  for (std::uint64_t b = 1; b <= B; ++b) pos[b] += pos[b - 1];
  std::vector<std::uint64_t> want(c), cursor(pos.begin(), pos.end() - 1);
  for (std::uint64_t key : keys) {
    std::uint64_t x = level_hash(key, k);
    want[cursor[bucket(x)]++] = x;
  }
  for (std::uint64_t threads : {1u, 3u, 8u}) {
    std::vector<std::uint64_t> got(c, 0);
    group_by_bucket(keys, k, B, pos, got, threads);
    EXPECT_EQ(got, want) << threads << " threads";
  }
}

TEST(MphfBuildMt, AFailingSourceStopsTheBuildWithItsError) {
  // A stream that fails part way: the level's workers stop and the caller
  // receives the source's own error.
  class Failing : public KeyStream {
   public:
    bool next(std::uint64_t& out) override {
      if (i_ == 300000) throw IndexError::io(IoKind::UnexpectedEof, "the source broke");
      out = (i_++) * 46116860184273ULL;  // spread over every chunk
      return true;
    }
    std::uint64_t i_ = 0;
  };
  Failing s;
  try {
    V2::build_from(400000, KeyInput::from_stream(s), 4);
    FAIL() << "no error";
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
    EXPECT_EQ(e.message(), "the source broke");
  }
}

TEST(MphfBuildMt, NeighboursPlacedTogetherStillSeedTheirGap) {
  // Two chunks without keys are placed within microseconds of each other, so
  // now and then both workers set their placed flags at the same moment. Each
  // must still see the other's flag or the gap between them is never seeded
  // and the level build stops. The race is rare (about once in 20,000 such
  // builds when the flags were only release/acquire), so this is a guard over
  // many runs rather than a certain catch; the plain build only.
  if (!BIG) GTEST_SKIP() << "plain build only";
  const std::vector<std::uint64_t> none;
  ASSERT_EQ(chunk_plan(level_geometry(36864), false).chunks(), 2u);
  for (int i = 0; i < 20000; ++i) {
    BuiltLevel b = build_level(36864, KeyInput::sorted(none), 2, false);
    ASSERT_TRUE(b.bumped.empty());
  }
}
