// Helpers shared by the build's files; not part of the dictionary's interface.
#pragma once

#include "dict_index/layout.hpp"
#include "dict_index/internal.hpp"

namespace quorvale {
namespace dict_index {

inline ByteSpan as_span(Key k) noexcept { return {reinterpret_cast<const unsigned char*>(k.data()), k.size()}; }

inline Key as_key(const unsigned char* p, std::size_t n) noexcept { return {reinterpret_cast<const char*>(p), n}; }

}  // namespace dict_index
}  // namespace quorvale
