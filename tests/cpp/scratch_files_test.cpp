#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "blob.hpp"
#include "compact_hash/scratch.hpp"
#include "extsort/extsort.hpp"
#include "perfect_hash.hpp"
#include "scratch_files.hpp"
#include "temp_dir.hpp"

using namespace quorvale;

namespace {

std::string numbered(const std::string& base, std::uint64_t seq, const char* ext) {
  return base + "." + std::to_string(::getpid()) + "." + std::to_string(seq) + ext;
}

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const IndexError& e) {
    return e.what();
  }
  return "";
}

}  // namespace

// The temporary file, the spill file and both kinds of spill directory
// beside one output number their names from one counter: the external
// sort's directory and the keyless builds' directory, both ".runs", can
// never be given the same name.
TEST(ScratchFiles, EveryKindOfNameTakesTheOneCounter) {
  TempDir dir;
  const std::string out = dir / "out";
  const std::uint64_t s = scratch::SEQ.load();
  std::string temp;
  blob::write_atomically_with(out, [&](File&) {
    for (const std::string& name : dir.names()) temp = dir / name;
  });
  EXPECT_EQ(temp, numbered(out, s, ".tmp"));
  {
    const perfect_hash::Spill spill = perfect_hash::Spill::create(out);
    EXPECT_TRUE(std::filesystem::exists(numbered(out, s + 1, ".spill")));
  }
  extsort::Runs runs(out);
  compact_hash::Scratch keyless(out, 1);
  EXPECT_EQ(runs.dir(), numbered(out, s + 2, ".runs"));
  EXPECT_EQ(keyless.dir(), numbered(out, s + 3, ".runs"));
}

// A name left by a dead process that had our id is skipped and kept, for
// files and directories alike; when every name tried is taken the creation
// gives up, and a missing parent fails at once; neither leaves anything.
TEST(ScratchFiles, TakenNamesAreSkippedThenGivenUp) {
  struct Kind {
    const char* name;
    const char* ext;
    std::function<std::string(const std::string&)> make;
  };
  const Kind kinds[] = {
      {"file", ".spill", [](const std::string& base) { return scratch::create_file_beside(base, ".spill").second; }},
      {"directory", ".runs", [](const std::string& base) { return scratch::make_dir(base); }},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    TempDir dir;
    const std::string base = dir / "out";
    std::uint64_t s = scratch::SEQ.load();
    write_file(numbered(base, s, kind.ext), "stale");
    EXPECT_EQ(kind.make(base), numbered(base, s + 1, kind.ext));
    EXPECT_EQ(read_file(numbered(base, s, kind.ext)), "stale");
    std::filesystem::remove(numbered(base, s, kind.ext));
    std::filesystem::remove(numbered(base, s + 1, kind.ext));

    s = scratch::SEQ.load();
    for (int i = 0; i < scratch::ATTEMPTS; ++i) write_file(numbered(base, s + i, kind.ext), "");
    EXPECT_EQ(error_of([&] { kind.make(base); }), "io error: entity already exists");
    EXPECT_EQ(dir.names().size(), static_cast<std::size_t>(scratch::ATTEMPTS));

    s = scratch::SEQ.load();
    EXPECT_EQ(error_of([&] { kind.make(dir / "missing/out"); }), "io error: No such file or directory (os error 2)");
    EXPECT_EQ(scratch::SEQ.load(), s + 1);
  }
}

// A stem gives way to the suffix, never by half a character: the cut backs
// up to the first byte of a UTF-8 sequence it would split, and bytes that
// are no UTF-8 are cut where they fall.
TEST(ScratchFiles, StemsAreCutAtCharacterBoundaries) {
  const struct {
    std::string stem;
    std::size_t suffix, limit;
    std::string kept;
  } cases[] = {
      {"abcdef", 4, 10, "abcdef"},
      {"abcdefg", 4, 10, "abcdef"},
      {"ab\xc3\xa9" "cd", 4, 4 + 4, "ab\xc3\xa9"},      // é ends at the cut
      {"ab\xc3\xa9" "cd", 4, 4 + 3, "ab"},              // é would be split
      {"a\xe2\x82\xac" "b", 4, 4 + 3, "a"},             // € split after its 2nd byte
      {"a\xf0\x9f\x98\x80" "b", 4, 4 + 4, "a"},         // an emoji split after its 3rd byte
      {"a\x80\x80\x80\x80\x80", 4, 4 + 4, "a\x80\x80\x80"},  // no UTF-8: cut where it falls
      {"abc", 12, 10, ""},                              // the suffix alone is too long
  };
  for (const auto& c : cases) EXPECT_EQ(scratch::fit_stem(c.stem, c.suffix, c.limit), c.kept) << c.stem << " " << c.limit;
}

// Every scratch name beside an output whose name is as long as the
// directory allows fits, keeps its whole suffix, and stays distinct from
// the names made beside another such output sharing the shortened stem.
TEST(ScratchFiles, LongestOutputNamesGetNamesThatFit) {
  TempDir dir;
  const std::size_t limit = scratch::name_max(dir.path().string());
  const std::string stem(limit - 5, 'f');
  const std::string a = dir / (stem + "a.idx"), b = dir / (stem + "b.idx");
  auto name_of = [](const std::string& path) { return std::filesystem::path(path).filename().string(); };
  std::string pid(".");
  pid += std::to_string(::getpid());
  pid += ".";

  auto [fa, ta] = scratch::create_file_beside(a, ".tmp");
  auto [fb, tb] = scratch::create_file_beside(b, ".spill");
  const std::string da = scratch::make_dir(a), db = scratch::make_dir(b);
  for (const std::string& made : {ta, tb, da, db}) {
    const std::string name = name_of(made);
    EXPECT_LE(name.size(), limit) << name;
    EXPECT_EQ(name.rfind(stem.substr(0, 100) , 0), 0u) << name;
    EXPECT_NE(name.find(pid), std::string::npos) << name;
  }
  EXPECT_TRUE(ta.ends_with(".tmp") && tb.ends_with(".spill") && da.ends_with(".runs") && db.ends_with(".runs"));
  EXPECT_EQ(dir.names().size(), 4u);
  EXPECT_NE(da, db);

  // The atomic writer writes such a target, and leaves only it.
  std::filesystem::remove(ta);
  std::filesystem::remove(tb);
  scratch::remove_tree(da);
  scratch::remove_tree(db);
  blob::write_atomically_with(a, [](File& f) { f.write_all(std::string_view("blob")); });
  EXPECT_EQ(read_file(a), "blob");
  EXPECT_EQ(dir.names(), std::set<std::string>{name_of(a)});
}
