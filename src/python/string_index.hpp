// The binding classes StringIndex and StringIndexIterator.
#pragma once

#include <memory>

#include "../string_index.hpp"
#include "frame.hpp"

namespace quorvale::python {

// The class objects, made on first need (borrowed), or null with the error
// set.
PyObject* string_index_type();
PyObject* string_index_iterator_type();

// A new StringIndex object over a core shared with its other holders (an
// overlay's base, say). Inside a boundary: a failure is raised.
PyObject* wrap_string_index(std::shared_ptr<const StringIndex> index);

// The core of a StringIndex object (or of a subclass's); null for any other
// object. Inside a boundary.
const std::shared_ptr<const StringIndex>* string_index_core(PyObject* o);

}  // namespace quorvale::python
