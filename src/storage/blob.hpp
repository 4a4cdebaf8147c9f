// Blob framing shared by every index kind: checksums, owned or mapped blob
// bytes, files, buffered and hashing writers, and the atomic file writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <bit>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"
#include "threads.hpp"
#include "pages.hpp"

namespace quorvale {

// Little-endian loads and stores; memcpy keeps them free of alignment faults.
inline std::uint64_t load_le64(const unsigned char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}
inline std::uint32_t load_le32(const unsigned char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}
inline std::uint16_t load_le16(const unsigned char* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline void store_le64(unsigned char* p, std::uint64_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}
inline void store_le32(unsigned char* p, std::uint32_t v) noexcept {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}
inline void store_le16(unsigned char* p, std::uint16_t v) noexcept {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

inline constexpr std::uint64_t PHI = 0x9e3779b97f4a7c15ULL;

// The 64-bit finaliser that closes both checksums (and seeds splitmix64).
inline constexpr std::uint64_t fin(std::uint64_t z) noexcept {
  z ^= z >> 30;
  z *= 0xbf58476d1ce4e5b9ULL;
  z ^= z >> 27;
  z *= 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return z;
}

// Streaming payload checksum: any split of the input gives the same value.
class BlockHasher {
 public:
  void update(std::span<const unsigned char> bytes) noexcept;
  void update(std::string_view bytes) noexcept {
    update(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
  }
  // The checksum of everything fed so far; feeding may go on afterwards.
  std::uint64_t finish() const noexcept;

 private:
  static std::uint64_t step(std::uint64_t state, std::uint64_t word) noexcept {
    state = (state ^ word) * 0xbf58476d1ce4e5b9ULL;
    return state ^ (state >> 29);
  }

  std::uint64_t state_ = PHI;
  unsigned char pending_[8] = {};
  std::uint64_t pending_len_ = 0;
  std::uint64_t total_ = 0;
};

namespace blob {

// Payload checksum of one byte sequence.
std::uint64_t hash_block(std::span<const unsigned char> bytes) noexcept;

// Maps in the pages of bytes about to be read in full (a section of a mapped
// blob that a loader copies) by one request, instead of a fault on every few
// pages. Advice only; bytes already in memory cost a walk of their pages.
void prefault(std::span<const unsigned char> bytes) noexcept;

// fin(FNV-1a 64 of the bytes), unseeded: the header checksum before it is
// cut to 32 bits, and the planner's sample hash of a key.
std::uint64_t header_hash(std::span<const unsigned char> bytes) noexcept;
inline std::uint64_t header_hash(std::string_view bytes) noexcept {
  return header_hash(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

// Header checksum: the low 32 bits of header_hash of the header bytes.
inline std::uint32_t header_checksum(std::span<const unsigned char> header) noexcept {
  return static_cast<std::uint32_t>(header_hash(header));
}

}  // namespace blob

// Byte sinks. Every writer in this project offers
//   void write_all(std::span<const unsigned char> bytes);
// which writes all the bytes or throws IndexError, so serialisers can be
// templates over any of them.

// An open file descriptor, closed with its owner. Every operation throws
// IndexError (Io) on failure and retries when the system interrupts it.
class File {
 public:
  // Direct transfers move whole blocks of this size from buffers aligned to it.
  static constexpr std::size_t DIRECT_ALIGN = 4096;

  File() noexcept = default;
  explicit File(int fd) noexcept : fd_(fd) {}
  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)), direct_(std::exchange(other.direct_, false)) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) {
      close_quietly();
      fd_ = std::exchange(other.fd_, -1);
      direct_ = std::exchange(other.direct_, false);
    }
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { close_quietly(); }

  static File open_read(const std::string& path);  // read only
  // A new file for writing only, mode 0666 before the umask; "entity already
  // exists" when the path is taken.
  static File create_new(const std::string& path);
  int fd() const noexcept { return fd_; }
  bool is_open() const noexcept { return fd_ >= 0; }
  // Transfers around the page cache, for a file written or read once (such
  // as a run file), in whole aligned blocks: that spares a copy of every
  // byte and leaves the cache to others. False where the system refuses the
  // mode. A transfer the file system refuses in it (one that misses its
  // alignment) goes through the cache, and so does every later one.
  bool set_direct(bool on) noexcept;
  bool direct() const noexcept { return direct_; }

  // At the current position.
  void write_all(std::span<const unsigned char> bytes);
  void write_all(std::string_view bytes) { write_all(as_bytes(bytes)); }
  std::size_t read_some(std::span<unsigned char> out);  // 0 at the end of the file
  void read_exact(std::span<unsigned char> out);        // UnexpectedEof when the file ends first
  // At a given offset; the current position does not move.
  void write_all_at(std::span<const unsigned char> bytes, std::uint64_t offset);
  void read_exact_at(std::span<unsigned char> out, std::uint64_t offset);
  // One read at a given offset of at most out.size() bytes (and at most
  // 2^31 - 1); 0 at the end of the file.
  std::size_t read_some_at(std::span<unsigned char> out, std::uint64_t offset) const;

  std::uint64_t seek(std::uint64_t offset);  // from the start; returns the new position
  std::uint64_t position() const;
  std::uint64_t size() const;
  void set_len(std::uint64_t len);
  void sync_all();  // data and metadata to stable storage
  void close();     // reports a failing close

 private:
  static std::span<const unsigned char> as_bytes(std::string_view s) noexcept {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
  }
  void close_quietly() noexcept;
  // After a refused transfer: leaves direct mode; false when it was not in it.
  bool drop_direct() noexcept;
  int fd_ = -1;
  bool direct_ = false;
};

// 8 KiB write buffer over a File. Destroying it with bytes still buffered
// writes them once more and ignores the outcome; call flush() to see errors.
class BufWriter {
 public:
  static constexpr std::size_t CAPACITY = 8192;
  explicit BufWriter(File& file);
  BufWriter(const BufWriter&) = delete;
  BufWriter& operator=(const BufWriter&) = delete;
  ~BufWriter();

  void write_all(std::span<const unsigned char> bytes);
  void write_all(std::string_view bytes) {
    write_all(std::span<const unsigned char>(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
  }
  void flush();
  std::uint64_t seek(std::uint64_t offset);  // flushes first
  File& file() noexcept { return file_; }

 private:
  File& file_;
  std::unique_ptr<unsigned char[]> buf_;
  std::size_t len_ = 0;
};

// Appends to a byte vector (serialising into memory).
class VecWriter {
 public:
  explicit VecWriter(std::vector<unsigned char>& out) noexcept : out_(out) {}
  // Grown, then copied into: GCC 12 warns falsely (-Wstringop-overflow) on an
  // insert at the end of a vector it knows to be empty or short.
  void write_all(std::span<const unsigned char> bytes) {
    if (bytes.empty()) return;
    const std::size_t at = out_.size();
    out_.resize(at + bytes.size());
    std::memcpy(out_.data() + at, bytes.data(), bytes.size());
  }

 private:
  std::vector<unsigned char>& out_;
};

// Passes bytes to a writer and, once it has taken them all, to a payload
// hasher and a byte count: the checksum covers exactly the bytes written, in
// order. Bytes of a failed write are neither hashed nor counted.
template <class W>
class Hashed {
 public:
  explicit Hashed(W& inner, BlockHasher hasher = {}) noexcept : inner_(inner), hasher_(hasher) {}
  void write_all(std::span<const unsigned char> bytes) {
    inner_.write_all(bytes);
    hasher_.update(bytes);
    count_ += bytes.size();
  }
  W& inner() noexcept { return inner_; }
  BlockHasher& hasher() noexcept { return hasher_; }
  std::uint64_t finish() const noexcept { return hasher_.finish(); }
  // Bytes written through this writer so far.
  std::uint64_t count() const noexcept { return count_; }

 private:
  W& inner_;
  BlockHasher hasher_;
  std::uint64_t count_ = 0;
};

template <class T>
class GrowingPages;

namespace blob {

// The read-only, reference-counted bytes a loaded index reads from: an owned
// copy or a read-only shared map of a whole file. Views cut from a view share
// its owner, which lives as long as the longest-lived view.
class SharedBytes {
 public:
  SharedBytes() noexcept = default;  // an empty owned view without storage

  // Copies the bytes into a Pages buffer (2 MiB-aligned when large).
  static SharedBytes from_owned(std::span<const unsigned char> bytes);
  static SharedBytes from_owned(std::vector<unsigned char>&& bytes);
  static SharedBytes from_pages(Pages<unsigned char>&& pages);
  // The first `len` bytes of a table grown as it filled (len at most its size).
  static SharedBytes from_growing(GrowingPages<unsigned char>&& pages, std::size_t len);
  // Reads the file at `path` to its end into one owned buffer: the loader of
  // every kind that takes a whole file into memory. The size the system
  // reports is only the first reservation, so a pipe, a FIFO, /dev/stdin or a
  // file that grows while it is read gives all its bytes; a regular file of
  // unchanged size is read straight into a buffer of exactly its size.
  // Failures are Io errors: the system's (open, read), or OutOfMemory for a
  // size no buffer can hold.
  static SharedBytes read_file(const std::string& path);
  // Maps the whole file read-only and shared. An empty file gives an empty
  // view without a map.
  static SharedBytes map_file(const std::string& path);

  bool is_mapped() const noexcept { return mapped_; }
  const unsigned char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }
  std::span<const unsigned char> bytes() const noexcept { return {data_, len_}; }
  const unsigned char& operator[](std::size_t i) const noexcept { return data_[i]; }
  // The sub-range offset..offset+len, sharing the owner; it must lie inside.
  SharedBytes slice(std::size_t offset, std::size_t len) const;
  // Number of views sharing this view's owner (0 for an ownerless view).
  long use_count() const noexcept { return owner_.use_count(); }

  struct Owner {
    virtual ~Owner() = default;
  };

 private:
  SharedBytes(std::shared_ptr<const Owner> owner, const unsigned char* data, std::size_t len, bool mapped) noexcept
      : owner_(std::move(owner)), data_(data), len_(len), mapped_(mapped) {}

  std::shared_ptr<const Owner> owner_;
  const unsigned char* data_ = empty_bytes();
  std::size_t len_ = 0;
  bool mapped_ = false;

  static const unsigned char* empty_bytes() noexcept {
    static const unsigned char none[1] = {0};
    return none;
  }
};

// A target path split by the rules of the atomic writer: the directory part
// ("." when there is none) and the file name ("index" when the path ends in
// no name, such as "..", "." or "/").
struct TargetParts {
  std::string dir;
  std::string name;
};
TargetParts split_target(const std::string& path);

namespace detail {

// The temporary file of one atomic write. Until commit() succeeds, its
// destruction removes the temporary file.
class TempFile {
 public:
  explicit TempFile(const std::string& target);
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile();
  File& file() noexcept { return file_; }
  const std::string& path() const noexcept { return temp_path_; }
  // Flush to storage, rename over the target, flush the directory, close.
  void commit();

 private:
  std::string target_;
  std::string dir_;
  std::string temp_path_;
  File file_;
  bool done_ = false;
};

}  // namespace detail

// Writes a blob file atomically: content_writer(File&) fills a new temporary
// file beside the target (opened read/write, empty, at offset 0; it may seek,
// resize or map it and must flush any buffer of its own before returning),
// which is then flushed to storage and renamed over the target. A reader of
// the target sees the old file or the whole new one. On any failure,
// including an exception from content_writer (rethrown unchanged), the
// temporary file is removed and the target is left as it was. Returns what
// content_writer returns.
template <class F>
auto write_atomically_with(const std::string& path, F&& content_writer) -> std::invoke_result_t<F&, File&> {
  detail::TempFile temp(path);
  if constexpr (std::is_void_v<std::invoke_result_t<F&, File&>>) {
    content_writer(temp.file());
    temp.commit();
  } else {
    auto result = content_writer(temp.file());
    temp.commit();
    return result;
  }
}

// An index's whole blob in one buffer of exactly its length, for any index
// type offering serialized_len() and write_to(W&) over a byte sink.
template <class Index>
std::vector<unsigned char> blob_bytes(const Index& index) {
  std::vector<unsigned char> out;
  out.reserve(static_cast<std::size_t>(index.serialized_len()));
  VecWriter w(out);
  index.write_to(w);
  return out;
}

// Saves an index's blob through the atomic writer and an 8 KiB buffered
// writer. `stop` is asked before the temporary file is made and again just
// before it would replace the target; a yes ends the save there (IndexError
// Io Interrupted) with the target as it was.
template <class Index>
void save_blob(const std::string& path, const Index& index, const StopProbe& stop = {}) {
  stop_if(stop);
  write_atomically_with(path, [&](File& file) {
    BufWriter w(file);
    index.write_to(w);
    w.flush();
    stop_if(stop);
  });
}

}  // namespace blob
}  // namespace quorvale
