#include "string_index.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "fst/levels.hpp"
#include "fst_bounds.hpp"
#include "huge_pages.hpp"
#include "pages.hpp"
#include "perfect_hash.hpp"
#include "string_sort.hpp"

namespace quorvale {

namespace string_index {

std::optional<std::string> rank_walk(const fst::Fst& fst, std::uint64_t rank) {
  try {
    std::string key;
    std::uint64_t acc = 0;
    fst::Node node = fst.root();
    for (;;) {
      std::uint64_t value;
      if (node.is_final() && !__builtin_add_overflow(acc, node.final_output(), &value) && value == rank) break;
      // The first transition whose subtree starts above the rank (a sum that
      // overflows counts as above); the one before it holds the rank.
      unsigned lo = 0, hi = node.len();
      while (lo < hi) {
        const unsigned mid = lo + (hi - lo) / 2;
        std::uint64_t sum;
        if (__builtin_add_overflow(acc, node.output(mid), &sum) || sum > rank) hi = mid;
        else lo = mid + 1;
      }
      if (lo == 0) return std::nullopt;
      const unsigned i = lo - 1;
      key.push_back(static_cast<char>(node.input(i)));
      acc += node.output(i);  // no overflow: the search tested this sum
      node = fst.node(node.target(i));
    }
    if (!utf8::valid(key)) return std::nullopt;
    return key;
  } catch (const fst::Error& e) {
    throw fst_error(e);
  }
}

fst::Levenshtein levenshtein(std::string_view query, std::uint32_t max_distance) {
  try {
    return fst::Levenshtein(query, max_distance);
  } catch (const fst::AutomatonError& e) {
    throw IndexError::automaton(e.what());
  }
}

}  // namespace string_index

using string_index::fst_error;

namespace {

[[noreturn]] void fail(const char* message) { throw IndexError::format(message); }

// The root address as the footer states it: the u64 eight bytes before the
// footer's end (before the checksum from version 3 on). Refuses an FST too
// short to have a footer or a root at or past its end.
std::uint64_t checked_root(const fst::Fst& f) {
  const std::span<const unsigned char> b = f.bytes();
  if (b.size() < fst::kMinLength) fail("fst node address is outside the blob");
  const std::size_t end = f.version() >= 3 ? b.size() - 4 : b.size();
  const std::uint64_t root = load_le64(b.data() + end - 8);
  if (root >= b.size()) fail("fst node address is outside the blob");
  return root;
}

// The UTF-8 automaton of the validator: what remains of the character being
// spelled (0 at a boundary), and the state after each byte (-1: not UTF-8).
//   1: one continuation byte to go   2: after E0   3: two to go   4: after ED
//   5: after F0   6: three to go     7: after F4
constexpr std::array<std::array<signed char, 256>, 8> make_utf8_states() {
  std::array<std::array<signed char, 256>, 8> t{};
  for (auto& row : t) row.fill(-1);
  for (unsigned b = 0; b < 0x80; ++b) t[0][b] = 0;
  for (unsigned b = 0xC2; b <= 0xDF; ++b) t[0][b] = 1;
  t[0][0xE0] = 2;
  for (unsigned b = 0xE1; b <= 0xEF; ++b) t[0][b] = 3;
  t[0][0xED] = 4;
  t[0][0xF0] = 5;
  for (unsigned b = 0xF1; b <= 0xF3; ++b) t[0][b] = 6;
  t[0][0xF4] = 7;
  for (unsigned b = 0x80; b <= 0xBF; ++b) {
    t[1][b] = 0;
    t[3][b] = 1;
    t[6][b] = 3;
  }
  for (unsigned b = 0xA0; b <= 0xBF; ++b) t[2][b] = 1;
  for (unsigned b = 0x80; b <= 0x9F; ++b) t[4][b] = 1;
  for (unsigned b = 0x90; b <= 0xBF; ++b) t[5][b] = 3;
  for (unsigned b = 0x80; b <= 0x8F; ++b) t[7][b] = 3;
  return t;
}
constexpr auto kUtf8States = make_utf8_states();

// The reached nodes numbered in address order: one bit per address up to
// the root and the set bits of all earlier words.
class Numbering {
 public:
  explicit Numbering(std::uint64_t addresses)
      : bits_(Pages<std::uint64_t>::zeroed((addresses + 63) / 64)), before_(Pages<std::uint64_t>::allocate(bits_.size())) {}
  void set(std::uint64_t a) noexcept { bits_[a >> 6] |= std::uint64_t{1} << (a & 63); }
  bool test(std::uint64_t a) const noexcept { return (bits_[a >> 6] >> (a & 63)) & 1; }
  // Call once every bit is set; returns the number of reached nodes.
  std::uint64_t count() noexcept {
    std::uint64_t total = 0;
    for (std::size_t w = 0; w < bits_.size(); ++w) {
      before_[w] = total;
      total += static_cast<std::uint64_t>(std::popcount(bits_[w]));
    }
    return total;
  }
  std::uint64_t number(std::uint64_t a) const noexcept {
    const std::uint64_t below = (std::uint64_t{1} << (a & 63)) - 1;
    return before_[a >> 6] + static_cast<std::uint64_t>(std::popcount(bits_[a >> 6] & below));
  }
  std::size_t words() const noexcept { return bits_.size(); }
  std::uint64_t word(std::size_t w) const noexcept { return bits_[w]; }

 private:
  Pages<std::uint64_t> bits_;
  Pages<std::uint64_t> before_;
};

}  // namespace

StringIndex::StringIndex(fst::Fst fst, std::uint64_t root)
    : fst_(std::move(fst)),
      root_(root),
      threshold_(fst::index_threshold(fst_.version())),
      reader_(fst_.bytes(), threshold_),
      first_chars_(std::make_unique<fst_walk::FirstCharsCell>()) {}

// ---------------------------------------------------------------------------
// Building.

namespace {

// The in-memory builds' sink: pages mapped as the FST grows, doubling, and
// remapped rather than copied when they grow (pages never touched cost
// nothing); the index keeps them as they are, so the FST is written once.
class GrowingSink {
 public:
  void write_all(std::span<const unsigned char> bytes) {
    if (bytes.size() > pages_.size() - size_) pages_.grow(std::max({size_ + bytes.size(), 2 * pages_.size(), FIRST}));
    std::memcpy(pages_.data() + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
  }
  blob::SharedBytes take() {
    blob::SharedBytes out = blob::SharedBytes::from_growing(std::move(pages_), size_);
    size_ = 0;
    return out;
  }

 private:
  // A small FST maps little.
  static constexpr std::size_t FIRST = std::size_t{1} << 16;
  GrowingPages<unsigned char> pages_;
  std::size_t size_ = 0;
};

}  // namespace

StringIndex StringIndex::build(std::vector<std::string_view> keys, const StopProbe& stop) {
  GrowingSink sink;
  try {
    fst::MapBuilder builder(sink);
    std::uint64_t count = 0;
    const auto insert = [&](std::string_view key) {
      if (count % STOP_STRIDE == 0) stop_if(stop);
      builder.insert(key, count++);
    };
    if (std::is_sorted(keys.begin(), keys.end())) {
      std::string_view prev;
      extsort::visit_fetching_ahead(keys, [&](std::string_view key) {
        if (count > 0 && key == prev) return;
        insert(key);
        prev = key;
      });
    } else {
      // The FST takes each key as soon as the sort has put it in place.
      sort_distinct_each(keys, insert);
    }
    std::vector<std::string_view>().swap(keys);
    builder.finish();
  } catch (const fst::Error& e) {
    throw fst_error(e);
  }
  return open_built(sink.take());
}

StringIndex StringIndex::open_built(blob::SharedBytes fst_bytes) {
  auto owner = std::make_shared<const blob::SharedBytes>(std::move(fst_bytes));
  fst::Fst f;
  try {
    f = fst::Fst::open(owner, owner->bytes());
  } catch (const fst::Error& e) {
    throw fst_error(e);
  }
  const std::uint64_t root = checked_root(f);
  return StringIndex(std::move(f), root);
}

namespace {

// An ascending key stream from a source into a builder: a repeat of the key
// before is dropped, every other key gets the count so far.
template <fst::ByteSink Sink>
std::uint64_t insert_from(fst::MapBuilder<Sink>& builder, KeySource& keys) {
  std::string prev;
  std::uint64_t count = 0;
  std::string_view key;
  while (keys.next(key)) {
    if (count > 0 && key == prev) continue;
    try {
      builder.insert(key, count);
    } catch (const fst::Error& e) {
      throw fst_error(e);
    }
    prev.assign(key);
    ++count;
  }
  return count;
}

// Writes a blob atomically: the magic, then the FST that insert(builder)
// fills, whose count is returned. Nothing but the builder writes between
// the magic and the flush, so the builder's own write failures are the
// FST engine's and only the last flush is the writer's.
template <class Insert>
std::uint64_t write_blob(const std::string& path, Insert&& insert) {
  return blob::write_atomically_with(path, [&](File& file) {
    BufWriter out(file);
    out.write_all(std::span<const unsigned char>(string_index::MAGIC, 4));
    fst::MapBuilder builder(out);
    const std::uint64_t n = insert(builder);
    StringIndex::finish(builder);
    out.flush();
    return n;
  });
}

// Stops a build whose source failed before it ended.
void check_source(const StopProbe& failed) {
  if (failed && failed()) fail("string-index: the input iterable raised before it ended");
}

}  // namespace

StringIndex StringIndex::from_sorted(KeySource& keys, const StopProbe& failed) {
  GrowingSink sink;
  {
    fst::MapBuilder builder(sink);
    insert_from(builder, keys);
    check_source(failed);
    finish(builder);
  }
  return open_built(sink.take());
}

std::uint64_t StringIndex::build_sorted_to_file(KeySource& keys, const std::string& path,
                                                const StopProbe& failed) {
  return write_blob(path, [&](auto& builder) {
    const std::uint64_t n = insert_from(builder, keys);
    check_source(failed);
    return n;
  });
}

std::uint64_t StringIndex::build_to_file(KeySource& keys, const std::string& path, std::size_t budget,
                                         const StopProbe& failed) {
  if (budget < 8) panic("a run budget holds at least one key");
  std::optional<extsort::Run> run(std::in_place, budget);
  // A key is refused against the run's own budget (clamped to what its
  // 32-bit spans address), also after other keys: a fresh run could not
  // hold it either.
  const std::size_t limit = run->budget();
  extsort::Runs runs(path);
  const bool valid = keys.yields_utf8();
  std::string_view key;
  while (keys.next(key)) {
    if (key.size() > limit) fail(string_index::MSG_OVER_BUDGET);
    if (!run->has_room(key.size())) {
      runs.spill(run->sorted());
      run->clear();
    }
    if (valid) {
      run->push_valid(key);
    } else {
      run->push(key);
    }
  }
  check_source(failed);
  if (runs.runs().empty()) {
    // The FST takes each key as soon as the sort has put it in place.
    return write_blob(path, [&](auto& builder) {
      std::uint64_t count = 0;
      run->each_sorted([&](std::string_view key) {
        if (count % STOP_STRIDE == 0) stop_if(failed);
        try {
          builder.insert(key, count);
        } catch (const fst::Error& e) {
          throw fst_error(e);
        }
        ++count;
      });
      return count;
    });
  }
  if (!run->empty()) runs.spill(run->sorted());
  run.reset();  // the merge needs none of the run's memory
  stop_if(failed);
  extsort::MergedStream merged = runs.merge();
  return write_blob(path, [&](auto& builder) { return insert_sorted(builder, merged, failed); });
}

// ---------------------------------------------------------------------------
// Opening.

StringIndex StringIndex::from_untrusted_bytes(std::span<const unsigned char> blob) {
  return from_shared_untrusted(blob::SharedBytes::from_owned(blob));
}

StringIndex StringIndex::from_shared(blob::SharedBytes blob, bool verify) {
  string_index::FRAME.open(blob.bytes(), verify);
  // The FST (and whatever is made from it) holds the only reference: a
  // failed open drops it with the FST.
  fst::Fst f;
  {
    auto owner = std::make_shared<const blob::SharedBytes>(std::move(blob));
    const std::span<const unsigned char> bytes = owner->bytes().subspan(4);
    try {
      f = fst::Fst::open(std::move(owner), bytes);
      if (verify) f.verify();
    } catch (const fst::Error& e) {
      throw fst_error(e);
    }
  }
  if (verify) verify_ranks(f);
  const std::uint64_t root = checked_root(f);
  return StringIndex(std::move(f), root);
}

void StringIndex::verify_ranks(const fst::Fst& f) {
  const std::uint64_t n = f.len();
  if (n == 0) return;
  // The first key is the first final node on the path of lowest inputs:
  // every node of a valid index leads to a key, so a stream would find it
  // there too, and this walk cannot wander over paths that spell none.
  bool ok = false;
  try {
    std::uint64_t addr = f.root_addr(), acc = 0;
    for (;;) {
      const fst::Node node = f.node(addr);
      std::uint64_t value;
      if (node.is_final()) {
        ok = !__builtin_add_overflow(acc, node.final_output(), &value) && value == 0;
        break;
      }
      if (node.len() == 0 || __builtin_add_overflow(acc, node.output(0), &acc)) break;
      addr = node.target(0);
    }
  } catch (const fst::Error& e) {
    throw fst_error(e);
  }
  if (!ok || !string_index::rank_walk(f, n - 1)) fail("string-index: FST values are not the sorted ranks");
}

StringIndex StringIndex::load_untrusted(const std::string& path) {
  return from_shared_untrusted(blob::SharedBytes::read_file(path));
}

StringIndex StringIndex::load_mmap_untrusted(const std::string& path) {
  return from_shared_untrusted(blob::SharedBytes::map_file(path));
}

StringIndex StringIndex::from_shared_untrusted(blob::SharedBytes blob) {
  try {
    StringIndex index = from_shared(std::move(blob), false);
    validate(index.fst_);
    try {
      index.fst_.verify();
    } catch (const fst::Error& e) {
      throw fst_error(e);
    }
    return index;
  } catch (const IndexError&) {
    throw;
  } catch (const fst::Error&) {
    fail("fst node decoder panicked on this blob");
  } catch (const Panic&) {
    fail("fst node decoder panicked on this blob");
  }
}

void StringIndex::validate(const fst::Fst& f) {
  const std::span<const unsigned char> bytes = f.bytes();
  const std::uint64_t R = checked_root(f);

  // Pass 1, downward: every reached node fits the bytes, points below
  // itself, and spells UTF-8 on every path; each address collects the UTF-8
  // states its paths arrive in (bit s for state s).
  const fst::NodeReader reader = f.reader();
  Pages<unsigned char> states = Pages<unsigned char>::zeroed(R + 1);
  states[R] = 1;
  for (std::uint64_t a = R + 1; a-- > 0;) {
    const unsigned set = states[a];
    if (set == 0) continue;
    fst::Node node;  // at address 0, the empty final node
    if (a > 0 && !fst_bounds::node_fits(bytes, reader, a, node)) fail("fst node does not fit the blob");
    if (node.is_final() && set != 1) fail("fst key ends inside a UTF-8 character");
    for (unsigned i = 0; i < node.len(); ++i) {
      const std::uint64_t target = node.target(i);
      if (target >= a) fail("fst transition does not point below its own node");
      const unsigned char input = node.input(i);
      unsigned next = 0;
      for (unsigned s = 0; s < 8; ++s) {
        if (((set >> s) & 1) == 0) continue;
        const int to = kUtf8States[s][input];
        if (to < 0) fail("fst key is not UTF-8");
        next |= 1u << to;
      }
      states[target] = static_cast<unsigned char>(states[target] | next);
    }
  }

  Numbering reached(R + 1);
  for (std::uint64_t a = 0; a <= R; ++a)
    if (states[a] != 0) reached.set(a);
  states = Pages<unsigned char>();
  Pages<std::uint64_t> keys = Pages<std::uint64_t>::zeroed(reached.count());

  // Pass 2, upward: every value is its key's rank, every node leads to a
  // key, and a transition index names exactly the node's inputs; each node
  // records the number of keys below it.
  for (std::size_t w = 0; w < reached.words(); ++w) {
    for (std::uint64_t bits = reached.word(w); bits != 0; bits &= bits - 1) {
      const std::uint64_t a = std::uint64_t{w} * 64 + static_cast<unsigned>(std::countr_zero(bits));
      const fst::Node node = reader.at(a);
      if (node.is_final() && node.final_output() != 0) fail("fst value is not the key's rank");
      std::uint64_t running = node.is_final() ? 1 : 0;
      for (unsigned i = 0; i < node.len(); ++i) {
        if (i > 0 && node.input(i) <= node.input(i - 1)) fail("fst transitions are not in increasing byte order");
        if (node.output(i) != running) fail("fst value is not the key's rank");
        if (__builtin_add_overflow(running, keys[reached.number(node.target(i))], &running))
          fail("fst key count overflows");
      }
      if (const unsigned char* index = node.transition_index()) {
        std::array<bool, 256> is_input{};
        for (unsigned i = 0; i < node.len(); ++i) {
          is_input[node.input(i)] = true;
          if (index[node.input(i)] != i) fail("fst transition index does not match the inputs");
        }
        for (unsigned b = 0; b < 256; ++b)
          if (!is_input[b] && index[b] < node.len()) fail("fst transition index does not match the inputs");
      }
      keys[reached.number(a)] = running;
      if (running == 0 && !(a == R && node.len() == 0)) fail("fst node leads to no key");
    }
  }
  if (keys[reached.number(R)] != f.len()) fail("fst holds a different number of keys than its header says");
}

// ---------------------------------------------------------------------------
// Ordered queries.

std::uint64_t StringIndex::rank_of_first_ge(std::span<const unsigned char> query) const noexcept {
  // Values are ranks, so the output accumulated on reaching a node is the
  // rank of the first key below it. `after` is the rank of the first key
  // after the current subtree: the next sibling's, or n at the top.
  std::uint64_t addr = root_, acc = 0, after = len();
  fst::Node node;
  for (const unsigned char b : query) {
    if (!reader_.read(addr, node)) return after;
    const unsigned j = node.lower_bound_input(b);
    std::uint64_t out, target;
    if (j >= node.len() || !node.follow(j, out, target)) return after;
    if (node.input(j) != b) return acc + out;
    std::uint64_t next_out, next_target;
    if (j + 1 < node.len() && node.follow(j + 1, next_out, next_target)) after = acc + next_out;
    acc += out;
    addr = target;
  }
  return acc;
}

std::pair<std::uint64_t, std::uint64_t> StringIndex::prefix_id_range(std::span<const unsigned char> prefix) const noexcept {
  const std::uint64_t start = rank_of_first_ge(prefix);
  std::size_t keep = prefix.size();
  while (keep > 0 && prefix[keep - 1] == 0xFF) --keep;
  std::uint64_t end = len();
  if (keep > 0) {
    // The shortest string above every string with the prefix.
    unsigned char small[64];
    std::vector<unsigned char> large;
    unsigned char* next = small;
    if (keep > sizeof small) {
      large.resize(keep);
      next = large.data();
    }
    std::memcpy(next, prefix.data(), keep);
    next[keep - 1] = static_cast<unsigned char>(next[keep - 1] + 1);
    end = rank_of_first_ge(std::span<const unsigned char>(next, keep));
  }
  return {start, std::max(start, end)};
}

string_index::EntryStream<fst::StartsWith> StringIndex::prefix_iter(std::string_view prefix) const {
  // The bounds only spare the stream the subtrees beside the prefix's.
  fst::Range range;
  range.ge(prefix);
  std::size_t keep = prefix.size();
  while (keep > 0 && static_cast<unsigned char>(prefix[keep - 1]) == 0xFF) --keep;
  if (keep > 0) {
    std::string above(prefix.substr(0, keep));
    above.back() = static_cast<char>(static_cast<unsigned char>(above.back()) + 1);
    range.lt(above);
  }
  return stream(std::move(range), fst::StartsWith(prefix));
}

// The walk of a cursor: the FST engine's unbounded stream, resumed after a
// key, without an automaton to consult or a bound to test on every
// transition. It keeps the levels it comes back to as the stream does
// (fst/levels.hpp), so a batch costs one descent to the resume point plus
// one node read per transition taken and per level come back to, and a
// deep key no memory beyond its bytes; the items are those of the stream,
// in the same order.
void StringIndex::batch_after(const std::optional<std::string>& after, std::size_t n, string_index::Batch& out,
                              const Pause& pause) const {
  if (n == 0) return;
  Pacer pacer(pause);
  fst::Levels<> levels;
  using At = fst::Levels<>::At;
  std::string key;
  auto corrupt = [] { throw string_index::fst_error(fst::Corrupt("malformed node met by the cursor")); };
  At at;
  if (!reader_.read(root_, at.node)) corrupt();
  if (!after) {
    if (at.node.is_final()) out.push({}, at.node.final_output());
  } else {
    // Down the path of `after`; at each level the transitions still to take
    // are those above its byte. Where the path leaves the FST, the keys after
    // it start at the first transition above the byte it wanted.
    for (const char c : *after) {
      const auto b = static_cast<unsigned char>(c);
      const unsigned i = at.node.lower_bound_input(b);
      at.next = i;
      if (i >= at.node.len() || at.node.input(i) != b) break;
      at.next = i + 1;
      std::uint64_t o, target;
      if (!at.node.follow(i, o, target) || !levels.down(reader_, at, target, at.out + o)) corrupt();
      key.push_back(c);
    }
  }
  try {
    while (out.size() < n && levels.ready(reader_, at)) {
      pacer.step();
      const unsigned i = at.next++;
      std::uint64_t o, target;
      if (!at.node.follow(i, o, target)) corrupt();
      const std::uint64_t acc = at.out + o;
      key.resize(at.depth);
      key.push_back(static_cast<char>(at.node.input(i)));
      const std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(key.data()), key.size());
      if (target == 0) {
        out.push(bytes, acc);  // the empty final node: nothing lies below
        continue;
      }
      if (!levels.down(reader_, at, target, acc)) corrupt();
      if (at.node.is_final()) out.push(bytes, acc + at.node.final_output());
    }
  } catch (const fst::Error& e) {
    throw string_index::fst_error(e);
  }
}

// ---------------------------------------------------------------------------
// Dictionary matching.

const FirstChars* StringIndex::first_chars() const {
  try {
    return first_chars_->get(fst_);
  } catch (const fst::Error& e) {
    throw fst_error(e);
  }
}

std::vector<std::pair<std::string, std::uint64_t>> StringIndex::common_prefix(std::string_view query) const {
  std::vector<std::pair<std::string, std::uint64_t>> out;
  for_each_common_prefix(query, [&](std::size_t len, std::uint64_t id) { out.emplace_back(query.substr(0, len), id); });
  return out;
}

std::optional<std::pair<std::string, std::uint64_t>> StringIndex::longest_prefix(std::string_view query) const {
  std::optional<std::pair<std::size_t, std::uint64_t>> last;
  for_each_common_prefix(query, [&](std::size_t len, std::uint64_t id) { last.emplace(len, id); });
  if (!last) return std::nullopt;
  return std::pair<std::string, std::uint64_t>(query.substr(0, last->first), last->second);
}

std::vector<string_index::Occurrence> StringIndex::occurrences(std::string_view text, const Pause& pause) const {
  std::vector<string_index::Occurrence> out;
  Pacer pacer(pause);
  const FirstChars* table = first_chars();
  const std::span<const unsigned char> all = bytes_of(text);
  std::uint64_t k = 0;  // the character index of byte offset p
  for (std::size_t p = 0; p < all.size(); ++k) {
    const std::span<const unsigned char> rest = all.subspan(p);
    if (const auto start = fst_walk::start_of(table, root_, rest)) {
      std::size_t counted = 0;  // bytes of rest already counted
      std::uint64_t chars = 0;
      const std::size_t reached = fst_walk::walk(reader_, rest, *start, 1, [&](std::size_t len, std::uint64_t id) {
        for (; counted < len; ++counted) chars += utf8::is_continuation(rest[counted]) ? 0 : 1;
        out.push_back({k, k + chars, id});
      });
      pacer.step(reached);
    } else {
      pacer.step();
    }
    // The next character: past this byte and its continuation bytes.
    ++p;
    while (p < all.size() && utf8::is_continuation(all[p])) ++p;
  }
  return out;
}

}  // namespace quorvale
