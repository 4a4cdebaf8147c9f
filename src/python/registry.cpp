#include "registry.hpp"

#include "closed_hash.hpp"
#include "compact_hash.hpp"
#include "perfect_hash.hpp"

namespace quorvale::python {

std::span<const Registration> registrations() {
  // Order is part of the module's surface: __all__ lists the names this way.
  static const Registration table[] = {
      {"PerfectHashIndex", &perfect_hash_index_type, nullptr},
      {"CompactHashIndex", &compact_hash_index_type, nullptr},
      {"ClosedHashIndex", &closed_hash_index_type, nullptr},
  };
  return std::span<const Registration>(table);
}

}  // namespace quorvale::python
