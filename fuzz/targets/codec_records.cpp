// The dictionary's codec records and sections, one reader per input chosen by
// its first stored byte (mod 5): the symbol table (fsst::Table::from_bytes),
// the pair code (paircode::Code::read, as many records as follow one
// another), the packed alphabet (packed::Alphabet::from_bytes), the character
// code (charcode::CharCode::read) and the phrase dictionary
// (phrase::Dict::read). The rest of the input is the record.
//
// Each record is refused or loads; what loads writes back byte for byte
// (varints in their shortest form: a record read with a longer varint writes
// the shortest one, and the record rewritten so reads back the same), and
// answers its queries inside its buffers: coding a text round-trips, and
// decoding arbitrary codes stays inside the output. No checksum: mode bit 0
// is ignored.
#include <array>
#include <cstring>

#include "charcode.hpp"
#include "fsst.hpp"
#include "fuzz.hpp"
#include "packed.hpp"
#include "packed_util.hpp"
#include "paircode.hpp"
#include "phrase.hpp"
#include "utf8.hpp"
#include "varint.hpp"

using namespace quorvale;
using namespace qfuzz;

namespace {

enum Kind : unsigned char { kTable, kPairCode, kPacked, kCharCode, kPhrases, kKinds };

// Texts to code: slices of the record itself, and fixed ones.
std::vector<Bytes> texts_from(std::span<const unsigned char> b) {
  std::vector<Bytes> t = {{}, {'a'}, {'a', 'b', 'a', 'b'}, {0, 255, 0}};
  const std::size_t stride = b.size() / 8 + 1;
  for (std::size_t at = 0; at < b.size(); at += stride)
    t.emplace_back(b.begin() + at, b.begin() + at + std::min<std::size_t>(b.size() - at, 1 + at % 40));
  return t;
}

// ---- symbol table -----------------------------------------------------------------

void table(std::span<const unsigned char> b) {
  const auto t = fsst::Table::from_bytes(b);
  if (!t) return refused("table", "refused");
  note("table: loaded");
  Bytes back;
  t->write_to(back);
  QFUZZ_CHECK(back.size() == t->record_len());
  QFUZZ_CHECK(std::equal(back.begin(), back.end(), b.begin(), b.end()));
  const fsst::Encoder enc = t->encoder();
  for (const Bytes& s : texts_from(b)) {
    Bytes codes;
    enc.encode(s, codes);
    QFUZZ_CHECK(codes.size() <= 2 * s.size());
    Bytes raw(2 * s.size() + 1);
    QFUZZ_CHECK(enc.encode(s, raw.data()) == codes.size() && std::equal(codes.begin(), codes.end(), raw.begin()));
    Bytes out;
    QFUZZ_CHECK(t->decode_into(codes, out, UINT64_MAX));
    QFUZZ_CHECK(out == s);
    // Arbitrary codes (the text itself) decode or fail inside the output.
    out.clear();
    (void)t->decode_into(s, out, s.size() % 40);
  }
}

// ---- pair code --------------------------------------------------------------------

// The record with its varints in their shortest form: field mode (tag 0) is
// two varints and four bytes; table mode has none.
Bytes shortest(std::span<const unsigned char> record) {
  if (record.empty() || record[0] != 0) return Bytes(record.begin(), record.end());
  Bytes out{0};
  auto rest = record.subspan(1);
  for (int i = 0; i < 2; ++i) {
    const auto v = varint::get(rest);
    QFUZZ_CHECK(v.has_value());
    varint::put(out, v->value);
    rest = rest.subspan(v->size);
  }
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

void pair_code(std::span<const unsigned char> b) {
  std::span<const unsigned char> rest = b;
  bool any = false;
  while (auto r = paircode::Code::read(rest)) {
    any = true;
    QFUZZ_CHECK(r->rest.size() < rest.size());
    const auto record = rest.first(rest.size() - r->rest.size());
    note(r->code.is_table() ? "pair code: table loaded" : "pair code: fields loaded");
    Bytes again;
    r->code.write_to(again);
    QFUZZ_CHECK(again.size() == r->code.record_len());
    QFUZZ_CHECK(again == shortest(record));
    const auto twice = paircode::Code::read(again);
    QFUZZ_CHECK(twice && twice->code == r->code && twice->rest.empty());
    if (r->code.is_table()) {
      const paircode::TableCode& t = r->code.table();
      QFUZZ_CHECK(t.table.size() < (std::uint64_t{1} << t.e));
      QFUZZ_CHECK(!t.pair(t.escape()));
      const std::vector<std::uint16_t> reverse = t.reverse_map();
      QFUZZ_CHECK(reverse.size() == 65536);
      for (std::size_t c = 0; c < t.table.size(); ++c) {
        const auto p = t.pair(c);
        QFUZZ_CHECK(p && p->x < 256 && p->y < 256);
        const std::uint16_t at = reverse[(p->x << 8) | p->y];
        QFUZZ_CHECK(at < t.table.size() && t.table[at] == t.table[c]);
      }
    } else {
      // Run headers as a decoder reads them (widths past 15 are damage it
      // refuses), and their codes both ways: every code below 2^width that is
      // not the escape spells a pair that codes back to it.
      const paircode::FieldCode& f = r->code.fields();
      const std::uint64_t mixed = record.size() * std::uint64_t{0x9e3779b97f4a7c15};
      for (std::uint64_t word : {std::uint64_t{0}, ~std::uint64_t{0}, std::uint64_t{0x0123456789abcdef}, mixed}) {
        const paircode::RunFields run = f.run_fields(word);
        if (run.width_x > 15 || run.width_y > 15) continue;
        // Minima so close to 2^64 that their pairs wrap: nothing a writer makes
        // (they are lengths), and a decoder bounds whatever they spell.
        if (run.min_x > UINT64_MAX - 0x8000 || run.min_y > UINT64_MAX - 0x8000) {
          note("pair code: fields whose pairs wrap");
          continue;
        }
        for (std::uint64_t code = 0; code < std::min<std::uint64_t>(64, std::uint64_t{1} << run.width()); ++code) {
          const auto p = paircode::field_pair(run, code);
          if (!p) continue;
          QFUZZ_CHECK(paircode::field_code(run, p->x, p->y) == code);
        }
        for (std::uint64_t dx : {0, 1, 7, 1000})
          for (std::uint64_t dy : {0, 1, 300})
            if (const auto c = paircode::field_code(run, run.min_x + dx, run.min_y + dy))
              QFUZZ_CHECK(paircode::field_pair(run, *c) == (paircode::Pair{run.min_x + dx, run.min_y + dy}));
      }
    }
    rest = r->rest;
    if (rest.empty()) break;
  }
  if (!any) refused("pair code", "refused");
}

// ---- packed alphabet -------------------------------------------------------------

void packed_alphabet(std::span<const unsigned char> b) {
  const auto a = packed::Alphabet::from_bytes(b);
  if (!a) return refused("packed", "refused");
  note("packed: loaded");
  Bytes back;
  a->write_to(back);
  QFUZZ_CHECK(back.size() == a->record_len());
  QFUZZ_CHECK(std::equal(back.begin(), back.end(), b.begin(), b.end()));
  QFUZZ_CHECK(a->width >= 1 && a->width <= 8 && !a->primary.empty());
  for (Bytes s : texts_from(b)) {
    // Bytes it codes: any byte with escapes, else only its own.
    if (a->secondary.empty())
      for (auto& c : s) c = a->primary[c % a->primary.size()];
    const packedtest::Packed coded = packedtest::pack(*a, s);
    Bytes out;
    QFUZZ_CHECK(a->decode_into(coded.bytes.data(), coded.bytes.size(), 0, coded.codes, out, UINT64_MAX));
    QFUZZ_CHECK(out == s);
    // Arbitrary codes decode or fail inside the data.
    out.clear();
    (void)a->decode_into(s.data(), s.size(), s.size() % 8, 1 + s.size() % 64, out, UINT64_MAX);
  }
}

// ---- character code --------------------------------------------------------------

// The section with its varints (the count, then every character's delta) in
// their shortest form; the input is one CharCode::read accepted.
Bytes shortest_chars(std::span<const unsigned char> s) {
  Bytes out{s[0]};
  auto rest = s.subspan(1);
  const auto count = varint::get(rest);
  QFUZZ_CHECK(count.has_value());
  varint::put(out, count->value);
  rest = rest.subspan(count->size);
  const std::size_t groups = rest[0];
  out.insert(out.end(), rest.begin(), rest.begin() + 1 + groups);
  rest = rest.subspan(1 + groups);
  for (std::uint64_t i = 0; i < count->value; ++i) {
    const auto v = varint::get(rest);
    QFUZZ_CHECK(v.has_value());
    varint::put(out, v->value);
    rest = rest.subspan(v->size);
  }
  QFUZZ_CHECK(rest.empty());
  return out;
}

void char_code(std::span<const unsigned char> b) {
  const auto code = charcode::CharCode::read(b);
  if (!code) return refused("charcode", "refused");
  note(code->ascii_keeping() ? "charcode: ASCII-keeping loaded" : "charcode: loaded");
  Bytes back;
  code->write_to(back);
  QFUZZ_CHECK(back.size() == code->section_len());
  QFUZZ_CHECK(back == shortest_chars(b));
  const auto again = charcode::CharCode::read(back);
  QFUZZ_CHECK(again.has_value());
  Bytes twice;
  again->write_to(twice);
  QFUZZ_CHECK(twice == back);
  // Texts of its own characters, strangers and the record's bytes.
  std::vector<std::string> texts;
  const auto chars = code->characters();
  for (std::size_t i = 0; i < chars.size(); i += 1 + chars.size() / 8) {
    unsigned char u[8];
    std::string s;
    for (std::size_t k = i; k < std::min(chars.size(), i + 5); ++k) s.append(reinterpret_cast<const char*>(u), utf8::encode(chars[k], u));
    texts.push_back(s);
  }
  texts.push_back("a\xc3\xa9z");
  for (const Bytes& t : texts_from(b)) texts.emplace_back(t.begin(), t.end());
  for (const std::string& s : texts) {
    Bytes coded;
    const bool ok = code->encode_key(s, coded);
    Bytes buf(2 * s.size());
    const auto probe = code->probe_into({reinterpret_cast<const unsigned char*>(s.data()), s.size()}, buf.data());
    QFUZZ_CHECK((probe.kind == 0) == ok);
    QFUZZ_CHECK(probe.len <= buf.size());
    if (ok) QFUZZ_CHECK(probe.len == coded.size() && std::equal(coded.begin(), coded.end(), buf.begin()));
    std::string out(4 * coded.size(), '\0');
    const auto n = code->spell(coded.data(), coded.size(), reinterpret_cast<unsigned char*>(out.data()));
    if (ok) QFUZZ_CHECK(n && out.substr(0, *n) == s);
    Bytes prefix_code;
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    code->prefixes(s, prefix_code, pairs);
    QFUZZ_CHECK(!pairs.empty() && pairs.front() == (std::pair<std::size_t, std::size_t>{0, 0}));
    for (std::size_t i = 1; i < pairs.size(); ++i)
      QFUZZ_CHECK(pairs[i].first > pairs[i - 1].first && pairs[i].second > pairs[i - 1].second &&
                  pairs[i].first <= s.size() && pairs[i].second <= prefix_code.size());
    if (ok) QFUZZ_CHECK(prefix_code == coded);
    // Arbitrary code bytes (the text itself) spell or fail inside their buffer.
    std::string junk_out(4 * s.size(), '\0');
    (void)code->spell(reinterpret_cast<const unsigned char*>(s.data()), s.size(), reinterpret_cast<unsigned char*>(junk_out.data()));
  }
}

// ---- phrase dictionary -----------------------------------------------------------

void phrases(std::span<const unsigned char> b) {
  const auto d = phrase::Dict::read(b);
  if (!d) return refused("phrases", "refused");
  note("phrases: loaded");
  Bytes back;
  d->write_to(back);
  QFUZZ_CHECK(back.size() == d->section_len());
  QFUZZ_CHECK(std::equal(back.begin(), back.end(), b.begin(), b.end()));
  for (std::uint32_t i = 0; i < d->count(); ++i) {
    const auto s = d->locate(i);
    QFUZZ_CHECK(s.len >= 1 && s.len <= phrase::kMaxLen);
    QFUZZ_CHECK(s.start + 32 <= d->bytes().size());
    QFUZZ_CHECK(d->phrase(i).size() == s.len);
  }
  const phrase::Dict copy = d->clone();
  Bytes again;
  copy.write_to(again);
  QFUZZ_CHECK(again == back);
}

}  // namespace

void qfuzz::run(Input& in) {
  if (in.bytes.empty()) return;
  const std::span<const unsigned char> record = in.view().subspan(1);
  switch (in.bytes[0] % kKinds) {
    case kTable: return table(record);
    case kPairCode: return pair_code(record);
    case kPacked: return packed_alphabet(record);
    case kCharCode: return char_code(record);
    default: return phrases(record);
  }
}

namespace {

void add(Seeds& out, const std::string& name, Kind kind, const Bytes& record) {
  Bytes b{static_cast<unsigned char>(kind)};
  b.insert(b.end(), record.begin(), record.end());
  out.add(name, b, 0);
}

}  // namespace

void qfuzz::seeds(Seeds& out) {
  std::uint64_t x = 21;
  auto rnd = [&x] { return (x = x * 6364136223846793005ULL + 1442695040888963407ULL) >> 33; };
  // Symbol tables trained on syllables, at several sizes.
  for (std::size_t max : {0, 3, 40, 255}) {
    std::vector<Bytes> samples;
    for (int i = 0; i < 200; ++i) {
      Bytes s(rnd() % 21);
      for (auto& c : s) c = static_cast<unsigned char>('a' + rnd() % 5);
      samples.push_back(s);
    }
    std::vector<fsst::Bytes> views(samples.begin(), samples.end());
    Bytes rec;
    fsst::Table::train_to(views, max).write_to(rec);
    add(out, "table-max" + std::to_string(max), kTable, rec);
  }
  // Pair codes: the fields variant then the best table, small and wide pairs.
  for (int s = 0; s < 4; ++s) {
    std::vector<std::vector<paircode::Pair>> runs(1 + rnd() % 6);
    for (auto& r : runs)
      for (std::size_t i = rnd() % 12; i > 0; --i) r.push_back({rnd() % (s < 2 ? 300 : 70000), rnd() % 40});
    std::vector<paircode::Run> views(runs.begin(), runs.end());
    Bytes rec;
    if (auto f = paircode::Code::fields_cost(views)) f->first.write_to(rec);
    paircode::Code::best_table(views).first.write_to(rec);
    add(out, "pair-codes-" + std::to_string(s), kPairCode, rec);
  }
  // Packed alphabets over 1 to 256 distinct bytes.
  for (unsigned distinct : {1u, 2u, 3u, 9u, 70u, 256u}) {
    std::array<std::uint64_t, 256> h{};
    for (unsigned i = 0; i < distinct; ++i) h[(i * 37) % 256] = 1 + rnd() % (i < 4 ? 5000 : 50);
    Bytes rec;
    packed::Alphabet::of(h)->first.write_to(rec);
    add(out, "packed-" + std::to_string(distinct), kPacked, rec);
  }
  // Character codes, plain and ASCII-keeping.
  for (bool ascii : {false, true}) {
    for (std::size_t n : {1, 5, 300}) {
      std::vector<std::uint32_t> chars;
      std::uint32_t c = ascii ? 0x80 : 0x20;
      for (std::size_t i = 0; i < n; ++i) {
        c += 1 + static_cast<std::uint32_t>(rnd() % (i % 7 == 0 ? 5000 : 30));
        if (c >= 0xD800 && c < 0xE000) c = 0xE000;
        chars.push_back(c);
      }
      std::vector<std::uint16_t> groups = {0};
      while (groups.back() < n) {
        const std::size_t want = groups.size() > 100 ? 128 : 1 + rnd() % 4 * (rnd() % 40);
        groups.push_back(static_cast<std::uint16_t>(groups.back() + std::min<std::size_t>(n - groups.back(), want)));
      }
      Bytes rec;
      charcode::CharCode(ascii, chars, groups).write_to(rec);
      add(out, std::string(ascii ? "charcode-ascii-" : "charcode-") + std::to_string(n), kCharCode, rec);
    }
  }
  // Phrase dictionaries, one group and two.
  for (std::size_t n : {0, 1, 3, 300}) {
    std::vector<std::string> list;
    for (std::size_t i = 0; i < n; ++i) list.push_back(std::string(1 + rnd() % 32, static_cast<char>('a' + rnd() % 26)));
    Bytes rec;
    phrase::Dict::of(list).write_to(rec);
    add(out, "phrases-" + std::to_string(n), kPhrases, rec);
  }
}
