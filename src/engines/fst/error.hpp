// Errors of the FST engine.
#pragma once

#include <stdexcept>
#include <string>

namespace quorvale::fst {

// What the engine reports. Only the kind is displayed ("FST error" or
// "I/O error"); the detail (offending sizes, checksums, ...) is kept for
// debugging and never shown to users.
class Error : public std::exception {
 public:
  enum class Kind { Fst, Io };

  Error(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}

  Kind kind() const noexcept { return kind_; }
  const char* what() const noexcept override { return kind_ == Kind::Fst ? "FST error" : "I/O error"; }
  const std::string& detail() const noexcept { return detail_; }

 private:
  Kind kind_;
  std::string detail_;
};

// Malformed node bytes met by the decoder (a node outside the bytes, a width
// above 8, a target that is not below its node). Kind Fst, so it displays as
// "FST error" to callers that do not single it out.
class Corrupt : public Error {
 public:
  explicit Corrupt(std::string detail) : Error(Kind::Fst, std::move(detail)) {}
};

// A Levenshtein automaton that cannot be built; what() is the full message.
class AutomatonError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace quorvale::fst
