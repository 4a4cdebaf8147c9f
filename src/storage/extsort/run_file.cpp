#include "extsort/run_file.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>

#include "extsort/extsort.hpp"
#include "utf8.hpp"

namespace quorvale::extsort {

namespace {

constexpr std::uint64_t MAX_KEY = std::uint64_t{1} << 32;  // a u32 length holds less

IoBuffer io_buffer() {
  void* mem = nullptr;
  if (posix_memalign(&mem, File::DIRECT_ALIGN, IO_BUFFER) != 0) throw std::bad_alloc();
  return IoBuffer(static_cast<char*>(mem));
}

std::span<const unsigned char> bytes_of(const char* p, std::size_t n) noexcept {
  return {reinterpret_cast<const unsigned char*>(p), n};
}

}  // namespace

std::string run_path(const std::string& dir, std::uint64_t number) { return dir + "/" + std::to_string(number); }

IndexError corrupt() { return IndexError::io(IoKind::Other, "extsort: a run file is corrupt"); }

// ---- writing ------------------------------------------------------------------

RunWriter::RunWriter(const std::string& path, bool direct) : file_(File::create_new(path)), buffer_(io_buffer()) {
  if (direct) file_.set_direct(true);
  static const char zeros[8] = {};
  put(zeros, 8);
}

void RunWriter::key(std::string_view key) {
  if (key.size() >= MAX_KEY) throw IndexError::format("extsort: a key longer than 4 GiB");
  unsigned char len[4];
  store_le32(len, static_cast<std::uint32_t>(key.size()));
  put(reinterpret_cast<const char*>(len), 4);
  put(key.data(), key.size());
  ++count_;
}

void RunWriter::finish() {
  // The whole blocks of the tail directly, the rest and the count through
  // the cache (direct transfers come in whole blocks).
  const std::size_t whole = file_.direct() ? used_ & ~(File::DIRECT_ALIGN - 1) : used_;
  file_.write_all(bytes_of(buffer_.get(), whole));
  if (file_.direct() && !file_.set_direct(false)) throw IndexError::last_os();
  file_.write_all(bytes_of(buffer_.get() + whole, used_ - whole));
  used_ = 0;
  unsigned char head[8];
  store_le64(head, count_);
  file_.write_all_at(head, 0);
  file_.close();
}

// Every write but the last is a whole buffer, so direct writes stay aligned.
void RunWriter::put(const char* p, std::size_t n) {
  while (n > 0) {
    const std::size_t take = std::min(n, IO_BUFFER - used_);
    std::memcpy(buffer_.get() + used_, p, take);
    used_ += take;
    p += take;
    n -= take;
    if (used_ == IO_BUFFER) {
      file_.write_all(bytes_of(buffer_.get(), used_));
      used_ = 0;
    }
  }
}

// ---- reading ------------------------------------------------------------------

RunReader::RunReader(const std::string& path, bool direct) : file_(File::open_read(path)), buffer_(io_buffer()) {
  if (direct) file_.set_direct(true);
  left_ = file_.size();
  unsigned char head[8];
  read_exact(reinterpret_cast<char*>(head), 8);
  remaining_ = load_le64(head);
}

bool RunReader::next(std::string& key) {
  if (remaining_ == 0) return false;
  --remaining_;
  // Most records lie whole in the buffer.
  if (end_ - pos_ >= 4) {
    const char* p = buffer_.get() + pos_;
    const std::uint32_t len = load_le32(reinterpret_cast<const unsigned char*>(p));
    if (len <= end_ - pos_ - 4) {
      key.assign(p + 4, len);
      pos_ += 4 + std::size_t{len};
      left_ -= 4 + std::uint64_t{len};
      if (!utf8::valid(key)) throw corrupt();
      return true;
    }
  }
  unsigned char len_bytes[4];
  read_exact(reinterpret_cast<char*>(len_bytes), 4);
  std::uint32_t len = load_le32(len_bytes);
  // A length beyond the file's end is refused before anything is allocated.
  if (len > left_) throw corrupt();
  key.resize(len);
  read_exact(key.data(), len);
  if (!utf8::valid(key)) throw corrupt();
  return true;
}

void RunReader::read_exact(char* dst, std::size_t n) {
  if (n > left_) throw corrupt();  // the file ends before its counted records
  while (n > 0) {
    if (pos_ == end_) {
      if (n >= IO_BUFFER && !file_.direct()) {
        const std::size_t r = file_.read_some(std::span<unsigned char>(reinterpret_cast<unsigned char*>(dst), n));
        if (r == 0) throw corrupt();
        dst += r;
        n -= r;
        left_ -= r;
        continue;
      }
      fill();
    }
    std::size_t take = std::min(n, end_ - pos_);
    std::memcpy(dst, buffer_.get() + pos_, take);
    pos_ += take;
    dst += take;
    n -= take;
    left_ -= take;
  }
}

void RunReader::fill() {
  // Whole buffers from offset 0: direct reads stay aligned up to the end.
  const std::size_t r =
      file_.read_some(std::span<unsigned char>(reinterpret_cast<unsigned char*>(buffer_.get()), IO_BUFFER));
  if (r == 0) throw corrupt();  // shorter than its size said: changed under us
  pos_ = 0;
  end_ = r;
}

}  // namespace quorvale::extsort
