// The frame: help and version, the choice of command, and the report of a
// failure with its exit status.
#include "cli.hpp"

#include <new>

namespace quorvale::cli {

namespace {

struct CommandSpec {
  const char* name;
  Command command;
  std::size_t positionals;
  const char* usage_line;
};

constexpr const char* OUT_OF_MEMORY = "out of memory";

constexpr CommandSpec COMMANDS[] = {
    {"dump", Command::Dump, 1, "dump <blob>"},
    {"inspect", Command::Inspect, 1, "inspect <blob> [--sections]"},
    {"plan", Command::Plan, 1, "plan <keys-file> [needs]"},
    {"build", Command::Build, 2, "build <keys-file> <out-blob> [options]"},
};

void dispatch(std::span<const std::string> args, const Streams& streams) {
  if (args.empty()) throw Fail::usage("no subcommand");
  bool help = args[0] == "help";
  for (const std::string& a : args) help = help || a == "-h" || a == "--help";
  if (help) return put(streams.out, usage_text());
  if (args[0] == "-V" || args[0] == "--version") return put(streams.out, std::string("quorvale ") + version() + "\n");
  for (const CommandSpec& c : COMMANDS) {
    if (args[0] != c.name) continue;
    const Cmd cmd = parse(args.subspan(1), c.command, c.positionals, c.usage_line);
    try {
      switch (c.command) {
        case Command::Dump: return cmd_dump(cmd, streams.out);
        case Command::Inspect: return cmd_inspect(cmd, streams.out);
        case Command::Plan: return cmd_plan(cmd, streams.in, streams.out, streams.err);
        case Command::Build: return cmd_build(cmd, streams.in, streams.err);
      }
    } catch (const std::bad_alloc&) {
      // What the command held is given back by now. Named after the file it
      // reads: the keys file, or the blob.
      throw Fail::work(cmd.positionals[0] + ": " + OUT_OF_MEMORY);
    }
  }
  throw Fail::usage("no such subcommand `" + args[0] + "`");
}

}  // namespace

int run_on(std::span<const std::string> args, const Streams& streams) {
  try {
    try {
      dispatch(args, streams);
    } catch (const std::bad_alloc&) {
      throw Fail::work(OUT_OF_MEMORY);
    }
    return 0;
  } catch (const Fail& caught) {
    // Whatever a stopped command failed with (a cut key stream, a probe's
    // refusal), the signal is the cause.
    const int signal = interrupted();
    const Fail fail = signal != 0 ? Fail::interrupted(signal) : caught;
    std::string report = "quorvale: " + fail.message + "\n";
    if (fail.kind == Fail::Kind::Usage) report += "\n" + usage_text() + "\n";
    try {
      streams.err.write_all(report);
    } catch (const IndexError&) {
      // Nowhere left to say it; the status still tells.
    }
    return fail.status();
  }
}

int run(std::span<const std::string> args) {
  StdStreams streams;
  const SignalScope stopping;  // taken under the stream locks: runs never overlap
  return run_on(args, Streams{streams.in(), streams.out(), streams.err()});
}

}  // namespace quorvale::cli
