// Keys from Python: borrowed from str objects for in-memory builds and
// lookup batches, or streamed one owned copy at a time for file builds.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hash.hpp"
#include "hash_engine.hpp"
#include "frame.hpp"

namespace quorvale::python {

// Keys borrowed from str objects: each object is held by a strong reference
// and its key is the UTF-8 text the interpreter keeps inside it, read while
// attached. The views may be read detached; the keys are released (and so
// must be destroyed or cleared) attached.
class BorrowedKeys {
 public:
  BorrowedKeys() = default;
  BorrowedKeys(BorrowedKeys&& o) noexcept;
  BorrowedKeys& operator=(BorrowedKeys&& o) noexcept;
  BorrowedKeys(const BorrowedKeys&) = delete;
  BorrowedKeys& operator=(const BorrowedKeys&) = delete;
  ~BorrowedKeys() { clear(); }

  std::span<const std::string_view> views() const noexcept { return views_; }
  std::size_t size() const noexcept { return views_.size(); }
  bool empty() const noexcept { return views_.empty(); }
  std::string_view operator[](std::size_t i) const noexcept { return views_[i]; }
  // Hands the views over (for a build that sorts them in place and drops
  // them as it goes); the keys stay borrowed until clear().
  std::vector<std::string_view> take_views() noexcept {
    std::vector<std::string_view> out = std::move(views_);
    views_.clear();
    return out;
  }

  // Takes over a new reference to an item; a non-str item raises TypeError
  // "'int' object is not an instance of 'str'", text that cannot be UTF-8
  // raises the encoder's error (the reference is released either way).
  void push(PyObject* owned_item);
  // A reservation from a length hint, capped so that a lying __len__ costs
  // nothing.
  void reserve_hint(Py_ssize_t hint, bool exact);
  // Releases every key (attached).
  void clear() noexcept;
  // From now on a key shorter than SHORT_KEY is copied and its str released
  // at once: a lookup batch then reads short keys back to back rather than
  // from every str again, and nothing is left to release one str at a time.
  static constexpr std::size_t SHORT_KEY = 16;
  void copy_short() noexcept { copy_short_ = true; }

 private:
  std::string_view copied(std::string_view v);

  std::vector<PyObject*> refs_;
  std::vector<std::string_view> views_;
  // The copies, in slabs that never move.
  std::vector<std::unique_ptr<char[]>> slabs_;
  char* slab_at_ = nullptr;
  std::size_t slab_left_ = 0;
  bool copy_short_ = false;
};

// Every item of any iterable, in iteration order. The iterable's own
// exception, a non-str item or an unencodable one stops it with that error.
BorrowedKeys collect_strs(PyObject* iterable);

// The hash pair of every item of any iterable, in iteration order, repeats
// kept. Items are taken attached in batches of KEY_BATCH and each batch is
// hashed detached by the hash engine (a batch is one chunk of its hashing,
// so no worker is started for it), so no more than one batch of str is held
// at a time. Fails as collect_strs does.
inline constexpr std::size_t KEY_BATCH = 4096;
std::vector<hash::HashPair> collect_pairs(PyObject* iterable);

// Refuses what cannot be taken as a list of items: a str (TypeError "Can't
// extract `str` to `Vec`") and any object that is not a sequence.
void require_sequence(PyObject* o);

// A batch of keys to look up: a sequence (not a str itself) of str.
BorrowedKeys key_batch(PyObject* keys);

// Keys pulled one at a time from a Python iterator as owned copies, for
// builders that write as they go and stay attached throughout.
class KeyStream {
 public:
  // Any iterable; its iterator is taken here (its failure is raised).
  explicit KeyStream(PyObject* iterable);

  // The next key into `key`: true for a key, false at the end of the
  // iterable. When the iterable raised, or gave a non-str or unencodable
  // item, that exception object is raised instead (PyErrorSet), now and at
  // every later call, and the iterator is never asked again; so a consumer
  // cannot take a truncated stream for a complete one. Let it propagate:
  // the caller then receives its own iterable's exception.
  bool next(std::string& key);
  // Takes up to n keys and drops them; the number taken (fewer at the end).
  // Raises like `next`.
  std::uint64_t skip(std::uint64_t n);
  // Whether an exception is parked.
  bool failed() const noexcept { return static_cast<bool>(parked_); }

 private:
  [[noreturn]] void raise_parked();
  // The next item (new reference), null at the end; parks any failure.
  PyObject* next_item();
  // The item's UTF-8 text; a bad item's error is parked and raised.
  std::string_view checked(PyObject* item);

  Ref iter_;
  Ref parked_;
  bool ended_ = false;
};

}  // namespace quorvale::python
