// Keys files: one key per line, UTF-8, "-" for standard input. An empty line
// is skipped and counted; invalid UTF-8 is an error naming the line.
#include "cli.hpp"

#include <algorithm>
#include <cstring>

#include "utf8.hpp"

namespace quorvale::cli {

namespace {

constexpr const char* NOT_UTF8 = "stream did not contain valid UTF-8";

// The key of a line read with its line feed: the feed and a carriage return
// before it are dropped; a carriage return ending a last line without a feed
// stays.
std::string_view key_of(const std::string& line) {
  std::string_view key = line;
  if (key.ends_with('\n')) {
    key.remove_suffix(1);
    if (key.ends_with('\r')) key.remove_suffix(1);
  }
  return key;
}

Fail line_fail(const std::string& path, std::uint64_t line, const std::string& what) {
  return Fail::work(path + ":" + std::to_string(line) + ": " + what);
}

Fail open_fail(const std::string& path, const IndexError& error) { return Fail::work(path + ": " + error.message()); }

// Reads a keys file line by line, handing each non-empty key to `take` and
// counting empty lines; a bad line is a Fail.
template <class Take>
void each_line(LineReader& reader, const std::string& path, std::uint64_t& empty_lines, Take&& take) {
  std::string line;
  for (std::uint64_t number = 1;; ++number) {
    stop_if_interrupted();
    try {
      if (!reader.read_line(line)) return;
    } catch (const IndexError& e) {
      stop_if_interrupted();
      throw line_fail(path, number, e.message());
    }
    if (!utf8::valid(line)) throw line_fail(path, number, NOT_UTF8);
    const std::string_view key = key_of(line);
    if (key.empty()) {
      ++empty_lines;
      continue;
    }
    take(key);
  }
}

// An open keys file and its reader.
struct KeysFile {
  File file;
  LineReader reader;
  explicit KeysFile(File f) : file(std::move(f)), reader(file.fd()) { reader.stop_on(stop_probe()); }
};

// One pass over a keys file for a streamed build.
class FileKeys final : public KeySource {
 public:
  FileKeys(std::string path, std::unique_ptr<KeysFile> file, std::shared_ptr<std::optional<Fail>> slot,
           std::shared_ptr<std::uint64_t> empty)
      : path_(std::move(path)), file_(std::move(file)), slot_(std::move(slot)), empty_(std::move(empty)) {}

  // A signal ends the pass by throwing, so the build unwinds at once rather
  // than finishing over the keys read so far.
  bool next(std::string_view& key) override {
    while (file_) {
      ++number_;
      stop_if_interrupted();
      bool got;
      try {
        got = file_->reader.read_line(line_);
      } catch (const IndexError& e) {
        stop_if_interrupted();
        return stop(line_fail(path_, number_, e.message()));
      }
      if (!got) {
        file_.reset();
        return false;
      }
      if (!utf8::valid(line_)) return stop(line_fail(path_, number_, NOT_UTF8));
      key = key_of(line_);
      if (!key.empty()) return true;
      ++*empty_;
    }
    return false;
  }
  // Each line was checked above, and a key is a line cut before "\n" or "\r\n".
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
  std::uint64_t number_ = 0;
  std::string line_;
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

KeysRead read_keys(const std::string& path, LineReader& standard_input) {
  KeysRead out;
  auto take = [&](std::string_view key) { out.keys.push(key); };
  if (path == "-") {
    each_line(standard_input, path, out.empty_lines, take);
    return out;
  }
  KeysFile keys = [&] {
    try {
      return KeysFile(File::open_read(path));
    } catch (const IndexError& e) {
      throw open_fail(path, e);
    }
  }();
  each_line(keys.reader, path, out.empty_lines, take);
  return out;
}

Source::Source(std::string path)
    : path_(std::move(path)),
      slot_(std::make_shared<std::optional<Fail>>()),
      empty_(std::make_shared<std::uint64_t>(0)) {}

std::unique_ptr<KeySource> Source::keys() const {
  *empty_ = 0;
  std::unique_ptr<KeysFile> file;
  try {
    file = std::make_unique<KeysFile>(File::open_read(path_));
  } catch (const IndexError& e) {
    *slot_ = open_fail(path_, e);
  }
  return std::make_unique<FileKeys>(path_, std::move(file), slot_, empty_);
}

}  // namespace quorvale::cli
