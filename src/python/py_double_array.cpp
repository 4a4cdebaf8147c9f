// The Python class DoubleArrayIndex over the core double-array index.
#include "py_double_array.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "double_array.hpp"
#include "classes.hpp"
#include "frame.hpp"
#include "index_methods.hpp"
#include "keys.hpp"
#include "matches.hpp"

namespace quorvale::python {

namespace {

using Core = DoubleArrayIndex;

// Fewer forms than the other index classes: no id attributes, no byte,
// Arrow or buffer batches, no verified map.
struct Kind : KindBase<DoubleArrayIndex, std::uint32_t> {
  static constexpr bool id_attributes = false;
  static PyObject* type() { return double_array_index_type(); }
  static std::optional<Id> find(const Core& c, std::string_view key) { return c.id(key); }
  template <class KeyAt>
  static void lookup(const Core& c, std::size_t count, KeyAt&& key_at, Id* out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = c.id(key_at(i)).value_or(MISSING);
  }
  static std::vector<PrefixMatch> common_prefix(const Core& c, std::string_view query) {
    std::vector<PrefixMatch> out;
    c.common_prefix(query, out);
    return out;
  }
  static std::optional<PrefixMatch> longest_prefix(const Core& c, std::string_view query) {
    return c.longest_prefix(query);
  }
  // The core's pass over the text takes no pause.
  static std::vector<Occurrence> occurrences(const Core& c, std::string_view text, const Pause&) {
    std::vector<Occurrence> out;
    c.occurrences(text, out);
    return out;
  }
};
using M = Methods<Kind>;

TypeCell cell;

// ---- construction ----

// Whether a str can be read as UTF-8: it holds no lone surrogate. Read in
// place, so that no UTF-8 copy is made of it.
bool encodable(PyObject* s) {
  const int kind = PyUnicode_KIND(s);
  if (kind == PyUnicode_1BYTE_KIND) return true;
  const void* data = PyUnicode_DATA(s);
  for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0xD800 && c <= 0xDFFF) return false;
  }
  return true;
}

// A set, a dict or a dict's keys holds distinct items: when more of them
// than ids can name are all plain str (whose equality is their text's), they
// are that many distinct keys, too many whatever they spell. Refused before
// any key is collected. An item the collection would refuse is refused as it
// would be, by the collector's own check, in iteration order; a str subclass
// leaves the count to the build.
void refuse_known_too_many(PyObject* items) {
  if (!PySet_CheckExact(items) && !PyFrozenSet_CheckExact(items) && !PyDict_CheckExact(items) &&
      !PyDictKeys_Check(items))
    return;
  const Py_ssize_t len = PyObject_Size(items);
  if (len < 0) throw_error_set();
  if (static_cast<std::uint64_t>(len) <= double_array::MAX_KEYS) return;
  Ref it = Ref::check(PyObject_GetIter(items));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item(raw);
    const bool text = PyUnicode_Check(item.get()) && encodable(item.get());
    if (text && PyUnicode_CheckExact(item.get())) continue;
    if (text) return;
    str_view(item.get());  // raises: not a str, or not UTF-8
  }
  if (PyErr_Occurred()) throw_error_set();
  throw IndexError::format(double_array::MSG_TOO_MANY_KEYS);
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"items"};
    static const Params p = params("DoubleArrayIndex.__new__", names, 1, 1);
    PyObject* a[1];
    Ref held = read_args_tuple(p, args, kwargs, a);
    refuse_known_too_many(a[0]);
    BorrowedKeys keys = collect_strs(a[0]);
    Core index = detached([&] { return Core::build(keys.views()); });
    keys.clear();
    return M::instance(type, std::move(index));
  });
}

PyMethodDef* methods = method_table({
    {
        method("is_empty", M::is_empty, "is_empty($self)\n--\n\n"),
        method("id", M::id, "id($self, key)\n--\n\nId of `key`, or `None` if absent."),
        method("contains", M::contains, "contains($self, key)\n--\n\nWhether `key` is present."),
        method("get", M::get, "get($self, key, default=None)\n--\n\nDense id of `key`, or `default` (`None` unless given)."),
        method("ids_of", M::ids_of,
               "ids_of($self, keys)\n--\n\nBatched `id`: one call for many keys, aligned with `keys`, `None` where a "
               "key is absent."),
        method("common_prefix", M::common_prefix,
               "common_prefix($self, query)\n--\n\nEvery key that is a **prefix of `query`**, shortest first. This is "
               "the dictionary-matching\nquery: given a vocabulary and a position in a sentence, it returns the entries "
               "that start\nthere. The empty key, if the index holds it, is a prefix of everything and comes first."),
        method("occurrences", M::occurrences,
               "occurrences($self, text)\n--\n\nEvery key that occurs in `text`, as `(start, end, id)` with "
               "`text[start:end]` the key:\nstarts ascending, and within a start shortest first. The whole-text form of "
               "`common_prefix`\nthat a dictionary segmenter runs at every character, in one call a text rather than "
               "one a\ncharacter, which is where a loop over characters spends its time. Offsets count characters,\nas "
               "a `str` is indexed; the empty key, if the index holds it, is not reported."),
        method("longest_prefix", M::longest_prefix,
               "longest_prefix($self, query)\n--\n\nThe longest key that is a prefix of `query`, or `None` -- the "
               "match a longest-match\ntokeniser takes. See `common_prefix`."),
        method("to_bytes", M::to_bytes, "to_bytes($self)\n--\n\nSerialise to a `bytes` blob."),
        method("serialized_len", M::serialized_len,
               "serialized_len($self)\n--\n\nLength of the `to_bytes` blob in bytes, without producing it."),
        method("__reduce__", M::reduce,
               "__reduce__($self)\n--\n\nPickle support: the blob, and the loader that reads it back."),
        static_method("from_bytes", M::from_bytes,
                      "from_bytes(data)\n--\n\nReconstruct from a `to_bytes` blob. The framing and both checksums "
                      "are validated and every\nslot is walked, so arbitrary input raises rather than misbehaving; a "
                      "blob crafted to carry\nmatching checksums answers wrong ids, never out-of-range ones."),
        method("save", M::save, "save($self, path)\n--\n\nWrite the index to `path`."),
        static_method("load", M::load,
                      "load(path)\n--\n\nLoad a file written with `save`, validated like `from_bytes`."),
        static_method(
            "load_mmap", M::load_mmap,
            "load_mmap(path)\n--\n\nZero-copy load: memory-map the file and read the slots and the code table "
            "where they lie.\nThe payload checksum `load` verifies is skipped; the walk over every slot is not, "
            "since it is\nwhat lets a query read without a bound check, so the load still reads the array once. "
            "The\nmapped file must not be modified or truncated by any process while the index is alive: "
            "the\nbytes are borrowed rather than copied, and a concurrent write is undefined behaviour "
            "rather\nthan a stale answer. That obligation is the caller's contract; `load` is the choice when "
            "the\nfile may change."),
    },
});

}  // namespace

PyObject* double_array_index_type() {
  return M::make_index_type(cell, {
      {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
      {Py_tp_methods, methods},
      {Py_tp_doc, const_cast<char*>(
                      "DoubleArrayIndex(items)\n--\n\nCharacter-wise double-array trie for dictionary matching: "
                      "`common_prefix`, `longest_prefix`\nand `occurrences` at one load a character, with the ids "
                      "`StringIndex` assigns to the same keys.\nNo reverse lookup: a `StringIndex` or `DictIndex` over "
                      "the same keys spells an id back.")},
  });
}

}  // namespace quorvale::python
