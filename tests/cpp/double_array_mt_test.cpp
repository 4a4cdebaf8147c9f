// Eight threads query one index at once and agree with one thread's answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "double_array.hpp"

using namespace quorvale;

namespace {

struct Answers {
  std::vector<std::optional<std::uint32_t>> ids;
  std::vector<std::vector<PrefixMatch>> prefixes;
  std::vector<std::vector<Occurrence>> occurrences;
  bool operator==(const Answers&) const = default;
};

Answers ask(const DoubleArrayIndex& idx, const std::vector<std::string>& texts) {
  Answers a;
  for (const std::string& t : texts) {
    a.ids.push_back(idx.id(t));
    a.prefixes.emplace_back();
    idx.common_prefix(t, a.prefixes.back());
    a.occurrences.emplace_back();
    idx.occurrences(t, a.occurrences.back());
  }
  return a;
}

}  // namespace

TEST(DoubleArrayThreads, EightThreadsAgree) {
  std::mt19937_64 rng(21);
  std::set<std::string> keys;
  while (keys.size() < 2000) {
    std::string k;
    for (int j = 0, n = 1 + static_cast<int>(rng() % 7); j < n; ++j) k += "abcde\xc3\xa9"[rng() % 5];
    keys.insert(k);
  }
  std::vector<std::string> sorted(keys.begin(), keys.end());
  std::vector<std::string_view> views(sorted.begin(), sorted.end());
  const DoubleArrayIndex idx = DoubleArrayIndex::build_ranked(views);
  std::vector<std::string> texts;
  for (int i = 0; i < 500; ++i) {
    std::string t;
    for (int j = 0, n = static_cast<int>(rng() % 400); j < n; ++j) t += "abcdexy"[rng() % 7];
    texts.push_back(t);
  }
  const Answers want = ask(idx, texts);
  std::vector<Answers> got(8);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back([&, t] { got[t] = ask(idx, texts); });
  }
  for (const Answers& a : got) EXPECT_TRUE(a == want);
}
