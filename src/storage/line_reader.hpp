// Lines of keys files, from a file descriptor the reader does not own: the
// one reader behind the planner's pass over a keys file and the command
// line's readers (keys held in memory, and streamed keys), so that all of
// them cut the same bytes into the same keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "utf8.hpp"

namespace quorvale {

// Physical lines: the bytes up to a line feed, or up to the end of the input
// for a last line without one. The input is read in blocks; the whole lines
// of a block are checked for UTF-8 at once and handed out in place.
class LineReader {
 public:
  static constexpr std::size_t CAPACITY = std::size_t{1} << 20;
  // `capacity`: the bytes one read asks for (at least 1).
  explicit LineReader(int fd, std::size_t capacity = CAPACITY);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line without its line feed; false at the end of the input.
  // The view lasts until the next call. `checked`: known to be valid UTF-8
  // (false: not looked at). A line longer than `limit` is handed out as soon
  // as more than `limit` of its bytes are in, cut short there, and the rest
  // of it is left unread: a reader that refuses such lines never holds one
  // whole. Throws IndexError (Io) when a read fails; a closed descriptor
  // reads as empty.
  bool next_line(std::string_view& line, bool& checked, std::size_t limit = SIZE_MAX) {
    if (pos_ == whole_) return next_line_slow(line, checked, limit);
    const char* p = buf_.get() + pos_;
    const char* feed = static_cast<const char*>(std::memchr(p, '\n', whole_ - pos_));
    const std::size_t n = static_cast<std::size_t>(feed - p);
    pos_ += n + 1;
    line = std::string_view(p, n);
    checked = checked_;
    return true;
  }
  // Asked when a signal interrupts a read: true ends the read with
  // IndexError (Io, Interrupted) instead of retrying it, so a reader blocked
  // on a terminal or a pipe can be stopped.
  void stop_on(std::function<bool()> stop) { stop_ = std::move(stop); }
  // Gives back the memory of a line that was longer than a block.
  void release_long_line() noexcept { std::string().swap(long_); }

 private:
  bool next_line_slow(std::string_view& line, bool& checked, std::size_t limit);
  // One read into buf_[len_, capacity_); 0 at the end.
  std::size_t fill();
  // Sets whole_ past the last line feed in [pos_, len_) and checks those lines.
  void scan(std::size_t from);

  int fd_;
  std::size_t capacity_;
  std::function<bool()> stop_;
  std::unique_ptr<char[]> buf_;
  // buf_[pos_, whole_) holds whole lines (checked_ says whether they are
  // valid UTF-8); buf_[whole_, len_) the start of the next line, no feed.
  std::size_t pos_ = 0;
  std::size_t whole_ = 0;
  std::size_t len_ = 0;
  bool checked_ = false;
  std::string long_;  // a line longer than the buffer, gathered apart
};

// The keys of a keys file, one a line, by the rules every reader of one
// follows: one trailing line feed is dropped, then one carriage return (so
// also at the end of a last line without a feed), and a carriage return
// anywhere else stays; a line left empty is skipped and counted; every other
// line is a key exactly as written; lines are numbered from 1, every
// physical line counted.
class KeyLines {
 public:
  enum class Got : std::uint8_t {
    Key,      // the next key, valid UTF-8
    End,      // the end of the input
    NotUtf8,  // line() is not valid UTF-8
    TooLong,  // line() holds a key longer than the limit (read no further)
  };
  explicit KeyLines(LineReader& reader, std::size_t limit = SIZE_MAX)
      : reader_(reader), limit_(limit), raw_limit_(limit >= SIZE_MAX - 1 ? SIZE_MAX : limit + 1) {}
  KeyLines(const KeyLines&) = delete;
  KeyLines& operator=(const KeyLines&) = delete;
  ~KeyLines() { reader_.release_long_line(); }

  // The key lasts until the next call. A failed read throws the reader's
  // IndexError, line() then being the line it was reading.
  Got next(std::string_view& key) {
    for (;;) {
      ++line_;
      std::string_view line;
      bool checked;
      if (!reader_.next_line(line, checked, raw_limit_)) {
        --line_;
        return Got::End;
      }
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.size() > limit_) return Got::TooLong;
      if (line.empty()) {
        ++empty_;
        continue;
      }
      if (!checked && !utf8::valid(line)) return Got::NotUtf8;
      key = line;
      return Got::Key;
    }
  }
  // The line of the last key or failure (after End: the number of lines).
  std::uint64_t line() const noexcept { return line_; }
  // Empty lines skipped so far.
  std::uint64_t empty_lines() const noexcept { return empty_; }

 private:
  LineReader& reader_;
  std::size_t limit_;
  std::size_t raw_limit_;  // a carriage return may follow the longest key
  std::uint64_t line_ = 0;
  std::uint64_t empty_ = 0;
};

}  // namespace quorvale
