// The extension module quorvale._core: multi-phase initialisation whose exec
// slot registers every class and function, in a fixed order.
#include "frame.hpp"
#include "registry.hpp"

namespace quorvale::python {
namespace {

int module_exec(PyObject* module) {
  return boundary_int([&] {
    if (!PyModule_Check(module)) {
      std::string message = "'";
      message += type_name(module);
      message += "' object cannot be converted to 'PyModule'";
      raise_type_error(message);
    }
    // Present even before the first name is added, so it always lists what is here.
    if (!PyObject_HasAttrString(module, "__all__")) {
      Ref all = Ref::check(PyList_New(0));
      if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_error_set();
    }
    for (const Registration& r : registrations()) {
      if (r.type) {
        PyObject* type = r.type();
        if (!type) throw_error_set();
        Py_INCREF(type);
        add_to_module(module, r.name, type);
      } else {
        Ref modname = Ref::check(PyModule_GetNameObject(module));
        add_to_module(module, r.name, PyCFunction_NewEx(r.function, module, modname.get()));
      }
    }
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
#ifdef Py_MOD_GIL_NOT_USED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvale::python

PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&quorvale::python::module_def); }
