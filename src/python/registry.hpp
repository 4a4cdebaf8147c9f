// What the module registers, in order. Each class's binding file provides its
// type getter (created once, on first need, and kept for the process); the
// class of a kind goes by its kind's name in the table of kinds.
#pragma once

#include "frame.hpp"

#include <optional>
#include <span>

#include "kinds.hpp"

namespace quorvale::python {

struct Registration {
  const char* name;
  PyObject* (*type)();     // a class: its type object (borrowed), or null with the error set
  PyMethodDef* function;   // a function: its definition
  std::optional<kinds::Kind> kind = std::nullopt;  // the class of a kind: the kind
};

std::span<const Registration> registrations();

// The class of a kind (borrowed); null with the error set when it cannot be
// made. Panics for a kind that has no class (Mphf).
PyObject* class_of(kinds::Kind kind);

}  // namespace quorvale::python
