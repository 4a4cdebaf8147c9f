// The lock of an object whose state any number of Python threads may change
// at once (StringIndexIterator and DictIndexIterator's cursors; the overlay
// holds its state the same way): a `Locked` (threads.hpp) whose waiting
// happens outside the interpreter; and the iterator classes made on it.
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

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "threads.hpp"
#include "classes.hpp"
#include "frame.hpp"
#include "matches.hpp"

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

// Runs the interpreter's signal handlers and raises what they raise. Every
// refill of an iterator asks it first: `list()` and the other consumers in C
// call the next slot in loops of their own that never look for signals.
inline void run_signal_handlers() {
  if (PyErr_CheckSignals() < 0) throw_error_set();
}

// An iterator class over the objects of an index class, yielding (key, id)
// pairs. An iterator holds its parent index object strongly and its cursor
// state behind an IterLock; `Take(parent, state)`, run under the lock and
// attached, gives the next pair or nothing once the iteration is over. The
// pair's objects are made after the lock is released. The class has no
// constructor: iterators come from `make`. `Take` runs the signal handlers
// (run_signal_handlers) before each refill, leaving the state as it was
// when they raise.
template <class State, std::optional<std::pair<std::string, std::uint64_t>> (*Take)(PyObject* parent, State& state)>
struct LockedIterator {
  struct Object {
    PyObject_HEAD
    PyObject* parent;  // never changes
    IterLock<State> state;
  };

  static PyObject* next(PyObject* self) {
    auto* it = reinterpret_cast<Object*>(self);
    bool over = false;
    PyObject* r = boundary([&]() -> PyObject* {
      auto pair = it->state.with([&](State& s) { return Take(it->parent, s); });
      if (!pair) {
        over = true;
        Py_RETURN_NONE;
      }
      return pair_of(pair->first, pair->second);
    });
    if (over) {
      Py_DECREF(r);
      return nullptr;  // no exception set: StopIteration
    }
    return r;
  }

  static void dealloc(PyObject* self) {
    auto* it = reinterpret_cast<Object*>(self);
    PyTypeObject* type = Py_TYPE(self);
    it->state.~IterLock<State>();
    Py_XDECREF(it->parent);
    type->tp_free(self);
    Py_DECREF(type);
  }

  // A new iterator of the class `type` over `parent`, its state made of
  // `args`. Inside a boundary.
  template <class... Args>
  static PyObject* make(PyObject* type, PyObject* parent, Args&&... args) {
    if (!type) throw_error_set();
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    PyObject* obj = t->tp_alloc(t, 0);
    if (!obj) throw_error_set();
    auto* it = reinterpret_cast<Object*>(obj);
    new (&it->state) IterLock<State>(std::forward<Args>(args)...);
    Py_INCREF(parent);
    it->parent = parent;
    return obj;
  }

  // The class "quorvale._core.<name>" (`qualified`), made once through `cell`.
  static PyObject* type(TypeCell& cell, const char* qualified, const char* doc) {
    return cell.get([&]() -> PyObject* {
      static PyType_Slot slots[] = {
          {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
          {Py_tp_iter, reinterpret_cast<void*>(&PyObject_SelfIter)},
          {Py_tp_iternext, reinterpret_cast<void*>(&next)},
          {Py_tp_doc, const_cast<char*>(doc)},
          {0, nullptr},
      };
      static PyType_Spec type_def = {qualified, static_cast<int>(sizeof(Object)), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
      return PyType_FromSpec(&type_def);
    });
  }
};

}  // namespace quorvale::python
