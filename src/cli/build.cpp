// The build command: the options checked together, the choice between
// holding the keys in memory and streaming them straight into the blob, the
// kind (named, or the planner's best), and the build of that kind on one
// road or the other, as the table of kinds has it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "cli.hpp"
#include "kinds.hpp"
#include "scratch_files.hpp"
#include "utf8.hpp"

namespace quorvale::cli {

namespace {

constexpr std::uint64_t ONE_GIB = std::uint64_t{1} << 30;

// White space as Unicode defines it, which is what the fields of a
// /proc/meminfo line are split at.
bool is_space(std::uint32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The second field of a valid UTF-8 line split at runs of white space.
std::optional<std::string_view> second_field(std::string_view line) {
  const auto* p = reinterpret_cast<const unsigned char*>(line.data());
  std::size_t field = 0, at = 0;
  while (at < line.size()) {
    utf8::Char c = utf8::decode(p + at, line.size() - at);
    if (is_space(c.cp)) {
      at += c.len;
      continue;
    }
    const std::size_t start = at;
    while (at < line.size() && !is_space(c.cp)) {
      at += c.len;
      if (at < line.size()) c = utf8::decode(p + at, line.size() - at);
    }
    if (++field == 2) return line.substr(start, at - start);
  }
  return std::nullopt;
}

std::optional<std::string> read_meminfo() {
  try {
    const blob::SharedBytes bytes = blob::SharedBytes::read_file("/proc/meminfo");
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } catch (const IndexError&) {
    return std::nullopt;
  }
}

// A failed build: an I/O error concerns the output (its temporary, partial
// and scratch files lie beside it), and so does the FST builder's, met
// while it writes the blob; any other one concerns the keys.
Fail build_fail(const IndexError& e, const std::string& keys_path, const std::string& out_path) {
  const bool output = e.kind() == IndexError::Kind::Io ||
                      (e.kind() == IndexError::Kind::Fst && e.message() == "I/O error");
  return Fail::about(output ? out_path : keys_path, e);
}

// Refuses an output that names the keys themselves (the same device and
// inode, however spelled: a link, a symbolic link, a path through ".."),
// before a key is read or a file made. Only when both exist: a new output
// names no file yet. Keys from "-" are the output when standard input is
// that very file (a `<` redirection of it); only descriptor 0's status is
// asked, since opening standard input again could drain a pipe, and a pipe
// or a terminal is never the output.
void refuse_keys_as_output(const std::string& keys_path, const std::string& out_path) {
  const bool from_input = keys_path == "-";
  struct stat keys, out;
  if (from_input ? ::fstat(STDIN_FILENO, &keys) != 0 || !S_ISREG(keys.st_mode)
                 : ::stat(keys_path.c_str(), &keys) != 0)
    return;
  if (::stat(out_path.c_str(), &out) != 0 || keys.st_dev != out.st_dev || keys.st_ino != out.st_ino) return;
  throw Fail::usage("the output `" + out_path + "` is " +
                    (from_input ? std::string("standard input") : "the keys file `" + keys_path + "`") +
                    ": the index would overwrite its keys");
}

// Fails before any work when the blob could not be written at `written`
// (the output, or the streamed road's partial file): its directory missing,
// no directory, or closed to our writes. The error is the one the write
// would meet there, so the failure reads as the write's would.
void refuse_unwritable(const std::string& written, const std::string& keys_path, const std::string& out_path) {
  const std::string dir = blob::split_target(written).dir;
  struct stat st;
  int error = 0;
  if (::stat(dir.c_str(), &st) != 0)
    error = errno;
  else if (!S_ISDIR(st.st_mode))
    error = ENOTDIR;
  else if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    error = errno;
  if (error != 0) throw build_fail(IndexError::os(error), keys_path, out_path);
}

void remove_quietly(const std::string& path) noexcept { ::unlink(path.c_str()); }

// Whether the keys can be read only once, so that the planner must see them
// in memory rather than read the file ahead of the build: standard input,
// and a pipe or a device (such as a shell's `<(...)`), which a second open
// would find drained. A regular file, a directory and a path whose status
// cannot be read go to the planner as files (it reports their failures).
bool reads_once(const std::string& keys_path) {
  if (keys_path == "-") return true;
  struct stat st;
  return ::stat(keys_path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

}  // namespace

std::uint64_t threshold_of_meminfo(std::string_view text) {
  if (!utf8::valid(text)) return ONE_GIB;
  constexpr std::string_view TAG = "MemAvailable:";
  std::string_view rest = text;
  while (!rest.empty()) {
    const std::size_t feed = rest.find('\n');
    const std::string_view line = rest.substr(0, feed);
    rest = feed == std::string_view::npos ? std::string_view() : rest.substr(feed + 1);
    if (!line.starts_with(TAG)) continue;
    // Only the first such line counts, even when it fails.
    const std::optional<std::string_view> field = second_field(line);
    const std::optional<std::uint64_t> kb = field ? decimal(*field) : std::nullopt;
    if (!kb || *kb >= (std::uint64_t{1} << 54)) return ONE_GIB;
    return *kb * 1024 / 4;
  }
  return ONE_GIB;
}

std::optional<std::uint64_t> stream_threshold(const StreamMode& mode, const MeminfoReader& meminfo) {
  switch (mode.kind) {
    case StreamMode::Kind::Never: return std::nullopt;
    case StreamMode::Kind::Always: return 0;
    case StreamMode::Kind::Size: return mode.size;
    case StreamMode::Kind::Auto: break;
  }
  const std::optional<std::string> text = meminfo ? meminfo() : read_meminfo();
  return text ? threshold_of_meminfo(*text) : ONE_GIB;
}

bool is_streamed(const std::string& keys_path, std::optional<std::uint64_t> threshold) {
  if (!threshold || keys_path == "-") return false;
  struct stat st;
  if (::stat(keys_path.c_str(), &st) != 0) return false;  // reading the keys will report it
  return S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) >= *threshold;
}

std::string partial_path(const std::string& out, long pid) {
  const std::string suffix = ".part." + std::to_string(pid);
  // The last component, with trailing separators and "." components (other
  // than a leading one) not counting.
  std::size_t end = out.size();
  for (;;) {
    while (end > 1 && out[end - 1] == '/') --end;
    if (end >= 2 && out[end - 1] == '.' && out[end - 2] == '/') {
      end -= 1;
      continue;
    }
    break;
  }
  const std::size_t slash = out.rfind('/', end == 0 ? 0 : end - 1);
  const std::size_t start = slash == std::string::npos || end == 0 ? 0 : slash + 1;
  const std::string_view name = std::string_view(out).substr(start, end - start);
  if (name.empty() || name == "." || name == "..") {
    // No file name: the partial file becomes a new last component.
    const bool separated = out.empty() || out.back() == '/';
    return out + (separated ? "" : "/") + suffix;
  }
  // Room for the suffix and for the scratch names made after the partial
  // file (its own temporary file, spill files and directories), so that
  // every name the build makes fits where a legal output name does.
  const std::string dir = out.substr(0, start);
  const std::size_t limit = scratch::name_max(dir.empty() ? "." : dir);
  return dir + std::string(scratch::fit_stem(name, suffix.size() + scratch::SUFFIX_MAX, limit)) + suffix;
}

std::uint64_t build_and_save(kinds::Kind kind, KeyList keys, const std::string& path,
                             std::optional<std::uint64_t> block) {
  const StopProbe& stop = stop_probe();
  std::unique_ptr<kinds::Built> index = kinds::of(kind).build({keys.take_views(), [&] { keys = {}; }}, block, stop);
  keys = {};
  index->save(path, stop);
  return index->len();
}

std::uint64_t build_streamed(kinds::Kind kind, const Source& source, const std::string& path,
                             std::optional<std::uint64_t> block) {
  return kinds::of(kind).build_streamed(source, path, block, stop_probe());
}

void cmd_build(const Cmd& cmd, LineReader& in, Out& err, const Planner& with, const MeminfoReader& meminfo) {
  if (cmd.block && cmd.index != kinds::Kind::DictIndex)
    throw Fail::usage("--block is the DictIndex block size and needs `--index dict`");
  const std::string& keys_path = cmd.positionals[0];
  const std::string& out_path = cmd.positionals[1];
  refuse_keys_as_output(keys_path, out_path);
  const bool streamed = is_streamed(keys_path, stream_threshold(cmd.stream, meminfo));
  const std::string partial = streamed ? partial_path(out_path, static_cast<long>(::getpid())) : std::string();
  refuse_unwritable(streamed ? partial : out_path, keys_path, out_path);

  std::optional<kinds::Kind> kind = cmd.index;
  std::optional<std::uint64_t> block = cmd.block;
  auto plan = [&](auto&& planning) {
    PlanSummary summary;
    try {
      summary = planning();
    } catch (const IndexError& e) {
      throw Fail::about(keys_path, e);
    }
    stop_if_interrupted();
    put(err, summary.text);
    note_implied_exact(cmd.exact_implied, summary.needs, err);
    kind = summary.best_kind;
    block = summary.best_block;
  };
  const bool auto_kind = !cmd.index;
  const bool read_once = reads_once(keys_path);
  auto plan_file = [&] { plan([&] { return with.file(keys_path, cmd.needs, cmd.objective); }); };
  if (auto_kind && !read_once && streamed) plan_file();
  auto note_empty = [&](std::uint64_t count) {
    if (count > 0) put(err, keys_path + ": " + std::to_string(count) + " empty lines skipped\n");
  };

  if (streamed) {
    const kinds::Entry& entry = kinds::of(*kind);
    const Source source(keys_path, entry.stream_key_limit, entry.over_budget);
    std::optional<Fail> failed;
    std::uint64_t count = 0;
    try {
      count = build_streamed(*kind, source, partial, block);
    } catch (const Fail& f) {
      failed = f;
    } catch (const IndexError& e) {
      failed = build_fail(e, keys_path, out_path);
    }
    // A broken key stream only ends early, so its failure wins over the build's outcome.
    if (std::optional<Fail> slot = source.take_failure()) failed = std::move(slot);
    // The rename is the commit: a signal before it leaves the output as it was.
    if (!failed && interrupted()) failed = Fail::interrupted(interrupted());
    if (failed) {
      remove_quietly(partial);
      throw *failed;
    }
    if (::rename(partial.c_str(), out_path.c_str()) != 0) {
      const IndexError e = IndexError::last_os();
      remove_quietly(partial);
      throw Fail::work(out_path + ": " + e.message());
    }
    note_empty(source.empty_lines());
    note_written(*kind, count, out_path, err);
    return;
  }

  // Keys the build holds in memory anyway are planned where they lie, so
  // that one read of the file serves both. A file the planner's own reading
  // would refuse (not UTF-8, a key past its run budget, unreadable) goes to
  // it all the same, so that its failure is the command's, as it reads.
  const bool read_for_plan = auto_kind && !read_once;
  KeysRead read = [&] {
    if (!read_for_plan) return read_keys(keys_path, in);
    try {
      return read_keys(keys_path, in, estimate::RUN_BUDGET);
    } catch (const Fail& f) {
      if (f.kind == Fail::Kind::Interrupted) throw;
      plan_file();
      throw;
    }
  }();
  auto plan_keys = [&] { plan([&] { return with.keys(read.keys.views(), cmd.needs, cmd.objective); }); };
  if (read_for_plan) plan_keys();
  note_empty(read.empty_lines);
  if (auto_kind && read_once) plan_keys();
  std::uint64_t count = 0;
  try {
    count = build_and_save(*kind, std::move(read.keys), out_path, block);
  } catch (const IndexError& e) {
    throw build_fail(e, keys_path, out_path);
  }
  note_written(*kind, count, out_path, err);
}

}  // namespace quorvale::cli
