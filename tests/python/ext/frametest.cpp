// A test-only extension exposing the frame's internals to pytest. It is built
// with the C++ tests and never installed.
#include <cerrno>
#include <stdexcept>

#include "../../../src/python/frame.hpp"
#include "../../../src/threads.hpp"

using namespace quorvale;
using namespace quorvale::python;

namespace {

// raise_error(kind, message="", errno=0): raises the core error of that kind.
PyObject* ft_raise_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"kind", "message", "errno"};
    static const Params p = params("raise_error", names, 3, 1);
    PyObject* a[3];
    read_args(p, args, nargs, kw, a);
    std::string kind(arg_str(a[0], "kind"));
    std::string message = a[1] ? std::string(arg_str(a[1], "message")) : std::string();
    int code = a[2] ? static_cast<int>(arg_i64(a[2], "errno")) : 0;
    if (kind == "fst") throw IndexError::fst(message, "Fst");
    if (kind == "io" && code) throw IndexError::os(code);
    if (kind == "io") throw IndexError::io(IoKind::InvalidData, message);
    if (kind == "io_kind") throw IndexError::io_kind(IoKind::AlreadyExists);
    if (kind == "format") throw IndexError::format("bad magic or truncated header");
    if (kind == "automaton") throw IndexError::automaton(message);
    if (kind == "build") throw IndexError::build("minimal perfect hash: no seed placed every bucket");
    if (kind == "panic") panic(message);
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "std") throw std::runtime_error(message);
    raise_value_error("unknown kind");
  });
}

// sig(a, b=None, *, c=None): echoes what the reader found.
PyObject* ft_sig(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"a", "b", "c"};
    static const Params p = params("sig", names, 2, 1);
    PyObject* a[3];
    read_args(p, args, nargs, kw, a);
    for (PyObject*& o : a)
      if (!o) o = Py_None;
    return Py_BuildValue("(OOO)", a[0], a[1], a[2]);
  });
}

// convert(kind, value): one argument conversion, parameter named "value".
PyObject* ft_convert(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"kind", "value"};
    static const Params p = params("convert", names, 2, 2);
    PyObject* a[2];
    read_args(p, args, nargs, kw, a);
    std::string kind(arg_str(a[0], "kind"));
    if (kind == "u32") return new_int(arg_u32(a[1], "value"));
    if (kind == "u64") return new_int(arg_u64(a[1], "value"));
    if (kind == "bool") return PyBool_FromLong(arg_bool(a[1], "value"));
    if (kind == "str") return new_bytes(arg_str(a[1], "value"));
    if (kind == "blob") return new_bytes(arg_blob(a[1], "value"));
    if (kind == "path") return new_bytes(arg_path(a[1], "value"));
    raise_value_error("unknown kind");
  });
}

// workers(count, fail_at): runs count workers; worker fail_at (if >= 0) throws
// a core error, which must arrive after all have joined.
PyObject* ft_workers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"count", "fail_at"};
    static const Params p = params("workers", names, 2, 2);
    PyObject* a[2];
    read_args(p, args, nargs, kw, a);
    std::size_t count = arg_u32(a[0], "count");
    std::int64_t fail_at = arg_i64(a[1], "fail_at");
    std::atomic<std::size_t> ran{0};
    detached([&] {
      run_workers(count, [&](std::size_t w) {
        ran.fetch_add(1);
        if (static_cast<std::int64_t>(w) == fail_at) throw IndexError::build("worker failed");
      });
    });
    return new_int(ran.load());
  });
}

PyMethodDef methods[] = {
    {"raise_error", fastcall(ft_raise_error), FASTCALL_KW, "raise_error(kind, message='', errno=0)\n--\n\n"},
    {"sig", fastcall(ft_sig), FASTCALL_KW,
     "sig(a, b=None, *, c=None)\n--\n\n"},
    {"convert", fastcall(ft_convert), FASTCALL_KW, "convert(kind, value)\n--\n\n"},
    {"workers", fastcall(ft_workers), FASTCALL_KW, "workers(count, fail_at)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_MOD_GIL_NOT_USED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef def = {PyModuleDef_HEAD_INIT, "_frametest", "", 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__frametest(void) { return PyModuleDef_Init(&def); }
