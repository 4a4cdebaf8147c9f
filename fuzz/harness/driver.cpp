// The libFuzzer entry points of every target, and the harness's services.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "fuzz.hpp"

namespace qfuzz {

namespace {

std::map<std::string, std::uint64_t>& counts() {
  static auto* m = new std::map<std::string, std::uint64_t>;  // outlives every exit handler
  return *m;
}

bool stats_wanted() {
  static const bool wanted = std::getenv("QUORVALE_FUZZ_STATS") != nullptr;
  return wanted;
}

void print_stats() {
  std::fprintf(stderr, "== outcomes (count, name)\n");
  for (const auto& [name, count] : counts()) std::fprintf(stderr, "%10llu  %s\n", static_cast<unsigned long long>(count), name.c_str());
  std::fprintf(stderr, "== %zu distinct outcomes\n", counts().size());
}

// Writes the seeds into `dir` as seed-<name> files and exits.
[[noreturn]] void write_seeds(const char* dir) {
  Seeds s;
  seeds(s);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    std::fprintf(stderr, "%s: %s\n", dir, ec.message().c_str());
    std::exit(1);
  }
  for (const Seeds::Seed& seed : s.all()) {
    const std::string path = std::string(dir) + "/seed-" + seed.name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(seed.input.data(), 1, seed.input.size(), f) != seed.input.size() || std::fclose(f) != 0) {
      std::perror(path.c_str());
      std::exit(1);
    }
  }
  std::fprintf(stderr, "wrote %zu seeds to %s\n", s.all().size(), dir);
  std::exit(0);
}

}  // namespace

void Seeds::add(const std::string& name, std::span<const unsigned char> bytes, std::uint8_t mode) {
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
      fail(__FILE__, __LINE__, "a seed name is letters, digits, '-' and '_'");
  Seed s{name, Bytes{mode}};
  s.input.insert(s.input.end(), bytes.begin(), bytes.end());
  seeds_.push_back(std::move(s));
}

void note(std::string_view what) {
  if (stats_wanted()) ++counts()[std::string(what)];
}

void refused(std::string_view kind, std::string_view message) {
  if (!stats_wanted()) return;
  std::string name = "refused (";
  name += kind;
  name += "): ";
  bool in_digits = false;
  for (char c : message) {
    const bool digit = c >= '0' && c <= '9';
    if (!digit) name += c;
    else if (!in_digits) name += '#';
    in_digits = digit;
  }
  ++counts()[name];
}

void fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "\n==qfuzz== %s:%d: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

}  // namespace qfuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (const char* dir = std::getenv("QUORVALE_FUZZ_WRITE_SEEDS")) qfuzz::write_seeds(dir);
  if (qfuzz::stats_wanted()) std::atexit(qfuzz::print_stats);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qfuzz::Input in;
  if (size > 0) {
    in.mode = data[0];
    in.bytes.assign(data + 1, data + size);
  }
  qfuzz::run(in);
  return 0;
}

// Every refusal is a thrown exception, and with AddressSanitizer's fake
// stacks (detection of stack use after return) each throw collects them:
// several times slower for no finding a loader could make.
extern "C" const char* __asan_default_options() { return "detect_stack_use_after_return=0"; }
