// The Python class PerfectHashIndex over the core perfect-hash index.
#include "perfect_hash.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../perfect_hash.hpp"
#include "arrow.hpp"
#include "classes.hpp"
#include "frame.hpp"
#include "ids_out.hpp"
#include "keys.hpp"

namespace quorvale::python {

namespace {

using Core = PerfectHashIndex;
using perfect_hash::MISSING;

TypeCell cell;

const Core& core(PyObject* self) { return *core_of<Core>(self); }

PyObject* make_instance(PyTypeObject* type, Core&& index) {
  return wrap<Core>(type, std::make_shared<const Core>(std::move(index)));
}

PyObject* class_object() {
  PyObject* t = perfect_hash_index_type();
  if (!t) throw_error_set();
  return t;
}

PyObject* new_id_or_none(std::uint32_t id) {
  if (id == MISSING) Py_RETURN_NONE;
  return new_int(id);
}

// A batch of keys; a failure carries the note naming the parameter.
BorrowedKeys keys_arg(PyObject* o, const char* name) {
  try {
    return key_batch(o);
  } catch (const PyErrorSet&) {
    add_processing_note(name);
    throw;
  }
}

// The ids of a batch of borrowed keys, looked up detached.
std::vector<std::uint32_t> lookup(const Core& index, const BorrowedKeys& keys) {
  return detached([&] {
    std::vector<std::uint32_t> ids(keys.size());
    index.ids_into_with(keys.size(), [&](std::size_t i) { return keys[i]; }, ids.data());
    return ids;
  });
}

// One id per element of every chunk, MISSING for a miss or a null.
std::vector<std::uint32_t> arrow_ids(const Core& index, const std::vector<Utf8Chunk>& chunks) {
  return detached([&] {
    std::vector<std::uint32_t> ids(total_len(chunks));
    std::size_t at = 0;
    for (const Utf8Chunk& chunk : chunks) {
      std::uint32_t* out = ids.data() + at;
      index.ids_into_with(chunk.size(), [&](std::size_t i) { return chunk.key(i); }, out);
      if (chunk.has_validity)
        for (std::size_t i = 0; i < chunk.size(); ++i)
          if (chunk.is_null(i)) out[i] = MISSING;
      at += chunk.size();
    }
    return ids;
  });
}

PyObject* ids_list(const std::vector<std::uint32_t>& ids) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  for (std::size_t i = 0; i < ids.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref::check(new_id_or_none(ids[i])).release());
  return list.release();
}

#define QV_METHOD(fn) \
  PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// ---- construction ----

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"items", "fingerprints"};
    static const Params p = params("PerfectHashIndex.__new__", names, 1, 1);
    PyObject* a[2];
    Ref held = read_args_tuple(p, args, kwargs, a);
    const bool fingerprints = a[1] ? arg_bool(a[1], "fingerprints") : false;
    BorrowedKeys keys = collect_strs(a[0]);
    Core index = detached([&] {
      return Core::build_with(std::vector<std::string_view>(keys.views().begin(), keys.views().end()), fingerprints);
    });
    keys.clear();
    return make_instance(type, std::move(index));
  });
}

// The source of one pass of build_to_file: the key stream of an iterator,
// which parks the first exception in the call's failure slot and ends.
class PySource : public perfect_hash::KeySource {
 public:
  PySource(std::optional<KeyStream> stream, Ref& slot) : stream_(std::move(stream)), slot_(slot) {}
  bool next(std::string_view& key) override {
    if (!stream_) return false;
    try {
      if (!stream_->next(buf_)) {
        stream_.reset();
        return false;
      }
    } catch (const PyErrorSet&) {
      park(slot_);
      stream_.reset();
      return false;
    }
    key = buf_;
    return true;
  }
  static void park(Ref& slot) {
    Ref exc(take_raised_exception());
    if (!slot) slot = std::move(exc);
  }

 private:
  std::optional<KeyStream> stream_;
  Ref& slot_;
  std::string buf_;
};

QV_METHOD(build_to_file) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"source", "path", "fingerprints"};
    static const Params p = params("PerfectHashIndex.build_to_file", names, 2, 2);
    PyObject* a[3];
    read_args(p, args, nargs, kwnames, a);
    const std::string path = arg_path(a[1], "path");
    const bool fingerprints = a[2] ? arg_bool(a[2], "fingerprints") : false;
    PyObject* source = a[0];
    if (!PyCallable_Check(source))
      raise_type_error(
          "build_to_file() takes a zero-argument callable that returns an iterable of str (it is called twice), not "
          "the iterable itself");
    Ref parked;
    auto factory = [&]() -> std::unique_ptr<perfect_hash::KeySource> {
      std::optional<KeyStream> stream;
      if (!parked) {
        try {
          Ref iterable = Ref::check(PyObject_CallNoArgs(source));
          stream.emplace(iterable.get());
        } catch (const PyErrorSet&) {
          PySource::park(parked);
        }
      }
      return std::make_unique<PySource>(std::move(stream), parked);
    };
    auto probe = [&] { return static_cast<bool>(parked); };
    // The steps between and after the passes read no key: other threads may
    // use the interpreter meanwhile.
    auto offline = [](const std::function<void()>& step) { detached([&] { step(); }); };
    auto raise_parked = [&] {
      restore_raised_exception(parked.release());
      throw_error_set();
    };
    std::uint64_t n = 0;
    try {
      n = Core::build_to_file_windowed(factory, path, fingerprints, perfect_hash::WINDOW, probe, offline);
    } catch (...) {
      if (parked) raise_parked();
      throw;
    }
    if (parked) raise_parked();
    return new_int(n);
  });
}

// ---- single-key lookups ----

QV_METHOD(m_id) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"key"};
    static const Params p = params("PerfectHashIndex.id", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    auto id = core(self).id_with_side(arg_str(a[0], "key"));
    if (!id) Py_RETURN_NONE;
    return new_int(*id);
  });
}

QV_METHOD(m_get) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"key", "default"};
    static const Params p = params("PerfectHashIndex.get", names, 2, 1);
    PyObject* a[2];
    read_args(p, args, nargs, kwnames, a);
    auto id = core(self).id_with_side(arg_str(a[0], "key"));
    if (id) return new_int(*id);
    PyObject* d = a[1] ? a[1] : Py_None;
    Py_INCREF(d);
    return d;
  });
}

QV_METHOD(m_contains) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"key"};
    static const Params p = params("PerfectHashIndex.contains", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    return PyBool_FromLong(core(self).contains(arg_str(a[0], "key")));
  });
}

QV_METHOD(m_id_unchecked) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"key"};
    static const Params p = params("PerfectHashIndex.id_unchecked", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    return new_int(core(self).id_unchecked(arg_str(a[0], "key")));
  });
}

QV_METHOD(m_key) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"id"};
    static const Params p = params("PerfectHashIndex.key", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    auto key = core(self).key(arg_u32(a[0], "id"));
    if (!key) Py_RETURN_NONE;
    return new_str(*key);
  });
}

QV_METHOD(m_is_empty) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("PerfectHashIndex.is_empty"), args, nargs, kwnames, nullptr);
    return PyBool_FromLong(core(self).is_empty());
  });
}

QV_METHOD(m_has_fingerprints) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("PerfectHashIndex.has_fingerprints"), args, nargs, kwnames, nullptr);
    return PyBool_FromLong(core(self).has_fingerprints());
  });
}

// ---- batches ----

QV_METHOD(m_ids_of) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"keys"};
    static const Params p = params("PerfectHashIndex.ids_of", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    BorrowedKeys keys = keys_arg(a[0], "keys");
    std::vector<std::uint32_t> ids = lookup(core(self), keys);
    keys.clear();
    return ids_list(ids);
  });
}

QV_METHOD(m_ids_of_bytes) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"keys"};
    static const Params p = params("PerfectHashIndex.ids_of_bytes", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    BorrowedKeys keys = keys_arg(a[0], "keys");
    std::vector<std::uint32_t> ids = lookup(core(self), keys);
    keys.clear();
    return packed<std::uint32_t>(ids);
  });
}

QV_METHOD(m_ids_into) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"keys", "out"};
    static const Params p = params("PerfectHashIndex.ids_into", names, 2, 2);
    PyObject* a[2];
    read_args(p, args, nargs, kwnames, a);
    BorrowedKeys keys = keys_arg(a[0], "keys");
    if (keys.empty()) {
      writable_buffer(a[1]);
      Py_RETURN_NONE;
    }
    IdSink sink = id_sink<std::uint32_t>(a[1], keys.size());
    std::vector<std::uint32_t> ids = lookup(core(self), keys);
    keys.clear();
    write_ids<std::uint32_t>(sink, ids);
    Py_RETURN_NONE;
  });
}

QV_METHOD(m_ids_of_arrow) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"column"};
    static const Params p = params("PerfectHashIndex.ids_of_arrow", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    std::vector<Utf8Chunk> chunks = utf8_chunks(a[0]);
    std::vector<std::uint32_t> ids = arrow_ids(core(self), chunks);
    return packed<std::uint32_t>(ids);
  });
}

QV_METHOD(m_ids_into_arrow) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"column", "out"};
    static const Params p = params("PerfectHashIndex.ids_into_arrow", names, 2, 2);
    PyObject* a[2];
    read_args(p, args, nargs, kwnames, a);
    std::vector<Utf8Chunk> chunks = utf8_chunks(a[0]);
    const std::size_t t = total_len(chunks);
    if (t == 0) {
      writable_buffer(a[1]);
      Py_RETURN_NONE;
    }
    IdSink sink = id_sink<std::uint32_t>(a[1], t);
    std::vector<std::uint32_t> ids = arrow_ids(core(self), chunks);
    write_ids<std::uint32_t>(sink, ids);
    Py_RETURN_NONE;
  });
}

QV_METHOD(m_keys_of) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"ids"};
    static const Params p = params("PerfectHashIndex.keys_of", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    std::vector<std::uint32_t> ids;
    Ref it;
    try {
      require_sequence(a[0]);
      it = Ref::check(PyObject_GetIter(a[0]));
    } catch (const PyErrorSet&) {
      add_processing_note("ids");
      throw;
    }
    // Every id is converted before any lookup (arg_u32 names the parameter).
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item(raw);
      ids.push_back(arg_u32(item.get(), "ids"));
    }
    if (PyErr_Occurred()) {
      add_processing_note("ids");
      throw_error_set();
    }
    const Core& index = core(self);
    std::vector<std::optional<std::string_view>> keys = detached([&] {
      std::vector<std::optional<std::string_view>> out(ids.size());
      for (std::size_t i = 0; i < ids.size(); ++i) out[i] = index.key(ids[i]);
      return out;
    });
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    for (std::size_t i = 0; i < keys.size(); ++i) {
      PyObject* item;
      if (keys[i]) {
        item = Ref::check(new_str(*keys[i])).release();
      } else {
        Py_INCREF(Py_None);
        item = Py_None;
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

// ---- blobs ----

QV_METHOD(m_to_bytes) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("PerfectHashIndex.to_bytes"), args, nargs, kwnames, nullptr);
    const Core& index = core(self);
    std::vector<unsigned char> blob = detached([&] { return index.to_bytes(); });
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(blob.data()), static_cast<Py_ssize_t>(blob.size()));
  });
}

QV_METHOD(m_serialized_len) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("PerfectHashIndex.serialized_len"), args, nargs, kwnames, nullptr);
    return new_int(core(self).serialized_len());
  });
}

QV_METHOD(m_reduce) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("PerfectHashIndex.__reduce__"), args, nargs, kwnames, nullptr);
    Ref loader = Ref::check(PyObject_GetAttrString(class_object(), "from_bytes"));
    const Core& index = core(self);
    std::vector<unsigned char> blob = detached([&] { return index.to_bytes(); });
    Ref bytes = Ref::check(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(blob.data()), static_cast<Py_ssize_t>(blob.size())));
    return Py_BuildValue("(O(O))", loader.get(), bytes.get());
  });
}

QV_METHOD(m_save) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"path"};
    static const Params p = params("PerfectHashIndex.save", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    const std::string path = arg_path(a[0], "path");
    const Core& index = core(self);
    detached([&] { index.save(path); });
    Py_RETURN_NONE;
  });
}

QV_METHOD(s_from_bytes) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"data"};
    static const Params p = params("PerfectHashIndex.from_bytes", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    std::string_view data = arg_blob(a[0], "data");  // the caller's reference keeps it alive
    Core index = detached([&] {
      return Core::from_bytes(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(data.data()), data.size()));
    });
    return make_instance(reinterpret_cast<PyTypeObject*>(class_object()), std::move(index));
  });
}

template <Core (*Load)(const std::string&)>
PyObject* load_with(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"path"};
    const Params p = params(func, names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kwnames, a);
    const std::string path = arg_path(a[0], "path");
    Core index = detached([&] { return Load(path); });
    return make_instance(reinterpret_cast<PyTypeObject*>(class_object()), std::move(index));
  });
}

QV_METHOD(s_load) {
  (void)self;
  return load_with<&Core::load>("PerfectHashIndex.load", args, nargs, kwnames);
}
QV_METHOD(s_load_mmap) {
  (void)self;
  return load_with<&Core::load_mmap>("PerfectHashIndex.load_mmap", args, nargs, kwnames);
}
QV_METHOD(s_load_mmap_verified) {
  (void)self;
  return load_with<&Core::load_mmap_verified>("PerfectHashIndex.load_mmap_verified", args, nargs, kwnames);
}

// ---- protocol slots ----

Py_ssize_t sq_length(PyObject* self) { return static_cast<Py_ssize_t>(core(self).len()); }

int sq_contains(PyObject* self, PyObject* key) {
  PyObject* r = boundary([&]() -> PyObject* { return PyBool_FromLong(core(self).contains(arg_str(key, "key"))); });
  if (!r) return -1;
  int v = r == Py_True;
  Py_DECREF(r);
  return v;
}

PyObject* mp_subscript(PyObject* self, PyObject* key) {
  return boundary([&]() -> PyObject* {
    std::string_view k = arg_str(key, "key");
    auto id = core(self).id_with_side(k);
    if (id) return new_int(*id);
    Ref s = Ref::check(new_str(k));
    PyErr_SetObject(PyExc_KeyError, s.get());
    throw_error_set();
  });
}

#undef QV_METHOD

constexpr int STATIC = FASTCALL_KW | METH_STATIC;

PyMethodDef methods[] = {
    {"build_to_file", fastcall(build_to_file), STATIC,
     "build_to_file(source, path, *, fingerprints=False)\n--\n\n"
     "Build an index into a file from a zero-argument callable returning a fresh iterable of str (called twice); "
     "returns the number of keys."},
    {"is_empty", fastcall(m_is_empty), FASTCALL_KW, "is_empty($self)\n--\n\nTrue when the index holds no key."},
    {"has_fingerprints", fastcall(m_has_fingerprints), FASTCALL_KW,
     "has_fingerprints($self)\n--\n\nTrue when the key store keeps a tag byte per key."},
    {"id", fastcall(m_id), FASTCALL_KW, "id($self, key)\n--\n\nThe id of key, or None."},
    {"id_unchecked", fastcall(m_id_unchecked), FASTCALL_KW,
     "id_unchecked($self, key)\n--\n\nThe id of a member key without comparing bytes; any id for a non-member."},
    {"contains", fastcall(m_contains), FASTCALL_KW, "contains($self, key)\n--\n\nWhether key is a member."},
    {"get", fastcall(m_get), FASTCALL_KW, "get($self, key, default=None)\n--\n\nThe id of key, or default."},
    {"key", fastcall(m_key), FASTCALL_KW, "key($self, id)\n--\n\nThe key of an id, or None."},
    {"ids_of", fastcall(m_ids_of), FASTCALL_KW,
     "ids_of($self, keys)\n--\n\nA list of ids aligned with keys, None for a non-member."},
    {"ids_of_bytes", fastcall(m_ids_of_bytes), FASTCALL_KW,
     "ids_of_bytes($self, keys)\n--\n\nThe ids as native-endian uint32 bytes, MISSING_ID for a non-member."},
    {"ids_of_arrow", fastcall(m_ids_of_arrow), FASTCALL_KW,
     "ids_of_arrow($self, column)\n--\n\nThe ids of an Arrow string column as native-endian uint32 bytes."},
    {"ids_into_arrow", fastcall(m_ids_into_arrow), FASTCALL_KW,
     "ids_into_arrow($self, column, out)\n--\n\nWrite the ids of an Arrow string column into a uint32 buffer."},
    {"ids_into", fastcall(m_ids_into), FASTCALL_KW,
     "ids_into($self, keys, out)\n--\n\nWrite the ids of keys into a uint32 buffer."},
    {"keys_of", fastcall(m_keys_of), FASTCALL_KW,
     "keys_of($self, ids)\n--\n\nA list of keys aligned with ids, None for an id without a key."},
    {"to_bytes", fastcall(m_to_bytes), FASTCALL_KW, "to_bytes($self)\n--\n\nThe index as a BMP8 blob."},
    {"serialized_len", fastcall(m_serialized_len), FASTCALL_KW,
     "serialized_len($self)\n--\n\nThe length of to_bytes() without building it."},
    {"__reduce__", fastcall(m_reduce), FASTCALL_KW, "__reduce__($self)\n--\n\nPickle as the blob and from_bytes."},
    {"from_bytes", fastcall(s_from_bytes), STATIC, "from_bytes(data)\n--\n\nAn index from a blob, fully verified."},
    {"save", fastcall(m_save), FASTCALL_KW, "save($self, path)\n--\n\nWrite the blob to a file atomically."},
    {"load", fastcall(s_load), STATIC, "load(path)\n--\n\nAn index read from a file, fully verified."},
    {"load_mmap", fastcall(s_load_mmap), STATIC,
     "load_mmap(path)\n--\n\nAn index over a read-only map of a file; the payload checksum is not computed."},
    {"load_mmap_verified", fastcall(s_load_mmap_verified), STATIC,
     "load_mmap_verified(path)\n--\n\nAn index over a read-only map of a file, fully verified."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<Core>)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>(
                    "PerfectHashIndex(items, *, fingerprints=False)\n--\n\n"
                    "Minimal-perfect-hash dictionary: exact `string \xe2\x86\x92 dense id` with reverse lookup and "
                    "persistence.")},
    {Py_sq_length, reinterpret_cast<void*>(&sq_length)},
    {Py_mp_length, reinterpret_cast<void*>(&sq_length)},
    {Py_sq_contains, reinterpret_cast<void*>(&sq_contains)},
    {Py_mp_subscript, reinterpret_cast<void*>(&mp_subscript)},
    {0, nullptr},
};

PyType_Spec type_desc = {
    "quorvale._core.PerfectHashIndex",
    static_cast<int>(sizeof(Instance<Core>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    slots,
};

}  // namespace

PyObject* perfect_hash_index_type() {
  return cell.get([]() -> PyObject* {
    PyObject* type = PyType_FromSpec(&type_desc);
    if (!type) return nullptr;
    PyObject* r = boundary([&]() -> PyObject* {
      set_class_attr(type, "ID_DTYPE", PyUnicode_FromString("uint32"));
      set_class_attr(type, "MISSING_ID", new_int(MISSING));
      Py_RETURN_NONE;
    });
    if (!r) {
      Py_DECREF(type);
      return nullptr;
    }
    Py_DECREF(r);
    return type;
  });
}

}  // namespace quorvale::python
