// Building a dictionary in memory: training each shard's symbol table from a
// sample of its suffixes, front-coding whole shards on worker threads,
// pricing each shard under its codecs, writing its runs, and appending the
// shards in order into an index; the character-code road spells the keys
// first.
// Included by the layout (whose build entry points are declared there);
// nothing outside src/kinds/dict_index/ includes it but the planner's trials.
#pragma once

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "charcode.hpp"
#include "error.hpp"
#include "fsst.hpp"
#include "packed.hpp"
#include "paircode.hpp"
#include "phrase_build.hpp"
#include "threads.hpp"
#include "dict_index/format.hpp"
#include "dict_index/trials.hpp"

namespace quorvale {
namespace dict_index {

// The builds' refusals ("format error: " is the kind's prefix).
inline constexpr const char* MSG_BLOCK_RANGE = "dict: block must be in 1..=1024";
inline constexpr const char* MSG_SOURCE_RAISED = "dict: the input iterable raised before it ended";
inline constexpr const char* MSG_STREAM_CHANGED = "dict: the key stream changed between passes";


// Per shard, the sampled suffixes its table trains on (views of the keys).
using Pieces = std::vector<std::vector<fsst::Bytes>>;

// The phrases of a build: the dictionary every shard's tiered codec names,
// and the trie of the same phrases in the same order, which the shards'
// parses walk.
struct Phrases {
  phrase::Dict dict;
  phrase::Trie trie = phrase::Trie::empty();

  // No phrases: the empty dictionary and a trie that matches nothing.
  static Phrases none() { return Phrases{phrase::Dict(), phrase::Trie::empty()}; }
};

// What train_vocabulary trains: one symbol table a shard, and the phrases.
struct Vocabulary {
  std::vector<fsst::Table> tables;
  Phrases phrases;
};

// The phrase dictionary an index stores: a copy of the build's when some
// shard took the tiered codec, else the empty one (in memory and streamed
// alike, so both write the same phrases section).
phrase::Dict kept_phrases(std::span<const Codec> codecs, const Phrases& phrases);

// Blocks a shard: min(65,536 / block, 65,535).
inline std::uint64_t shard_blocks(std::uint64_t block) noexcept {
  const std::uint64_t s = 65536 / block;
  return s < 65535 ? s : 65535;
}
// Workers of a build: one for every 64 blocks, at most the processors, at least 1.
inline std::size_t threads_for(std::uint64_t n, std::uint64_t block, std::size_t processors) noexcept {
  const std::uint64_t by_blocks = (n / block + (n % block != 0)) >> 6;
  const std::uint64_t t = by_blocks < processors ? by_blocks : processors;
  return t == 0 ? 1 : static_cast<std::size_t>(t);
}
// The same with the online processor count read now.
inline std::size_t build_threads(std::uint64_t n, std::uint64_t block) {
  return threads_for(n, block, online_processors());
}

// How a build cuts its keys into parts of whole shards for its workers.
struct PartCut {
  std::uint64_t kpp = 1;    // keys a part
  std::uint64_t parts = 0;  // ceil(n / kpp)
};
PartCut cut_parts(std::uint64_t n, std::uint64_t block, std::size_t threads) noexcept;

// True when the keys ascend with repeats only, which are then dropped (the
// vector is cut to its distinct keys); false at the first descent, leaving a
// permutation of the keys.
bool dedup_ascending(std::vector<Key>& keys);

// The sampling stride of the shard whose first key is key `first` of n: one
// 256-key chunk in every stride is sampled, about 10,000 keys of a full shard
// (1 when exact).
std::uint64_t sample_stride(std::uint64_t shard_keys, std::uint64_t n, std::uint64_t first, bool exact) noexcept;
// Per shard, the suffixes the shard's front coding will code, one 256-key
// chunk in every `stride` (about 10,000 keys a shard; every key when exact).
Pieces build_pieces(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro, bool exact);
// The same over n keys reached by index (key_at(i) a Key that outlives the
// pieces). A key is coded against its predecessor, or a restart against the
// restart micro keys before it (the head first), so only the sampled chunks
// are visited.
template <class KeyAt>
Pieces pieces_of(std::uint64_t n, KeyAt&& key_at, std::uint64_t block, std::uint64_t micro, bool exact) {
  const std::uint64_t K = shard_blocks(block) * block;
  const std::uint64_t blocks = n / block + (n % block != 0);
  const std::uint64_t shards = blocks / shard_blocks(block) + (blocks % shard_blocks(block) != 0);
  Pieces pieces(shards == 0 ? 1 : static_cast<std::size_t>(shards));
  for (std::uint64_t s = 0; s < shards; ++s) {
    const std::uint64_t first = s * K, end = std::min(n, first + K);
    const std::uint64_t u = sample_stride(K, n, first, exact);
    std::vector<fsst::Bytes>& out = pieces[static_cast<std::size_t>(s)];
    for (std::uint64_t chunk = first; chunk < end; chunk += 256 * u) {
      for (std::uint64_t i = chunk; i < end && i < chunk + 256; ++i) {
        const std::uint64_t d = i % block;
        if (d == 0) continue;  // a head
        const Key key = key_at(i);
        const fsst::Bytes k(reinterpret_cast<const unsigned char*>(key.data()), key.size());
        const Key ref = key_at(d % micro == 0 ? i - micro : i - 1);
        out.push_back(k.subspan(common_prefix({reinterpret_cast<const unsigned char*>(ref.data()), ref.size()}, k)));
      }
    }
  }
  return pieces;
}
// One table a piece list, trained on up to `threads` workers.
std::vector<fsst::Table> train_shards(const Pieces& pieces, std::size_t threads);
// Keys a build needs before it mines phrases.
inline constexpr std::uint64_t kMineFrom = 16'384;
// The phrases of an index of n keys, mined from the pieces on up to
// `threads` workers: none below kMineFrom keys or when the packed byte
// alphabet beats the symbol tables; at most min(max(n / 8, 4,096), 524,288).
Phrases mine_phrases(const Pieces& pieces, std::span<const fsst::Table> tables, std::uint64_t n,
                     std::size_t threads);

// One shard's entries between collection and writing; cleared, not freed,
// from shard to shard.
struct Collected {
  std::vector<std::uint64_t> prefixes;  // x of every entry
  std::vector<unsigned char> raw;       // every entry's suffix bytes
  std::vector<std::uint64_t> raw_ends;
  std::vector<unsigned char> symbols;   // each suffix coded with the shard's table
  std::vector<std::uint64_t> symbol_ends;
  std::vector<unsigned char> tiered;    // each suffix coded for the tiered codec
  std::vector<std::uint64_t> tiered_ends;
  std::vector<std::uint32_t> run_entries;  // entries a run, in run order
  std::vector<std::uint32_t> block_runs;   // runs a block
  std::array<std::uint64_t, 256> histogram{};  // of the raw suffix bytes

  void clear() noexcept;
  std::size_t entries() const noexcept { return prefixes.size(); }
  // Opens a run (its entry count 0).
  void open_run() { run_entries.push_back(0); }
  // Appends `key` coded against `previous` to the open run.
  void push(Key previous, Key key, const fsst::Encoder& encoder);

  // Every entry's (x, y) under the codec.
  void pairs(const Codec& codec, std::vector<paircode::Pair>& out) const;

  struct Price {
    std::uint64_t cost = 0;  // bytes of run headers, escapes and suffix codes
    CodePair codes;
  };
  // The shard's cost under the codec, with the two pair codes chosen for it;
  // leaves the codec's pairs in `pairs`.
  Price price(const Codec& codec, std::vector<paircode::Pair>& pairs);

  struct Settled {
    Codec codec;
    CodePair codes;
  };
  // Chooses the shard's codec and pair codes; leaves the chosen codec's
  // pairs in `pairs` for the run writer. With phrases, a split that pays on
  // a sample of the suffixes codes every suffix into `tiered`, and the tiered
  // codec is kept when it saves more than 3 % over the best of the others.
  Settled settle(fsst::Table table, const Phrases& phrases, std::vector<paircode::Pair>& pairs);

 private:
  // Tries the tiered codec against `best` (of `cost` bytes) and takes it
  // when it pays. pairs_are_best says afterwards whether `pairs` holds the
  // best codec's pairs (the trial overwrites them when it prices).
  void try_tiered(fsst::Table table, const Phrases& phrases, std::vector<paircode::Pair>& pairs, Settled& best,
                  std::uint64_t cost, bool& pairs_are_best);

  // The runs' pairs by role, one suffix's codes, the tiered trial's samples
  // and its parse buffers; reused from shard to shard.
  std::vector<paircode::Run> entry_runs_, restart_runs_;
  std::vector<unsigned char> coded_;
  std::vector<fsst::Bytes> samples_;
  phrase::Scratch parse_;
};

// Whether a tiered shard of `cost` bytes saves more than 3 % over `best`.
inline bool tiered_pays(std::uint64_t cost, std::uint64_t best) noexcept {
  return static_cast<unsigned __int128>(cost) * 100 < static_cast<unsigned __int128>(best) * 97;
}

// Appends one block's runs and entries: its restart run, then one run per
// microblock. `keys` holds the block's 1..=block keys, the head first.
void collect_block(Collected& collected, std::span<const Key> keys, std::uint64_t micro,
                   const fsst::Encoder& encoder);

// The run writer's buffers, one per worker, reused for every run and block.
struct Scratch {
  std::vector<unsigned char> output;  // the bytes of the block being written
  std::vector<unsigned char> data;    // the data area of the run being written
  std::uint64_t bits = 0;             // packed suffix codes waiting
  std::uint32_t pending = 0;
  std::vector<std::uint64_t> run_starts;  // the block's microblock run starts, from its first byte
  paircode::FitTables fit;
};

// Appends one run of `pairs.size()` entries (nothing for none) to the
// scratch's output. `reverse` is the table code's reverse map (unused in
// field mode); `first` the run's first entry in the shard.
void write_run(const paircode::Code& code, const std::uint16_t* reverse, const Codec& codec,
               const Collected& collected, std::span<const paircode::Pair> pairs, std::uint64_t first,
               Scratch& scratch);

// Settles the codec and pair codes of the shard collected since the last
// flush, writes its blocks in order (each block's runs in scratch.output, its
// microblock run starts, relative to the block's first byte, in
// scratch.run_starts) handing each to `block`, and clears the Collected for
// the next shard.
Collected::Settled flush_shard(Collected& collected, const fsst::Table& table, const Phrases& phrases,
                               std::vector<paircode::Pair>& pairs, Scratch& scratch,
                               const std::function<void(const Scratch&)>& block);

// One shard's runs as a worker encodes them, offsets from the shard's first
// byte; kept by the caller until they go to their place in block order.
struct ShardOut {
  std::vector<unsigned char> data;          // the runs of every block
  std::vector<std::uint64_t> block_starts;  // one a block
  std::vector<std::uint64_t> run_starts;    // one a microblock run, not block-relative
  CodePair codes;
  Codec codec;
};

// A shard encoder's reusable buffers, one per worker.
struct ShardWork {
  Collected collected;
  std::vector<paircode::Pair> pairs;
  Scratch scratch;
  std::vector<Key> views;
};

// Encodes one shard (its keys, a whole number of blocks but for the last
// shard of an index) with its table into `out`, which is cleared first.
// Every shard's bytes depend on its keys, table and the phrases alone, so
// shards may be encoded in any order and on any thread.
void encode_shard(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro, const fsst::Table& table,
                  const Phrases& phrases, ShardWork& work, ShardOut& out);

// Encodes shards 0..count-1 on up to `threads` workers and hands them to
// `commit` strictly in shard order. encode(shard, worker, slot) fills slot
// `slot` of a ring of `window` slots (see ordered_window) using the
// worker's own buffers; commit(shard, slot) runs under a lock, one call at
// a time, once every earlier shard is committed. A worker claims a shard
// only while it lies within `window` of the next to commit, so at most that
// many encoded shards wait. A failure stops the claims and is rethrown once
// all have joined (a failure other than an ordinary error or exhausted
// memory is the broken invariant "encoding a range of blocks cannot panic").
inline std::size_t ordered_window(std::size_t threads) noexcept { return 2 * (threads == 0 ? 1 : threads); }
template <class Encode, class Commit>
void encode_in_order(std::size_t count, std::size_t threads, Encode&& encode, Commit&& commit) {
  if (threads <= 1 || count <= 1) {
    for (std::size_t s = 0; s < count; ++s) {
      encode(s, std::size_t{0}, std::size_t{0});
      commit(s, std::size_t{0});
    }
    return;
  }
  const std::size_t window = ordered_window(threads);
  std::mutex mutex;
  std::condition_variable turn;
  std::size_t claimed = 0, committed = 0;
  bool stopped = false;
  std::vector<char> ready(window, 0);
  try {
    run_workers(std::min(threads, count), [&](std::size_t worker) {
      try {
        for (;;) {
          std::size_t s;
          {
            std::unique_lock<std::mutex> lock(mutex);
            turn.wait(lock, [&] { return stopped || claimed >= count || claimed < committed + window; });
            if (stopped || claimed >= count) return;
            s = claimed++;
          }
          encode(s, worker, s % window);
          {
            std::lock_guard<std::mutex> lock(mutex);
            ready[s % window] = 1;
            while (!stopped && committed < count && ready[committed % window]) {
              ready[committed % window] = 0;
              commit(committed, committed % window);
              ++committed;
            }
          }
          turn.notify_all();
        }
      } catch (...) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          stopped = true;
        }
        turn.notify_all();
        throw;
      }
    });
  } catch (const IndexError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    panic("encoding a range of blocks cannot panic");
  }
}

// What one worker makes of its consecutive whole shards; offsets count from
// the part's own heads and block data.
struct Part {
  std::vector<unsigned char> heads;
  std::vector<std::uint64_t> head_ends;    // one a block
  std::vector<std::uint64_t> block_starts;  // one a block
  std::vector<std::uint64_t> run_starts;   // one a microblock run, not block-relative
  std::vector<unsigned char> block_data;
  std::vector<CodePair> codes;  // one a shard
  std::vector<Codec> codecs;    // one a shard
};

// Encodes a range of whole shards (the last maybe short) whose first block
// is block `first_block` of the index; shard s of the range codes with
// tables[min(count - 1, first_block / shard + s)].
Part encode_range(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro,
                  std::span<const fsst::Table> tables, const Phrases& phrases, std::uint64_t shard,
                  std::uint64_t first_block);

// An ascending array sampled every 64 values, at the width of its widest
// difference inside a chunk of 64.
Offsets packed_offsets(std::span<const std::uint64_t> values);
// The micro offsets: every microblock run start (J a block, counted from the
// start of the block data) made relative to its block's start, packed at the
// width of the largest; nothing when J = 1.
Packed micro_offsets(std::span<const std::uint64_t> run_starts, std::span<const std::uint64_t> block_starts,
                     std::uint64_t J);

// Bytes of keys, and how many of them lie outside ASCII (0x80 and above).
struct ByteCount {
  std::uint64_t total = 0;
  std::uint64_t high = 0;
  // Whether a character code may pay: at least two fifteenths of the bytes
  // lie outside ASCII.
  bool may_pay() const noexcept {
    return 30 * static_cast<unsigned __int128>(high) >= 4 * static_cast<unsigned __int128>(total);
  }
};
// Counted eight bytes at a time.
ByteCount count_bytes(std::span<const Key> keys) noexcept;

// The character code the keys should be spelled in, or nothing: only when at
// least two fifteenths of their bytes lie outside ASCII and the tally's
// choice pays.
std::optional<charcode::CharCode> choose_code(std::span<const Key> keys, std::size_t threads);

// parallel_claims for a build's workers: a worker's failure other than
// exhausted memory is the broken invariant `sentence` once all have joined.
// With one thread or one task everything runs on the calling thread.
template <class Fn>
void claim_on_workers(std::size_t count, std::size_t threads, const char* sentence, Fn&& fn) {
  if (threads <= 1 || count <= 1) {
    parallel_claims(count, 1, fn);
    return;
  }
  try {
    parallel_claims(count, threads, fn);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    panic(sentence);
  }
}

// Runs f over consecutive ranges of ceil(n / threads) keys, one worker a
// range, and returns the results in range order.
template <class F>
auto in_ranges(std::span<const Key> keys, std::size_t threads, F&& f) -> std::vector<decltype(f(keys))> {
  using R = decltype(f(keys));
  const std::size_t n = keys.size();
  const std::size_t t = threads == 0 ? 1 : threads;
  const std::size_t chunk = n == 0 ? 1 : n / t + (n % t != 0);
  const std::size_t ranges = n / chunk + (n % chunk != 0);
  std::vector<std::optional<R>> slots(ranges);
  claim_on_workers(ranges, t, "counting or spelling a range of keys cannot panic", [&](std::size_t r) {
    const std::size_t lo = r * chunk;
    slots[r].emplace(f(keys.subspan(lo, std::min(chunk, n - lo))));
  });
  std::vector<R> out;
  out.reserve(ranges);
  for (auto& s : slots) out.push_back(std::move(*s));
  return out;
}

}  // namespace dict_index
}  // namespace quorvale
