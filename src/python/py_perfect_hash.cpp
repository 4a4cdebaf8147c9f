// The Python class PerfectHashIndex over the core perfect-hash index.
#include "py_perfect_hash.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "perfect_hash.hpp"
#include "arrow.hpp"
#include "classes.hpp"
#include "frame.hpp"
#include "ids_out.hpp"
#include "index_methods.hpp"
#include "key_source.hpp"
#include "keys.hpp"

namespace quorvale::python {

namespace {

using Core = PerfectHashIndex;

struct Kind : KindBase<PerfectHashIndex, std::uint32_t> {
  static PyObject* type() { return perfect_hash_index_type(); }
  static std::optional<Id> find(const Core& c, std::string_view key) { return c.id_with_side(key); }
};
using M = Methods<Kind>;

TypeCell cell;

const Core& core(PyObject* self) { return M::core(self); }

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
      return Core::build_borrowed(keys.views(), fingerprints);
    });
    keys.clear();
    return M::instance(type, std::move(index));
  });
}

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
    Parked parked;
    auto factory = [&]() -> std::unique_ptr<KeySource> {
      std::optional<KeyStream> stream;
      if (!parked.failed()) {
        try {
          Ref iterable = Ref::check(PyObject_CallNoArgs(source));
          stream.emplace(iterable.get());
        } catch (const PyErrorSet&) {
          parked.park();
        }
      }
      return std::make_unique<PySource>(std::move(stream), parked);
    };
    // The steps between and after the passes read no key: other threads may
    // use the interpreter meanwhile.
    hash_engine::StreamRun run;
    run.stop = parked.probe();
    run.offline = [](const std::function<void()>& step) { detached([&] { step(); }); };
    const std::uint64_t n = parked.run([&] { return Core::build_to_file(factory, path, fingerprints, run); });
    return new_int(n);
  });
}

// ---- single-key lookups ----

QV_METHOD(m_has_fingerprints) {
  return boundary([&]() -> PyObject* {
    read_args(no_params("PerfectHashIndex.has_fingerprints"), args, nargs, kwnames, nullptr);
    return PyBool_FromLong(core(self).has_fingerprints());
  });
}

PyMethodDef* methods = method_table({
    {
        static_method("build_to_file", build_to_file,
                      "build_to_file(source, path, *, fingerprints=False)\n--\n\n"
                      "Build an index into a file from a zero-argument callable returning a fresh iterable of str "
                      "(called twice); returns the number of keys."),
        M::is_empty_entry(),
        method("has_fingerprints", m_has_fingerprints,
               "has_fingerprints($self)\n--\n\nTrue when the key store keeps a tag byte per key."),
        method("id", M::id, "id($self, key)\n--\n\nThe id of key, or None."),
        method("id_unchecked", M::id_unchecked,
               "id_unchecked($self, key)\n--\n\nThe id of a member key without comparing bytes; any id for a "
               "non-member."),
        method("contains", M::contains, "contains($self, key)\n--\n\nWhether key is a member."),
        M::get_entry(),
        method("key", M::key, "key($self, id)\n--\n\nThe key of an id, or None."),
        method("ids_of", M::ids_of, "ids_of($self, keys)\n--\n\nA list of ids aligned with keys, None for a non-member."),
        method("ids_of_bytes", M::ids_of_bytes,
               "ids_of_bytes($self, keys)\n--\n\nThe ids as native-endian uint32 bytes, MISSING_ID for a non-member."),
        method("ids_of_arrow", M::ids_of_arrow,
               "ids_of_arrow($self, column)\n--\n\nThe ids of an Arrow string column as native-endian uint32 bytes."),
        method("ids_into_arrow", M::ids_into_arrow,
               "ids_into_arrow($self, column, out)\n--\n\nWrite the ids of an Arrow string column into a uint32 "
               "buffer."),
        M::ids_into_entry(),
        method("keys_of", M::keys_of,
               "keys_of($self, ids)\n--\n\nA list of keys aligned with ids, None for an id without a key."),
    },
    M::blob_entries(),
    M::mmap_entries(),
});

}  // namespace

PyObject* perfect_hash_index_type() {
  return M::make_index_type(cell, {
      {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
      {Py_tp_methods, methods},
      {Py_tp_doc, const_cast<char*>(
                      "PerfectHashIndex(items, *, fingerprints=False)\n--\n\n"
                      "Minimal-perfect-hash dictionary: exact `string \xe2\x86\x92 dense id` with reverse lookup and "
                      "persistence.")},
  });
}

}  // namespace quorvale::python
