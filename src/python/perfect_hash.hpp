// The binding class PerfectHashIndex.
#pragma once

#include <memory>

#include "../perfect_hash.hpp"
#include "frame.hpp"

namespace quorvale::python {

// The class's type object, made on first need (borrowed), or null with the
// error set.
PyObject* perfect_hash_index_type();

// A new PerfectHashIndex object over a core shared with its other holders
// (an overlay's base, say). Inside a boundary: a failure is raised.
PyObject* wrap_perfect_hash_index(std::shared_ptr<const PerfectHashIndex> index);

// The core of a PerfectHashIndex object (or of a subclass's); null for any
// other object. Inside a boundary.
const std::shared_ptr<const PerfectHashIndex>* perfect_hash_core(PyObject* o);

}  // namespace quorvale::python
