// The binding class CompactHashIndex.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "compact_hash/compact_hash.hpp"
#include "frame.hpp"

namespace quorvale::python {

// The class's type object, made on first need (borrowed), or null with the
// error set.
PyObject* compact_hash_index_type();

// A new CompactHashIndex object over a core shared with its other holders (an
// overlay's base, say). Inside a boundary: a failure is raised.
PyObject* wrap_compact_hash_index(std::shared_ptr<const CompactHashIndex> index);

// The core of a CompactHashIndex object (or of a subclass's); null for any
// other object. Inside a boundary.
const std::shared_ptr<const CompactHashIndex>* compact_hash_core(PyObject* o);

// The fingerprint width of the constructor's and the streamed build's
// arguments: 8 times fingerprint_bytes (1, 2 or 4), or fingerprint_bits
// (1..=64) when given, with fingerprint_bytes left at 1. Raises ValueError.
std::uint32_t fingerprint_width(std::uint64_t fingerprint_bytes, std::optional<std::uint32_t> fingerprint_bits);

}  // namespace quorvale::python
