// The command line's parser: options, their values and messages, and the
// usage text.
#include <cstdio>
#include <string_view>

#include "cli.hpp"

#ifndef QUORVALE_VERSION
#error "QUORVALE_VERSION is set by the build from pyproject.toml"
#endif

namespace quorvale::cli {

std::optional<std::uint64_t> decimal(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, static_cast<std::uint64_t>(c - '0'), &v))
      return std::nullopt;
  }
  return v;
}

namespace {

// Everything after the first line, which carries the version.
constexpr const char* USAGE_BODY = R"usage(
usage:
  quorvale plan    <keys-file> [--objective NAME] [needs]
  quorvale build   <keys-file> <out-blob> [--index NAME] [--block SPEC] [--stream MODE]
                   [--objective NAME] [needs]
  quorvale inspect <blob> [--sections]
  quorvale dump    <blob>

  plan     what every index that answers the needs would weigh, cheapest first
  build    build one index and save it; `--index auto` asks plan and builds the winner
  inspect  what a blob already on disk is, from its header alone; `--sections` reads a
           DictIndex whole and prints where its bytes went
  dump     the keys a blob holds, one per line, in id order — `dump | build` is the
           migration path off a format a later version stops reading

needs — what the index must be able to do. They narrow what `plan` ranks and what
`--index auto` may pick; with none of them the only question asked is `id(key)`:
  --reverse    key(id) as well as id(key)
  --ordered    ids in lexicographic order, and in-order iteration
  --prefix     prefix and range queries (an ordered index)
  --fuzzy      Levenshtein and subsequence queries
  --exact      a non-member must be answered as one, barring the probabilistic indexes

`plan` and `--index auto` assume an **open** vocabulary and so imply `--exact`: left to itself
the ranking is won by the index that answers a stranger with some member's id, and nothing in
the blob would later say so. Pass `--closed-vocabulary` when every key you will ask about is in
the file, and the two probabilistic indexes are ranked with the rest — `ClosedHashIndex` at
0.24 bytes a key, `CompactHashIndex` at 1.24. Naming an index with `--index` builds it whatever
the needs say.

options (`--name value` or `--name=value`):
  --objective N  what the ladder ranks by: memory (default, the smallest blob), latency
                 (the fastest id(key), modelled), balanced (nearest to both), or a
                 workload of op=weight pairs between commas, as in hits=9,misses=1 —
                 ops hits, misses, reverse, prefix, common_prefix, longest_prefix, and
                 batch=N for the keys an ids_of call holds. An op adds the need it asks
                 for. The nanoseconds are a model of this crate's own machine, never a
                 measurement of yours
  --index NAME   auto (default), dict, string, compact, closed, perfect
  --block SPEC   keys per DictIndex block, with `--index dict`: 1..=1024, or one of
                 fast / balanced / compact (32 / 256 / 1024)
  --stream MODE  when to build straight to the blob instead of holding the corpus:
                 auto (default), always, never, or the keys-file size past which to do
                 it (1000, 512M, 4G). `auto` is a quarter of the memory the machine
                 says is available. Needs a named `--index`: `auto` prices the corpus,
                 which means reading it
  --sections     with `inspect`, on a DictIndex: the blob's byte split
  -h, --help     this text
  -V, --version  the version

A keys file is one key per line, UTF-8, in any order; `-` reads standard input. Duplicates
are removed by the builders. An empty line is skipped and the count is reported on stderr,
since a file that ends in a newline is the common case and an empty key is not. Invalid UTF-8
is an error naming the line rather than a replacement character, since an index built from
lossy bytes would hold keys the file does not.
)usage";

enum class Opt { Reverse, Ordered, Prefix, Fuzzy, Exact, ClosedVocabulary, Objective, Index, Block, Stream, Sections };

struct OptDef {
  const char* name;
  Opt opt;
  bool takes_value;
  unsigned commands;  // bit per Command
};

constexpr unsigned bit(Command c) { return 1u << static_cast<unsigned>(c); }
constexpr unsigned PLAN_BUILD = bit(Command::Plan) | bit(Command::Build);

constexpr OptDef OPTIONS[] = {
    {"--reverse", Opt::Reverse, false, PLAN_BUILD},
    {"--ordered", Opt::Ordered, false, PLAN_BUILD},
    {"--prefix", Opt::Prefix, false, PLAN_BUILD},
    {"--fuzzy", Opt::Fuzzy, false, PLAN_BUILD},
    {"--exact", Opt::Exact, false, PLAN_BUILD},
    {"--closed-vocabulary", Opt::ClosedVocabulary, false, PLAN_BUILD},
    {"--objective", Opt::Objective, true, PLAN_BUILD},
    {"--index", Opt::Index, true, bit(Command::Build)},
    {"--block", Opt::Block, true, bit(Command::Build)},
    {"--stream", Opt::Stream, true, bit(Command::Build)},
    {"--sections", Opt::Sections, false, bit(Command::Inspect)},
};

const OptDef* find_option(std::string_view name, Command command) {
  for (const OptDef& o : OPTIONS)
    if (name == o.name && (o.commands & bit(command))) return &o;
  return nullptr;
}

std::string quoted(std::string_view s) { return "`" + std::string(s) + "`"; }

// The kind `--index` names: the table's word for it; nothing for auto.
std::optional<kinds::Kind> index_of(const std::string& v) {
  if (v == "auto") return std::nullopt;
  if (const kinds::Entry* kind = kinds::by_index_word(v)) return kind->kind;
  throw Fail::usage("--index: no such index " + quoted(v));
}

std::uint64_t block_of(const std::string& v) {
  std::optional<std::uint64_t> n;
  if (v == "fast") n = 32;
  else if (v == "balanced") n = 256;
  else if (v == "compact") n = 1024;
  else n = decimal(v);
  if (!n) throw Fail::usage("--block: " + quoted(v) + " is neither a number nor one of fast / balanced / compact");
  if (*n < 1 || *n > 1024) throw Fail::usage("--block: " + std::to_string(*n) + " is outside 1..=1024");
  return *n;
}

StreamMode stream_of(const std::string& v) {
  if (v == "auto") return {StreamMode::Kind::Auto, 0};
  if (v == "always") return {StreamMode::Kind::Always, 0};
  if (v == "never") return {StreamMode::Kind::Never, 0};
  std::string_view digits = v;
  std::uint64_t scale = 1;
  if (!digits.empty()) {
    switch (digits.back()) {
      case 'k': case 'K': scale = std::uint64_t{1} << 10; break;
      case 'm': case 'M': scale = std::uint64_t{1} << 20; break;
      case 'g': case 'G': scale = std::uint64_t{1} << 30; break;
      default: break;
    }
    if (scale != 1) digits.remove_suffix(1);
  }
  std::optional<std::uint64_t> n = decimal(digits);
  std::uint64_t size;
  if (!n || __builtin_mul_overflow(*n, scale, &size))
    throw Fail::usage("--stream: " + quoted(v) + " is neither a size (1000, 512M, 4G) nor one of auto / always / never");
  return {StreamMode::Kind::Size, size};
}

Objective objective_of(const std::string& v) {
  Objective o;
  if (v == "memory") return o;
  if (v == "latency") {
    o.tag = Objective::Tag::Latency;
    return o;
  }
  if (v == "balanced") {
    o.tag = Objective::Tag::Balanced;
    return o;
  }
  if (v.find('=') == std::string::npos)
    throw Fail::usage("--objective: " + quoted(v) +
                      " is not one of memory / latency / balanced, or a workload such as hits=9,misses=1");
  o.tag = Objective::Tag::Workload;
  Workload& w = o.workload;
  std::string_view rest = v;
  for (;;) {
    const std::size_t comma = rest.find(',');
    const std::string_view piece = rest.substr(0, comma);
    const std::size_t eq = piece.find('=');
    std::optional<std::uint64_t> weight;
    bool ok = false;
    if (eq != std::string_view::npos && (weight = decimal(piece.substr(eq + 1)))) {
      const std::string_view op = piece.substr(0, eq);
      ok = true;
      if (op == "hits") w.hits = *weight;
      else if (op == "misses") w.misses = *weight;
      else if (op == "reverse") w.reverse = *weight;
      else if (op == "prefix") w.prefix = *weight;
      else if (op == "common_prefix") w.common_prefix = *weight;
      else if (op == "longest_prefix") w.longest_prefix = *weight;
      else if (op == "batch" && *weight <= UINT32_MAX) w.batch = static_cast<std::uint32_t>(*weight);
      else ok = false;
    }
    if (!ok)
      throw Fail::usage("--objective: " + quoted(piece) +
                        " is not op=weight, with op one of hits / misses / reverse / prefix / common_prefix / "
                        "longest_prefix / batch");
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return o;
}

}  // namespace

const char* version() noexcept { return QUORVALE_VERSION; }

const std::string& usage_text() {
  static const std::string text = std::string("quorvale ") + QUORVALE_VERSION +
                                  " \u2014 price, build and inspect string\u2194id indexes\n" + USAGE_BODY;
  return text;
}

std::string value(std::span<const std::string> args, std::size_t& next, std::string_view name,
                  const std::optional<std::string_view>& inline_value) {
  if (inline_value) return std::string(*inline_value);
  if (next < args.size()) return args[next++];
  throw Fail::usage(std::string(name) + " needs a value");
}

Cmd parse(std::span<const std::string> args, Command command, std::size_t positional_count, const char* usage_line) {
  Cmd cmd;
  bool exact_given = false;
  bool closed_vocabulary = false;
  for (std::size_t i = 0; i < args.size();) {
    const std::string& arg = args[i++];
    if (arg.size() <= 1) {
      cmd.positionals.push_back(arg);
      continue;
    }
    std::string_view name = arg;
    std::optional<std::string_view> inline_value;
    if (arg.starts_with("--")) {
      const std::size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = std::string_view(arg).substr(0, eq);
        inline_value = std::string_view(arg).substr(eq + 1);
      }
    }
    const OptDef* option = find_option(name, command);
    if (!option) {
      if (arg.front() == '-') throw Fail::usage("no such option " + quoted(name));
      cmd.positionals.push_back(arg);
      continue;
    }
    std::string v;
    if (option->takes_value) v = value(args, i, name, inline_value);
    switch (option->opt) {
      case Opt::Reverse: cmd.needs.reverse = true; break;
      case Opt::Ordered: cmd.needs.ordered = true; break;
      case Opt::Prefix: cmd.needs.prefix = true; break;
      case Opt::Fuzzy: cmd.needs.fuzzy = true; break;
      case Opt::Exact:
        cmd.needs.exact = true;
        exact_given = true;
        break;
      case Opt::ClosedVocabulary: closed_vocabulary = true; break;
      case Opt::Objective: cmd.objective = objective_of(v); break;
      case Opt::Index: cmd.index = index_of(v); break;
      case Opt::Block: cmd.block = block_of(v); break;
      case Opt::Stream: cmd.stream = stream_of(v); break;
      case Opt::Sections: cmd.sections = true; break;
    }
  }
  if (cmd.positionals.size() != positional_count)
    throw Fail::usage(std::string("expected `quorvale ") + usage_line + "`");
  if ((command == Command::Plan || command == Command::Build) && !exact_given && !closed_vocabulary) {
    cmd.needs.exact = true;
    cmd.exact_implied = true;
  }
  return cmd;
}

}  // namespace quorvale::cli
