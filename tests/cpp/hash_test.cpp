#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "hash.hpp"

using namespace quorvale;
using hash::HashPair;

namespace {

std::vector<unsigned char> seq(std::size_t n) {
  std::vector<unsigned char> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i);
  return v;
}

struct Vector {
  std::size_t len;
  std::uint64_t first;
  std::uint64_t second;
};

// Produced by the independent reference script tests/reference/hash_pair_ref.py.
const Vector kReference[] = {
#include "hash_pair_vectors.inc"
};

}  // namespace

TEST(HashPair, WorkedValues) {
  EXPECT_EQ(hash::hash_pair(std::string_view()), (HashPair{0x6e2f2e9135776ae6ULL, 0x1c5181564d26d06eULL}));
  EXPECT_EQ(hash::hash_pair(std::string_view("abc")), (HashPair{0x6c84dec0adafd3e8ULL, 0x3d1a9e5659cd35f1ULL}));
  EXPECT_EQ(hash::hash_pair(seq(11)), (HashPair{0x5c09314031ffeac4ULL, 0x233af223acf904c8ULL}));
  EXPECT_EQ(hash::hash_pair(seq(32)), (HashPair{0x7067f82931427f8dULL, 0x80b7a12b733aecb9ULL}));
  EXPECT_EQ(hash::hash_pair(seq(100)), (HashPair{0x9e0cb700496dc4ddULL, 0x502d360055bd4ae0ULL}));
}

TEST(HashPair, AgreesWithReferenceForEveryLengthUpTo130) {
  ASSERT_EQ(std::size(kReference), 131u);
  for (const Vector& v : kReference) {
    std::vector<unsigned char> key(v.len);
    for (std::size_t i = 0; i < v.len; ++i) key[i] = static_cast<unsigned char>((i * 131 + 17) % 256);
    // An exact-size heap copy lets the sanitizer catch a read past the key.
    EXPECT_EQ(hash::hash_pair(key), (HashPair{v.first, v.second})) << "length " << v.len;
  }
}

TEST(HashPair, EveryByteAndTheLengthMatter) {
  // Flipping any single byte changes the hash on every read path.
  for (std::size_t len : {1, 2, 3, 4, 7, 8, 15, 16, 17, 31, 32, 33, 63, 64, 65, 96, 97, 130}) {
    std::vector<unsigned char> key = seq(len);
    HashPair base = hash::hash_pair(key);
    for (std::size_t i = 0; i < len; ++i) {
      key[i] ^= 0x5a;
      EXPECT_NE(hash::hash_pair(key).first, base.first) << len << " byte " << i;
      key[i] ^= 0x5a;
    }
  }
  std::vector<unsigned char> one(1, 0), two(2, 0);
  EXPECT_NE(hash::hash_pair(one), hash::hash_pair(two));
}

TEST(SplitCollisions, Cases) {
  auto empty = hash::split_collisions({});
  EXPECT_TRUE(empty.distinct.empty());
  EXPECT_TRUE(empty.repeats.empty());

  std::vector<std::uint64_t> one{42};
  auto single = hash::split_collisions(one);
  EXPECT_EQ(single.distinct, std::vector<std::uint64_t>{42});
  EXPECT_TRUE(single.repeats.empty());

  std::vector<std::uint64_t> in{7, 5, 7, 5, 7};
  auto split = hash::split_collisions(in);
  EXPECT_EQ(split.distinct, (std::vector<std::uint64_t>{5, 7}));
  EXPECT_EQ(split.repeats, (std::vector<hash::Repeat>{{7, 2}, {5, 3}, {7, 4}}));
  EXPECT_EQ(in, (std::vector<std::uint64_t>{7, 5, 7, 5, 7}));

  std::vector<std::uint64_t> distinct{UINT64_MAX, 0, 3};
  auto none = hash::split_collisions(distinct);
  EXPECT_EQ(none.distinct, (std::vector<std::uint64_t>{0, 3, UINT64_MAX}));
  EXPECT_TRUE(none.repeats.empty());
}
