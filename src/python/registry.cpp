#include "registry.hpp"

#include "closed_hash.hpp"
#include "compact_hash.hpp"
#include "dict_index.hpp"
#include "double_array.hpp"
#include "functions.hpp"
#include "hashed_dict.hpp"
#include "overlay.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"

namespace quorvale::python {

std::span<const Registration> registrations() {
  // Order is part of the module's surface: __all__ lists the names this way.
  static const Registration table[] = {
      {"StringIndex", &string_index_type, nullptr},
      {"StringIndexIterator", &string_index_iterator_type, nullptr},
      {"PerfectHashIndex", &perfect_hash_index_type, nullptr},
      {"CompactHashIndex", &compact_hash_index_type, nullptr},
      {"ClosedHashIndex", &closed_hash_index_type, nullptr},
      {"Overlay", &overlay_type, nullptr},
      {"DictIndex", &dict_index_type, nullptr},
      {"DictIndexIterator", &dict_index_iterator_type, nullptr},
      {"HashedDictIndex", &hashed_dict_index_type, nullptr},
      // The last class; the module's functions follow it.
      {"DoubleArrayIndex", &double_array_index_type, nullptr},
      // Functions after every class.
      {"inspect", nullptr, &inspect_function},
      {"plan", nullptr, &plan_function},
      {"_cli", nullptr, &cli_function},
  };
  return std::span<const Registration>(table);
}

}  // namespace quorvale::python
