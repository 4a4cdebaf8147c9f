// The one error type of the core, and the broken-invariant exception.
#pragma once

#include <exception>
#include <string>

namespace quorvale {

// Kinds of I/O error that the program makes itself (the operating system's
// errors carry their number instead).
enum class IoKind {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  InvalidInput,
  InvalidData,
  UnexpectedEof,
  WriteZero,
  Interrupted,
  Unsupported,
  OutOfMemory,
  Other,
};

const char* io_kind_name(IoKind kind);         // "AlreadyExists"
const char* io_kind_description(IoKind kind);  // "entity already exists"
IoKind io_kind_of_errno(int code);

class IndexError : public std::exception {
 public:
  enum class Kind { Fst, Io, Format, Automaton, Build };

  // Io from an operating-system error number.
  static IndexError os(int code);
  // Io from the current errno.
  static IndexError last_os();
  // Io made by the program: a kind and a message ("extsort: a run file is corrupt").
  static IndexError io(IoKind kind, std::string message);
  // Io that carries only its kind ("entity already exists").
  static IndexError io_kind(IoKind kind);
  // The FST engine's error: its display text and its debug form.
  static IndexError fst(std::string text, std::string debug);
  static IndexError format(const char* message) { return IndexError(Kind::Format, message); }
  // One that names where it arose ("keys.txt:7: plan: ...").
  static IndexError format(std::string message) { return IndexError(Kind::Format, std::move(message)); }
  static IndexError build(const char* message) { return IndexError(Kind::Build, message); }
  static IndexError automaton(std::string message) { return IndexError(Kind::Automaton, std::move(message)); }

  Kind kind() const noexcept { return kind_; }
  // The payload's own text, without the kind's prefix.
  const std::string& message() const noexcept { return message_; }
  // The display text: prefix and payload text.
  const char* what() const noexcept override { return display_.c_str(); }
  const std::string& display() const noexcept { return display_; }
  std::string debug() const;

  // For Io: the system error number, 0 for a program-made error.
  int os_code() const noexcept { return os_code_; }
  IoKind io_kind_value() const noexcept { return io_kind_; }

 private:
  IndexError(Kind kind, std::string message);

  Kind kind_;
  std::string message_;
  std::string display_;
  std::string fst_debug_;
  int os_code_ = 0;
  IoKind io_kind_ = IoKind::Other;
};

// A broken internal invariant. Never a user-facing error: the binding layer
// raises it as its BaseException-derived panic type.
class Panic : public std::exception {
 public:
  explicit Panic(std::string sentence) : sentence_(std::move(sentence)) {}
  const char* what() const noexcept override { return sentence_.c_str(); }

 private:
  std::string sentence_;
};

// A count or length past a hard limit of a structure (one more addition than
// an id or offset field can number, say). Checked before anything changes,
// so the object that refused it is intact and usable; the binding layer
// raises OverflowError with the sentence.
class LimitExceeded : public std::exception {
 public:
  explicit LimitExceeded(const char* sentence) : sentence_(sentence) {}
  const char* what() const noexcept override { return sentence_; }

 private:
  const char* sentence_;
};

[[noreturn]] void panic(std::string sentence);
// The fixed sentence followed by the debug form of the error that broke it.
[[noreturn]] void panic_with(const char* sentence, const IndexError& error);

}  // namespace quorvale
