// The body every damaged-input check of the dictionary runs on one input:
// each load is refused with one of the loader's messages or succeeds, and
// then every operation on what loaded stays inside the blob and ends, and
// every search gives a rank in 0..=n.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "dict_index/layout.hpp"
#include "dict_search_util.hpp"

namespace dictfix {

inline bool known_refusal(const std::string& what) {
  using namespace quorvale::dict_index;
  for (const char* m : {MSG_BAD_MAGIC, MSG_HEADER_CHECKSUM, MSG_PAYLOAD_CHECKSUM, MSG_BDX1, MSG_BDX2, MSG_BLOCK,
                        MSG_WIDTHS, MSG_MICRO, MSG_SHARD, MSG_BLOCK_COUNT, MSG_LENGTHS, MSG_TABLES, MSG_CODES,
                        MSG_PHRASES, MSG_CHARS, MSG_EMPTY_WITH_KEYS, MSG_HEAD_ORDER, MSG_HEAD_COVER, MSG_BLOCK_ORDER,
                        MSG_HEAD_PREFIX, MSG_KEY_ORDER, MSG_ROUTE_WORDS})
    if (what == std::string("format error: ") + m) return true;
  return false;
}

// Searches over queries near keys that decode and fixed ones, each in a heap
// block of exactly its length; before and after the route words.
inline void exercise_searches(const quorvale::dict_index::Layout& d, std::uint64_t seed) {
  const std::uint64_t n = d.n;
  std::vector<std::string> queries{"", std::string(1, '\0'), "a", "m", "\x7f", "\xc3\xa9", "\xd0", "\xff\xff"};
  for (int i = 0; i < 6; ++i) {
    const std::uint64_t id = n == 0 ? 0 : (seed = seed * 6364136223846793005ULL + 1442695040888963407ULL) % n;
    std::vector<unsigned char> bytes;
    if (!d.key_bytes_into(id, bytes)) continue;
    std::string k(bytes.begin(), bytes.end());
    if (const auto text = d.key(id)) k = *text;
    queries.push_back(k);
    queries.push_back(k.substr(0, k.size() / 2));
    queries.push_back(k + "z");
    if (!k.empty()) queries.push_back(k.substr(0, k.size() - 1) + static_cast<char>(k.back() + 1));
  }
  std::vector<std::string_view> views(queries.begin(), queries.end());
  for (int round = 0; round < 2; ++round) {
    for (const std::string& q : queries) {
      const dictsearch::Exact e(q);
      const auto r = d.locate_query(e.span());
      if (r.rank > n || (r.found && r.rank >= n)) throw std::logic_error("a search left 0..=n");
      const auto [lo, hi] = d.prefix_id_range(e.span());
      if (lo > hi || hi > n) throw std::logic_error("a prefix range left 0..=n");
      const std::string_view text(reinterpret_cast<const char*>(e.span().data()), q.size());
      for (const bool longest : {false, true})
        for (const auto& m : d.prefixes(text, longest))
          if (m.id >= n || m.bytes > q.size()) throw std::logic_error("a prefix match left the keys or the query");
    }
    for (const auto& id : d.ids_of(views))
      if (id && *id >= n) throw std::logic_error("a batched id past n");
    const auto words = d.route_microblocks();
    if (words.size() != (d.J == 1 ? 0 : d.block_count() * d.J)) throw std::logic_error("route words miscounted");
    if (words.size() > quorvale::dict_index::route_word_bound(d))
      throw std::logic_error("more route words than the block data stands behind");
  }
}

inline void exercise_index(const quorvale::dict_index::Layout& d, std::uint64_t seed) {
  const std::uint64_t n = d.n;
  std::vector<std::uint64_t> ids{0, 1, n / 2, n > 0 ? n - 1 : 0, n, n + 1, UINT64_MAX};
  for (int i = 0; i < 8; ++i) ids.push_back(n == 0 ? 0 : (seed = seed * 6364136223846793005ULL + 1) % n);
  std::vector<unsigned char> bytes;
  for (std::uint64_t id : ids) {
    (void)d.key(id);
    (void)d.key_bytes_into(id, bytes);
  }
  std::string text;
  std::uint64_t id;
  for (std::uint64_t start : {std::uint64_t{0}, n / 3, n > 0 ? n - 1 : 0}) {
    auto it = d.iter_from(start);
    for (int i = 0; i < 300 && it.next(text, id); ++i)
      if (id < start || id >= n) throw std::logic_error("iteration left its range");
  }
  exercise_searches(d, seed);
  (void)d.sections();
  std::vector<unsigned char> out;
  d.write_to([&](std::span<const unsigned char> s) { out.insert(out.end(), s.begin(), s.end()); });
  if (out.size() != d.serialized_len()) throw std::logic_error("serialized_len disagrees with write_to");
  // What was written loads again and writes itself back unchanged.
  const auto again = quorvale::dict_index::Layout::from_shared(quorvale::blob::SharedBytes::from_owned(std::span<const unsigned char>(out)), false);
  std::vector<unsigned char> twice;
  again.write_to([&](std::span<const unsigned char> s) { twice.insert(twice.end(), s.begin(), s.end()); });
  if (twice != out) throw std::logic_error("a rewritten blob changed");
}

// Loads the bytes at both levels and exercises what loads; each refusal
// (verify, message) is handed to on_refusal. Anything wrong is thrown as a
// std::logic_error.
template <class OnRefusal>
void exercise(std::span<const unsigned char> input, OnRefusal&& on_refusal) {
  for (bool verify : {false, true}) {
    // An exact-size copy, so that a read past the end is caught.
    auto bytes = quorvale::blob::SharedBytes::from_owned(input);
    try {
      const auto d = quorvale::dict_index::Layout::from_shared(std::move(bytes), verify);
      exercise_index(d, input.size());
    } catch (const quorvale::IndexError& e) {
      if (!known_refusal(e.what())) throw std::logic_error(std::string("unexpected refusal: ") + e.what());
      on_refusal(verify, e.message());
    }
  }
}
inline void exercise(std::span<const unsigned char> input) {
  exercise(input, [](bool, const std::string&) {});
}

}  // namespace dictfix
