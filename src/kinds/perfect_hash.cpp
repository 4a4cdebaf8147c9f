#include "perfect_hash.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <utility>

#include "scratch_files.hpp"
#include "threads.hpp"
#include "utf8.hpp"

namespace quorvale {

namespace perfect_hash {

namespace {

constexpr std::size_t SPILL_BUFFER = 65536;

[[noreturn]] void fail_format(const char* message) { throw IndexError::format(message); }

// Processors this process may run on; 1 when the system does not say.
std::uint64_t available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int c = CPU_COUNT(&set);
    if (c > 0) return static_cast<std::uint64_t>(c);
  }
  return online_processors();
}

}  // namespace

std::array<unsigned char, HEADER_LEN> header_bytes(std::uint64_t n, std::uint64_t image_len, std::uint32_t side_count,
                                                   std::uint64_t payload_checksum) {
  std::array<unsigned char, HEADER_LEN> h{};
  std::memcpy(h.data(), FRAME.magic.data(), 4);
  store_le64(h.data() + 4, n);
  store_le64(h.data() + 12, image_len);
  store_le32(h.data() + 20, side_count);
  FRAME.seal(h, payload_checksum);
  return h;
}

Spill Spill::create(const std::string& output_path) {
  auto [file, path] = scratch::create_file_beside(output_path, ".spill");
  return Spill(std::move(path), std::move(file));
}

Spill::~Spill() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

arena::Span replay_span(const StringArena::Prefix& plan, std::uint64_t expected_first_hash, std::uint32_t id,
                        std::string_view key, std::uint64_t& digest, std::uint64_t key_bytes_at) {
  const hash::HashPair h = hash::hash_pair(key);
  if (h.first != expected_first_hash) throw IndexError::build(MSG_REPLAY);
  digest = digest_step(digest, h.second);
  const arena::Span s = StringArena::span_at(plan.prefix, plan.overflow, plan.tag, id);
  if (s.end < s.start || s.end - s.start != key.size()) throw IndexError::build(MSG_REPLAY);
  return {s.start + key_bytes_at, s.end + key_bytes_at};
}

}  // namespace perfect_hash

using namespace perfect_hash;

// ---------------------------------------------------------------------------
// In-memory build.

namespace {

// The arena of keys[order[0]], keys[order[1]], ... sized exactly from their
// lengths before any byte is copied, so that the key bytes are copied once
// and never held twice; the copying is spread over every processor, a run
// of ids per claim (the tags, when given, are per input position).
StringArena assemble_in_order(std::span<const std::string_view> keys, std::span<const std::uint32_t> order,
                              const std::vector<std::uint8_t>* tags_by_position) {
  constexpr std::size_t RUN = 1 << 16;
  const std::size_t n = order.size();
  std::optional<SizedArena> sized;
  std::vector<std::uint64_t> run_at((n + RUN - 1) / RUN + 1, 0);
  {
    std::vector<std::uint32_t> lengths(n);
    for (std::size_t i = 0; i < n; ++i) lengths[i] = static_cast<std::uint32_t>(keys[order[i]].size());
    for (std::size_t i = 0; i < n; ++i) run_at[i / RUN + 1] += lengths[i];
    std::vector<std::uint8_t> id_tags;
    if (tags_by_position) {
      id_tags.resize(n);
      for (std::size_t i = 0; i < n; ++i) id_tags[i] = (*tags_by_position)[order[i]];
    }
    sized.emplace(lengths, tags_by_position ? &id_tags : nullptr);
  }
  for (std::size_t r = 1; r < run_at.size(); ++r) run_at[r] += run_at[r - 1];
  unsigned char* out = sized->key_bytes();
  parallel_claims(run_at.size() - 1, online_processors(), [&](std::size_t r) {
    unsigned char* at = out + run_at[r];
    const std::size_t end = std::min(n, (r + 1) * RUN);
    for (std::size_t i = r * RUN; i < end; ++i) {
      const std::string_view key = keys[order[i]];
      if (!key.empty()) std::memcpy(at, key.data(), key.size());
      at += key.size();
    }
  });
  return sized->finish();
}

}  // namespace

PerfectHashIndex PerfectHashIndex::build_borrowed(std::span<const std::string_view> keys, bool fingerprints) {
  // Keys are told apart by their first hash; only keys of one hash are ever
  // compared bytewise. The index is the one sorting every key would give:
  // the hash, the slots and the arena depend on the key set alone, and the
  // side keys are put in byte order here.
  bool too_long = false;
  for (std::string_view k : keys) too_long |= k.size() > UINT32_MAX;
  if (too_long || keys.size() > UINT32_MAX)
    return build_by_sorting(std::vector<std::string_view>(keys.begin(), keys.end()), fingerprints);
  if (keys.empty()) {
    std::vector<std::string_view> none;
    return PerfectHashIndex(StringArena::build_exact(none, fingerprints), {}, std::nullopt, 0);
  }
  // Each key as its first hash and position, its tag kept aside.
  std::vector<hash_engine::Pair> pairs = hash_engine::hash_keys(keys);
  std::vector<std::uint8_t> tag_in(fingerprints ? pairs.size() : 0);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    if (fingerprints) tag_in[i] = tag_of(pairs[i]);
    pairs[i].second = i;
  }
  // The keys of one first hash in byte order, repeats dropped: the first
  // represents the hash, the others go to the side table.
  const auto key_less = [&](const hash_engine::Pair& a, const hash_engine::Pair& b) {
    return keys[a.second] < keys[b.second];
  };
  const auto by_bytes = [&](std::span<hash_engine::Pair> group) -> std::size_t {
    std::sort(group.begin(), group.end(), key_less);
    const auto end = std::unique(group.begin(), group.end(), [&](const hash_engine::Pair& a, const hash_engine::Pair& b) {
      return keys[a.second] == keys[b.second];
    });
    return static_cast<std::size_t>(end - group.begin());
  };
  hash_engine::Slotted s = hash_engine::slot_pairs(pairs, MSG_TOO_MANY, online_processors(), by_bytes);
  const std::size_t d = s.m, n = s.n;
  std::vector<std::uint32_t> order;  // slot -> input position, then the side keys
  order.reserve(n);
  order.assign(d, UINT32_MAX);
  hash_engine::check_slots(pairs, d, MSG_NOT_MINIMAL,
                           [&](std::uint64_t slot, std::uint64_t at) { order[slot] = static_cast<std::uint32_t>(at); });
  std::vector<hash_engine::Pair>().swap(pairs);
  std::vector<hash_engine::SideEntry> side_keys = std::move(s.side);
  std::sort(side_keys.begin(), side_keys.end(),
            [&](const hash_engine::SideEntry& a, const hash_engine::SideEntry& b) { return keys[a.second] < keys[b.second]; });
  for (const hash_engine::SideEntry& e : side_keys) order.push_back(static_cast<std::uint32_t>(e.second));
  StringArena arena = assemble_in_order(keys, order, fingerprints ? &tag_in : nullptr);
  std::vector<std::uint32_t>().swap(order);
  std::vector<SideEntry> side(side_keys.size());
  for (std::size_t k = 0; k < side_keys.size(); ++k) side[k] = {side_keys[k].first, static_cast<std::uint32_t>(d + k)};
  std::sort(side.begin(), side.end());
  return PerfectHashIndex(std::move(arena), std::move(side), std::move(*s.mph), n);
}

PerfectHashIndex PerfectHashIndex::build_by_sorting(std::vector<std::string_view> keys, bool fingerprints) {
  if (keys.size() >= 2) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  }
  if (keys.size() > UINT32_MAX) fail_format(MSG_TOO_MANY);
  for (std::string_view k : keys)
    if (k.size() > UINT32_MAX) fail_format(MSG_TOO_LONG);
  return build_with(std::move(keys), fingerprints);
}

PerfectHashIndex PerfectHashIndex::build_with(std::vector<std::string_view> keys, bool fingerprints) {
  return build_borrowed(keys, fingerprints);
}

PerfectHashIndex PerfectHashIndex::build_with(std::vector<std::string> keys, bool fingerprints) {
  std::vector<std::string_view> views(keys.begin(), keys.end());
  return build_borrowed(views, fingerprints);
}

PerfectHashIndex PerfectHashIndex::build(std::span<const std::string> keys) {
  std::vector<std::string_view> views(keys.begin(), keys.end());
  return build_borrowed(views, false);
}

PerfectHashIndex PerfectHashIndex::build(std::span<const std::string_view> keys) { return build_borrowed(keys, false); }

// ---------------------------------------------------------------------------
// Lookups.

std::optional<std::uint32_t> PerfectHashIndex::side_lookup(std::uint64_t first_hash,
                                                           std::string_view key) const noexcept {
  if (side_.empty()) return std::nullopt;
  auto it = std::lower_bound(side_.begin(), side_.end(), first_hash,
                             [](const SideEntry& e, std::uint64_t h) { return e.hash < h; });
  for (; it != side_.end() && it->hash == first_hash; ++it) {
    if (it->id >= n_) continue;
    auto e = arena_.entry(it->id);
    if (e && *e == key) return it->id;
  }
  return std::nullopt;
}

std::uint64_t PerfectHashIndex::id_unchecked(std::string_view key) const noexcept {
  const std::uint64_t h0 = hash::hash_pair(key).first;
  if (auto id = side_lookup(h0, key)) return *id;
  return mphf_ ? mphf_->index(h0) : 0;
}

std::optional<std::string_view> PerfectHashIndex::key(std::uint32_t id) const noexcept {
  if (id >= n_) return std::nullopt;
  auto e = arena_.entry(id);
  if (!e || !utf8::valid(*e)) return std::nullopt;
  return e;
}

// ---------------------------------------------------------------------------
// The blob.

PerfectHashIndex::Parts PerfectHashIndex::serialised_parts() const {
  Parts parts;
  if (mphf_) parts.image = mphf_->to_bytes();
  parts.side.resize(side_.size() * 12);
  for (std::size_t i = 0; i < side_.size(); ++i) {
    store_le64(parts.side.data() + 12 * i, side_[i].hash);
    store_le32(parts.side.data() + 12 * i + 8, side_[i].id);
  }
  BlockHasher hasher;
  // Empty pieces are skipped: an empty vector has no data pointer to hand on.
  if (!parts.image.empty()) hasher.update(parts.image);
  hasher.update(arena_.bytes().bytes());
  if (!parts.side.empty()) hasher.update(parts.side);
  parts.header = header_bytes(n_, parts.image.size(), static_cast<std::uint32_t>(side_.size()), hasher.finish());
  return parts;
}

std::uint64_t PerfectHashIndex::serialized_len() const noexcept {
  return HEADER_LEN + (mphf_ ? mphf_->byte_len() : 0) + arena_.bytes().size() + 12 * std::uint64_t{side_.size()};
}

PerfectHashIndex PerfectHashIndex::from_shared(blob::SharedBytes bytes, bool verify) {
  FRAME.open(bytes.bytes(), verify);
  const unsigned char* b = bytes.data();
  const std::uint64_t L = bytes.size();
  const std::uint64_t n = load_le64(b + 4);
  const std::uint64_t J = load_le64(b + 12);
  const std::uint64_t H = load_le32(b + 20);
  if (n > UINT32_MAX) fail_format("perfect-hash: header claims more than u32::MAX keys");
  if (H > n || (H == n && n > 0)) fail_format("side table length out of range");
  if (12 * H > L) fail_format("side table length out of range");
  const std::uint64_t side_at = L - 12 * H;
  if (J > UINT64_MAX - HEADER_LEN || HEADER_LEN + J > side_at) fail_format("mph length out of range");
  if (!hash_engine::side_ids_are_tail(b + side_at, H, 12, 8, n))
    fail_format("perfect-hash: side-table ids are not the tail id range");
  const std::uint64_t arena_at = HEADER_LEN + J;
  StringArena arena = StringArena::from_shared(
      bytes.slice(static_cast<std::size_t>(arena_at), static_cast<std::size_t>(side_at - arena_at)));
  if (arena.len() != n) fail_format("mph / arena length mismatch");
  std::optional<Mphf> mphf;
  if (n > 0) {
    mphf.emplace(Mphf::from_bytes(std::span<const unsigned char>(b + HEADER_LEN, static_cast<std::size_t>(J))));
    if (mphf->n() != n - H) fail_format("mph / header length mismatch");
  }
  // Copied and sorted only now that every count agrees with the header.
  std::vector<SideEntry> side(static_cast<std::size_t>(H));
  for (std::size_t i = 0; i < side.size(); ++i)
    side[i] = {load_le64(b + side_at + 12 * i), load_le32(b + side_at + 12 * i + 8)};
  std::sort(side.begin(), side.end());
  return PerfectHashIndex(std::move(arena), std::move(side), std::move(mphf), n);
}

// ---------------------------------------------------------------------------
// Streamed build.

namespace {

// Sorts first hashes ascending on `threads` workers: spread over buckets by
// their top bits (hashes are uniform, so the buckets come out even), each
// bucket sorted on its own. The order is the one std::sort gives.
void sort_hashes(std::vector<std::uint64_t>& v, std::size_t threads) {
  constexpr std::size_t PER_BUCKET = 1 << 14;
  const std::size_t k = std::min<std::size_t>(threads * 4, 256);
  if (threads < 2 || v.size() < k * PER_BUCKET) {
    std::sort(v.begin(), v.end());
    return;
  }
  auto bucket = [k](std::uint64_t h) { return static_cast<std::size_t>((k * (h >> 32)) >> 32); };
  std::size_t start[257], cursor[256];
  hash_engine::partition_in_place(v.data(), v.size(), k, bucket, start, cursor);
  parallel_claims(k, threads, [&](std::size_t b) {
    std::sort(v.begin() + static_cast<std::ptrdiff_t>(start[b]), v.begin() + static_cast<std::ptrdiff_t>(start[b + 1]));
  });
}

// A writable shared map of a whole file, unmapped with its owner.
class WritableMap {
 public:
  WritableMap(File& file, std::uint64_t len) : len_(static_cast<std::size_t>(len)) {
    // Reserve the blocks first: writing through the map into a hole the
    // disk cannot fill would be SIGBUS instead of an error.
    int rc;
    do rc = ::posix_fallocate(file.fd(), 0, static_cast<off_t>(len));
    while (rc == EINTR);
    if (rc != 0 && rc != EOPNOTSUPP && rc != EINVAL) throw IndexError::os(rc);
    file.set_len(len);
    void* p = ::mmap(nullptr, len_, PROT_READ | PROT_WRITE, MAP_SHARED, file.fd(), 0);
    if (p == MAP_FAILED) throw IndexError::last_os();
    data_ = static_cast<unsigned char*>(p);
  }
  WritableMap(const WritableMap&) = delete;
  WritableMap& operator=(const WritableMap&) = delete;
  ~WritableMap() {
    if (data_) ::munmap(data_, len_);
  }
  unsigned char* data() noexcept { return data_; }
  // Writes [from, to) back to the file; the start is moved down to its page.
  void flush(std::uint64_t from, std::uint64_t to) {
    if (to <= from) return;
    static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
    const std::uint64_t start = from - from % page;
    if (::msync(data_ + start, static_cast<std::size_t>(to - start), MS_SYNC) != 0) throw IndexError::last_os();
  }
  void unmap() {
    if (data_ && ::munmap(data_, len_) != 0) {
      data_ = nullptr;
      throw IndexError::last_os();
    }
    data_ = nullptr;
  }

 private:
  unsigned char* data_ = nullptr;
  std::size_t len_;
};

IndexError corrupt_spill() { return IndexError::io(IoKind::InvalidData, "perfect-hash: the spill file is corrupt"); }

}  // namespace

std::uint64_t PerfectHashIndex::build_to_file(const SourceFactory& factory, const std::string& path, bool fingerprints,
                                              const hash_engine::StreamRun& run, bool first_hashes_distinct) {
  const StopProbe& stop = run.stop;
  auto probe = [&] { return stop && stop(); };
  auto run_offline = [&](const std::function<void()>& step) {
    if (run.offline) run.offline(step);
    else step();
  };
  const std::uint64_t window = std::max<std::uint64_t>(run.limits.window, 1);
  const std::size_t threads = run.threads != 0 ? run.threads : available_processors();

  // First pass: lengths, first hashes, tags and the order digest.
  std::vector<std::uint32_t> lengths;
  std::vector<std::uint64_t> first;
  std::vector<std::uint8_t> tags;
  std::uint64_t digest1 = 0;
  {
    std::unique_ptr<KeySource> source = factory();
    std::string_view key;
    while (source->next(key)) {
      if (key.size() > UINT32_MAX) fail_format(MSG_TOO_LONG);
      const hash::HashPair h = hash::hash_pair(key);
      lengths.push_back(static_cast<std::uint32_t>(key.size()));
      first.push_back(h.first);
      if (fingerprints) tags.push_back(tag_of(h));
      digest1 = digest_step(digest1, h.second);
    }
  }
  if (probe()) fail_format(MSG_RAISED);
  const std::uint64_t n = first.size();
  if (n > UINT32_MAX) fail_format(MSG_TOO_MANY);
  if (n == 0) {
    build_with(std::vector<std::string_view>{}, fingerprints).save(path);
    return 0;
  }

  // Between the passes: the hash, every key's id and the arena plan.
  std::vector<hash::Repeat> repeats;
  std::vector<std::uint32_t> ids;
  std::vector<std::uint64_t> rep_hash;   // every first hash that repeats, ascending
  std::vector<std::uint32_t> rep_first;  // the position of its first key
  StringArena::Prefix plan;
  std::vector<unsigned char> image, side_bytes;
  std::uint64_t m = 0;
  run_offline([&] {
    std::vector<std::uint64_t> distinct = first;
    sort_hashes(distinct, threads);
    if (std::adjacent_find(distinct.begin(), distinct.end()) != distinct.end()) {
      if (first_hashes_distinct) throw IndexError::build(MSG_MAY_REPEAT);
      std::vector<std::uint64_t>().swap(distinct);
      hash::Collisions split = hash::split_collisions(first);
      distinct = std::move(split.distinct);
      repeats = std::move(split.repeats);
    }
    m = distinct.size();
    Mphf mphf = Mphf::build_with_threads(distinct, threads, stop);
    std::vector<std::uint64_t>().swap(distinct);
    for (const hash::Repeat& r : repeats) rep_hash.push_back(r.hash);
    std::sort(rep_hash.begin(), rep_hash.end());
    rep_hash.erase(std::unique(rep_hash.begin(), rep_hash.end()), rep_hash.end());
    rep_first.assign(rep_hash.size(), UINT32_MAX);
    ids.assign(static_cast<std::size_t>(n), MISSING);
    // Every position's slot, a run of positions per claim; each slot may be
    // taken once (a bit per slot, set atomically). A hash that repeats has
    // one position outside the repeats, which records itself in rep_first.
    constexpr std::uint64_t RUN = 1 << 16;
    std::vector<std::uint64_t> taken(static_cast<std::size_t>((m + 63) / 64), 0);
    parallel_claims(static_cast<std::size_t>((n + RUN - 1) / RUN), threads, [&](std::size_t r) {
      const std::uint64_t from = r * RUN, to = std::min(n, from + RUN);
      auto next_repeat = std::lower_bound(repeats.begin(), repeats.end(), from,
                                          [](const hash::Repeat& x, std::uint64_t p) { return x.position < p; });
      for (std::uint64_t p = from; p < to; ++p) {
        if (next_repeat != repeats.end() && next_repeat->position == p) {
          ++next_repeat;
          continue;
        }
        const std::uint64_t slot = mphf.index(first[p]);
        if (slot >= m) fail_format(MSG_NOT_MINIMAL);
        const std::uint64_t bit = std::uint64_t{1} << (slot & 63);
        if (std::atomic_ref<std::uint64_t>(taken[static_cast<std::size_t>(slot >> 6)]).fetch_or(bit) & bit)
          fail_format(MSG_NOT_MINIMAL);
        ids[p] = static_cast<std::uint32_t>(slot);
        if (!rep_hash.empty()) {
          auto it = std::lower_bound(rep_hash.begin(), rep_hash.end(), first[p]);
          if (it != rep_hash.end() && *it == first[p]) rep_first[it - rep_hash.begin()] = static_cast<std::uint32_t>(p);
        }
      }
    });
    std::vector<std::uint64_t>().swap(taken);
    for (std::size_t k = 0; k < repeats.size(); ++k) ids[repeats[k].position] = static_cast<std::uint32_t>(m + k);
    std::vector<std::uint32_t> len_by_id(static_cast<std::size_t>(n), 0);
    std::vector<std::uint8_t> tag_by_id(fingerprints ? static_cast<std::size_t>(n) : 0, 0);
    parallel_claims(static_cast<std::size_t>((n + RUN - 1) / RUN), threads, [&](std::size_t r) {
      const std::uint64_t from = r * RUN, to = std::min(n, from + RUN);
      for (std::uint64_t p = from; p < to; ++p) {
        len_by_id[ids[p]] = lengths[p];
        if (fingerprints) tag_by_id[ids[p]] = tags[p];
      }
    });
    std::vector<std::uint8_t>().swap(tags);
    plan = StringArena::prefix_for_lengths(len_by_id, fingerprints ? &tag_by_id : nullptr);
    std::vector<SideEntry> side(repeats.size());
    for (std::size_t k = 0; k < repeats.size(); ++k) side[k] = {repeats[k].hash, static_cast<std::uint32_t>(m + k)};
    std::sort(side.begin(), side.end());
    side_bytes.resize(side.size() * 12);
    for (std::size_t i = 0; i < side.size(); ++i) {
      store_le64(side_bytes.data() + 12 * i, side[i].hash);
      store_le32(side_bytes.data() + 12 * i + 8, side[i].id);
    }
    image = mphf.to_bytes();
  });
  stop_if(stop);

  const std::uint64_t H = repeats.size();
  const std::uint64_t T = plan.total;
  const std::uint64_t A = HEADER_LEN + image.size();
  const std::uint64_t B = A + plan.prefix.size();
  const std::uint64_t C = B + T + plan.overflow.size();
  const std::uint64_t L = C + 12 * H;
  if (L > static_cast<std::uint64_t>(PTRDIFF_MAX)) throw IndexError::io_kind(IoKind::OutOfMemory);

  return blob::write_atomically_with(path, [&](File& file) -> std::uint64_t {
    WritableMap map(file, L);
    unsigned char* out = map.data();
    std::memcpy(out + HEADER_LEN, image.data(), image.size());
    std::memcpy(out + A, plan.prefix.data(), plan.prefix.size());
    if (!plan.overflow.empty()) std::memcpy(out + B + T, plan.overflow.data(), plan.overflow.size());
    if (!side_bytes.empty()) std::memcpy(out + C, side_bytes.data(), side_bytes.size());
    std::vector<unsigned char>().swap(image);
    std::vector<unsigned char>().swap(side_bytes);

    std::uint64_t digest2 = 0;
    std::uint64_t count = 0;
    if (T <= window) {
      std::unique_ptr<KeySource> source = factory();
      std::string_view key;
      while (source->next(key)) {
        if (count == n) throw IndexError::build(MSG_REPLAY);
        const arena::Span s = replay_span(plan, first[count], ids[count], key, digest2, B);
        if (!key.empty()) std::memcpy(out + s.start, key.data(), key.size());
        ++count;
      }
    } else {
      // Windowed: each key's record goes to the region of the window its
      // span starts in; windows are then filled one after the other.
      const std::uint64_t windows = (T + window - 1) / window;
      const std::size_t wcount = static_cast<std::size_t>(windows);
      std::vector<std::uint64_t> size(wcount, 0);
      std::vector<std::uint64_t> region(wcount, 0);
      std::vector<std::uint64_t> written(wcount, 0);
      auto window_of = [&](const arena::Span& s) { return std::min(s.start / window, windows - 1); };
      // Spans start in id order, so each window's keys are a run of ids:
      // first_id[w] is where window w's run starts (runs may be empty).
      std::vector<std::uint32_t> first_id(wcount, 0);
      for (std::uint64_t id = 0; id < n; ++id) {
        const arena::Span s = StringArena::span_at(plan.prefix, plan.overflow, plan.tag, id);
        const std::uint64_t w = window_of(s);
        size[w] += 4 + (s.end - s.start);
        if (w + 1 < windows) ++first_id[static_cast<std::size_t>(w + 1)];
      }
      for (std::size_t w = 1; w < size.size(); ++w) {
        region[w] = region[w - 1] + size[w - 1];
        first_id[w] += first_id[w - 1];
      }
      auto window_of_id = [&](std::uint32_t id) {
        return static_cast<std::size_t>(std::upper_bound(first_id.begin(), first_id.end(), id) - first_id.begin() - 1);
      };
      Spill spill = Spill::create(path);
      std::vector<std::vector<unsigned char>> buffers(size.size());
      std::vector<std::vector<std::uint64_t>> blocks(size.size());  // where each write of whole records starts
      auto spill_out = [&](std::size_t w) {
        std::vector<unsigned char>& buf = buffers[w];
        if (buf.empty()) return;
        if (written[w] + buf.size() > size[w]) throw corrupt_spill();
        blocks[w].push_back(written[w]);
        spill.file().write_all_at(buf, region[w] + written[w]);
        written[w] += buf.size();
        buf.clear();
      };
      {
        std::unique_ptr<KeySource> source = factory();
        std::string_view key;
        while (source->next(key)) {
          if (count == n) throw IndexError::build(MSG_REPLAY);
          // What replay_span checks, from the first pass's own records (read
          // in order) rather than the offset table (read at random).
          const hash::HashPair h = hash::hash_pair(key);
          if (h.first != first[count] || key.size() != lengths[count]) throw IndexError::build(MSG_REPLAY);
          digest2 = digest_step(digest2, h.second);
          const std::uint32_t id = ids[count];
          const std::size_t w = window_of_id(id);
          std::vector<unsigned char>& buf = buffers[w];
          unsigned char rec[4];
          store_le32(rec, id);
          buf.insert(buf.end(), rec, rec + 4);
          buf.insert(buf.end(), key.begin(), key.end());
          if (buf.size() >= SPILL_BUFFER) spill_out(w);
          ++count;
        }
      }
      if (count == n) {
        for (std::size_t w = 0; w < buffers.size(); ++w) spill_out(w);
        std::vector<std::vector<unsigned char>>().swap(buffers);
        // Copies the records of spill bytes [pos, end) to their spans through
        // a 64 KiB buffered reader; the records must end exactly at `end`.
        auto fill_block = [&](std::uint64_t pos, const std::uint64_t end) {
          std::vector<unsigned char> buf(SPILL_BUFFER);
          std::size_t have = 0, at = 0;
          auto fill = [&](std::size_t need) {
            if (have - at >= need) return;
            std::memmove(buf.data(), buf.data() + at, have - at);
            have -= at;
            at = 0;
            const std::uint64_t want = std::min<std::uint64_t>(buf.size() - have, end - pos);
            if (have + want < need) throw corrupt_spill();
            spill.file().read_exact_at(std::span<unsigned char>(buf.data() + have, static_cast<std::size_t>(want)), pos);
            pos += want;
            have += static_cast<std::size_t>(want);
          };
          std::uint64_t left = end - pos;
          while (left > 0) {
            if (left < 4) throw corrupt_spill();
            fill(4);
            const std::uint32_t id = load_le32(buf.data() + at);
            at += 4;
            left -= 4;
            if (id >= n) throw corrupt_spill();
            const arena::Span s = StringArena::span_at(plan.prefix, plan.overflow, plan.tag, id);
            const std::uint64_t len = s.end - s.start;
            if (s.end < s.start || s.end > T || len > left) throw corrupt_spill();
            unsigned char* dst = out + B + s.start;
            std::uint64_t done = 0;
            while (done < len) {
              if (at == have) {
                // Long keys are read straight into the map.
                const std::uint64_t direct = len - done;
                if (direct >= buf.size()) {
                  if (pos + direct > end) throw corrupt_spill();
                  spill.file().read_exact_at(std::span<unsigned char>(dst + done, static_cast<std::size_t>(direct)), pos);
                  pos += direct;
                  done += direct;
                  break;
                }
                fill(1);
              }
              const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(have - at, len - done));
              std::memcpy(dst + done, buf.data() + at, take);
              at += take;
              done += take;
            }
            left -= len;
          }
        };
        for (std::size_t w = 0; w < size.size(); ++w) {
          stop_if(stop);
          if (written[w] != size[w]) throw corrupt_spill();
          // The window's blocks hold whole records and fill disjoint spans,
          // so they are copied on workers, each through its own reader.
          const std::vector<std::uint64_t>& starts = blocks[w];
          parallel_claims(starts.size(), threads, [&](std::size_t k) {
            const std::uint64_t from = starts[k], to = k + 1 < starts.size() ? starts[k + 1] : size[w];
            if (to < from) throw corrupt_spill();
            fill_block(region[w] + from, region[w] + to);
          });
          map.flush(B + w * window, B + std::min((w + 1) * window, T));
        }
      }
    }
    std::vector<std::uint32_t>().swap(lengths);
    if (count != n || digest2 != digest1) throw IndexError::build(MSG_REPLAY);

    run_offline([&] {
      // Equal keys share their first hash, so only the runs of repeated
      // hashes can hold a key twice; each run is sorted to find one.
      if (!repeats.empty()) {
        std::vector<hash::Repeat> by_hash = repeats;
        std::sort(by_hash.begin(), by_hash.end(), [](const hash::Repeat& a, const hash::Repeat& b) {
          return a.hash != b.hash ? a.hash < b.hash : a.position < b.position;
        });
        auto bytes_of = [&](std::uint32_t id) {
          const arena::Span s = StringArena::span_at(plan.prefix, plan.overflow, plan.tag, id);
          return std::string_view(reinterpret_cast<const char*>(out) + B + s.start, s.end - s.start);
        };
        std::vector<std::string_view> run;
        for (std::size_t i = 0; i < by_hash.size();) {
          const std::uint64_t h = by_hash[i].hash;
          const std::size_t r = std::lower_bound(rep_hash.begin(), rep_hash.end(), h) - rep_hash.begin();
          run.assign(1, bytes_of(ids[rep_first[r]]));
          for (; i < by_hash.size() && by_hash[i].hash == h; ++i) run.push_back(bytes_of(ids[by_hash[i].position]));
          std::sort(run.begin(), run.end());
          if (std::adjacent_find(run.begin(), run.end()) != run.end()) throw IndexError::build(MSG_REPEATED);
        }
      }
    });
    if (probe()) fail_format(MSG_RAISED);
    run_offline([&] {
      // The header's fields, then both checksums over the file as it lies.
      const auto header = header_bytes(n, A - HEADER_LEN, static_cast<std::uint32_t>(H), 0);
      std::memcpy(out, header.data(), header.size());
      FRAME.seal_blob(std::span<unsigned char>(out, static_cast<std::size_t>(L)));
      map.flush(0, L);
      map.unmap();
    });
    return n;
  });
}

}  // namespace quorvale
