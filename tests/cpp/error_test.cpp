#include <gtest/gtest.h>

#include "error.hpp"

using quorvale::IndexError;
using quorvale::IoKind;

TEST(IndexError, DisplayTextsCarryTheKindsPrefix) {
  struct Case {
    IndexError error;
    const char* display;
  } cases[] = {
      {IndexError::fst("FST error", "Fst"), "fst error: FST error"},
      {IndexError::os(2), "io error: No such file or directory (os error 2)"},
      {IndexError::io(IoKind::InvalidData, "extsort: a run file is corrupt"),
       "io error: extsort: a run file is corrupt"},
      {IndexError::io_kind(IoKind::AlreadyExists), "io error: entity already exists"},
      {IndexError::format("bad magic or truncated header"), "format error: bad magic or truncated header"},
      {IndexError::automaton("Levenshtein automaton exceeds size limit of 10000 states"),
       "automaton error: Levenshtein automaton exceeds size limit of 10000 states"},
      {IndexError::build("minimal perfect hash: no seed placed every bucket"),
       "build error: minimal perfect hash: no seed placed every bucket"},
  };
  for (const Case& c : cases) EXPECT_STREQ(c.error.what(), c.display);
}

TEST(IndexError, KindsAndPayloads) {
  IndexError e = IndexError::os(13);
  EXPECT_EQ(e.kind(), IndexError::Kind::Io);
  EXPECT_EQ(e.os_code(), 13);
  EXPECT_EQ(IndexError::io(IoKind::InvalidData, "x").os_code(), 0);
  EXPECT_EQ(IndexError::format("m").message(), "m");
  EXPECT_EQ(IndexError::build("m").kind(), IndexError::Kind::Build);
}

TEST(IndexError, DebugForms) {
  EXPECT_EQ(IndexError::format("bad magic or truncated header").debug(), "Format(\"bad magic or truncated header\")");
  EXPECT_EQ(IndexError::build("say \"x\"").debug(), "Build(\"say \\\"x\\\"\")");
  EXPECT_EQ(IndexError::io_kind(IoKind::AlreadyExists).debug(), "Io(Kind(AlreadyExists))");
  EXPECT_EQ(IndexError::io(IoKind::InvalidData, "extsort: a run file is corrupt").debug(),
            "Io(Custom { kind: InvalidData, error: \"extsort: a run file is corrupt\" })");
  EXPECT_EQ(IndexError::os(2).debug(),
            "Io(Os { code: 2, kind: NotFound, message: \"No such file or directory\" })");
}

TEST(Panic, CarriesItsSentenceAndTheErrorsDebugForm) {
  try {
    quorvale::panic_with("re-reading the arena cannot fail", IndexError::format("m"));
    FAIL();
  } catch (const quorvale::Panic& p) {
    EXPECT_STREQ(p.what(), "re-reading the arena cannot fail: Format(\"m\")");
  }
}
