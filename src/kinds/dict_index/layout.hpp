// The dictionary's layout: the sections of a "BDX3"/"BDX4" blob held as
// views (or a build's own buffers), with the codec records, the run cursor,
// the derived samples and every search, decode and build over them.
// Internal to src/kinds/dict_index/: the files beside it implement the blob
// format and its writers (format), loading and validation (loader), the run
// cursor and key decoding (decoder), the run scans (scan), routing and
// locate (search), the batched lookups (batch) and the queries made of those
// (queries); the build is build.hpp. Everything else reaches a dictionary
// through `DictIndex` (dict_index.hpp), which holds one of these.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "blob.hpp"
#include "dict_index/dict_index.hpp"
#include "charcode.hpp"
#include "dict_index/format.hpp"
#include "fsst.hpp"
#include "packed.hpp"
#include "paircode.hpp"
#include "phrase.hpp"
#include "ties.hpp"

namespace quorvale {
namespace arrow {
struct Utf8Chunk;
}
namespace dict_index {

// The suffix codec of one shard.
struct Codec {
  struct Symbols {
    fsst::Table table;
  };
  struct Packed {
    packed::Alphabet alphabet;
  };
  struct Tiered {
    fsst::Table table;    // at most split.g symbols
    phrase::Split split;  // symbol codes and three-byte phrase leads
  };
  std::variant<Symbols, Packed, Tiered> v;

  // Where an entry's suffix codes lie: the run's data area, the bit of the
  // first code, and the suffix length in code units.
  struct Source {
    ByteSpan data;
    std::uint64_t bit = 0;
    std::uint64_t units = 0;
  };

  // Parses one codec record (tag byte first); nothing when it is malformed.
  static std::optional<Codec> read(ByteSpan record);
  // Appends the record, tag byte first.
  void write_to(std::vector<unsigned char>& out) const;
  std::uint64_t record_len() const noexcept;
  // Bits a code unit takes: 8, or the packed alphabet's width.
  unsigned unit_bits() const noexcept;

  // Appends the suffix's bytes to out, stopping once at least `count`
  // bytes are appended (u64::MAX: the whole suffix). False on an invalid
  // code or codes that end inside a code sequence.
  bool decode_into(const phrase::Dict& phrases, const Source& source, std::vector<unsigned char>& out,
                   std::uint64_t count) const;

  // The byte codecs (Symbols, Tiered) in place: the suffix's code bytes (from
  // byte bit / 8, at most `units`, none past the data); the room a decode of
  // them needs (whole 8-byte symbols and 32-byte phrases are stored); and the
  // decode into `out`, which has that room: the bytes produced, or nothing.
  static ByteSpan byte_codes(const Source& source) noexcept;
  std::uint64_t room(std::uint64_t count, std::size_t codes) const noexcept;
  std::optional<std::size_t> decode_at(const phrase::Dict& phrases, ByteSpan codes, unsigned char* out,
                                       std::uint64_t count) const noexcept;
};

// Appends the tables section: each codec's u32 length and record.
void write_codecs(std::span<const Codec> codecs, std::vector<unsigned char>& out);

// Refuses (IndexError, Format, naming the section) a tables, header codes,
// phrases or chars section too long for its u32 length field.
void check_section_lengths(std::uint64_t tables, std::uint64_t codes, std::uint64_t phrases, std::uint64_t chars);

// A shard's two header codes.
struct CodePair {
  paircode::Code entry;    // microblock runs
  paircode::Code restart;  // the block's restart run
};

// One run opened for reading. The empty cursor (a run that cannot be read)
// has no entries and no data.
struct RunCursor {
  ByteSpan run;
  bool readable = false;
  bool fields = false;  // field mode, else table mode
  const std::uint16_t* table = nullptr;  // table mode: (x << 8) | y
  std::uint64_t table_len = 0;
  std::uint64_t x_base = 0, y_base = 0;  // field mode
  unsigned y_width = 0;
  std::uint64_t y_mask = 0;
  unsigned width = 0;            // bits of an entry header
  std::uint64_t code_mask = 0;   // all ones over `width`
  std::uint64_t header_bit = 0;  // of the next entry header
  ByteSpan data;
  std::uint64_t data_bits = 0;  // saturating
  std::uint64_t data_bit = 0;   // of the next entry's codes (or escape)
  std::uint64_t capacity = 0;   // code units the data area holds
  unsigned unit = 8;            // bits a code unit takes
  std::uint64_t entries = 0;    // k - 1
  std::uint64_t consumed = 0;
  bool last_escaped = false;    // whether the last pair read was escaped
  const Codec* codec = nullptr;  // the shard's, which the run was opened with

  // Opens a run of k keys (k - 1 entries) read with `code` and `codec`.
  static RunCursor open(ByteSpan run, const paircode::Code& code, std::uint64_t k, const Codec& codec) noexcept;

  // The (x, y) of the entry whose header is at bit `hbit`, for one header
  // mode: moves hbit past the header, and for an escaped entry `bit` (a data
  // position in bits) past its varints. False when an escape cannot be read.
  // The walks of runs (scans, climbs, stepping) share it.
  template <bool Fields>
  bool pair_at(std::uint64_t& hbit, std::uint64_t& bit, std::uint64_t& x, std::uint64_t& y) const noexcept {
    const std::uint64_t at = hbit / 8;
    const std::uint64_t word = at + 8 <= run.size() ? load_le64(run.data() + at) : paircode::tail_word(run, at);
    const std::uint64_t code = (word >> (hbit % 8)) & code_mask;
    hbit += width;
    if (Fields ? code != code_mask : code < table_len) {
      if constexpr (Fields) {
        y = y_base + (code & y_mask);
        x = x_base + (code >> y_width);
      } else {
        x = table[code] >> 8;
        y = table[code] & 0xff;
      }
      return true;
    }
    const auto e = escaped(data, bit < data_bits ? bit : data_bits);
    if (!e) return false;
    x = e->x;
    y = e->y;
    bit = e->bit;
    return true;
  }

  // Reads the next entry's (x, y) at the header position and moves it on;
  // an escaped entry's varints move the data position past them. False when
  // an escape cannot be read. Does not count the entry as consumed.
  bool read_pair(std::uint64_t& x, std::uint64_t& y) noexcept {
    const std::uint64_t before = data_bit;
    const bool ok = fields ? pair_at<true>(header_bit, data_bit, x, y) : pair_at<false>(header_bit, data_bit, x, y);
    last_escaped = ok && data_bit != before;  // only an escape moves the data position
    return ok;
  }

 private:
  void init(ByteSpan bytes, const paircode::Code& code, std::uint64_t k, const Codec& codec) noexcept;
};

// A run as the decoder climbs it: its codec, header code, bytes and keys
// (its first key included).
struct Run {
  const Codec* codec = nullptr;
  const paircode::Code* code = nullptr;
  ByteSpan bytes;
  std::uint64_t keys = 0;
};

// What split_run counts of one run.
struct RunSplit {
  std::uint64_t header = 0;   // header-area bytes
  std::uint64_t wide = 0;     // escape-varint bytes
  std::uint64_t codes = 0;    // the rest of the data area
  std::uint64_t entries = 0;  // entries walked
  std::uint64_t escaped = 0;  // escaped entries walked
};
RunSplit split_run(const paircode::Code& code, const Codec& codec, ByteSpan run, std::uint64_t keys) noexcept;

// Routing over the heads spelled back to UTF-8 (beside a character code).
struct RawRoute {
  std::string prefix;               // the first p bytes of head 0, spelled
  std::vector<std::uint64_t> samples;  // one a block
};

// The route words: a one-time-initialised cell, empty at load.
class RouteCell {
 public:
  // The words once derived; nullptr until then (never waits).
  const std::vector<std::uint64_t>* get() const noexcept {
    return ready_.load(std::memory_order_acquire) ? &words_ : nullptr;
  }
  // Derives them on the first call (later callers wait for it) and returns them.
  template <class F>
  const std::vector<std::uint64_t>& get_or_init(F&& derive) {
    std::call_once(once_, [&] {
      words_ = derive();
      ready_.store(true, std::memory_order_release);
    });
    return words_;
  }

 private:
  std::once_flag once_;
  std::atomic<bool> ready_{false};
  std::vector<std::uint64_t> words_;
};

// The prefix walk's answers for prefixes of one to three bytes (the rank,
// whether it is a key, whether a key extends it), kept as each is first
// found: they are the first steps of almost every match, and each would
// route to a block of its own and walk its runs only to be left for the
// next block. One byte has a word of its own; two and three bytes share a
// table of 16,384 words by a hash (made on the first one kept, so that an
// index never matched against does not carry it), each word saying which
// bytes it holds. A word packs, above its flags stop << 2 | found << 1 | 1,
// the rank (and for the table the bytes), zero until kept; threads that keep
// one at once store whole words, and a reader takes a word only when its
// bytes are the ones sought.
class ShortSteps {
 public:
  struct Step {
    std::uint64_t rank;
    bool found, stop;
  };
  ShortSteps() = default;
  ShortSteps(const ShortSteps&) = delete;
  ShortSteps& operator=(const ShortSteps&) = delete;
  ~ShortSteps() { delete[] table_.load(std::memory_order_acquire); }

  // The prefix of `len` bytes (1 to 3) at p.
  std::optional<Step> get(const unsigned char* p, std::size_t len) const noexcept {
    std::uint64_t w;
    if (len == 1) {
      w = one_[p[0]].load(std::memory_order_relaxed);
      if (w == 0) return std::nullopt;
      return Step{w >> 3, (w & 2) != 0, (w & 4) != 0};
    }
    const std::atomic<std::uint64_t>* t = table_.load(std::memory_order_acquire);
    if (t == nullptr) return std::nullopt;
    const std::uint64_t tag = tag_of(p, len);
    w = t[slot(tag)].load(std::memory_order_relaxed);
    if ((w & 1) == 0 || ((w >> 3) & TAG_MASK) != tag) return std::nullopt;
    return Step{w >> RANK_SHIFT, (w & 2) != 0, (w & 4) != 0};
  }

  void keep(const unsigned char* p, std::size_t len, const Step& s) noexcept {
    const std::uint64_t flags = std::uint64_t{s.stop} << 2 | std::uint64_t{s.found} << 1 | 1;
    if (len == 1) {
      if (s.rank >> 61) return;  // no room in the word: found again each time
      one_[p[0]].store(s.rank << 3 | flags, std::memory_order_relaxed);
      return;
    }
    if (s.rank >> (64 - RANK_SHIFT)) return;
    std::atomic<std::uint64_t>* t = table_.load(std::memory_order_acquire);
    if (t == nullptr) {
      std::atomic<std::uint64_t>* made = new (std::nothrow) std::atomic<std::uint64_t>[SLOTS]();
      if (made == nullptr) return;  // not kept: found again each time
      if (table_.compare_exchange_strong(t, made, std::memory_order_acq_rel)) {
        t = made;
      } else {
        delete[] made;  // another thread's table stands
      }
    }
    const std::uint64_t tag = tag_of(p, len);
    t[slot(tag)].store(s.rank << RANK_SHIFT | tag << 3 | flags, std::memory_order_relaxed);
  }

 private:
  static constexpr unsigned BITS = 14;
  static constexpr std::size_t SLOTS = std::size_t{1} << BITS;
  static constexpr std::uint64_t TAG_MASK = (std::uint64_t{1} << 25) - 1;  // 3 bytes and whether there are 3
  static constexpr unsigned RANK_SHIFT = 28;
  static std::uint64_t tag_of(const unsigned char* p, std::size_t len) noexcept {
    return len == 2 ? std::uint64_t{p[0]} << 8 | p[1]
                    : std::uint64_t{1} << 24 | std::uint64_t{p[0]} << 16 | std::uint64_t{p[1]} << 8 | p[2];
  }
  static std::size_t slot(std::uint64_t tag) noexcept { return (tag * 0x9E3779B97F4A7C15ull) >> (64 - BITS); }

  std::atomic<std::uint64_t> one_[256] = {};
  std::atomic<std::atomic<std::uint64_t>*> table_{nullptr};
};

class Layout;

// What a dictionary derives from its heads rather than stores: one sample a
// block (the 8 head bytes after the head prefix, zero padded, big-endian),
// and from all of them the tie resolver and, beside a character code, the
// raw routing table. Derived on first need, so that opening a mapped
// dictionary reads only what it must check: the samples a chunk of blocks
// at a time as searches reach them, the resolver and the raw table whole.
// Each piece is published once (a chunk's flag, a one-time initialisation)
// and never changes, and its values are those a derivation of everything at
// once would give.
class Derived {
 public:
  static constexpr unsigned CHUNK_SHIFT = 9;  // 512 blocks a chunk

  Derived() = default;
  explicit Derived(std::uint64_t blocks);
  std::uint64_t blocks() const noexcept { return blocks_; }

  // Sample i (below blocks()), its chunk derived first when it is not yet.
  std::uint64_t sample(const Layout& d, std::uint64_t i) const {
    if (!ready_[i >> CHUNK_SHIFT].load(std::memory_order_acquire)) derive_chunk(d, i >> CHUNK_SHIFT);
    return samples_[i];
  }
  // Every sample once all are derived; nullptr before (never derives).
  const std::uint64_t* complete() const noexcept {
    return complete_.load(std::memory_order_acquire) ? samples_.data() : nullptr;
  }
  // Every sample, deriving those not yet derived.
  std::span<const std::uint64_t> all(const Layout& d) const;
  const ties::Ties* ties(const Layout& d) const;
  const RawRoute* raw(const Layout& d) const;

 private:
  void derive_chunk(const Layout& d, std::uint64_t chunk) const;
  void derive_locked(const Layout& d, std::uint64_t chunk) const;

  std::uint64_t blocks_ = 0;
  std::uint64_t chunks_ = 0;
  mutable Pages<std::uint64_t> samples_;  // written chunk by chunk, under mutex_
  std::unique_ptr<std::atomic<bool>[]> ready_;
  mutable std::uint64_t derived_chunks_ = 0;  // under mutex_
  mutable std::atomic<bool> complete_{false};
  mutable std::mutex mutex_;
  mutable std::once_flag ties_once_, raw_once_;
  mutable std::unique_ptr<ties::Ties> ties_;
  mutable std::unique_ptr<RawRoute> raw_;
};

// The answer of a run scan. Not found: the entries below the query, and the
// common prefix of the query with the last key below it. Found: the 1-based
// entry equal to the query, and the query's length.
struct Scan {
  std::uint64_t position = 0;
  std::uint64_t depth = 0;
  bool found = false;
  bool operator==(const Scan&) const = default;
};

// What follows the last key below a query in a walked run: a key that
// extends the query, one that does not, the end of the run, or nothing
// known (a found key, an entry that cannot be read).
enum class Next : std::uint8_t { Unknown, Other, Extends, End };

// Where a walk of one run stands between queries that extend one another
// (each the one before plus some bytes): the next entry to read (1-based),
// its header bit and data bit, and the common prefix of the last query with
// the last key below it; and what followed it.
struct RunPlace {
  std::uint64_t entry = 1, header_bit = 0, data_bit = 0, depth = 0;
  Next next = Next::Unknown;
};

}  // namespace dict_index
}  // namespace quorvale

// The build's pieces need the codec and the offset arrays above.
#include "dict_index/build.hpp"

namespace quorvale {

namespace extsort {
class Replay;
}

namespace dict_index {

class Layout : public blob::Stored<Layout> {
 public:
  using Probe = DictIndex::Probe;
  using Offline = DictIndex::Offline;

  // Builds from keys in any order, repeats allowed; the only error is a
  // block outside 1..=1024 (IndexError, Format), refused before the keys are
  // read. The views are sorted in place; the keys must outlive the call.
  static Layout build_with_block(std::vector<Key> keys, std::uint64_t block);
  static Layout build_with_block(std::span<const std::string> keys, std::uint64_t block);
  // From ascending distinct keys, on `threads` workers (at least 1). `total`
  // is the size of the corpus the keys stand for: keys.size() for a whole
  // build, larger when they are a sample of it.
  // `done(k)`, when given, is told (in ascending order) that the keys below
  // k will not be read again.
  using KeysDone = std::function<void(std::uint64_t)>;
  static Layout from_sorted_as(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro,
                                  std::size_t threads, std::uint64_t total, const KeysDone& done = {});
  // The same with the tables (at least one) and phrases already made.
  static Layout from_vocabulary(std::span<const Key> keys, std::uint64_t block, std::uint64_t micro,
                                   std::size_t threads, std::span<const fsst::Table> tables,
                                   const dict_index::Phrases& phrases, const KeysDone& done = {});
  // Spells the ascending distinct UTF-8 keys in `code` (chosen over them),
  // builds over the coded keys and keeps the code ("BDX4"); the key views are
  // released once spelled.
  static Layout from_coded(std::vector<Key> keys, std::uint64_t block, std::uint64_t micro,
                              charcode::CharCode code);
  // The streamed build: the keys, in any order with repeats, are sorted in
  // runs of at most `budget` key bytes (and budget / 8 keys), spilled beside
  // `path` when there is more than one, then replayed into the blob written
  // straight into `path` (the bytes the in-memory build saves). Returns the
  // distinct key count. The block is checked before any key is read; a key
  // that no run can hold, a source that failed (`probe` answers true once the
  // stream has ended) and every write failure are refused with `path` as it
  // was and no spill directory left behind. The passes over the sorted keys
  // ask `probe` as they go, and a yes there abandons the build the same way
  // (IndexError Io Interrupted).
  static std::uint64_t build_to_file_runs(KeySource& keys, const std::string& path, std::uint64_t block,
                                          const Probe& probe = {}, const Offline& offline = {},
                                          std::size_t budget = dict_index::RUN_BUDGET);
  // The passes and the writer over a sorted source, every replay of which
  // gives the same distinct keys ascending (else "the key stream changed").
  static std::uint64_t write_sorted(extsort::Replay& source, const std::string& path, std::uint64_t block,
                                    const Probe& probe = {});

  // Sections of the blob, as views of its bytes (or a build's own buffers).
  blob::SharedBytes heads;
  dict_index::Offsets head_ends;
  dict_index::Offsets block_offsets;
  dict_index::Packed micro_offsets;
  blob::SharedBytes block_data;
  std::vector<Codec> codecs;           // one a stored shard
  std::vector<dict_index::CodePair> codes;
  phrase::Dict phrases;
  std::uint64_t block = 1, micro = 1, J = 1, n = 0, shard = 1, head_prefix = 0;
  std::unique_ptr<charcode::CharCode> chars;  // exactly for "BDX4"
  std::unique_ptr<dict_index::RouteCell> route_words = std::make_unique<dict_index::RouteCell>();
  std::unique_ptr<dict_index::ShortSteps> short_steps = std::make_unique<dict_index::ShortSteps>();
  // The samples, the tie resolver and the raw routing table, derived on
  // first need (loads and builds set it up for their block count).
  std::unique_ptr<dict_index::Derived> derived = std::make_unique<dict_index::Derived>();

  // One sample a block, every one derived.
  std::span<const std::uint64_t> samples() const { return derived->all(*this); }
  // The tie resolver, or nothing (no ties it can split).
  const ties::Ties* ties() const { return derived->ties(*this); }
  // The raw routing table beside a character code, or nothing.
  const dict_index::RawRoute* raw() const { return derived->raw(*this); }

  // Loads a blob, owned or mapped, keeping views of it; with `verify` also
  // checks the payload checksum and walks the offset arrays. Every refusal
  // is IndexError (Format).
  static Layout from_shared(blob::SharedBytes bytes, bool verify);
  // The verified walk of the heads and the offset arrays.
  void check_layout() const;
  // The raw routing table, or nothing (no character code, no blocks, a head
  // that cannot be spelled, or raw samples tying more blocks).
  std::unique_ptr<dict_index::RawRoute> raw_route() const;

  // Writers. `header` and `write_to` refuse a u32-length section that is
  // too long; `write_to` passes on the writer's error.
  std::array<unsigned char, dict_index::HEADER_LEN> header() const;
  void write_to(const std::function<void(std::span<const unsigned char>)>& write) const;
  // The same into any byte sink offering write_all(span) (a BufWriter, ...).
  template <class W>
    requires requires(W& w, std::span<const unsigned char> s) { w.write_all(s); }
  void write_to(W& w) const {
    write_to([&w](std::span<const unsigned char> s) { w.write_all(s); });
  }
  // to_bytes, save, from_bytes and the loads of a whole blob come from
  // Stored: a copy of the bytes and the file read whole are verified, a map
  // unverified or verified.
  std::uint64_t len() const noexcept { return n; }
  std::uint64_t serialized_len() const noexcept;
  dict_index::Sections sections() const noexcept;

  // Shape.
  std::uint64_t block_count() const noexcept { return derived->blocks(); }
  std::uint64_t block_keys(std::uint64_t b) const noexcept { return dict_index::block_keys(n, block, b); }
  // Every block but the last has J microblocks; the searches and the decoder
  // ask on every lookup, so neither divides where it need not.
  std::uint64_t microblocks(std::uint64_t b) const noexcept {
    return b + 1 < block_count() ? J : dict_index::ceil_div(block_keys(b), micro);
  }
  std::size_t shard_of(std::uint64_t b) const noexcept {
    return static_cast<std::size_t>((shard & (shard - 1)) == 0 ? b >> std::countr_zero(shard) : b / shard);
  }
  // Head b's stored bytes (empty when its range is damaged).
  dict_index::ByteSpan head(std::uint64_t b) const noexcept;
  // Block b's restart run, and the run of its microblock j (empty ranges
  // when damaged).
  dict_index::ByteSpan restart_bytes(std::uint64_t b) const noexcept;
  dict_index::ByteSpan micro_bytes(std::uint64_t b, std::uint64_t j) const noexcept;
  RunCursor open_restart(std::uint64_t b) const noexcept;
  RunCursor open_micro(std::uint64_t b, std::uint64_t j) const noexcept;

  // Decoding. None of these reports an error: damaged data reads as an
  // absent key or an early end.
  bool advance(const Codec& codec, RunCursor& cursor, std::vector<unsigned char>& out) const;
  bool climb(const dict_index::Run& run, std::uint64_t t, std::vector<unsigned char>& out) const;
  bool key_bytes_into(std::uint64_t id, std::vector<unsigned char>& out) const;
  std::optional<std::string> key(std::uint64_t id) const;
  std::optional<std::string> spelled(dict_index::ByteSpan stored) const;

  // Searches (scan, search). None reports an error: on damaged data of an
  // index loaded without verification they read only inside the blob and the
  // query and give ranks in 0..=n, possibly wrong ones.
  //
  // The search over the caller's bytes (UTF-8, or any bytes): translated into
  // the character code when the index has one.
  dict_index::Search locate_query(dict_index::ByteSpan query) const;
  dict_index::Search locate_query(std::string_view query) const {
    return locate_query(dict_index::ByteSpan(reinterpret_cast<const unsigned char*>(query.data()), query.size()));
  }
  // The search over bytes in the stored form.
  dict_index::Search locate(dict_index::ByteSpan query) const;
  // The block boundary of a stored-form query in a non-empty index (the
  // blocks whose head is not above it), by the head prefix, the samples, the
  // tie resolver or whole heads; when the tie resolver settled it on the
  // block right after the head it compared last, that head's common prefix
  // with the query and its length.
  struct Route {
    std::uint64_t boundary = 0;
    bool compared = false;
    std::uint64_t common = 0, head_len = 0;
  };
  Route route(dict_index::ByteSpan query) const;
  // The first block in [lo, hi) whose head is above the query; hi when none,
  // lo when lo >= hi.
  std::uint64_t head_boundary(dict_index::ByteSpan query, std::uint64_t lo, std::uint64_t hi) const noexcept;
  // The search inside the block before a block boundary (0: below every key).
  dict_index::Search locate_in(std::uint64_t boundary, dict_index::ByteSpan query) const;
  // The search inside block e for a query above its head with which it
  // shares `depth` bytes: the microblock, then its run.
  dict_index::Search search_block(std::uint64_t e, dict_index::ByteSpan query, std::uint64_t depth) const;
  // The tie resolver's walk of the tie whose root is `node`.
  ties::Boundary tie_boundary(std::uint32_t node, dict_index::ByteSpan query) const;
  // The route words (derived on the first call, later callers waiting for
  // it; fixed from then on). Empty when J = 1.
  std::span<const std::uint64_t> route_microblocks() const;
  // The ids [start, end) of the keys that start with the prefix (caller's bytes).
  std::pair<std::uint64_t, std::uint64_t> prefix_id_range(dict_index::ByteSpan prefix) const;
  std::pair<std::uint64_t, std::uint64_t> prefix_id_range(std::string_view prefix) const {
    return prefix_id_range(dict_index::ByteSpan(reinterpret_cast<const unsigned char*>(prefix.data()), prefix.size()));
  }
  // Compares a query with the entries of one opened run of `count` keys,
  // whose first key is below the query and shares `depth` bytes with it.
  dict_index::Scan scan_run(const RunCursor& cursor, std::uint64_t count, dict_index::ByteSpan query,
                            std::uint64_t depth) const noexcept;

  // The same scan in steps: a walk starts where scan_run would (the run's
  // first key below the query, sharing `depth` bytes with it), and each
  // step answers as scan_run would for its query, going on from where the
  // step before stopped; each query must extend the one before.
  dict_index::RunPlace start_walk(const RunCursor& cursor, std::uint64_t depth) const noexcept;
  dict_index::Scan walk_run(const RunCursor& cursor, std::uint64_t count, dict_index::ByteSpan query,
                            dict_index::RunPlace& place) const noexcept;

  // Every prefix of the query ending on a character boundary that is a key,
  // shortest first; with `longest`, only the longest one (queries).
  std::vector<PrefixMatch> prefixes(std::string_view query, bool longest) const;
  // The keys of ids, one decode cursor kept from id to id (queries).
  std::vector<std::optional<std::string>> keys_of(std::span<const std::uint64_t> ids) const;

  // Batched lookups (batch), each key's answer that of locate_query: the id
  // of every member, nothing (or MISSING_ID) for the others. The chunk form
  // gives MISSING_ID for a null element too.
  std::vector<std::optional<std::uint64_t>> ids_of(std::span<const std::string_view> keys) const;
  void ids_into(std::span<const std::string_view> keys, std::uint64_t* out) const;
  std::vector<std::uint64_t> arrow_ids(std::span<const arrow::Utf8Chunk> chunks) const;

  // Keys in id order from a start id.
  class Iter {
   public:
    // The next (key, id); false once the iteration has ended.
    bool next(std::string& text, std::uint64_t& id);
    // The same with the key's own bytes where it is not UTF-8 (next gives
    // U+FFFD there): for those that must see exactly the key a query holds.
    bool next_bytes(std::string& bytes, std::uint64_t& id);

   private:
    friend class Layout;
    explicit Iter(const Layout& index, std::uint64_t start) : index_(&index), next_(start) {}
    bool step(std::string& out, std::uint64_t& id, bool lossy);
    void end() noexcept { next_ = index_->n; }
    const Layout* index_;
    std::uint64_t next_;
    bool positioned_ = false;
    std::vector<unsigned char> restart_;
    std::vector<unsigned char> current_;
    RunCursor restarts_;
    RunCursor micro_;
  };
  Iter iter_from(std::uint64_t start) const { return Iter(*this, start); }

  // The keys k with lo <= k < hi (UTF-8 bytes, bytewise), in id order.
  class RangeIter {
   public:
    bool next(std::string& text, std::uint64_t& id);

   private:
    friend class Layout;
    RangeIter(Iter it, std::string hi) : it_(std::move(it)), hi_(std::move(hi)) {}
    Iter it_;
    std::string hi_;
    bool done_ = false;
  };
  RangeIter range_iter(std::string_view lo, std::string_view hi) const;
};

// What the face's iterators hold.
struct Cursor {
  Layout::Iter it;
};
struct RangeCursor {
  Layout::RangeIter it;
};

// The samples of blocks [lo, hi) into out[lo..hi): each the 8 head bytes
// after the head prefix, zero padded, big-endian; and the tie resolver over
// the samples and heads, or nothing.
void derive_samples(ByteSpan heads, const Offsets& head_ends, std::uint64_t lo, std::uint64_t hi,
                    std::uint64_t prefix, std::uint64_t* out) noexcept;
std::unique_ptr<ties::Ties> derive_ties(const Layout& index);
// The most route words the index's block data can stand behind (see the
// format's route_word_bound); a load refuses a shape past it.
std::uint64_t route_word_bound(const Layout& d) noexcept;

// What every blob writer shares (the in-memory writers, the streamed build):
// the four small sections serialised, each refused (IndexError, Format) when
// too long for its u32 length field; the sections after the header in blob
// order (block data fourth, the character-code record last and empty without
// a code); and the header of a blob of the index's shape and records with the
// given block data length and payload checksum.
struct Records {
  std::vector<unsigned char> tables, codes, phrases, chars;
};
Records records_of(const Layout& d);
inline constexpr std::size_t PAYLOAD_SECTIONS = 11;
inline constexpr std::size_t BLOCK_DATA_SECTION = 3;
std::array<ByteSpan, PAYLOAD_SECTIONS> payload_of(const Layout& d, const Records& r);
Header header_fields(const Layout& d, const Records& r, std::uint64_t block_data_len,
                     std::uint64_t payload_checksum);

}  // namespace dict_index
}  // namespace quorvale
