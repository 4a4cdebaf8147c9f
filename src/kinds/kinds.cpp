// The table of kinds, and the routines it points to: each kind's builds as
// the command line makes them (keys in memory with repeats, or fresh passes
// over a keys file), its key walk for dump, and the walk over the live keys
// of an overlay over it.
#include "kinds.hpp"

#include <algorithm>
#include <array>

#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "dict_index/dict_index.hpp"
#include "double_array.hpp"
#include "hash.hpp"
#include "hash_engine.hpp"
#include "hashed_dict.hpp"
#include "mphf.hpp"
#include "overlay.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"
#include "utf8.hpp"

namespace quorvale::kinds {

namespace {

// ---- builds ---------------------------------------------------------------------

template <class Index>
class BuiltIndex final : public Built {
 public:
  explicit BuiltIndex(Index index) : index_(std::move(index)) {}
  std::uint64_t len() const override { return index_.len(); }
  std::uint64_t blob_len() const override { return index_.serialized_len(); }
  void save(const std::string& path, const StopProbe& stop) const override { index_.save(path, stop); }

 private:
  Index index_;
};

template <class Index>
std::unique_ptr<Built> built(Index index) {
  return std::make_unique<BuiltIndex<Index>>(std::move(index));
}

void release(HeldKeys& keys) {
  std::vector<std::string_view>().swap(keys.views);
  if (keys.release) keys.release();
}

// Hashes the keys in list order, one pair a key, repeats kept (the builders
// drop them); the keys are released.
std::vector<hash::HashPair> pairs_of(HeldKeys& keys) {
  std::vector<hash::HashPair> pairs = hash_engine::hash_keys(keys.views);
  release(keys);
  return pairs;
}

// Keys held in memory, handed out one at a time; the probe, asked at every
// key, ends the pass by throwing, as it ends a pass over the keys file.
class ViewPass final : public KeySource {
 public:
  ViewPass(std::span<const std::string_view> keys, StopProbe stop) : keys_(keys), stop_(std::move(stop)) {}
  bool next(std::string_view& key) override {
    stop_if(stop_);
    if (at_ == keys_.size()) return false;
    key = keys_[at_++];
    return true;
  }

 private:
  std::span<const std::string_view> keys_;
  StopProbe stop_;
  std::size_t at_ = 0;
};

// A pass over the run files. A merge of several yields a key once per run
// that holds it, and the repeats go here; one run holds each key once.
class MergedPass final : public KeySource {
 public:
  MergedPass(extsort::MergedStream merged, bool one_run, StopProbe stop)
      : merged_(std::move(merged)), one_run_(one_run), stop_(std::move(stop)) {}
  bool next(std::string_view& key) override {
    for (;;) {
      stop_if(stop_);
      const std::optional<std::string_view> got = merged_.next();
      if (!got) return false;
      if (one_run_) {
        key = *got;
        return true;
      }
      if (any_ && *got == last_) continue;
      last_.assign(*got);
      any_ = true;
      key = last_;
      return true;
    }
  }

 private:
  extsort::MergedStream merged_;
  bool one_run_;
  StopProbe stop_;
  std::string last_;
  bool any_ = false;
};

// A streamed build on the production limits that `stop` may end.
hash_engine::StreamRun stopping(const StopProbe& stop) {
  hash_engine::StreamRun run;
  run.stop = stop;
  return run;
}

std::unique_ptr<Built> build_compact(HeldKeys keys, std::optional<std::uint64_t>, const StopProbe&) {
  return built(CompactHashIndex::build_from_pairs(pairs_of(keys), 8));
}

std::unique_ptr<Built> build_closed(HeldKeys keys, std::optional<std::uint64_t>, const StopProbe&) {
  return built(ClosedHashIndex::build_from_pairs(pairs_of(keys)));
}

std::unique_ptr<Built> build_perfect(HeldKeys keys, std::optional<std::uint64_t>, const StopProbe&) {
  PerfectHashIndex index = PerfectHashIndex::build_with(std::move(keys.views), false);
  release(keys);
  return built(std::move(index));
}

std::unique_ptr<Built> build_string(HeldKeys keys, std::optional<std::uint64_t>, const StopProbe& stop) {
  StringIndex index = StringIndex::build(std::move(keys.views), stop);
  release(keys);
  return built(std::move(index));
}

std::unique_ptr<Built> build_dict(HeldKeys keys, std::optional<std::uint64_t> block, const StopProbe&) {
  DictIndex index = DictIndex::build_with_block(std::move(keys.views), block.value_or(DEFAULT_BLOCK));
  release(keys);
  return built(std::move(index));
}

std::uint64_t stream_compact(const KeyPasses& keys, const std::string& path, std::optional<std::uint64_t>,
                             const StopProbe& stop) {
  return CompactHashIndex::build_to_file(*keys.pass(), path, 8, stopping(stop));
}

std::uint64_t stream_closed(const KeyPasses& keys, const std::string& path, std::optional<std::uint64_t>,
                            const StopProbe& stop) {
  return ClosedHashIndex::build_to_file(*keys.pass(), path, stopping(stop));
}

std::uint64_t stream_perfect(const KeyPasses& keys, const std::string& path, std::optional<std::uint64_t>,
                             const StopProbe& stop) {
  // The two-pass build takes distinct keys only, and a keys file may repeat
  // one, as every other road allows. Where no first hash repeats no key
  // does, and the file is built as it stands; otherwise from its distinct
  // keys, sorted apart first.
  const auto file_pass = [&] {
    keys.check();  // a pass cut short is worth no second one
    return keys.pass();
  };
  try {
    return PerfectHashIndex::build_to_file(file_pass, path, false, stopping(stop), true);
  } catch (const IndexError& e) {
    if (e.kind() != IndexError::Kind::Build || e.message() != perfect_hash::MSG_MAY_REPEAT) throw;
  }
  DistinctKeys distinct(*keys.pass(), path, RUN_BUDGET);
  keys.check();
  return PerfectHashIndex::build_to_file([&] { return distinct.pass(stop); }, path, false, stopping(stop));
}

std::uint64_t stream_string(const KeyPasses& keys, const std::string& path, std::optional<std::uint64_t>,
                            const StopProbe& stop) {
  return StringIndex::build_to_file(*keys.pass(), path, string_index::RUN_BUDGET, stop);
}

std::uint64_t stream_dict(const KeyPasses& keys, const std::string& path, std::optional<std::uint64_t> block,
                          const StopProbe& stop) {
  return DictIndex::build_to_file_runs(*keys.pass(), path, block.value_or(DEFAULT_BLOCK), stop);
}

// ---- key walks ------------------------------------------------------------------
//
// A verified load checks checksums and layout but decodes no entry, so a
// walk over a damaged blob can end early without an error: each walk counts
// the keys it gave and reports the first id it did not.

std::optional<std::uint64_t> short_of(std::uint64_t given, std::uint64_t len) {
  if (given < len) return given;
  return std::nullopt;
}

std::optional<std::uint64_t> walk_string(blob::SharedBytes bytes, const KeyVisit& visit) {
  const StringIndex index = StringIndex::from_shared(std::move(bytes), true);
  auto stream = index.stream();
  std::uint64_t given = 0;
  std::string lossy;
  while (const std::optional<fst::StreamItem> item = stream.next_raw()) {
    const std::string_view raw(reinterpret_cast<const char*>(item->key.data()), item->key.size());
    if (utf8::valid(raw)) {
      visit(raw, item->value);
    } else {
      lossy = utf8::lossy(item->key);
      visit(lossy, item->value);
    }
    ++given;
  }
  return short_of(given, index.len());
}

std::optional<std::uint64_t> walk_perfect(blob::SharedBytes bytes, const KeyVisit& visit) {
  const PerfectHashIndex index = PerfectHashIndex::from_shared(std::move(bytes), true);
  for (std::uint64_t id = 0; id < index.len(); ++id) {
    std::optional<std::string_view> key;
    if (id <= 0xffffffffu) key = index.key(static_cast<std::uint32_t>(id));
    if (!key) return id;
    visit(*key, id);
  }
  return std::nullopt;
}

// A dictionary's keys in id order (a DictIndex's, or the one a hashed
// dictionary embeds); its count is the index's.
std::optional<std::uint64_t> walk_dictionary(const DictIndex& index, const KeyVisit& visit) {
  auto it = index.iter_from(0);
  std::string key;
  std::uint64_t id = 0;
  std::uint64_t given = 0;
  while (it.next(key, id)) {
    visit(key, id);
    ++given;
  }
  return short_of(given, index.len());
}

std::optional<std::uint64_t> walk_dict(blob::SharedBytes bytes, const KeyVisit& visit) {
  return walk_dictionary(DictIndex::from_shared(std::move(bytes), true), visit);
}

// Its loader verifies the embedded dictionary too; the keys are that
// dictionary's, in its id order.
std::optional<std::uint64_t> walk_hashed_dict(blob::SharedBytes bytes, const KeyVisit& visit) {
  const HashedDictIndex index = HashedDictIndex::from_shared(std::move(bytes), true);
  return walk_dictionary(*index.dict(), visit);
}

// The live keys of an overlay over a `Kind` base, in id order, as its walk
// yields them. A gap (a live id whose key the base cannot give) ends the
// walk: the keys after it would be written out of their place.
template <class Kind>
std::optional<std::uint64_t> walk_overlay(blob::SharedBytes bytes, const KeyVisit& visit, const StopProbe& stop) {
  const auto o = overlay::Overlay::load(bytes.bytes(), overlay::TAG_OF<Kind>, false);
  bytes = {};  // the overlay holds copies of what it reads
  const std::uint64_t space = o.id_space();
  auto next_live = [&](std::uint64_t id) {
    while (id < space && o.is_retired(id)) ++id;
    return id;
  };
  struct Gap {
    std::uint64_t id;
  };
  std::uint64_t expected = next_live(0);
  const auto probe = [&] { stop_if(stop); };
  try {
    o.for_each_key(
        [&](std::uint64_t id, std::string_view key) {
          if (id != expected) throw Gap{expected};
          visit(key, id);
          expected = next_live(id + 1);
        },
        Pause(probe));
  } catch (const Gap& gap) {
    return gap.id;
  }
  if (expected < space) return expected;
  return std::nullopt;
}

// ---- the table ------------------------------------------------------------------

template <const blob::Frame&... F>
constexpr std::array<const blob::Frame*, sizeof...(F)> FRAMES{&F...};

constexpr auto STRING_FRAMES = FRAMES<string_index::FRAME>;
constexpr auto PERFECT_FRAMES = FRAMES<perfect_hash::FRAME>;
constexpr auto COMPACT_FRAMES = FRAMES<compact_hash::FRAME>;
constexpr auto CLOSED_FRAMES = FRAMES<closed_hash::FRAME>;
constexpr auto DICT_FRAMES = FRAMES<dict_index::FRAME>;
constexpr auto MPHF_FRAMES = FRAMES<mphf::FRAME_V3, mphf::FRAME_V1>;
constexpr auto OVERLAY_FRAMES = FRAMES<overlay::FRAME_V2, overlay::FRAME_V1>;
constexpr auto HASHED_DICT_FRAMES = FRAMES<hashed_dict::FRAME>;
constexpr auto DOUBLE_ARRAY_FRAMES = FRAMES<double_array::FRAME>;

// In the order of Kind.
constexpr Entry TABLE[] = {
    {.kind = Kind::StringIndex,
     .name = "StringIndex",
     .frames = STRING_FRAMES,
     .overlay_tag = overlay::TAG_OF<StringIndex>,
     .index_word = "string",
     .build = build_string,
     .build_streamed = stream_string,
     .stream_key_limit = string_index::RUN_BUDGET,
     .over_budget = string_index::MSG_OVER_BUDGET,
     .walk_keys = walk_string,
     .walk_overlay = walk_overlay<StringIndex>},
    {.kind = Kind::PerfectHashIndex,
     .name = "PerfectHashIndex",
     .frames = PERFECT_FRAMES,
     .older = {"BMP", '1', '7', MSG_OLD_PERFECT},
     .overlay_tag = overlay::TAG_OF<PerfectHashIndex>,
     .index_word = "perfect",
     .build = build_perfect,
     .build_streamed = stream_perfect,
     .stream_key_limit = RUN_BUDGET,
     .over_budget = MSG_PERFECT_OVER_BUDGET,
     .walk_keys = walk_perfect,
     .walk_overlay = walk_overlay<PerfectHashIndex>},
    {.kind = Kind::CompactHashIndex,
     .name = "CompactHashIndex",
     .frames = COMPACT_FRAMES,
     .older = {"BCH", '1', '7', MSG_OLD_COMPACT},
     .overlay_tag = overlay::TAG_OF<CompactHashIndex>,
     .index_word = "compact",
     .build = build_compact,
     .build_streamed = stream_compact,
     .stream_key_limit = RUN_BUDGET,
     .over_budget = MSG_COMPACT_OVER_BUDGET,
     .dump = Dump::NoKeys},
    {.kind = Kind::ClosedHashIndex,
     .name = "ClosedHashIndex",
     .frames = CLOSED_FRAMES,
     .older = {"BCL", '1', '1', MSG_OLD_CLOSED},
     .index_word = "closed",
     .build = build_closed,
     .build_streamed = stream_closed,
     .stream_key_limit = RUN_BUDGET,
     .over_budget = MSG_CLOSED_OVER_BUDGET,
     .dump = Dump::NoKeys},
    // The inspector still names the two generations the loader refuses.
    {.kind = Kind::DictIndex,
     .name = "DictIndex",
     .frames = DICT_FRAMES,
     .older = {"BDX", '1', '2'},
     .index_word = "dict",
     .build = build_dict,
     .build_streamed = stream_dict,
     .stream_key_limit = dict_index::RUN_BUDGET,
     .over_budget = dict_index::MSG_KEY_OVER_BUDGET,
     .walk_keys = walk_dict},
    {.kind = Kind::Mphf, .name = "Mphf", .frames = MPHF_FRAMES, .dump = Dump::NoKeys, .prose = "minimal perfect hash"},
    {.kind = Kind::Overlay, .name = "Overlay", .frames = OVERLAY_FRAMES, .dump = Dump::ByBase},
    {.kind = Kind::HashedDictIndex,
     .name = "HashedDictIndex",
     .frames = HASHED_DICT_FRAMES,
     .walk_keys = walk_hashed_dict},
    {.kind = Kind::DoubleArrayIndex,
     .name = "DoubleArrayIndex",
     .frames = DOUBLE_ARRAY_FRAMES,
     .dump = Dump::NoKeyOfId},
};

constexpr bool in_kind_order() {
  for (std::size_t i = 0; i < std::size(TABLE); ++i)
    if (static_cast<std::size_t>(TABLE[i].kind) != i) return false;
  return std::size(TABLE) == static_cast<std::size_t>(Kind::DoubleArrayIndex) + 1;
}
static_assert(in_kind_order(), "one entry a kind, in the order of Kind");

}  // namespace

bool Entry::current(std::string_view magic4) const noexcept {
  return std::any_of(frames.begin(), frames.end(), [&](const blob::Frame* f) { return f->has_magic(magic4); });
}

const Entry& of(Kind kind) noexcept { return TABLE[static_cast<std::size_t>(kind)]; }

const Entry* by_magic(std::string_view magic4) noexcept {
  for (const Entry& e : TABLE)
    if (e.current(magic4) || e.older.has(magic4)) return &e;
  return nullptr;
}

const Entry* by_overlay_tag(std::uint8_t tag) noexcept {
  if (tag == 0) return nullptr;
  for (const Entry& e : TABLE)
    if (e.overlay_tag == tag) return &e;
  return nullptr;
}

const Entry* by_index_word(std::string_view word) noexcept {
  for (const Entry& e : TABLE)
    if (e.index_word && word == e.index_word) return &e;
  return nullptr;
}

DistinctKeys::DistinctKeys(KeySource& keys, const std::string& path, std::size_t budget)
    : run_(std::in_place, budget), runs_(path) {
  std::string_view key;
  while (keys.next(key)) {
    if (!run_->has_room(key.size())) {
      if (run_->empty()) throw IndexError::format(MSG_PERFECT_OVER_BUDGET);
      runs_.spill(run_->sorted());
      run_->clear();
      if (!run_->has_room(key.size())) throw IndexError::format(MSG_PERFECT_OVER_BUDGET);
    }
    run_->push(key);
  }
  // Even one run goes to disk: the build's own working set comes next, and
  // the keys need not stay in memory beside it.
  if (!run_->empty()) runs_.spill(run_->sorted());
  run_.reset();
}

std::unique_ptr<KeySource> DistinctKeys::pass(const StopProbe& stop) {
  if (runs_.runs().empty()) return std::make_unique<ViewPass>(std::span<const std::string_view>(), stop);
  const bool one_run = runs_.runs().size() == 1;
  return std::make_unique<MergedPass>(runs_.merge(), one_run, stop);
}

}  // namespace quorvale::kinds
