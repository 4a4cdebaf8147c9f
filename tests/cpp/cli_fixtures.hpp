// What the command-line tests share: streams that collect or fail, parsed
// command lines, an input file, and a planner that reports what it was given.
#pragma once

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "cli.hpp"
#include "temp_dir.hpp"

namespace cli_fixtures {

using namespace quorvale;
using namespace quorvale::cli;

// Collects what is written; can be told to fail like a closed pipe.
class StringOut final : public Out {
 public:
  void write_all(std::string_view bytes) override {
    if (broken) throw IndexError::os(EPIPE);
    text.append(bytes);
  }
  void flush() override {}
  std::string text;
  bool broken = false;
};

inline std::vector<std::string> words(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

inline std::vector<std::string> strings(const KeyList& keys) {
  return {keys.views().begin(), keys.views().end()};
}

inline Cmd parsed(Command command, std::vector<std::string> args) {
  return parse(args, command, command == Command::Build ? 2 : 1, "usage line");
}

// A reader over a file holding `content`.
struct Input {
  TempDir dir;
  File file;
  LineReader reader;
  explicit Input(const std::string& content)
      : file((write_file(dir / "in", content), File::open_read(dir / "in"))), reader(file.fd()) {}
};

// A planner that reports what it was given.
// Its best estimate is `best` with `block`.
struct FakePlanner {
  std::vector<std::string> keys;
  std::string file;
  kinds::Kind best = kinds::Kind::PerfectHashIndex;
  std::optional<std::uint64_t> block;
  Planner planner() {
    auto summary = [this](const Needs& needs, const Objective& objective, std::string text) {
      Needs effective = needs;
      if (objective.tag == Objective::Tag::Workload) {
        effective.reverse = effective.reverse || objective.workload.reverse != 0;
        effective.prefix = effective.prefix || objective.workload.prefix != 0 ||
                           objective.workload.common_prefix != 0 || objective.workload.longest_prefix != 0;
      }
      return PlanSummary{std::move(text), effective, best, block};
    };
    return Planner{
        [this, summary](std::span<const std::string_view> k, const Needs& n, const Objective& o) {
          keys.assign(k.begin(), k.end());
          return summary(n, o, "planned " + std::to_string(keys.size()) + "\n");
        },
        [this, summary](const std::string& path, const Needs& n, const Objective& o) {
          file = path;
          if (path == "broken") throw IndexError::io(IoKind::InvalidData, "broken:2: not UTF-8");
          return summary(n, o, "planned file\n");
        },
    };
  }
};

inline const std::string NOTE =
    "excluded: needs exact \xe2\x80\x94 CompactHashIndex (a bounded false-positive rate) and ClosedHashIndex (a "
    "stranger gets some member's id). Pass --closed-vocabulary if every key you will ask about is in this file, and "
    "they are ranked with the rest.\n";


}  // namespace cli_fixtures
