#include <gtest/gtest.h>

#include <bit>
#include <string>

#include "id_buffer.hpp"

using namespace quorvale::ids;

TEST(IdBuffer, FormatPredicate) {
  static_assert(std::endian::native == std::endian::little, "cases below assume a little-endian machine");
  struct Case {
    const char* format;
    std::size_t width;
    bool ok;
  };
  const Case cases[] = {
      {"I", 4, true},   {"@I", 4, true},   {"=I", 4, true},  {"<I", 4, true},  {">I", 4, false},
      {"!I", 4, false}, {"i", 4, false},   {"f", 4, false},  {"I", 8, false},  {"", 4, false},
      {"", 1, true},    {"B", 1, true},    {"II", 4, false}, {"2I", 4, false}, {"xI", 4, false},
      {"Q", 8, true},   {"<Q", 8, true},   {"=Q", 8, true},  {"q", 8, false},  {">Q", 8, false},
      {"L", sizeof(unsigned long), true},  {"=L", 4, true},  {"=L", 8, false}, {"N", sizeof(std::size_t), true},
      {"=N", 8, false}, {"H", 4, false},
  };
  for (const Case& c : cases) EXPECT_EQ(native_unsigned_format(c.format, c.width), c.ok) << c.format << " " << c.width;
}

TEST(IdBuffer, ChecksInOrder) {
  const BufferShape good{"I", 4, 0x1000, 40, false, true};
  EXPECT_FALSE(check_sink(good, 4, 10).has_value());
  EXPECT_FALSE(check_sink(good, 4, 3).has_value());

  struct Case {
    const char* name;
    BufferShape shape;
    std::size_t width;
    std::size_t n;
    SinkFault fault;
    const char* message;
  };
  const Case cases[] = {
      // Every fault at once: the format comes first.
      {"all wrong", {"i", 4, 0x1001, 4, true, false}, 4, 10, SinkFault::Incompatible,
       "buffer contents are not compatible with u32"},
      {"item size", {"I", 8, 0x1000, 80, false, true}, 4, 1, SinkFault::Incompatible,
       "buffer contents are not compatible with u32"},
      {"u32 into u64", {"I", 4, 0x1000, 80, false, true}, 8, 1, SinkFault::Incompatible,
       "buffer contents are not compatible with u64"},
      {"misaligned then read-only", {"Q", 8, 0x1004, 80, true, false}, 8, 1, SinkFault::Misaligned,
       "buffer contents are insufficiently aligned for u64"},
      {"read-only then strided", {"I", 4, 0x1000, 40, true, false}, 4, 100, SinkFault::ReadOnly, "out is read-only"},
      {"strided then short", {"I", 4, 0x1000, 4, false, false}, 4, 100, SinkFault::NotContiguous,
       "out is not C-contiguous"},
      {"short", {"I", 4, 0x1000, 8, false, true}, 4, 3, SinkFault::TooShort,
       "out holds 2 items but 3 keys were given"},
  };
  for (const Case& c : cases) {
    auto f = check_sink(c.shape, c.width, c.n);
    ASSERT_TRUE(f.has_value()) << c.name;
    EXPECT_EQ(*f, c.fault) << c.name;
    EXPECT_EQ(sink_message(*f, c.width, item_count(c.shape), c.n), c.message) << c.name;
  }
}
