// The pause of a long walk: a hook the walk calls now and then between its
// steps, never inside one, so that its caller can look up while it runs (a
// Python caller re-attaches to the interpreter to run its signal handlers)
// and end the walk by throwing. An empty hook is never called.
#pragma once

#include <cstdint>
#include <functional>

namespace quorvale {

using Pause = std::function<void()>;

// Calls the pause, if any, out of line: a walk's loop keeps the call (and
// its unwinding) off its hot path.
[[gnu::noinline, gnu::cold]] inline void take_pause(const Pause& pause) {
  if (pause) pause();
}

// Counts a walk's steps and calls the pause once `every` steps have passed.
class Pacer {
 public:
  static constexpr std::uint64_t EVERY = std::uint64_t{1} << 14;

  explicit Pacer(const Pause& pause, std::uint64_t every = EVERY) noexcept
      : pause_(pause), every_(every), left_(every) {}
  void step(std::uint64_t cost = 1) {
    if (cost < left_) {
      left_ -= cost;
      return;
    }
    left_ = every_;
    take_pause(pause_);
  }

 private:
  const Pause& pause_;
  std::uint64_t every_;
  std::uint64_t left_;
};

}  // namespace quorvale
