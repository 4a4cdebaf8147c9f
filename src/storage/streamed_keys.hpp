// What a streamed build is handed: one pass over its keys (or a way to start
// a fresh one), the probe it asks whether to give up, and the runner of its
// steps that read no key. Every kind's build into a file takes these.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

namespace quorvale {

// One pass over the keys of a streamed build. The view handed out stays
// valid until the next call. An implementation may also end its stream by
// throwing; the build then unwinds, leaving nothing behind on disk.
class KeySource {
 public:
  virtual ~KeySource() = default;
  virtual bool next(std::string_view& key) = 0;
  // Whether every key handed out is valid UTF-8 already (a reader that
  // checked it, or text of the interpreter), so a build need not check again.
  virtual bool yields_utf8() const noexcept { return false; }
};

// A fresh pass over the same keys each time it is called.
using SourceFactory = std::function<std::unique_ptr<KeySource>()>;

// A long build's failure probe: whether to abandon the work (its source
// failed, or its caller asks it to stop). Besides where a build asks it by
// its own rules, the stages that read no key ask it between their steps and
// in their workers' claim loops, from any thread; an empty probe never
// answers yes.
using StopProbe = std::function<bool()>;

// Runs a step of a build that reads no key; a Python caller runs it
// detached. An empty runner runs the step on the calling thread.
using OfflineRunner = std::function<void(const std::function<void()>&)>;

}  // namespace quorvale
