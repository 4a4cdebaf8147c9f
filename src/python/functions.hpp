// The module's functions, registered after the classes.
#pragma once

#include "frame.hpp"
#include "estimate.hpp"
#include "inspect.hpp"

namespace quorvale::python {

// inspect(blob)
extern PyMethodDef inspect_function;
// plan(keys, *, reverse=False, ordered=False, prefix=False, fuzzy=False, exact=False, objective=...)
extern PyMethodDef plan_function;
// _cli(args)
extern PyMethodDef cli_function;

// The dictionary inspect returns for one inspection: a new reference.
PyObject* blob_info(const inspect::BlobInfo& info);

// The objective argument of plan (null when absent: memory). Raises with the
// note naming the argument.
Objective objective_of(PyObject* o);
// The dictionaries plan returns for one estimate and for the whole plan: new
// references.
PyObject* estimate_dict(const estimate::Estimate& e, const estimate::Plan& plan);
PyObject* plan_dict(const estimate::Plan& plan);

}  // namespace quorvale::python
