#include "keys.hpp"

#include <algorithm>
#include <cstring>

namespace quorvale::python {

namespace {

// Beyond this a length that is not a real container's is taken as a hint only.
constexpr Py_ssize_t RESERVE_CAP = 1 << 16;

// The length of an object, or -1 (error cleared) when it has none.
Py_ssize_t length_hint(PyObject* o) {
  Py_ssize_t n = PyObject_Size(o);
  if (n < 0) PyErr_Clear();
  return n;
}

bool exact_container(PyObject* o) { return PyList_CheckExact(o) || PyTuple_CheckExact(o); }

// Places to reserve for a length hint: a list's or tuple's own length, any
// other object's at most RESERVE_CAP, so that a lying __len__ costs nothing.
std::size_t reserve_count(Py_ssize_t hint, bool exact) {
  if (hint <= 0) return 0;
  return static_cast<std::size_t>(exact ? hint : std::min(hint, RESERVE_CAP));
}

void fill(BorrowedKeys& keys, PyObject* iterable) {
  Ref it = Ref::check(PyObject_GetIter(iterable));
  while (PyObject* item = PyIter_Next(it.get())) keys.push(item);
  if (PyErr_Occurred()) throw_error_set();
}

}  // namespace

BorrowedKeys::BorrowedKeys(BorrowedKeys&& o) noexcept
    : refs_(std::move(o.refs_)),
      views_(std::move(o.views_)),
      slabs_(std::move(o.slabs_)),
      slab_at_(o.slab_at_),
      slab_left_(o.slab_left_),
      copy_short_(o.copy_short_) {
  o.refs_.clear();
  o.views_.clear();
  o.slabs_.clear();
  o.slab_at_ = nullptr;
  o.slab_left_ = 0;
}

BorrowedKeys& BorrowedKeys::operator=(BorrowedKeys&& o) noexcept {
  if (this != &o) {
    clear();
    refs_ = std::move(o.refs_);
    views_ = std::move(o.views_);
    slabs_ = std::move(o.slabs_);
    slab_at_ = o.slab_at_;
    slab_left_ = o.slab_left_;
    copy_short_ = o.copy_short_;
    o.refs_.clear();
    o.views_.clear();
    o.slabs_.clear();
    o.slab_at_ = nullptr;
    o.slab_left_ = 0;
  }
  return *this;
}

std::string_view BorrowedKeys::copied(std::string_view v) {
  // Below the allocator's mapping threshold, so that slabs are reused
  // between batches rather than mapped afresh.
  constexpr std::size_t SLAB = std::size_t{64} << 10;
  if (slab_left_ < v.size()) {
    slabs_.push_back(std::make_unique_for_overwrite<char[]>(SLAB));
    slab_at_ = slabs_.back().get();
    slab_left_ = SLAB;
  }
  char* at = slab_at_;
  if (!v.empty()) std::memcpy(at, v.data(), v.size());
  slab_at_ += v.size();
  slab_left_ -= v.size();
  return std::string_view(at, v.size());
}

void BorrowedKeys::push(PyObject* owned_item) {
  Ref item(owned_item);
  std::string_view v = str_view(item.get());
  if (copy_short_ && v.size() < SHORT_KEY) {
    views_.push_back(copied(v));
    return;
  }
  refs_.push_back(item.get());
  try {
    views_.push_back(v);
  } catch (...) {
    refs_.pop_back();
    throw;
  }
  item.release();
}

void BorrowedKeys::reserve_hint(Py_ssize_t hint, bool exact) {
  const std::size_t n = reserve_count(hint, exact);
  if (n == 0) return;
  refs_.reserve(n);
  views_.reserve(n);
}

void BorrowedKeys::clear() noexcept {
  for (PyObject* o : refs_) Py_DECREF(o);
  refs_.clear();
  views_.clear();
  slabs_.clear();
  slab_at_ = nullptr;
  slab_left_ = 0;
}

BorrowedKeys collect_strs(PyObject* iterable) {
  BorrowedKeys keys;
  keys.reserve_hint(length_hint(iterable), exact_container(iterable));
  fill(keys, iterable);
  return keys;
}

std::vector<hash::HashPair> collect_pairs(PyObject* iterable) {
  std::vector<hash::HashPair> pairs;
  pairs.reserve(reserve_count(length_hint(iterable), exact_container(iterable)));
  BorrowedKeys batch;
  batch.reserve_hint(KEY_BATCH, true);
  Ref it = Ref::check(PyObject_GetIter(iterable));
  bool ended = false;
  while (!ended) {
    batch.clear();
    while (batch.size() < KEY_BATCH) {
      PyObject* item = PyIter_Next(it.get());
      if (!item) {
        if (PyErr_Occurred()) throw_error_set();
        ended = true;
        break;
      }
      batch.push(item);
    }
    if (batch.empty()) break;
    detached([&] { hash_engine::append_hashes(batch.views(), pairs); });
  }
  return pairs;
}

void require_sequence(PyObject* o) {
  if (PyUnicode_Check(o)) raise_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(o)) raise_type_error("'" + type_name(o) + "' object is not an instance of 'Sequence'");
}

BorrowedKeys key_batch(PyObject* keys) {
  require_sequence(keys);
  BorrowedKeys out;
  out.copy_short();
  out.reserve_hint(length_hint(keys), exact_container(keys));
  // Items are taken through an iterator as strong references: a list that
  // another thread changes meanwhile never leaves us a dangling item.
  fill(out, keys);
  return out;
}

KeyStream::KeyStream(PyObject* iterable) : iter_(Ref::check(PyObject_GetIter(iterable))) {}

void KeyStream::raise_parked() {
  Py_INCREF(parked_.get());
  restore_raised_exception(parked_.get());
  throw_error_set();
}

PyObject* KeyStream::next_item() {
  if (parked_) raise_parked();
  if (ended_) return nullptr;
  PyObject* item = PyIter_Next(iter_.get());
  if (!item) {
    if (PyErr_Occurred()) {
      parked_ = Ref(take_raised_exception());
      raise_parked();
    }
    ended_ = true;
  }
  return item;
}

std::string_view KeyStream::checked(PyObject* item) {
  try {
    return str_view(item);
  } catch (const PyErrorSet&) {
    parked_ = Ref(take_raised_exception());
    raise_parked();
  }
}

bool KeyStream::next(std::string& key) {
  Ref item(next_item());
  if (!item) return false;
  std::string_view v = checked(item.get());
  key.assign(v.data(), v.size());
  return true;
}

std::uint64_t KeyStream::skip(std::uint64_t n) {
  std::uint64_t taken = 0;
  for (; taken < n; ++taken) {
    Ref item(next_item());
    if (!item) break;
    checked(item.get());
  }
  return taken;
}

}  // namespace quorvale::python
