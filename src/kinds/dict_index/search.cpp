// Routing a query to its block and its rank without decoding a key: the head
// prefix, the per-block samples (ties through the tie resolver or whole
// heads), then the block's restart run or route words to the microblock,
// and the run scans. Also the route words themselves, prefix id ranges and
// the key ranges that start from a search.
#include <algorithm>
#include <cstring>

#include "dict_index/layout.hpp"
#include "dict_index/internal.hpp"

namespace quorvale {

using dict_index::Layout;

using namespace dict_index;

namespace {

// Bytes of a query translated into a character code: on the stack up to
// 128 query bytes, else on the heap.
class ProbeBuffer {
 public:
  explicit ProbeBuffer(std::size_t query_len) {
    if (query_len > 128) heap_.resize(2 * query_len);
  }
  unsigned char* data() noexcept { return heap_.empty() ? stack_ : heap_.data(); }

 private:
  unsigned char stack_[256];
  std::vector<unsigned char> heap_;
};

}  // namespace

namespace dict_index {

// The head prefix's verdict on a query, when it settles the block boundary:
// 0 below it (a proper prefix of it included), Y above it.
std::optional<std::uint64_t> prefix_boundary(const Layout& d, ByteSpan head_prefix, ByteSpan q) noexcept {
  const std::size_t p = head_prefix.size();
  if (p == 0) return std::nullopt;
  const std::uint64_t y = d.block_count();
  if (q.size() < p) return q.empty() || std::memcmp(q.data(), head_prefix.data(), q.size()) <= 0 ? 0 : y;
  const int c = std::memcmp(q.data(), head_prefix.data(), p);
  if (c == 0) return std::nullopt;
  return c < 0 ? 0 : y;
}

ByteSpan head_prefix_of(const Layout& d) noexcept {
  if (d.block_count() == 0) return {};
  const ByteSpan h0 = d.head(0);
  return h0.first(static_cast<std::size_t>(std::min<std::uint64_t>(d.head_prefix, h0.size())));
}

}  // namespace dict_index

std::uint64_t Layout::head_boundary(ByteSpan q, std::uint64_t lo, std::uint64_t hi) const noexcept {
  while (lo < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (compare_bytes(head(mid), q) <= 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

ties::Boundary Layout::tie_boundary(std::uint32_t node, ByteSpan q) const {
  return ties()->boundary(
      node, q, [&](std::uint64_t i) { return head(i); },
      [&](ties::Bytes query, std::uint64_t lo, std::uint64_t hi) { return head_boundary(query, lo, hi); });
}

Search Layout::locate_in(std::uint64_t a, ByteSpan q) const {
  if (a == 0) return {0, false};
  const std::uint64_t e = a - 1;
  // What the block's search reads next, fetched while the head is compared:
  // its micro offsets, and its route words or else its restart run.
  if (J > 1) {
    __builtin_prefetch(micro_offsets.bits.data() + e * J * micro_offsets.width / 8);
    const std::vector<std::uint64_t>* words = route_words->get();
    if (words != nullptr && !words->empty()) {
      __builtin_prefetch(words->data() + e * J);
    } else if (const std::uint64_t start = block_offsets.get(e); start < block_data.size()) {
      __builtin_prefetch(block_data.data() + start);
    }
  }
  const ByteSpan h = head(e);
  const std::uint64_t d = common_prefix(q, h);
  if (d == q.size() && d == h.size()) return {e * block, true};
  return search_block(e, q, d);
}

namespace dict_index {

BlockPlan plan_block(const Layout& d, std::uint64_t e, ByteSpan q, std::uint64_t depth) noexcept {
  BlockPlan p;
  p.e = e;
  p.keys = d.block_keys(e);
  p.m = d.microblocks(e);
  p.depth = p.head_depth = depth;
  if (p.m < 2) return p;
  p.restart = true;
  const std::vector<std::uint64_t>* words = d.route_words->get();
  if (words == nullptr || words->empty()) return p;
  const std::uint64_t* w = words->data() + e * d.J;
  const std::uint64_t o = w[0];
  if (o == UINT64_MAX) return p;
  if (depth < o) {
    // q leaves the head before byte o, where the head and every restart
    // agree, and q is above the head: above every restart.
    p.t = p.m - 1;
    p.restart = false;
    return p;
  }
  const std::uint64_t k = word_at(q, o);
  // The words below K, counted without branches (at most J - 1 of them).
  std::uint64_t t = 0;
  for (std::uint64_t j = 1; j < p.m; ++j) t += w[j] < k;
  if (t + 1 < p.m && w[t + 1] == k) return p;  // a restart's 8 bytes: the words cannot tell
  if (t == 0) {
    p.restart = false;
    return p;
  }
  const std::uint64_t l = w[t];
  // Words that do not ascend (damaged runs): the restart run decides.
  if (l >= k) return p;
  const unsigned c = static_cast<unsigned>(__builtin_clzll(k ^ l)) / 8;
  const unsigned zeros = l == 0 ? 8 : static_cast<unsigned>(__builtin_ctzll(l)) / 8;
  // Agreement that reaches into L's trailing zero bytes may be its padding:
  // the depth is not certain there.
  if (c <= 8 - zeros) {
    p.t = t;
    p.depth = o + c;
    p.restart = false;
  }
  return p;
}

std::optional<Search> settle_restart(const Layout& d, BlockPlan& p, ByteSpan q) noexcept {
  const std::size_t s = d.shard_of(p.e);
  const RunCursor rc = RunCursor::open(d.restart_bytes(p.e), d.codes[s].restart, p.m, d.codecs[s]);
  const Scan r = d.scan_run(rc, p.m, q, p.head_depth);
  if (r.found) return Search{p.e * d.block + r.position * d.micro, true};
  p.restart = false;
  p.t = r.position;
  p.depth = r.depth;
  return std::nullopt;
}

Search run_block(const Layout& d, BlockPlan p, ByteSpan q) noexcept {
  if (p.restart)
    if (const auto r = settle_restart(d, p, q)) return *r;
  const std::size_t s = d.shard_of(p.e);
  const std::uint64_t kt = std::min(d.micro, p.keys - p.t * d.micro);
  const RunCursor mc = RunCursor::open(d.micro_bytes(p.e, p.t), d.codes[s].entry, kt, d.codecs[s]);
  const Scan r = d.scan_run(mc, kt, q, p.depth);
  const std::uint64_t base = p.e * d.block + p.t * d.micro;
  return r.found ? Search{base + r.position, true} : Search{base + r.position + 1, false};
}

}  // namespace dict_index

Search Layout::search_block(std::uint64_t e, ByteSpan q, std::uint64_t d) const {
  return run_block(*this, plan_block(*this, e, q, d), q);
}

Layout::Route Layout::route(ByteSpan q) const {
  const std::uint64_t y = block_count();
  if (const auto b = prefix_boundary(*this, head_prefix_of(*this), q)) return {*b};
  const std::uint64_t s = word_at(q, head_prefix);
  const std::uint64_t* sm = derived->complete();
  if (sm == nullptr) {
    // Until every sample is derived: the same search over the chunks of
    // samples it reaches, deriving them. A sample that ties the next one
    // goes on below, over all of them and the tie resolver.
    const auto at = [&](std::uint64_t i) { return derived->sample(*this, i); };
    const std::uint64_t e = lower_bound_by(at, y, s);
    const bool equal = e < y && at(e) == s;
    if (!equal || e + 1 == y || at(e + 1) != s) return {head_boundary(q, e, equal ? e + 1 : e)};
    sm = samples().data();
  }
  const std::uint64_t e = lower_bound_of(sm, y, s);
  const ties::Ties* resolver = e + 1 < y && sm[e] == s && sm[e + 1] == s ? ties() : nullptr;
  if (resolver) {
    const ties::Root root = ties::Ties::root(resolver->roots, e);
    if (root.found) {
      const ties::Boundary tb = tie_boundary(static_cast<std::uint32_t>(root.position), q);
      if (!tb.at_block) return {tb.boundary};
      return {tb.boundary, true, tb.common, tb.head_len};
    }
  }
  std::uint64_t end = e;
  if (e < y && sm[e] == s) {
    // Gallop over the equal samples (e + 1, e + 3, e + 7, ...), then halve
    // the last gap.
    std::uint64_t known = e, step = 1;
    std::uint64_t probe = e + 1;
    while (probe < y && sm[probe] == s) {
      known = probe;
      step <<= 1;
      probe = e + 2 * step - 1;
    }
    const std::uint64_t hi = std::min(probe, y);
    end = static_cast<std::uint64_t>(std::upper_bound(sm + known + 1, sm + hi, s) - sm);
  }
  return {head_boundary(q, e, end)};
}

Search Layout::locate(ByteSpan q) const {
  if (n == 0) return {0, false};
  const Route r = route(q);
  if (!r.compared) return locate_in(r.boundary, q);
  // The tie resolver compared the head of the block it settled on.
  const std::uint64_t m = r.boundary - 1;
  if (q.size() == r.common && r.common == r.head_len) return {m * block, true};
  return search_block(m, q, r.common);
}

Search Layout::locate_query(ByteSpan q) const {
  if (!chars) return locate(q);
  ProbeBuffer buf(q.size());
  const RawRoute* raw = this->raw();
  if (!raw) {
    const charcode::Probe probe = chars->probe_into(q, buf.data());
    if (probe.kind == 2) return {n, false};
    const Search r = locate(ByteSpan(buf.data(), probe.len));
    return {r.rank, r.found && probe.kind == 0};
  }
  // The block range from the raw query first, then the translation.
  const std::uint64_t y = block_count();
  const ByteSpan raw_prefix = bytes_of(raw->prefix);
  std::optional<std::uint64_t> boundary = prefix_boundary(*this, raw_prefix, q);
  std::uint64_t e = 0, end = 0;
  if (!boundary) {
    const std::uint64_t s = word_at(q, raw_prefix.size());
    const std::uint64_t* rs = raw->samples.data();
    e = lower_bound_of(rs, y, s);
    if (e < y && rs[e] == s) {
      end = static_cast<std::uint64_t>(std::upper_bound(rs + e + 1, rs + y, s) - rs);
    } else {
      boundary = e;
    }
  }
  const charcode::Probe probe = chars->probe_into(q, buf.data());
  if (probe.kind == 2) return {n, false};
  const ByteSpan coded(buf.data(), probe.len);
  if (!boundary) boundary = head_boundary(coded, e, end);
  const Search r = locate_in(*boundary, coded);
  return {r.rank, r.found && probe.kind == 0};
}

std::span<const std::uint64_t> Layout::route_microblocks() const {
  const std::vector<std::uint64_t>& words = route_words->get_or_init([&] {
    std::vector<std::uint64_t> out;
    if (J == 1) return out;
    const std::uint64_t y = block_count();
    out.assign(static_cast<std::size_t>(y * J), UINT64_MAX);
    std::vector<unsigned char> buf;
    for (std::uint64_t b = 0; b < y; ++b) {
      const std::uint64_t m = microblocks(b);
      if (m < 2) continue;
      const std::size_t s = shard_of(b);
      const Codec& codec = codecs[s];
      const RunCursor opened = RunCursor::open(restart_bytes(b), codes[s].restart, m, codec);
      if (opened.entries + 1 != m) continue;  // the run cannot be read
      // First pass: the route depth, the least of the head's length and every
      // restart's shared prefix.
      // The next restart's (x, y) and where its codes start; false when its
      // escape cannot be read or its suffix is longer than the run's data.
      auto next = [](RunCursor& c, std::uint64_t& x, std::uint64_t& y_, std::uint64_t& start) {
        if (!c.read_pair(x, y_) || y_ > c.capacity) return false;
        start = std::min(c.data_bit, c.data_bits);
        c.data_bit = start + y_ * c.unit;
        return true;
      };
      const ByteSpan h = head(b);
      std::uint64_t o = h.size();
      bool readable = true;
      {
        RunCursor c = opened;
        std::uint64_t x, y_, start;
        for (std::uint64_t j = 1; j < m && readable; ++j)
          if ((readable = next(c, x, y_, start))) o = std::min(o, x);
      }
      if (!readable) continue;
      // Second pass: each restart's 8 bytes at the depth, decoding no more
      // of a restart than reaches past them.
      std::uint64_t* w = out.data() + b * J;
      buf.assign(h.begin(), h.end());
      RunCursor c = opened;
      for (std::uint64_t j = 1; j < m; ++j) {
        std::uint64_t x, y_, start;
        if (!next(c, x, y_, start)) {
          readable = false;
          break;
        }
        if (x < o + 8) {
          if (buf.size() < x || (c.data_bits - start) / c.unit < y_) {
            readable = false;
            break;
          }
          buf.resize(static_cast<std::size_t>(x));
          if (!codec.decode_into(phrases, Codec::Source{c.data, start, y_}, buf, o + 8 - x)) {
            readable = false;
            break;
          }
        }
        w[j] = word_at(buf, o);
      }
      if (!readable) {
        std::fill(w, w + J, UINT64_MAX);
        continue;
      }
      w[0] = o;
    }
    return out;
  });
  return words;
}

std::pair<std::uint64_t, std::uint64_t> Layout::prefix_id_range(ByteSpan prefix) const {
  ProbeBuffer buf(prefix.size());
  ByteSpan p = prefix;
  if (chars) {
    const charcode::Probe probe = chars->probe_into(prefix, buf.data());
    if (probe.kind == 2) return {n, n};
    if (probe.kind == 1) {
      const std::uint64_t r = locate(ByteSpan(buf.data(), probe.len)).rank;
      return {r, r};
    }
    p = ByteSpan(buf.data(), probe.len);
  }
  const std::uint64_t start = locate(p).rank;
  // The least string above every extension of p: its last byte that is not
  // 0xFF, plus one.
  std::size_t len = p.size();
  while (len > 0 && p[len - 1] == 0xFF) --len;
  if (len == 0) return {start, std::max(start, n)};
  std::vector<unsigned char> above(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(len));
  ++above.back();
  return {start, std::max(start, locate(above).rank)};
}

Layout::RangeIter Layout::range_iter(std::string_view lo, std::string_view hi) const {
  return RangeIter(iter_from(locate_query(lo).rank), std::string(hi));
}

bool Layout::RangeIter::next(std::string& text, std::uint64_t& id) {
  if (done_) return false;
  if (!it_.next(text, id) || compare_bytes(bytes_of(text), bytes_of(hi_)) >= 0) {
    done_ = true;
    return false;
  }
  return true;
}

}  // namespace quorvale
