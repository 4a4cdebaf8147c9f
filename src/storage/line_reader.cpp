#include "line_reader.hpp"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "error.hpp"

namespace quorvale {

LineReader::LineReader(int fd, std::size_t capacity)
    : fd_(fd), capacity_(std::max<std::size_t>(capacity, 1)), buf_(new char[capacity_]) {}

std::size_t LineReader::fill() {
  ssize_t n;
  for (;;) {
    n = ::read(fd_, buf_.get() + len_, capacity_ - len_);
    if (n >= 0 || errno != EINTR) break;
    if (stop_ && stop_()) throw IndexError::io_kind(IoKind::Interrupted);
  }
  if (n < 0 && errno != EBADF) throw IndexError::last_os();
  return n < 0 ? 0 : static_cast<std::size_t>(n);
}

void LineReader::scan(std::size_t from) {
  const char* base = buf_.get();
  const void* last = ::memrchr(base + from, '\n', len_ - from);
  whole_ = last ? static_cast<std::size_t>(static_cast<const char*>(last) - base) + 1 : pos_;
  checked_ = utf8::valid(reinterpret_cast<const unsigned char*>(base + pos_), whole_ - pos_);
}

bool LineReader::next_line_slow(std::string_view& line, bool& checked, std::size_t limit) {
  // buf_[pos_, len_) holds no line feed: the start of a line, or nothing.
  long_.clear();
  char* const buf = buf_.get();
  for (;;) {
    std::size_t tail = len_ - pos_;
    if (!long_.empty() || tail == capacity_) {
      // Longer than the buffer: gathered apart, the buffer reused. Under a
      // limit, room for all it may gather is taken at once, so that growing
      // never holds two copies.
      if (long_.empty() && limit <= SIZE_MAX - 2 * capacity_) long_.reserve(limit + capacity_ + 1);
      long_.append(buf + pos_, tail);
      pos_ = whole_ = len_ = 0;
      if (long_.size() > limit) break;
    } else {
      if (tail > limit) {
        line = std::string_view(buf + pos_, tail);
        pos_ = whole_ = len_;
        checked = false;
        return true;
      }
      if (pos_ != 0) {
        std::memmove(buf, buf + pos_, tail);
        pos_ = whole_ = 0;
        len_ = tail;
      }
    }
    const std::size_t from = len_;
    const std::size_t got = fill();
    if (got == 0) {
      if (!long_.empty()) break;
      if (tail == 0) return false;
      // A last line without a line feed.
      line = std::string_view(buf + pos_, tail);
      pos_ = whole_ = len_;
      checked = false;
      return true;
    }
    len_ += got;
    if (long_.empty()) {
      scan(from);
      if (whole_ != pos_) return next_line(line, checked, limit);
      continue;
    }
    const char* feed = static_cast<const char*>(std::memchr(buf, '\n', len_));
    if (!feed) continue;
    const std::size_t n = static_cast<std::size_t>(feed - buf);
    long_.append(buf, n);
    pos_ = n + 1;
    scan(pos_);
    break;
  }
  line = long_;
  checked = false;
  return true;
}

}  // namespace quorvale
