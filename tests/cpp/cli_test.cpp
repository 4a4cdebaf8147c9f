// The command line: the parser, the frame's dispatch and reports, keys
// files, the streams, and the inspect and plan commands with their output
// routines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "blob_fixtures.hpp"
#include "cli.hpp"
#include "cli_fixtures.hpp"
#include "dict_fixtures.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using namespace quorvale::cli;
using namespace cli_fixtures;
using blob_fixtures::Bytes;

namespace {

// The failure parsing `args` for a command raises.
Fail parse_fail(Command command, std::vector<std::string> args) {
  const std::size_t count = command == Command::Build ? 2 : 1;
  try {
    parse(args, command, count, "usage line");
  } catch (const Fail& f) {
    return f;
  }
  return Fail::work("<parsed>");
}

struct Ran {
  int status;
  std::string out;
  std::string err;
};

Ran run_args(std::vector<std::string> args, const std::string& input = "") {
  Input in(input);
  StringOut out, err;
  const int status = run_on(args, Streams{in.reader, out, err});
  return {status, out.text, err.text};
}

}  // namespace

// ---- parsing ----

TEST(CliParse, Values) {
  EXPECT_EQ(parsed(Command::Build, words({"k", "o", "--block", "+64"})).block, 64u);
  EXPECT_EQ(parsed(Command::Build, words({"k", "o", "--block=fast"})).block, 32u);
  EXPECT_EQ(parsed(Command::Build, words({"k", "o", "--block", "balanced"})).block, 256u);
  EXPECT_EQ(parsed(Command::Build, words({"k", "o", "--block", "compact", "--block", "1024"})).block, 1024u);
  EXPECT_EQ(parsed(Command::Build, words({"k", "o", "--stream", "512m"})).stream,
            (StreamMode{StreamMode::Kind::Size, 536870912}));
  EXPECT_EQ(parsed(Command::Build, words({"k", "o", "--stream=4G"})).stream.size, 4294967296u);
  EXPECT_EQ(parsed(Command::Build, words({"k", "o", "--stream", "+7K"})).stream.size, 7168u);
  EXPECT_EQ(parsed(Command::Build, words({"k", "o", "--stream", "0"})).stream,
            (StreamMode{StreamMode::Kind::Size, 0}));
  EXPECT_EQ(parsed(Command::Build, words({"k", "o", "--stream", "never"})).stream.kind, StreamMode::Kind::Never);
  EXPECT_EQ(parsed(Command::Build, words({"k", "o"})).stream.kind, StreamMode::Kind::Auto);
  using kinds::Kind;
  const std::pair<const char*, std::optional<Kind>> index_words[] = {
      {"dict", Kind::DictIndex},          {"string", Kind::StringIndex},      {"compact", Kind::CompactHashIndex},
      {"closed", Kind::ClosedHashIndex}, {"perfect", Kind::PerfectHashIndex}, {"auto", std::nullopt}};
  for (auto [word, kind] : index_words)
    EXPECT_EQ(parsed(Command::Build, words({"k", "o", "--index", word})).index, kind) << word;
  EXPECT_EQ(parsed(Command::Build, words({"k", "o", "--index=dict", "--index", "auto"})).index, std::nullopt);

  Objective w = parsed(Command::Plan, words({"k", "--objective", "hits=9,misses=1"})).objective;
  EXPECT_EQ(w.tag, Objective::Tag::Workload);
  EXPECT_EQ(w.workload, (Workload{9, 1, 0, 0, 0, 0, 0}));
  w = parsed(Command::Plan, words({"k", "--objective=batch=4294967295,hits=1,hits=+3,common_prefix=2"})).objective;
  EXPECT_EQ(w.workload, (Workload{3, 0, 0, 0, 2, 0, 4294967295u}));
  EXPECT_EQ(parsed(Command::Plan, words({"k", "--objective", "balanced"})).objective.tag, Objective::Tag::Balanced);
  EXPECT_EQ(parsed(Command::Plan, words({"--objective", "latency", "k"})).objective.tag, Objective::Tag::Latency);
}

TEST(CliParse, PositionalsAndImpliedExact) {
  Cmd c = parsed(Command::Plan, words({"-"}));
  EXPECT_EQ(c.positionals, words({"-"}));
  EXPECT_TRUE(c.needs.exact);
  EXPECT_TRUE(c.exact_implied);
  c = parsed(Command::Build, words({"a=b", "", "--reverse"}));
  EXPECT_EQ(c.positionals, words({"a=b", ""}));
  EXPECT_TRUE(c.needs.reverse);
  EXPECT_TRUE(c.exact_implied);
  c = parsed(Command::Plan, words({"k", "--exact"}));
  EXPECT_TRUE(c.needs.exact);
  EXPECT_FALSE(c.exact_implied);
  c = parsed(Command::Plan, words({"k", "--closed-vocabulary", "--fuzzy=no"}));  // a flag ignores its value
  EXPECT_FALSE(c.needs.exact);
  EXPECT_FALSE(c.exact_implied);
  EXPECT_TRUE(c.needs.fuzzy);
  c = parsed(Command::Inspect, words({"x", "--sections"}));
  EXPECT_TRUE(c.sections);
  EXPECT_FALSE(c.needs.exact);  // only plan and build imply it
  // A value is the next argument whatever it looks like.
  EXPECT_EQ(parse_fail(Command::Build, {"k", "o", "--index", "--exact"}).message, "--index: no such index `--exact`");
}

TEST(CliParse, Failures) {
  const std::string OBJECTIVE_PIECE =
      "` is not op=weight, with op one of hits / misses / reverse / prefix / common_prefix / longest_prefix / batch";
  struct Case {
    Command command;
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {Command::Plan, {}, "expected `quorvale usage line`"},
      {Command::Plan, {"a", "b"}, "expected `quorvale usage line`"},
      {Command::Plan, {"k", "-V"}, "no such option `-V`"},
      {Command::Inspect, {"x", "--reverse"}, "no such option `--reverse`"},
      {Command::Plan, {"k", "--sections"}, "no such option `--sections`"},
      {Command::Plan, {"k", "--foo=1"}, "no such option `--foo`"},
      {Command::Plan, {"k", "-a=b"}, "no such option `-a=b`"},
      {Command::Plan, {"k", "--index", "dict"}, "no such option `--index`"},
      {Command::Dump, {"k", "--exact"}, "no such option `--exact`"},
      // Options are examined before the positional count.
      {Command::Plan, {"--bad", "a", "b"}, "no such option `--bad`"},
      {Command::Build, {"k", "o", "--block", "0"}, "--block: 0 is outside 1..=1024"},
      {Command::Build, {"k", "o", "--block", "1025"}, "--block: 1025 is outside 1..=1024"},
      {Command::Build, {"k", "o", "--block="}, "--block: `` is neither a number nor one of fast / balanced / compact"},
      {Command::Build, {"k", "o", "--block", "+"}, "--block: `+` is neither a number nor one of fast / balanced / compact"},
      {Command::Build, {"k", "o", "--block", "-5"}, "--block: `-5` is neither a number nor one of fast / balanced / compact"},
      {Command::Build, {"k", "o", "--block", "Fast"}, "--block: `Fast` is neither a number nor one of fast / balanced / compact"},
      {Command::Build, {"k", "o", "--block", "18446744073709551616"},
       "--block: `18446744073709551616` is neither a number nor one of fast / balanced / compact"},
      {Command::Build, {"k", "o", "--block"}, "--block needs a value"},
      {Command::Build, {"k", "o", "--stream", "G"},
       "--stream: `G` is neither a size (1000, 512M, 4G) nor one of auto / always / never"},
      {Command::Build, {"k", "o", "--stream", "-1"},
       "--stream: `-1` is neither a size (1000, 512M, 4G) nor one of auto / always / never"},
      {Command::Build, {"k", "o", "--stream", "17179869184G"},
       "--stream: `17179869184G` is neither a size (1000, 512M, 4G) nor one of auto / always / never"},
      {Command::Build, {"k", "o", "--stream", "5KB"},
       "--stream: `5KB` is neither a size (1000, 512M, 4G) nor one of auto / always / never"},
      {Command::Plan, {"k", "--objective", "fast"},
       "--objective: `fast` is not one of memory / latency / balanced, or a workload such as hits=9,misses=1"},
      {Command::Plan, {"k", "--objective", "hits=9,misses=1,"}, "--objective: `" + OBJECTIVE_PIECE},
      {Command::Plan, {"k", "--objective", "batch=4294967296"}, "--objective: `batch=4294967296" + OBJECTIVE_PIECE},
      {Command::Plan, {"k", "--objective", "hits=1,size=2"}, "--objective: `size=2" + OBJECTIVE_PIECE},
      {Command::Plan, {"k", "--objective", "hits=-1"}, "--objective: `hits=-1" + OBJECTIVE_PIECE},
      {Command::Plan, {"k", "--objective", "=,hits=1"}, "--objective: `=" + OBJECTIVE_PIECE},
      {Command::Build, {"k", "o", "--index", "trie"}, "--index: no such index `trie`"},
      {Command::Build, {"k", "o", "--index"}, "--index needs a value"},
  };
  for (const Case& c : cases) {
    Fail f = parse_fail(c.command, c.args);
    EXPECT_EQ(f.kind, Fail::Kind::Usage) << c.message;
    EXPECT_EQ(f.message, c.message);
  }
}

// ---- the frame ----

TEST(CliFrame, HelpVersionAndReports) {
  const std::string& usage = usage_text();
  EXPECT_EQ(usage.substr(0, 9 + std::string(version()).size()), std::string("quorvale ") + version());
  EXPECT_EQ(usage.back(), '\n');

  Ran r = run_args({});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quorvale: no subcommand\n\n" + usage + "\n");
  EXPECT_EQ(r.out, "");

  for (auto args : {words({"help", "x"}), words({"build", "k", "o", "-h"}), words({"plan", "--index", "-h"}),
                    words({"-V", "--help"}), words({"frob", "--help"})}) {
    r = run_args(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");
  }
  for (auto args : {words({"-V"}), words({"--version", "x"}), words({"-V", "plan"})}) {
    r = run_args(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("quorvale ") + version() + "\n");
  }
  r = run_args({"--help=x"});  // not help
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "quorvale: no such subcommand `--help=x`");

  r = run_args({"frob"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "quorvale: no such subcommand `frob`\n\n" + usage + "\n");
  r = run_args({"plan", "k", "-V"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.substr(0, r.err.find('\n')), "quorvale: no such option `-V`");

  // A work failure is one line, status 1.
  TempDir dir;
  r = run_args({"inspect", dir / "absent"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quorvale: " + (dir / "absent") + ": io error: No such file or directory (os error 2)\n");
}

namespace {
volatile sig_atomic_t own_handler_saw = 0;
extern "C" void own_handler(int signal) { own_handler_saw = signal; }
}  // namespace

// While a run holds the signals, SIGINT and SIGTERM only record themselves:
// the command stops with "interrupted" and 128 + the signal, and leaves no
// output. Afterwards the handlers before are back, and an ignored signal was
// never taken over.
TEST(CliFrame, SignalsStopTheCommandAndAreGivenBack) {
  TempDir dir;
  write_file(dir / "k", "a\nb\n");
  struct sigaction own {}, before_int {}, before_term {};
  own.sa_handler = own_handler;
  sigemptyset(&own.sa_mask);
  ASSERT_EQ(::sigaction(SIGINT, &own, &before_int), 0);
  ASSERT_EQ(::sigaction(SIGTERM, &own, &before_term), 0);
  for (int signal : {SIGINT, SIGTERM}) {
    for (const char* stream : {"never", "always"}) {
      {
        const SignalScope scope;
        EXPECT_EQ(interrupted(), 0);
        ::raise(signal);
        EXPECT_EQ(interrupted(), signal);
        const Ran r = run_args({"build", dir / "k", dir / "o", "--index", "string", "--stream", stream});
        EXPECT_EQ(r.status, 128 + signal);
        EXPECT_EQ(r.err, "quorvale: interrupted\n");
      }
      EXPECT_EQ(interrupted(), 0);
      EXPECT_EQ(dir.names(), std::set<std::string>{"k"});
      own_handler_saw = 0;
      ::raise(signal);
      EXPECT_EQ(own_handler_saw, signal);
    }
  }
  // An ignored signal stays ignored, and so is not recorded.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGINT, &ignore, nullptr), 0);
  {
    const SignalScope scope;
    ::raise(SIGINT);
    EXPECT_EQ(interrupted(), 0);
  }
  struct sigaction now {};
  ASSERT_EQ(::sigaction(SIGINT, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  ::sigaction(SIGINT, &before_int, nullptr);
  ::sigaction(SIGTERM, &before_term, nullptr);
}

TEST(CliFrame, WriteFailures) {
  Input in("");
  StringOut out, err;
  out.broken = true;
  std::vector<std::string> args = {"-V"};
  EXPECT_EQ(run_on(args, Streams{in.reader, out, err}), 1);
  EXPECT_EQ(err.text, "quorvale: Broken pipe (os error 32)\n");
  // A report nobody can read still gives the status.
  err.broken = true;
  args = {"frob"};
  EXPECT_EQ(run_on(args, Streams{in.reader, out, err}), 2);
}

TEST(CliStreams, DescriptorsAndBuffers) {
  signal(SIGPIPE, SIG_IGN);  // as under the interpreter: a gone reader is EPIPE
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  {
    FdOut line(fds[1], true);
    line.write_all("ab");
    line.write_all("c\nde");
    char buf[16] = {};
    ASSERT_EQ(read(fds[0], buf, sizeof buf), 4);  // up to the last line feed
    EXPECT_EQ(std::string(buf, 4), "abc\n");
    line.flush();
    ASSERT_EQ(read(fds[0], buf, sizeof buf), 2);
    EXPECT_EQ(std::string(buf, 2), "de");

    BufOut buffered(line);
    buffered.write_all("x\n");
    buffered.drain();
    ASSERT_EQ(read(fds[0], buf, sizeof buf), 2);
    const std::string big(BufOut::CAPACITY + 5, 'y');
    close(fds[0]);
    EXPECT_THROW(buffered.write_all(big + "\n"), IndexError);
  }
  close(fds[1]);
  // A closed descriptor swallows writes and reads as empty.
  FdOut closed(fds[1], false);
  EXPECT_NO_THROW(closed.write_all("gone"));
  LineReader empty(fds[0]);
  std::string_view line;
  bool checked;
  EXPECT_FALSE(empty.next_line(line, checked));
}

// ---- keys files ----

namespace {

KeysRead keys_of_file(const std::string& content) {
  TempDir dir;
  write_file(dir / "keys", content);
  Input none("");
  return read_keys(dir / "keys", none.reader);
}

std::vector<std::string> drain(const Source& source) {
  std::vector<std::string> out;
  auto stream = source.keys();
  for (std::string_view k; stream->next(k);) out.emplace_back(k);
  return out;
}

}  // namespace

TEST(KeysFile, Lines) {
  struct Case {
    std::string content;
    std::vector<std::string> keys;
    std::uint64_t empty;
  };
  const Case cases[] = {
      {"", {}, 0},
      {"a\n\nb\n", {"a", "b"}, 1},
      {"a\r\n\r\nb\r\n", {"a", "b"}, 1},
      {"a\nb", {"a", "b"}, 0},
      {"a\nb\r", {"a", "b"}, 0},
      {"a\n\r", {"a"}, 1},
      {"  \n\t\n", {"  ", "\t"}, 0},
      {"x\ry\n\n\n", {"x\ry"}, 2},
      {"b\na\nb\n", {"b", "a", "b"}, 0},
      {"\xc3\xa9t\xc3\xa9\n", {"\xc3\xa9t\xc3\xa9"}, 0},
  };
  for (const Case& c : cases) {
    KeysRead r = keys_of_file(c.content);
    EXPECT_EQ(strings(r.keys), c.keys) << c.content;
    EXPECT_EQ(r.empty_lines, c.empty) << c.content;

    TempDir dir;
    write_file(dir / "keys", c.content);
    Source source(dir / "keys");
    EXPECT_EQ(drain(source), c.keys);
    EXPECT_EQ(source.empty_lines(), c.empty);
    EXPECT_FALSE(source.failure());
  }
  // A long line crosses the reader's buffer.
  const std::string long_key(3 * LineReader::CAPACITY + 11, 'k');
  EXPECT_EQ(strings(keys_of_file("a\n" + long_key + "\nz").keys), words({"a", long_key.c_str(), "z"}));
}

TEST(KeysFile, Failures) {
  TempDir dir;
  write_file(dir / "bad", "a\nb\nc\n\n\xff\xfe\nf\n");
  Input none("");
  try {
    read_keys(dir / "bad", none.reader);
    ADD_FAILURE();
  } catch (const Fail& f) {
    EXPECT_EQ(f.kind, Fail::Kind::Work);
    EXPECT_EQ(f.message, dir / "bad" + ":5: stream did not contain valid UTF-8");
  }
  try {
    read_keys(dir / "absent", none.reader);
    ADD_FAILURE();
  } catch (const Fail& f) {
    EXPECT_EQ(f.message, dir / "absent" + ": No such file or directory (os error 2)");
  }
  try {
    read_keys(dir.path().string(), none.reader);
    ADD_FAILURE();
  } catch (const Fail& f) {
    EXPECT_EQ(f.message, dir.path().string() + ":1: Is a directory (os error 21)");
  }

  Source bad(dir / "bad");
  EXPECT_EQ(drain(bad), words({"a", "b", "c"}));
  ASSERT_TRUE(bad.failure());
  EXPECT_EQ(bad.failure()->message, dir / "bad" + ":5: stream did not contain valid UTF-8");
  EXPECT_EQ(bad.empty_lines(), 1u);

  Source absent(dir / "absent");
  EXPECT_TRUE(drain(absent).empty());
  ASSERT_TRUE(absent.failure());
  EXPECT_EQ(absent.failure()->message, dir / "absent" + ": No such file or directory (os error 2)");
  EXPECT_EQ(absent.take_failure()->kind, Fail::Kind::Work);
  EXPECT_FALSE(absent.failure());
}

TEST(KeysFile, StandardInputAndPasses) {
  Input in("b\n\n\na\n");
  KeysRead r = read_keys("-", in.reader);
  EXPECT_EQ(strings(r.keys), words({"b", "a"}));
  EXPECT_EQ(r.empty_lines, 2u);

  Input bad("ok\n\xc0\n");
  try {
    read_keys("-", bad.reader);
    ADD_FAILURE();
  } catch (const Fail& f) {
    EXPECT_EQ(f.message, "-:2: stream did not contain valid UTF-8");
  }

  // Each pass counts its own empty lines; streams are independent.
  TempDir dir;
  write_file(dir / "keys", "a\n\nb\n\n");
  Source source(dir / "keys");
  auto first = source.keys();
  auto second = source.keys();
  std::string_view k;
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(first->next(k));
  EXPECT_FALSE(first->next(k));
  EXPECT_EQ(source.empty_lines(), 2u);
  EXPECT_EQ(drain(source), words({"a", "b"}));
  EXPECT_EQ(source.empty_lines(), 2u);
  ASSERT_TRUE(second->next(k));
  EXPECT_EQ(k, "a");
}

TEST(KeysFile, AStreamStopsAtAKeyPastItsLimit) {
  TempDir dir;
  const std::string path = dir / "keys";
  write_file(path, "a\n\n" + std::string(64, 'k') + "\r\n" + std::string(65, 'k') + "\nb\n");
  const Source source(path, 64, "dict: a key longer than the run budget");
  auto stream = source.keys();
  std::string_view k;
  ASSERT_TRUE(stream->next(k));
  ASSERT_TRUE(stream->next(k));
  EXPECT_EQ(k, std::string(64, 'k'));
  // Thrown at once, so the build stops there, and left in the slot.
  const std::string message = path + ":4: format error: dict: a key longer than the run budget";
  try {
    stream->next(k);
    ADD_FAILURE();
  } catch (const Fail& f) {
    EXPECT_EQ(f.kind, Fail::Kind::Work);
    EXPECT_EQ(f.message, message);
  }
  EXPECT_FALSE(stream->next(k));
  ASSERT_TRUE(source.failure());
  EXPECT_EQ(source.failure()->message, message);
  EXPECT_EQ(source.empty_lines(), 1u);
  // The in-memory reader keeps every key.
  Input none("");
  EXPECT_EQ(read_keys(path, none.reader).keys.size(), 4u);
}

// ---- commands ----

TEST(CliCommands, Plan) {
  EXPECT_EQ(NOTE.size(), 240u);
  FakePlanner fake;
  Planner planner = fake.planner();
  Input in("b\n\n\na\n");
  StringOut out, err;
  cmd_plan(parsed(Command::Plan, words({"-"})), in.reader, out, err, planner);
  EXPECT_EQ(fake.keys, words({"b", "a"}));
  EXPECT_EQ(out.text, "planned 2\n");
  EXPECT_EQ(err.text, "-: 2 empty lines skipped\n" + NOTE);

  for (auto args : {words({"k", "--fuzzy"}), words({"k", "--closed-vocabulary"}), words({"k", "--objective", "reverse=1"}),
                    words({"k", "--exact"}), words({"k", "--objective=longest_prefix=3"})}) {
    StringOut o, e;
    cmd_plan(parsed(Command::Plan, args), in.reader, o, e, planner);
    EXPECT_EQ(fake.file, "k");
    EXPECT_EQ(o.text, "planned file\n");
    EXPECT_EQ(e.text, "") << args[1];
  }
  StringOut o, e;
  cmd_plan(parsed(Command::Plan, words({"k", "--objective", "hits=1,reverse=0"})), in.reader, o, e, planner);
  EXPECT_EQ(e.text, NOTE);

  try {
    cmd_plan(parsed(Command::Plan, words({"broken"})), in.reader, o, e, planner);
    ADD_FAILURE();
  } catch (const Fail& f) {
    EXPECT_EQ(f.message, "io error: broken:2: not UTF-8");
  }
  StringOut gone;
  gone.broken = true;
  try {
    cmd_plan(parsed(Command::Plan, words({"k"})), in.reader, gone, e, planner);
    ADD_FAILURE();
  } catch (const Fail& f) {
    EXPECT_EQ(f.message, "Broken pipe (os error 32)");
  }
}

TEST(CliCommands, NotesAndKeys) {
  StringOut err;
  note_implied_exact(true, Needs{}, err);
  EXPECT_EQ(err.text, NOTE);
  err.text.clear();
  note_implied_exact(false, Needs{}, err);
  note_implied_exact(true, Needs{false, true, false, false, true}, err);
  EXPECT_EQ(err.text, "");

  TempDir dir;
  write_file(dir / "out.bin", std::string(1234, 'x'));
  note_written(kinds::Kind::DictIndex, 0, dir / "out.bin", err);
  note_written(kinds::Kind::CompactHashIndex, 1000, dir / "out.bin", err);
  EXPECT_EQ(err.text, "wrote " + (dir / "out.bin") + ": DictIndex over 0 keys, 1234 bytes (1234.00 B/key)\n" +
                          "wrote " + (dir / "out.bin") + ": CompactHashIndex over 1000 keys, 1234 bytes (1.23 B/key)\n");
  try {
    note_written(kinds::Kind::StringIndex, 1, dir / "absent", err);
    ADD_FAILURE();
  } catch (const Fail& f) {
    EXPECT_EQ(f.message, dir / "absent" + ": No such file or directory (os error 2)");
  }

  StringOut out;
  write_key(out, "alpha", 0);
  write_key(out, "", 1);
  EXPECT_EQ(out.text, "alpha\n\n");
  for (const char* key : {"a\rb", "a\n", "\r"}) {
    try {
      write_key(out, key, 7);
      ADD_FAILURE();
    } catch (const Fail& f) {
      EXPECT_EQ(f.kind, Fail::Kind::Work);
      EXPECT_EQ(f.message, "id 7 holds a line break, which one key per line cannot carry");
    }
  }
  EXPECT_EQ(out.text, "alpha\n\n");
}

TEST(CliCommands, Inspect) {
  using namespace blob_fixtures;
  TempDir dir;
  Bytes perfect = made("BMP8", 36 + 10 + 5);
  put64(perfect, 4, 3);
  put64(perfect, 12, 10);
  write_file(dir / "p.bin", std::string(perfect.begin(), perfect.end()));
  const std::string PERFECT_LINES =
      "kind: PerfectHashIndex\nformat: BMP8\nbytes: 51\nkeys: 3\nmph_bytes: 10\narena_bytes: 5\nside_entries: 0\n";
  StringOut out;
  cmd_inspect(parsed(Command::Inspect, words({(dir / "p.bin").c_str()})), out);
  EXPECT_EQ(out.text, PERFECT_LINES);

  out.text.clear();
  try {
    cmd_inspect(parsed(Command::Inspect, words({(dir / "p.bin").c_str(), "--sections"})), out);
    ADD_FAILURE();
  } catch (const Fail& f) {
    EXPECT_EQ(f.message, dir / "p.bin" + ": --sections is a DictIndex's byte split, and this is a PerfectHashIndex");
  }
  EXPECT_EQ(out.text, PERFECT_LINES);

  const Bytes base = string_index(numbered(10));
  const Bytes over = overlay_v2(1, base, {"x", "yy", "zzz"}, {0b101});
  write_file(dir / "o.bin", std::string(over.begin(), over.end()));
  out.text.clear();
  cmd_inspect(parsed(Command::Inspect, words({(dir / "o.bin").c_str()})), out);
  EXPECT_EQ(out.text, "kind: Overlay\nformat: OVL2\nbytes: " + std::to_string(over.size()) +
                          "\nkeys: 11\noverlay.base_tag: 1\noverlay.additions: 3\noverlay.retired: 2\n"
                          "base.kind: StringIndex\nbase.format: BIX4\nbase.bytes: " +
                          std::to_string(base.size()) + "\nbase.keys: 10\n");

  write_file(dir / "junk", "JUNKJUNK");
  try {
    cmd_inspect(parsed(Command::Inspect, words({(dir / "junk").c_str()})), out);
    ADD_FAILURE();
  } catch (const Fail& f) {
    EXPECT_EQ(f.message, dir / "junk" + ": format error: not a quorvale blob: unknown magic");
  }
}

TEST(CliCommands, Sections) {
  DictSections split;
  split.keys = 3;
  split.bytes = {72, 10, 4, 0, 20, 9, 17, 0, 0, 2, 0, 3, 6, 1, 56};
  split.restarts = 5;
  split.entries = 6;
  split.wide = 1;
  StringOut out;
  print_sections(split, out);
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < out.text.size();) {
    const std::size_t end = out.text.find('\n', at);
    lines.push_back(out.text.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(lines.size(), 19u);
  EXPECT_EQ(lines[0], "sections.header: 72 (24.0000 B/key, 36.00 %)");
  EXPECT_EQ(lines[1], "sections.tables: 10 (3.3333 B/key, 5.00 %)");
  EXPECT_EQ(lines[3], "sections.phrases: 0 (0.0000 B/key, 0.00 %)");
  EXPECT_EQ(lines[14], "sections.entry_codes: 56 (18.6667 B/key, 28.00 %)");
  EXPECT_EQ(lines[15], "sections.total: 200 (66.6667 B/key, 100.00 %)");
  EXPECT_EQ(lines[16], "sections.restarts: 5");
  EXPECT_EQ(lines[17], "sections.entries: 6");
  EXPECT_EQ(lines[18], "sections.wide: 1");

  // No keys divides by one; no bytes shares nothing.
  out.text.clear();
  print_sections(DictSections{}, out);
  EXPECT_EQ(out.text.substr(0, out.text.find('\n')), "sections.header: 0 (0.0000 B/key, 0.00 %)");
}

TEST(CliCommands, SectionsOfADictionaryBlob) {
  TempDir dir;
  const Bytes blob = dictfix::key_a_index();
  write_file(dir / "d.bin", std::string(blob.begin(), blob.end()));
  StringOut out;
  cmd_inspect(parsed(Command::Inspect, words({(dir / "d.bin").c_str(), "--sections"})), out);
  const std::string text = out.text;
  ASSERT_NE(text.find("kind: DictIndex\n"), std::string::npos) << text;
  EXPECT_NE(text.find("sections.header: 72 (72.0000 B/key, "), std::string::npos) << text;
  EXPECT_NE(text.find("sections.total: 137 (137.0000 B/key, 100.00 %)\n"), std::string::npos) << text;

  // A damaged payload fails the verified load, naming the blob.
  Bytes bad = blob;
  bad.back() ^= 1;
  write_file(dir / "bad.bin", std::string(bad.begin(), bad.end()));
  try {
    cmd_inspect(parsed(Command::Inspect, words({(dir / "bad.bin").c_str(), "--sections"})), out);
    ADD_FAILURE();
  } catch (const Fail& f) {
    EXPECT_EQ(f.message, dir / "bad.bin" + ": format error: payload checksum mismatch");
  }
}
