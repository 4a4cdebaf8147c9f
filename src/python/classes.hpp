// What every binding class shares: an instance holds one shared reference to
// its immutable core object; type objects are made once, on first need, and
// kept for the life of the process.
#pragma once

#include <atomic>
#include <memory>
#include <new>

#include "frame.hpp"

namespace quorvale::python {

template <class Core>
struct Instance {
  PyObject_HEAD
  std::shared_ptr<const Core> core;
};

template <class Core>
void instance_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Instance<Core>*>(self)->core.~shared_ptr<const Core>();
  type->tp_free(self);
  Py_DECREF(type);  // heap-type instances own a reference to their type
}

// A new instance of `type` over `core`.
template <class Core>
PyObject* wrap(PyTypeObject* type, std::shared_ptr<const Core> core) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) throw_error_set();
  new (&reinterpret_cast<Instance<Core>*>(obj)->core) std::shared_ptr<const Core>(std::move(core));
  return obj;
}

template <class Core>
const std::shared_ptr<const Core>& core_of(PyObject* self) {
  return reinterpret_cast<Instance<Core>*>(self)->core;
}

// Creates a heap type once; later calls return the same object (borrowed).
// `make` returns a new reference or null with the error set.
class TypeCell {
 public:
  template <class Make>
  PyObject* get(Make&& make) {
    PyObject* t = type_.load(std::memory_order_acquire);
    if (t) return t;
    PyObject* made = make();
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (!type_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
      Py_DECREF(made);  // another thread made it first
      return expected;
    }
    return made;
  }

 private:
  std::atomic<PyObject*> type_{nullptr};
};

// Sets a class attribute on a freshly made type.
void set_class_attr(PyObject* type, const char* name, PyObject* value);

}  // namespace quorvale::python
