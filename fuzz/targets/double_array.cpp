// The double array "BDA1": DoubleArrayIndex::from_shared verified and not,
// from_bytes, and (mode bit 1) the file loaders load and load_mmap over the
// bytes written to a scratch file.
//
// Every loader refuses with a format error or loads; the verified loads
// agree with from_bytes and load, the unverified ones with load_mmap, and a
// verified load implies the unverified one. On what loads, the invariants
// that keep every walk inside the slots hold (read from the bytes,
// independently of the loader), and every query (id, contains,
// common_prefix, longest_prefix, occurrences, label) over fixed texts and
// slices of the input answers only ids below the key count, in ranges of its
// text, each occurrence and prefix match agreeing with a lookup of its text.
#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "double_array.hpp"
#include "fuzz.hpp"
#include "reseal.hpp"
#include "scratch.hpp"
#include "utf8.hpp"

using namespace quorvale;
using namespace qfuzz;

namespace {

const std::vector<std::string> kTexts = {
    "", "a", "ab", "abc", "ba", "abab", "zz", "\xc3\xa9", "\xe4\xb8\xad\xe6\x96\x87", "\xf0\x9f\x98\x80" "a",
    "a\xf0\x9f\x98\x80" "ab\xc3\xa9zz", "\xff\xfe", "a\xc3", "\xf0\x9f\x98", "xyzzy", std::string(300, 'a'),
};

// The byte offset of character `chars` of a UTF-8 text.
std::size_t byte_offset(std::string_view t, std::size_t chars) {
  std::size_t at = 0;
  for (std::size_t c = 0; c < chars; ++c) {
    QFUZZ_CHECK(at < t.size());
    at += utf8::len_of(static_cast<unsigned char>(t[at]));
  }
  return at;
}

void invariants(std::span<const unsigned char> b, const DoubleArrayIndex& idx) {
  const std::uint64_t K = load_le64(&b[4]), S = load_le64(&b[20]), C = load_le32(&b[28]), L = load_le32(&b[36]);
  QFUZZ_CHECK(idx.len() == K && idx.slot_count() == S);
  QFUZZ_CHECK(idx.serialized_len() == b.size());
  QFUZZ_CHECK(S == 0 || L < S);
  for (std::uint64_t c = 0; c < C; ++c) QFUZZ_CHECK(load_le16(&b[64 + 8 * S + 2 * c]) <= L);
  for (auto s : idx.supplementary()) QFUZZ_CHECK(s.label >= 1 && s.label <= L);
  for (std::uint64_t i = 0; i < S; ++i) {
    const std::uint64_t w = load_le64(&b[64 + 8 * i]);
    if (w & double_array::FINAL) QFUZZ_CHECK(double_array::id_of(w) < K);
    if (!(w & double_array::LEAF)) QFUZZ_CHECK(double_array::base_of(w) + L < S);
  }
  for (char32_t c : {char32_t{0}, char32_t{'a'}, char32_t{0xff}, char32_t{0x4e2d}, char32_t{0xffff}, char32_t{0x10000},
                     char32_t{0x1f600}, char32_t{0x10ffff}, char32_t{0x110000}, char32_t{0xffffffff}})
    QFUZZ_CHECK(idx.label(c) <= L);
}

void query(const DoubleArrayIndex& idx, const std::string& t) {
  const std::uint64_t K = idx.len();
  const auto id = idx.id(t);
  if (id) QFUZZ_CHECK(*id < K);
  QFUZZ_CHECK(idx.contains(t) == id.has_value());
  std::vector<PrefixMatch> prefixes;
  idx.common_prefix(t, prefixes);
  std::size_t last = 0;
  for (std::size_t i = 0; i < prefixes.size(); ++i) {
    const PrefixMatch& m = prefixes[i];
    QFUZZ_CHECK(m.id < K && m.bytes <= t.size());
    QFUZZ_CHECK(i == 0 || m.bytes > last);
    last = m.bytes;
    QFUZZ_CHECK(idx.id(std::string_view(t).substr(0, m.bytes)) == m.id);
  }
  const auto longest = idx.longest_prefix(t);
  QFUZZ_CHECK(longest.has_value() == !prefixes.empty());
  if (longest) QFUZZ_CHECK(*longest == prefixes.back());
  if (id) QFUZZ_CHECK(longest && longest->bytes == t.size() && longest->id == *id);
  std::vector<Occurrence> occ;
  idx.occurrences(t, occ);
  const bool valid = utf8::valid(t);
  for (std::size_t i = 0; i < occ.size(); ++i) {
    const Occurrence& o = occ[i];
    QFUZZ_CHECK(o.id < K && o.start < o.end && o.end <= t.size());
    if (i > 0) QFUZZ_CHECK(occ[i - 1].start < o.start || (occ[i - 1].start == o.start && occ[i - 1].end < o.end));
    if (valid) {
      const std::size_t from = byte_offset(t, o.start), to = byte_offset(t, o.end);
      QFUZZ_CHECK(idx.id(std::string_view(t).substr(from, to - from)) == o.id);
    }
  }
}

// Every query over the fixed texts and slices of the stored bytes (the
// labels and code points inside them).
void queries(const DoubleArrayIndex& idx, std::span<const unsigned char> b) {
  for (const std::string& t : kTexts) query(idx, t);
  const std::size_t stride = b.size() / 16 + 1;
  for (std::size_t at = 64; at < b.size(); at += stride) {
    const std::size_t len = std::min<std::size_t>(b.size() - at, 1 + at % 23);
    query(idx, std::string(reinterpret_cast<const char*>(b.data() + at), len));
  }
}

struct Outcome {
  std::optional<DoubleArrayIndex> index;
  std::string message;
};

template <class Load>
Outcome load(const char* how, Load&& f) {
  Outcome o;
  try {
    o.index.emplace(f());
  } catch (const IndexError& e) {
    QFUZZ_CHECK(e.kind() == IndexError::Kind::Format);
    o.message = e.message();
    refused(how, e.message());
  }
  return o;
}

void same(const Outcome& a, const Outcome& b) {
  QFUZZ_CHECK(a.index.has_value() == b.index.has_value());
  QFUZZ_CHECK(a.message == b.message);
}

}  // namespace

void qfuzz::run(Input& in) {
  if (in.reseal()) reseal_bda1(in.bytes);
  const std::span<const unsigned char> b = in.view();
  const Outcome plain = load("unverified", [&] { return DoubleArrayIndex::from_shared(blob::SharedBytes::from_owned(b), false); });
  const Outcome verified = load("verified", [&] { return DoubleArrayIndex::from_shared(blob::SharedBytes::from_owned(b), true); });
  same(load("from_bytes", [&] { return DoubleArrayIndex::from_bytes(b); }), verified);
  if (in.bit(1)) {
    const std::string path = scratch("double-array") + "/blob";
    write_file(path, b);
    same(load("load", [&] { return DoubleArrayIndex::load(path); }), verified);
    same(load("load_mmap", [&] { return DoubleArrayIndex::load_mmap(path); }), plain);
  }
  if (verified.index) QFUZZ_CHECK(plain.index.has_value());
  if (!plain.index) QFUZZ_CHECK(verified.message == plain.message || verified.message == "payload checksum mismatch");
  if (plain.index && !verified.index) QFUZZ_CHECK(verified.message == "payload checksum mismatch");
  if (!plain.index) return;
  note(verified.index ? "loaded, verified" : "loaded, unverified only");
  invariants(b, *plain.index);
  queries(*plain.index, b);
  // The index reads the bytes it was given, in place.
  const std::span<const unsigned char> own = plain.index->blob().bytes();
  QFUZZ_CHECK(std::equal(own.begin(), own.end(), b.begin(), b.end()));
}

void qfuzz::seeds(Seeds& out) {
  std::vector<std::pair<std::string, std::vector<std::string>>> sets = {
      {"empty", {}},
      {"empty-key", {""}},
      {"two", {"a", "b"}},
      {"prefix", {"ab", "b"}},
      {"few", {"", "a", "ab", "abc", "b", "ba", "zz"}},
      {"wide-chars", {"a", "\xc3\xa9", "\xe4\xb8\xad", "\xe4\xb8\xad\xe6\x96\x87", "\xf0\x9f\x98\x80" "a", "\xf0\x90\x8d\x88"}},
  };
  std::set<std::string> many;
  std::uint64_t x = 3;
  while (many.size() < 200) {
    std::string k;
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    for (int j = 0, n = 1 + static_cast<int>((x >> 33) % 6); j < n; ++j) k += "abcz"[(x >> (40 + 2 * j)) % 4];
    many.insert(k);
  }
  sets.emplace_back("many", std::vector<std::string>(many.begin(), many.end()));
  const std::uint8_t kFiles = RESEAL | 0x02;
  for (auto& [name, keys] : sets) {
    std::sort(keys.begin(), keys.end());
    std::vector<std::string_view> v(keys.begin(), keys.end());
    const DoubleArrayIndex idx = DoubleArrayIndex::build_ranked(v);
    out.add(name, idx.blob().bytes(), name == "few" ? kFiles : RESEAL);
  }
  // Left unsealed, for the checksum checks themselves.
  std::vector<std::string_view> v = {"x", "y"};
  const DoubleArrayIndex two = DoubleArrayIndex::build_ranked(v);
  Bytes raw(two.blob().bytes().begin(), two.blob().bytes().end());
  raw.back() ^= 1;
  out.add("raw-bad-checksum", raw, 0);
}
