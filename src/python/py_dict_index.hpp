// The binding classes DictIndex and DictIndexIterator.
#pragma once

#include <memory>

#include "dict_index/dict_index.hpp"
#include "frame.hpp"

namespace quorvale::python {

// The class objects, made on first need (borrowed), or null with the error
// set.
PyObject* dict_index_type();
PyObject* dict_index_iterator_type();

// A new DictIndex object over a dictionary shared with its other holders
// (the loaders', a hashed-dictionary index's `dict`). Inside a boundary: a
// failure is raised and the reference released.
PyObject* wrap_dict_index(std::shared_ptr<const DictIndex> index);

// The dictionary of a DictIndex object (or of a subclass's); null for any
// other object. Inside a boundary.
const std::shared_ptr<const DictIndex>* dict_index_core(PyObject* o);

// The block size a `block` argument names: an int in 0..2**64 unchanged
// (its range is the build's to check), "fast" 32, "balanced" 256, "compact"
// 1024; TypeError naming `block` for anything else but a str, ValueError
// for another name.
std::uint64_t block_arg(PyObject* o);

}  // namespace quorvale::python
