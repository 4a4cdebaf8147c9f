// The binding class HashedDictIndex.
#pragma once

#include "frame.hpp"

namespace quorvale::python {

// The class's type object, made on first need (borrowed), or null with the
// error set.
PyObject* hashed_dict_index_type();

}  // namespace quorvale::python
