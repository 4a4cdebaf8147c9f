// Ids leaving a batched lookup as packed bytes or written into a caller's
// buffer (a NumPy array, say) through the buffer protocol.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "frame.hpp"

namespace quorvale::python {

// A bytes object of the ids in native byte order, nothing between them.
template <class Id>
PyObject* packed(std::span<const Id> ids) {
  static_assert(sizeof(Id) == 4 || sizeof(Id) == 8);
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(ids.data()),
                                   static_cast<Py_ssize_t>(ids.size() * sizeof(Id)));
}

// The only check when there is nothing to write: BufferError "out is
// read-only" for a read-only buffer; an object without a buffer raises the
// interpreter's own error.
void writable_buffer(PyObject* out);

// A caller's buffer validated for n ids of one width and held (so it can be
// neither released nor resized) until the ids are written. Release attached.
class IdSink {
 public:
  IdSink(IdSink&& o) noexcept;
  IdSink(const IdSink&) = delete;
  IdSink& operator=(const IdSink&) = delete;
  IdSink& operator=(IdSink&&) = delete;
  ~IdSink();

  // Copies the first min(items, n) ids to the start of the buffer; the items
  // after them are left as they were. BufferError "out is not writable" if
  // the buffer cannot take them now.
  template <class Id>
  void write(std::span<const Id> ids) {
    if (sizeof(Id) != width_) panic("ids are written at the sink's width");
    check_writable();
    std::size_t n = std::min(ids.size(), items_);
    if (n) std::memcpy(view_.buf, ids.data(), n * sizeof(Id));
  }
  std::size_t items() const noexcept { return items_; }

 private:
  friend IdSink id_sink(PyObject* out, std::size_t n, std::size_t width);
  IdSink() = default;
  void check_writable();

  Py_buffer view_{};
  bool held_ = false;
  std::size_t width_ = 0;
  std::size_t items_ = 0;
};

// Validates `out` for n ids of `width` bytes (4 or 8), in order: format and
// item size, alignment, read-only, C-contiguity, item count. Before any
// lookup work; a refused buffer is released and left untouched.
IdSink id_sink(PyObject* out, std::size_t n, std::size_t width);

template <class Id>
IdSink id_sink(PyObject* out, std::size_t n) {
  return id_sink(out, n, sizeof(Id));
}

template <class Id>
void write_ids(IdSink& sink, std::span<const Id> ids) {
  sink.write(ids);
}

}  // namespace quorvale::python
