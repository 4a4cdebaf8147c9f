// The FST engine over stored bytes: the opener (Fst::open and verify), the
// node decoder, exact lookups, and streams with bounds, with and without an
// automaton.
//
// Malformed nodes may only throw Corrupt. Every decoded node lies below its
// address and names targets below itself; find_input names a transition on
// the byte asked for. Streams run under a step budget (fst_steps.hpp); when
// the whole FST fits the budget, the full stream also runs unbounded and
// must give the same items. A stream that ends cleanly with keys in strictly ascending
// order is the FST's own output: built again (with mode bit 1), it must stream the same items
// and answer each key with its value.
#include <algorithm>
#include <memory>

#include "fst/automaton.hpp"
#include "fst/builder.hpp"
#include "fst/crc32c.hpp"
#include "fst/levenshtein.hpp"
#include "fst/stream.hpp"
#include "fst_steps.hpp"
#include "fuzz.hpp"
#include "reseal.hpp"

namespace {

using qfuzz::Bounded;
using qfuzz::Bytes;
namespace fst = quorvale::fst;

constexpr std::uint64_t kStepLimit = 10000;
constexpr std::uint64_t kNodeAddresses = 128;  // decoded directly, besides those the streams visit
constexpr std::size_t kKeyBytes = 1 << 20;  // collected per stream

struct Item {
  Bytes key;
  std::uint64_t value;
  bool operator==(const Item&) const = default;
};

struct Walk {
  std::vector<Item> items;
  bool corrupt = false;    // ended by a malformed node
  bool complete = true;    // every item collected
};

template <class A>
Walk walk(const fst::Fst& f, const fst::Range& range, A automaton) {
  Walk w;
  std::size_t bytes = 0;
  try {
    fst::Stream<A> s(f, range, std::move(automaton));
    while (auto item = s.next()) {
      bytes += item->key.size();
      if (bytes > kKeyBytes) {
        w.complete = false;
        break;
      }
      w.items.push_back(Item{Bytes(item->key.begin(), item->key.end()), item->value});
    }
  } catch (const fst::Corrupt& e) {
    qfuzz::refused("stream", e.detail());
    w.corrupt = true;
  }
  return w;
}

// The same stream under a step budget; with `unbounded`, when the whole FST
// fits that budget, also without it.
template <class A>
Walk walk_bounded(const fst::Fst& f, const fst::Range& range, const A& automaton, bool unbounded = false) {
  std::uint64_t budget = kStepLimit;
  Walk bounded = walk(f, range, Bounded<A>(automaton, &budget));
  if (unbounded) {
    Walk free = walk(f, range, automaton);
    QFUZZ_CHECK(free.items == bounded.items && free.corrupt == bounded.corrupt);
  }
  return bounded;
}

void check_node(const fst::Node& nd, std::uint64_t addr) {
  QFUZZ_CHECK(nd.addr() == addr && nd.start() <= addr);
  for (unsigned i = 0; i < nd.len(); ++i) {
    (void)nd.input(i);
    (void)nd.output(i);
    try {
      const std::uint64_t t = nd.target(i);
      QFUZZ_CHECK(t == 0 || t < nd.start());
    } catch (const fst::Corrupt& e) {
      qfuzz::refused("target", e.detail());
    }
  }
  for (unsigned b = 0; b < 256; ++b) {
    if (auto i = nd.find_input(static_cast<unsigned char>(b))) QFUZZ_CHECK(*i < nd.len() && nd.input(*i) == b);
    QFUZZ_CHECK(nd.lower_bound_input(static_cast<unsigned char>(b)) <= nd.len());
  }
}

// Nodes at addresses spread over the bytes, most of them no node at all.
void decode_nodes(const fst::Fst& f) {
  const std::uint64_t size = f.bytes().size();
  const std::uint64_t stride = size / kNodeAddresses + 1;
  for (std::uint64_t addr = 0; addr < size; addr += stride) {
    try {
      check_node(f.node(addr), addr);
    } catch (const fst::Corrupt& e) {
      qfuzz::refused("node", e.detail());
    }
  }
}

std::span<const unsigned char> bytes_of(std::string_view s) {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

// The FST built again from the items a clean stream gave.
void check_rebuilt(const std::vector<Item>& items) {
  fst::MemorySink sink;
  fst::MapBuilder<fst::MemorySink> b(sink);
  for (const Item& it : items) b.insert(it.key, it.value);
  b.finish();
  auto owned = std::make_shared<const Bytes>(sink.take());
  const fst::Fst again = fst::Fst::open(owned, *owned);
  again.verify();
  QFUZZ_CHECK(again.len() == items.size());
  QFUZZ_CHECK(walk(again, {}, fst::AlwaysMatch{}).items == items);
  for (const Item& it : items) QFUZZ_CHECK(again.get(it.key) == it.value);
}

const fst::Levenshtein& levenshtein() {
  static const fst::Levenshtein lev("ab\xc3\xa9", 1);
  return lev;
}

}  // namespace

void qfuzz::run(Input& in) {
  if (in.reseal()) reseal_fst(in.bytes);
  auto owned = std::make_shared<const Bytes>(std::move(in.bytes));
  fst::Fst f;
  try {
    f = fst::Fst::open(owned, *owned);
  } catch (const fst::Error& e) {
    QFUZZ_CHECK(e.kind() == fst::Error::Kind::Fst);
    refused("open", e.detail());
    return;
  }
  try {
    f.verify();
    note("opened, checksum verified");
  } catch (const fst::Error& e) {
    refused("verify", e.detail());
  }
  decode_nodes(f);

  const bool fits = stream_steps(f, kStepLimit) <= kStepLimit;
  note(fits ? "streams within the step budget" : "streams beyond the step budget");
  const Walk all = walk_bounded(f, {}, fst::AlwaysMatch{}, fits);

  // Lookups of what the stream gave (answered as the node bytes say, which
  // in a malformed FST need not agree with the stream), and of strangers.
  std::vector<std::string> probes = {"", "a", "ab", "ab\xc3\xa9", "\xff", std::string(1, '\0')};
  for (std::size_t i = 0; i < all.items.size(); i += 1 + all.items.size() / 16)
    probes.emplace_back(all.items[i].key.begin(), all.items[i].key.end());
  for (const std::string& p : probes) {
    try {
      (void)f.get(p);
      (void)f.get(p + "z");
    } catch (const fst::Corrupt& e) {
      refused("get", e.detail());
    }
  }

  // Bounds and automata, from the probes.
  const std::string& lo = probes[std::min<std::size_t>(probes.size() - 1, 6)];
  const std::string& hi = probes.back();
  walk_bounded(f, fst::Range().ge(lo).lt(hi), fst::AlwaysMatch{});
  walk_bounded(f, fst::Range().gt(lo), fst::StartsWith(bytes_of(lo.substr(0, 1))));
  walk_bounded(f, fst::Range().lt(hi), fst::StartsWith(bytes_of(hi.substr(0, 2))));
  walk_bounded(f, {}, levenshtein());

  // Building costs a few milliseconds (the builder's node registry), so only
  // inputs with mode bit 1 are built again.
  if (in.bit(1) && !all.corrupt && all.complete && fits) {
    bool ascending = true;
    for (std::size_t i = 1; i < all.items.size() && ascending; ++i) ascending = all.items[i - 1].key < all.items[i].key;
    if (ascending) {
      note("streams its own keys in order");
      check_rebuilt(all.items);
    }
  }
}

void qfuzz::seeds(Seeds& out) {
  auto build = [](std::vector<std::string> keys, auto value) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    fst::MemorySink sink;
    fst::MapBuilder<fst::MemorySink> b(sink);
    for (std::size_t i = 0; i < keys.size(); ++i) b.insert(keys[i], value(i));
    b.finish();
    return sink.take();
  };
  auto rank = [](std::size_t i) { return std::uint64_t{i}; };
  constexpr std::uint8_t kRebuild = RESEAL | 0x02;
  out.add("empty", build({}, rank), kRebuild);
  out.add("one", build({"key"}, rank), kRebuild);
  out.add("empty-key", build({"", "a"}, rank), kRebuild);
  out.add("few", build({"a", "ab", "abc", "b\xc3\xa9", "\xe6\x9d\xb1", "zz"}, rank), kRebuild);
  // Wide outputs, shared suffixes.
  out.add("outputs", build({"cat", "cats", "dog", "dogs", "hat", "hats"},
                           [](std::size_t i) { return std::uint64_t{0x0123456789abcdefULL} >> (8 * (i % 8)); }), kRebuild);
  // Nodes of many transitions: with the index (more than 32) and the count byte.
  std::vector<std::string> wide;
  for (int a = 1; a < 256; a += 3)
    for (int c = 0; c < 256; c += 97) wide.push_back(std::string{static_cast<char>(a), static_cast<char>(c)});
  out.add("wide", build(wide, rank), kRebuild);
  std::vector<std::string> many;
  for (int i = 0; i < 1000; ++i) many.push_back("key/" + std::to_string(i * 7919 % 100003) + (i % 3 ? "" : "/end"));
  out.add("many", build(many, rank));
  // A long chain (one key of 300 bytes).
  out.add("long", build({std::string(300, 'p'), std::string(299, 'p') + "q"}, rank), kRebuild);
  // A deeper one, with keys branching off at its top and at its bottom.
  const std::string deep(6000, 'p');
  out.add("deep", build({deep, deep + "q", deep.substr(1) + "r", "s"}, rank), kRebuild);
  // Version 2: the same nodes without the checksum.
  Bytes v2 = build({"a", "ab", "abc", "b"}, rank);
  v2[0] = 2;
  v2.resize(v2.size() - 4);
  out.add("version2", v2);
  // Left unsealed: a damaged checksum.
  Bytes raw = build({"x", "y"}, rank);
  raw.back() ^= 1;
  out.add("raw-bad-checksum", raw, 0);
}
