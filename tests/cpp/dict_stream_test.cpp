// The streamed dictionary build: the file equals the in-memory build's blob
// whatever the runs, and every failure leaves the target and its directory
// as they were.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <random>

#include "dict_index/layout.hpp"
#include "dict_build_util.hpp"
#include "dict_fixtures.hpp"
#include "extsort/extsort.hpp"
#include "perfect_hash.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using namespace buildfix;

namespace {

// Keys from a vector; `on_next(i)` runs before key i is handed out (and
// with i = size at the end).
class VecSource : public KeySource {
 public:
  explicit VecSource(const std::vector<std::string>& keys, std::function<void(std::size_t)> on_next = {})
      : keys_(keys), on_next_(std::move(on_next)) {}
  bool next(std::string_view& key) override {
    if (on_next_) on_next_(at_);
    if (at_ == keys_.size()) return false;
    key = keys_[at_++];
    return true;
  }
  std::size_t taken() const noexcept { return at_; }

 private:
  const std::vector<std::string>& keys_;
  std::function<void(std::size_t)> on_next_;
  std::size_t at_ = 0;
};

// Every key of a sorted corpus a few times over, shuffled.
std::vector<std::string> mixed(const std::vector<std::string>& sorted, std::uint64_t seed) {
  std::vector<std::string> out = sorted;
  for (std::size_t i = 0; i < sorted.size(); i += 3) out.push_back(sorted[i]);
  std::shuffle(out.begin(), out.end(), std::mt19937_64(seed));
  return out;
}

Blob in_memory(const std::vector<std::string>& keys, std::uint64_t block) {
  return blob_of(dict_index::Layout::build_with_block(std::span<const std::string>(keys), block));
}

Blob file_blob(const std::string& path) {
  const std::string s = read_file(path);
  return Blob(s.begin(), s.end());
}

std::string error_of(const std::function<void()>& f, IndexError::Kind* kind = nullptr) {
  try {
    f();
  } catch (const IndexError& e) {
    if (kind) *kind = e.kind();
    return e.what();
  }
  return "no error";
}

bool has_runs_dir(const TempDir& dir) {
  for (const std::string& name : dir.names())
    if (name.ends_with(".runs")) return true;
  return false;
}

TEST(DictStream, EqualsTheInMemoryBlob) {
  const struct {
    const char* name;
    std::vector<std::string> keys;
  } corpora[] = {
      {"sample keys", sorted_distinct(sample_keys())},
      {"paths", paths(3000, 11)},
      {"urls", urls(2500, 12)},
      {"cyrillic", cyrillic(2500, 13)},
      {"prefixes", prefixes()},
      {"empty", {}},
      {"one key", {"only"}},
  };
  TempDir dir;
  for (const auto& c : corpora) {
    const std::vector<std::string> input = mixed(c.keys, 5);
    for (std::uint64_t block : {1, 32, 256, 257, 1024}) {
      SCOPED_TRACE(std::string(c.name) + " at block " + std::to_string(block));
      const std::string out = dir / "d.bin";
      VecSource source(input);
      EXPECT_EQ(dict_index::Layout::build_to_file_runs(source, out, block), c.keys.size());
      const Blob got = file_blob(out);
      ASSERT_EQ(got, in_memory(c.keys, block));
      EXPECT_EQ(got[3], std::string(c.name) == "cyrillic" ? '4' : '3');
      EXPECT_EQ(dir.names(), std::set<std::string>{"d.bin"});
    }
  }
}

TEST(DictStream, NoKeysAndOneKeyRepeated) {
  TempDir dir;
  const std::vector<std::string> none;
  VecSource empty(none);
  EXPECT_EQ(dict_index::Layout::build_to_file_runs(empty, dir / "e.bin", 256), 0u);
  EXPECT_EQ(file_blob(dir / "e.bin"), dictfix::empty_index());
  const std::vector<std::string> same(1000, "a");
  VecSource source(same);
  EXPECT_EQ(dict_index::Layout::build_to_file_runs(source, dir / "a.bin", 256), 1u);
  EXPECT_EQ(file_blob(dir / "a.bin"), dictfix::key_a_index());
}

TEST(DictStream, OneShardAndTwo) {
  TempDir dir;
  for (std::uint64_t n : {65536u, 65537u}) {
    const std::vector<std::string> keys = decimal_ids(1000000, n), input = mixed(keys, n);
    VecSource source(input);
    EXPECT_EQ(dict_index::Layout::build_to_file_runs(source, dir / "s.bin", 256), n);
    const Blob got = file_blob(dir / "s.bin");
    ASSERT_EQ(got, in_memory(keys, 256));
    EXPECT_EQ(reload(got).codecs.size(), n == 65536 ? 1u : 2u);
  }
}

// More shards than workers, encoded a shard a worker and written in shard
// order: from one run (read in place) and from spilled runs (replayed).
TEST(DictStream, ManyShardsGiveTheSameBytes) {
  TempDir dir;
  const std::vector<std::string> keys = decimal_ids(1000000, 9 * 65536 + 1000), input = mixed(keys, 31);
  const Blob want = in_memory(keys, 256);
  ASSERT_EQ(reload(want).codecs.size(), 10u);
  for (std::size_t budget : {dict_index::RUN_BUDGET, std::size_t{1} << 20}) {
    SCOPED_TRACE("budget " + std::to_string(budget));
    VecSource source(input);
    EXPECT_EQ(dict_index::Layout::build_to_file_runs(source, dir / "m.bin", 256, {}, {}, budget), keys.size());
    EXPECT_EQ(file_blob(dir / "m.bin"), want);
  }
}

// A small budget spills many runs, with repeats inside runs and across them;
// the directory appears at the first spill and goes at the end.
TEST(DictStream, SpilledRunsGiveTheSameBytes) {
  TempDir dir;
  for (const auto& keys : {paths(2000, 21), cyrillic(1500, 22)}) {
    const std::vector<std::string> input = mixed(keys, 23);
    bool spilled = false;
    VecSource source(input, [&](std::size_t) { spilled = spilled || has_runs_dir(dir); });
    int offline_steps = 0;
    const auto offline = [&](const std::function<void()>& step) {
      ++offline_steps;
      step();
    };
    EXPECT_EQ(dict_index::Layout::build_to_file_runs(source, dir / "r.bin", 32, {}, offline, 1024), keys.size());
    EXPECT_TRUE(spilled);
    EXPECT_GT(offline_steps, 10);
    EXPECT_EQ(file_blob(dir / "r.bin"), in_memory(keys, 32));
    EXPECT_EQ(dir.names(), std::set<std::string>{"r.bin"});
  }
}

// A run takes at most budget / 8 keys: with a budget of 80 the eleventh
// one-byte key spills the ten before it.
TEST(DictStream, ARunHoldsAtMostAnEighthOfItsBudgetInKeys) {
  TempDir dir;
  std::vector<std::string> keys;
  for (char c = 'a'; c <= 'z'; ++c) keys.push_back(std::string(1, c));
  std::vector<bool> dir_at;
  VecSource source(keys, [&](std::size_t) { dir_at.push_back(has_runs_dir(dir)); });
  EXPECT_EQ(dict_index::Layout::build_to_file_runs(source, dir / "k.bin", 4, {}, {}, 80), keys.size());
  EXPECT_FALSE(dir_at[10]);  // asked for key 10: ten keys in the run, none spilled
  EXPECT_TRUE(dir_at[11]);   // key 10 spilled the run
  EXPECT_EQ(file_blob(dir / "k.bin"), in_memory(keys, 4));
}

TEST(DictStream, KeysLongerThanTheBudget) {
  TempDir dir;
  write_file(dir / "k.bin", "old");
  const std::string big(100, 'x');
  for (const std::vector<std::string>& keys :
       {std::vector<std::string>{big}, std::vector<std::string>{"a", "b", big, "c"},
        std::vector<std::string>{"a", std::string(64, 'y'), big}}) {
    VecSource source(keys);
    EXPECT_EQ(error_of([&] { dict_index::Layout::build_to_file_runs(source, dir / "k.bin", 256, {}, {}, 64); }),
              "format error: dict: a key longer than the run budget");
    EXPECT_EQ(read_file(dir / "k.bin"), "old");
    EXPECT_EQ(dir.names(), std::set<std::string>{"k.bin"});
  }
  // A key exactly at the budget fits.
  const std::vector<std::string> exact = {std::string(64, 'z'), "a"};
  VecSource source(exact);
  EXPECT_EQ(dict_index::Layout::build_to_file_runs(source, dir / "k.bin", 256, {}, {}, 64), 2u);
  EXPECT_EQ(file_blob(dir / "k.bin"), in_memory(exact, 256));
}

TEST(DictStream, BlockOutOfRangeReadsNoKey) {
  TempDir dir;
  const std::vector<std::string> keys = {"a"};
  for (std::uint64_t block : {std::uint64_t{0}, std::uint64_t{1025}, ~std::uint64_t{0}}) {
    VecSource source(keys);
    EXPECT_EQ(error_of([&] { dict_index::Layout::build_to_file_runs(source, dir / "b.bin", block); }),
              "format error: dict: block must be in 1..=1024");
    EXPECT_EQ(source.taken(), 0u);
  }
  EXPECT_TRUE(dir.names().empty());
}

// The probe answering true when the stream ends or only once the header is
// written (the source's failure), or at any ask of the passes between (a
// stop), fails the build with the target untouched.
TEST(DictStream, AFailedSourceWritesNothing) {
  TempDir dir;
  const std::vector<std::string> keys = paths(500, 31);
  const std::string raised = "format error: dict: the input iterable raised before it ended";
  for (std::size_t budget : {std::size_t{1} << 20, std::size_t{512}}) {
    SCOPED_TRACE(budget);
    int asked = 0;
    VecSource clean(keys);
    dict_index::Layout::build_to_file_runs(clean, dir / "p.bin", 32, [&] { return ++asked < 0; }, {}, budget);
    const int asks = asked;
    ASSERT_GE(asks, 4);
    write_file(dir / "p.bin", "old");
    for (int answer_true_at : {1, 2, asks - 1, asks}) {
      asked = 0;
      const auto probe = [&] { return ++asked >= answer_true_at; };
      VecSource source(keys);
      EXPECT_EQ(error_of([&] { dict_index::Layout::build_to_file_runs(source, dir / "p.bin", 32, probe, {}, budget); }),
                answer_true_at == 1 || answer_true_at == asks ? raised : "io error: operation interrupted");
      EXPECT_EQ(asked, answer_true_at);
      EXPECT_EQ(read_file(dir / "p.bin"), "old");
      EXPECT_EQ(dir.names(), std::set<std::string>{"p.bin"});
    }
  }
}

TEST(DictStream, FileErrorsAreIoErrors) {
  TempDir dir;
  const std::vector<std::string> keys = paths(300, 41);
  for (std::size_t budget : {std::size_t{1} << 20, std::size_t{256}}) {  // the writer's failure, the spill's
    VecSource source(keys);
    IndexError::Kind kind{};
    const std::string e =
        error_of([&] { dict_index::Layout::build_to_file_runs(source, dir / "missing/d.bin", 32, {}, {}, budget); }, &kind);
    EXPECT_EQ(kind, IndexError::Kind::Io) << e;
    EXPECT_TRUE(e.starts_with("io error: ")) << e;
  }
  EXPECT_TRUE(dir.names().empty());
}

// A replay of a sorted corpus whose `change` pass (0: counting) differs.
class ChangingReplay final : public extsort::Replay {
 public:
  ChangingReplay(std::vector<std::string> keys, int change, std::function<void(std::vector<std::string>&)> edit)
      : keys_(std::move(keys)), change_(change), edit_(std::move(edit)) {}
  void each(const Callback& callback) override {
    std::vector<std::string> keys = keys_;
    if (pass_++ == change_) edit_(keys);
    for (const std::string& k : keys) callback(k);
  }
  int passes() const noexcept { return pass_; }

 private:
  std::vector<std::string> keys_;
  int change_;
  int pass_ = 0;
  std::function<void(std::vector<std::string>&)> edit_;
};

TEST(DictStream, AReplayThatChangesIsRefused) {
  TempDir dir;
  const std::vector<std::string> ascii = decimal_ids(100000, 70000);  // two shards at block 256
  const std::vector<std::string> coded = cyrillic(3000, 51);
  const auto more = [](std::vector<std::string>& k) {
    for (int i = 0; i < 70000; ++i) k.push_back(std::string("~").append(std::to_string(100000 + i)));
  };
  const auto fewer = [](std::vector<std::string>& k) { k.pop_back(); };
  const auto other_head = [](std::vector<std::string>& k) { k[256] += "!"; };
  const auto unspellable = [](std::vector<std::string>& k) { k.back() = "\xe4\xb8\xad"; };  // a CJK character
  const struct {
    const char* name;
    const std::vector<std::string>* keys;
    int pass;
    std::function<void(std::vector<std::string>&)> edit;
  } cases[] = {
      // A corpus without a code is sampled as it is counted (pass 0) and
      // encoded in pass 1; a coded one is counted, tallied, sampled in its
      // code (pass 2) and encoded (pass 3).
      {"more keys when encoding", &ascii, 1, more},   {"fewer keys when encoding", &ascii, 1, fewer},
      {"another head", &ascii, 1, other_head},        {"more keys when sampling", &coded, 2, more},
      {"fewer keys when sampling", &coded, 2, fewer}, {"more keys in the tally", &coded, 1, more},
      {"fewer keys in the tally", &coded, 1, fewer},  {"a key the code cannot spell", &coded, 3, unspellable},
      // Counted as the first head, never tallied: the code cannot spell it.
      {"an unspellable head", &coded, 0, [](std::vector<std::string>& k) { k.front() = "\xe4\xb8\xad"; }},
  };
  write_file(dir / "c.bin", "old");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ChangingReplay replay(*c.keys, c.pass, c.edit);
    EXPECT_EQ(error_of([&] { dict_index::Layout::write_sorted(replay, dir / "c.bin", 256); }),
              "format error: dict: the key stream changed between passes");
    EXPECT_EQ(read_file(dir / "c.bin"), "old");
    EXPECT_EQ(dir.names(), std::set<std::string>{"c.bin"});
  }
}

}  // namespace
