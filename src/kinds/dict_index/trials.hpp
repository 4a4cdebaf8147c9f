// What the planner builds to price dictionaries over a sample of keys: the
// keys spelled in a character code, the vocabulary (symbol tables and
// phrases) trained once, and trial builds over it, each writing the bytes a
// build with that vocabulary would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "dict_index/dict_index.hpp"

namespace quorvale {
namespace charcode {
class CharCode;
}
namespace dict_index {

// A key spelled in a character code.
using Bytes = std::string_view;

// Keys per microblock, a divisor of block: the first of max(sqrt(block),
// 16)..=31 that divides it, else the largest of 32 down to 3, else 2, else
// block itself (a prime: one microblock a block).
std::uint64_t micro_for(std::uint64_t block) noexcept;

// A range's keys spelled in a character code: the codes back to back and the
// end of each.
struct CodedKeys {
  std::vector<unsigned char> bytes;
  std::vector<std::uint64_t> ends;
};
// Nothing when a key has a character outside the code.
std::optional<CodedKeys> encode_all(const charcode::CharCode& code, std::span<const Key> keys);
// Appends a range's coded keys as views of its bytes.
void views(const CodedKeys& coded, std::vector<Bytes>& out);

struct Vocabulary;
// The vocabulary of ascending distinct keys cut at `block` and `micro`, every
// suffix sampled, on up to `threads` workers; phrases are mined as for a
// corpus of `total` keys.
std::shared_ptr<const Vocabulary> train_vocabulary(std::span<const Key> keys, std::uint64_t block,
                                                   std::uint64_t micro, std::uint64_t total, std::size_t threads);
// A build over ascending distinct keys with the vocabulary's tables and
// phrases, on `threads` workers.
DictIndex build_with_vocabulary(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro,
                                std::size_t threads, const Vocabulary& vocabulary);
// A build at `block` (refused outside 1..=1024) that trains its own tables
// and takes the vocabulary's phrases.
DictIndex build_with_phrases(std::span<const Key> keys, std::uint64_t block, const Vocabulary& vocabulary);

}  // namespace dict_index
}  // namespace quorvale
