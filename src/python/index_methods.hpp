// The methods the index classes share, written once over a description of
// the class: its "kind". A binding class describes itself with a kind struct
// and lists the shared functions in its method table under its own
// docstrings; it writes only what is its own (the constructor, streamed
// builds, reverse lookups, ...). PerfectHashIndex, CompactHashIndex,
// ClosedHashIndex and DoubleArrayIndex are the examples to follow.
//
// A kind K provides what the methods it lists need, and nothing more:
//
//   using Core = ...;     // the immutable core, held as std::shared_ptr<const Core>
//   static PyObject* type();  // the class's type getter (borrowed; null with the error set)
//
// The class takes its name (which also qualifies argument errors) and its
// blob's magic from the core's entry in the table of kinds.
//
// Instances (`instance`, `wrap_shared`, `shared_core`): nothing more.
//
// The type (`make_index_type`): the class "quorvale._core.<name>" with the
// instance layout, dealloc and len() of the frame, ID_DTYPE ("uint32" or
// "uint64" from Id) and, when `absence`, MISSING_ID (both unless
// `id_attributes` is false), the `in` operator and subscription; the class
// adds its own slots (constructor, methods, doc, ...).
//
// Blob methods (`to_bytes`, `serialized_len`, `reduce`, `from_bytes`, `save`,
// `load`, `load_mmap`, `load_mmap_verified`; their method-table entries
// `blob_entries`, `mmap_entries`), each a member of Core:
//   std::uint64_t serialized_len() const;           // without serialising
//   template <class W> void write_to(W& w) const;   // exactly serialized_len() bytes, in order,
//                                                   // through w.write_all(std::span<const unsigned char>)
//   void save(const std::string& path) const;       // through the atomic writer
//   static Core from_bytes(std::span<const unsigned char> blob);
//   static Core load(const std::string& path);      // and load_mmap, load_mmap_verified when listed
// Each runs detached; to_bytes makes its bytes object attached and fills it
// detached, so a blob is never held twice. A class with further opens lists
// them through `open_blob` (bytes) and `load_from` (a path).
//
// Single-key lookups (`id`, `get`, `contains`, `id_unchecked`, `key`, `len`,
// `is_empty`, and the slots `sq_length`, `sq_contains`, `mp_subscript`),
// all attached:
//   using Id = std::uint32_t;  // or std::uint64_t
//   static std::optional<Id> find(const Core&, std::string_view key);  // None when absent
//   static bool contains(const Core&, std::string_view key);
//   static std::uint64_t unchecked(const Core&, std::string_view key);
//   static std::optional<string-like> key(const Core&, Id id);   // also for `keys_of`
//   std::uint64_t Core::len() const;
//
// Batches (`ids_of`, `ids_of_bytes`, `ids_into`, `ids_of_arrow`,
// `ids_into_arrow`, `keys_of`): keys or ids taken attached, looked up
// detached, results made attached; ids leave as a list, as packed native-endian bytes, or written
// into a caller's buffer validated before any lookup.
//   static constexpr Id MISSING;          // the item of a key not found (and of an Arrow null)
//   static constexpr bool absence;        // whether a lookup can miss; ids_of then gives None for MISSING
//   static constexpr const char* null_refusal;  // nullptr: an Arrow null gives MISSING; otherwise the
//                                               // ValueError text raised for a column holding a null,
//                                               // checked attached before any lookup, nothing written
//   template <class KeyAt>                // detached: key_at(i) gives key i's bytes as a string_view
//   static void lookup(const Core&, std::size_t count, KeyAt&& key_at, Id* out);
//   static void lookup_views(const Core&, std::span<const std::string_view>, Id* out);  // optional: for
//                                               // key lists, over their views without a copy
//
// Ordered walks and neighbours (`range`, `prefix`, `successor`,
// `predecessor`), for the kinds whose ids are ranks: the walks run detached
// (pausing), the neighbours attached; a found key is decoded leniently.
//   static Pairs range(const Core&, std::string_view lo, std::string_view hi,
//                      std::optional<std::uint64_t> limit, const Pause&);  // lo <= key < hi
//   static Pairs prefix(const Core&, std::string_view prefix, std::optional<std::uint64_t> limit, const Pause&);
//                      // Pairs: any batch with size(), key(i) and id(i); a limit of 0 takes no key
//   static std::optional<std::pair<std::string, std::uint64_t>> successor(const Core&, std::string_view query);
//   static std::optional<std::pair<std::string, std::uint64_t>> predecessor(const Core&, std::string_view query);
//
// Dictionary matching (`common_prefix`, `longest_prefix`, `occurrences`),
// detached; a match has `bytes` and `id`, an occurrence `start`, `end` and
// `id` (see matches.hpp):
//   static std::vector<Match> common_prefix(const Core&, std::string_view query);  // shortest first
//   static std::optional<Match> longest_prefix(const Core&, std::string_view query);
//   static std::vector<Occurrence> occurrences(const Core&, std::string_view text, const Pause&);
//
// KindBase<Core, Id> supplies the usual choices (absence, nulls as MISSING,
// MISSING all ones, the id attributes) and the usual core members (ids_into_with, contains,
// id_unchecked); a kind derives from it and adds type() and find, overriding
// what differs.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kinds.hpp"
#include "arrow.hpp"
#include "classes.hpp"
#include "frame.hpp"
#include "ids_out.hpp"
#include "keys.hpp"
#include "matches.hpp"

namespace quorvale::python {

// A method-table entry of a fast-call method, and of a static one.
inline PyMethodDef method(const char* name, FastFn f, const char* doc) {
  return PyMethodDef{name, fastcall(f), FASTCALL_KW, doc};
}
inline PyMethodDef static_method(const char* name, FastFn f, const char* doc) {
  return PyMethodDef{name, fastcall(f), FASTCALL_KW | METH_STATIC, doc};
}

template <class CoreT, class IdT>
struct KindBase {
  using Core = CoreT;
  using Id = IdT;
  static constexpr Id MISSING = static_cast<Id>(~Id{0});
  static constexpr bool absence = true;
  static constexpr const char* null_refusal = nullptr;
  static constexpr bool id_attributes = true;
  static bool contains(const Core& c, std::string_view key) { return c.contains(key); }
  static std::uint64_t unchecked(const Core& c, std::string_view key) { return c.id_unchecked(key); }
  static auto key(const Core& c, Id id) { return c.key(id); }
  template <class KeyAt>
  static void lookup(const Core& c, std::size_t count, KeyAt&& key_at, Id* out) {
    c.ids_into_with(count, key_at, out);
  }
};

// A method table made of groups of entries, null-terminated and kept for the
// life of the process (a type's methods outlive it).
PyMethodDef* method_table(std::initializer_list<std::vector<PyMethodDef>> groups);

// A batch of keys to look up; a failure carries the note naming the parameter.
BorrowedKeys keys_arg(PyObject* o, const char* name);

// A sequence (not a str) of ids, each converted before any lookup; a failure
// carries the note naming the parameter.
template <class Id>
std::vector<Id> ids_arg(PyObject* o, const char* name) {
  static_assert(sizeof(Id) == 4 || sizeof(Id) == 8);
  Ref it;
  try {
    require_sequence(o);
    it = Ref::check(PyObject_GetIter(o));
  } catch (const PyErrorSet&) {
    add_processing_note(name);
    throw;
  }
  std::vector<Id> ids;
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item(raw);
    if constexpr (sizeof(Id) == 4) ids.push_back(arg_u32(item.get(), name));
    else ids.push_back(arg_u64(item.get(), name));
  }
  if (PyErr_Occurred()) {
    add_processing_note(name);
    throw_error_set();
  }
  return ids;
}

// A walk's `limit`: None (or absent) for no limit, else an unsigned 64-bit int.
inline std::optional<std::uint64_t> limit_arg(PyObject* o) {
  if (!o || o == Py_None) return std::nullopt;
  return arg_u64(o, "limit");
}

// A list of keys, None where a key is absent.
template <class Key>
PyObject* keys_list(const std::vector<std::optional<Key>>& keys) {
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
}

// Fills a fixed buffer: the sink a blob is written into when it goes
// straight into a bytes object. Writing past the end is a broken invariant.
class SpanWriter {
 public:
  explicit SpanWriter(std::span<unsigned char> out) noexcept : out_(out) {}
  void write_all(std::span<const unsigned char> bytes) {
    if (bytes.size() > out_.size() - at_) panic("a blob is as long as its serialized_len");
    if (!bytes.empty()) std::memcpy(out_.data() + at_, bytes.data(), bytes.size());
    at_ += bytes.size();
  }
  bool full() const noexcept { return at_ == out_.size(); }

 private:
  std::span<unsigned char> out_;
  std::size_t at_ = 0;
};

// A bytes object of `len` bytes made attached, filled detached by
// fill(std::span<unsigned char>).
template <class Fill>
PyObject* bytes_filled(std::uint64_t len, Fill&& fill) {
  if (len > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    throw_error_set();
  }
  Ref bytes = Ref::check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(len)));
  std::span<unsigned char> out(reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get())),
                               static_cast<std::size_t>(len));
  detached([&] { fill(out); });
  return bytes.release();
}

// Whether any element of the chunks is null.
bool any_null(const std::vector<Utf8Chunk>& chunks) noexcept;

// A heap type from its type definition, with class attributes set by attrs(type)
// (set_class_attr); null with the error set when either fails.
template <class Attrs>
PyObject* make_type(PyType_Spec* type_def, Attrs&& attrs) {
  PyObject* type = PyType_FromSpec(type_def);
  if (!type) return nullptr;
  PyObject* r = boundary([&]() -> PyObject* {
    attrs(type);
    Py_RETURN_NONE;
  });
  if (!r) {
    Py_DECREF(type);
    return nullptr;
  }
  Py_DECREF(r);
  return type;
}

template <class K>
struct Methods {
  using Core = typename K::Core;
  static constexpr kinds::Kind KIND = kinds::kind_of<Core>;
  static const char* name() noexcept { return kinds::of(KIND).name; }

  // ---- instances ----

  static PyTypeObject* type_object() {
    PyObject* t = K::type();
    if (!t) throw_error_set();
    return reinterpret_cast<PyTypeObject*>(t);
  }
  static const Core& core(PyObject* self) { return *core_of<Core>(self); }
  // A new object of the class over a core built or loaded for it.
  static PyObject* instance(Core&& index) { return instance(type_object(), std::move(index)); }
  static PyObject* instance(PyTypeObject* type, Core&& index) {
    return wrap<Core>(type, std::make_shared<const Core>(std::move(index)));
  }
  // A new object of the class over a core shared with others (an overlay's base, say).
  static PyObject* wrap_shared(std::shared_ptr<const Core> index) { return wrap<Core>(type_object(), std::move(index)); }
  // The core of an object of the class (or of a subclass); null for any other object.
  static const std::shared_ptr<const Core>* shared_core(PyObject* o) {
    PyTypeObject* t = type_object();
    if (!PyObject_TypeCheck(o, t)) return nullptr;
    return &core_of<Core>(o);
  }

  // The parameters of method `m` with one argument `arg`, made once per method.
  struct OneArg {
    std::string func;
    const char* names[1];
    Params p;
    OneArg(const char* m, const char* arg) : func(std::string(name()) + "." + m), names{arg} {
      p = params(func.c_str(), names, 1, 1);
    }
  };
  struct TwoArgs {
    std::string func;
    const char* names[2];
    Params p;
    TwoArgs(const char* m, const char* a, const char* b, int required)
        : func(std::string(name()) + "." + m), names{a, b} {
      p = params(func.c_str(), names, 2, required);
    }
  };
  struct NoArgs {
    std::string func;
    Params p;
    explicit NoArgs(const char* m) : func(std::string(name()) + "." + m) { p = no_params(func.c_str()); }
  };

  // The parameters of a method of the class: N of them, the first
  // `required` of them required, made once per method.
  template <std::size_t N>
  struct Args {
    std::string func;
    const char* names[N];
    Params p;
    template <class... Names>
    Args(const char* method, int required, Names... n) : func(std::string(name()) + "." + method), names{n...} {
      p = params(func.c_str(), names, static_cast<int>(N), required);
    }
    void read(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
      read_args(p, args, nargs, kwnames, out);
    }
  };

  static PyObject* one_arg(const OneArg& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return python::one_arg(sig.p, args, nargs, kwnames);
  }
  static std::string_view str_arg(const OneArg& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return one_str_arg(sig.p, args, nargs, kwnames);
  }

  // ---- single-key lookups ----

  static PyObject* new_id(std::uint64_t id) { return new_int(id); }

  static PyObject* id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("id", "key");
      auto found = K::find(core(self), str_arg(sig, args, nargs, kwnames));
      if (!found) Py_RETURN_NONE;
      return new_id(*found);
    });
  }

  static PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const TwoArgs sig("get", "key", "default", 1);
      PyObject* a[2];
      read_args(sig.p, args, nargs, kwnames, a);
      auto found = K::find(core(self), arg_str(a[0], "key"));
      if (found) return new_id(*found);
      PyObject* d = a[1] ? a[1] : Py_None;
      Py_INCREF(d);
      return d;
    });
  }

  static PyObject* contains(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("contains", "key");
      return PyBool_FromLong(K::contains(core(self), str_arg(sig, args, nargs, kwnames)));
    });
  }

  static PyObject* id_unchecked(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("id_unchecked", "key");
      return new_int(K::unchecked(core(self), str_arg(sig, args, nargs, kwnames)));
    });
  }

  static PyObject* is_empty(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const NoArgs sig("is_empty");
      read_args(sig.p, args, nargs, kwnames, nullptr);
      return PyBool_FromLong(core(self).len() == 0);
    });
  }

  // len(): OverflowError for a count past the signed size (an unverified
  // footer may claim one).
  static Py_ssize_t sq_length(PyObject* self) {
    Py_ssize_t n = -1;
    boundary_int([&] { n = py_length(core(self).len(), "the key count does not fit a Python length"); });
    return n;
  }

  // The key of an id, or None.
  static PyObject* key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("key", "id");
      PyObject* arg = one_arg(sig, args, nargs, kwnames);
      Id id;
      if constexpr (sizeof(Id) == 4) id = arg_u32(arg, "id");
      else id = arg_u64(arg, "id");
      auto found = K::key(core(self), id);
      if (!found) Py_RETURN_NONE;
      return new_str(*found);
    });
  }

  // ---- ordered kinds, whose ids are ranks ----
  //   static std::uint64_t rank(const Core&, std::string_view query);  // the keys below the query
  //   std::pair<std::uint64_t, std::uint64_t> Core::prefix_id_range(std::string_view prefix) const;

  // lower_bound(<arg>): the rank, the parameter named as the class names it.
  template <const char* Arg>
  static PyObject* lower_bound(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("lower_bound", Arg);
      return new_int(K::rank(core(self), str_arg(sig, args, nargs, kwnames)));
    });
  }

  static PyObject* range_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const TwoArgs sig("range_count", "lo", "hi", 2);
      PyObject* a[2];
      read_args(sig.p, args, nargs, kwnames, a);
      const std::string_view lo = arg_str(a[0], "lo"), hi = arg_str(a[1], "hi");
      const Core& c = core(self);
      const std::uint64_t below_lo = K::rank(c, lo), below_hi = K::rank(c, hi);
      return new_int(below_hi > below_lo ? below_hi - below_lo : 0);
    });
  }

  static PyObject* prefix_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("prefix_count", "prefix");
      const auto [start, end] = core(self).prefix_id_range(str_arg(sig, args, nargs, kwnames));
      return new_int(end - start);
    });
  }

  static PyObject* prefix_id_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("prefix_id_range", "prefix");
      const auto [start, end] = core(self).prefix_id_range(str_arg(sig, args, nargs, kwnames));
      Ref a = Ref::check(new_int(start));
      Ref b = Ref::check(new_int(end));
      return PyTuple_Pack(2, a.get(), b.get());
    });
  }

  static PyObject* range(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const Args<3> sig("range", 2, "lo", "hi", "limit");
      PyObject* a[3];
      sig.read(args, nargs, kwnames, a);
      const std::string_view lo = arg_str(a[0], "lo"), hi = arg_str(a[1], "hi");
      const std::optional<std::uint64_t> limit = limit_arg(a[2]);
      const Core& c = core(self);
      return pairs_list(detached_pausing([&](const Pause& pause) { return K::range(c, lo, hi, limit, pause); }));
    });
  }

  static PyObject* prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const Args<2> sig("prefix", 1, "prefix", "limit");
      PyObject* a[2];
      sig.read(args, nargs, kwnames, a);
      const std::string_view prefix = arg_str(a[0], "prefix");
      const std::optional<std::uint64_t> limit = limit_arg(a[1]);
      const Core& c = core(self);
      return pairs_list(detached_pausing([&](const Pause& pause) { return K::prefix(c, prefix, limit, pause); }));
    });
  }

  static PyObject* maybe_pair(const std::optional<std::pair<std::string, std::uint64_t>>& found) {
    if (!found) Py_RETURN_NONE;
    return pair_of(found->first, found->second);
  }

  static PyObject* successor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("successor", "query");
      return maybe_pair(K::successor(core(self), str_arg(sig, args, nargs, kwnames)));
    });
  }

  static PyObject* predecessor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("predecessor", "query");
      return maybe_pair(K::predecessor(core(self), str_arg(sig, args, nargs, kwnames)));
    });
  }

  // ---- dictionary matching ----

  static PyObject* common_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("common_prefix", "query");
      PyObject* const arg = one_arg(sig, args, nargs, kwnames);
      const std::string_view query = arg_str(arg, sig.p.names[0]);
      const Core& c = core(self);
      return prefix_list(arg, query, detached([&] { return K::common_prefix(c, query); }));
    });
  }

  static PyObject* longest_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("longest_prefix", "query");
      PyObject* const arg = one_arg(sig, args, nargs, kwnames);
      const std::string_view query = arg_str(arg, sig.p.names[0]);
      const Core& c = core(self);
      const auto found = detached([&] { return K::longest_prefix(c, query); });
      if (!found) Py_RETURN_NONE;
      PrefixStrs strs(arg, query);
      return prefix_pair(strs, *found);
    });
  }

  static PyObject* occurrences(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("occurrences", "text");
      const std::string_view text = str_arg(sig, args, nargs, kwnames);
      const Core& c = core(self);
      return occurrence_list(detached_pausing([&](const Pause& pause) { return K::occurrences(c, text, pause); }));
    });
  }

  // The `in` operator: a key that is not a str raises TypeError, not False.
  static int sq_contains(PyObject* self, PyObject* key) {
    return boundary_truth([&] { return K::contains(core(self), arg_str(key, "key")); });
  }

  // Subscription: KeyError with the key when it is not found.
  static PyObject* mp_subscript(PyObject* self, PyObject* key) {
    return boundary([&]() -> PyObject* {
      std::string_view k = arg_str(key, "key");
      auto found = K::find(core(self), k);
      if (found) return new_id(*found);
      Ref s = Ref::check(new_str(k));
      PyErr_SetObject(PyExc_KeyError, s.get());
      throw_error_set();
    });
  }

  // ---- batches ----

  using Id = typename K::Id;

  // The ids of borrowed keys, looked up detached (by a kind's lookup over
  // the views themselves when it has one).
  static std::vector<Id> lookup(const Core& index, const BorrowedKeys& keys) {
    return detached([&] {
      std::vector<Id> ids(keys.size());
      if constexpr (requires { K::lookup_views(index, keys.views(), ids.data()); }) {
        K::lookup_views(index, keys.views(), ids.data());
      } else {
        K::lookup(index, keys.size(), [&](std::size_t i) { return keys[i]; }, ids.data());
      }
      return ids;
    });
  }

  // One id per element of every chunk; a null is MISSING, or refused (before
  // any lookup) by a kind that has no id for it.
  static std::vector<Id> arrow_ids(const Core& index, const std::vector<Utf8Chunk>& chunks) {
    if constexpr (K::null_refusal != nullptr) {
      if (any_null(chunks)) raise_value_error(K::null_refusal);
    }
    return detached([&] {
      std::vector<Id> ids(total_len(chunks));
      std::size_t at = 0;
      for (const Utf8Chunk& chunk : chunks) {
        Id* out = ids.data() + at;
        K::lookup(index, chunk.size(), [&](std::size_t i) { return chunk.key(i); }, out);
        if constexpr (K::null_refusal == nullptr) {
          if (chunk.has_validity)
            for (std::size_t i = 0; i < chunk.size(); ++i)
              if (chunk.is_null(i)) out[i] = K::MISSING;
        }
        at += chunk.size();
      }
      return ids;
    });
  }

  static PyObject* ids_list(const std::vector<Id>& ids) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    for (std::size_t i = 0; i < ids.size(); ++i) {
      PyObject* item;
      if (K::absence && ids[i] == K::MISSING) {
        Py_INCREF(Py_None);
        item = Py_None;
      } else {
        item = Ref::check(new_int(ids[i])).release();
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  }

  static PyObject* ids_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("ids_of", "keys");
      BorrowedKeys keys = keys_arg(one_arg(sig, args, nargs, kwnames), "keys");
      std::vector<Id> ids = lookup(core(self), keys);
      keys.clear();
      return ids_list(ids);
    });
  }

  static PyObject* ids_of_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("ids_of_bytes", "keys");
      BorrowedKeys keys = keys_arg(one_arg(sig, args, nargs, kwnames), "keys");
      std::vector<Id> ids = lookup(core(self), keys);
      keys.clear();
      return packed<Id>(ids);
    });
  }

  static PyObject* ids_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const TwoArgs sig("ids_into", "keys", "out", 2);
      PyObject* a[2];
      read_args(sig.p, args, nargs, kwnames, a);
      BorrowedKeys keys = keys_arg(a[0], "keys");
      if (keys.empty()) {
        writable_buffer(a[1]);
        Py_RETURN_NONE;
      }
      IdSink sink = id_sink<Id>(a[1], keys.size());
      std::vector<Id> ids = lookup(core(self), keys);
      keys.clear();
      write_ids<Id>(sink, ids);
      Py_RETURN_NONE;
    });
  }

  static PyObject* keys_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("keys_of", "ids");
      const std::vector<Id> ids = ids_arg<Id>(one_arg(sig, args, nargs, kwnames), "ids");
      const Core& index = core(self);
      auto keys = detached([&] {
        std::vector<decltype(K::key(index, Id{}))> out;
        out.reserve(ids.size());
        for (const Id id : ids) out.push_back(K::key(index, id));
        return out;
      });
      return keys_list(keys);
    });
  }

  static PyObject* ids_of_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("ids_of_arrow", "column");
      std::vector<Utf8Chunk> chunks = utf8_chunks(one_arg(sig, args, nargs, kwnames));
      std::vector<Id> ids = arrow_ids(core(self), chunks);
      return packed<Id>(ids);
    });
  }

  static PyObject* ids_into_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const TwoArgs sig("ids_into_arrow", "column", "out", 2);
      PyObject* a[2];
      read_args(sig.p, args, nargs, kwnames, a);
      std::vector<Utf8Chunk> chunks = utf8_chunks(a[0]);
      const std::size_t t = total_len(chunks);
      if (t == 0) {
        writable_buffer(a[1]);
        Py_RETURN_NONE;
      }
      IdSink sink = id_sink<Id>(a[1], t);
      std::vector<Id> ids = arrow_ids(core(self), chunks);
      write_ids<Id>(sink, ids);
      Py_RETURN_NONE;
    });
  }

  // ---- blobs ----

  // The blob as a new bytes object.
  static PyObject* blob_of(const Core& index) {
    return bytes_filled(index.serialized_len(), [&](std::span<unsigned char> out) {
      SpanWriter w(out);
      index.write_to(w);
      if (!w.full()) panic("a blob is as long as its serialized_len");
    });
  }

  static PyObject* to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const NoArgs sig("to_bytes");
      read_args(sig.p, args, nargs, kwnames, nullptr);
      return blob_of(core(self));
    });
  }

  static PyObject* serialized_len(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const NoArgs sig("serialized_len");
      read_args(sig.p, args, nargs, kwnames, nullptr);
      return new_int(core(self).serialized_len());
    });
  }

  // Pickling: the class's own from_bytes and a copy of the blob (a mapped
  // index too).
  static PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const NoArgs sig("__reduce__");
      read_args(sig.p, args, nargs, kwnames, nullptr);
      Ref loader = Ref::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type_object()), "from_bytes"));
      Ref bytes = Ref::check(blob_of(core(self)));
      return Py_BuildValue("(O(O))", loader.get(), bytes.get());
    });
  }

  static PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("save", "path");
      const std::string path = arg_path(one_arg(sig, args, nargs, kwnames), "path");
      const Core& index = core(self);
      detached([&] { index.save(path); });
      Py_RETURN_NONE;
    });
  }

  // An open of a bytes argument: read detached (the caller's reference keeps
  // it alive), never kept.
  template <Core (*Open)(std::span<const unsigned char>)>
  static PyObject* open_blob(const OneArg& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string_view data = arg_blob(one_arg(sig, args, nargs, kwnames), "data");
    Core index = detached([&] {
      return Open(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(data.data()), data.size()));
    });
    return instance(std::move(index));
  }

  static PyObject* from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("from_bytes", "data");
      return open_blob<&Core::from_bytes>(sig, args, nargs, kwnames);
    });
  }

  // ---- the type ----

  // Made once through `cell`; `own` holds the class's own slots. A class
  // without a constructor passes Py_TPFLAGS_DISALLOW_INSTANTIATION.
  static PyObject* make_index_type(TypeCell& cell, std::initializer_list<PyType_Slot> own,
                                   unsigned long extra_flags = 0) {
    return cell.get([&]() -> PyObject* {
      static const std::string qualified = std::string("quorvale._core.") + name();
      static std::vector<PyType_Slot> slots = [&] {
        std::vector<PyType_Slot> v(own);
        v.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&instance_dealloc<Core>)});
        v.push_back({Py_sq_length, reinterpret_cast<void*>(&sq_length)});
        v.push_back({Py_mp_length, reinterpret_cast<void*>(&sq_length)});
        if constexpr (K::absence) {
          v.push_back({Py_sq_contains, reinterpret_cast<void*>(&sq_contains)});
          v.push_back({Py_mp_subscript, reinterpret_cast<void*>(&mp_subscript)});
        }
        v.push_back({0, nullptr});
        return v;
      }();
      static PyType_Spec type_def = {qualified.c_str(), static_cast<int>(sizeof(Instance<Core>)), 0,
                                 static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | extra_flags),
                                 slots.data()};
      return make_type(&type_def, [](PyObject* type) {
        if constexpr (K::id_attributes) {
          set_class_attr(type, "ID_DTYPE", PyUnicode_FromString(dtype()));
          if constexpr (K::absence) set_class_attr(type, "MISSING_ID", new_int(K::MISSING));
        }
      });
    });
  }

  // ---- method-table entries under their usual docstrings ----

  static PyMethodDef is_empty_entry() {
    return method("is_empty", is_empty, "is_empty($self)\n--\n\nTrue when the index holds no key.");
  }
  static PyMethodDef get_entry() {
    return method("get", get, "get($self, key, default=None)\n--\n\nThe id of key, or default.");
  }
  static PyMethodDef ids_into_entry() {
    static const std::string doc =
        std::string("ids_into($self, keys, out)\n--\n\nWrite the ids of keys into a ") + dtype() + " buffer.";
    return method("ids_into", ids_into, doc.c_str());
  }
  static const char* dtype() { return sizeof(typename K::Id) == 4 ? "uint32" : "uint64"; }

  // to_bytes, serialized_len, __reduce__, from_bytes, save and load (under
  // `load_doc` when given).
  static std::vector<PyMethodDef> blob_entries(const char* load_doc = nullptr) {
    static const std::string to_bytes_doc = std::string("to_bytes($self)\n--\n\nThe index as a ") +
                                            std::string(kinds::of(KIND).frames[0]->magic) + " blob.";
    return {
        method("to_bytes", to_bytes, to_bytes_doc.c_str()),
        method("serialized_len", serialized_len, "serialized_len($self)\n--\n\nThe length of to_bytes() without building it."),
        method("__reduce__", reduce, "__reduce__($self)\n--\n\nPickle as the blob and from_bytes."),
        static_method("from_bytes", from_bytes, "from_bytes(data)\n--\n\nAn index from a blob, fully verified."),
        method("save", save, "save($self, path)\n--\n\nWrite the blob to a file atomically."),
        static_method("load", load, load_doc ? load_doc : "load(path)\n--\n\nAn index read from a file, fully verified."),
    };
  }
  // load_mmap and load_mmap_verified.
  static std::vector<PyMethodDef> mmap_entries() {
    return {
        static_method("load_mmap", load_mmap,
                      "load_mmap(path)\n--\n\nAn index over a read-only map of a file; the payload checksum is not "
                      "computed."),
        static_method("load_mmap_verified", load_mmap_verified,
                      "load_mmap_verified(path)\n--\n\nAn index over a read-only map of a file, fully verified."),
    };
  }

  // A loader of a file: the path read attached, the file read and parsed detached.
  template <Core (*Load)(const std::string&)>
  static PyObject* load_from(const OneArg& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const std::string path = arg_path(one_arg(sig, args, nargs, kwnames), "path");
    Core index = detached([&] { return Load(path); });
    return instance(std::move(index));
  }

  static PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("load", "path");
      return load_from<&Core::load>(sig, args, nargs, kwnames);
    });
  }
  static PyObject* load_mmap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("load_mmap", "path");
      return load_from<&Core::load_mmap>(sig, args, nargs, kwnames);
    });
  }
  static PyObject* load_mmap_verified(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return boundary([&]() -> PyObject* {
      static const OneArg sig("load_mmap_verified", "path");
      return load_from<&Core::load_mmap_verified>(sig, args, nargs, kwnames);
    });
  }
};

}  // namespace quorvale::python
