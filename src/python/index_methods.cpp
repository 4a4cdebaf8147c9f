#include "index_methods.hpp"

namespace quorvale::python {

BorrowedKeys keys_arg(PyObject* o, const char* name) {
  try {
    return key_batch(o);
  } catch (const PyErrorSet&) {
    add_processing_note(name);
    throw;
  }
}

bool any_null(const std::vector<Utf8Chunk>& chunks) noexcept {
  for (const Utf8Chunk& chunk : chunks) {
    if (!chunk.has_validity) continue;
    for (std::size_t i = 0; i < chunk.size(); ++i)
      if (chunk.is_null(i)) return true;
  }
  return false;
}

}  // namespace quorvale::python
