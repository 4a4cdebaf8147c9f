// Park-and-probe: the keys of a Python iterable handed to a core streamed
// build (PerfectHashIndex.build_to_file, CompactHashIndex.build_to_file, and
// any other builder that takes a KeySource).
//
// A core build cannot carry a Python exception through its own code, and it
// must not be cut short by one either: it has files to remove. So the
// iterable's exception (or the TypeError of a non-str item) is parked in the
// call's `Parked` slot, the source simply ends, and the core asks the slot
// through its failure probe (`parked.probe()`: it then fails with its own
// "the source raised" error and writes nothing). Once the core has returned
// and cleaned up, `Parked::run` raises the parked exception in preference to
// the core's error or result, so the caller receives its own iterable's
// exception, unchanged.
//
// Usage, attached:
//   Parked parked;
//   PySource source(KeyStream(items), parked);   // iter(items) raises as is
//   std::uint64_t n = parked.run([&] { return Core::build(source, parked.probe(), ...); });
// The probe only reads whether the slot is filled (no Python object is
// touched), so a core may call it detached once the keys have all been read.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "streamed_keys.hpp"
#include "frame.hpp"
#include "keys.hpp"

namespace quorvale::python {

// The first exception met by the key sources of one build call.
class Parked {
 public:
  // Takes the exception being raised out of the error state; only the first
  // one parked is kept.
  void park();
  bool failed() const noexcept { return static_cast<bool>(exc_); }
  // The core's failure probe: whether an exception is parked.
  StopProbe probe() const {
    return [this] { return failed(); };
  }
  // Raises the parked exception (which must be there).
  [[noreturn]] void raise();
  // Runs the core build attached; a parked exception wins over the build's
  // own error and over its result.
  template <class Build>
  auto run(Build&& build) -> decltype(build()) {
    try {
      if constexpr (std::is_void_v<decltype(build())>) {
        build();
        if (failed()) raise();
      } else {
        auto result = build();
        if (failed()) raise();
        return result;
      }
    } catch (const PyErrorSet&) {
      throw;
    } catch (...) {
      if (failed()) raise();
      throw;
    }
  }

 private:
  Ref exc_;
};

// One pass over a Python iterable as a core key source. The view handed out
// is the source's own copy of the key, valid until the next call. An absent
// stream (its iterable could not be made) gives no key.
class PySource : public KeySource {
 public:
  PySource(std::optional<KeyStream> stream, Parked& parked) : stream_(std::move(stream)), parked_(parked) {}
  bool next(std::string_view& key) override;
  // A str's UTF-8 form: the interpreter refuses to make one for a lone surrogate.
  bool yields_utf8() const noexcept override { return true; }

 private:
  std::optional<KeyStream> stream_;
  Parked& parked_;
  std::string buf_;
};

}  // namespace quorvale::python
