// The character code: an order-preserving spelling of a key vocabulary's
// characters in one or two bytes each, so that a dictionary built over coded
// keys has the ids, ranges and prefixes of one built over the raw keys.
//
// Characters are listed in code-point order and cut into at most 128 groups;
// group i has lead byte B + i (B = 0 for the plain kind, 128 for the
// ASCII-keeping kind, which lists only characters above 127 and spells ASCII as
// itself). A character alone in its group is the lead byte; otherwise the lead
// and its index in the group. Leads rise with the groups and every lead has one
// code length, so codes compare bytewise, and prefix each other, exactly as the
// UTF-8 forms do.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvale::charcode {

inline constexpr unsigned char kPlainTag = 7;
inline constexpr unsigned char kAsciiTag = 8;
// Listed characters at most: plain kind, ASCII-keeping kind.
inline constexpr std::size_t kMaxPlain = 16'384;
inline constexpr std::size_t kMaxAscii = 32'768;
inline constexpr std::size_t kMaxGroups = 128;
// Direct-table coverage; characters from here on are paged.
inline constexpr std::uint32_t kDirect = 2'048;
// Tally pages: 256 code points each, up to 0x10FFFF.
inline constexpr std::size_t kPages = 4'352;

// The encoding side of a code.
struct Index {
  // One entry per code point below its length (all listed characters below
  // 2,048, and 0..=127 in the ASCII-keeping kind): (code length << 16) |
  // (lead << 8) | index within the group; 0 for a character not in the code.
  std::vector<std::uint32_t> direct;
  // One u16 per block of 256 code points: 0, or a page number counted from 1.
  std::vector<std::uint16_t> page_table;
  // 256 entries a page: 0x8000 | (lead & 0x7F) << 8 | index for a two-byte
  // code, (lead & 0x7F) << 8 | 1 for a one-byte code, 0 for none.
  std::vector<std::uint16_t> pages;
  // OR-ed back onto a paged lead: 0 or 0x80.
  std::uint8_t lead_base = 0;

  // The tables as plain pointers, for loops that store code bytes: a store
  // through a byte pointer may alias a vector's own fields, which would make
  // the compiler reload them for every character.
  struct View {
    const std::uint32_t* direct;
    std::size_t direct_len;
    const std::uint16_t* page_table;
    std::size_t page_table_len;
    const std::uint16_t* pages;
    std::uint32_t lead_base;

    // The code of code point c as a direct entry (length, lead, index); 0 when
    // c is not in the code.
    std::uint32_t lookup(std::uint32_t c) const noexcept {
      if (c < direct_len) return direct[c];
      const std::uint32_t block = c >> 8;
      if (block >= page_table_len || page_table[block] == 0) return 0;
      const std::uint32_t e = pages[(std::size_t{page_table[block]} - 1) * 256 + (c & 0xFF)];
      if (e == 0) return 0;
      const std::uint32_t lead = ((e >> 8) & 0x7F) | lead_base;
      return (e & 0x8000) ? (2u << 16) | (lead << 8) | (e & 0xFF) : (1u << 16) | (lead << 8);
    }
  };
  View view() const noexcept {
    return {direct.data(), direct.size(), page_table.data(), page_table.size(), pages.data(), lead_base};
  }
  std::uint32_t lookup(std::uint32_t c) const noexcept { return view().lookup(c); }
};

// What `probe_into` made of a query.
struct Probe {
  // 0: buf holds the query's exact code. 1: the query is no key and buf holds
  // the least coded string above it, which sorts among coded keys where the
  // query sorts among raw keys. 2: the query sorts after every key.
  unsigned kind;
  std::size_t len;
};

class CharCode {
 public:
  // Builds a code from its kind, its listed characters (ascending code points,
  // all above 127 for the ASCII-keeping kind) and the prefix sums of its group
  // sizes (starting with 0, at most 128 groups, each group at most 128
  // characters in the plain kind and 256 in the other). `read` and
  // `Tally::choose_for` only pass codes that meet these.
  CharCode(bool ascii_keeping, std::span<const std::uint32_t> characters, std::span<const std::uint16_t> groups);

  // Parses a character-code section that fills the bytes exactly; nothing
  // when it is malformed.
  static std::optional<CharCode> read(std::span<const unsigned char> bytes);
  // Appends the section.
  void write_to(std::vector<unsigned char>& out) const;

  // Appends the code of every character of a UTF-8 key to out. False at the
  // first character not in the code (out then holds a partial code, which
  // callers discard) or at bytes that are no well-formed character.
  bool encode_key(std::string_view key, std::vector<unsigned char>& out) const;

  // Spells a query for searching into buf, which must hold two bytes for every
  // character of the query (twice its byte length always suffices). Never
  // fails: a character outside the code, or bytes that are no well-formed
  // character, give kind 1 or 2.
  Probe probe_into(std::span<const unsigned char> query, unsigned char* buf) const noexcept;

  // Empties both vectors, then writes the key's code into out and, into pairs,
  // (UTF-8 length, code length) at every character boundary, starting with
  // (0, 0); stops quietly at the first character not in the code.
  void prefixes(std::string_view key, std::vector<unsigned char>& out,
                std::vector<std::pair<std::size_t, std::size_t>>& pairs) const;

  // Spells code bytes back to UTF-8 at out, which has room for 4 bytes a code
  // byte; returns the UTF-8 length, or nothing at a lead that names no group,
  // a missing second byte or an index not below its group's size. Each
  // character is read before it is written, so the code may lie at the end of
  // out's own 4 * n bytes.
  std::optional<std::size_t> spell(const unsigned char* code, std::size_t n, unsigned char* out) const noexcept;

  bool ascii_keeping() const noexcept { return ascii_keeping_; }
  // Listed characters (the ASCII entries appended by the ASCII-keeping kind not
  // counted).
  std::size_t listed() const noexcept { return groups_.back(); }
  // Prefix sums of the group sizes, starting with 0.
  std::span<const std::uint16_t> groups() const noexcept { return groups_; }
  const Index& index() const noexcept { return index_; }
  // Per first code byte: (index of the group's first character << 9) | group
  // size; 0 for a byte no group has.
  const std::array<std::uint32_t, 256>& leads() const noexcept { return leads_; }
  // The characters in code order, each its UTF-8 bytes in memory order (first
  // byte lowest); the ASCII-keeping kind appends 0..=127.
  std::span<const std::uint32_t> characters() const noexcept { return chars_; }
  // Bytes of the section `write_to` appends.
  std::uint64_t section_len() const noexcept { return section_len_; }

 private:
  std::vector<std::uint16_t> groups_;
  Index index_;
  std::array<std::uint32_t, 256> leads_{};
  std::vector<std::uint32_t> chars_;
  std::uint64_t section_len_ = 0;
  bool ascii_keeping_ = false;
};

// A character histogram of keys: 256 counts per page of code points, pages
// made on first use.
struct Tally {
  using Page = std::array<std::uint64_t, 256>;
  std::vector<std::unique_ptr<Page>> pages;  // kPages entries
  // UTF-8 bytes of the keys added.
  std::uint64_t bytes = 0;

  Tally();
  // Counts one key's characters and bytes. Bytes that are no well-formed
  // character are skipped one at a time (a key is text by contract).
  void add(std::string_view key);
  // Adds another tally's counts, taking over the pages this one lacks.
  void merge(Tally&& other);
  // The code for the tallied keys, or nothing when no code pays. corpus_bytes
  // is the UTF-8 size of the corpus the tally stands for (its own bytes when it
  // counted every key).
  std::optional<CharCode> choose_for(std::uint64_t corpus_bytes) const;
};

// Group sizes from per-character flags (characters in code-point order): every
// maximal stretch of unflagged characters is cut into groups of limit, the last
// group of the stretch taking the remainder; every flagged character is a group
// of one.
std::vector<std::uint32_t> widths(std::span<const bool> flags, std::size_t limit);

// A character's UTF-8 form in memory order (first byte lowest), and back. A
// value that is no such form is a broken invariant ("packed from a char").
std::uint32_t packed(std::uint32_t cp) noexcept;
std::uint32_t unpacked(std::uint32_t value);

}  // namespace quorvale::charcode
