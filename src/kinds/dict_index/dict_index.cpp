// DictIndex over its layout: every call handed to the layout it holds.
#include "dict_index/dict_index.hpp"

#include "dict_index/layout.hpp"

namespace quorvale {

namespace dict_index {
const Layout& layout_of(const DictIndex& index) noexcept { return *index.layout_; }
}  // namespace dict_index

using dict_index::Layout;

DictIndex::DictIndex(Layout&& layout) : layout_(std::make_unique<Layout>(std::move(layout))) {}
DictIndex::DictIndex(DictIndex&&) noexcept = default;
DictIndex& DictIndex::operator=(DictIndex&&) noexcept = default;
DictIndex::~DictIndex() = default;

DictIndex DictIndex::build_with_block(std::vector<dict_index::Key> keys, std::uint64_t block) {
  return DictIndex(Layout::build_with_block(std::move(keys), block));
}
DictIndex DictIndex::build_with_block(std::span<const std::string> keys, std::uint64_t block) {
  return DictIndex(Layout::build_with_block(keys, block));
}
std::uint64_t DictIndex::build_to_file_runs(KeySource& keys, const std::string& path,
                                            std::uint64_t block, const Probe& probe, const Offline& offline,
                                            std::size_t budget) {
  return Layout::build_to_file_runs(keys, path, block, probe, offline, budget);
}

DictIndex DictIndex::from_shared(blob::SharedBytes bytes, bool verify) {
  return DictIndex(Layout::from_shared(std::move(bytes), verify));
}
void DictIndex::write_to(const std::function<void(std::span<const unsigned char>)>& write) const {
  layout_->write_to(write);
}
std::uint64_t DictIndex::serialized_len() const noexcept { return layout_->serialized_len(); }
dict_index::Sections DictIndex::sections() const noexcept { return layout_->sections(); }

std::uint64_t DictIndex::len() const noexcept { return layout_->n; }
std::uint64_t DictIndex::block() const noexcept { return layout_->block; }

std::optional<std::string> DictIndex::key(std::uint64_t id) const { return layout_->key(id); }
std::optional<std::uint64_t> DictIndex::id(std::string_view key) const {
  const dict_index::Search s = layout_->locate_query(key);
  if (!s.found) return std::nullopt;
  return s.rank;
}
std::vector<std::optional<std::string>> DictIndex::keys_of(std::span<const std::uint64_t> ids) const {
  return layout_->keys_of(ids);
}
dict_index::Search DictIndex::locate_query(std::string_view query) const { return layout_->locate_query(query); }
std::pair<std::uint64_t, std::uint64_t> DictIndex::prefix_id_range(std::string_view prefix) const {
  return layout_->prefix_id_range(prefix);
}
std::vector<dict_index::PrefixMatch> DictIndex::common_prefix(std::string_view query) const {
  return layout_->prefixes(query, false);
}
std::optional<dict_index::PrefixMatch> DictIndex::longest_prefix(std::string_view query) const {
  const std::vector<dict_index::PrefixMatch> found = layout_->prefixes(query, true);
  if (found.empty()) return std::nullopt;
  return found[0];
}

std::vector<std::optional<std::uint64_t>> DictIndex::ids_of(std::span<const std::string_view> keys) const {
  return layout_->ids_of(keys);
}
void DictIndex::ids_into(std::span<const std::string_view> keys, std::uint64_t* out) const {
  layout_->ids_into(keys, out);
}
std::vector<std::uint64_t> DictIndex::arrow_ids(std::span<const arrow::Utf8Chunk> chunks) const {
  return layout_->arrow_ids(chunks);
}
std::span<const std::uint64_t> DictIndex::route_microblocks() const { return layout_->route_microblocks(); }

DictIndex::Iter::Iter(std::unique_ptr<dict_index::Cursor> cursor) : cursor_(std::move(cursor)) {}
DictIndex::Iter::Iter(Iter&&) noexcept = default;
DictIndex::Iter& DictIndex::Iter::operator=(Iter&&) noexcept = default;
DictIndex::Iter::~Iter() = default;
bool DictIndex::Iter::next(std::string& text, std::uint64_t& id) { return cursor_->it.next(text, id); }
bool DictIndex::Iter::next_bytes(std::string& bytes, std::uint64_t& id) { return cursor_->it.next_bytes(bytes, id); }
DictIndex::Iter DictIndex::iter_from(std::uint64_t start) const {
  return Iter(std::make_unique<dict_index::Cursor>(dict_index::Cursor{layout_->iter_from(start)}));
}

DictIndex::RangeIter::RangeIter(std::unique_ptr<dict_index::RangeCursor> cursor) : cursor_(std::move(cursor)) {}
DictIndex::RangeIter::RangeIter(RangeIter&&) noexcept = default;
DictIndex::RangeIter& DictIndex::RangeIter::operator=(RangeIter&&) noexcept = default;
DictIndex::RangeIter::~RangeIter() = default;
bool DictIndex::RangeIter::next(std::string& text, std::uint64_t& id) { return cursor_->it.next(text, id); }
DictIndex::RangeIter DictIndex::range_iter(std::string_view lo, std::string_view hi) const {
  return RangeIter(std::make_unique<dict_index::RangeCursor>(dict_index::RangeCursor{layout_->range_iter(lo, hi)}));
}

}  // namespace quorvale
