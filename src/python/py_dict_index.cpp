// The Python classes DictIndex, over the ordered dictionary, and
// DictIndexIterator, its lazy (key, id) cursor.
#include "py_dict_index.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "perfect_hash.hpp"
#include "classes.hpp"
#include "index_methods.hpp"
#include "iter_lock.hpp"
#include "key_source.hpp"
#include "keys.hpp"
#include "matches.hpp"

namespace quorvale::python {

namespace {

using Core = DictIndex;

// ---- walks and matches (the shared query methods') ----

// Pairs found detached: the keys back to back, the end of each and its id.
struct Pairs {
  std::string bytes;
  std::vector<std::size_t> ends;
  std::vector<std::uint64_t> ids;

  void push(std::string_view key, std::uint64_t id) {
    bytes.append(key);
    ends.push_back(bytes.size());
    ids.push_back(id);
  }
  std::size_t size() const noexcept { return ids.size(); }
  std::string_view key(std::size_t i) const noexcept {
    const std::size_t from = i == 0 ? 0 : ends[i - 1];
    return std::string_view(bytes).substr(from, ends[i] - from);
  }
  std::uint64_t id(std::size_t i) const noexcept { return ids[i]; }
};

// The pairs of a walk: those of `it` (made on the worker side) while
// `keep(key)` holds, at most `limit` of them; nothing is decoded at a limit
// of 0.
template <class Make, class Keep>
Pairs walk(std::optional<std::uint64_t> limit, const Pause& pause, Make&& make, Keep&& keep) {
  const std::uint64_t most = limit.value_or(UINT64_MAX);
  Pairs out;
  if (most == 0) return out;
  auto it = make();
  std::string key;
  std::uint64_t id;
  Pacer pacer(pause);
  while (out.size() < most && it.next(key, id) && keep(key)) {
    out.push(key, id);
    pacer.step(1 + key.size() / 64);
  }
  return out;
}

using Pair = std::pair<std::string, std::uint64_t>;

// The key of rank `id` with its id; none past the end.
std::optional<Pair> pair_at(const Core& d, std::uint64_t id) {
  std::optional<std::string> key = d.key(id);
  if (!key) return std::nullopt;
  return Pair(std::move(*key), id);
}

struct Kind : KindBase<DictIndex, std::uint64_t> {
  static PyObject* type() { return dict_index_type(); }
  static std::optional<Id> find(const Core& c, std::string_view key) {
    return c.id(key);
  }
  static bool contains(const Core& c, std::string_view key) { return c.locate_query(key).found; }
  static std::uint64_t rank(const Core& c, std::string_view query) { return c.locate_query(query).rank; }
  // The whole batch at once: the dictionary orders its keys by block, and
  // the more keys it orders together the more of them share one.
  template <class KeyAt>
  static void lookup(const Core& c, std::size_t count, KeyAt&& key_at, Id* out) {
    std::vector<std::string_view> keys(count);
    for (std::size_t i = 0; i < count; ++i) keys[i] = key_at(i);
    c.ids_into(keys, out);
  }
  static void lookup_views(const Core& c, std::span<const std::string_view> keys, Id* out) { c.ids_into(keys, out); }
  static Pairs range(const Core& c, std::string_view lo, std::string_view hi, std::optional<std::uint64_t> limit,
                     const Pause& pause) {
    return walk(limit, pause, [&] { return c.range_iter(lo, hi); }, [](std::string_view) { return true; });
  }
  static Pairs prefix(const Core& c, std::string_view start, std::optional<std::uint64_t> limit,
                      const Pause& pause) {
    return walk(
        limit, pause, [&] { return c.iter_from(c.locate_query(start).rank); },
        [&](std::string_view key) { return key.starts_with(start); });
  }
  static std::optional<Pair> successor(const Core& c, std::string_view query) {
    return pair_at(c, c.locate_query(query).rank);
  }
  static std::optional<Pair> predecessor(const Core& c, std::string_view query) {
    const dict_index::Search s = c.locate_query(query);
    if (!s.found && s.rank == 0) return std::nullopt;
    return pair_at(c, s.found ? s.rank : s.rank - 1);
  }
  static std::vector<dict_index::PrefixMatch> common_prefix(const Core& c, std::string_view query) {
    return c.common_prefix(query);
  }
  static std::optional<dict_index::PrefixMatch> longest_prefix(const Core& c, std::string_view query) {
    return c.longest_prefix(query);
  }
};
using M = Methods<Kind>;
constexpr char KEY[] = "key";

TypeCell cell;
TypeCell iterator_cell;

const Core& core(PyObject* self) { return M::core(self); }

// ---- arguments ----

template <std::size_t N>
using Sig = M::Args<N>;

// A name as its debug form shows it: in double quotes, with a double quote,
// a backslash and control characters escaped.
std::string debug_form(std::string_view name) {
  std::string out = "\"";
  for (std::size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    std::uint32_t control = UINT32_MAX;
    if (c < 0x20 || c == 0x7F) control = c;
    // C1 controls, U+0080..U+009F, are the two bytes C2 80..C2 9F.
    if (c == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(name[i + 1]) <= 0x9F)
      control = static_cast<unsigned char>(name[++i]);
    if (control != UINT32_MAX) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", control);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// Why `o` is no unsigned 64-bit int (and the error cleared), or nothing
// with the value in `out`.
std::optional<std::string> as_u64(PyObject* o, std::uint64_t& out) {
  PyObject* index = PyNumber_Index(o);
  if (index) {
    out = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (!(out == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return std::nullopt;
  }
  Ref exc(take_raised_exception());
  Ref text(exc ? PyObject_Str(exc.get()) : nullptr);
  const char* s = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (!s) PyErr_Clear();
  return std::string(exc ? Py_TYPE(exc.get())->tp_name : "TypeError") + ": " + (s ? s : "?");
}

// ---- construction ----

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"items", "block"};
    static const Params p = params("DictIndex.__new__", names, 2, 1);
    PyObject* a[2];
    Ref held = read_args_tuple(p, args, kwargs, a);
    const std::uint64_t block = a[1] ? block_arg(a[1]) : 256;
    dict_index::check_block(block);  // a bad block before the items are looked at
    BorrowedKeys keys = collect_strs(a[0]);
    Core index = detached([&] {
      return Core::build_with_block(keys.take_views(), block);
    });
    keys.clear();
    return M::instance(type, std::move(index));
  });
}

QV_METHOD(build_to_file) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const Sig<3> sig("build_to_file", 2, "items", "path", "block");
    PyObject* a[3];
    sig.read(args, nargs, kwnames, a);
    const std::string path = arg_path(a[1], "path");
    const std::uint64_t block = a[2] ? block_arg(a[2]) : 256;
    Parked parked;
    PySource keys(KeyStream(a[0]), parked);  // iter(items); the build checks the range before a key
    // Once the stream has ended nothing touches a Python object (the probe
    // reads a flag): the spills between keys and the whole write run
    // detached, so other threads keep the interpreter meanwhile.
    const auto offline = [](const std::function<void()>& step) { detached([&] { step(); }); };
    const std::uint64_t n =
        parked.run([&] { return Core::build_to_file_runs(keys, path, block, parked.probe(), offline); });
    return new_int(n);
  });
}

// ---- batched keys ----

QV_METHOD(m_keys_of) {
  return boundary([&]() -> PyObject* {
    static const Sig<1> sig("keys_of", 1, "ids");
    PyObject* a[1];
    sig.read(args, nargs, kwnames, a);
    const std::vector<std::uint64_t> ids = ids_arg<std::uint64_t>(a[0], "ids");
    const Core& d = core(self);
    const auto keys = detached([&] { return d.keys_of(ids); });
    return keys_list(keys);
  });
}

// ---- the rest ----

QV_METHOD(m_route_microblocks) {
  return boundary([&]() -> PyObject* {
    static const M::NoArgs sig("route_microblocks");
    read_args(sig.p, args, nargs, kwnames, nullptr);
    const Core& d = core(self);
    const std::size_t words = detached([&] { return d.route_microblocks().size(); });
    return new_int(8 * static_cast<std::uint64_t>(words));
  });
}

PyObject* get_block(PyObject* self, void*) {
  return boundary([&]() -> PyObject* { return new_int(core(self).block()); });
}

// ---- the iterator ----

constexpr std::size_t REFILL = 1024;

// The pairs of the last refill not yet handed out, and where the next
// refill starts (u64::MAX once a refill found nothing).
struct IterState {
  std::string bytes;
  std::vector<std::size_t> ends;
  std::vector<std::uint64_t> ids;
  std::size_t next = 0;
  std::uint64_t next_id = 0;
};

// The next pair, refilling the buffer when it is spent; none once the
// iteration is over. Under the mutex, attached.
std::optional<std::pair<std::string, std::uint64_t>> take(PyObject* parent, IterState& s) {
  if (s.next == s.ids.size()) {
    if (s.next_id != UINT64_MAX) run_signal_handlers();
    s.bytes.clear();
    s.ends.clear();
    s.ids.clear();
    s.next = 0;
    Core::Iter it = core(parent).iter_from(s.next_id);
    std::string key;
    std::uint64_t id;
    while (s.ids.size() < REFILL && it.next(key, id)) {
      s.bytes.append(key);
      s.ends.push_back(s.bytes.size());
      s.ids.push_back(id);
    }
    if (s.ids.empty()) {
      s.next_id = UINT64_MAX;
      return std::nullopt;
    }
    s.next_id = s.ids.back() + 1;
  }
  const std::size_t i = s.next++;
  const std::size_t from = i == 0 ? 0 : s.ends[i - 1];
  return std::pair<std::string, std::uint64_t>(s.bytes.substr(from, s.ends[i] - from), s.ids[i]);
}

using Iterator = LockedIterator<IterState, &take>;

PyObject* index_iter(PyObject* self) {
  return boundary([&]() -> PyObject* { return Iterator::make(dict_index_iterator_type(), self); });
}

// ---- tables ----

constexpr const char* MMAP_CONTRACT =
    "The mapped file must not be modified or truncated, by this process or any other, while the index is\n"
    "alive: the index reads its bytes in place, and a concurrent write is undefined behaviour. See\n"
    "`StringIndex.load_mmap` for the full contract, and use `load` for a file that may change.";

const std::string LOAD_MMAP_DOC =
    std::string("load_mmap(path)\n--\n\n"
                "Zero-copy load: memory-map the file and borrow the keys, the block data and the two offset\n"
                "arrays from it \xe2\x80\x94 the header, the symbol table and the per-block samples (eight bytes a\n"
                "block, built from the heads rather than stored) are what the load holds.\n\n") +
    MMAP_CONTRACT;

const std::string LOAD_MMAP_VERIFIED_DOC =
    std::string("load_mmap_verified(path)\n--\n\n"
                "`load_mmap` plus the checks `load` makes \xe2\x80\x94 the payload checksum and the walk over the\n"
                "per-block arrays \xe2\x80\x94 one pass over the mapping at load, the keys and the block data still\n"
                "borrowed. For a file you wrote but did not carry yourself.\n\n") +
    MMAP_CONTRACT +
    " The\nchecks run once, at load, and say nothing about later.";

PyMethodDef* methods = method_table({{
    static_method(
        "build_to_file", build_to_file,
        "build_to_file(items, path, block=256)\n--\n\n"
        "The constructor for a corpus that does not fit in memory, written straight to `path`: the keys,\n"
        "in any order and with repeats, are sorted in runs that spill beside the output and are merged\n"
        "back, and the block data goes into the file as it is encoded. The bytes are exactly what\n"
        "`DictIndex(items, block).save(path)` would have written; returns the number of distinct keys.\n\n"
        "What is still held is the block heads, the per-block arrays and one start a microblock, about\n"
        "`(mean head length + 20) / block + 8 / micro` bytes per key, so a bigger `block` suits a corpus\n"
        "whose heads crowd memory. `block` takes a number or a name as the constructor's does.\n"
        "If the iterable raises, the build is abandoned with `path`\nuntouched."),
    method("is_empty", M::is_empty, "is_empty($self)\n--\n\n"),
    method(
        "route_microblocks", m_route_microblocks,
        "route_microblocks($self)\n--\n\n"
        "Derive, once, the words that send a lookup straight to its microblock, and return the bytes they\n"
        "take.\n\n"
        "Every lookup (`id`, `ids_of`, `lower_bound` and the order queries) finds its block by the\n"
        "per-block samples, then walks that block's restart run to its microblock. Routed, it compares\n"
        "eight bytes of every restart at once instead, which made `id` about 1.2x faster at the default\n"
        "block in our measurements.\n\n"
        "The words take `8 / micro` bytes a key (0.5 at the default block, 0.25 at 1024). They are held\n"
        "beside the index and stored in no blob, so memory exceeds `serialized_len()`; deriving them\n"
        "reads the start of every block, which a `load_mmap` index otherwise leaves on disk.\n"
        "A second call derives nothing."),
    method("id", M::id, "id($self, key)\n--\n\nRank of `key`, or `None` if absent."),
    method("contains", M::contains, "contains($self, key)\n--\n\n"),
    method("get", M::get, "get($self, key, default=None)\n--\n\nRank of `key`, or `default` (`None` unless given)."),
    method("lower_bound", M::lower_bound<KEY>,
           "lower_bound($self, key)\n--\n\n"
           "The rank of the first key not below `key`: its own id if it is a member, otherwise the\n"
           "id it would have, `len(self)` past every key. Two of these bound a range of keys as a\n"
           "range of ids."),
    method("prefix", M::prefix,
           "prefix($self, prefix, limit=None)\n--\n\n"
           "`(key, id)` pairs whose key starts with `prefix`, lexicographically ordered. `limit` stops\n"
           "after that many matches, walking no further -- what autocomplete wants. A sorted dictionary\n"
           "answers this as a range, so nothing is scanned that is not returned."),
    method("common_prefix", M::common_prefix,
           "common_prefix($self, query)\n--\n\n"
           "Every key that is a **prefix of `query`**, shortest first -- the reverse of `prefix`, which\n"
           "returns the keys `query` starts. This is the dictionary-matching query: given a vocabulary\n"
           "and a position in a sentence, it returns the entries that start there. The empty key, if the\n"
           "index holds it, is a prefix of everything and comes first."),
    method("longest_prefix", M::longest_prefix,
           "longest_prefix($self, query)\n--\n\n"
           "The longest key that is a prefix of `query`, or `None` -- the match a longest-match\n"
           "tokeniser takes. See `common_prefix`."),
    method("range", M::range,
           "range($self, lo, hi, limit=None)\n--\n\n"
           "`(key, id)` pairs with `lo <= key < hi`, lexicographically ordered. `limit` stops after that\n"
           "many matches."),
    method("prefix_count", M::prefix_count,
           "prefix_count($self, prefix)\n--\n\nHow many keys start with `prefix`, without decoding any of them."),
    method("range_count", M::range_count,
           "range_count($self, lo, hi)\n--\n\nHow many keys satisfy `lo <= key < hi`, without decoding any of them."),
    method("prefix_id_range", M::prefix_id_range,
           "prefix_id_range($self, prefix)\n--\n\n"
           "The contiguous `(start, end)` id range of the keys starting with `prefix`, half-open. Ids\n"
           "follow lexicographic order, so a prefix is a slice of the id space rather than a set of ids\n"
           "to test one at a time -- usable directly as a `range()` or a bitset window."),
    method("successor", M::successor,
           "successor($self, query)\n--\n\nThe smallest `(key, id)` with `key >= query`, or `None` if every key is "
           "smaller."),
    method("predecessor", M::predecessor,
           "predecessor($self, query)\n--\n\nThe largest `(key, id)` with `key <= query`, or `None` if every key is "
           "larger."),
    method("key", M::key, "key($self, id)\n--\n\nKey at rank `id`, or `None` past the end."),
    method("keys_of", m_keys_of,
           "keys_of($self, ids)\n--\n\n"
           "Batched `key`: a list aligned with `ids`, `None` where an id is out of range. Ids that\n"
           "ascend within one block are answered by a single walk of it, so the range `prefix_id_range`\n"
           "returns costs one pass rather than one per id."),
    method("ids_of", M::ids_of,
           "ids_of($self, keys)\n--\n\n"
           "Batched `id`: one call for many keys, aligned with `keys`, `None` where a key is absent."),
    method("ids_of_bytes", M::ids_of_bytes,
           "ids_of_bytes($self, keys)\n--\n\n"
           "Batched `id` packed into a `bytes` buffer instead of a list: one 8-byte native-endian item\n"
           "per key, aligned with `keys`, `MISSING_ID` where a key is absent, for\n"
           "`np.frombuffer(buf, dtype=index.ID_DTYPE)`."),
    method("ids_of_arrow", M::ids_of_arrow,
           "ids_of_arrow($self, column)\n--\n\n"
           "Batched `id` over an Arrow `utf8` / `large_utf8` column \xe2\x80\x94 a pyarrow `Array` or\n"
           "`ChunkedArray`, a pandas column of `ArrowDtype`, a polars `Series` \xe2\x80\x94 packed like\n"
           "`ids_of_bytes`: one `ID_DTYPE` item per element, `MISSING_ID` for an absent key and for a\n"
           "null. The keys are read from the column's offset and data buffers, so no Python string\n"
           "exists per key."),
    method("ids_into_arrow", M::ids_into_arrow,
           "ids_into_arrow($self, column, out)\n--\n\n"
           "`ids_of_arrow` written into memory the caller owns, as `ids_into` does for a list: `out` is\n"
           "a writable C-contiguous buffer of `ID_DTYPE` items at least as long as the column."),
    method("ids_into", M::ids_into,
           "ids_into($self, keys, out)\n--\n\n"
           "`ids_of_bytes` written into memory the caller owns: `out` is any writable C-contiguous\n"
           "buffer of `ID_DTYPE` items at least `len(keys)` long; the first `len(keys)` items are\n"
           "written and the rest left as they were. A read-only, strided or mistyped buffer is a\n"
           "`BufferError`; one shorter than `keys` is a `ValueError`."),
    method("to_bytes", M::to_bytes, "to_bytes($self)\n--\n\nSerialise to a `bytes` blob."),
    method("serialized_len", M::serialized_len,
           "serialized_len($self)\n--\n\nLength of the `to_bytes` blob in bytes, without producing it."),
    method("__reduce__", M::reduce, "__reduce__($self)\n--\n\nPickle support: the blob, and the loader that reads it back."),
    static_method("from_bytes", M::from_bytes,
                  "from_bytes(data)\n--\n\n"
                  "Reconstruct from a `to_bytes` blob. Every length, both checksums, the symbol table and the\n"
                  "per-block arrays are validated, so arbitrary input raises rather than misbehaving."),
    method("save", M::save, "save($self, path)\n--\n\nWrite the index to `path`."),
    static_method("load", M::load, "load(path)\n--\n\nLoad a file written with `save`, validated like `from_bytes`."),
    static_method("load_mmap", M::load_mmap, LOAD_MMAP_DOC.c_str()),
    static_method("load_mmap_verified", M::load_mmap_verified, LOAD_MMAP_VERIFIED_DOC.c_str()),
}});

PyGetSetDef getset[] = {
    {"block", get_block, nullptr, "Keys per block, as given at build time.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

std::uint64_t block_arg(PyObject* o) {
  std::uint64_t size = 0;
  const std::optional<std::string> not_size = as_u64(o, size);
  if (!not_size) return size;
  if (PyUnicode_Check(o)) {
    const std::string_view name = arg_str(o, "block");
    if (name == "fast") return 32;
    if (name == "balanced") return 256;
    if (name == "compact") return 1024;
    raise_value_error(
        "dict: block must be an int in 1..=1024 or one of 'fast', 'balanced', 'compact', not " + debug_form(name));
  }
  try {
    raise_type_error("argument 'block': expected an int in 0..2**64 or a str, not '" + type_name(o) +
                     "' (as an int: " + *not_size + "; as a str: '" + type_name(o) +
                     "' object is not an instance of 'str')");
  } catch (const PyErrorSet&) {
    add_processing_note("block");
    throw;
  }
}

PyObject* dict_index_type() {
  return M::make_index_type(
      cell, {
                {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
                {Py_tp_methods, methods},
                {Py_tp_getset, getset},
                {Py_tp_iter, reinterpret_cast<void*>(&index_iter)},
                {Py_tp_doc, const_cast<char*>("DictIndex(items, block=256)\n--\n\n"
                                              "Ordered dictionary with the key stored for every id: exact `string "
                                              "\xe2\x86\x94 rank`, 2.64 B/key on real\nwords.")},
            });
}

PyObject* dict_index_iterator_type() {
  return Iterator::type(
      iterator_cell, "quorvale._core.DictIndexIterator",
      "Lazy `(key, id)` iterator over a `DictIndex`, in sorted order, which is id order. Holds a\n"
      "reference to the parent index and streams it a chunk at a time, so it never materialises the\n"
      "whole key set.");
}

PyObject* wrap_dict_index(std::shared_ptr<const DictIndex> index) { return M::wrap_shared(std::move(index)); }

const std::shared_ptr<const DictIndex>* dict_index_core(PyObject* o) { return M::shared_core(o); }

}  // namespace quorvale::python
