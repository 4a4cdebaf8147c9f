// The phrase store: assembled by a build, read back from a stored section.
#include "phrase.hpp"

#include "blob.hpp"
#include "error.hpp"

namespace quorvale::phrase {

namespace {

constexpr std::size_t kPad = 32;
// Offsets a group holds: its start, then one end per phrase.
constexpr std::uint64_t kOffsets = kGroup + 1;

}  // namespace

Dict::Dict() : bytes_(kPad, 0) {}

void Dict::push(const unsigned char* p, std::size_t n) {
  if (n == 0 || n > kMaxLen) panic("a phrase is 1 to 32 bytes");
  if (count_ % kGroup == 0) {
    if (count_ == UINT32_MAX || bytes_.size() > UINT32_MAX) panic("the phrases fit in u32");
    bases_.push_back(static_cast<std::uint32_t>(bytes_.size()));
    offsets_.push_back(0);
  }
  bytes_.insert(bytes_.end(), p, p + n);
  offsets_.push_back(static_cast<std::uint16_t>(bytes_.size() - bases_.back()));
  ++count_;
}

void Dict::finish() {
  offsets_.resize(bases_.size() * kOffsets, 0);
  len_ = bytes_.size();
  bytes_.resize(bytes_.size() + kPad, 0);
}

std::optional<Dict> Dict::read(std::span<const unsigned char> section) {
  if (section.size() < 4) return std::nullopt;
  const std::uint32_t count = load_le32(section.data());
  const std::uint64_t groups = (std::uint64_t{count} + kGroup - 1) / kGroup;
  const std::uint64_t bases_at = 4;
  const std::uint64_t offsets_at = bases_at + 4 * groups;
  const std::uint64_t bytes_at = offsets_at + 2 * kOffsets * groups;
  if (section.size() < bytes_at) return std::nullopt;
  const unsigned char* s = section.data();
  const std::uint64_t len = section.size() - bytes_at;

  Dict d;
  d.bases_.resize(groups);
  for (std::uint64_t g = 0; g < groups; ++g) d.bases_[g] = load_le32(s + bases_at + 4 * g);
  d.offsets_.resize(groups * kOffsets);
  for (std::uint64_t k = 0; k < groups * kOffsets; ++k) d.offsets_[k] = load_le16(s + offsets_at + 2 * k);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint32_t g = i / kGroup;
    const std::uint16_t lo = d.offsets_[i + g];
    const std::uint16_t hi = d.offsets_[i + g + 1];
    // 64 bits: a base near u32::MAX must not wrap past the check.
    if (lo >= hi || std::size_t{hi} - lo > kMaxLen || std::uint64_t{d.bases_[g]} + hi > len) return std::nullopt;
  }
  d.bytes_.assign(s + bytes_at, s + section.size());
  d.bytes_.resize(d.bytes_.size() + kPad, 0);
  d.len_ = len;
  d.count_ = count;
  return d;
}

void Dict::write_to(std::vector<unsigned char>& out) const {
  const std::size_t at = out.size();
  out.resize(at + 4 + 4 * bases_.size() + 2 * offsets_.size());
  unsigned char* p = out.data() + at;
  store_le32(p, count_);
  p += 4;
  for (std::uint32_t b : bases_) {
    store_le32(p, b);
    p += 4;
  }
  for (std::uint16_t o : offsets_) {
    store_le16(p, o);
    p += 2;
  }
  out.insert(out.end(), bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(len_));
}

std::uint64_t Dict::section_len() const noexcept {
  return 4 + 4 * std::uint64_t{bases_.size()} + 2 * std::uint64_t{offsets_.size()} + len_;
}

Dict Dict::clone() const { return Dict(*this); }

}  // namespace quorvale::phrase
