#include "arrow.hpp"

#include "keys.hpp"

#include <cstring>

namespace quorvale::python {

namespace {

// Conversions (rules 3 to 5) followed before a column is refused: an object
// that keeps converting to itself must not recurse for ever.
constexpr int MAX_CONVERSIONS = 16;

const char* const NOT_A_COLUMN =
    "expected a pyarrow utf8/large_utf8 Array or ChunkedArray, a pandas ArrowDtype column, or a polars Series";

// The attribute, or an empty reference when the object has none; any other
// error of reading it propagates.
Ref probe(PyObject* o, const char* name) {
  PyObject* value = PyObject_GetAttrString(o, name);
  if (value) return Ref(value);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error_set();
  PyErr_Clear();
  return Ref();
}

Ref call0(PyObject* callable) { return Ref::check(PyObject_CallNoArgs(callable)); }

// The items of a sequence that is not a str, as strong references.
std::vector<Ref> sequence_items(PyObject* seq) {
  require_sequence(seq);
  std::vector<Ref> items;
  Ref it = Ref::check(PyObject_GetIter(seq));
  while (PyObject* item = PyIter_Next(it.get())) items.emplace_back(item);
  if (PyErr_Occurred()) throw_error_set();
  return items;
}

std::uint64_t u64_attr(PyObject* o, const char* name) {
  Ref value = Ref::check(PyObject_GetAttrString(o, name));
  Ref index = Ref::check(PyNumber_Index(value.get()));
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error_set();
  return v;
}

[[noreturn]] void raise_fault(arrow::Fault fault) { raise_value_error(arrow::fault_message(fault)); }

}  // namespace

std::size_t total_len(const std::vector<Utf8Chunk>& chunks) noexcept {
  std::size_t n = 0;
  for (const Utf8Chunk& c : chunks) n += c.size();
  return n;
}

arrow::OwnedBytes copy_range(PyObject* buffer, std::uint64_t start, std::uint64_t length, const char* message) {
  Ref view = Ref::check(PyMemoryView_FromObject(buffer));
  Ref bytes = Ref::check(PyObject_CallMethod(view.get(), "cast", "s", "B"));
  const Py_buffer* b = PyMemoryView_GET_BUFFER(bytes.get());
  if (!arrow::range_within(static_cast<std::uint64_t>(b->len), start, length)) raise_value_error(message);
  arrow::OwnedBytes out(static_cast<std::size_t>(length));
  if (length) std::memcpy(out.data(), static_cast<const unsigned char*>(b->buf) + start, static_cast<std::size_t>(length));
  return out;
}

Utf8Chunk utf8_chunk_of(PyObject* array) {
  Utf8Chunk chunk;
  {
    Ref type = Ref::check(PyObject_GetAttrString(array, "type"));
    Ref text = Ref::check(PyObject_Str(type.get()));
    std::string_view t = str_view(text.get());
    if (t == "string") {
      chunk.large = false;
    } else if (t == "large_string") {
      chunk.large = true;
    } else {
      raise_type_error("expected an Arrow utf8 or large_utf8 column, got " + std::string(t));
    }
  }
  Py_ssize_t n = PyObject_Length(array);
  if (n < 0) throw_error_set();
  if (n == 0) return chunk;
  const std::uint64_t len = static_cast<std::uint64_t>(n);
  const std::uint64_t offset = u64_attr(array, "offset");
  const std::uint64_t null_count = u64_attr(array, "null_count");

  Ref buffers_method = Ref::check(PyObject_GetAttrString(array, "buffers"));
  Ref buffers = call0(buffers_method.get());
  std::vector<Ref> bufs = sequence_items(buffers.get());
  if (bufs.size() != 3) raise_type_error("an Arrow utf8 column has three buffers");
  PyObject* validity = bufs[0].get() == Py_None ? nullptr : bufs[0].get();
  PyObject* offsets = bufs[1].get() == Py_None ? nullptr : bufs[1].get();
  PyObject* data = bufs[2].get() == Py_None ? nullptr : bufs[2].get();

  if (!offsets) raise_fault(arrow::Fault::NoOffsets);
  const char* short_offsets = arrow::fault_message(arrow::Fault::OffsetsShort);
  auto orange = arrow::offsets_range(offset, len, chunk.large);
  if (!orange) raise_value_error(short_offsets);
  chunk.offsets = copy_range(offsets, orange->start, orange->length, short_offsets);
  chunk.len = len;

  const std::int64_t first = chunk.offset_at(0), last = chunk.offset_at(static_cast<std::size_t>(len));
  auto drange = arrow::data_range(first, last);
  if (!drange) raise_fault(arrow::Fault::NotAscending);
  if (data) {
    chunk.data = copy_range(data, drange->start, drange->length, arrow::fault_message(arrow::Fault::NotAscending));
  } else if (drange->length != 0) {
    raise_fault(arrow::Fault::NotAscending);
  }

  if (null_count != 0) {
    if (!validity) raise_fault(arrow::Fault::NullsWithoutValidity);
    const char* short_validity = arrow::fault_message(arrow::Fault::ValidityShort);
    auto vrange = arrow::validity_range(offset, len);
    if (!vrange) raise_value_error(short_validity);
    chunk.validity = copy_range(validity, vrange->start, vrange->length, short_validity);
    chunk.has_validity = true;
    chunk.bit_offset = static_cast<unsigned>(offset % 8);
  }
  chunk.base = first;
  if (auto fault = chunk.check()) raise_fault(*fault);
  return chunk;
}

std::vector<Utf8Chunk> utf8_chunks(PyObject* column) {
  Ref current = Ref::borrow(column);
  for (int conversions = 0; conversions <= MAX_CONVERSIONS; ++conversions) {
    PyObject* col = current.get();
    if (Ref buffers = probe(col, "buffers")) {
      std::vector<Utf8Chunk> chunks;
      chunks.push_back(utf8_chunk_of(col));
      return chunks;
    }
    if (Ref chunks_attr = probe(col, "chunks")) {
      std::vector<Ref> items = sequence_items(chunks_attr.get());
      std::vector<Utf8Chunk> chunks;
      chunks.reserve(items.size());
      for (const Ref& item : items) chunks.push_back(utf8_chunk_of(item.get()));
      return chunks;
    }
    if (Ref convert = probe(col, "__arrow_array__")) {
      current = call0(convert.get());
      continue;
    }
    {
      // A pandas column backed by Arrow; any failure to read `array` just
      // means this rule does not apply.
      Ref array(PyObject_GetAttrString(col, "array"));
      if (!array) PyErr_Clear();
      if (array) {
        if (Ref convert = probe(array.get(), "__arrow_array__")) {
          current = call0(convert.get());
          continue;
        }
      }
    }
    if (Ref to_arrow = probe(col, "to_arrow")) {
      current = call0(to_arrow.get());
      continue;
    }
    break;
  }
  raise_type_error(NOT_A_COLUMN);
}

}  // namespace quorvale::python
