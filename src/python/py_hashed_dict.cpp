// The Python class HashedDictIndex: a DictIndex with a hash sidecar that
// answers id(key) at a hash index's cost.
#include "py_hashed_dict.hpp"

#include <memory>
#include <optional>
#include <string>

#include "hashed_dict.hpp"
#include "classes.hpp"
#include "py_dict_index.hpp"
#include "index_methods.hpp"

namespace quorvale::python {

namespace {

using Core = HashedDictIndex;

struct Kind : KindBase<HashedDictIndex, std::uint64_t> {
  static PyObject* type() { return hashed_dict_index_type(); }
  static std::optional<Id> find(const Core& c, std::string_view key) {
    const hashed_dict::Found f = c.id(key);
    if (!f.found) return std::nullopt;
    return f.rank;
  }
  static std::uint64_t unchecked(const Core& c, std::string_view key) { return c.unchecked_with_side(key); }
};
using M = Methods<Kind>;

TypeCell cell;

PyObject* from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const M::Args<2> sig("from_dict", 2, "dict", "fingerprint_bits");
    PyObject* a[2];
    sig.read(args, nargs, kwnames, a);
    const std::shared_ptr<const DictIndex>* shared = dict_index_core(a[0]);
    if (!shared) {
      try {
        raise_type_error("'" + type_name(a[0]) + "' object is not an instance of 'DictIndex'");
      } catch (const PyErrorSet&) {
        add_processing_note("dict");
        throw;
      }
    }
    const std::uint32_t bits = arg_u32(a[1], "fingerprint_bits");
    // One more reference on the dictionary, taken attached; the build reads
    // no Python object.
    std::shared_ptr<const DictIndex> dict = *shared;
    Core index = detached([&] { return Core::from_shared_dict(std::move(dict), bits); });
    return M::instance(std::move(index));
  });
}

PyObject* get_dict(PyObject* self, void*) {
  return boundary([&]() -> PyObject* { return wrap_dict_index(M::core(self).dict()); });
}

PyObject* get_fingerprint_bits(PyObject* self, void*) {
  return boundary([&]() -> PyObject* { return new_int(M::core(self).fingerprint_bits()); });
}

PyMethodDef* methods = method_table({
    {
        static_method("from_dict", from_dict,
                      "from_dict(dict, fingerprint_bits)\n--\n\n"
                      "Lay a hash sidecar over a DictIndex, sharing it (nothing is copied): ids are the "
                      "dictionary's ranks. fingerprint_bits (0..=32) sets how often a non-member is taken for a "
                      "member, `2 ** -fingerprint_bits`; at 0 membership is the dictionary's own exact search."),
        M::is_empty_entry(),
        method("id", M::id,
               "id($self, key)\n--\n\nThe rank of key in the dictionary, or None when it is not a member (at "
               "fingerprint_bits > 0, a non-member passes with probability `2 ** -fingerprint_bits`)."),
        method("id_unchecked", M::id_unchecked,
               "id_unchecked($self, key)\n--\n\nThe rank of a member key without the membership test; some rank "
               "below len(self) for a non-member (0 when empty)."),
        M::get_entry(),
        method("contains", M::contains, "contains($self, key)\n--\n\nWhether key is taken for a member, as `id`."),
        method("ids_of", M::ids_of, "ids_of($self, keys)\n--\n\nA list of ranks aligned with keys, None for a key not found."),
        method("ids_of_bytes", M::ids_of_bytes,
               "ids_of_bytes($self, keys)\n--\n\nThe ranks as native-endian uint64 bytes, MISSING_ID for a key not "
               "found."),
        method("ids_of_arrow", M::ids_of_arrow,
               "ids_of_arrow($self, column)\n--\n\nThe ranks of an Arrow string column as native-endian uint64 "
               "bytes, MISSING_ID for a key not found or a null."),
        method("ids_into_arrow", M::ids_into_arrow,
               "ids_into_arrow($self, column, out)\n--\n\nWrite the ranks of an Arrow string column into a uint64 "
               "buffer."),
        M::ids_into_entry(),
    },
    M::blob_entries(),
    M::mmap_entries(),
});

PyGetSetDef getset[] = {
    {"dict", get_dict, nullptr,
     "The DictIndex under the sidecar, as a new object sharing it: its ids are this index's ids, and it "
     "answers the ordered queries (key by id, prefixes, ranges, iteration).",
     nullptr},
    {"fingerprint_bits", get_fingerprint_bits, nullptr,
     "Width of the stored fingerprints in bits, 0..=32; a non-member passes with probability "
     "`2 ** -fingerprint_bits` (0: exact).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* hashed_dict_index_type() {
  return M::make_index_type(
      cell,
      {
          {Py_tp_methods, methods},
          {Py_tp_getset, getset},
          {Py_tp_doc, const_cast<char*>(
                          "A DictIndex with a hash sidecar answering id(key): the dictionary's ranks at a hash "
                          "index's lookup cost, with the dictionary's ordered queries reached through `dict`. Made by "
                          "`HashedDictIndex.from_dict(dict, fingerprint_bits)` or a loader; saved as one file with "
                          "the dictionary inside.")},
      },
      Py_TPFLAGS_DISALLOW_INSTANTIATION);
}

}  // namespace quorvale::python
