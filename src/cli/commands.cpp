// The inspect and plan commands, and the output routines the build and dump
// commands share with them.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "cli.hpp"
#include "dict_index/dict_index.hpp"

namespace quorvale::cli {

namespace {

constexpr const char* EXCLUDED_NOTE =
    "excluded: needs exact \u2014 CompactHashIndex (a bounded false-positive rate) and ClosedHashIndex (a stranger "
    "gets some member's id). Pass --closed-vocabulary if every key you will ask about is in this file, and they are "
    "ranked with the rest.\n";

std::string fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

void put_field(Out& out, const std::string& prefix, const char* name, const std::optional<std::uint64_t>& v) {
  if (v) put(out, prefix + name + ": " + std::to_string(*v) + "\n");
}

}  // namespace

void put(Out& out, std::string_view text) {
  try {
    out.write_all(text);
  } catch (const IndexError& e) {
    throw io_fail(e);
  }
}

void print_info(const inspect::BlobInfo& info, const std::string& prefix, Out& out) {
  put(out, prefix + "kind: " + kinds::of(info.kind).name + "\n");
  put(out, prefix + "format: " + info.format + "\n");
  put(out, prefix + "bytes: " + std::to_string(info.bytes) + "\n");
  put_field(out, prefix, "keys", info.keys);
  put_field(out, prefix, "fingerprint_bits", info.fingerprint_bits);
  put_field(out, prefix, "mph_bytes", info.mph_bytes);
  put_field(out, prefix, "arena_bytes", info.arena_bytes);
  put_field(out, prefix, "side_entries", info.side_entries);
  if (info.overlay) {
    const inspect::OverlayInfo& o = *info.overlay;
    put(out, prefix + "overlay.base_tag: " + std::to_string(o.base_tag) + "\n");
    put(out, prefix + "overlay.additions: " + std::to_string(o.additions) + "\n");
    put(out, prefix + "overlay.retired: " + std::to_string(o.retired) + "\n");
    if (o.base) print_info(*o.base, prefix + "base.", out);
  }
}

void print_sections(const DictSections& split, Out& out) {
  std::uint64_t total = 0;
  for (std::uint64_t b : split.bytes) total += b;
  const double per = static_cast<double>(split.keys == 0 ? 1 : split.keys);
  auto line = [&](const char* name, std::uint64_t bytes) {
    const double share = total == 0 ? 0.0 : static_cast<double>(bytes) * 100.0 / static_cast<double>(total);
    put(out, std::string("sections.") + name + ": " + std::to_string(bytes) + " (" +
                 fixed(static_cast<double>(bytes) / per, 4) + " B/key, " + fixed(share, 2) + " %)\n");
  };
  for (std::size_t i = 0; i < split.bytes.size(); ++i) line(dict_index::Sections::NAMES[i], split.bytes[i]);
  line("total", total);
  put(out, "sections.restarts: " + std::to_string(split.restarts) + "\n");
  put(out, "sections.entries: " + std::to_string(split.entries) + "\n");
  put(out, "sections.wide: " + std::to_string(split.wide) + "\n");
}

inspect::BlobInfo inspected(const std::string& path) {
  try {
    return inspect::inspect_file(path);
  } catch (const IndexError& e) {
    throw Fail::work(path + ": " + e.display());
  }
}

void cmd_inspect(const Cmd& cmd, Out& out) {
  const std::string& path = cmd.positionals[0];
  const inspect::BlobInfo info = inspected(path);
  print_info(info, "", out);
  if (!cmd.sections) return;
  if (info.kind != kinds::Kind::DictIndex)
    throw Fail::work(path + ": --sections is a DictIndex's byte split, and this is a " +
                     kinds::of(info.kind).name);
  DictSections split;
  try {
    split = dict_sections(blob::SharedBytes::read_file(path));
  } catch (const IndexError& e) {
    throw Fail::about(path, e);
  }
  print_sections(split, out);
}

void note_implied_exact(bool exact_implied, const Needs& needs, Out& err) {
  if (exact_implied && !needs.reverse && !needs.ordered && !needs.prefix && !needs.fuzzy) put(err, EXCLUDED_NOTE);
}

void cmd_plan(const Cmd& cmd, LineReader& in, Out& out, Out& err, const Planner& with) {
  const std::string& path = cmd.positionals[0];
  PlanSummary plan;
  if (path == "-") {
    KeysRead read = read_keys(path, in);
    if (read.empty_lines > 0) put(err, "-: " + std::to_string(read.empty_lines) + " empty lines skipped\n");
    try {
      plan = with.keys(read.keys.views(), cmd.needs, cmd.objective);
    } catch (const IndexError& e) {
      throw Fail::about(path, e);
    }
  } else {
    try {
      plan = with.file(path, cmd.needs, cmd.objective);
    } catch (const IndexError& e) {
      throw Fail::about(path, e);
    }
  }
  // A plan made while a signal asked to stop is not printed.
  stop_if_interrupted();
  put(out, plan.text);
  note_implied_exact(cmd.exact_implied, plan.needs, err);
}

void note_written(kinds::Kind kind, std::uint64_t keys, const std::string& path, Out& err) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw Fail::work(path + ": " + IndexError::last_os().message());
  const std::uint64_t bytes = static_cast<std::uint64_t>(st.st_size);
  const double per = static_cast<double>(bytes) / static_cast<double>(keys == 0 ? 1 : keys);
  put(err, "wrote " + path + ": " + kinds::of(kind).name + " over " + std::to_string(keys) + " keys, " +
               std::to_string(bytes) + " bytes (" + fixed(per, 2) + " B/key)\n");
}

void write_key(Out& writer, std::string_view key, std::uint64_t id, const std::string& blob) {
  if (key.find_first_of("\r\n") != std::string_view::npos)
    throw Fail::work((blob.empty() ? "" : blob + ": ") + "id " + std::to_string(id) +
                     " holds a line break, which one key per line cannot carry");
  put(writer, key);
  put(writer, "\n");
}

}  // namespace quorvale::cli
