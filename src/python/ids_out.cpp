#include "ids_out.hpp"

#include "id_buffer.hpp"

namespace quorvale::python {

namespace {

[[noreturn]] void raise_buffer_error(const std::string& message) {
  PyErr_SetString(PyExc_BufferError, message.c_str());
  throw_error_set();
}

}  // namespace

void writable_buffer(PyObject* out) {
  Ref view = Ref::check(PyMemoryView_FromObject(out));
  Ref readonly = Ref::check(PyObject_GetAttrString(view.get(), "readonly"));
  int ro = PyObject_IsTrue(readonly.get());
  if (ro < 0) throw_error_set();
  if (ro) raise_buffer_error("out is read-only");
}

IdSink::IdSink(IdSink&& o) noexcept : view_(o.view_), held_(o.held_), width_(o.width_), items_(o.items_) {
  o.held_ = false;
}

IdSink::~IdSink() {
  if (held_) PyBuffer_Release(&view_);
}

void IdSink::check_writable() {
  if (!held_ || view_.readonly || !PyBuffer_IsContiguous(&view_, 'C')) raise_buffer_error("out is not writable");
}

IdSink id_sink(PyObject* out, std::size_t n, std::size_t width) {
  IdSink sink;
  // FULL_RO: read-only buffers are obtainable, so the checks below run in
  // their own order rather than the exporter's.
  if (PyObject_GetBuffer(out, &sink.view_, PyBUF_FULL_RO) < 0) throw_error_set();
  sink.held_ = true;
  sink.width_ = width;
  ids::BufferShape shape{
      sink.view_.format ? std::string_view(sink.view_.format) : std::string_view("B"),
      static_cast<std::size_t>(sink.view_.itemsize),
      reinterpret_cast<std::uintptr_t>(sink.view_.buf),
      static_cast<std::size_t>(sink.view_.len),
      sink.view_.readonly != 0,
      PyBuffer_IsContiguous(&sink.view_, 'C') != 0,
  };
  sink.items_ = ids::item_count(shape);
  if (auto fault = ids::check_sink(shape, width, n)) {
    std::string message = ids::sink_message(*fault, width, sink.items_, n);
    if (*fault == ids::SinkFault::TooShort) raise_value_error(message);
    raise_buffer_error(message);
  }
  return sink;
}

}  // namespace quorvale::python
