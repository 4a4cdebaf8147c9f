// The run files of the external sort, read back by the merged stream
// (extsort::merge_runs).
//
// The input is one run file or several, separated by the 4 bytes kSplit; they
// are written to a scratch directory and merged. The stream yields valid
// UTF-8 keys until it ends or fails with "extsort: a run file is corrupt"
// (and keeps failing). What it yielded, spilled again as one run, reads back
// the same; sorted in memory it gives what the stream's keys give sorted
// and without repeats, as does the replay of runs spilled from those keys.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "blob.hpp"
#include "extsort/extsort.hpp"
#include "utf8.hpp"
#include "fuzz.hpp"
#include "scratch.hpp"

using namespace quorvale;
using namespace qfuzz;
namespace fs = std::filesystem;

namespace {

constexpr unsigned char kSplit[4] = {0xff, 'R', 'U', 'N'};
constexpr std::size_t kMaxRuns = 8;

// Every key of a merge, and whether it ended in the run files' error.
struct Merged {
  std::vector<std::string> keys;
  bool failed = false;
};

Merged drain(extsort::MergedStream& s) {
  Merged m;
  try {
    while (auto k = s.next()) {
      QFUZZ_CHECK(utf8::valid(*k));
      m.keys.emplace_back(*k);
    }
  } catch (const IndexError& e) {
    QFUZZ_CHECK(e.kind() == IndexError::Kind::Io);
    refused("run file", e.message());
    m.failed = true;
    // A failed stream keeps failing: it never passes for a complete one.
    bool again = false;
    try {
      (void)s.next();
    } catch (const IndexError&) {
      again = true;
    }
    QFUZZ_CHECK(again);
  }
  return m;
}

std::vector<std::string> sorted_distinct(std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

void check_own_output(const std::vector<std::string>& keys) {
  const std::string out = qfuzz::scratch("extsort") + "/out";
  std::vector<std::string_view> views(keys.begin(), keys.end());
  // Spilled as they came and read back: the same keys in the same order.
  {
    extsort::Runs runs(out);
    runs.spill(views);
    const std::vector<std::uint64_t> numbers = runs.runs();
    auto s = extsort::merge_runs(*runs.directory(), numbers);
    Merged back = drain(s);
    QFUZZ_CHECK(!back.failed && back.keys == keys);
  }
  const std::vector<std::string> expected = sorted_distinct(keys);
  // Sorted in memory.
  std::uint64_t bytes = 0;
  for (const auto& k : keys) bytes += k.size();
  extsort::Run run(static_cast<std::size_t>(bytes + 8 * (keys.size() + 1)));
  for (std::string_view k : views) {
    QFUZZ_CHECK(run.has_room(k.size()));
    run.push(k);
  }
  const extsort::KeyView sorted = run.sorted();
  QFUZZ_CHECK(sorted.size() == expected.size());
  for (std::size_t i = 0; i < sorted.size(); ++i) QFUZZ_CHECK(sorted[i] == expected[i]);
  // Spilled sorted in two runs (the halves of the keys) and replayed.
  if (!keys.empty()) {
    extsort::Runs runs(out);
    for (std::size_t half = 0; half < 2; ++half) {
      std::vector<std::string_view> part(views.begin() + static_cast<std::ptrdiff_t>(half * views.size() / 2),
                                         views.begin() + static_cast<std::ptrdiff_t>((half + 1) * views.size() / 2));
      std::sort(part.begin(), part.end());
      runs.spill(part);
    }
    std::vector<std::string> replayed;
    runs.each([&](std::string_view k) { replayed.emplace_back(k); });
    QFUZZ_CHECK(replayed == expected);
  }
}

}  // namespace

void qfuzz::run(Input& in) {
  // Cut the input into run files.
  std::vector<std::span<const unsigned char>> files;
  std::span<const unsigned char> rest = in.view();
  while (files.size() + 1 < kMaxRuns) {
    auto at = std::search(rest.begin(), rest.end(), std::begin(kSplit), std::end(kSplit));
    if (at == rest.end()) break;
    const auto cut = static_cast<std::size_t>(at - rest.begin());
    files.push_back(rest.first(cut));
    rest = rest.subspan(cut + sizeof kSplit);
  }
  files.push_back(rest);
  std::vector<std::uint64_t> numbers;
  for (std::size_t i = 0; i < files.size(); ++i) {
    write_file(scratch("extsort") + "/" + std::to_string(i), files[i]);
    numbers.push_back(i);
  }

  std::optional<extsort::MergedStream> stream;
  try {
    stream.emplace(extsort::merge_runs(scratch("extsort"), numbers));
  } catch (const IndexError& e) {
    QFUZZ_CHECK(e.kind() == IndexError::Kind::Io);
    refused("opening", e.message());
    return;
  }
  const Merged m = drain(*stream);
  note(m.failed ? "merged up to an error" : "merged to the end");
  check_own_output(m.keys);
}

void qfuzz::seeds(Seeds& out) {
  // Run files written by the library's own spill.
  auto runs_of = [&](const std::vector<std::vector<std::string>>& runs) {
    extsort::Runs r(scratch("extsort") + "/seed");
    Bytes input;
    for (std::size_t i = 0; i < runs.size(); ++i) {
      std::vector<std::string_view> keys(runs[i].begin(), runs[i].end());
      r.spill(keys);
      std::FILE* f = std::fopen((*r.directory() + "/" + std::to_string(r.runs().back())).c_str(), "rb");
      QFUZZ_CHECK(f != nullptr);
      if (i > 0) input.insert(input.end(), std::begin(kSplit), std::end(kSplit));
      int c;
      while ((c = std::fgetc(f)) != EOF) input.push_back(static_cast<unsigned char>(c));
      std::fclose(f);
    }
    return input;
  };
  std::vector<std::string> many;
  for (int i = 0; i < 1000; ++i) many.push_back("key-" + std::to_string(i * 7919 % 100003));
  std::sort(many.begin(), many.end());
  out.add("empty", runs_of({{}}), 0);
  out.add("one", runs_of({{"only"}}), 0);
  out.add("few", runs_of({{"", "a", "ab", "\xc3\xa9t\xc3\xa9", "\xe6\x9d\xb1\xe4\xba\xac", "\xf0\x9f\x98\x80"}}), 0);
  out.add("many", runs_of({many}), 0);
  out.add("three-runs", runs_of({{"a", "c", "e"}, {"b", "c", "d"}, {}}), 0);
  out.add("repeats", runs_of({{"x", "y"}, {"x", "y"}, {"x"}, {"w", "z"}}), 0);
}
