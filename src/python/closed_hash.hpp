// The binding class ClosedHashIndex.
#pragma once

#include <memory>

#include "../closed_hash.hpp"
#include "frame.hpp"

namespace quorvale::python {

// The class's type object, made on first need (borrowed), or null with the
// error set.
PyObject* closed_hash_index_type();

// A new ClosedHashIndex object over a core shared with its other holders (an
// overlay's base, say). Inside a boundary: a failure is raised.
PyObject* wrap_closed_hash_index(std::shared_ptr<const ClosedHashIndex> index);

}  // namespace quorvale::python
