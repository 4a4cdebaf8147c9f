// The Python classes StringIndex, over the core string index, and
// StringIndexIterator, its lazy (key, id) cursor.
#include "py_string_index.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "classes.hpp"
#include "index_methods.hpp"
#include "iter_lock.hpp"
#include "key_source.hpp"
#include "keys.hpp"
#include "matches.hpp"

namespace quorvale::python {

namespace {

using Core = StringIndex;
using string_index::Batch;

using Pair = std::pair<std::string, std::uint64_t>;

// The pairs of a stream, at most `limit` of them. The stream is made even
// for a limit of 0 (fuzzy's automaton may refuse it), though then no item is
// taken.
template <class Stream>
Batch collected(Stream&& stream, std::optional<std::uint64_t> limit, const Pause& pause) {
  Batch out;
  string_index::collect(stream, limit, out, pause);
  return out;
}

// The first item of a stream, for the neighbours, which run attached: the
// signal handlers run every Pacer::EVERY steps of the walk, which can be
// long before it finds a key (a deep one, or none behind crafted bytes).
template <class Stream>
std::optional<fst::StreamItem> first_item(Stream& stream) {
  for (;;) {
    std::uint64_t budget = Pacer::EVERY;
    auto item = stream.next_raw(budget);
    if (item || budget != 0) return item;
    run_signal_handlers();
  }
}

struct Kind : KindBase<StringIndex, std::uint64_t> {
  static PyObject* type() { return string_index_type(); }
  static std::optional<Id> find(const Core& c, std::string_view key) { return c.id(key); }
  static bool contains(const Core& c, std::string_view key) { return c.id(key).has_value(); }
  template <class KeyAt>
  static void lookup(const Core& c, std::size_t count, KeyAt&& key_at, Id* out) {
    c.ids_into(count, key_at, out, MISSING);
  }
  static std::uint64_t rank(const Core& c, std::string_view query) { return c.rank_of_first_ge(query); }

  static Batch range(const Core& c, std::string_view lo, std::string_view hi, std::optional<std::uint64_t> limit,
                     const Pause& pause) {
    if (lo >= hi) limit = 0;  // byte order: char_traits<char> compares as unsigned char
    return collected(c.stream(fst::Range().ge(lo).lt(hi)), limit, pause);
  }
  static Batch prefix(const Core& c, std::string_view start, std::optional<std::uint64_t> limit,
                      const Pause& pause) {
    return collected(c.prefix_iter(start), limit, pause);
  }
  static std::optional<Pair> successor(const Core& c, std::string_view query) {
    auto stream = c.stream(fst::Range().ge(query));
    auto item = first_item(stream);
    if (!item) return std::nullopt;
    return Pair(std::string(reinterpret_cast<const char*>(item->key.data()), item->key.size()), item->value);
  }
  static std::optional<Pair> predecessor(const Core& c, std::string_view query) {
    if (auto id = c.id(query)) return Pair(query, *id);
    // r: the number of keys below the query, from the first key above it.
    auto stream = c.stream(fst::Range().gt(query));
    auto item = first_item(stream);
    const std::uint64_t r = item ? item->value : c.len();
    if (r == 0) return std::nullopt;
    auto key = c.key(r - 1);  // none for a stored key that is not UTF-8
    if (!key) return std::nullopt;
    return Pair(std::move(*key), r - 1);
  }

  static std::vector<Match> common_prefix(const Core& c, std::string_view query) {
    std::vector<Match> out;
    c.for_each_common_prefix(query, [&](std::size_t len, std::uint64_t id) { out.push_back({len, id}); });
    return out;
  }
  static std::optional<Match> longest_prefix(const Core& c, std::string_view query) {
    std::optional<Match> last;
    c.for_each_common_prefix(query, [&](std::size_t len, std::uint64_t id) { last = Match{len, id}; });
    return last;
  }
  static std::vector<string_index::Occurrence> occurrences(const Core& c, std::string_view text, const Pause& pause) {
    return c.occurrences(text, pause);
  }
};
constexpr char QUERY[] = "query";
using M = Methods<Kind>;

TypeCell cell;
TypeCell iterator_cell;

const Core& core(PyObject* self) { return M::core(self); }

// ---- results ----

template <std::size_t N>
using Sig = M::Args<N>;

// ---- construction ----

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"items"};
    static const Params p = params("StringIndex.__new__", names, 1, 1);
    PyObject* a[1];
    Ref held = read_args_tuple(p, args, kwargs, a);
    BorrowedKeys keys = collect_strs(a[0]);
    Core index = detached([&] { return Core::build(keys.take_views()); });
    keys.clear();
    return M::instance(type, std::move(index));
  });
}

QV_METHOD(from_sorted) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const Sig<1> sig("from_sorted", 1, "items");
    PyObject* a[1];
    sig.read(args, nargs, kwnames, a);
    Parked parked;
    PySource source(KeyStream(a[0]), parked);
    Core index = parked.run([&] { return Core::from_sorted(source, parked.probe()); });
    return M::instance(std::move(index));
  });
}

// The file builds: the path is read before the iterable's iterator is
// asked for, and its keys go through the shared park-and-probe source.
template <class Build>
PyObject* build_file(const Sig<2>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Build&& build) {
  PyObject* a[2];
  sig.read(args, nargs, kwnames, a);
  const std::string path = arg_path(a[1], "path");
  Parked parked;
  PySource source(KeyStream(a[0]), parked);
  return new_int(parked.run([&] { return build(source, path, parked.probe()); }));
}

QV_METHOD(build_to_file) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const Sig<2> sig("build_to_file", 2, "items", "path");
    return build_file(sig, args, nargs, kwnames, [](auto& source, const std::string& path, const auto& failed) {
      return Core::build_to_file(source, path, string_index::RUN_BUDGET, failed);
    });
  });
}

QV_METHOD(build_sorted_to_file) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const Sig<2> sig("build_sorted_to_file", 2, "items", "path");
    return build_file(sig, args, nargs, kwnames, [](auto& source, const std::string& path, const auto& failed) {
      return Core::build_sorted_to_file(source, path, failed);
    });
  });
}

// ---- automaton walks ----

// A walk of the index collected detached: make(index) gives the stream.
template <class Make>
PyObject* walk(const Core& index, std::optional<std::uint64_t> limit, Make&& make) {
  return pairs_list(detached_pausing([&](const Pause& pause) { return collected(make(index), limit, pause); }));
}

QV_METHOD(m_fuzzy) {
  return boundary([&]() -> PyObject* {
    static const Sig<3> sig("fuzzy", 2, "query", "max_distance", "limit");
    PyObject* a[3];
    sig.read(args, nargs, kwnames, a);
    const std::string_view query = arg_str(a[0], "query");
    const std::uint32_t distance = arg_u32(a[1], "max_distance");
    return walk(core(self), limit_arg(a[2]), [&](const Core& c) {
      return c.stream(fst::Range{}, string_index::levenshtein(query, distance));
    });
  });
}

QV_METHOD(m_subsequence) {
  return boundary([&]() -> PyObject* {
    static const Sig<2> sig("subsequence", 1, "query", "limit");
    PyObject* a[2];
    sig.read(args, nargs, kwnames, a);
    const std::string_view query = arg_str(a[0], "query");
    return walk(core(self), limit_arg(a[1]), [&](const Core& c) { return c.subsequence_iter(query); });
  });
}

// ---- untrusted opens ----

QV_METHOD(from_untrusted_bytes) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const M::OneArg sig("from_untrusted_bytes", "data");
    return M::open_blob<&Core::from_untrusted_bytes>(sig, args, nargs, kwnames);
  });
}

QV_METHOD(load_untrusted) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const M::OneArg sig("load_untrusted", "path");
    return M::load_from<&Core::load_untrusted>(sig, args, nargs, kwnames);
  });
}

QV_METHOD(load_mmap_untrusted) {
  (void)self;
  return boundary([&]() -> PyObject* {
    static const M::OneArg sig("load_mmap_untrusted", "path");
    return M::load_from<&Core::load_mmap_untrusted>(sig, args, nargs, kwnames);
  });
}

// ---- the iterator ----

// The cursor: the stored bytes of the last key fetched, the batch being
// handed out, and how many keys no batch has fetched yet.
struct Cursor {
  std::optional<std::string> last;
  Batch pending;
  std::size_t next = 0;  // the first pair of `pending` not yet handed out
  std::uint64_t remaining = 0;
};

constexpr std::size_t BATCH = 1024;

// The next pair, refilling the batch when it is spent; none when the
// iteration is over. Under the cursor's mutex, attached. A failing refill
// leaves the cursor as it was.
std::optional<std::pair<std::string, std::uint64_t>> advance(PyObject* parent, Cursor& c) {
  const Core& index = core(parent);
  if (c.next == c.pending.size()) {
    if (c.remaining == 0) return std::nullopt;
    run_signal_handlers();
    Batch batch;
    // Attached already: a walk that finds no key for long (only crafted
    // bytes behind a trusted open) still lets the signal handlers run.
    auto handlers = [] { run_signal_handlers(); };
    index.batch_after(c.last, static_cast<std::size_t>(std::min<std::uint64_t>(c.remaining, BATCH)), batch,
                      Pause(handlers));
    if (batch.empty()) {
      // Fewer keys than the footer promised: over, now and at every later call.
      c.remaining = 0;
      return std::nullopt;
    }
    c.remaining -= batch.size();
    c.last.emplace(batch.key(batch.size() - 1));
    c.pending = std::move(batch);
    c.next = 0;
  }
  const std::size_t i = c.next++;
  return std::pair<std::string, std::uint64_t>(c.pending.key(i), c.pending.id(i));
}

using Iterator = LockedIterator<Cursor, &advance>;

PyObject* index_iter(PyObject* self) {
  return boundary([&]() -> PyObject* {
    return Iterator::make(string_index_iterator_type(), self, Cursor{std::nullopt, Batch{}, 0, core(self).len()});
  });
}

// ---- tables ----

constexpr const char* MMAP_CONTRACT =
    "\n\nThe file is mapped read-only and shared, not read: the index borrows its bytes, so the file must not be "
    "changed or truncated by any process while an index over it lives. Use `load` when the file may change.";

const std::string LOAD_MMAP_DOC =
    std::string("load_mmap(path)\n--\n\nAn index over a memory map of the file at `path`, opened in constant time: "
                "only the magic and the FST's footer are checked, not its checksum or its ranks.") +
    MMAP_CONTRACT;
const std::string LOAD_MMAP_VERIFIED_DOC =
    std::string("load_mmap_verified(path)\n--\n\nAn index over a memory map of the file at `path`, checked as "
                "`from_bytes` checks a blob (the FST's checksum and the two ends of its ranks).") +
    MMAP_CONTRACT;
const std::string LOAD_MMAP_UNTRUSTED_DOC =
    std::string("load_mmap_untrusted(path)\n--\n\nAn index over a memory map of the file at `path`, validated as "
                "`from_untrusted_bytes` validates a blob of unknown origin.") +
    MMAP_CONTRACT;

PyMethodDef* methods = method_table({{
    static_method("from_sorted", from_sorted,
                  "from_sorted(items)\n--\n\nAn index built from an iterable of str given in ascending order "
                  "(code-point order, as Python sorts str, is the byte order of their UTF-8): the FST is built "
                  "as the keys arrive, without collecting them. A key equal to the one before it is dropped; one "
                  "below it raises ValueError \"fst error: FST error\". The iterable's own exception, or TypeError "
                  "for an item that is not a str, propagates."),
    static_method("build_to_file", build_to_file,
                  "build_to_file(items, path)\n--\n\nBuild the index of an iterable of str in any order straight "
                  "into a blob file at `path`, holding at most one run of 256 MiB of key bytes (or 33,554,432 "
                  "keys) in memory: fuller runs are sorted and spilled beside `path`, then merged while the file "
                  "is written. Returns the number of distinct keys. The file holds exactly what `to_bytes` gives "
                  "for `StringIndex(items)`; it is written atomically, and on any failure `path` is left as it "
                  "was and no temporary or spill file remains. A key longer than the run budget raises "
                  "ValueError; the iterable's own exception propagates."),
    static_method("build_sorted_to_file", build_sorted_to_file,
                  "build_sorted_to_file(items, path)\n--\n\nBuild the index of an iterable of str given in "
                  "ascending order straight into a blob file at `path`, holding neither the keys nor the index "
                  "in memory. Returns the number of distinct keys written. Repeats and order are treated as in "
                  "`from_sorted`; the file is written atomically, and on any failure `path` is left as it was "
                  "and the temporary file is removed."),
    M::is_empty_entry(),
    method("id", M::id, "id($self, key)\n--\n\nThe id of `key` (its rank in byte order), or None when absent."),
    method("contains", M::contains, "contains($self, key)\n--\n\nWhether `key` is in the index."),
    method("get", M::get,
           "get($self, key, default=None)\n--\n\nThe id of `key`, or `default` (the object itself) when absent."),
    method("key", M::key,
           "key($self, id)\n--\n\nThe key whose id is `id`, or None when `id` is not below the key count."),
    method("ids_of", M::ids_of,
           "ids_of($self, keys)\n--\n\nThe ids of a sequence of str, looked up in one call: a list aligned with "
           "`keys`, None where a key is absent."),
    method("ids_of_bytes", M::ids_of_bytes,
           "ids_of_bytes($self, keys)\n--\n\nThe ids of a sequence of str as bytes of native-endian uint64 items "
           "(numpy.frombuffer(..., ID_DTYPE)), MISSING_ID where a key is absent."),
    method("ids_of_arrow", M::ids_of_arrow,
           "ids_of_arrow($self, column)\n--\n\nThe ids of an Arrow utf8 or large_utf8 column (pyarrow, pandas, "
           "polars), read from its buffers, as bytes of native-endian uint64 items; MISSING_ID for an absent key "
           "or a null."),
    method("ids_into_arrow", M::ids_into_arrow,
           "ids_into_arrow($self, column, out)\n--\n\nWrite the ids of an Arrow string column, as "
           "`ids_of_arrow` computes them, into the writable uint64 buffer `out`; items past them are kept."),
    M::ids_into_entry(),
    method("keys_of", M::keys_of,
           "keys_of($self, ids)\n--\n\nThe keys of a sequence of ids: a list aligned with `ids`, None for an id "
           "not below the key count."),
    method("prefix", M::prefix,
           "prefix($self, prefix, limit=None)\n--\n\nThe (key, id) pairs of the keys starting with `prefix`, in "
           "key order; at most `limit` of them, and the walk stops there."),
    method("common_prefix", M::common_prefix,
           "common_prefix($self, query)\n--\n\nEvery key that is a prefix of `query`, as (key, id), shortest "
           "first; the empty key, when present, comes first."),
    method("occurrences", M::occurrences,
           "occurrences($self, text)\n--\n\nEvery key found in `text`, as (start, end, id) with "
           "`text[start:end]` the key: starts ascending and, within a start, shortest first. Offsets count "
           "characters; the empty key is never reported."),
    method("longest_prefix", M::longest_prefix,
           "longest_prefix($self, query)\n--\n\nThe longest key that is a prefix of `query`, as (key, id), or "
           "None."),
    method("range", M::range,
           "range($self, lo, hi, limit=None)\n--\n\nThe (key, id) pairs with lo <= key < hi in byte order, in key "
           "order; at most `limit` of them. Empty when lo >= hi."),
    method("lower_bound", M::lower_bound<QUERY>,
           "lower_bound($self, query)\n--\n\nHow many keys sort below `query`: the id of the first key not below "
           "it, or the key count."),
    method("range_count", M::range_count,
           "range_count($self, lo, hi)\n--\n\nHow many keys satisfy lo <= key < hi; 0 when lo is above hi."),
    method("prefix_count", M::prefix_count, "prefix_count($self, prefix)\n--\n\nHow many keys start with `prefix`."),
    method("prefix_id_range", M::prefix_id_range,
           "prefix_id_range($self, prefix)\n--\n\nThe half-open id range (start, end) of the keys starting with "
           "`prefix`: ids are ranks, so they are contiguous."),
    method("successor", M::successor,
           "successor($self, query)\n--\n\nThe smallest (key, id) with key >= query, or None."),
    method("predecessor", M::predecessor,
           "predecessor($self, query)\n--\n\nThe largest (key, id) with key <= query, or None."),
    method("fuzzy", m_fuzzy,
           "fuzzy($self, query, max_distance, limit=None)\n--\n\nThe (key, id) pairs within Levenshtein distance "
           "`max_distance` of `query`, counted in characters, in key order; at most `limit` of them. A query and "
           "distance whose automaton needs more than 10,000 states raise ValueError, whatever the limit."),
    method("subsequence", m_subsequence,
           "subsequence($self, query, limit=None)\n--\n\nThe (key, id) pairs whose key holds the characters of "
           "`query` in order (anything between them), in key order; at most `limit` of them. Walks every key."),
    method("to_bytes", M::to_bytes,
           "to_bytes($self)\n--\n\nThe index as a blob: \"BIX4\" followed by the FST's bytes."),
    method("serialized_len", M::serialized_len,
           "serialized_len($self)\n--\n\nThe length of the `to_bytes` blob, without producing it."),
    method("__reduce__", M::reduce,
           "__reduce__($self)\n--\n\nPickle as (StringIndex.from_bytes, (blob,)): a copy of the blob, also for a "
           "mapped index, so the unpickled index needs no file."),
    static_method("from_bytes", M::from_bytes,
                  "from_bytes(data)\n--\n\nAn index from a `to_bytes` blob (bytes), copied: the magic, the FST's "
                  "checksum and the two ends of its ranks are checked, not every node; for a blob of unknown "
                  "origin use `from_untrusted_bytes`."),
    static_method("from_untrusted_bytes", from_untrusted_bytes,
                  "from_untrusted_bytes(data)\n--\n\nAn index from a blob of unknown origin (bytes), copied and "
                  "validated whole: every node inside the blob, every key UTF-8, every id its key's rank, and the "
                  "checksum. Costs some tens of times `from_bytes`."),
    method("save", M::save,
           "save($self, path)\n--\n\nWrite the `to_bytes` blob to `path` atomically: a temporary file beside it "
           "replaces it once complete and flushed."),
    static_method("load", M::load,
                  "load(path)\n--\n\nAn index read whole from the file at `path`, checked as `from_bytes` checks a "
                  "blob."),
    static_method("load_untrusted", load_untrusted,
                  "load_untrusted(path)\n--\n\nAn index read whole from the file at `path`, validated as "
                  "`from_untrusted_bytes` validates a blob."),
    static_method("load_mmap", M::load_mmap, LOAD_MMAP_DOC.c_str()),
    static_method("load_mmap_verified", M::load_mmap_verified, LOAD_MMAP_VERIFIED_DOC.c_str()),
    static_method("load_mmap_untrusted", load_mmap_untrusted, LOAD_MMAP_UNTRUSTED_DOC.c_str()),
}});

}  // namespace

PyObject* string_index_type() {
  return M::make_index_type(
      cell, {
                {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
                {Py_tp_methods, methods},
                {Py_tp_iter, reinterpret_cast<void*>(&index_iter)},
                {Py_tp_doc, const_cast<char*>("StringIndex(items)\n--\n\nOrdered string\xe2\x86\x94id index (FST) "
                                              "with prefix / range / fuzzy / subsequence queries.")},
            });
}

PyObject* string_index_iterator_type() {
  return Iterator::type(
      iterator_cell, "quorvale._core.StringIndexIterator",
      "Lazy `(key, id)` iterator over a `StringIndex`, in sorted order. Holds a reference to the parent\n"
      "index and streams it a chunk at a time, so it never materialises the whole key set.");
}

}  // namespace quorvale::python
