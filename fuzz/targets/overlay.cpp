// The overlay blob, "OVL2" and the older "OVL1", over each base kind: loaded
// with the loader of every base class (a string-index base trusted and
// untrusted).
//
// A refusal is an IndexError or, for a blob past an overlay's limits,
// LimitExceeded; any other exception is a finding. The base tag decides
// which class can load a blob, so at most one class's loader (two for a
// string index) accepts it. A load and its first query (a lookup, the key of
// id 0 and the first key of the walk) keep to the memory line
// (memory_line.hpp), a refusal too. What loads answers every method, saves
// to a blob of serialized_len bytes that loads alike, and takes edits
// (tests/cpp/overlay_exercise.hpp, shared with the seeded mutation test;
// its key walks run under a step budget, as a base of 1 KB can spell 2^40
// keys).
#include <cstring>

#include "fuzz.hpp"
#include "memory_line.hpp"
#include "overlay_exercise.hpp"
#include "reseal.hpp"

using namespace quorvale;
using namespace qfuzz;
using namespace overlay_exercise;

namespace {

// What a caller asks first of an overlay it loaded. A walk over a crafted
// string index behind the trusted loader may end in IndexError (the
// exercise tells which may).
void first_query(const Overlay& o) {
  (void)o.id(probes()[1]);
  if (!o.base().stores_keys()) return;
  try {
    (void)o.key(0);
    (void)walk_keys(o, 1, 1);
  } catch (const IndexError&) {
  }
}

template <class Kind>
bool try_load(const Input& in, bool untrusted, const char* name) {
  std::optional<Overlay> o;
  const MemoryLine line(in.bytes.size());
  try {
    o.emplace(Overlay::load(in.view(), overlay::TAG_OF<Kind>, untrusted));
  } catch (const IndexError& e) {
    line.check("a refused load");
    refused(name, e.message());
    return false;
  } catch (const LimitExceeded& e) {
    line.check("a refused load");
    refused(name, e.what());
    return false;
  }
  first_query(*o);
  line.check("a load and its first query");
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
