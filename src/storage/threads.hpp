// Scoped worker threads: started inside a call, joined before it returns.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"
#include "streamed_keys.hpp"

namespace quorvale {

// The number of online processors; 1 when the system cannot tell.
std::size_t online_processors();

// Ends the work with IndexError (Io, Interrupted) when the probe answers yes.
inline void stop_if(const StopProbe& probe) {
  if (probe && probe()) throw IndexError::io_kind(IoKind::Interrupted);
}

// The first failure of a group of workers. A worker never lets an exception
// escape (that would end the process): it records it here, the others see
// `failed()` and stop claiming work, and the caller rethrows after joining.
class FirstError {
 public:
  void capture(std::exception_ptr error) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!error_) error_ = std::move(error);
    failed_.store(true, std::memory_order_release);
  }
  bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }
  void rethrow_if_failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::mutex mutex_;
  std::exception_ptr error_;
  std::atomic<bool> failed_{false};
};

// Runs body(worker) (or body(worker, first) to let a worker see that another
// has failed) for worker in 0..count-1, each on its own thread, and
// joins them all. A thread that cannot be started is skipped (the work is
// claimed from shared state, so fewer workers still finish it); when none can
// be started the first body runs on the calling thread. The first exception
// of any body is rethrown on the caller once every worker has joined.
template <class Body>
void run_workers(std::size_t count, Body&& body) {
  if (count == 0) count = 1;
  FirstError first;
  auto guarded = [&](std::size_t worker) noexcept {
    try {
      if constexpr (std::is_invocable_v<Body&, std::size_t, const FirstError&>) {
        body(worker, static_cast<const FirstError&>(first));
      } else {
        body(worker);
      }
    } catch (...) {
      first.capture(std::current_exception());
    }
  };
  {
    std::vector<std::jthread> threads;
    threads.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      try {
        threads.emplace_back(guarded, i);
      } catch (const std::system_error&) {
        break;
      }
    }
    if (threads.empty()) guarded(0);
  }  // jthreads join here
  first.rethrow_if_failed();
}

// Runs fn(i) for i in 0..count-1 on up to `threads` scoped workers that claim
// indices from a shared counter, so a worker that cannot start leaves its
// share to the others (one thread or one index: on the calling thread); the
// first failure is rethrown after all join.
template <class Fn>
void parallel_claims(std::size_t count, std::size_t threads, Fn&& fn) {
  if (count == 0) return;
  if (threads <= 1 || count == 1) {
    for (std::size_t i = 0; i < count; ++i) fn(i);
    return;
  }
  std::atomic<std::size_t> next{0};
  run_workers(std::min(threads, count), [&](std::size_t, const FirstError& first) {
    while (!first.failed()) {
      std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= count) return;
      fn(i);
    }
  });
}

// A value behind a mutex with a poison flag, for state that several threads
// change through one object (an overlay, an iterator's cursor). A broken
// invariant (a Panic, or any std::exception that is not one of the program's
// ordinary errors) escaping while the mutex is held poisons the value for
// good: every later `with` fails with the Panic of the sentence given at
// construction. Ordinary errors (IndexError, LimitExceeded, an exhausted
// allocation) and exceptions from outside the standard hierarchy (an error
// already raised in the interpreter) pass through and leave the value
// usable: the work must leave the value as it found it when it throws one.
template <class T>
class Locked {
 public:
  template <class... Args>
  explicit Locked(const char* poisoned_sentence, Args&&... args)
      : sentence_(poisoned_sentence), value_(std::forward<Args>(args)...) {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  // work(T&) under the mutex; returns what it returns. The mutex is tried
  // first; only when it is busy is wait(lock) called with a routine that
  // blocks until it is taken, so that a caller can wait outside the
  // interpreter.
  template <class Wait, class Work>
  decltype(auto) with(Wait&& wait, Work&& work) {
    if (!mutex_.try_lock()) wait([this] { mutex_.lock(); });
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    if (poisoned_) panic(sentence_);
    try {
      return work(value_);
    } catch (const IndexError&) {
      throw;
    } catch (const LimitExceeded&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception&) {
      poisoned_ = true;  // Panic included
      throw;
    }
  }
  // The same for a caller that may simply block.
  template <class Work>
  decltype(auto) with(Work&& work) {
    return with([](auto&& lock) { lock(); }, std::forward<Work>(work));
  }
  bool poisoned() {
    std::lock_guard<std::mutex> g(mutex_);
    return poisoned_;
  }

 private:
  std::mutex mutex_;
  const char* sentence_;
  bool poisoned_ = false;  // guarded by mutex_
  T value_;                // guarded by mutex_
};

}  // namespace quorvale
