// The command line's streams: sinks over descriptors, the 8 KiB buffers,
// and the locks on the process's standard streams.
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "cli.hpp"

namespace quorvale::cli {

Fail io_fail(const IndexError& error) { return Fail::work(error.message()); }

Fail Fail::about(const std::string& path, const IndexError& error) {
  if (error.message().starts_with(path + ":")) return from(error);
  return work(path + ": " + error.display());
}

// ---- FdOut ----

void FdOut::write_through(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), std::min<std::size_t>(bytes.size(), 0x7ffff000));
    if (n < 0) {
      // A signal that asked to stop ends a write blocked on a full pipe.
      if (errno == EINTR && interrupted() == 0) continue;
      if (errno == EINTR) throw IndexError::io_kind(IoKind::Interrupted);
      // Nobody is listening on a closed stream: what was meant for it is done.
      if (errno == EBADF) return;
      throw IndexError::last_os();
    }
    if (n == 0) throw IndexError::io(IoKind::WriteZero, "failed to write whole buffer");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void FdOut::write_all(std::string_view bytes) {
  if (!line_buffered_) {
    write_through(bytes);
    return;
  }
  const std::size_t last_feed = bytes.rfind('\n');
  if (last_feed == std::string_view::npos) {
    pending_.append(bytes);
    if (pending_.size() >= BufOut::CAPACITY) flush();
    return;
  }
  // Everything up to the last line feed goes out now, the rest waits.
  pending_.append(bytes.substr(0, last_feed + 1));
  flush();
  pending_.append(bytes.substr(last_feed + 1));
}

void FdOut::flush() {
  std::string out;
  out.swap(pending_);  // bytes of a failed write are not tried again
  write_through(out);
}

// ---- BufOut ----

BufOut::~BufOut() {
  try {
    drain();
  } catch (...) {
  }
}

void BufOut::write_all(std::string_view bytes) {
  if (buf_.size() + bytes.size() > CAPACITY) drain();
  if (bytes.size() >= CAPACITY) {
    inner_.write_all(bytes);
    return;
  }
  buf_.append(bytes);
}

void BufOut::drain() {
  if (buf_.empty()) return;
  std::string out;
  out.swap(buf_);
  buf_.reserve(CAPACITY);
  inner_.write_all(out);
}

void BufOut::flush() {
  drain();
  inner_.flush();
}

// ---- the standard streams ----

namespace {

struct Standard {
  std::mutex out_lock;
  std::mutex in_lock;
  std::mutex err_lock;
  // Kept for the process: a line left in standard output's buffer, or input
  // read ahead, belongs to the next run.
  FdOut out{1, true};
  LineReader in{0};
  FdOut err{2, false};
  Standard() { in.stop_on(stop_probe()); }
};

Standard& standard() {
  static Standard* s = new Standard();  // never destroyed: may be used until exit
  return *s;
}

}  // namespace

struct StdStreams::Held {
  std::unique_lock<std::mutex> out;
  std::unique_lock<std::mutex> in;
  std::unique_lock<std::mutex> err;
};

StdStreams::StdStreams() : held_(new Held) {
  Standard& s = standard();
  held_->out = std::unique_lock<std::mutex>(s.out_lock);
  held_->in = std::unique_lock<std::mutex>(s.in_lock);
  held_->err = std::unique_lock<std::mutex>(s.err_lock);
}

StdStreams::~StdStreams() {
  held_->err.unlock();
  held_->in.unlock();
  try {
    standard().out.flush();
  } catch (...) {
  }
  held_->out.unlock();
}

Out& StdStreams::out() noexcept { return standard().out; }
LineReader& StdStreams::in() noexcept { return standard().in; }
Out& StdStreams::err() noexcept { return standard().err; }

}  // namespace quorvale::cli
