// The streamed build: keys arriving once, in any order, are sorted into runs
// (spilled beside the output when there is more than one) and replayed in
// byte order in passes: counting (with the block heads), the character
// tally when a code may pay, sampling the training material, and encoding,
// which writes the block data into the file a shard at a time. Every step
// that decides the bytes is the in-memory build's own, so the file equals
// what that build saves for the same keys.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "dict_index/layout.hpp"
#include "dict_index/build_internal.hpp"
#include "extsort/extsort.hpp"
#include "perfect_hash.hpp"
#include "utf8.hpp"

namespace quorvale {

using dict_index::Layout;

using namespace dict_index;

namespace {

// The buffer the payload is read back through for its checksum.
constexpr std::size_t READ_BACK = std::size_t{1} << 20;

[[noreturn]] void stream_changed() { throw IndexError::format(MSG_STREAM_CHANGED); }

// Keys back to back with the end of each, the first end preceded by 0.
struct KeyList {
  std::vector<unsigned char> bytes;
  std::vector<std::uint64_t> ends{0};

  void push(ByteSpan key) {
    bytes.insert(bytes.end(), key.begin(), key.end());
    ends.push_back(bytes.size());
  }
  std::size_t size() const noexcept { return ends.size() - 1; }
  Key operator[](std::size_t i) const noexcept {
    return as_key(bytes.data() + ends[i], static_cast<std::size_t>(ends[i + 1] - ends[i]));
  }
  void clear() noexcept {
    bytes.clear();
    ends.resize(1);
  }
};

// A key as the later passes see it: spelled in the code when there is one
// (a key it cannot spell means the replay changed).
class Speller {
 public:
  explicit Speller(const charcode::CharCode* code) : code_(code) {}
  ByteSpan operator()(std::string_view key) {
    if (!code_) return as_span(key);
    buf_.clear();
    if (!code_->encode_key(key, buf_)) stream_changed();
    return {buf_.data(), buf_.size()};
  }

 private:
  const charcode::CharCode* code_;
  std::vector<unsigned char> buf_;
};

// A replay that asks the build's probe every STOP_STRIDE keys, so that a
// caller can stop any pass part way.
class Checked final : public extsort::Replay {
 public:
  Checked(extsort::Replay& inner, const StopProbe& probe) : inner_(inner), probe_(probe) {}
  void each(const Callback& callback) override {
    std::uint64_t seen = 0;
    inner_.each([&](std::string_view key) {
      if (seen++ % STOP_STRIDE == 0) stop_if(probe_);
      callback(key);
    });
  }
  static constexpr std::uint64_t STOP_STRIDE = 1 << 16;

 private:
  extsort::Replay& inner_;
  const StopProbe& probe_;
};

// The training material: the suffixes the in-memory build's sampling takes
// (`build_pieces`, not exact), gathered from a replay into one buffer.
struct Sampled {
  std::vector<unsigned char> bytes;
  std::vector<std::vector<std::pair<std::uint64_t, std::uint64_t>>> spans;  // per shard

  Pieces pieces() const {
    Pieces p(spans.size());
    for (std::size_t s = 0; s < spans.size(); ++s) {
      p[s].reserve(spans[s].size());
      for (const auto& [from, to] : spans[s])
        p[s].push_back(fsst::Bytes(bytes.data() + from, static_cast<std::size_t>(to - from)));
    }
    return p;
  }
};

// The sampling of the raw keys while they are counted, for a corpus that
// gets no character code. A shard's stride depends on the keys left from its
// start, known only once the shard is complete or the keys end: the
// suffixes of every chunk of the current shard are kept, and the chunks the
// stride takes are moved into the training material when it is known.
class RawSampler {
 public:
  RawSampler(std::uint64_t block, std::uint64_t micro) : block_(block), micro_(micro), K_(shard_blocks(block) * block) {}

  void add(std::uint64_t i, ByteSpan key) {
    const std::uint64_t d = i % block_;
    const std::uint64_t within = i % K_;
    if (within == 0 && i > 0) settle(i - K_, i);
    if (d == 0) {
      restart_.assign(key.begin(), key.end());
    } else {
      const bool at_restart = d % micro_ == 0;
      const std::vector<unsigned char>& ref = at_restart ? restart_ : previous_;
      const ByteSpan suffix = key.subspan(common_prefix({ref.data(), ref.size()}, key));
      shard_.insert(shard_.end(), suffix.begin(), suffix.end());
      ends_.push_back(shard_.size());
      chunks_.push_back(static_cast<std::uint32_t>(within / 256));
      if (at_restart) restart_.assign(key.begin(), key.end());
    }
    previous_.assign(key.begin(), key.end());
  }

  // The training material of n keys, spread over `lists` piece lists.
  Sampled finish(std::uint64_t n, std::uint64_t lists) {
    if (n > 0) {
      const std::uint64_t first = (n - 1) / K_ * K_;
      settle(first, n);
    }
    out_.spans.resize(static_cast<std::size_t>(lists));
    return std::move(out_);
  }

 private:
  // Moves the sampled suffixes of the shard starting at key `first` into
  // the material, n being the keys counted so far (all of them when the
  // shard is the last).
  void settle(std::uint64_t first, std::uint64_t n) {
    const std::uint64_t stride = sample_stride(K_, n, first, false);
    const std::size_t s = static_cast<std::size_t>(first / K_);
    if (out_.spans.size() <= s) out_.spans.resize(s + 1);
    std::uint64_t from = 0;
    for (std::size_t k = 0; k < ends_.size(); ++k) {
      if (chunks_[k] % stride == 0) {
        const std::uint64_t at = out_.bytes.size();
        out_.bytes.insert(out_.bytes.end(), shard_.begin() + static_cast<std::ptrdiff_t>(from),
                          shard_.begin() + static_cast<std::ptrdiff_t>(ends_[k]));
        out_.spans[s].emplace_back(at, out_.bytes.size());
      }
      from = ends_[k];
    }
    shard_.clear();
    ends_.clear();
    chunks_.clear();
  }

  std::uint64_t block_, micro_, K_;
  std::vector<unsigned char> previous_, restart_;
  // The current shard's suffixes, their ends and their chunks.
  std::vector<unsigned char> shard_;
  std::vector<std::uint64_t> ends_;
  std::vector<std::uint32_t> chunks_;
  Sampled out_;
};

// What the counting pass gathers, and the raw keys' training material.
struct Counted {
  std::uint64_t n = 0;
  ByteCount bytes;
  KeyList heads;
  Sampled sampled;
};

Counted count_pass(extsort::Replay& source, std::uint64_t block, std::uint64_t micro) {
  Counted c;
  RawSampler sampler(block, micro);
  source.each([&](std::string_view key) {
    if (c.n % block == 0) c.heads.push(as_span(key));
    const ByteCount k = count_bytes(std::span<const Key>(&key, 1));
    c.bytes.total += k.total;
    c.bytes.high += k.high;
    sampler.add(c.n, as_span(key));
    ++c.n;
  });
  c.sampled = sampler.finish(c.n, Shape::of(c.n, block, micro_for(block), shard_blocks(block)).stored());
  return c;
}

// The character code, as the in-memory build's choice decides it.
std::optional<charcode::CharCode> tally_pass(extsort::Replay& source, const Counted& c) {
  if (!c.bytes.may_pay()) return std::nullopt;
  charcode::Tally tally;
  std::uint64_t i = 0;
  source.each([&](std::string_view key) {
    if (++i > c.n) stream_changed();
    tally.add(key);
  });
  if (i != c.n) stream_changed();
  return tally.choose_for(tally.bytes);
}

// The heads spelled in the code.
KeyList spell_heads(const KeyList& raw, const charcode::CharCode& code) {
  KeyList out;
  std::vector<unsigned char> buf;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const Key head = raw[i];
    if (!utf8::valid(head)) panic("a head is a whole key");
    buf.clear();
    if (!code.encode_key(head, buf)) stream_changed();
    out.push({buf.data(), buf.size()});
  }
  return out;
}

Sampled sample_pass(extsort::Replay& source, const charcode::CharCode* code, std::uint64_t n, std::uint64_t block,
                    std::uint64_t micro, std::uint64_t lists) {
  const std::uint64_t K = shard_blocks(block) * block;
  Sampled out;
  out.spans.resize(static_cast<std::size_t>(lists));
  Speller spell(code);
  std::vector<unsigned char> previous, restart;
  std::uint64_t i = 0, stride = 1;
  source.each([&](std::string_view raw) {
    if (i >= n) stream_changed();
    const ByteSpan key = spell(raw);
    const std::uint64_t d = i % block;
    const std::uint64_t within = i % K;
    if (d == 0) {
      if (within == 0) stride = sample_stride(K, n, i, false);
      restart.assign(key.begin(), key.end());
    } else {
      const bool at_restart = d % micro == 0;
      if ((within / 256) % stride == 0) {
        const std::vector<unsigned char>& ref = at_restart ? restart : previous;
        const ByteSpan suffix = key.subspan(common_prefix({ref.data(), ref.size()}, key));
        const std::uint64_t from = out.bytes.size();
        out.bytes.insert(out.bytes.end(), suffix.begin(), suffix.end());
        out.spans[static_cast<std::size_t>(i / K)].emplace_back(from, out.bytes.size());
      }
      if (at_restart) restart.assign(key.begin(), key.end());
    }
    previous.assign(key.begin(), key.end());
    ++i;
  });
  if (i != n) stream_changed();
  return out;
}

// Appends encoded shards to the blob in shard order: each shard's data to
// the writer, its block and run starts moved past the data before it.
class ShardAppender {
 public:
  ShardAppender(Layout& d, BufWriter& w, std::uint64_t blocks) : d_(d), w_(w) {
    block_starts_.reserve(static_cast<std::size_t>(blocks));
    run_starts_.reserve(static_cast<std::size_t>(blocks * d.J));
  }
  void add(ShardOut& out) {
    for (std::uint64_t b : out.block_starts) block_starts_.push_back(data_len_ + b);
    for (std::uint64_t r : out.run_starts) run_starts_.push_back(data_len_ + r);
    w_.write_all(out.data);
    data_len_ += out.data.size();
    d_.codes.push_back(std::move(out.codes));
    d_.codecs.push_back(std::move(out.codec));
  }
  // Fills the phrases and offset arrays; returns the block data length.
  std::uint64_t finish(const Phrases& phrases) {
    d_.phrases = kept_phrases(d_.codecs, phrases);
    d_.block_offsets = packed_offsets(block_starts_);
    d_.micro_offsets = dict_index::micro_offsets(run_starts_, block_starts_, d_.J);
    return data_len_;
  }

 private:
  Layout& d_;
  BufWriter& w_;
  std::vector<std::uint64_t> block_starts_, run_starts_;
  std::uint64_t data_len_ = 0;
};

// The encoding pass and the closing sections, into the file behind `w`. `d`
// holds the shape, heads and head ends, tables' phrases and the code; the
// pass fills its codecs, codes, phrases and offset arrays. Returns the block
// data length.
//
// The replay gathers up to `threads` whole shards of keys at a time; the
// gathered shards are encoded on workers, one shard each, and written in
// shard order before the replay goes on, so memory holds a few shards.
std::uint64_t encode_pass(extsort::Replay& source, Layout& d, std::span<const fsst::Table> tables,
                          const Phrases& phrases, BufWriter& w, std::size_t threads) {
  const std::uint64_t n = d.n, block = d.block, K = d.shard * block;
  const std::uint64_t shards = std::max<std::uint64_t>(1, ceil_div(n, K));
  const std::size_t width = static_cast<std::size_t>(std::clamp<std::uint64_t>(threads, 1, shards));
  Speller spell(d.chars.get());
  struct Slot {
    KeyList keys;
    ShardWork work;
    ShardOut out;
  };
  std::vector<Slot> slots(width);
  ShardAppender appended(d, w, ceil_div(n, block));
  std::uint64_t i = 0;
  std::uint64_t first = 0;   // the shard of slot 0
  std::size_t filled = 0;    // slots holding keys (the last maybe part full)

  // Encodes the gathered shards (at least one: an empty corpus still stores
  // one codec) and writes them in order.
  const auto drain = [&] {
    const std::size_t count = std::max<std::size_t>(filled, 1);
    claim_on_workers(count, width, "encoding a range of blocks cannot panic", [&](std::size_t k) {
      Slot& slot = slots[k];
      slot.work.views.clear();
      for (std::size_t j = 0; j < slot.keys.size(); ++j) slot.work.views.push_back(slot.keys[j]);
      encode_shard(slot.work.views, block, d.micro, tables[static_cast<std::size_t>(first + k)], phrases, slot.work,
                   slot.out);
    });
    for (std::size_t k = 0; k < count; ++k) {
      appended.add(slots[k].out);
      slots[k].keys.clear();
    }
    first += count;
    filled = 0;
  };

  source.each([&](std::string_view raw) {
    // A replay longer than the first never reaches past the trained tables.
    if (i >= n) stream_changed();
    if (i % K == 0) {
      if (filled == width) drain();
      ++filled;
    }
    const ByteSpan key = spell(raw);
    if (i % block == 0) {
      const auto [from, to] = head_range(d.head_ends, d.heads.size(), i / block);
      if (!std::ranges::equal(key, d.heads.bytes().subspan(from, to - from))) stream_changed();
    }
    slots[filled - 1].keys.push(key);
    ++i;
  });
  if (i != n) stream_changed();
  drain();
  return appended.finish(phrases);
}

// The shape, heads, head ends and head prefix of `d` from its n heads (raw,
// or spelled when `d` has a code).
void set_heads(Layout& d, KeyList heads) {
  const Shape shape = Shape::of(d.n, d.block, d.micro, d.shard);
  d.J = shape.J;
  d.heads = blob::SharedBytes::from_owned(std::move(heads.bytes));
  d.head_ends = packed_offsets(std::span<const std::uint64_t>(heads.ends).subspan(1));
  d.head_prefix = shape.blocks == 0 ? 0 : common_head(d.heads.bytes(), d.head_ends, shape.blocks);
}

// Workers of the training: at most one a list, at most 21.
std::size_t training_threads(std::uint64_t lists) {
  return std::max<std::size_t>(1, std::min<std::size_t>({static_cast<std::size_t>(lists), online_processors(), 21}));
}

// Writes the blob of `d` into `path`: the header's place, the head
// sections, the block data that `encode(w)` writes (returning its length and
// filling the codecs, codes, phrases and offset arrays of `d`), the closing
// sections, then the header with the payload checksum read back from the file.
template <class Encode>
std::uint64_t write_blob(Layout& d, const std::string& path, const Layout::Probe& probe, Encode&& encode) {
  return blob::write_atomically_with(path, [&](File& file) {
    BufWriter w(file);
    const std::array<unsigned char, HEADER_LEN> zeros{};
    w.write_all(zeros);
    const auto head_sections = payload_of(d, Records{});
    for (std::size_t s = 0; s < BLOCK_DATA_SECTION; ++s) w.write_all(head_sections[s]);
    const std::uint64_t data_len = encode(w);
    const Records records = records_of(d);
    const auto sections = payload_of(d, records);
    for (std::size_t s = BLOCK_DATA_SECTION + 1; s < PAYLOAD_SECTIONS; ++s) w.write_all(sections[s]);
    w.flush();

    // The payload checksum, from the file itself.
    w.seek(HEADER_LEN);
    BlockHasher hasher;
    std::vector<unsigned char> chunk(READ_BACK);
    while (const std::size_t got = file.read_some(chunk)) hasher.update(std::span(chunk.data(), got));
    const auto header = header_fields(d, records, data_len, hasher.finish()).bytes();
    file.write_all_at(header, 0);
    if (probe && probe()) throw IndexError::format(MSG_SOURCE_RAISED);
    return d.n;
  });
}

// The road of a corpus held in one sorted run: its keys are at hand in
// order, so every pass reads them in place on workers (the counts in
// ranges, the sampling only in the sampled chunks, the encoding a shard a
// worker, written in shard order) instead of replaying them. Nothing when a
// character code may pay: that corpus takes the replaying road, whose tally
// and spelling passes decide the code.
std::optional<std::uint64_t> write_view(const extsort::KeyView& keys, const std::string& path, std::uint64_t block,
                                        const Layout::Probe& probe) {
  const std::uint64_t n = keys.size();
  const std::size_t processors = online_processors();
  {
    constexpr std::uint64_t RANGE = 1 << 16;
    std::vector<ByteCount> counts(static_cast<std::size_t>(ceil_div(n, RANGE)));
    claim_on_workers(counts.size(), processors, "counting or spelling a range of keys cannot panic",
                     [&](std::size_t r) {
                       std::array<Key, 256> batch;
                       const std::uint64_t end = std::min(n, (r + 1) * RANGE);
                       for (std::uint64_t i = r * RANGE; i < end;) {
                         std::size_t k = 0;
                         for (; k < batch.size() && i < end; ++k, ++i) batch[k] = keys[i];
                         const ByteCount c = count_bytes(std::span<const Key>(batch.data(), k));
                         counts[r].total += c.total;
                         counts[r].high += c.high;
                       }
                     });
    ByteCount all;
    for (const ByteCount& c : counts) {
      all.total += c.total;
      all.high += c.high;
    }
    if (all.may_pay()) return std::nullopt;
  }
  stop_if(probe);

  Layout d;
  d.n = n;
  d.block = block;
  d.micro = micro_for(block);
  d.shard = shard_blocks(block);
  {
    KeyList heads;
    for (std::uint64_t i = 0; i < n; i += block) heads.push(as_span(keys[i]));
    set_heads(d, std::move(heads));
  }
  const Shape shape = Shape::of(n, block, d.micro, d.shard);
  const std::uint64_t lists = shape.stored();

  std::vector<fsst::Table> tables;
  Phrases phrases;
  {
    const Pieces pieces = pieces_of(n, [&](std::uint64_t i) { return keys[i]; }, block, d.micro, false);
    const std::size_t threads = training_threads(lists);
    stop_if(probe);
    tables = train_shards(pieces, threads);
    stop_if(probe);
    phrases = mine_phrases(pieces, tables, n, threads);
  }
  stop_if(probe);

  const std::uint64_t K = d.shard * block;
  const std::size_t threads = std::min<std::size_t>(static_cast<std::size_t>(lists), processors);
  return write_blob(d, path, probe, [&](BufWriter& w) {
    std::vector<ShardWork> work(std::max<std::size_t>(threads, 1));
    std::vector<ShardOut> outs(ordered_window(threads));
    ShardAppender appended(d, w, shape.blocks);
    encode_in_order(
        static_cast<std::size_t>(lists), threads,
        [&](std::size_t s, std::size_t worker, std::size_t slot) {
          ShardWork& wk = work[worker];
          wk.views.clear();
          for (std::uint64_t i = s * K, end = std::min(n, (s + 1) * K); i < end; ++i) wk.views.push_back(keys[i]);
          encode_shard(wk.views, block, d.micro, tables[s], phrases, wk, outs[slot]);
        },
        [&](std::size_t, std::size_t slot) {
          stop_if(probe);
          appended.add(outs[slot]);
        });
    return appended.finish(phrases);
  });
}

}  // namespace

std::uint64_t Layout::write_sorted(extsort::Replay& sorted, const std::string& path, std::uint64_t block,
                                      const Probe& probe) {
  check_block(block);
  if (auto* run = dynamic_cast<extsort::Run*>(&sorted)) {
    stop_if(probe);
    if (std::optional<std::uint64_t> n = write_view(run->sorted(), path, block, probe)) return *n;
  }
  Checked source(sorted, probe);
  Layout d;
  d.block = block;
  d.micro = micro_for(block);
  d.shard = shard_blocks(block);

  // The counting pass samples the raw keys too: a corpus that gets no code
  // is replayed once less.
  Counted counted = count_pass(source, block, d.micro);
  d.n = counted.n;
  if (auto code = tally_pass(source, counted)) d.chars = std::make_unique<charcode::CharCode>(std::move(*code));
  set_heads(d, d.chars ? spell_heads(counted.heads, *d.chars) : std::move(counted.heads));
  Sampled raw = d.chars ? Sampled{} : std::move(counted.sampled);
  counted = {};
  const std::uint64_t lists = Shape::of(d.n, block, d.micro, d.shard).stored();

  std::vector<fsst::Table> tables;
  Phrases phrases;
  {
    const Sampled sampled = d.chars ? sample_pass(source, d.chars.get(), d.n, block, d.micro, lists) : std::move(raw);
    const Pieces pieces = sampled.pieces();
    const std::size_t threads = training_threads(lists);
    stop_if(probe);
    tables = train_shards(pieces, threads);
    stop_if(probe);
    phrases = mine_phrases(pieces, tables, d.n, threads);
  }
  const std::size_t encode_threads = std::min<std::size_t>(static_cast<std::size_t>(lists), online_processors());
  stop_if(probe);
  return write_blob(d, path, probe,
                    [&](BufWriter& w) { return encode_pass(source, d, tables, phrases, w, encode_threads); });
}

std::uint64_t Layout::build_to_file_runs(KeySource& keys, const std::string& path,
                                            std::uint64_t block, const Probe& probe, const Offline& offline,
                                            std::size_t budget) {
  check_block(block);
  const auto off = [&](const std::function<void()>& step) {
    if (offline) offline(step);
    else step();
  };
  extsort::Run run(budget);
  extsort::Runs runs(path);
  std::string_view key;
  while (keys.next(key)) {
    if (run.has_room(key.size())) {
      run.push(key);
      continue;
    }
    // A key no run can hold (runs address their bytes in 32 bits) is
    // refused wherever it comes, never pushed.
    if (run.empty()) throw IndexError::format(MSG_KEY_OVER_BUDGET);
    off([&] { runs.spill(run.sorted()); });
    run.clear();
    if (!run.has_room(key.size())) throw IndexError::format(MSG_KEY_OVER_BUDGET);
    run.push(key);
  }
  if (probe && probe()) throw IndexError::format(MSG_SOURCE_RAISED);
  std::uint64_t n = 0;
  off([&] {
    if (runs.runs().empty()) {
      n = write_sorted(run, path, block, probe);
      return;
    }
    if (!run.empty()) runs.spill(run.sorted());
    run = extsort::Run(budget);  // every run is on disk: its buffers go
    n = write_sorted(runs, path, block, probe);
  });
  return n;
}

}  // namespace quorvale
