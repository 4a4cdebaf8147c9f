#include "registry.hpp"

namespace quorvale::python {

std::span<const Registration> registrations() {
  // Order is part of the module's surface: __all__ lists the names this way.
  static const Registration table[] = {
      {"", nullptr, nullptr},  // placeholder so the table is never empty
  };
  return std::span<const Registration>(table, 0);
}

}  // namespace quorvale::python
