// The inspector (inspect::parse) over bytes in memory, as a top-level blob and
// as an overlay's base region.
//
// Every input is named or refused with one of the inspector's format errors,
// nothing else; what is named claims only sizes that fit the bytes, and an
// overlay's base is itself no overlay. The inspector reads headers only, with
// no checksum, so there is nothing to reseal: mode bit 0 is ignored.
#include <set>
#include <string>

#include "blob_fixtures.hpp"
#include "closed_hash.hpp"
#include "compact_hash/compact_hash.hpp"
#include "dict_fixtures.hpp"
#include "double_array.hpp"
#include "fuzz.hpp"
#include "hash.hpp"
#include "inspect.hpp"
#include "mphf.hpp"
#include "perfect_hash.hpp"
#include "string_index.hpp"

using namespace quorvale;
using namespace qfuzz;

namespace {

const std::set<std::string>& messages() {
  static const std::set<std::string> m = {
      inspect::MSG_TRUNCATED, inspect::MSG_NO_MAGIC,   inspect::MSG_UNKNOWN,
      kinds::MSG_OLD_PERFECT, kinds::MSG_OLD_COMPACT, kinds::MSG_OLD_CLOSED,
      inspect::MSG_NESTED,    inspect::MSG_COUNTS,     inspect::MSG_TOMBSTONES,
  };
  return m;
}

void check_fits(const inspect::BlobInfo& info, std::uint64_t len, bool nested) {
  QFUZZ_CHECK(info.bytes == len);
  QFUZZ_CHECK(info.format.size() == 4);
  if (info.mph_bytes) QFUZZ_CHECK(*info.mph_bytes <= len);
  if (info.arena_bytes) QFUZZ_CHECK(*info.arena_bytes <= len);
  QFUZZ_CHECK(info.overlay.has_value() == (info.kind == kinds::Kind::Overlay));
  if (info.overlay) {
    QFUZZ_CHECK(!nested);
    if (const auto& base = info.overlay->base) {
      QFUZZ_CHECK(base->bytes <= len);
      QFUZZ_CHECK(base->kind != kinds::Kind::Overlay && !base->overlay);
    }
  }
}

void parse(const Bytes& bytes, bool nested) {
  const inspect::SliceSource source(bytes);
  try {
    const inspect::BlobInfo info = inspect::parse(inspect::Window::whole(source), nested);
    check_fits(info, bytes.size(), nested);
    note(std::string(nested ? "nested: " : "named: ") + kinds::of(info.kind).name);
  } catch (const IndexError& e) {
    QFUZZ_CHECK(e.kind() == IndexError::Kind::Format);
    QFUZZ_CHECK(messages().count(e.message()) == 1);
    refused(nested ? "nested" : "top", e.message());
  }
}

}  // namespace

void qfuzz::run(Input& in) {
  parse(in.bytes, false);
  parse(in.bytes, true);
}

void qfuzz::seeds(Seeds& out) {
  using namespace blob_fixtures;
  const std::vector<std::string> keys = numbered(60);
  std::vector<std::string_view> views(keys.begin(), keys.end());
  const Bytes perfect = PerfectHashIndex::build(std::span<const std::string>(keys)).to_bytes();
  out.add("perfect", perfect, 0);
  std::vector<std::uint64_t> hashes;
  for (const std::string& k : keys) hashes.push_back(hash::hash_pair(k).first);
  std::sort(hashes.begin(), hashes.end());
  out.add("mph", Mphf::build_with_threads(hashes, 1).to_bytes(), 0);
  Bytes six;
  VecWriter w(six);
  StringIndex::build(keys).write_to(w);
  out.add("string-index", six, 0);
  out.add("closed", ClosedHashIndex::build(views).to_bytes(), 0);
  out.add("compact", CompactHashIndex::build(views).to_bytes(), 0);
  const DoubleArrayIndex da = DoubleArrayIndex::build_ranked(views);
  out.add("double-array", da.blob().bytes(), 0);
  const Bytes dict = dictfix::write(dictfix::fixtures().front().layout).blob;
  out.add("dict", dict, 0);
  const Bytes small_six = blob_fixtures::string_index(numbered(8));
  out.add("overlay2-six", overlay_v2(1, small_six, {"a", "bb"}, {5, 0}), 0);
  out.add("overlay1-six", overlay_v1(1, small_six, {"a", "bb", ""}, {3}), 0);
  out.add("overlay2-perfect", overlay_v2(2, perfect, {"zz"}, {1}), 0);
  for (const char* magic : {"BDX1", "BDX2", "BDX4"}) {
    std::size_t len = 0;
    out.add(std::string("header-") + magic, dictionary(magic, len), 0);
  }
  Bytes b = made("BHD1", 48 + 100 + 16 + 80 + 24);
  put64(b, 16, 100);
  put64(b, 24, 16);
  put32(b, 32, 1);
  out.add("header-BHD1", b, 0);
}
