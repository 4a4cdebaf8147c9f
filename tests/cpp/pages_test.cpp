#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <vector>

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

// Resident tables: placed as allocate places them, and a released one's
// block serves the next table of its size (from half of it up), within the
// bound on what is kept.
namespace {

using quorvale::detail::kept_bytes;

// Takes back the blocks a test left kept, so that each test starts from none.
void give_back(std::initializer_list<std::size_t> sizes) {
  for (std::size_t bytes : sizes) {
    std::size_t capacity = 0;
    if (void* block = quorvale::detail::take_kept(bytes, capacity)) std::free(block);
  }
  ASSERT_EQ(kept_bytes(), 0u);
}

}  // namespace

TEST(Pages, ResidentTableBlocksServeTheNextOfTheirSize) {
  ASSERT_EQ(kept_bytes(), 0u);
  constexpr std::size_t MIB = std::size_t{1} << 20;
  const void* first = nullptr;
  {
    Pages<std::uint8_t> p = Pages<std::uint8_t>::allocate_resident(MIB);
    for (std::size_t i = 0; i < MIB; i += 4096) p[i] = 1;
    first = p.data();
    Pages<std::uint8_t> moved = std::move(p);  // the block goes with the table, and is kept once
    EXPECT_EQ(kept_bytes(), 0u);
  }
  EXPECT_EQ(kept_bytes(), MIB);
  {
    // Less than half the block: a table of its own, kept in turn.
    Pages<std::uint8_t> small = Pages<std::uint8_t>::allocate_resident(MIB / 2 - 1);
    EXPECT_NE(small.data(), first);
    // Exactly the block's half, in other elements: the kept block.
    Pages<std::uint64_t> words = Pages<std::uint64_t>::allocate_resident(MIB / 16);
    EXPECT_EQ(static_cast<const void*>(words.data()), first);
    EXPECT_EQ(words.size(), MIB / 16);
    EXPECT_EQ(kept_bytes(), 0u);
    words[MIB / 16 - 1] = 7;
  }
  EXPECT_EQ(kept_bytes(), MIB + MIB / 2 - 1);
  give_back({MIB, MIB / 2 - 1});

  // Small tables and tables past the bound go back to the system.
  { Pages<std::uint32_t> tiny = Pages<std::uint32_t>::allocate_resident(1000); }
  { Pages<std::uint8_t> big = Pages<std::uint8_t>::allocate_resident(32 * MIB); }
  EXPECT_EQ(kept_bytes(), 0u);

  // Huge-page placement holds for a table served from a kept block.
  { Pages<std::uint8_t> p = Pages<std::uint8_t>::allocate_resident(3 * MIB); }
  {
    Pages<std::uint16_t> p = Pages<std::uint16_t>::allocate_resident(quorvale::HUGE_PAGE / 2);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p.data()) % quorvale::HUGE_PAGE, 0u);
    EXPECT_EQ(kept_bytes(), 0u);
  }
  give_back({3 * MIB});

  // The bound: 16 MiB and 8 blocks at most.
  {
    std::vector<Pages<std::uint8_t>> many;
    for (int i = 0; i < 5; ++i) many.push_back(Pages<std::uint8_t>::allocate_resident(4 * MIB));
  }
  EXPECT_EQ(kept_bytes(), 16 * MIB);
  give_back({4 * MIB, 4 * MIB, 4 * MIB, 4 * MIB});
  {
    std::vector<Pages<std::uint8_t>> many;
    for (int i = 0; i < 9; ++i) many.push_back(Pages<std::uint8_t>::allocate_resident(MIB));
  }
  EXPECT_EQ(kept_bytes(), 8 * MIB);
  give_back({MIB, MIB, MIB, MIB, MIB, MIB, MIB, MIB});
}
