// Queries made of searches and decodes: the prefixes of a query that are
// keys, and the keys of many ids with one decode cursor.
#include <algorithm>
#include <cstring>

#include "dict_index/internal.hpp"
#include "dict_index/layout.hpp"

namespace quorvale::dict_index {

namespace {

// The searches of a query's prefixes, shortest first, as one descent: each
// prefix extends the one before, so its rank is not below the one before
// and its block is the same one unless the next block's head is not above
// it. Inside a block the restart run and the microblock run are walked on
// from where the shorter prefix stopped, so a block is routed to once and
// each of its runs read once for all the prefixes that land in it. Each
// step also says when no key starts with its prefix: no longer prefix can
// then be a key.
class PrefixWalk {
 public:
  struct Step {
    Search search;
    bool stop = false;  // no key extends the prefix
  };

  explicit PrefixWalk(const Layout& d) : d_(d), y_(d.block_count()) {}

  Step step(ByteSpan q) {
    if (d_.n == 0) return {{0, false}, true};
    // The empty prefix is the first key, when that is empty; every key
    // extends it.
    if (q.empty()) return {{0, d_.head(0).empty()}, false};
    if (inside_ && has_next_ && compare_bytes(next_head_, q) <= 0) inside_ = false;
    if (inside_) return in_block(q);
    // A prefix of one to three bytes has the same answer for every query:
    // found once and kept. The next prefix then routes afresh: its block is
    // seldom the one these few keys lie in.
    if (q.size() <= 3) {
      if (const auto kept = d_.short_steps->get(q.data(), q.size())) return {{kept->rank, kept->found}, kept->stop};
      const Step s = enter_routed(q);
      d_.short_steps->keep(q.data(), q.size(), {s.search.rank, s.search.found, s.stop});
      return s;
    }
    return enter_routed(q);
  }

 private:
  static bool extends(ByteSpan key, ByteSpan q) noexcept {
    return key.size() > q.size() && std::memcmp(key.data(), q.data(), q.size()) == 0;
  }

  Step enter_routed(ByteSpan q) {
    const std::uint64_t a = d_.route(q).boundary;
    if (a == 0) return {{0, false}, !extends(d_.head(0), q)};
    enter(a - 1);
    return in_block(q);
  }

  void enter(std::uint64_t e) {
    inside_ = true;
    e_ = e;
    m_ = d_.microblocks(e);
    keys_ = d_.block_keys(e);
    head_ = d_.head(e);
    has_next_ = e + 1 < y_;
    if (has_next_) next_head_ = d_.head(e + 1);
    above_head_ = false;
    t_ = UINT64_MAX;
  }

  Step in_block(ByteSpan q) {
    const std::size_t s = d_.shard_of(e_);
    std::uint64_t t = 0, depth = 0;
    if (!above_head_) {
      depth = common_prefix(q, head_);
      if (depth == q.size() && depth == head_.size()) return {{e_ * d_.block, true}, false};
      // The queries of this block are above its head from now on.
      above_head_ = true;
      if (m_ >= 2) {
        restarts_ = RunCursor::open(d_.restart_bytes(e_), d_.codes[s].restart, m_, d_.codecs[s]);
        restart_place_ = d_.start_walk(restarts_, depth);
      }
    }
    if (m_ >= 2) {
      const Scan r = d_.walk_run(restarts_, m_, q, restart_place_);
      if (r.found) return {{e_ * d_.block + r.position * d_.micro, true}, false};
      t = r.position;
      depth = r.depth;
    }
    if (t != t_) {
      t_ = t;
      kt_ = std::min(d_.micro, keys_ - t * d_.micro);
      micro_ = RunCursor::open(d_.micro_bytes(e_, t), d_.codes[s].entry, kt_, d_.codecs[s]);
      micro_place_ = d_.start_walk(micro_, depth);
    }
    const Scan r = d_.walk_run(micro_, kt_, q, micro_place_);
    const std::uint64_t base = e_ * d_.block + t * d_.micro;
    if (r.found) return {{base + r.position, true}, false};
    // The key after the query: where the microblock's walk stopped, else the
    // next microblock's first key (where the restart walk stopped), else the
    // next block's head.
    Next next = micro_place_.next;
    if (next == Next::End) {
      if (t + 1 < m_) {
        next = restart_place_.next;
      } else {
        next = has_next_ && extends(next_head_, q) ? Next::Extends : Next::Other;
      }
    }
    return {{base + r.position + 1, false}, next == Next::Other || next == Next::End};
  }

  const Layout& d_;
  const std::uint64_t y_;
  bool inside_ = false;  // a block is entered
  std::uint64_t e_ = 0, m_ = 0, keys_ = 0;
  ByteSpan head_;
  bool has_next_ = false;  // a block follows, with this head
  ByteSpan next_head_;
  bool above_head_ = false;  // the restart walk has started
  RunCursor restarts_;
  RunPlace restart_place_;
  std::uint64_t t_ = UINT64_MAX, kt_ = 0;  // the microblock walked
  RunCursor micro_;
  RunPlace micro_place_;
};

}  // namespace

std::vector<PrefixMatch> Layout::prefixes(std::string_view query, bool longest) const {
  std::vector<PrefixMatch> out;
  out.reserve(4);
  PrefixWalk walk(*this);
  // Each candidate's answer; false once no longer one can be a key.
  const auto take = [&](std::size_t bytes, ByteSpan searched) {
    const PrefixWalk::Step s = walk.step(searched);
    if (s.search.found) {
      if (longest) out.clear();
      out.push_back(PrefixMatch{bytes, s.search.rank});
    }
    return !s.stop;
  };
  if (chars) {
    // Candidates as (bytes of the query, bytes of the code), in buffers
    // each thread keeps for its calls.
    thread_local std::vector<std::pair<std::size_t, std::size_t>> candidates;
    thread_local std::vector<unsigned char> code;
    chars->prefixes(query, code, candidates);
    for (const auto& [bytes, searched] : candidates)
      if (!take(bytes, ByteSpan(code.data(), searched))) break;
    return out;
  }
  const ByteSpan q = bytes_of(query);
  for (std::size_t len = 0; len <= q.size(); ++len)
    if (len == 0 || len == q.size() || (q[len] & 0xC0) != 0x80)
      if (!take(len, q.first(len))) break;
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
