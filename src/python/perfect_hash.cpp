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
#include "index_methods.hpp"
#include "keys.hpp"

namespace quorvale::python {

namespace {

using Core = PerfectHashIndex;
using perfect_hash::MISSING;

struct Kind {
  using Core = PerfectHashIndex;
  using Id = std::uint32_t;
  static constexpr const char* name = "PerfectHashIndex";
  static PyObject* type() { return perfect_hash_index_type(); }
  static constexpr Id MISSING = perfect_hash::MISSING;
  static constexpr bool absence = true;
  static constexpr const char* null_refusal = nullptr;
  static std::optional<Id> find(const Core& c, std::string_view key) { return c.id_with_side(key); }
  static bool contains(const Core& c, std::string_view key) { return c.contains(key); }
  static std::uint64_t unchecked(const Core& c, std::string_view key) { return c.id_unchecked(key); }
  template <class KeyAt>
  static void lookup(const Core& c, std::size_t count, KeyAt&& key_at, Id* out) {
    c.ids_into_with(count, key_at, out);
  }
};
using M = Methods<Kind>;

TypeCell cell;

const Core& core(PyObject* self) { return M::core(self); }

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
    return M::instance(type, std::move(index));
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

QV_METHOD(m_has_fingerprints) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("PerfectHashIndex.has_fingerprints"), args, nargs, kwnames, nullptr);
    return PyBool_FromLong(core(self).has_fingerprints());
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

#undef QV_METHOD

PyMethodDef methods[] = {
    static_method("build_to_file", build_to_file,
                  "build_to_file(source, path, *, fingerprints=False)\n--\n\n"
                  "Build an index into a file from a zero-argument callable returning a fresh iterable of str (called "
                  "twice); returns the number of keys."),
    method("is_empty", M::is_empty, "is_empty($self)\n--\n\nTrue when the index holds no key."),
    method("has_fingerprints", m_has_fingerprints,
           "has_fingerprints($self)\n--\n\nTrue when the key store keeps a tag byte per key."),
    method("id", M::id, "id($self, key)\n--\n\nThe id of key, or None."),
    method("id_unchecked", M::id_unchecked,
           "id_unchecked($self, key)\n--\n\nThe id of a member key without comparing bytes; any id for a non-member."),
    method("contains", M::contains, "contains($self, key)\n--\n\nWhether key is a member."),
    method("get", M::get, "get($self, key, default=None)\n--\n\nThe id of key, or default."),
    method("key", m_key, "key($self, id)\n--\n\nThe key of an id, or None."),
    method("ids_of", M::ids_of, "ids_of($self, keys)\n--\n\nA list of ids aligned with keys, None for a non-member."),
    method("ids_of_bytes", M::ids_of_bytes,
           "ids_of_bytes($self, keys)\n--\n\nThe ids as native-endian uint32 bytes, MISSING_ID for a non-member."),
    method("ids_of_arrow", M::ids_of_arrow,
           "ids_of_arrow($self, column)\n--\n\nThe ids of an Arrow string column as native-endian uint32 bytes."),
    method("ids_into_arrow", M::ids_into_arrow,
           "ids_into_arrow($self, column, out)\n--\n\nWrite the ids of an Arrow string column into a uint32 buffer."),
    method("ids_into", M::ids_into, "ids_into($self, keys, out)\n--\n\nWrite the ids of keys into a uint32 buffer."),
    method("keys_of", m_keys_of,
           "keys_of($self, ids)\n--\n\nA list of keys aligned with ids, None for an id without a key."),
    method("to_bytes", M::to_bytes, "to_bytes($self)\n--\n\nThe index as a BMP8 blob."),
    method("serialized_len", M::serialized_len,
           "serialized_len($self)\n--\n\nThe length of to_bytes() without building it."),
    method("__reduce__", M::reduce, "__reduce__($self)\n--\n\nPickle as the blob and from_bytes."),
    static_method("from_bytes", M::from_bytes, "from_bytes(data)\n--\n\nAn index from a blob, fully verified."),
    method("save", M::save, "save($self, path)\n--\n\nWrite the blob to a file atomically."),
    static_method("load", M::load, "load(path)\n--\n\nAn index read from a file, fully verified."),
    static_method("load_mmap", M::load_mmap,
                  "load_mmap(path)\n--\n\nAn index over a read-only map of a file; the payload checksum is not "
                  "computed."),
    static_method("load_mmap_verified", M::load_mmap_verified,
                  "load_mmap_verified(path)\n--\n\nAn index over a read-only map of a file, fully verified."),
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
    {Py_sq_length, reinterpret_cast<void*>(&M::sq_length)},
    {Py_mp_length, reinterpret_cast<void*>(&M::sq_length)},
    {Py_sq_contains, reinterpret_cast<void*>(&M::sq_contains)},
    {Py_mp_subscript, reinterpret_cast<void*>(&M::mp_subscript)},
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
  return cell.get([] {
    return make_type(&type_desc, [](PyObject* type) {
      set_class_attr(type, "ID_DTYPE", PyUnicode_FromString("uint32"));
      set_class_attr(type, "MISSING_ID", new_int(MISSING));
    });
  });
}

}  // namespace quorvale::python
