// Big tables that are filled right after they are made: offered huge pages,
// so that neither page faults nor TLB misses dominate their use.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "pages.hpp"

namespace quorvale {

// Pages<T>::allocate(n), with the huge-page advice on tables of 2 MiB or
// more (Pages aligns those to 2 MiB). Advice only: a refusal changes nothing.
template <class T>
Pages<T> allocate_huge(std::size_t n) {
  Pages<T> p = Pages<T>::allocate(n);
  if (n * sizeof(T) >= HUGE_PAGE) ::madvise(p.data(), n * sizeof(T), MADV_HUGEPAGE);
  return p;
}

// Gives the pages of a table back to the system front to back as a build is
// done with them, so that the table and what is made from it do not peak
// together. Only whole pages inside the table are released, a few MiB at a
// time; what was given back is never read again (it would read as zeros).
class ReleasedPages {
 public:
  ReleasedPages(const void* table, std::size_t bytes) noexcept
      : start_(reinterpret_cast<std::uintptr_t>(table)), bytes_(bytes) {}
  // The first `done` bytes of the table are no longer needed.
  void operator()(std::size_t done) noexcept {
    done = std::min(done, bytes_);
    static const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const std::uintptr_t from = (start_ + released_ + page - 1) / page * page;
    const std::uintptr_t to = (start_ + done) / page * page;
    if (to < from + STEP && done < bytes_) return;
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    released_ = done;
  }

 private:
  static constexpr std::uintptr_t STEP = std::uintptr_t{4} << 20;
  std::uintptr_t start_;
  std::size_t bytes_;
  std::size_t released_ = 0;
};

// A table of plain elements that grows without copying: its pages are
// mapped anonymously and a bigger size remaps them (moving the mapping when
// it must, never its bytes). Growing so holds no second table beside the
// first, and pages never touched cost nothing, so a table may start small
// and double as it fills.
template <class T>
class GrowingPages {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  GrowingPages() noexcept = default;
  GrowingPages(GrowingPages&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
  GrowingPages& operator=(GrowingPages&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
  }
  ~GrowingPages() { release(); }

  // Room for at least n elements, the ones held kept; std::bad_alloc when
  // the system refuses.
  void grow(std::size_t n) {
    if (n <= size()) return;
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) panic("a table's bytes fit an address");
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t bytes = (n * sizeof(T) + page - 1) / page * page;
    void* p = data_ ? ::mremap(data_, bytes_, bytes, MREMAP_MAYMOVE)
                    : ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    if (bytes >= HUGE_PAGE) ::madvise(p, bytes, MADV_HUGEPAGE);
    data_ = static_cast<T*>(p);
    bytes_ = bytes;
  }

  std::size_t size() const noexcept { return bytes_ / sizeof(T); }
  bool empty() const noexcept { return bytes_ == 0; }
  // Never null: an empty table answers an aligned placeholder that is never read.
  T* data() noexcept { return data_ ? data_ : placeholder(); }
  const T* data() const noexcept { return data_ ? data_ : placeholder(); }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }

 private:
  static T* placeholder() noexcept {
    alignas(T) static unsigned char slot[sizeof(T)];
    return reinterpret_cast<T*>(slot);
  }
  void release() noexcept {
    if (data_) ::munmap(data_, bytes_);
    data_ = nullptr;
    bytes_ = 0;
  }

  T* data_ = nullptr;
  std::size_t bytes_ = 0;
};

}  // namespace quorvale
