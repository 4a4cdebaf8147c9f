#include "threads.hpp"

#include <unistd.h>

namespace quorvale {

std::size_t online_processors() {
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

}  // namespace quorvale
