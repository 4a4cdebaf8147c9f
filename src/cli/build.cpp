// The build command: the options checked together, the choice between
// holding the keys in memory and streaming them straight into the blob, the
// kind (named, or the planner's best), and the builds of each kind on both
// roads.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "cli/cli.hpp"
#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "dict_index/dict_index.hpp"
#include "hash.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"
#include "threads.hpp"
#include "utf8.hpp"

namespace quorvale::cli {

namespace {

constexpr std::uint64_t ONE_GIB = std::uint64_t{1} << 30;
constexpr std::uint64_t DEFAULT_BLOCK = 256;
constexpr std::uint8_t DICT_CODE = static_cast<std::uint8_t>(IndexKind::DictIndex);
constexpr std::size_t HASH_CHUNK = 1 << 16;
// Keys a worker sorts at least before the sort goes parallel.
constexpr std::size_t SORT_STRETCH = 1 << 16;

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

// Writes a built index through the atomic writer unless a signal asked to
// stop: asked before the blob is started and again once it is written, just
// before it would replace the output.
template <class Index>
void save_unless_stopped(const std::string& path, const Index& index) {
  stop_if_interrupted();
  blob::write_atomically_with(path, [&](File& file) {
    BufWriter w(file);
    index.write_to(w);
    w.flush();
    stop_if_interrupted();
  });
}

// A failed build: an I/O error concerns the output (its temporary, partial
// and scratch files lie beside it), any other one the keys.
Fail build_fail(const IndexError& e, const std::string& keys_path, const std::string& out_path) {
  return Fail::about(e.kind() == IndexError::Kind::Io ? out_path : keys_path, e);
}

// Refuses an output that names the keys file itself (the same device and
// inode, however spelled: a link, a symbolic link, a path through ".."),
// before a key is read or a file made. Only when both exist: a new output
// names no file yet, and standard input has no name to write over.
void refuse_keys_as_output(const std::string& keys_path, const std::string& out_path) {
  if (keys_path == "-") return;
  struct stat keys, out;
  if (::stat(keys_path.c_str(), &keys) != 0 || ::stat(out_path.c_str(), &out) != 0) return;
  if (keys.st_dev == out.st_dev && keys.st_ino == out.st_ino)
    throw Fail::usage("the output `" + out_path + "` is the keys file `" + keys_path +
                      "`: the index would overwrite its keys");
}

// Hashes the keys in list order, one pair a key, repeats kept (the builders
// drop them), chunks of keys on every processor; the keys are released.
std::vector<hash::HashPair> pairs_of(KeyList& keys) {
  const std::span<const std::string_view> views = keys.views();
  std::vector<hash::HashPair> pairs(views.size());
  const std::size_t chunks = (views.size() + HASH_CHUNK - 1) / HASH_CHUNK;
  parallel_claims(chunks, online_processors(), [&](std::size_t c) {
    const std::size_t end = std::min(views.size(), (c + 1) * HASH_CHUNK);
    for (std::size_t i = c * HASH_CHUNK; i < end; ++i) pairs[i] = hash::hash_pair(views[i]);
  });
  keys = {};
  return pairs;
}

// Sorts the views ascending on every processor: one stretch a worker sorted
// in place, then neighbouring stretches merged pairwise, in parallel, through
// one buffer. The string index's builder then finds them sorted and only
// drops the repeats.
void sort_views(std::vector<std::string_view>& views) {
  const std::size_t n = views.size();
  std::size_t parts = 1;
  while (parts * 2 <= online_processors() && n / (parts * 2) >= SORT_STRETCH) parts *= 2;
  std::vector<std::size_t> bounds(parts + 1);
  for (std::size_t p = 0; p <= parts; ++p) bounds[p] = n / parts * p + std::min(p, n % parts);
  parallel_claims(parts, parts, [&](std::size_t p) {
    std::sort(views.begin() + static_cast<std::ptrdiff_t>(bounds[p]), views.begin() + static_cast<std::ptrdiff_t>(bounds[p + 1]));
  });
  if (parts == 1) return;
  std::vector<std::string_view> buffer(n);
  std::string_view* from = views.data();
  std::string_view* to = buffer.data();
  for (std::size_t width = 1; width < parts; width *= 2) {
    parallel_claims(parts / (2 * width), parts, [&](std::size_t k) {
      const std::size_t lo = bounds[2 * k * width], mid = bounds[2 * k * width + width], hi = bounds[2 * k * width + 2 * width];
      std::merge(from + lo, from + mid, from + mid, from + hi, to + lo);
    });
    std::swap(from, to);
  }
  if (from != views.data()) views.swap(buffer);
}

// Keys held in memory, sorted, handed out one at a time. A signal ends the
// pass by throwing, as it ends a pass over the keys file.
template <class Keys>
class HeldKeys final : public perfect_hash::KeySource {
 public:
  explicit HeldKeys(Keys keys = {}) : keys_(keys) {}
  bool next(std::string_view& key) override {
    stop_if_interrupted();
    if (at_ == keys_.size()) return false;
    key = keys_[at_++];
    return true;
  }

 private:
  Keys keys_;
  std::size_t at_ = 0;
};

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

DistinctKeys::DistinctKeys(perfect_hash::KeySource& keys, const std::string& path, std::size_t budget)
    : run_(std::in_place, budget), runs_(path) {
  std::string_view key;
  while (keys.next(key)) {
    if (!run_->has_room(key.size())) {
      if (run_->empty()) throw IndexError::format(MSG_PERFECT_OVER_BUDGET);
      runs_.spill(run_->sorted());
      run_->clear();
      if (!run_->has_room(key.size())) throw IndexError::format(MSG_PERFECT_OVER_BUDGET);
    }
    run_->push(key);
  }
  // Even one run goes to disk: the build's own working set comes next, and
  // the keys need not stay in memory beside it.
  if (!run_->empty()) runs_.spill(run_->sorted());
  run_.reset();
}

namespace {

// A pass over the run files. A merge of several yields a key once per run
// that holds it, and the repeats go here; one run holds each key once.
class MergedPass final : public perfect_hash::KeySource {
 public:
  MergedPass(extsort::MergedStream merged, bool one_run) : merged_(std::move(merged)), one_run_(one_run) {}
  bool next(std::string_view& key) override {
    for (;;) {
      stop_if_interrupted();
      const std::optional<std::string_view> got = merged_.next();
      if (!got) return false;
      if (one_run_) {
        key = *got;
        return true;
      }
      if (any_ && *got == last_) continue;
      last_.assign(*got);
      any_ = true;
      key = last_;
      return true;
    }
  }

 private:
  extsort::MergedStream merged_;
  bool one_run_;
  std::string last_;
  bool any_ = false;
};

}  // namespace

std::unique_ptr<perfect_hash::KeySource> DistinctKeys::pass() {
  if (runs_.runs().empty()) return std::make_unique<HeldKeys<std::span<const std::string_view>>>();
  const bool one_run = runs_.runs().size() == 1;
  return std::make_unique<MergedPass>(runs_.merge(), one_run);
}

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
  return out.substr(0, start) + std::string(name) + suffix;
}

std::uint64_t build_and_save(IndexKind kind, KeyList keys, const std::string& path, std::optional<std::uint64_t> block) {
  switch (kind) {
    case IndexKind::CompactHashIndex: {
      const CompactHashIndex index = CompactHashIndex::build_from_pairs(pairs_of(keys), 8);
      save_unless_stopped(path, index);
      return index.len();
    }
    case IndexKind::ClosedHashIndex: {
      const ClosedHashIndex index = ClosedHashIndex::build_from_pairs(pairs_of(keys));
      save_unless_stopped(path, index);
      return index.len();
    }
    case IndexKind::PerfectHashIndex: {
      const PerfectHashIndex index = PerfectHashIndex::build_with(keys.take_views(), false);
      keys = {};
      save_unless_stopped(path, index);
      return index.len();
    }
    case IndexKind::StringIndex: {
      // Sorted here on every processor, then built a key at a time, so that
      // a signal stops the build there.
      std::vector<std::string_view> views = keys.take_views();
      sort_views(views);
      HeldKeys<std::span<const std::string_view>> sorted(views);
      const StringIndex index = StringIndex::from_sorted(sorted, stop_probe());
      views = {};
      keys = {};
      save_unless_stopped(path, index);
      return index.len();
    }
    case IndexKind::DictIndex: {
      const DictIndex index = DictIndex::build_with_block(keys.take_views(), block.value_or(DEFAULT_BLOCK));
      keys = {};
      save_unless_stopped(path, index);
      return index.n;
    }
  }
  panic("an index kind the command line cannot build");
}

std::uint64_t build_streamed(IndexKind kind, const Source& source, const std::string& path,
                             std::optional<std::uint64_t> block) {
  const std::function<bool()>& stop = stop_probe();
  switch (kind) {
    case IndexKind::CompactHashIndex:
      return CompactHashIndex::build_to_file_checked(*source.keys(), stop, path, compact_hash::StreamLimits{}, 8);
    case IndexKind::ClosedHashIndex:
      return ClosedHashIndex::build_to_file_checked(*source.keys(), stop, path, compact_hash::StreamLimits{});
    case IndexKind::PerfectHashIndex: {
      // The two-pass build takes distinct keys only, and a keys file may
      // repeat one, as every other road allows. Where no first hash repeats
      // no key does, and the file is built as it stands; otherwise from its
      // distinct keys, sorted apart first.
      const auto file_pass = [&] {
        if (const std::optional<Fail>& broke = source.failure()) throw *broke;  // nothing worth a second pass
        return source.keys();
      };
      try {
        return PerfectHashIndex::build_to_file_windowed(file_pass, path, false, perfect_hash::WINDOW, stop, {}, true);
      } catch (const IndexError& e) {
        if (e.kind() != IndexError::Kind::Build || e.message() != perfect_hash::MSG_MAY_REPEAT) throw;
      }
      DistinctKeys distinct(*source.keys(), path, RUN_BUDGET);
      if (const std::optional<Fail>& broke = source.failure()) throw *broke;
      return PerfectHashIndex::build_to_file_windowed([&] { return distinct.pass(); }, path, false,
                                                      perfect_hash::WINDOW, stop);
    }
    case IndexKind::StringIndex:
      return StringIndex::build_to_file(*source.keys(), path, string_index::RUN_BUDGET, stop);
    case IndexKind::DictIndex:
      return DictIndex::build_to_file_runs(*source.keys(), path, block.value_or(DEFAULT_BLOCK), stop);
  }
  panic("an index kind the command line cannot build");
}

void cmd_build(const Cmd& cmd, LineReader& in, Out& err, const Planner& with, const MeminfoReader& meminfo) {
  if (cmd.block && cmd.index != DICT_CODE)
    throw Fail::usage("--block is the DictIndex block size and needs `--index dict`");
  const std::string& keys_path = cmd.positionals[0];
  const std::string& out_path = cmd.positionals[1];
  refuse_keys_as_output(keys_path, out_path);
  const bool streamed = is_streamed(keys_path, stream_threshold(cmd.stream, meminfo));

  IndexKind kind = static_cast<IndexKind>(cmd.index);
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
  const bool auto_kind = cmd.index == INDEX_AUTO;
  const bool read_once = reads_once(keys_path);
  if (auto_kind && !read_once) plan([&] { return with.file(keys_path, cmd.needs, cmd.objective); });
  auto note_empty = [&](std::uint64_t count) {
    if (count > 0) put(err, keys_path + ": " + std::to_string(count) + " empty lines skipped\n");
  };

  if (streamed) {
    const Source source(keys_path);
    const std::string partial = partial_path(out_path, static_cast<long>(::getpid()));
    std::optional<Fail> failed;
    std::uint64_t count = 0;
    try {
      count = build_streamed(kind, source, partial, block);
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
    note_written(kind, count, out_path, err);
    return;
  }

  KeysRead read = read_keys(keys_path, in);
  note_empty(read.empty_lines);
  if (auto_kind && read_once) plan([&] { return with.keys(read.keys.views(), cmd.needs, cmd.objective); });
  std::uint64_t count = 0;
  try {
    count = build_and_save(kind, std::move(read.keys), out_path, block);
  } catch (const IndexError& e) {
    throw build_fail(e, keys_path, out_path);
  }
  note_written(kind, count, out_path, err);
}

}  // namespace quorvale::cli
