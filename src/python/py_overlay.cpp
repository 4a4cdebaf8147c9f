// The Python class Overlay over the core overlay. An object holds one
// overlay, over a shared StringIndex, PerfectHashIndex or CompactHashIndex,
// behind one mutex with poisoning. Lookups and edits run attached (a busy
// mutex is waited for detached); keys(), the compactions, to_bytes() and
// save() hold the mutex detached for their whole work. Python objects are
// made attached, after the mutex is released.
#include "py_overlay.hpp"

#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "kinds.hpp"
#include "overlay.hpp"
#include "threads.hpp"
#include "classes.hpp"
#include "index_methods.hpp"
#include "iter_lock.hpp"
#include "registry.hpp"

namespace quorvale::python {

namespace {

using overlay::Overlay;

constexpr const char* MSG_NO_KEYS =
    "a CompactHashIndex stores no keys, so an overlay over it has no key(), keys(), compact(), compact_to_file() or "
    "compact_with_remap()";
constexpr const char* MSG_TAKES = "Overlay takes a StringIndex, a PerfectHashIndex or a CompactHashIndex";
constexpr const char* MSG_BASE_CLASS =
    "base must be StringIndex, PerfectHashIndex or CompactHashIndex (the class itself)";

struct PyOverlay {
  PyObject_HEAD
  Locked<Overlay> state;
};

TypeCell cell;

Locked<Overlay>& state_of(PyObject* self) { return reinterpret_cast<PyOverlay*>(self)->state; }

PyObject* type_checked(PyObject* t) {
  if (!t) throw_error_set();
  return t;
}

PyObject* make_overlay(Overlay&& inner) {
  auto* type = reinterpret_cast<PyTypeObject*>(type_checked(overlay_type()));
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) throw_error_set();
  new (&reinterpret_cast<PyOverlay*>(obj)->state) Locked<Overlay>(overlay::MSG_POISONED, std::move(inner));
  return obj;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  state_of(self).~Locked<Overlay>();
  type->tp_free(self);
  Py_DECREF(type);  // heap-type instances own a reference to their type
}

// work(overlay) under the mutex, attached; waiting for it detached.
template <class Work>
auto attached_with(PyObject* self, Work&& work) {
  return state_of(self).with(wait_detached, work);
}

// The same with the whole work detached.
template <class Work>
auto detached_with(PyObject* self, Work&& work) {
  Locked<Overlay>& state = state_of(self);
  return detached([&] { return state.with(work); });
}

// The same for a walk over the keys, work(overlay, pause): the pauses
// re-attach while the mutex is held, which is safe as every other caller
// waits for it detached.
template <class Work>
auto pausing_with(PyObject* self, Work&& work) {
  Locked<Overlay>& state = state_of(self);
  return detached_pausing([&](const Pause& pause) {
    return state.with([&](Overlay& o) { return work(o, pause); });
  });
}

// A result of a key method, or the compact-hash refusal raised once the
// mutex is released.
template <class T>
T keyed(std::optional<T>&& r) {
  if (!r) raise_type_error(MSG_NO_KEYS);
  return std::move(*r);
}

// The class of the base kind `Kind`.
template <class Kind>
PyObject* base_class() {
  return type_checked(class_of(kinds::kind_of<Kind>));
}

// The first of `try_kind<Kind>()` over the kinds an overlay lays over, in
// the order the constructor tests them, that gives a result; nothing when
// none does.
template <class Try>
auto first_kind(Try&& try_kind) -> decltype(try_kind.template operator()<StringIndex>()) {
  decltype(try_kind.template operator()<StringIndex>()) made{};
  (void)((made = try_kind.template operator()<StringIndex>()) ||
         (made = try_kind.template operator()<PerfectHashIndex>()) ||
         (made = try_kind.template operator()<CompactHashIndex>()));
  return made;
}

// The overlay of a blob for the class `base` (by identity).
Overlay load_blob(std::span<const unsigned char> blob, PyObject* base, bool untrusted) {
  const std::optional<std::uint8_t> tag = first_kind([&]<class Kind>() -> std::optional<std::uint8_t> {
    if (base != base_class<Kind>()) return std::nullopt;
    return overlay::TAG_OF<Kind>;
  });
  if (!tag) raise_type_error(MSG_BASE_CLASS);
  return Overlay::load(blob, *tag, untrusted);
}

PyObject* new_id_or(std::optional<std::uint64_t> id, PyObject* otherwise) {
  if (id) return new_int(*id);
  Py_INCREF(otherwise);
  return otherwise;
}

PyObject* new_bytes_of(std::span<const unsigned char> b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
}

// ---- construction ----

PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"index"};
    static const Params p = params("Overlay.__new__", names, 1, 1);
    PyObject* a[1];
    Ref held = read_args_tuple(p, args, kwargs, a);
    std::optional<Overlay> o = first_kind([&]<class Kind>() -> std::optional<Overlay> {
      if (!PyObject_TypeCheck(a[0], reinterpret_cast<PyTypeObject*>(base_class<Kind>()))) return std::nullopt;
      return Overlay(core_of<Kind>(a[0]));
    });
    if (!o) raise_type_error(MSG_TAKES);
    return make_overlay(std::move(*o));
  });
}

// ---- state and lookups (attached) ----

QV_METHOD(m_is_empty) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("Overlay.is_empty"), args, nargs, kwnames, nullptr);
    return PyBool_FromLong(attached_with(self, [](Overlay& o) { return o.is_empty(); }));
  });
}

QV_METHOD(m_id_space) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("Overlay.id_space"), args, nargs, kwnames, nullptr);
    return new_int(attached_with(self, [](Overlay& o) { return o.id_space(); }));
  });
}

std::optional<std::uint64_t> lookup(PyObject* self, std::string_view key) {
  return attached_with(self, [&](Overlay& o) { return o.id(key); });
}

QV_METHOD(m_id) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"key"};
    static const Params p = params("Overlay.id", names, 1, 1);
    return new_id_or(lookup(self, one_str_arg(p, args, nargs, kwnames)), Py_None);
  });
}

QV_METHOD(m_contains) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"key"};
    static const Params p = params("Overlay.contains", names, 1, 1);
    return PyBool_FromLong(lookup(self, one_str_arg(p, args, nargs, kwnames)).has_value());
  });
}

QV_METHOD(m_get) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"key", "default"};
    static const Params p = params("Overlay.get", names, 2, 1);
    PyObject* a[2];
    read_args(p, args, nargs, kwnames, a);
    const std::string_view key = arg_str(a[0], "key");
    return new_id_or(lookup(self, key), a[1] ? a[1] : Py_None);
  });
}

QV_METHOD(m_add) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"key"};
    static const Params p = params("Overlay.add", names, 1, 1);
    const std::string_view key = one_str_arg(p, args, nargs, kwnames);
    return new_int(attached_with(self, [&](Overlay& o) { return o.add(key); }));
  });
}

QV_METHOD(m_remove) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"key"};
    static const Params p = params("Overlay.remove", names, 1, 1);
    const std::string_view key = one_str_arg(p, args, nargs, kwnames);
    return PyBool_FromLong(attached_with(self, [&](Overlay& o) { return o.remove(key); }));
  });
}

QV_METHOD(m_retire_id) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"id"};
    static const Params p = params("Overlay.retire_id", names, 1, 1);
    const std::uint64_t id = arg_u64(one_arg(p, args, nargs, kwnames), "id");
    return PyBool_FromLong(attached_with(self, [&](Overlay& o) { return o.retire_id(id); }));
  });
}

QV_METHOD(m_key) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"id"};
    static const Params p = params("Overlay.key", names, 1, 1);
    const std::uint64_t id = arg_u64(one_arg(p, args, nargs, kwnames), "id");
    std::optional<std::string> key =
        keyed(attached_with(self, [&](Overlay& o) -> std::optional<std::optional<std::string>> {
          if (!o.base().stores_keys()) return std::nullopt;
          return o.key(id);
        }));
    if (!key) Py_RETURN_NONE;
    return new_str(*key);
  });
}

// ---- keys and compaction (detached) ----

QV_METHOD(m_keys) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("Overlay.keys"), args, nargs, kwnames, nullptr);
    std::vector<std::string> keys =
        keyed(pausing_with(self, [](Overlay& o, const Pause& pause) -> std::optional<std::vector<std::string>> {
          if (!o.base().stores_keys()) return std::nullopt;
          return o.keys(pause);
        }));
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    for (std::size_t i = 0; i < keys.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref::check(new_str(keys[i])).release());
      std::string().swap(keys[i]);  // one copy of each key at a time
    }
    return list.release();
  });
}

QV_METHOD(m_compact) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("Overlay.compact"), args, nargs, kwnames, nullptr);
    Overlay fresh = keyed(pausing_with(self, [](Overlay& o, const Pause& pause) -> std::optional<Overlay> {
      if (!o.base().stores_keys()) return std::nullopt;
      return o.compact(pause);
    }));
    return make_overlay(std::move(fresh));
  });
}

QV_METHOD(m_compact_to_file) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"path"};
    static const Params p = params("Overlay.compact_to_file", names, 1, 1);
    const std::string path = arg_path(one_arg(p, args, nargs, kwnames), "path");
    return new_int(keyed(pausing_with(self, [&](Overlay& o, const Pause& pause) -> std::optional<std::uint64_t> {
      if (!o.base().stores_keys()) return std::nullopt;
      return o.compact_to_file(path, pause);
    })));
  });
}

QV_METHOD(m_compact_with_remap) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("Overlay.compact_with_remap"), args, nargs, kwnames, nullptr);
    using Result = std::pair<Overlay, std::vector<std::uint64_t>>;
    Result r = keyed(pausing_with(self, [](Overlay& o, const Pause& pause) -> std::optional<Result> {
      if (!o.base().stores_keys()) return std::nullopt;
      return o.compact_with_remap(pause);
    }));
    // The table in the machine's byte order, one u64 per old id.
    Ref table = Ref::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(8 * r.second.size())));
    if (!r.second.empty()) std::memcpy(PyBytes_AS_STRING(table.get()), r.second.data(), 8 * r.second.size());
    Ref fresh = Ref::check(make_overlay(std::move(r.first)));
    return PyTuple_Pack(2, fresh.get(), table.get());
  });
}

QV_METHOD(m_base) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("Overlay.base"), args, nargs, kwnames, nullptr);
    const std::shared_ptr<const overlay::Base> base =
        attached_with(self, [](Overlay& o) { return o.shared_base(); });
    PyObject* made = first_kind([&]<class Kind>() -> PyObject* {
      std::shared_ptr<const Kind> core = overlay::index_of<Kind>(*base);
      if (!core) return nullptr;
      return wrap<Kind>(reinterpret_cast<PyTypeObject*>(base_class<Kind>()), std::move(core));
    });
    if (!made) panic(overlay::MSG_BASE_KIND);
    return made;
  });
}

// ---- blobs ----

std::vector<unsigned char> blob_of(PyObject* self) {
  return detached_with(self, [](Overlay& o) { return o.to_bytes(); });
}

QV_METHOD(m_to_bytes) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("Overlay.to_bytes"), args, nargs, kwnames, nullptr);
    const std::vector<unsigned char> blob = blob_of(self);
    return new_bytes_of(blob);
  });
}

QV_METHOD(m_save) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"path"};
    static const Params p = params("Overlay.save", names, 1, 1);
    const std::string path = arg_path(one_arg(p, args, nargs, kwnames), "path");
    detached_with(self, [&](Overlay& o) {
      o.save(path);
      return 0;
    });
    Py_RETURN_NONE;
  });
}

// Pickling: the blob and the class of the base, for the checked from_bytes.
QV_METHOD(m_reduce) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("Overlay.__reduce__"), args, nargs, kwnames, nullptr);
    const std::uint8_t tag = attached_with(self, [](Overlay& o) { return o.base().tag(); });
    const kinds::Entry* kind = kinds::by_overlay_tag(tag);
    if (!kind) panic(overlay::MSG_BASE_KIND);
    PyObject* base = type_checked(class_of(kind->kind));
    Ref blob = Ref::check(new_bytes_of(blob_of(self)));
    Ref loader = Ref::check(PyObject_GetAttrString(type_checked(overlay_type()), "from_bytes"));
    return Py_BuildValue("(O(OO))", loader.get(), blob.get(), base);
  });
}

PyObject* from_bytes_with(const Params& p, bool untrusted, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* a[2];
  read_args(p, args, nargs, kwnames, a);
  const std::string_view data = arg_blob(a[0], "data");  // the caller's reference keeps it
  PyObject* base = reinterpret_cast<PyObject*>(arg_type(a[1], "base"));
  return make_overlay(load_blob(
      std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(data.data()), data.size()), base,
      untrusted));
}

QV_METHOD(s_from_bytes) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"data", "base"};
    static const Params p = params("Overlay.from_bytes", names, 2, 2);
    return from_bytes_with(p, false, args, nargs, kwnames);
  });
}

QV_METHOD(s_from_untrusted_bytes) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"data", "base"};
    static const Params p = params("Overlay.from_untrusted_bytes", names, 2, 2);
    return from_bytes_with(p, true, args, nargs, kwnames);
  });
}

// A failed read as the operating system tells it: OSError(errno, text),
// which Python narrows to its subclass (FileNotFoundError, ...).
[[noreturn]] void raise_read_error(const IndexError& e) {
  if (e.kind() == IndexError::Kind::Io && e.os_code() != 0) {
    errno = e.os_code();
    PyErr_SetFromErrno(PyExc_OSError);
    throw_error_set();
  }
  if (e.kind() == IndexError::Kind::Io) {
    PyErr_SetString(PyExc_OSError, e.message().c_str());
    throw_error_set();
  }
  throw e;
}

PyObject* load_with(const Params& p, bool untrusted, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  read_args(p, args, nargs, kwnames, a);
  const std::string path = arg_path(a[0], "path");
  PyObject* base = reinterpret_cast<PyObject*>(arg_type(a[1], "base"));
  blob::SharedBytes bytes;
  try {
    bytes = detached([&] { return blob::SharedBytes::read_file(path); });
  } catch (const IndexError& e) {
    raise_read_error(e);
  }
  return make_overlay(load_blob(bytes.bytes(), base, untrusted));
}

QV_METHOD(s_load) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"path", "base"};
    static const Params p = params("Overlay.load", names, 2, 2);
    return load_with(p, false, args, nargs, kwnames);
  });
}

QV_METHOD(s_load_untrusted) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"path", "base"};
    static const Params p = params("Overlay.load_untrusted", names, 2, 2);
    return load_with(p, true, args, nargs, kwnames);
  });
}

// ---- protocol slots ----

Py_ssize_t sq_length(PyObject* self) {
  Py_ssize_t n = -1;
  boundary_int([&] {
    n = py_length(attached_with(self, [](Overlay& o) { return o.len(); }), "the live id count does not fit a Python length");
  });
  return n;
}

int sq_contains(PyObject* self, PyObject* key) {
  return boundary_truth([&] { return lookup(self, arg_str(key, "key")).has_value(); });
}

PyObject* mp_subscript(PyObject* self, PyObject* key) {
  return boundary([&]() -> PyObject* {
    if (auto id = lookup(self, arg_str(key, "key"))) return new_int(*id);
    PyErr_SetObject(PyExc_KeyError, key);
    throw_error_set();
  });
}

PyMethodDef* methods = method_table({{
    method("is_empty", m_is_empty, "is_empty($self)\n--\n\nTrue when no id is live."),
    method("id_space", m_id_space,
           "id_space($self)\n--\n\nThe number of ids ever issued: the base's key count plus the additions."),
    method("id", m_id, "id($self, key)\n--\n\nThe id of key while it is live, or None."),
    method("contains", m_contains, "contains($self, key)\n--\n\nWhether key is live."),
    method("get", m_get, "get($self, key, default=None)\n--\n\nThe id of key while it is live, or default."),
    method("add", m_add,
           "add($self, key)\n--\n\nAdd key and return its id: its base id or earlier id (revived when it was "
           "removed), else the next id."),
    method("remove", m_remove, "remove($self, key)\n--\n\nRetire the id of key; whether it was live."),
    method("retire_id", m_retire_id, "retire_id($self, id)\n--\n\nRetire an id; whether it was live."),
    method("key", m_key, "key($self, id)\n--\n\nThe key of a live id, or None."),
    method("keys", m_keys, "keys($self)\n--\n\nEvery live key, in id order."),
    method("compact", m_compact,
           "compact($self)\n--\n\nA new Overlay without edits over a base of the same kind rebuilt from the live "
           "keys; ids are renumbered."),
    method("compact_to_file", m_compact_to_file,
           "compact_to_file($self, path)\n--\n\nWrite a base of the same kind rebuilt from the live keys to a file "
           "atomically; returns its key count."),
    method("compact_with_remap", m_compact_with_remap,
           "compact_with_remap($self)\n--\n\nThe compacted Overlay and a table of native-endian uint64 new ids, one "
           "per old id, 2**64 - 1 for a retired id."),
    method("base", m_base, "base($self)\n--\n\nThe base index, shared, as an object of its own class."),
    method("to_bytes", m_to_bytes, "to_bytes($self)\n--\n\nThe overlay as an OVL2 blob, its base inside."),
    method("save", m_save, "save($self, path)\n--\n\nWrite the OVL2 blob to a file atomically."),
    static_method("from_bytes", s_from_bytes,
                  "from_bytes(data, base)\n--\n\nAn Overlay from a blob written over an index of class base, fully "
                  "verified."),
    method("__reduce__", m_reduce, "__reduce__($self)\n--\n\nPickle as the blob, from_bytes and the base class."),
    static_method("from_untrusted_bytes", s_from_untrusted_bytes,
                  "from_untrusted_bytes(data, base)\n--\n\nAs from_bytes, validating a StringIndex base fully."),
    static_method("load", s_load,
                  "load(path, base)\n--\n\nAn Overlay read from a file written over an index of class base, fully "
                  "verified."),
    static_method("load_untrusted", s_load_untrusted,
                  "load_untrusted(path, base)\n--\n\nAs load, validating a StringIndex base fully."),
}});

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)},
    {Py_tp_methods, nullptr},  // set before the type is made
    {Py_tp_doc, const_cast<char*>("Overlay(index)\n--\n\n"
                                  "Keys added to and removed from an index that never changes, shared with it. Base "
                                  "ids keep their numbers, added keys take the next ids, a removed key's id is "
                                  "retired and never given to another key; compaction renumbers into a new base.")},
    {Py_sq_length, reinterpret_cast<void*>(&sq_length)},
    {Py_mp_length, reinterpret_cast<void*>(&sq_length)},
    {Py_sq_contains, reinterpret_cast<void*>(&sq_contains)},
    {Py_mp_subscript, reinterpret_cast<void*>(&mp_subscript)},
    {0, nullptr},
};

PyType_Spec type_def = {"quorvale._core.Overlay", static_cast<int>(sizeof(PyOverlay)), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyObject* overlay_type() {
  return cell.get([]() -> PyObject* {
    slots[2].pfunc = methods;
    return make_type(&type_def, [](PyObject*) {});
  });
}

}  // namespace quorvale::python
