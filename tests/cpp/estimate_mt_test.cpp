// The planner on several threads: the sample's two chains of builds run side
// by side, and plans made at once on two threads agree with each other.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "estimate.hpp"

using namespace quorvale;
using namespace quorvale::estimate;

namespace {

TEST(PlanThreads, ModelledPlansAtOnceAgree) {
  // Past the exact limit, so that the sample's builds run.
  std::vector<std::string> keys;
  for (std::size_t i = 0; i <= EXACT_LIMIT; ++i) keys.push_back("k/" + std::to_string(i * 7919 % 1000003) + "/v");
  Objective latency;
  latency.tag = Objective::Tag::Latency;
  Plan plans[2];
  {
    std::jthread a([&] { plans[0] = plan_for(std::span<const std::string>(keys), {}, Objective{}); });
    std::jthread b([&] { plans[1] = plan_for(std::span<const std::string>(keys), {}, latency); });
  }
  ASSERT_EQ(plans[0].keys, EXACT_LIMIT + 1);
  EXPECT_FALSE(plans[0].estimates[0].measured);
  // The same sizes, ranked by different objectives.
  for (const Estimate& e : plans[0].estimates) {
    bool found = false;
    for (const Estimate& f : plans[1].estimates) found = found || f == e;
    EXPECT_TRUE(found) << kinds::of(e.kind).name;
  }
  EXPECT_EQ(plan_for(std::span<const std::string>(keys), {}, Objective{}).text(), plans[0].text());
}

}  // namespace
