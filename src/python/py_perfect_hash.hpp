// The binding class PerfectHashIndex.
#pragma once

#include <memory>

#include "perfect_hash.hpp"
#include "frame.hpp"

namespace quorvale::python {

// The class's type object, made on first need (borrowed), or null with the
// error set.
PyObject* perfect_hash_index_type();

}  // namespace quorvale::python
