// Keys files: one key per line, UTF-8, "-" for standard input. An empty line
// is skipped and counted; invalid UTF-8 is an error naming the line.
#include "cli.hpp"

#include <algorithm>
#include <cstring>

#include "utf8.hpp"

namespace quorvale::cli {

namespace {

constexpr const char* NOT_UTF8 = "stream did not contain valid UTF-8";

Fail line_fail(const std::string& path, std::uint64_t line, const std::string& what) {
  return Fail::work(path + ":" + std::to_string(line) + ": " + what);
}

Fail open_fail(const std::string& path, const IndexError& error) { return Fail::work(path + ": " + error.message()); }

// Reads a keys file to its end, handing each key to `take`; a bad line, or
// a key longer than `limit`, is a Fail. Returns the number of empty lines.
template <class Take>
std::uint64_t each_key(LineReader& reader, const std::string& path, Take&& take, std::size_t limit = SIZE_MAX) {
  KeyLines lines(reader, limit);
  std::string_view key;
  for (;;) {
    stop_if_interrupted();
    KeyLines::Got got;
    try {
      got = lines.next(key);
    } catch (const IndexError& e) {
      stop_if_interrupted();
      throw line_fail(path, lines.line(), e.message());
    }
    switch (got) {
      case KeyLines::Got::Key: take(key); continue;
      case KeyLines::Got::End: return lines.empty_lines();
      case KeyLines::Got::NotUtf8: throw line_fail(path, lines.line(), NOT_UTF8);
      case KeyLines::Got::TooLong:
        throw line_fail(path, lines.line(), "a key longer than " + std::to_string(limit) + " bytes");
    }
  }
}

// An open keys file and its reader.
struct KeysFile {
  File file;
  LineReader reader;
  KeyLines lines;
  KeysFile(File f, std::size_t limit) : file(std::move(f)), reader(file.fd()), lines(reader, limit) {
    reader.stop_on(stop_probe());
  }
};

// One pass over a keys file for a streamed build.
class FileKeys final : public KeySource {
 public:
  FileKeys(std::string path, std::unique_ptr<KeysFile> file, std::shared_ptr<std::optional<Fail>> slot,
           std::shared_ptr<std::uint64_t> empty, const char* over_limit)
      : path_(std::move(path)),
        file_(std::move(file)),
        slot_(std::move(slot)),
        empty_(std::move(empty)),
        over_limit_(over_limit) {}

  // A signal ends the pass by throwing, so the build unwinds at once rather
  // than finishing over the keys read so far; so does a key past the limit,
  // which the build would refuse anyway.
  bool next(std::string_view& key) override {
    if (!file_) return false;
    stop_if_interrupted();
    KeyLines& lines = file_->lines;
    KeyLines::Got got;
    try {
      got = lines.next(key);
    } catch (const IndexError& e) {
      stop_if_interrupted();
      return stop(line_fail(path_, lines.line(), e.message()));
    }
    *empty_ += lines.empty_lines() - empty_seen_;
    empty_seen_ = lines.empty_lines();
    switch (got) {
      case KeyLines::Got::Key: return true;
      case KeyLines::Got::End: file_.reset(); return false;
      case KeyLines::Got::NotUtf8: return stop(line_fail(path_, lines.line(), NOT_UTF8));
      case KeyLines::Got::TooLong:
        stop(line_fail(path_, lines.line(), IndexError::format(over_limit_).display()));
        throw **slot_;
    }
    return false;
  }
  // Every key handed out was checked by the reader.
  bool yields_utf8() const noexcept override { return true; }

 private:
  bool stop(Fail fail) {
    *slot_ = std::move(fail);
    file_.reset();
    return false;
  }

  std::string path_;
  std::unique_ptr<KeysFile> file_;  // closed when the stream ends
  std::shared_ptr<std::optional<Fail>> slot_;
  std::shared_ptr<std::uint64_t> empty_;
  const char* over_limit_;
  std::uint64_t empty_seen_ = 0;
};

}  // namespace

void KeyList::push(std::string_view key) {
  if (key.size() > left_) {
    // A new chunk; the rest of the last one stays unused. Each is a mapping
    // of its own, never grown again: chunks made so lie close together
    // (where the allocator would mix its heap and its mappings, far apart),
    // which the sort of the keys' views relies on to name a key by its
    // offset.
    chunks_.emplace_back().grow(std::max(CHUNK, key.size()));
    free_ = chunks_.back().data();
    left_ = chunks_.back().size();
  }
  if (!key.empty()) std::memcpy(free_, key.data(), key.size());
  views_.emplace_back(free_, key.size());
  free_ += key.size();
  left_ -= key.size();
}

KeysRead read_keys(const std::string& path, LineReader& standard_input, std::size_t limit) {
  KeysRead out;
  auto take = [&](std::string_view key) { out.keys.push(key); };
  if (path == "-") {
    out.empty_lines = each_key(standard_input, path, take, limit);
    return out;
  }
  File file = [&] {
    try {
      return File::open_read(path);
    } catch (const IndexError& e) {
      throw open_fail(path, e);
    }
  }();
  LineReader reader(file.fd());
  reader.stop_on(stop_probe());
  out.empty_lines = each_key(reader, path, take, limit);
  return out;
}

Source::Source(std::string path, std::size_t limit, const char* over_limit)
    : path_(std::move(path)),
      limit_(limit),
      over_limit_(over_limit ? over_limit : "a key longer than the limit"),
      slot_(std::make_shared<std::optional<Fail>>()),
      empty_(std::make_shared<std::uint64_t>(0)) {}

std::unique_ptr<KeySource> Source::keys() const {
  *empty_ = 0;
  std::unique_ptr<KeysFile> file;
  try {
    file = std::make_unique<KeysFile>(File::open_read(path_), limit_);
  } catch (const IndexError& e) {
    *slot_ = open_fail(path_, e);
  }
  return std::make_unique<FileKeys>(path_, std::move(file), slot_, empty_, over_limit_);
}

}  // namespace quorvale::cli
