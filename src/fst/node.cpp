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

[[noreturn]] void corrupt(const char* what, std::uint64_t addr) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "fst node at %llu: %s", static_cast<unsigned long long>(addr), what);
  throw Corrupt(buf);
}

}  // namespace

unsigned char input_code(unsigned char b) noexcept { return kCodes[b]; }

Node decode_node(std::span<const unsigned char> fst, std::uint64_t addr, std::uint64_t version) {
  Node node;
  if (addr == 0) return node;
  if (addr >= fst.size()) corrupt("address outside the bytes", addr);
  const unsigned char* b = fst.data();
  const unsigned char state = b[addr];
  node.addr_ = addr;
  node.final_ = false;

  if (state >= 0x80) {
    const unsigned code = state & 0x3F;
    const std::uint64_t stored = code == 0 ? 1 : 0;
    if (addr < 1 + stored) corrupt("node runs below the start", addr);
    node.one_input_ = stored ? b[addr - 1] : static_cast<unsigned char>(kCommonInputs[code - 1]);
    node.n_ = 1;
    if (state >= 0xC0) {
      node.form_ = NodeForm::OneNext;
      node.start_ = addr - stored;
      node.one_target_ = addr - 1 - stored;
      return node;
    }
    node.form_ = NodeForm::One;
    const std::uint64_t p = addr - 1 - stored;
    const unsigned pack = b[p];
    const unsigned t = pack >> 4, o = pack & 0x0F;
    if (t < 1 || t > 8 || o > 8) corrupt("bad width", addr);
    if (p < t + o) corrupt("node runs below the start", addr);
    node.t_ = static_cast<unsigned char>(t);
    node.o_ = static_cast<unsigned char>(o);
    node.start_ = p - t - o;
    node.one_output_ = read_le(b + node.start_, o);
    node.one_target_ = node.resolve(read_le(b + p - t, t));
    return node;
  }

  node.form_ = NodeForm::Multi;
  node.final_ = (state & 0x40) != 0;
  std::uint64_t n = state & 0x3F;
  std::uint64_t k = 1;
  if (n == 0) {
    if (addr < 1) corrupt("node runs below the start", addr);
    n = b[addr - 1];
    if (n == 1) n = 256;
    k = 2;
  }
  if (addr < k) corrupt("node runs below the start", addr);
  const std::uint64_t p = addr - k;
  const unsigned pack = b[p];
  const unsigned t = pack >> 4, o = pack & 0x0F;
  if (t > 8 || o > 8 || (n > 0 && t == 0)) corrupt("bad width", addr);
  const std::uint64_t index = (version >= 2 && n > 32) ? 256 : 0;
  const std::uint64_t span = k + index + n + n * (t + o) + (node.final_ ? o : 0);
  if (span > addr) corrupt("node runs below the start", addr);
  const std::uint64_t q = p - index;
  node.n_ = static_cast<unsigned>(n);
  node.t_ = static_cast<unsigned char>(t);
  node.o_ = static_cast<unsigned char>(o);
  node.start_ = addr - span;
  node.index_ = index ? b + q : nullptr;
  node.inputs_ = b + q - n;
  node.deltas_ = b + q - n - n * t;
  node.outputs_ = b + q - n - n * t - n * o;
  if (node.final_) node.final_output_ = read_le(b + node.start_, o);
  return node;
}

}  // namespace quorvale::fst
