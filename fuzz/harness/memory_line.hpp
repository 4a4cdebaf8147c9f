// The memory line of a load: a load plus its first query may hold at most 8
// times the blob's bytes plus 50 MB of heap at their peak, whatever counts
// and lengths the blob claims. A target arms a MemoryLine before it loads
// and checks it after the first query (a refusal included); passing the
// line is a finding.
//
// The peak is taken from the sanitizer's malloc and free hooks: every heap
// block the process allocates while the line is armed counts, from what was
// held when it was armed. Pages mapped without malloc are not seen (the
// loaders map none; -rss_limit_mb still catches them).
#pragma once

#include <sanitizer/allocator_interface.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "fuzz.hpp"

namespace qfuzz {

namespace heap {

// Bytes held since the hooks went in (frees of older blocks may take it
// below zero: only differences count), and the most it reached.
inline std::atomic<std::int64_t> held{0};
inline std::atomic<std::int64_t> peak{0};

inline void on_malloc(const volatile void*, std::size_t size) {
  const std::int64_t now = held.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed) +
                           static_cast<std::int64_t>(size);
  std::int64_t top = peak.load(std::memory_order_relaxed);
  while (now > top && !peak.compare_exchange_weak(top, now, std::memory_order_relaxed)) {
  }
}

inline void on_free(const volatile void* p) {
  if (p && __sanitizer_get_ownership(p))
    held.fetch_sub(static_cast<std::int64_t>(__sanitizer_get_allocated_size(p)), std::memory_order_relaxed);
}

}  // namespace heap

class MemoryLine {
 public:
  explicit MemoryLine(std::size_t blob_bytes) : line_(8 * std::uint64_t{blob_bytes} + (std::uint64_t{50} << 20)) {
    static const int installed = __sanitizer_install_malloc_and_free_hooks(heap::on_malloc, heap::on_free);
    if (installed == 0) fail(__FILE__, __LINE__, "the sanitizer took no malloc hooks");
    from_ = heap::held.load(std::memory_order_relaxed);
    heap::peak.store(from_, std::memory_order_relaxed);
  }

  // The most heap held above the start since the line was armed.
  std::uint64_t peak() const {
    return static_cast<std::uint64_t>(heap::peak.load(std::memory_order_relaxed) - from_);
  }

  // A finding when the peak passed the line; `what` names the step.
  void check(const char* what) const {
    const std::uint64_t p = peak();
    if (p <= line_) return;
    static char message[256];
    std::snprintf(message, sizeof message, "%s held %llu bytes of heap at its peak, past the line of %llu", what,
                  static_cast<unsigned long long>(p), static_cast<unsigned long long>(line_));
    fail(__FILE__, __LINE__, message);
  }

 private:
  std::uint64_t line_;
  std::int64_t from_ = 0;
};

}  // namespace qfuzz
