// The index kinds, numbered once, and what the library knows of each in one
// table: the class name it goes by, the frames whose magics name its blobs
// (and the older generations the inspector recognises), its tag as an
// overlay's base, and how the command line builds, saves, loads and dumps
// it. The inspector, the planner, the command line and the binding read the
// table; a kind added here is known to all of them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "blob.hpp"
#include "blob_frame.hpp"
#include "extsort/extsort.hpp"
#include "streamed_keys.hpp"
#include "threads.hpp"

namespace quorvale {

class StringIndex;
class PerfectHashIndex;
class CompactHashIndex;
class ClosedHashIndex;
class DictIndex;
class HashedDictIndex;
class DoubleArrayIndex;

namespace kinds {

enum class Kind : std::uint8_t {
  StringIndex,
  PerfectHashIndex,
  CompactHashIndex,
  ClosedHashIndex,
  DictIndex,
  Mphf,
  Overlay,
  HashedDictIndex,
  DoubleArrayIndex,
};

// The kind of each index class.
template <class>
inline constexpr bool NOT_A_KIND = false;
template <class Index>
inline constexpr Kind kind_of = [] {
  static_assert(NOT_A_KIND<Index>, "not an index class");
  return Kind::Mphf;
}();
template <>
inline constexpr Kind kind_of<StringIndex> = Kind::StringIndex;
template <>
inline constexpr Kind kind_of<PerfectHashIndex> = Kind::PerfectHashIndex;
template <>
inline constexpr Kind kind_of<CompactHashIndex> = Kind::CompactHashIndex;
template <>
inline constexpr Kind kind_of<ClosedHashIndex> = Kind::ClosedHashIndex;
template <>
inline constexpr Kind kind_of<DictIndex> = Kind::DictIndex;
template <>
inline constexpr Kind kind_of<HashedDictIndex> = Kind::HashedDictIndex;
template <>
inline constexpr Kind kind_of<DoubleArrayIndex> = Kind::DoubleArrayIndex;

// The inspector's refusals of older generations, each naming the class to
// rebuild.
inline constexpr const char* MSG_OLD_PERFECT =
    "a PerfectHashIndex blob from quorvale < 4.0, keyed on a hash this version no longer computes; rebuild it from "
    "its keys with PerfectHashIndex::build";
inline constexpr const char* MSG_OLD_COMPACT =
    "a CompactHashIndex blob from quorvale < 4.0, keyed on a hash this version no longer computes, and which stores "
    "no keys; rebuild it from its keys with CompactHashIndex::build";
inline constexpr const char* MSG_OLD_CLOSED =
    "a ClosedHashIndex blob from quorvale < 4.0, keyed on a hash this version no longer computes, and which stores "
    "no keys; rebuild it from its keys with ClosedHashIndex::build";

// A dictionary's keys a block when the caller names no block.
inline constexpr std::uint64_t DEFAULT_BLOCK = 256;
// Key bytes a sorted run of the streamed perfect-hash build holds before it
// is spilled (DistinctKeys).
inline constexpr std::size_t RUN_BUDGET = std::size_t{1} << 28;
inline constexpr const char* MSG_PERFECT_OVER_BUDGET = "perfect-hash: a key longer than the run budget";
// The hash kinds' streamed builds hold a key only to hash it; from a keys
// file they take keys within the same budget as the others.
inline constexpr const char* MSG_COMPACT_OVER_BUDGET = "compact-hash: a key longer than the run budget";
inline constexpr const char* MSG_CLOSED_OVER_BUDGET = "closed-hash: a key longer than the run budget";

// ---- what the table's routines take and give ---------------------------------

// Keys held in memory for a build: views in any order, repeats allowed, and
// how to free the bytes they point into, which a build does as soon as it no
// longer reads them (empty: nothing to free).
struct HeldKeys {
  std::vector<std::string_view> views;
  std::function<void()> release;
};

// Fresh passes over a stream of keys (a keys file, read from its start each
// time). A pass that meets a bad line ends early as if the keys ended there.
class KeyPasses {
 public:
  virtual ~KeyPasses() = default;
  virtual std::unique_ptr<KeySource> pass() const = 0;
  // Throws what cut an earlier pass short, if anything did.
  virtual void check() const = 0;
};

// An index built in memory, whatever its kind.
class Built {
 public:
  virtual ~Built() = default;
  // Its distinct keys.
  virtual std::uint64_t len() const = 0;
  virtual std::uint64_t blob_len() const = 0;
  // The kind's own save: through the atomic writer, `stop` asked before the
  // file is made and before it replaces `path`.
  virtual void save(const std::string& path, const StopProbe& stop) const = 0;
};

// Receives keys in id order.
using KeyVisit = std::function<void(std::string_view key, std::uint64_t id)>;

// Older generations by magic: three letters followed by a digit in first..last.
struct Older {
  std::string_view family;
  char first = 0;
  char last = 0;
  // The inspector refuses them with this; null when it still names them.
  const char* refusal = nullptr;
  bool has(std::string_view magic4) const noexcept {
    return !family.empty() && magic4.size() == 4 && magic4.substr(0, 3) == family && magic4[3] >= first &&
           magic4[3] <= last;
  }
};

// What `dump` makes of a kind.
enum class Dump : std::uint8_t {
  Keys,       // its keys, through walk_keys
  NoKeys,     // refused: the kind stores none
  NoKeyOfId,  // refused: it answers no id -> key
  ByBase,     // an overlay: its base's entry says (walk_overlay)
};

struct Entry {
  Kind kind;
  const char* name;  // the class name: inspection, plans, reports, the Python class
  // The frames whose magics name the kind's current generations, the one it
  // writes first.
  std::span<const blob::Frame* const> frames;
  Older older = {};
  std::uint8_t overlay_tag = 0;  // its tag as an overlay's base; 0: no overlay lays over it

  // ---- the command line's builds (null for the kinds it does not build) ----
  const char* index_word = nullptr;  // its name after `--index`
  // From keys in memory; `block` is a dictionary's (DEFAULT_BLOCK when absent).
  std::unique_ptr<Built> (*build)(HeldKeys keys, std::optional<std::uint64_t> block, const StopProbe& stop) = nullptr;
  // Straight into the blob file at `path` from fresh passes over the keys
  // (spill and scratch files beside it); returns the distinct key count.
  std::uint64_t (*build_streamed)(const KeyPasses& keys, const std::string& path, std::optional<std::uint64_t> block,
                                  const StopProbe& stop) = nullptr;
  // The longest key the streamed build takes (its run budget) and its
  // refusal of a longer one: a keys file's reader stops such a line there
  // rather than hold it whole.
  std::size_t stream_key_limit = SIZE_MAX;
  const char* over_budget = nullptr;

  // ---- dump ----
  Dump dump = Dump::Keys;
  const char* prose = nullptr;  // how a sentence names the kind, where not by `name`
  // Loads a whole blob, verified, and hands its keys to `visit` in id order
  // (a key that is not UTF-8 spelled with U+FFFD). Returns the first id it
  // could not give, when the walk ended before the index's count.
  std::optional<std::uint64_t> (*walk_keys)(blob::SharedBytes bytes, const KeyVisit& visit) = nullptr;
  // An overlay over this kind (its blob, as the overlay's trusted loader
  // reads it): hands its live keys to `visit` in overlay id order as the
  // walk meets them, asking `stop` as it goes (retired ids and keys it
  // passes over included), so that the walk holds nothing in proportion to
  // the base's keys. Returns the first live id it could not give; the walk
  // ends there. Null when the kind keeps no keys to give.
  std::optional<std::uint64_t> (*walk_overlay)(blob::SharedBytes bytes, const KeyVisit& visit,
                                               const StopProbe& stop) = nullptr;

  // Whether `magic4` names a current generation of the kind.
  bool current(std::string_view magic4) const noexcept;
};

const Entry& of(Kind kind) noexcept;
// The kind a magic names, current or older; null for none.
const Entry* by_magic(std::string_view magic4) noexcept;
// The kind an overlay's base tag names; null for none.
const Entry* by_overlay_tag(std::uint8_t tag) noexcept;
// The kind the command line builds under `--index word`; null for none.
const Entry* by_index_word(std::string_view word) noexcept;

// The distinct keys of a key stream, ascending, replayed as often as a build
// asks: what the streamed perfect-hash build takes from a keys file that may
// repeat a key (its two passes must see every key once, in the same order).
// Sorted through in-memory runs of `budget` key bytes, every one spilled
// beside `path` (so that the keys are not held while the build runs); the
// spill directory goes with this object. A key no run can hold is IndexError
// (Format) MSG_PERFECT_OVER_BUDGET.
class DistinctKeys {
 public:
  DistinctKeys(KeySource& keys, const std::string& path, std::size_t budget);
  // A fresh pass over the keys; `stop` is asked at every key, as a pass
  // over the keys file asks.
  std::unique_ptr<KeySource> pass(const StopProbe& stop = {});

 private:
  std::optional<extsort::Run> run_;
  extsort::Runs runs_;
};

}  // namespace kinds
}  // namespace quorvale
