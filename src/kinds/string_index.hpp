// StringIndex: the ordered string-to-id index. An FST map from each distinct
// key to its rank in ascending byte order (ids 0..n-1 in key order) over
// shared bytes, with its own allocation-free walks over the FST engine's node
// decoder for the exact lookup, the key walks and dictionary matching.
//
// The blob is "BIX4" followed by the FST bytes exactly as the builder wrote
// them (version 3, with its CRC-32C); nothing else covers the magic. A built
// index holds the FST bytes alone and prepends the magic when written.
//
// Entry points, for the Python class, the overlay, the planner and the
// command line:
//   build                   keys in memory (any order, repeats dropped)
//   from_sorted, build_sorted_to_file, build_to_file
//                           streamed builds from a key source: ascending keys
//                           into memory or a file, or keys in any order
//                           sorted through spilled runs into a file
//   insert_sorted, finish   an ascending key stream into a MapBuilder whose
//                           sink already holds the magic (file builds)
//   from_bytes, from_shared          trusted opens (verify: CRC and ranks)
//   from_untrusted_bytes, from_shared_untrusted   the full graph validation
//   load, load_mmap, ... , save      the same opens over files
//   id, rank_walk           key -> id and id -> key
//   stream                  the FST's (key, id) stream in key order, bounded
//                           by an fst::Range; prefix_iter, fuzzy_iter and
//                           subsequence_iter filter it by an automaton
//   batch_after             a cursor's next batch of keys after a key
//   write_to, serialized_len, fst_bytes   the blob
//
// Every operation reports failure as IndexError; errors of the FST engine
// become IndexError::Fst (displayed by kind only: "fst error: FST error" or
// "fst error: I/O error") and the Levenshtein limit IndexError::Automaton.
// The index is immutable and read by any number of threads without locks;
// the only later change is the one-time derivation of the first-character
// table by the first dictionary-matching call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "blob.hpp"
#include "blob_frame.hpp"
#include "error.hpp"
#include "extsort/extsort.hpp"
#include "fst/automaton.hpp"
#include "fst/builder.hpp"
#include "fst/fst.hpp"
#include "fst/levenshtein.hpp"
#include "fst/stream.hpp"
#include "fst_walk.hpp"
#include "pages.hpp"
#include "pause.hpp"
#include "subsequence.hpp"
#include "streamed_keys.hpp"
#include "threads.hpp"
#include "utf8.hpp"

namespace quorvale {


namespace string_index {

inline constexpr unsigned char MAGIC[4] = {'B', 'I', 'X', '4'};
// "BIX4" and the FST's own bytes: no header, no checksum of the frame's (the
// FST carries its own CRC-32C).
inline constexpr blob::Frame FRAME{
    .magic = "BIX4", .header_len = 4, .header_sum = false, .payload = blob::PayloadCheck::None};

// The key bytes of one run of build_to_file: a run is full when the next
// key would bring it above this, or when it holds RUN_BUDGET / 8 keys.
inline constexpr std::size_t RUN_BUDGET = std::size_t{1} << 28;
inline constexpr const char* MSG_OVER_BUDGET = "string-index: a key longer than the run budget";

// An error of the FST engine as the index reports it.
inline IndexError fst_error(const fst::Error& e) { return IndexError::fst(e.what(), e.detail()); }

// The key whose value is `rank`, walking the FST engine's decoded nodes with
// one binary search per node and no backtracking; nothing for a rank at or
// past the key count, or when the key's bytes are not UTF-8. Malformed nodes
// (a crafted blob behind a trusted open) throw IndexError::Fst.
std::optional<std::string> rank_walk(const fst::Fst& fst, std::uint64_t rank);

// The Levenshtein automaton of (query, max_distance), edits counted in
// characters, with the 10,000-state limit: IndexError::Automaton
// "Levenshtein automaton exceeds size limit of 10000 states" past it.
fst::Levenshtein levenshtein(std::string_view query, std::uint32_t max_distance);

// One item of a stream: the key decoded leniently (each ill-formed sequence
// as U+FFFD; a valid index holds only UTF-8 keys) and its id.
struct Entry {
  std::string key;
  std::uint64_t id;
  bool operator==(const Entry&) const = default;
};

// A pull stream of (key, id) in ascending key order, hence ascending ids,
// over the FST filtered by an automaton. It keeps the index's bytes alive.
template <fst::Automaton A = fst::AlwaysMatch>
class EntryStream {
 public:
  EntryStream(fst::Fst fst, fst::Range range, A automaton)
      : s_(std::move(fst), std::move(range), std::move(automaton)) {}

  // The next item with the key's stored bytes (valid until the next call).
  std::optional<fst::StreamItem> next_raw() {
    std::uint64_t budget = UINT64_MAX;
    return next_raw(budget);
  }
  // The same within a budget of steps (see fst::Stream::next).
  std::optional<fst::StreamItem> next_raw(std::uint64_t& budget) {
    try {
      return s_.next(budget);
    } catch (const fst::Error& e) {
      throw fst_error(e);
    }
  }
  std::optional<Entry> next() {
    auto item = next_raw();
    if (!item) return std::nullopt;
    return Entry{utf8::lossy(item->key), item->value};
  }

 private:
  fst::Stream<A> s_;
};

// Items taken from a stream with their stored bytes: the keys back to back
// in one buffer and, per item, where its key ends and its id. Kept raw so
// that a cursor can resume after exactly the bytes it stopped at; the
// binding decodes each key leniently (as `Entry` does).
class Batch {
 public:
  std::size_t size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }
  std::string_view key(std::size_t i) const noexcept {
    const std::size_t start = i == 0 ? 0 : items_[i - 1].end;
    return std::string_view(bytes_).substr(start, items_[i].end - start);
  }
  std::uint64_t id(std::size_t i) const noexcept { return items_[i].id; }
  void push(std::span<const unsigned char> key, std::uint64_t id) {
    bytes_.append(reinterpret_cast<const char*>(key.data()), key.size());
    items_.push_back({bytes_.size(), id});
  }
  void clear() noexcept {
    bytes_.clear();
    items_.clear();
  }

 private:
  struct Item {
    std::size_t end;
    std::uint64_t id;
  };
  std::string bytes_;
  std::vector<Item> items_;
};

// Takes at most `limit` items (all when none) from a stream into `out`;
// with a limit of 0 the stream is not pulled at all. The walk pauses every
// Pacer::EVERY steps (a long key copied counts a step per 64 bytes), also
// where it walks on without finding an item.
template <fst::Automaton A>
void collect(EntryStream<A>& stream, std::optional<std::uint64_t> limit, Batch& out, const Pause& pause = {}) {
  std::uint64_t budget = Pacer::EVERY;
  for (std::uint64_t taken = 0; !limit || taken < *limit;) {
    auto item = stream.next_raw(budget);
    if (!item) {
      if (budget != 0) break;
      take_pause(pause);
      budget = Pacer::EVERY;
      continue;
    }
    out.push(item->key, item->value);
    ++taken;
    budget -= std::min<std::uint64_t>(budget, item->key.size() / 64);
  }
}

// A key found inside a text: [start, end) in characters, and its id.
struct Occurrence {
  std::uint64_t start, end, id;
  bool operator==(const Occurrence&) const = default;
};

}  // namespace string_index

class StringIndex : public blob::Stored<StringIndex> {
 public:
  StringIndex(StringIndex&&) noexcept = default;
  StringIndex& operator=(StringIndex&&) noexcept = default;

  // ---- building ----

  // Sorts the keys by their bytes (a proper prefix first), drops repeats and
  // builds the FST in memory, the i-th distinct key with value i: the FST
  // takes each key on the calling thread as soon as the shared string sort
  // has put it in place, while worker threads sort the keys after it.
  // `stop` is asked every STOP_STRIDE keys.
  static StringIndex build(std::vector<std::string_view> keys, const StopProbe& stop = {});
  template <class Keys>
  static StringIndex build(const Keys& keys) {
    std::vector<std::string_view> views;
    views.reserve(std::size(keys));
    for (const auto& k : keys) views.emplace_back(k);
    return build(std::move(views));
  }

  // Feeds an ascending key stream into `builder`, dropping a key equal to the
  // one before it (a merge yields a key once per run holding it) and giving
  // every other key the count so far; returns the number inserted. A key
  // below its predecessor or a failing sink is IndexError::Fst at once; a
  // merge's read error passes through. The caller writes the magic before
  // the builder starts and finishes it afterwards (`finish`).
  // `stop`, a build's failure probe, is asked every STOP_STRIDE keys.
  template <fst::ByteSink Sink>
  static std::uint64_t insert_sorted(fst::MapBuilder<Sink>& builder, extsort::MergedStream& keys,
                                     const StopProbe& stop = {});
  // The same over one sorted run. A key that is not UTF-8 breaks the run's
  // invariant (it was filled from strings): a panic "appended from a str",
  // unless the view says its keys were checked.
  template <fst::ByteSink Sink>
  static std::uint64_t insert_sorted(fst::MapBuilder<Sink>& builder, const extsort::KeyView& keys,
                                     const StopProbe& stop = {});
  static constexpr std::uint64_t STOP_STRIDE = 1 << 16;
  // Writes the last nodes, the footer and the checksum; IndexError::Fst on
  // failure.
  template <fst::ByteSink Sink>
  static void finish(fst::MapBuilder<Sink>& builder);

  // Streamed builds. Each gives the index `build` gives for the same keys
  // (the file forms write exactly its blob), pulls its keys on the calling
  // thread and starts no thread. A source that failed ends its stream and
  // says so through `failed` (asked once the stream has ended): the build is
  // then abandoned with IndexError::Format "string-index: the input iterable
  // raised before it ended", which the caller replaces by the source's own
  // failure. A source may also end its stream by throwing, and the build
  // unwinds with that exception. Either way no temporary file and no spill
  // directory is left behind and the target is untouched.
  //
  // Keys in ascending byte order (a repeat of the key before is dropped; a
  // key below it is IndexError::Fst "FST error"), built in memory. Holds the
  // growing FST and one previous key, never the corpus.
  static StringIndex from_sorted(KeySource& keys, const StopProbe& failed = {});
  // The same straight into a blob file through the atomic writer, whose
  // temporary file is made before the first key is pulled. A write failure
  // met while the builder writes nodes is IndexError::Fst "I/O error"; the
  // writer's own steps (the temporary file, the last flush, the rename) fail
  // with IndexError::Io. Returns the number of keys written.
  static std::uint64_t build_sorted_to_file(KeySource& keys, const std::string& path,
                                            const StopProbe& failed = {});
  // Keys in any order: gathered into one run of at most `budget` key bytes
  // and budget / 8 keys (at least 8 bytes), spilled as sorted runs beside
  // `path` when they do not fit, then merged into the blob; the output is
  // started only once the source has ended, and a corpus that fits in one
  // run is never spilled. A key longer than the budget, wherever it comes,
  // is IndexError::Format "string-index: a key longer than the run budget".
  // `failed` is also asked while the sorted keys go into the blob, where a
  // yes abandons the build (IndexError Io Interrupted). Returns the number
  // of distinct keys.
  static std::uint64_t build_to_file(KeySource& keys, const std::string& path,
                                     std::size_t budget = string_index::RUN_BUDGET,
                                     const StopProbe& failed = {});

  // ---- opening ----

  // Opens a "BIX4" blob in this order: the magic ("bad magic or truncated
  // header"), the FST opener (IndexError::Fst), when verifying the CRC-32C
  // (a version without one fails) and the two ends of the rank sequence
  // ("string-index: FST values are not the sorted ranks"), then the root
  // address ("fst node address is outside the blob"). Unverified it reads
  // the footer only: constant time. The index keeps one reference to the
  // bytes; a failed open keeps none. from_bytes (a copy, verified), load,
  // load_mmap and load_mmap_verified come from Stored.
  static StringIndex from_shared(blob::SharedBytes blob, bool verify);
  // Copies the bytes and opens them with the full validation below.
  static StringIndex from_untrusted_bytes(std::span<const unsigned char> blob);
  // The open for bytes of unknown origin: the unverified open, then
  // `validate`, then the checksum (required). Afterwards every walk stays
  // inside the bytes, every key is UTF-8, every value is its rank and every
  // node leads to a key. Any failure of the node decoder on the way is
  // "fst node decoder panicked on this blob".
  static StringIndex from_shared_untrusted(blob::SharedBytes blob);

  // The graph check of the untrusted open over an opened FST, in time
  // proportional to its reachable nodes and transitions: IndexError::Format
  // with the first failing node's message.
  static void validate(const fst::Fst& fst);

  // The untrusted opens over a file: read whole into memory, or mapped
  // read-only. A mapped file must not change while an index over it lives.
  // Io errors for the file, then the open's own.
  static StringIndex load_untrusted(const std::string& path);
  static StringIndex load_mmap_untrusted(const std::string& path);

  // ---- reading ----

  std::uint64_t len() const noexcept { return fst_.len(); }
  bool is_empty() const noexcept { return fst_.len() == 0; }
  const fst::Fst& fst() const noexcept { return fst_; }
  std::uint64_t root() const noexcept { return root_; }
  std::uint64_t index_threshold() const noexcept { return threshold_; }

  // The id of a key, or nothing. Allocation-free; malformed nodes (only
  // behind a trusted open of crafted bytes) read as absence.
  std::optional<std::uint64_t> id(std::span<const unsigned char> key) const noexcept;
  std::optional<std::uint64_t> id(std::string_view key) const noexcept { return id(bytes_of(key)); }
  std::optional<std::string> key(std::uint64_t id) const { return string_index::rank_walk(fst_, id); }
  // The ids of `count` keys (key_at(i) gives key i as a string_view) into
  // out[0..count), `missing` for an absent key: each as `id` finds it, the
  // walks of several keys interleaved so that their node reads overlap.
  template <class KeyAt>
  void ids_into(std::size_t count, KeyAt&& key_at, std::uint64_t* out, std::uint64_t missing) const noexcept;

  // ---- ordered queries ----

  // The id of the first key at or above `query` in byte order, n when every
  // key is smaller. One descent along the query's path; no string is made.
  std::uint64_t rank_of_first_ge(std::span<const unsigned char> query) const noexcept;
  std::uint64_t rank_of_first_ge(std::string_view query) const noexcept { return rank_of_first_ge(bytes_of(query)); }
  // The half-open id range of the keys starting with `prefix`.
  std::pair<std::uint64_t, std::uint64_t> prefix_id_range(std::span<const unsigned char> prefix) const noexcept;
  std::pair<std::uint64_t, std::uint64_t> prefix_id_range(std::string_view prefix) const noexcept {
    return prefix_id_range(bytes_of(prefix));
  }

  // The (key, id) stream within `range`, filtered by `automaton`.
  template <fst::Automaton A = fst::AlwaysMatch>
  string_index::EntryStream<A> stream(fst::Range range = {}, A automaton = A{}) const {
    return string_index::EntryStream<A>(fst_, std::move(range), std::move(automaton));
  }
  // The keys starting with `prefix` (the empty key only for an empty prefix).
  string_index::EntryStream<fst::StartsWith> prefix_iter(std::string_view prefix) const;
  // The keys the automaton accepts (see string_index::levenshtein).
  string_index::EntryStream<fst::Levenshtein> fuzzy_iter(const fst::Levenshtein& automaton) const {
    return stream(fst::Range{}, automaton);
  }
  // The keys holding the query's characters in order. Walks every key.
  string_index::EntryStream<CharSubsequence> subsequence_iter(std::string_view query) const {
    return stream(fst::Range{}, CharSubsequence(query));
  }

  // Up to `n` items in key order after the stored key `after` (from the
  // first key when there is none) appended to `out`: one batch of a cursor
  // that resumes where the last batch stopped. A malformed node (a crafted
  // blob behind a trusted open) is IndexError::Fst, `out` as it may be.
  // The walk pauses every Pacer::EVERY transitions.
  void batch_after(const std::optional<std::string>& after, std::size_t n, string_index::Batch& out,
                   const Pause& pause = {}) const;

  // ---- dictionary matching ----

  // report(length, id) for every key that is a prefix of `query`, shortest
  // first. The first call on an index derives its first-character table.
  template <class Report>
  void for_each_common_prefix(std::string_view query, Report&& report) const;
  // Those keys as (key, id).
  std::vector<std::pair<std::string, std::uint64_t>> common_prefix(std::string_view query) const;
  // The longest of them.
  std::optional<std::pair<std::string, std::uint64_t>> longest_prefix(std::string_view query) const;
  // Every key found in `text` at every character, in character offsets,
  // ordered by start then length; the empty key is never reported.
  std::vector<string_index::Occurrence> occurrences(std::string_view text, const Pause& pause = {}) const;
  // The first-character table, derived on first use; nullptr when absent.
  const FirstChars* first_chars() const;

  // ---- the blob ----

  // The FST bytes (without the magic).
  std::span<const unsigned char> fst_bytes() const noexcept { return fst_.bytes(); }
  std::uint64_t serialized_len() const noexcept { return 4 + fst_.bytes().size(); }
  // "BIX4" then the FST bytes.
  template <class W>
  void write_to(W& out) const {
    out.write_all(std::span<const unsigned char>(string_index::MAGIC, 4));
    out.write_all(fst_.bytes());
  }
  // to_bytes and save (atomically) come from Stored.

 private:
  StringIndex(fst::Fst fst, std::uint64_t root);
  static std::span<const unsigned char> bytes_of(std::string_view s) noexcept {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
  }
  // Opens the bytes a builder wrote in memory.
  static StringIndex open_built(blob::SharedBytes fst_bytes);
  // The two ends of the rank sequence: the first key's value is 0 and rank
  // n - 1 has a key.
  static void verify_ranks(const fst::Fst& fst);

  fst::Fst fst_;
  std::uint64_t root_ = 0;
  std::uint64_t threshold_ = 0;
  fst::NodeReader reader_;
  std::unique_ptr<fst_walk::FirstCharsCell> first_chars_;
};

// ---------------------------------------------------------------------------

inline std::optional<std::uint64_t> StringIndex::id(std::span<const unsigned char> key) const noexcept {
  std::uint64_t addr = root_, acc = 0;
  fst::Node node;
  for (const unsigned char b : key) {
    if (addr == 0 || !reader_.read(addr, node)) return std::nullopt;
    const unsigned i = node.find(b);
    if (i >= node.len()) return std::nullopt;
    std::uint64_t out, target;
    if (!node.follow(i, out, target) || __builtin_add_overflow(acc, out, &acc)) return std::nullopt;
    addr = target;
  }
  if (addr == 0) return acc;
  if (!reader_.read(addr, node) || !node.is_final()) return std::nullopt;
  std::uint64_t id;
  if (__builtin_add_overflow(acc, node.final_output(), &id)) return std::nullopt;
  return id;
}

template <class KeyAt>
void StringIndex::ids_into(std::size_t count, KeyAt&& key_at, std::uint64_t* out, std::uint64_t missing) const noexcept {
  // A walk is one chain of dependent reads, each likely a cache miss in a
  // large FST: keep several in flight, one step each in turn, and prefetch
  // the node each step moves to.
  constexpr std::size_t LANES = 16;
  struct Walk {
    const unsigned char* at;
    const unsigned char* end;
    std::uint64_t addr, acc;
    std::size_t slot;
  };
  Walk lanes[LANES];
  std::size_t next = 0, live = 0;
  const unsigned char* const base = fst_.bytes().data();
  auto begin = [&](Walk& w) {
    // The keys' own bytes are scattered too (a batch of Python str objects):
    // fetch one a few walks ahead.
    if (next + LANES < count) __builtin_prefetch(key_at(next + LANES).data());
    const std::string_view k = key_at(next);
    const auto* p = reinterpret_cast<const unsigned char*>(k.data());
    w = Walk{p, p + k.size(), root_, 0, next};
    ++next;
  };
  while (live < LANES && next < count) begin(lanes[live++]);
  fst::Node node;
  while (live > 0) {
    for (std::size_t j = 0; j < live;) {
      Walk& w = lanes[j];
      std::uint64_t result = missing;
      bool done = true;
      if (w.at == w.end) {
        std::uint64_t id;
        if (w.addr == 0) result = w.acc;
        else if (reader_.read(w.addr, node) && node.is_final() &&
                 !__builtin_add_overflow(w.acc, node.final_output(), &id))
          result = id;
      } else if (w.addr != 0 && reader_.read(w.addr, node)) {
        const unsigned i = node.find(*w.at);
        std::uint64_t o, target;
        if (i < node.len() && node.follow(i, o, target) && !__builtin_add_overflow(w.acc, o, &w.acc)) {
          w.addr = target;
          ++w.at;
          __builtin_prefetch(base + target);
          done = false;
        }
      }
      if (!done) {
        ++j;
        continue;
      }
      out[w.slot] = result;
      if (next < count) {
        begin(w);
        ++j;
      } else {
        w = lanes[--live];  // the last lane takes this one's place, and its turn
      }
    }
  }
}

template <class Report>
void StringIndex::for_each_common_prefix(std::string_view query, Report&& report) const {
  const FirstChars* table = first_chars();
  const std::span<const unsigned char> q = bytes_of(query);
  const auto start = fst_walk::start_of(table, root_, q);
  // A start taken from the table skips the root, whose key (the empty one)
  // is reported from the table instead.
  if ((!start || start->pos > 0) && table->root_final()) report(std::size_t{0}, table->root_final_output());
  if (start) fst_walk::walk(reader_, q, *start, 0, report);
}

template <fst::ByteSink Sink>
std::uint64_t StringIndex::insert_sorted(fst::MapBuilder<Sink>& builder, extsort::MergedStream& keys,
                                         const StopProbe& stop) {
  std::string prev;
  std::uint64_t count = 0;
  for (std::uint64_t seen = 0;; ++seen) {
    if (seen % STOP_STRIDE == 0) stop_if(stop);
    auto key = keys.next();
    if (!key) break;
    if (count > 0 && *key == prev) continue;
    try {
      builder.insert(*key, count);
    } catch (const fst::Error& e) {
      throw string_index::fst_error(e);
    }
    prev.assign(*key);
    ++count;
  }
  return count;
}

template <fst::ByteSink Sink>
std::uint64_t StringIndex::insert_sorted(fst::MapBuilder<Sink>& builder, const extsort::KeyView& keys,
                                         const StopProbe& stop) {
  std::uint64_t count = 0;
  std::string_view prev;
  // Sorted keys lie scattered over the run's bytes: fetch each a little
  // ahead, or the comparison with the key before waits on every one.
  constexpr std::size_t AHEAD = 16;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i % STOP_STRIDE == 0) stop_if(stop);
    if (i + AHEAD < keys.size()) __builtin_prefetch(keys[i + AHEAD].data());
    const std::string_view key = keys[i];
    if (count > 0 && key == prev) continue;
    if (!keys.utf8_checked() && !utf8::valid(key)) panic("appended from a str");
    try {
      builder.insert(key, count);
    } catch (const fst::Error& e) {
      throw string_index::fst_error(e);
    }
    prev = key;
    ++count;
  }
  return count;
}

template <fst::ByteSink Sink>
void StringIndex::finish(fst::MapBuilder<Sink>& builder) {
  try {
    builder.finish();
  } catch (const fst::Error& e) {
    throw string_index::fst_error(e);
  }
}

}  // namespace quorvale
