// The frame every binding shares: owning references, the argument reader,
// argument conversions, detaching from the interpreter, and the boundary that
// turns C++ exceptions into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "error.hpp"
#include "pause.hpp"

#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

namespace quorvale::python {

// Thrown when a Python exception is already set and must simply propagate.
struct PyErrorSet {};

[[noreturn]] inline void throw_error_set() { throw PyErrorSet{}; }

// A new reference, released at scope end. Never let one be released while
// detached from the interpreter: declare it outside the detached scope.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return Ref(o);
  }
  // Takes a new reference from a C API call; a null means an error is set.
  static Ref check(PyObject* owned) {
    if (!owned) throw_error_set();
    return Ref(owned);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// ---- errors -----------------------------------------------------------------

// Sets the Python exception for a core error: OSError for Io (the display
// text as its only argument), ValueError for every other kind.
void to_py(const IndexError& error);
// The BaseException-derived type raised for a broken invariant.
PyObject* panic_type();
void raise_panic(const char* sentence);
[[noreturn]] void raise_type_error(const std::string& message);
[[noreturn]] void raise_value_error(const std::string& message);
[[noreturn]] void raise_overflow_error(const std::string& message);
// Adds the note "while processing '<name>'" to the exception being raised.
void add_processing_note(const char* name);
// The exception being raised, taken out of the error state (a new reference;
// null when none is set), and an exception object raised again (the
// reference is stolen).
PyObject* take_raised_exception();
void restore_raised_exception(PyObject* exc);
// "'int'" style name of an object's type.
std::string type_name(PyObject* o);

// Runs f and converts whatever it throws into the Python error state; the
// result is f's new reference, or null with the error set. No C++ exception
// ever leaves it.
template <class F>
PyObject* boundary(F&& f) noexcept {
  try {
    return f();
  } catch (const PyErrorSet&) {
  } catch (const IndexError& e) {
    to_py(e);
  } catch (const Panic& e) {
    raise_panic(e.what());
  } catch (const LimitExceeded& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("an unknown exception reached the interpreter");
  }
  if (!PyErr_Occurred()) raise_panic("an error was lost on its way to the interpreter");
  return nullptr;
}

// Same for an int-returning slot (0 on success, -1 with the error set).
template <class F>
int boundary_int(F&& f) noexcept {
  PyObject* r = boundary([&]() -> PyObject* {
    f();
    Py_RETURN_NONE;
  });
  if (!r) return -1;
  Py_DECREF(r);
  return 0;
}

// Same for a slot answering a truth value, such as the `in` operator's: 1 or
// 0, or -1 with the error set.
template <class F>
int boundary_truth(F&& f) noexcept {
  PyObject* r = boundary([&]() -> PyObject* { return PyBool_FromLong(f()); });
  if (!r) return -1;
  const int v = r == Py_True;
  Py_DECREF(r);
  return v;
}

// A count as a Python length; OverflowError `message` past Py_ssize_t.
inline Py_ssize_t py_length(std::uint64_t n, const char* message) {
  if (n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) raise_overflow_error(message);
  return static_cast<Py_ssize_t>(n);
}

// Runs f detached from the interpreter. Whatever f throws is carried across
// and rethrown once re-attached, so conversion happens attached.
template <class F>
auto detached(F&& f) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  std::exception_ptr error;
  if constexpr (std::is_void_v<R>) {
    Py_BEGIN_ALLOW_THREADS
    try {
      f();
    } catch (...) {
      error = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<R> result;
    Py_BEGIN_ALLOW_THREADS
    try {
      result.emplace(f());
    } catch (...) {
      error = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }
}

// Detached from the interpreter for a walk that pauses now and then (see
// pause.hpp). A pause that comes 20 ms or more after the last look
// re-attaches to run the signal handlers and detaches again: Ctrl-C stops a
// walk of any length. A handler's exception (KeyboardInterrupt) ends the walk
// as PyErrorSet, thrown from the pause while detached.
class Detached {
 public:
  Detached() noexcept;
  ~Detached();
  Detached(const Detached&) = delete;
  Detached& operator=(const Detached&) = delete;
  void look();

 private:
  PyThreadState* saved_;
  std::int64_t last_;  // when the handlers last ran (or the first pause came), steady-clock ns
};

// Runs f(pause) detached, pause being the Detached's look; whatever f throws
// is carried across and rethrown once re-attached, as detached() does.
template <class F>
auto detached_pausing(F&& f) -> std::invoke_result_t<F&, const Pause&> {
  using R = std::invoke_result_t<F&, const Pause&>;
  std::exception_ptr error;
  std::conditional_t<std::is_void_v<R>, bool, std::optional<R>> result{};
  {
    Detached d;
    auto look = [&d] { d.look(); };
    const Pause pause(look);
    try {
      if constexpr (std::is_void_v<R>) f(pause);
      else result.emplace(f(pause));
    } catch (...) {
      error = std::current_exception();
    }
  }
  if (error) std::rethrow_exception(error);
  if constexpr (!std::is_void_v<R>) return std::move(*result);
}

// ---- arguments ----------------------------------------------------------------

// The parameters of one function: names in order, how many may come by
// position (the rest are keyword-only) and how many are required (a prefix).
struct Params {
  const char* func;  // "PerfectHashIndex.id" or "inspect"
  const char* const* names;
  int count;
  int positional;
  int required;
};

template <std::size_t N>
constexpr Params params(const char* func, const char* const (&names)[N], int positional, int required) {
  return Params{func, names, static_cast<int>(N), positional, required};
}
constexpr Params no_params(const char* func) { return Params{func, nullptr, 0, 0, 0}; }

// Reads fast-call arguments into out[0..count) (borrowed; null when absent).
void read_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// Reads arguments given as a tuple and a dict (a constructor's). The keyword
// values in out[] are held by the returned snapshot: keep it for the call.
[[nodiscard]] Ref read_args_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out);

// Conversions of one argument. Each adds the note naming the parameter to
// whatever exception it raises.
std::uint32_t arg_u32(PyObject* o, const char* name);
std::uint64_t arg_u64(PyObject* o, const char* name);
std::int64_t arg_i64(PyObject* o, const char* name);
bool arg_bool(PyObject* o, const char* name);  // bool or numpy bool
// A str read as UTF-8 in place; valid while o lives.
std::string_view arg_str(PyObject* o, const char* name);
// A bytes object (or subclass); valid while o lives.
std::string_view arg_blob(PyObject* o, const char* name);
// A type object (a class), borrowed from the call.
PyTypeObject* arg_type(PyObject* o, const char* name);
// A str or an os.PathLike giving a str, encoded with the file-system
// encoding; bytes paths and an embedded NUL are refused.
std::string arg_path(PyObject* o, const char* name);

// The one argument of a function of one parameter (borrowed), and the same
// read as a str, the parameter's name in the note of a refusal.
inline PyObject* one_arg(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  read_args(p, args, nargs, kwnames, a);
  return a[0];
}
inline std::string_view one_str_arg(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return arg_str(one_arg(p, args, nargs, kwnames), p.names[0]);
}

// UTF-8 view of a str without a note (for gatherers): TypeError
// "'int' object is not an instance of 'str'", or the encoder's error.
std::string_view str_view(PyObject* o);

// New Python objects.
// Through the signed constructor where it fits: it builds one-digit ints
// directly, where the unsigned one counts digits first.
inline PyObject* new_int(std::uint64_t v) {
  if (v <= static_cast<std::uint64_t>(LONG_MAX)) return PyLong_FromLong(static_cast<long>(v));
  return PyLong_FromUnsignedLongLong(v);
}
inline PyObject* new_str(std::string_view s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }
inline PyObject* new_bytes(std::string_view s) { return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

// A fast-call-with-keywords function as a method-table entry.
using FastFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction fastcall(FastFn f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
inline constexpr int FASTCALL_KW = METH_FASTCALL | METH_KEYWORDS;
// Defines a FastFn named fn; its body sees self, args, nargs and kwnames.
#define QV_METHOD(fn) PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// ---- registration ----------------------------------------------------------------

// Sets module.<name> = obj (stealing obj) and appends name to __all__.
void add_to_module(PyObject* module, const char* name, PyObject* obj);

}  // namespace quorvale::python
