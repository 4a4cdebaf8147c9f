#include "blob.hpp"
#include "huge_pages.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>

#include "scratch_files.hpp"

namespace quorvale {

void BlockHasher::update(std::span<const unsigned char> bytes) noexcept {
  if (bytes.empty()) return;  // an empty span may carry a null pointer
  total_ += bytes.size();
  std::size_t i = 0;
  if (pending_len_ > 0) {
    std::size_t take = std::min<std::size_t>(8 - pending_len_, bytes.size());
    std::memcpy(pending_ + pending_len_, bytes.data(), take);
    pending_len_ += take;
    i = take;
    if (pending_len_ < 8) return;
    state_ = step(state_, load_le64(pending_));
    pending_len_ = 0;
  }
  for (; i + 8 <= bytes.size(); i += 8) state_ = step(state_, load_le64(bytes.data() + i));
  pending_len_ = bytes.size() - i;
  if (pending_len_) std::memcpy(pending_, bytes.data() + i, pending_len_);
}

std::uint64_t BlockHasher::finish() const noexcept {
  std::uint64_t state = state_;
  if (pending_len_ > 0) {
    unsigned char word[8] = {};
    std::memcpy(word, pending_, pending_len_);
    state = step(state, load_le64(word));
  }
  return fin(state ^ total_);
}

namespace blob {

std::uint64_t hash_block(std::span<const unsigned char> bytes) noexcept {
  BlockHasher h;
  h.update(bytes);
  return h.finish();
}

std::uint64_t header_hash(std::span<const unsigned char> bytes) noexcept {
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (unsigned char c : bytes) h = (h ^ c) * 0x100000001b3ULL;
  return fin(h);
}

void prefault([[maybe_unused]] std::span<const unsigned char> bytes) noexcept {
#ifdef MADV_POPULATE_READ
  // A few pages fault in as cheaply as one request.
  if (bytes.size() < quorvale::detail::RESIDENT_MIN) return;
  static const std::uintptr_t page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(bytes.data()) & ~(page - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(bytes.data()) + bytes.size() + page - 1) & ~(page - 1);
  ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_READ);
#endif
}

}  // namespace blob

// ---- File ----

namespace {

[[noreturn]] void throw_os() { throw IndexError::last_os(); }

IndexError unexpected_eof() { return IndexError::io(IoKind::UnexpectedEof, "failed to fill whole buffer"); }
IndexError write_zero() { return IndexError::io(IoKind::WriteZero, "failed to write whole buffer"); }

int sync_fd(int fd) {
  int rc;
  do rc = ::fsync(fd);
  while (rc != 0 && errno == EINTR);
  return rc;
}

// Largest single read or write the system takes.
constexpr std::size_t kMaxIo = 0x7ffff000;

}  // namespace

File File::open_read(const std::string& path) {
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) throw_os();
  return File(fd);
}

File File::create_new(const std::string& path) {
  int fd;
  do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) throw_os();
  return File(fd);
}

bool File::set_direct(bool on) noexcept {
  const int flags = ::fcntl(fd_, F_GETFL);
  if (flags < 0 || ::fcntl(fd_, F_SETFL, on ? (flags | O_DIRECT) : (flags & ~O_DIRECT)) != 0) return false;
  direct_ = on;
  return true;
}

bool File::drop_direct() noexcept {
  const int refused = errno;  // the error to report when the mode cannot be left
  const bool dropped = direct_ && set_direct(false);
  errno = refused;
  return dropped;
}

void File::write_all(std::span<const unsigned char> bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd_, bytes.data(), std::min(bytes.size(), kMaxIo));
    if (n < 0) {
      if (errno == EINTR || (errno == EINVAL && drop_direct())) continue;
      throw_os();
    }
    if (n == 0) throw write_zero();
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
}

std::size_t File::read_some(std::span<unsigned char> out) {
  for (;;) {
    ssize_t n = ::read(fd_, out.data(), std::min(out.size(), kMaxIo));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR && !(errno == EINVAL && drop_direct())) throw_os();
  }
}

void File::read_exact(std::span<unsigned char> out) {
  while (!out.empty()) {
    std::size_t n = read_some(out);
    if (n == 0) throw unexpected_eof();
    out = out.subspan(n);
  }
}

void File::write_all_at(std::span<const unsigned char> bytes, std::uint64_t offset) {
  while (!bytes.empty()) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) throw IndexError::os(EINVAL);
    ssize_t n = ::pwrite(fd_, bytes.data(), std::min(bytes.size(), kMaxIo), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os();
    }
    if (n == 0) throw write_zero();
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
}

void File::read_exact_at(std::span<unsigned char> out, std::uint64_t offset) {
  while (!out.empty()) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) throw IndexError::os(EINVAL);
    ssize_t n = ::pread(fd_, out.data(), std::min(out.size(), kMaxIo), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_os();
    }
    if (n == 0) throw unexpected_eof();
    out = out.subspan(static_cast<std::size_t>(n));
    offset += static_cast<std::uint64_t>(n);
  }
}

std::size_t File::read_some_at(std::span<unsigned char> out, std::uint64_t offset) const {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) throw IndexError::os(EINVAL);
  for (;;) {
    ssize_t n = ::pread(fd_, out.data(), std::min(out.size(), kMaxIo), static_cast<off_t>(offset));
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) throw_os();
  }
}

std::uint64_t File::seek(std::uint64_t offset) {
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) throw IndexError::os(EINVAL);
  off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET);
  if (at < 0) throw_os();
  return static_cast<std::uint64_t>(at);
}

std::uint64_t File::position() const {
  off_t at = ::lseek(fd_, 0, SEEK_CUR);
  if (at < 0) throw_os();
  return static_cast<std::uint64_t>(at);
}

std::uint64_t File::size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) throw_os();
  return static_cast<std::uint64_t>(st.st_size);
}

void File::set_len(std::uint64_t len) {
  if (len > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) throw IndexError::os(EINVAL);
  int rc;
  do rc = ::ftruncate(fd_, static_cast<off_t>(len));
  while (rc != 0 && errno == EINTR);
  if (rc != 0) throw_os();
}

void File::sync_all() {
  if (sync_fd(fd_) != 0) throw_os();
}

void File::close() {
  int fd = std::exchange(fd_, -1);
  direct_ = false;
  // The descriptor is released even when close reports an error; never retry.
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) throw_os();
}

void File::close_quietly() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  direct_ = false;
}

// ---- BufWriter ----

BufWriter::BufWriter(File& file) : file_(file), buf_(new unsigned char[CAPACITY]) {}

BufWriter::~BufWriter() {
  try {
    flush();
  } catch (...) {
  }
}

void BufWriter::write_all(std::span<const unsigned char> bytes) {
  if (bytes.empty()) return;  // an empty vector's data() may be null
  if (bytes.size() <= CAPACITY - len_) {
    std::memcpy(buf_.get() + len_, bytes.data(), bytes.size());
    len_ += bytes.size();
    return;
  }
  flush();
  if (bytes.size() >= CAPACITY) {
    file_.write_all(bytes);
  } else {
    std::memcpy(buf_.get(), bytes.data(), bytes.size());
    len_ = bytes.size();
  }
}

void BufWriter::flush() {
  if (len_ == 0) return;
  // Drop the buffered bytes whatever the outcome, so that a failed write is
  // not repeated by a later flush.
  std::size_t n = std::exchange(len_, 0);
  file_.write_all({buf_.get(), n});
}

std::uint64_t BufWriter::seek(std::uint64_t offset) {
  flush();
  return file_.seek(offset);
}

namespace blob {

// ---- SharedBytes ----

namespace {

struct OwnedBytes final : SharedBytes::Owner {
  explicit OwnedBytes(Pages<unsigned char>&& p) noexcept : pages(std::move(p)) {}
  Pages<unsigned char> pages;
};

struct GrownBytes final : SharedBytes::Owner {
  explicit GrownBytes(GrowingPages<unsigned char>&& p) noexcept : pages(std::move(p)) {}
  GrowingPages<unsigned char> pages;
};

struct MappedBytes final : SharedBytes::Owner {
  MappedBytes(void* a, std::size_t l) noexcept : addr(a), len(l) {}
  ~MappedBytes() override {
    if (addr) ::munmap(addr, len);
  }
  void* addr;
  std::size_t len;
};

}  // namespace

SharedBytes SharedBytes::from_pages(Pages<unsigned char>&& pages) {
  auto owner = std::make_shared<OwnedBytes>(std::move(pages));
  const unsigned char* data = owner->pages.data();
  std::size_t len = owner->pages.size();
  return SharedBytes(std::move(owner), data, len, false);
}

SharedBytes SharedBytes::from_growing(GrowingPages<unsigned char>&& pages, std::size_t len) {
  if (len > pages.size()) panic("a grown table holds its bytes");
  if (len == 0) return SharedBytes();
  auto owner = std::make_shared<GrownBytes>(std::move(pages));
  const unsigned char* data = owner->pages.data();
  return SharedBytes(std::move(owner), data, len, false);
}

SharedBytes SharedBytes::from_owned(std::span<const unsigned char> bytes) {
  Pages<unsigned char> pages = Pages<unsigned char>::allocate(bytes.size());
  if (!bytes.empty()) std::memcpy(pages.data(), bytes.data(), bytes.size());
  return from_pages(std::move(pages));
}

SharedBytes SharedBytes::from_owned(std::vector<unsigned char>&& bytes) {
  std::vector<unsigned char> taken = std::move(bytes);
  return from_owned(std::span<const unsigned char>(taken));
}

SharedBytes SharedBytes::read_file(const std::string& path) {
  constexpr std::size_t kMax = static_cast<std::size_t>(PTRDIFF_MAX);
  File file = File::open_read(path);
  const std::uint64_t reported = file.size();
  if (reported > kMax) throw IndexError::io_kind(IoKind::OutOfMemory);
  // Read to its end as soon as it is made: its pages are supplied at once.
  Pages<unsigned char> buf = Pages<unsigned char>::allocate_resident(static_cast<std::size_t>(reported));
  std::size_t len = 0;
  for (;;) {
    if (len < buf.size()) {
      std::size_t got = file.read_some(std::span<unsigned char>(buf.data() + len, buf.size() - len));
      if (got == 0) break;
      len += got;
      continue;
    }
    // The buffer is full. A small read tells the end of a file from a stream
    // whose size the system does not know (0 for a pipe) or a file that grew.
    unsigned char probe[64];
    std::size_t got = file.read_some(probe);
    if (got == 0) break;
    if (buf.size() > kMax / 2) throw IndexError::io_kind(IoKind::OutOfMemory);
    Pages<unsigned char> bigger = Pages<unsigned char>::allocate(std::max<std::size_t>(buf.size() * 2, 64 * 1024));
    if (len > 0) std::memcpy(bigger.data(), buf.data(), len);
    std::memcpy(bigger.data() + len, probe, got);
    len += got;
    buf = std::move(bigger);
  }
  file.close();
  SharedBytes all = from_pages(std::move(buf));
  // A stream leaves part of its last buffer unused; a file that shrank ends early.
  return len == all.size() ? all : all.slice(0, len);
}

SharedBytes SharedBytes::map_file(const std::string& path) {
  File file = File::open_read(path);
  std::uint64_t size = file.size();
  if (size > static_cast<std::uint64_t>(PTRDIFF_MAX)) {
    throw IndexError::io(IoKind::InvalidData, "memory map length overflows isize");
  }
  std::size_t len = static_cast<std::size_t>(size);
  if (len == 0) {
    // A map of length 0 is refused by the system; an empty view needs none.
    return SharedBytes(std::make_shared<MappedBytes>(nullptr, 0), empty_bytes(), 0, true);
  }
  auto owner = std::make_shared<MappedBytes>(nullptr, len);  // before the map: no leak if this throws
  void* addr = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, file.fd(), 0);
  if (addr == MAP_FAILED) throw_os();
  owner->addr = addr;
  file.close();  // the map stays valid without the descriptor
  const unsigned char* data = static_cast<const unsigned char*>(addr);
  return SharedBytes(std::move(owner), data, len, true);
}

SharedBytes SharedBytes::slice(std::size_t offset, std::size_t len) const {
  if (offset > len_ || len > len_ - offset) panic("a sub-view lies inside its view");
  return SharedBytes(owner_, data_ + offset, len, mapped_);
}

// ---- Atomic writer ----

TargetParts split_target(const std::string& path) {
  // Components are read as a path library that ignores trailing separators
  // and "." components after the first would read them: "a/b/" and "a/b/."
  // both name "b" in "a".
  std::string s = path;
  for (;;) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    if (s.size() >= 2 && s.compare(s.size() - 2, 2, "/.") == 0) {
      s.pop_back();
      continue;
    }
    break;
  }
  TargetParts parts{".", "index"};
  if (s.empty() || s.find_first_not_of('/') == std::string::npos) return parts;  // empty or the root
  std::size_t slash = s.rfind('/');
  std::string last = slash == std::string::npos ? s : s.substr(slash + 1);
  std::string prefix = slash == std::string::npos ? std::string() : s.substr(0, slash + 1);
  if (last != "." && last != "..") parts.name = last;
  if (!prefix.empty()) {
    std::size_t keep = prefix.find_last_not_of('/');
    parts.dir = keep == std::string::npos ? std::string("/") : prefix.substr(0, keep + 1);
  }
  return parts;
}

namespace detail {

TempFile::TempFile(const std::string& target) : target_(target) {
  dir_ = split_target(target).dir;
  auto [file, path] = scratch::create_file_beside(target, ".tmp");
  file_ = std::move(file);
  temp_path_ = std::move(path);
  struct stat st;
  if (::stat(target_.c_str(), &st) == 0) {
    int rc;
    do rc = ::fchmod(file_.fd(), st.st_mode & 07777);
    while (rc != 0 && errno == EINTR);
    // Any other failure keeps the creation mode; the save still succeeds.
  }
}

TempFile::~TempFile() {
  if (done_) return;
  ::unlink(temp_path_.c_str());
  file_ = File();
}

void TempFile::commit() {
  file_.sync_all();
  if (::rename(temp_path_.c_str(), target_.c_str()) != 0) throw_os();
  done_ = true;
  int dfd;
  do dfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  while (dfd < 0 && errno == EINTR);
  if (dfd >= 0) {
    sync_fd(dfd);  // the save stands once the rename has; a failing flush is not reported
    ::close(dfd);
  }
  file_ = File();
}

}  // namespace detail
}  // namespace blob
}  // namespace quorvale
