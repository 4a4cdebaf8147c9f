// Big tables that are filled right after they are made: offered huge pages,
// so that neither page faults nor TLB misses dominate their use.
#pragma once

#include <sys/mman.h>

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

}  // namespace quorvale
