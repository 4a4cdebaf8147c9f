// What the module registers, in order. Each class's binding file provides its
// type getter (created once, on first need, and kept for the process).
#pragma once

#include "frame.hpp"

#include <span>

namespace quorvale::python {

struct Registration {
  const char* name;
  PyObject* (*type)();     // a class: its type object (borrowed), or null with the error set
  PyMethodDef* function;   // a function: its definition
};

std::span<const Registration> registrations();

}  // namespace quorvale::python
