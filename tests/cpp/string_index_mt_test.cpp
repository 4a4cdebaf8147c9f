// Threads making the first dictionary-matching calls on one index at once:
// one derives the first-character table, the others wait for it, and all
// agree with a single-threaded run.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "fst_test_util.hpp"
#include "string_index.hpp"

using quorvale::StringIndex;

namespace {

struct Answers {
  std::vector<std::vector<std::pair<std::string, std::uint64_t>>> common;
  std::vector<std::optional<std::pair<std::string, std::uint64_t>>> longest;
  std::vector<std::vector<quorvale::string_index::Occurrence>> occ;
  bool operator==(const Answers&) const = default;
};

Answers ask(const StringIndex& index, const std::vector<std::string>& texts, std::size_t from) {
  Answers a;
  for (std::size_t k = 0; k < texts.size(); ++k) {
    const std::string& t = texts[(from + k) % texts.size()];
    switch ((from + k) % 3) {
      case 0: a.common.push_back(index.common_prefix(t)); break;
      case 1: a.longest.push_back(index.longest_prefix(t)); break;
      default: a.occ.push_back(index.occurrences(t)); break;
    }
  }
  return a;
}

TEST(StringIndexThreads, FirstMatchingCallsAgree) {
  const auto keys = fsttest::random_keys(5000, 41, false);
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < keys.size(); i += 50) texts.push_back(keys[i] + keys[(i * 7) % keys.size()]);
  constexpr int kThreads = 8;
  const Answers want[3] = {ask(StringIndex::build(keys), texts, 0), ask(StringIndex::build(keys), texts, 1),
                           ask(StringIndex::build(keys), texts, 2)};
  for (int round = 0; round < 5; ++round) {
    const StringIndex index = StringIndex::build(keys);  // table not yet derived
    std::atomic<int> ready{0};
    std::vector<int> ok(kThreads, 0);
    {
      std::vector<std::jthread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          ready.fetch_add(1);
          while (ready.load() < kThreads) {
          }
          ok[t] = ask(index, texts, t % 3) == want[t % 3];
        });
      }
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(ok[t]) << "round " << round << " thread " << t;
  }
}

// Batched lookups and cursor batches, as the Python class runs them from
// many threads over one index.
TEST(StringIndexThreads, BatchesAgree) {
  const auto keys = fsttest::random_keys(5000, 43, false);
  const StringIndex index = StringIndex::build(keys);
  auto run = [&] {
    std::vector<std::uint64_t> ids(keys.size());
    index.ids_into(keys.size(), [&](std::size_t i) { return std::string_view(keys[keys.size() - 1 - i]); }, ids.data(),
                   ~std::uint64_t{0});
    std::vector<std::string> walked;
    std::optional<std::string> last;
    for (;;) {
      quorvale::string_index::Batch batch;
      index.batch_after(last, 100, batch);
      if (batch.empty()) break;
      for (std::size_t i = 0; i < batch.size(); ++i) walked.emplace_back(batch.key(i));
      last = walked.back();
    }
    return std::make_pair(ids, walked);
  };
  const auto want = run();
  std::vector<int> ok(8, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 8; ++t) threads.emplace_back([&, t] { ok[t] = run() == want; });
  }
  for (int t = 0; t < 8; ++t) EXPECT_TRUE(ok[t]) << t;
  EXPECT_EQ(want.second, keys);
}

}  // namespace
