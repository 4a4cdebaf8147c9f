// The one reader of keys-file lines: line ends, empty lines, numbering,
// UTF-8, the limit, across reads of every size.
#include "line_reader.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "blob.hpp"
#include "error.hpp"
#include "temp_dir.hpp"

namespace {

using namespace quorvale;
using Got = KeyLines::Got;

// Read sizes that cut lines, line ends and characters anywhere.
constexpr std::size_t CAPACITIES[] = {1, 2, 3, 5, 8, 64, LineReader::CAPACITY};

struct Read {
  std::vector<std::string> keys;
  Got last = Got::End;
  std::uint64_t line = 0;  // of the failure, or the lines read
  std::uint64_t empty = 0;
  bool operator==(const Read&) const = default;
};

Read read_all(const std::string& path, std::size_t capacity, std::size_t limit = SIZE_MAX) {
  const File file = File::open_read(path);
  LineReader reader(file.fd(), capacity);
  KeyLines lines(reader, limit);
  Read r;
  std::string_view key;
  while ((r.last = lines.next(key)) == Got::Key) r.keys.emplace_back(key);
  r.line = lines.line();
  r.empty = lines.empty_lines();
  return r;
}

TEST(KeyLines, LineEnds) {
  struct Case {
    std::string text;
    std::vector<std::string> keys;
    std::uint64_t lines;
    std::uint64_t empty;
  };
  const Case cases[] = {
      {"", {}, 0, 0},
      {"a\nb\n", {"a", "b"}, 2, 0},
      {"a\r\nb\r\n", {"a", "b"}, 2, 0},
      {"a\nb", {"a", "b"}, 2, 0},      // no final line feed
      {"a\nb\r", {"a", "b"}, 2, 0},    // a lone carriage return at the end
      {"x\ry\n", {"x\ry"}, 1, 0},      // inside a line it stays
      {"x\r\r\n", {"x\r"}, 1, 0},      // one is dropped, not two
      {"\r\n\r", {}, 2, 2},            // lines of only a carriage return
      {"a\n\n\nb\n\n", {"a", "b"}, 5, 3},
      {"\n", {}, 1, 1},
      {"  \n\t\r\n", {"  ", "\t"}, 2, 0},
      {"b\na\nb", {"b", "a", "b"}, 3, 0},
      {"\xc3\xa9t\xc3\xa9\r\n\xe2\x82\xac", {"\xc3\xa9t\xc3\xa9", "\xe2\x82\xac"}, 2, 0},
  };
  TempDir dir;
  const std::string path = dir / "keys";
  for (const Case& c : cases) {
    write_file(path, c.text);
    for (std::size_t capacity : CAPACITIES)
      EXPECT_EQ(read_all(path, capacity), (Read{c.keys, Got::End, c.lines, c.empty}))
          << testing::PrintToString(c.text) << " read " << capacity << " bytes at a time";
  }
}

TEST(KeyLines, LongLinesAndManyLines) {
  TempDir dir;
  const std::string path = dir / "keys";
  // Every few keys, one three reads long.
  for (std::size_t capacity : {std::size_t{3}, std::size_t{4096}, LineReader::CAPACITY}) {
    std::string text;
    Read want;
    for (int i = 0; i < 3000; ++i) {
      std::string key("k");
      key += std::to_string(i * 7919 % 10007);
      if (i % 500 == 0) key.append(3 * std::max<std::size_t>(capacity, 64) + static_cast<std::size_t>(i), 'x');
      text += key + (i % 3 ? "\n" : "\r\n");
      want.keys.push_back(key);
      if (i % 7 == 0) {
        text += "\n";
        ++want.empty;
      }
    }
    write_file(path, text + "end\r");
    want.keys.push_back("end");
    want.line = 3001 + want.empty;
    EXPECT_EQ(read_all(path, capacity), want) << capacity;
  }
}

TEST(KeyLines, InvalidUtf8NamesItsLine) {
  TempDir dir;
  const std::string path = dir / "keys";
  // A character cut by a line feed, a lone continuation byte, a surrogate;
  // the bad line after empty lines and long ones.
  const std::string bad[] = {"ab\xc3", "\x80", "\xed\xa0\x80z"};
  const std::string before = "a\n\n" + std::string(100, 'l') + "\n\xc3\xa9\n";
  for (const std::string& b : bad) {
    write_file(path, before + b + "\nc\n");
    for (std::size_t capacity : CAPACITIES) {
      const Read r = read_all(path, capacity);
      EXPECT_EQ(r.last, Got::NotUtf8) << capacity;
      EXPECT_EQ(r.line, 5u) << capacity;
      EXPECT_EQ(r.keys.size(), 3u) << capacity;
    }
  }
}

TEST(KeyLines, KeysPastTheLimit) {
  TempDir dir;
  const std::string path = dir / "keys";
  const std::string full(40, 'f');
  // A key of the whole limit passes, with or without its line ends.
  write_file(path, full + "\r\n" + full + "\n" + full + "\r");
  for (std::size_t capacity : CAPACITIES)
    EXPECT_EQ(read_all(path, capacity, 40), (Read{{full, full, full}, Got::End, 3, 0})) << capacity;
  // One byte more is refused on its line, wherever the line stands.
  const std::string texts[] = {"a\n\n" + full + "g\nb\n", "a\n\n" + full + "g\r", "a\n\n" + full + full + full};
  for (const std::string& text : texts) {
    write_file(path, text);
    for (std::size_t capacity : CAPACITIES)
      EXPECT_EQ(read_all(path, capacity, 40), (Read{{"a"}, Got::TooLong, 3, 1})) << capacity;
  }
  // A limit of nothing refuses every key.
  write_file(path, "\n\r\nk\n");
  EXPECT_EQ(read_all(path, 8, 0), (Read{{}, Got::TooLong, 3, 2}));
}

TEST(KeyLines, AKeyPastTheLimitIsNotReadToItsEnd) {
  // The line never ends: its writer stays, and a read past what was written
  // fails at once (the reading end does not block). The limit must be
  // enough.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  const std::string written = "key\n" + std::string(3000, 'x');
  ASSERT_EQ(write(fds[1], written.data(), written.size()), static_cast<ssize_t>(written.size()));
  for (std::size_t capacity : {std::size_t{16}, std::size_t{4096}, LineReader::CAPACITY}) {
    const std::size_t limit = 1000;
    LineReader reader(fds[0], capacity);
    KeyLines lines(reader, limit);
    std::string_view key;
    ASSERT_EQ(lines.next(key), Got::Key);
    EXPECT_EQ(key, "key");
    EXPECT_EQ(lines.next(key), Got::TooLong) << capacity;
    EXPECT_EQ(lines.line(), 2u);
    // Put back what this reader took for the next one: all of the line.
    char drained[4096];
    while (read(fds[0], drained, sizeof drained) > 0) {
    }
    ASSERT_EQ(write(fds[1], written.data(), written.size()), static_cast<ssize_t>(written.size()));
  }
  // Without a limit the reader wants the rest.
  LineReader reader(fds[0], 4096);
  KeyLines lines(reader);
  std::string_view key;
  ASSERT_EQ(lines.next(key), Got::Key);
  try {
    lines.next(key);
    ADD_FAILURE();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.os_code(), EAGAIN);
    EXPECT_EQ(lines.line(), 2u);
  }
  close(fds[0]);
  close(fds[1]);
}

TEST(KeyLines, FailedReadsAndClosedDescriptors) {
  TempDir dir;
  const File directory = File::open_read(dir.path().string());
  LineReader reader(directory.fd());
  KeyLines lines(reader);
  std::string_view key;
  try {
    lines.next(key);
    ADD_FAILURE();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.os_code(), EISDIR);
    EXPECT_EQ(lines.line(), 1u);  // the line being read
  }
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  close(fds[1]);
  LineReader closed(fds[0]);
  KeyLines none(closed);
  EXPECT_EQ(none.next(key), Got::End);
  EXPECT_EQ(none.line(), 0u);
}

}  // namespace
