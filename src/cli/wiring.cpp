// Where the commands reach units that join this build later: the planner,
// the dictionary's byte split, and the bodies of the build and dump
// commands. Until each lands, the command that needs it fails with a work
// failure that says so; nothing else in the command line depends on them.
#include "cli/cli.hpp"

namespace quorvale::cli {

namespace {

[[noreturn]] void missing(const char* what) {
  throw Fail::work(std::string(what) + " is not part of this build yet");
}

}  // namespace

const Planner& planner() {
  static const Planner p{
      [](std::vector<std::string>, const Needs&, const Objective&) -> PlanSummary { missing("the planner"); },
      [](const std::string&, const Needs&, const Objective&) -> PlanSummary { missing("the planner"); },
  };
  return p;
}

DictSections dict_sections(blob::SharedBytes) { missing("the DictIndex loader"); }

void cmd_build(const Cmd&, LineReader&, Out&) { missing("the build command"); }

void cmd_dump(const Cmd&, Out&) { missing("the dump command"); }

}  // namespace quorvale::cli
