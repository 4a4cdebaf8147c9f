#include "fst/node.hpp"

#include <array>
#include <cstdio>
#include <string>

namespace quorvale::fst {
namespace {

constexpr std::array<unsigned char, 256> make_codes() {
  std::array<unsigned char, 256> codes{};
  for (unsigned c = 0; c < 63; ++c) codes[static_cast<unsigned char>(kCommonInputs[c])] = static_cast<unsigned char>(c + 1);
  return codes;
}
constexpr std::array<unsigned char, 256> kCodes = make_codes();

}  // namespace

[[noreturn]] void node_corrupt(const char* what, std::uint64_t addr) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "fst node at %llu: %s", static_cast<unsigned long long>(addr), what);
  throw Corrupt(buf);
}

unsigned char input_code(unsigned char b) noexcept { return kCodes[b]; }

}  // namespace quorvale::fst
