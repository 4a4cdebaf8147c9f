#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "blob.hpp"
#include "scratch_files.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using blob::SharedBytes;

namespace {
std::span<const unsigned char> bytes(std::string_view s) {
  return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}
std::string text(std::span<const unsigned char> b) { return std::string(b.begin(), b.end()); }
mode_t mode_of(const std::string& path) {
  struct stat st;
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}
}  // namespace

TEST(SharedBytes, OwnedViewsShareTheirOwner) {
  SharedBytes whole = SharedBytes::from_owned(std::vector<unsigned char>{'h', 'e', 'l', 'l', 'o'});
  EXPECT_FALSE(whole.is_mapped());
  EXPECT_EQ(text(whole.bytes()), "hello");
  EXPECT_EQ(whole.use_count(), 1);
  SharedBytes part = whole.slice(1, 3);
  EXPECT_EQ(whole.use_count(), 2);
  whole = SharedBytes();
  EXPECT_EQ(text(part.bytes()), "ell");  // the sub-view keeps the buffer alive
  EXPECT_EQ(part.use_count(), 1);
  EXPECT_EQ(part.slice(3, 0).size(), 0u);
  EXPECT_THROW(part.slice(2, 2), Panic);

  SharedBytes empty = SharedBytes::from_owned(std::vector<unsigned char>{});
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_NE(empty.data(), nullptr);
}

TEST(SharedBytes, MappedFiles) {
  TempDir dir;
  write_file(dir / "blob", "0123456789");
  SharedBytes part;
  {
    SharedBytes whole = SharedBytes::map_file(dir / "blob");
    EXPECT_TRUE(whole.is_mapped());
    EXPECT_EQ(text(whole.bytes()), "0123456789");
    part = whole.slice(4, 3);
  }
  ::unlink((dir / "blob").c_str());
  EXPECT_TRUE(part.is_mapped());
  EXPECT_EQ(text(part.bytes()), "456");  // the map outlives the view it was cut from

  write_file(dir / "empty", "");
  SharedBytes empty = SharedBytes::map_file(dir / "empty");
  EXPECT_TRUE(empty.is_mapped());
  EXPECT_EQ(empty.size(), 0u);

  try {
    SharedBytes::map_file(dir / "missing");
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
    EXPECT_EQ(e.os_code(), 2);
  }
}

TEST(SharedBytes, ReadFileReadsToTheEnd) {
  TempDir dir;
  std::string content(300000, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);

  write_file(dir / "blob", content);
  SharedBytes whole = SharedBytes::read_file(dir / "blob");
  EXPECT_FALSE(whole.is_mapped());
  EXPECT_EQ(whole.use_count(), 1);
  EXPECT_EQ(text(whole.bytes()), content);
  write_file(dir / "empty", "");
  EXPECT_EQ(SharedBytes::read_file(dir / "empty").size(), 0u);

  // A FIFO reports size 0: everything its writer sends must still arrive,
  // whether that is nothing, less than a probe or several buffers' worth.
  for (std::size_t len : {std::size_t{0}, std::size_t{5}, content.size()}) {
    const std::string fifo = dir / ("fifo" + std::to_string(len));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int fd = ::open(fifo.c_str(), O_WRONLY);
      std::size_t done = 0;
      while (fd >= 0 && done < len) {
        ssize_t n = ::write(fd, content.data() + done, std::min<std::size_t>(len - done, 4096));
        if (n <= 0) ::_exit(1);
        done += static_cast<std::size_t>(n);
      }
      ::_exit(fd >= 0 ? 0 : 1);
    }
    SharedBytes got = SharedBytes::read_file(fifo);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(got.is_mapped());
    EXPECT_EQ(text(got.bytes()), content.substr(0, len));
  }

  try {
    SharedBytes::read_file(dir / "missing");
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
    EXPECT_EQ(e.os_code(), 2);
  }
}

TEST(Writers, BufferedAndHashedWritesAgree) {
  TempDir dir;
  std::string expected;
  std::string hashed_bytes;
  std::vector<unsigned char> memory;
  {
    int fd = ::open((dir / "out").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    File file(fd);
    BufWriter buf(file);
    Hashed<BufWriter> hashed(buf);
    VecWriter vec(memory);
    Hashed<VecWriter> hashed_vec(vec);
    // Small writes, one straddling the buffer's end, and one larger than it.
    for (std::size_t len : {0, 3, 8190, 5, 20000, 1}) {
      std::string chunk(len, static_cast<char>('a' + len % 26));
      hashed.write_all(bytes(chunk));
      hashed_vec.write_all(bytes(chunk));
      expected += chunk;
    }
    buf.flush();
    hashed_bytes = expected;
    EXPECT_EQ(hashed.finish(), blob::hash_block(bytes(expected)));
    EXPECT_EQ(hashed_vec.finish(), blob::hash_block(bytes(expected)));
    // Seeking back flushes first, then overwrites in place.
    buf.write_all(std::string_view("tail"));
    buf.seek(0);
    buf.write_all(std::string_view("HEAD"));
  }
  expected += "tail";
  expected.replace(0, 4, "HEAD");
  EXPECT_EQ(read_file(dir / "out"), expected);
  EXPECT_EQ(text(memory), hashed_bytes);
}

// A transfer that misses the alignment of direct mode is not an error: it
// goes through the cache, as does every later one, and the bytes are whole.
TEST(Writers, DirectTransfersOffTheAlignmentGoThroughTheCache) {
  TempDir dir;
  const std::string path = dir / "run";
  const std::string text_in = std::string(5000, 'x') + "tail";
  {
    File file = File::create_new(path);
    if (!file.set_direct(true)) GTEST_SKIP() << "the file system refuses direct transfers";
    EXPECT_TRUE(file.direct());
    file.write_all(bytes(text_in));  // neither the buffer nor the length is aligned
    EXPECT_FALSE(file.direct());
    file.close();
  }
  File file = File::open_read(path);
  ASSERT_TRUE(file.set_direct(true));
  std::string got(text_in.size() + 10, '\0');
  std::size_t n = 0;
  while (std::size_t r = file.read_some({reinterpret_cast<unsigned char*>(got.data()) + n + 1, 1000})) n += r;
  EXPECT_FALSE(file.direct());
  EXPECT_EQ(got.substr(1, n), text_in);
}

TEST(Writers, FailedWriteIsNotHashed) {
  File closed;  // no descriptor: every write fails
  Hashed<File> hashed(closed);
  EXPECT_THROW(hashed.write_all(bytes("abc")), IndexError);
  EXPECT_EQ(hashed.finish(), blob::hash_block({}));
}

TEST(SplitTarget, FollowsPathComponentRules) {
  struct Case {
    const char* path;
    const char* dir;
    const char* name;
  } cases[] = {
      {"idx.bin", ".", "idx.bin"},
      {"a/idx.bin", "a", "idx.bin"},
      {"/idx.bin", "/", "idx.bin"},
      {"a/b/", "a", "b"},
      {"a/b/.", "a", "b"},
      {"a//b", "a", "b"},
      {"./x", ".", "x"},
      {"a/..", "a", "index"},
      {"..", ".", "index"},
      {".", ".", "index"},
      {"/", ".", "index"},
      {"", ".", "index"},
  };
  for (const Case& c : cases) {
    blob::TargetParts parts = blob::split_target(c.path);
    EXPECT_EQ(parts.dir, c.dir) << c.path;
    EXPECT_EQ(parts.name, c.name) << c.path;
  }
}

TEST(AtomicWriter, ReplacesContentAndKeepsPermissions) {
  TempDir dir;
  std::string target = dir / "idx.bin";
  write_file(target, "old content");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  int got = blob::write_atomically_with(target, [](File& f) {
    EXPECT_EQ(f.position(), 0u);
    EXPECT_EQ(f.size(), 0u);
    BufWriter out(f);
    out.write_all(std::string_view("new"));
    out.flush();
    return 7;
  });
  EXPECT_EQ(got, 7);
  EXPECT_EQ(read_file(target), "new");
  EXPECT_EQ(mode_of(target), 0640u);
  EXPECT_EQ(dir.names(), std::set<std::string>{"idx.bin"});

  // A new file gets 0666 less the creation mask.
  mode_t mask = ::umask(022);
  ::umask(mask);
  blob::write_atomically_with(dir / "fresh", [](File& f) { f.write_all(std::string_view("x")); });
  EXPECT_EQ(mode_of(dir / "fresh"), 0666u & ~mask);
}

TEST(AtomicWriter, FailuresLeaveTheTargetAndNoTemporaryFile) {
  TempDir dir;
  std::string target = dir / "idx.bin";
  write_file(target, "old content");

  // A content writer failing halfway, with bytes still in its buffer.
  EXPECT_THROW(blob::write_atomically_with(target,
                                           [](File& f) {
                                             BufWriter out(f);
                                             out.write_all(std::string(10000, 'z'));
                                             out.write_all(std::string_view("pending"));
                                             throw IndexError::format("halfway");
                                           }),
               IndexError);
  EXPECT_THROW(blob::write_atomically_with(target, [](File&) -> int { throw std::runtime_error("other"); }),
               std::runtime_error);
  EXPECT_EQ(read_file(target), "old content");
  EXPECT_EQ(dir.names(), std::set<std::string>{"idx.bin"});

  // A missing directory: the creation's error, nothing created.
  try {
    blob::write_atomically_with(dir / "no/such/idx.bin", [](File&) {});
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_EQ(e.kind(), IndexError::Kind::Io);
    EXPECT_EQ(e.os_code(), 2);
  }
  EXPECT_EQ(dir.names(), std::set<std::string>{"idx.bin"});

  // A path that names no file: the temporary name comes from "index", the
  // rename fails, and the temporary file is gone. The directory part of
  // "sub/.." is "sub".
  ::mkdir((dir / "sub").c_str(), 0777);
  std::string seen;
  EXPECT_THROW(blob::write_atomically_with(dir / "sub/..",
                                           [&](File&) {
                                             for (auto& e : std::filesystem::directory_iterator(dir / "sub"))
                                               seen = e.path().filename().string();
                                           }),
               IndexError);
  EXPECT_TRUE(std::filesystem::is_empty(dir / "sub"));
  EXPECT_EQ(seen.rfind("index." + std::to_string(::getpid()) + ".", 0), 0u) << seen;
  EXPECT_EQ(dir.names(), (std::set<std::string>{"idx.bin", "sub"}));
}

// A save asks its stop probe before the temporary file is made and once the
// blob is written, just before the rename: a yes at either leaves the target
// as it was and nothing beside it.
TEST(AtomicWriter, SaveStopsBeforeItReplacesTheTarget) {
  struct Blob {
    mutable int written = 0;
    void write_to(BufWriter& w) const {
      ++written;
      w.write_all(std::string_view("new"));
    }
  };
  TempDir dir;
  const std::string target = dir / "idx.bin";
  write_file(target, "old");
  for (int stop_at : {1, 2}) {
    SCOPED_TRACE(stop_at);
    const Blob blob;
    int asked = 0;
    try {
      blob::save_blob(target, blob, [&] { return ++asked == stop_at; });
      FAIL();
    } catch (const IndexError& e) {
      EXPECT_EQ(e.display(), "io error: operation interrupted");
    }
    EXPECT_EQ(blob.written, stop_at - 1);
    EXPECT_EQ(read_file(target), "old");
    EXPECT_EQ(dir.names(), std::set<std::string>{"idx.bin"});
  }
  int asked = 0;
  blob::save_blob(target, Blob{}, [&] { return ++asked > 2; });
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(read_file(target), "new");
}

TEST(AtomicWriter, TakenTemporaryNamesAreSkipped) {
  TempDir dir;
  std::string target = dir / "idx.bin";
  const std::string pid = std::to_string(::getpid());
  auto temp_name = [&](std::uint64_t seq) { return "idx.bin." + pid + "." + std::to_string(seq) + ".tmp"; };

  // One stale name is skipped, not overwritten.
  std::uint64_t next = scratch::SEQ.load();
  write_file(dir / temp_name(next), "stale");
  blob::write_atomically_with(target, [](File& f) { f.write_all(std::string_view("ok")); });
  EXPECT_EQ(read_file(target), "ok");
  EXPECT_EQ(read_file(dir / temp_name(next)), "stale");

  // 128 taken names in a row give up.
  next = scratch::SEQ.load();
  for (std::uint64_t i = 0; i < 128; ++i) write_file(dir / temp_name(next + i), "");
  try {
    blob::write_atomically_with(target, [](File& f) { f.write_all(std::string_view("never")); });
    FAIL();
  } catch (const IndexError& e) {
    EXPECT_STREQ(e.what(), "io error: entity already exists");
  }
  EXPECT_EQ(read_file(target), "ok");
  EXPECT_EQ(dir.names().size(), 1u + 1u + 128u);
}

TEST(AtomicWriter, BareNameWritesInTheCurrentDirectory) {
  TempDir dir;
  char old[4096];
  ASSERT_NE(::getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  blob::write_atomically_with("bare.bin", [](File& f) { f.write_all(std::string_view("here")); });
  ASSERT_EQ(::chdir(old), 0);
  EXPECT_EQ(read_file(dir / "bare.bin"), "here");
  EXPECT_EQ(dir.names(), std::set<std::string>{"bare.bin"});
}

TEST(AtomicWriter, ContentWriterMaySeekResizeAndReadBack) {
  TempDir dir;
  blob::write_atomically_with(dir / "f", [](File& f) {
    BufWriter out(f);
    out.write_all(std::string_view("....payload"));
    out.seek(0);
    out.write_all(std::string_view("HDR:"));
    out.flush();
    unsigned char back[4];
    f.read_exact_at(back, 0);
    EXPECT_EQ(std::string(back, back + 4), "HDR:");
    f.set_len(16);
    f.write_all_at(bytes("end!"), 12);
  });
  EXPECT_EQ(read_file(dir / "f"), std::string("HDR:payload\0end!", 16));
}
