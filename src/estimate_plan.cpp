// Pricing by builds, and the planner's two entry points. Up to EXACT_LIMIT
// distinct keys each candidate is built as the command line builds it (the
// table of kinds); above it a Sample is measured on the two draws and every
// candidate modelled.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>

#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "dict_index/dict_index.hpp"
#include "estimate.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"
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

std::array<Fit, 3> hash_fits(std::span<const std::string_view> keys) {
  const std::size_t a = keys.size(), h = a / 2;
  const std::array<double, 3> half = hash_sizes(keys.first(h));
  const std::array<double, 3> all = hash_sizes(keys);
  std::array<Fit, 3> fits;
  for (std::size_t i = 0; i < 3; ++i) {
    fits[i].b = (all[i] - half[i]) / static_cast<double>(std::max<std::size_t>(a - h, 1));
    fits[i].a = all[i] - fits[i].b * static_cast<double>(a);
  }
  return fits;
}

namespace {

// Steps 2 to 6 of the sample: the character code, the rescaled shape and the
// dictionaries' rates.
void dictionary_rates(std::span<const std::string_view> hash_draw, std::span<const std::string_view> run_draw,
                      const Shape& shape, Sample& sample) {
  const std::size_t processors = online_processors();
  std::optional<charcode::CharCode> code;
  if (30 * shape.non_ascii >= 4 * shape.bytes) {
    charcode::Tally tally;
    for (std::string_view k : hash_draw) tally.add(k);
    for (std::string_view k : run_draw) tally.add(k);
    code = tally.choose_for(shape.bytes);
  }

  sample.shape = shape;
  // The keys the dictionaries are built over: as they are, or spelled in
  // the code, which the walks then measure.
  std::optional<dict_index::CodedKeys> coded_a, coded_r;
  std::vector<dict_index::Bytes> a_keys(hash_draw.begin(), hash_draw.end());
  std::vector<dict_index::Bytes> r_keys(run_draw.begin(), run_draw.end());
  Shape u, v;
  if (code) {
    coded_a = dict_index::encode_all(*code, hash_draw);
    coded_r = dict_index::encode_all(*code, run_draw);
    if (!coded_a || !coded_r) panic("a code chosen over both draws spells both");
    a_keys.clear();
    r_keys.clear();
    dict_index::views(*coded_a, a_keys);
    dict_index::views(*coded_r, r_keys);
    const Shape w1 = walk_of(hash_draw), w3 = walk_of(run_draw);
    u = walk_of(a_keys);
    v = walk_of(r_keys);
    sample.shape.bytes = rescale(shape.bytes, u.bytes, w1.bytes);
    sample.shape.lcp_prev = rescale(shape.lcp_prev, v.lcp_prev, w3.lcp_prev);
    sample.shape.lcp_back32 = rescale(shape.lcp_back32, v.lcp_back32, w3.lcp_back32);
    sample.chars = static_cast<double>(code->section_len());
  } else {
    u = walk_of(hash_draw);
    v = walk_of(run_draw);
  }

  // The hash-side dictionary prices the codecs and phrases on keys spread
  // over the whole set; the run-side ones the front coding of neighbours.
  const std::size_t trainers = std::min<std::size_t>(processors, 21);
  const dict_index::Pieces pieces = dict_index::build_pieces(a_keys, 256, 16, true);
  const std::vector<fsst::Table> tables = dict_index::train_shards(pieces, trainers);
  const dict_index::Phrases phrases = dict_index::mine_phrases(pieces, tables, shape.count, trainers);
  const std::size_t a_threads =
      std::max<std::size_t>(1, std::min<std::size_t>(processors, (a_keys.size() + 255) / 16384));
  const DictIndex hash_side = DictIndex::from_vocabulary(a_keys, 256, 16, a_threads, tables, phrases);
  const std::vector<DictIndex> run_side = DictIndex::plan_builds(r_keys, PRICED_BLOCKS, phrases);
  if (run_side.size() < 3) panic("one fit a priced block");

  const Rates spread = Rates::read(hash_side, u, shape.count);
  for (std::size_t i = 0; i < 3; ++i) {
    const Rates near = Rates::read(run_side[i], v, v.count);
    Rates& r = sample.rates[i];
    r.block = PRICED_BLOCKS[i];
    r.ratio = spread.ratio;
    r.per_key = spread.per_key;
    r.pair = near.pair;
    r.per_block = near.per_block;
    r.per_shard = near.per_shard;
  }
}

}  // namespace

Sample Sample::of(std::span<const std::string_view> hash_draw, std::span<const std::string_view> run_draw,
                  const Shape& shape) {
  Sample sample;
  // Two chains that share nothing run side by side: the string index and
  // the hash fits, and the dictionaries (whose builds leave processors idle).
  // A failure is still the first in the order of the steps: the string
  // index, the dictionaries, the hash fits.
  std::exception_ptr fst_failure, dict_failure, fit_failure;
  auto strings_and_hashes = [&] {
    try {
      sample.fst_per_key = static_cast<double>(fst_blob_len(run_draw)) /
                           static_cast<double>(std::max<std::size_t>(run_draw.size(), 1));
    } catch (...) {
      fst_failure = std::current_exception();
      return;
    }
    try {
      const std::array<Fit, 3> fits = hash_fits(hash_draw);
      sample.compact = fits[0];
      sample.closed = fits[1];
      sample.perfect = fits[2];
    } catch (...) {
      fit_failure = std::current_exception();
    }
  };
  auto dictionaries = [&] {
    try {
      dictionary_rates(hash_draw, run_draw, shape, sample);
    } catch (...) {
      dict_failure = std::current_exception();
    }
  };
  // Claimed, so that the one worker that starts when no other can does both.
  std::atomic<int> next{0};
  run_workers(2, [&](std::size_t) {
    for (int task; (task = next.fetch_add(1)) < 2;) task == 0 ? strings_and_hashes() : dictionaries();
  });
  for (const std::exception_ptr& failure : {fst_failure, dict_failure, fit_failure})
    if (failure) std::rethrow_exception(failure);
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

// Prices the candidates for the effective needs, by exact builds over `all`
// when the keys are few enough (the caller passes them only then), else by
// the model over the pass's draws; ranks them into the plan.
template <class K>
Plan finish(Pass<K>&& pass, const std::optional<std::span<const std::string_view>>& all, const Needs& needs,
            const Objective& objective) {
  const Shape shape = pass.walk.shape();
  const std::vector<Candidate> cands = candidates(needs);
  std::vector<Estimate> estimates;
  if (all) {
    estimates = weigh(*all, cands);
  } else {
    const Draws<K> d = std::move(pass).draws();
    const std::vector<std::string_view> a(d.hash.begin(), d.hash.end()), r(d.run.begin(), d.run.end());
    estimates = model(shape.count, shape.bytes, Sample::of(a, r, shape), cands);
  }
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

}  // namespace

Plan plan_for(std::span<const std::string_view> keys, const Needs& needs, const Objective& objective) {
  const Needs effective = effective_needs(needs, objective);
  std::vector<std::string_view> sorted(keys.begin(), keys.end());
  dict_index::sort_distinct(sorted);
  std::optional<std::span<const std::string_view>> all;
  if (sorted.size() <= EXACT_LIMIT) all = sorted;
  return finish(pass_over(sorted), all, effective, objective);
}

Plan plan_for(std::span<const std::string> keys, const Needs& needs, const Objective& objective) {
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  return plan_for(views, needs, objective);
}

Plan plan_file(const std::string& path, const Needs& needs, const Objective& objective, std::size_t budget,
               std::uint64_t max_key, const StopProbe& stop) {
  const Needs effective = effective_needs(needs, objective);
  Pass<std::string> pass;
  // An owned copy of every key while there are few enough to price by
  // exact builds; released for good past that.
  std::vector<std::string> full;
  bool whole = true;
  each_file_key(path, budget, max_key, [&](std::string_view key) {
    pass.push(key);
    if (!whole) return;
    if (full.size() == EXACT_LIMIT) {
      whole = false;
      full = {};
      return;
    }
    full.emplace_back(key);
  }, stop);
  stop_if(stop);
  const std::vector<std::string_view> views(full.begin(), full.end());
  std::optional<std::span<const std::string_view>> all;
  if (whole) all = views;
  return finish(std::move(pass), all, effective, objective);
}

}  // namespace quorvale::estimate
