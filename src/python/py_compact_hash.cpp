// The Python class CompactHashIndex over the core compact-hash index.
#include "py_compact_hash.hpp"

#include <string>
#include <vector>

#include "classes.hpp"
#include "perfect_hash.hpp"
#include "index_methods.hpp"
#include "key_source.hpp"
#include "keys.hpp"

namespace quorvale::python {

namespace {

using Core = CompactHashIndex;

struct Kind : KindBase<CompactHashIndex, std::uint32_t> {
  static PyObject* type() { return compact_hash_index_type(); }
  static std::optional<Id> find(const Core& c, std::string_view key) { return c.id(key); }
};
using M = Methods<Kind>;

TypeCell cell;

// Both widths, settled before any key is read.
std::uint32_t width_of(PyObject* bytes_arg, PyObject* bits_arg) {
  const std::uint64_t bytes = bytes_arg ? arg_u64(bytes_arg, "fingerprint_bytes") : 1;
  std::optional<std::uint32_t> bits;
  if (bits_arg && bits_arg != Py_None) bits = arg_u32(bits_arg, "fingerprint_bits");
  return fingerprint_width(bytes, bits);
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"items", "fingerprint_bytes", "fingerprint_bits"};
    static const Params p = params("CompactHashIndex.__new__", names, 2, 1);
    PyObject* a[3];
    Ref held = read_args_tuple(p, args, kwargs, a);
    const std::uint32_t width = width_of(a[1], a[2]);
    std::vector<hash::HashPair> pairs = collect_pairs(a[0]);
    Core index = detached([&] { return Core::build_from_pairs(std::move(pairs), width); });
    return M::instance(type, std::move(index));
  });
}

PyObject* build_to_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"items", "path", "fingerprint_bytes", "fingerprint_bits"};
    static const Params p = params("CompactHashIndex.build_to_file", names, 3, 2);
    PyObject* a[4];
    read_args(p, args, nargs, kwnames, a);
    const std::string path = arg_path(a[1], "path");
    const std::uint32_t width = width_of(a[2], a[3]);
    Parked parked;
    PySource keys(KeyStream(a[0]), parked);
    // Once the keys have all been read nothing touches a Python object and
    // the probe's answer is settled: the rest of the build runs detached.
    hash_engine::StreamRun run;
    run.stop = parked.probe();
    run.offline = [](const std::function<void()>& step) { detached([&] { step(); }); };
    const std::uint64_t n = parked.run([&] { return Core::build_to_file(keys, path, width, run); });
    return new_int(n);
  });
}

PyObject* get_fingerprint_bits(PyObject* self, void*) {
  return boundary([&]() -> PyObject* { return new_int(M::core(self).fingerprint_bits()); });
}

PyMethodDef* methods = method_table({
    {
        static_method("build_to_file", build_to_file,
                      "build_to_file(items, path, fingerprint_bytes=1, *, fingerprint_bits=None)\n--\n\n"
                      "Build an index straight into a file from an iterable of str of any length (repeats allowed), "
                      "holding at most 256 MiB of key hashes and of fingerprints; writes exactly what "
                      "`CompactHashIndex(items, ...).save(path)` would. Returns the number of distinct keys."),
        M::is_empty_entry(),
        method("id", M::id, "id($self, key)\n--\n\nThe id of key, or None when its fingerprint rejects it."),
        method("id_unchecked", M::id_unchecked,
               "id_unchecked($self, key)\n--\n\nThe id of a member key without the fingerprint test; some id below "
               "len(self) for a non-member (0 when empty)."),
        M::get_entry(),
        method("contains", M::contains,
               "contains($self, key)\n--\n\nWhether key passes the fingerprint test: True for every member, and "
               "for a non-member with probability `2 ** -fingerprint_bits`."),
        method("ids_of", M::ids_of,
               "ids_of($self, keys)\n--\n\nA list of ids aligned with keys, None for a key not found."),
        method("ids_of_bytes", M::ids_of_bytes,
               "ids_of_bytes($self, keys)\n--\n\nThe ids as native-endian uint32 bytes, MISSING_ID for a key not "
               "found."),
        method("ids_of_arrow", M::ids_of_arrow,
               "ids_of_arrow($self, column)\n--\n\nThe ids of an Arrow string column as native-endian uint32 bytes, "
               "MISSING_ID for a key not found or a null."),
        method("ids_into_arrow", M::ids_into_arrow,
               "ids_into_arrow($self, column, out)\n--\n\nWrite the ids of an Arrow string column into a uint32 "
               "buffer."),
        M::ids_into_entry(),
    },
    M::blob_entries(),
    M::mmap_entries(),
});

PyGetSetDef getset[] = {
    {"fingerprint_bits", get_fingerprint_bits, nullptr,
     "Width of the stored fingerprints in bits; the false-positive rate is `2 ** -fingerprint_bits`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* compact_hash_index_type() {
  return M::make_index_type(cell, {
      {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
      {Py_tp_methods, methods},
      {Py_tp_getset, getset},
      {Py_tp_doc, const_cast<char*>(
                      "CompactHashIndex(items, fingerprint_bytes=1, *, fingerprint_bits=None)\n--\n\n"
                      "Fingerprint minimal-perfect-hash dictionary: the smallest `string \xe2\x86\x92 dense id` map that "
                      "can reject a non-member. Membership is probabilistic: a non-member is taken for a member with "
                      "probability `2 ** -fingerprint_bits` (the false-positive rate). No keys are stored, so there is "
                      "no reverse `id \xe2\x86\x92 key`.")},
  });
}

std::uint32_t fingerprint_width(std::uint64_t fingerprint_bytes, std::optional<std::uint32_t> fingerprint_bits) {
  if (!fingerprint_bits) {
    if (fingerprint_bytes != 1 && fingerprint_bytes != 2 && fingerprint_bytes != 4)
      throw IndexError::format("compact-hash: fingerprint_bytes must be 1, 2, or 4");
    return static_cast<std::uint32_t>(8 * fingerprint_bytes);
  }
  if (fingerprint_bytes != 1) raise_value_error("pass fingerprint_bytes or fingerprint_bits, not both");
  if (*fingerprint_bits < 1 || *fingerprint_bits > 64) throw IndexError::format(compact_hash::MSG_BITS);
  return *fingerprint_bits;
}

}  // namespace quorvale::python
