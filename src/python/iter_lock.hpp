// The cursor state of an iterator object that any number of Python threads
// may advance at once, behind one mutex: StringIndexIterator and
// DictIndexIterator use it.
//
// The mutex is taken without waiting when it is free. Only when another
// thread holds it does the caller detach from the interpreter to wait, and
// re-attach once it holds it: a waiter never blocks attached, so the holder
// can always re-attach (or keep running attached) and let go. The work under
// the mutex runs attached; make Python objects after it, from what it
// returned.
//
// A panic (a broken invariant, or anything the boundary would raise as one)
// while the mutex is held poisons the state for good: every later call fails
// with the panic "iterator state poisoned by an earlier panic". A Python
// exception or a core error leaves it usable; the work should then leave the
// state as it found it.
#pragma once

#include <mutex>
#include <new>
#include <type_traits>
#include <utility>

#include "frame.hpp"

namespace quorvale::python {

template <class State>
class IterLock {
 public:
  template <class... Args>
  explicit IterLock(Args&&... args) : state_(std::forward<Args>(args)...) {}
  IterLock(const IterLock&) = delete;
  IterLock& operator=(const IterLock&) = delete;

  // Runs work(State&) holding the mutex; returns what it returns.
  template <class Work>
  auto with(Work&& work) -> std::invoke_result_t<Work&, State&> {
    if (!mutex_.try_lock()) detached([&] { mutex_.lock(); });
    std::lock_guard<std::mutex> held(mutex_, std::adopt_lock);
    if (poisoned_) panic("iterator state poisoned by an earlier panic");
    try {
      return work(state_);
    } catch (const PyErrorSet&) {
      throw;
    } catch (const IndexError&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  State state_;            // guarded by mutex_
};

}  // namespace quorvale::python
