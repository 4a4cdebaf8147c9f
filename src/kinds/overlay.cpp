// The overlay: framing and loading its blob, its operations, and one adapter
// per kind it lays over.
#include "overlay.hpp"

#include <algorithm>
#include <cstring>

#include "blob.hpp"
#include "compact_hash/compact_hash.hpp"
#include "error.hpp"
#include "fst/levels.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"
#include "utf8.hpp"

namespace quorvale::overlay {

void PreHashed::reserve(std::size_t n) {
  std::size_t cap = 16;
  while (cap * 3 < n * 4) cap *= 2;
  if (cap <= slots_.size()) return;
  std::vector<Entry, ZeroedAllocator<Entry>> old(cap);
  old.swap(slots_);
  mask_ = cap - 1;
  size_ = 0;
  for (const Entry& e : old)
    if (e.number != EMPTY) place(e);
}

namespace {

// ---- framing ----------------------------------------------------------------

// The three regions of a blob after its header, and the number of additions
// the header counts.
struct Sections {
  std::span<const unsigned char> base;
  std::span<const unsigned char> additions;
  std::span<const unsigned char> tombstones;
  std::uint64_t additions_count = 0;
};

// The "OVL2" header over its fields, with both checksums in place.
std::array<unsigned char, HEADER_V2> header_v2(std::uint8_t tag, std::uint64_t base_len, std::uint64_t additions,
                                               std::uint64_t added_len, std::uint64_t words,
                                               std::uint64_t payload_checksum) {
  std::array<unsigned char, HEADER_V2> h{};
  std::copy_n(FRAME_V2.magic.data(), 4, h.begin());
  h[4] = tag;
  store_le64(h.data() + 5, base_len);
  store_le64(h.data() + 13, additions);
  store_le64(h.data() + 21, added_len);
  store_le64(h.data() + 29, words);
  FRAME_V2.seal(h, payload_checksum);
  return h;
}

// The addition record at `at` in `region` (its u32 length and its bytes),
// moving `at` past it: MSG_ADDITIONS_TRUNCATED when fewer than 4 bytes are
// left, MSG_ADDITION_RANGE when the bytes pass the region's end,
// MSG_NOT_UTF8 when they are not UTF-8.
std::string_view next_record(std::span<const unsigned char> region, std::uint64_t& at) {
  if (region.size() - at < 4) throw IndexError::format(MSG_ADDITIONS_TRUNCATED);
  const std::uint64_t len = load_le32(region.data() + at);
  if (region.size() - at - 4 < len) throw IndexError::format(MSG_ADDITION_RANGE);
  const std::string_view key(reinterpret_cast<const char*>(region.data() + at + 4), static_cast<std::size_t>(len));
  if (!utf8::valid(key)) throw IndexError::format(MSG_NOT_UTF8);
  at += 4 + len;
  return key;
}

// The tombstone words after `at`: their count must be possible and their
// bytes fill the rest of the blob exactly.
std::span<const unsigned char> words_after(std::span<const unsigned char> blob, std::uint64_t at, std::uint64_t words) {
  if (words > MAX_WORDS) throw IndexError::format(MSG_WORD_COUNT);
  if (blob.size() - at != 8 * words) throw IndexError::format(MSG_WORD_LENGTH);
  return blob.subspan(static_cast<std::size_t>(at));
}

// Frames an "OVL2" blob whose header passed its checks and whose base region
// ends at `base_end` (inside the blob): the additions region, the tombstone
// count and length, then the payload checksum, before anything is parsed.
Sections v2_sections(std::span<const unsigned char> blob, std::uint64_t base_end, std::uint64_t additions) {
  const std::uint64_t added_len = load_le64(blob.data() + 21);
  std::uint64_t added_end;
  if (__builtin_add_overflow(base_end, added_len, &added_end) || added_end > blob.size())
    throw IndexError::format(MSG_REGION_RANGE);
  Sections s;
  s.tombstones = words_after(blob, added_end, load_le64(blob.data() + 29));
  FRAME_V2.check_payload(blob);
  // Every record takes at least its 4-byte length: a count the region cannot
  // hold fails here, as the walk would at its end, before the base is loaded.
  if (additions > added_len / 4) throw IndexError::format(MSG_ADDITIONS_TRUNCATED);
  s.base = blob.subspan(HEADER_V2, static_cast<std::size_t>(base_end - HEADER_V2));
  s.additions = blob.subspan(static_cast<std::size_t>(base_end), static_cast<std::size_t>(added_len));
  s.additions_count = additions;
  return s;
}

// Frames an "OVL1" blob: walks its additions, then reads the tombstone count.
Sections v1_sections(std::span<const unsigned char> blob, std::uint64_t base_end, std::uint64_t additions) {
  const std::span<const unsigned char> rest = blob.subspan(static_cast<std::size_t>(base_end));
  std::uint64_t at = 0;
  for (std::uint64_t i = 0; i < additions; ++i) next_record(rest, at);
  const std::uint64_t added_end = base_end + at;
  if (blob.size() - added_end < 8) throw IndexError::format(MSG_WORDS_TRUNCATED);
  Sections s;
  s.tombstones = words_after(blob, added_end + 8, load_le64(blob.data() + added_end));
  s.base = blob.subspan(HEADER_V1, static_cast<std::size_t>(base_end - HEADER_V1));
  s.additions = rest.first(static_cast<std::size_t>(at));
  s.additions_count = additions;
  return s;
}

// The loading steps before the base is loaded: magic and header length, the
// header checksum ("OVL2"), the base tag against `tag`, the base region's
// bounds, then the sections. Format errors with the messages above.
Sections frame(std::span<const unsigned char> blob, std::uint8_t tag) {
  // Any magic but "OVL1" is held to the current frame, which refuses a
  // stranger with the same message.
  const bool v1 = FRAME_V1.has_magic(blob);
  const blob::Frame& f = v1 ? FRAME_V1 : FRAME_V2;
  f.open(blob, true);
  const std::size_t header = f.header_len;
  if (blob[4] != tag) throw IndexError::format(MSG_OTHER_BASE);
  std::uint64_t base_end;
  if (__builtin_add_overflow(std::uint64_t{header}, load_le64(blob.data() + 5), &base_end) || base_end > blob.size())
    throw IndexError::format(MSG_BASE_RANGE);
  const std::uint64_t additions = load_le64(blob.data() + 13);
  return v1 ? v1_sections(blob, base_end, additions) : v2_sections(blob, base_end, additions);
}

// ---- the adapters -----------------------------------------------------------

// A writer of the index templates over the overlay's sink.
struct ToSink {
  Sink& out;
  void write_all(std::span<const unsigned char> bytes) { out.write_all(bytes); }
};

// What the three adapters share: the index, its length and its blob.
template <class Kind>
class Adapter : public Base {
 public:
  explicit Adapter(std::shared_ptr<const Kind> index) : index_(std::move(index)) {}
  const std::shared_ptr<const Kind>& shared() const noexcept { return index_; }
  std::uint8_t tag() const noexcept final { return TAG_OF<Kind>; }
  std::uint64_t len() const noexcept final { return index_->len(); }
  std::uint64_t blob_len() const noexcept final { return index_->serialized_len(); }
  void write(Sink& out) const final {
    ToSink w{out};
    index_->write_to(w);
  }

 protected:
  std::shared_ptr<const Kind> index_;
};

template <class Kind>
std::shared_ptr<const Base> adapt_built(Kind index);

// The error of a string index whose values are not the ranks of its keys in
// byte order (only crafted bytes behind a trusted open).
[[noreturn]] void ranks_broken() { throw IndexError::format("string-index: FST values are not the sorted ranks"); }

class StringBase final : public Adapter<StringIndex> {
 public:
  using Adapter::Adapter;
  std::optional<std::uint64_t> id(std::string_view key) const noexcept override { return index_->id(key); }
  bool exact() const noexcept override { return true; }
  bool stores_keys() const noexcept override { return true; }
  std::optional<std::string> key(std::uint64_t id) const override { return index_->key(id); }
  void for_each_key(KeyVisit visit, const Pause& pause) const override;
  // Sorts the keys by their bytes, drops repeats and builds as
  // StringIndex::build does. Keys in id order are the base's, sorted, then
  // the additions: only the tail is sorted, then merged in.
  std::shared_ptr<const Base> rebuild_like(std::vector<std::string_view> keys) const override {
    const auto tail = std::is_sorted_until(keys.begin(), keys.end());
    std::sort(tail, keys.end());
    std::inplace_merge(keys.begin(), tail, keys.end());
    return adapt_built(StringIndex::build(std::move(keys)));  // sorted: it drops repeats and builds
  }
};

// One walk down the transducer's nodes instead of a walk per id: depth
// first, transitions in input order, so keys come in byte order, keeping
// only the levels it comes back to (fst/levels.hpp). The walk checks what
// it relies on, so that crafted bytes behind a trusted open end it with the
// rank error instead of looping or wandering: every target lies below its
// node, the output reaching a node is the rank of the next key, a final
// node's value is that rank, fewer than n keys, and every transition leads
// to a key (a node with no transition is final: every path ends in one, so
// the work is bounded by the keys it yields). A key that is not UTF-8 has
// no key(), so it is skipped. Every transition taken is a step of the pacer,
// so a walk that gives no key for long (down a deep key, keys skipped, or
// retired by the caller) still pauses.
void StringBase::for_each_key(KeyVisit visit, const Pause& pause) const {
  const StringIndex& b = *index_;
  const fst::NodeReader reader(b.fst_bytes(), b.index_threshold());
  const std::uint64_t n = b.len();
  // No ids, no keys, whatever nodes lie behind a count of 0.
  if (n == 0) return;
  Pacer pacer(pause);
  std::uint64_t rank = 0;
  std::string key;
  fst::Levels<> levels;
  fst::Levels<>::At at;
  // A node reached with `acc`: if final, its key.
  auto reached = [&](const fst::Node& node, std::uint64_t acc) {
    if (!node.is_final()) return;
    std::uint64_t value;
    if (__builtin_add_overflow(acc, node.final_output(), &value) || value != rank || rank >= n) ranks_broken();
    if (utf8::valid(key)) visit(rank, std::string_view(key));
    ++rank;
  };
  if (!reader.read(b.root(), at.node)) ranks_broken();
  reached(at.node, 0);
  try {
    while (levels.ready(reader, at)) {
      pacer.step();
      const unsigned i = at.next++;
      std::uint64_t out = 0, target = 0, acc = 0;
      if (!at.node.follow(i, out, target) || (target != 0 && target >= at.node.addr()) ||
          __builtin_add_overflow(at.out, out, &acc) || acc != rank)
        ranks_broken();
      key.resize(at.depth);
      key.push_back(static_cast<char>(at.node.input(i)));
      if (target == 0) {
        reached(fst::Node{}, acc);  // the empty final node: nothing lies below
        continue;
      }
      if (!levels.down(reader, at, target, acc)) ranks_broken();
      reached(at.node, acc);
      if (at.node.len() == 0 && !at.node.is_final()) ranks_broken();  // a transition that led to no key
    }
  } catch (const fst::Error&) {
    ranks_broken();
  }
}

class PerfectBase final : public Adapter<PerfectHashIndex> {
 public:
  using Adapter::Adapter;
  std::optional<std::uint64_t> id(std::string_view key) const noexcept override { return index_->base_id(key); }
  bool exact() const noexcept override { return true; }
  bool stores_keys() const noexcept override { return true; }
  std::optional<std::string> key(std::uint64_t id) const override {
    auto k = key_view(id);
    if (!k) return std::nullopt;
    return std::string(*k);
  }
  void for_each_key(KeyVisit visit, const Pause& pause) const override {
    Pacer pacer(pause);
    for (std::uint64_t id = 0; id < index_->len(); ++id) {
      pacer.step();
      if (auto k = key_view(id)) visit(id, *k);
    }
  }
  // The views point into the index's key store.
  bool stable_views() const noexcept override { return true; }
  // The in-memory build, with tags exactly when the old base has them.
  std::shared_ptr<const Base> rebuild_like(std::vector<std::string_view> keys) const override {
    return adapt_built(PerfectHashIndex::build_with(std::move(keys), index_->has_fingerprints()));
  }

 private:
  std::optional<std::string_view> key_view(std::uint64_t id) const noexcept {
    if (id > 0xffffffffu) return std::nullopt;
    return index_->key(static_cast<std::uint32_t>(id));
  }
};

// Stores no keys. Its lookup is the side-aware one when there is a side
// table, else h0's slot and its fingerprint.
class CompactBase final : public Adapter<CompactHashIndex> {
 public:
  using Adapter::Adapter;
  std::optional<std::uint64_t> id(std::string_view key) const noexcept override {
    auto id = index_->id(key);
    if (!id) return std::nullopt;
    return std::uint64_t{*id};
  }
  bool exact() const noexcept override { return false; }
};

template <class Kind>
using AdapterOf = std::conditional_t<std::is_same_v<Kind, StringIndex>, StringBase,
                                     std::conditional_t<std::is_same_v<Kind, PerfectHashIndex>, PerfectBase, CompactBase>>;

template <class Kind>
std::shared_ptr<const Base> adapt(std::shared_ptr<const Kind> index) {
  return std::make_shared<const AdapterOf<Kind>>(std::move(index));
}

template <class Kind>
std::shared_ptr<const Base> adapt_built(Kind index) {
  return adapt(std::make_shared<const Kind>(std::move(index)));
}

// A base loaded from its region with its kind's verifying loader.
std::shared_ptr<const Base> load_base(std::uint8_t tag, std::span<const unsigned char> region, bool untrusted) {
  switch (tag) {
    case TAG_STRING:
      return adapt_built(untrusted ? StringIndex::from_untrusted_bytes(region) : StringIndex::from_bytes(region));
    case TAG_PERFECT: return adapt_built(PerfectHashIndex::from_bytes(region));
    case TAG_COMPACT: return adapt_built(CompactHashIndex::from_bytes(region));
  }
  panic(MSG_BASE_KIND);
}

// Makes room for `extra` more elements of `v` in amortised steps, so that
// the appends after it cannot fail.
template <class V>
void room(V& v, std::size_t extra) {
  if (v.capacity() - v.size() < extra) v.reserve(std::max(v.size() + extra, v.capacity() * 2));
}

}  // namespace

// ---- the base's key operations, for the kinds that store none ------------------

std::optional<std::string> Base::key(std::uint64_t) const { panic(MSG_STORES_NO_KEYS); }
void Base::for_each_key(KeyVisit, const Pause&) const { panic(MSG_STORES_NO_KEYS); }
std::shared_ptr<const Base> Base::rebuild_like(std::vector<std::string_view>) const {
  panic(MSG_STORES_NO_KEYS);
}

// ---- the overlay ----------------------------------------------------------------

Overlay::Overlay(std::shared_ptr<const Base> base)
    : base_(std::move(base)), base_len_(base_->len()), live_(base_len_) {}
Overlay::Overlay(std::shared_ptr<const StringIndex> index) : Overlay(adapt(std::move(index))) {}
Overlay::Overlay(std::shared_ptr<const PerfectHashIndex> index) : Overlay(adapt(std::move(index))) {}
Overlay::Overlay(std::shared_ptr<const CompactHashIndex> index) : Overlay(adapt(std::move(index))) {}

template <class Kind>
std::shared_ptr<const Kind> index_of(const Base& base) {
  const auto* a = dynamic_cast<const Adapter<Kind>*>(&base);
  return a ? a->shared() : nullptr;
}
template std::shared_ptr<const StringIndex> index_of<StringIndex>(const Base&);
template std::shared_ptr<const PerfectHashIndex> index_of<PerfectHashIndex>(const Base&);
template std::shared_ptr<const CompactHashIndex> index_of<CompactHashIndex>(const Base&);

std::uint64_t Overlay::hash_of(std::string_view key) noexcept {
  return blob::hash_block(
      std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(key.data()), key.size()));
}

void Overlay::push_added(std::string_view key) { push_hashed(key, hash_of(key)); }

std::optional<std::uint32_t> Overlay::added_index(std::string_view key) const {
  return find_hashed(key, hash_of(key));
}

void Overlay::push_hashed(std::string_view key, std::uint64_t h) {
  const std::uint64_t number = added_offsets_.size();
  const std::uint64_t offset = added_bytes_.size();
  if (number > limits_.additions) throw LimitExceeded(MSG_TOO_MANY);
  if (offset > limits_.offset) throw LimitExceeded(MSG_TOO_MUCH);
  if (key.size() > limits_.key_len) throw LimitExceeded(MSG_TOO_LONG);
  const bool collides = map_.find(h).has_value();
  // Every allocation first: a failure leaves the overlay as it was.
  room(added_offsets_, 1);
  room(added_bytes_, 4 + key.size());
  if (collides) room(hash_collisions_, 1);
  else map_.reserve_one();

  added_offsets_.push_back(static_cast<std::uint32_t>(offset));
  unsigned char len[4];
  store_le32(len, static_cast<std::uint32_t>(key.size()));
  added_bytes_.insert(added_bytes_.end(), len, len + 4);
  added_bytes_.insert(added_bytes_.end(), key.begin(), key.end());
  if (collides)
    hash_collisions_.push_back({h, static_cast<std::uint32_t>(number), static_cast<std::uint32_t>(offset)});
  else
    map_.insert({h, static_cast<std::uint32_t>(number), static_cast<std::uint32_t>(offset)});
}

bool Overlay::record_is(std::uint32_t offset, std::string_view key) const {
  if (added_bytes_.size() < 4 || offset > added_bytes_.size() - 4) panic(MSG_RECORD);
  const std::uint32_t len = load_le32(added_bytes_.data() + offset);
  if (len > added_bytes_.size() - 4 - offset) panic(MSG_RECORD);
  return len == key.size() && (len == 0 || std::memcmp(added_bytes_.data() + offset + 4, key.data(), len) == 0);
}

std::optional<std::uint32_t> Overlay::find_hashed(std::string_view key, std::uint64_t h) const {
  const std::optional<Entry> e = map_.find(h);
  if (!e) return std::nullopt;
  if (record_is(e->offset, key)) return e->number;
  for (const Collision& c : hash_collisions_)
    if (c.hash == h && record_is(c.offset, key)) return c.number;
  return std::nullopt;
}

std::string_view Overlay::added_key(std::uint32_t i) const {
  const std::uint32_t offset = added_offsets_.at(i);
  if (added_bytes_.size() < 4 || offset > added_bytes_.size() - 4) panic(MSG_RECORD);
  const std::uint32_t len = load_le32(added_bytes_.data() + offset);
  if (len > added_bytes_.size() - 4 - offset) panic(MSG_RECORD);
  const std::string_view key(reinterpret_cast<const char*>(added_bytes_.data()) + offset + 4, len);
  if (!utf8::valid(key)) panic(MSG_ADDED_UTF8);
  return key;
}

bool Overlay::retire_id(std::uint64_t id) {
  if (id >= id_space()) return false;
  const std::uint64_t w = id / 64;
  if (w < tombstones_.size()) {
    if (tombstones_[w] >> (id % 64) & 1) return false;
  } else {
    tombstones_.resize(w + 1, 0);
  }
  tombstones_[w] |= std::uint64_t{1} << (id % 64);
  --live_;
  return true;
}

std::optional<std::uint64_t> Overlay::added_id(std::string_view key) const {
  if (auto j = added_index(key)) {
    const std::uint64_t id = base_len_ + *j;
    if (is_retired(id)) return std::nullopt;
    return id;
  }
  return std::nullopt;
}

std::uint64_t Overlay::add(std::string_view key) {
  std::optional<std::uint64_t> id = base_lookup(key);
  if (!id)
    if (auto j = added_index(key)) id = base_len_ + *j;
  if (id) {
    if (is_retired(*id)) revive(*id);
    return *id;
  }
  const std::uint64_t fresh = id_space();
  push_added(key);
  ++live_;
  return fresh;
}

bool Overlay::remove(std::string_view key) {
  auto live = id(key);
  return live && retire_id(*live);
}

// ---- keys ---------------------------------------------------------------------

const Base& Overlay::keyed() const {
  if (!base_->stores_keys()) panic(MSG_STORES_NO_KEYS);
  return *base_;
}

std::optional<std::string> Overlay::key(std::uint64_t id) const {
  const Base& base = keyed();
  if (is_retired(id)) return std::nullopt;
  if (id < base_len_) return base.key(id);
  const std::uint64_t j = id - base_len_;
  if (j < additions()) return std::string(added_key(static_cast<std::uint32_t>(j)));
  return std::nullopt;
}

void Overlay::for_each_key(KeyVisit visit, const Pause& pause) const {
  keyed().for_each_key(
      [&](std::uint64_t id, std::string_view key) {
        if (!is_retired(id)) visit(id, key);
      },
      pause);
  Pacer pacer(pause);
  for (std::uint64_t j = 0; j < additions(); ++j) {
    pacer.step();
    if (!is_retired(base_len_ + j)) visit(base_len_ + j, added_key(static_cast<std::uint32_t>(j)));
  }
}

std::vector<std::string> Overlay::keys(const Pause& pause) const {
  std::vector<std::string> out;
  out.reserve(static_cast<std::size_t>(live_));
  for_each_key([&](std::uint64_t, std::string_view key) { out.emplace_back(key); }, pause);
  return out;
}

Overlay::LiveKeys Overlay::live_keys(std::string& store, bool with_ids, const Pause& pause) const {
  LiveKeys out;
  out.keys.reserve(static_cast<std::size_t>(live_));
  if (with_ids) out.ids.reserve(static_cast<std::size_t>(live_));
  auto take = [&](std::uint64_t id, std::string_view key) {
    out.keys.push_back(key);
    if (with_ids) out.ids.push_back(id);
  };
  if (keyed().stable_views()) {
    for_each_key(take, pause);
    return out;
  }
  // The base's keys are copied into one buffer; views are cut from it once
  // it has stopped growing.
  std::vector<std::size_t> ends;
  base_->for_each_key(
      [&](std::uint64_t id, std::string_view key) {
        if (is_retired(id)) return;
        store.append(key);
        ends.push_back(store.size());
        if (with_ids) out.ids.push_back(id);
      },
      pause);
  std::size_t start = 0;
  for (const std::size_t end : ends) {
    out.keys.emplace_back(store.data() + start, end - start);
    start = end;
  }
  for (std::uint64_t j = 0; j < additions(); ++j)
    if (!is_retired(base_len_ + j)) take(base_len_ + j, added_key(static_cast<std::uint32_t>(j)));
  return out;
}

// ---- compaction -----------------------------------------------------------------

Overlay Overlay::compact(const Pause& pause) const {
  std::string store;
  return Overlay(keyed().rebuild_like(live_keys(store, false, pause).keys));
}

std::pair<Overlay, std::vector<std::uint64_t>> Overlay::compact_with_remap(const Pause& pause) const {
  std::string store;
  const LiveKeys live = live_keys(store, true, pause);
  Overlay fresh(keyed().rebuild_like(live.keys));
  std::vector<std::uint64_t> remap(static_cast<std::size_t>(id_space()), ~std::uint64_t{0});
  for (std::size_t i = 0; i < live.keys.size(); ++i) {
    auto now = fresh.base().id(live.keys[i]);
    if (!now) panic(MSG_REBUILT);
    remap[static_cast<std::size_t>(live.ids[i])] = *now;
  }
  return {std::move(fresh), std::move(remap)};
}

namespace {

// A sink over any of the project's writers.
template <class W>
struct SinkOf final : Sink {
  explicit SinkOf(W& w) noexcept : w(w) {}
  void write_all(std::span<const unsigned char> bytes) override { w.write_all(bytes); }
  W& w;
};

}  // namespace

std::uint64_t Overlay::compact_to_file(const std::string& path, const Pause& pause) const {
  std::string store;
  const std::shared_ptr<const Base> fresh = keyed().rebuild_like(live_keys(store, false, pause).keys);
  blob::write_atomically_with(path, [&](File& file) {
    BufWriter w(file);
    SinkOf<BufWriter> sink(w);
    fresh->write(sink);
    w.flush();
  });
  return fresh->len();
}

// ---- the blob -------------------------------------------------------------------

std::array<unsigned char, HEADER_V2> Overlay::write_sections(Sink& w) const {
  Hashed<Sink> hashed(w);
  SinkOf<Hashed<Sink>> out(hashed);
  base_->write(out);
  const std::uint64_t base_len = hashed.count();
  hashed.write_all(added_bytes_);
  // The words go out through a small staging buffer, little-endian.
  unsigned char buf[4096];
  std::size_t used = 0;
  for (const std::uint64_t word : tombstones_) {
    store_le64(buf + used, word);
    used += 8;
    if (used == sizeof buf) {
      hashed.write_all(std::span<const unsigned char>(buf, used));
      used = 0;
    }
  }
  if (used) hashed.write_all(std::span<const unsigned char>(buf, used));
  return header_v2(base_->tag(), base_len, additions(), added_bytes_.size(), tombstones_.size(), hashed.finish());
}

std::vector<unsigned char> Overlay::to_bytes() const {
  // Sized, then reserved: GCC 12 warns falsely (-Warray-bounds) on a resize
  // after the reserve.
  std::vector<unsigned char> out(HEADER_V2, 0);
  out.reserve(static_cast<std::size_t>(serialized_len()));
  VecWriter w(out);
  SinkOf<VecWriter> sink(w);
  const auto header = write_sections(sink);
  std::copy(header.begin(), header.end(), out.begin());
  return out;
}

void Overlay::save(const std::string& path) const {
  blob::write_atomically_with(path, [&](File& file) {
    BufWriter w(file);
    SinkOf<BufWriter> sink(w);
    const unsigned char zeros[HEADER_V2] = {};
    w.write_all(std::span<const unsigned char>(zeros, HEADER_V2));
    const auto header = write_sections(sink);
    w.seek(0);
    w.write_all(header);
    w.flush();
  });
}

Overlay Overlay::load(std::span<const unsigned char> blob, std::uint8_t tag, bool untrusted) {
  const Sections s = frame(blob, tag);
  Overlay o(load_base(tag, s.base, untrusted));
  // The framing held the count to a quarter of the region's bytes, so the
  // table is sized once for it and never grows with its old copy alive.
  o.added_bytes_.reserve(s.additions.size());
  const std::size_t count = static_cast<std::size_t>(s.additions_count);
  o.added_offsets_.reserve(count);
  o.map_.reserve(count);
  const bool exact = o.base_->exact();
  std::uint64_t at = 0;
  for (std::uint64_t i = 0; i < s.additions_count; ++i) {
    const std::string_view key = next_record(s.additions, at);
    if (exact && o.base_lookup(key)) throw IndexError::format(MSG_BASE_DUPLICATE);
    if (o.added_index(key)) throw IndexError::format(MSG_DUPLICATE);
    o.push_added(key);
  }
  if (at != s.additions.size()) throw IndexError::format(MSG_REGION_LONGER);

  const std::size_t words = s.tombstones.size() / 8;
  o.tombstones_.resize(words);
  std::uint64_t retired = 0;
  const std::uint64_t space = o.id_space();
  for (std::size_t w = 0; w < words; ++w) {
    const std::uint64_t word = load_le64(s.tombstones.data() + 8 * w);
    o.tombstones_[w] = word;
    if (word == 0) continue;
    // The highest set bit's id must lie below the id space.
    const std::uint64_t top = 64 * static_cast<std::uint64_t>(w) + 63 - static_cast<std::uint64_t>(__builtin_clzll(word));
    if (top >= space) throw IndexError::format(MSG_OUTSIDE);
    retired += static_cast<std::uint64_t>(__builtin_popcountll(word));
  }
  o.live_ = space - retired;
  return o;
}

}  // namespace quorvale::overlay
