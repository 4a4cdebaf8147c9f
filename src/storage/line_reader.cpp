#include "line_reader.hpp"

#include <errno.h>
#include <unistd.h>

#include <cstring>

#include "error.hpp"

namespace quorvale {

LineReader::LineReader(int fd) : fd_(fd), buf_(new char[CAPACITY]) {}

bool LineReader::read_line(std::string& line, std::size_t limit) {
  line.clear();
  for (;;) {
    if (pos_ == len_) {
      ssize_t n;
      for (;;) {
        n = ::read(fd_, buf_.get(), CAPACITY);
        if (n >= 0 || errno != EINTR) break;
        if (stop_ && stop_()) throw IndexError::io_kind(IoKind::Interrupted);
      }
      if (n < 0 && errno != EBADF) throw IndexError::last_os();
      if (n <= 0) return !line.empty();
      pos_ = 0;
      len_ = static_cast<std::size_t>(n);
    }
    const char* start = buf_.get() + pos_;
    const char* feed = static_cast<const char*>(std::memchr(start, '\n', len_ - pos_));
    const std::size_t take = feed ? static_cast<std::size_t>(feed - start) + 1 : len_ - pos_;
    line.append(start, take);
    pos_ += take;
    if (feed || line.size() > limit) return true;
  }
}

}  // namespace quorvale
