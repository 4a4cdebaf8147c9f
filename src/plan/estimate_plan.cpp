// Pricing by builds, and the planner's two entry points. Up to EXACT_LIMIT
// distinct keys each candidate is built as the command line builds it (the
// table of kinds); above it a Sample is measured on the two draws and every
// candidate modelled.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>

#include "charcode.hpp"
#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "dict_index/dict_index.hpp"
#include "dict_index/trials.hpp"
#include "estimate.hpp"
#include "extsort/extsort.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"
#include "string_sort.hpp"
#include "threads.hpp"

namespace quorvale::estimate {

namespace {

std::uint64_t total_length(std::span<const std::string_view> keys) noexcept {
  std::uint64_t total = 0;
  for (std::string_view k : keys) total += k.size();
  return total;
}

// The blob length of a kind built from the keys as the command line builds it.
std::uint64_t blob_len(kinds::Kind kind, std::span<const std::string_view> keys,
                       std::optional<std::uint64_t> block = {}) {
  return kinds::of(kind).build({{keys.begin(), keys.end()}, {}}, block, {})->blob_len();
}

std::uint64_t fst_blob_len(std::span<const std::string_view> keys) {
  return blob_len(kinds::Kind::StringIndex, keys);
}

Shape walk_of(std::span<const std::string_view> keys) {
  ShapeWalk w;
  for (std::string_view k : keys) w.push(k);
  return w.shape();
}

// a * b / c in 128 bits, the quotient truncated; a when c is 0.
std::uint64_t rescale(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
  if (c == 0) return a;
  const unsigned __int128 q = static_cast<unsigned __int128>(a) * b / c;
  return q > ~std::uint64_t{0} ? ~std::uint64_t{0} : static_cast<std::uint64_t>(q);
}

constexpr std::uint64_t PRICED_BLOCKS[3] = {32, 256, 1024};

}  // namespace

std::vector<Estimate> weigh(std::span<const std::string_view> keys, std::span<const Candidate> candidates) {
  std::vector<Estimate> out;
  out.reserve(candidates.size());
  for (const Candidate& c : candidates) {
    Estimate e;
    e.kind = c.kind;
    e.measured = true;
    // A dictionary's block is always named: the candidates carry it.
    if (c.kind == kinds::Kind::DictIndex) e.block = c.block.value_or(kinds::DEFAULT_BLOCK);
    e.bytes = blob_len(c.kind, keys, e.block);
    out.push_back(e);
  }
  return out;
}

std::array<double, 3> hash_sizes(std::span<const std::string_view> keys) {
  const double c = static_cast<double>(CompactHashIndex::build(keys).serialized_len());
  const double d = static_cast<double>(ClosedHashIndex::build(keys).serialized_len());
  const double p = static_cast<double>(PerfectHashIndex::build(keys).serialized_len() - total_length(keys));
  return {c, d, p};
}

namespace {

// Lines through the three sizes on the first h of a keys and on all of them.
std::array<Fit, 3> fits_through(const std::array<double, 3>& half, const std::array<double, 3>& all, std::size_t a,
                                std::size_t h) {
  std::array<Fit, 3> fits;
  for (std::size_t i = 0; i < 3; ++i) {
    fits[i].b = (all[i] - half[i]) / static_cast<double>(std::max<std::size_t>(a - h, 1));
    fits[i].a = all[i] - fits[i].b * static_cast<double>(a);
  }
  return fits;
}

}  // namespace

std::array<Fit, 3> hash_fits(std::span<const std::string_view> keys) {
  const std::size_t a = keys.size(), h = a / 2;
  const std::array<double, 3> half = hash_sizes(keys.first(h));
  return fits_through(half, hash_sizes(keys), a, h);
}

namespace {

// The keys the sample's dictionaries are built over: the draws as they are,
// or spelled in a character code chosen over both; and their walks.
struct DictKeys {
  std::optional<charcode::CharCode> code;
  std::optional<dict_index::CodedKeys> coded_a, coded_r;
  std::vector<dict_index::Bytes> a, r;
  Shape u, v;  // walks over a and r
};

// The character code the sample's dictionaries are spelled in, if one is
// chosen, and the keys to build over.
void choose_keys(std::span<const std::string_view> hash_draw, std::span<const std::string_view> run_draw,
                 const Shape& shape, DictKeys& k) {
  if (30 * shape.non_ascii >= 4 * shape.bytes) {
    charcode::Tally tally;
    for (std::string_view key : hash_draw) tally.add(key);
    for (std::string_view key : run_draw) tally.add(key);
    k.code = tally.choose_for(shape.bytes);
  }
  if (!k.code) {
    k.a.assign(hash_draw.begin(), hash_draw.end());
    k.r.assign(run_draw.begin(), run_draw.end());
    return;
  }
  k.coded_a = dict_index::encode_all(*k.code, hash_draw);
  k.coded_r = dict_index::encode_all(*k.code, run_draw);
  if (!k.coded_a || !k.coded_r) panic("a code chosen over both draws spells both");
  dict_index::views(*k.coded_a, k.a);
  dict_index::views(*k.coded_r, k.r);
}

// The walks over the keys built over and, under a character code, the
// shape rescaled into its coded bytes and the code's section.
void walk_keys(std::span<const std::string_view> hash_draw, std::span<const std::string_view> run_draw,
               const Shape& shape, Sample& sample, DictKeys& k) {
  sample.shape = shape;
  k.u = walk_of(k.a);
  k.v = walk_of(k.r);
  if (!k.code) return;
  const Shape w1 = walk_of(hash_draw), w3 = walk_of(run_draw);
  sample.shape.bytes = rescale(shape.bytes, k.u.bytes, w1.bytes);
  sample.shape.lcp_prev = rescale(shape.lcp_prev, k.v.lcp_prev, w3.lcp_prev);
  sample.shape.lcp_back32 = rescale(shape.lcp_back32, k.v.lcp_back32, w3.lcp_back32);
  sample.chars = static_cast<double>(k.code->section_len());
}

// Tasks that may run side by side, each after the earlier tasks it names.
// Workers claim them in order and wait for what a claimed task needs, which
// was claimed before it, so one worker alone runs them in order. A task
// whose prerequisite failed is skipped; each failure is kept for the caller.
class Tasks {
 public:
  struct Task {
    std::function<void()> run;
    std::vector<std::size_t> after;
  };
  explicit Tasks(std::vector<Task> tasks) : tasks_(std::move(tasks)), state_(tasks_.size(), PENDING),
                                             failures_(tasks_.size()) {}

  void run() {
    std::atomic<std::size_t> next{0};
    run_workers(tasks_.size(), [&](std::size_t) {
      for (std::size_t i; (i = next.fetch_add(1)) < tasks_.size();) {
        // Whatever happens, the task's state is told to those waiting on it.
        char outcome = SKIPPED;
        try {
          bool ready = true;
          for (std::size_t d : tasks_[i].after) ready = wait_done(d) && ready;
          if (ready) {
            tasks_[i].run();
            outcome = DONE;
          }
        } catch (...) {
          failures_[i] = std::current_exception();
          outcome = FAILED;
        }
        {
          std::lock_guard<std::mutex> lock(mutex_);
          state_[i] = outcome;
        }
        changed_.notify_all();
      }
    });
  }
  // The failure of task i, if it failed.
  const std::exception_ptr& failure(std::size_t i) const { return failures_[i]; }

 private:
  static constexpr char PENDING = 0, DONE = 1, FAILED = 2, SKIPPED = 3;
  bool wait_done(std::size_t i) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return state_[i] != PENDING; });
    return state_[i] == DONE;
  }
  std::vector<Task> tasks_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<char> state_;
  std::vector<std::exception_ptr> failures_;
};

}  // namespace

Sample Sample::of(std::span<const std::string_view> hash_draw, std::span<const std::string_view> run_draw,
                  const Shape& shape) {
  Sample sample;
  const std::size_t processors = online_processors();
  const std::size_t trainers = std::min<std::size_t>(processors, 21);
  DictKeys k;
  std::shared_ptr<const dict_index::Vocabulary> vocabulary;
  std::optional<DictIndex> hash_side;
  std::optional<DictIndex> run_side[3];
  std::array<double, 3> half{}, all{};
  const std::size_t a = hash_draw.size(), h = a / 2;
  auto run_side_at = [&](std::size_t i) {
    run_side[i].emplace(dict_index::build_with_phrases(k.r, PRICED_BLOCKS[i], *vocabulary));
  };

  // The builds share nothing but the phrase dictionary: the hash-side
  // dictionary prices the codecs and phrases on keys spread over the whole
  // set, the run-side ones the front coding of neighbours at each block; the
  // string index and the hash fits stand apart.
  enum : std::size_t { CODE, MINE, FST, HALF, ALL, WALKS, HASH_SIDE, RUN_SIDE };
  Tasks tasks({
      {[&] { choose_keys(hash_draw, run_draw, shape, k); }, {}},
      {[&] {
         vocabulary = dict_index::train_vocabulary(k.a, 256, 16, shape.count, trainers);
       },
       {CODE}},
      {[&] {
         sample.fst_per_key = static_cast<double>(fst_blob_len(run_draw)) /
                              static_cast<double>(std::max<std::size_t>(run_draw.size(), 1));
       },
       {}},
      {[&] { half = hash_sizes(hash_draw.first(h)); }, {}},
      {[&] { all = hash_sizes(hash_draw); }, {}},
      {[&] { walk_keys(hash_draw, run_draw, shape, sample, k); }, {CODE}},
      {[&] {
         const std::size_t threads =
             std::max<std::size_t>(1, std::min<std::size_t>(processors, (k.a.size() + 255) / 16384));
         hash_side.emplace(dict_index::build_with_vocabulary(k.a, 256, 16, threads, *vocabulary));
       },
       {MINE}},
      {[&] { run_side_at(0); }, {MINE}},
      {[&] { run_side_at(1); }, {MINE}},
      {[&] { run_side_at(2); }, {MINE}},
  });
  tasks.run();
  // The first failure in the order of the steps: the string index, the
  // dictionaries, the hash fits.
  for (std::size_t t : {+FST, +CODE, +WALKS, +MINE, +HASH_SIDE, RUN_SIDE + 0, RUN_SIDE + 1, RUN_SIDE + 2, +HALF, +ALL})
    if (const std::exception_ptr& failure = tasks.failure(t)) std::rethrow_exception(failure);

  const Rates spread = Rates::read(*hash_side, k.u, shape.count);
  for (std::size_t i = 0; i < 3; ++i) {
    const Rates near = Rates::read(*run_side[i], k.v, k.v.count);
    Rates& r = sample.rates[i];
    r.block = PRICED_BLOCKS[i];
    r.ratio = spread.ratio;
    r.per_key = spread.per_key;
    r.pair = near.pair;
    r.per_block = near.per_block;
    r.per_shard = near.per_shard;
  }
  const std::array<Fit, 3> fits = fits_through(half, all, a, h);
  sample.compact = fits[0];
  sample.closed = fits[1];
  sample.perfect = fits[2];
  return sample;
}

std::vector<Estimate> model(std::uint64_t n, std::uint64_t key_bytes, const Sample& sample,
                            std::span<const Candidate> candidates) {
  const double nf = static_cast<double>(n);
  std::vector<Estimate> out;
  out.reserve(candidates.size());
  for (const Candidate& c : candidates) {
    Estimate e;
    e.kind = c.kind;
    double size = 0;
    switch (c.kind) {
      case kinds::Kind::CompactHashIndex: size = sample.compact.a + sample.compact.b * nf; break;
      case kinds::Kind::ClosedHashIndex: size = sample.closed.a + sample.closed.b * nf; break;
      case kinds::Kind::PerfectHashIndex:
        size = sample.perfect.a + sample.perfect.b * nf + static_cast<double>(key_bytes);
        break;
      case kinds::Kind::StringIndex: size = sample.fst_per_key * nf; break;
      case kinds::Kind::DictIndex: {
        const std::uint64_t block = c.block.value_or(kinds::DEFAULT_BLOCK);
        e.block = block;
        size = dict_model(n, block, dict_index::micro_for(block), nearest_rates(sample.rates, block), sample.shape,
                          sample.chars);
        break;
      }
      default: panic("the planner prices no such kind");
    }
    e.bytes = to_bytes(size);
    out.push_back(e);
  }
  return out;
}

// ---- the entry points ----------------------------------------------------------------------

namespace {

// Ranks priced estimates into the plan of a key set of this shape.
Plan ranked(std::vector<Estimate> estimates, const Shape& shape, const Needs& needs, const Objective& objective) {
  Plan plan;
  plan.objective = objective;
  plan.keys = shape.count;
  plan.mean_length = static_cast<double>(shape.bytes) / static_cast<double>(std::max<std::uint64_t>(shape.count, 1));
  plan.mean_lcp = static_cast<double>(shape.lcp_prev) / static_cast<double>(shape.count > 1 ? shape.count - 1 : 1);
  plan.needs = needs;
  rank(estimates, objective, plan.keys, plan.mean_length);
  plan.estimates = std::move(estimates);
  return plan;
}

// Copies the bytes of the views' keys into one buffer, returned, and points
// the views there.
std::vector<char> rehome(std::initializer_list<std::vector<std::string_view>*> lists) {
  std::size_t total = 0;
  for (const auto* list : lists)
    for (std::string_view k : *list) total += k.size();
  std::vector<char> bytes(total);
  std::size_t at = 0;
  for (auto* list : lists)
    for (std::string_view& k : *list) {
      if (!k.empty()) std::memcpy(bytes.data() + at, k.data(), k.size());
      k = std::string_view(bytes.data() + at, k.size());
      at += k.size();
    }
  return bytes;
}

// Plans sorted distinct keys held in memory: exact builds over them when
// they are few enough, else the model over their draws. The keys the builds
// read are copied out first and `release` frees the storage of the rest.
template <class Keys, class Release>
Plan plan_sorted(const Keys& keys, const Needs& needs, const Objective& objective, const StopProbe& stop,
                 Release&& release) {
  const bool exact = keys.size() <= EXACT_LIMIT;
  Scan s = scan(keys, !exact, 0, stop);
  std::vector<std::string_view> all;
  if (exact) {
    all.resize(keys.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = keys[i];
  }
  const std::vector<char> kept = rehome({&all, &s.draws.hash, &s.draws.run});
  release();
  stop_if(stop);
  const std::vector<Candidate> cands = candidates(needs);
  std::vector<Estimate> estimates;
  if (exact)
    estimates = weigh(all, cands);
  else
    estimates = model(s.shape.count, s.shape.bytes, Sample::of(s.draws.hash, s.draws.run, s.shape), cands);
  return ranked(std::move(estimates), s.shape, needs, objective);
}

}  // namespace

Plan plan_for(std::span<const std::string_view> keys, const Needs& needs, const Objective& objective,
              const StopProbe& stop) {
  const Needs effective = effective_needs(needs, objective);
  std::vector<std::string_view> sorted(keys.begin(), keys.end());
  sort_distinct(sorted);
  stop_if(stop);
  return plan_sorted(std::span<const std::string_view>(sorted), effective, objective, stop, [&] { sorted = {}; });
}

Plan plan_for(std::span<const std::string> keys, const Needs& needs, const Objective& objective) {
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  return plan_for(views, needs, objective);
}

Plan plan_file(const std::string& path, const Needs& needs, const Objective& objective, std::size_t budget,
               std::uint64_t max_key, const StopProbe& stop) {
  const Needs effective = effective_needs(needs, objective);
  extsort::Run run(budget);
  extsort::Runs runs(path, false);  // read back at once, then removed
  read_keys_file(path, max_key, run, runs, stop);
  // Every key in one run: planned where it lies, the run's memory given
  // back before the builds.
  if (runs.runs().empty())
    return plan_sorted(run.sorted(), effective, objective, stop, [&] { run = extsort::Run(0); });

  if (!run.empty()) runs.spill_sorted(run);
  run = extsort::Run(0);  // its memory back before the replay
  StreamScan pass(stop);
  // An owned copy of every key while there are few enough to price by
  // exact builds; released for good past that.
  std::vector<std::string> full;
  bool whole = true;
  std::uint64_t replayed = 0;
  {
    extsort::MergedStream merged = runs.merge();
    while (const std::optional<std::string_view> key = merged.next()) {
      // A key spilled in several runs comes out once per run, in a row.
      if (pass.repeats(*key)) continue;
      if (replayed++ % STOP_STRIDE == 0) stop_if(stop);
      pass.push(*key);
      if (!whole) continue;
      if (full.size() == EXACT_LIMIT) {
        whole = false;
        std::vector<std::string>().swap(full);
        continue;
      }
      full.emplace_back(*key);
    }
  }  // the run files closed before the pricing
  stop_if(stop);
  const Shape shape = pass.shape();
  const std::vector<Candidate> cands = candidates(effective);
  std::vector<Estimate> estimates;
  if (whole) {
    estimates = weigh(std::vector<std::string_view>(full.begin(), full.end()), cands);
  } else {
    const Draws<std::string> d = std::move(pass).draws();
    const std::vector<std::string_view> a(d.hash.begin(), d.hash.end()), r(d.run.begin(), d.run.end());
    estimates = model(shape.count, shape.bytes, Sample::of(a, r, shape), cands);
  }
  return ranked(std::move(estimates), shape, effective, objective);
}

}  // namespace quorvale::estimate
