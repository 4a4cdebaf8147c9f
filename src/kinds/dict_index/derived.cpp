// The samples, tie resolver and raw routing table a dictionary derives from
// its heads, each on first need.
#include <algorithm>

#include "dict_index/layout.hpp"

namespace quorvale::dict_index {

Derived::Derived(std::uint64_t blocks)
    : blocks_(blocks),
      chunks_((blocks >> CHUNK_SHIFT) + ((blocks & ((std::uint64_t{1} << CHUNK_SHIFT) - 1)) != 0)),
      // Only the chunks a search reaches are ever written: the rest of the
      // table stays untouched address space.
      samples_(Pages<std::uint64_t>::allocate(static_cast<std::size_t>(blocks))),
      ready_(std::make_unique<std::atomic<bool>[]>(static_cast<std::size_t>(chunks_))) {
  if (blocks == 0) complete_.store(true, std::memory_order_relaxed);
}

void Derived::derive_locked(const dict_index::Layout& d, std::uint64_t chunk) const {
  if (ready_[chunk].load(std::memory_order_relaxed)) return;
  const std::uint64_t lo = chunk << CHUNK_SHIFT;
  const std::uint64_t hi = std::min(blocks_, lo + (std::uint64_t{1} << CHUNK_SHIFT));
  derive_samples(d.heads.bytes(), d.head_ends, lo, hi, d.head_prefix, samples_.data());
  ready_[chunk].store(true, std::memory_order_release);
  if (++derived_chunks_ == chunks_) complete_.store(true, std::memory_order_release);
}

void Derived::derive_chunk(const dict_index::Layout& d, std::uint64_t chunk) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  derive_locked(d, chunk);
}

std::span<const std::uint64_t> Derived::all(const dict_index::Layout& d) const {
  if (!complete_.load(std::memory_order_acquire)) {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (std::uint64_t c = 0; c < chunks_; ++c) derive_locked(d, c);
  }
  return {samples_.data(), static_cast<std::size_t>(blocks_)};
}

const ties::Ties* Derived::ties(const dict_index::Layout& d) const {
  std::call_once(ties_once_, [&] { ties_ = derive_ties(d); });
  return ties_.get();
}

const RawRoute* Derived::raw(const dict_index::Layout& d) const {
  std::call_once(raw_once_, [&] { raw_ = d.raw_route(); });
  return raw_.get();
}

}  // namespace quorvale::dict_index
