#include <gtest/gtest.h>

#include <cstdint>

#include "pages.hpp"

using quorvale::Pages;

template <class T>
void check_threshold() {
  const std::size_t at = quorvale::HUGE_PAGE / sizeof(T);
  Pages<T> big = Pages<T>::allocate(at);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big.data()) % quorvale::HUGE_PAGE, 0u);
  EXPECT_EQ(big.size(), at);
  Pages<T> small = Pages<T>::allocate(at - 1);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small.data()) % alignof(T), 0u);
  small[at - 2] = T{1};
  EXPECT_EQ(small[at - 2], T{1});
}

TEST(Pages, HugePageAlignmentFromTwoMiB) {
  check_threshold<std::uint8_t>();
  check_threshold<std::uint16_t>();
  check_threshold<std::uint32_t>();
  check_threshold<std::uint64_t>();
}

TEST(Pages, EmptyAllocatesNothing) {
  Pages<std::uint64_t> p = Pages<std::uint64_t>::allocate(0);
  EXPECT_EQ(p.size(), 0u);
  EXPECT_NE(p.data(), nullptr);
  EXPECT_TRUE(p.span().empty());
}

TEST(Pages, ZeroedAndMoved) {
  Pages<std::uint32_t> p = Pages<std::uint32_t>::zeroed(1000);
  for (std::uint32_t v : p) EXPECT_EQ(v, 0u);
  p[7] = 9;
  Pages<std::uint32_t> q = std::move(p);
  EXPECT_EQ(q[7], 9u);
  EXPECT_EQ(p.size(), 0u);
}

TEST(Pages, OversizedIsABrokenInvariant) {
  EXPECT_THROW(Pages<std::uint64_t>::allocate(SIZE_MAX / 4), quorvale::Panic);
}
