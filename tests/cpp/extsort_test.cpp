#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "extsort/extsort.hpp"

namespace fs = std::filesystem;
using namespace quorvale;
using namespace quorvale::extsort;

namespace {

class ExtsortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "extsort_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    out_ = (root_ / "out.idx").string();
  }
  void TearDown() override { fs::remove_all(root_); }

  // Entries of the test directory other than the output itself.
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root_)) names.push_back(e.path().filename().string());
    return names;
  }

  // The caller's protocol over the keys, spilling under `budget`;
  // `as_sorted`: each run written as its sort puts the keys in place.
  void fill(extsort::Run& run, Runs& runs, const std::vector<std::string>& keys, bool as_sorted = false) {
    auto spill = [&] {
      if (as_sorted) {
        runs.spill_sorted(run);
      } else {
        runs.spill(run.sorted());
        run.clear();
      }
      EXPECT_TRUE(run.empty());
    };
    for (const std::string& k : keys) {
      if (!run.has_room(k.size())) {
        ASSERT_FALSE(run.empty()) << "a key longer than the budget";
        spill();
      }
      run.push(k);
    }
    if (!runs.runs().empty() && !run.empty()) spill();
  }

  static std::vector<std::string> replay(Replay& r) {
    std::vector<std::string> got;
    r.each([&](std::string_view k) { got.emplace_back(k); });
    return got;
  }

  // Spills each group as one run (each group sorted and distinct).
  static void spill_groups(Runs& runs, const std::vector<std::vector<std::string>>& groups) {
    for (const auto& g : groups) {
      std::vector<std::string_view> views(g.begin(), g.end());
      runs.spill(views);
    }
  }

  fs::path root_;
  std::string out_;
};

std::string random_key(std::mt19937_64& rng) {
  // ASCII, two-byte and three-byte characters, so bytes >= 0x80 are compared
  // as unsigned; lengths from 0 so the empty key appears.
  static const char* const pieces[] = {"a", "b", "z", "0", "~", "\xc3\xa9", "\xc3\xbf", "\xe2\x82\xac", "\xf0\x9f\x98\x80", " "};
  std::size_t len = rng() % 6;
  std::string k;
  for (std::size_t i = 0; i < len; ++i) k += pieces[rng() % 10];
  return k;
}

std::vector<std::string> system_sort_unique(const fs::path& dir, const std::vector<std::string>& keys) {
  fs::path in = dir / "keys.txt", out = dir / "sorted.txt";
  {
    std::ofstream f(in, std::ios::binary);
    for (const auto& k : keys) f << k << '\n';
  }
  std::string cmd = "LC_ALL=C /usr/bin/sort -u '" + in.string() + "' > '" + out.string() + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  std::vector<std::string> lines;
  std::ifstream f(out, std::ios::binary);
  std::string line;
  while (std::getline(f, line)) lines.push_back(line);
  fs::remove(in);
  fs::remove(out);
  return lines;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string le32(std::uint32_t v) { return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)}; }
std::string le64(std::uint64_t v) { return le32(static_cast<std::uint32_t>(v)) + le32(static_cast<std::uint32_t>(v >> 32)); }

}  // namespace

TEST_F(ExtsortTest, MatchesSystemSortUnique) {
  std::mt19937_64 rng(7);
  std::vector<std::string> keys;
  for (int i = 0; i < 20000; ++i) keys.push_back(random_key(rng));
  keys.push_back("");
  const auto expected = system_sort_unique(root_, keys);
  ASSERT_GT(expected.size(), 1000u);
  ASSERT_EQ(expected.front(), "");
  // Run files around the page cache or through it, written after the sort
  // or as it goes: the same keys.
  for (bool cached : {false, true}) {
    for (std::size_t budget : {std::size_t{256}, std::size_t{4096}, std::size_t{1} << 20}) {
      SCOPED_TRACE(cached);
      extsort::Run run(budget);
      Runs runs(out_, !cached);
      fill(run, runs, keys, cached);
      if (budget == 256) {
        EXPECT_GT(runs.next_number(), 129u) << "needs a merge pass";
      }
      if (budget == (std::size_t{1} << 20)) {
        EXPECT_TRUE(runs.runs().empty());
      }
      Replay& r = runs.runs().empty() ? static_cast<Replay&>(run) : static_cast<Replay&>(runs);
      EXPECT_EQ(replay(r), expected) << "budget " << budget;
      EXPECT_EQ(replay(r), expected) << "second replay, budget " << budget;
    }
  }
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(ExtsortTest, RunSortsAndDropsRepeats) {
  extsort::Run run(1024);
  for (const char* k : {"b", "a", "b", "", "ab"}) run.push(k);
  std::vector<std::string> got;
  for (auto k : run.sorted()) got.emplace_back(k);
  EXPECT_EQ(got, (std::vector<std::string>{"", "a", "ab", "b"}));
  EXPECT_EQ(run.size(), 4u);
  EXPECT_EQ(replay(run), got);
  run.clear();
  EXPECT_TRUE(replay(run).empty());
}

// Keys that tie on whole 8-byte chunks, end inside or exactly at a chunk,
// hold NULs and bytes >= 0x80, and repeat: the sort's awkward cases.
TEST_F(ExtsortTest, RunSortAgainstAReferenceOrder) {
  std::mt19937_64 rng(11);
  const std::string prefixes[] = {"", "common-prefix-0123456789/", std::string("ab\0", 3), "\xc3\xa9\xc3\xa9"};
  const std::string alphabet[] = {std::string(1, '\0'), "a", "b", "\xc3\xbf", "z"};
  for (std::size_t count : {std::size_t{10}, std::size_t{5000}, std::size_t{60000}}) {
    std::set<std::string> expected;
    extsort::Run run(std::size_t{64} << 20);
    for (std::size_t i = 0; i < count; ++i) {
      std::string k = prefixes[rng() % 4];
      for (std::size_t len = rng() % 20; len > 0; --len) k += alphabet[rng() % 5];
      expected.insert(k);
      run.push(k);
      if (rng() % 4 == 0) run.push(k);
    }
    std::vector<std::string> got;
    for (auto k : run.sorted()) got.emplace_back(k);
    EXPECT_EQ(got, std::vector<std::string>(expected.begin(), expected.end())) << count;
  }
}

// Keys pushed as known valid skip the sort's UTF-8 check, but one key pushed
// unchecked puts the whole run under it again, before or after the others,
// until the run is cleared; both ways of sorting keep it.
TEST_F(ExtsortTest, RunChecksTheTextOfUncheckedKeys) {
  const auto panics = [](const std::vector<std::pair<std::string, bool>>& keys, bool streamed) {
    extsort::Run run(1024);
    run.push("\xff");
    run.clear();  // what an earlier run held is no longer checked
    for (const auto& [key, valid] : keys) {
      if (valid) {
        run.push_valid(key);
      } else {
        run.push(key);
      }
    }
    try {
      if (streamed) {
        run.each_sorted([](std::string_view) {});
      } else {
        run.sorted();
      }
    } catch (const Panic& p) {
      EXPECT_STREQ(p.what(), "appended from a str");
      return true;
    }
    return false;
  };
  for (bool streamed : {false, true}) {
    EXPECT_FALSE(panics({{"b", true}, {"\xc3\xa9", true}, {"a", false}}, streamed));
    EXPECT_TRUE(panics({{"\xff", false}, {"a", true}}, streamed));
    EXPECT_TRUE(panics({{"a", true}, {"\xc3", false}, {"b", true}}, streamed));
    EXPECT_TRUE(panics({{"a", true}, {"\xa9", false}}, streamed));
  }
}

TEST_F(ExtsortTest, RoomTest) {
  extsort::Run run(64);  // 8 keys at most
  EXPECT_TRUE(run.has_room(64));
  EXPECT_FALSE(run.has_room(65));
  for (int i = 0; i < 7; ++i) run.push("k");
  EXPECT_TRUE(run.has_room(1));
  run.push("k");
  EXPECT_FALSE(run.has_room(0));
  extsort::Run full(16);
  full.push(std::string(10, 'x'));
  EXPECT_TRUE(full.has_room(6));
  EXPECT_FALSE(full.has_room(7));
}

TEST_F(ExtsortTest, NothingSpilledCreatesNoDirectory) {
  extsort::Run run(1024);
  Runs runs(out_);
  fill(run, runs, {});
  EXPECT_TRUE(replay(run).empty());
  EXPECT_FALSE(runs.directory().has_value());
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(ExtsortTest, MergedStreamKeepsRepeatsInRunOrder) {
  Runs runs(out_);
  spill_groups(runs, {{"a", "m"}, {}, {"b", "m"}, {"m", "z"}, {}});
  std::vector<std::string> merged;
  MergedStream s = runs.merge();
  while (auto k = s.next()) merged.emplace_back(*k);
  EXPECT_EQ(merged, (std::vector<std::string>{"a", "b", "m", "m", "m", "z"}));
  EXPECT_FALSE(s.next().has_value());
  EXPECT_EQ(replay(runs), (std::vector<std::string>{"a", "b", "m", "z"}));
}

TEST_F(ExtsortTest, MergePasses) {
  for (std::size_t count : {std::size_t{128}, std::size_t{129}, std::size_t{300}}) {
    Runs runs(out_);
    std::vector<std::vector<std::string>> groups;
    std::set<std::string> all;
    for (std::size_t i = 0; i < count; ++i) {
      std::string a = std::string("k").append(std::to_string(i)), b = "shared";
      groups.push_back({a, b});
      all.insert(a);
      all.insert(b);
    }
    spill_groups(runs, groups);
    {
      MergedStream s = runs.merge();
      std::size_t n = 0;
      while (s.next()) ++n;
      EXPECT_EQ(n, 2 * count);
    }
    const std::string dir = *runs.directory();
    if (count == 128) {
      EXPECT_EQ(runs.next_number(), 128u);
      EXPECT_EQ(runs.runs().size(), 128u);
    } else if (count == 129) {
      // The first 128 merge into file 129; the 129th run is carried over.
      EXPECT_EQ(runs.runs(), (std::vector<std::uint64_t>{129, 128}));
      EXPECT_EQ(runs.next_number(), 130u);
      EXPECT_FALSE(fs::exists(dir + "/0"));
      EXPECT_FALSE(fs::exists(dir + "/127"));
      EXPECT_TRUE(fs::exists(dir + "/128"));
      EXPECT_TRUE(fs::exists(dir + "/129"));
    } else {
      EXPECT_EQ(runs.runs(), (std::vector<std::uint64_t>{300, 301, 302}));
    }
    std::vector<std::string> expected(all.begin(), all.end());
    EXPECT_EQ(replay(runs), expected);
    EXPECT_EQ(replay(runs), expected) << "second replay reads the merged files";
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()),
              static_cast<std::ptrdiff_t>(runs.runs().size()));
  }
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(ExtsortTest, SpillDirectoryNameAndRemoval) {
  std::string dir;
  {
    Runs runs(out_);
    spill_groups(runs, {{"a"}});
    dir = *runs.directory();
    const std::string prefix = out_ + "." + std::to_string(::getpid()) + ".";
    EXPECT_EQ(dir.rfind(prefix, 0), 0u);
    EXPECT_EQ(dir.substr(dir.size() - 5), ".runs");
    EXPECT_TRUE(fs::is_directory(dir));
    EXPECT_TRUE(fs::is_regular_file(dir + "/0"));
  }
  EXPECT_FALSE(fs::exists(dir));
}

TEST_F(ExtsortTest, CallbackErrorStopsReplayAndKeepsRuns) {
  std::string dir;
  {
    Runs runs(out_);
    spill_groups(runs, {{"a", "c"}, {"b", "d"}});
    dir = *runs.directory();
    std::vector<std::string> seen;
    EXPECT_THROW(runs.each([&](std::string_view k) {
      seen.emplace_back(k);
      if (k == "b") throw IndexError::build("stop");
    }),
                 IndexError);
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(replay(runs), (std::vector<std::string>{"a", "b", "c", "d"}));
  }
  EXPECT_FALSE(fs::exists(dir));
}

TEST_F(ExtsortTest, StaleDirectoryIsSkippedAndKept) {
  const std::uint64_t seq = scratch::SEQ.load();
  const std::string stale = out_ + "." + std::to_string(::getpid()) + "." + std::to_string(seq) + ".runs";
  ASSERT_EQ(::mkdir(stale.c_str(), 0777), 0);
  write_file(stale + "/0", "not ours");
  {
    Runs runs(out_);
    spill_groups(runs, {{"a"}});
    EXPECT_NE(*runs.directory(), stale);
    EXPECT_EQ(replay(runs), (std::vector<std::string>{"a"}));
  }
  EXPECT_TRUE(fs::exists(stale + "/0"));
  EXPECT_EQ(leftovers().size(), 1u);
}

TEST_F(ExtsortTest, DirectoryThatCannotBeCreated) {
  Runs runs((root_ / "missing" / "out.idx").string());
  try {
    spill_groups(runs, {{"a"}});
    FAIL() << "spilled without a directory";
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
    EXPECT_EQ(e.os_code(), ENOENT);
  }
  EXPECT_FALSE(runs.directory().has_value());
  EXPECT_TRUE(runs.runs().empty());
}

// Damaged run files: the keys before the damage come out, then the error.
TEST_F(ExtsortTest, CorruptRunFiles) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> before;
  };
  const std::vector<Case> cases = {
      {"count says 3, holds 2", le64(3) + le32(1) + "x" + le32(1) + "y", {"a", "x", "y"}},
      {"not UTF-8", le64(2) + le32(1) + "x" + le32(2) + "\xff\xfe", {"a", "x"}},
      {"length beyond the end", le64(2) + le32(1) + "x" + le32(0xFFFFFFFFu) + "yy", {"a", "x"}},
      {"cut inside a length", le64(2) + le32(1) + "x" + "\x01\x00", {"a", "x"}},
  };
  for (const Case& c : cases) {
    std::string dir;
    {
      Runs runs(out_);
      spill_groups(runs, {{"a", "y"}, {"x"}});
      dir = *runs.directory();
      write_file(dir + "/1", c.bytes);
      std::vector<std::string> seen;
      try {
        runs.each([&](std::string_view k) { seen.emplace_back(k); });
        ADD_FAILURE() << c.name << ": no error";
      } catch (const IndexError& e) {
        EXPECT_EQ(std::string(e.what()), "io error: extsort: a run file is corrupt") << c.name;
        EXPECT_EQ(e.os_code(), 0);
      }
      EXPECT_EQ(seen, c.before) << c.name;
    }
    EXPECT_FALSE(fs::exists(dir)) << c.name;
  }
  // Damage found when the merge opens: no stream at all.
  Runs runs(out_);
  spill_groups(runs, {{"a"}});
  write_file(*runs.directory() + "/0", le64(1) + le32(5) + "ab");
  EXPECT_THROW(runs.merge(), IndexError);
  write_file(*runs.directory() + "/0", "\x01");
  EXPECT_THROW(runs.merge(), IndexError);
}

TEST_F(ExtsortTest, ErrorIsStickyOnTheStream) {
  Runs runs(out_);
  spill_groups(runs, {{"a", "b"}});
  write_file(*runs.directory() + "/0", le64(2) + le32(1) + "a");
  MergedStream s = runs.merge();
  ASSERT_EQ(s.next(), std::optional<std::string_view>("a"));
  EXPECT_THROW(s.next(), IndexError);
  EXPECT_THROW(s.next(), IndexError);
}

// Run files past the reader's 1 MiB buffer, which small files never reach:
// a record straddling a refill, a key longer than the buffer (read around
// it), and a file cut inside that key.
TEST_F(ExtsortTest, RecordsAcrossTheReadBuffer) {
  const std::string a(extsort::IO_BUFFER - 100, 'a'), b(200, 'b'), c(extsort::IO_BUFFER + 5, 'c'), d = "d";
  const std::string whole = le64(4) + le32(static_cast<std::uint32_t>(a.size())) + a +
                            le32(static_cast<std::uint32_t>(b.size())) + b +
                            le32(static_cast<std::uint32_t>(c.size())) + c + le32(1) + d;
  Runs runs(out_);
  spill_groups(runs, {{a, b, c, d}});
  std::ifstream written(*runs.directory() + "/0", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), whole);
  EXPECT_EQ(replay(runs), (std::vector<std::string>{a, b, c, d}));
  write_file(*runs.directory() + "/0", whole.substr(0, whole.size() - 5 - 10));
  MergedStream s = runs.merge();
  EXPECT_EQ(s.next(), std::optional<std::string_view>(a));
  EXPECT_EQ(s.next(), std::optional<std::string_view>(b));
  EXPECT_THROW(s.next(), IndexError);
}

TEST_F(ExtsortTest, FailedPassLeavesNoDirectoryBehind) {
  std::string dir;
  {
    Runs runs(out_);
    std::vector<std::vector<std::string>> groups;
    for (int i = 0; i < 130; ++i) groups.push_back({std::string("k").append(std::to_string(1000 + i))});
    spill_groups(runs, groups);
    dir = *runs.directory();
    write_file(dir + "/5", le64(1) + le32(1) + "\x80");
    EXPECT_THROW(replay(runs), IndexError);
  }
  EXPECT_FALSE(fs::exists(dir));
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(ExtsortTest, RunFileLayout) {
  Runs runs(out_);
  spill_groups(runs, {{"", "ab"}});
  std::ifstream f(*runs.directory() + "/0", std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  EXPECT_EQ(ss.str(), le64(2) + le32(0) + le32(2) + "ab");
}

TEST_F(ExtsortTest, MergeWithoutSpillIsABrokenInvariant) {
  Runs runs(out_);
  EXPECT_THROW(runs.merge(), Panic);
}
