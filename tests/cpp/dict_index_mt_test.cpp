// Many threads decoding and iterating one index agree with one thread.
#include <gtest/gtest.h>

#include <atomic>

#include "dict_fixtures.hpp"
#include "dict_index/dict_index.hpp"
#include "threads.hpp"

using namespace quorvale;

TEST(DictIndexMt, ThreadsDecodingOneIndexAgree) {
  for (const char* name : {"long", "tiered two- and three-byte phrase codes", "character code"}) {
    SCOPED_TRACE(name);
    dictfix::Layout layout;
    for (const auto& f : dictfix::fixtures())
      if (f.name == name) layout = f.layout;
    const auto w = dictfix::write(layout);
    const DictIndex d =
        DictIndex::from_shared(blob::SharedBytes::from_owned(std::span<const unsigned char>(w.blob)), true);
    const std::vector<std::string>& keys = layout.keys;
    std::atomic<std::uint64_t> wrong{0};
    run_workers(8, [&](std::size_t worker) {
      for (std::uint64_t k = 0; k < keys.size(); ++k) {
        const std::uint64_t id = (k * 7 + worker * 13) % keys.size();
        if (d.key(id) != keys[id]) wrong.fetch_add(1);
      }
      auto it = d.iter_from(worker * keys.size() / 8);
      std::string text;
      std::uint64_t id;
      while (it.next(text, id))
        if (text != keys[id]) wrong.fetch_add(1);
      if (d.sections().values != d.sections().values) wrong.fetch_add(1);
    });
    EXPECT_EQ(wrong.load(), 0u);
  }
}
