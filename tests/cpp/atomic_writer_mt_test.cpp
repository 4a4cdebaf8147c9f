#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "blob.hpp"
#include "scratch_files.hpp"
#include "temp_dir.hpp"

using namespace quorvale;

TEST(AtomicWriter, ConcurrentSavesToOneTarget) {
  TempDir dir;
  std::string target = dir / "idx.bin";
  constexpr int kThreads = 8;
  std::vector<std::string> contents;
  for (int t = 0; t < kThreads; ++t) contents.push_back(std::string(1000 + t * 37, static_cast<char>('A' + t)));
  std::vector<int> ok(kThreads, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int round = 0; round < 5; ++round) {
          try {
            blob::write_atomically_with(target, [&](File& f) {
              BufWriter out(f);
              out.write_all(contents[t]);
              out.flush();
            });
            ++ok[t];
          } catch (...) {
          }
        }
      });
    }
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ok[t], 5);
  std::string final_content = read_file(target);
  bool known = false;
  for (auto& c : contents) known |= c == final_content;
  EXPECT_TRUE(known);
  EXPECT_EQ(dir.names(), std::set<std::string>{"idx.bin"});
}

// Targets whose names are as long as the directory allows and differ only
// past the point where their temporary names are cut: the writers share one
// shortened stem, and the counter and the exclusive creation keep them apart.
TEST(AtomicWriter, ConcurrentSavesSharingAShortenedStem) {
  TempDir dir;
  constexpr int kThreads = 8;
  std::vector<std::string> targets;
  std::set<std::string> names;
  for (int t = 0; t < kThreads; ++t) {
    std::string name(scratch::name_max(dir.path().string()) - 5, 'n');
    name += static_cast<char>('a' + t);
    name += ".idx";
    names.insert(name);
    targets.push_back(dir / name);
  }
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int round = 0; round < 5; ++round) {
          try {
            blob::write_atomically_with(targets[t], [&](File& f) {
              BufWriter out(f);
              out.write_all(std::string(100 + round, static_cast<char>('A' + t)));
              out.flush();
            });
          } catch (const IndexError& e) {
            ADD_FAILURE() << e.what();
          }
        }
      });
    }
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(read_file(targets[t]), std::string(104, static_cast<char>('A' + t)));
  EXPECT_EQ(dir.names(), names);
}
