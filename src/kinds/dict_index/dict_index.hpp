// The ordered dictionary: n distinct keys in ascending byte order, a key's
// id its rank, stored front-coded block by block in the "BDX3"/"BDX4" blob
// and coded per shard with a static codec. This header is the dictionary's
// face: building, loading and saving, and the queries. The layout it holds
// and the format, decoder, search and build over it stay inside
// src/kinds/dict_index/ (layout.hpp and the files beside it).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "blob.hpp"
#include "blob_frame.hpp"
#include "dict_index/frame.hpp"
#include "streamed_keys.hpp"

namespace quorvale {
namespace arrow {
struct Utf8Chunk;
}
class DictIndex;
namespace dict_index {

class Layout;
struct Cursor;
struct RangeCursor;

// A key as a build reads it: a view of its bytes in the caller's storage.
// Keys order as unsigned bytes, a key before its own extensions, as
// string_view compares.
using Key = std::string_view;

// Key bytes of one in-memory run of the streamed build (and at most an
// eighth as many keys).
inline constexpr std::size_t RUN_BUDGET = 268435456;
inline constexpr const char* MSG_KEY_OVER_BUDGET = "dict: a key longer than the run budget";

// The answer of every search: the number of keys below the query (the id of
// the first key not below it, n when there is none) and whether that key
// equals the query.
struct Search {
  std::uint64_t rank = 0;
  bool found = false;
  bool operator==(const Search&) const = default;
};

// The id of an absent key in the batched lookups' u64 form.
inline constexpr std::uint64_t MISSING_ID = UINT64_MAX;

// A prefix of a query that is a key: its length in bytes of the query, and
// the key's id.
struct PrefixMatch {
  std::size_t bytes = 0;
  std::uint64_t id = 0;
  bool operator==(const PrefixMatch&) const = default;
};

// The named byte split of a blob.
struct Sections {
  static constexpr std::size_t COUNT = 18;
  static const std::array<const char*, COUNT> NAMES;  // "header", "tables", ...
  std::array<std::uint64_t, COUNT> values{};
  enum Index : std::size_t {
    HEADER, TABLES, HEADER_CODES, PHRASES, HEADS, HEAD_ENDS, BLOCK_OFFSETS, MICRO_OFFSETS, CHARS,
    RESTART_HEADERS, RESTART_WIDE, RESTART_CODES, ENTRY_HEADERS, ENTRY_WIDE, ENTRY_CODES, RESTARTS, ENTRIES, WIDE
  };
  std::uint64_t operator[](std::size_t i) const noexcept { return values[i]; }
};

// Refuses (IndexError, Format) a block size outside 1..=1024.
void check_block(std::uint64_t block);

// The layout a dictionary holds, for the files of src/kinds/dict_index/ (and tests
// that look inside); an incomplete type anywhere else.
const Layout& layout_of(const DictIndex& index) noexcept;

}  // namespace dict_index

class DictIndex : public blob::Stored<DictIndex> {
 public:
  // Whether a streamed build's key source failed; and a runner of the steps
  // that read no key (a Python caller runs them detached).
  using Probe = StopProbe;
  using Offline = OfflineRunner;

  explicit DictIndex(dict_index::Layout&& layout);
  DictIndex(DictIndex&&) noexcept;
  DictIndex& operator=(DictIndex&&) noexcept;
  ~DictIndex();

  // Builds from keys in any order, repeats allowed; the only error is a
  // block outside 1..=1024 (IndexError, Format), refused before the keys are
  // read. The views are sorted in place; the keys must outlive the call.
  static DictIndex build_with_block(std::vector<dict_index::Key> keys, std::uint64_t block);
  static DictIndex build_with_block(std::span<const std::string> keys, std::uint64_t block);
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

  // Loads a blob, owned or mapped, keeping views of it; with `verify` also
  // checks the payload checksum and walks the offset arrays. Every refusal
  // is IndexError (Format). to_bytes, save, from_bytes and the loads of a
  // whole blob come from Stored: a copy of the bytes and the file read whole
  // are verified, a map unverified or verified.
  static DictIndex from_shared(blob::SharedBytes bytes, bool verify);
  // The blob, refusing a u32-length section that is too long and passing on
  // the writer's error.
  void write_to(const std::function<void(std::span<const unsigned char>)>& write) const;
  // The same into any byte sink offering write_all(span) (a BufWriter, ...).
  template <class W>
    requires requires(W& w, std::span<const unsigned char> s) { w.write_all(s); }
  void write_to(W& w) const {
    write_to([&w](std::span<const unsigned char> s) { w.write_all(s); });
  }
  std::uint64_t serialized_len() const noexcept;
  // Where the blob's bytes go.
  dict_index::Sections sections() const noexcept;

  std::uint64_t len() const noexcept;
  // Keys a block.
  std::uint64_t block() const noexcept;

  // None of the queries reports an error: on damaged data of an index loaded
  // without verification they read only inside the blob and the query and
  // give ranks in 0..=n, possibly wrong ones, or an absent key.
  //
  // The key of an id; nothing past the end.
  std::optional<std::string> key(std::uint64_t id) const;
  // The id of a key; nothing when it is not one.
  std::optional<std::uint64_t> id(std::string_view key) const;
  // The keys of many ids, in their order (nothing for an id past the end):
  // ascending ids in one microblock cost one decode of its first key and a
  // step each.
  std::vector<std::optional<std::string>> keys_of(std::span<const std::uint64_t> ids) const;
  // The ordered search: the keys below the query and whether the next one
  // equals it.
  dict_index::Search locate_query(std::string_view query) const;
  // The ids [start, end) of the keys that start with the prefix.
  std::pair<std::uint64_t, std::uint64_t> prefix_id_range(std::string_view prefix) const;
  // Every prefix of the query ending on a character boundary that is a key,
  // shortest first; and the longest of them.
  std::vector<dict_index::PrefixMatch> common_prefix(std::string_view query) const;
  std::optional<dict_index::PrefixMatch> longest_prefix(std::string_view query) const;

  // Batched lookups, each key's answer that of locate_query: the id of every
  // member, nothing (or MISSING_ID) for the others. The chunk form gives
  // MISSING_ID for a null element too. ids_into writes key i's id (or
  // MISSING_ID) to out[i].
  std::vector<std::optional<std::uint64_t>> ids_of(std::span<const std::string_view> keys) const;
  void ids_into(std::span<const std::string_view> keys, std::uint64_t* out) const;
  std::vector<std::uint64_t> arrow_ids(std::span<const arrow::Utf8Chunk> chunks) const;
  // The route words (derived on the first call, later callers waiting for
  // it; fixed from then on). Empty with one microblock a block.
  std::span<const std::uint64_t> route_microblocks() const;

  // Keys in id order from a start id.
  class Iter {
   public:
    Iter(Iter&&) noexcept;
    Iter& operator=(Iter&&) noexcept;
    ~Iter();
    // The next (key, id); false once the iteration has ended.
    bool next(std::string& text, std::uint64_t& id);
    // The same with the key's own bytes where it is not UTF-8 (next gives
    // U+FFFD there): for those that must see exactly the key a query holds.
    bool next_bytes(std::string& bytes, std::uint64_t& id);

   private:
    friend class DictIndex;
    explicit Iter(std::unique_ptr<dict_index::Cursor> cursor);
    std::unique_ptr<dict_index::Cursor> cursor_;
  };
  Iter iter_from(std::uint64_t start) const;

  // The keys k with lo <= k < hi (UTF-8 bytes, bytewise), in id order.
  class RangeIter {
   public:
    RangeIter(RangeIter&&) noexcept;
    RangeIter& operator=(RangeIter&&) noexcept;
    ~RangeIter();
    bool next(std::string& text, std::uint64_t& id);

   private:
    friend class DictIndex;
    explicit RangeIter(std::unique_ptr<dict_index::RangeCursor> cursor);
    std::unique_ptr<dict_index::RangeCursor> cursor_;
  };
  RangeIter range_iter(std::string_view lo, std::string_view hi) const;

 private:
  friend const dict_index::Layout& dict_index::layout_of(const DictIndex& index) noexcept;
  std::unique_ptr<dict_index::Layout> layout_;
};

}  // namespace quorvale
