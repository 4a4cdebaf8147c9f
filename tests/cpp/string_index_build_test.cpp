// The streamed string-index builds from a key source (ascending keys into
// memory or a file, keys in any order through spilled runs) and the cursor
// batches an iterator reads: the same bytes as the in-memory build, and
// nothing left on disk when a build fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>

#include "fst_test_util.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"
#include "temp_dir.hpp"

using namespace fsttest;
using quorvale::StringIndex;
namespace string_index = quorvale::string_index;

namespace {

using Keys = std::vector<std::string>;

std::string blob_of(const StringIndex& index) {
  Bytes out;
  quorvale::VecWriter w(out);
  index.write_to(w);
  return std::string(out.begin(), out.end());
}

// Keys handed out one by one; optionally throws instead of handing out key
// number `fail_at`.
struct SourceFailed : std::runtime_error {
  SourceFailed() : std::runtime_error("the source failed") {}
};
class VecSource : public quorvale::KeySource {
 public:
  explicit VecSource(Keys keys, std::size_t fail_at = SIZE_MAX) : keys_(std::move(keys)), fail_at_(fail_at) {}
  bool next(std::string_view& key) override {
    if (at_ == fail_at_) throw SourceFailed();
    if (at_ == keys_.size()) return false;
    key = keys_[at_++];
    return true;
  }
  std::size_t pulled() const { return at_; }

 private:
  Keys keys_;
  std::size_t fail_at_;
  std::size_t at_ = 0;
};

// Random keys (the empty one, 1- to 4-byte characters) no longer than 40
// bytes, so that small run budgets hold several.
Keys short_keys(std::size_t n, std::uint64_t seed) {
  Keys keys = random_keys(n, seed, false);
  std::erase_if(keys, [](const std::string& k) { return k.size() > 40; });
  return keys;
}

Keys shuffled(Keys keys, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::shuffle(keys.begin(), keys.end(), rng);
  return keys;
}

// What each form does with the same key list.
enum class Form { FromSorted, SortedToFile, ToFile };

// The blob a form builds (written to `path` by the file forms) and its count.
std::pair<std::string, std::uint64_t> run_form(Form form, const Keys& keys, const std::string& path,
                                               std::size_t budget = string_index::RUN_BUDGET) {
  VecSource source(keys);
  switch (form) {
    case Form::FromSorted: {
      const StringIndex index = StringIndex::from_sorted(source);
      return {blob_of(index), index.len()};
    }
    case Form::SortedToFile: {
      const std::uint64_t n = StringIndex::build_sorted_to_file(source, path);
      return {read_file(path), n};
    }
    case Form::ToFile: {
      const std::uint64_t n = StringIndex::build_to_file(source, path, budget);
      return {read_file(path), n};
    }
  }
  return {};
}

TEST(StringIndexStreamedBuild, EveryFormWritesTheBuildsBytes) {
  const Keys random = random_keys(3000, 31, false);
  Keys with_repeats;
  for (std::size_t i = 0; i < random.size(); ++i) {
    with_repeats.push_back(random[i]);
    if (i % 5 == 0) with_repeats.push_back(random[i]);
  }
  // Unshared suffixes: an FST of several of the in-memory builds' chunks.
  Keys wide;
  std::mt19937_64 rng(37);
  for (int i = 0; i < 300000; ++i) {
    std::string k(8 + rng() % 33, ' ');
    for (char& c : k) c = static_cast<char>('0' + rng() % 75);
    wide.push_back(std::move(k));
  }
  std::sort(wide.begin(), wide.end());
  const std::vector<Keys> cases = {{}, {"a", "a", "b"}, {""}, {"", "a"}, with_repeats, wide};
  for (const Keys& sorted : cases) {
    SCOPED_TRACE(sorted.size());
    const StringIndex built = StringIndex::build(sorted);
    const std::string want = blob_of(built);
    if (&sorted == &cases.back()) {
      EXPECT_GT(want.size(), std::size_t{2} << 22);
    }
    for (Form form : {Form::FromSorted, Form::SortedToFile, Form::ToFile}) {
      TempDir dir;
      const auto [got, n] = run_form(form, form == Form::ToFile ? shuffled(sorted, 7) : sorted, dir / "out.bix");
      EXPECT_EQ(got, want) << static_cast<int>(form);
      EXPECT_EQ(n, built.len());
      if (form != Form::FromSorted) {
        EXPECT_EQ(dir.names(), std::set<std::string>{"out.bix"});
      }
    }
  }
}

TEST(StringIndexStreamedBuild, SpilledRunsMergeToTheSameBytes) {
  // Repeats spread over several runs are counted once; budgets from a few
  // runs to more than one merge pass (over 128 run files).
  const Keys keys = short_keys(4000, 32);
  Keys input = keys;
  for (std::size_t i = 0; i < keys.size(); i += 3) input.push_back(keys[i]);
  input = shuffled(input, 9);
  const std::string want = blob_of(StringIndex::build(keys));
  for (std::size_t budget : {std::size_t(1) << 16, std::size_t(4096), std::size_t(256)}) {
    SCOPED_TRACE(budget);
    TempDir dir;
    const auto [got, n] = run_form(Form::ToFile, input, dir / "out.bix", budget);
    EXPECT_EQ(n, keys.size());
    EXPECT_EQ(got, want);
    EXPECT_EQ(dir.names(), std::set<std::string>{"out.bix"});  // the spill directory is gone
  }
}

TEST(StringIndexStreamedBuild, FailuresLeaveTheTargetAndNoScratch) {
  TempDir dir;
  const std::string target = dir / "out.bix";
  write_file(target, "old contents");
  const std::set<std::string> before = dir.names();
  const Keys many = short_keys(2000, 33);

  // Out of order for the sorted forms, a descending pair and a separator
  // that sorts above what follows a part; build_to_file sorts them.
  for (const Keys& keys : {Keys{"b", "a"}, Keys{"a.x", "a-b.x"}}) {
    EXPECT_EQ(index_error_of([&] { VecSource s(keys); StringIndex::from_sorted(s); }), "fst error: FST error");
    EXPECT_EQ(index_error_of([&] { VecSource s(keys); StringIndex::build_sorted_to_file(s, target); }),
              "fst error: FST error");
    EXPECT_EQ(dir.names(), before);
    EXPECT_EQ(read_file(target), "old contents");
    VecSource s(keys);
    EXPECT_EQ(StringIndex::build_to_file(s, dir / "sorted.bix"), 2u);
    std::filesystem::remove(dir / "sorted.bix");
  }

  // A source that fails midway, also after runs were spilled: one that
  // ends its stream and says so through the probe, and one that throws.
  for (Form form : {Form::FromSorted, Form::SortedToFile, Form::ToFile}) {
    auto build = [&](VecSource& s, const std::function<bool()>& failed) {
      if (form == Form::FromSorted) StringIndex::from_sorted(s, failed);
      if (form == Form::SortedToFile) StringIndex::build_sorted_to_file(s, target, failed);
      if (form == Form::ToFile) StringIndex::build_to_file(s, target, 512, failed);
    };
    VecSource ends(Keys(many.begin(), many.begin() + 1000));
    EXPECT_EQ(index_error_of([&] { build(ends, [] { return true; }); }),
              "format error: string-index: the input iterable raised before it ended");
    VecSource throws(many, 1000);
    EXPECT_THROW(build(throws, {}), SourceFailed);
    EXPECT_EQ(throws.pulled(), 1000u);
    EXPECT_EQ(dir.names(), before);
    EXPECT_EQ(read_file(target), "old contents");
  }

  // A key longer than the budget: first, or after other keys (a fresh run
  // could not hold it either).
  const std::string long_key(100, 'k');
  for (const Keys& keys : {Keys{long_key}, Keys{"a", "b", long_key, "c"}, Keys{"a", long_key}}) {
    VecSource s(keys);
    EXPECT_EQ(index_error_of([&] { StringIndex::build_to_file(s, target, 64); }),
              "format error: string-index: a key longer than the run budget");
    EXPECT_EQ(dir.names(), before);
  }
  VecSource fits({"a", std::string(64, 'k')});
  EXPECT_EQ(StringIndex::build_to_file(fits, dir / "fits.bix", 64), 2u);
  std::filesystem::remove(dir / "fits.bix");

  // A directory that does not exist: build_sorted_to_file fails before it
  // pulls a key; build_to_file after the stream, when it starts its output.
  VecSource s1(many);
  EXPECT_EQ(index_error_of([&] { StringIndex::build_sorted_to_file(s1, dir / "missing/out.bix"); }).rfind("io error: ", 0), 0u);
  EXPECT_EQ(s1.pulled(), 0u);
  VecSource s2(many);
  EXPECT_EQ(index_error_of([&] { StringIndex::build_to_file(s2, dir / "missing/out.bix"); }).rfind("io error: ", 0), 0u);
  EXPECT_EQ(s2.pulled(), many.size());
  EXPECT_EQ(dir.names(), before);
}

// A "BIX4" blob over keys given in ascending byte order, each valued by its
// rank (any bytes: keys no str could give).
Bytes raw_blob(const Keys& sorted) {
  std::vector<std::uint64_t> ranks(sorted.size());
  for (std::size_t i = 0; i < ranks.size(); ++i) ranks[i] = i;
  Bytes blob(string_index::MAGIC, string_index::MAGIC + 4);
  const Bytes fst = build(sorted, ranks);
  blob.insert(blob.end(), fst.begin(), fst.end());
  return blob;
}

TEST(StringIndexBatches, AgreeWithTheSingleWalks) {
  // Keys of raw bytes too, wide nodes among them; probes that are keys,
  // near misses and strangers, in shuffled order.
  for (bool raw : {false, true}) {
    const Keys keys = random_keys(4000, raw ? 41 : 42, raw);
    // Unverified: the last key of raw bytes need not spell back as UTF-8.
    const StringIndex index = StringIndex::from_shared(quorvale::blob::SharedBytes::from_owned(raw_blob(keys)), false);
    Keys probes = keys;
    for (std::size_t i = 0; i < keys.size(); i += 3) {
      probes.push_back(keys[i] + "x");
      if (!keys[i].empty()) probes.push_back(keys[i].substr(0, keys[i].size() - 1));
    }
    probes = shuffled(probes, 5);
    std::vector<std::uint64_t> ids(probes.size());
    index.ids_into(probes.size(), [&](std::size_t i) { return std::string_view(probes[i]); }, ids.data(), 77);
    for (std::size_t i = 0; i < probes.size(); ++i) ASSERT_EQ(ids[i], index.id(probes[i]).value_or(77)) << i;

    // A cursor's batches, resumed after each one's last key, are the stream.
    std::vector<std::pair<std::string, std::uint64_t>> want, got;
    auto stream = index.stream();
    while (auto item = stream.next_raw()) want.emplace_back(std::string(item->key.begin(), item->key.end()), item->value);
    for (std::size_t n : {std::size_t(1024), std::size_t(3)}) {
      got.clear();
      std::optional<std::string> last;
      for (;;) {
        string_index::Batch batch;
        index.batch_after(last, n, batch);
        if (batch.empty()) break;
        for (std::size_t i = 0; i < batch.size(); ++i) got.emplace_back(std::string(batch.key(i)), batch.id(i));
        last = std::string(batch.key(batch.size() - 1));
      }
      EXPECT_EQ(got, want);
    }
    // Resuming after a string that is not a key.
    for (const std::string& after : {std::string(), std::string("\x01"), std::string("p"), std::string("\xff\xff")}) {
      string_index::Batch batch;
      index.batch_after(after, 5, batch);
      const auto first = std::upper_bound(want.begin(), want.end(), after,
                                          [](const std::string& a, const auto& p) { return a < p.first; });
      ASSERT_EQ(batch.size(), std::min<std::size_t>(5, want.end() - first));
      for (std::size_t i = 0; i < batch.size(); ++i) EXPECT_EQ(std::string(batch.key(i)), first[i].first);
    }
  }
}

TEST(StringIndexBatchAfter, ResumesAfterTheStoredBytes) {
  // Keys that are not UTF-8 decode alike ("a" then U+FFFD): a cursor that
  // resumed after the decoded text would repeat or skip them. A batch edge
  // falls among them.
  Keys raw;
  for (int i = 0; i < 1500; ++i) raw.push_back(std::string("k").append(std::to_string(1000 + i)));
  for (int b = 0x80; b <= 0xFF; ++b) raw.push_back(std::string("a") + static_cast<char>(b));
  raw.push_back("a\xef\xbf\xbd");
  std::sort(raw.begin(), raw.end());
  const StringIndex index = StringIndex::from_bytes(raw_blob(raw));

  for (std::size_t n : {std::size_t(1024), std::size_t(7), std::size_t(1)}) {
    std::optional<std::string> last;
    Keys seen;
    for (;;) {
      string_index::Batch batch;
      index.batch_after(last, n, batch);
      ASSERT_LE(batch.size(), n);
      if (batch.empty()) break;
      for (std::size_t i = 0; i < batch.size(); ++i) {
        ASSERT_EQ(batch.id(i), seen.size());
        seen.emplace_back(batch.key(i));
      }
      last = std::string(batch.key(batch.size() - 1));
    }
    EXPECT_EQ(seen, raw);
  }
  string_index::Batch none;
  index.batch_after(std::nullopt, 0, none);
  EXPECT_TRUE(none.empty());
}

}  // namespace
