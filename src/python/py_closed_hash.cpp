// The Python class ClosedHashIndex over the core closed-hash index.
#include "py_closed_hash.hpp"

#include <vector>

#include "classes.hpp"
#include "index_methods.hpp"
#include "keys.hpp"

namespace quorvale::python {

namespace {

using Core = ClosedHashIndex;

// Every key gets an id: there is no absence, and no id for an Arrow null.
struct Kind : KindBase<ClosedHashIndex, std::uint32_t> {
  static PyObject* type() { return closed_hash_index_type(); }
  static constexpr bool absence = false;
  static constexpr const char* null_refusal = "a closed vocabulary has no id for a null: fill the nulls first";
  static std::optional<Id> find(const Core& c, std::string_view key) { return c.id(key); }
};
using M = Methods<Kind>;

TypeCell cell;

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"items"};
    static const Params p = params("ClosedHashIndex.__new__", names, 1, 1);
    PyObject* a[1];
    Ref held = read_args_tuple(p, args, kwargs, a);
    std::vector<hash::HashPair> pairs = collect_pairs(a[0]);
    Core index = detached([&] { return Core::build_from_pairs(std::move(pairs)); });
    return M::instance(type, std::move(index));
  });
}

// No membership test, so (absence being false) no `in` and no subscription,
// and no iteration either, through which `in` would otherwise fall back.
PyMethodDef* methods = method_table({
    {
        M::is_empty_entry(),
        method("id", M::id,
               "id($self, key)\n--\n\nThe id of key: its own for a member, some id in `[0, n)` for any other string "
               "(0 when the index is empty). There is no `__contains__` and no `__getitem__`: the index stores "
               "nothing to test membership with."),
        method("ids_of", M::ids_of, "ids_of($self, keys)\n--\n\nA list of the ids of keys."),
        method("ids_of_bytes", M::ids_of_bytes, "ids_of_bytes($self, keys)\n--\n\nThe ids as native-endian uint32 bytes."),
        method("ids_of_arrow", M::ids_of_arrow,
               "ids_of_arrow($self, column)\n--\n\nThe ids of an Arrow string column as native-endian uint32 bytes; "
               "a column with a null is refused."),
        method("ids_into_arrow", M::ids_into_arrow,
               "ids_into_arrow($self, column, out)\n--\n\nWrite the ids of an Arrow string column into a uint32 "
               "buffer; a column with a null is refused."),
        M::ids_into_entry(),
    },
    M::blob_entries("load(path)\n--\n\nAn index read from a file, fully verified. There is no `load_mmap`: the "
                    "whole blob is the perfect hash, which is read into memory whichever way it is loaded."),
});

}  // namespace

PyObject* closed_hash_index_type() {
  return M::make_index_type(cell, {
      {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
      {Py_tp_methods, methods},
      {Py_tp_doc, const_cast<char*>(
                      "ClosedHashIndex(items)\n--\n\n"
                      "Minimal perfect hash and nothing else: `string \xe2\x86\x92 dense id` for a vocabulary known to "
                      "be closed. `id` never says \"absent\": a member gets its id, any other string some id in "
                      "`[0, n)`. The index is the perfect hash alone, about 0.24 bytes per key.")},
  });
}

}  // namespace quorvale::python
