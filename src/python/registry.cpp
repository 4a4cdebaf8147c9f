#include "registry.hpp"

#include "functions.hpp"
#include "py_closed_hash.hpp"
#include "py_compact_hash.hpp"
#include "py_dict_index.hpp"
#include "py_double_array.hpp"
#include "py_hashed_dict.hpp"
#include "py_overlay.hpp"
#include "py_perfect_hash.hpp"
#include "py_string_index.hpp"

namespace quorvale::python {

namespace {

Registration kind_class(kinds::Kind kind, PyObject* (*type)()) { return {kinds::of(kind).name, type, nullptr, kind}; }

}  // namespace

std::span<const Registration> registrations() {
  using kinds::Kind;
  // Order is part of the module's surface: __all__ lists the names this way.
  static const Registration table[] = {
      kind_class(Kind::StringIndex, &string_index_type),
      {"StringIndexIterator", &string_index_iterator_type, nullptr},
      kind_class(Kind::PerfectHashIndex, &perfect_hash_index_type),
      kind_class(Kind::CompactHashIndex, &compact_hash_index_type),
      kind_class(Kind::ClosedHashIndex, &closed_hash_index_type),
      kind_class(Kind::Overlay, &overlay_type),
      kind_class(Kind::DictIndex, &dict_index_type),
      {"DictIndexIterator", &dict_index_iterator_type, nullptr},
      kind_class(Kind::HashedDictIndex, &hashed_dict_index_type),
      // The last class; the module's functions follow it.
      kind_class(Kind::DoubleArrayIndex, &double_array_index_type),
      // Functions after every class.
      {"inspect", nullptr, &inspect_function},
      {"plan", nullptr, &plan_function},
      {"_cli", nullptr, &cli_function},
  };
  return std::span<const Registration>(table);
}

PyObject* class_of(kinds::Kind kind) {
  for (const Registration& r : registrations())
    if (r.kind == kind) return r.type();
  panic(std::string("no class for a ") + kinds::of(kind).name);
}

}  // namespace quorvale::python
