// The hashed-dictionary build's slot-fill workers against the one-thread
// build, and readers sharing one index. Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "hashed_dict.hpp"
#include "hashed_dict_fixtures.hpp"

using namespace quorvale;

TEST(HashedDictThreads, SlotFillOnWorkersMatchesOneThread) {
  // 8,191 keys on 2 threads stay on the calling thread; from 8,192 the
  // engine's sort and slot pass take two workers.
  for (std::size_t n : {8191u, 8192u}) {
    const auto d = hdfix::dict_of(hdfix::keys(n, n));
    for (std::uint32_t bits : {0u, 8u}) {
      const HashedDictIndex one = HashedDictIndex::from_shared_dict(d, bits, 1);
      const HashedDictIndex two = HashedDictIndex::from_shared_dict(d, bits, 2);
      EXPECT_EQ(one.to_bytes(), two.to_bytes()) << n << " keys, width " << bits;
    }
  }
}

TEST(HashedDictThreads, ReadersShareOneIndex) {
  const std::vector<std::string> keys = hdfix::keys(5000, 3, true);
  const auto d = hdfix::dict_of(keys);
  for (std::uint32_t bits : {0u, 8u}) {
    const HashedDictIndex h = HashedDictIndex::from_shared_dict(d, bits);
    std::vector<int> wrong(8, 0);
    {
      std::vector<std::jthread> readers;
      for (int t = 0; t < 8; ++t)
        readers.emplace_back([&, t] {
          std::vector<std::string_view> views;
          for (std::size_t i = static_cast<std::size_t>(t); i < keys.size(); i += 8) views.push_back(keys[i]);
          const auto batch = h.ids_of(views);
          for (std::size_t j = 0; j < views.size(); ++j) {
            const std::uint64_t want = static_cast<std::uint64_t>(t) + 8 * j;
            if (!batch[j].found || batch[j].rank != want) ++wrong[t];
            if (h.id(views[j]).rank != want || h.unchecked_with_side(views[j]) != want) ++wrong[t];
          }
        });
    }
    for (int t = 0; t < 8; ++t) EXPECT_EQ(wrong[t], 0) << "reader " << t;
  }
}
