// The dump command: every key a blob holds, one per line, in id order, so
// that `dump | build` moves the keys of any key-holding blob to another kind
// or a newer format.
//
// Refused kinds are named from the header alone; the others are read whole
// into owned bytes and walked by their kind's entry in the table of kinds,
// loaded with verification on. A walk that ends short of the index's count
// fails naming the first id it did not give, rather than passing a
// truncated key list off as the whole. Every failure that concerns the blob
// names its path.
#include <functional>
#include <optional>
#include <string>

#include "cli.hpp"
#include "kinds.hpp"

namespace quorvale::cli {

namespace {

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

// Runs a load and walk; a failure names the blob.
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

// An overlay's live keys, by its base's entry, written as its walk yields
// them; the walk asks the stop probe between its steps, also where it gives
// no key for long (retired ids, base keys it cannot spell).
void dump_overlay(const std::string& path, const inspect::OverlayInfo& info, Keys& emit) {
  const kinds::Entry* base = kinds::by_overlay_tag(info.base_tag);
  if (!base || !base->walk_overlay)
    throw Fail::work(path + ": an overlay over a base tagged " + std::to_string(info.base_tag) +
                     " stores no keys of its own to dump");
  const std::optional<std::uint64_t> missing =
      naming(path, [&] { return base->walk_overlay(read_whole(path), std::ref(emit), stop_probe()); });
  if (missing) no_key(path, *missing);
}

void dump_kind(const std::string& path, const inspect::BlobInfo& info, Keys& emit) {
  const kinds::Entry& kind = kinds::of(info.kind);
  switch (kind.dump) {
    case kinds::Dump::NoKeys: return stores_no_keys(path, kind.prose ? kind.prose : kind.name);
    case kinds::Dump::NoKeyOfId:
      throw Fail::work(path + ": a " + kind.name +
                       " answers no id -> key, so it cannot be dumped; keep the key list it was built from");
    case kinds::Dump::ByBase: return dump_overlay(path, *info.overlay, emit);
    case kinds::Dump::Keys: {
      const std::optional<std::uint64_t> missing =
          naming(path, [&] { return kind.walk_keys(read_whole(path), std::ref(emit)); });
      if (missing) no_key(path, *missing);
      return;
    }
  }
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
