#include "charcode.hpp"

#include <algorithm>

#include "blob.hpp"
#include "error.hpp"
#include "utf8.hpp"
#include "varint.hpp"

namespace quorvale::charcode {

namespace {

// The big-endian reading of a UTF-8 form (zero padded to four bytes) orders
// characters as their code points do, and also places bytes that are no
// well-formed character where they sort among the forms.
std::uint32_t order_key(std::uint32_t packed_form) noexcept { return __builtin_bswap32(packed_form); }

// The first min(4, avail) bytes at p as an order key.
std::uint32_t order_key_of(const unsigned char* p, std::size_t avail) noexcept {
  std::uint32_t k = 0;
  for (std::size_t i = 0; i < 4; ++i) k = (k << 8) | (i < avail ? p[i] : 0u);
  return k;
}

}  // namespace

std::uint32_t packed(std::uint32_t cp) noexcept {
  unsigned char b[4] = {0, 0, 0, 0};
  utf8::encode(cp, b);
  return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

std::uint32_t unpacked(std::uint32_t value) {
  const unsigned char b[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                              static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  const utf8::Char c = utf8::decode(b, 4);
  if (c.len == 0 || (c.len < 4 && (value >> (8 * c.len)) != 0)) panic("packed from a char");
  return c.cp;
}

CharCode::CharCode(bool ascii_keeping, std::span<const std::uint32_t> characters,
                   std::span<const std::uint16_t> groups)
    : groups_(groups.begin(), groups.end()), ascii_keeping_(ascii_keeping) {
  const std::uint32_t base = ascii_keeping ? 128 : 0;
  index_.lead_base = static_cast<std::uint8_t>(base);
  const std::size_t count = characters.size();
  chars_.reserve(count + (ascii_keeping ? 128 : 0));
  for (std::uint32_t cp : characters) chars_.push_back(packed(cp));

  for (std::size_t g = 0; g + 1 < groups_.size(); ++g) {
    const std::uint32_t s = groups_[g];
    const std::uint32_t size = groups_[g + 1] - s;
    const std::uint32_t lead = (base + static_cast<std::uint32_t>(g)) & 0xFF;
    leads_[lead] = (s << 9) | size;
    const std::uint32_t len = size == 1 ? 1 : 2;
    for (std::uint32_t k = 0; k < size; ++k) {
      const std::uint32_t c = characters[s + k];
      const std::uint32_t at = size == 1 ? 0 : k;
      if (c < kDirect) {
        if (index_.direct.size() <= c) index_.direct.resize(c + 1, 0);
        index_.direct[c] = (len << 16) | (lead << 8) | at;
        continue;
      }
      const std::uint32_t block = c >> 8;
      if (index_.page_table.size() <= block) index_.page_table.resize(block + 1, 0);
      if (index_.page_table[block] == 0) {
        index_.pages.resize(index_.pages.size() + 256, 0);
        index_.page_table[block] = static_cast<std::uint16_t>(index_.pages.size() / 256);
      }
      const std::uint32_t entry = len == 2 ? 0x8000 | ((lead & 0x7F) << 8) | at : ((lead & 0x7F) << 8) | 1;
      index_.pages[(std::size_t{index_.page_table[block]} - 1) * 256 + (c & 0xFF)] = static_cast<std::uint16_t>(entry);
    }
  }
  if (ascii_keeping) {
    if (index_.direct.size() < 128) index_.direct.resize(128, 0);
    for (std::uint32_t c = 0; c < 128; ++c) {
      index_.direct[c] = (1u << 16) | (c << 8);
      leads_[c] = static_cast<std::uint32_t>((count + c) << 9) | 1;
      chars_.push_back(c);
    }
  }

  section_len_ = 2 + (groups_.size() - 1) + varint::len(count);
  for (std::size_t i = 0; i < count; ++i) section_len_ += varint::len(i == 0 ? characters[0] : characters[i] - characters[i - 1]);
}

std::optional<CharCode> CharCode::read(std::span<const unsigned char> bytes) {
  const unsigned char* p = bytes.data();
  std::size_t left = bytes.size();
  auto next_varint = [&]() -> std::optional<std::uint64_t> {
    const auto r = varint::get(p, left);
    if (!r) return std::nullopt;
    p += r->size;
    left -= r->size;
    return r->value;
  };
  if (left == 0) return std::nullopt;
  const unsigned char tag = *p++;
  --left;
  if (tag != kPlainTag && tag != kAsciiTag) return std::nullopt;
  const bool ascii = tag == kAsciiTag;
  const auto count = next_varint();
  if (!count || *count == 0 || *count > (ascii ? kMaxAscii : kMaxPlain)) return std::nullopt;
  if (left == 0) return std::nullopt;
  const std::size_t ngroups = *p++;
  --left;
  if (ngroups == 0 || ngroups > kMaxGroups || left < ngroups) return std::nullopt;
  std::vector<std::uint16_t> groups(1, 0);
  std::uint32_t sum = 0;
  for (std::size_t g = 0; g < ngroups; ++g) {
    const unsigned char size = p[g];
    if (!ascii && size >= 128) return std::nullopt;
    sum += size + 1u;
    groups.push_back(static_cast<std::uint16_t>(sum));
  }
  p += ngroups;
  left -= ngroups;
  if (sum != *count) return std::nullopt;

  std::vector<std::uint32_t> chars;
  chars.reserve(*count);
  std::uint64_t cp = 0;
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto v = next_varint();
    if (!v) return std::nullopt;
    if (i == 0) {
      cp = *v;
    } else {
      // In 64 bits: a u32 sum could wrap into a descending list that passes.
      if (*v == 0 || *v > 0x10FFFF) return std::nullopt;
      cp += *v;
    }
    if (!utf8::scalar(cp) || (ascii && cp < 128)) return std::nullopt;
    chars.push_back(static_cast<std::uint32_t>(cp));
  }
  if (left != 0) return std::nullopt;
  return CharCode(ascii, chars, groups);
}

void CharCode::write_to(std::vector<unsigned char>& out) const {
  out.push_back(ascii_keeping_ ? kAsciiTag : kPlainTag);
  const std::size_t count = listed();
  varint::put(out, count);
  out.push_back(static_cast<unsigned char>(groups_.size() - 1));
  for (std::size_t g = 0; g + 1 < groups_.size(); ++g) out.push_back(static_cast<unsigned char>(groups_[g + 1] - groups_[g] - 1));
  std::uint32_t prev = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t cp = unpacked(chars_[i]);
    varint::put(out, cp - prev);
    prev = cp;
  }
}

bool CharCode::encode_key(std::string_view key, std::vector<unsigned char>& out) const {
  const auto* p = reinterpret_cast<const unsigned char*>(key.data());
  const std::size_t n = key.size();
  const std::size_t at = out.size();
  out.resize(at + 2 * n);
  unsigned char* w = out.data() + at;
  const Index::View index = index_.view();
  bool ok = true;
  for (std::size_t i = 0; i < n;) {
    const utf8::Char c = p[i] < 0x80 ? utf8::Char{p[i], 1} : utf8::decode(p + i, n - i);
    const std::uint32_t e = c.len ? index.lookup(c.cp) : 0;
    if (e == 0) {
      ok = false;
      break;
    }
    // Two bytes always: after a one-byte code the second is overwritten next.
    w[0] = static_cast<unsigned char>(e >> 8);
    w[1] = static_cast<unsigned char>(e);
    w += e >> 16;
    i += c.len;
  }
  out.resize(static_cast<std::size_t>(w - out.data()));
  return ok;
}

Probe CharCode::probe_into(std::span<const unsigned char> query, unsigned char* buf) const noexcept {
  const unsigned char* p = query.data();
  const std::size_t n = query.size();
  std::size_t f = 0;
  const Index::View index = index_.view();
  for (std::size_t i = 0; i < n;) {
    const utf8::Char c = p[i] < 0x80 ? utf8::Char{p[i], 1} : utf8::decode(p + i, n - i);
    const std::uint32_t e = c.len ? index.lookup(c.cp) : 0;
    if (e != 0) {
      buf[f] = static_cast<unsigned char>(e >> 8);
      buf[f + 1] = static_cast<unsigned char>(e);
      f += e >> 16;
      i += c.len;
      continue;
    }
    // The query leaves the code here: the least listed character above what it
    // holds here bounds it from above among the keys that share the code so far.
    const std::uint32_t key = c.len ? order_key(packed(c.cp)) : order_key_of(p + i, n - i);
    const auto listed_end = chars_.begin() + static_cast<std::ptrdiff_t>(listed());
    const auto above = std::upper_bound(chars_.begin(), listed_end, key,
                                        [](std::uint32_t k, std::uint32_t form) { return k < order_key(form); });
    if (above != listed_end) {
      const std::uint32_t code = index_.lookup(unpacked(*above));
      buf[f] = static_cast<unsigned char>(code >> 8);
      buf[f + 1] = static_cast<unsigned char>(code);
      return {1, f + (code >> 16)};
    }
    // Every key that shares the code so far continues below the query: the
    // bound is the least string above all of them.
    while (f > 0 && buf[f - 1] == 0xFF) --f;
    if (f == 0) return {2, 0};
    ++buf[f - 1];
    return {1, f};
  }
  return {0, f};
}

void CharCode::prefixes(std::string_view key, std::vector<unsigned char>& out,
                        std::vector<std::pair<std::size_t, std::size_t>>& pairs) const {
  out.clear();
  pairs.clear();
  const auto* p = reinterpret_cast<const unsigned char*>(key.data());
  const std::size_t n = key.size();
  out.resize(2 * n);
  std::size_t f = 0;
  pairs.emplace_back(0, 0);
  const Index::View index = index_.view();
  for (std::size_t i = 0; i < n;) {
    const utf8::Char c = p[i] < 0x80 ? utf8::Char{p[i], 1} : utf8::decode(p + i, n - i);
    const std::uint32_t e = c.len ? index.lookup(c.cp) : 0;
    if (e == 0) break;
    out[f] = static_cast<unsigned char>(e >> 8);
    out[f + 1] = static_cast<unsigned char>(e);
    f += e >> 16;
    i += c.len;
    pairs.emplace_back(i, f);
  }
  out.resize(f);
}

std::optional<std::size_t> CharCode::spell(const unsigned char* code, std::size_t n, unsigned char* out) const noexcept {
  std::size_t o = 0;
  for (std::size_t i = 0; i < n;) {
    const std::uint32_t e = leads_[code[i]];
    const std::uint32_t size = e & 0x1FF;
    std::uint32_t j = e >> 9;
    if (size == 0) return std::nullopt;
    if (size == 1) {
      i += 1;
    } else {
      if (i + 1 >= n || code[i + 1] >= size) return std::nullopt;
      j += code[i + 1];
      i += 2;
    }
    const std::uint32_t form = chars_[j];
    store_le32(out + o, form);
    o += utf8::len_of(static_cast<unsigned char>(form));
  }
  return o;
}

std::vector<std::uint32_t> widths(std::span<const bool> flags, std::size_t limit) {
  std::vector<std::uint32_t> sizes;
  std::size_t run = 0;
  auto cut = [&] {
    for (; run > limit; run -= limit) sizes.push_back(static_cast<std::uint32_t>(limit));
    if (run > 0) sizes.push_back(static_cast<std::uint32_t>(run));
    run = 0;
  };
  for (bool flagged : flags) {
    if (!flagged) {
      ++run;
      continue;
    }
    cut();
    sizes.push_back(1);
  }
  cut();
  return sizes;
}

Tally::Tally() : pages(kPages) {}

void Tally::add(std::string_view key) {
  const auto* p = reinterpret_cast<const unsigned char*>(key.data());
  const std::size_t n = key.size();
  bytes += n;
  for (std::size_t i = 0; i < n;) {
    const utf8::Char c = p[i] < 0x80 ? utf8::Char{p[i], 1} : utf8::decode(p + i, n - i);
    if (c.len == 0) {
      ++i;
      continue;
    }
    auto& page = pages[c.cp >> 8];
    if (!page) page = std::make_unique<Page>(Page{});
    ++(*page)[c.cp & 0xFF];
    i += c.len;
  }
}

void Tally::merge(Tally&& other) {
  for (std::size_t i = 0; i < kPages; ++i) {
    auto& theirs = other.pages[i];
    if (!theirs) continue;
    if (!pages[i]) {
      pages[i] = std::move(theirs);
      continue;
    }
    for (std::size_t j = 0; j < 256; ++j) (*pages[i])[j] += (*theirs)[j];
    theirs.reset();
  }
  bytes += other.bytes;
  other.bytes = 0;
}

std::optional<CharCode> Tally::choose_for(std::uint64_t corpus_bytes) const {
  using u128 = unsigned __int128;
  std::vector<std::uint32_t> cps;
  std::vector<std::uint64_t> counts;
  u128 total = 0;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    if (!pages[i]) continue;
    for (std::uint32_t j = 0; j < 256; ++j) {
      const std::uint64_t k = (*pages[i])[j];
      if (k == 0) continue;
      const std::uint32_t cp = static_cast<std::uint32_t>(i * 256 + j);
      if (!utf8::scalar(cp)) panic("counted from a char");
      cps.push_back(cp);
      counts.push_back(k);
      total += k;
    }
  }
  if (cps.empty()) return std::nullopt;

  // The plain kind lists everything; past its limit, ASCII keeps its own bytes.
  const bool ascii = cps.size() > kMaxPlain;
  const std::size_t from = ascii ? static_cast<std::size_t>(std::upper_bound(cps.begin(), cps.end(), 127u) - cps.begin()) : 0;
  const std::size_t len = cps.size() - from;
  if (ascii && len > kMaxAscii) return std::nullopt;
  const std::size_t limit = ascii ? 256 : 128;
  const std::span<const std::uint32_t> listed(cps.data() + from, len);
  const std::span<const std::uint64_t> listed_counts(counts.data() + from, len);

  // Flag the most frequent characters first (ties to the lower code point).
  std::vector<std::uint32_t> order(len);
  for (std::size_t i = 0; i < len; ++i) order[i] = static_cast<std::uint32_t>(i);
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return listed_counts[a] != listed_counts[b] ? listed_counts[a] > listed_counts[b] : a < b;
  });
  std::vector<std::uint32_t> rank(len);
  for (std::size_t r = 0; r < len; ++r) rank[order[r]] = static_cast<std::uint32_t>(r);
  // Groups `widths` makes when the first k of that order are flagged.
  auto groups_with = [&](std::size_t k) {
    std::size_t groups = 0, run = 0;
    for (std::size_t i = 0; i < len; ++i) {
      if (rank[i] >= k) {
        ++run;
        continue;
      }
      groups += (run + limit - 1) / limit + 1;
      run = 0;
    }
    return groups + (run + limit - 1) / limit;
  };
  // The largest k whose flags still fit in 128 groups.
  std::size_t lo = 0, hi = len, k = 0;
  for (;;) {
    const std::size_t mid = (lo + hi + 1) / 2;
    if (groups_with(mid) > kMaxGroups) {
      hi = mid - 1;
      if (lo >= hi) {
        k = lo;
        break;
      }
    } else {
      if (mid >= hi) {
        k = mid;
        break;
      }
      lo = mid;
    }
  }
  u128 flagged = 0;
  for (std::size_t r = 0; r < k; ++r) flagged += listed_counts[order[r]];
  if (flagged * 10 < total) k = 0;

  const std::unique_ptr<bool[]> flags(new bool[len]);
  for (std::size_t i = 0; i < len; ++i) flags[i] = rank[i] < k;
  const std::vector<std::uint32_t> sizes = widths(std::span<const bool>(flags.get(), len), limit);
  std::vector<std::uint16_t> prefix(1, 0);
  for (std::uint32_t s : sizes) prefix.push_back(static_cast<std::uint16_t>(prefix.back() + s));
  CharCode code(ascii, listed, prefix);

  // Estimated coded size of the corpus against its raw size and the section.
  u128 coded = 0;
  for (std::size_t i = 0; i < cps.size(); ++i) {
    const std::uint32_t e = code.index().lookup(cps[i]);
    coded += u128{e >> 16} * counts[i];
  }
  const u128 e = corpus_bytes;
  const u128 g = coded * e / std::max<std::uint64_t>(bytes, 1);
  const u128 h = code.section_len();
  if (e * 9 < (g + h) * 10) return std::nullopt;
  if ((e > g ? e - g : 0) < 20 * h) return std::nullopt;
  return code;
}

}  // namespace quorvale::charcode
