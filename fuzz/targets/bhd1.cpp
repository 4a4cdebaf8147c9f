// The hashed-dictionary blob "BHD1" (HashedDictIndex::from_shared), with and
// without verification (this blob's payload checksum, and the embedded
// dictionary's checksum and layout checks).
//
// The verified level loads only what the unverified one loads. What loads
// must answer with ranks below n (unchecked ones below max(n, 1)), single and
// batched lookups alike from one fingerprint bit up, write itself in
// serialized_len bytes and reload from them to the same answers.
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "colliding_keys.hpp"
#include "fuzz.hpp"
#include "hashed_dict.hpp"
#include "reseal.hpp"

using namespace quorvale;
using namespace qfuzz;

namespace {

struct Answers {
  std::vector<hashed_dict::Found> single, batch;
  std::vector<std::uint64_t> unchecked;
  bool operator==(const Answers&) const = default;
};

// Keys of the dictionary's walk (a bounded number), near misses of them and strangers.
std::vector<std::string> probes_for(const HashedDictIndex& h) {
  std::vector<std::string> keys = {"", "a", "zz", "\xc3\xa9t\xc3\xa9", std::string("\0\xff", 2)};
  DictIndex::Iter it = h.dict()->iter_from(0);
  std::string text;
  std::uint64_t id = 0;
  for (int step = 0; step < 64 && it.next(text, id); ++step) {
    keys.push_back(text);
    keys.push_back(text + "\x01");
  }
  return keys;
}

Answers answer(const HashedDictIndex& h, const std::vector<std::string>& keys) {
  Answers a;
  std::vector<std::string_view> views(keys.begin(), keys.end());
  a.batch = h.ids_of(views);
  for (const std::string& k : keys) {
    a.single.push_back(h.id(k));
    a.unchecked.push_back(h.unchecked_with_side(k));
  }
  return a;
}

void exercise(const HashedDictIndex& h) {
  const std::uint64_t n = h.len();
  QFUZZ_CHECK(h.dict()->len() == n);
  const std::vector<std::string> keys = probes_for(h);
  const Answers a = answer(h, keys);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    QFUZZ_CHECK(!a.single[i].found || a.single[i].rank < n);
    QFUZZ_CHECK(!a.batch[i].found || a.batch[i].rank < n);
    QFUZZ_CHECK(a.unchecked[i] < std::max<std::uint64_t>(n, 1));
    QFUZZ_CHECK(h.contains(keys[i]) == a.single[i].found);
    // At zero bits the answers are the dictionary's single and batched
    // searches, which promise nothing alike on a damaged dictionary; from one
    // bit up both forms read the same entry.
    if (h.fingerprint_bits() > 0) QFUZZ_CHECK(a.single[i] == a.batch[i]);
  }
  const std::vector<unsigned char> own = h.to_bytes();
  QFUZZ_CHECK(own.size() == h.serialized_len());
  const HashedDictIndex back = HashedDictIndex::from_bytes(own);
  QFUZZ_CHECK(answer(back, keys) == a);
  QFUZZ_CHECK(back.to_bytes() == own);
}

}  // namespace

void qfuzz::run(Input& in) {
  if (in.reseal()) reseal_bhd1(in.bytes);
  bool unverified_loaded = false;
  for (bool verify : {false, true}) {
    try {
      const HashedDictIndex h = HashedDictIndex::from_shared(blob::SharedBytes::from_owned(in.view()), verify);
      if (verify) QFUZZ_CHECK(unverified_loaded);
      unverified_loaded = true;
      note(verify ? "loaded verified" : "loaded unverified");
      exercise(h);
    } catch (const IndexError& e) {
      refused(verify ? "verified" : "unverified", e.what());
    }
  }
}

void qfuzz::seeds(Seeds& out) {
  auto add = [&](const std::string& name, std::vector<std::string> keys, std::uint32_t bits, std::uint64_t block,
                 std::uint8_t mode = RESEAL) {
    auto d = std::make_shared<const DictIndex>(DictIndex::build_with_block(std::span<const std::string>(keys), block));
    out.add(name, HashedDictIndex::from_shared_dict(d, bits).to_bytes(), mode);
  };
  add("empty-0", {}, 0, 256);
  add("empty-8", {}, 8, 256);
  add("one-32", {"only"}, 32, 256);
  std::vector<std::string> coll = colliding::keys(3);
  coll.push_back("a");
  coll.push_back("zz");
  add("colliding-8", coll, 8, 4);
  std::vector<std::string> words, cyrillic;
  for (int k = 0; k < 300; ++k) words.push_back("w" + std::to_string(k * 7919 % 1000));
  for (int k = 0; k < 200; ++k) {
    std::string s;
    for (int c = k; c > 0 || s.empty(); c /= 26) {
      const unsigned cp = 0x430 + static_cast<unsigned>(c % 26);
      s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    cyrillic.push_back(s);
  }
  add("words-0", words, 0, 32);
  add("words-5", words, 5, 32);
  add("cyrillic-13", cyrillic, 13, 16);
  // An embedded dictionary whose heads 2 and 3 are swapped: the verified
  // level refuses it, the unverified one answers from its bytes.
  {
    const std::vector<std::string> keys{"k0", "k1", "k2", "k3"};
    auto d = std::make_shared<const DictIndex>(DictIndex::build_with_block(std::span<const std::string>(keys), 1));
    Bytes b = HashedDictIndex::from_shared_dict(d, 8).to_bytes();
    std::copy_n("k3k2", 4, b.begin() + 48 + 72 + 4);
    out.add("swapped-heads-8", b);
  }
  // Left unsealed, for the checksum checks themselves.
  add("raw-words-5", words, 5, 32, 0);
}
