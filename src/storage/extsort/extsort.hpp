// External sort: keys that may not fit in memory become their distinct
// values in ascending byte order, replayable as often as a build needs.
//
// Keys fill a `Run` under a byte budget; a full run is sorted, stripped of
// repeats and spilled by `Runs` to a numbered run file in a spill directory
// beside the build's output; at the end the run files are merged (at most
// MERGE_FAN_IN at a time). `Runs` removes its directory when it goes away.
//
// Caller's protocol: for each key of L bytes, push it while `has_room(L)`;
// when the run is full and empty the key alone exceeds the budget (the
// caller's own error); otherwise `spill(run.sorted())`, `run.clear()`, push.
// At the end replay the run when nothing was spilled, else spill the run if
// it holds keys and replay the runs.
//
// The unit's files: run.cpp (the in-memory run, sorted by the shared string
// sort), run_file.cpp (writing and reading run files), merge.cpp (the merge
// and the spill directory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "huge_pages.hpp"
#include "scratch_files.hpp"
#include "string_sort.hpp"

namespace quorvale::extsort {

// Run files merged at once; more runs cost extra passes.
inline constexpr std::size_t MERGE_FAN_IN = 128;
// The buffer of every run-file reader and writer.
inline constexpr std::size_t IO_BUFFER = std::size_t{1} << 20;

// Every distinct key once, in ascending byte order, as often as asked. The
// callback fails by throwing; the replay stops there and rethrows.
class Replay {
 public:
  using Callback = std::function<void(std::string_view)>;
  virtual void each(const Callback& callback) = 0;

 protected:
  ~Replay() = default;
};

// A read-only list of keys laid in one byte buffer.
class KeyView {
 public:
  class iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;
    iterator() = default;
    iterator(const char* bytes, const KeySpan* span) : bytes_(bytes), span_(span) {}
    std::string_view operator*() const { return {bytes_ + span_->start, span_->length}; }
    iterator& operator++() {
      ++span_;
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++span_;
      return old;
    }
    bool operator==(const iterator& o) const { return span_ == o.span_; }

   private:
    const char* bytes_ = nullptr;
    const KeySpan* span_ = nullptr;
  };

  // `utf8_checked`: every key is known to be valid UTF-8 already.
  KeyView(const char* bytes, const KeySpan* spans, std::size_t n, bool utf8_checked = false)
      : bytes_(bytes), spans_(spans), n_(n), checked_(utf8_checked) {}
  bool utf8_checked() const noexcept { return checked_; }
  std::size_t size() const noexcept { return n_; }
  bool empty() const noexcept { return n_ == 0; }
  std::string_view operator[](std::size_t i) const { return {bytes_ + spans_[i].start, spans_[i].length}; }
  iterator begin() const { return {bytes_, spans_}; }
  iterator end() const { return {bytes_, spans_ + n_}; }

 private:
  const char* bytes_;
  const KeySpan* spans_;
  std::size_t n_;
  bool checked_;
};

// Calls visit(key) for keys[0], keys[1], ... in order, fetching both ends of
// the key a little ahead into the cache: for keys scattered over memory (a
// sorted run, strings held by a caller) the fetch hides most of each miss.
template <class Keys, class Visit>
void visit_fetching_ahead(const Keys& keys, Visit&& visit) {
  constexpr std::size_t AHEAD = 16;
  const std::size_t n = keys.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i + AHEAD < n) {
      const std::string_view next = keys[i + AHEAD];
      __builtin_prefetch(next.data());
      if (!next.empty()) __builtin_prefetch(next.data() + next.size() - 1);
    }
    visit(std::string_view(keys[i]));
  }
}

// Keys collected in memory under a byte budget. Keys are UTF-8 text.
class Run final : public Replay {
 public:
  // Budgets beyond what a 32-bit span can address are clamped to it.
  // `threads`: how many threads a big run is sorted on; 0 for one per
  // online processor. Any number gives the same keys in the same order.
  explicit Run(std::size_t budget, std::size_t threads = 0);
  Run(Run&&) = default;
  Run& operator=(Run&&) = default;

  std::size_t budget() const noexcept { return budget_; }
  // Room for one more key of `length` bytes: bytes + length <= budget and
  // fewer than budget / 8 keys.
  bool has_room(std::size_t length) const noexcept {
    return used_ <= budget_ && length <= budget_ - used_ && count_ < budget_ / 8;
  }
  // Appends a key (the caller asked `has_room`). The run's storage doubles
  // as it fills, up to the budget, by remapping its pages: a small sort
  // holds little memory, and a big one copies nothing to grow.
  void push(std::string_view key);
  // The same for a key known to be valid UTF-8: the sort does not check it again.
  void push_valid(std::string_view key) {
    const bool unchecked = unchecked_;
    push(key);
    unchecked_ = unchecked;
  }
  std::size_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }
  std::size_t byte_size() const noexcept { return used_; }
  // Empties the run for reuse; its storage is kept.
  void clear() noexcept;
  // Sorts the keys bytewise, drops repeats (the run keeps only the distinct
  // keys) and returns them; valid until the run changes.
  KeyView sorted();
  // The same keys handed to visit(key) in ascending order as soon as they are
  // in place, while the sort goes on with the keys after them on other
  // threads; returns how many. The run is empty afterwards. A visitor's
  // exception stops the sort and passes through.
  std::size_t each_sorted(const std::function<void(std::string_view)>& visit);

  void each(const Callback& callback) override;

 private:
  void check_utf8() const;

  std::size_t budget_;
  // Grown as the run fills and kept for the next run.
  GrowingPages<char> bytes_;
  GrowingPages<KeySpan> spans_;
  std::size_t used_ = 0;   // bytes in use
  std::size_t count_ = 0;  // spans in use
  // The sort's working memory, kept for the next run.
  SortScratch scratch_;
  std::size_t threads_;
  bool sorted_ = false;
  bool unchecked_ = false;  // a key came by `push`: the sort checks the run's text
};

// The run files of a merge, read in ascending key order; a key present in
// several runs comes out once per run, from the earliest run first.
class MergedStream {
 public:
  MergedStream(MergedStream&&) noexcept;
  MergedStream& operator=(MergedStream&&) noexcept;
  ~MergedStream();

  // The next key (valid until the next call), or nothing at the end. A read
  // error ends the stream early: the keys before it are yielded, then this
  // call throws it (and so does every later call), so a truncated stream can
  // never pass for a complete one.
  std::optional<std::string_view> next();

 private:
  struct Impl;
  explicit MergedStream(std::unique_ptr<Impl> impl);
  friend MergedStream merge_runs(const std::string& dir, std::span<const std::uint64_t> runs, bool direct);
  std::unique_ptr<Impl> impl_;
};

// Opens the run files of the given numbers in the directory, in that order;
// `direct`: read around the page cache.
MergedStream merge_runs(const std::string& dir, std::span<const std::uint64_t> runs, bool direct = true);

// The spill directory and the run files of one sort.
class Runs final : public Replay {
 public:
  // `out`: the path the spill directory is named after ("<out>.<pid>.<n>.runs").
  // Its destruction removes the spill directory, if this sort made one,
  // with its files. `direct`: run files go around the page cache; a sort
  // whose runs are read back at once and removed (the planner's) keeps
  // them in it, where they may never reach the disk at all.
  explicit Runs(std::string out, bool direct = true) : dir_(std::move(out)), direct_(direct) {}

  // Writes sorted keys as run file `next_number()`; records it on success.
  void spill(const KeyView& keys);
  void spill(std::span<const std::string_view> keys);
  // Sorts the run and writes its distinct keys the same way, each as soon
  // as the sort has put it in place; the run is empty afterwards.
  void spill_sorted(Run& run);
  // The spill directory, created on first use.
  const std::string& dir() { return dir_.path(); }
  // Merges down to at most MERGE_FAN_IN runs and opens the final merge.
  // At least one run must have been spilled.
  MergedStream merge();

  void each(const Callback& callback) override;

  const std::vector<std::uint64_t>& runs() const noexcept { return runs_; }
  std::uint64_t next_number() const noexcept { return next_; }
  // The spill directory, absent until the first spill.
  const std::optional<std::string>& directory() const noexcept { return dir_.made(); }

 private:
  template <class Keys>
  void spill_keys(const Keys& keys, bool checked);

  scratch::Dir dir_;
  std::vector<std::uint64_t> runs_;
  std::uint64_t next_ = 0;
  bool direct_;
};

}  // namespace quorvale::extsort
