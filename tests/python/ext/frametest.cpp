// A test-only extension exposing the frame's internals to pytest. It is built
// with the C++ tests and never installed.
#include <cerrno>
#include <stdexcept>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "fst/builder.hpp"
#include "python/arrow.hpp"
#include "python/iter_lock.hpp"
#include "python/frame.hpp"
#include "python/ids_out.hpp"
#include "python/keys.hpp"
#include "threads.hpp"

using namespace quorvale;
using namespace quorvale::python;

namespace {

// raise_error(kind, message="", errno=0): raises the core error of that kind.
PyObject* ft_raise_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"kind", "message", "errno"};
    static const Params p = params("raise_error", names, 3, 1);
    PyObject* a[3];
    read_args(p, args, nargs, kw, a);
    std::string kind(arg_str(a[0], "kind"));
    std::string message = a[1] ? std::string(arg_str(a[1], "message")) : std::string();
    int code = a[2] ? static_cast<int>(arg_i64(a[2], "errno")) : 0;
    if (kind == "fst") throw IndexError::fst(message, "Fst");
    if (kind == "io" && code) throw IndexError::os(code);
    if (kind == "io") throw IndexError::io(IoKind::InvalidData, message);
    if (kind == "io_kind") throw IndexError::io_kind(IoKind::AlreadyExists);
    if (kind == "format") throw IndexError::format("bad magic or truncated header");
    if (kind == "automaton") throw IndexError::automaton(message);
    if (kind == "build") throw IndexError::build("minimal perfect hash: no seed placed every bucket");
    if (kind == "panic") panic(message);
    if (kind == "limit") throw LimitExceeded("an Overlay holds at most u32::MAX additions");
    if (kind == "bad_alloc") throw std::bad_alloc();
    if (kind == "std") throw std::runtime_error(message);
    raise_value_error("unknown kind");
  });
}

// sig(a, b=None, *, c=None): echoes what the reader found.
PyObject* ft_sig(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"a", "b", "c"};
    static const Params p = params("sig", names, 2, 1);
    PyObject* a[3];
    read_args(p, args, nargs, kw, a);
    for (PyObject*& o : a)
      if (!o) o = Py_None;
    return Py_BuildValue("(OOO)", a[0], a[1], a[2]);
  });
}

// convert(kind, value): one argument conversion, parameter named "value".
PyObject* ft_convert(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"kind", "value"};
    static const Params p = params("convert", names, 2, 2);
    PyObject* a[2];
    read_args(p, args, nargs, kw, a);
    std::string kind(arg_str(a[0], "kind"));
    if (kind == "u32") return new_int(arg_u32(a[1], "value"));
    if (kind == "u64") return new_int(arg_u64(a[1], "value"));
    if (kind == "bool") return PyBool_FromLong(arg_bool(a[1], "value"));
    if (kind == "str") return new_bytes(arg_str(a[1], "value"));
    if (kind == "blob") return new_bytes(arg_blob(a[1], "value"));
    if (kind == "path") return new_bytes(arg_path(a[1], "value"));
    raise_value_error("unknown kind");
  });
}

// workers(count, fail_at): runs count workers; worker fail_at (if >= 0) throws
// a core error, which must arrive after all have joined.
PyObject* ft_workers(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"count", "fail_at"};
    static const Params p = params("workers", names, 2, 2);
    PyObject* a[2];
    read_args(p, args, nargs, kw, a);
    std::size_t count = arg_u32(a[0], "count");
    std::int64_t fail_at = arg_i64(a[1], "fail_at");
    std::atomic<std::size_t> ran{0};
    detached([&] {
      run_workers(count, [&](std::size_t w) {
        ran.fetch_add(1);
        if (static_cast<std::int64_t>(w) == fail_at) throw IndexError::build("worker failed");
      });
    });
    return new_int(ran.load());
  });
}

// ---- key input, Arrow columns and id output over a fake lookup ------------------

PyObject* bytes_list(std::span<const std::string_view> keys) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(keys.size())));
  for (std::size_t i = 0; i < keys.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref::check(new_bytes(keys[i])).release());
  return list.release();
}

// collect(iterable): the keys as UTF-8 bytes, in order.
PyObject* ft_collect(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"items"};
    static const Params p = params("collect", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kw, a);
    BorrowedKeys keys = collect_strs(a[0]);
    return bytes_list(keys.views());
  });
}

// pairs(items): the hash pair of every item, as (first, second) tuples.
PyObject* ft_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"items"};
    static const Params p = params("pairs", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kw, a);
    std::vector<hash::HashPair> pairs = collect_pairs(a[0]);
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
    for (std::size_t i = 0; i < pairs.size(); ++i)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                      Ref::check(Py_BuildValue("(KK)", static_cast<unsigned long long>(pairs[i].first),
                                               static_cast<unsigned long long>(pairs[i].second)))
                          .release());
    return list.release();
  });
}

// batch(keys): a lookup batch as UTF-8 bytes.
PyObject* ft_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"keys"};
    static const Params p = params("batch", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kw, a);
    BorrowedKeys keys = key_batch(a[0]);
    return bytes_list(keys.views());
  });
}

// stream(iterable, skip=0, again=False): a file builder's consumption. With
// again, a failure is swallowed once and the stream asked again, which must
// raise the same exception without asking the iterator.
PyObject* ft_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"items", "skip", "again"};
    static const Params p = params("stream", names, 3, 1);
    PyObject* a[3];
    read_args(p, args, nargs, kw, a);
    std::uint64_t skip = a[1] ? arg_u64(a[1], "skip") : 0;
    bool again = a[2] ? arg_bool(a[2], "again") : false;
    KeyStream stream(a[0]);
    std::vector<std::string> keys;
    std::string key;
    try {
      stream.skip(skip);
      while (stream.next(key)) keys.push_back(key);
    } catch (const PyErrorSet&) {
      if (!again) throw;
      Ref first(take_raised_exception());
      try {
        stream.next(key);
      } catch (const PyErrorSet&) {
        Ref second(take_raised_exception());
        if (second.get() != first.get()) raise_value_error("a different exception the second time");
        restore_raised_exception(second.release());
        throw;
      }
      raise_value_error("the stream went on after its failure");
    }
    std::vector<std::string_view> views(keys.begin(), keys.end());
    return bytes_list(views);
  });
}

// The fake index: a key's id is its length in bytes; keys starting with '-'
// are absent.
template <class Id>
Id fake_id(std::string_view key) {
  if (!key.empty() && key[0] == '-') return static_cast<Id>(~Id{0});
  return static_cast<Id>(key.size());
}

template <class Id>
std::vector<Id> fake_ids(const BorrowedKeys& keys) {
  return detached([&] {
    std::vector<Id> ids(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) ids[i] = fake_id<Id>(keys[i]);
    return ids;
  });
}

template <class Id>
std::vector<Id> fake_ids(const std::vector<Utf8Chunk>& chunks) {
  return detached([&] {
    std::vector<Id> ids;
    ids.reserve(total_len(chunks));
    for (const Utf8Chunk& c : chunks)
      for (std::size_t i = 0; i < c.size(); ++i) ids.push_back(c.is_null(i) ? static_cast<Id>(~Id{0}) : fake_id<Id>(c.key(i)));
    return ids;
  });
}

std::size_t width_arg(PyObject* o) {
  std::uint32_t w = arg_u32(o, "width");
  if (w != 4 && w != 8) raise_value_error("width is 4 or 8");
  return w;
}

template <class Id, class Source>
PyObject* write_into(const Source& source, std::size_t n, PyObject* out) {
  if (n == 0) {
    writable_buffer(out);
    Py_RETURN_NONE;
  }
  IdSink sink = id_sink<Id>(out, n);
  std::vector<Id> ids = fake_ids<Id>(source);
  write_ids<Id>(sink, ids);
  Py_RETURN_NONE;
}

// ids_of_bytes(keys, width) / ids_into(keys, out, width)
PyObject* ft_ids_of_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"keys", "width"};
    static const Params p = params("ids_of_bytes", names, 2, 2);
    PyObject* a[2];
    read_args(p, args, nargs, kw, a);
    std::size_t width = width_arg(a[1]);
    BorrowedKeys keys = key_batch(a[0]);
    if (width == 4) return packed<std::uint32_t>(fake_ids<std::uint32_t>(keys));
    return packed<std::uint64_t>(fake_ids<std::uint64_t>(keys));
  });
}

PyObject* ft_ids_into(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"keys", "out", "width"};
    static const Params p = params("ids_into", names, 3, 3);
    PyObject* a[3];
    read_args(p, args, nargs, kw, a);
    std::size_t width = width_arg(a[2]);
    BorrowedKeys keys = key_batch(a[0]);
    if (width == 4) return write_into<std::uint32_t>(keys, keys.size(), a[1]);
    return write_into<std::uint64_t>(keys, keys.size(), a[1]);
  });
}

// ids_of_arrow(column, width) / ids_into_arrow(column, out, width)
PyObject* ft_ids_of_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"column", "width"};
    static const Params p = params("ids_of_arrow", names, 2, 2);
    PyObject* a[2];
    read_args(p, args, nargs, kw, a);
    std::size_t width = width_arg(a[1]);
    std::vector<Utf8Chunk> chunks = utf8_chunks(a[0]);
    if (width == 4) return packed<std::uint32_t>(fake_ids<std::uint32_t>(chunks));
    return packed<std::uint64_t>(fake_ids<std::uint64_t>(chunks));
  });
}

PyObject* ft_ids_into_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"column", "out", "width"};
    static const Params p = params("ids_into_arrow", names, 3, 3);
    PyObject* a[3];
    read_args(p, args, nargs, kw, a);
    std::size_t width = width_arg(a[2]);
    std::vector<Utf8Chunk> chunks = utf8_chunks(a[0]);
    if (width == 4) return write_into<std::uint32_t>(chunks, total_len(chunks), a[1]);
    return write_into<std::uint64_t>(chunks, total_len(chunks), a[1]);
  });
}

// arrow_keys(column): every element as bytes, None for a null; one list per chunk.
PyObject* ft_arrow_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"column"};
    static const Params p = params("arrow_keys", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kw, a);
    std::vector<Utf8Chunk> chunks = utf8_chunks(a[0]);
    Ref out = Ref::check(PyList_New(0));
    for (const Utf8Chunk& c : chunks) {
      Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(c.size())));
      for (std::size_t i = 0; i < c.size(); ++i) {
        PyObject* item = c.is_null(i) ? Py_NewRef(Py_None) : Ref::check(new_bytes(c.key(i))).release();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
      }
      if (PyList_Append(out.get(), list.get()) < 0) throw_error_set();
    }
    return out.release();
  });
}

// chunk_sizes(column): (elements, data bytes) of each chunk; utf8_chunks alone.
PyObject* ft_chunk_sizes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"column"};
    static const Params p = params("chunk_sizes", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kw, a);
    std::vector<Utf8Chunk> chunks = utf8_chunks(a[0]);
    Ref out = Ref::check(PyList_New(0));
    for (const Utf8Chunk& c : chunks) {
      Ref t = Ref::check(Py_BuildValue("(KK)", static_cast<unsigned long long>(c.len),
                                       static_cast<unsigned long long>(c.data.size())));
      if (PyList_Append(out.get(), t.get()) < 0) throw_error_set();
    }
    return out.release();
  });
}

// fst_blob(keys): a "BIX4" blob over byte keys given in ascending order,
// each valued by its rank: blobs no str could give (keys that are not UTF-8).
PyObject* ft_fst_blob(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"keys"};
    static const Params p = params("fst_blob", names, 1, 1);
    PyObject* a[1];
    read_args(p, args, nargs, kw, a);
    fst::MemorySink sink;
    static const unsigned char magic[4] = {'B', 'I', 'X', '4'};
    sink.write_all(magic);
    fst::MapBuilder builder(sink);
    Ref it = Ref::check(PyObject_GetIter(a[0]));
    std::uint64_t rank = 0;
    while (PyObject* raw = PyIter_Next(it.get())) {
      Ref item(raw);
      builder.insert(arg_blob(item.get(), "keys"), rank++);
    }
    if (PyErr_Occurred()) throw_error_set();
    builder.finish();
    const auto& bytes = sink.bytes();
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
  });
}

// The iterator lock over a counter. lock(action, seconds=0):
//   "count"  adds 1 and returns the count;
//   "hold"   adds 1, then holds the lock `seconds` (detached) and returns the count;
//   "panic"  breaks an invariant while holding it;
//   "raise"  raises ValueError while holding it;
//   "reset"  a fresh lock.
std::unique_ptr<IterLock<long>> g_lock = std::make_unique<IterLock<long>>(0);

PyObject* ft_lock(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return boundary([&]() -> PyObject* {
    static const char* const names[] = {"action", "seconds"};
    static const Params p = params("lock", names, 2, 1);
    PyObject* a[2];
    read_args(p, args, nargs, kw, a);
    const std::string action(arg_str(a[0], "action"));
    if (action == "reset") {
      g_lock = std::make_unique<IterLock<long>>(0);
      Py_RETURN_NONE;
    }
    const double seconds = a[1] ? PyFloat_AsDouble(a[1]) : 0.0;
    if (seconds == -1.0 && PyErr_Occurred()) throw_error_set();
    const long count = g_lock->with([&](long& n) {
      ++n;
      if (action == "hold") detached([&] { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); });
      if (action == "panic") panic("boom");
      if (action == "raise") raise_value_error("raised under the lock");
      return n;
    });
    return PyLong_FromLong(count);
  });
}

PyMethodDef methods[] = {
    {"raise_error", fastcall(ft_raise_error), FASTCALL_KW, "raise_error(kind, message='', errno=0)\n--\n\n"},
    {"sig", fastcall(ft_sig), FASTCALL_KW,
     "sig(a, b=None, *, c=None)\n--\n\n"},
    {"convert", fastcall(ft_convert), FASTCALL_KW, "convert(kind, value)\n--\n\n"},
    {"workers", fastcall(ft_workers), FASTCALL_KW, "workers(count, fail_at)\n--\n\n"},
    {"collect", fastcall(ft_collect), FASTCALL_KW, "collect(items)\n--\n\n"},
    {"pairs", fastcall(ft_pairs), FASTCALL_KW, "pairs(items)\n--\n\n"},
    {"batch", fastcall(ft_batch), FASTCALL_KW, "batch(keys)\n--\n\n"},
    {"stream", fastcall(ft_stream), FASTCALL_KW, "stream(items, skip=0, again=False)\n--\n\n"},
    {"ids_of_bytes", fastcall(ft_ids_of_bytes), FASTCALL_KW, "ids_of_bytes(keys, width)\n--\n\n"},
    {"ids_into", fastcall(ft_ids_into), FASTCALL_KW, "ids_into(keys, out, width)\n--\n\n"},
    {"ids_of_arrow", fastcall(ft_ids_of_arrow), FASTCALL_KW, "ids_of_arrow(column, width)\n--\n\n"},
    {"ids_into_arrow", fastcall(ft_ids_into_arrow), FASTCALL_KW, "ids_into_arrow(column, out, width)\n--\n\n"},
    {"arrow_keys", fastcall(ft_arrow_keys), FASTCALL_KW, "arrow_keys(column)\n--\n\n"},
    {"chunk_sizes", fastcall(ft_chunk_sizes), FASTCALL_KW, "chunk_sizes(column)\n--\n\n"},
    {"fst_blob", fastcall(ft_fst_blob), FASTCALL_KW, "fst_blob(keys)\n--\n\n"},
    {"lock", fastcall(ft_lock), FASTCALL_KW, "lock(action, seconds=0)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#ifdef Py_MOD_GIL_NOT_USED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef def = {PyModuleDef_HEAD_INIT, "_frametest", "", 0, methods, slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__frametest(void) { return PyModuleDef_Init(&def); }
