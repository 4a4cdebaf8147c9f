#include "frame.hpp"
#include "classes.hpp"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

namespace quorvale::python {

namespace {

std::atomic<PyObject*> g_panic_type{nullptr};

// The exception currently being raised, taken out of the error state.
PyObject* take_raised() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

void set_raised(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyObject* tb = PyException_GetTraceback(exc);
  PyErr_Restore(type, exc, tb);
#endif
}

std::string func_label(const Params& p) { return std::string(p.func) + "()"; }

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

template <class F>
auto with_note(const char* name, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const PyErrorSet&) {
    add_processing_note(name);
    throw;
  }
}

}  // namespace

std::string type_name(PyObject* o) {
  const char* n = Py_TYPE(o)->tp_name;
  const char* dot = std::strrchr(n, '.');
  return dot ? std::string(dot + 1) : std::string(n);
}

namespace {

std::int64_t steady_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// How often a pausing walk lets the signal handlers run: rarely enough that
// waiting for the interpreter costs a walk next to nothing, often enough
// that Ctrl-C feels immediate.
constexpr std::int64_t LOOK_EVERY_NS = 20'000'000;

}  // namespace

// The clock is first read at the first pause, so that a short walk that
// never pauses pays nothing for it.
Detached::Detached() noexcept : saved_(PyEval_SaveThread()), last_(0) {}

Detached::~Detached() { PyEval_RestoreThread(saved_); }

void Detached::look() {
  const std::int64_t now = steady_ns();
  if (last_ == 0) last_ = now;
  if (now - last_ < LOOK_EVERY_NS) return;
  PyEval_RestoreThread(saved_);
  const int raised = PyErr_CheckSignals();
  saved_ = PyEval_SaveThread();
  last_ = steady_ns();
  if (raised < 0) throw_error_set();
}

void to_py(const IndexError& error) {
  PyObject* type = error.kind() == IndexError::Kind::Io ? PyExc_OSError : PyExc_ValueError;
  Ref msg(PyUnicode_DecodeUTF8(error.display().data(), static_cast<Py_ssize_t>(error.display().size()), "replace"));
  if (!msg) return;
  // One argument only: OSError then maps to no subclass and leaves errno unset.
  PyErr_SetObject(type, msg.get());
}

PyObject* panic_type() {
  PyObject* t = g_panic_type.load(std::memory_order_acquire);
  if (t) return t;
  PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException",
                                             "An internal invariant of quorvale was broken.", PyExc_BaseException,
                                             nullptr);
  if (!made) return nullptr;
  PyObject* expected = nullptr;
  if (!g_panic_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);  // another thread won; keep one type for the process
    return expected;
  }
  return made;
}

void raise_panic(const char* sentence) {
  PyObject* t = panic_type();
  if (!t) return;
  Ref msg(PyUnicode_DecodeUTF8(sentence, static_cast<Py_ssize_t>(std::strlen(sentence)), "replace"));
  if (!msg) return;
  PyErr_SetObject(t, msg.get());
}

void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw_error_set();
}

void raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  throw_error_set();
}

void raise_overflow_error(const std::string& message) {
  PyErr_SetString(PyExc_OverflowError, message.c_str());
  throw_error_set();
}

void add_processing_note(const char* name) {
  PyObject* exc = take_raised();
  if (!exc) return;
  std::string note = std::string("while processing '") + name + "'";
  PyObject* r = PyObject_CallMethod(exc, "add_note", "s", note.c_str());
  if (r) {
    Py_DECREF(r);
    set_raised(exc);
  } else {
    // Keep the original exception rather than the failure to annotate it.
    PyErr_Clear();
    set_raised(exc);
  }
}

void read_args(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  for (int i = 0; i < p.count; ++i) out[i] = nullptr;
  if (nargs > p.positional) {
    std::string msg = func_label(p) + " takes " + std::to_string(p.positional) + " positional argument" +
                      (p.positional == 1 ? "" : "s") + " but " + std::to_string(nargs) + (nargs == 1 ? " was" : " were") +
                      " given";
    if (p.positional < p.count) msg += std::string(" ('") + p.names[p.positional] + "' is keyword-only)";
    raise_type_error(msg);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t len = 0;
      const char* kname = PyUnicode_AsUTF8AndSize(key, &len);
      if (!kname) throw_error_set();
      int found = -1;
      for (int i = 0; i < p.count; ++i) {
        if (std::strlen(p.names[i]) == static_cast<std::size_t>(len) && std::memcmp(p.names[i], kname, len) == 0) {
          found = i;
          break;
        }
      }
      if (found < 0) raise_type_error(func_label(p) + " got an unexpected keyword argument '" + kname + "'");
      if (out[found]) raise_type_error(func_label(p) + " got multiple values for argument '" + kname + "'");
      out[found] = args[nargs + k];
    }
  }
  std::vector<const char*> missing;
  for (int i = 0; i < p.required; ++i)
    if (!out[i]) missing.push_back(p.names[i]);
  if (!missing.empty()) {
    raise_type_error(func_label(p) + " missing " + std::to_string(missing.size()) + " required positional argument" +
                     (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
  }
}

std::int64_t arg_i64(PyObject* o, const char* name) {
  return with_note(name, [&] {
    Ref index = Ref::check(PyNumber_Index(o));
    long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    return static_cast<std::int64_t>(v);
  });
}

std::uint32_t arg_u32(PyObject* o, const char* name) {
  return with_note(name, [&] {
    Ref index = Ref::check(PyNumber_Index(o));
    long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw_error_set();
    if (v < 0 || static_cast<unsigned long>(v) > UINT32_MAX)
      raise_overflow_error("out of range integral type conversion attempted");
    return static_cast<std::uint32_t>(v);
  });
}

std::uint64_t arg_u64(PyObject* o, const char* name) {
  return with_note(name, [&] {
    Ref index = Ref::check(PyNumber_Index(o));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
    return static_cast<std::uint64_t>(v);
  });
}

namespace {
// numpy.bool_ (numpy.bool in numpy 2) is accepted where a bool is expected.
bool is_numpy_bool(PyObject* o) {
  const char* n = Py_TYPE(o)->tp_name;
  return std::strcmp(n, "numpy.bool_") == 0 || std::strcmp(n, "numpy.bool") == 0;
}
}  // namespace

bool arg_bool(PyObject* o, const char* name) {
  return with_note(name, [&] {
    if (PyBool_Check(o)) return o == Py_True;
    if (!is_numpy_bool(o)) raise_type_error("'" + type_name(o) + "' object is not an instance of 'bool'");
    int truth = PyObject_IsTrue(o);
    if (truth < 0) throw_error_set();
    return truth == 1;
  });
}

std::string_view str_view(PyObject* o) {
  if (!PyUnicode_Check(o)) raise_type_error("'" + type_name(o) + "' object is not an instance of 'str'");
  // A compact ASCII str's own characters are its UTF-8 bytes (and cannot
  // fail to encode): no call, no cache.
  if (PyUnicode_IS_COMPACT_ASCII(o))
    return std::string_view(static_cast<const char*>(PyUnicode_DATA(o)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)));
  Py_ssize_t len = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &len);
  if (!data) throw_error_set();
  return std::string_view(data, static_cast<std::size_t>(len));
}

std::string_view arg_str(PyObject* o, const char* name) {
  return with_note(name, [&] { return str_view(o); });
}

std::string_view arg_blob(PyObject* o, const char* name) {
  return with_note(name, [&] {
    if (!PyBytes_Check(o)) raise_type_error("'" + type_name(o) + "' object is not an instance of 'bytes'");
    return std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
  });
}

PyTypeObject* arg_type(PyObject* o, const char* name) {
  return with_note(name, [&] {
    if (!PyType_Check(o)) raise_type_error("'" + type_name(o) + "' object is not an instance of 'type'");
    return reinterpret_cast<PyTypeObject*>(o);
  });
}

std::string arg_path(PyObject* o, const char* name) {
  return with_note(name, [&] {
    Ref fspath = Ref::check(PyOS_FSPath(o));
    // A path is text: bytes paths are refused.
    if (!PyUnicode_Check(fspath.get())) raise_type_error("'" + type_name(fspath.get()) + "' object is not an instance of 'str'");
    Ref encoded = Ref::check(PyUnicode_EncodeFSDefault(fspath.get()));
    std::string_view raw(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (raw.find('\0') != std::string_view::npos) raise_value_error("embedded null byte");
    return std::string(raw);
  });
}

Ref read_args_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  // Lay the call out as a fast call: positional values, then keyword values
  // with their names in a tuple. A private snapshot of the dict holds the
  // keyword values for the whole call.
  Ref items;
  Py_ssize_t nkw = 0;
  if (kwargs) {
    items = Ref::check(PyDict_Items(kwargs));
    nkw = PyList_GET_SIZE(items.get());
  }
  std::vector<PyObject*> flat(static_cast<std::size_t>(nargs + nkw));
  for (Py_ssize_t i = 0; i < nargs; ++i) flat[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  Ref names;
  if (nkw > 0) {
    names = Ref::check(PyTuple_New(nkw));
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* pair = PyList_GET_ITEM(items.get(), k);
      PyObject* key = PyTuple_GET_ITEM(pair, 0);
      Py_INCREF(key);
      PyTuple_SET_ITEM(names.get(), k, key);
      flat[static_cast<std::size_t>(nargs + k)] = PyTuple_GET_ITEM(pair, 1);
    }
  }
  read_args(p, flat.data(), nargs, names.get(), out);
  return items;
}

void set_class_attr(PyObject* type, const char* name, PyObject* value) {
  Ref v(value);
  if (!v) throw_error_set();
  if (PyObject_SetAttrString(type, name, v.get()) < 0) throw_error_set();
}

PyObject* take_raised_exception() { return take_raised(); }

void restore_raised_exception(PyObject* exc) { set_raised(exc); }

void add_to_module(PyObject* module, const char* name, PyObject* obj) {
  Ref value(obj);
  if (!value) throw_error_set();
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
    PyErr_Clear();
    all = Ref::check(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_error_set();
  }
  if (PyObject_SetAttrString(module, name, value.get()) < 0) throw_error_set();
  Ref pyname = Ref::check(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), pyname.get()) < 0) throw_error_set();
}

}  // namespace quorvale::python
