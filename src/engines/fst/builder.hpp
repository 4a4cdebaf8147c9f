// Building an FST map from keys in ascending byte order.
//
// MapBuilder<Sink> writes into any sink offering
//   void write_all(std::span<const unsigned char>)
// which throws on failure. The sink may already hold bytes (a file form writes
// its own magic first): node addresses count from the builder's first byte.
// The same code path serves every sink, so the same keys give the same bytes.
#pragma once

#include <concepts>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "fst/crc32c.hpp"
#include "fst/error.hpp"

namespace quorvale::fst {

template <class S>
concept ByteSink = requires(S& s, std::span<const unsigned char> bytes) { s.write_all(bytes); };

// A growable in-memory sink.
class MemorySink {
 public:
  // Grown, then copied into: GCC 12 warns falsely (-Wstringop-overflow) on an
  // insert at the end after a short first write.
  void write_all(std::span<const unsigned char> bytes) {
    if (bytes.empty()) return;
    const std::size_t at = buf_.size();
    buf_.resize(at + bytes.size());
    std::memcpy(buf_.data() + at, bytes.data(), bytes.size());
  }
  const std::vector<unsigned char>& bytes() const noexcept { return buf_; }
  std::vector<unsigned char> take() noexcept { return std::move(buf_); }

 private:
  std::vector<unsigned char> buf_;
};

namespace detail {

struct BuildTrans {
  std::uint64_t output;
  std::uint64_t target;
  unsigned char input;
  bool operator==(const BuildTrans&) const = default;
};

// A node as it is compiled: its transitions are a view of the builder's.
struct BuildNode {
  bool final = false;
  std::uint64_t final_output = 0;
  std::span<const BuildTrans> trans;
};

// Sink-independent part: the unfinished path of the last key, the registry of
// written nodes, and the encoder. Encoded bytes collect in a staging buffer
// that the wrapper hands to its sink.
class BuilderCore {
 public:
  BuilderCore();
  BuilderCore(BuilderCore&&) noexcept;
  BuilderCore& operator=(BuilderCore&&) noexcept;
  ~BuilderCore();

  void insert(std::span<const unsigned char> key, std::uint64_t value);
  // Writes the remaining nodes, the root and the footer but the checksum.
  void finish_nodes();
  // Appends the masked checksum of everything handed out so far.
  void finish_checksum();

  std::uint64_t len() const noexcept { return len_; }
  std::uint64_t bytes_written() const noexcept { return pos_; }
  std::uint64_t root_addr() const noexcept { return root_; }

  // Bytes encoded but not yet handed to the sink; take() folds them into the
  // checksum and returns them (valid until the next call into the core).
  std::size_t staged() const noexcept { return staging_.size(); }
  std::span<const unsigned char> take() noexcept;

  enum class State { Open, Finished, Failed };
  State state = State::Open;

 private:
  // A node on the path of the last key, not yet written: 24 bytes a key
  // byte, whatever the key's length. Its transitions written so far lie in
  // trans_ from first() up to the next level's first() (to the end for the
  // deepest level: only it gains transitions, as the levels below it are
  // written). Every level i but the deepest also has the transition on the
  // last key's byte there, last_[i], not yet written, whose output is
  // `last_output`.
  struct Unfinished {
    std::uint64_t final_output;
    std::uint64_t last_output;
    std::uint64_t first_final;  // first << 1, and 1 when final (packed by hand: bit-fields copy slowly)
    std::size_t first() const noexcept { return static_cast<std::size_t>(first_final >> 1); }
    bool final() const noexcept { return (first_final & 1) != 0; }
  };
  static_assert(sizeof(Unfinished) == 24);
  struct Registry;

  void freeze_below(std::size_t depth);
  std::uint64_t compile(const BuildNode& node);
  std::uint64_t write_node(const BuildNode& node);
  void put_uint(std::uint64_t v, unsigned width);

  std::vector<Unfinished> stack_;
  std::size_t depth_ = 1;  // live entries of stack_: the last key's length + 1
  std::vector<BuildTrans> trans_;
  std::vector<unsigned char> last_;
  bool has_last_key_ = false;
  std::uint64_t len_ = 0;
  std::uint64_t pos_ = 0;   // bytes encoded so far, staged or handed out
  std::uint64_t root_ = 0;
  std::uint64_t fresh_ = 0;  // the node the last compile wrote, 0 if none
  std::uint32_t* link_ = nullptr;  // where the last compile notes the bucket of the next one
  std::vector<unsigned char> staging_;
  std::vector<unsigned char> taken_;  // the view take() returned
  Crc32c crc_;
  std::unique_ptr<Registry> registry_;
};

}  // namespace detail

template <ByteSink Sink>
class MapBuilder {
 public:
  // The sink must outlive the builder. Movable, not copyable.
  explicit MapBuilder(Sink& sink) : sink_(&sink) {}

  // Inserts a key above every key inserted so far. A key below or equal to the
  // previous one is refused (Error, kind Fst) and leaves the builder as it
  // was; a sink failure is Error kind Io and ends the build.
  void insert(std::span<const unsigned char> key, std::uint64_t value) {
    check_open();
    try {
      core_.insert(key, value);
    } catch (const Error&) {
      throw;  // a refused key: nothing was changed
    } catch (...) {
      core_.state = detail::BuilderCore::State::Failed;  // out of memory midway
      throw;
    }
    if (core_.staged() >= kFlushAt) flush();
  }
  void insert(std::string_view key, std::uint64_t value) {
    insert(std::span(reinterpret_cast<const unsigned char*>(key.data()), key.size()), value);
  }

  // Writes the root, the key count, the root address and the checksum.
  void finish() {
    check_open();
    core_.finish_nodes();
    flush();
    core_.finish_checksum();
    flush();
    core_.state = detail::BuilderCore::State::Finished;
  }

  std::uint64_t len() const noexcept { return core_.len(); }
  std::uint64_t bytes_written() const noexcept { return core_.bytes_written(); }
  std::uint64_t root_addr() const noexcept { return core_.root_addr(); }

 private:
  static constexpr std::size_t kFlushAt = 1 << 16;

  void check_open() const {
    if (core_.state == detail::BuilderCore::State::Finished) throw Error(Error::Kind::Fst, "fst builder already finished");
    if (core_.state == detail::BuilderCore::State::Failed) throw Error(Error::Kind::Io, "fst builder's sink failed earlier");
  }

  void flush() {
    if (core_.staged() == 0) return;
    std::span<const unsigned char> out = core_.take();
    try {
      sink_->write_all(out);
    } catch (const std::exception& e) {
      core_.state = detail::BuilderCore::State::Failed;
      throw Error(Error::Kind::Io, e.what());
    } catch (...) {
      core_.state = detail::BuilderCore::State::Failed;
      throw Error(Error::Kind::Io, "fst sink failed");
    }
  }

  Sink* sink_;
  detail::BuilderCore core_;
};

}  // namespace quorvale::fst
