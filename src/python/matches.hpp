// Results of the dictionary-matching methods the trie classes share
// (`common_prefix`, `longest_prefix`, `occurrences`), shaped attached from
// what a detached walk found: a match is any struct with `bytes` (a prefix
// length of the query) and `id`; an occurrence any with `start`, `end`
// (character offsets) and `id`.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "frame.hpp"

namespace quorvale::python {

// A tuple made of new references (stolen) to str and int objects; a null
// entry means an error is set, and then every entry is released. Such a
// tuple can hold no cycle: it is taken off the collector's lists at once,
// so that a result of many tuples does not set off collections that visit
// every one of them.
template <std::size_t N>
PyObject* tuple_of(PyObject* const (&items)[N]) {
  Ref held[N];
  for (std::size_t i = 0; i < N; ++i) held[i] = Ref(items[i]);
  for (std::size_t i = 0; i < N; ++i)
    if (!held[i]) throw_error_set();
  Ref t = Ref::check(PyTuple_New(N));
  for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), held[i].release());
  PyObject_GC_UnTrack(t.get());
  return t.release();
}

// (key, id), the stored key bytes decoded leniently: every ill-formed
// sequence becomes U+FFFD (the keys of a valid index are all UTF-8).
inline PyObject* pair_of(std::string_view key, std::uint64_t id) {
  return tuple_of({PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"), new_int(id)});
}

// A list of (key, id) from what a detached walk found: any batch with
// size(), key(i) and id(i).
template <class Batch>
PyObject* pairs_list(const Batch& batch) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(batch.size())));
  for (std::size_t i = 0; i < batch.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair_of(batch.key(i), batch.id(i)));
  return list.release();
}

// A prefix of a query that is a key: its length in bytes and its id.
struct Match {
  std::size_t bytes;
  std::uint64_t id;
};

// The prefixes of one query as str objects, cut from the query's own str:
// a match is a prefix of the query, so its str is a slice of the query's
// characters, which copies them instead of decoding UTF-8 (and is the query
// itself when the match is all of it). Matches come shortest first, so the
// characters are counted on from the last one. A match that does not end at
// a character boundary (a stored key that is not UTF-8) is decoded from its
// bytes, which raises the decoder's error.
class PrefixStrs {
 public:
  PrefixStrs(PyObject* query_obj, std::string_view query) noexcept
      : obj_(query_obj), query_(query), ascii_(PyUnicode_IS_ASCII(query_obj) != 0) {}

  PyObject* operator()(std::size_t bytes) {
    if (bytes > query_.size()) return new_str(query_.substr(0, bytes));
    if (ascii_) return PyUnicode_Substring(obj_, 0, static_cast<Py_ssize_t>(bytes));
    if (bytes < query_.size() && (static_cast<unsigned char>(query_[bytes]) & 0xC0) == 0x80)
      return new_str(query_.substr(0, bytes));
    if (bytes < counted_) counted_ = chars_ = 0;
    for (; counted_ < bytes; ++counted_) chars_ += (static_cast<unsigned char>(query_[counted_]) & 0xC0) != 0x80;
    return PyUnicode_Substring(obj_, 0, static_cast<Py_ssize_t>(chars_));
  }

 private:
  PyObject* obj_;
  std::string_view query_;
  bool ascii_;
  std::size_t counted_ = 0, chars_ = 0;  // bytes of the query counted, characters among them
};

// An id as an int; the ids of matches fit a long, whose path is the quickest.
inline PyObject* match_int(std::uint64_t id) {
  return id <= static_cast<std::uint64_t>(LONG_MAX) ? PyLong_FromLong(static_cast<long>(id)) : new_int(id);
}

// (prefix, id) of a key that is a prefix of the query.
template <class Match>
PyObject* prefix_pair(PrefixStrs& strs, const Match& m) {
  return tuple_of({strs(m.bytes), match_int(m.id)});
}

template <class Match>
PyObject* prefix_list(PyObject* query_obj, std::string_view query, const std::vector<Match>& found) {
  PrefixStrs strs(query_obj, query);
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(found.size())));
  for (std::size_t i = 0; i < found.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), prefix_pair(strs, found[i]));
  return list.release();
}

// A list of (start, end, id). Building the tuples is most of the call for a
// text with many matches: made in place, each int by the quickest path.
template <class Occurrence>
PyObject* occurrence_list(const std::vector<Occurrence>& found) {
  Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(found.size())));
  for (std::size_t i = 0; i < found.size(); ++i) {
    const Occurrence& o = found[i];
    PyObject* t = PyTuple_New(3);
    if (!t) throw_error_set();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), t);
    PyObject* start = PyLong_FromSize_t(static_cast<std::size_t>(o.start));
    PyObject* end = start ? PyLong_FromSize_t(static_cast<std::size_t>(o.end)) : nullptr;
    PyObject* id = end ? new_int(o.id) : nullptr;
    if (!id) {
      Py_XDECREF(start);
      Py_XDECREF(end);
      throw_error_set();
    }
    PyTuple_SET_ITEM(t, 0, start);
    PyTuple_SET_ITEM(t, 1, end);
    PyTuple_SET_ITEM(t, 2, id);
    PyObject_GC_UnTrack(t);  // ints only: no cycle (see tuple_of)
  }
  return list.release();
}

}  // namespace quorvale::python
