// The one string sort: keys in unsigned byte order (a proper prefix first),
// exact repeats dropped, on several threads. Any thread count gives the same
// keys in the same order. The external sort's runs, the in-memory builds
// (dictionary, string index, double array), the planner and the command
// line sort with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "pages.hpp"

namespace quorvale {

// Where one key's bytes lie in a buffer of keys.
struct KeySpan {
  std::uint32_t start;
  std::uint32_t length;
};

// The sort's working memory, kept by a caller that sorts again and again
// (an external sort's runs) so that its pages are made once. It grows to
// the largest sort made through it: 16 bytes a key.
class SortScratch {
 public:
  // At least `bytes` bytes; a shorter area is replaced (its contents are not kept).
  unsigned char* reserve(std::size_t bytes);
  std::size_t size() const noexcept { return memory_.size(); }

 private:
  Pages<unsigned char> memory_;
};

// Sorts the keys and drops repeats: `keys` is cut to its distinct keys, in
// ascending order; their bytes stay where they are. `threads`: 0 for one per
// online processor.
void sort_distinct(std::vector<std::string_view>& keys, std::size_t threads = 0);

// The same for keys laid in one buffer of `size` bytes, spans into it (each
// start below UINT32_MAX): the distinct keys' spans come first, ascending,
// and their count is returned; what follows them is unspecified.
std::size_t sort_distinct(const char* bytes, std::size_t size, std::span<KeySpan> spans, SortScratch& scratch,
                          std::size_t threads = 0);

// The same sort of keys in one buffer, with the distinct keys handed to
// visit(key) in ascending order on the calling thread as soon as they are
// in place, while worker threads still sort the keys after them. `spans`
// serves as working memory and holds nothing useful afterwards. Returns how
// many keys were handed over. A failure of the visitor (an exception) stops
// the sort and is rethrown once its workers have joined.
std::size_t sort_distinct_each(const char* bytes, std::size_t size, std::span<KeySpan> spans, SortScratch& scratch,
                               const std::function<void(std::string_view)>& visit, std::size_t threads = 0);

// The same for keys held as views: visit(key) is handed each distinct key
// in ascending order as soon as it is in place (a sort too small to share
// out runs whole first, on the calling thread, and starts no thread). Keys
// held scattered over memory cost the visitor a wait each: the workers copy
// them a few thousand at a time, in order, into buffers the visitor reads
// back to back, so the key handed over is valid during the call only.
// `keys` serves as working memory and holds nothing useful afterwards (its
// pages are given back to the system as the keys are handed over); the
// bytes it points to are not touched.
std::size_t sort_distinct_each(std::vector<std::string_view>& keys, const std::function<void(std::string_view)>& visit,
                               std::size_t threads = 0);

}  // namespace quorvale
