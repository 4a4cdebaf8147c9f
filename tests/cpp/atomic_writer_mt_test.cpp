#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "blob.hpp"
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
