#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
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
