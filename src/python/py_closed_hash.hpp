// The binding class ClosedHashIndex.
#pragma once

#include <memory>

#include "closed_hash.hpp"
#include "frame.hpp"

namespace quorvale::python {

// The class's type object, made on first need (borrowed), or null with the
// error set.
PyObject* closed_hash_index_type();

}  // namespace quorvale::python
