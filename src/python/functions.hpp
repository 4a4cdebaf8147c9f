// The module's functions, registered after the classes.
#pragma once

#include "frame.hpp"
#include "../inspect.hpp"

namespace quorvale::python {

// inspect(blob)
extern PyMethodDef inspect_function;
// _cli(args)
extern PyMethodDef cli_function;

// The dictionary inspect returns for one inspection: a new reference.
PyObject* blob_info(const inspect::BlobInfo& info);

}  // namespace quorvale::python
