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

// The fingerprint width of the constructor's and the streamed build's
// arguments: 8 times fingerprint_bytes (1, 2 or 4), or fingerprint_bits
// (1..=64) when given, with fingerprint_bytes left at 1. Raises ValueError.
std::uint32_t fingerprint_width(std::uint64_t fingerprint_bytes, std::optional<std::uint32_t> fingerprint_bits);

}  // namespace quorvale::python
