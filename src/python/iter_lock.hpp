// The lock of an object whose state any number of Python threads may change
// at once (StringIndexIterator and DictIndexIterator's cursors; the overlay
// holds its state the same way): a `Locked` (threads.hpp) whose waiting
// happens outside the interpreter.
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

#include <type_traits>
#include <utility>

#include "../threads.hpp"
#include "frame.hpp"

namespace quorvale::python {

// The wait of Locked::with from the interpreter: detached while blocking.
inline constexpr auto wait_detached = [](auto&& lock) { detached(lock); };

template <class State>
class IterLock {
 public:
  template <class... Args>
  explicit IterLock(Args&&... args) : locked_("iterator state poisoned by an earlier panic", std::forward<Args>(args)...) {}

  // Runs work(State&) holding the mutex; returns what it returns.
  template <class Work>
  auto with(Work&& work) -> std::invoke_result_t<Work&, State&> {
    return locked_.with(wait_detached, std::forward<Work>(work));
  }

 private:
  Locked<State> locked_;
};

}  // namespace quorvale::python
