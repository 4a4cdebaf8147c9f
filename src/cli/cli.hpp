// The `quorvale` command line: the frame (help, version, the choice of
// command, the parser, failures and exit statuses, the standard streams),
// keys files, and the commands with the output routines they share.
#pragma once

#include <signal.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "blob.hpp"
#include "error.hpp"
#include "estimate.hpp"
#include "huge_pages.hpp"
#include "inspect.hpp"
#include "kinds.hpp"
#include "line_reader.hpp"
#include "perfect_hash.hpp"

namespace quorvale::cli {

// ---- failures ------------------------------------------------------------------

// What a command or the parser reports instead of success. Thrown.
struct Fail {
  // Exit status 2 (with the usage text), 1, and 128 + the signal.
  enum class Kind { Usage, Work, Interrupted };
  Kind kind;
  std::string message;
  int signal = 0;  // for Interrupted

  static Fail usage(std::string message) { return Fail{Kind::Usage, std::move(message)}; }
  static Fail work(std::string message) { return Fail{Kind::Work, std::move(message)}; }
  // A core error: its display text ("format error: ...").
  static Fail from(const IndexError& error) { return work(error.display()); }
  // A core error about one file: the path, then the display text (unless
  // the error's own message names the path already).
  static Fail about(const std::string& path, const IndexError& error);
  static Fail interrupted(int signal) { return Fail{Kind::Interrupted, "interrupted", signal}; }
  int status() const noexcept { return kind == Kind::Usage ? 2 : kind == Kind::Work ? 1 : 128 + signal; }
};

// A failed write or read of a stream: the I/O error's own text, without the
// "io error: " of its display.
Fail io_fail(const IndexError& error);

// ---- streams ---------------------------------------------------------------------

// A byte sink that takes every byte or throws IndexError (Io).
class Out {
 public:
  virtual ~Out() = default;
  virtual void write_all(std::string_view bytes) = 0;
  virtual void flush() = 0;
};

// Writes to a descriptor it does not own (the standard streams are never
// closed by us). Line-buffered (up to the last line feed of each write) or
// unbuffered. A write to a closed descriptor counts as written.
class FdOut final : public Out {
 public:
  FdOut(int fd, bool line_buffered) noexcept : fd_(fd), line_buffered_(line_buffered) {}
  void write_all(std::string_view bytes) override;
  void flush() override;

 private:
  void write_through(std::string_view bytes);
  int fd_;
  bool line_buffered_;
  std::string pending_;
};

// An 8 KiB buffer in front of another sink. Bytes still buffered when it is
// destroyed are written and any error ignored: call flush() to see it.
class BufOut final : public Out {
 public:
  explicit BufOut(Out& inner) : inner_(inner) { buf_.reserve(CAPACITY); }
  BufOut(const BufOut&) = delete;
  BufOut& operator=(const BufOut&) = delete;
  ~BufOut() override;
  void write_all(std::string_view bytes) override;
  // Passes the buffered bytes on, then flushes the inner sink.
  void flush() override;
  // Passes the buffered bytes on without flushing the inner sink.
  void drain();
  // Drops the buffered bytes.
  void discard() noexcept { buf_.clear(); }
  static constexpr std::size_t CAPACITY = 8192;

 private:
  Out& inner_;
  std::string buf_;
};

using quorvale::LineReader;  // lines from a descriptor, shared with the planner

// The process's standard streams, locked for one run in the order output,
// input, error; released in the reverse order, standard output flushed last
// (a flush error is ignored). One process-wide lock per stream.
class StdStreams {
 public:
  StdStreams();
  StdStreams(const StdStreams&) = delete;
  StdStreams& operator=(const StdStreams&) = delete;
  ~StdStreams();
  Out& out() noexcept;
  LineReader& in() noexcept;
  Out& err() noexcept;

 private:
  struct Held;
  std::unique_ptr<Held> held_;
};

// The streams a run works with.
struct Streams {
  LineReader& in;
  Out& out;
  Out& err;
};

// ---- the parsed command line ----------------------------------------------------

// When the build command writes straight to the blob file.
struct StreamMode {
  enum class Kind { Auto, Always, Never, Size };
  Kind kind = Kind::Auto;
  std::uint64_t size = 0;  // bytes of the keys file, for Kind::Size
  bool operator==(const StreamMode&) const = default;
};

struct Cmd {
  std::optional<std::uint64_t> block;  // --block, 1..=1024
  StreamMode stream;
  Objective objective;
  std::vector<std::string> positionals;
  Needs needs;
  bool sections = false;       // inspect --sections
  bool exact_implied = false;  // the parser turned exact on by itself
  std::optional<kinds::Kind> index;  // --index; nothing for auto
};

enum class Command : std::uint8_t { Dump = 0, Inspect = 1, Plan = 2, Build = 3 };

// Parses the arguments after the command. Throws Fail (Usage).
Cmd parse(std::span<const std::string> args, Command command, std::size_t positional_count, const char* usage_line);

// An option's value: the inline one after "=", else the next argument
// (consumed whatever it looks like). Throws Fail (Usage) "NAME needs a value".
std::string value(std::span<const std::string> args, std::size_t& next, std::string_view name,
                  const std::optional<std::string_view>& inline_value);

// A decimal u64: digits only, after at most one "+"; nothing on overflow.
std::optional<std::uint64_t> decimal(std::string_view s);

// The package version, and the usage text (it ends with a line feed).
const char* version() noexcept;
const std::string& usage_text();

// ---- interruption -------------------------------------------------------------------

// The signal (SIGINT or SIGTERM) that asked the running command to stop, 0
// while none has.
int interrupted() noexcept;
// Throws Fail::interrupted once a signal has asked to stop.
void stop_if_interrupted();
// Whether to stop, as a build's failure probe: the builds ask it in their key
// loops, spill and merge loops and their workers' claim loops.
const StopProbe& stop_probe();

// For its lifetime, SIGINT and SIGTERM record themselves for `interrupted`
// instead of reaching the handlers they had (which are put back after; a
// signal the process ignores stays ignored). Starts with nothing recorded.
class SignalScope {
 public:
  SignalScope();
  SignalScope(const SignalScope&) = delete;
  SignalScope& operator=(const SignalScope&) = delete;
  ~SignalScope();

 private:
  struct sigaction previous_[2]{};
  bool installed_[2]{};
};

// ---- running ------------------------------------------------------------------------

// The program over the process's standard streams: locks them, takes over
// SIGINT and SIGTERM (SignalScope), runs, reports, flushes standard output,
// and returns the exit status (0, 1, 2, or 128 + the signal that stopped it).
int run(std::span<const std::string> args);
// The same over given streams, without locking, signal handlers or the final
// flush.
int run_on(std::span<const std::string> args, const Streams& streams);

// ---- keys files ----------------------------------------------------------------------

// Keys held in memory, in file order with repeats: their bytes in chunks
// that never move, and a view of each key.
class KeyList {
 public:
  KeyList() = default;
  KeyList(KeyList&&) noexcept = default;
  KeyList& operator=(KeyList&&) noexcept = default;
  void push(std::string_view key);
  std::size_t size() const noexcept { return views_.size(); }
  std::span<const std::string_view> views() const noexcept { return views_; }
  // The views, for a builder that consumes its list; the bytes stay here.
  std::vector<std::string_view> take_views() noexcept { return std::move(views_); }
  static constexpr std::size_t CHUNK = std::size_t{1} << 22;

 private:
  std::vector<GrowingPages<char>> chunks_;
  char* free_ = nullptr;
  std::size_t left_ = 0;
  std::vector<std::string_view> views_;
};

struct KeysRead {
  KeyList keys;
  std::uint64_t empty_lines = 0;
};

// Every key of a keys file, or of standard input for "-". Throws Fail (Work),
// also for a key longer than `limit`, refused as soon as the reader is past
// it, so that such a line is never held whole.
KeysRead read_keys(const std::string& path, LineReader& standard_input, std::size_t limit = SIZE_MAX);

// A keys file handed out as fresh key streams, one per pass of a streamed
// build. A stream cannot fail through its keys: a failure to open or read
// the file goes into the source's slot and ends the stream, and the consumer
// looks at the slot when it is done. A key longer than `limit` (the build's
// run budget) is refused as soon as the reader is past it: the failure
// "PATH:LINE: format error: " and `over_limit` goes into the slot and is
// thrown at once, so the build stops there. Single-threaded.
class Source final : public kinds::KeyPasses {
 public:
  explicit Source(std::string path, std::size_t limit = SIZE_MAX, const char* over_limit = nullptr);
  // A new stream over the file; resets the empty-line count. The views it
  // hands out stay valid until its next call.
  std::unique_ptr<KeySource> keys() const;
  std::unique_ptr<KeySource> pass() const override { return keys(); }
  // Throws the failure a stream left, if any.
  void check() const override {
    if (*slot_) throw **slot_;
  }
  const std::string& path() const noexcept { return path_; }
  // The failure a stream left, if any.
  const std::optional<Fail>& failure() const noexcept { return *slot_; }
  std::optional<Fail> take_failure() const { return std::exchange(*slot_, std::nullopt); }
  // Empty lines skipped by the last stream.
  std::uint64_t empty_lines() const noexcept { return *empty_; }

 private:
  std::string path_;
  std::size_t limit_;
  const char* over_limit_;
  std::shared_ptr<std::optional<Fail>> slot_;
  std::shared_ptr<std::uint64_t> empty_;
};

// ---- commands and their output routines ----------------------------------------------

// The planning the plan and build commands ask for: the plan text, the
// plan's effective needs, and its best estimate. Each throws IndexError.
struct PlanSummary {
  std::string text;
  Needs needs;
  kinds::Kind best_kind = kinds::Kind::PerfectHashIndex;
  std::optional<std::uint64_t> best_block;
};
struct Planner {
  std::function<PlanSummary(std::span<const std::string_view> keys, const Needs& needs, const Objective& objective)>
      keys;
  std::function<PlanSummary(const std::string& path, const Needs& needs, const Objective& objective)> file;
};
// The planner of this build.
const Planner& planner();

// A dictionary blob's byte split: fifteen section sizes, which add up to the
// blob's length, and three counts (named as the dictionary names them).
struct DictSections {
  std::uint64_t keys = 0;
  std::array<std::uint64_t, 15> bytes{};
  std::uint64_t restarts = 0;
  std::uint64_t entries = 0;
  std::uint64_t wide = 0;
};
// Loads a dictionary blob with full verification and takes its split.
// Throws IndexError.
DictSections dict_sections(blob::SharedBytes bytes);

// The text of /proc/meminfo, or nothing when it cannot be read.
using MeminfoReader = std::function<std::optional<std::string>()>;

void cmd_inspect(const Cmd& cmd, Out& out);
void cmd_plan(const Cmd& cmd, LineReader& in, Out& out, Out& err, const Planner& with = planner());
// `meminfo` replaces the reading of /proc/meminfo (tests); by default the file is read.
void cmd_build(const Cmd& cmd, LineReader& in, Out& err, const Planner& with = planner(),
               const MeminfoReader& meminfo = {});
void cmd_dump(const Cmd& cmd, Out& out);

// ---- the build command's steps ----

// `--stream auto`'s threshold from the text of /proc/meminfo: a quarter of
// the first "MemAvailable:" line's kB, else 1 GiB.
std::uint64_t threshold_of_meminfo(std::string_view text);
// The keys-file size from which a build streams; nothing for `never`. Only
// `auto` reads /proc/meminfo (through `meminfo` when one is given).
std::optional<std::uint64_t> stream_threshold(const StreamMode& mode, const MeminfoReader& meminfo = {});
// Whether the keys are streamed: a regular file (links followed) at least as
// large as the threshold; never "-" nor a path whose status cannot be read.
bool is_streamed(const std::string& keys_path, std::optional<std::uint64_t> threshold);
// Where a streamed build writes before the final rename: the output's last
// component followed by ".part.PID", in the same directory; a path without
// a file name gets ".part.PID" as a new component. A name too long to take
// the suffix and the scratch names after it loses the end of its stem.
std::string partial_path(const std::string& out, long pid);
// The builds of each kind (the table's), from keys in file order (repeats
// kept) or from fresh streams of the source; each writes the blob
// atomically at `path` and returns the distinct key count. Their failures
// are IndexError (a signal's: Io Interrupted).
std::uint64_t build_and_save(kinds::Kind kind, KeyList keys, const std::string& path,
                             std::optional<std::uint64_t> block);
std::uint64_t build_streamed(kinds::Kind kind, const Source& source, const std::string& path,
                             std::optional<std::uint64_t> block);

// Writes to a stream; a failure is the I/O error's own text (io_fail).
void put(Out& out, std::string_view text);
// The inspection of a blob file; a failure names the path. Throws Fail (Work).
inspect::BlobInfo inspected(const std::string& path);
// One inspection, every line prefixed.
void print_info(const inspect::BlobInfo& info, const std::string& prefix, Out& out);
// The nineteen "sections." lines.
void print_sections(const DictSections& split, Out& out);
// The note that exactness alone shut the probabilistic kinds out, when it did.
void note_implied_exact(bool exact_implied, const Needs& needs, Out& err);
// "wrote PATH: KIND over N keys, B bytes (x.xx B/key)".
void note_written(kinds::Kind kind, std::uint64_t keys, const std::string& path, Out& err);
// One key and a line feed; a key holding a line break is refused (naming
// the blob, when given, before the id).
void write_key(Out& writer, std::string_view key, std::uint64_t id, const std::string& blob = {});

}  // namespace quorvale::cli
