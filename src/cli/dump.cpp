// The dump command: every key a blob holds, one per line, in id order, so
// that `dump | build` moves the keys of any key-holding blob to another kind
// or a newer format.
//
// Refused kinds are named from the header alone; the others are read whole
// into owned bytes and loaded with verification on. A verified load checks
// checksums and layout but decodes no entry, so a walk over a damaged blob
// can end early without an error: each road counts the keys it wrote and a
// short walk fails naming the first id it did not write, rather than passing
// a truncated key list off as the whole. Every failure that concerns the
// blob names its path.
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.hpp"
#include "dict_index/dict_index.hpp"
#include "hashed_dict.hpp"
#include "overlay.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"
#include "utf8.hpp"

namespace quorvale::cli {

namespace {

using inspect::BlobKind;

[[noreturn]] void no_key(const std::string& path, std::uint64_t id) {
  throw Fail::work(path + ": id " + std::to_string(id) + " has no key");
}

[[noreturn]] void stores_no_keys(const std::string& path, const char* name) {
  throw Fail::work(path + ": a " + name +
                   " stores no keys, so there is nothing to dump \u2014 the key list it was built from is the only "
                   "way back");
}

// Hands the keys of a walk, in id order, to write_key: a signal ends the walk
// first, and the empty key is left out, since a keys file cannot carry it
// (`build` skips empty lines, so `dump | build` would lose it and move every
// later id). The dump then ends with a failure that says so, once every
// other key is written.
class Keys {
 public:
  Keys(const std::string& path, Out& out) : path_(path), out_(out) {}
  void operator()(std::string_view key, std::uint64_t id) {
    stop_if_interrupted();
    if (key.empty()) {
      left_out_ = true;
      return;
    }
    write_key(out_, key, id, path_);
  }
  void finish() const {
    if (left_out_)
      throw Fail::work(path_ + ": the empty key cannot be written to a keys file and was left out");
  }

 private:
  const std::string& path_;
  Out& out_;
  bool left_out_ = false;
};

// The whole file in owned memory (never mapped: the file may change or go
// away while we walk it).
blob::SharedBytes read_whole(const std::string& path) {
  try {
    return blob::SharedBytes::read_file(path);
  } catch (const IndexError& e) {
    throw Fail::about(path, e);
  }
}

// Runs a loader or a step of a walk; a failure names the blob.
template <class F>
auto naming(const std::string& path, F&& step) {
  try {
    return step();
  } catch (const IndexError& e) {
    throw Fail::about(path, e);
  } catch (const LimitExceeded& e) {
    throw Fail::work(path + ": " + e.what());
  }
}

void dump_string_index(const std::string& path, Keys& emit) {
  const StringIndex index = naming(path, [&] { return StringIndex::from_shared(read_whole(path), true); });
  auto stream = index.stream();
  std::uint64_t written = 0;
  std::string lossy;
  for (;;) {
    const std::optional<fst::StreamItem> item = naming(path, [&] { return stream.next_raw(); });
    if (!item) break;
    const std::string_view raw(reinterpret_cast<const char*>(item->key.data()), item->key.size());
    if (utf8::valid(raw)) {
      emit(raw, item->value);
    } else {
      lossy = utf8::lossy(item->key);
      emit(lossy, item->value);
    }
    ++written;
  }
  if (written < index.len()) no_key(path, written);
}

void dump_perfect_hash(const std::string& path, Keys& emit) {
  const PerfectHashIndex index = naming(path, [&] { return PerfectHashIndex::from_shared(read_whole(path), true); });
  for (std::uint64_t id = 0; id < index.len(); ++id) {
    std::optional<std::string_view> key;
    if (id <= 0xffffffffu) key = index.key(static_cast<std::uint32_t>(id));
    if (!key) no_key(path, id);
    emit(*key, id);
  }
}

// A dictionary's keys in id order (the dictionary of a DictIndex blob, or
// the one a hashed-dictionary blob embeds); its count is the index's.
void dump_dictionary(const std::string& path, const DictIndex& index, Keys& emit) {
  auto it = index.iter_from(0);
  std::string key;
  std::uint64_t id = 0;
  std::uint64_t written = 0;
  while (naming(path, [&] { return it.next(key, id); })) {
    emit(key, id);
    ++written;
  }
  if (written < index.len()) no_key(path, written);
}

// An overlay's live keys in id order, taken before the overlay is dropped:
// their bytes back to back, where each ends, and their overlay ids. When the
// walk skips a live id (a base key it cannot give), the keys stop before it
// and `missing` names it.
struct LiveKeys {
  std::string bytes;
  std::vector<std::size_t> ends;
  std::vector<std::uint64_t> ids;
  std::optional<std::uint64_t> missing;
};

template <class Kind>
LiveKeys live_keys_of(const std::string& path) {
  LiveKeys live;
  const auto o = naming(path, [&] {
    const blob::SharedBytes bytes = read_whole(path);
    return overlay::Overlay<Kind>::load(bytes.bytes(), false);
  });
  const std::uint64_t space = o.id_space();
  auto next_live = [&](std::uint64_t id) {
    while (id < space && o.is_retired(id)) ++id;
    return id;
  };
  std::uint64_t expected = next_live(0);
  naming(path, [&] {
    o.for_each_key([&](std::uint64_t id, std::string_view key) {
      if (live.missing) return;
      if (id != expected) {
        live.missing = expected;
        return;
      }
      live.bytes.append(key);
      live.ends.push_back(live.bytes.size());
      live.ids.push_back(id);
      expected = next_live(id + 1);
    });
  });
  if (!live.missing && expected < space) live.missing = expected;
  return live;
}

void dump_overlay(const std::string& path, const inspect::OverlayInfo& info, Keys& emit) {
  LiveKeys live;
  if (info.base_tag == overlay::TAG_STRING) live = live_keys_of<StringIndex>(path);
  else if (info.base_tag == overlay::TAG_PERFECT) live = live_keys_of<PerfectHashIndex>(path);
  else
    throw Fail::work(path + ": an overlay over a base tagged " + std::to_string(info.base_tag) +
                     " stores no keys of its own to dump");
  std::size_t start = 0;
  for (std::size_t i = 0; i < live.ids.size(); ++i) {
    emit(std::string_view(live.bytes).substr(start, live.ends[i] - start), live.ids[i]);
    start = live.ends[i];
  }
  if (live.missing) no_key(path, *live.missing);
}

void dump_kind(const std::string& path, const inspect::BlobInfo& info, Keys& emit) {
  switch (info.kind) {
    case BlobKind::CompactHashIndex: return stores_no_keys(path, "CompactHashIndex");
    case BlobKind::ClosedHashIndex: return stores_no_keys(path, "ClosedHashIndex");
    case BlobKind::Mphf: return stores_no_keys(path, "minimal perfect hash");
    case BlobKind::DoubleArrayIndex:
      throw Fail::work(path +
                       ": a DoubleArrayIndex answers no id -> key, so it cannot be dumped; keep the key list it was "
                       "built from");
    case BlobKind::StringIndex: return dump_string_index(path, emit);
    case BlobKind::PerfectHashIndex: return dump_perfect_hash(path, emit);
    case BlobKind::DictIndex: {
      const DictIndex index = naming(path, [&] { return DictIndex::from_shared(read_whole(path), true); });
      return dump_dictionary(path, index, emit);
    }
    case BlobKind::Overlay: return dump_overlay(path, *info.overlay, emit);
    case BlobKind::HashedDictIndex: {
      // Its loader verifies the embedded dictionary too; the keys are that
      // dictionary's, in its id order.
      const HashedDictIndex index = naming(path, [&] { return HashedDictIndex::from_shared(read_whole(path), true); });
      return dump_dictionary(path, *index.dict(), emit);
    }
  }
  throw Fail::work(path + ": a " + inspect::kind_name(info.kind) + " cannot be dumped");
}

}  // namespace

void cmd_dump(const Cmd& cmd, Out& out) {
  const std::string& path = cmd.positionals[0];
  const inspect::BlobInfo info = inspected(path);
  BufOut writer(out);
  try {
    Keys keys(path, writer);
    dump_kind(path, info, keys);
    keys.finish();
  } catch (...) {
    // Every key before the one that failed still reaches the output; a
    // stopped dump stops writing (the reader may have stopped reading).
    if (interrupted() != 0) {
      writer.discard();
      throw;
    }
    try {
      writer.flush();
    } catch (const IndexError&) {
    }
    throw;
  }
  try {
    writer.flush();
  } catch (const IndexError& e) {
    throw io_fail(e);
  }
}

}  // namespace quorvale::cli
