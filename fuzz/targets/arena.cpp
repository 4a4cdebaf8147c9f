// The key arena (StringArena::from_shared) and the prefix reader span_at.
//
// What loads must hand out entries only inside its key bytes, agree with the
// prefix reader on every entry it reads, and, when every entry reads, be
// assembled again from its own entries (and tag bytes) into an arena that
// loads and answers alike, byte for byte the one prefix_for_lengths lays out.
#include <cstdio>

#include "arena.hpp"
#include "arena_fixtures.hpp"
#include "fuzz.hpp"

using namespace quorvale;
using namespace qfuzz;

namespace {

constexpr std::uint64_t kAllEntries = 20000;  // beyond this, a spread of ids

std::vector<std::uint64_t> ids_to_read(std::uint64_t n) {
  std::vector<std::uint64_t> ids;
  if (n <= kAllEntries) {
    for (std::uint64_t i = 0; i < n + 2; ++i) ids.push_back(i);
    return ids;
  }
  for (std::uint64_t i = 0; i < 64; ++i) ids.push_back(i * (n / 64));
  for (std::uint64_t i : {n - 2, n - 1, n, n + 1, ~std::uint64_t{0}}) ids.push_back(i);
  return ids;
}

void exercise(const StringArena& a, std::span<const unsigned char> all) {
  const std::uint64_t n = a.len();
  QFUZZ_CHECK(a.data_start() <= a.data_end() && a.data_end() <= a.overflow_end() && a.overflow_end() <= all.size());
  const auto prefix = all.first(static_cast<std::size_t>(a.data_start()));
  const auto overflow = all.subspan(static_cast<std::size_t>(a.data_end()));
  bool whole = n <= kAllEntries;
  for (std::uint64_t i : ids_to_read(n)) {
    const auto s = a.entry_span(i);
    const auto t = a.tag_byte(i);
    const arena::Span rel = StringArena::span_at(prefix, overflow, a.tag(), i);
    if (i >= n) {
      QFUZZ_CHECK(!s && !t);
      continue;
    }
    if (!a.has_tag_bytes()) QFUZZ_CHECK(!t);
    if (a.has_tag_bytes() && !t) whole = false;
    if (!s) {
      whole = false;
      continue;
    }
    QFUZZ_CHECK(a.data_start() <= s->start && s->start <= s->end && s->end <= a.data_end());
    QFUZZ_CHECK(a.entry(i)->size() == s->end - s->start);
    QFUZZ_CHECK(rel.start == s->start - a.data_start() && rel.end == s->end - a.data_start());
  }
  if (!whole) {
    note("loaded, some entries unreadable");
    return;
  }
  note(a.has_tag_bytes() ? "loaded whole, tag bytes" : "loaded whole");

  // Assembled again from what it answers.
  std::vector<std::string_view> keys;
  std::vector<std::uint8_t> tags;
  std::vector<std::uint32_t> lengths;
  std::uint64_t total = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    keys.push_back(*a.entry(i));
    if (a.has_tag_bytes()) tags.push_back(*a.tag_byte(i));
    QFUZZ_CHECK(keys.back().size() < (std::uint64_t{1} << 32));
    lengths.push_back(static_cast<std::uint32_t>(keys.back().size()));
    total += keys.back().size();
  }
  const std::vector<std::uint8_t>* tag_list = a.has_tag_bytes() ? &tags : nullptr;
  auto again = StringArena::assemble(keys, n, total, tag_list);
  QFUZZ_CHECK(again.has_value());
  QFUZZ_CHECK(again->len() == n && again->has_tag_bytes() == a.has_tag_bytes());
  for (std::uint64_t i = 0; i < n; ++i) {
    QFUZZ_CHECK(again->entry(i) == keys[i]);
    QFUZZ_CHECK(again->tag_byte(i) == a.tag_byte(i));
  }
  const StringArena::Prefix p = StringArena::prefix_for_lengths(lengths, tag_list);
  QFUZZ_CHECK(p.total == total && p.tag == again->tag());
  Bytes laid = p.prefix;
  for (std::string_view k : keys) laid.insert(laid.end(), k.begin(), k.end());
  laid.insert(laid.end(), p.overflow.begin(), p.overflow.end());
  const auto built = again->bytes().bytes();
  QFUZZ_CHECK(std::equal(laid.begin(), laid.end(), built.begin(), built.end()));
  // A reload of those bytes answers alike.
  const StringArena reloaded = StringArena::from_shared(blob::SharedBytes::from_owned(built));
  for (std::uint64_t i = 0; i < n; ++i) QFUZZ_CHECK(reloaded.entry(i) == keys[i]);
}

}  // namespace

void qfuzz::run(Input& in) {
  std::optional<StringArena> a;
  try {
    a.emplace(StringArena::from_shared(blob::SharedBytes::from_owned(in.view())));
  } catch (const IndexError& e) {
    QFUZZ_CHECK(e.kind() == IndexError::Kind::Format);
    refused("arena", e.message());
    // The prefix reader takes any bytes at all.
    const auto all = in.view();
    for (std::uint64_t i = 0; i < 40; ++i)
      (void)StringArena::span_at(all, all.subspan(all.size() / 2), all.size() > 8 ? all[8] : 0, i * 7);
    return;
  }
  exercise(*a, in.view());
}

void qfuzz::seeds(Seeds& out) {
  auto add = [&](const std::string& name, const std::vector<std::string>& keys, bool tags) {
    std::vector<std::uint8_t> tag_list;
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      tag_list.push_back(static_cast<std::uint8_t>(i * 37 + 11));
      total += keys[i].size();
    }
    auto a = StringArena::assemble(keys, keys.size(), total, tags ? &tag_list : nullptr);
    out.add(name + (tags ? "-tags" : ""), a->bytes().bytes(), 0);
  };
  auto keys_of = [](std::size_t n, auto len) {
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < n; ++i) keys.push_back(std::string(len(i), static_cast<char>('a' + i % 26)));
    return keys;
  };
  // Every layout the builder picks.
  for (bool tags : {false, true}) {
    add("empty", {}, tags);
    add("one", {"key"}, tags);
    add("groups16", {"a", "bc", "", "déf"}, tags);
    add("plain", keys_of(16, [](std::size_t) { return 16; }), tags);
    add("groups256", keys_of(300, [](std::size_t) { return 3; }), tags);
    add("groups16-overflow", keys_of(40, [](std::size_t i) { return i == 37 ? 300 : 1; }), tags);
  }
  // A group of 256 overflows past 64 KiB of keys: one seed of that size.
  add("groups256-overflow", keys_of(520, [](std::size_t i) { return i == 255 ? 65536 - 255 * 3 : 3; }), false);
  // Wide layouts, laid out with an explicit tag.
  for (std::uint8_t tag : arena_fixtures::kWideTags) {
    char name[32];
    std::snprintf(name, sizeof name, "wide-%02x", tag);
    out.add(name, arena_fixtures::laid_out(tag), 0);
  }
}
