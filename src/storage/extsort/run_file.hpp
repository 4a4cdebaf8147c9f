// Run files of the external sort: a u64 count of keys (written last), then
// per key a u32 length and its bytes, little-endian. A run file is written
// once and read once, a merge pass or two later, so it goes around the page
// cache where the system lets it (File::set_direct), through buffers aligned
// for that, unless its sort asks for the cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "blob.hpp"

namespace quorvale::extsort {

// The path of run file `number` in a spill directory.
std::string run_path(const std::string& dir, std::uint64_t number);

// Io "extsort: a run file is corrupt".
IndexError corrupt();

struct AlignedFree {
  void operator()(char* p) const noexcept { std::free(p); }
};
// An I/O buffer of IO_BUFFER bytes aligned for direct transfers.
using IoBuffer = std::unique_ptr<char, AlignedFree>;

// One run file being written: placeholder count, records, count written last.
class RunWriter {
 public:
  // Creates the file; it must not exist. `direct`: around the page cache.
  explicit RunWriter(const std::string& path, bool direct = true);
  // Format "extsort: a key longer than 4 GiB" for a key a u32 cannot measure.
  void key(std::string_view key);
  // Writes what is buffered and the count, and closes the file.
  void finish();

 private:
  void put(const char* p, std::size_t n);

  File file_;
  IoBuffer buffer_;
  std::size_t used_ = 0;
  std::uint64_t count_ = 0;
};

// One run file being read, bounded by the count at its head.
class RunReader {
 public:
  explicit RunReader(const std::string& path, bool direct = true);
  // The next key into `key`; false at the end of the run.
  bool next(std::string& key);

 private:
  void read_exact(char* dst, std::size_t n);
  void fill();

  File file_;
  IoBuffer buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  std::uint64_t left_ = 0;  // bytes of the file not yet consumed
  std::uint64_t remaining_ = 0;
};

}  // namespace quorvale::extsort
