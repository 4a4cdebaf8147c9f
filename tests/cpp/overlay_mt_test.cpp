// The binding's lock (poisoning, waiting outside) and one overlay shared by
// eight writers and a saver through it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "overlay_fixtures.hpp"
#include "threads.hpp"

using namespace overlay_fixtures;
using quorvale::IndexError;
using quorvale::LimitExceeded;
using quorvale::Panic;

namespace {

TEST(OverlayLock, OnlyBrokenInvariantsPoison) {
  quorvale::Locked<int> locked(overlay::MSG_POISONED, 0);
  // Ordinary errors pass through and leave the value usable.
  EXPECT_THROW(locked.with([](int&) -> int { throw IndexError::format("x"); }), IndexError);
  EXPECT_THROW(locked.with([](int&) -> int { throw LimitExceeded(overlay::MSG_TOO_MANY); }), LimitExceeded);
  EXPECT_THROW(locked.with([](int&) -> int { throw std::bad_alloc(); }), std::bad_alloc);
  EXPECT_EQ(locked.with([](int& v) { return ++v; }), 1);
  EXPECT_FALSE(locked.poisoned());
  // A panic poisons for good.
  EXPECT_THROW(locked.with([](int&) -> int { quorvale::panic("broken"); }), Panic);
  EXPECT_TRUE(locked.poisoned());
  for (int i = 0; i < 2; ++i) {
    try {
      locked.with([](int& v) { return ++v; });
      FAIL() << "a poisoned value was handed out";
    } catch (const Panic& e) {
      EXPECT_STREQ(e.what(), overlay::MSG_POISONED);
    }
  }
  // So does a standard exception of no kind the program makes, but not one
  // from outside the standard hierarchy (a Python error already raised).
  struct Raised {};
  quorvale::Locked<int> other(overlay::MSG_POISONED, 0);
  EXPECT_THROW(other.with([](int&) -> int { throw Raised{}; }), Raised);
  EXPECT_FALSE(other.poisoned());
  EXPECT_THROW(other.with([](int&) -> int { throw std::runtime_error("?"); }), std::runtime_error);
  EXPECT_TRUE(other.poisoned());
}

TEST(OverlayLock, WaitsThroughTheHookOnlyWhenBusy) {
  quorvale::Locked<int> locked(overlay::MSG_POISONED, 0);
  std::atomic<int> waits{0};
  std::atomic<bool> holding{false}, waiting{false};
  auto wait = [&](auto&& lock) {
    ++waits;
    waiting = true;
    lock();
  };
  locked.with(wait, [](int& v) { return ++v; });
  EXPECT_EQ(waits, 0);
  // The holder keeps the mutex until the hook is called, so the next call
  // finds it busy however the threads are scheduled. (A hook never called
  // would leave the holder to give up after a while, and the count fails.)
  std::jthread holder([&] {
    locked.with([&](int& v) {
      holding = true;
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!waiting && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
      return ++v;
    });
  });
  while (!holding) std::this_thread::yield();
  EXPECT_EQ(locked.with(wait, [](int& v) { return ++v; }), 3);
  EXPECT_EQ(waits, 1);
}

// Eight threads add, remove and look up while a ninth saves in a loop: every
// blob loads, and the count of live ids is the id space less the retired.
TEST(OverlayLock, SharedOverlayUnderEightWriters) {
  std::vector<std::string> base;
  for (int i = 0; i < 500; ++i) base.push_back("base" + std::to_string(i));
  quorvale::Locked<Overlay> locked(overlay::MSG_POISONED, std::make_shared<const StringIndex>(build_kind<StringIndex>(base)));
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::atomic<int> saved{0};
  {
    std::jthread saver([&] {
      while (!done) {
        const Bytes blob = locked.with([](auto& o) { return o.to_bytes(); });
        auto back = load<StringIndex>(blob, false);
        if (back.len() != back.id_space() - [&] {
              std::uint64_t r = 0;
              for (auto w : back.tombstones()) r += static_cast<std::uint64_t>(__builtin_popcountll(w));
              return r;
            }())
          ++bad;
        ++saved;
      }
    });
    std::vector<std::jthread> writers;
    for (int t = 0; t < 8; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; i < 2000; ++i) {
          const std::string key = (i % 3 == 0 ? "base" : "new") + std::to_string((i * 7 + t) % 700);
          locked.with([&](auto& o) {
            switch ((i + t) % 3) {
              case 0: {
                const std::uint64_t id = o.add(key);
                if (o.id(key) != id) ++bad;
                break;
              }
              case 1: o.remove(key); break;
              default:
                if (auto id = o.id(key); id && o.key(*id) != key) ++bad;
            }
            return 0;
          });
        }
      });
    }
    writers.clear();
    done = true;
  }
  EXPECT_EQ(bad, 0);
  EXPECT_GT(saved, 0);
  locked.with([](auto& o) {
    std::uint64_t retired = 0;
    for (auto w : o.tombstones()) retired += static_cast<std::uint64_t>(__builtin_popcountll(w));
    EXPECT_EQ(o.len(), o.id_space() - retired);
    EXPECT_EQ(o.keys().size(), o.len());
    return 0;
  });
}

}  // namespace
