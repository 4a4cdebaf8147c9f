#include "fst/builder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
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

}  // namespace

// Suffix sharing: a fixed table of buckets, each remembering the two most
// recently used written nodes that hashed to it. Its memory is bounded
// whatever the number of keys; a node it forgot is merely written again.
//
// A bucket is two cache lines holding both ways whole: hashes, addresses and
// the nodes' contents, so that a lookup or a registration touches one pair of
// adjacent lines. Nodes of up to two transitions, nearly all of them, keep
// their transitions in the bucket; larger ones in a list of their own.
//
// Most nodes are known to be new before they are looked up: a node above
// one written just now points to it, and no registered node can. Such a
// node is registered a little later instead, its bucket fetched meanwhile,
// so that the build does not wait on the table's memory. Nothing changes
// but the timing: a bucket's operations still happen in their order (a
// lookup first registers what is pending for its bucket), and operations
// on different buckets do not meet.
//
// A node found again is most often followed by the parent it had the time
// before: each way remembers the bucket of the node compiled right after
// its own, and a find fetches that bucket ahead once the same bucket
// followed the node twice in a row (keys without shared suffixes would
// fetch at random otherwise). A wrong guess costs one fetch and changes nothing else.
struct BuilderCore::Registry {
  static constexpr std::size_t kBuckets = std::size_t(1) << 15;
  static constexpr std::size_t kMaxTransitions = 64;  // larger nodes rarely repeat
  static constexpr std::size_t kInline = 2;
  static constexpr std::size_t kPending = 32;
  static constexpr std::uint32_t kDone = UINT32_MAX;

  // A registered node's contents; transitions past kInline live in a list
  // of `lists`, which moves with the contents from way to way.
  struct Content {
    std::uint64_t final_output;
    std::uint64_t output[kInline];
    std::uint64_t target[kInline];
    std::uint32_t list;  // when len > kInline
    unsigned char len;   // at most kMaxTransitions
    unsigned char input[kInline];
    bool final;
  };
  static_assert(kMaxTransitions <= UCHAR_MAX);
  struct alignas(64) Bucket {
    std::uint32_t tag[2];   // the hash's high half: most unequal nodes fail on it
    std::uint32_t next[2];  // the bucket of the node compiled after this one, last time
    std::uint64_t addr[2];  // 0: the way is empty (no written node has address 0)
    Content content[2];
  };
  static_assert(sizeof(Bucket) == 128);
  struct Pending {
    std::uint32_t bucket = kDone;
    std::uint64_t hash = 0;
    std::uint64_t addr = 0;
    Content content{};
  };

  std::unique_ptr<Bucket[]> buckets{new Bucket[kBuckets]()};
  // Lists of the nodes of more than kInline transitions; a forgotten node's
  // list is used again (last freed, first used: its memory is likely cached).
  std::vector<std::vector<BuildTrans>> lists;
  std::vector<std::uint32_t> free_lists;
  std::array<Pending, kPending> pending{};
  std::size_t first = 0;  // the oldest pending entry
  std::size_t count = 0;  // entries from `first` on, registered ones among them
  // How many pending entries wait on buckets of each low-bits class: a
  // lookup scans the queue only when its class has one.
  static constexpr std::size_t kClasses = 4096;
  std::array<unsigned char, kClasses> waiting{};

  void set(Content& c, const BuildNode& node) {
    c.final = node.final;
    c.final_output = node.final_output;
    c.len = static_cast<unsigned char>(node.trans.size());
    if (c.len > kInline) {
      if (free_lists.empty()) {
        c.list = static_cast<std::uint32_t>(lists.size());
        lists.emplace_back();
      } else {
        c.list = free_lists.back();
        free_lists.pop_back();
      }
      lists[c.list].assign(node.trans.begin(), node.trans.end());
      return;
    }
    for (std::size_t i = 0; i < c.len; ++i) {
      c.input[i] = node.trans[i].input;
      c.output[i] = node.trans[i].output;
      c.target[i] = node.trans[i].target;
    }
  }
  bool holds(const Content& c, const BuildNode& node) const noexcept {
    if (c.final != node.final || c.final_output != node.final_output || c.len != node.trans.size()) return false;
    if (c.len > kInline) return std::equal(node.trans.begin(), node.trans.end(), lists[c.list].begin());
    for (std::size_t i = 0; i < c.len; ++i) {
      const BuildTrans& t = node.trans[i];
      if (c.input[i] != t.input || c.output[i] != t.output || c.target[i] != t.target) return false;
    }
    return true;
  }

  static std::uint32_t tag_of(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash >> 32); }
  // Marks a guess of `next` that came true the time before.
  static constexpr std::uint32_t kSure = std::uint32_t{1} << 31;
  static_assert(kBuckets <= kSure);

  // Notes the bucket compiled after a node in its way's `next`.
  static void note(std::uint32_t* next, std::size_t bucket) noexcept {
    const auto b = static_cast<std::uint32_t>(bucket);
    *next = (*next & ~kSure) == b ? b | kSure : b;
  }

  // The address of a registered node equal to `node`, or 0; a find in way 1
  // moves it to way 0. On a find, `*link` is where to note the bucket of the
  // node compiled next, whose guess is fetched now.
  std::uint64_t find(std::size_t bucket, std::uint64_t hash, const BuildNode& node, std::uint32_t** link) {
    settle(bucket);
    Bucket& b = buckets[bucket];
    const std::uint32_t tag = tag_of(hash);
    for (unsigned way = 0; way < 2; ++way) {
      if (b.addr[way] != 0 && b.tag[way] == tag && holds(b.content[way], node)) {
        const std::uint64_t addr = b.addr[way];
        if (b.next[way] & kSure) {
          const char* line = reinterpret_cast<const char*>(&buckets[b.next[way] & ~kSure]);
          __builtin_prefetch(line);
          __builtin_prefetch(line + 64);
        }
        if (way == 1) swap_ways(bucket);
        *link = &b.next[0];
        return addr;
      }
    }
    return 0;
  }

  // Registers a node at once (its bucket was just read).
  void add(std::size_t bucket, std::uint64_t hash, std::uint64_t addr, const BuildNode& node) {
    enter(bucket, hash, addr);
    set(buckets[bucket].content[0], node);
  }

  // Registers a node later; its bucket is fetched now.
  void add_later(std::size_t bucket, std::uint64_t hash, std::uint64_t addr, const BuildNode& node) {
    if (count == kPending) retire_first();
    Pending& p = pending[(first + count++) % kPending];
    p.bucket = static_cast<std::uint32_t>(bucket);
    ++waiting[bucket % kClasses];
    p.hash = hash;
    p.addr = addr;
    set(p.content, node);
    const char* line = reinterpret_cast<const char*>(&buckets[bucket]);
    __builtin_prefetch(line, 1);
    __builtin_prefetch(line + 64, 1);
  }

 private:
  // The new node takes way 0 (its contents are the caller's to set); way 0
  // moves to way 1, whose node is forgotten.
  void enter(std::size_t bucket, std::uint64_t hash, std::uint64_t addr) {
    Bucket& b = buckets[bucket];
    if (b.addr[1] != 0 && b.content[1].len > kInline) free_lists.push_back(b.content[1].list);
    b.tag[1] = b.tag[0];
    b.next[1] = b.next[0];
    b.addr[1] = b.addr[0];
    b.content[1] = b.content[0];
    b.tag[0] = tag_of(hash);
    b.next[0] = static_cast<std::uint32_t>(bucket);  // no guess yet: its own, already at hand
    b.addr[0] = addr;
  }

  void swap_ways(std::size_t bucket) noexcept {
    Bucket& b = buckets[bucket];
    std::swap(b.tag[0], b.tag[1]);
    std::swap(b.next[0], b.next[1]);
    std::swap(b.addr[0], b.addr[1]);
    std::swap(b.content[0], b.content[1]);
  }

  void apply(Pending& p) {
    enter(p.bucket, p.hash, p.addr);
    buckets[p.bucket].content[0] = p.content;
    --waiting[p.bucket % kClasses];
    p.bucket = kDone;
  }

  void retire_first() {
    Pending& p = pending[first];
    if (p.bucket != kDone) apply(p);
    first = (first + 1) % kPending;
    --count;
  }

  // Registers, in order, what is pending for this bucket.
  void settle(std::size_t bucket) {
    if (waiting[bucket % kClasses] == 0) return;
    for (std::size_t i = 0; i < count; ++i) {
      Pending& p = pending[(first + i) % kPending];
      if (p.bucket == bucket) apply(p);
    }
  }
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
    // Eight bytes at a time: keys in order share long stems.
    for (; prefix + 8 <= common; prefix += 8) {
      std::uint64_t a, b;
      std::memcpy(&a, key.data() + prefix, 8);
      std::memcpy(&b, last_.data() + prefix, 8);
      if (a != b) {
        const std::uint64_t x = a ^ b;
        prefix += static_cast<std::size_t>(std::endian::native == std::endian::little ? std::countr_zero(x) : std::countl_zero(x)) / 8;
        break;
      }
    }
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
  // the excess one node down. Level `prefix` is now the deepest: it has no
  // unwritten transition.
  for (std::size_t i = 0; i < prefix; ++i) {
    Unfinished& u = stack_[i];
    const std::uint64_t common = std::min(u.last_output, value);
    const std::uint64_t add = u.last_output - common;
    u.last_output = common;
    value -= common;
    if (add != 0) {
      Unfinished& next = stack_[i + 1];
      const std::size_t end = i + 1 < prefix ? stack_[i + 2].first() : trans_.size();
      for (std::size_t t = next.first(); t < end; ++t) trans_[t].output += add;
      if (next.final()) next.final_output += add;
      if (i + 1 < prefix) next.last_output += add;
    }
  }

  if (stack_.size() < key.size() + 1) stack_.resize(key.size() + 1);
  if (key.size() == prefix) {
    // Only the empty key, inserted first, ends on the root.
    stack_[prefix].first_final |= 1;
    stack_[prefix].final_output = value;
  } else {
    stack_[prefix].last_output = value;
    const Unfinished fresh{0, 0, std::uint64_t{trans_.size()} << 1};
    std::fill(stack_.begin() + static_cast<std::ptrdiff_t>(prefix) + 1,
              stack_.begin() + static_cast<std::ptrdiff_t>(key.size()) + 1, fresh);
    stack_[key.size()].first_final |= 1;
  }
  depth_ = key.size() + 1;
  last_.assign(key.begin(), key.end());
  has_last_key_ = true;
  ++len_;
}

// Writes the levels below `depth` deepest first, each becoming the written
// transition of the level above it on the last key's byte there.
void BuilderCore::freeze_below(std::size_t depth) {
  link_ = nullptr;  // a node's parent is compiled next only within one freeze
  std::size_t end = trans_.size();  // of the deepest level's transitions
  for (std::size_t i = depth_; i-- > depth + 1;) {
    const Unfinished& u = stack_[i];
    const std::size_t first = u.first();
    const std::uint64_t addr =
        compile(BuildNode{u.final(), u.final_output, std::span<const BuildTrans>(trans_.data() + first, end - first)});
    // Its transitions give way to the one that leads to it.
    const BuildTrans up{stack_[i - 1].last_output, addr, last_[i - 1]};
    if (first < end) {
      trans_[first] = up;
      trans_.resize(first + 1);
    } else {
      trans_.push_back(up);
    }
    end = first + 1;
  }
  depth_ = depth + 1;
}

void BuilderCore::finish_nodes() {
  freeze_below(0);
  const Unfinished& r = stack_[0];
  const BuildNode root{r.final(), r.final_output, std::span<const BuildTrans>(trans_).subspan(r.first())};
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
  // The node written by the call before, if it wrote one: nothing
  // registered points to it yet.
  const std::uint64_t fresh = std::exchange(fresh_, 0);
  std::uint32_t* const link = std::exchange(link_, nullptr);
  if (node.final && node.trans.empty() && node.final_output == 0) return 0;
  if (node.trans.size() > Registry::kMaxTransitions) return fresh_ = write_node(node);
  const std::uint64_t h = hash_node(node);
  Registry& r = *registry_;
  const std::size_t bucket = h & (Registry::kBuckets - 1);
  if (link != nullptr) Registry::note(link, bucket);
  if (fresh != 0 && !node.trans.empty() && node.trans.back().target == fresh) {
    fresh_ = write_node(node);
    r.add_later(bucket, h, fresh_, node);
    return fresh_;
  }
  if (const std::uint64_t addr = r.find(bucket, h, node, &link_)) return addr;
  fresh_ = write_node(node);
  r.add(bucket, h, fresh_, node);
  link_ = &r.buckets[bucket].next[0];
  return fresh_;
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
