// A scratch directory for targets whose loaders read files: in
// QUORVALE_FUZZ_SCRATCH, else in /dev/shm (files in memory: several times
// the executions a disk gives), else in the temporary directory. One per
// process, removed when it exits normally (a crash leaves it behind).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>

#include "fuzz.hpp"

namespace qfuzz {

// The directory qfuzz-<name>.<pid>; `name` is fixed by the first call.
inline const std::string& scratch(const char* name) {
  namespace fs = std::filesystem;
  static const std::string* dir = [name] {
    fs::path base = fs::temp_directory_path();
    std::error_code ec;
    if (const char* s = std::getenv("QUORVALE_FUZZ_SCRATCH")) base = s;
    else if (fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) base = "/dev/shm";
    auto* d = new std::string((base / ("qfuzz-" + std::string(name) + "." + std::to_string(::getpid()))).string());
    fs::remove_all(*d);
    fs::create_directories(*d);
    std::atexit([] { std::error_code ignored; fs::remove_all(*dir, ignored); });
    return d;
  }();
  return *dir;
}

inline void write_file(const std::string& path, std::span<const unsigned char> bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  QFUZZ_CHECK(f != nullptr);
  QFUZZ_CHECK(bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
  QFUZZ_CHECK(std::fclose(f) == 0);
}

}  // namespace qfuzz
