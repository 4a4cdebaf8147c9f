// The build command: the stream threshold and decision, the partial file's
// name, the builds of each kind on both roads, and the command's steps in
// their order (with a planner that reports what it was given).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "cli.hpp"
#include "cli_fixtures.hpp"
#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "dict_index/dict_index.hpp"
#include "perfect_hash.hpp"
#include "scratch_files.hpp"
#include "string_index.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using namespace quorvale::cli;
using namespace cli_fixtures;

namespace {

constexpr std::uint64_t GIB = std::uint64_t{1} << 30;

// Random keys of 1..24 bytes, each distinct, and a keys file of them with
// every fifth key repeated and empty lines between.
std::vector<std::string> distinct_keys(std::size_t n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::set<std::string> seen;
  std::vector<std::string> keys;
  while (keys.size() < n) {
    std::string k(1 + rng() % 24, 'a');
    for (char& c : k) c = static_cast<char>('a' + rng() % 26);
    if (seen.insert(k).second) keys.push_back(k);
  }
  return keys;
}

std::string lines_of(const std::vector<std::string>& keys, bool repeats) {
  std::string text;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    text += keys[i] + "\n";
    if (repeats && i % 5 == 0) text += "\n" + keys[i / 2] + "\r\n";
  }
  return text;
}

Fail fail_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Fail& fail) {
    return fail;
  }
  return Fail::work("<succeeded>");
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

mode_t current_umask() {
  const mode_t m = ::umask(0);
  ::umask(m);
  return m;
}

struct BuildRun {
  TempDir dir;
  FakePlanner fake;
  StringOut err;
  std::string keys = dir / "k.txt";
  std::string out = dir / "o.idx";

  void run(std::vector<std::string> args, const std::string& input = "") {
    Input in(input);
    cmd_build(parsed(Command::Build, std::move(args)), in.reader, err, fake.planner(), [] { return std::nullopt; });
  }
};

}  // namespace

TEST(BuildSteps, AvailableMemoryRule) {
  const std::string high = std::to_string(std::uint64_t{1} << 54);
  const std::string below = std::to_string((std::uint64_t{1} << 54) - 1);
  struct Case {
    std::string text;
    std::uint64_t threshold;
  } cases[] = {
      {"MemAvailable:    8000000 kB\n", 2'048'000'000},
      {"MemTotal: 99 kB\nMemFree: 1 kB\nMemAvailable: 4 kB\r\nMemAvailable: 8 kB\n", 1024},
      {"MemAvailable: +8", 2048},
      {"MemAvailable:\xc2\xa0\xe3\x80\x80" "8\tkB", 2048},  // Unicode white space splits fields
      {"MemAvailable: " + below + " kB", ((std::uint64_t{1} << 54) - 1) * 256},
      {"MemAvailable: " + high + " kB", GIB},
      {"MemAvailable: 99999999999999999999999 kB", GIB},
      {"MemTotal: 99 kB\n", GIB},
      {"", GIB},
      {"MemAvailable:\n", GIB},
      {"MemAvailable:8000000 kB\n", GIB},  // the second field is "kB"
      {"MemAvailable: -8 kB\n", GIB},
      {"MemAvailable: + kB\n", GIB},
      {"MemAvailable: 8x kB\n", GIB},
      {"MemAvailable: x kB\nMemAvailable: 8 kB\n", GIB},  // only the first line counts, even when it fails
      {" MemAvailable: 8 kB\n", GIB},
      {"MemAvailable: 8 kB\n\xff", GIB},  // the whole text must be UTF-8
  };
  for (const Case& c : cases) EXPECT_EQ(threshold_of_meminfo(c.text), c.threshold) << c.text;
}

TEST(BuildSteps, ThresholdAndStreamDecision) {
  int reads = 0;
  auto reader = [&](std::optional<std::string> text) {
    return MeminfoReader([&reads, text] {
      ++reads;
      return text;
    });
  };
  EXPECT_EQ(stream_threshold({StreamMode::Kind::Never, 0}, reader("MemAvailable: 8 kB")), std::nullopt);
  EXPECT_EQ(stream_threshold({StreamMode::Kind::Always, 0}, reader("MemAvailable: 8 kB")), 0u);
  EXPECT_EQ(stream_threshold({StreamMode::Kind::Size, 1000}, reader("MemAvailable: 8 kB")), 1000u);
  EXPECT_EQ(reads, 0);
  EXPECT_EQ(stream_threshold({StreamMode::Kind::Auto, 0}, reader("MemAvailable: 8 kB")), 2048u);
  EXPECT_EQ(stream_threshold({StreamMode::Kind::Auto, 0}, reader(std::nullopt)), GIB);
  EXPECT_EQ(reads, 2);
  // The machine's own file gives some threshold.
  EXPECT_GT(*stream_threshold({StreamMode::Kind::Auto, 0}), 0u);

  TempDir dir;
  write_file(dir / "empty", "");
  write_file(dir / "k1000", std::string(1000, 'k'));
  ASSERT_EQ(::symlink((dir / "k1000").c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir((dir / "sub").c_str(), 0700), 0);
  EXPECT_TRUE(is_streamed(dir / "empty", 0));
  EXPECT_FALSE(is_streamed(dir / "empty", std::nullopt));
  EXPECT_TRUE(is_streamed(dir / "k1000", 1000));
  EXPECT_FALSE(is_streamed(dir / "k1000", 1001));
  EXPECT_TRUE(is_streamed(dir / "link", 999));
  for (const char* never : {"fifo", "sub", "absent"}) EXPECT_FALSE(is_streamed(dir / never, 0)) << never;
  EXPECT_FALSE(is_streamed("-", 0));
  EXPECT_FALSE(is_streamed("/dev/null", 0));
}

TEST(BuildSteps, PartialPath) {
  const std::pair<const char*, const char*> cases[] = {
      {"out.bin", "out.bin.part.4242"},
      {"d/out.bin", "d/out.bin.part.4242"},
      {"/a/b/out.bin", "/a/b/out.bin.part.4242"},
      {"d/out/", "d/out.part.4242"},
      {"d/out/.", "d/out.part.4242"},
      {"./out", "./out.part.4242"},
      {"..", "../.part.4242"},
      {"d/..", "d/../.part.4242"},
      {".", "./.part.4242"},
      {"/", "/.part.4242"},
      {"", ".part.4242"},
  };
  for (auto [out, partial] : cases) EXPECT_EQ(partial_path(out, 4242), partial) << out;

  // A name too long to take the suffix and the scratch names made after it
  // gives up the end of its stem; one just short enough keeps it whole.
  TempDir dir;
  const std::size_t room = scratch::name_max(dir.path().string()) - scratch::SUFFIX_MAX - 10;
  const std::string longest(room + scratch::SUFFIX_MAX + 10, 'f');
  EXPECT_EQ(partial_path(dir / longest, 4242), dir / (longest.substr(0, room) + ".part.4242"));
  const std::string fits(room, 'g');
  EXPECT_EQ(partial_path(dir / fits, 4242), dir / fits + ".part.4242");
}

TEST(BuildKinds, RoadsWriteTheSameBlob) {
  TempDir dir;
  const std::vector<std::string> keys = distinct_keys(3000, 7);
  const std::string with_repeats = dir / "repeats.txt";
  write_file(with_repeats, lines_of(keys, true));
  struct Case {
    kinds::Kind kind;
    std::optional<std::uint64_t> block;
  } cases[] = {{kinds::Kind::CompactHashIndex, {}}, {kinds::Kind::ClosedHashIndex, {}}, {kinds::Kind::PerfectHashIndex, {}},
               {kinds::Kind::StringIndex, {}},      {kinds::Kind::DictIndex, {}},       {kinds::Kind::DictIndex, 32}};
  for (const Case& c : cases) {
    SCOPED_TRACE(kinds::of(c.kind).name);
    const std::string& file = with_repeats;
    Input in("");
    const std::uint64_t held = build_and_save(c.kind, read_keys(file, in.reader).keys, dir / "memory", c.block);
    const std::uint64_t streamed = build_streamed(c.kind, Source(file), dir / "streamed", c.block);
    EXPECT_EQ(held, keys.size());
    EXPECT_EQ(streamed, keys.size());
    EXPECT_EQ(read_file(dir / "memory"), read_file(dir / "streamed"));
    EXPECT_EQ(dir.names(), (std::set<std::string>{"repeats.txt", "memory", "streamed"}));
  }
}

// The streamed perfect-hash road's distinct keys: ascending, each once,
// on every pass, from one spilled run or merged from several that share
// keys; the runs go with the object.
TEST(BuildKinds, DistinctKeysReplayTheSameKeysOnEveryPass) {
  TempDir dir;
  const std::vector<std::string> keys = distinct_keys(400, 5);
  std::vector<std::string> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  write_file(dir / "k", lines_of(keys, true) + lines_of(keys, false));
  for (std::size_t budget : {std::size_t{1} << 20, std::size_t{256}}) {
    SCOPED_TRACE(budget);
    {
      Source source(dir / "k");
      kinds::DistinctKeys distinct(*source.keys(), dir / "out", budget);
      EXPECT_EQ(dir.names().size(), 2u);  // the spill directory
      for (int pass = 0; pass < 2; ++pass) {
        std::unique_ptr<KeySource> keys_of = distinct.pass();
        std::vector<std::string> got;
        for (std::string_view k; keys_of->next(k);) got.emplace_back(k);
        EXPECT_EQ(got, sorted);
      }
    }
    EXPECT_EQ(dir.names(), std::set<std::string>{"k"});
  }
  write_file(dir / "long", "a\n" + std::string(300, 'x') + "\n");
  Source source(dir / "long");
  try {
    kinds::DistinctKeys distinct(*source.keys(), dir / "out", 256);
    ADD_FAILURE();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.display(), std::string("format error: ") + kinds::MSG_PERFECT_OVER_BUDGET);
  }
  EXPECT_EQ(dir.names(), (std::set<std::string>{"k", "long"}));
}

TEST(BuildKinds, FixedParametersAndEmptyIndexes) {
  TempDir dir;
  const std::vector<std::string> keys = distinct_keys(500, 3);
  write_file(dir / "k", lines_of(keys, true));
  write_file(dir / "none", "\n\n");
  Input in("");
  auto held = [&] { return read_keys(dir / "k", in.reader).keys; };
  auto bytes_of = [&](const std::string& path) {
    const std::string b = read_file(path);
    return std::vector<unsigned char>(b.begin(), b.end());
  };

  build_and_save(kinds::Kind::CompactHashIndex, held(), dir / "c", {});
  EXPECT_EQ(CompactHashIndex::from_bytes(bytes_of(dir / "c")).fingerprint_bits(), 8u);
  build_and_save(kinds::Kind::PerfectHashIndex, held(), dir / "p", {});
  const PerfectHashIndex perfect = PerfectHashIndex::from_bytes(bytes_of(dir / "p"));
  EXPECT_FALSE(perfect.has_fingerprints());
  for (const std::string& k : keys) EXPECT_TRUE(perfect.contains(k));
  build_and_save(kinds::Kind::DictIndex, held(), dir / "d", {});
  EXPECT_EQ(DictIndex::from_shared(blob::SharedBytes::read_file(dir / "d"), true).block(), 256u);
  build_streamed(kinds::Kind::DictIndex, Source(dir / "k"), dir / "ds", {});
  EXPECT_EQ(DictIndex::from_shared(blob::SharedBytes::read_file(dir / "ds"), true).block(), 256u);

  // Zero keys: a valid empty blob of every kind on both roads.
  for (kinds::Kind kind : {kinds::Kind::CompactHashIndex, kinds::Kind::ClosedHashIndex, kinds::Kind::PerfectHashIndex,
                         kinds::Kind::StringIndex, kinds::Kind::DictIndex}) {
    SCOPED_TRACE(kinds::of(kind).name);
    EXPECT_EQ(build_and_save(kind, {}, dir / "m0", {}), 0u);
    EXPECT_EQ(build_streamed(kind, Source(dir / "none"), dir / "s0", {}), 0u);
    EXPECT_EQ(read_file(dir / "m0"), read_file(dir / "s0"));
    EXPECT_EQ(inspect::inspect_file(dir / "s0").keys, 0u);
  }
}

TEST(CmdBuild, OptionsAreCheckedBeforeAnythingIsRead) {
  BuildRun r;
  for (auto args : {words({"absent", "o", "--block", "64"}), words({"absent", "o", "--block=64", "--index", "string"}),
                    words({"absent", "o", "--index", "auto", "--block", "fast"})}) {
    const Fail f = fail_of([&] { r.run(args); });
    EXPECT_EQ(f.kind, Fail::Kind::Usage);
    EXPECT_EQ(f.message, "--block is the DictIndex block size and needs `--index dict`");
  }
  EXPECT_EQ(r.fake.file, "");
  EXPECT_EQ(r.err.text, "");
  const Fail f = fail_of([&] { r.run({r.keys, r.out, "--index", "dict", "--block", "64"}); });
  EXPECT_EQ(f.message, r.keys + ": No such file or directory (os error 2)");
}

TEST(CmdBuild, AutoPlansFirstAndNotesInOrder) {
  BuildRun r;
  write_file(r.keys, "b\n\na\n\n");
  r.fake.best = kinds::Kind::DictIndex;
  r.fake.block = 32;
  for (const char* stream : {"never", "always"}) {
    SCOPED_TRACE(stream);
    r.err.text.clear();
    r.fake.file.clear();
    r.fake.keys.clear();
    r.run({r.keys, r.out, "--stream", stream});
    // Keys the build holds are planned where they lie; a streamed build's
    // planner reads the file.
    const bool held = std::string(stream) == "never";
    EXPECT_EQ(r.fake.file, held ? "" : r.keys);
    EXPECT_EQ(r.fake.keys, held ? words({"b", "a"}) : std::vector<std::string>());
    const std::string planned = held ? "planned 2\n" : "planned file\n";
    const std::string wrote = "wrote " + r.out + ": DictIndex over 2 keys, ";
    EXPECT_EQ(r.err.text.rfind(planned + NOTE + r.keys + ": 2 empty lines skipped\n" + wrote, 0), 0u);
    EXPECT_EQ(DictIndex::from_shared(blob::SharedBytes::read_file(r.out), true).block(), 32u);
  }
  // From standard input: the count of empty lines, then the plan.
  r.err.text.clear();
  r.fake.best = kinds::Kind::StringIndex;
  r.run({"-", r.out, "--closed-vocabulary", "--stream", "always"}, "x\n\n\ny\nx\n");
  EXPECT_EQ(r.fake.keys, words({"x", "y", "x"}));
  EXPECT_EQ(r.err.text.rfind("-: 2 empty lines skipped\nplanned 3\nwrote " + r.out + ": StringIndex over 2 keys, ", 0), 0u);
  // A pipe is read once, as standard input is: planned in memory.
  r.err.text.clear();
  const std::string fifo = r.dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { write_file(fifo, "p\n\nq\n"); });
  r.run({fifo, r.out});
  writer.join();
  EXPECT_EQ(r.fake.keys, words({"p", "q"}));
  EXPECT_EQ(r.err.text.rfind(fifo + ": 1 empty lines skipped\nplanned 2\n" + NOTE + "wrote ", 0), 0u);
  // A planner failure ends the command; nothing is written. A keys file
  // that cannot be read whole goes to the planner, whose failure it is.
  const Fail f = fail_of([&] { r.run({"broken", r.dir / "never"}); });
  EXPECT_EQ(f.message, "io error: broken:2: not UTF-8");
  EXPECT_EQ(r.fake.file, "broken");
  EXPECT_FALSE(std::filesystem::exists(r.dir / "never"));
}

TEST(CmdBuild, StreamedFailuresLeaveNothingBehind) {
  BuildRun r;
  write_file(r.out, "old");
  write_file(r.keys, "a\n\xff\nb\n");
  for (const char* kind : {"compact", "closed", "perfect", "string", "dict"}) {
    const Fail f = fail_of([&] { r.run({r.keys, r.out, "--index", kind, "--stream", "always"}); });
    EXPECT_EQ(f.message, r.keys + ":2: stream did not contain valid UTF-8") << kind;
    EXPECT_EQ(read_file(r.out), "old");
    EXPECT_EQ(r.dir.names(), (std::set<std::string>{"k.txt", "o.idx"}));
  }
  // The empty lines of a failed streamed build are not reported; a failure
  // to write names the output.
  write_file(r.keys, "a\n\nb\na\n");
  Fail f = fail_of([&] { r.run({r.keys, r.dir / "absent/o", "--index", "perfect", "--stream", "always"}); });
  EXPECT_EQ(f.message, r.dir / "absent/o" + ": io error: No such file or directory (os error 2)");
  EXPECT_EQ(r.err.text, "");
  // The in-memory road fails as soon, before it reads the keys.
  f = fail_of([&] { r.run({r.keys, r.dir / "absent/o", "--index", "perfect", "--stream", "never"}); });
  EXPECT_EQ(f.message, r.dir / "absent/o" + ": io error: No such file or directory (os error 2)");
  EXPECT_EQ(r.err.text, "");
  // A directory at the output: the rename fails, the partial file goes.
  ASSERT_EQ(::mkdir((r.dir / "o").c_str(), 0700), 0);
  f = fail_of([&] { r.run({r.keys, r.dir / "o", "--index", "dict", "--stream", "0"}); });
  EXPECT_EQ(f.message, r.dir / "o" + ": Is a directory (os error 21)");
  EXPECT_EQ(r.dir.names(), (std::set<std::string>{"k.txt", "o.idx", "o"}));
  // A failing standard error is the I/O error's text.
  r.err.broken = true;
  f = fail_of([&] { r.run({r.keys, r.out, "--index", "dict", "--stream", "0"}); });
  EXPECT_EQ(f.message, "Broken pipe (os error 32)");
}

TEST(CmdBuild, PermissionsDifferBetweenTheRoads) {
  BuildRun r;
  write_file(r.keys, "a\nb\n");
  write_file(r.out, "old");
  ASSERT_EQ(::chmod(r.out.c_str(), 0600), 0);
  r.run({r.keys, r.out, "--index", "closed", "--stream", "never"});
  EXPECT_EQ(mode_of(r.out), 0600u);
  r.run({r.keys, r.out, "--index", "closed", "--stream", "always"});
  EXPECT_EQ(mode_of(r.out), 0666u & ~current_umask());
  const std::string line = "wrote " + r.out + ": ClosedHashIndex over 2 keys, ";
  EXPECT_EQ(r.err.text.rfind(line, 0), 0u);
  EXPECT_EQ(r.err.text.find(line, 1), r.err.text.find('\n') + 1);
}

namespace {

// Standard input (descriptor 0) reading a given file for its lifetime.
class StdinFrom {
 public:
  StdinFrom() : saved_(::dup(0)) {}
  ~StdinFrom() {
    ::dup2(saved_, 0);
    ::close(saved_);
  }
  void read(const std::string& path) {
    const File f = File::open_read(path);
    ASSERT_EQ(::dup2(f.fd(), 0), 0);
  }

 private:
  int saved_;
};

}  // namespace

// Keys from "-" whose standard input is the output file (a `<` redirection
// of it, or of a link to it) are refused before anything is read or made;
// another file on standard input, or an output that does not exist yet, is
// no refusal.
TEST(CmdBuild, StandardInputIsNeverTheOutput) {
  BuildRun r;
  write_file(r.out, "b\na\n");
  ASSERT_EQ(::link(r.out.c_str(), (r.dir / "hard").c_str()), 0);
  StdinFrom stdin_from;
  for (const std::string& redirected : {r.out, r.dir / "hard"}) {
    stdin_from.read(redirected);
    for (auto args : {words({"--index", "closed"}), words({"--index", "string", "--stream", "always"}), words({})}) {
      args.insert(args.begin(), {"-", r.out});
      const Fail f = fail_of([&] { r.run(args, "x\n"); });
      EXPECT_EQ(f.kind, Fail::Kind::Usage);
      EXPECT_EQ(f.message, "the output `" + r.out + "` is standard input: the index would overwrite its keys");
      EXPECT_EQ(read_file(r.out), "b\na\n");
      EXPECT_EQ(r.dir.names(), (std::set<std::string>{"hard", "o.idx"}));
      EXPECT_EQ(r.err.text + r.fake.file, "");
    }
  }
  write_file(r.keys, "k\n");
  stdin_from.read(r.keys);
  r.run({"-", r.out, "--index", "closed"}, "x\ny\n");
  EXPECT_EQ(r.err.text.rfind("wrote " + r.out + ": ClosedHashIndex over 2 keys, ", 0), 0u);
  stdin_from.read(r.out);
  r.err.text.clear();
  r.run({"-", r.dir / "new.idx", "--index", "closed"}, "x\n");
  EXPECT_EQ(r.err.text.rfind("wrote " + r.dir / "new.idx" + ": ClosedHashIndex over 1 keys, ", 0), 0u);
}

// A build whose blob could not be written (its directory missing, a file,
// or closed to us) fails before it plans or reads a key, with the very line
// the write itself gives.
TEST(CmdBuild, AnUnwritableOutputFailsBeforeTheWork) {
  BuildRun r;
  write_file(r.keys, "a\n\nb\n");
  write_file(r.dir / "file", "");
  std::vector<std::string> outs = {r.dir / "absent/o.idx", r.dir / "file/o.idx", r.dir / "file/deeper/o.idx"};
  if (::geteuid() != 0) {  // root writes into a read-only directory all the same
    ASSERT_EQ(::mkdir((r.dir / "ro").c_str(), 0500), 0);
    outs.push_back(r.dir / "ro/o.idx");
  }
  for (const std::string& out : outs) {
    SCOPED_TRACE(out);
    // What the write gives on each road, reached without the check.
    auto written = [&](const std::function<void()>& write) {
      try {
        write();
      } catch (const IndexError& e) {
        return Fail::about(out, e).message;
      }
      return std::string("<written>");
    };
    const std::string in_memory = written([&] { build_and_save(kinds::Kind::StringIndex, {}, out, {}); });
    const std::string streamed = written([&] {
      build_streamed(kinds::Kind::PerfectHashIndex, Source(r.keys), partial_path(out, ::getpid()), {});
    });
    EXPECT_EQ(in_memory, streamed);
    for (const char* stream : {"never", "always"}) {
      for (auto args : {words({"--index", "string"}), words({"--index", "perfect"}), words({})}) {
        args.insert(args.begin(), {r.keys, out, "--stream", stream});
        r.err.text.clear();
        const Fail f = fail_of([&] { r.run(args); });
        EXPECT_EQ(f.kind, Fail::Kind::Work);
        EXPECT_EQ(f.message, in_memory) << stream;
        EXPECT_EQ(r.err.text + r.fake.file, "");
      }
    }
    // Nor is standard input read.
    Input in("x\n");
    const Fail f = fail_of([&] {
      cmd_build(parsed(Command::Build, {"-", out}), in.reader, r.err, r.fake.planner(), [] { return std::nullopt; });
    });
    EXPECT_EQ(f.message, in_memory);
    std::string_view line;
    bool checked = false;
    EXPECT_TRUE(in.reader.next_line(line, checked));
    EXPECT_EQ(line, "x");
  }
  std::set<std::string> names = {"k.txt", "file"};
  if (::geteuid() != 0) names.insert("ro");
  EXPECT_EQ(r.dir.names(), names);
}
