#include "index_methods.hpp"

namespace quorvale::python {

PyMethodDef* method_table(std::initializer_list<std::vector<PyMethodDef>> groups) {
  auto* table = new std::vector<PyMethodDef>();  // kept for the process, as the type is
  for (const auto& group : groups) table->insert(table->end(), group.begin(), group.end());
  table->push_back({nullptr, nullptr, 0, nullptr});
  return table->data();
}

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
