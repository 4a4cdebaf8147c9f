// The merge of run files and the spill directory that holds them.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "extsort/extsort.hpp"
#include "extsort/run_file.hpp"
#include "utf8.hpp"

namespace quorvale::extsort {

namespace {

// Bytewise order, a proper prefix first. Keys met in a merge share long
// prefixes: compare a word at a time rather than call memcmp.
// `from`: a length both share, known equal.
inline int compare_bytes(std::string_view a, std::string_view b, std::size_t from = 0) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  std::size_t i = from;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        x = __builtin_bswap64(x);
        y = __builtin_bswap64(y);
      }
      return x < y ? -1 : 1;
    }
  }
  for (; i < n; ++i) {
    const unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

}  // namespace

// ---- merged stream -------------------------------------------------------------

// The merge is a tournament (loser) tree over the runs: replacing the
// winner replays one match per level, about half the comparisons of a heap.
struct MergedStream::Impl {
  std::vector<RunReader> readers;
  std::vector<std::string> heads;       // each run's current key
  std::vector<std::uint64_t> prefixes;  // their first 8 bytes, big-endian, zero-padded
  std::vector<char> done;               // the run has no key left
  // The prefix of a finished run: no UTF-8 key starts with 0xFF, so it
  // sorts after every key.
  static constexpr std::uint64_t FINISHED = ~std::uint64_t{0};
  // tree[0]: the run holding the least key; tree[1..k): the loser of the
  // match at that node. Leaves are the runs, at k..2k-1.
  std::vector<std::uint32_t> tree;
  std::string current;
  std::optional<IndexError> error;
  bool ended = false;

  void set_prefix(std::uint32_t run) {
    const std::string& k = heads[run];
    std::uint64_t v = 0;
    std::memcpy(&v, k.data(), k.size() < 8 ? k.size() : 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    prefixes[run] = v;
  }
  // Whether run a's key comes out before run b's: by key bytes, then by run
  // position; a finished run loses to every other.
  bool less(std::uint32_t a, std::uint32_t b) const {
    const std::uint64_t pa = prefixes[a], pb = prefixes[b];
    if (pa != pb) return pa < pb;
    if (pa == FINISHED) return a < b;
    const std::string& ka = heads[a];
    const std::string& kb = heads[b];
    int c = compare_bytes(ka, kb, ka.size() >= 8 && kb.size() >= 8 ? 8 : 0);
    return c < 0 || (c == 0 && a < b);
  }
  std::uint32_t build(std::size_t node) {
    const std::size_t k = readers.size();
    if (node >= k) return static_cast<std::uint32_t>(node - k);
    std::uint32_t l = build(2 * node), r = build(2 * node + 1);
    if (less(l, r)) {
      tree[node] = r;
      return l;
    }
    tree[node] = l;
    return r;
  }
  void init() {
    const std::size_t k = readers.size();
    tree.assign(k == 0 ? 1 : k, 0);
    if (k == 0) {
      ended = true;
      return;
    }
    tree[0] = k == 1 ? 0 : build(1);
    ended = done[tree[0]] != 0;
  }
  // The winner's run moved on: replay its path to the root.
  void replay(std::uint32_t run) {
    const std::size_t k = readers.size();
    std::uint32_t winner = run;
    for (std::size_t node = (k + run) / 2; node > 0; node /= 2) {
      // Selects rather than branches: who wins is a coin toss.
      const std::uint32_t other = tree[node];
      const bool lost = less(other, winner);
      tree[node] = lost ? winner : other;
      winner = lost ? other : winner;
    }
    tree[0] = winner;
    ended = done[winner] != 0;
  }
};

MergedStream::MergedStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
MergedStream::MergedStream(MergedStream&&) noexcept = default;
MergedStream& MergedStream::operator=(MergedStream&&) noexcept = default;
MergedStream::~MergedStream() = default;

std::optional<std::string_view> MergedStream::next() {
  Impl& s = *impl_;
  if (s.ended) {
    if (s.error) throw *s.error;
    return std::nullopt;
  }
  const std::uint32_t top = s.tree[0];
  std::swap(s.current, s.heads[top]);
  try {
    if (s.readers[top].next(s.heads[top])) {
      s.set_prefix(top);
    } else {
      s.done[top] = 1;
      s.prefixes[top] = MergedStream::Impl::FINISHED;
    }
  } catch (const IndexError& e) {
    // The stream ends after this key; the error waits for the next call.
    s.error = e;
    s.ended = true;
    return std::string_view(s.current);
  }
  s.replay(top);
  return std::string_view(s.current);
}

MergedStream merge_runs(const std::string& dir, std::span<const std::uint64_t> runs, bool direct) {
  auto impl = std::make_unique<MergedStream::Impl>();
  impl->readers.reserve(runs.size());
  impl->heads.resize(runs.size());
  impl->prefixes.resize(runs.size());
  impl->done.assign(runs.size(), 0);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    impl->readers.emplace_back(run_path(dir, runs[i]), direct);
    if (impl->readers.back().next(impl->heads[i])) {
      impl->set_prefix(static_cast<std::uint32_t>(i));
    } else {
      impl->done[i] = 1;  // an empty run adds nothing
      impl->prefixes[i] = MergedStream::Impl::FINISHED;
    }
  }
  impl->init();
  return MergedStream(std::move(impl));
}

// ---- Runs --------------------------------------------------------------------

template <class Keys>
void Runs::spill_keys(const Keys& keys, bool checked) {
  const std::string& d = dir();
  RunWriter writer(run_path(d, next_), direct_);
  // Sorted keys lie scattered over the run's bytes: fetch ahead.
  constexpr std::size_t AHEAD = 64;
  const std::size_t n = keys.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + AHEAD < n) __builtin_prefetch(keys[i + AHEAD].data());
    std::string_view key = keys[i];
    if (!checked && !utf8::valid(key)) panic("appended from a str");
    writer.key(key);
  }
  writer.finish();
  runs_.push_back(next_);
  ++next_;
}

void Runs::spill(const KeyView& keys) { spill_keys(keys, keys.utf8_checked()); }

void Runs::spill_sorted(Run& run) {
  RunWriter writer(run_path(dir(), next_), direct_);
  run.each_sorted([&](std::string_view key) { writer.key(key); });
  writer.finish();
  runs_.push_back(next_);
  ++next_;
}
void Runs::spill(std::span<const std::string_view> keys) { spill_keys(keys, false); }

MergedStream Runs::merge() {
  if (runs_.empty()) panic("a run was spilled");
  const std::string& d = dir();
  while (runs_.size() > MERGE_FAN_IN) {
    std::vector<std::uint64_t> all;
    all.swap(runs_);
    std::vector<std::uint64_t> merged;
    std::size_t at = 0;
    // On a failure the list names every run file still in place, so that the
    // sort is never left claiming runs it lost.
    auto restore = [&] {
      runs_ = merged;
      runs_.insert(runs_.end(), all.begin() + static_cast<std::ptrdiff_t>(at), all.end());
    };
    for (; at < all.size(); at += MERGE_FAN_IN) {
      std::size_t len = std::min(MERGE_FAN_IN, all.size() - at);
      std::span<const std::uint64_t> chunk(all.data() + at, len);
      if (len == 1) {
        merged.push_back(chunk[0]);
        continue;
      }
      std::uint64_t number = next_;
      try {
        MergedStream stream = merge_runs(d, chunk, direct_);
        RunWriter writer(run_path(d, number), direct_);
        try {
          while (auto key = stream.next()) writer.key(*key);
        } catch (...) {
          ++next_;  // the partial file keeps its number
          throw;
        }
        writer.finish();
        ++next_;
        for (std::size_t k = 0; k < chunk.size(); ++k) {
          if (::unlink(run_path(d, chunk[k]).c_str()) != 0) {
            int code = errno;
            merged.push_back(number);
            // The inputs already removed are part of the merged file now.
            runs_ = merged;
            runs_.insert(runs_.end(), chunk.begin() + static_cast<std::ptrdiff_t>(k), chunk.end());
            runs_.insert(runs_.end(), all.begin() + static_cast<std::ptrdiff_t>(at + len), all.end());
            throw IndexError::os(code);
          }
        }
      } catch (const IndexError& e) {
        if (runs_.empty()) restore();
        throw;
      }
      merged.push_back(number);
    }
    runs_ = std::move(merged);
  }
  return merge_runs(d, runs_, direct_);
}

void Runs::each(const Callback& callback) {
  MergedStream stream = merge();
  std::string last;
  bool first = true;
  while (auto key = stream.next()) {
    if (!first && *key == last) continue;
    callback(*key);
    last.assign(key->data(), key->size());
    first = false;
  }
}

}  // namespace quorvale::extsort
