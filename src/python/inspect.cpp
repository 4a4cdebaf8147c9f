// The module function inspect: a blob's kind and header sizes, from bytes
// in place or from a file read detached.
#include <string>

#include "inspect.hpp"
#include "frame.hpp"
#include "functions.hpp"

namespace quorvale::python {

namespace {

void set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref v = Ref::check(value);
  if (PyDict_SetItemString(dict, key, v.get()) < 0) throw_error_set();
}

template <class T>
PyObject* int_or_none(const std::optional<T>& v) {
  if (!v) Py_RETURN_NONE;
  return new_int(*v);
}

bool is_path_like(PyObject* o) {
  return PyUnicode_Check(o) || PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__fspath__");
}

PyObject* inspect_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"blob"};
    static const Params p = params("inspect", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    PyObject* blob = a[0];
    if (PyBytes_Check(blob)) {
      // Read in place: the caller's reference keeps the bytes alive and unchanged.
      const auto* data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(blob));
      return blob_info(inspect::inspect_bytes({data, static_cast<std::size_t>(PyBytes_GET_SIZE(blob))}));
    }
    if (!is_path_like(blob)) raise_type_error("inspect() takes a path or bytes");
    std::string path;
    try {
      path = arg_path(blob, "blob");
    } catch (const PyErrorSet&) {
      // A path-like object that gives no text path is no path either.
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
      PyErr_Clear();
      raise_type_error("inspect() takes a path or bytes");
    }
    inspect::BlobInfo info = detached([&] { return inspect::inspect_file(path); });
    return blob_info(info);
  });
}

}  // namespace

PyObject* blob_info(const inspect::BlobInfo& info) {
  Ref dict = Ref::check(PyDict_New());
  set_item(dict.get(), "kind", PyUnicode_FromString(kinds::of(info.kind).name));
  set_item(dict.get(), "format",
           PyUnicode_DecodeUTF8(info.format.data(), static_cast<Py_ssize_t>(info.format.size()), "replace"));
  set_item(dict.get(), "bytes", new_int(info.bytes));
  set_item(dict.get(), "keys", int_or_none(info.keys));
  set_item(dict.get(), "fingerprint_bits", int_or_none(info.fingerprint_bits));
  set_item(dict.get(), "mph_bytes", int_or_none(info.mph_bytes));
  set_item(dict.get(), "arena_bytes", int_or_none(info.arena_bytes));
  set_item(dict.get(), "side_entries", int_or_none(info.side_entries));
  if (!info.overlay) {
    set_item(dict.get(), "overlay", Py_NewRef(Py_None));
    return dict.release();
  }
  const inspect::OverlayInfo& o = *info.overlay;
  Ref overlay = Ref::check(PyDict_New());
  set_item(overlay.get(), "base_tag", new_int(o.base_tag));
  set_item(overlay.get(), "base", o.base ? blob_info(*o.base) : Py_NewRef(Py_None));
  set_item(overlay.get(), "additions", new_int(o.additions));
  set_item(overlay.get(), "retired", new_int(o.retired));
  set_item(dict.get(), "overlay", overlay.release());
  return dict.release();
}

PyMethodDef inspect_function = {
    "inspect", fastcall(inspect_fn), FASTCALL_KW,
    "inspect(blob)\n--\n\n"
    "What a blob is, from its header alone: a dict of kind, format, bytes, keys, fingerprint_bits, mph_bytes, "
    "arena_bytes, side_entries and overlay (for an overlay: base_tag, base, additions and retired), each size "
    "None where the kind has none.\n\n"
    "blob is bytes, or a path (str or os.PathLike). Over a path only the header, a StringIndex's footer and an "
    "overlay's tombstone words are read, so a blob of gigabytes costs a few small reads. Nothing is decoded or "
    "verified: the sizes are what the header claims, and a blob that inspects cleanly may still fail to load. A "
    "retired format raises ValueError naming the type to rebuild it with."};

}  // namespace quorvale::python
