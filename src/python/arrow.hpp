// Arrow utf8 / large_utf8 columns from pyarrow, pandas and polars, copied
// into owned chunks through the producers' Python-level interfaces.
#pragma once

#include <cstdint>
#include <vector>

#include "arrow_chunk.hpp"
#include "frame.hpp"

namespace quorvale::python {

using arrow::Utf8Chunk;

// The chunks of a column, in column order, each checked. Runs attached;
// the chunks can then be read detached. Raises TypeError for an object that
// is not an Arrow string column and ValueError for inconsistent buffers.
std::vector<Utf8Chunk> utf8_chunks(PyObject* column);

// One pyarrow-like array (its type, len, offset, null_count and buffers()).
Utf8Chunk utf8_chunk_of(PyObject* array);

// An owned copy of bytes [start, start + length) of any object with a
// buffer; ValueError `message` when the buffer is shorter.
arrow::OwnedBytes copy_range(PyObject* buffer, std::uint64_t start, std::uint64_t length, const char* message);

// Elements of all chunks together.
std::size_t total_len(const std::vector<Utf8Chunk>& chunks) noexcept;

}  // namespace quorvale::python
