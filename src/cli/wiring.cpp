// Where the commands reach the planner and the dictionary's byte split.
#include "cli.hpp"

#include "dict_index/dict_index.hpp"
#include "estimate.hpp"

namespace quorvale::cli {

namespace {

PlanSummary summary(const estimate::Plan& plan) {
  const estimate::Estimate& best = plan.estimates.at(0);
  return PlanSummary{plan.text(), plan.needs, best.kind, best.block};
}

}  // namespace

const Planner& planner() {
  static const Planner p{
      [](std::span<const std::string_view> keys, const Needs& needs, const Objective& objective) {
        return summary(estimate::plan_for(keys, needs, objective, stop_probe()));
      },
      [](const std::string& path, const Needs& needs, const Objective& objective) {
        return summary(estimate::plan_file(path, needs, objective, estimate::RUN_BUDGET, estimate::MAX_KEY,
                                           stop_probe()));
      },
  };
  return p;
}

DictSections dict_sections(blob::SharedBytes bytes) {
  const DictIndex index = DictIndex::from_shared(std::move(bytes), true);
  const dict_index::Sections s = index.sections();
  DictSections split;
  split.keys = index.len();
  for (std::size_t i = 0; i < split.bytes.size(); ++i) split.bytes[i] = s[i];
  split.restarts = s[dict_index::Sections::RESTARTS];
  split.entries = s[dict_index::Sections::ENTRIES];
  split.wide = s[dict_index::Sections::WIDE];
  return split;
}

}  // namespace quorvale::cli
