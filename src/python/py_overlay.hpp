// The binding class Overlay: additions and removals over a shared
// StringIndex, PerfectHashIndex or CompactHashIndex.
#pragma once

#include "frame.hpp"

namespace quorvale::python {

// The class's type object, made on first need (borrowed), or null with the
// error set.
PyObject* overlay_type();

}  // namespace quorvale::python
