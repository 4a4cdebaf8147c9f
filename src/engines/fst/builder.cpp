#include "fst/builder.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "fst/fst.hpp"
#include "fst/node.hpp"

namespace quorvale::fst::detail {
namespace {

unsigned width_of(std::uint64_t v) noexcept {
  unsigned w = 0;
  while (v != 0) {
    ++w;
    v >>= 8;
  }
  return w;
}

std::uint64_t mix(std::uint64_t h, std::uint64_t v) noexcept {
  h ^= v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2);
  h *= 0xBF58476D1CE4E5B9ull;
  return h ^ (h >> 31);
}

std::uint64_t hash_node(const BuildNode& node) noexcept {
  std::uint64_t h = mix(node.final ? 1 : 0, node.final_output);
  for (const BuildTrans& t : node.trans) h = mix(mix(h, t.input), mix(t.output, t.target));
  return h;
}

bool same_node(const BuildNode& a, const BuildNode& b) noexcept {
  return a.final == b.final && a.final_output == b.final_output && a.trans == b.trans;
}

}  // namespace

// Suffix sharing: a fixed table of buckets, each remembering the two most
// recently used written nodes that hashed to it. Its memory is bounded
// whatever the number of keys; a node it forgot is merely written again.
struct BuilderCore::Registry {
  static constexpr std::size_t kBuckets = std::size_t(1) << 15;
  static constexpr std::size_t kMaxTransitions = 64;  // larger nodes rarely repeat
  struct Entry {
    bool used = false;
    std::uint64_t hash = 0;
    std::uint64_t addr = 0;
    BuildNode node;
  };
  std::vector<std::array<Entry, 2>> buckets{kBuckets};
};

BuilderCore::BuilderCore() : registry_(new Registry) {
  stack_.resize(1);
  put_uint(kVersion, 8);
  put_uint(kMapType, 8);
}

BuilderCore::BuilderCore(BuilderCore&&) noexcept = default;
BuilderCore& BuilderCore::operator=(BuilderCore&&) noexcept = default;
BuilderCore::~BuilderCore() = default;

std::span<const unsigned char> BuilderCore::take() noexcept {
  taken_.swap(staging_);
  staging_.clear();
  crc_.update(taken_);
  return taken_;
}

void BuilderCore::put_uint(std::uint64_t v, unsigned width) {
  for (unsigned i = 0; i < width; ++i) {
    staging_.push_back(static_cast<unsigned char>(v));
    v >>= 8;
  }
  pos_ += width;
}

void BuilderCore::insert(std::span<const unsigned char> key, std::uint64_t value) {
  std::size_t prefix = 0;
  if (has_last_key_) {
    const std::size_t common = std::min(key.size(), last_.size());
    while (prefix < common && key[prefix] == last_[prefix]) ++prefix;
    const bool greater = prefix < common ? key[prefix] > last_[prefix] : key.size() > last_.size();
    if (!greater) {
      throw Error(Error::Kind::Fst, key.size() == last_.size() && prefix == common
                                        ? "fst key inserted twice"
                                        : "fst keys out of order: a key below the previous one");
    }
  }
  freeze_below(prefix);

  // Keep the common prefix's outputs no larger than the new value, pushing
  // the excess one node down.
  for (std::size_t i = 0; i < prefix; ++i) {
    Unfinished& u = stack_[i];
    const std::uint64_t common = std::min(u.last_output, value);
    const std::uint64_t add = u.last_output - common;
    u.last_output = common;
    value -= common;
    if (add != 0) {
      Unfinished& next = stack_[i + 1];
      for (BuildTrans& t : next.node.trans) t.output += add;
      if (next.node.final) next.node.final_output += add;
      if (next.has_last) next.last_output += add;
    }
  }

  if (stack_.size() < key.size() + 1) stack_.resize(key.size() + 1);
  if (key.size() == prefix) {
    // Only the empty key, inserted first, ends on the root.
    stack_[prefix].node.final = true;
    stack_[prefix].node.final_output = value;
  } else {
    Unfinished& top = stack_[prefix];
    top.has_last = true;
    top.last_input = key[prefix];
    top.last_output = value;
    for (std::size_t j = prefix + 1; j <= key.size(); ++j) {
      Unfinished& u = stack_[j];
      u.node.final = false;
      u.node.final_output = 0;
      u.node.trans.clear();
      u.has_last = j < key.size();
      u.last_input = u.has_last ? key[j] : 0;
      u.last_output = 0;
    }
    stack_[key.size()].node.final = true;
  }
  depth_ = key.size() + 1;
  last_.assign(key.begin(), key.end());
  has_last_key_ = true;
  ++len_;
}

void BuilderCore::freeze_below(std::size_t depth) {
  for (std::size_t i = depth_; i-- > depth + 1;) {
    const std::uint64_t addr = compile(stack_[i].node);
    Unfinished& parent = stack_[i - 1];
    parent.node.trans.push_back({parent.last_output, addr, parent.last_input});
    parent.has_last = false;
  }
  depth_ = depth + 1;
}

void BuilderCore::finish_nodes() {
  freeze_below(0);
  const BuildNode& root = stack_[0].node;
  if (root.final && root.trans.empty() && root.final_output == 0) {
    root_ = 0;  // only the empty key: the root is the empty final node
  } else {
    root_ = write_node(root);
  }
  put_uint(len_, 8);
  put_uint(root_, 8);
}

void BuilderCore::finish_checksum() { put_uint(mask_crc(crc_.value()), 4); }

std::uint64_t BuilderCore::compile(const BuildNode& node) {
  if (node.final && node.trans.empty() && node.final_output == 0) return 0;
  if (node.trans.size() > Registry::kMaxTransitions) return write_node(node);
  const std::uint64_t h = hash_node(node);
  auto& bucket = registry_->buckets[h & (Registry::kBuckets - 1)];
  for (std::size_t way = 0; way < 2; ++way) {
    Registry::Entry& e = bucket[way];
    if (e.used && e.hash == h && same_node(e.node, node)) {
      const std::uint64_t addr = e.addr;
      if (way == 1) std::swap(bucket[0], bucket[1]);
      return addr;
    }
  }
  const std::uint64_t addr = write_node(node);
  std::swap(bucket[0], bucket[1]);
  Registry::Entry& e = bucket[0];
  e.used = true;
  e.hash = h;
  e.addr = addr;
  e.node.final = node.final;
  e.node.final_output = node.final_output;
  e.node.trans.assign(node.trans.begin(), node.trans.end());
  return addr;
}

std::uint64_t BuilderCore::write_node(const BuildNode& node) {
  const std::uint64_t start = pos_;
  const std::size_t n = node.trans.size();
  auto delta_of = [start](const BuildTrans& t) { return t.target == 0 ? 0 : start - t.target; };

  if (!node.final && n == 1) {
    const BuildTrans& t = node.trans[0];
    const unsigned char code = input_code(t.input);
    if (t.output == 0 && t.target != 0 && t.target + 1 == start) {
      if (code == 0) staging_.push_back(t.input);
      staging_.push_back(static_cast<unsigned char>(0xC0 | code));
      pos_ += code == 0 ? 2 : 1;
      return pos_ - 1;
    }
    const std::uint64_t d = delta_of(t);
    const unsigned tw = std::max(1u, width_of(d));
    const unsigned ow = width_of(t.output);
    put_uint(t.output, ow);
    put_uint(d, tw);
    staging_.push_back(static_cast<unsigned char>(tw << 4 | ow));
    if (code == 0) staging_.push_back(t.input);
    staging_.push_back(static_cast<unsigned char>(0x80 | code));
    pos_ += code == 0 ? 3 : 2;
    return pos_ - 1;
  }

  std::uint64_t any_delta = 0, any_output = node.final ? node.final_output : 0;
  for (const BuildTrans& t : node.trans) {
    any_delta |= delta_of(t);
    any_output |= t.output;
  }
  const unsigned tw = n == 0 ? 0 : std::max(1u, width_of(any_delta));
  const unsigned ow = width_of(any_output);
  const std::size_t before = staging_.size();
  if (node.final) put_uint(node.final_output, ow);
  for (std::size_t i = n; i-- > 0;) put_uint(node.trans[i].output, ow);
  for (std::size_t i = n; i-- > 0;) put_uint(delta_of(node.trans[i]), tw);
  for (std::size_t i = n; i-- > 0;) staging_.push_back(node.trans[i].input);
  if (n > 32) {
    const std::size_t at = staging_.size();
    staging_.resize(at + 256, 255);
    for (std::size_t i = 0; i < n; ++i) staging_[at + node.trans[i].input] = static_cast<unsigned char>(i);
  }
  staging_.push_back(static_cast<unsigned char>(tw << 4 | ow));
  if (n == 0 || n >= 64) staging_.push_back(static_cast<unsigned char>(n == 256 ? 1 : n));
  staging_.push_back(static_cast<unsigned char>((node.final ? 0x40 : 0) | (n >= 1 && n <= 63 ? n : 0)));
  // put_uint already counted its bytes; count the rest.
  const std::size_t written = staging_.size() - before;
  const std::size_t counted = (node.final ? ow : 0) + n * (ow + tw);
  pos_ += written - counted;
  return pos_ - 1;
}

}  // namespace quorvale::fst::detail
