// The binding classes StringIndex and StringIndexIterator.
#pragma once

#include <memory>

#include "string_index.hpp"
#include "frame.hpp"

namespace quorvale::python {

// The class objects, made on first need (borrowed), or null with the error
// set.
PyObject* string_index_type();
PyObject* string_index_iterator_type();

}  // namespace quorvale::python
