// Helpers shared by the files of the dictionary unit; not part of its
// interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dict_index/dict_index.hpp"

namespace quorvale {
namespace dict_index {

inline ByteSpan as_bytes(const std::string& s) noexcept {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// Appends the characters that the code bytes spell, stopping once at least
// `limit` bytes are out; false at a code byte that names no character or a
// lead whose second byte is missing.
bool spell_into(const charcode::CharCode& code, ByteSpan coded, std::string& out, std::size_t limit);

}  // namespace dict_index
}  // namespace quorvale
