// Owned tables of plain elements, 2 MiB-aligned when they are 2 MiB or larger
// so that the system can back the big ones with huge pages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "error.hpp"

namespace quorvale {

inline constexpr std::size_t HUGE_PAGE = std::size_t{1} << 21;

namespace detail {

// Tables written in full as soon as they are made (a loader's copy of stored
// bytes) spend more on taking a fault on every fresh page than on the copy.
// Such a table's pages are supplied in one request, and its block, once
// released, is kept for the next one (an index opened again, or another of
// about its size) while the blocks kept stay within a bound.

// Below this a table has too few pages for either to pay.
inline constexpr std::size_t RESIDENT_MIN = std::size_t{1} << 16;

// The pages of [at, at + bytes) supplied at once. Advice only: where the
// system declines, the writes fault them in.
void supply_pages(void* at, std::size_t bytes) noexcept;
// A kept block of at least `bytes` and at most twice as many (its size in
// `capacity`), or null.
void* take_kept(std::size_t bytes, std::size_t& capacity) noexcept;
// Keeps a released block of `capacity` bytes for a later table; false when
// the bound leaves no room, and the caller frees it.
bool keep(void* block, std::size_t capacity) noexcept;
// Bytes of the blocks kept now.
std::size_t kept_bytes() noexcept;

}  // namespace detail

template <class T>
class Pages {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  Pages() noexcept = default;

  // Storage for n elements, uninitialised. Allocation failure throws
  // std::bad_alloc (a MemoryError at the Python boundary).
  static Pages allocate(std::size_t n) {
    Pages p;
    if (n == 0) return p;
    if (n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T)) panic("a table's bytes fit an address");
    std::size_t bytes = n * sizeof(T);
    void* mem = nullptr;
    if (bytes >= HUGE_PAGE) {
      if (bytes > static_cast<std::size_t>(PTRDIFF_MAX) - (HUGE_PAGE - 1)) panic("a huge page is a power of two");
      if (posix_memalign(&mem, HUGE_PAGE, bytes) != 0) mem = nullptr;
    } else {
      mem = std::malloc(bytes);
    }
    if (!mem) throw std::bad_alloc();
    p.data_ = static_cast<T*>(mem);
    p.len_ = n;
    return p;
  }

  // Storage for n elements, uninitialised, for a table the caller writes in
  // full at once: the same placement as allocate, with its pages supplied in
  // one request (or taken from a released table's block).
  static Pages allocate_resident(std::size_t n) {
    if (n == 0 || n > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T) || n * sizeof(T) < detail::RESIDENT_MIN)
      return allocate(n);
    const std::size_t bytes = n * sizeof(T);
    Pages p;
    std::size_t capacity = 0;
    if (void* kept = detail::take_kept(bytes, capacity)) {
      p.data_ = static_cast<T*>(kept);
    } else {
      p = allocate(n);
      detail::supply_pages(p.data_, bytes);
      capacity = bytes;
    }
    p.len_ = n;
    p.capacity_ = capacity;
    return p;
  }

  // Storage for n elements, all zero.
  static Pages zeroed(std::size_t n) {
    Pages p = allocate(n);
    for (std::size_t i = 0; i < n; ++i) p.data_[i] = T{};
    return p;
  }

  Pages(Pages&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        len_(std::exchange(other.len_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Pages& operator=(Pages&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      len_ = std::exchange(other.len_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;
  ~Pages() { release(); }

  std::size_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }
  // Never null: an empty table answers an aligned placeholder that is never read.
  T* data() noexcept { return data_ ? data_ : placeholder(); }
  const T* data() const noexcept { return data_ ? data_ : placeholder(); }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + len_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + len_; }
  std::span<T> span() noexcept { return {data(), len_}; }
  std::span<const T> span() const noexcept { return {data(), len_}; }

 private:
  static T* placeholder() noexcept {
    alignas(T) static unsigned char slot[sizeof(T)];
    return reinterpret_cast<T*>(slot);
  }
  void release() noexcept {
    // Both allocation paths are released by free; a resident table's block
    // may be kept for the next one instead.
    if (!(capacity_ != 0 && detail::keep(data_, capacity_))) std::free(data_);
    data_ = nullptr;
    len_ = 0;
    capacity_ = 0;
  }

  T* data_ = nullptr;
  std::size_t len_ = 0;
  std::size_t capacity_ = 0;  // bytes of a resident table's block (0: any other table)
};

}  // namespace quorvale
