// Queries made of searches and decodes: the prefixes of a query that are
// keys, and the keys of many ids with one decode cursor.
#include "dict_index/internal.hpp"
#include "dict_index/layout.hpp"

namespace quorvale::dict_index {

std::vector<PrefixMatch> Layout::prefixes(std::string_view query, bool longest) const {
  std::vector<PrefixMatch> out;
  // Candidates as (bytes of the query, bytes of the searched form).
  std::vector<std::pair<std::size_t, std::size_t>> candidates;
  std::vector<unsigned char> code;
  if (chars) {
    chars->prefixes(query, code, candidates);
  } else {
    for (std::size_t len = 0; len <= query.size(); ++len)
      if (len == 0 || len == query.size() || (static_cast<unsigned char>(query[len]) & 0xC0) != 0x80)
        candidates.emplace_back(len, len);
  }
  const auto search = [&](std::size_t searched) {
    return chars ? locate(ByteSpan(code.data(), searched)) : locate_query(query.substr(0, searched));
  };
  if (longest) {
    for (auto c = candidates.rbegin(); c != candidates.rend(); ++c) {
      const Search s = search(c->second);
      if (s.found) return {PrefixMatch{c->first, s.rank}};
    }
    return out;
  }
  for (const auto& [bytes, searched] : candidates) {
    const Search s = search(searched);
    if (s.found) out.push_back(PrefixMatch{bytes, s.rank});
  }
  return out;
}

std::vector<std::optional<std::string>> Layout::keys_of(std::span<const std::uint64_t> ids) const {
  std::vector<std::optional<std::string>> out(ids.size());
  // The microblock open for stepping (none: u64::MAX), the position of the
  // key in `bytes` inside it, and its run.
  struct Open {
    std::uint64_t micro = UINT64_MAX;
    std::uint64_t position = 0;
    std::vector<unsigned char> bytes;
    RunCursor run;
  } c;
  const auto microblock = [&](std::uint64_t id) { return (id % block) / micro + (id / block) * J; };
  for (std::size_t k = 0; k < ids.size(); ++k) {
    const std::uint64_t id = ids[k];
    if (id >= n) continue;
    const std::uint64_t m = microblock(id), p = (id % block) % micro;
    bool open = c.micro == m && c.position <= p;
    // A cursor pays only when the next id steps on inside the same microblock.
    if (!open && k + 1 < ids.size() && ids[k + 1] > id && ids[k + 1] < n && microblock(ids[k + 1]) == m &&
        key_bytes_into(id - p, c.bytes)) {
      c.micro = m;
      c.position = 0;
      c.run = open_micro(id / block, (id % block) / micro);
      open = true;
    }
    if (!open) {
      c.micro = UINT64_MAX;
      out[k] = key(id);
      continue;
    }
    const Codec& codec = codecs[shard_of(id / block)];
    while (c.position < p) {
      if (!advance(codec, c.run, c.bytes)) break;
      ++c.position;
    }
    if (c.position < p) {
      c.micro = UINT64_MAX;
      continue;
    }
    out[k] = spelled(ByteSpan(c.bytes.data(), c.bytes.size()));
  }
  return out;
}

}  // namespace quorvale::dict_index
