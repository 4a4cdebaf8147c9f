// Lines from a file descriptor it does not own, through an 8 KiB buffer: what the command
// line's keys files and the planner's file pass both read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quorvale {

class LineReader {
 public:
  explicit LineReader(int fd);
  // The next line with its line feed, if it has one; false at the end.
  // Throws IndexError (Io) when the read fails. A closed descriptor reads as
  // empty.
  bool read_line(std::string& line) { return read_line(line, SIZE_MAX); }
  // The same, except that a line longer than `limit` is returned once it is
  // (so longer than `limit`, and cut short): a reader that refuses such
  // lines need not hold the whole line.
  bool read_line(std::string& line, std::size_t limit);
  // Asked when a signal interrupts a read: true ends the read with
  // IndexError (Io, Interrupted) instead of retrying it, so a reader blocked
  // on a terminal or a pipe can be stopped.
  void stop_on(std::function<bool()> stop) { stop_ = std::move(stop); }
  static constexpr std::size_t CAPACITY = 8192;

 private:
  int fd_;
  std::function<bool()> stop_;
  std::unique_ptr<char[]> buf_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
};

}  // namespace quorvale
