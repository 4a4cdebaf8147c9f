// Where the commands reach units that join this build later (the planner
// and the body of the dump command), and the dictionary's
// byte split. Until each lands, the command that needs it fails with a work
// failure that says so; nothing else in the command line depends on them.
#include "cli/cli.hpp"

#include "dict_index/dict_index.hpp"

namespace quorvale::cli {

namespace {

[[noreturn]] void missing(const char* what) {
  throw Fail::work(std::string(what) + " is not part of this build yet");
}

}  // namespace

const Planner& planner() {
  static const Planner p{
      [](std::span<const std::string_view>, const Needs&, const Objective&) -> PlanSummary { missing("the planner"); },
      [](const std::string&, const Needs&, const Objective&) -> PlanSummary { missing("the planner"); },
  };
  return p;
}

DictSections dict_sections(blob::SharedBytes bytes) {
  const DictIndex index = DictIndex::from_shared(std::move(bytes), true);
  const dict_index::Sections s = index.sections();
  DictSections split;
  split.keys = index.n;
  for (std::size_t i = 0; i < split.bytes.size(); ++i) split.bytes[i] = s[i];
  split.restarts = s[dict_index::Sections::RESTARTS];
  split.entries = s[dict_index::Sections::ENTRIES];
  split.wide = s[dict_index::Sections::WIDE];
  return split;
}

void cmd_dump(const Cmd&, Out&) { missing("the dump command"); }

}  // namespace quorvale::cli
