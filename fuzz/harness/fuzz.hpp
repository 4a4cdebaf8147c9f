// The fuzzing harness shared by every target in fuzz/targets/.
//
// A target is one file, fuzz/targets/<name>.cpp, that defines the two
// functions declared below; the driver (driver.cpp) turns them into a
// libFuzzer binary fuzz_<name>. See fuzz/README.md.
//
// Every fuzzer input is one mode byte followed by the stored bytes a loader
// reads. Mode bit RESEAL asks the target to recompute the input's checksums
// before loading it (see reseal.hpp), so that mutations reach the checks and
// queries behind the checksums; without it the checksum checks themselves
// are fuzzed. The other mode bits are the target's to use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qfuzz {

using Bytes = std::vector<unsigned char>;

inline constexpr std::uint8_t RESEAL = 0x01;

struct Input {
  std::uint8_t mode = 0;
  // The stored bytes, in a heap buffer of exactly their size, so that
  // AddressSanitizer sees any read past their end. Targets may change them
  // (resealing does).
  Bytes bytes;

  bool reseal() const noexcept { return (mode & RESEAL) != 0; }
  bool bit(unsigned k) const noexcept { return ((mode >> k) & 1) != 0; }
  std::span<const unsigned char> view() const noexcept { return bytes; }
};

// Seed inputs of a target, made from the library itself: valid stored bytes
// of every shape worth starting from.
class Seeds {
 public:
  // `name` becomes the file name (with the prefix "seed-"); `mode` is the
  // input's first byte.
  void add(const std::string& name, std::span<const unsigned char> bytes, std::uint8_t mode = RESEAL);
  void add(const std::string& name, std::string_view bytes, std::uint8_t mode = RESEAL) {
    add(name, std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()),
        mode);
  }
  struct Seed {
    std::string name;
    Bytes input;  // mode byte, then the bytes
  };
  const std::vector<Seed>& all() const noexcept { return seeds_; }

 private:
  std::vector<Seed> seeds_;
};

// ---- defined by each target ------------------------------------------------

// Loads in.bytes at every verification level its format has and exercises
// everything that loads. A refusal is fine (record it with refused()); an
// unexpected exception type, a failed check() or a sanitizer report is a
// finding.
void run(Input& in);
// The target's seed corpus (written by fuzz/make_corpus.sh).
void seeds(Seeds& out);

// ---- for targets -------------------------------------------------------------

// Counts an outcome by name. With QUORVALE_FUZZ_STATS set, the binary prints
// every name and its count when it exits: run over a corpus with -runs=0,
// this shows which loader messages and paths the corpus reaches.
void note(std::string_view what);
// Counts a refusal by its message (digits folded to '#', so that messages
// carrying sizes or addresses count once).
void refused(std::string_view kind, std::string_view message);

// A broken expectation: prints the message and aborts, which libFuzzer
// reports as a crash and saves the input.
[[noreturn]] void fail(const char* file, int line, const char* what);

}  // namespace qfuzz

#define QFUZZ_CHECK(cond)                                               \
  do {                                                                  \
    if (!(cond)) ::qfuzz::fail(__FILE__, __LINE__, "check failed: " #cond); \
  } while (0)
