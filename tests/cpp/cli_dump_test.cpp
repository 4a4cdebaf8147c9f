// The dump command on blobs only C++ can make: a string index holding bytes
// that are not UTF-8, and a damaged dictionary whose walk ends early.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "cli.hpp"
#include "cli_fixtures.hpp"
#include "dict_blob_writer.hpp"
#include "dict_index/dict_index.hpp"
#include "dict_index/layout.hpp"
#include "fst/builder.hpp"
#include "string_index.hpp"
#include "temp_dir.hpp"

using namespace quorvale;
using namespace quorvale::cli;
using namespace cli_fixtures;

namespace {

// The dump of a file holding `blob`: what it wrote and its failure, if any.
struct Dumped {
  std::string out;
  std::optional<std::string> failure;
};

Dumped dump(const std::vector<unsigned char>& blob) {
  TempDir dir;
  write_file(dir / "x", std::string(blob.begin(), blob.end()));
  StringOut out;
  Dumped d;
  try {
    cmd_dump(parsed(Command::Dump, {dir / "x"}), out);
  } catch (const Fail& f) {
    EXPECT_EQ(f.kind, Fail::Kind::Work);
    d.failure = f.message.substr(f.message.find(": ") + 2);  // without the temporary path
  }
  d.out = out.text;
  return d;
}

TEST(CliDump, StringIndexKeysThatAreNotUtf8AreReplaced) {
  fst::MemorySink sink;
  sink.write_all(std::span<const unsigned char>(string_index::MAGIC, 4));
  fst::MapBuilder builder(sink);
  builder.insert(std::string_view("a"), 0);
  builder.insert(std::string_view("a\xff"), 1);
  builder.insert(std::string_view("b\xe2\x82"), 2);
  builder.insert(std::string_view("c"), 3);
  builder.finish();
  const Dumped d = dump(sink.bytes());
  EXPECT_EQ(d.failure, std::nullopt);
  EXPECT_EQ(d.out, "a\na\xef\xbf\xbd\nb\xef\xbf\xbd\nc\n");
}

TEST(CliDump, WriteFailureIsTheIoError) {
  const StringIndex index = StringIndex::build(std::vector<std::string_view>{"a", "b"});
  fst::MemorySink sink;
  index.write_to(sink);
  TempDir dir;
  write_file(dir / "x", std::string(sink.bytes().begin(), sink.bytes().end()));
  StringOut out;
  out.broken = true;
  try {
    cmd_dump(parsed(Command::Dump, {dir / "x"}), out);
    ADD_FAILURE() << "no failure";
  } catch (const Fail& f) {
    EXPECT_EQ(f.kind, Fail::Kind::Work);
    EXPECT_EQ(f.message, "Broken pipe (os error 32)");
  }
}

// A verified load checks the payload checksum and the layout, not the
// entries: a damaged entry behind a re-signed checksum loads, and the walk
// stops at it. The dump must fail there rather than end as if complete.
TEST(CliDump, DictionaryWalkThatEndsEarlyFails) {
  std::vector<std::string> keys;
  for (int i = 0; i < 300; ++i) keys.push_back("key-" + std::to_string(1000 + i * 7));
  const DictIndex good = DictIndex::build_with_block(std::span<const std::string>(keys), 32);
  dictfix::Bytes blob;
  good.write_to([&](std::span<const unsigned char> s) { blob.insert(blob.end(), s.begin(), s.end()); });
  const blob::SharedBytes shared = blob::SharedBytes::from_owned(blob);
  const std::size_t data_at =
      static_cast<std::size_t>(dict_index::Layout::from_shared(shared, true).block_data.data() - shared.data());

  // The first damage of the block data (in byte order) that still loads and
  // cuts the walk short.
  for (std::size_t at = data_at; at < blob.size(); ++at) {
    dictfix::Bytes damaged = blob;
    damaged[at] ^= 0xff;
    dictfix::reseal(damaged);
    std::uint64_t walked = 0;
    try {
      const DictIndex d = DictIndex::from_shared(blob::SharedBytes::from_owned(damaged), true);
      auto it = d.iter_from(0);
      std::string text;
      std::uint64_t id;
      while (it.next(text, id)) ++walked;
    } catch (const IndexError&) {
      continue;
    }
    if (walked == keys.size()) continue;
    const Dumped out = dump(damaged);
    EXPECT_EQ(out.failure, "id " + std::to_string(walked) + " has no key");
    EXPECT_EQ(std::count(out.out.begin(), out.out.end(), '\n'), static_cast<long>(walked));
    return;
  }
  FAIL() << "no damage cut the walk short";
}

}  // namespace
