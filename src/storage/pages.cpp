#include "pages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define QV_HIDE(at, len) ASAN_POISON_MEMORY_REGION(at, len)
#define QV_SHOW(at, len) ASAN_UNPOISON_MEMORY_REGION(at, len)
#else
#define QV_HIDE(at, len) ((void)(at), (void)(len))
#define QV_SHOW(at, len) ((void)(at), (void)(len))
#endif

namespace quorvale::detail {

namespace {

// At most this many blocks and bytes are kept: the tables of an index of a
// few 10^7 keys, so that a process that drops an index gives back the
// memory of anything bigger.
constexpr std::size_t KEPT_BLOCKS = 8;
constexpr std::size_t KEPT_BYTES = std::size_t{16} << 20;

// A kept block holds its own size in its first word. A slot is claimed by
// exchange, so a block is never held by two takers, and nothing here locks
// (a process forked while another thread keeps or takes a block finds the
// slots usable).
std::array<std::atomic<void*>, KEPT_BLOCKS> slots{};
std::atomic<std::size_t> kept_total{0};

std::size_t size_of(void* block) noexcept {
  std::size_t capacity;
  std::memcpy(&capacity, block, sizeof capacity);
  return capacity;
}

}  // namespace

void supply_pages([[maybe_unused]] void* at, [[maybe_unused]] std::size_t bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
  // The pages wholly inside the table: a partial one at either end, which
  // it may share, faults in on its first write.
  static const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(at) + page - 1) & ~(page - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(at) + bytes) & ~(page - 1);
  if (end > first) ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#endif
}

void* take_kept(std::size_t bytes, std::size_t& capacity) noexcept {
  if (kept_total.load(std::memory_order_relaxed) == 0) return nullptr;
  for (std::atomic<void*>& slot : slots) {
    if (slot.load(std::memory_order_relaxed) == nullptr) continue;
    void* block = slot.exchange(nullptr, std::memory_order_acquire);
    if (block == nullptr) continue;
    const std::size_t size = size_of(block);
    if (size >= bytes && size / 2 <= bytes) {
      kept_total.fetch_sub(size, std::memory_order_relaxed);
      QV_SHOW(block, size);
      capacity = size;
      return block;
    }
    void* none = nullptr;
    if (!slot.compare_exchange_strong(none, block, std::memory_order_release)) {
      // Another block took the slot meanwhile: this one goes back to the system.
      kept_total.fetch_sub(size, std::memory_order_relaxed);
      QV_SHOW(block, size);
      std::free(block);
    }
  }
  return nullptr;
}

bool keep(void* block, std::size_t capacity) noexcept {
  if (capacity > KEPT_BYTES || capacity < sizeof(std::size_t)) return false;
  if (kept_total.fetch_add(capacity, std::memory_order_relaxed) + capacity > KEPT_BYTES) {
    kept_total.fetch_sub(capacity, std::memory_order_relaxed);
    return false;
  }
  std::memcpy(block, &capacity, sizeof capacity);
  // A kept block is not to be read: the sanitizer sees a late reader of the
  // table that held it as it would see one of freed memory.
  QV_HIDE(static_cast<unsigned char*>(block) + sizeof capacity, capacity - sizeof capacity);
  for (std::atomic<void*>& slot : slots) {
    void* none = nullptr;
    if (slot.compare_exchange_strong(none, block, std::memory_order_release)) return true;
  }
  QV_SHOW(block, capacity);
  kept_total.fetch_sub(capacity, std::memory_order_relaxed);
  return false;
}

std::size_t kept_bytes() noexcept { return kept_total.load(std::memory_order_relaxed); }

}  // namespace quorvale::detail
