// The dictionary blob ("BDX3"/"BDX4", DictIndex::from_shared) at both
// verification levels. Every refusal must be one of the loader's messages;
// what loads decodes keys by id, iterates, searches (single lookups, batched
// lookups, prefix ranges, before and after the route words, with every rank
// in 0..=n) without reading outside its blob or a query, and writes itself
// back to bytes that load and write alike. The body is the one the C++
// mutation loop runs (tests/cpp/dict_exercise.hpp); a broken expectation
// there is thrown, escapes, and is a finding. The loads and all they run
// stay within the memory line (memory_line.hpp).
#include <span>
#include <string>
#include <vector>

#include "dict_exercise.hpp"
#include "dict_fixtures.hpp"
#include "fuzz.hpp"
#include "memory_line.hpp"
#include "reseal.hpp"

using namespace quorvale;

void qfuzz::run(Input& in) {
  if (in.reseal()) reseal_dict(in.bytes);
  // One line for both levels and everything they run (each level's index is
  // gone before the next loads), route words included.
  const MemoryLine line(in.bytes.size());
  dictfix::exercise(in.view(), [&](bool verify, const std::string& message) {
    refused(verify ? "verified" : "unverified", message);
  });
  line.check("the loads at both levels and their queries");
}

void qfuzz::seeds(Seeds& out) {
  out.add("empty", dictfix::empty_index());
  out.add("key-a", dictfix::key_a_index());
  // No keys but a head byte: loads, and only the verified walk refuses it.
  Bytes stray = dictfix::empty_index();
  stray[16] = 1;  // heads length
  stray.insert(stray.begin() + 72, 'h');
  reseal_dict(stray);
  out.add("empty-with-a-head-byte", stray);
  // Hand-laid blobs: every codec (Tiered phrases included), both header
  // modes, escapes, character codes, tied samples, edge block shapes.
  int i = 0;
  for (const auto& f : dictfix::fixtures()) out.add("laid-" + std::to_string(i++), dictfix::write(f.layout).blob);
  // Blobs of the build.
  std::vector<std::string> paths, words, cyrillic;
  for (int k = 0; k < 300; ++k) paths.push_back("/usr/share/doc/pkg" + std::to_string(k % 17) + "/file" + std::to_string(k));
  for (const auto& k : dictfix::random_keys(400, 81, "abcdefghij", 10)) words.push_back(k);
  for (const auto& k : dictfix::random_keys(200, 82, "abcdef", 6)) {
    std::string s;
    for (char c : k) s += dictsearch::utf8_of(0x430 + static_cast<std::uint32_t>(c - 'a'));
    cyrillic.push_back(s);
  }
  for (const auto* keys : {&paths, &words, &cyrillic}) {
    const DictIndex d = DictIndex::build_with_block(std::span<const std::string>(*keys), 32);
    std::vector<unsigned char> blob;
    d.write_to([&](std::span<const unsigned char> s) { blob.insert(blob.end(), s.begin(), s.end()); });
    out.add("built-" + std::to_string(i++), blob);
  }
  // More microblocks than the block data carries (refused at every level,
  // before the verified walk over them), and exactly as many as it does.
  out.add("route-heavy", dictfix::route_heavy(256, 1024, 1, 0));
  out.add("walk-heavy", dictfix::route_heavy(256, 1024, 2, 0));
  out.add("route-at-bound", dictfix::route_heavy(16, 1024, 32, 15 * 256));
  // One-key microblocks with a byte of block data each, and microblocks of
  // two keys with a byte each: route words of 16 and 8 bytes a byte.
  out.add("one-key-microblocks", dictfix::route_heavy(8, 1024, 1, 3584));
  out.add("byte-microblocks", dictfix::route_heavy(16, 1024, 2, 7680));
  // Block heads 2 and 3 swapped: the verified level refuses it.
  {
    dictfix::Layout s;
    s.keys = {"k0", "k1", "k2", "k3"};
    s.block = 1;
    s.micro = 1;
    const auto w = dictfix::write(s);
    Bytes b = w.blob;
    std::copy_n("k3k2", 4, b.begin() + static_cast<std::ptrdiff_t>(w.heads_at) + 4);
    out.add("swapped-heads", b);
  }
  // Left unsealed, for the checksum checks themselves.
  out.add("raw-key-a", dictfix::key_a_index(), 0);
}
