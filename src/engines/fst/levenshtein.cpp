#include "fst/levenshtein.hpp"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>
#include <unordered_map>

namespace quorvale::fst {
namespace {

constexpr std::uint32_t kOther = 0xFFFFFFFFu;  // any character not in the query
constexpr std::size_t kNone = static_cast<std::size_t>(-1);  // the dead row

[[noreturn]] void too_big() {
  char buf[96];
  std::snprintf(buf, sizeof buf, "Levenshtein automaton exceeds size limit of %u states", Levenshtein::kStateLimit);
  throw AutomatonError(buf);
}

// Well-formed UTF-8 to code points, or false.
bool decode(std::string_view s, std::vector<std::uint32_t>& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned b = p[i];
    std::uint32_t c;
    std::size_t len;
    unsigned lo = 0x80, hi = 0xBF;
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      c = b & 0x1F, len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      c = b & 0x0F, len = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      c = b & 0x07, len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const unsigned x = p[i + k];
      if (x < (k == 1 ? lo : 0x80) || x > (k == 1 ? hi : 0xBF)) return false;
      c = c << 6 | (x & 0x3F);
    }
    out.push_back(c);
    i += len;
  }
  return true;
}

std::size_t encode(std::uint32_t c, unsigned char* out) {
  if (c < 0x80) {
    out[0] = static_cast<unsigned char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | c >> 6);
    out[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | c >> 12);
    out[1] = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | c >> 18);
  out[1] = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  return 4;
}

// One row of the edit-distance table: the cost of matching the key read so
// far against each query prefix, capped at distance + 1. Only the band of
// positions whose cost is within the distance is kept, from `lo` on. Adjacent
// costs differ by at most 1, so the band is stored as its first cost and two
// bits per further position (0: one less, 1: the same, 2: one more): a long
// query with a large distance keeps its rows small.
struct Row {
  std::size_t lo = 0;
  std::size_t len = 0;  // 0 for the dead row
  std::uint64_t first = 0;
  std::string steps;
  bool operator==(const Row&) const = default;
};

struct RowHash {
  std::size_t operator()(const Row& r) const noexcept {
    std::uint64_t h = (r.lo * 0x9E3779B97F4A7C15ull) ^ (r.len * 0xBF58476D1CE4E5B9ull) ^ r.first;
    return static_cast<std::size_t>(h ^ std::hash<std::string>{}(r.steps));
  }
};

void unpack(const Row& r, std::vector<std::uint64_t>& vals) {
  vals.resize(r.len);
  if (r.len == 0) return;
  vals[0] = r.first;
  for (std::size_t i = 1; i < r.len; ++i) {
    const unsigned step = (static_cast<unsigned char>(r.steps[(i - 1) / 4]) >> (2 * ((i - 1) % 4))) & 3;
    vals[i] = vals[i - 1] + step - 1;
  }
}

Row pack(std::size_t lo, const std::uint64_t* vals, std::size_t len) {
  Row r;
  r.lo = lo;
  r.len = len;
  if (len == 0) return r;
  r.first = vals[0];
  r.steps.assign((len - 1 + 3) / 4, '\0');
  for (std::size_t i = 1; i < len; ++i) {
    const unsigned step = static_cast<unsigned>(vals[i] + 1 - vals[i - 1]);  // 0, 1 or 2
    r.steps[(i - 1) / 4] = static_cast<char>(static_cast<unsigned char>(r.steps[(i - 1) / 4]) | step << (2 * ((i - 1) % 4)));
  }
  return r;
}

}  // namespace

class LevenshteinBuild {
 public:
  LevenshteinBuild(std::vector<std::uint32_t> query, std::uint32_t distance)
      : q_(std::move(query)), d_(distance), cap_(std::uint64_t(distance) + 1) {}

  std::shared_ptr<Levenshtein::Tables> run() {
    // The rows after each exact prefix of the query differ from one another
    // and are all live, so this many states would be allocated anyway.
    if (q_.size() + 2 > Levenshtein::kStateLimit) too_big();
    t_ = std::make_shared<Levenshtein::Tables>();
    alloc();  // the dead state, 0
    std::vector<std::uint64_t> start;
    for (std::size_t j = 0; j <= q_.size() && j <= d_; ++j) start.push_back(j);
    t_->start = boundary_of(intern(pack(0, start.data(), start.size())));
    while (!queue_.empty()) {
      const std::size_t cs = queue_.front();
      queue_.pop_front();
      expand(cs);
    }
    return std::move(t_);
  }

 private:
  Levenshtein::State alloc() {
    if (t_->match.size() >= Levenshtein::kStateLimit) too_big();
    t_->trans.resize(t_->trans.size() + 256, 0);
    t_->match.push_back(0);
    return static_cast<Levenshtein::State>(t_->match.size() - 1);
  }
  void set(Levenshtein::State s, unsigned b, Levenshtein::State to) { t_->trans[std::size_t(s) * 256 + b] = to; }

  std::size_t intern(Row row) {
    if (row.len == 0) return kNone;
    auto it = ids_.find(row);
    if (it != ids_.end()) return it->second;
    const std::size_t id = rows_.size();
    const Levenshtein::State bs = alloc();
    const bool match = row.lo + row.len - 1 == q_.size();
    t_->match[bs] = match ? 1 : 0;
    ids_.emplace(row, id);
    rows_.push_back(std::move(row));
    boundary_.push_back(bs);
    queue_.push_back(id);
    return id;
  }
  Levenshtein::State boundary_of(std::size_t cs) const { return cs == kNone ? 0 : boundary_[cs]; }

  // The row after reading character c (kOther: a character not in the
  // query), from the unpacked band `vals` starting at `lo`.
  Row step(std::size_t lo, const std::vector<std::uint64_t>& vals, std::uint32_t c) {
    const std::size_t m = q_.size();
    const std::size_t hi = lo + vals.size() - 1;
    auto get = [&](std::size_t j) { return j >= lo && j <= hi ? vals[j - lo] : cap_; };
    next_.clear();
    std::uint64_t prev = cap_;
    std::size_t first = kNone, last = 0;
    for (std::size_t j = lo; j <= m; ++j) {
      std::uint64_t v = get(j) + 1;
      if (j >= 1) {
        v = std::min(v, get(j - 1) + (q_[j - 1] == c ? 0 : 1));
        v = std::min(v, prev + 1);
      }
      v = std::min(v, cap_);
      prev = v;
      if (v <= d_) {
        if (first == kNone) first = j;
        last = j;
      } else if (j > hi) {
        break;  // past the band, and only growing from here
      }
      if (first != kNone) next_.push_back(v);
    }
    if (first == kNone) return Row{};
    return pack(first, next_.data(), last - first + 1);
  }

  // Generic continuation states: `kind` continuation bytes (with the range
  // a lead byte imposes on the first) and then the boundary of char state t.
  enum Kind { K1, K2, K3, AfterE0, AfterED, AfterF0, AfterF4 };
  Levenshtein::State cont(std::size_t t, Kind kind) {
    if (t == kNone) return 0;
    const std::uint64_t key = std::uint64_t(t) << 3 | kind;
    auto it = conts_.find(key);
    if (it != conts_.end()) return it->second;
    Levenshtein::State next;
    unsigned lo = 0x80, hi = 0xBF;
    switch (kind) {
      case K1: next = boundary_of(t); break;
      case K2: next = cont(t, K1); break;
      case K3: next = cont(t, K2); break;
      case AfterE0: next = cont(t, K1), lo = 0xA0; break;
      case AfterED: next = cont(t, K1), hi = 0x9F; break;
      case AfterF0: next = cont(t, K2), lo = 0x90; break;
      default: next = cont(t, K2), hi = 0x8F; break;
    }
    const Levenshtein::State s = alloc();
    for (unsigned x = lo; x <= hi; ++x) set(s, x, next);
    conts_.emplace(key, s);
    return s;
  }
  Levenshtein::State after_lead(std::size_t t, unsigned lead) {
    if (lead <= 0xDF) return cont(t, K1);
    if (lead == 0xE0) return cont(t, AfterE0);
    if (lead == 0xED) return cont(t, AfterED);
    if (lead <= 0xEF) return cont(t, K2);
    if (lead == 0xF0) return cont(t, AfterF0);
    if (lead == 0xF4) return cont(t, AfterF4);
    return cont(t, K3);
  }

  struct Target {
    unsigned char bytes[4];
    std::size_t len;
    std::size_t to;  // char state
  };

  // The state after the first k bytes shared by `group` (characters of one
  // length), on the way from a boundary whose other characters go to `other`.
  Levenshtein::State partial(const std::vector<Target>& group, std::size_t k, std::size_t other) {
    if (k > 3) return 0;  // characters have at most 4 bytes
    bool alive = other != kNone;
    for (const Target& t : group) alive = alive || t.to != kNone;
    if (!alive) return 0;
    const Levenshtein::State s = alloc();
    const std::size_t len = group.front().len;
    const unsigned lead = group.front().bytes[0];
    unsigned lo = 0x80, hi = 0xBF;
    if (k == 1 && lead == 0xE0) lo = 0xA0;
    if (k == 1 && lead == 0xED) hi = 0x9F;
    if (k == 1 && lead == 0xF0) lo = 0x90;
    if (k == 1 && lead == 0xF4) hi = 0x8F;
    const std::size_t left = len - k - 1;  // continuation bytes after this one
    const Levenshtein::State rest = left == 0 ? boundary_of(other) : cont(other, left == 1 ? K1 : K2);
    for (unsigned x = lo; x <= hi; ++x) set(s, x, rest);
    for (std::size_t i = 0; i < group.size();) {
      std::size_t j = i;
      const unsigned char x = group[i].bytes[k];
      while (j < group.size() && group[j].bytes[k] == x) ++j;
      if (k + 1 == len) {
        set(s, x, boundary_of(group[i].to));
      } else {
        std::vector<Target> sub(group.begin() + i, group.begin() + j);
        set(s, x, partial(sub, k + 1, other));
      }
      i = j;
    }
    return s;
  }

  void expand(std::size_t cs) {
    const std::size_t lo = rows_[cs].lo;
    unpack(rows_[cs], cur_);
    const Levenshtein::State bs = boundary_[cs];
    const std::size_t hi = lo + cur_.size() - 1;
    std::vector<std::uint32_t> chars;
    for (std::size_t j = lo; j <= hi && j < q_.size(); ++j) chars.push_back(q_[j]);
    std::sort(chars.begin(), chars.end());
    chars.erase(std::unique(chars.begin(), chars.end()), chars.end());

    const std::size_t other = intern(step(lo, cur_, kOther));
    std::vector<Target> targets;  // multi-byte characters, in byte order
    for (std::uint32_t c : chars) {
      Target t{};
      t.len = encode(c, t.bytes);
      t.to = intern(step(lo, cur_, c));
      targets.push_back(t);
    }
    const Levenshtein::State to_other = boundary_of(other);
    for (unsigned b = 0; b < 0x80; ++b) set(bs, b, to_other);
    for (unsigned b = 0xC2; b <= 0xF4; ++b) set(bs, b, after_lead(other, b));
    // Code-point order is byte order, so characters sharing a lead are adjacent.
    for (std::size_t i = 0; i < targets.size();) {
      if (targets[i].len == 1) {
        set(bs, targets[i].bytes[0], boundary_of(targets[i].to));
        ++i;
        continue;
      }
      std::size_t j = i;
      while (j < targets.size() && targets[j].bytes[0] == targets[i].bytes[0]) ++j;
      std::vector<Target> group(targets.begin() + i, targets.begin() + j);
      set(bs, targets[i].bytes[0], partial(group, 1, other));
      i = j;
    }
  }

  std::vector<std::uint32_t> q_;
  std::uint64_t d_;
  std::uint64_t cap_;
  std::shared_ptr<Levenshtein::Tables> t_;
  std::vector<Row> rows_;
  std::vector<Levenshtein::State> boundary_;
  std::unordered_map<Row, std::size_t, RowHash> ids_;
  std::unordered_map<std::uint64_t, Levenshtein::State> conts_;
  std::deque<std::size_t> queue_;
  std::vector<std::uint64_t> cur_, next_;  // scratch rows
};

Levenshtein::Levenshtein(std::string_view query, std::uint32_t distance) {
  std::vector<std::uint32_t> q;
  if (!decode(query, q)) throw AutomatonError("Levenshtein query is not valid UTF-8");
  t_ = LevenshteinBuild(std::move(q), distance).run();
}

}  // namespace quorvale::fst
