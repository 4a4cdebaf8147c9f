#include "error.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quorvale {

namespace {

const char* prefix_of(IndexError::Kind kind) {
  switch (kind) {
    case IndexError::Kind::Fst: return "fst error: ";
    case IndexError::Kind::Io: return "io error: ";
    case IndexError::Kind::Format: return "format error: ";
    case IndexError::Kind::Automaton: return "automaton error: ";
    case IndexError::Kind::Build: return "build error: ";
  }
  return "";
}

const char* variant_name(IndexError::Kind kind) {
  switch (kind) {
    case IndexError::Kind::Fst: return "Fst";
    case IndexError::Kind::Io: return "Io";
    case IndexError::Kind::Format: return "Format";
    case IndexError::Kind::Automaton: return "Automaton";
    case IndexError::Kind::Build: return "Build";
  }
  return "";
}

std::string system_message(int code) {
  char buf[256];
  buf[0] = '\0';
  // GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return text ? std::string(text) : std::string("Unknown error");
}

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char esc[12];
          std::snprintf(esc, sizeof esc, "\\u{%x}", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace

const char* io_kind_name(IoKind kind) {
  switch (kind) {
    case IoKind::NotFound: return "NotFound";
    case IoKind::PermissionDenied: return "PermissionDenied";
    case IoKind::AlreadyExists: return "AlreadyExists";
    case IoKind::InvalidInput: return "InvalidInput";
    case IoKind::InvalidData: return "InvalidData";
    case IoKind::UnexpectedEof: return "UnexpectedEof";
    case IoKind::WriteZero: return "WriteZero";
    case IoKind::Interrupted: return "Interrupted";
    case IoKind::Unsupported: return "Unsupported";
    case IoKind::OutOfMemory: return "OutOfMemory";
    case IoKind::Other: return "Other";
  }
  return "Other";
}

const char* io_kind_description(IoKind kind) {
  switch (kind) {
    case IoKind::NotFound: return "entity not found";
    case IoKind::PermissionDenied: return "permission denied";
    case IoKind::AlreadyExists: return "entity already exists";
    case IoKind::InvalidInput: return "invalid input parameter";
    case IoKind::InvalidData: return "invalid data";
    case IoKind::UnexpectedEof: return "unexpected end of file";
    case IoKind::WriteZero: return "write zero";
    case IoKind::Interrupted: return "operation interrupted";
    case IoKind::Unsupported: return "unsupported";
    case IoKind::OutOfMemory: return "out of memory";
    case IoKind::Other: return "other error";
  }
  return "other error";
}

IoKind io_kind_of_errno(int code) {
  switch (code) {
    case ENOENT: return IoKind::NotFound;
    case EACCES:
    case EPERM: return IoKind::PermissionDenied;
    case EEXIST: return IoKind::AlreadyExists;
    case EINVAL: return IoKind::InvalidInput;
    case EINTR: return IoKind::Interrupted;
    case ENOMEM: return IoKind::OutOfMemory;
    case ENOSYS:
    case EOPNOTSUPP: return IoKind::Unsupported;
    default: return IoKind::Other;
  }
}

IndexError::IndexError(Kind kind, std::string message)
    : kind_(kind), message_(std::move(message)) {
  display_ = prefix_of(kind_);
  display_ += message_;
}

IndexError IndexError::os(int code) {
  IndexError e(Kind::Io, system_message(code) + " (os error " + std::to_string(code) + ")");
  e.os_code_ = code;
  e.io_kind_ = io_kind_of_errno(code);
  return e;
}

IndexError IndexError::last_os() { return os(errno); }

IndexError IndexError::io(IoKind kind, std::string message) {
  IndexError e(Kind::Io, std::move(message));
  e.io_kind_ = kind;
  return e;
}

IndexError IndexError::io_kind(IoKind kind) {
  IndexError e(Kind::Io, io_kind_description(kind));
  e.io_kind_ = kind;
  return e;
}

IndexError IndexError::fst(std::string text, std::string debug) {
  IndexError e(Kind::Fst, std::move(text));
  e.fst_debug_ = std::move(debug);
  return e;
}

std::string IndexError::debug() const {
  std::string out = variant_name(kind_);
  out += '(';
  switch (kind_) {
    case Kind::Fst:
      out += fst_debug_.empty() ? message_ : fst_debug_;
      break;
    case Kind::Io:
      if (os_code_ != 0) {
        out += "Os { code: " + std::to_string(os_code_) + ", kind: " + io_kind_name(io_kind_) +
               ", message: " + quoted(system_message(os_code_)) + " }";
      } else if (message_ == io_kind_description(io_kind_)) {
        out += std::string("Kind(") + io_kind_name(io_kind_) + ")";
      } else {
        out += std::string("Custom { kind: ") + io_kind_name(io_kind_) + ", error: " + quoted(message_) + " }";
      }
      break;
    default:
      out += quoted(message_);
  }
  out += ')';
  return out;
}

void panic(std::string sentence) { throw Panic(std::move(sentence)); }

void panic_with(const char* sentence, const IndexError& error) {
  throw Panic(std::string(sentence) + ": " + error.debug());
}

}  // namespace quorvale
