// The in-memory run of the external sort: keys pushed under a byte budget,
// sorted and stripped of repeats by the shared string sort.
#include <algorithm>
#include <cstring>

#include "extsort/extsort.hpp"
#include "threads.hpp"
#include "utf8.hpp"

namespace quorvale::extsort {

// A key's start must stay below the sort's repeat mark.
Run::Run(std::size_t budget, std::size_t threads)
    : budget_(std::min<std::size_t>(budget, UINT32_MAX - 1)), threads_(threads != 0 ? threads : online_processors()) {}

namespace {

// The least storage a run starts with.
constexpr std::size_t FIRST_BYTES = std::size_t{1} << 16;

// Grows a run's table to hold `need` elements, at least doubling it and
// never past `limit`.
template <class T>
void grow(GrowingPages<T>& table, std::size_t need, std::size_t limit) {
  table.grow(std::min(limit, std::max({need, 2 * table.size(), FIRST_BYTES / sizeof(T)})));
}

}  // namespace

void Run::push(std::string_view key) {
  // Beyond the room test nothing fits: refuse rather than write past the end.
  if (!has_room(key.size())) panic("a run has room for its key");
  if (key.size() > bytes_.size() - used_) grow(bytes_, used_ + key.size(), budget_);
  if (count_ == spans_.size()) grow(spans_, count_ + 1, budget_ / 8);
  if (!key.empty()) std::memcpy(bytes_.data() + used_, key.data(), key.size());
  spans_[count_++] = KeySpan{static_cast<std::uint32_t>(used_), static_cast<std::uint32_t>(key.size())};
  used_ += key.size();
  sorted_ = false;
  unchecked_ = true;
}

void Run::clear() noexcept {
  used_ = 0;
  count_ = 0;
  sorted_ = false;
  unchecked_ = false;
}

void Run::check_utf8() const {
  if (!unchecked_) return;
  // Keys were pushed back to back: the run's bytes are valid UTF-8 and
  // every key starts on a character boundary exactly when every key is
  // valid UTF-8 on its own. One pass over the buffer instead of one per key.
  bool valid = utf8::valid(std::string_view(bytes_.data(), used_));
  for (std::size_t i = 0; valid && i < count_; ++i) {
    const KeySpan& sp = spans_[i];
    valid = sp.start == used_ || (static_cast<unsigned char>(bytes_[sp.start]) & 0xC0) != 0x80;
  }
  if (!valid) panic("appended from a str");
}

KeyView Run::sorted() {
  if (!sorted_) {
    check_utf8();
    count_ = sort_distinct(bytes_.data(), used_, {spans_.data(), count_}, scratch_, threads_);
    sorted_ = true;
  }
  return KeyView(bytes_.data(), spans_.data(), count_, true);
}

std::size_t Run::each_sorted(const std::function<void(std::string_view)>& visit) {
  // The sort uses the spans as working memory: the run is emptied however
  // this ends.
  struct Emptied {
    Run& run;
    ~Emptied() { run.clear(); }
  } emptied{*this};
  if (sorted_) {
    for (const std::string_view key : KeyView(bytes_.data(), spans_.data(), count_, true)) visit(key);
    return count_;
  }
  check_utf8();
  return sort_distinct_each(bytes_.data(), used_, {spans_.data(), count_}, scratch_, visit, threads_);
}

void Run::each(const Callback& callback) {
  // Sorted keys lie scattered over the run's bytes.
  visit_fetching_ahead(sorted(), callback);
}

}  // namespace quorvale::extsort
