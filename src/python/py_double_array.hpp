// The binding class DoubleArrayIndex.
#pragma once

#include "frame.hpp"

namespace quorvale::python {

// The class's type object, made on first need (borrowed), or null with the
// error set.
PyObject* double_array_index_type();

}  // namespace quorvale::python
