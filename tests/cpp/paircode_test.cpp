#include "paircode.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "varint.hpp"

namespace quorvale {
namespace {

using paircode::Code;
using paircode::Pair;
using paircode::Run;

using Runs = std::vector<std::vector<Pair>>;

std::vector<Run> views(const Runs& runs) { return {runs.begin(), runs.end()}; }

std::vector<unsigned char> record(const Code& c) {
  std::vector<unsigned char> out;
  c.write_to(out);
  return out;
}

std::uint64_t ceil8(std::uint64_t b) { return (b + 7) / 8; }

// Writes the runs under the code as a run writer would (header bits, escape
// varints) and counts the bytes, independently of the pricing arithmetic.
// Returns record-independent cost: for fields 4 + vlen(bases), for a table
// 4 + 2 * entries, plus every run's header bytes and escape varints.
std::uint64_t written_cost(const Code& code, const Runs& runs) {
  std::uint64_t cost = 0;
  if (code.is_table()) {
    const auto& t = code.table();
    cost = 4 + 2 * t.table.size();
    const auto map = t.reverse_map();
    std::uint64_t entries = 0;
    for (const auto& r : runs)
      for (const Pair& p : r) {
        ++entries;
        if (p.x > 255 || p.y > 255 || map[p.x << 8 | p.y] == 0xFFFF) {
          cost += varint::len(p.x) + varint::len(p.y);
        } else {
          const auto back = t.pair(map[p.x << 8 | p.y]);
          EXPECT_TRUE(back && *back == p);
        }
      }
    return cost + ceil8(t.e * entries);  // table-mode header bits priced as one total
  }
  const auto& f = code.fields();
  cost = 4 + varint::len(f.base_x) + varint::len(f.base_y);
  paircode::FitTables scratch;
  for (const auto& r : runs) {
    if (r.empty()) continue;
    const auto fit = paircode::fit_run(r, scratch);
    const auto fields = f.run_fields(f.header_of(fit));
    EXPECT_EQ(fields.min_x, fit.min_x);
    EXPECT_EQ(fields.min_y, fit.min_y);
    EXPECT_EQ(fields.width_x, fit.width_x);
    EXPECT_EQ(fields.width_y, fit.width_y);
    cost += ceil8(f.header_bits + r.size() * fields.width());
    for (const Pair& p : r) {
      const auto c = paircode::field_code(fields, p.x, p.y);
      if (!c) {
        cost += varint::len(p.x) + varint::len(p.y);
      } else {
        const auto back = paircode::field_pair(fields, *c);
        EXPECT_TRUE(back && *back == p);
      }
    }
  }
  return cost;
}

TEST(PairCode, AllRunsEmpty) {
  const Runs runs = {{}, {}};
  auto [code, cost] = Code::choose_cost(views(runs));
  EXPECT_FALSE(code.is_table());
  EXPECT_EQ(cost, 0u);
  EXPECT_EQ(record(code), std::vector<unsigned char>(7, 0));
  EXPECT_EQ(Code::choose_cost({}).second, 0u);
  auto back = Code::read(std::vector<unsigned char>(7, 0));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->code, code);
  EXPECT_TRUE(back->rest.empty());
}

TEST(PairCode, FitRun) {
  paircode::FitTables scratch;
  // Equal pairs: (0, 0) escapes all, (0, 1) and (1, 0) cost the same; the
  // scan keeps the smaller x width.
  const std::vector<Pair> same(5, Pair{7, 300});
  auto fit = paircode::fit_run(same, scratch);
  EXPECT_EQ(fit.min_x, 7u);
  EXPECT_EQ(fit.min_y, 300u);
  EXPECT_EQ(fit.width_x, 0u);
  EXPECT_EQ(fit.width_y, 1u);
  EXPECT_EQ(fit.escape_bytes, 0u);
  EXPECT_EQ(fit.entries, 5u);
  // Offsets (0, 0) and (3, 1): at (2, 1) the second is all ones and escapes
  // (cost 1 + 2); (2, 2) codes both in one byte and is found before (3, 1).
  const std::vector<Pair> two = {{5, 2}, {8, 3}};
  fit = paircode::fit_run(two, scratch);
  EXPECT_EQ(fit.width_x, 2u);
  EXPECT_EQ(fit.width_y, 2u);
  EXPECT_EQ(fit.escape_bytes, 0u);
  // y widths 1 and 2 tie at 4 bytes (2 of codes and the escaped (5, 8), or
  // 4 of codes): the smaller y width stays.
  std::vector<Pair> ytie(15, Pair{5, 7});
  ytie.push_back(Pair{5, 8});
  fit = paircode::fit_run(ytie, scratch);
  EXPECT_EQ(fit.width_x, 0u);
  EXPECT_EQ(fit.width_y, 1u);
  EXPECT_EQ(fit.escape_bytes, 2u);
  // One varint-heavy outlier is cheaper escaped than widening every code.
  std::vector<Pair> outlier(64, Pair{0, 1});
  outlier.push_back(Pair{1u << 20, 1});
  fit = paircode::fit_run(outlier, scratch);
  EXPECT_EQ(fit.width_x, 0u);
  EXPECT_EQ(fit.width_y, 1u);
  EXPECT_EQ(fit.escape_bytes, varint::len(1u << 20) + 1);
}

TEST(PairCode, FieldCodesAndEscapes) {
  const paircode::RunFields w21{0, 0, 2, 1};
  EXPECT_FALSE(paircode::field_code(w21, 3, 1));
  EXPECT_FALSE(paircode::field_pair(w21, 7));
  EXPECT_EQ(paircode::field_code(w21, 3, 0), 6u);
  const paircode::RunFields w22{0, 0, 2, 2};
  EXPECT_EQ(paircode::field_code(w22, 3, 1), 13u);
  EXPECT_EQ(paircode::field_pair(w22, 13), (Pair{3, 1}));
  // Below a minimum, or too wide for its field: escaped.
  const paircode::RunFields m{10, 20, 3, 3};
  EXPECT_FALSE(paircode::field_code(m, 9, 20));
  EXPECT_FALSE(paircode::field_code(m, 10, 28));
  EXPECT_EQ(paircode::field_code(m, 17, 26), (7u << 3) | 6u);
  // Both widths 0: the empty code is all ones.
  const paircode::RunFields z{4, 4, 0, 0};
  EXPECT_FALSE(paircode::field_code(z, 4, 4));
  EXPECT_FALSE(paircode::field_pair(z, 0));
}

TEST(PairCode, TableCodes) {
  paircode::TableCode t;
  t.e = 3;
  t.table = {(1 << 8) | 2, (3 << 8) | 4};
  EXPECT_EQ(t.pair(1), (Pair{3, 4}));
  for (std::uint64_t c = 2; c <= 7; ++c) EXPECT_FALSE(t.pair(c)) << c;
  EXPECT_EQ(t.escape(), 7u);
  const auto map = t.reverse_map();
  EXPECT_EQ(map[(3 << 8) | 4], 1);
  EXPECT_EQ(map[(4 << 8) | 3], 0xFFFF);
  // (256, 0) never enters a table.
  Runs runs = {std::vector<Pair>(50, Pair{256, 0}), std::vector<Pair>(3, Pair{1, 1})};
  auto best = Code::best_table(views(runs));
  ASSERT_TRUE(best.first.is_table());
  EXPECT_EQ(best.first.table().table, std::vector<std::uint16_t>{(1 << 8) | 1});
}

TEST(PairCode, ChoiceAndTies) {
  // One entry (0, 0): fields 4 + 1 + 1 + one byte of header = 7; table
  // 4 + 2 + 1 = 7 at every e up to 8: fields win, and the table is e = 1.
  const Runs one = {{{0, 0}}};
  auto table = Code::best_table(views(one));
  EXPECT_EQ(table.second, 7u);
  EXPECT_EQ(table.first.table().e, 1u);
  auto [code, cost] = Code::choose_cost(views(one));
  EXPECT_FALSE(code.is_table());
  EXPECT_EQ(cost, 7u);
  // Three distinct pairs repeated: e = 2 holds all three.
  Runs three;
  for (int i = 0; i < 40; ++i) three.push_back({{200, 1}, {3, 9}, {100, 5}});
  table = Code::best_table(views(three));
  EXPECT_EQ(table.first.table().e, 2u);
  // Gain order: (200, 1) saves 3 bytes an entry, the others 2, then x order.
  EXPECT_EQ(table.first.table().table, (std::vector<std::uint16_t>{(200 << 8) | 1, (3 << 8) | 9, (100 << 8) | 5}));
  EXPECT_EQ(table.second, 4u + 6 + 30);
  EXPECT_TRUE(Code::choose_cost(views(three)).first.is_table());
  // A minimum spread of 2^32 rules the fields variant out; so do 57 header bits.
  const Runs wide = {{{0, 1}}, {{1ULL << 32, 1}}};
  EXPECT_FALSE(Code::fields_cost(views(wide)));
  EXPECT_TRUE(Code::choose_cost(views(wide)).first.is_table());
  const Runs bulky = {{{0, 0}}, {{(1ULL << 32) - 1, (1ULL << 32) - 1}}};
  EXPECT_FALSE(Code::fields_cost(views(bulky)));
  const Runs fits = {{{0, 0}}, {{(1ULL << 32) - 1, 5}}};
  auto f = Code::fields_cost(views(fits));
  ASSERT_TRUE(f);
  EXPECT_EQ(f->first.fields().mask_n, 0xFFFFFFFFu);
  EXPECT_EQ(f->first.fields().shift_m, 32);
}

TEST(PairCode, CostsMatchWhatTheRunsTake) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 200; ++trial) {
    Runs runs(1 + rng() % 20);
    const unsigned spread = 1 + static_cast<unsigned>(rng() % 3);
    for (auto& r : runs) {
      const std::size_t n = rng() % 20;
      const std::uint64_t bx = rng() % (spread == 3 ? 100000 : 40), by = rng() % 30;
      for (std::size_t i = 0; i < n; ++i) {
        Pair p{bx + rng() % (spread * 5), by + rng() % (spread * 3)};
        if (rng() % 17 == 0) p.x += rng() % 5000;
        r.push_back(p);
      }
    }
    auto fields = Code::fields_cost(views(runs));
    ASSERT_TRUE(fields);
    EXPECT_EQ(written_cost(fields->first, runs), fields->second) << trial;
    auto table = Code::best_table(views(runs));
    EXPECT_EQ(written_cost(table.first, runs), table.second) << trial;
    auto chosen = Code::choose_cost(views(runs));
    EXPECT_EQ(chosen.second, std::min(fields->second, table.second));
    for (const Code* c : {&fields->first, &table.first}) {
      const auto rec = record(*c);
      EXPECT_EQ(rec.size(), c->record_len());
      auto back = Code::read(rec);
      ASSERT_TRUE(back);
      EXPECT_EQ(back->code, *c);
      EXPECT_EQ(record(back->code), rec);
    }
  }
}

TEST(PairCode, HeaderFieldsClampToTheCode) {
  const auto f = paircode::FieldCode::make(10, 20, 2, 3, 4, 4, 2, 2);
  paircode::RunFit fit;
  fit.min_x = 5;       // below the base: 0
  fit.min_y = 1000;    // past the mask: 15
  fit.width_x = 4;     // 2 above the least
  fit.width_y = 15;    // capped at 3
  const auto rf = f.run_fields(f.header_of(fit));
  EXPECT_EQ(rf.min_x, 10u);
  EXPECT_EQ(rf.min_y, 35u);
  EXPECT_EQ(rf.width_x, 4u);
  EXPECT_EQ(rf.width_y, 6u);
}

TEST(PairCode, Records) {
  // Fields: tag, base_x 300, base_y 1, widths (2, 3), N 4, M 5, P 1, Q 2.
  const std::vector<unsigned char> fields = {0, 0xac, 0x02, 0x01, 0x23, 4, 5, 0x12, 0xEE};
  auto r = Code::read(fields);
  ASSERT_TRUE(r);
  ASSERT_FALSE(r->code.is_table());
  const auto& f = r->code.fields();
  EXPECT_EQ(f.base_x, 300u);
  EXPECT_EQ(f.base_y, 1u);
  EXPECT_EQ(f.min_width_x, 2u);
  EXPECT_EQ(f.min_width_y, 3u);
  EXPECT_EQ(f.mask_n, 15u);
  EXPECT_EQ(f.mask_m, 31u);
  EXPECT_EQ(f.mask_p, 1u);
  EXPECT_EQ(f.mask_q, 3u);
  EXPECT_EQ(f.shift_m, 4);
  EXPECT_EQ(f.shift_p, 9);
  EXPECT_EQ(f.shift_q, 10);
  EXPECT_EQ(f.header_bits, 12);
  EXPECT_EQ(r->rest.size(), 1u);
  // Word U = 0b11_1_00010_0110: x +6, y +2, width x +1, width y +3.
  const auto rf = f.run_fields(0b11'1'00010'0110);
  EXPECT_EQ(rf.min_x, 306u);
  EXPECT_EQ(rf.min_y, 3u);
  EXPECT_EQ(rf.width_x, 3u);
  EXPECT_EQ(rf.width_y, 6u);

  const std::vector<unsigned char> table = {1, 3, 2, 0, 0x05, 0x01, 0x07, 0x02};
  r = Code::read(table);
  ASSERT_TRUE(r);
  ASSERT_TRUE(r->code.is_table());
  EXPECT_EQ(r->code.table().e, 3u);
  EXPECT_EQ(r->code.table().table, (std::vector<std::uint16_t>{0x0105, 0x0207}));
  EXPECT_EQ(record(r->code), table);

  // Loaded as they are: repeated table entries, P or Q above 4.
  EXPECT_TRUE(Code::read(std::vector<unsigned char>{1, 2, 2, 0, 1, 1, 1, 1}));
  EXPECT_TRUE(Code::read(std::vector<unsigned char>{0, 0, 0, 0xFF, 20, 20, 0xFF}) == std::nullopt);
  EXPECT_TRUE(Code::read(std::vector<unsigned char>{0, 0, 0, 0xFF, 10, 10, 0xFF}));

  const std::vector<std::vector<unsigned char>> refused = {
      {},
      {2},
      {1, 3, 0},                        // table shorter than 4 bytes
      {1, 0, 0, 0},                     // e = 0
      {1, 11, 0, 0},                    // e = 11
      {1, 2, 4, 0, 1, 1, 2, 2, 3, 3, 4, 4},  // count 2^e
      {1, 3, 2, 0, 1, 1, 2},            // entries cut short
      {0, 0x80},                        // unterminated varint
      {0, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02, 0, 0, 0, 0, 0},  // tenth byte 2
      {0, 0, 0, 0, 0, 0},               // three bytes after the varints
      {0, 0, 0, 0, 33, 0, 0},           // N = 33
      {0, 0, 0, 0, 0, 33, 0},           // M = 33
      {0, 0, 0, 0, 32, 20, 0x23},       // 57 header bits
  };
  for (const auto& bad : refused) EXPECT_FALSE(Code::read(bad)) << bad.size();
  // 56 header bits and a ten-byte varint of 2^64 - 1 load.
  EXPECT_TRUE(Code::read(std::vector<unsigned char>{0, 0, 0, 0, 32, 20, 0x22}));
  std::vector<unsigned char> big = {0};
  varint::put(big, ~0ULL);
  big.insert(big.end(), {0, 0, 0, 0, 0});
  r = Code::read(big);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->code.fields().base_x, ~0ULL);
}

TEST(PairCode, TailWord) {
  const std::vector<unsigned char> b = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(paircode::tail_word(b, 0), 0x0807060504030201ULL);
  EXPECT_EQ(paircode::tail_word(b, 2), 0x0A09080706050403ULL);
  EXPECT_EQ(paircode::tail_word(b, 7), 0x0A0908u);
  EXPECT_EQ(paircode::tail_word(b, 10), 0u);
  EXPECT_EQ(paircode::tail_word(b, ~0ULL), 0u);
  EXPECT_EQ(paircode::tail_word({}, 0), 0u);
}

}  // namespace
}  // namespace quorvale
