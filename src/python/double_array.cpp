// The Python class DoubleArrayIndex over the core double-array index.
#include "double_array.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../double_array.hpp"
#include "classes.hpp"
#include "frame.hpp"
#include "keys.hpp"

namespace quorvale::python {

namespace {

using Core = DoubleArrayIndex;

TypeCell cell;

const Core& core(PyObject* self) { return *core_of<Core>(self); }

PyTypeObject* class_object() {
  PyObject* t = double_array_index_type();
  if (!t) throw_error_set();
  return reinterpret_cast<PyTypeObject*>(t);
}

PyObject* make_instance(PyTypeObject* type, Core&& index) {
  return wrap<Core>(type, std::make_shared<const Core>(std::move(index)));
}

PyObject* id_or(std::optional<std::uint32_t> id, PyObject* otherwise) {
  if (id) return new_int(*id);
  Py_INCREF(otherwise);
  return otherwise;
}

// The blob as a new bytes object. The copy runs detached: the object is not
// yet visible to anyone else, and no interpreter call is made meanwhile.
PyObject* blob_bytes(const Core& index) {
  const auto blob = index.blob().bytes();
  Ref out = Ref::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(blob.size())));
  char* to = PyBytes_AS_STRING(out.get());
  detached([&] { std::memcpy(to, blob.data(), blob.size()); });
  return out.release();
}

// A tuple made of new references (stolen); null entries mean an error is set.
template <std::size_t N>
PyObject* tuple_of(PyObject* const (&items)[N]) {
  Ref held[N];
  for (std::size_t i = 0; i < N; ++i) held[i] = Ref(items[i]);
  for (std::size_t i = 0; i < N; ++i)
    if (!held[i]) throw_error_set();
  Ref t = Ref::check(PyTuple_New(N));
  for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), held[i].release());
  return t.release();
}

// The (prefix, id) pair of a key that is a prefix of `query`.
PyObject* prefix_pair(std::string_view query, const PrefixMatch& m) {
  return tuple_of({new_str(query.substr(0, m.bytes)), new_int(m.id)});
}

#define QV_METHOD(fn) \
  PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// Reads the one str argument `name` of a method.
std::string_view str_arg(const char* func, const char* name, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  const char* const names[] = {name};
  PyObject* a[1];
  read_args(params(func, names, 1, 1), args, nargs, kwnames, a);
  return arg_str(a[0], name);
}

// ---- construction ----

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"items"};
    static const Params p = params("DoubleArrayIndex.__new__", names, 1, 1);
    PyObject* a[1];
    Ref held = read_args_tuple(p, args, kwargs, a);
    BorrowedKeys keys = collect_strs(a[0]);
    Core index = detached([&] {
      std::vector<std::string_view> sorted(keys.views().begin(), keys.views().end());
      std::sort(sorted.begin(), sorted.end());
      sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
      return Core::build_ranked(sorted);
    });
    keys.clear();
    return make_instance(type, std::move(index));
  });
}

// ---- lookups ----

QV_METHOD(m_is_empty) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("DoubleArrayIndex.is_empty"), args, nargs, kwnames, nullptr);
    return PyBool_FromLong(core(self).is_empty());
  });
}

QV_METHOD(m_id) {
  return boundary([&]() -> PyObject* {
    return id_or(core(self).id(str_arg("DoubleArrayIndex.id", "key", args, nargs, kwnames)), Py_None);
  });
}

QV_METHOD(m_contains) {
  return boundary([&]() -> PyObject* {
    return PyBool_FromLong(core(self).contains(str_arg("DoubleArrayIndex.contains", "key", args, nargs, kwnames)));
  });
}

QV_METHOD(m_get) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"key", "default"};
    static const Params p = params("DoubleArrayIndex.get", names, 2, 1);
    PyObject* a[2];
    read_args(p, args, nargs, kwnames, a);
    return id_or(core(self).id(arg_str(a[0], "key")), a[1] ? a[1] : Py_None);
  });
}

QV_METHOD(m_ids_of) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"keys"};
    static const Params p = params("DoubleArrayIndex.ids_of", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    BorrowedKeys keys;
    try {
      keys = key_batch(a[0]);
    } catch (const PyErrorSet&) {
      add_processing_note("keys");
      throw;
    }
    const Core& index = core(self);
    std::vector<std::optional<std::uint32_t>> ids = detached([&] {
      std::vector<std::optional<std::uint32_t>> out(keys.size());
      for (std::size_t i = 0; i < keys.size(); ++i) out[i] = index.id(keys[i]);
      return out;
    });
    keys.clear();
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    for (std::size_t i = 0; i < ids.size(); ++i)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref::check(id_or(ids[i], Py_None)).release());
    return list.release();
  });
}

// ---- dictionary matching ----

QV_METHOD(m_common_prefix) {
  return boundary([&]() -> PyObject* {
    std::string_view query = str_arg("DoubleArrayIndex.common_prefix", "query", args, nargs, kwnames);
    const Core& index = core(self);
    std::vector<PrefixMatch> found = detached([&] {
      std::vector<PrefixMatch> out;
      index.common_prefix(query, out);
      return out;
    });
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(found.size())));
    for (std::size_t i = 0; i < found.size(); ++i)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), prefix_pair(query, found[i]));
    return list.release();
  });
}

QV_METHOD(m_occurrences) {
  return boundary([&]() -> PyObject* {
    std::string_view text = str_arg("DoubleArrayIndex.occurrences", "text", args, nargs, kwnames);
    const Core& index = core(self);
    std::vector<Occurrence> found = detached([&] {
      std::vector<Occurrence> out;
      index.occurrences(text, out);
      return out;
    });
    // Building the tuples is most of the call for a text with many matches:
    // made in place, each int by the interpreter's quickest path.
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(found.size())));
    for (std::size_t i = 0; i < found.size(); ++i) {
      const Occurrence& o = found[i];
      PyObject* t = PyTuple_New(3);
      if (!t) throw_error_set();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
      PyObject* start = PyLong_FromSsize_t(static_cast<Py_ssize_t>(o.start));
      PyObject* end = start ? PyLong_FromSsize_t(static_cast<Py_ssize_t>(o.end)) : nullptr;
      PyObject* id = end ? PyLong_FromLong(static_cast<long>(o.id)) : nullptr;
      if (!id) {
        Py_XDECREF(start);
        Py_XDECREF(end);
        throw_error_set();
      }
      PyTuple_SET_ITEM(t, 0, start);
      PyTuple_SET_ITEM(t, 1, end);
      PyTuple_SET_ITEM(t, 2, id);
    }
    return list.release();
  });
}

QV_METHOD(m_longest_prefix) {
  return boundary([&]() -> PyObject* {
    std::string_view query = str_arg("DoubleArrayIndex.longest_prefix", "query", args, nargs, kwnames);
    const Core& index = core(self);
    std::optional<PrefixMatch> found = detached([&] { return index.longest_prefix(query); });
    if (!found) Py_RETURN_NONE;
    return prefix_pair(query, *found);
  });
}

// ---- blobs and files ----

QV_METHOD(m_to_bytes) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("DoubleArrayIndex.to_bytes"), args, nargs, kwnames, nullptr);
    return blob_bytes(core(self));
  });
}

QV_METHOD(m_serialized_len) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("DoubleArrayIndex.serialized_len"), args, nargs, kwnames, nullptr);
    return new_int(core(self).serialized_len());
  });
}

QV_METHOD(m_reduce) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("DoubleArrayIndex.__reduce__"), args, nargs, kwnames, nullptr);
    Ref loader = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(class_object()), "from_bytes"));
    Ref bytes(blob_bytes(core(self)));
    return Py_BuildValue("(O(O))", loader.get(), bytes.get());
  });
}

QV_METHOD(s_from_bytes) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"data"};
    static const Params p = params("DoubleArrayIndex.from_bytes", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    std::string_view data = arg_blob(a[0], "data");  // the caller's reference keeps it alive
    Core index = detached([&] {
      return Core::from_bytes(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(data.data()), data.size()));
    });
    return make_instance(class_object(), std::move(index));
  });
}

std::string path_arg(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"path"};
  PyObject* a[1];
  read_args(params(func, names, 1, 1), args, nargs, kwnames, a);
  return arg_path(a[0], "path");
}

QV_METHOD(m_save) {
  return boundary([&]() -> PyObject* {
    const std::string path = path_arg("DoubleArrayIndex.save", args, nargs, kwnames);
    const Core& index = core(self);
    detached([&] { index.save(path); });
    Py_RETURN_NONE;
  });
}

template <Core (*Load)(const std::string&)>
PyObject* load_with(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    const std::string path = path_arg(func, args, nargs, kwnames);
    Core index = detached([&] { return Load(path); });
    return make_instance(class_object(), std::move(index));
  });
}

QV_METHOD(s_load) {
  (void)self;
  return load_with<&Core::load>("DoubleArrayIndex.load", args, nargs, kwnames);
}
QV_METHOD(s_load_mmap) {
  (void)self;
  return load_with<&Core::load_mmap>("DoubleArrayIndex.load_mmap", args, nargs, kwnames);
}

// ---- protocol slots ----

Py_ssize_t sq_length(PyObject* self) { return static_cast<Py_ssize_t>(core(self).len()); }

int sq_contains(PyObject* self, PyObject* key) {
  PyObject* r = boundary([&]() -> PyObject* { return PyBool_FromLong(core(self).contains(arg_str(key, "key"))); });
  if (!r) return -1;
  const int v = r == Py_True;
  Py_DECREF(r);
  return v;
}

PyObject* mp_subscript(PyObject* self, PyObject* key) {
  return boundary([&]() -> PyObject* {
    auto id = core(self).id(arg_str(key, "key"));
    if (id) return new_int(*id);
    PyErr_SetObject(PyExc_KeyError, key);
    throw_error_set();
  });
}

#undef QV_METHOD

constexpr int STATIC = FASTCALL_KW | METH_STATIC;

PyMethodDef methods[] = {
    {"is_empty", fastcall(m_is_empty), FASTCALL_KW, "is_empty($self)\n--\n\n"},
    {"id", fastcall(m_id), FASTCALL_KW, "id($self, key)\n--\n\nId of `key`, or `None` if absent."},
    {"contains", fastcall(m_contains), FASTCALL_KW, "contains($self, key)\n--\n\nWhether `key` is present."},
    {"get", fastcall(m_get), FASTCALL_KW,
     "get($self, key, default=None)\n--\n\nDense id of `key`, or `default` (`None` unless given)."},
    {"ids_of", fastcall(m_ids_of), FASTCALL_KW,
     "ids_of($self, keys)\n--\n\nBatched `id`: one call for many keys, aligned with `keys`, `None` where a key is "
     "absent."},
    {"common_prefix", fastcall(m_common_prefix), FASTCALL_KW,
     "common_prefix($self, query)\n--\n\nEvery key that is a **prefix of `query`**, shortest first. This is the "
     "dictionary-matching\nquery: given a vocabulary and a position in a sentence, it returns the entries that "
     "start\nthere. The empty key, if the index holds it, is a prefix of everything and comes first."},
    {"occurrences", fastcall(m_occurrences), FASTCALL_KW,
     "occurrences($self, text)\n--\n\nEvery key that occurs in `text`, as `(start, end, id)` with `text[start:end]` "
     "the key:\nstarts ascending, and within a start shortest first. The whole-text form of `common_prefix`\nthat a "
     "dictionary segmenter runs at every character, in one call a text rather than one a\ncharacter, which is where "
     "a loop over characters spends its time. Offsets count characters,\nas a `str` is indexed; the empty key, if "
     "the index holds it, is not reported."},
    {"longest_prefix", fastcall(m_longest_prefix), FASTCALL_KW,
     "longest_prefix($self, query)\n--\n\nThe longest key that is a prefix of `query`, or `None` -- the match a "
     "longest-match\ntokeniser takes. See `common_prefix`."},
    {"to_bytes", fastcall(m_to_bytes), FASTCALL_KW, "to_bytes($self)\n--\n\nSerialise to a `bytes` blob."},
    {"serialized_len", fastcall(m_serialized_len), FASTCALL_KW,
     "serialized_len($self)\n--\n\nLength of the `to_bytes` blob in bytes, without producing it."},
    {"__reduce__", fastcall(m_reduce), FASTCALL_KW,
     "__reduce__($self)\n--\n\nPickle support: the blob, and the loader that reads it back."},
    {"from_bytes", fastcall(s_from_bytes), STATIC,
     "from_bytes(data)\n--\n\nReconstruct from a `to_bytes` blob. The framing and both checksums are validated and "
     "every\nslot is walked, so arbitrary input raises rather than misbehaving; a blob crafted to carry\nmatching "
     "checksums answers wrong ids, never out-of-range ones."},
    {"save", fastcall(m_save), FASTCALL_KW, "save($self, path)\n--\n\nWrite the index to `path`."},
    {"load", fastcall(s_load), STATIC, "load(path)\n--\n\nLoad a file written with `save`, validated like `from_bytes`."},
    {"load_mmap", fastcall(s_load_mmap), STATIC,
     "load_mmap(path)\n--\n\nZero-copy load: memory-map the file and read the slots and the code table where they "
     "lie.\nThe payload checksum `load` verifies is skipped; the walk over every slot is not, since it is\nwhat lets "
     "a query read without a bound check, so the load still reads the array once. The\nmapped file must not be "
     "modified or truncated by any process while the index is alive: the\nbytes are borrowed rather than copied, "
     "and a concurrent write is undefined behaviour rather\nthan a stale answer. That obligation is the caller's "
     "contract; `load` is the choice when the\nfile may change."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<Core>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>(
                    "DoubleArrayIndex(items)\n--\n\nCharacter-wise double-array trie for dictionary matching: "
                    "`common_prefix`, `longest_prefix`\nand `occurrences` at one load a character, with the ids "
                    "`StringIndex` assigns to the same keys.\nNo reverse lookup: a `StringIndex` or `DictIndex` over "
                    "the same keys spells an id back.")},
    {Py_sq_length, reinterpret_cast<void*>(&sq_length)},
    {Py_mp_length, reinterpret_cast<void*>(&sq_length)},
    {Py_sq_contains, reinterpret_cast<void*>(&sq_contains)},
    {Py_mp_subscript, reinterpret_cast<void*>(&mp_subscript)},
    {0, nullptr},
};

PyType_Spec type_desc = {
    "quorvale._core.DoubleArrayIndex",
    static_cast<int>(sizeof(Instance<Core>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    slots,
};

}  // namespace

PyObject* double_array_index_type() {
  return cell.get([]() -> PyObject* { return PyType_FromSpec(&type_desc); });
}

}  // namespace quorvale::python
