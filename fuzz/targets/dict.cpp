// The dictionary "BDX3"/"BDX4" (DictIndex::from_shared), unverified and
// verified (payload checksum and the walk of the offset arrays), running the
// body every damaged-input check of the dictionary shares
// (tests/cpp/dict_exercise.hpp): each load is refused with one of the
// loader's messages or succeeds, and then key over a spread of ids, bounded
// iter_from walks, sections and write_to with a reload (which must write the
// same bytes again) stay inside the blob and end. A verified load implies the
// unverified one.
#include <algorithm>
#include <stdexcept>

#include "dict_exercise.hpp"
#include "dict_fixtures.hpp"
#include "dict_index/dict_index.hpp"
#include "fuzz.hpp"

using namespace quorvale;
using namespace qfuzz;

namespace {

bool load_and_exercise(std::span<const unsigned char> b, bool verify) {
  std::optional<DictIndex> d;
  try {
    d.emplace(DictIndex::from_shared(blob::SharedBytes::from_owned(b), verify));
  } catch (const IndexError& e) {
    QFUZZ_CHECK(e.kind() == IndexError::Kind::Format);
    QFUZZ_CHECK(dictfix::known_refusal(e.what()));
    refused(verify ? "verified" : "unverified", e.message());
    return false;
  }
  note(verify ? "loaded, verified" : "loaded, unverified");
  if (d->chars) note("loaded with a character code");
  try {
    dictfix::exercise_index(*d, b.size());
  } catch (const std::logic_error& e) {
    fail(__FILE__, __LINE__, e.what());
  }
  return true;
}

}  // namespace

void qfuzz::run(Input& in) {
  if (in.reseal()) dictfix::reseal(in.bytes);  // both checksums
  const bool plain = load_and_exercise(in.view(), false);
  const bool verified = load_and_exercise(in.view(), true);
  if (verified) QFUZZ_CHECK(plain);
}

void qfuzz::seeds(Seeds& out) {
  // Laid out by hand and by the test-side writer: every codec, both header
  // modes, escapes, character codes, ties.
  out.add("empty", dictfix::empty_index());
  out.add("key-a", dictfix::key_a_index());
  // No keys but a head byte: loads, and the verified walk refuses it.
  Bytes stray = dictfix::empty_index();
  stray[16] = 1;  // heads length
  stray.insert(stray.begin() + 72, 'h');
  dictfix::reseal(stray);
  out.add("empty-with-a-head-byte", stray);
  int i = 0;
  for (const auto& f : dictfix::fixtures()) {
    std::string name = "fixture-" + std::to_string(i++) + "-";
    for (char c : f.name) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
    out.add(name, dictfix::write(f.spec).blob);
  }
  // Built by the library.
  auto built = [](const DictIndex& d) {
    Bytes b;
    d.write_to([&](std::span<const unsigned char> s) { b.insert(b.end(), s.begin(), s.end()); });
    return b;
  };
  std::vector<std::string> words;
  for (int k = 0; k < 300; ++k) words.push_back("word-" + std::to_string(k * 7919 % 10007) + (k % 4 ? "" : "-end"));
  for (std::uint64_t block : {1, 4, 64}) out.add("built-block" + std::to_string(block), built(DictIndex::build_with_block(words, block)));
  std::vector<std::string> cyrillic;
  for (int k = 0; k < 200; ++k) {
    std::string w;
    for (int c = 0, len = 2 + k % 5; c < len; ++c) {
      const unsigned cp = 0x430 + (k * 13 + c * 7) % 32;
      w += static_cast<char>(0xC0 | (cp >> 6));
      w += static_cast<char>(0x80 | (cp & 0x3F));
    }
    cyrillic.push_back(w);
  }
  std::sort(cyrillic.begin(), cyrillic.end());
  cyrillic.erase(std::unique(cyrillic.begin(), cyrillic.end()), cyrillic.end());
  const std::vector<dict_index::Key> keys(cyrillic.begin(), cyrillic.end());
  if (auto code = dict_index::choose_code(keys, 1))
    out.add("built-coded", built(DictIndex::from_coded(keys, 4, dict_index::micro_for(4), *code)));
  // Left unsealed, for the checksum checks themselves.
  Bytes raw = dictfix::key_a_index();
  raw.back() ^= 1;
  out.add("raw-bad-checksum", raw, 0);
}
