// The overlay blob, "OVL2" and the older "OVL1", over each base kind: loaded
// with the loader of every base class (a string-index base trusted and
// untrusted).
//
// A refusal is an IndexError or, for a blob past an overlay's limits,
// LimitExceeded; any other exception is a finding. The base tag decides
// which class can load a blob, so at most one class's loader (two for a
// string index) accepts it. What loads answers every method, saves to a blob
// of serialized_len bytes that loads alike, and takes edits
// (tests/cpp/overlay_exercise.hpp, shared with the seeded mutation test).
#include <cstring>

#include "fuzz.hpp"
#include "overlay_exercise.hpp"
#include "reseal.hpp"

using namespace quorvale;
using namespace qfuzz;
using namespace overlay_exercise;

namespace {

template <class Kind>
bool try_load(const Input& in, bool untrusted, const char* name) {
  std::optional<Overlay> o;
  try {
    o.emplace(Overlay::load(in.view(), overlay::TAG_OF<Kind>, untrusted));
  } catch (const IndexError& e) {
    refused(name, e.message());
    return false;
  } catch (const LimitExceeded& e) {
    refused(name, e.what());
    return false;
  }
  note(std::string("loaded as ") + name);
  if (const char* failed = exercise<Kind>(std::move(*o), untrusted)) fail(__FILE__, __LINE__, failed);
  return true;
}

}  // namespace

void qfuzz::run(Input& in) {
  if (in.reseal()) reseal_overlay(in.bytes);
  const bool string = try_load<StringIndex>(in, false, "string");
  const bool string_untrusted = try_load<StringIndex>(in, true, "string, untrusted");
  const bool perfect = try_load<PerfectHashIndex>(in, false, "perfect-hash");
  const bool compact = try_load<CompactHashIndex>(in, false, "compact-hash");
  // The untrusted open accepts only what the trusted one does.
  if (string_untrusted) QFUZZ_CHECK(string);
  QFUZZ_CHECK(int(string) + int(perfect) + int(compact) <= 1);
}

void qfuzz::seeds(Seeds& out) {
  for (const auto& [name, blob] : seed_blobs()) out.add(name, blob);
  // Left unsealed, for the checksum checks themselves.
  out.add("raw-string", seed_blobs()[1].second, 0);
}
